/* A native Lua module built against an installed libkemluautils: it calls an
   exported function and frees the result with the platform allocator. */
#include <lauxlib.h>
#include <lua.h>

#include "kemluautils.h"
#include "platform/mem.h"

static int iso(lua_State *L)
{
    char *text = unixtime2iso8601((time_t)luaL_checkinteger(L, 1));
    lua_pushstring(L, text ? text : "");
    mem_free(text, KEM_TAG);
    return 1;
}

__attribute__((visibility("default"))) int luaopen_consumer(lua_State *L)
{
    static const luaL_Reg functions[] = {{"iso", iso}, {NULL, NULL}};
    luaL_register(L, "consumer", functions);
    return 1;
}
