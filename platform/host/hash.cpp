/*
 * Host hash service: SHA-256 (FIPS 180-4), in portable C++ and, on x86-64
 * processors that have them, with the SHA instructions.
 *
 * Why not a library: loading OpenSSL's libcrypto costs 3.6M instructions
 * (and 2.6 MB on armhf), and nettle's 0.48M (its relocations; loading the
 * module then adds 1.06M instead of 0.47M), which every script paid at
 * start whether it hashed or not; and nettle hashes 1 MiB at 0.89x
 * OpenSSL's speed here (1.54 against 1.73 GB/s). This file costs nothing
 * to load, and with the SHA instructions it hashes as fast as OpenSSL does
 * (docs/performance.md). Without them (also under valgrind, which hides
 * them) it runs the portable rounds, at a sixth of that speed (0.28 against
 * 1.70 GB/s here). The SHA instructions gain ~6x. On the device the
 * device's own platform library hashes; this file serves workstations.
 *
 * Caveats: the choice is made on the first call and kept; the state and the
 * last partial block live on the caller's stack, so calls from several
 * threads are safe and no heap memory is used.
 */
#include "platform/hash.h"
#include "platform/host/hash_debug.h"

#include <atomic>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#include <immintrin.h>
#define KEM_SHA_NI 1
#endif

namespace {

alignas(16) constexpr uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr uint32_t H0[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

using compress_fn = void (*)(uint32_t state[8], const unsigned char *data, size_t blocks);

inline uint32_t rotr(uint32_t x, int n) { return x >> n | x << (32 - n); }

inline uint32_t load_be32(const unsigned char *p)
{
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

/* The 64 rounds over each 64-byte block, in portable code. */
void compress_portable(uint32_t state[8], const unsigned char *data, size_t blocks)
{
    for (; blocks; --blocks, data += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i)
            w[i] = load_be32(data + 4 * i);
        for (int i = 16; i < 64; ++i) {
            uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + K[i] + w[i];
            uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a; state[1] += b; state[2] += c; state[3] += d;
        state[4] += e; state[5] += f; state[6] += g; state[7] += h;
    }
}

#ifdef KEM_SHA_NI
/* The same with the SHA instructions: each sha256rnds2 does two rounds on
   the state held as ABEF and CDGH; msg1 and msg2 extend the schedule four
   words at a time. */
__attribute__((target("sha,sse4.1"))) void compress_sha_ni(uint32_t state[8], const unsigned char *data,
                                                           size_t blocks)
{
    const __m128i swap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL); /* big-endian words */
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i *>(state));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i *>(state + 4));
    __m128i cdab = _mm_shuffle_epi32(dcba, 0xb1);
    __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1b);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xf0);
    for (; blocks; --blocks, data += 64) {
        __m128i abef_in = abef, cdgh_in = cdgh;
        __m128i m[4];
        for (int i = 0; i < 4; ++i)
            m[i] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(data + 16 * i)), swap);
#pragma GCC unroll 16
        for (int g = 0; g < 16; ++g) { /* rounds 4g to 4g + 3 */
            __m128i w = _mm_add_epi32(m[g & 3], _mm_load_si128(reinterpret_cast<const __m128i *>(K + 4 * g)));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, w);
            if (g >= 3 && g < 15) {
                __m128i next = _mm_add_epi32(m[(g + 1) & 3], _mm_alignr_epi8(m[g & 3], m[(g - 1) & 3], 4));
                m[(g + 1) & 3] = _mm_sha256msg2_epu32(next, m[g & 3]);
            }
            abef = _mm_sha256rnds2_epu32(abef, cdgh, _mm_shuffle_epi32(w, 0x0e));
            if (g >= 1 && g < 13)
                m[(g - 1) & 3] = _mm_sha256msg1_epu32(m[(g - 1) & 3], m[g & 3]);
        }
        abef = _mm_add_epi32(abef, abef_in);
        cdgh = _mm_add_epi32(cdgh, cdgh_in);
    }
    __m128i feba = _mm_shuffle_epi32(abef, 0x1b);
    __m128i dchg = _mm_shuffle_epi32(cdgh, 0xb1);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state), _mm_blend_epi16(feba, dchg, 0xf0));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

/* The SHA instructions where the processor has them (with SSSE3 and SSE4.1). */
compress_fn choose()
{
    unsigned a, b, c, d;
    bool sha = __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_SHA);
    bool sse = __get_cpuid(1, &a, &b, &c, &d) && (c & bit_SSSE3) && (c & bit_SSE4_1);
    return sha && sse ? compress_sha_ni : compress_portable;
}
#else
compress_fn choose() { return compress_portable; }
#endif

std::atomic<compress_fn> chosen{nullptr}; /* lock-free: no guard, no C++ runtime */

}  // namespace

extern "C" void hash_sha256_portable(int on)
{
    chosen.store(on ? compress_portable : nullptr, std::memory_order_relaxed);
}

extern "C" int hash_sha256(const void *data, size_t size, unsigned char *digest)
{
    if (!digest || (!data && size))
        return -1;
    compress_fn compress = chosen.load(std::memory_order_relaxed);
    if (!compress) {
        compress = choose();
        chosen.store(compress, std::memory_order_relaxed);
    }
    uint32_t state[8];
    std::memcpy(state, H0, sizeof state);
    const auto *in = static_cast<const unsigned char *>(data);
    size_t whole = size / 64;
    if (whole)
        compress(state, in, whole);

    /* the rest, the 0x80 byte, zeros and the length in bits: one or two blocks */
    unsigned char last[128] = {};
    size_t rest = size % 64;
    if (rest)
        std::memcpy(last, in + whole * 64, rest);
    last[rest] = 0x80;
    size_t tail = rest < 56 ? 64 : 128;
    uint64_t bits = static_cast<uint64_t>(size) * 8;
    for (int i = 0; i < 8; ++i)
        last[tail - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    compress(state, last, tail / 64);

    for (int i = 0; i < 8; ++i) {
        digest[4 * i] = static_cast<unsigned char>(state[i] >> 24);
        digest[4 * i + 1] = static_cast<unsigned char>(state[i] >> 16);
        digest[4 * i + 2] = static_cast<unsigned char>(state[i] >> 8);
        digest[4 * i + 3] = static_cast<unsigned char>(state[i]);
    }
    return 0;
}
