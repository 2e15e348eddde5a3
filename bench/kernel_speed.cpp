// Single-core speed of every hashing path this CPU runs, in GB/s of message bytes. Prints
// figures; checks nothing. Run it pinned to one core, the machine otherwise idle:
//
//   cmake --build --preset release --target quillet_kernel_speed
//   taskset -c 1 build/release/quillet_kernel_speed [runs]
//
// Each figure is the best of `runs` timed runs (default 7), timed in the thread's own CPU time so
// that other programs taking turns on the core do not count against it. "pieces" hashes 16 whole
// pieces of 256 KiB per call; "lanes" hashes the same 16 messages as streams advanced side by side,
// 16 KiB at a time, then finished, as pieces too long to hold whole are.

#include "hash/sha1_lanes.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <vector>

namespace {

constexpr std::size_t message_size = std::size_t{256} * 1024;
constexpr std::size_t messages = 16;
constexpr std::size_t lane_chunk = std::size_t{16} * 1024;
constexpr int calls_per_run = 16;

using hash_fn = bool (*)(const unsigned char *data);

// One hashing path: whether this CPU runs it, how to make it the active one, and how it hashes
// the 16 messages laid back to back from `data` (null where the path has no such mode).
struct entry {
    const char *name;
    bool (*supported)();
    void (*select)();
    hash_fn pieces;
    hash_fn lanes;
};

template <hash_path P> bool sha1_supported() {
    return hash_path_supported(P);
}

template <hash_path P> void sha1_select() {
    force_hash_path(P);
}

bool sha1_pieces(const unsigned char *data) {
    unsigned char digests[20 * messages];
    return hash_pieces(data, message_size, messages, digests);
}

bool sha1_lanes(const unsigned char *data) {
    sha1_state states[messages];
    std::fill(std::begin(states), std::end(states), sha1_state_start());
    const unsigned char *at[messages];
    for (std::size_t done = 0; done < message_size; done += lane_chunk) {
        for (std::size_t i = 0; i < messages; ++i) {
            at[i] = data + i * message_size + done;
        }
        if (!sha1_lanes_update(states, at, messages, lane_chunk / 64)) {
            return false;
        }
    }
    // The messages are whole chunks: nothing is left for the tails but the padding.
    unsigned char digest[20];
    for (sha1_state &s : states) {
        if (!sha1_state_finish(s, data, 0, message_size, digest)) {
            return false;
        }
    }
    return true;
}

template <hash_path P> constexpr entry sha1_entry(const char *name) {
    return {name, sha1_supported<P>, sha1_select<P>, sha1_pieces, sha1_lanes};
}

const entry entries[] = {
    sha1_entry<hash_path::openssl>("sha1 openssl"),
    sha1_entry<hash_path::shani>("sha1 shani"),
    sha1_entry<hash_path::avx2>("sha1 avx2"),
    sha1_entry<hash_path::avx512>("sha1 avx512"),
};

double cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// GB/s of the best of `runs` runs; a negative figure when hashing failed.
double best_rate(hash_fn hash, const unsigned char *data, int runs) {
    double best = 0;
    for (int r = 0; r < runs; ++r) {
        const double start = cpu_seconds();
        for (int c = 0; c < calls_per_run; ++c) {
            if (!hash(data)) {
                return -1;
            }
        }
        const double took = cpu_seconds() - start;
        const double rate = calls_per_run * double(messages * message_size) / took / 1e9;
        best = rate > best ? rate : best;
    }
    return best;
}

void print_rate(hash_fn hash, const unsigned char *data, int runs) {
    if (hash == nullptr) {
        std::printf(" %10s", "-");
        return;
    }
    const double rate = best_rate(hash, data, runs);
    if (rate < 0) {
        std::printf(" %10s", "failed");
    } else {
        std::printf(" %10.2f", rate);
    }
}

} // namespace

int main(int argc, char **argv) {
    const int runs = argc > 1 ? std::atoi(argv[1]) : 7;
    if (runs < 1) {
        std::fprintf(stderr, "usage: quillet_kernel_speed [runs]\n");
        return 2;
    }
    std::vector<unsigned char> data(messages * message_size);
    std::uint32_t x = 1;
    for (unsigned char &b : data) {
        x = x * 1664525U + 1013904223U;
        b = static_cast<unsigned char>(x >> 24);
    }
    std::printf("%-14s %10s %10s   (GB/s on one core, best of %d)\n", "path", "pieces", "lanes",
                runs);
    for (const entry &e : entries) {
        if (!e.supported()) {
            std::printf("%-14s not run by this CPU\n", e.name);
            continue;
        }
        e.select();
        std::printf("%-14s", e.name);
        print_rate(e.pieces, data.data(), runs);
        print_rate(e.lanes, data.data(), runs);
        std::printf("\n");
    }
    return 0;
}
