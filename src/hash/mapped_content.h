#pragma once
#include "common/content_sink.h"
#include "hash/buffer.h"

#include <cstddef>
#include <cstdint>

// Content hashed where the page cache holds it, through a read-only mapping of the file, instead
// of being copied out by read(). Only where map_choice.h found it cheaper for the file.
//
// Every window covers whole 2 MiB stretches of the file and starts on a 2 MiB boundary of the
// address space too, with its pages entered when it is made: only then can the system map a
// 2 MiB folio of the page cache through one entry. A window of 4 KiB entries was measured to
// cost the hashing kernels several times the copy it spares on some machines.
//
// A mapped file that is cut short makes every access to the lost pages raise SIGBUS; while a
// thread hashes windows it has guarded, that signal puts zero pages in place of the lost ones and
// marks the windows lost, so the hashing finishes and the run reports the file as changed, as
// reading it would, instead of ending by the signal.

//
// How much content a run maps at once. A batch's window lives from when the reading thread maps
// it until a thread has hashed it: at most the batches in flight (48 MiB of them, hash_plan.cpp),
// and less than 4 MiB more for each where its file starts off the 2 MiB grid. A lane group maps
// 2 MiB of each lane only while it hashes them: 32 MiB for each thread hashing a group (64 MiB
// off the grid). On 2 processors that is 48 MiB for batches of 1 MiB pieces and 64 MiB for lane
// groups; 70 MiB of file pages at most were seen in a run here, the program's own included. These
// are pages of the page cache, shared with it, not anonymous memory taken from the machine.

constexpr std::size_t window_alignment = std::size_t{2} << 20;

// A window of a file's content: `data` is where the first byte asked for is mapped.
struct mapped_window {
    content_buffer mapping; // unmapped when the window is let go
    const unsigned char *data = nullptr;
    int fd = -1;          // the file
    std::int64_t end = 0; // the file offset just past the bytes asked for
};

// Maps the 2 MiB stretches of `fd` that hold `size` bytes from `offset` on. False when the file
// cannot be mapped or no longer holds those bytes: then they are to be read as usual, and
// reading finds whether the file has changed.
bool map_window(int fd, std::int64_t offset, std::size_t size, mapped_window &window);

// The most windows one thread hashes from at once: one per lane of a lane group.
constexpr std::size_t guarded_windows_max = 16;

// Brackets hashing from `count` windows (at most guarded_windows_max) on the calling thread;
// guard_end tells whether pages were lost meanwhile, which means the file was cut short under
// the mapping.
void guard_begin(const mapped_window *windows, std::size_t count);
inline void guard_begin(const mapped_window &window) {
    guard_begin(&window, 1);
}
[[nodiscard]] bool guard_end();

// Why pages of `window` were lost: the file no longer holds them (changed), or it does and the
// system could not read them (read_error, with errno set to EIO).
feed_status lost_window_status(const mapped_window &window);
