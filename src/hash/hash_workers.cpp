#include "hash/hash_workers.h"

#include "hash/sha1_lanes.h"

#include <new>
#include <sched.h>
#include <system_error>

bool hash_batch(batch &work) {
    const std::size_t full_pieces = work.fill / work.piece_length;
    const std::size_t rest = work.fill % work.piece_length;
    if (!hash_pieces(work.data.get(), work.piece_length, full_pieces, work.digests.data())) {
        return false;
    }
    return rest == 0 || hash_one(work.data.get() + full_pieces * work.piece_length, rest,
                                 work.digests.data() + full_pieces * 20);
}

unsigned hash_thread_count() {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        return static_cast<unsigned>(CPU_COUNT(&allowed));
    }
    const unsigned online = std::thread::hardware_concurrency();
    return online > 0 ? online : 1;
}

namespace {
batch *next_job(hash_workers &workers, std::unique_lock<std::mutex> &held) {
    workers.work_ready.wait(held, [&] { return workers.stopping || !workers.queue.empty(); });
    if (workers.stopping) {
        return nullptr;
    }
    batch *job = workers.queue.front();
    workers.queue.pop_front();
    return job;
}

// Hashes a job taken off the queue with the lock released, then records it as done.
void run_job(hash_workers &workers, std::unique_lock<std::mutex> &held, batch &job) {
    held.unlock();
    const bool ok = hash_batch(job);
    held.lock();
    job.hash_ok = ok;
    job.hashed = true;
    workers.work_hashed.notify_all();
}

void work_loop(hash_workers &workers) {
    std::unique_lock<std::mutex> held(workers.lock);
    while (batch *job = next_job(workers, held)) {
        run_job(workers, held, *job);
    }
}
} // namespace

void start_hash_workers(hash_workers &workers, unsigned count) {
    for (unsigned i = 0; i < count; ++i) {
        try {
            workers.threads.emplace_back(work_loop, std::ref(workers));
        } catch (const std::system_error &) {
            // Fewer threads only means slower hashing; waiting callers hash the rest themselves.
            break;
        } catch (const std::bad_alloc &) {
            break;
        }
    }
}

void submit_batch(hash_workers &workers, batch &work) {
    {
        const std::lock_guard<std::mutex> held(workers.lock);
        work.hashed = false;
        workers.queue.push_back(&work);
    }
    workers.work_ready.notify_one();
}

void wait_hashed(hash_workers &workers, batch &work) {
    std::unique_lock<std::mutex> held(workers.lock);
    while (!work.hashed) {
        if (!workers.queue.empty()) {
            batch *job = workers.queue.front();
            workers.queue.pop_front();
            run_job(workers, held, *job);
        } else {
            workers.work_hashed.wait(held);
        }
    }
}

void stop_hash_workers(hash_workers &workers) {
    {
        const std::lock_guard<std::mutex> held(workers.lock);
        workers.stopping = true;
        workers.queue.clear();
    }
    workers.work_ready.notify_all();
    for (std::thread &thread : workers.threads) {
        thread.join();
    }
    workers.threads.clear();
}
