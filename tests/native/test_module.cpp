// Module entry: the table and its registration.
#include "support.h"

using Module = LuaTest;

TEST_F(Module, RegistersTheGlobalTableAndReturnsItOnce)
{
    EXPECT_EQ(run("assert(type(kemluautils) == 'table')\n"
                  "assert(kemluautils._VERSION == '" KEMLUAUTILS_VERSION "')\n"
                  "local n = 0 for k, v in pairs(kemluautils) do\n"
                  "  assert(type(v) == 'function' or k == '_VERSION', k) n = n + 1 end\n"
                  "assert(package.loaded.kemluautils == kemluautils)\n"
                  "_G.count = n"),
              "");
    lua_getglobal(L, "count");
    int count = static_cast<int>(lua_tointeger(L, -1));
    lua_pop(L, 1);
    EXPECT_GE(count, 3);

    // Loading a second time gives the same table with the same functions.
    lua_getglobal(L, "kemluautils");
    const void *first = lua_topointer(L, -1);
    lua_pushcfunction(L, luaopen_libkemluautils);
    lua_call(L, 0, 1);
    EXPECT_EQ(lua_topointer(L, -1), first);
    lua_pop(L, 2);
}
