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

    /* 5-7 base64_encode, base64_decode, sha256: lua_base64.cpp, lua_hash.cpp */

    /* 8-9 string_split, string_join: lua_string.cpp; 10 list_filenames: lua_os.cpp */

    /* 11-14 macaddrlist_*: lua_macaddrlist.cpp */

    /* 15 sleep: lua_os.cpp */

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
    luaL_register(L, "kemluautils", module_functions);
    return 1;
}
