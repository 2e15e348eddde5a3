#pragma once
#include "hash/batch.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

// Threads that hash handed-over batches while the reading thread goes on reading. Batches may
// finish in any order; whoever delivers digests waits for them one by one, in piece order.
struct hash_workers {
    std::mutex lock;
    std::condition_variable work_ready;
    std::condition_variable work_hashed;
    std::deque<batch *> queue;
    std::vector<std::thread> threads;
    bool stopping = false;
};

// Processors the process may run on.
unsigned hash_thread_count();

// Starts the threads; on a system that refuses threads the caller hashes by itself.
void start_hash_workers(hash_workers &workers, unsigned count);

// Hands a filled batch over for hashing.
void submit_batch(hash_workers &workers, batch &work);

// Returns once `work` is hashed; while it waits, the calling thread hashes queued batches itself
// instead of sitting idle.
void wait_hashed(hash_workers &workers, batch &work);

// Stops the threads after the batches they are hashing; queued ones are dropped.
void stop_hash_workers(hash_workers &workers);
