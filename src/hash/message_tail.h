#pragma once
#include <cstddef>
#include <cstdint>

// The end of a message as SHA-1 and SHA-256 both take it: the bytes after its last whole
// 64-byte block, then 0x80, zeros and the message's length in bits, big-endian. Built with the
// baseline flags, so every kernel may call it whatever its own instruction set.

// Bytes of one message's tail: the last partial block plus padding fits in two blocks.
inline constexpr std::size_t message_tail_capacity = 128;

// Writes into `tail` the last `rest` bytes of a message of `total` bytes (rest < 64: those
// after its last whole block), followed by the padding and the bit length. Returns the number
// of 64-byte blocks written (1 or 2); the same for every message of a length, which is what lets
// all lanes of a group finish in lockstep.
std::size_t build_message_tail(const unsigned char *rest_bytes, std::size_t rest,
                               std::uint64_t total, unsigned char *tail);

// The tails of `count` messages of `length` bytes each, laid out back to back from `data`: the
// tail of message i goes to `tails` + i * message_tail_capacity. Returns their number of blocks,
// the same for all.
std::size_t build_message_tails(const unsigned char *data, std::size_t length, std::size_t count,
                                unsigned char *tails);
