// SHA-256 against the FIPS 180-4 examples, fed whole and in pieces, through
// the processor's SHA instructions (where there are any) and the portable
// code. The worker loop's SHA-256 reads are in hash_file_test.cpp.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/hash_file.h"
#include "app/sha256.h"

namespace {

std::string sha256Hex(const std::string& message, size_t piece = 0) {
    Sha256 sha;
    if (piece == 0) piece = message.size() + 1;
    for (size_t at = 0; at < message.size(); at += piece)
        sha.update(message.data() + at, std::min(piece, message.size() - at));
    uint8_t digest[Sha256::kDigestSize];
    sha.finish(digest);
    return digestToHex(digest, sizeof digest);
}

struct Example {
    std::string message;
    const char* digest;
};

const std::vector<Example>& examples() {
    static const std::vector<Example> list = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrst"
         "nopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    return list;
}

class Sha256Paths : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        if (!GetParam() && !Sha256::usesShaInstructions()) GTEST_SKIP() << "no SHA instructions here";
        Sha256::forcePortable(GetParam());
    }
    void TearDown() override { Sha256::forcePortable(false); }
};

}  // namespace

TEST_P(Sha256Paths, Fips180ExamplesWholeAndInPieces) {
    for (const Example& e : examples()) {
        SCOPED_TRACE(e.message.substr(0, 20));
        EXPECT_EQ(sha256Hex(e.message), e.digest);
        for (size_t piece : {1, 3, 55, 63, 64, 65, 1000})
            EXPECT_EQ(sha256Hex(e.message, piece), e.digest) << "pieces of " << piece;
    }
}

INSTANTIATE_TEST_SUITE_P(Sha256, Sha256Paths, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Portable" : "ShaInstructions";
                         });

// Every length around the padding boundaries, and multi-block feeds: the
// instruction path must give the portable path's digests.
TEST(Sha256, BothPathsAgreeAtEveryLengthUpTo300) {
    if (!Sha256::usesShaInstructions()) GTEST_SKIP() << "no SHA instructions here";
    std::string bytes(300, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = char((i * 7 + 3) & 255);
    for (size_t n = 0; n <= bytes.size(); ++n) {
        std::string message = bytes.substr(0, n);
        std::string fast = sha256Hex(message);
        Sha256::forcePortable(true);
        std::string portable = sha256Hex(message, 7);
        Sha256::forcePortable(false);
        ASSERT_EQ(fast, portable) << "length " << n;
    }
}

TEST(Sha256, ReusableAfterReset) {
    Sha256 sha;
    uint8_t digest[Sha256::kDigestSize];
    sha.update("xyz", 3);
    sha.finish(digest);
    sha.reset();
    sha.update("abc", 3);
    sha.finish(digest);
    EXPECT_EQ(digestToHex(digest, sizeof digest), examples()[1].digest);
}
