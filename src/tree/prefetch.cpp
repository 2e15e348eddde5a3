#include "tree/prefetch.h"

#include "common/handles.h"
#include "common/run_state.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <new>
#include <system_error>
#include <unistd.h>

#if QUILLET_HAVE_URING
#include <liburing.h>
#include <sys/sysmacros.h>
#endif

namespace {
// All files read ahead together stay within this, and so do the files kept open ahead, well
// below the usual limit of open files.
constexpr std::int64_t prefetch_byte_budget = std::int64_t{16} << 20;
constexpr int prefetch_open_files = 128;

// Keeps a regular file the walk will read open, if the budget of open files allows.
void keep_open(prefetcher &pool, entry_probe &probe, fd_owner &file) {
    if (pool.held_files.fetch_add(1, std::memory_order_relaxed) < prefetch_open_files) {
        probe.file = std::move(file);
    } else {
        pool.held_files.fetch_sub(1, std::memory_order_relaxed);
    }
}

bool worth_reading(const prefetcher &pool, const entry_probe &probe) {
    const struct stat &status = probe.status;
    if (!S_ISREG(status.st_mode) || status.st_size > prefetch_file_limit) {
        return false;
    }
    // Entries the walk leaves out are not opened.
    if (hidden_and_left_out(probe.name)) {
        return false;
    }
    if (is_run_output(status)) {
        return false;
    }
    return pool.held_bytes.load(std::memory_order_relaxed) + status.st_size <= prefetch_byte_budget;
}

// Reads the whole file, asking for one byte more than its size so that a file that grew or
// shrank since its status was taken is noticed.
void read_whole(entry_probe &probe, int fd) {
    const auto size = static_cast<std::size_t>(probe.status.st_size);
    probe.bytes.resize(size + 1);
    std::size_t total = 0;
    while (total <= size) {
        const std::size_t asked = size + 1 - total;
        const ssize_t got = read(fd, probe.bytes.data() + total, asked);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            probe.content = probe_content::read_failed;
            probe.error = errno;
            return;
        }
        total += static_cast<std::size_t>(got);
        // A regular file returns less than asked only at its end.
        if (got == 0 || (total == size && static_cast<std::size_t>(got) < asked)) {
            break;
        }
    }
    probe.content = total == size ? probe_content::read : probe_content::changed;
    probe.bytes.resize(std::min(total, size));
}

void read_content(prefetcher &pool, entry_probe &probe, int fd) {
    probe.reserved = probe.status.st_size + 1;
    pool.held_bytes += probe.reserved;
    read_whole(probe, fd);
}

