#pragma once

// Entry points of the per-instruction-set SHA-1 kernels behind hash_pieces() and
// sha1_lanes_update().
//
// Each kernel lives in its own source file built with its own -m flags; only these plain
// functions cross file boundaries, so no inline helper compiled for one instruction set can be
// picked by the linker for code that runs on a CPU without it. Callers must check CPU support.

#include "hash/sha1_lanes.h"

#include <cstddef>
#include <cstdint>

namespace sha1_kernels {

// Advances `count` streams (1 to the kernel's width) by `blocks` 64-byte blocks each: stream i
// starts from states[i], reads from data[i] and gets its new chaining words back in states[i].
// What a kernel computes in lanes past `count` is dropped.
using update_fn = void (*)(sha1_state *states, const unsigned char *const *data, std::size_t count,
                           std::size_t blocks);

void shani_update(sha1_state *states, const unsigned char *const *data, std::size_t count,
                  std::size_t blocks);
void avx2_update(sha1_state *states, const unsigned char *const *data, std::size_t count,
                 std::size_t blocks);
void avx512_update(sha1_state *states, const unsigned char *const *data, std::size_t count,
                   std::size_t blocks);

// Whole pieces through one kernel: `count` pieces (1 to the kernel's width) of `piece_length`
// bytes each, back to back from `data`; writes 20*count digest bytes.
void shani_x4(const unsigned char *data, std::size_t piece_length, std::size_t count,
              unsigned char *digests);
void avx2_x8(const unsigned char *data, std::size_t piece_length, std::size_t count,
             unsigned char *digests);
void avx512_x16(const unsigned char *data, std::size_t piece_length, std::size_t count,
                unsigned char *digests);

// The wide kernels hold word j of every lane in one register. These move chaining words between
// that layout, `columns[j * width + i]` for lane i, and the streams' own: lanes past `count`
// take the last stream's words on the way in and are dropped on the way out. Built with the
// baseline flags like the rest of sha1_lanes.cpp.
void states_to_columns(const sha1_state *states, std::size_t count, std::size_t width,
                       std::uint32_t *columns);
void columns_to_states(const std::uint32_t *columns, std::size_t width, sha1_state *states,
                       std::size_t count);

} // namespace sha1_kernels
