#include "tree/prefetch.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <new>
#include <system_error>

namespace {
constexpr std::size_t max_spare_probes = 2 * prefetch_window;

// Threads take a group of probes at a time, so the lock is taken once for several entries.
constexpr std::size_t probes_per_turn = ring_group_size;

void mark_done(entry_probe &probe) {
    probe.done.store(true, std::memory_order_release);
    probe.done.notify_all();
}

void do_plainly(prefetcher &pool, entry_probe &probe) {
    probe_plainly(pool.budget, probe);
    mark_done(probe);
}

// One group of probes a helper thread took from the queue.
struct turn {
    std::array<entry_probe *, probes_per_turn> probes{};
    std::size_t count = 0;
    std::span<entry_probe *const> group() const { return {probes.data(), count}; }
};

// Waits for work; false once the prefetcher stops.
bool take_turn(prefetcher &pool, turn &taken) {
    std::unique_lock<std::mutex> held(pool.lock);
    ++pool.idle_threads;
    pool.work_ready.wait(held, [&] { return pool.stopping || !pool.queue.empty(); });
    --pool.idle_threads;
    if (pool.stopping) {
        return false;
    }
    taken.count = 0;
    while (!pool.queue.empty() && taken.count < probes_per_turn) {
        entry_probe *probe = pool.queue.front();
        pool.queue.pop_front();
        probe->queued = false;
        taken.probes[taken.count++] = probe;
    }
    return true;
}

// Does a group through the ring while the run trusts rings; a ring that fails is torn down
// (its destructor reaps what is left) and the group is done again with plain system calls.
void run_turn(prefetcher &pool, std::unique_ptr<probe_path> &ring, plain_path &plain,
              std::span<entry_probe *const> group) {
    if (ring && pool.ring.given_up.load(std::memory_order_relaxed)) {
        ring.reset();
    }
    probe_path &path = ring ? *ring : static_cast<probe_path &>(plain);
    if (!path.run_group(group)) {
        pool.ring.given_up.store(true, std::memory_order_relaxed);
        ring.reset();
        for (entry_probe *probe : group) {
            clear_results(pool.budget, *probe);
        }
        plain.run_group(group);
    }
    for (entry_probe *probe : group) {
        mark_done(*probe);
    }
}

void helper_thread(prefetcher &pool) {
    std::unique_ptr<probe_path> ring;
    if (pool.ring_wanted && !pool.ring.given_up.load(std::memory_order_relaxed)) {
        ring = open_ring_path(pool.budget, pool.ring);
    }
    plain_path plain(pool.budget);
    turn taken;
    while (take_turn(pool, taken)) {
        run_turn(pool, ring, plain, taken.group());
    }
}

void start_threads(prefetcher &pool) {
    for (unsigned i = 0; i < pool.wanted_threads; ++i) {
        try {
            pool.threads.emplace_back(helper_thread, std::ref(pool));
        } catch (const std::system_error &) {
            break;
        } catch (const std::bad_alloc &) {
            break;
        }
    }
}

// Takes a probe no thread has started back from the queue.
bool withdraw(prefetcher &pool, entry_probe &probe) {
    const std::lock_guard<std::mutex> held(pool.lock);
    if (!probe.queued) {
        return false;
    }
    pool.queue.erase(std::find(pool.queue.begin(), pool.queue.end(), &probe));
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

// Once this returns, no thread looks at the probe: it was never handed over, is taken back
// from the queue, or is waited for.
void cancel(prefetcher &pool, entry_probe &probe) {
    if (probe.handed_over && !probe.done.load(std::memory_order_acquire) &&
        !withdraw(pool, probe)) {
        probe.done.wait(false, std::memory_order_acquire);
    }
}

void stop_threads(prefetcher &pool) {
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
} // namespace

prefetcher::prefetcher(unsigned helper_threads, const probe_rule &run_rule)
    : rule(run_rule), wanted_threads(helper_threads) {
    // Giving a probe back then never allocates, so it cannot fail.
    spares.reserve(max_spare_probes);
}

prefetcher::~prefetcher() {
    assert(lent == 0 && "every probe handle goes before its prefetcher");
    stop_threads(*this);
}

probe_handle::probe_handle(prefetcher &lender, std::unique_ptr<entry_probe> lent_probe)
    : owner(&lender), probe(std::move(lent_probe)) {
    ++owner->lent;
}

probe_handle &probe_handle::operator=(probe_handle &&other) noexcept {
    if (this != &other) {
        give_back();
        owner = other.owner;
        probe = std::move(other.probe);
    }
    return *this;
}

void probe_handle::give_back() noexcept {
    if (!probe) {
        return;
    }
    cancel(*owner, *probe);
    clear_results(owner->budget, *probe);
    --owner->lent;
    if (owner->spares.size() < max_spare_probes) {
        owner->spares.push_back(std::move(probe));
    }
    probe.reset();
}

probe_handle prefetch_new_probe(prefetcher &pool, int dir_fd, const char *name,
                                unsigned char listed_type) {
    std::unique_ptr<entry_probe> probe;
    if (pool.spares.empty()) {
        probe = std::make_unique<entry_probe>();
    } else {
        probe = std::move(pool.spares.back());
        pool.spares.pop_back();
        probe->handed_over = false;
        probe->queued = false;
        probe->done.store(false, std::memory_order_relaxed);
    }
    probe_handle handle(pool, std::move(probe));
    handle->rule = &pool.rule;
    handle->dir_fd = dir_fd;
    handle->name = name;
    handle->listed_type = listed_type;
    return handle;
}

void prefetch_submit(prefetcher &pool, std::span<const probe_handle> probes) {
    if (pool.wanted_threads == 0 || probes.empty()) {
        return;
    }
    if (pool.threads.empty()) {
        start_threads(pool);
    }
    if (pool.threads.empty()) {
        return;
    }
    const std::lock_guard<std::mutex> held(pool.lock);
    for (const probe_handle &probe : probes) {
        pool.queue.push_back(&*probe);
        probe->queued = true;
        probe->handed_over = true;
    }
    if (pool.idle_threads > 0) {
        pool.work_ready.notify_all();
    }
}

void prefetch_wait(const probe_handle &handle) {
    entry_probe &probe = *handle;
    prefetcher &pool = handle.lender();
    if (probe.done.load(std::memory_order_acquire)) {
        return;
    }
    if (!probe.handed_over || withdraw(pool, probe)) {
        do_plainly(pool, probe);
        return;
    }
    // A thread is at work on this entry: rather than sit idle, take on entries further ahead.
    while (!probe.done.load(std::memory_order_acquire)) {
        entry_probe *ahead = take_last(pool);
        if (ahead == nullptr) {
            probe.done.wait(false, std::memory_order_acquire);
            return;
        }
        do_plainly(pool, *ahead);
    }
}

bool prefetch_take_file(entry_probe &probe, fd_owner &file) {
    if (probe.file.fd < 0) {
        return false;
    }
    file = std::move(probe.file);
    probe.file = fd_owner();
    return true;
}

void prefetch_plain_calls(prefetcher &pool) {
    pool.ring_wanted = false;
}

void prefetch_fail_ring_setup(prefetcher &pool) {
    pool.ring.fail_setup = true;
}

void prefetch_fail_ring_after(prefetcher &pool, long groups) {
    pool.ring.fail_after_groups = groups;
}

prefetch_counts prefetch_report(const prefetcher &pool) {
    prefetch_counts counts;
    counts.rings_set_up = pool.ring.rings_set_up.load(std::memory_order_relaxed);
    counts.ring_groups = pool.ring.groups_done.load(std::memory_order_relaxed);
    counts.ring_given_up = pool.ring.given_up.load(std::memory_order_relaxed);
    counts.held_bytes = pool.budget.bytes.load(std::memory_order_relaxed);
    counts.held_files = pool.budget.files.load(std::memory_order_relaxed);
    return counts;
}
