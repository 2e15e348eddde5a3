#pragma once
#include "hash/buffer.h"
#include "hash/piece_stream.h"

#include <cstddef>
#include <cstdint>

// Content hashed where the page cache holds it, through a read-only mapping of the file, instead
// of being copied out by read(). A mapped file that is cut short makes every access to the lost
// pages raise SIGBUS; while a thread hashes a window it has guarded, that signal puts zero pages
// in place of the lost ones and marks the window lost, so the hashing finishes and the run can
// report the file as changed instead of ending by the signal.

// A window of a file's content: `data` is where its first byte is mapped.
struct mapped_window {
    content_buffer mapping; // unmapped when the window is let go
    const unsigned char *data = nullptr;
    int fd = -1;          // the file, open until the window's batch is delivered
    std::int64_t end = 0; // the file offset just past the window
};

// Whether a file of `size` bytes is worth mapping: only large files are, since each window costs
// a mapping and the batches mapped from a file are delivered before the next file starts (see
// piece_stream_feed), which leaves the hashers briefly without work.
bool worth_mapping(std::int64_t size);

// Maps `size` bytes of `fd` from `offset` on, read-only and with its pages already entered.
// False when the file cannot be mapped (then it is to be read as usual) or no longer holds
// those bytes (then reading it finds that it has changed).
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
