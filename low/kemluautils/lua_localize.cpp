/*
 * Localized texts by number, from the localisation service.
 *
 * The service hands over a new text that this function owns. Pushing a
 * string can raise (out of memory), so the push runs guarded (luaaux.h)
 * and the text is released before any error goes on.
 */
#include "luaaux.h"
#include "platform/localize.h"

#include <cstring>

/* The localized text of an id in the interpreter's language, or nil. */
int luautils_getLocalizedText(lua_State *L)
{
    lua_Integer id = kem_check_integer(L, 1, "getLocalizedText");
    int guard = kem_guard_push(L, kem_push_bytes, 0);  /* may raise: nothing held yet */
    char *text = localize_text(id, "");
    if (!text) {
        lua_pushnil(L);
        return 1;
    }
    if (kem_push_freed(L, guard, text, std::strlen(text)) != 0)
        return lua_error(L);  /* the push's own error, once the text is released */
    return 1;
}
