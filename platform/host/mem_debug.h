/*
 * Diagnostics of the host allocator: live-block accounting, a listing of
 * what is still allocated, and fault injection. For tests and tools; the
 * device's allocator has its own.
 *
 * The allocator serves one thread (the interpreter's); these counters are
 * not synchronised.
 */
#ifndef KEM_PLATFORM_HOST_MEM_DEBUG_H
#define KEM_PLATFORM_HOST_MEM_DEBUG_H

#include <stdio.h>
#include <stddef.h>

#include "platform/platform.h"

KEMPLAT_BEGIN_DECLS

/* Number of blocks currently allocated and not released. */
KEMPLAT_API size_t mem_live_blocks(void);

/* Sum of the sizes of the live blocks. */
KEMPLAT_API size_t mem_live_bytes(void);

/*
 * The highest sum of live block sizes since the last mem_reset_peak (or
 * since the start): with a reset before a call, what the call needed at
 * most on top of what was live before it.
 */
KEMPLAT_API size_t mem_peak_bytes(void);

/* Starts a new peak at the bytes live now. */
KEMPLAT_API void mem_reset_peak(void);

/* Number of allocation requests made so far (failed ones included). */
KEMPLAT_API unsigned long mem_alloc_count(void);

/*
 * Writes one line "file:line size" per live block, oldest first, to out.
 * Returns the number of live blocks.
 */
KEMPLAT_API size_t mem_report(FILE *out);

/*
 * Fault injection: the nth allocation request from now on (1 = the next one)
 * fails. With persistent nonzero every later request fails too, until
 * mem_fail_off. n = 0 switches injection off.
 */
KEMPLAT_API void mem_fail_at(unsigned long n, int persistent);

/* Switches fault injection off. */
KEMPLAT_API void mem_fail_off(void);

/* Number of requests that injection has made fail since the last mem_fail_at. */
KEMPLAT_API unsigned long mem_failures(void);

KEMPLAT_END_DECLS

#endif
