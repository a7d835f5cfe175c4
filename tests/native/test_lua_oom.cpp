// The interpreter running out of memory while a function of the module holds
// a block, a list, an open directory or a parser: the error reaches the
// caller as "not enough memory" and nothing is left behind. (Our own
// allocator's failures are swept in test_oom_sweep.cpp.)
#include "support.h"

#include <cstdlib>
#include <filesystem>

namespace {

/* A Lua allocator that fails the nth growing request from arming: that one
   only, or (persistent) every one from it on. */
struct Budget {
    long countdown = 0; /* 0: nothing armed */
    bool persistent = false;
    bool failed = false;
};

void *budget_alloc(void *ud, void *block, size_t old_size, size_t new_size)
{
    auto *b = static_cast<Budget *>(ud);
    if (new_size == 0) {
        std::free(block);
        return nullptr;
    }
    if (new_size > old_size && ((b->countdown > 0 && --b->countdown == 0) || (b->failed && b->persistent))) {
        b->failed = true;
        return nullptr;
    }
    return std::realloc(block, new_size);
}

size_t open_descriptors()
{
    size_t n = 0;
    for ([[maybe_unused]] auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

/* parse(text): json2lua's table or nil, with its stack effect checked. */
int parse(lua_State *L)
{
    int top = lua_gettop(L);
    if (json2lua(L, luaL_checkstring(L, 1), 16) != 0)
        lua_pushnil(L);
    EXPECT_EQ(lua_gettop(L), top + 1);
    return 1;
}

class InterpreterOutOfMemory : public testing::Test {
protected:
    Budget budget;
    lua_State *L = nullptr;

    void SetUp() override
    {
        L = lua_newstate(budget_alloc, &budget);
        if (!L)
            GTEST_SKIP() << "this interpreter does not take an allocator of ours (LuaJIT on x64)";
        luaL_openlibs(L);
        lua_pushcfunction(L, luaopen_libkemluautils);
        lua_call(L, 0, 0);
        lua_register(L, "parse", parse);
        lua_register(L, "esc", lua_rfc1630_escape);
    }

    void TearDown() override
    {
        if (L)
            lua_close(L);
        EXPECT_TRUE(allocator_clean());
    }

    /* Runs the function that `chunk` returns with the nth growing interpreter
       request failing, n = 1, 2, ... until a run completes; each failed run
       must raise "not enough memory" (or complete) and leave no block and no
       descriptor. Returns the completed run's result as text. */
    std::string until_complete(const std::string &chunk, bool persistent = false)
    {
        if (luaL_loadstring(L, chunk.c_str()) || lua_pcall(L, 0, 1, 0))
            return "setup: " + error_text(L);
        size_t descriptors = open_descriptors();
        long raised = 0;
        for (long n = 1; n < 100000; ++n) {
            lua_pushvalue(L, -1);
            budget = Budget{n, persistent, false};
            int status = lua_pcall(L, 0, 1, 0);
            bool failed = budget.failed;
            budget = Budget{};
            std::string text = status ? error_text(L) : lua_tostring(L, -1) ? lua_tostring(L, -1) : "<nil>";
            lua_pop(L, 1);
            lua_gc(L, LUA_GCCOLLECT, 0);
            EXPECT_TRUE(allocator_clean()) << "interpreter request " << n;
            EXPECT_EQ(open_descriptors(), descriptors) << "interpreter request " << n;
            if (!failed) {
                EXPECT_EQ(status, 0) << text;
                EXPECT_GT(raised, 0) << "no interpreter request failed";
                lua_pop(L, 1);
                return text;
            }
            if (status != 0) {
                EXPECT_EQ(text, "not enough memory") << "interpreter request " << n;
                ++raised;
            }
        }
        return "never completed";
    }
};

}  // namespace

TEST_F(InterpreterOutOfMemory, TextFunctionsReleaseBlocksListsAndDirectories)
{
    EXPECT_EQ(until_complete("local s = string.rep('\\0\\1\\2', 400)\n"
                             "return function() return #kemluautils.base64_encode(s) end"),
              "1600");
    EXPECT_EQ(until_complete("local s = string.rep('Zm9v', 300)\n"
                             "return function() return kemluautils.base64_decode(s):sub(1, 6) end"),
              "foofoo");
    EXPECT_EQ(until_complete("local s = string.rep('piece,', 200)\n"
                             "return function() return #kemluautils.string_split(s, ',') end"),
              "200");
    EXPECT_EQ(until_complete("local t = {} for i = 1, 200 do t[i] = i + 0.5 end\n"
                             "return function() return #kemluautils.string_join(t, ';') end"),
              "1091");
    EXPECT_EQ(until_complete("return function() return #kemluautils.list_filenames('" KEM_SOURCE_DIR
                             "/tests/native') > 3 and 'ok' or 'few' end"),
              "ok");
}

TEST_F(InterpreterOutOfMemory, MacAddressListsAreReleased)
{
    EXPECT_EQ(until_complete(R"(
      local k = kemluautils
      local list = {}
      for i = 1, 30 do list[i] = ("02:00:00:00:00:%02x"):format(i) end
      list[31] = 112233445566  -- becomes a text only inside the walk
      local text = table.concat(list, ",")
      return function()
        assert(#k.macaddrlist_parse(text, ",") == 31)
        assert(#k.macaddrlist_string(list, ", ") == 31 * 19 - 2)
        assert(#k.macaddrlist_remove_macaddr(list, "020000000001") == 30)
        return #k.macaddrlist_append_macaddr_unique(list, "0200.0000.0099")
      end)"),
              "32");
}

TEST_F(InterpreterOutOfMemory, EscapeAndJsonReleaseTheirBuffersAndParser)
{
    EXPECT_EQ(until_complete("local s = string.rep('&', 3000)\n"
                             "return function() return #esc(s, false) end",
                             true),
              "9000");
    // ASan's leak check covers yajl's own blocks.
    EXPECT_EQ(until_complete(R"(
      local text = '{"list": [{"name": "a", "id": 1}, {"name": "b", "id": 2.5}],'
        .. ' "flags": [true, false], "nested": {"x": {"y": ["z"]}}}'
      return function() local t = parse(text) return t.list[2].name .. t.nested.x.y[1] end)",
                             true),
              "bz");
}
