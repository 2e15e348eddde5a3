#include "common/memory_reserve.h"

#include "common/console.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>
#include <sys/mman.h>

namespace {
// Enough for the exception object and the unwinding of any thread, with room to spare.
constexpr std::size_t reserve_bytes = std::size_t{256} * 1024;

// Taken by whichever thread first finds memory exhausted, from the new handler, which the
// allocator calls with no arguments: so the block can only be the process's. It is mapped, not
// allocated: even a nothrow allocation throws (and catches) internally, which is what must not
// happen while there is no memory for the exception.
std::atomic<void *> reserve{nullptr};

// The failed allocation is tried again once with the block's address space given back; should
// that fail too, std::bad_alloc is thrown into the room the block left.
void give_back_reserve() {
    std::set_new_handler(nullptr);
    void *block = reserve.exchange(nullptr);
    if (block != nullptr) {
        munmap(block, reserve_bytes);
    }
}
// With no block, not even the exception can be allocated. That state is known at start-up, and
// a run refuses it before its output exists, so ending the process here leaves nothing behind.
void end_out_of_memory() {
    report_failure("out of memory\n");
    std::_Exit(1);
}
} // namespace

bool hold_memory_reserve() {
    void *block = mmap(nullptr, reserve_bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) {
        std::set_new_handler(end_out_of_memory);
        return false;
    }
    reserve.store(block);
    std::set_new_handler(give_back_reserve);
    return true;
}

bool memory_reserve_held() {
    return reserve.load() != nullptr;
}
