// Speed of each SHA-256 path this CPU runs, on one thread: 16 KiB leaves and 64-byte node
// pairs, each over a buffer that stays in the core's cache, so that the kernels are measured
// rather than memory. Prints GB/s of input hashed, the best of several rounds; checks nothing.
//
//   cmake --build --preset release --target sha256_speed
//   taskset -c 1 build/release/sha256_speed

#include "hash/sha256_lanes.h"

#include <chrono>
#include <cstddef>
#include <cstdio>
#include <vector>

namespace {

constexpr std::size_t buffer_bytes = std::size_t{1} << 20;
constexpr int rounds = 60;
constexpr double round_seconds = 0.01;

// The best rate of `rounds` rounds of `hash` over `bytes` bytes, in GB/s; 0 if a call failed.
template <class F> double best_rate(std::size_t bytes, F hash) {
    using clock = std::chrono::steady_clock;
    double best = 0;
    for (int r = 0; r < rounds; ++r) {
        std::size_t calls = 0;
        const clock::time_point start = clock::now();
        double seconds = 0;
        while (seconds < round_seconds) {
            if (!hash()) {
                return 0;
            }
            ++calls;
            seconds = std::chrono::duration<double>(clock::now() - start).count();
        }
        const double rate = static_cast<double>(calls * bytes) / seconds / 1e9;
        best = rate > best ? rate : best;
    }
    return best;
}

} // namespace

int main() {
    std::vector<unsigned char> data(buffer_bytes);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<unsigned char>(i * 2654435761U >> 13);
    }
    std::vector<unsigned char> digests(buffer_bytes / 2);
    std::printf("%-8s %12s %12s\n", "path", "leaves GB/s", "nodes GB/s");
    for (const sha256_path path :
         {sha256_path::openssl, sha256_path::shani, sha256_path::avx2, sha256_path::avx512}) {
        if (!sha256_path_supported(path)) {
            std::printf("%-8s %12s %12s\n", sha256_path_name(path), "-", "-");
            continue;
        }
        force_sha256_path(path);
        const double leaves = best_rate(
            data.size(), [&] { return sha256_leaves(data.data(), data.size(), digests.data()); });
        const double nodes = best_rate(data.size(), [&] {
            return sha256_parents(data.data(), data.size() / 64, digests.data());
        });
        std::printf("%-8s %12.2f %12.2f\n", sha256_path_name(path), leaves, nodes);
    }
    return 0;
}
