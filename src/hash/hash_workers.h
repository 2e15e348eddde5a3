#pragma once
#include "hash/batch.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

// Threads that hash the units of work (batch.h) the reading thread hands over, in the order they
// were handed over, and mark each one hashed. That is all they do: the reading thread alone fills
// units, hands them over and delivers their digests, and nothing here calls back into it.
//
// Ownership: `ring` belongs to the reading thread, which fills a unit and only then hands it
// over; from then until it is marked hashed the unit belongs to whoever took it up. The
// counters, `stopping` and each handed-over unit's `hashed` and `outcome` are guarded by `lock`.
struct hash_workers {
    work_ring *ring = nullptr;
    std::mutex lock;
    std::condition_variable work_ready;  // a unit was handed over, or the threads are to stop
    std::condition_variable work_hashed; // a unit was marked hashed
    std::uint64_t handed_over = 0;       // units 0 .. handed_over-1 have been handed over
    std::uint64_t taken_up = 0;          // of those, 0 .. taken_up-1 have been taken up to hash
    std::vector<std::thread> threads;
    bool stopping = false;
};

// Processors the process may run on, and no more than `limit` of them unless it is 0.
unsigned hash_thread_count(unsigned limit = 0);

// Starts up to `count` threads; fewer when the system refuses them, and then the waiting
// thread hashes the rest (see wait_hashed).
void start_hash_workers(hash_workers &workers, unsigned count);

// Hands over unit `number` of the ring, filled; units are handed over in order from 0.
void hand_over_work(hash_workers &workers, std::uint64_t number);

// Returns once unit `number` is hashed. Meanwhile the calling thread takes up handed-over
// units and hashes them, the same step the threads take, rather than sitting idle.
void wait_hashed(hash_workers &workers, std::uint64_t number);

// Stops the threads after the units they are hashing; units not taken up are dropped.
void stop_hash_workers(hash_workers &workers);
