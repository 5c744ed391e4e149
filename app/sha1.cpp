// SHA-1 (FIPS 180-1): eighty steps over each 64-byte block with a sixteen-word
// rolling message schedule, big-endian words, padding with 0x80, zeros and the
// bit length. Portable.
#include "app/sha1.h"

#include <cstring>

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

void Sha1::transform(const uint8_t block[64]) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = loadBigEndian(block + 4 * i);
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3], e = state_[4];

    for (int t = 0; t < 80; ++t) {
        uint32_t word;
        if (t < 16) {
            word = w[t];
        } else {
            word = rotateLeft(w[(t + 13) & 15] ^ w[(t + 8) & 15] ^ w[(t + 2) & 15] ^ w[t & 15], 1);
            w[t & 15] = word;
        }
        uint32_t f, k;
        if (t < 20) {
            f = d ^ (b & (c ^ d));
            k = 0x5a827999u;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ed9eba1u;
        } else if (t < 60) {
            f = (b & c) | (d & (b | c));
            k = 0x8f1bbcdcu;
        } else {
            f = b ^ c ^ d;
            k = 0xca62c1d6u;
        }
        uint32_t temp = rotateLeft(a, 5) + f + e + k + word;
        e = d;
        d = c;
        c = rotateLeft(b, 30);
        b = a;
        a = temp;
    }

    state_[0] += a;
    state_[1] += b;
    state_[2] += c;
    state_[3] += d;
    state_[4] += e;
}

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

    const uint8_t* in = static_cast<const uint8_t*>(data);
    size_t used = size_t(byteCount_ % 64);
    byteCount_ += size;
    if (used != 0) {
        size_t take = 64 - used;
        if (size < take) {
            std::memcpy(buffer_ + used, in, size);
            return SHA1_SUCCESS;
        }
        std::memcpy(buffer_ + used, in, take);
        transform(buffer_);
        in += take;
        size -= take;
    }
    for (; size >= 64; in += 64, size -= 64) transform(in);
    if (size != 0) std::memcpy(buffer_, in, size);
    return SHA1_SUCCESS;
}

void Sha1::pad() {
    uint64_t bitCount = byteCount_ * 8;
    size_t used = size_t(byteCount_ % 64);
    buffer_[used++] = 0x80;
    if (used > 56) {
        std::memset(buffer_ + used, 0, 64 - used);
        transform(buffer_);
        used = 0;
    }
    std::memset(buffer_ + used, 0, 56 - used);
    for (int i = 0; i < 8; ++i) buffer_[56 + i] = uint8_t(bitCount >> (56 - 8 * i));
    transform(buffer_);
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
