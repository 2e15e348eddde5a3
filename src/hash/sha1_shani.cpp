// Up to 4 streams at once with the SHA extensions (built with -msha -msse4.1).
//
// A single SHA-1 stream through sha1rnds4 is bound by that instruction's latency; four
// independent streams advanced in lockstep keep the unit busy. Everything here except the entry
// point has internal linkage, so no helper built with SHA/SSE4.1 is shared with other code.

#include "hash/sha1_kernels.h"

#include <immintrin.h>

#include <cstdint>

namespace {

constexpr std::size_t max_streams = 4;

using vec = __m128i;

// Per-stream state in the register layout of the SHA instructions: a in the top dword of `abcd`
// down to d in the bottom one. `prev` is abcd as it was four rounds earlier, from which
// sha1nexte derives the next e; `msg` is a ring of the last 16 message words, 4 per register
// with the earliest word on top.
struct lane {
    vec abcd;
    vec e;
    vec prev;
    vec msg[4];
};

// Four rounds of every stream: rounds 4G..4G+3.
template <std::size_t N, int G> inline void four_rounds(lane *l) {
    for (std::size_t s = 0; s < N; ++s) {
        vec *m = l[s].msg;
        if constexpr (G >= 4) {
            // W[t] = rol1(W[t-3] ^ W[t-8] ^ W[t-14] ^ W[t-16]), four words at a time.
            const vec x =
                _mm_xor_si128(_mm_sha1msg1_epu32(m[G & 3], m[(G + 1) & 3]), m[(G + 2) & 3]);
            m[G & 3] = _mm_sha1msg2_epu32(x, m[(G + 3) & 3]);
        }
        vec e_plus_w;
        if constexpr (G == 0) {
            e_plus_w = _mm_add_epi32(l[s].e, m[0]);
        } else {
            e_plus_w = _mm_sha1nexte_epu32(l[s].prev, m[G & 3]);
        }
        l[s].prev = l[s].abcd;
        l[s].abcd = _mm_sha1rnds4_epu32(l[s].abcd, e_plus_w, G / 5);
    }
}

// Runs `blocks` 64-byte blocks of each of the N streams through the compression function;
// stream i reads from src[i], which advances by 64 bytes per block.
template <std::size_t N>
void compress(lane *l, const unsigned char *const *src, std::size_t blocks) {
    // Reverses all 16 bytes: big-endian words, and the first word lands in the top dword.
    const vec reverse = _mm_set_epi64x(0x0001020304050607, 0x08090A0B0C0D0E0F);
    for (std::size_t blk = 0; blk < blocks; ++blk) {
        vec saved_abcd[N];
        vec saved_e[N];
        for (std::size_t s = 0; s < N; ++s) {
            const unsigned char *p = src[s] + 64 * blk;
            for (std::size_t q = 0; q < 4; ++q) {
                l[s].msg[q] = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const vec *>(p + 16 * q)), reverse);
            }
            saved_abcd[s] = l[s].abcd;
            saved_e[s] = l[s].e;
        }
        four_rounds<N, 0>(l);
        four_rounds<N, 1>(l);
        four_rounds<N, 2>(l);
        four_rounds<N, 3>(l);
        four_rounds<N, 4>(l);
        four_rounds<N, 5>(l);
        four_rounds<N, 6>(l);
        four_rounds<N, 7>(l);
        four_rounds<N, 8>(l);
        four_rounds<N, 9>(l);
        four_rounds<N, 10>(l);
        four_rounds<N, 11>(l);
        four_rounds<N, 12>(l);
        four_rounds<N, 13>(l);
        four_rounds<N, 14>(l);
        four_rounds<N, 15>(l);
        four_rounds<N, 16>(l);
        four_rounds<N, 17>(l);
        four_rounds<N, 18>(l);
        four_rounds<N, 19>(l);
        for (std::size_t s = 0; s < N; ++s) {
            // e after round 79 is rol30 of a from four rounds before; sha1nexte adds the saved e.
            l[s].e = _mm_sha1nexte_epu32(l[s].prev, saved_e[s]);
            l[s].abcd = _mm_add_epi32(l[s].abcd, saved_abcd[s]);
        }
    }
}

template <std::size_t N>
void update_streams(sha1_state *states, const unsigned char *const *data, std::size_t blocks) {
    lane l[N];
    for (std::size_t i = 0; i < N; ++i) {
        const unsigned *h = states[i].h;
        l[i].abcd = _mm_set_epi32(static_cast<int>(h[0]), static_cast<int>(h[1]),
                                  static_cast<int>(h[2]), static_cast<int>(h[3]));
        l[i].e = _mm_set_epi32(static_cast<int>(h[4]), 0, 0, 0);
        l[i].prev = l[i].abcd;
    }
    compress<N>(l, data, blocks);
    for (std::size_t i = 0; i < N; ++i) {
        alignas(16) std::uint32_t abcd[4];
        alignas(16) std::uint32_t e[4];
        _mm_store_si128(reinterpret_cast<vec *>(abcd), l[i].abcd);
        _mm_store_si128(reinterpret_cast<vec *>(e), l[i].e);
        unsigned *h = states[i].h;
        h[0] = abcd[3];
        h[1] = abcd[2];
        h[2] = abcd[1];
        h[3] = abcd[0];
        h[4] = e[3];
    }
}

} // namespace

namespace sha1_kernels {

void shani_update(sha1_state *states, const unsigned char *const *data, std::size_t count,
                  std::size_t blocks) {
    // Only live streams are computed: one stream is bound by the latency of sha1rnds4, and each
    // extra independent stream fills the gaps, up to the unit's throughput at about four.
    switch (count) {
    case 1:
        update_streams<1>(states, data, blocks);
        break;
    case 2:
        update_streams<2>(states, data, blocks);
        break;
    case 3:
        update_streams<3>(states, data, blocks);
        break;
    default:
        update_streams<max_streams>(states, data, blocks);
        break;
    }
}

} // namespace sha1_kernels
