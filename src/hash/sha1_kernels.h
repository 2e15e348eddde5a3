#pragma once

// Entry points of the per-instruction-set SHA-1 kernels behind hash_pieces().
//
// Each kernel lives in its own source file built with its own -m flags; only these plain
// functions cross file boundaries, so no inline helper compiled for one instruction set can be
// picked by the linker for code that runs on a CPU without it. Callers must check CPU support.

#include <cstddef>

namespace sha1_kernels {

// All kernels: `count` pieces of `piece_length` bytes each, back to back from `data`; writes
// 20*count digest bytes. `count` must be between 1 and the kernel's width.
void shani_x4(const unsigned char *data, std::size_t piece_length, std::size_t count,
              unsigned char *digests);
void avx2_x8(const unsigned char *data, std::size_t piece_length, std::size_t count,
             unsigned char *digests);
void avx512_x16(const unsigned char *data, std::size_t piece_length, std::size_t count,
                unsigned char *digests);

// Bytes of one lane's tail buffer: the last partial block plus padding fits in two blocks.
inline constexpr std::size_t tail_capacity = 128;

// Writes into `tail` the final bytes of a piece of `piece_length` bytes that start at `piece`
// (those after its last full 64-byte block), followed by SHA-1 padding and the bit length.
// Returns the number of 64-byte blocks written (1 or 2); the same for every piece of a length,
// which is what lets all lanes of a group finish in lockstep.
std::size_t build_tail(const unsigned char *piece, std::size_t piece_length, unsigned char *tail);

} // namespace sha1_kernels
