#pragma once

// Entry points of the per-instruction-set SHA-256 kernels behind sha256_lanes.h.
//
// As with the SHA-1 kernels, each lives in its own source file built with its own -m flags and
// only these plain functions and constants cross file boundaries. Callers check CPU support.

#include <cstddef>
#include <cstdint>

namespace sha256_kernels {

inline constexpr std::uint32_t initial_state[8] = {0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
                                                   0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19};

inline constexpr std::uint32_t round_constants[64] = {
    0x428A2F98, 0x71374491, 0xB5C0FBCF, 0xE9B5DBA5, 0x3956C25B, 0x59F111F1, 0x923F82A4, 0xAB1C5ED5,
    0xD807AA98, 0x12835B01, 0x243185BE, 0x550C7DC3, 0x72BE5D74, 0x80DEB1FE, 0x9BDC06A7, 0xC19BF174,
    0xE49B69C1, 0xEFBE4786, 0x0FC19DC6, 0x240CA1CC, 0x2DE92C6F, 0x4A7484AA, 0x5CB0A9DC, 0x76F988DA,
    0x983E5152, 0xA831C66D, 0xB00327C8, 0xBF597FC7, 0xC6E00BF3, 0xD5A79147, 0x06CA6351, 0x14292967,
    0x27B70A85, 0x2E1B2138, 0x4D2C6DFC, 0x53380D13, 0x650A7354, 0x766A0ABB, 0x81C2C92E, 0x92722C85,
    0xA2BFE8A1, 0xA81A664B, 0xC24B8B70, 0xC76C51A3, 0xD192E819, 0xD6990624, 0xF40E3585, 0x106AA070,
    0x19A4C116, 0x1E376C08, 0x2748774C, 0x34B0BCB5, 0x391C0CB3, 0x4ED8AA4A, 0x5B9CCA4F, 0x682E6FF3,
    0x748F82EE, 0x78A5636F, 0x84C87814, 0x8CC70208, 0x90BEFFFA, 0xA4506CEB, 0xBEF9A3F7, 0xC67178F2};

// A message of whole 64-byte blocks ends with one block of padding alone, the same for every
// message of its length. Its 64 message-schedule words with the round constants added (what the
// rounds take in) are worked out before any message is hashed.
struct padding_schedule {
    std::uint32_t wk[64];
};

// The schedule of the block that ends every message of `length` bytes, a multiple of 64: a
// table built at compile time for the lengths of leaves and inner nodes, else made in `scratch`.
const padding_schedule &padding_for(std::size_t length, padding_schedule &scratch);

// All kernels: `count` messages of `length` bytes each, back to back from `data`; writes
// 32*count digest bytes. `count` must be between 1 and the kernel's width. A kernel writes its
// digests only once it has read all its messages, so they may be written over the messages.
void shani_x4(const unsigned char *data, std::size_t length, std::size_t count,
              unsigned char *digests);
void avx2_x8(const unsigned char *data, std::size_t length, std::size_t count,
             unsigned char *digests);
void avx512_x16(const unsigned char *data, std::size_t length, std::size_t count,
                unsigned char *digests);

} // namespace sha256_kernels
