/*
 * Host localisation service: the texts of the device profile by number, in
 * the text interpreter's language or a given one, falling back to the
 * device's own language.
 */
#include "platform/localize.h"
#include "platform/env.h"
#include "platform/host/profile.h"
#include "platform/mem.h"

extern "C" char *localize_text(int64_t id, const char *language)
{
    const char *lang = language && *language ? language : interp_language();
    const char *text = profile_text(lang, id);
    if (!text)
        text = profile_text(env_language(), id);
    return text ? mem_strdup(text, KEM_TAG) : nullptr;
}
