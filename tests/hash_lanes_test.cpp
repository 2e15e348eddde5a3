// Checks every piece-hashing path this CPU can run against OpenSSL's SHA1 over the same bytes.

#include "hash/sha1_lanes.h"

#include "hash/sha1_kernels.h"
#include "hash/sha1_single.h"

#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t digest_size = 20;

const char *path_name(hash_path p) {
    switch (p) {
    case hash_path::openssl:
        return "openssl";
    case hash_path::shani:
        return "shani";
    case hash_path::avx2:
        return "avx2";
    case hash_path::avx512:
        return "avx512";
    }
    return "unknown";
}

std::vector<unsigned char> random_bytes(std::size_t n, std::mt19937_64 &rng) {
    std::vector<unsigned char> v(n);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        const std::uint64_t x = rng();
        std::memcpy(v.data() + i, &x, 8);
    }
    for (; i < n; ++i) {
        v[i] = static_cast<unsigned char>(rng());
    }
    return v;
}

std::string hex(const unsigned char *d) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (std::size_t i = 0; i < digest_size; ++i) {
        s += digits[d[i] >> 4];
        s += digits[d[i] & 15];
    }
    return s;
}

// Hashes `count` pieces of `piece_length` bytes starting at `data` with hash_pieces and checks
// each digest against SHA1 of the same bytes, and that nothing is written past the digests.
void expect_pieces_match(const unsigned char *data, std::size_t piece_length, std::size_t count) {
    SCOPED_TRACE("piece_length=" + std::to_string(piece_length) +
                 " count=" + std::to_string(count));
    constexpr std::size_t guard = 32;
    constexpr unsigned char guard_byte = 0xA5;
    std::vector<unsigned char> got(count * digest_size + guard, guard_byte);
    ASSERT_TRUE(hash_pieces(data, piece_length, count, got.data()));
    for (std::size_t i = 0; i < count; ++i) {
        std::array<unsigned char, digest_size> want{};
        SHA1(data + i * piece_length, piece_length, want.data());
        ASSERT_EQ(hex(got.data() + i * digest_size), hex(want.data())) << "piece " << i;
    }
    for (std::size_t i = 0; i < guard; ++i) {
        ASSERT_EQ(got[count * digest_size + i], guard_byte) << "wrote past the digests";
    }
}

class HashLanes : public ::testing::TestWithParam<hash_path> {
  protected:
    void SetUp() override {
        saved_ = active_hash_path();
        if (!hash_path_supported(GetParam())) {
            GTEST_SKIP() << "this CPU cannot run the " << path_name(GetParam()) << " path";
        }
        force_hash_path(GetParam());
        ASSERT_EQ(active_hash_path(), GetParam());
    }
    void TearDown() override { force_hash_path(saved_); }

  private:
    hash_path saved_ = hash_path::openssl;
};

// Group sizes 1..16 cover every partly filled group of every path; 17 and 33 span several
// groups of the widest one.
std::vector<std::size_t> group_sizes() {
    std::vector<std::size_t> v;
    for (std::size_t c = 1; c <= 16; ++c) {
        v.push_back(c);
    }
    v.push_back(17);
    v.push_back(33);
    return v;
}

TEST_P(HashLanes, EveryLengthClassAndGroupSize) {
    // Around the one/two padding block boundary (55/56, 119/120), exact blocks, odd sizes.
    const std::size_t lengths[] = {1, 55, 56, 63, 64, 65, 119, 120, 127, 128, 1001, 4096, 65537};
    std::mt19937_64 rng(1);
    const auto sizes = group_sizes();
    for (const std::size_t len : lengths) {
        // One byte of offset so pieces don't start on an aligned address.
        const auto buf = random_bytes(1 + len * sizes.back(), rng);
        for (const std::size_t count : sizes) {
            expect_pieces_match(buf.data() + 1, len, count);
        }
    }
}

TEST_P(HashLanes, RandomSmallLengthsAndCounts) {
    std::mt19937_64 rng(2);
    std::uniform_int_distribution<std::size_t> length_dist(1, 3000);
    std::uniform_int_distribution<std::size_t> count_dist(1, 40);
    for (int i = 0; i < 60; ++i) {
        const std::size_t len = length_dist(rng);
        const std::size_t count = count_dist(rng);
        const auto buf = random_bytes(len * count, rng);
        expect_pieces_match(buf.data(), len, count);
    }
}

