#include "update/sha256.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#if defined(__x86_64__) || defined(_M_X64)
#define TARNIX_SHA_X86 1
#include <immintrin.h>
#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#define TARNIX_SHA_TARGET
#define TARNIX_SHA_INLINE __forceinline
#else
#include <cpuid.h>
#define TARNIX_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))
#define TARNIX_SHA_INLINE inline __attribute__((always_inline))
#endif
#endif

namespace sha256 {
namespace {

const uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

uint32_t rotr(uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

void blocks_plain(uint32_t state[8], const unsigned char* data, size_t count) {
    for (; count > 0; --count, data += 64) {
        uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            w[i] = (uint32_t{data[4 * i]} << 24) | (uint32_t{data[4 * i + 1]} << 16) |
                   (uint32_t{data[4 * i + 2]} << 8) | uint32_t{data[4 * i + 3]};
        }
        for (int i = 16; i < 64; ++i) {
            uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                          kRound[i] + w[i];
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

#ifdef TARNIX_SHA_X86
bool cpu_has_sha() {
#if defined(_MSC_VER) && !defined(__clang__)
    int r[4];
    __cpuid(r, 0);
    if (r[0] < 7) {
        return false;
    }
    __cpuid(r, 1);
    const bool sse = (r[2] & (1 << 19)) && (r[2] & (1 << 9)); // SSE4.1, SSSE3
    __cpuidex(r, 7, 0);
    return sse && (r[1] & (1 << 29));
#else
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & (1u << 19)) || !(c & (1u << 9))) {
        return false;
    }
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & (1u << 29));
#endif
}

// Four rounds: group `g` of the message schedule (words 4g..4g+3) in `cur`,
// made from the groups before it for g >= 4 (`cur` holds group g-4, `next`
// g-3, `prev` g-1, `prev2` g-2).
TARNIX_SHA_TARGET TARNIX_SHA_INLINE void four_rounds(int g, __m128i& state0, __m128i& state1,
                                                     __m128i& cur, const __m128i& next,
                                                     const __m128i& prev, const __m128i& prev2) {
    if (g >= 4) {
        cur = _mm_sha256msg1_epu32(cur, next);
        cur = _mm_add_epi32(cur, _mm_alignr_epi8(prev, prev2, 4));
        cur = _mm_sha256msg2_epu32(cur, prev);
    }
    __m128i msg =
        _mm_add_epi32(cur, _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kRound[4 * g])));
    state1 = _mm_sha256rnds2_epu32(state1, state0, msg);
    msg = _mm_shuffle_epi32(msg, 0x0E);
    state0 = _mm_sha256rnds2_epu32(state0, state1, msg);
}

// The state as ABEF and CDGH, as the SHA instructions take it.
TARNIX_SHA_TARGET void blocks_sha(uint32_t state[8], const unsigned char* data, size_t count) {
    const __m128i kSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
    __m128i state1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
    tmp = _mm_shuffle_epi32(tmp, 0xB1);               // CDAB
    state1 = _mm_shuffle_epi32(state1, 0x1B);         // EFGH
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8); // ABEF
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);      // CDGH
    for (; count > 0; --count, data += 64) {
        const __m128i abef = state0;
        const __m128i cdgh = state1;
        const auto* in = reinterpret_cast<const __m128i*>(data);
        __m128i w0 = _mm_shuffle_epi8(_mm_loadu_si128(in), kSwap);
        __m128i w1 = _mm_shuffle_epi8(_mm_loadu_si128(in + 1), kSwap);
        __m128i w2 = _mm_shuffle_epi8(_mm_loadu_si128(in + 2), kSwap);
        __m128i w3 = _mm_shuffle_epi8(_mm_loadu_si128(in + 3), kSwap);
        for (int g = 0; g < 16; g += 4) {
            four_rounds(g, state0, state1, w0, w1, w3, w2);
            four_rounds(g + 1, state0, state1, w1, w2, w0, w3);
            four_rounds(g + 2, state0, state1, w2, w3, w1, w0);
            four_rounds(g + 3, state0, state1, w3, w0, w2, w1);
        }
        state0 = _mm_add_epi32(state0, abef);
        state1 = _mm_add_epi32(state1, cdgh);
    }
    tmp = _mm_shuffle_epi32(state0, 0x1B);       // FEBA
    state1 = _mm_shuffle_epi32(state1, 0xB1);    // DCHG
    state0 = _mm_blend_epi16(tmp, state1, 0xF0); // DCBA
    state1 = _mm_alignr_epi8(state1, tmp, 8);    // ABEF
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), state1);
}

const bool kCpuHasSha = cpu_has_sha();
#else
const bool kCpuHasSha = false;
#endif

std::atomic<bool> g_allowed{true};

void blocks(uint32_t state[8], const unsigned char* data, size_t count) {
#ifdef TARNIX_SHA_X86
    if (kCpuHasSha && g_allowed.load(std::memory_order_relaxed)) {
        blocks_sha(state, data, count);
        return;
    }
#endif
    blocks_plain(state, data, count);
}

} // namespace

bool sha_instructions() {
    return kCpuHasSha && g_allowed.load();
}

void allow_sha_instructions(bool allowed) {
    g_allowed.store(allowed);
}

Hasher::Hasher() {
    reset();
}

void Hasher::reset() {
    static const uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(state_, kInitial, sizeof state_);
    length_ = 0;
    used_ = 0;
}

void Hasher::update(const void* data, size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    length_ += size;
    if (used_ > 0) {
        const size_t take = std::min(size, sizeof block_ - used_);
        std::memcpy(block_ + used_, p, take);
        used_ += take;
        p += take;
        size -= take;
        if (used_ < sizeof block_) {
            return;
        }
        blocks(state_, block_, 1);
        used_ = 0;
    }
    if (size >= 64) {
        blocks(state_, p, size / 64);
        p += size - size % 64;
        size %= 64;
    }
    if (size > 0) {
        std::memcpy(block_, p, size);
        used_ = size;
    }
}

std::string Hasher::finish() {
    const uint64_t bits = length_ * 8;
    const unsigned char pad = 0x80;
    update(&pad, 1);
    const unsigned char zero[64] = {};
    update(zero, used_ <= 56 ? 56 - used_ : 120 - used_);
    unsigned char tail[8];
    for (int i = 0; i < 8; ++i) {
        tail[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    }
    update(tail, 8);
    std::string digest(32, '\0');
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 4; ++j) {
            digest[4 * i + j] = static_cast<char>(state_[i] >> (24 - 8 * j));
        }
    }
    reset();
    return digest;
}

} // namespace sha256
