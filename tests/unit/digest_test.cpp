// MD5 and SHA-1 against the published vectors and an independent
// implementation's digests at the padding boundaries, fed whole and in pieces.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/hash_file.h"
#include "app/md5.h"
#include "app/sha1.h"

namespace {

// Feeds the message in pieces of the given size (0: all at once).
std::string md5Hex(const std::string& message, size_t piece = 0) {
    Md5 md5;
    if (piece == 0) piece = message.size() + 1;
    for (size_t at = 0; at < message.size(); at += piece)
        md5.update(message.data() + at, std::min(piece, message.size() - at));
    uint8_t digest[Md5::kDigestSize];
    md5.finish(digest);
    return digestToHex(digest, sizeof digest);
}

std::string sha1Hex(const std::string& message, size_t piece = 0) {
    Sha1 sha1;
    if (piece == 0) piece = message.size() + 1;
    for (size_t at = 0; at < message.size(); at += piece) {
        if (sha1.input(message.data() + at, std::min(piece, message.size() - at)) != SHA1_SUCCESS)
            return "input failed";
    }
    uint8_t digest[Sha1::kDigestSize];
    if (sha1.result(digest) != SHA1_SUCCESS) return "result failed";
    return digestToHex(digest, sizeof digest);
}

// Bytes that differ from block to block, so that a block fed twice or skipped shows.
std::string pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = char((i * 7 + 3) & 255);
    return bytes;
}

struct Vector {
    std::string message;
    const char* md5;  // null when no published value is used
    const char* sha1;
};

}  // namespace

TEST(Digest, PublishedVectorsOfRfc1321AndFips180) {
    const std::vector<Vector> vectors = {
        {"", "d41d8cd98f00b204e9800998ecf8427e", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"a", "0cc175b9c0f1b6a831c399e269772661", nullptr},
        {"abc", "900150983cd24fb0d6963f7d28e17f72", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0", nullptr},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b", nullptr},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f", nullptr},
        {"1234567890123456789012345678901234567890"
         "1234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a", nullptr},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", nullptr,
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {std::string(1000000, 'a'), "7707d6ae4e027c70eea2a935c2296f21",
         "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (const Vector& v : vectors) {
        SCOPED_TRACE(v.message.substr(0, 40));
        if (v.md5) {
            EXPECT_EQ(md5Hex(v.message), v.md5);
        }
        if (v.sha1) {
            EXPECT_EQ(sha1Hex(v.message), v.sha1);
        }
    }
    std::string repeated;
    for (int i = 0; i < 10; ++i)
        repeated += "0123456701234567012345670123456701234567012345670123456701234567";
    EXPECT_EQ(sha1Hex(repeated), "dea356a2cddd90c7a7ecedc5ebb563934f460452");
}

TEST(Digest, PaddingBoundariesAndPiecewiseFeedingAgree) {
    struct Case {
        size_t size;
        const char* md5;
        const char* sha1;
    };
    // Digests of pattern(size) from an independent implementation: the lengths
    // around 56 and 64 bytes decide whether the padding needs a second block.
    const Case cases[] = {
        {55, "52c0e574e1198de5fe3f8f11440dcb1b", "ddf57317ef34bfee3b6df83d359098930eb278bc"},
        {56, "46c9907fc908ee68b1e7b8e71286a518", "a0d492bb0fc889d0eca3bc137066ab6f4f74f369"},
        {57, "1c805dd236c35cab25fcb1bc73802c51", "11a02dcf95859677a62e75024067c22b165d890f"},
        {63, "a62f6d59e837867693f042f5b8f5a236", "c55856749bef509bdfe6bfebfc7bf4e793e82132"},
        {64, "7160b8fb5e9e4023d549c3971fbaeead", "bede92be29c3874e1b54ddc77988d606fc857a8e"},
        {65, "70bd662e7aefbda85a0f7244167b7897", "b05a80522b053d6dc7e0a517d0e70212c7dad11f"},
        {119, "e84905d4214f4d1ca56c2cdcc152b143", "504e27376a6e0f0dba8295b85cb25dc4dfa17d23"},
        {120, "e3eb5a6c8669ea01a8c185b8abc8a5dc", "82134b02fb3f702491be9bed581eeab59334acb2"},
        {128, "10b2da1a82f16d99a81a7203fe9f02cb", "a09133e6730ffe899efb70204cb5646cd5dc24ee"},
    };
    for (const Case& c : cases) {
        std::string message = pattern(c.size);
        for (size_t piece : {size_t(0), size_t(1), size_t(7), size_t(63), size_t(64), size_t(65)}) {
            SCOPED_TRACE(std::to_string(c.size) + " bytes in pieces of " + std::to_string(piece));
            EXPECT_EQ(md5Hex(message, piece), c.md5);
            EXPECT_EQ(sha1Hex(message, piece), c.sha1);
        }
    }
}

TEST(Digest, Md5CanBeReusedAfterFinish) {
    Md5 md5;
    uint8_t digest[Md5::kDigestSize];
    md5.update("abc", 3);
    md5.finish(digest);
    md5.update("abc", 3);
    md5.finish(digest);
    EXPECT_EQ(digestToHex(digest, sizeof digest), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Digest, Sha1ReportsMisuseWithItsStatusCodes) {
    Sha1 sha1;
    uint8_t digest[Sha1::kDigestSize];
    EXPECT_EQ(sha1.input(nullptr, 3), SHA1_NULL);
    EXPECT_EQ(sha1.result(nullptr), SHA1_NULL);
    EXPECT_EQ(sha1.input(nullptr, 0), SHA1_SUCCESS);  // nothing to read

    ASSERT_EQ(sha1.input("abc", 3), SHA1_SUCCESS);
    ASSERT_EQ(sha1.result(digest), SHA1_SUCCESS);
    ASSERT_EQ(sha1.result(digest), SHA1_SUCCESS);  // the same digest again
    EXPECT_EQ(digestToHex(digest, sizeof digest), "a9993e364706816aba3e25717850c26c9cd0d89d");

    // Input after the result corrupts the context until it is reset.
    EXPECT_EQ(sha1.input("d", 1), SHA1_STATE_ERROR);
    EXPECT_EQ(sha1.result(digest), SHA1_STATE_ERROR);
    EXPECT_EQ(sha1.input("d", 1), SHA1_STATE_ERROR);

    EXPECT_EQ(sha1.reset(), SHA1_SUCCESS);
    EXPECT_EQ(sha1Hex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
    ASSERT_EQ(sha1.input("abc", 3), SHA1_SUCCESS);
    ASSERT_EQ(sha1.result(digest), SHA1_SUCCESS);
    EXPECT_EQ(digestToHex(digest, sizeof digest), "a9993e364706816aba3e25717850c26c9cd0d89d");
}
