// Path selection and grouping of pieces for the SHA-1 kernels. Built with the project's
// baseline flags: nothing here may use an instruction set the CPU hasn't been checked for.

#include "hash/sha1_lanes.h"

#include "hash/cpu_features.h"
#include "hash/sha1_kernels.h"
#include "hash/sha1_single.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace {

constexpr std::size_t digest_size = 20;

const cpu_support &support() {
    return cpu_features();
}

// Fastest first. On Zen 4 with 256 KiB pieces, 16-lane AVX-512 hashed about 5.3 GB/s per core
// against 4.3 GB/s for 4-way SHA-NI, 2.1 GB/s for 8-lane AVX2 and 1.8 GB/s for OpenSSL.
hash_path detected_path() {
    static const hash_path p = [] {
        const cpu_support &s = support();
        if (s.avx512) {
            return hash_path::avx512;
        }
        if (s.shani) {
            return hash_path::shani;
        }
        if (s.avx2) {
            return hash_path::avx2;
        }
        return hash_path::openssl;
    }();
    return p;
}

// -1: no override; otherwise the hash_path forced by a test.
std::atomic<int> forced_path{-1};

bool run_openssl(const unsigned char *data, std::size_t piece_length, std::size_t count,
                 unsigned char *digests) {
    for (std::size_t i = 0; i < count; ++i) {
        if (!sha1_single_digest(data + i * piece_length, piece_length, digests + i * digest_size)) {
            return false;
        }
    }
    return true;
}

using kernel = void (*)(const unsigned char *, std::size_t, std::size_t, unsigned char *);

// The pieces still to hash after some groups were taken off the front.
struct pieces_left {
    const unsigned char *data;
    std::size_t count;
    unsigned char *digests;
};

// Hashes groups of up to `width` pieces through `group_kernel` while at least `min_group`
// pieces are left, and returns what is left.
pieces_left run_groups(kernel group_kernel, std::size_t width, std::size_t min_group,
                       pieces_left left, std::size_t piece_length) {
    while (left.count > 0 && left.count >= min_group) {
        const std::size_t n = left.count < width ? left.count : width;
        group_kernel(left.data, piece_length, n, left.digests);
        left = {left.data + n * piece_length, left.count - n, left.digests + n * digest_size};
    }
    return left;
}

void run_shani(const unsigned char *data, std::size_t piece_length, std::size_t count,
               unsigned char *digests) {
    run_groups(sha1_kernels::shani_x4, 4, 1, {data, count, digests}, piece_length);
}

// Pieces too few to fill a group of a wide path go to a narrower one. Measured on Zen 4: a
// 16-lane AVX-512 group takes as long as 13 pieces through 4-way SHA-NI (which only computes
// the streams it needs: a lone stream is about as fast as OpenSSL), so SHA-NI takes up to 12
// left-over pieces. An 8-lane AVX2 group never beats SHA-NI on any count; without SHA-NI it
// only competes with OpenSSL's single stream, and a group of 4 or more is taken to pay off
// there (an estimate: no CPU without SHA-NI was at hand to measure).
constexpr std::size_t min_avx512_group = 13;
constexpr std::size_t min_avx2_group_without_shani = 4;

bool run_narrow(pieces_left left, std::size_t piece_length) {
    if (support().shani) {
        run_shani(left.data, piece_length, left.count, left.digests);
        return true;
    }
    return run_openssl(left.data, piece_length, left.count, left.digests);
}

bool run_avx2(const unsigned char *data, std::size_t piece_length, std::size_t count,
              unsigned char *digests) {
    const std::size_t min_group = support().shani ? 8 : min_avx2_group_without_shani;
    return run_narrow(
        run_groups(sha1_kernels::avx2_x8, 8, min_group, {data, count, digests}, piece_length),
        piece_length);
}

bool run_avx512(const unsigned char *data, std::size_t piece_length, std::size_t count,
                unsigned char *digests) {
    const pieces_left left = run_groups(sha1_kernels::avx512_x16, 16, min_avx512_group,
                                        {data, count, digests}, piece_length);
    if (!support().shani && support().avx2) {
        return run_avx2(left.data, piece_length, left.count, left.digests);
    }
    return run_narrow(left, piece_length);
}

} // namespace

