// The one-shot SHA256() of OpenSSL 3 allocates a digest context on every call and, when it
// cannot, returns without touching the caller's digest. The low-level routines work on a context
// the caller holds, so they cannot run out of memory; the library marks them deprecated only in
// favour of the allocating interface.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "hash/sha256_single.h"

#include <openssl/sha.h>

namespace {
SHA256_CTX &context_of(sha256_single &stream) {
    static_assert(sizeof(SHA256_CTX) <= sizeof(sha256_single::context));
    static_assert(alignof(SHA256_CTX) <= alignof(sha256_single));
    static_assert(SHA256_DIGEST_LENGTH == sha256_digest_size);
    return *reinterpret_cast<SHA256_CTX *>(stream.context);
}
} // namespace

bool sha256_single_begin(sha256_single &stream) {
    return SHA256_Init(&context_of(stream)) == 1;
}

bool sha256_single_update(sha256_single &stream, const unsigned char *data, std::size_t size) {
    return size == 0 || SHA256_Update(&context_of(stream), data, size) == 1;
}

bool sha256_single_end(sha256_single &stream, unsigned char *digest) {
    return SHA256_Final(digest, &context_of(stream)) == 1;
}

bool sha256_single_digest(const unsigned char *data, std::size_t size, unsigned char *digest) {
    sha256_single stream{};
    return sha256_single_begin(stream) && sha256_single_update(stream, data, size) &&
           sha256_single_end(stream, digest);
}
