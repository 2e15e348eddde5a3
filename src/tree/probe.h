#pragma once
#include "common/handles.h"

#include <atomic>
#include <cstdint>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <vector>

// One directory entry looked at ahead of the walk, and the budget all of them share.
//
// Who touches which field:
// - The walk's thread sets rule, dir_fd, name and listed_type before it hands the probe over; from
//   then until the probe is given back they are only read.
// - The results (stat_ok to reserved) are written by exactly one thread, the one that took the
//   probe: a helper thread that took it from the queue, or the walk's thread when it did the
//   work itself. Nobody else reads them before `done` is seen set.
// - `handed_over` belongs to the walk's thread: the probe went to the helper threads' queue.
// - `queued` is guarded by the prefetcher's lock.
// - `done` is set, with release order, once every result is in place; the walk reads the
//   results only after seeing it set with acquire order.

enum class probe_content { not_read, read, open_failed, read_failed, changed };

struct probe_rule;

struct entry_probe {
    const probe_rule *rule = nullptr; // the prefetcher's: which files the walk leaves out
    int dir_fd = -1;
    std::string name;
    unsigned char listed_type = DT_UNKNOWN; // the file type the listing gave, if any

    bool stat_ok = false;
    struct stat status = {};
    probe_content content = probe_content::not_read;
    int error = 0;              // errno of a failed open or read
    bool out_of_memory = false; // the work could not be done for want of memory
    std::vector<unsigned char> bytes;
    fd_owner file;             // a larger file opened ahead, kept open for the walk to read
    bool file_counted = false; // `file` was counted against the open-files budget
    std::int64_t reserved = 0; // bytes counted against the look-ahead budget

    bool handed_over = false;
    bool queued = false;
    std::atomic<bool> done{false};
};

// What all probes together may hold at a time: bytes read ahead and files kept open. Taking
// from a budget either fits whole or takes nothing, also when several threads take at once.
struct look_ahead_budget {
    std::atomic<std::int64_t> bytes{0};
    std::atomic<int> files{0};
};

// Files up to this size are read ahead.
constexpr std::int64_t prefetch_file_limit = std::int64_t{16} << 10;

// Reserves the bytes to read a file whole (one more than its size, to notice a file that grew)
// if it is a regular file the walk takes in, small enough, and the budget has room.
bool reserve_content(look_ahead_budget &budget, entry_probe &probe);

// Keeps a regular file the walk will read open in the probe, if the budget has room.
void keep_file_open(look_ahead_budget &budget, entry_probe &probe, fd_owner &file);

// Sets the outcome of reading a file whole, from the count of bytes read into `bytes`.
void settle_read(entry_probe &probe, std::size_t got);

// Fills in the result for a file the listing calls regular and whose name leaves it out: the
// walk skips it without looking further.
void mark_left_out_by_name(entry_probe &probe);

// Clears every result and gives back what the probe held, so that it can be done again or used
// for another entry. The buffer's capacity stays.
void clear_results(look_ahead_budget &budget, entry_probe &probe);
