#pragma once

// A block of memory set aside at start-up and given back the first time an allocation fails.
// A process that has run out of memory still needs a little to throw std::bad_alloc and unwind
// to the place that reports "out of memory"; without the block, the exception itself cannot be
// allocated and the runtime aborts.

// Sets the block aside; returns whether that was possible. When it was not, a failed
// allocation reports "out of memory" and ends the process at once, which is safe only while no
// output exists: a run checks memory_reserve_held before it creates one.
bool hold_memory_reserve();

// Whether the block is still set aside, so that a failed allocation can still be reported.
bool memory_reserve_held();
