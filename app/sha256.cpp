// SHA-256 (FIPS 180-4): sixty-four rounds over each 64-byte block with a
// sixteen-word rolling message schedule, big-endian words, padding with 0x80,
// zeros and the bit length. Portable, with an x86 path for processors that
// have the SHA extensions.
#include "app/sha256.h"

#include <cstring>

#include "app/digest_blocks.h"

#if (defined(__GNUC__) || defined(__clang__)) && (defined(__x86_64__) || defined(__i386__))
#define DORIMEL_SHA256_X86 1
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace {

const uint32_t kRound[64] = {
    0x428a2f98u, 0x71374491u, 0xb5c0fbcfu, 0xe9b5dba5u, 0x3956c25bu, 0x59f111f1u, 0x923f82a4u, 0xab1c5ed5u,
    0xd807aa98u, 0x12835b01u, 0x243185beu, 0x550c7dc3u, 0x72be5d74u, 0x80deb1feu, 0x9bdc06a7u, 0xc19bf174u,
    0xe49b69c1u, 0xefbe4786u, 0x0fc19dc6u, 0x240ca1ccu, 0x2de92c6fu, 0x4a7484aau, 0x5cb0a9dcu, 0x76f988dau,
    0x983e5152u, 0xa831c66du, 0xb00327c8u, 0xbf597fc7u, 0xc6e00bf3u, 0xd5a79147u, 0x06ca6351u, 0x14292967u,
    0x27b70a85u, 0x2e1b2138u, 0x4d2c6dfcu, 0x53380d13u, 0x650a7354u, 0x766a0abbu, 0x81c2c92eu, 0x92722c85u,
    0xa2bfe8a1u, 0xa81a664bu, 0xc24b8b70u, 0xc76c51a3u, 0xd192e819u, 0xd6990624u, 0xf40e3585u, 0x106aa070u,
    0x19a4c116u, 0x1e376c08u, 0x2748774cu, 0x34b0bcb5u, 0x391c0cb3u, 0x4ed8aa4au, 0x5b9cca4fu, 0x682e6ff3u,
    0x748f82eeu, 0x78a5636fu, 0x84c87814u, 0x8cc70208u, 0x90befffau, 0xa4506cebu, 0xbef9a3f7u, 0xc67178f2u,
};

inline uint32_t rotateRight(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

inline uint32_t loadBigEndian(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

#define BIG_SIGMA0(x) (rotateRight((x), 2) ^ rotateRight((x), 13) ^ rotateRight((x), 22))
#define BIG_SIGMA1(x) (rotateRight((x), 6) ^ rotateRight((x), 11) ^ rotateRight((x), 25))
#define SMALL_SIGMA0(x) (rotateRight((x), 7) ^ rotateRight((x), 18) ^ ((x) >> 3))
#define SMALL_SIGMA1(x) (rotateRight((x), 17) ^ rotateRight((x), 19) ^ ((x) >> 10))
#define CHOOSE(e, f, g) ((g) ^ ((e) & ((f) ^ (g))))
#define MAJORITY(a, b, c) (((a) & (b)) | ((c) & ((a) | (b))))
// Word t of the message schedule, kept as sixteen words rewritten in place
// (t is a constant: the compiler keeps only one branch).
#define WORD(t)                                                                                              \
    ((t) < 16 ? w[(t)&15]                                                                                    \
              : (w[(t)&15] += SMALL_SIGMA1(w[((t)-2) & 15]) + w[((t)-7) & 15] + SMALL_SIGMA0(w[((t)-15) & 15])))
// One round: d and h take the new values; instead of moving the eight
// working words along, the next round names them in rotated order.
#define ROUND(a, b, c, d, e, f, g, h, t)                                       \
    do {                                                                       \
        uint32_t t1 = (h) + BIG_SIGMA1(e) + CHOOSE(e, f, g) + kRound[t] + WORD(t); \
        (d) += t1;                                                             \
        (h) = t1 + BIG_SIGMA0(a) + MAJORITY(a, b, c);                          \
    } while (0)
#define EIGHT_ROUNDS(t)                        \
    ROUND(a, b, c, d, e, f, g, h, (t) + 0);    \
    ROUND(h, a, b, c, d, e, f, g, (t) + 1);    \
    ROUND(g, h, a, b, c, d, e, f, (t) + 2);    \
    ROUND(f, g, h, a, b, c, d, e, (t) + 3);    \
    ROUND(e, f, g, h, a, b, c, d, (t) + 4);    \
    ROUND(d, e, f, g, h, a, b, c, (t) + 5);    \
    ROUND(c, d, e, f, g, h, a, b, (t) + 6);    \
    ROUND(b, c, d, e, f, g, h, a, (t) + 7)

void compressPortable(uint32_t state[8], const uint8_t* data, size_t count) {
    for (; count != 0; --count, data += 64) {
        uint32_t w[16];
        for (int i = 0; i < 16; ++i) w[i] = loadBigEndian(data + 4 * i);
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        EIGHT_ROUNDS(0);
        EIGHT_ROUNDS(8);
        EIGHT_ROUNDS(16);
        EIGHT_ROUNDS(24);
        EIGHT_ROUNDS(32);
        EIGHT_ROUNDS(40);
        EIGHT_ROUNDS(48);
        EIGHT_ROUNDS(56);
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#undef BIG_SIGMA0
#undef BIG_SIGMA1
#undef SMALL_SIGMA0
#undef SMALL_SIGMA1
#undef CHOOSE
#undef MAJORITY
#undef WORD
#undef ROUND
#undef EIGHT_ROUNDS

#ifdef DORIMEL_SHA256_X86

// The SHA extensions keep the working words as ABEF and CDGH; each
// sha256rnds2 runs two rounds, sha256msg1/msg2 extend the schedule four
// words at a time.
__attribute__((target("sha,sse4.1,ssse3"))) void compressShaInstructions(uint32_t state[8],
                                                                           const uint8_t* data, size_t count) {
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
    __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);

    for (; count != 0; --count, data += 64) {
        const __m128i abefSaved = abef, cdghSaved = cdgh;
        __m128i m[4];
#pragma GCC unroll 16
        for (int g = 0; g < 16; ++g) {
            // m[g % 4] holds words 4g-16 .. 4g-13 and becomes words 4g .. 4g+3.
            if (g < 4) {
                m[g] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * g)),
                                        byteSwap);
            } else {
                __m128i x = _mm_sha256msg1_epu32(m[g & 3], m[(g - 3) & 3]);
                x = _mm_add_epi32(x, _mm_alignr_epi8(m[(g - 1) & 3], m[(g - 2) & 3], 4));
                m[g & 3] = _mm_sha256msg2_epu32(x, m[(g - 1) & 3]);
            }
            __m128i wk = _mm_add_epi32(m[g & 3], _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kRound[4 * g])));
            // Every two rounds the ABEF words become the CDGH words, so the
            // two registers simply take turns: after both calls abef and
            // cdgh hold their names again.
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, wk);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(wk, 0x0E));
        }
        abef = _mm_add_epi32(abef, abefSaved);
        cdgh = _mm_add_epi32(cdgh, cdghSaved);
    }

    __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), _mm_alignr_epi8(dchg, feba, 8));
}

