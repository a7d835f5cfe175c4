/*
 * Host device profile: where the host's environment, localisation and text
 * interpreter services take their values from. A profile is a JSON file
 * (format in docs/environment.md); without one the services use a built-in
 * profile of a plausible device.
 *
 * The profile in force is process-lifetime state of the services. It is held
 * in yajl's parse tree on the C allocator, not on the tagged allocator, so
 * it never shows among the library's live blocks. One thread only.
 */
#ifndef KEM_PLATFORM_HOST_PROFILE_H
#define KEM_PLATFORM_HOST_PROFILE_H

#include <stddef.h>
#include <stdint.h>

#include "platform/platform.h"

KEMPLAT_BEGIN_DECLS

/* The variable that names a profile file for hosts that select none. */
#define ENV_PROFILE_VARIABLE "KEM_DEVICE_PROFILE"

/*
 * Selects the profile in the JSON file at path (null: the built-in one).
 * Returns 0, or -1 when the file cannot be read or is not a valid profile:
 * then the profile in force stays and errbuf (when size > 0) receives one
 * line "path: problem". Texts handed out earlier by the services become
 * invalid when another profile is selected.
 */
KEMPLAT_API int env_load_profile(const char *path, char *errbuf, size_t size);

/*
 * Forgets the selected profile and the interpreter's language: the next
 * query selects the profile named by KEM_DEVICE_PROFILE, or the built-in one
 * when that is unset or empty. A named profile that cannot be used is
 * reported once on stderr, and the built-in profile serves instead.
 */
KEMPLAT_API void env_reset_profile(void);

/* Between the host services: reading a profile file, lookups in the profile in force. */

struct yajl_val_s;

/*
 * Reads the profile file at path into a yajl tree (free with yajl_tree_free,
 * C allocator), or null with the reason in why (size > 0): not a regular
 * file, over 1 MiB, a zero byte, not valid JSON (comments are allowed),
 * nested deeper than 16 levels (profile_parse.cpp).
 */
struct yajl_val_s *profile_read(const char *path, char *why, size_t size);

/* Text number id in language (null: none), owned by the profile. */
const char *profile_text(const char *language, int64_t id);

/*
 * The value of database field name (len bytes) as a text, with its length in
 * *value_len: for a field that differs by language its value in language,
 * else in the device's language; null when there is none.
 */
const char *profile_db_field(const char *language, const char *name, size_t len,
                             size_t *value_len);

/* The language of the text interpreter: the one set, else the device's. */
const char *interp_language(void);

KEMPLAT_END_DECLS

#endif
