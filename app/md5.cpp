// MD5 (RFC 1321): four rounds of sixteen steps over each 64-byte block,
// little-endian words, padding with 0x80, zeros and the bit length.
// Portable.
#include "app/md5.h"

#include "app/digest_blocks.h"

namespace {

inline uint32_t rotateLeft(uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

inline uint32_t loadLittleEndian(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// The four auxiliary functions of the rounds, written with as few operations
// as the RFC's definitions allow.
inline uint32_t funcF(uint32_t x, uint32_t y, uint32_t z) {
    return z ^ (x & (y ^ z));
}
inline uint32_t funcG(uint32_t x, uint32_t y, uint32_t z) {
    return y ^ (z & (x ^ y));
}
inline uint32_t funcH(uint32_t x, uint32_t y, uint32_t z) {
    return x ^ y ^ z;
}
inline uint32_t funcI(uint32_t x, uint32_t y, uint32_t z) {
    return y ^ (x | ~z);
}

#define MD5_STEP(f, a, b, c, d, word, constant, shift) \
    do {                                               \
        (a) += f((b), (c), (d)) + (word) + (constant); \
        (a) = rotateLeft((a), (shift)) + (b);          \
    } while (0)

}  // namespace

void Md5::reset() {
    state_[0] = 0x67452301u;
    state_[1] = 0xefcdab89u;
    state_[2] = 0x98badcfeu;
    state_[3] = 0x10325476u;
    byteCount_ = 0;
}

void Md5::transform(const uint8_t block[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = loadLittleEndian(block + 4 * i);
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];

    MD5_STEP(funcF, a, b, c, d, x[0], 0xd76aa478u, 7);
    MD5_STEP(funcF, d, a, b, c, x[1], 0xe8c7b756u, 12);
    MD5_STEP(funcF, c, d, a, b, x[2], 0x242070dbu, 17);
    MD5_STEP(funcF, b, c, d, a, x[3], 0xc1bdceeeu, 22);
    MD5_STEP(funcF, a, b, c, d, x[4], 0xf57c0fafu, 7);
    MD5_STEP(funcF, d, a, b, c, x[5], 0x4787c62au, 12);
    MD5_STEP(funcF, c, d, a, b, x[6], 0xa8304613u, 17);
    MD5_STEP(funcF, b, c, d, a, x[7], 0xfd469501u, 22);
    MD5_STEP(funcF, a, b, c, d, x[8], 0x698098d8u, 7);
    MD5_STEP(funcF, d, a, b, c, x[9], 0x8b44f7afu, 12);
    MD5_STEP(funcF, c, d, a, b, x[10], 0xffff5bb1u, 17);
    MD5_STEP(funcF, b, c, d, a, x[11], 0x895cd7beu, 22);
    MD5_STEP(funcF, a, b, c, d, x[12], 0x6b901122u, 7);
    MD5_STEP(funcF, d, a, b, c, x[13], 0xfd987193u, 12);
    MD5_STEP(funcF, c, d, a, b, x[14], 0xa679438eu, 17);
    MD5_STEP(funcF, b, c, d, a, x[15], 0x49b40821u, 22);

    MD5_STEP(funcG, a, b, c, d, x[1], 0xf61e2562u, 5);
    MD5_STEP(funcG, d, a, b, c, x[6], 0xc040b340u, 9);
    MD5_STEP(funcG, c, d, a, b, x[11], 0x265e5a51u, 14);
    MD5_STEP(funcG, b, c, d, a, x[0], 0xe9b6c7aau, 20);
    MD5_STEP(funcG, a, b, c, d, x[5], 0xd62f105du, 5);
    MD5_STEP(funcG, d, a, b, c, x[10], 0x02441453u, 9);
    MD5_STEP(funcG, c, d, a, b, x[15], 0xd8a1e681u, 14);
    MD5_STEP(funcG, b, c, d, a, x[4], 0xe7d3fbc8u, 20);
    MD5_STEP(funcG, a, b, c, d, x[9], 0x21e1cde6u, 5);
    MD5_STEP(funcG, d, a, b, c, x[14], 0xc33707d6u, 9);
    MD5_STEP(funcG, c, d, a, b, x[3], 0xf4d50d87u, 14);
    MD5_STEP(funcG, b, c, d, a, x[8], 0x455a14edu, 20);
    MD5_STEP(funcG, a, b, c, d, x[13], 0xa9e3e905u, 5);
    MD5_STEP(funcG, d, a, b, c, x[2], 0xfcefa3f8u, 9);
    MD5_STEP(funcG, c, d, a, b, x[7], 0x676f02d9u, 14);
    MD5_STEP(funcG, b, c, d, a, x[12], 0x8d2a4c8au, 20);

    MD5_STEP(funcH, a, b, c, d, x[5], 0xfffa3942u, 4);
    MD5_STEP(funcH, d, a, b, c, x[8], 0x8771f681u, 11);
    MD5_STEP(funcH, c, d, a, b, x[11], 0x6d9d6122u, 16);
    MD5_STEP(funcH, b, c, d, a, x[14], 0xfde5380cu, 23);
    MD5_STEP(funcH, a, b, c, d, x[1], 0xa4beea44u, 4);
    MD5_STEP(funcH, d, a, b, c, x[4], 0x4bdecfa9u, 11);
    MD5_STEP(funcH, c, d, a, b, x[7], 0xf6bb4b60u, 16);
    MD5_STEP(funcH, b, c, d, a, x[10], 0xbebfbc70u, 23);
    MD5_STEP(funcH, a, b, c, d, x[13], 0x289b7ec6u, 4);
    MD5_STEP(funcH, d, a, b, c, x[0], 0xeaa127fau, 11);
    MD5_STEP(funcH, c, d, a, b, x[3], 0xd4ef3085u, 16);
    MD5_STEP(funcH, b, c, d, a, x[6], 0x04881d05u, 23);
    MD5_STEP(funcH, a, b, c, d, x[9], 0xd9d4d039u, 4);
    MD5_STEP(funcH, d, a, b, c, x[12], 0xe6db99e5u, 11);
    MD5_STEP(funcH, c, d, a, b, x[15], 0x1fa27cf8u, 16);
    MD5_STEP(funcH, b, c, d, a, x[2], 0xc4ac5665u, 23);

    MD5_STEP(funcI, a, b, c, d, x[0], 0xf4292244u, 6);
    MD5_STEP(funcI, d, a, b, c, x[7], 0x432aff97u, 10);
    MD5_STEP(funcI, c, d, a, b, x[14], 0xab9423a7u, 15);
    MD5_STEP(funcI, b, c, d, a, x[5], 0xfc93a039u, 21);
    MD5_STEP(funcI, a, b, c, d, x[12], 0x655b59c3u, 6);
    MD5_STEP(funcI, d, a, b, c, x[3], 0x8f0ccc92u, 10);
    MD5_STEP(funcI, c, d, a, b, x[10], 0xffeff47du, 15);
    MD5_STEP(funcI, b, c, d, a, x[1], 0x85845dd1u, 21);
    MD5_STEP(funcI, a, b, c, d, x[8], 0x6fa87e4fu, 6);
    MD5_STEP(funcI, d, a, b, c, x[15], 0xfe2ce6e0u, 10);
    MD5_STEP(funcI, c, d, a, b, x[6], 0xa3014314u, 15);
    MD5_STEP(funcI, b, c, d, a, x[13], 0x4e0811a1u, 21);
    MD5_STEP(funcI, a, b, c, d, x[4], 0xf7537e82u, 6);
    MD5_STEP(funcI, d, a, b, c, x[11], 0xbd3af235u, 10);
    MD5_STEP(funcI, c, d, a, b, x[2], 0x2ad7d2bbu, 15);
    MD5_STEP(funcI, b, c, d, a, x[9], 0xeb86d391u, 21);

    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
}

void Md5::update(const void* data, size_t size) {
    feedBlocks(buffer_, byteCount_, data, size, [this](const uint8_t* blocks, size_t count) {
        for (; count != 0; --count, blocks += 64) transform(blocks);
    });
}

void Md5::finish(uint8_t digest[kDigestSize]) {
    // The length is taken modulo 2^64, as the RFC says.
    padBlocks(buffer_, byteCount_, LengthOrder::LittleEndian,
              [this](const uint8_t* block, size_t) { transform(block); });
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) digest[4 * i + j] = uint8_t(state_[i] >> (8 * j));
    }
    reset();
}