TEST_P(HashLanes, RandomLargeLengths) {
    // Lengths up to 1 MiB; the group sizes fill the path's lanes, leave a remainder, or
    // span several groups.
    std::mt19937_64 rng(3);
    std::uniform_int_distribution<std::size_t> length_dist(1, std::size_t{1} << 20);
    const std::size_t lanes = hash_path_lanes(GetParam());
    const std::size_t counts[] = {1, lanes, lanes + 1, 2 * lanes + 3};
    for (int i = 0; i < 6; ++i) {
        const std::size_t len = length_dist(rng);
        const std::size_t count = counts[static_cast<std::size_t>(i) % std::size(counts)];
        const auto buf = random_bytes(len * count, rng);
        expect_pieces_match(buf.data(), len, count);
    }
}

TEST_P(HashLanes, EveryPieceIsHashedSeparately) {
    // Identical pieces except one byte: only that piece's digest may change, which catches
    // lanes that read another lane's data or that are written to the wrong slot.
    const std::size_t len = 200;
    const std::size_t count = 16;
    std::vector<unsigned char> buf(len * count, 0x5C);
    std::vector<unsigned char> base(count * digest_size);
    ASSERT_TRUE(hash_pieces(buf.data(), len, count, base.data()));
    for (std::size_t p = 0; p < count; ++p) {
        buf[p * len + (p * 37) % len] ^= 1;
        std::vector<unsigned char> got(count * digest_size);
        ASSERT_TRUE(hash_pieces(buf.data(), len, count, got.data()));
        for (std::size_t i = 0; i < count; ++i) {
            const bool same = std::memcmp(got.data() + i * digest_size,
                                          base.data() + i * digest_size, digest_size) == 0;
            EXPECT_EQ(same, i != p) << "changed piece " << p << ", digest " << i;
        }
        buf[p * len + (p * 37) % len] ^= 1;
    }
}

TEST_P(HashLanes, ConcurrentCallersGetTheirOwnDigests) {
    std::mt19937_64 rng(4);
    const std::size_t len = 3000;
    const std::size_t count = 21;
    std::vector<std::vector<unsigned char>> inputs;
    inputs.reserve(4);
    for (int t = 0; t < 4; ++t) {
        inputs.push_back(random_bytes(len * count, rng));
    }
    std::vector<std::vector<unsigned char>> outputs(
        inputs.size(), std::vector<unsigned char>(count * digest_size));
    std::vector<std::thread> threads;
    for (std::size_t t = 0; t < inputs.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int rep = 0; rep < 20; ++rep) {
                ASSERT_TRUE(hash_pieces(inputs[t].data(), len, count, outputs[t].data()));
            }
        });
    }
    for (auto &th : threads) {
        th.join();
    }
    for (std::size_t t = 0; t < inputs.size(); ++t) {
        for (std::size_t i = 0; i < count; ++i) {
            std::array<unsigned char, digest_size> want{};
            SHA1(inputs[t].data() + i * len, len, want.data());
            ASSERT_EQ(hex(outputs[t].data() + i * digest_size), hex(want.data()))
                << "thread " << t << " piece " << i;
        }
    }
}

TEST_P(HashLanes, HashOneMatchesOpenSSL) {
    std::mt19937_64 rng(5);
    const auto buf = random_bytes(3 * 1024 * 1024 + 17, rng);
    // Every length up to 200 (all padding layouts), then a few long messages.
    std::vector<std::size_t> lengths(201);
    std::iota(lengths.begin(), lengths.end(), std::size_t{0});
    lengths.insert(lengths.end(), {4095, 65536, 1000003, buf.size()});
    for (const std::size_t n : lengths) {
        std::array<unsigned char, digest_size> got{};
        std::array<unsigned char, digest_size> want{};
        ASSERT_TRUE(hash_one(buf.data() + (buf.size() - n), n, got.data()));
        SHA1(buf.data() + (buf.size() - n), n, want.data());
        ASSERT_EQ(hex(got.data()), hex(want.data())) << "length " << n;
    }
}

