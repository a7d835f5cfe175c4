/*
 * Hash service: SHA-256 (FIPS 180-4) of a byte range.
 *
 * The host implementation is the platform library's own: the processor's
 * SHA instructions on x86-64 where it has them, portable code elsewhere. It
 * takes no heap memory and needs no other library.
 */
#ifndef KEM_PLATFORM_HASH_H
#define KEM_PLATFORM_HASH_H

#include <stddef.h>

#include "platform/platform.h"

KEMPLAT_BEGIN_DECLS

/* Size of a SHA-256 digest in bytes. */
#define HASH_SHA256_SIZE 32

/*
 * Stores the SHA-256 digest of the size bytes at data (data may be null when
 * size is 0) in the HASH_SHA256_SIZE bytes at digest. Returns 0, or nonzero
 * when the hash could not be computed (digest is then undefined).
 */
KEMPLAT_API int hash_sha256(const void *data, size_t size, unsigned char *digest);

KEMPLAT_END_DECLS

#endif