bool processorHasShaInstructions() {
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) return false;
    const bool ssse3 = (ecx & (1u << 9)) != 0, sse41 = (ecx & (1u << 19)) != 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return false;
    return ssse3 && sse41 && (ebx & (1u << 29)) != 0;
}

#endif

bool& portableForced() {
    static bool forced = false;
    return forced;
}

bool haveShaInstructions() {
#ifdef DORIMEL_SHA256_X86
    static const bool have = processorHasShaInstructions();
    return have;
#else
    return false;
#endif
}

}  // namespace

bool Sha256::usesShaInstructions() {
    return haveShaInstructions() && !portableForced();
}

void Sha256::forcePortable(bool portable) {
    portableForced() = portable;
}

void Sha256::reset() {
    static const uint32_t kInitial[8] = {0x6a09e667u, 0xbb67ae85u, 0x3c6ef372u, 0xa54ff53au,
                                         0x510e527fu, 0x9b05688cu, 0x1f83d9abu, 0x5be0cd19u};
    std::memcpy(state_, kInitial, sizeof state_);
    byteCount_ = 0;
}

void Sha256::blocks(const uint8_t* data, size_t count) {
#ifdef DORIMEL_SHA256_X86
    if (usesShaInstructions()) {
        compressShaInstructions(state_, data, count);
        return;
    }
#endif
    compressPortable(state_, data, count);
}

void Sha256::update(const void* data, size_t size) {
    feedBlocks(buffer_, byteCount_, data, size, [this](const uint8_t* in, size_t count) { blocks(in, count); });
}

void Sha256::finish(uint8_t digest[kDigestSize]) {
    padBlocks(buffer_, byteCount_, LengthOrder::BigEndian,
              [this](const uint8_t* in, size_t count) { blocks(in, count); });
    for (int i = 0; i < 8; ++i)
        for (int j = 0; j < 4; ++j) digest[4 * i + j] = uint8_t(state_[i] >> (24 - 8 * j));
}
