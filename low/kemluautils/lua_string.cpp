/*
 * Split and join from scripts: string_split and string_join over the
 * platform's string list service.
 *
 * Both texts reach the service NUL-terminated, so a text is cut at its first
 * NUL byte. Building the result table, and reading number values as text,
 * can raise (out of memory) while a list is held; those steps run under
 * lua_pcall, the list is released, and then the error is raised again.
 */
#include "luaaux.h"
#include "platform/strlist.h"

#include <cstring>

namespace {

constexpr const char split_name[] = "luautils_string_split";
constexpr const char join_name[] = "luautils_string_join";

/* Raises the message of the first fault: count, argument 1, argument 2. */
int check_args(lua_State *L, const char *name, bool table_first)
{
    if (lua_gettop(L) != 2)
        return luaL_error(L, "%s() only two arguments expected", name);
    if (table_first && lua_type(L, 1) != LUA_TTABLE)
        return luaL_error(L, "%s() input (1) must be a table", name);
    if (!table_first && !lua_isstring(L, 1))
        return luaL_error(L, "%s() input (1) must be a string", name);
    if (lua_isstring(L, 2) != 1)
        return luaL_error(L, "%s() input (2) must be a string", name);
    return 0;
}

/* Protected: the array of the held list's texts, up to the first null text. */
int fill_array(lua_State *L)
{
    const auto *node = static_cast<const StringList *>(kem_held());
    lua_createtable(L, 0, 0); /* array */
    lua_Integer index = 1;
    for (; node && node->text; node = node->next, ++index) {
        lua_pushinteger(L, index);
        lua_pushstring(L, node->text);
        lua_rawset(L, -3);
    }
    return 1;
}

/* Protected: appends the string and number values of table 1 to *list.
   Stops early, leaving false as its result, when the list cannot grow. */
int collect(lua_State *L)
{
    /* table, list address */
    auto **list = static_cast<StringList **>(lua_touserdata(L, 2));
    lua_pushnil(L); /* table, list address, nil */
    while (lua_next(L, 1) != 0) { /* table, list address, key, value */
        if (lua_isstring(L, -1) && strlist_append(list, lua_tolstring(L, -1, nullptr)) != 0) {
            lua_pushboolean(L, 0);
            return 1;
        }
        lua_settop(L, -2); /* table, list address, key */
    }
    lua_pushboolean(L, 1);
    return 1;
}

}  // namespace

int luautils_string_split(lua_State *L)
{
    check_args(L, split_name, false);
    const char *text = lua_tolstring(L, 1, nullptr);
    const char *separators = lua_tolstring(L, 2, nullptr);
    lua_pushcfunction(L, fill_array); /* text, separators, fill_array */
    StringList *list = strlist_split(text, separators);
    if (!list) {
        lua_pushnil(L);
        return 1;
    }
    int status = kem_pcall_held(L, list); /* text, separators, array or error */
    strlist_free(&list);
    if (status != 0)
        return lua_error(L);
    return 1;
}

int luautils_string_join(lua_State *L)
{
    check_args(L, join_name, true);
    const char *separator = lua_tolstring(L, 2, nullptr);
    /* everything that can raise comes before the list exists or runs protected */
    kem_pusher(L); /* table, separator, pusher */
    lua_pushcfunction(L, collect);
    lua_pushvalue(L, 1);
    StringList *list = nullptr;
    lua_pushlightuserdata(L, &list);
    int status = lua_pcall(L, 2, 1, 0); /* table, separator, pusher, complete or error */
    if (status != 0) {
        strlist_free(&list);
        return lua_error(L);
    }
    /* a list cut short by a failed append would join to a wrong text */
    bool complete = lua_toboolean(L, -1);
    lua_settop(L, 3); /* table, separator, pusher */
    char *joined = complete ? strlist_join(list, separator) : nullptr;
    strlist_free(&list);
    if (!joined) {
        lua_pushnil(L);
        return 1;
    }
    kem_push_owned(L, joined, std::strlen(joined));
    return 1;
}
