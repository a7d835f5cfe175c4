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

#include <cmath>
#include <limits>

#ifndef KEM_LUA_HAS_ISINTEGER
/*
 * True when the value at idx is a number (not a numeric string) that the
 * interpreter can hold as a lua_Integer: integral and within its range, so
 * 2^31 is none where lua_Integer has 32 bits. Lua 5.1 and LuaJIT keep every
 * number as a double, so this is the test that a build with a native integer
 * type makes by the value's subtype. Used only where the interpreter's
 * headers lack lua_isinteger (the build checks), and internal to each file:
 * no symbol of that name in Lua's name space.
 */
static inline int kem_lua_isinteger(lua_State *L, int idx)
{
    if (lua_type(L, idx) != LUA_TNUMBER)
        return 0;
    /* the limits as doubles: -2^(bits-1) is exact, and so is 2^(bits-1) */
    constexpr lua_Number lo = static_cast<lua_Number>(std::numeric_limits<lua_Integer>::min());
    constexpr lua_Number hi = -lo;
    lua_Number v = lua_tonumber(L, idx);
    return v >= lo && v < hi && std::floor(v) == v;
}
#define lua_isinteger kem_lua_isinteger
#endif

/*
 * Pushing a heap block as a Lua string without leaking it when the push
 * raises (out of memory). Call kem_pusher while nothing is held: it pushes
 * the pusher function and may raise. Then kem_push_owned(L, block, len)
 * replaces the pusher with the string of len bytes, releases the block with
 * mem_free and, when the push failed, raises that error after the release.
 * Defined in kemluautils.cpp, like the two helpers below.
 */
void kem_pusher(lua_State *L);
void kem_push_owned(lua_State *L, char *block, size_t len);

/*
 * Running a lua_CFunction protected on something held (a list, a directory)
 * without pushing its pointer: a light userdata push can allocate under
 * LuaJIT, and so raise while the thing is held. Push the function while
 * nothing is held; then kem_pcall_held(L, held) calls it with no arguments
 * and one result, and inside it kem_held() gives held (read it first: a
 * nested kem_pcall_held replaces it). Returns lua_pcall's status.
 */
int kem_pcall_held(lua_State *L, void *held);
void *kem_held(void);

/*
 * Calls a script's callback, anchored in the registry, as callback(data,
 * value) under lua_cpcall, from inside a platform service: nothing raises
 * through the service. Returns lua_cpcall's status; on an error the error
 * value is left on top of the stack.
 */
int kem_call_back(lua_State *L, int callback_ref, const char *data, size_t len, int value_ref);

/* convert_time.cpp */
int lua_unixtimefromdays(lua_State *L);
int lua_unixtimefromcall(lua_State *L);
int lua_unixtime2iso8601(lua_State *L);

/* lua_qecmd.cpp */
int lua_qecmd(lua_State *L);

/* lua_base64.cpp, lua_hash.cpp */
int luautils_base64_encode(lua_State *L);
int luautils_base64_decode(lua_State *L);
int luautils_sha256(lua_State *L);

/* lua_string.cpp */
int luautils_string_split(lua_State *L);
int luautils_string_join(lua_State *L);

/* lua_os.cpp */
int luautils_list_filenames(lua_State *L);
int luautils_sleep(lua_State *L);

/* lua_macaddrlist.cpp */
int luautils_macaddrlist_parse(lua_State *L);
int luautils_macaddrlist_string(lua_State *L);
int luautils_macaddrlist_remove_macaddr(lua_State *L);
int luautils_macaddrlist_append_macaddr_unique(lua_State *L);

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
