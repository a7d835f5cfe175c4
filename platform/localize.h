/*
 * Localisation service: the device's texts by number, in the language of the
 * text interpreter (platform/repl.h).
 */
#ifndef KEM_PLATFORM_LOCALIZE_H
#define KEM_PLATFORM_LOCALIZE_H

#include <stdint.h>

#include "platform/platform.h"

KEMPLAT_BEGIN_DECLS

/*
 * A new copy of text number id, owned by the caller and released with
 * mem_free; null for an unknown id or when memory runs out.
 * language names the language to use; null or "" means the text
 * interpreter's current language. A text missing in that language is taken
 * in the device's own language.
 */
KEMPLAT_API char *localize_text(int64_t id, const char *language);

KEMPLAT_END_DECLS

#endif
