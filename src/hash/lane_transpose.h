#pragma once

// Word transposes that turn the blocks of several messages, one message per row, into the
// vectors of a multi-lane hash kernel, one message per lane: word j of row i goes to lane i of
// vector j. Include only from a kernel file built for the instruction set (the functions are
// internal to each file that includes them, so no code built for one set reaches another).

#include <immintrin.h>

#include <cstddef>

namespace {

#if defined(__AVX2__)
// 8 rows of 8 words, in place.
inline void transpose_8x8(__m256i *r) {
    // Within each 128-bit half, the 4 x 4 words of rows 4q..4q+3 are transposed: u[4q + m]
    // then holds, in half k, word 4k + m of those four rows.
    __m256i u[8];
    for (std::size_t q = 0; q < 8; q += 4) {
        const __m256i ab_lo = _mm256_unpacklo_epi32(r[q], r[q + 1]);
        const __m256i ab_hi = _mm256_unpackhi_epi32(r[q], r[q + 1]);
        const __m256i cd_lo = _mm256_unpacklo_epi32(r[q + 2], r[q + 3]);
        const __m256i cd_hi = _mm256_unpackhi_epi32(r[q + 2], r[q + 3]);
        u[q] = _mm256_unpacklo_epi64(ab_lo, cd_lo);
        u[q + 1] = _mm256_unpackhi_epi64(ab_lo, cd_lo);
        u[q + 2] = _mm256_unpacklo_epi64(ab_hi, cd_hi);
        u[q + 3] = _mm256_unpackhi_epi64(ab_hi, cd_hi);
    }
    // Then the halves of u[m] and u[4 + m] are swapped crosswise.
    for (std::size_t m = 0; m < 4; ++m) {
        r[m] = _mm256_permute2x128_si256(u[m], u[4 + m], 0x20);
        r[4 + m] = _mm256_permute2x128_si256(u[m], u[4 + m], 0x31);
    }
}
#endif

#if defined(__AVX512F__)
// The two steps of the 16 x 16 transpose, apart, so that a kernel may spread them among its
// rounds. First, four rows r[0..3] (rows 4q..4q+3): u[m] then holds, in 128-bit lane k, word
// 4k + m of those rows.
inline void transpose_four_rows(const __m512i *r, __m512i *u) {
    const __m512i ab_lo = _mm512_unpacklo_epi32(r[0], r[1]);
    const __m512i ab_hi = _mm512_unpackhi_epi32(r[0], r[1]);
    const __m512i cd_lo = _mm512_unpacklo_epi32(r[2], r[3]);
    const __m512i cd_hi = _mm512_unpackhi_epi32(r[2], r[3]);
    u[0] = _mm512_unpacklo_epi64(ab_lo, cd_lo);
    u[1] = _mm512_unpackhi_epi64(ab_lo, cd_lo);
    u[2] = _mm512_unpacklo_epi64(ab_hi, cd_hi);
    u[3] = _mm512_unpackhi_epi64(ab_hi, cd_hi);
}

// Then, once all sixteen rows went through the first step into u[0..15], words m, 4 + m, 8 + m
// and 12 + m: the 4 x 4 lanes of u[m], u[4 + m], u[8 + m], u[12 + m] are transposed.
inline void transpose_four_columns(const __m512i *u, std::size_t m, __m512i *w) {
    const __m512i low01 = _mm512_shuffle_i32x4(u[m], u[4 + m], 0x44);
    const __m512i high01 = _mm512_shuffle_i32x4(u[m], u[4 + m], 0xEE);
    const __m512i low23 = _mm512_shuffle_i32x4(u[8 + m], u[12 + m], 0x44);
    const __m512i high23 = _mm512_shuffle_i32x4(u[8 + m], u[12 + m], 0xEE);
    w[m] = _mm512_shuffle_i32x4(low01, low23, 0x88);
    w[4 + m] = _mm512_shuffle_i32x4(low01, low23, 0xDD);
    w[8 + m] = _mm512_shuffle_i32x4(high01, high23, 0x88);
    w[12 + m] = _mm512_shuffle_i32x4(high01, high23, 0xDD);
}

// 16 rows of 16 words, from `r` into `w`.
inline void transpose_16x16(const __m512i *r, __m512i *w) {
    __m512i u[16];
    for (std::size_t q = 0; q < 16; q += 4) {
        transpose_four_rows(r + q, u + q);
    }
    for (std::size_t m = 0; m < 4; ++m) {
        transpose_four_columns(u, m, w);
    }
}
#endif

} // namespace
