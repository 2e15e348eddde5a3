// Up to 4 messages at once with the SHA extensions (built with -msha -msse4.1 -mssse3).
//
// One SHA-256 stream through sha256rnds2 waits on that instruction's latency; independent
// messages advanced in lockstep fill the gaps. Everything here except the entry point has
// internal linkage, so no helper built with these flags is shared with other code.

#include "hash/message_tail.h"
#include "hash/sha256_kernels.h"

#include <immintrin.h>

#include <cstdint>
#include <utility>

namespace {

using vec = __m128i;
using sha256_kernels::padding_schedule;

// One message's state in the layout of the SHA instructions (a in the top dword of `abef`, h in
// the bottom one of `cdgh`) and its last 16 message words, 4 per register with the earliest in
// the bottom dword.
struct stream {
    vec abef;
    vec cdgh;
    vec msg[4];
};

inline vec words_at(const std::uint32_t *words) {
    return _mm_loadu_si128(reinterpret_cast<const vec *>(words));
}

// Four rounds taking in `wk`, four message words with their round constants added.
inline void four_rounds(stream &s, vec wk) {
    // Each sha256rnds2 runs two rounds and returns the new a, b, e, f; the c, d, g, h after two
    // rounds are the a, b, e, f before them, so the registers trade roles for the second pair
    // and are back in place after it.
    s.cdgh = _mm_sha256rnds2_epu32(s.cdgh, s.abef, wk);
    s.abef = _mm_sha256rnds2_epu32(s.abef, s.cdgh, _mm_shuffle_epi32(wk, 0x0E));
}

// Rounds 4G..4G+3 of each of N streams, expanding their message words as they go.
template <std::size_t N, std::size_t G> inline void scheduled_rounds(stream *s) {
    for (std::size_t i = 0; i < N; ++i) {
        vec *m = s[i].msg;
        if constexpr (G >= 4) {
            // m[G & 3] holds the words 16 back; W[t-7..t-4] straddles the two latest registers.
            const vec x = _mm_add_epi32(_mm_sha256msg1_epu32(m[G & 3], m[(G + 1) & 3]),
                                        _mm_alignr_epi8(m[(G + 3) & 3], m[(G + 2) & 3], 4));
            m[G & 3] = _mm_sha256msg2_epu32(x, m[(G + 3) & 3]);
        }
        four_rounds(s[i],
                    _mm_add_epi32(m[G & 3], words_at(sha256_kernels::round_constants + 4 * G)));
    }
}

template <std::size_t N, std::size_t... G>
inline void all_scheduled_rounds(stream *s, std::integer_sequence<std::size_t, G...>) {
    (scheduled_rounds<N, G>(s), ...);
}

template <std::size_t N, std::size_t... G>
inline void all_padding_rounds(stream *s, const padding_schedule &p,
                               std::integer_sequence<std::size_t, G...>) {
    const auto rounds = [&](std::size_t g) {
        const vec wk = words_at(p.wk + 4 * g);
        for (std::size_t i = 0; i < N; ++i) {
            four_rounds(s[i], wk);
        }
    };
    (rounds(G), ...);
}

template <std::size_t N> struct saved_state {
    vec abef[N];
    vec cdgh[N];

    explicit saved_state(const stream *s) {
        for (std::size_t i = 0; i < N; ++i) {
            abef[i] = s[i].abef;
            cdgh[i] = s[i].cdgh;
        }
    }
    void add_to(stream *s) const {
        for (std::size_t i = 0; i < N; ++i) {
            s[i].abef = _mm_add_epi32(s[i].abef, abef[i]);
            s[i].cdgh = _mm_add_epi32(s[i].cdgh, cdgh[i]);
        }
    }
};

// Message words are big-endian: reverse the bytes of each 32-bit word.
inline vec byte_swap_words(vec x) {
    return _mm_shuffle_epi8(x, _mm_set_epi64x(0x0C0D0E0F08090A0B, 0x0405060700010203));
}

// Runs `blocks` 64-byte blocks of each stream; stream i reads from base + i * stride onwards.
template <std::size_t N>
void compress(stream *s, const unsigned char *base, std::size_t stride, std::size_t blocks) {
    for (std::size_t blk = 0; blk < blocks; ++blk) {
        const saved_state<N> saved(s);
        for (std::size_t i = 0; i < N; ++i) {
            const unsigned char *p = base + i * stride + 64 * blk;
            for (std::size_t q = 0; q < 4; ++q) {
                s[i].msg[q] =
                    byte_swap_words(_mm_loadu_si128(reinterpret_cast<const vec *>(p + 16 * q)));
            }
        }
        all_scheduled_rounds<N>(s, std::make_index_sequence<16>{});
        saved.add_to(s);
    }
}

// The block of padding alone that ends each message of a length that is a multiple of 64.
template <std::size_t N> void compress_padding(stream *s, const padding_schedule &p) {
    const saved_state<N> saved(s);
    all_padding_rounds<N>(s, p, std::make_index_sequence<16>{});
    saved.add_to(s);
}

void store_digest(const stream &s, unsigned char *out) {
    // Back from a, b, e, f and c, d, g, h to a..h in order.
    const vec abef = _mm_shuffle_epi32(s.abef, 0x1B);
    const vec cdgh = _mm_shuffle_epi32(s.cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<vec *>(out),
                     byte_swap_words(_mm_blend_epi16(abef, cdgh, 0xF0)));
    _mm_storeu_si128(reinterpret_cast<vec *>(out + 16),
                     byte_swap_words(_mm_alignr_epi8(cdgh, abef, 8)));
}

template <std::size_t N>
void hash_streams(const unsigned char *data, std::size_t length, unsigned char *digests) {
    const std::uint32_t *h = sha256_kernels::initial_state;
    stream s[N];
    for (std::size_t i = 0; i < N; ++i) {
        s[i].abef = _mm_set_epi32(static_cast<int>(h[0]), static_cast<int>(h[1]),
                                  static_cast<int>(h[4]), static_cast<int>(h[5]));
        s[i].cdgh = _mm_set_epi32(static_cast<int>(h[2]), static_cast<int>(h[3]),
                                  static_cast<int>(h[6]), static_cast<int>(h[7]));
    }
    compress<N>(s, data, length, length / 64);
    if (length % 64 == 0) {
        padding_schedule scratch{};
        compress_padding<N>(s, sha256_kernels::padding_for(length, scratch));
    } else {
        alignas(16) unsigned char tails[N][message_tail_capacity];
        // SHA-256 pads its messages exactly as SHA-1 does.
        const std::size_t tail_blocks = build_message_tails(data, length, N, tails[0]);
        compress<N>(s, tails[0], message_tail_capacity, tail_blocks);
    }
    for (std::size_t i = 0; i < N; ++i) {
        store_digest(s[i], digests + 32 * i);
    }
}

} // namespace

namespace sha256_kernels {

void shani_x4(const unsigned char *data, std::size_t length, std::size_t count,
              unsigned char *digests) {
    switch (count) {
    case 1:
        hash_streams<1>(data, length, digests);
        break;
    case 2:
        hash_streams<2>(data, length, digests);
        break;
    case 3:
        hash_streams<3>(data, length, digests);
        break;
    default:
        hash_streams<4>(data, length, digests);
        break;
    }
}

} // namespace sha256_kernels
