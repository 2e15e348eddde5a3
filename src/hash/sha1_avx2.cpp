// 8 streams at once, one per 32-bit lane of a 256-bit register (built with -mavx2).
//
// Everything here except the entry point has internal linkage: these helpers are compiled with
// AVX2 enabled and must never be shared with code that runs on other CPUs.

#include "hash/sha1_kernels.h"

#include <immintrin.h>

#include "hash/lane_transpose.h"

#include <cstdint>

namespace {

constexpr std::size_t lanes = 8;

using vec = __m256i;

inline vec add(vec a, vec b) {
    return _mm256_add_epi32(a, b);
}
inline vec bxor(vec a, vec b) {
    return _mm256_xor_si256(a, b);
}

template <int N> inline vec rol(vec x) {
    return _mm256_or_si256(_mm256_slli_epi32(x, N), _mm256_srli_epi32(x, 32 - N));
}

template <int T> inline vec round_fn(vec b, vec c, vec d) {
    if constexpr (T < 20) {
        return bxor(d, _mm256_and_si256(b, bxor(c, d))); // b ? c : d
    } else if constexpr (T < 40 || T >= 60) {
        return bxor(bxor(b, c), d);
    } else {
        // majority
        return _mm256_or_si256(_mm256_and_si256(b, c), _mm256_and_si256(d, _mm256_or_si256(b, c)));
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

// One round for all lanes; `w` is a 16-entry ring of message words kept in registers, and the
// caller rotates the roles of a..e: `e` receives the new a, `b` is rotated in place.
template <int T> inline void round_step(vec a, vec &b, vec c, vec d, vec &e, vec *w) {
    if constexpr (T >= 16) {
        const vec x =
            bxor(bxor(w[(T - 3) & 15], w[(T - 8) & 15]), bxor(w[(T - 14) & 15], w[T & 15]));
        w[T & 15] = rol<1>(x);
    }
    const vec kw = add(w[T & 15], _mm256_set1_epi32(round_constant<T>()));
    // a is the value the previous round just produced: add it last so the chain from one
    // round to the next is only the rotate and one add.
    e = add(add(add(e, kw), round_fn<T>(b, c, d)), rol<5>(a));
    b = rol<30>(b);
}

template <int T> inline void five_rounds(vec &a, vec &b, vec &c, vec &d, vec &e, vec *w) {
    round_step<T>(a, b, c, d, e, w);
    round_step<T + 1>(e, a, b, c, d, w);
    round_step<T + 2>(d, e, a, b, c, w);
    round_step<T + 3>(c, d, e, a, b, w);
    round_step<T + 4>(b, c, d, e, a, w);
}

struct state {
    vec h[5];
};

// Runs `blocks` 64-byte blocks of every lane through the compression function; lane i reads
// from src[i], which advances by 64 bytes per block.
void compress(state &s, const unsigned char *const *src, std::size_t blocks) {
    // Message words are big-endian: reverse the bytes of each 32-bit word.
    const vec byte_swap = _mm256_set_epi32(0x0C0D0E0F, 0x08090A0B, 0x04050607, 0x00010203,
                                           0x0C0D0E0F, 0x08090A0B, 0x04050607, 0x00010203);
    for (std::size_t blk = 0; blk < blocks; ++blk) {
        vec w[16];
        for (std::size_t i = 0; i < lanes; ++i) {
            const unsigned char *p = src[i] + 64 * blk;
            w[i] = _mm256_shuffle_epi8(_mm256_loadu_si256(reinterpret_cast<const vec *>(p)),
                                       byte_swap);
            w[8 + i] = _mm256_shuffle_epi8(
                _mm256_loadu_si256(reinterpret_cast<const vec *>(p + 32)), byte_swap);
        }
        transpose_8x8(w);
        transpose_8x8(w + 8);

        vec a = s.h[0];
        vec b = s.h[1];
        vec c = s.h[2];
        vec d = s.h[3];
        vec e = s.h[4];
        five_rounds<0>(a, b, c, d, e, w);
        five_rounds<5>(a, b, c, d, e, w);
        five_rounds<10>(a, b, c, d, e, w);
        five_rounds<15>(a, b, c, d, e, w);
        five_rounds<20>(a, b, c, d, e, w);
        five_rounds<25>(a, b, c, d, e, w);
        five_rounds<30>(a, b, c, d, e, w);
        five_rounds<35>(a, b, c, d, e, w);
        five_rounds<40>(a, b, c, d, e, w);
        five_rounds<45>(a, b, c, d, e, w);
        five_rounds<50>(a, b, c, d, e, w);
        five_rounds<55>(a, b, c, d, e, w);
        five_rounds<60>(a, b, c, d, e, w);
        five_rounds<65>(a, b, c, d, e, w);
        five_rounds<70>(a, b, c, d, e, w);
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

void avx2_update(sha1_state *states, const unsigned char *const *data, std::size_t count,
                 std::size_t blocks) {
    // Lanes past `count` repeat the last stream; their results are dropped.
    const unsigned char *src[lanes];
    for (std::size_t i = 0; i < lanes; ++i) {
        src[i] = data[i < count ? i : count - 1];
    }
    alignas(32) std::uint32_t h[5 * lanes];
    states_to_columns(states, count, lanes, h);
    state s{};
    for (int j = 0; j < 5; ++j) {
        s.h[j] = _mm256_load_si256(reinterpret_cast<const vec *>(h + j * lanes));
    }
    compress(s, src, blocks);
    for (int j = 0; j < 5; ++j) {
        _mm256_store_si256(reinterpret_cast<vec *>(h + j * lanes), s.h[j]);
    }
    columns_to_states(h, lanes, states, count);
}

} // namespace sha1_kernels
