#pragma once
#include <cstddef>

// One SHA-1 stream fed in parts through the library's own routines, for messages no kernel
// takes whole. The context lives in the caller's memory, so nothing here allocates, and every
// step reports whether it worked: a digest that was not computed must never be written.
struct sha1_single {
    alignas(16) unsigned char context[128];
};

[[nodiscard]] bool sha1_single_begin(sha1_single &stream);
[[nodiscard]] bool sha1_single_update(sha1_single &stream, const unsigned char *data,
                                      std::size_t size);
// Writes the 20-byte digest; the stream must be begun again before its next use.
[[nodiscard]] bool sha1_single_end(sha1_single &stream, unsigned char *digest);

// The digest of one whole message.
[[nodiscard]] bool sha1_single_digest(const unsigned char *data, std::size_t size,
                                      unsigned char *digest);

// Advances a stream held as its five chaining words by `blocks` whole 64-byte blocks.
[[nodiscard]] bool sha1_single_blocks(unsigned *words, const unsigned char *data,
                                      std::size_t blocks);
