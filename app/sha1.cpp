// SHA-1 (FIPS 180-1): eighty steps over each 64-byte block with a sixteen-word
// rolling message schedule, big-endian words, padding with 0x80, zeros and the
// bit length. Portable.
#include "app/sha1.h"

#include "app/digest_blocks.h"

namespace {

inline uint32_t rotateLeft(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

inline uint32_t loadBigEndian(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// 2^64 bits, the longest message the length field can hold, in bytes.
constexpr uint64_t kMaxBytes = uint64_t(1) << 61;

}  // namespace

Sha1Status Sha1::reset() {
    state_[0] = 0x67452301u;
    state_[1] = 0xefcdab89u;
    state_[2] = 0x98badcfeu;
    state_[3] = 0x10325476u;
    state_[4] = 0xc3d2e1f0u;
    byteCount_ = 0;
    computed_ = false;
    corrupted_ = SHA1_SUCCESS;
    return SHA1_SUCCESS;
}

// One step: e takes the new word and b turns by 30 bits; instead of moving
// the five working words along, the next step names them in rotated order.
#define SHA1_STEP(f, a, b, c, d, e, word)                      \
    do {                                                       \
        (e) += rotateLeft((a), 5) + f((b), (c), (d)) + (word); \
        (b) = rotateLeft((b), 30);                             \
    } while (0)

// The round functions with their constants added.
#define F1(b, c, d) (((d) ^ ((b) & ((c) ^ (d)))) + 0x5a827999u)
#define F2(b, c, d) (((b) ^ (c) ^ (d)) + 0x6ed9eba1u)
#define F3(b, c, d) ((((b) & (c)) | ((d) & ((b) | (c)))) + 0x8f1bbcdcu)
#define F4(b, c, d) (((b) ^ (c) ^ (d)) + 0xca62c1d6u)
// The message schedule, kept as sixteen words rewritten in place.
#define W(t) w[(t)]
#define N(t)     \
    (w[(t)&15] = \
         rotateLeft(w[((t) + 13) & 15] ^ w[((t) + 8) & 15] ^ w[((t) + 2) & 15] ^ w[(t)&15], 1))

void Sha1::transform(const uint8_t block[64]) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = loadBigEndian(block + 4 * i);
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4];

