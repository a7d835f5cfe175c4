/*
 * Module entry and function table of libkemluautils, and the helpers that
 * other native modules link against: raising formatted errors, pushing
 * formatted strings, table fields by key, the single string argument, query
 * type names and installing functions into kiv.
 *
 * luaopen_libkemluautils registers the module table "kemluautils" and its
 * _VERSION. The table below keeps the device's order of entries; each
 * function lives in the source file of its area (see luaaux.h).
 *
 * Caveats: kemluautils_error formats into one module-static buffer (255
 * bytes with the terminator), so it serves the interpreter's thread only.
 * The raises here go through lua_error: no script position is prepended.
 */
#include "kemluautils.h"
#include "luaaux.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

const luaL_Reg module_functions[] = {
    {"lua_unixtimefromdays", lua_unixtimefromdays},
    {"lua_unixtimefromcall", lua_unixtimefromcall},
    {"lua_unixtime2iso8601", lua_unixtime2iso8601},
    {"qecmd", lua_qecmd},

    {"base64_encode", luautils_base64_encode},
    {"base64_decode", luautils_base64_decode},
    {"sha256", luautils_sha256},
    {"string_split", luautils_string_split},
    {"string_join", luautils_string_join},
    {"list_filenames", luautils_list_filenames},

    {"macaddrlist_parse", luautils_macaddrlist_parse},
    {"macaddrlist_string", luautils_macaddrlist_string},
    {"macaddrlist_remove_macaddr", luautils_macaddrlist_remove_macaddr},
    {"macaddrlist_append_macaddr_unique", luautils_macaddrlist_append_macaddr_unique},

    {"sleep", luautils_sleep},

    {"country_is_default", luautils_country_is_default},
    {"country_is", luautils_country_is},
    {"country_iso", luautils_country_iso},
    {"country", luautils_country},
    {"oem", luautils_oem},
    {"language_is_default", luautils_language_is_default},
    {"language", luautils_language},
    {"predefinedurlget", luautils_predefinedurlget},
    {"serialnumber", luautils_serialnumber},
    {"getLocalizedText", luautils_getLocalizedText},
    {"replacement", luautils_replacement},

    {nullptr, nullptr},
};

}  // namespace

extern "C" int luaopen_libkemluautils(lua_State *L)
{
    kem_device_numbers(); /* the mode is settled (and its summary due) once a script has the module */
    luaL_register(L, "kemluautils", module_functions);
    lua_pushliteral(L, KEMLUAUTILS_VERSION);
    lua_setfield(L, -2, "_VERSION");
    return 1;
}

/* ---- Exported helpers ---------------------------------------------------- */

namespace {

char error_buffer[255];  /* the message being raised by kemluautils_error */

/* Raises unless key names a field: null and empty keys are refused. */
void check_key(lua_State *L, const char *key)
{
    if (!key)
        kemluautils_error(L, "Passed key is a NULL");
    if (key[0] == '\0')
        kemluautils_error(L, "Passed key is empty");
}

}  // namespace

extern "C" void kemluautils_error(lua_State *L, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vsnprintf(error_buffer, sizeof error_buffer, format, args);
    va_end(args);
    lua_pushstring(L, error_buffer);
    lua_error(L);
    __builtin_unreachable();  /* lua_error longjmps */
}

extern "C" void kemluautils_pushfstring(lua_State *L, const char *format, ...)
{
    int guard = kem_guard_push(L, kem_push_bytes, 0);  /* may raise: nothing held yet */
    va_list args;
    va_start(args, format);
    char *text = nullptr;
    mem_vasprintf(&text, format, args);
    va_end(args);
    if (!text)
        lua_pushnil(L);                                  /* guard, nil */
    else if (kem_push_freed(L, guard, text, std::strlen(text)) != 0)  /* read as a C string */
        return (void)lua_error(L);                       /* the push's own error, once released */
    lua_replace(L, guard);                               /* the one value in the guard's place */
    lua_settop(L, guard);
}

extern "C" void kemluautils_removeEntryFromTable(lua_State *L, const char *key)
{
    check_key(L, key);
    lua_pushstring(L, key);
    lua_pushnil(L);
    lua_settable(L, 1);  /* table at 1: key = nil, metamethods honoured */
}

extern "C" void kemluautils_addIntEntryToTable(lua_State *L, int index, const char *key, int value)
{
    check_key(L, key);
    lua_pushstring(L, key);
    kem_push_integer(L, value, "kemluautils_addIntEntryToTable");
    lua_settable(L, index);  /* index taken as given: callers pass it absolute */
}

extern "C" const char *kemluautils_getStringFromTable(lua_State *L, const char *key)
{
    check_key(L, key);
    lua_pushstring(L, key);
    lua_gettable(L, -2);  /* table, value */
    if (lua_isstring(L, -1))
        return lua_tolstring(L, -1, nullptr);  /* a number turns into its text in place */
    if (lua_isnil(L, -1))
        kemluautils_error(L, "Key %s is not found in the table!", key);
    kemluautils_error(L, "Argument %s is not a string", key);
}

extern "C" int kemluautils_getIntFromTable(lua_State *L, const char *key)
{
    check_key(L, key);
    lua_pushstring(L, key);
    lua_gettable(L, -2);  /* table, value */
    if (lua_isinteger(L, -1)) {
        /* a wider integer keeps its low 32 bits */
        auto value = static_cast<int>(static_cast<int32_t>(kem_to_integer(L, -1, "kemluautils_getIntFromTable")));
        lua_settop(L, -2);  /* table */
        return value;
    }
    if (lua_isnil(L, -1))
        kemluautils_error(L, "Key %s is not found in the table!", key);
    kemluautils_error(L, "Argument %s is not a integer", key);
}

extern "C" const char *get_any_string_arg(lua_State *L)
{
    if (lua_gettop(L) != 1) {
        lua_pushstring(L, "only one argument allowed");
        lua_error(L);
    }
    if (!lua_isstring(L, 1)) {
        lua_pushstring(L, "need string argument");
        lua_error(L);
    }
    return lua_tolstring(L, 1, nullptr);
}

extern "C" const char *get_string_arg(lua_State *L)
{
    return get_any_string_arg(L);
}

extern "C" const char *querytype2str(unsigned int code)
{
    static const char *const names[] = {"querytype_single", "querytype_multi",
                                        "querytype_recursive", "querytype_count"};
    return code < sizeof names / sizeof names[0] ? names[code] : "unknown";
}

extern "C" void LuaScript_MakeFunction(lua_State *L, const char *name, lua_CFunction function)
{
    lua_getfield(L, LUA_GLOBALSINDEX, "kiv");  /* kiv */
    lua_pushcclosure(L, function, 0);          /* kiv, function */
    lua_setfield(L, -2, name);                 /* kiv: stays for the caller's frame */
}
