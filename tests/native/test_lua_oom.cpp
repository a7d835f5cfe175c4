// The interpreter turning against a function of the module while it holds a
// block, a list, an open directory, a parser, an endpoint or registry
// references: its allocator failing (the error reaches the caller as "not
// enough memory"), or a hook that calls the library again. Either way the
// result is right or the error clean, and nothing is left behind. (Our own
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

/* fmt(text): kemluautils_pushfstring's "text=42". */
int fmt(lua_State *L)
{
    kemluautils_pushfstring(L, "%s=%d", luaL_checkstring(L, 1), 42);
    return 1;
}

/* A chunk that returns a function calling what holds something, and the
   text of that function's result. */
struct Holder {
    const char *name;
    const char *chunk;
    const char *result;
    bool persistent = false; /* fail every request from the nth on, not the nth only */
};

const Holder holders[] = {
    {"base64_encode", "local s = string.rep('\\0\\1\\2', 400)\n"
                      "return function() return #kemluautils.base64_encode(s) end", "1600"},
    {"base64_decode", "local s = string.rep('Zm9v', 300)\n"
                      "return function() return kemluautils.base64_decode(s):sub(1, 6) end", "foofoo"},
    {"string_split", "local s = string.rep('piece,', 200)\n"
                     "return function() return #kemluautils.string_split(s, ',') end", "200"},
    {"string_join", "local t = {} for i = 1, 200 do t[i] = i + 0.5 end\n"
                    "return function() return #kemluautils.string_join(t, ';') end", "1091"},
    {"list_filenames", "return function() return #kemluautils.list_filenames('" KEM_SOURCE_DIR
                       "/tests/native') > 3 and 'ok' or 'few' end", "ok"},
    {"macaddrlist_*", R"(
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
      end)", "32"},
    {"RFC1630_Escape", "local s = string.rep('&', 3000)\n"
                       "return function() return #esc(s, false) end", "9000", true},
    // ASan's leak check covers yajl's own blocks.
    {"json2lua", R"(
      local text = '{"list": [{"name": "a", "id": 1}, {"name": "b", "id": 2.5}],'
        .. ' "flags": [true, false], "nested": {"x": {"y": ["z"]}}}'
      return function() local t = parse(text) return t.list[2].name .. t.nested.x.y[1] end)", "bz", true},
    {"getLocalizedText", "return function() return kemluautils.getLocalizedText(1) end", "Willkommen"},
    {"lua_unixtime2iso8601", "return function() return kemluautils.lua_unixtime2iso8601(86400) end",
     "1970-01-02T00:00:00"},
    {"kemluautils_pushfstring", "return function() return fmt('answer') end", "answer=42"},
    // the destination a number: its text is made while the record, the
    // endpoint and the value's reference are held
    {"qecmd", R"(
      return function()
        local got = {}
        local ok = kemluautils.qecmd(4711, 'count 3', function(d, v) got[#got + 1] = d .. v[1] end, {'+'})
        return tostring(ok) .. ' ' .. table.concat(got)
      end)", "true 1\n+2\n+3\n+"},
    {"replacement", R"(
      return function()
        local got = {}
        local function out(piece, v) got[#got + 1] = piece .. (v or '') end
        local r = kemluautils.replacement(12345, 'de', out, '/')
        return r .. kemluautils.replacement('<{{#1}}|{{device_name}}>', 'de', out, nil) .. table.concat(got)
      end)", "0012345/<Willkommen|Example Gateway 100>"},
};

class HostileInterpreter : public testing::Test {
protected:
    Budget budget;
    bool own_allocator = true;
    lua_State *L = nullptr;
    Peer peer{"4711"};

    void SetUp() override
    {
        L = lua_newstate(budget_alloc, &budget);
        if (!L) {  /* LuaJIT on x64 takes no allocator of ours */
            own_allocator = false;
            L = luaL_newstate();
        }
        luaL_openlibs(L);
        lua_pushcfunction(L, luaopen_libkemluautils);
        lua_call(L, 0, 0);
        lua_register(L, "parse", parse);
        lua_register(L, "esc", lua_rfc1630_escape);
        lua_register(L, "fmt", fmt);
        /* the registry's free list gets its head now: the first luaL_unref of
           a state allocates, and would raise under a failing allocator */
        lua_pushboolean(L, 1);
        luaL_unref(L, LUA_REGISTRYINDEX, luaL_ref(L, LUA_REGISTRYINDEX));
    }

    void TearDown() override
    {
        lua_close(L);
        EXPECT_TRUE(allocator_clean());
    }

    /* Runs the function that `chunk` returns with the nth growing interpreter
       request failing, n = 1, 2, ... until a run completes; each failed run
       must raise "not enough memory" (or complete) and leave no block, no
       descriptor and no registry reference. Returns the completed run's
       result as text. */
    std::string until_complete(const std::string &chunk, bool persistent)
    {
        if (luaL_loadstring(L, chunk.c_str()) || lua_pcall(L, 0, 1, 0))
            return "setup: " + error_text(L);
        size_t descriptors = open_descriptors();
        int refs = kem_registry_refs(L);
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
            EXPECT_TRUE(registry_clean(L, refs)) << "interpreter request " << n;
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

    /* Runs every holder's function under a hook (debug.sethook's mask and
       count) that calls all of them again, each time a C function is called
       (mask "c") or every `count` instructions; the results must stay. */
    void under_hook(const char *mask, int count)
    {
        lua_newtable(L);
        for (size_t i = 0; i < std::size(holders); ++i) {
            ASSERT_EQ(luaL_loadstring(L, holders[i].chunk) || lua_pcall(L, 0, 1, 0), 0) << error_text(L);
            lua_rawseti(L, -2, static_cast<int>(i + 1));
        }
        lua_setfield(L, LUA_GLOBALSINDEX, "holders");
        size_t descriptors = open_descriptors();
        int refs = kem_registry_refs(L);
        for (size_t i = 0; i < std::size(holders); ++i) {
            SCOPED_TRACE(holders[i].name);
            std::string chunk = std::string(R"(
              local mask, count, f = ...
              local function again()
                if mask == 'c' and debug.getinfo(2, 'S').what ~= 'C' then return end
                for _, g in ipairs(holders) do g() end
              end
              debug.sethook(again, mask, count)
              local ok, r = pcall(f)
              debug.sethook()
              assert(ok, r)
              return r)");
            ASSERT_EQ(luaL_loadstring(L, chunk.c_str()), 0);
            lua_pushstring(L, mask);
            lua_pushinteger(L, count);
            lua_getfield(L, LUA_GLOBALSINDEX, "holders");
            lua_rawgeti(L, -1, static_cast<int>(i + 1));
            lua_replace(L, -2);
            ASSERT_EQ(lua_pcall(L, 3, 1, 0), 0) << error_text(L);
            EXPECT_STREQ(lua_tostring(L, -1), holders[i].result);
            lua_pop(L, 1);
        }
        lua_pushnil(L);
        lua_setfield(L, LUA_GLOBALSINDEX, "holders");
        lua_gc(L, LUA_GCCOLLECT, 0);
        EXPECT_TRUE(allocator_clean());
        EXPECT_EQ(open_descriptors(), descriptors);
        EXPECT_TRUE(registry_clean(L, refs));
    }
};

}  // namespace

TEST_F(HostileInterpreter, OutOfMemoryReleasesWhatEachFunctionHolds)
{
    if (!own_allocator)
        GTEST_SKIP() << "this interpreter does not take an allocator of ours (LuaJIT on x64)";
    for (const Holder &h : holders)
        EXPECT_EQ(until_complete(h.chunk, h.persistent), h.result) << h.name;
}

TEST_F(HostileInterpreter, HooksThatCallTheLibraryWhileACallHoldsItsOwn)
{
    under_hook("c", 0);
    under_hook("", 1);
}
