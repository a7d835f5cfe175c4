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
int luautils_base64_encode(lua_State *L);
int luautils_base64_decode(lua_State *L);
int luautils_sha256(lua_State *L);
/* Pushes the bytes of light userdata 1, integer 2 of them (run it protected). */
int luautils_pushbytes(lua_State *L);
/* With luautils_pushbytes on top: pushes length bytes of block protected,
   releases the block with mem_free, then raises any error; returns 1. */
int luautils_push_block(lua_State *L, void *block, size_t length);

/* lua_string.cpp */
int luautils_string_split(lua_State *L);
int luautils_string_join(lua_State *L);

/* lua_os.cpp */
int luautils_list_filenames(lua_State *L);
int luautils_sleep(lua_State *L);

/* lua_macaddrlist.cpp */

/* lua_environment.cpp, lua_localize.cpp */

/* lua_replacement.cpp */

#endif
