/*
 * Host hash service: SHA-256 through OpenSSL's EVP interface.
 *
 * The digest implementation is fetched once and kept for the life of the
 * process (OpenSSL's memory, not the tagged allocator's); each call uses a
 * context of its own, so calls from several threads are safe.
 */
#include "platform/hash.h"

#include <openssl/evp.h>

namespace {

/* The SHA-256 implementation of the default provider, fetched on first use. */
const EVP_MD *sha256_md()
{
    static EVP_MD *md = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return md;
}

}  // namespace

extern "C" int hash_sha256(const void *data, size_t size, unsigned char *digest)
{
    const EVP_MD *md = sha256_md();
    if (!md || !digest || (!data && size))
        return -1;
    static const unsigned char none = 0;
    unsigned int written = 0;
    int ok = EVP_Digest(size ? data : &none, size, digest, &written, md, nullptr);
    return ok == 1 && written == HASH_SHA256_SIZE ? 0 : -1;
}
