/*
 * Tagged allocator and formatter.
 *
 * Every block of the library and of the platform services comes from here.
 * Each allocation and release names the calling source file and line (pass
 * KEM_TAG), which the allocator keeps for its diagnostics. A null result is
 * an ordinary outcome that every caller handles.
 */
#ifndef KEM_PLATFORM_MEM_H
#define KEM_PLATFORM_MEM_H

#include <stdarg.h>
#include <stddef.h>

#include "platform/platform.h"

/* The tag of the calling line: mem_malloc(n, KEM_TAG). */
#define KEM_TAG __FILE__, __LINE__

KEMPLAT_BEGIN_DECLS

/* A zero-filled block of count * size bytes, or null (also on overflow). */
KEMPLAT_API void *mem_calloc(size_t count, size_t size, const char *file, int line);

/* A block of size bytes, or null. */
KEMPLAT_API void *mem_malloc(size_t size, const char *file, int line);

/* A copy of the NUL-terminated text, or null. */
KEMPLAT_API char *mem_strdup(const char *text, const char *file, int line);

/* Releases a block of this allocator; null is accepted and does nothing. */
KEMPLAT_API void mem_free(void *block, const char *file, int line);

/* Releases *text (null accepted) and sets *text to null. */
KEMPLAT_API void mem_free_text(char **text);

/*
 * Formats into a new text and stores it in *out (owned by the caller, released
 * with mem_free); stores null when memory runs out or the format fails.
 * Returns the length of the text, or -1 when *out is null.
 */
KEMPLAT_API int mem_vasprintf(char **out, const char *format, va_list args);

KEMPLAT_END_DECLS

#endif
