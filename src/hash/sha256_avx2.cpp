// 8 messages at once, one per 32-bit lane of a 256-bit register (built with -mavx2).
//
// Everything here except the entry point has internal linkage: these helpers are compiled with
// AVX2 enabled and must never be shared with code that runs on other CPUs.

#include "hash/sha256_kernels.h"

#include <immintrin.h>

#include "hash/lane_transpose.h"
#include "hash/sha256_wide.h"

namespace {

struct ops {
    using vec = __m256i;
    static constexpr std::size_t width = 8;

    static vec add(vec a, vec b) { return _mm256_add_epi32(a, b); }
    template <int N> static vec ror(vec x) {
        return _mm256_or_si256(_mm256_srli_epi32(x, N), _mm256_slli_epi32(x, 32 - N));
    }
    template <int N> static vec shr(vec x) { return _mm256_srli_epi32(x, N); }
    static vec xor3(vec a, vec b, vec c) { return _mm256_xor_si256(_mm256_xor_si256(a, b), c); }
    static vec choose(vec e, vec f, vec g) {
        return _mm256_xor_si256(g, _mm256_and_si256(e, _mm256_xor_si256(f, g)));
    }
    static vec majority(vec a, vec b, vec c) {
        return _mm256_or_si256(_mm256_and_si256(a, b), _mm256_and_si256(c, _mm256_or_si256(a, b)));
    }
    static vec broadcast(std::uint32_t x) { return _mm256_set1_epi32(static_cast<int>(x)); }

    // Word j of each row i into lane i of w[j]: two 8 x 8 transposes of 32-bit words.
    static void load_block(const unsigned char *const *rows, std::size_t offset, vec *w) {
        const vec byte_swap = _mm256_set_epi64x(0x0C0D0E0F08090A0B, 0x0405060700010203,
                                                0x0C0D0E0F08090A0B, 0x0405060700010203);
        for (std::size_t i = 0; i < width; ++i) {
            const unsigned char *row = rows[i] + offset;
            w[i] = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const vec *>(row)),
                                       byte_swap);
            w[8 + i] = _mm256_shuffle_epi8(
                _mm256_loadu_si256(reinterpret_cast<const vec *>(row + 32)), byte_swap);
        }
        transpose_8x8(w);
        transpose_8x8(w + 8);
    }
    static void store(vec x, std::uint32_t *words) {
        _mm256_storeu_si256(reinterpret_cast<vec *>(words), x);
    }
};

} // namespace

namespace sha256_kernels {

void avx2_x8(const unsigned char *data, std::size_t length, std::size_t count,
             unsigned char *digests) {
    sha256_wide::lanes<ops>::hash(data, length, count, digests);
}

} // namespace sha256_kernels
