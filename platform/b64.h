/*
 * Base64 codec (RFC 4648, standard alphabet "A-Za-z0-9+/", "=" padding).
 *
 * The encoder writes one line with padding. The decoder takes padded or
 * unpadded text, skips ASCII white space anywhere (so wrapped lines decode),
 * and refuses any other character, padding in the wrong place and lengths no
 * encoding can have. Results come from the tagged allocator and are released
 * with mem_free.
 */
#ifndef KEM_PLATFORM_B64_H
#define KEM_PLATFORM_B64_H

#include <stddef.h>
#include <stdint.h>

#include "platform/platform.h"

KEMPLAT_BEGIN_DECLS

/* The only alphabet this codec offers: RFC 4648 section 4 with padding. */
#define B64_STANDARD 0

/*
 * Encodes size bytes at data (data may be null when size is 0) into a new
 * NUL-terminated text; *out_len (when out_len is not null) receives its
 * length without the NUL. No input gives the empty text.
 *   variant      must be B64_STANDARD;
 *   line_length  must be 0: no line breaks;
 *   flags        must be 0.
 * Returns null when an argument is outside these values or memory runs out;
 * *out_len is then 0.
 */
KEMPLAT_API char *b64_encode_alloc(int32_t variant, size_t *out_len, const void *data,
                                   size_t size, size_t line_length, int32_t flags);

/*
 * Decodes length bytes of Base64 text (text may be null when length is 0)
 * into a new buffer; *out_len (when not null) receives the number of decoded
 * bytes. The buffer has `spare` zero bytes after the decoded ones (1 leaves
 * room for a terminating NUL). Text of white space only decodes to no bytes.
 *   variant  must be B64_STANDARD.
 * Returns null when the text is not Base64, an argument is outside these
 * values or memory runs out; *out_len is then 0. Pad bits that are not zero
 * are accepted and ignored.
 */
KEMPLAT_API void *b64_decode_alloc(int32_t variant, size_t *out_len, const char *text,
                                   size_t length, size_t spare);

KEMPLAT_END_DECLS

#endif
