/*
 * Localized texts by number, from the localisation service.
 *
 * The service hands over a new text that this function owns. Pushing a
 * string can raise (out of memory), so the push runs in a protected call
 * and the text is released before any error goes on.
 */
#include "luaaux.h"
#include "platform/localize.h"

namespace {

/* Pushes the text behind the light userdata (nil for null). */
int pushtext(lua_State *L)
{
    lua_pushstring(L, static_cast<const char *>(lua_touserdata(L, 1)));
    return 1;
}

}  // namespace

/* The localized text of an id in the interpreter's language, or nil. */
int luautils_getLocalizedText(lua_State *L)
{
    lua_Integer id = luaL_checkinteger(L, 1);
    lua_pushcfunction(L, pushtext);            /* may raise: nothing held yet */
    char *text = localize_text(id, "");
    lua_pushlightuserdata(L, text);            /* pushtext, text */
    int status = lua_pcall(L, 1, 1, 0);        /* string, nil or error */
    mem_free(text, KEM_TAG);
    if (status != 0)
        return lua_error(L);
    return 1;
}
