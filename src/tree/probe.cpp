#include "tree/probe.h"

#include "tree/probe_rule.h"

#include <algorithm>

namespace {
// All files read ahead together stay within this, and so do the files kept open ahead, well
// below the usual limit of open files.
constexpr std::int64_t byte_budget = std::int64_t{16} << 20;
constexpr int open_file_budget = 128;

// Takes `amount` from `held` only if the total stays within `limit`.
template <typename count> bool take_within(std::atomic<count> &held, count amount, count limit) {
    count seen = held.load(std::memory_order_relaxed);
    do {
        if (seen > limit - amount) {
            return false;
        }
    } while (!held.compare_exchange_weak(seen, seen + amount, std::memory_order_relaxed));
    return true;
}
} // namespace

bool reserve_content(look_ahead_budget &budget, entry_probe &probe) {
    const struct stat &status = probe.status;
    if (!S_ISREG(status.st_mode) || status.st_size > prefetch_file_limit ||
        file_left_out(*probe.rule, probe.name, status)) {
        return false;
    }
    const std::int64_t wanted = status.st_size + 1;
    if (!take_within(budget.bytes, wanted, byte_budget)) {
        return false;
    }
    probe.reserved = wanted;
    return true;
}

void keep_file_open(look_ahead_budget &budget, entry_probe &probe, fd_owner &file) {
    if (file_left_out(*probe.rule, probe.name, probe.status) ||
        !take_within(budget.files, 1, open_file_budget)) {
        return;
    }
    probe.file = std::move(file);
    probe.file_counted = true;
}

void settle_read(entry_probe &probe, std::size_t got) {
    const auto size = static_cast<std::size_t>(probe.status.st_size);
    // One byte more than the size was asked for: any other count means a change.
    probe.content = got == size ? probe_content::read : probe_content::changed;
    probe.bytes.resize(std::min(got, size));
}

void mark_left_out_by_name(entry_probe &probe) {
    probe.stat_ok = true;
    probe.status.st_mode = S_IFREG;
}

void clear_results(look_ahead_budget &budget, entry_probe &probe) {
    budget.bytes.fetch_sub(probe.reserved, std::memory_order_relaxed);
    probe.reserved = 0;
    if (probe.file_counted) {
        budget.files.fetch_sub(1, std::memory_order_relaxed);
        probe.file_counted = false;
    }
    probe.file = fd_owner();
    probe.stat_ok = false;
    probe.status = {};
    probe.content = probe_content::not_read;
    probe.error = 0;
    probe.out_of_memory = false;
    probe.bytes.clear();
}
