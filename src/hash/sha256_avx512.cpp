// 16 messages at once, one per 32-bit lane of a 512-bit register (built with -mavx512f/vl/bw).
//
// Everything here except the entry point has internal linkage: these helpers are compiled with
// AVX-512 enabled and must never be shared with code that runs on other CPUs.

#include "hash/sha256_kernels.h"

// GCC 12's AVX-512 intrinsics fill unused result lanes from a self-initialised variable, which
// -Wuninitialized and -Wmaybe-uninitialized report once they are inlined here; nothing in this
// file reads it.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include "hash/lane_transpose.h"
#include "hash/sha256_wide.h"

namespace {

struct ops {
    using vec = __m512i;
    static constexpr std::size_t width = 16;

    static vec add(vec a, vec b) { return _mm512_add_epi32(a, b); }
    template <int N> static vec ror(vec x) { return _mm512_ror_epi32(x, N); }
    template <int N> static vec shr(vec x) { return _mm512_srli_epi32(x, N); }
    // One vpternlogd each; the immediates are truth tables indexed by (a << 2) | (b << 1) | c.
    static vec xor3(vec a, vec b, vec c) { return _mm512_ternarylogic_epi32(a, b, c, 0x96); }
    static vec choose(vec e, vec f, vec g) { return _mm512_ternarylogic_epi32(e, f, g, 0xCA); }
    static vec majority(vec a, vec b, vec c) { return _mm512_ternarylogic_epi32(a, b, c, 0xE8); }
    static vec broadcast(std::uint32_t x) { return _mm512_set1_epi32(static_cast<int>(x)); }

    // Word j of each row i into lane i of w[j]: a 16 x 16 transpose of 32-bit words.
    static void load_block(const unsigned char *const *rows, std::size_t offset, vec *w) {
        const vec byte_swap = _mm512_set4_epi32(0x0C0D0E0F, 0x08090A0B, 0x04050607, 0x00010203);
        vec r[16];
        for (std::size_t i = 0; i < 16; ++i) {
            r[i] = _mm512_shuffle_epi8(_mm512_loadu_si512(rows[i] + offset), byte_swap);
        }
        transpose_16x16(r, w);
    }
    static void store(vec x, std::uint32_t *words) { _mm512_storeu_si512(words, x); }
};

} // namespace

namespace sha256_kernels {

void avx512_x16(const unsigned char *data, std::size_t length, std::size_t count,
                unsigned char *digests) {
    sha256_wide::lanes<ops>::hash(data, length, count, digests);
}

} // namespace sha256_kernels
