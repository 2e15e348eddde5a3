#pragma once
#include <cstddef>

// One SHA-256 stream fed in parts, on a context held in the caller's memory: nothing here
// allocates, and every step reports whether it worked, so a digest that was not computed is
// never written.
struct sha256_single {
    alignas(16) unsigned char context[128];
};

constexpr std::size_t sha256_digest_size = 32;

[[nodiscard]] bool sha256_single_begin(sha256_single &stream);
[[nodiscard]] bool sha256_single_update(sha256_single &stream, const unsigned char *data,
                                        std::size_t size);
// Writes the 32-byte digest; the stream must be begun again before its next use.
[[nodiscard]] bool sha256_single_end(sha256_single &stream, unsigned char *digest);

// The digest of one whole message.
[[nodiscard]] bool sha256_single_digest(const unsigned char *data, std::size_t size,
                                        unsigned char *digest);
