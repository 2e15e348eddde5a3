// The read-ahead's system calls batched through an io_uring: the status queries of a whole
// group of entries, and then the open, read and close of its small files, each cost the system
// one call instead of one call apiece.
#include "tree/probe_paths.h"

#include "tree/probe_rule.h"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <liburing.h>
#include <new>
#include <string>
#include <sys/sysmacros.h>

namespace {
// The second round asks three requests per probe: open, read and close.
constexpr std::size_t requests_per_probe = 3;
constexpr unsigned ring_entries = 4 * ring_group_size;
static_assert(ring_entries >= requests_per_probe * ring_group_size);

// Everything the kernel reads or writes for a request lives here, one slot per probe of a
// group, never in a probe: so whatever happens to a probe, no request can write into it, and a
// ring whose requests could not all be reaped keeps this memory alive.
struct ring_memory {
    std::array<std::string, ring_group_size> names;
    std::array<struct statx, ring_group_size> found{};
    std::array<std::vector<unsigned char>, ring_group_size> buffers;
};

class ring_path final : public probe_path {
  public:
    ring_path(look_ahead_budget &shared, ring_watch &ring_state);
    ring_path(const ring_path &) = delete;
    ring_path &operator=(const ring_path &) = delete;
    ~ring_path() override;

    bool ready() const { return set_up; }
    bool run_group(std::span<entry_probe *const> group) override;

  private:
    bool status_round(std::span<entry_probe *const> group);
    bool content_round(std::span<entry_probe *const> group);
    bool queue_read_chain(unsigned slot, const entry_probe &probe);
    io_uring_sqe *take_sqe();
    bool submit_queued();
    bool finish_round(bool may_fail_on_purpose);
    bool reap();

