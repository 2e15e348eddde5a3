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

bool sha1_single_blocks(unsigned *words, const unsigned char *data, std::size_t blocks) {
    // Whole blocks leave nothing buffered in the context, so its chaining words are the
    // stream's whole state.
    SHA_CTX context{};
    if (SHA1_Init(&context) != 1) {
        return false;
    }
    context.h0 = words[0];
    context.h1 = words[1];
    context.h2 = words[2];
    context.h3 = words[3];
    context.h4 = words[4];
    if (blocks > 0 && SHA1_Update(&context, data, blocks * 64) != 1) {
        return false;
    }
    words[0] = context.h0;
    words[1] = context.h1;
    words[2] = context.h2;
    words[3] = context.h3;
    words[4] = context.h4;
    return true;
}
