// 16 streams at once, one per 32-bit lane of a 512-bit register (built with -mavx512f/vl/bw).
//
// Everything here except the entry point has internal linkage: these helpers are compiled with
// AVX-512 enabled and must never be shared with code that runs on other CPUs.

#include "hash/sha1_kernels.h"

// GCC 12's AVX-512 intrinsics fill unused result lanes from a self-initialised variable, which
// -Wmaybe-uninitialized reports once they are inlined here; nothing in this file reads it.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include "hash/lane_transpose.h"

#include <algorithm>
#include <cstdint>

namespace {

constexpr std::size_t lanes = 16;

using vec = __m512i;

inline vec add(vec a, vec b) {
    return _mm512_add_epi32(a, b);
}

// Round function of the round's stage, one vpternlogd each. The immediates are the truth
// tables of the three-input functions, indexed by (b << 2) | (c << 1) | d.
template <int T> inline vec round_fn(vec b, vec c, vec d) {
    if constexpr (T < 20) {
        return _mm512_ternarylogic_epi32(b, c, d, 0xCA); // b ? c : d
    } else if constexpr (T < 40 || T >= 60) {
        return _mm512_ternarylogic_epi32(b, c, d, 0x96); // b ^ c ^ d
    } else {
        return _mm512_ternarylogic_epi32(b, c, d, 0xE8); // majority
    }
}

template <int T> constexpr int round_constant() {
    if constexpr (T < 20) {
        return 0x5A827999;
    } else if constexpr (T < 40) {
        return 0x6ED9EBA1;
    } else if constexpr (T < 60) {
        return static_cast<int>(0x8F1BBCDCU);
    } else {
        return static_cast<int>(0xCA62C1D6U);
    }
}

// One round for all lanes. The message schedule lives in a 16-entry ring `w` that the compiler
// keeps in registers (all indices are constants once inlined). The caller rotates the roles of
// a..e instead of moving values: `e` receives the new a, `b` is rotated in place.
//
// vpternlogd overwrites its first operand, so each one is given a value that dies there: the
// schedule's oldest word (after one plain xor) and b, whose rotation is taken first. Otherwise
// GCC copies a register before nearly every one of them, some 140 copies a block.
template <int T> inline void round_step(vec a, vec &b, vec c, vec d, vec &e, vec *w) {
    if constexpr (T >= 16) {
        const vec x = _mm512_xor_si512(w[T & 15], w[(T - 14) & 15]);
        w[T & 15] = _mm512_rol_epi32(
            _mm512_ternarylogic_epi32(x, w[(T - 3) & 15], w[(T - 8) & 15], 0x96), 1);
    }
    const vec kw = add(w[T & 15], _mm512_set1_epi32(round_constant<T>()));
    const vec b30 = _mm512_rol_epi32(b, 30);
    // a is the value the previous round just produced: add it last so the chain from one
    // round to the next is only the rotate and one add.
    e = add(add(add(e, kw), round_fn<T>(b, c, d)), _mm512_rol_epi32(a, 5));
    b = b30;
}

template <int T> inline void five_rounds(vec &a, vec &b, vec &c, vec &d, vec &e, vec *w) {
    round_step<T>(a, b, c, d, e, w);
    round_step<T + 1>(e, a, b, c, d, w);
    round_step<T + 2>(d, e, a, b, c, w);
    round_step<T + 3>(c, d, e, a, b, w);
    round_step<T + 4>(b, c, d, e, a, w);
}

// Message words arrive as rows (row i = the 16 words of lane i's block) and the rounds take them
// as columns (column j = word j of every lane). On Intel's cores the transposition's shuffles
// all run on one execution port and the rounds' rotates on another, so the next block is
// transposed in small steps spread among the rounds of the current one rather than in one burst
// that leaves the rotate port idle: on an Intel Xeon of the Sapphire Rapids generation that took
// 16 lanes of 256 KiB messages from 7.5 to 8.3 GB/s on one core.

// Rows 4q..4q+3 of the block at `offset`, byte-swapped, through the first two steps of the
// transposition: u[4q + m] holds, in 128-bit lane k, word 4k + m of those rows.
inline void rows_step(const unsigned char *const *src, std::size_t offset, std::size_t q, vec *u,
                      vec byte_swap) {
    vec r[4];
    for (std::size_t i = 0; i < 4; ++i) {
        r[i] = _mm512_shuffle_epi8(_mm512_loadu_si512(src[4 * q + i] + offset), byte_swap);
    }
    transpose_four_rows(r, u + 4 * q);
}

struct state {
    vec h[5];
};

// Runs `blocks` (at least 1) 64-byte blocks of every lane through the compression function;
// lane i reads from src[i], which advances by 64 bytes per block.
void compress(state &s, const unsigned char *const *src, std::size_t blocks) {
    // Message words are big-endian: reverse the bytes of each 32-bit word.
    const vec byte_swap = _mm512_set4_epi32(0x0C0D0E0F, 0x08090A0B, 0x04050607, 0x00010203);
    vec u[16];
    vec next[16];
    for (std::size_t q = 0; q < 4; ++q) {
        rows_step(src, 0, q, u, byte_swap);
    }
    for (std::size_t m = 0; m < 4; ++m) {
        transpose_four_columns(u, m, next);
    }
    for (std::size_t blk = 0; blk < blocks; ++blk) {
        vec w[16];
        std::copy(next, next + 16, w);
        // The last block transposes itself again rather than read past the end.
        const std::size_t ahead = 64 * (blk + 1 < blocks ? blk + 1 : blk);
        vec a = s.h[0];
        vec b = s.h[1];
        vec c = s.h[2];
        vec d = s.h[3];
        vec e = s.h[4];
        five_rounds<0>(a, b, c, d, e, w);
        rows_step(src, ahead, 0, u, byte_swap);
        five_rounds<5>(a, b, c, d, e, w);
        five_rounds<10>(a, b, c, d, e, w);
        rows_step(src, ahead, 1, u, byte_swap);
        five_rounds<15>(a, b, c, d, e, w);
        five_rounds<20>(a, b, c, d, e, w);
        rows_step(src, ahead, 2, u, byte_swap);
        five_rounds<25>(a, b, c, d, e, w);
        five_rounds<30>(a, b, c, d, e, w);
        rows_step(src, ahead, 3, u, byte_swap);
        five_rounds<35>(a, b, c, d, e, w);
        five_rounds<40>(a, b, c, d, e, w);
        transpose_four_columns(u, 0, next);
        five_rounds<45>(a, b, c, d, e, w);
        five_rounds<50>(a, b, c, d, e, w);
        transpose_four_columns(u, 1, next);
        five_rounds<55>(a, b, c, d, e, w);
        five_rounds<60>(a, b, c, d, e, w);
        transpose_four_columns(u, 2, next);
        five_rounds<65>(a, b, c, d, e, w);
        five_rounds<70>(a, b, c, d, e, w);
        transpose_four_columns(u, 3, next);
        five_rounds<75>(a, b, c, d, e, w);
        s.h[0] = add(s.h[0], a);
        s.h[1] = add(s.h[1], b);
        s.h[2] = add(s.h[2], c);
        s.h[3] = add(s.h[3], d);
        s.h[4] = add(s.h[4], e);
    }
}

} // namespace

namespace sha1_kernels {

void avx512_update(sha1_state *states, const unsigned char *const *data, std::size_t count,
                   std::size_t blocks) {
    if (blocks == 0) {
        return;
    }
    // Lanes past `count` repeat the last stream; their results are dropped.
    const unsigned char *src[lanes];
    for (std::size_t i = 0; i < lanes; ++i) {
        src[i] = data[i < count ? i : count - 1];
    }
    alignas(64) std::uint32_t h[5 * lanes];
    states_to_columns(states, count, lanes, h);
    state s{};
    for (int j = 0; j < 5; ++j) {
        s.h[j] = _mm512_load_si512(h + j * lanes);
    }
    compress(s, src, blocks);
    for (int j = 0; j < 5; ++j) {
        _mm512_store_si512(h + j * lanes, s.h[j]);
    }
    columns_to_states(h, lanes, states, count);
}

} // namespace sha1_kernels
