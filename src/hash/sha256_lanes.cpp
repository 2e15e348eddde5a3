// Path selection and grouping of messages for the SHA-256 kernels. Built with the project's
// baseline flags: nothing here may use an instruction set the CPU hasn't been checked for.

#include "hash/sha256_lanes.h"

#include "hash/cpu_features.h"
#include "hash/sha256_kernels.h"
#include "hash/sha256_single.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <stdexcept>

namespace sha256_kernels {
namespace {

constexpr std::uint32_t rotate_right(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

constexpr padding_schedule make_padding(std::uint64_t length) {
    std::uint32_t w[64] = {0x80000000U};
    const std::uint64_t bits = length * 8;
    w[14] = static_cast<std::uint32_t>(bits >> 32);
    w[15] = static_cast<std::uint32_t>(bits);
    for (int t = 16; t < 64; ++t) {
        const std::uint32_t s0 =
            rotate_right(w[t - 15], 7) ^ rotate_right(w[t - 15], 18) ^ (w[t - 15] >> 3);
        const std::uint32_t s1 =
            rotate_right(w[t - 2], 17) ^ rotate_right(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    padding_schedule p{};
    for (int t = 0; t < 64; ++t) {
        p.wk[t] = w[t] + round_constants[t];
    }
    return p;
}

constexpr padding_schedule leaf_padding = make_padding(sha256_leaf_bytes);
constexpr padding_schedule node_padding = make_padding(2 * sha256_digest_size);

} // namespace

const padding_schedule &padding_for(std::size_t length, padding_schedule &scratch) {
    if (length == sha256_leaf_bytes) {
        return leaf_padding;
    }
    if (length == 2 * sha256_digest_size) {
        return node_padding;
    }
    scratch = make_padding(length);
    return scratch;
}

} // namespace sha256_kernels

namespace {

// Messages of one length, back to back, and where their digests go.
struct messages {
    const unsigned char *data;
    std::size_t length;
    std::size_t count;
    unsigned char *digests;
};

using group_hasher = bool (*)(const messages &group);

template <void (*kernel)(const unsigned char *, std::size_t, std::size_t, unsigned char *)>
bool kernel_group(const messages &group) {
    kernel(group.data, group.length, group.count, group.digests);
    return true;
}

bool openssl_group(const messages &group) {
    for (std::size_t i = 0; i < group.count; ++i) {
        if (!sha256_single_digest(group.data + i * group.length, group.length,
                                  group.digests + i * sha256_digest_size)) {
            return false;
        }
    }
    return true;
}

// One kernel of a path: it takes groups of up to `width` messages, and is used while at least
// `min_group` are left; fewer go to the next, narrower tier.
struct tier {
    group_hasher hash;
    std::size_t width;
    std::size_t min_group;
};

// The tiers of a path, widest first; the last takes any number of messages.
struct plan {
    tier tiers[2];
    std::size_t size;
};

constexpr tier avx512_tier{kernel_group<sha256_kernels::avx512_x16>, 16, 1};
constexpr tier avx2_tier{kernel_group<sha256_kernels::avx2_x8>, 8, 1};
constexpr tier shani_tier{kernel_group<sha256_kernels::shani_x4>, 4, 1};
constexpr tier openssl_tier{openssl_group, 1, 1};

tier with_min_group(tier t, std::size_t min_group) {
    t.min_group = min_group;
    return t;
}

// A wide kernel computes all its lanes whatever the count, so messages too few to fill enough
// of them go to a narrower tier. On the Xeon measured (see detected_path), a group of 16 leaves
// or node pairs through AVX-512 takes as long as 8.9 and 8.4 of them through SHA-NI, whose
// streams cost only what they hash: AVX-512 takes 9 or more. An 8-lane AVX2 group never beats
// SHA-NI. Without SHA-NI the narrow tier is OpenSSL's single stream, taken to cost about 7
// cycles a byte there; a wide group then pays off from 3 messages (an estimate: no CPU
// without SHA-NI was at hand to measure).
constexpr std::size_t min_avx512_group_with_shani = 9;
constexpr std::size_t min_wide_group_without_shani = 3;

tier narrow_tier() {
    return cpu_features().shani ? shani_tier : openssl_tier;
}

std::size_t min_wide_group(std::size_t width_with_shani) {
    return cpu_features().shani ? width_with_shani : min_wide_group_without_shani;
}

plan plan_for(sha256_path path) {
    switch (path) {
    case sha256_path::avx512:
        return {{with_min_group(avx512_tier, min_wide_group(min_avx512_group_with_shani)),
                 narrow_tier()},
                2};
    case sha256_path::avx2:
        return {{with_min_group(avx2_tier, min_wide_group(avx2_tier.width)), narrow_tier()}, 2};
    case sha256_path::shani:
        return {{shani_tier}, 1};
    case sha256_path::openssl:
        break;
    }
    return {{openssl_tier}, 1};
}

bool run_plan(const plan &p, messages left) {
    for (std::size_t i = 0; i < p.size && left.count > 0; ++i) {
        const tier &t = p.tiers[i];
        while (left.count >= t.min_group && left.count > 0) {
            messages group = left;
            group.count = std::min(left.count, t.width);
            if (!t.hash(group)) {
                return false;
            }
            left.data += group.count * left.length;
            left.count -= group.count;
            left.digests += group.count * sha256_digest_size;
        }
    }
    return left.count == 0;
}

// Fastest first. On an Intel Xeon with AVX-512 and SHA-NI (family 6, model 167 as its
// hypervisor reports it; 2.6 GHz nominal), one core hashed 16 KiB leaves at 3.7 GB/s through
// AVX-512, 2.1 GB/s through SHA-NI (whose sha256rnds2 issues once every 3 cycles there, so two
// streams already keep it busy), 1.6 GB/s through 8-lane AVX2 and 1.8 GB/s through OpenSSL;
// node pairs at 2.2, 1.1, 0.8 and 0.7 GB/s (bench/sha256_speed.cpp pinned to one core, best of
// 60 rounds, the other core busy).
sha256_path detected_path() {
    static const sha256_path p = [] {
        const cpu_support &s = cpu_features();
        if (s.avx512) {
            return sha256_path::avx512;
        }
        if (s.shani) {
            return sha256_path::shani;
        }
        if (s.avx2) {
            return sha256_path::avx2;
        }
        return sha256_path::openssl;
    }();
    return p;
}

// -1: no override; otherwise the sha256_path forced by a test or a measurement. Which kernels run
// is a property of the processor, and so of the process: every hashing call on every thread
// asks for it, deep inside the piece streams and merkle trees. The override only lets one
// machine run each kernel; passing it down instead would put it in every hashing signature.
std::atomic<int> forced_path{-1};

} // namespace

const char *sha256_path_name(sha256_path path) {
    switch (path) {
    case sha256_path::openssl:
        return "openssl";
    case sha256_path::shani:
        return "shani";
    case sha256_path::avx2:
        return "avx2";
    case sha256_path::avx512:
        return "avx512";
    }
    return "unknown";
}

sha256_path active_sha256_path() {
    const int forced = forced_path.load(std::memory_order_relaxed);
    return forced >= 0 ? static_cast<sha256_path>(forced) : detected_path();
}

bool sha256_path_supported(sha256_path path) {
    switch (path) {
    case sha256_path::openssl:
        return true;
    case sha256_path::shani:
        return cpu_features().shani;
    case sha256_path::avx2:
        return cpu_features().avx2;
    case sha256_path::avx512:
        return cpu_features().avx512;
    }
    return false;
}

void force_sha256_path(sha256_path path) {
    if (!sha256_path_supported(path)) {
        throw std::invalid_argument("this CPU cannot run the requested SHA-256 path");
    }
    forced_path.store(static_cast<int>(path), std::memory_order_relaxed);
}

bool sha256_leaves(const unsigned char *data, std::size_t size, unsigned char *digests) {
    const plan p = plan_for(active_sha256_path());
    const std::size_t whole = size / sha256_leaf_bytes;
    const std::size_t rest = size % sha256_leaf_bytes;
    // The short last block has a length of its own, so it cannot share a group with the others.
    return run_plan(p, {data, sha256_leaf_bytes, whole, digests}) &&
           (rest == 0 || run_plan(p, {data + whole * sha256_leaf_bytes, rest, 1,
                                      digests + whole * sha256_digest_size}));
}

bool sha256_parents(const unsigned char *children, std::size_t count, unsigned char *parents) {
    return run_plan(plan_for(active_sha256_path()),
                    {children, 2 * sha256_digest_size, count, parents});
}
