// Path selection and grouping of pieces for the SHA-1 kernels. Built with the project's
// baseline flags: nothing here may use an instruction set the CPU hasn't been checked for.

#include "hash/sha1_lanes.h"

#include "hash/cpu_features.h"
#include "hash/message_tail.h"
#include "hash/sha1_kernels.h"
#include "hash/sha1_single.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace {

constexpr std::size_t digest_size = 20;

const cpu_support &support() {
    return cpu_features();
}

// Fastest first, one core, 256 KiB pieces. On Zen 4, 16-lane AVX-512 hashed about 5.3 GB/s (an
// earlier form of the kernel) against 4.3 GB/s for 4-way SHA-NI, 2.1 GB/s for 8-lane AVX2 and
// 1.8 GB/s for OpenSSL. On an Intel Xeon of the Sapphire Rapids generation (under KVM), AVX-512
// hashed about 8.3 GB/s, AVX2 3.6 GB/s, and SHA-NI 2.2 GB/s with four streams, hardly more than
// OpenSSL's one stream (2.1 GB/s, itself on SHA-NI): there AVX2 comes before SHA-NI.
hash_path detected_path() {
    static const hash_path p = [] {
        const cpu_support &s = support();
        if (s.avx512) {
            return hash_path::avx512;
        }
        if (s.avx2 && !s.amd) {
            return hash_path::avx2;
        }
        if (s.shani) {
            return hash_path::shani;
        }
        return s.avx2 ? hash_path::avx2 : hash_path::openssl;
    }();
    return p;
}

// -1: no override; otherwise the hash_path forced by a test or a measurement. Which kernels run
// is a property of the processor, and so of the process: every hashing call on every thread
// asks for it, deep inside the piece streams and merkle trees. The override only lets one
// machine run each kernel; passing it down instead would put it in every hashing signature.
std::atomic<int> forced_path{-1};

// One kernel and the groups it takes: up to `width` streams, and only while at least
// `min_group` are left.
struct stage {
    sha1_kernels::update_fn update;
    std::size_t width;
    std::size_t min_group;
};

// The kernels a path runs, widest first; streams left after the last one go through OpenSSL one
// at a time.
struct plan {
    stage stages[2];
    std::size_t size;
};

// Streams too few to fill a group of a wide path go to a narrower one, which costs less per
// stream when it runs only the streams it has (SHA-NI computes only live streams; OpenSSL runs
// one). `avx512` and `avx2` are the fewest streams worth a 16-lane or an 8-lane group rather
// than SHA-NI.
struct group_minimums {
    std::size_t avx512;
    std::size_t avx2;
};

// Measured on Zen 4 (with the earlier AVX-512 kernel): a 16-lane AVX-512 group takes as long as
// 13 streams through 4-way SHA-NI; an 8-lane AVX2 group never beats SHA-NI on any count, so
// where AVX2 is forced it takes full groups only. Measured on the Intel Xeon above: a 16-lane
// group takes as long as 4 SHA-NI streams, whose cost grows with each stream, and an 8-lane AVX2
// group as long as 5.
constexpr group_minimums amd_minimums{13, 8};
constexpr group_minimums intel_minimums{4, 5};

// Without SHA-NI, an AVX2 group only competes with OpenSSL's single stream, and a group of 4 or
// more is taken to pay off there (an estimate: no CPU without SHA-NI was at hand to measure).
constexpr std::size_t min_avx2_group_without_shani = 4;

plan plan_of(hash_path path) {
    const group_minimums &least = support().amd ? amd_minimums : intel_minimums;
    const stage shani{sha1_kernels::shani_update, 4, 1};
    const stage avx2_alone{sha1_kernels::avx2_update, 8, min_avx2_group_without_shani};
    const stage avx512{sha1_kernels::avx512_update, 16, least.avx512};
    const bool has_shani = support().shani;
    switch (path) {
    case hash_path::avx512:
        if (has_shani) {
            return {{avx512, shani}, 2};
        }
        return support().avx2 ? plan{{avx512, avx2_alone}, 2} : plan{{avx512}, 1};
    case hash_path::avx2:
        if (has_shani) {
            return {{{sha1_kernels::avx2_update, 8, least.avx2}, shani}, 2};
        }
        return {{avx2_alone}, 1};
    case hash_path::shani:
        return {{shani}, 1};
    case hash_path::openssl:
        break;
    }
    return {{}, 0};
}

// Splits `count` streams into the groups of `p`'s kernels: group(update, first, n) runs streams
// first..first+n-1 through one kernel, single(i) runs stream i alone through OpenSSL. False as
// soon as a stream could not be hashed.
template <class Group, class Single>
bool split_into_groups(const plan &p, std::size_t count, Group group, Single single) {
    std::size_t first = 0;
    for (std::size_t k = 0; k < p.size; ++k) {
        const stage &s = p.stages[k];
        while (count - first >= s.min_group && first < count) {
            const std::size_t n = std::min(count - first, s.width);
            group(s.update, first, n);
            first += n;
        }
    }
    for (; first < count; ++first) {
        if (!single(first)) {
            return false;
        }
    }
    return true;
}

