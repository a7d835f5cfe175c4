/*
 * What several areas of the library share: the Lua headers with C linkage,
 * lua_isinteger for interpreters that lack it, and the lua_CFunctions of the
 * module table, grouped by the source file that defines them.
 *
 * Internal: nothing here is exported from the shared object.
 */
#ifndef KEMLUAUTILS_LUAAUX_H
#define KEMLUAUTILS_LUAAUX_H

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

#include "platform/mem.h"

/*
 * True when the value at idx is a number (not a numeric string) that the
 * interpreter can hold as a lua_Integer: integral and within its range.
 * Lua 5.1 and LuaJIT keep every number as a double, so this is the test that
 * a build with a native integer type makes by the value's subtype.
 */
int lua_isinteger(lua_State *L, int idx);

/* convert_time.cpp */
int lua_unixtimefromdays(lua_State *L);
int lua_unixtimefromcall(lua_State *L);
int lua_unixtime2iso8601(lua_State *L);

/* lua_qecmd.cpp */

/* lua_base64.cpp, lua_hash.cpp */

/* lua_string.cpp */

/* lua_os.cpp */

/* lua_macaddrlist.cpp */

/* lua_environment.cpp, lua_localize.cpp */
int luautils_country_is_default(lua_State *L);
int luautils_country_is(lua_State *L);
int luautils_country_iso(lua_State *L);
int luautils_country(lua_State *L);
int luautils_oem(lua_State *L);
int luautils_language_is_default(lua_State *L);
int luautils_language(lua_State *L);
int luautils_predefinedurlget(lua_State *L);
int luautils_serialnumber(lua_State *L);
int luautils_getLocalizedText(lua_State *L);

/* lua_replacement.cpp */
int luautils_replacement(lua_State *L);

#endif
