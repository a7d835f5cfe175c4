/*
 * Localized texts by number, from the localisation service.
 *
 * The service hands over a new text that this function owns. Pushing a
 * string can raise (out of memory), so the push runs in a protected call
 * and the text is released before any error goes on.
 */
#include "luaaux.h"
#include "platform/localize.h"

#include <cstring>

/* The localized text of an id in the interpreter's language, or nil. */
int luautils_getLocalizedText(lua_State *L)
{
    lua_Integer id = luaL_checkinteger(L, 1);
    kem_pusher(L);                             /* may raise: nothing held yet */
    char *text = localize_text(id, "");
    if (!text) {
        lua_pop(L, 1);
        lua_pushnil(L);
        return 1;
    }
    kem_push_owned(L, text, std::strlen(text));  /* releases text, even on error */
    return 1;
}
