// The one-shot SHA1() of OpenSSL 3 allocates a digest context on every call and, when it cannot,
// returns without touching the caller's digest. The low-level routines work on a context the
// caller holds, so they cannot run out of memory; the library marks them deprecated only in
// favour of the allocating interface.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "hash/sha1_single.h"

#include <openssl/sha.h>

namespace {
SHA_CTX &context_of(sha1_single &stream) {
    static_assert(sizeof(SHA_CTX) <= sizeof(sha1_single::context));
    static_assert(alignof(SHA_CTX) <= alignof(sha1_single));
    return *reinterpret_cast<SHA_CTX *>(stream.context);
}
} // namespace

bool sha1_single_begin(sha1_single &stream) {
    return SHA1_Init(&context_of(stream)) == 1;
}

bool sha1_single_update(sha1_single &stream, const unsigned char *data, std::size_t size) {
    return size == 0 || SHA1_Update(&context_of(stream), data, size) == 1;
}

bool sha1_single_end(sha1_single &stream, unsigned char *digest) {
    return SHA1_Final(digest, &context_of(stream)) == 1;
}

bool sha1_single_digest(const unsigned char *data, std::size_t size, unsigned char *digest) {
    sha1_single stream{};
    return sha1_single_begin(stream) && sha1_single_update(stream, data, size) &&
           sha1_single_end(stream, digest);
}
