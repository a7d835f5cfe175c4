// Exported helpers: error and message texts, table fields by key, the single
// string argument, query type names and installing functions into kiv.
#include "support.h"

#include <climits>
#include <string>

namespace {

using Helpers = LuaTest;

/* Calls f protected with the nargs values on top; "" or the error (popped). */
std::string pcall(lua_State *L, lua_CFunction f, int nargs = 0, int nresults = 0)
{
    lua_pushcfunction(L, f);
    lua_insert(L, -nargs - 1);
    if (lua_pcall(L, nargs, nresults, 0) == 0)
        return "";
    std::string msg = error_text(L);
    lua_pop(L, 1);
    return msg;
}

/* A C function that raises kemluautils_error with its string argument. */
int raise_arg(lua_State *L)
{
    kemluautils_error(L, "%s", lua_tostring(L, 1));
}

}  // namespace

TEST_F(Helpers, ErrorRaisesTheFormattedTextWithoutPositionCutAt254)
{
    EXPECT_EQ(pcall(L, [](lua_State *L) -> int { kemluautils_error(L, "%s() bad %d", "f", 3); }),
              "f() bad 3");
    for (size_t len : {253u, 254u, 255u, 300u}) {
        lua_pushstring(L, std::string(len, 'x').c_str());
        EXPECT_EQ(pcall(L, raise_arg, 1), std::string(std::min<size_t>(len, 254), 'x')) << len;
    }
    // raised from a Lua function too, no "chunk:line:" appears
    lua_pushcfunction(L, raise_arg);
    lua_setglobal(L, "raise_arg");
    EXPECT_EQ(run("raise_arg('plain')"), "plain");
}

TEST_F(Helpers, PushfstringPushesTheTextOrNil)
{
    int top = lua_gettop(L);
    kemluautils_pushfstring(L, "%s=%d", "a", 5);
    EXPECT_STREQ(lua_tostring(L, -1), "a=5");
    kemluautils_pushfstring(L, "x%cy", 0);  // read as a C string
    EXPECT_EQ(lua_objlen(L, -1), 1u);
    EXPECT_EQ(lua_gettop(L), top + 2);
    EXPECT_TRUE(allocator_clean());  // the temporary text is gone

    mem_fail_at(1, 0);
    kemluautils_pushfstring(L, "%d", 7);
    EXPECT_TRUE(lua_isnil(L, -1));
    EXPECT_EQ(lua_gettop(L), top + 3);
    lua_settop(L, top);
}

TEST_F(Helpers, KeysAreCheckedBeforeAnyTableIsTouched)
{
    using Fn = lua_CFunction;
    const Fn with_null[] = {
        [](lua_State *L) -> int { kemluautils_removeEntryFromTable(L, nullptr); return 0; },
        [](lua_State *L) -> int { kemluautils_addIntEntryToTable(L, 1, nullptr, 1); return 0; },
        [](lua_State *L) -> int { kemluautils_getStringFromTable(L, nullptr); return 0; },
        [](lua_State *L) -> int { kemluautils_getIntFromTable(L, nullptr); return 0; },
    };
    const Fn with_empty[] = {
        [](lua_State *L) -> int { kemluautils_removeEntryFromTable(L, ""); return 0; },
        [](lua_State *L) -> int { kemluautils_addIntEntryToTable(L, 1, "", 1); return 0; },
        [](lua_State *L) -> int { kemluautils_getStringFromTable(L, ""); return 0; },
        [](lua_State *L) -> int { kemluautils_getIntFromTable(L, ""); return 0; },
    };
    // the "table" is nil: touching it would raise an indexing error instead
    for (Fn f : with_null) {
        lua_pushnil(L);
        EXPECT_EQ(pcall(L, f, 1), "Passed key is a NULL");
    }
    for (Fn f : with_empty) {
        lua_pushnil(L);
        EXPECT_EQ(pcall(L, f, 1), "Passed key is empty");
    }
}

TEST_F(Helpers, GetStringLeavesTheValuePushedAndConvertsNumbersInPlace)
{
    ASSERT_EQ(run("return { s = 'text', n = 5, t = {}, b = false }"), "");
    int top = lua_gettop(L);
    EXPECT_STREQ(kemluautils_getStringFromTable(L, "s"), "text");
    EXPECT_EQ(lua_gettop(L), top + 1);
    lua_pop(L, 1);
    EXPECT_STREQ(kemluautils_getStringFromTable(L, "n"), "5");
    EXPECT_EQ(lua_type(L, -1), LUA_TSTRING);  // the pushed copy was converted
    lua_pop(L, 1);
    lua_getfield(L, -1, "n");
    EXPECT_EQ(lua_type(L, -1), LUA_TNUMBER);  // the field itself was not
    lua_pop(L, 1);

    struct Case {
        const char *key, *message;
    } cases[] = {
        {"missing", "Key missing is not found in the table!"},
        {"t", "Argument t is not a string"},
        {"b", "Argument b is not a string"},
    };
    for (const auto &c : cases) {
        lua_pushstring(L, c.key);
        lua_pushvalue(L, top);  // key, table: the table on top
        EXPECT_EQ(pcall(L,
                        [](lua_State *L) -> int {
                            kemluautils_getStringFromTable(L, lua_tostring(L, 1));
                            return 0;
                        },
                        2),
                  c.message);
    }
    lua_settop(L, top - 1);
}

