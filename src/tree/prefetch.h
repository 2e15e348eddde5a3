#pragma once
#include "common/handles.h"
#include "tree/probe.h"
#include "tree/probe_paths.h"
#include "tree/probe_rule.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

// Looks ahead of the walk: helper threads query the file status of the next entries of a
// directory and read small files whole, so that the system calls of a tree of many small files
// run on every core. The walk still takes the entries one by one, in its own order (the
// listing's, or ascending names for a sorted walk), and prints every message itself; only the
// work behind them happens early.
//
// Each helper thread does the probes it takes in groups, through its own io_uring where the
// build has one, else (and, once a ring failed, for the rest of the run) with plain system
// calls. The walk's thread does with plain system calls every probe it takes back from the
// queue, and every probe while there are no helper threads.

// Entries of one directory looked at ahead of the walk.
constexpr std::size_t prefetch_window = 64;

struct prefetcher;

// A probe lent to the walk by a prefetcher, for one entry of one open directory. Destroying the
// handle, however the walk of that directory ends, withdraws the probe from the queue or waits
// for the thread at work on it, gives back the budget it holds (closing a file it kept open) and
// returns it to the prefetcher for another entry. So no probe is left queued or half done once
// its handle is gone, and a directory closed after the handles of its entries has nothing
// looking into it. Handles are made, used and destroyed on the walk's thread only, and must all
// be gone before their prefetcher.
class probe_handle {
  public:
    probe_handle() = default;
    probe_handle(prefetcher &lender, std::unique_ptr<entry_probe> lent_probe);
    probe_handle(probe_handle &&other) noexcept = default;
    probe_handle &operator=(probe_handle &&other) noexcept;
    probe_handle(const probe_handle &) = delete;
    probe_handle &operator=(const probe_handle &) = delete;
    ~probe_handle() { give_back(); }

    entry_probe &operator*() const { return *probe; }
    entry_probe *operator->() const { return probe.get(); }
    prefetcher &lender() const { return *owner; }

  private:
    void give_back() noexcept;

    prefetcher *owner = nullptr;
    std::unique_ptr<entry_probe> probe;
};

// Who touches what:
// - `lock` guards queue, stopping and idle_threads, and each queued probe's `queued` flag.
// - threads, spares and lent belong to the walk's thread (handles are made and destroyed there).
// - budget and ring are shared by every thread through atomics.
struct prefetcher {
    prefetcher(unsigned helper_threads, const probe_rule &run_rule);
    prefetcher(const prefetcher &) = delete;
    prefetcher &operator=(const prefetcher &) = delete;
    // Stops the threads, also when the walk ends by an exception.
    ~prefetcher();

    const probe_rule rule; // every probe lent out looks at entries with this one

    std::mutex lock;
    std::condition_variable work_ready;
    std::deque<entry_probe *> queue;
    bool stopping = false;
    unsigned idle_threads = 0;

    unsigned wanted_threads;
    bool ring_wanted = true;          // see prefetch_plain_calls
    std::vector<std::thread> threads; // started at the first hand-over
    // Probes are used again, with the buffers they hold: a fresh buffer for every small file
    // made the memory allocator return and fetch pages from the system over and over.
    std::vector<std::unique_ptr<entry_probe>> spares;
    std::size_t lent = 0;

    look_ahead_budget budget;
    ring_watch ring;
};

// A probe for the entry `name` of the open directory `dir_fd`, not handed over yet.
probe_handle prefetch_new_probe(prefetcher &pool, int dir_fd, const char *name,
                                unsigned char listed_type);

// Hands probes over to the helper threads in one go, so that waking them is paid once per
// group; each probe at most once. Without helper threads it does nothing: the walk does the
// probes when it waits for them.
void prefetch_submit(prefetcher &pool, std::span<const probe_handle> probes);

// Returns once the probe is done and its results may be read. A probe no thread has taken is
// done by the caller; while a thread works on it, the caller does probes further ahead. Never
// throws: want of memory shows as the probe's `out_of_memory`.
void prefetch_wait(const probe_handle &probe);

// Hands over a file the probe opened ahead, if it did. The file stays counted against the
// open-files budget until the probe is given back, so it is closed before that.
bool prefetch_take_file(entry_probe &probe, fd_owner &file);

// Called before the first hand-over: every probe is done with plain system calls. For a caller
// that knows each entry's status already, the ring's status query by name repeats a lookup the
// plain path spares, as it opens a file the listing calls regular and asks the open file.
void prefetch_plain_calls(prefetcher &pool);

// Test switches, called before the first hand-over, so that the fall-back from io_uring to plain
// system calls runs in the tests: setting up a ring fails, or a ring fails in the middle of a
// group, with its requests in flight, once `groups` groups were done through rings.
void prefetch_fail_ring_setup(prefetcher &pool);
void prefetch_fail_ring_after(prefetcher &pool, long groups);

// What the look-ahead did and still holds, for the tests.
struct prefetch_counts {
    long rings_set_up = 0;
    long ring_groups = 0;
    bool ring_given_up = false;
    std::int64_t held_bytes = 0;
    int held_files = 0;
};
prefetch_counts prefetch_report(const prefetcher &pool);