    SHA1_STEP(F1, a, b, c, d, e, W(0));
    SHA1_STEP(F1, e, a, b, c, d, W(1));
    SHA1_STEP(F1, d, e, a, b, c, W(2));
    SHA1_STEP(F1, c, d, e, a, b, W(3));
    SHA1_STEP(F1, b, c, d, e, a, W(4));
    SHA1_STEP(F1, a, b, c, d, e, W(5));
    SHA1_STEP(F1, e, a, b, c, d, W(6));
    SHA1_STEP(F1, d, e, a, b, c, W(7));
    SHA1_STEP(F1, c, d, e, a, b, W(8));
    SHA1_STEP(F1, b, c, d, e, a, W(9));
    SHA1_STEP(F1, a, b, c, d, e, W(10));
    SHA1_STEP(F1, e, a, b, c, d, W(11));
    SHA1_STEP(F1, d, e, a, b, c, W(12));
    SHA1_STEP(F1, c, d, e, a, b, W(13));
    SHA1_STEP(F1, b, c, d, e, a, W(14));
    SHA1_STEP(F1, a, b, c, d, e, W(15));
    SHA1_STEP(F1, e, a, b, c, d, N(16));
    SHA1_STEP(F1, d, e, a, b, c, N(17));
    SHA1_STEP(F1, c, d, e, a, b, N(18));
    SHA1_STEP(F1, b, c, d, e, a, N(19));
    SHA1_STEP(F2, a, b, c, d, e, N(20));
    SHA1_STEP(F2, e, a, b, c, d, N(21));
    SHA1_STEP(F2, d, e, a, b, c, N(22));
    SHA1_STEP(F2, c, d, e, a, b, N(23));
    SHA1_STEP(F2, b, c, d, e, a, N(24));
    SHA1_STEP(F2, a, b, c, d, e, N(25));
    SHA1_STEP(F2, e, a, b, c, d, N(26));
    SHA1_STEP(F2, d, e, a, b, c, N(27));
    SHA1_STEP(F2, c, d, e, a, b, N(28));
    SHA1_STEP(F2, b, c, d, e, a, N(29));
    SHA1_STEP(F2, a, b, c, d, e, N(30));
    SHA1_STEP(F2, e, a, b, c, d, N(31));
    SHA1_STEP(F2, d, e, a, b, c, N(32));
    SHA1_STEP(F2, c, d, e, a, b, N(33));
    SHA1_STEP(F2, b, c, d, e, a, N(34));
    SHA1_STEP(F2, a, b, c, d, e, N(35));
    SHA1_STEP(F2, e, a, b, c, d, N(36));
    SHA1_STEP(F2, d, e, a, b, c, N(37));
    SHA1_STEP(F2, c, d, e, a, b, N(38));
    SHA1_STEP(F2, b, c, d, e, a, N(39));
    SHA1_STEP(F3, a, b, c, d, e, N(40));
    SHA1_STEP(F3, e, a, b, c, d, N(41));
    SHA1_STEP(F3, d, e, a, b, c, N(42));
    SHA1_STEP(F3, c, d, e, a, b, N(43));
    SHA1_STEP(F3, b, c, d, e, a, N(44));
    SHA1_STEP(F3, a, b, c, d, e, N(45));
    SHA1_STEP(F3, e, a, b, c, d, N(46));
    SHA1_STEP(F3, d, e, a, b, c, N(47));
    SHA1_STEP(F3, c, d, e, a, b, N(48));
    SHA1_STEP(F3, b, c, d, e, a, N(49));
    SHA1_STEP(F3, a, b, c, d, e, N(50));
    SHA1_STEP(F3, e, a, b, c, d, N(51));
    SHA1_STEP(F3, d, e, a, b, c, N(52));
    SHA1_STEP(F3, c, d, e, a, b, N(53));
    SHA1_STEP(F3, b, c, d, e, a, N(54));
    SHA1_STEP(F3, a, b, c, d, e, N(55));
    SHA1_STEP(F3, e, a, b, c, d, N(56));
    SHA1_STEP(F3, d, e, a, b, c, N(57));
    SHA1_STEP(F3, c, d, e, a, b, N(58));
    SHA1_STEP(F3, b, c, d, e, a, N(59));
    SHA1_STEP(F4, a, b, c, d, e, N(60));
    SHA1_STEP(F4, e, a, b, c, d, N(61));
    SHA1_STEP(F4, d, e, a, b, c, N(62));
    SHA1_STEP(F4, c, d, e, a, b, N(63));
    SHA1_STEP(F4, b, c, d, e, a, N(64));
    SHA1_STEP(F4, a, b, c, d, e, N(65));
    SHA1_STEP(F4, e, a, b, c, d, N(66));
    SHA1_STEP(F4, d, e, a, b, c, N(67));
    SHA1_STEP(F4, c, d, e, a, b, N(68));
    SHA1_STEP(F4, b, c, d, e, a, N(69));
    SHA1_STEP(F4, a, b, c, d, e, N(70));
    SHA1_STEP(F4, e, a, b, c, d, N(71));
    SHA1_STEP(F4, d, e, a, b, c, N(72));
    SHA1_STEP(F4, c, d, e, a, b, N(73));
    SHA1_STEP(F4, b, c, d, e, a, N(74));
    SHA1_STEP(F4, a, b, c, d, e, N(75));
    SHA1_STEP(F4, e, a, b, c, d, N(76));
    SHA1_STEP(F4, d, e, a, b, c, N(77));
    SHA1_STEP(F4, c, d, e, a, b, N(78));
    SHA1_STEP(F4, b, c, d, e, a, N(79));

    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
    state_[4] += e;
}

#undef SHA1_STEP
#undef F1
#undef F2
#undef F3
#undef F4
#undef W
#undef N

Sha1Status Sha1::input(const void* data, size_t size) {
    if (size == 0) return corrupted_;
    if (data == nullptr) return SHA1_NULL;
    if (computed_) {
        corrupted_ = SHA1_STATE_ERROR;
        return corrupted_;
    }
    if (corrupted_ != SHA1_SUCCESS) return corrupted_;
    if (size >= kMaxBytes - byteCount_) {
        corrupted_ = SHA1_INPUT_TOO_LONG;
        return corrupted_;
    }

    feedBlocks(buffer_, byteCount_, data, size, [this](const uint8_t* blocks, size_t count) {
        for (; count != 0; --count, blocks += 64) transform(blocks);
    });
    return SHA1_SUCCESS;
}

void Sha1::pad() {
    padBlocks(buffer_, byteCount_, LengthOrder::BigEndian,
              [this](const uint8_t* block, size_t) { transform(block); });
}

Sha1Status Sha1::result(uint8_t digest[kDigestSize]) {
    if (digest == nullptr) return SHA1_NULL;
    if (corrupted_ != SHA1_SUCCESS) return corrupted_;
    if (!computed_) {
        pad();
        computed_ = true;
    }
    for (int i = 0; i < 5; ++i) {
        for (int j = 0; j < 4; ++j) digest[4 * i + j] = uint8_t(state_[i] >> (24 - 8 * j));
    }
    return SHA1_SUCCESS;
}
