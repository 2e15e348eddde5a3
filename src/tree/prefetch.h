#pragma once
#include "common/handles.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <dirent.h>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

// Looks ahead of the walk: helper threads query the file status of the next entries of a
// directory and read small files whole, so that the system calls of a tree of many small files
// run on every core. The walk still takes the entries one by one, in listing order, and prints
// every message itself; only the work behind them happens early.

enum class probe_content { not_read, read, open_failed, read_failed, changed };

struct entry_probe {
    int dir_fd = -1;
    std::string name;
    unsigned char listed_type = DT_UNKNOWN; // the file type the listing gave, if any
    bool stat_ok = false;
    struct stat status = {};
    probe_content content = probe_content::not_read;
    int error = 0;              // errno of a failed open or read
    bool out_of_memory = false; // the work could not be done for want of memory
    std::vector<unsigned char> bytes;
    fd_owner file;                 // a larger file opened ahead, kept open for the walk to read
    std::int64_t reserved = 0;     // bytes counted against the look-ahead budget
    bool queued = false;           // guarded by the prefetcher's lock
    std::atomic<bool> done{false}; // set by whoever did the work, once all of it is visible
};

struct prefetcher {
    std::mutex lock;
    std::condition_variable work_ready;
    std::deque<entry_probe *> queue;
    std::vector<std::thread> threads;
    unsigned wanted_threads = 0;
    unsigned idle_threads = 0;
    bool stopping = false;
    std::atomic<std::int64_t> held_bytes{0};
    std::atomic<int> held_files{0};

    prefetcher() = default;
    prefetcher(const prefetcher &) = delete;
    prefetcher &operator=(const prefetcher &) = delete;
    // Stops the threads, also when the walk ends by an exception.
    ~prefetcher();
};

// Files up to this size are read ahead.
constexpr std::int64_t prefetch_file_limit = std::int64_t{16} << 10;

// Entries of one directory looked at ahead of the walk.
constexpr std::size_t prefetch_window = 64;

// A hidden regular file is left out without a word unless -i was given.
bool hidden_and_left_out(const std::string &name);

void prefetch_start(prefetcher &pool, unsigned threads);

// Hands probes over in one go, so that waking the threads is paid once per group.
void prefetch_submit(prefetcher &pool, const std::vector<entry_probe *> &probes);

// Returns once the probe is done; a probe no thread has taken yet is done by the caller.
void prefetch_wait(prefetcher &pool, entry_probe &probe);

// Withdraws a probe that is no longer wanted, waiting for it if a thread is at work on it.
void prefetch_cancel(prefetcher &pool, entry_probe &probe);

// Hands over a file the probe opened ahead, if it did.
bool prefetch_take_file(prefetcher &pool, entry_probe &probe, fd_owner &file);

// Gives back the look-ahead budget a consumed probe held.
void prefetch_release(prefetcher &pool, entry_probe &probe);

void prefetch_stop(prefetcher &pool);
