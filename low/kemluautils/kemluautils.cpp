/*
 * Module entry and function table of libkemluautils.
 *
 * luaopen_libkemluautils registers the module table "kemluautils". The table
 * below keeps the device's order of entries; each function lives in the
 * source file of its area (see luaaux.h).
 */
#include "kemluautils.h"
#include "luaaux.h"

namespace {

const luaL_Reg module_functions[] = {
    {"lua_unixtimefromdays", lua_unixtimefromdays},
    {"lua_unixtimefromcall", lua_unixtimefromcall},
    {"lua_unixtime2iso8601", lua_unixtime2iso8601},
    {nullptr, nullptr},
};

}  // namespace

extern "C" int luaopen_libkemluautils(lua_State *L)
{
    luaL_register(L, "kemluautils", module_functions);
    return 1;
}