    look_ahead_budget &budget;
    ring_watch &watch;
    std::unique_ptr<ring_memory> memory;
    io_uring ring = {};
    bool set_up = false;
    unsigned in_flight = 0; // requests submitted whose completion was not reaped yet
    std::array<int, requests_per_probe * ring_group_size> results{};
};

ring_path::ring_path(look_ahead_budget &shared, ring_watch &ring_state)
    : budget(shared), watch(ring_state), memory(std::make_unique<ring_memory>()) {
    if (io_uring_queue_init(ring_entries, &ring, 0) != 0) {
        return;
    }
    std::array<int, ring_group_size> empty_slots{};
    empty_slots.fill(-1);
    if (watch.fail_setup ||
        io_uring_register_files(&ring, empty_slots.data(), ring_group_size) != 0) {
        io_uring_queue_exit(&ring);
        return;
    }
    set_up = true;
}

ring_path::~ring_path() {
    if (!set_up) {
        return;
    }
    if (reap()) {
        io_uring_queue_exit(&ring);
        return;
    }
    // The kernel may still write into the memory of a request that could not be reaped: that
    // memory, and the ring, stay until the process ends.
    static_cast<void>(memory.release());
}

// Reaps completions until no request is in flight. Waits cut short by a signal or a full
// completion queue are retried; any other failure of the wait ends it early.
bool ring_path::reap() {
    while (in_flight > 0) {
        io_uring_cqe *completion = nullptr;
        const int waited = io_uring_wait_cqe(&ring, &completion);
        if (waited == -EINTR || waited == -EAGAIN || waited == -EBUSY) {
            continue;
        }
        if (waited != 0) {
            return false;
        }
        if (completion->user_data < results.size()) {
            results[completion->user_data] = completion->res;
        }
        io_uring_cqe_seen(&ring, completion);
        --in_flight;
    }
    return true;
}

// Submits what is queued; in_flight counts what the kernel took, whatever the call returned.
bool ring_path::submit_queued() {
    const unsigned queued = io_uring_sq_ready(&ring);
    const int submitted = io_uring_submit(&ring);
    in_flight += queued - io_uring_sq_ready(&ring);
    return submitted >= 0 && io_uring_sq_ready(&ring) == 0;
}

// A free submission slot; with the queue full, what is queued is submitted to make room.
io_uring_sqe *ring_path::take_sqe() {
    io_uring_sqe *slot = io_uring_get_sqe(&ring);
    if (slot == nullptr && submit_queued()) {
        slot = io_uring_get_sqe(&ring);
    }
    return slot;
}

// Submits what is queued and reaps every request in flight. A test can make the round fail with
// its requests submitted and not waited for, as a real failure of the ring would leave them.
bool ring_path::finish_round(bool may_fail_on_purpose) {
    const unsigned queued = io_uring_sq_ready(&ring);
    if (queued + in_flight == 0) {
        return true;
    }
    if (may_fail_on_purpose && watch.fail_after_groups >= 0 &&
        watch.groups_done.load(std::memory_order_relaxed) >= watch.fail_after_groups) {
        submit_queued();
        return false;
    }
    const int submitted = io_uring_submit_and_wait(&ring, queued + in_flight);
    in_flight += queued - io_uring_sq_ready(&ring);
    if (submitted < 0 || io_uring_sq_ready(&ring) != 0) {
        return false;
    }
    return reap();
}

void take_statx(entry_probe &probe, const struct statx &found) {
    probe.stat_ok = true;
    probe.status = {};
    probe.status.st_mode = found.stx_mode;
    probe.status.st_size = static_cast<off_t>(found.stx_size);
    probe.status.st_ino = found.stx_ino;
    probe.status.st_dev = makedev(found.stx_dev_major, found.stx_dev_minor);
}

// First round: the status of every entry (following links, like stat).
bool ring_path::status_round(std::span<entry_probe *const> group) {
    for (unsigned k = 0; k < group.size(); ++k) {
        entry_probe &probe = *group[k];
        if (probe.listed_type == DT_REG && name_leaves_out_file(*probe.rule, probe.name)) {
            mark_left_out_by_name(probe);
            continue;
        }
        memory->names[k].assign(probe.name);
        io_uring_sqe *request = take_sqe();
        if (request == nullptr) {
            return false;
        }
        io_uring_prep_statx(request, probe.dir_fd, memory->names[k].c_str(), 0, STATX_BASIC_STATS,
                            &memory->found[k]);
        io_uring_sqe_set_data64(request, k);
        results[k] = -ECANCELED;
    }
    if (!finish_round(false)) {
        return false;
    }
    for (unsigned k = 0; k < group.size(); ++k) {
        if (!group[k]->stat_ok && results[k] == 0) {
            take_statx(*group[k], memory->found[k]);
        }
    }
    return true;
}

// Queues the open, read and close of one file as one linked chain, into the probe's slot of the
// ring's registered files. A chain is never split between two submissions.
bool ring_path::queue_read_chain(unsigned slot, const entry_probe &probe) {
    if (io_uring_sq_space_left(&ring) < requests_per_probe && !submit_queued()) {
        return false;
    }
    io_uring_sqe *open = io_uring_get_sqe(&ring);
    io_uring_sqe *read = io_uring_get_sqe(&ring);
    io_uring_sqe *close = io_uring_get_sqe(&ring);
    if (open == nullptr || read == nullptr || close == nullptr) {
        return false; // not submitted: the ring is given up without submitting again
    }
    std::vector<unsigned char> &buffer = memory->buffers[slot];
    io_uring_prep_openat_direct(open, probe.dir_fd, memory->names[slot].c_str(),
                                O_RDONLY | O_NOCTTY | O_NONBLOCK, 0, slot);
    open->flags |= IOSQE_IO_LINK;
    io_uring_prep_read(read, static_cast<int>(slot), buffer.data(),
                       static_cast<unsigned>(buffer.size()), 0);
    read->flags |= IOSQE_FIXED_FILE | IOSQE_IO_HARDLINK;
    io_uring_prep_close_direct(close, slot);
    const std::uint64_t first = std::uint64_t{slot} * requests_per_probe;
    io_uring_sqe_set_data64(open, first);
    io_uring_sqe_set_data64(read, first + 1);
    io_uring_sqe_set_data64(close, first + 2);
    results[first] = -ECANCELED;
    results[first + 1] = -ECANCELED;
    return true;
}

// Second round: each small regular file the walk takes in is read whole.
bool ring_path::content_round(std::span<entry_probe *const> group) {
    for (unsigned k = 0; k < group.size(); ++k) {
        entry_probe &probe = *group[k];
        if (!probe.stat_ok || !reserve_content(budget, probe)) {
            continue;
        }
        memory->buffers[k].resize(static_cast<std::size_t>(probe.reserved));
        if (!queue_read_chain(k, probe)) {
            return false;
        }
    }
    if (!finish_round(true)) {
        return false;
    }
    for (unsigned k = 0; k < group.size(); ++k) {
        entry_probe &probe = *group[k];
        if (probe.reserved == 0) {
            continue;
        }
        const int opened = results[k * requests_per_probe];
        const int got = results[k * requests_per_probe + 1];
        if (opened < 0) {
            probe.content = probe_content::open_failed;
            probe.error = -opened;
        } else if (got < 0) {
            probe.content = probe_content::read_failed;
            probe.error = -got;
        } else {
            probe.bytes.swap(memory->buffers[k]); // the probe's old buffer serves the slot next
            settle_read(probe, static_cast<std::size_t>(got));
        }
    }
    return true;
}

bool ring_path::run_group(std::span<entry_probe *const> group) {
    bool done = false;
    try {
        done = group.size() <= ring_group_size && status_round(group) && content_round(group);
    } catch (const std::bad_alloc &) {
        done = false;
    }
    if (done) {
        watch.groups_done.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    // Nothing of the failed group may still be in flight when the plain path takes it over.
    reap();
    return false;
}
} // namespace

std::unique_ptr<probe_path> open_ring_path(look_ahead_budget &budget, ring_watch &watch) {
    try {
        auto path = std::make_unique<ring_path>(budget, watch);
        if (path->ready()) {
            watch.rings_set_up.fetch_add(1, std::memory_order_relaxed);
            return path;
        }
    } catch (const std::bad_alloc &) {
        // no ring then
    }
    watch.given_up.store(true, std::memory_order_relaxed);
    return nullptr;
}
