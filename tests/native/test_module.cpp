// Module entry: the table, its registration, and the shared conventions.
#include "support.h"

using Module = LuaTest;

TEST_F(Module, RegistersTheGlobalTableAndReturnsItOnce)
{
    EXPECT_EQ(run("assert(type(kemluautils) == 'table')\n"
                  "local n = 0 for k, v in pairs(kemluautils) do\n"
                  "  assert(type(v) == 'function', k) n = n + 1 end\n"
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

TEST_F(Module, ArityIsCheckedBeforeTypesAndMessagesCarryThePosition)
{
    EXPECT_EQ(run("kemluautils.lua_unixtime2iso8601('x', 'y')"),
              "test:1: pUnixtime2iso8601() requires 1 arguments");
    EXPECT_EQ(run("\nkemluautils.lua_unixtime2iso8601('x')"),
              "test:2: pUnixtime2iso8601() requires int for argument #1");
}

TEST_F(Module, IntegersAreNumbersHeldIntegral)
{
    const char *rejected[] = {"1.5", "'5'", "0/0", "1/0", "-1/0", "2^63", "nil", "{}"};
    for (const char *arg : rejected)
        EXPECT_EQ(run(std::string("kemluautils.lua_unixtime2iso8601(") + arg + ")"),
                  "test:1: pUnixtime2iso8601() requires int for argument #1")
            << arg;
    const char *accepted[] = {"0", "-1", "2^62", "-2^63", "1e3"};
    for (const char *arg : accepted)
        EXPECT_EQ(run(std::string("kemluautils.lua_unixtime2iso8601(") + arg + ")"), "") << arg;
}
