// The module entry and the exported C helpers, each row a Lua chunk over them:
// "" means it ran, anything else is the error it raised.
#include "support.h"

#include <climits>

namespace {

/* field(table, op, key): one table helper (a nil key is a null one) with the
   table at 1 (remove, add) or on top (getters): the getter's result, how many
   values it left and the type of the top one. */
int field(lua_State *L)
{
    const char op = *luaL_checkstring(L, 2);
    const char *key = lua_tostring(L, 3);
    lua_settop(L, 3);
    if (op == 's' || op == 'i')
        lua_pushvalue(L, 1);
    int base = lua_gettop(L);
    if (op == 'r')
        kemluautils_removeEntryFromTable(L, key);
    else if (op == 'a')
        kemluautils_addIntEntryToTable(L, 1, key, -5);
    const char *text = op == 's' ? kemluautils_getStringFromTable(L, key) : "";
    int number = op == 'i' ? kemluautils_getIntFromTable(L, key) : 0;
    int left = lua_gettop(L) - base;
    lua_pushstring(L, luaL_typename(L, -1));
    op == 'i' ? lua_pushinteger(L, number) : lua_pushstring(L, text);
    lua_pushinteger(L, left);
    lua_pushvalue(L, -3);
    return 3;
}

const luaL_Reg helpers[] = {
    {"field", field},
    {"open", luaopen_libkemluautils},
    {"raise", [](lua_State *L) -> int { kemluautils_error(L, "%s=%d", lua_tostring(L, 1), 7); }},
    {"any", [](lua_State *L) -> int { return lua_pushstring(L, get_any_string_arg(L)), 1; }},
    {"str", [](lua_State *L) -> int { return lua_pushstring(L, get_string_arg(L)), 1; }},
    {"fmt", [](lua_State *L) -> int { return kemluautils_pushfstring(L, "%s=%d|x%cy", "a", 5, 0), 1; }},
    {"make", [](lua_State *L) -> int {  /* two installs: kiv pushed twice */
        LuaScript_MakeFunction(L, "esc", lua_rfc1630_escape);
        LuaScript_MakeFunction(L, "again", lua_rfc1630_escape);
        return lua_gettop(L); }},
    {nullptr, nullptr},
};

using Module = LuaTest;

}  // namespace

TEST_F(Module, HelpersRaiseReadWriteAndInstallAsDocumented)
{
    luaL_register(L, "_G", helpers);
    const std::pair<const char *, std::string> rows[] = {
        {"assert(package.loaded.kemluautils == kemluautils and open() == kemluautils and select('#', fmt()) == 1)", ""},
        {"assert(kemluautils._VERSION == '" KEMLUAUTILS_VERSION "')", ""},
        {"raise('x')", "x=7"},  // no position, also when called from Lua
        {"raise(('y'):rep(252))", std::string(252, 'y') + "=7"}, {"raise(('y'):rep(300))", std::string(254, 'y')},
        {"assert(fmt() == 'a=5|x')", ""},  // read up to the zero byte
        {"t = setmetatable({ s = 'text', n = 5, f = 1.5, b = false, gone = 1 },"
         " { __index = function(_, k) if k == 'meta' then return 42 end end })", ""},
        {"local v, left, ty = field(t, 's', 'n') assert(v == '5' and left == 1 and ty == 'string')", ""},
        {"local v, left = field(t, 's', 's') assert(v == 'text' and left == 1 and type(t.n) == 'number')", ""},
        {"local v, left = field(t, 'i', 'n') assert(v == 5 and left == 0 and field(t, 'i', 'meta') == 42)", ""},
        {"local _, left = field(t, 'r', 'gone') assert(rawget(t, 'gone') == nil and left == 0)", ""},
        {"local _, left = field(t, 'a', 'added') assert(t.added == -5 and left == 0)", ""},
        {"local p = setmetatable({}, { __newindex = function(_, k, v) t[k .. 'x'] = v end })"
         " field(p, 'a', 'k') assert(t.kx == -5 and rawget(p, 'k') == nil)", ""},
        {"field(t, 's', 'x')", "Key x is not found in the table!"},
        {"field(t, 's', 'b')", "Argument b is not a string"},
        {"field(t, 'i', 'x')", "Key x is not found in the table!"},
        {"field(t, 'i', 'f')", "Argument f is not a integer"},
        {"field(nil, 'r', nil)", "Passed key is a NULL"}, {"field(nil, 'a', '')", "Passed key is empty"},
        {"field(nil, 's', nil)", "Passed key is a NULL"}, {"field(nil, 'i', '')", "Passed key is empty"},
        {"assert(any(12) == '12' and str('x') == 'x')", ""},
        {"any('a', nil)", "only one argument allowed"}, {"str()", "only one argument allowed"},
        {"str({})", "need string argument"},
        {"local a, b = make() assert(a == kiv and b == kiv and kiv.esc('a b', true) == 'a+b'"
         " and kiv.again('/', false) == '/')", ""},
        {"kiv = nil make()", "attempt to index a nil value"},
    };
    for (const auto &[chunk, error] : rows)
        EXPECT_EQ(run(chunk), error) << chunk;
    const std::pair<unsigned, const char *> names[] = {{0, "querytype_single"}, {1, "querytype_multi"},
        {2, "querytype_recursive"}, {3, "querytype_count"}, {4, "unknown"}, {UINT_MAX, "unknown"}};
    for (const auto &[code, name] : names)
        EXPECT_STREQ(querytype2str(code), name);
}