namespace sha1_kernels {

std::size_t build_tail(const unsigned char *piece, std::size_t piece_length, unsigned char *tail) {
    const std::size_t rest = piece_length % 64;
    // 0x80 and the 8-byte length must fit after the rest: one block if rest <= 55.
    const std::size_t blocks = rest + 9 <= 64 ? 1 : 2;
    const std::size_t size = blocks * 64;
    if (rest > 0) {
        std::memcpy(tail, piece + (piece_length - rest), rest);
    }
    tail[rest] = 0x80;
    std::memset(tail + rest + 1, 0, size - rest - 1 - 8);
    const std::uint64_t bits = static_cast<std::uint64_t>(piece_length) * 8;
    for (std::size_t i = 0; i < 8; ++i) {
        tail[size - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    }
    return blocks;
}

} // namespace sha1_kernels

bool hash_pieces(const unsigned char *data, std::size_t piece_length, std::size_t count,
                 unsigned char *digests) {
    if (count == 0) {
        return true;
    }
    switch (active_hash_path()) {
    case hash_path::avx512:
        return run_avx512(data, piece_length, count, digests);
    case hash_path::shani:
        run_shani(data, piece_length, count, digests);
        return true;
    case hash_path::avx2:
        return run_avx2(data, piece_length, count, digests);
    case hash_path::openssl:
        break;
    }
    return run_openssl(data, piece_length, count, digests);
}

bool hash_one(const unsigned char *data, std::size_t length, unsigned char *digest) {
    // A lone message fills one of SHA-NI's streams, which then runs only that one; the wide
    // paths would compute every lane for it.
    if (active_hash_path() != hash_path::openssl && support().shani) {
        sha1_kernels::shani_x4(data, length, 1, digest);
        return true;
    }
    return sha1_single_digest(data, length, digest);
}

hash_path active_hash_path() {
    const int forced = forced_path.load(std::memory_order_relaxed);
    return forced >= 0 ? static_cast<hash_path>(forced) : detected_path();
}

bool hash_path_supported(hash_path path) {
    switch (path) {
    case hash_path::openssl:
        return true;
    case hash_path::shani:
        return support().shani;
    case hash_path::avx2:
        return support().avx2;
    case hash_path::avx512:
        return support().avx512;
    }
    return false;
}

void force_hash_path(hash_path path) {
    if (!hash_path_supported(path)) {
        throw std::invalid_argument("this CPU cannot run the requested hash path");
    }
    forced_path.store(static_cast<int>(path), std::memory_order_relaxed);
}

std::size_t hash_path_lanes(hash_path path) {
    switch (path) {
    case hash_path::openssl:
        return 1;
    case hash_path::shani:
        return 4;
    case hash_path::avx2:
        return 8;
    case hash_path::avx512:
        return 16;
    }
    return 1;
}

sha1_state sha1_state_start() {
    return {{0x67452301U, 0xEFCDAB89U, 0x98BADCFEU, 0x10325476U, 0xC3D2E1F0U}};
}

bool sha1_lanes_update(sha1_state *states, const unsigned char *const *data, std::size_t count,
                       std::size_t blocks) {
    for (std::size_t i = 0; i < count; ++i) {
        if (!sha1_single_blocks(states[i].h, data[i], blocks)) {
            return false;
        }
    }
    return true;
}

bool sha1_state_finish(sha1_state &state, const unsigned char *tail, std::size_t size,
                       std::uint64_t total, unsigned char *digest) {
    const std::size_t whole = size / 64;
    if (!sha1_single_blocks(state.h, tail, whole)) {
        return false;
    }
    // The padding of a message of `total` bytes after its last partial block.
    unsigned char last[sha1_kernels::tail_capacity];
    const std::size_t rest = size % 64;
    const std::size_t blocks = rest + 9 <= 64 ? 1 : 2;
    std::memcpy(last, tail + whole * 64, rest);
    last[rest] = 0x80;
    std::memset(last + rest + 1, 0, blocks * 64 - rest - 1 - 8);
    const std::uint64_t bits = total * 8;
    for (std::size_t i = 0; i < 8; ++i) {
        last[blocks * 64 - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    }
    if (!sha1_single_blocks(state.h, last, blocks)) {
        return false;
    }
    for (std::size_t i = 0; i < 5; ++i) {
        for (std::size_t b = 0; b < 4; ++b) {
            digest[4 * i + b] = static_cast<unsigned char>(state.h[i] >> (24 - 8 * b));
        }
    }
    return true;
}
