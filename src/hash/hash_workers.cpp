#include "hash/hash_workers.h"

#include <new>
#include <sched.h>
#include <system_error>

namespace {
unsigned allowed_cores() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        return static_cast<unsigned>(CPU_COUNT(&allowed));
    }
    const unsigned online = std::thread::hardware_concurrency();
    return online > 0 ? online : 1;
}
} // namespace

unsigned hash_thread_count(unsigned limit) {
    const unsigned cores = allowed_cores();
    return limit > 0 && limit < cores ? limit : cores;
}

namespace {
bool work_waiting(const hash_workers &workers) {
    return workers.taken_up < workers.handed_over;
}

// Hashes the oldest unit not yet taken up, with the lock released, then marks it hashed.
void hash_next(hash_workers &workers, std::unique_lock<std::mutex> &held) {
    work_unit &work = *ring_slot(*workers.ring, workers.taken_up);
    ++workers.taken_up;
    held.unlock();
    const feed_status outcome = hash_work_unit(work);
    held.lock();
    work.outcome = outcome;
    work.hashed = true;
    workers.work_hashed.notify_all();
}

void work_loop(hash_workers &workers) {
    std::unique_lock<std::mutex> held(workers.lock);
    for (;;) {
        workers.work_ready.wait(held, [&] { return workers.stopping || work_waiting(workers); });
        if (workers.stopping) {
            return;
        }
        hash_next(workers, held);
    }
}
} // namespace

void start_hash_workers(hash_workers &workers, unsigned count) {
    try {
        workers.threads.reserve(count);
        for (unsigned i = 0; i < count; ++i) {
            workers.threads.emplace_back(work_loop, std::ref(workers));
        }
    } catch (const std::system_error &) {
        // Fewer threads only means slower hashing; waiting callers hash the rest themselves.
    } catch (const std::bad_alloc &) {
    }
}

void hand_over_work(hash_workers &workers, std::uint64_t number) {
    {
        const std::lock_guard<std::mutex> held(workers.lock);
        ring_slot(*workers.ring, number)->hashed = false;
        workers.handed_over = number + 1;
    }
    workers.work_ready.notify_one();
}

void wait_hashed(hash_workers &workers, std::uint64_t number) {
    std::unique_lock<std::mutex> held(workers.lock);
    const work_unit &awaited = *ring_slot(*workers.ring, number);
    while (!awaited.hashed) {
        if (work_waiting(workers)) {
            hash_next(workers, held);
        } else {
            workers.work_hashed.wait(held);
        }
    }
}

void stop_hash_workers(hash_workers &workers) {
    {
        const std::lock_guard<std::mutex> held(workers.lock);
        workers.stopping = true;
    }
    workers.work_ready.notify_all();
    for (std::thread &thread : workers.threads) {
        thread.join();
    }
    workers.threads.clear();
}
