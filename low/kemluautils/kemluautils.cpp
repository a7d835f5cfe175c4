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
    /* 4 qecmd: lua_qecmd.cpp */

    {"base64_encode", luautils_base64_encode},
    {"base64_decode", luautils_base64_decode},
    {"sha256", luautils_sha256},
    {"string_split", luautils_string_split},
    {"string_join", luautils_string_join},
    {"list_filenames", luautils_list_filenames},

    /* 11-14 macaddrlist_*: lua_macaddrlist.cpp */

    {"sleep", luautils_sleep},

    /* 16-25 environment and getLocalizedText: lua_environment.cpp, lua_localize.cpp */

    /* 26 replacement: lua_replacement.cpp */

    {nullptr, nullptr},
};

}  // namespace

extern "C" int luaopen_libkemluautils(lua_State *L)
{
    luaL_register(L, "kemluautils", module_functions);
    return 1;
}
