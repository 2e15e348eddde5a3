#pragma once
#include "tree/probe.h"

#include <atomic>
#include <memory>
#include <span>

// The two ways a helper thread does the work of a group of probes: one system call at a time,
// or batched through an io_uring. Both fill in the same results (see entry_probe) and neither
// sets `done`; the caller does, once the group is finished.

class probe_path {
  public:
    probe_path() = default;
    probe_path(const probe_path &) = delete;
    probe_path &operator=(const probe_path &) = delete;
    virtual ~probe_path() = default;

    // Does every probe of the group. Returns false when this path failed: then nothing it
    // started is still in flight (no request can still write into a probe) and the path is of
    // no further use; the probes may hold partial results, which the caller clears before
    // having them done another way. Never throws.
    virtual bool run_group(std::span<entry_probe *const> group) = 0;
};

// Does one probe with plain system calls, in the calling thread. Never throws: for want of
// memory it sets `out_of_memory` instead.
void probe_plainly(look_ahead_budget &budget, entry_probe &probe);

class plain_path final : public probe_path {
  public:
    explicit plain_path(look_ahead_budget &shared) : budget(shared) {}
    // Never fails.
    bool run_group(std::span<entry_probe *const> group) override;

  private:
    look_ahead_budget &budget;
};

// What the helper threads' rings share. One ring failing, at setup or mid-run, makes every
// thread give its ring up for the rest of the run. The two test switches are set before the
// threads start and only read afterwards.
struct ring_watch {
    bool fail_setup = false;     // test switch: setting a ring up fails
    long fail_after_groups = -1; // test switch: a ring fails once this many groups are done
    std::atomic<long> rings_set_up{0};
    std::atomic<long> groups_done{0};  // groups done through a ring
    std::atomic<bool> given_up{false}; // the plain path does the rest of the run
};

// Groups are at most this large, so that a whole group's requests fit in a ring at once.
constexpr unsigned ring_group_size = 32;

// Sets up a ring for the calling thread; nullptr, with the watch's `given_up` set, when that
// fails or io_uring was left out of the build. Destroying the path reaps every request still
// in flight before it tears the ring down. Never throws.
std::unique_ptr<probe_path> open_ring_path(look_ahead_budget &budget, ring_watch &watch);
