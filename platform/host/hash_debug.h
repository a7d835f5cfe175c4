/*
 * Test hook of the host hash service: the portable rounds on demand, so that
 * a processor with the SHA instructions tests both ways. The device's own
 * platform library has no such hook.
 */
#ifndef KEM_PLATFORM_HOST_HASH_DEBUG_H
#define KEM_PLATFORM_HOST_HASH_DEBUG_H

#include "platform/platform.h"

KEMPLAT_BEGIN_DECLS

/* Nonzero: hash_sha256 runs the portable rounds from now on; 0: it chooses again. */
KEMPLAT_API void hash_sha256_portable(int on);

KEMPLAT_END_DECLS

#endif