TEST_F(Helpers, GetIntReadsIntegralNumbersAndLeavesTheStackUnchanged)
{
    ASSERT_EQ(run("return setmetatable({ n = -7, f = 1.5, s = '7' }, "
                  "{ __index = function(t, k) if k == 'meta' then return 42 end end })"),
              "");
    int top = lua_gettop(L);
    EXPECT_EQ(kemluautils_getIntFromTable(L, "n"), -7);
    EXPECT_EQ(kemluautils_getIntFromTable(L, "meta"), 42);  // lua_gettable honours __index
    EXPECT_EQ(lua_gettop(L), top);

    struct Case {
        const char *key, *message;
    } cases[] = {
        {"f", "Argument f is not a integer"},
        {"s", "Argument s is not a integer"},
        {"none", "Key none is not found in the table!"},
    };
    for (const auto &c : cases) {
        lua_pushstring(L, c.key);
        lua_pushvalue(L, top);  // key, table
        EXPECT_EQ(pcall(L,
                        [](lua_State *L) -> int {
                            kemluautils_getIntFromTable(L, lua_tostring(L, 1));
                            return 0;
                        },
                        2),
                  c.message);
    }
    lua_settop(L, top - 1);
}

TEST_F(Helpers, SettersWriteThroughMetamethodsAtTheirIndex)
{
    // index 1 of the frame is the table for remove; add takes an absolute index
    ASSERT_EQ(run("log = {}\n"
                  "proxy = setmetatable({}, { __newindex = function(t, k, v)\n"
                  "  log[#log + 1] = k .. '=' .. tostring(v) end })\n"
                  "plain = { gone = 1, kept = 2 }"),
              "");
    lua_getglobal(L, "plain");
    lua_pushinteger(L, 99);  // plain, 99
    EXPECT_EQ(pcall(L,
                    [](lua_State *L) -> int {
                        kemluautils_removeEntryFromTable(L, "gone");
                        kemluautils_addIntEntryToTable(L, 1, "added", -5);
                        return lua_gettop(L) == 2 ? 0 : luaL_error(L, "stack moved");
                    },
                    2),
              "");
    EXPECT_EQ(run("assert(plain.gone == nil and plain.kept == 2 and plain.added == -5)"), "");

    lua_pushnil(L);
    lua_getglobal(L, "proxy");  // nil, proxy: the table at index 2
    EXPECT_EQ(pcall(L,
                    [](lua_State *L) -> int {
                        kemluautils_addIntEntryToTable(L, 2, "a", 1);
                        return 0;
                    },
                    2),
              "");
    EXPECT_EQ(run("assert(log[1] == 'a=1' and rawget(proxy, 'a') == nil, log[1])"), "");
}

TEST_F(Helpers, StringArgumentNeedsExactlyOneStringOrNumber)
{
    lua_pushcfunction(L, [](lua_State *L) -> int {
        lua_pushstring(L, get_any_string_arg(L));
        return 1;
    });
    lua_setglobal(L, "any");
    lua_pushcfunction(L, [](lua_State *L) -> int {
        lua_pushstring(L, get_string_arg(L));
        return 1;
    });
    lua_setglobal(L, "str");
    for (const char *f : {"any", "str"}) {
        std::string name = f;
        EXPECT_EQ(run("assert(" + name + "('x') == 'x' and " + name + "(12) == '12')"), "");
        EXPECT_EQ(run(name + "()"), "only one argument allowed");
        EXPECT_EQ(run(name + "('a', nil)"), "only one argument allowed");
        EXPECT_EQ(run(name + "({})"), "need string argument");
        EXPECT_EQ(run(name + "(nil)"), "need string argument");
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
    auto answer = [](lua_State *L) -> int {
        lua_pushinteger(L, 42);
        return 1;
    };
    LuaScript_MakeFunction(L, "answer", answer);
    LuaScript_MakeFunction(L, "again", answer);
    ASSERT_EQ(lua_gettop(L), top + 2);
    lua_getglobal(L, "kiv");
    EXPECT_TRUE(lua_rawequal(L, -1, -2));
    EXPECT_TRUE(lua_rawequal(L, -1, -3));
    lua_settop(L, top);
    EXPECT_EQ(run("assert(kiv.answer() == 42 and kiv.again() == 42)"), "");

    // without kiv the interpreter's indexing error, and the state goes on
    lua_pushnil(L);
    lua_setglobal(L, "kiv");
    EXPECT_EQ(pcall(L, [](lua_State *L) -> int {
                  LuaScript_MakeFunction(L, "x", lua_rfc1630_escape);
                  return 0;
              }),
              "attempt to index a nil value");
    EXPECT_EQ(lua_gettop(L), top);
    EXPECT_EQ(run("return 1"), "");
}
