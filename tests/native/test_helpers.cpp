// Exported helpers: error and message texts, table fields by key, the single
// string argument, query type names and installing functions into kiv.
#include "support.h"

#include <climits>
#include <string>

namespace {

/*
 * field(table, op, key): runs one table helper from Lua, key nil meaning a
 * null key. The table is at index 1 (remove, add) or pushed on top (the
 * getters). Returns the getter's result, then how many values the helper
 * left on the stack, then the type of the value on top.
 */
int field(lua_State *L)
{
    const char op = *luaL_checkstring(L, 2);
    const char *key = lua_tostring(L, 3);
    lua_settop(L, 3);
    if (op == 's' || op == 'i')
        lua_pushvalue(L, 1);  /* table, op, key, table */
    int base = lua_gettop(L);
    if (op == 'r')
        kemluautils_removeEntryFromTable(L, key);
    else if (op == 'a')
        kemluautils_addIntEntryToTable(L, 1, key, -5);
    const char *text = op == 's' ? kemluautils_getStringFromTable(L, key) : "";
    int number = op == 'i' ? kemluautils_getIntFromTable(L, key) : 0;
    int left = lua_gettop(L) - base;
    const char *top_type = luaL_typename(L, -1);
    if (op == 'i')
        lua_pushinteger(L, number);
    else
        lua_pushstring(L, text);
    lua_pushinteger(L, left);
    lua_pushstring(L, top_type);
    return 3;
}

class Helpers : public LuaTest {
protected:
    void SetUp() override
    {
        LuaTest::SetUp();
        lua_register(L, "field", field);
        lua_register(L, "raise", [](lua_State *L) -> int {
            kemluautils_error(L, "%s=%d", lua_tostring(L, 1), 7);
        });
        lua_register(L, "any", [](lua_State *L) -> int {
            lua_pushstring(L, get_any_string_arg(L));
            return 1;
        });
        lua_register(L, "str", [](lua_State *L) -> int {
            lua_pushstring(L, get_string_arg(L));
            return 1;
        });
    }
};

}  // namespace

TEST_F(Helpers, ErrorRaisesTheTextWithoutPositionCutAt254)
{
    EXPECT_EQ(run("raise('x')"), "x=7");  // called from Lua: still no "test:1:"
    for (int len : {251, 252, 300})       // the message is len + 2 characters
        EXPECT_EQ(run("raise(('y'):rep(" + std::to_string(len) + "))"),
                  (std::string(len, 'y') + "=7").substr(0, 254))
            << len;
}

TEST_F(Helpers, PushfstringPushesTheText)
{
    // (its failure, nil, is in the central sweep)
    int top = lua_gettop(L);
    kemluautils_pushfstring(L, "%s=%d", "a", 5);
    kemluautils_pushfstring(L, "x%cy", 0);  // read up to the zero byte
    ASSERT_EQ(lua_gettop(L), top + 2);
    EXPECT_STREQ(lua_tostring(L, -2), "a=5");
    EXPECT_EQ(lua_objlen(L, -1), 1u);
    lua_settop(L, top);
}

TEST_F(Helpers, TableFieldsByKey)
{
    ASSERT_EQ(run("t = setmetatable({ s = 'text', n = 5, f = 1.5, b = false, gone = 1 },\n"
                  "  { __index = function(_, k) if k == 'meta' then return 42 end end })"),
              "");
    const char *checks[] = {
        // getters: the value stays pushed for strings, the stack unchanged for ints
        "local v, left = field(t, 's', 's') assert(v == 'text' and left == 1)",
        "local v, left, ty = field(t, 's', 'n') assert(v == '5' and left == 1 and ty == 'string')",
        "assert(type(t.n) == 'number')",  // converted on the stack, not in the table
        "local v, left = field(t, 'i', 'n') assert(v == 5 and left == 0)",
        "assert(field(t, 'i', 'meta') == 42)",  // metamethods apply
        // setters: remove at index 1, add at the given absolute index
        "local _, left = field(t, 'r', 'gone') assert(rawget(t, 'gone') == nil and left == 0)",
        "local _, left = field(t, 'a', 'added') assert(t.added == -5 and left == 0)",
        ("local log = {} local p = setmetatable({}, { __newindex = function(_, k, v) log[k] = v end })\n"
         "field(p, 'a', 'k') assert(log.k == -5 and rawget(p, 'k') == nil)"),  // one chunk
    };
    for (const char *check : checks)
        EXPECT_EQ(run(check), "") << check;

    struct Case {
        const char *call, *message;
    } raised[] = {
        {"field(t, 's', 'x')", "Key x is not found in the table!"},
        {"field(t, 's', 'b')", "Argument b is not a string"},
        {"field(t, 'i', 'x')", "Key x is not found in the table!"},
        {"field(t, 'i', 'f')", "Argument f is not a integer"},
        {"field(t, 'i', 's')", "Argument s is not a integer"},
    };
    for (const auto &c : raised)
        EXPECT_EQ(run(c.call), c.message) << c.call;
    // the key is refused before the table (here nil) is touched
    for (std::string op : {"r", "a", "s", "i"}) {
        EXPECT_EQ(run("field(nil, '" + op + "', nil)"), "Passed key is a NULL") << op;
        EXPECT_EQ(run("field(nil, '" + op + "', '')"), "Passed key is empty") << op;
    }
}

TEST_F(Helpers, StringArgumentIsExactlyOneStringOrNumber)
{
    for (std::string f : {"any", "str"}) {
        EXPECT_EQ(run("assert(" + f + "('x') == 'x' and " + f + "(12) == '12')"), "");
        EXPECT_EQ(run(f + "()"), "only one argument allowed");
        EXPECT_EQ(run(f + "('a', nil)"), "only one argument allowed");
        EXPECT_EQ(run(f + "({})"), "need string argument");
    }
}

TEST(QueryType, NamesTheFourCodesAndNothingElse)
{
    EXPECT_STREQ(querytype2str(0), "querytype_single");
    EXPECT_STREQ(querytype2str(1), "querytype_multi");
    EXPECT_STREQ(querytype2str(2), "querytype_recursive");
    EXPECT_STREQ(querytype2str(3), "querytype_count");
    EXPECT_STREQ(querytype2str(4), "unknown");
    EXPECT_STREQ(querytype2str(UINT_MAX), "unknown");
}

TEST_F(Helpers, MakeFunctionInstallsIntoKivAndLeavesKivPushed)
{
    int top = lua_gettop(L);
    LuaScript_MakeFunction(L, "esc", lua_rfc1630_escape);
    LuaScript_MakeFunction(L, "again", lua_rfc1630_escape);
    ASSERT_EQ(lua_gettop(L), top + 2);
    lua_getglobal(L, "kiv");
    EXPECT_TRUE(lua_rawequal(L, -1, -2) && lua_rawequal(L, -1, -3));
    lua_settop(L, top);
    EXPECT_EQ(run("assert(kiv.esc('a b', true) == 'a+b' and kiv.again('/', false) == '/')"), "");

    // without kiv: the interpreter's indexing error, and the state goes on
    EXPECT_EQ(run("kiv = nil"), "");
    lua_pushcfunction(L, [](lua_State *L) -> int {
        LuaScript_MakeFunction(L, "x", lua_rfc1630_escape);
        return 0;
    });
    ASSERT_NE(lua_pcall(L, 0, 0, 0), 0);
    EXPECT_EQ(error_text(L), "attempt to index a nil value");
    lua_pop(L, 1);
    EXPECT_EQ(run("return 1"), "");
}
