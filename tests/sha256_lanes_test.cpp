// Every SHA-256 path this CPU runs against OpenSSL's single stream over the same bytes: leaves of
// every group size with short last blocks of every padding class, node pairs, and each kernel on
// its own over lengths the paths never hand it.

#include "hash/sha256_kernels.h"
#include "hash/sha256_lanes.h"
#include "hash/sha256_single.h"
#include "support/sha256_path_fixture.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<unsigned char>;

// One byte more than asked, so that the messages can start at an odd address.
bytes random_bytes(std::size_t size, unsigned seed) {
    std::mt19937 rng(seed);
    bytes data(size + 1);
    for (unsigned char &c : data) {
        c = static_cast<unsigned char>(rng());
    }
    return data;
}

std::string hex(const unsigned char *digest) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < sha256_digest_size; ++i) {
        s += digits[digest[i] >> 4];
        s += digits[digest[i] & 15];
    }
    return s;
}

// Room for `count` digests and a guard after them that must be left as it was.
struct digest_buffer {
    static constexpr std::size_t guard = 32;
    static constexpr unsigned char guard_byte = 0xA5;
    bytes data;
    explicit digest_buffer(std::size_t count)
        : data(count * sha256_digest_size + guard, guard_byte) {}
    bool guard_intact(std::size_t count) const {
        for (std::size_t i = count * sha256_digest_size; i < data.size(); ++i) {
            if (data[i] != guard_byte) {
                return false;
            }
        }
        return true;
    }
};

// Checks `count` digests of messages of `length` bytes back to back from `messages` against
// OpenSSL, the last one `last_length` long.
void expect_digests(const unsigned char *messages, std::size_t length, std::size_t count,
                    std::size_t last_length, const digest_buffer &got) {
    for (std::size_t i = 0; i < count; ++i) {
        unsigned char want[sha256_digest_size];
        ASSERT_TRUE(sha256_single_digest(messages + i * length,
                                         i + 1 == count ? last_length : length, want));
        ASSERT_EQ(hex(got.data.data() + i * sha256_digest_size), hex(want)) << "message " << i;
    }
    EXPECT_TRUE(got.guard_intact(count)) << "wrote past the digests";
}

using Sha256Paths = harness::forced_sha256_path;

// Whole leaves filling every group size of every kernel and spanning several groups, each
// followed by a last block of every padding class (none, a short one, one that pads into a
// second block, whole blocks, and a byte short of a whole leaf).
TEST_P(Sha256Paths, LeavesOfEveryCountAndLastBlock) {
    std::vector<std::size_t> whole_counts;
    for (std::size_t c = 0; c <= 17; ++c) {
        whole_counts.push_back(c);
    }
    whole_counts.insert(whole_counts.end(), {31, 33});
    const std::size_t last_blocks[] = {0, 1, 55, 56, 63, 64, 65, 127, 999, 8192, 16383};
    const bytes data = random_bytes(33 * sha256_leaf_bytes + 16383, 1);
    for (const std::size_t whole : whole_counts) {
        for (const std::size_t last : last_blocks) {
            const std::size_t size = whole * sha256_leaf_bytes + last;
            const std::size_t count = (size + sha256_leaf_bytes - 1) / sha256_leaf_bytes;
            SCOPED_TRACE(std::to_string(whole) + " whole leaves, last block " +
                         std::to_string(last));
            digest_buffer got(count);
            ASSERT_TRUE(sha256_leaves(data.data() + 1, size, got.data.data()));
            expect_digests(data.data() + 1, sha256_leaf_bytes, count,
                           last == 0 ? sha256_leaf_bytes : last, got);
        }
    }
}

// Also where the parents are written over their children, as a tree level reduced in place.
TEST_P(Sha256Paths, ParentsOfEveryCount) {
    const bytes children = random_bytes(sha256_digest_size * 200, 2);
    for (std::size_t count = 1; count <= 100; count += count < 17 ? 1 : 7) {
        SCOPED_TRACE(std::to_string(count) + " parents");
        digest_buffer got(count);
        ASSERT_TRUE(sha256_parents(children.data() + 1, count, got.data.data()));
        expect_digests(children.data() + 1, 64, count, 64, got);
        bytes level(children.begin() + 1,
                    children.begin() + 1 + 64 * static_cast<std::ptrdiff_t>(count));
        ASSERT_TRUE(sha256_parents(level.data(), count, level.data()));
        EXPECT_EQ(
            bytes(level.begin(), level.begin() + 32 * static_cast<std::ptrdiff_t>(count)),
            bytes(got.data.begin(), got.data.begin() + 32 * static_cast<std::ptrdiff_t>(count)))
            << "in place";
    }
}

INSTANTIATE_TEST_SUITE_P(AllPaths, Sha256Paths, harness::every_sha256_path,
                         harness::sha256_path_case_name);

// The paths hand a wide kernel only whole leaves and node pairs; the kernels take any length,
// so every length class goes through every group size here.
TEST(Sha256Kernels, EveryGroupSizeAndLengthOfEveryKernel) {
    const struct {
        sha256_path path;
        void (*kernel)(const unsigned char *, std::size_t, std::size_t, unsigned char *);
        std::size_t width;
    } kernels[] = {{sha256_path::shani, sha256_kernels::shani_x4, 4},
                   {sha256_path::avx2, sha256_kernels::avx2_x8, 8},
                   {sha256_path::avx512, sha256_kernels::avx512_x16, 16}};
    const std::size_t lengths[] = {0, 1, 55, 56, 63, 64, 65, 128, 1000, 4096, 16383, 16384};
    const bytes data = random_bytes(sha256_leaf_bytes * 16, 3);
    for (const auto &k : kernels) {
        if (!sha256_path_supported(k.path)) {
            continue;
        }
        for (const std::size_t length : lengths) {
            for (std::size_t count = 1; count <= k.width; ++count) {
                SCOPED_TRACE(std::string(sha256_path_name(k.path)) + ": " + std::to_string(count) +
                             " messages of " + std::to_string(length) + " bytes");
                digest_buffer got(count);
                k.kernel(data.data() + 1, length, count, got.data.data());
                expect_digests(data.data() + 1, length, count, length, got);
            }
        }
    }
}

} // namespace