// Digest words are stored big-endian.
void put_digest(const sha1_state &state, unsigned char *digest) {
    for (std::size_t i = 0; i < 5; ++i) {
        for (std::size_t b = 0; b < 4; ++b) {
            digest[4 * i + b] = static_cast<unsigned char>(state.h[i] >> (24 - 8 * b));
        }
    }
}

// Whole pieces through one kernel: whole blocks straight from the pieces, then the padded
// tails from a small local buffer.
void whole_pieces(sha1_kernels::update_fn update, const unsigned char *data,
                  std::size_t piece_length, std::size_t count, unsigned char *digests) {
    sha1_state states[sha1_lanes_max]{};
    const unsigned char *src[sha1_lanes_max]{};
    for (std::size_t i = 0; i < count; ++i) {
        states[i] = sha1_state_start();
        src[i] = data + i * piece_length;
    }
    update(states, src, count, piece_length / 64);

    alignas(64) unsigned char tails[sha1_lanes_max][message_tail_capacity];
    const std::size_t tail_blocks = build_message_tails(data, piece_length, count, tails[0]);
    for (std::size_t i = 0; i < count; ++i) {
        src[i] = tails[i];
    }
    update(states, src, count, tail_blocks);
    for (std::size_t i = 0; i < count; ++i) {
        put_digest(states[i], digests + i * digest_size);
    }
}

// Advances one stream. A lone stream fills one of SHA-NI's streams, which then runs only that
// one; the wide paths would compute every lane for it.
bool update_one(sha1_state &state, const unsigned char *data, std::size_t blocks) {
    if (active_hash_path() != hash_path::openssl && support().shani) {
        sha1_kernels::shani_update(&state, &data, 1, blocks);
        return true;
    }
    return sha1_single_blocks(state.h, data, blocks);
}

} // namespace

namespace sha1_kernels {

void states_to_columns(const sha1_state *states, std::size_t count, std::size_t width,
                       std::uint32_t *columns) {
    for (std::size_t i = 0; i < width; ++i) {
        const sha1_state &s = states[i < count ? i : count - 1];
        for (std::size_t j = 0; j < 5; ++j) {
            columns[j * width + i] = s.h[j];
        }
    }
}

void columns_to_states(const std::uint32_t *columns, std::size_t width, sha1_state *states,
                       std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        for (std::size_t j = 0; j < 5; ++j) {
            states[i].h[j] = columns[j * width + i];
        }
    }
}

void shani_x4(const unsigned char *data, std::size_t piece_length, std::size_t count,
              unsigned char *digests) {
    whole_pieces(shani_update, data, piece_length, count, digests);
}

void avx2_x8(const unsigned char *data, std::size_t piece_length, std::size_t count,
             unsigned char *digests) {
    whole_pieces(avx2_update, data, piece_length, count, digests);
}

void avx512_x16(const unsigned char *data, std::size_t piece_length, std::size_t count,
                unsigned char *digests) {
    whole_pieces(avx512_update, data, piece_length, count, digests);
}

} // namespace sha1_kernels

bool hash_pieces(const unsigned char *data, std::size_t piece_length, std::size_t count,
                 unsigned char *digests) {
    return split_into_groups(
        plan_of(active_hash_path()), count,
        [&](sha1_kernels::update_fn update, std::size_t first, std::size_t n) {
            whole_pieces(update, data + first * piece_length, piece_length, n,
                         digests + first * digest_size);
        },
        [&](std::size_t i) {
            return sha1_single_digest(data + i * piece_length, piece_length,
                                      digests + i * digest_size);
        });
}

bool hash_one(const unsigned char *data, std::size_t length, unsigned char *digest) {
    sha1_state state = sha1_state_start();
    return sha1_state_finish(state, data, length, length, digest);
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
    if (blocks == 0) {
        return true;
    }
    return split_into_groups(
        plan_of(active_hash_path()), count,
        [&](sha1_kernels::update_fn update, std::size_t first, std::size_t n) {
            update(states + first, data + first, n, blocks);
        },
        [&](std::size_t i) { return sha1_single_blocks(states[i].h, data[i], blocks); });
}

bool sha1_state_finish(sha1_state &state, const unsigned char *tail, std::size_t size,
                       std::uint64_t total, unsigned char *digest) {
    const std::size_t whole = size / 64;
    if (!update_one(state, tail, whole)) {
        return false;
    }
    unsigned char last[message_tail_capacity];
    const std::size_t blocks = build_message_tail(tail + whole * 64, size % 64, total, last);
    if (!update_one(state, last, blocks)) {
        return false;
    }
    put_digest(state, digest);
    return true;
}