// An entry the listing calls a regular file is opened straight away and its status taken from
// the open file, which spares looking its name up twice. Opening it cannot block or disturb a
// device: it is not a link, and O_NONBLOCK covers a file replaced meanwhile by a fifo.
bool probe_listed_file(prefetcher &pool, entry_probe &probe) {
    fd_owner file(
        openat(probe.dir_fd, probe.name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (file.fd < 0) {
        if (errno != EACCES && errno != EPERM) {
            return false; // gone or otherwise odd: the plain status query tells what it is
        }
        probe.error = errno;
        probe.content = probe_content::open_failed;
        probe.stat_ok = fstatat(probe.dir_fd, probe.name.c_str(), &probe.status, 0) == 0;
        return true;
    }
    probe.stat_ok = fstat(file.fd, &probe.status) == 0;
    if (!probe.stat_ok || !S_ISREG(probe.status.st_mode)) {
        return false;
    }
    if (worth_reading(pool, probe)) {
        read_content(pool, probe, file.fd);
    } else if (!hidden_and_left_out(probe.name) && !is_run_output(probe.status)) {
        keep_open(pool, probe, file);
    }
    return true;
}

void run_probe(prefetcher &pool, entry_probe &probe) {
    if (probe.listed_type == DT_REG) {
        if (hidden_and_left_out(probe.name)) {
            probe.stat_ok = true; // a regular file the walk skips without a word
            probe.status.st_mode = S_IFREG;
            return;
        }
        if (probe_listed_file(pool, probe)) {
            return;
        }
        probe.content = probe_content::not_read;
    }
    probe.stat_ok = fstatat(probe.dir_fd, probe.name.c_str(), &probe.status, 0) == 0;
    if (!probe.stat_ok || !worth_reading(pool, probe)) {
        return;
    }
    const fd_owner file(openat(probe.dir_fd, probe.name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (file.fd < 0) {
        probe.content = probe_content::open_failed;
        probe.error = errno;
        return;
    }
    read_content(pool, probe, file.fd);
}

void mark_done(entry_probe &probe) {
    probe.done.store(true, std::memory_order_release);
    probe.done.notify_all();
}

// Never throws: whoever waits for the probe must see it done, also when memory ran out.
void complete(prefetcher &pool, entry_probe &probe) {
    try {
        run_probe(pool, probe);
    } catch (const std::bad_alloc &) {
        probe.out_of_memory = true;
    }
    mark_done(probe);
}

#if QUILLET_HAVE_URING
// Through an io_uring, the status queries of a whole group of entries, and then the open, read
// and close of its small files, each cost the system one call instead of one call apiece.
constexpr unsigned ring_group = 32;

struct probe_ring {
    io_uring ring = {};
    bool ready = false;
    // Written by the kernel: kept with the ring rather than on a stack frame that could be gone
    // before a failed round's last request completes.
    std::array<struct statx, ring_group> found{};

    probe_ring() {
        ready = io_uring_queue_init(ring_group * 4, &ring, 0) == 0;
        if (ready) {
            std::array<int, ring_group> empty_slots{};
            empty_slots.fill(-1);
            if (io_uring_register_files(&ring, empty_slots.data(), ring_group) != 0) {
                io_uring_queue_exit(&ring);
                ready = false;
            }
        }
    }
    probe_ring(const probe_ring &) = delete;
    probe_ring &operator=(const probe_ring &) = delete;
    ~probe_ring() {
        if (ready) {
            io_uring_queue_exit(&ring);
        }
    }
};

// Submits what was queued and gathers `count` results by their user data.
bool gather(io_uring &ring, unsigned count, std::vector<int> &results) {
    if (io_uring_submit_and_wait(&ring, count) < 0) {
        return false;
    }
    for (unsigned seen = 0; seen < count; ++seen) {
        io_uring_cqe *completion = nullptr;
        if (io_uring_wait_cqe(&ring, &completion) != 0) {
            return false;
        }
        results.at(completion->user_data) = completion->res;
        io_uring_cqe_seen(&ring, completion);
    }
    return true;
}

void take_statx(entry_probe &probe, const struct statx &found) {
    probe.status = {};
    probe.status.st_mode = found.stx_mode;
    probe.status.st_size = static_cast<off_t>(found.stx_size);
    probe.status.st_ino = found.stx_ino;
    probe.status.st_dev = makedev(found.stx_dev_major, found.stx_dev_minor);
}

// First round: the status of every entry (following links, like stat).
bool ring_status(probe_ring &ring, const std::vector<entry_probe *> &group) {
    std::array<struct statx, ring_group> &found = ring.found;
    std::vector<int> results(group.size(), -ECANCELED);
    unsigned queued = 0;
    for (std::size_t k = 0; k < group.size(); ++k) {
        entry_probe &probe = *group[k];
        if (probe.listed_type == DT_REG && hidden_and_left_out(probe.name)) {
            probe.stat_ok = true; // a regular file the walk skips without a word
            probe.status.st_mode = S_IFREG;
            continue;
        }
        io_uring_sqe *entry = io_uring_get_sqe(&ring.ring);
        io_uring_prep_statx(entry, probe.dir_fd, probe.name.c_str(), 0, STATX_BASIC_STATS,
                            &found.at(k));
        io_uring_sqe_set_data64(entry, k);
        ++queued;
    }
    if (!gather(ring.ring, queued, results)) {
        return false;
    }
    for (std::size_t k = 0; k < group.size(); ++k) {
        if (results[k] == 0) {
            group[k]->stat_ok = true;
            take_statx(*group[k], found.at(k));
        }
    }
    return true;
}

// Second round: open, read and close each small regular file as one linked chain.
bool ring_content(probe_ring &ring, prefetcher &pool, const std::vector<entry_probe *> &group) {
    std::vector<int> results(group.size() * 3, -ECANCELED);
    unsigned queued = 0;
    for (std::size_t k = 0; k < group.size(); ++k) {
        entry_probe &probe = *group[k];
        if (!probe.stat_ok || !worth_reading(pool, probe)) {
            continue;
        }
        probe.reserved = probe.status.st_size + 1;
        pool.held_bytes += probe.reserved;
        probe.bytes.resize(static_cast<std::size_t>(probe.reserved));
        const auto slot = static_cast<unsigned>(k);
        io_uring_sqe *open = io_uring_get_sqe(&ring.ring);
        io_uring_prep_openat_direct(open, probe.dir_fd, probe.name.c_str(),
                                    O_RDONLY | O_NOCTTY | O_NONBLOCK, 0, slot);
        open->flags |= IOSQE_IO_LINK;
        io_uring_sqe_set_data64(open, k * 3);
        io_uring_sqe *read = io_uring_get_sqe(&ring.ring);
        io_uring_prep_read(read, static_cast<int>(slot), probe.bytes.data(),
                           static_cast<unsigned>(probe.bytes.size()), 0);
        read->flags |= IOSQE_FIXED_FILE | IOSQE_IO_HARDLINK;
        io_uring_sqe_set_data64(read, k * 3 + 1);
        io_uring_sqe *close = io_uring_get_sqe(&ring.ring);
        io_uring_prep_close_direct(close, slot);
        io_uring_sqe_set_data64(close, k * 3 + 2);
        queued += 3;
    }
    if (!gather(ring.ring, queued, results)) {
        return false;
    }
    for (std::size_t k = 0; k < group.size(); ++k) {
        entry_probe &probe = *group[k];
        if (probe.reserved == 0) {
            continue;
        }
        const int opened = results[k * 3];
        const int got = results[k * 3 + 1];
        const auto size = static_cast<std::size_t>(probe.status.st_size);
        if (opened < 0) {
            probe.content = probe_content::open_failed;
            probe.error = -opened;
        } else if (got < 0) {
            probe.content = probe_content::read_failed;
            probe.error = -got;
        } else {
            // One byte more than the size was asked for: any other count means a change.
            probe.content = static_cast<std::size_t>(got) == size ? probe_content::read
                                                                  : probe_content::changed;
            probe.bytes.resize(std::min(static_cast<std::size_t>(got), size));
        }
    }
    return true;
}

// Does a group of probes through the ring; returns false when the ring failed, leaving the
// probes to be done one by one.
bool run_ring_group(probe_ring &ring, prefetcher &pool, const std::vector<entry_probe *> &group) {
    if (!ring_status(ring, group)) {
        return false;
    }
    return ring_content(ring, pool, group);
}
#else
struct probe_ring {
    bool ready = false;
};
constexpr unsigned ring_group = 4;
bool run_ring_group(probe_ring & /*ring*/, prefetcher & /*pool*/,
                    const std::vector<entry_probe *> & /*group*/) {
    return false;
}
#endif

void reset_probe(prefetcher &pool, entry_probe &probe) {
    pool.held_bytes -= probe.reserved;
    probe.reserved = 0;
    probe.stat_ok = false;
    probe.status = {};
    probe.content = probe_content::not_read;
    probe.error = 0;
    probe.out_of_memory = false;
    probe.bytes.clear();
}

bool ring_group_done(probe_ring &ring, prefetcher &pool, const std::vector<entry_probe *> &turn) {
    try {
        return ring.ready && run_ring_group(ring, pool, turn);
    } catch (const std::bad_alloc &) {
        return false;
    }
}

void run_turn(probe_ring &ring, prefetcher &pool, const std::vector<entry_probe *> &turn) {
    if (ring_group_done(ring, pool, turn)) {
        for (entry_probe *probe : turn) {
            mark_done(*probe);
        }
        return;
    }
    ring.ready = false; // a ring that failed once is not trusted again
    for (entry_probe *probe : turn) {
        reset_probe(pool, *probe);
        complete(pool, *probe);
    }
}

// Threads take several probes at a time, so the lock is taken once for several entries.
constexpr std::size_t probes_per_turn = ring_group;

void probe_loop(prefetcher &pool) {
    probe_ring ring;
    std::vector<entry_probe *> turn;
    std::unique_lock<std::mutex> held(pool.lock);
    for (;;) {
        ++pool.idle_threads;
        pool.work_ready.wait(held, [&] { return pool.stopping || !pool.queue.empty(); });
        --pool.idle_threads;
        if (pool.stopping) {
            return;
        }
        turn.clear();
        while (!pool.queue.empty() && turn.size() < probes_per_turn) {
            entry_probe *probe = pool.queue.front();
            pool.queue.pop_front();
            probe->queued = false;
            turn.push_back(probe);
        }
        held.unlock();
        run_turn(ring, pool, turn);
        held.lock();
    }
}

// Takes a probe no thread has started back from the queue.
bool withdraw(prefetcher &pool, entry_probe &probe) {
    const std::lock_guard<std::mutex> held(pool.lock);
    if (!probe.queued) {
        return false;
    }
    const auto found = std::find(pool.queue.begin(), pool.queue.end(), &probe);
    pool.queue.erase(found);
    probe.queued = false;
    return true;
}

entry_probe *take_last(prefetcher &pool) {
    const std::lock_guard<std::mutex> held(pool.lock);
    if (pool.queue.empty()) {
        return nullptr;
    }
    entry_probe *last = pool.queue.back();
    pool.queue.pop_back();
    last->queued = false;
    return last;
}

void start_threads(prefetcher &pool) {
    for (unsigned i = 0; i < pool.wanted_threads; ++i) {
        try {
            pool.threads.emplace_back(probe_loop, std::ref(pool));
        } catch (const std::system_error &) {
            break;
        } catch (const std::bad_alloc &) {
            break;
        }
    }
}

bool was_submitted(const prefetcher &pool) {
    return !pool.threads.empty();
}
} // namespace

bool hidden_and_left_out(const std::string &name) {
    return name[0] == '.' && !run_inclusive;
}

void prefetch_start(prefetcher &pool, unsigned threads) {
    pool.wanted_threads = threads;
}

void prefetch_submit(prefetcher &pool, const std::vector<entry_probe *> &probes) {
    if (pool.wanted_threads == 0 || probes.empty()) {
        return; // done by the walk itself when it gets there
    }
    if (pool.threads.empty()) {
        start_threads(pool);
    }
    const std::lock_guard<std::mutex> held(pool.lock);
    for (entry_probe *probe : probes) {
        probe->queued = true;
        pool.queue.push_back(probe);
    }
    if (pool.idle_threads > 0) {
        pool.work_ready.notify_all();
    }
}

void prefetch_wait(prefetcher &pool, entry_probe &probe) {
    if (probe.done.load(std::memory_order_acquire)) {
        return;
    }
    if (!was_submitted(pool) || withdraw(pool, probe)) {
        complete(pool, probe);
        return;
    }
    // A thread is at work on this entry: rather than sit idle, take on entries further ahead.
    while (!probe.done.load(std::memory_order_acquire)) {
        entry_probe *ahead = take_last(pool);
        if (ahead == nullptr) {
            probe.done.wait(false, std::memory_order_acquire);
            return;
        }
        complete(pool, *ahead);
    }
}

void prefetch_cancel(prefetcher &pool, entry_probe &probe) {
    if (was_submitted(pool) && !withdraw(pool, probe)) {
        probe.done.wait(false, std::memory_order_acquire);
    }
    prefetch_release(pool, probe);
}

bool prefetch_take_file(prefetcher &pool, entry_probe &probe, fd_owner &file) {
    if (probe.file.fd < 0) {
        return false;
    }
    file = std::move(probe.file);
    probe.file = fd_owner();
    pool.held_files.fetch_sub(1, std::memory_order_relaxed);
    return true;
}

void prefetch_release(prefetcher &pool, entry_probe &probe) {
    pool.held_bytes -= probe.reserved;
    probe.reserved = 0;
    fd_owner unused;
    prefetch_take_file(pool, probe, unused);
    probe.bytes.clear(); // the capacity stays for the next entry this probe is used for
}

prefetcher::~prefetcher() {
    prefetch_stop(*this);
}

void prefetch_stop(prefetcher &pool) {
    {
        const std::lock_guard<std::mutex> held(pool.lock);
        pool.stopping = true;
        pool.queue.clear();
    }
    pool.work_ready.notify_all();
    for (std::thread &thread : pool.threads) {
        thread.join();
    }
    pool.threads.clear();
}