// Streams advanced side by side in uneven steps, then finished with tails of their own
// lengths, against the digest of each whole message taken at once. Each lane count sends
// another share of the streams to the narrower kernels of the path.
TEST_P(HashLanes, StreamsAdvancedInStepsMatchWholeMessages) {
    const std::size_t steps[] = {1, 3, 0, 7, 2, 17}; // blocks per call
    const std::size_t tails[] = {0, 1, 55, 56, 63, 64, 65, 127, 128, 1000, 4097};
    const std::size_t body =
        64 * std::accumulate(std::begin(steps), std::end(steps), std::size_t{0});
    std::mt19937_64 rng(7);
    for (std::size_t lanes = 1; lanes <= sha1_lanes_max; ++lanes) {
        SCOPED_TRACE("lanes=" + std::to_string(lanes));
        // Separate buffers, each message starting at another offset from its allocation.
        std::vector<std::vector<unsigned char>> buffers;
        std::vector<std::size_t> sizes;
        std::vector<sha1_state> states(lanes, sha1_state_start());
        for (std::size_t i = 0; i < lanes; ++i) {
            sizes.push_back(body + tails[(i + lanes) % std::size(tails)]);
            buffers.push_back(random_bytes(i % 4 + sizes.back(), rng));
        }
        const auto message = [&](std::size_t i) { return buffers[i].data() + i % 4; };
        std::size_t taken = 0;
        for (const std::size_t blocks : steps) {
            std::vector<const unsigned char *> data;
            for (std::size_t i = 0; i < lanes; ++i) {
                data.push_back(message(i) + taken);
            }
            ASSERT_TRUE(sha1_lanes_update(states.data(), data.data(), lanes, blocks));
            taken += 64 * blocks;
        }
        for (std::size_t i = 0; i < lanes; ++i) {
            std::array<unsigned char, digest_size> got{};
            std::array<unsigned char, digest_size> want{};
            ASSERT_TRUE(sha1_state_finish(states[i], message(i) + taken, sizes[i] - taken, sizes[i],
                                          got.data()));
            ASSERT_TRUE(sha1_single_digest(message(i), sizes[i], want.data()));
            ASSERT_EQ(hex(got.data()), hex(want.data())) << "lane " << i << " of " << sizes[i];
        }
    }
}

INSTANTIATE_TEST_SUITE_P(AllPaths, HashLanes,
                         ::testing::Values(hash_path::openssl, hash_path::shani, hash_path::avx2,
                                           hash_path::avx512),
                         [](const ::testing::TestParamInfo<hash_path> &info) {
                             return std::string(path_name(info.param));
                         });

// The SIMD kernels, each with its whole-piece and its resumable entry point.
struct kernel_entry {
    hash_path path;
    void (*pieces)(const unsigned char *, std::size_t, std::size_t, unsigned char *);
    sha1_kernels::update_fn update;
};

// Runs `check` on each kernel this CPU runs; the test is skipped where it runs none.
template <class Check> void for_each_supported_kernel(Check check) {
    const kernel_entry kernels[] = {
        {hash_path::shani, sha1_kernels::shani_x4, sha1_kernels::shani_update},
        {hash_path::avx2, sha1_kernels::avx2_x8, sha1_kernels::avx2_update},
        {hash_path::avx512, sha1_kernels::avx512_x16, sha1_kernels::avx512_update}};
    bool ran_any = false;
    for (const kernel_entry &k : kernels) {
        if (hash_path_supported(k.path)) {
            ran_any = true;
            SCOPED_TRACE(path_name(k.path));
            check(k);
        }
    }
    if (!ran_any) {
        GTEST_SKIP() << "this CPU runs none of the SIMD kernels";
    }
}

