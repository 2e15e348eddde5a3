#pragma once

// SHA-256 over many messages at once, one per 32-bit lane of a vector, written once for the
// AVX2 and AVX-512 kernels. Each of those files instantiates it with a type of operations that
// it defines in its own anonymous namespace, so every instantiation has internal linkage and no
// code built for one instruction set can be picked by the linker for another. Include it from
// those kernel files only.

#include "hash/message_tail.h"
#include "hash/sha256_kernels.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

namespace sha256_wide {

// `ops` supplies: a vector type `vec` of `width` 32-bit lanes; add, xor3, choose (e ? f : g),
// majority, ror<N> and shr<N> on it; broadcast of one word; `load_block(rows, offset, w)`,
// which puts big-endian word j of the 64 bytes at rows[i] + offset into lane i of w[j]; and
// `store(vec, words)`.
template <class ops> struct lanes {
    using vec = typename ops::vec;
    static constexpr std::size_t width = ops::width;

    static vec big_sigma0(vec x) {
        return ops::xor3(ops::template ror<2>(x), ops::template ror<13>(x),
                         ops::template ror<22>(x));
    }
    static vec big_sigma1(vec x) {
        return ops::xor3(ops::template ror<6>(x), ops::template ror<11>(x),
                         ops::template ror<25>(x));
    }
    static vec small_sigma0(vec x) {
        return ops::xor3(ops::template ror<7>(x), ops::template ror<18>(x),
                         ops::template shr<3>(x));
    }
    static vec small_sigma1(vec x) {
        return ops::xor3(ops::template ror<17>(x), ops::template ror<19>(x),
                         ops::template shr<10>(x));
    }

    // Round T. The eight working words stay where they are and change roles instead: in round
    // T, a is v[-T mod 8], b the next one, and so on, so the new a overwrites the old h.
    template <int T> [[gnu::always_inline]] static void round(vec *v, vec wk) {
        const vec a = v[(0 - T) & 7];
        const vec b = v[(1 - T) & 7];
        const vec c = v[(2 - T) & 7];
        vec &d = v[(3 - T) & 7];
        const vec e = v[(4 - T) & 7];
        const vec f = v[(5 - T) & 7];
        const vec g = v[(6 - T) & 7];
        vec &h = v[(7 - T) & 7];
        const vec t1 = ops::add(ops::add(h, wk), ops::add(big_sigma1(e), ops::choose(e, f, g)));
        d = ops::add(d, t1);
        h = ops::add(t1, ops::add(big_sigma0(a), ops::majority(a, b, c)));
    }

    // Round T with its message word expanded from the 16-word ring `w` first; `k` holds the
    // round constants.
    template <int T>
    [[gnu::always_inline]] static void scheduled_round(vec *v, vec *w, const std::uint32_t *k) {
        if constexpr (T >= 16) {
            w[T & 15] = ops::add(ops::add(w[T & 15], small_sigma0(w[(T - 15) & 15])),
                                 ops::add(w[(T - 7) & 15], small_sigma1(w[(T - 2) & 15])));
        }
        round<T>(v, ops::add(w[T & 15], ops::broadcast(k[T])));
    }

    template <int... T>
    [[gnu::always_inline]] static void scheduled_rounds(vec *v, vec *w,
                                                        std::integer_sequence<int, T...>) {
        // Read from memory rather than known to the compiler, the constants are broadcast by a
        // load instead of taking the vector unit's shuffle port once per round.
        const std::uint32_t *k = sha256_kernels::round_constants;
        __asm__("" : "+r"(k));
        (scheduled_round<T>(v, w, k), ...);
    }

    template <int... T>
    [[gnu::always_inline]] static void padding_rounds(vec *v,
                                                      const sha256_kernels::padding_schedule &p,
                                                      std::integer_sequence<int, T...>) {
        (round<T>(v, ops::broadcast(p.wk[T])), ...);
    }

    static void add_into(vec *h, const vec *v) {
        for (std::size_t i = 0; i < 8; ++i) {
            h[i] = ops::add(h[i], v[i]);
        }
    }

    // Runs `blocks` 64-byte blocks of every lane; lane i reads from base + i * stride onwards,
    // lanes past `count` from base (their digests are not kept).
    static void compress(vec *h, const unsigned char *base, std::size_t stride, std::size_t count,
                         std::size_t blocks) {
        const unsigned char *rows[width];
        for (std::size_t i = 0; i < width; ++i) {
            rows[i] = base + (i < count ? i * stride : 0);
        }
        for (std::size_t blk = 0; blk < blocks; ++blk) {
            vec w[16];
            ops::load_block(rows, 64 * blk, w);
            vec v[8];
            std::memcpy(v, h, sizeof v);
            scheduled_rounds(v, w, std::make_integer_sequence<int, 64>{});
            add_into(h, v);
        }
    }

    // The block of padding alone that ends each message of a length that is a multiple of 64.
    static void compress_padding(vec *h, const sha256_kernels::padding_schedule &p) {
        vec v[8];
        std::memcpy(v, h, sizeof v);
        padding_rounds(v, p, std::make_integer_sequence<int, 64>{});
        add_into(h, v);
    }

    static void store_digests(const vec *h, std::size_t count, unsigned char *digests) {
        std::uint32_t words[8][width];
        for (std::size_t i = 0; i < 8; ++i) {
            ops::store(h[i], words[i]);
        }
        for (std::size_t lane = 0; lane < count; ++lane) {
            for (std::size_t i = 0; i < 8; ++i) {
                const std::uint32_t be = __builtin_bswap32(words[i][lane]);
                std::memcpy(digests + 32 * lane + 4 * i, &be, 4);
            }
        }
    }

    // `count` (1 to width) messages of `length` bytes each, back to back from `data`.
    static void hash(const unsigned char *data, std::size_t length, std::size_t count,
                     unsigned char *digests) {
        vec h[8];
        for (std::size_t i = 0; i < 8; ++i) {
            h[i] = ops::broadcast(sha256_kernels::initial_state[i]);
        }
        compress(h, data, length, count, length / 64);
        if (length % 64 == 0) {
            sha256_kernels::padding_schedule scratch{};
            compress_padding(h, sha256_kernels::padding_for(length, scratch));
        } else {
            alignas(64) unsigned char tails[width][message_tail_capacity];
            // SHA-256 pads its messages exactly as SHA-1 does.
            const std::size_t tail_blocks = build_message_tails(data, length, count, tails[0]);
            compress(h, tails[0], message_tail_capacity, count, tail_blocks);
        }
        store_digests(h, count, digests);
    }
};

} // namespace sha256_wide