// hash_pieces only sends some group sizes to each kernel (a short last group may go to a
// narrower path), so each kernel is also checked directly with every group size it accepts.
TEST(HashKernels, EveryGroupSizeOfEveryKernel) {
    std::mt19937_64 rng(6);
    for_each_supported_kernel([&](const kernel_entry &k) {
        const std::size_t width = hash_path_lanes(k.path);
        for (const std::size_t len : {1, 55, 56, 64, 120, 1000, 4097}) {
            for (std::size_t count = 1; count <= width; ++count) {
                // Exactly `count` pieces, so a sanitizer build catches reads past the last.
                const auto buf = random_bytes(len * count, rng);
                SCOPED_TRACE("piece_length=" + std::to_string(len) +
                             " count=" + std::to_string(count));
                constexpr unsigned char guard_byte = 0xA5;
                std::vector<unsigned char> got((width + 1) * digest_size, guard_byte);
                k.pieces(buf.data(), len, count, got.data());
                for (std::size_t i = 0; i < count; ++i) {
                    std::array<unsigned char, digest_size> want{};
                    SHA1(buf.data() + i * len, len, want.data());
                    ASSERT_EQ(hex(got.data() + i * digest_size), hex(want.data())) << "piece " << i;
                }
                for (std::size_t i = count * digest_size; i < got.size(); ++i) {
                    ASSERT_EQ(got[i], guard_byte) << "wrote past the digests";
                }
            }
        }
    });
}

// Each kernel's resumable entry point with every stream count it takes (the dispatcher sends
// some counts elsewhere), from chaining words other than the start, against OpenSSL's block
// function; the state after the last stream must be left alone.
TEST(HashKernels, EveryKernelResumesEveryStreamCount) {
    std::mt19937_64 rng(8);
    for_each_supported_kernel([&](const kernel_entry &k) {
        for (std::size_t count = 1; count <= hash_path_lanes(k.path); ++count) {
            const std::size_t blocks = count + 1;
            std::vector<sha1_state> got(count + 1);
            for (sha1_state &s : got) {
                std::generate(std::begin(s.h), std::end(s.h),
                              [&] { return static_cast<unsigned>(rng()); });
            }
            std::vector<sha1_state> want = got;
            std::vector<std::vector<unsigned char>> buffers;
            std::vector<const unsigned char *> data;
            for (std::size_t i = 0; i < count; ++i) {
                buffers.push_back(random_bytes(64 * blocks, rng));
                ASSERT_TRUE(sha1_single_blocks(want[i].h, buffers[i].data(), blocks));
                data.push_back(buffers[i].data());
            }
            k.update(got.data(), data.data(), count, blocks);
            for (std::size_t i = 0; i <= count; ++i) {
                for (std::size_t j = 0; j < 5; ++j) {
                    ASSERT_EQ(got[i].h[j], want[i].h[j])
                        << "count " << count << ", stream " << i << ", word " << j;
                }
            }
        }
    });
}

TEST(HashPath, DetectedPathIsSupportedAndLanesAreKnown) {
    EXPECT_TRUE(hash_path_supported(active_hash_path()));
    EXPECT_TRUE(hash_path_supported(hash_path::openssl));
    EXPECT_EQ(hash_path_lanes(hash_path::openssl), 1U);
    EXPECT_EQ(hash_path_lanes(hash_path::shani), 4U);
    EXPECT_EQ(hash_path_lanes(hash_path::avx2), 8U);
    EXPECT_EQ(hash_path_lanes(hash_path::avx512), 16U);
}

TEST(HashPath, ForcingAnUnsupportedPathIsRefused) {
    const hash_path saved = active_hash_path();
    bool any_unsupported = false;
    for (const hash_path p : {hash_path::shani, hash_path::avx2, hash_path::avx512}) {
        if (!hash_path_supported(p)) {
            any_unsupported = true;
            EXPECT_THROW(force_hash_path(p), std::invalid_argument);
            EXPECT_EQ(active_hash_path(), saved);
        }
    }
    if (!any_unsupported) {
        GTEST_SKIP() << "this CPU runs every path";
    }
}

TEST(HashPath, ZeroPiecesWritesNothing) {
    const unsigned char data[1] = {0};
    std::array<unsigned char, digest_size> out{};
    out.fill(0x77);
    ASSERT_TRUE(hash_pieces(data, 1, 0, out.data()));
    for (const unsigned char b : out) {
        EXPECT_EQ(b, 0x77);
    }
}

} // namespace
