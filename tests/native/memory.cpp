// Running out of memory and re-entering the library: the tagged allocator
// itself; every allocation of every function failing in turn (once, and
// from then on); the interpreter's own allocator failing while a function
// holds a block, a list, a directory, a parser, an endpoint or references;
// and hooks that call the library while a call holds its own. Each run ends
// in the documented outcome and leaves no block, descriptor or reference.
#include "support.h"

#include <yajl/yajl_gen.h>

#include <cstdarg>
#include <cstdlib>
#include <filesystem>
#include <regex>

namespace {

int format(char **out, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = mem_vasprintf(out, fmt, ap);
    va_end(ap);
    return n;
}

/* Native entry points as Lua functions, so that every case is a chunk. */
int parse(lua_State *L)  /* json2lua's table, or nil; the stack grows by one */
{
    int top = lua_gettop(L);
    if (json2lua(L, luaL_checkstring(L, 1), 16) != 0)
        lua_pushnil(L);
    EXPECT_EQ(lua_gettop(L), top + 1);
    return 1;
}
int write(lua_State *L)  /* lua2json's result and the stack's growth */
{
    yajl_gen gen = yajl_gen_alloc(nullptr);
    int top = lua_gettop(L), r = lua2json(L, gen, 4);
    yajl_gen_free(gen);
    lua_pushinteger(L, r);
    lua_pushinteger(L, lua_gettop(L) - top - 1);
    return 2;
}
int fmt(lua_State *L)
{
    kemluautils_pushfstring(L, "%s=%d", luaL_checkstring(L, 1), 42);
    return 1;
}
int iso(lua_State *L)
{
    char *text = unixtime2iso8601(luaL_checkinteger(L, 1));
    lua_pushstring(L, text);
    mem_free(text, KEM_TAG);
    return 1;
}

void open_library(lua_State *L)
{
    luaL_openlibs(L);
    lua_newtable(L);
    lua_setfield(L, LUA_GLOBALSINDEX, "kiv");
    lua_pushcfunction(L, luaopen_libkemluautils);
    lua_call(L, 0, 0);
    escape_init(L);  /* kiv.RFC1630_Escape, as kemlua installs it */
    lua_settop(L, 0);
    const luaL_Reg natives[] = {{"parse", parse}, {"write", write}, {"fmt", fmt}, {"iso", iso}, {nullptr, nullptr}};
    luaL_register(L, "_G", natives);
    lua_settop(L, 0);
}

/* Runs chunk protected: "error: MESSAGE", or its results as text, each a tostring. */
std::string outcome(lua_State *L, const std::string &chunk)
{
    int top = lua_gettop(L);
    std::string text;
    if (luaL_loadbuffer(L, chunk.data(), chunk.size(), "=sweep") || lua_pcall(L, 0, LUA_MULTRET, 0)) {
        text = "error: " + error_text(L);
    } else {
        lua_getglobal(L, "tostring");
        for (int i = top + 1; i < lua_gettop(L); ++i) {
            lua_pushvalue(L, -1);
            lua_pushvalue(L, i);
            lua_call(L, 1, 1);
            text += (i > top + 1 ? "," : "") + std::string(lua_tostring(L, -1));
            lua_pop(L, 1);
        }
    }
    lua_settop(L, top);
    return text;
}

/* A function of the library, and the outcomes allowed when an allocation fails. */
struct SweepCase {
    const char *chunk;
    const char *on_failure;  /* a regular expression */
};

const SweepCase sweep_cases[] = {
    {"return k.lua_unixtimefromdays(0), k.lua_unixtimefromcall('05.03.24 14:07', '1:30'), k.sha256('abc', 2), "
     "#k.list_filenames('" KEM_SOURCE_DIR "/examples') > 0, k.sleep(0), k.country_is_default(), k.country_is('de'), "
     "k.country_iso(), k.country(), k.oem(), k.language_is_default(), k.language(), k.predefinedurlget('help'), "
     "k.serialnumber()", "none"},
    {"return k.lua_unixtime2iso8601(86400)", "0001-01-01T00:00:00"},
    {"return iso(0)", "nil"},
    {"local got = '' local ok = k.qecmd('sweep', 'count 3', function(d) got = got .. d end, nil) return ok, got",
     "error: sweep:1: memory error|false,.*"},
    {"return k.base64_encode('hello, world'), k.base64_decode('aGVsbG8s IHdvcmxk')", "nil,hello, world|.*,nil"},
    {"local r = k.string_split('a,b;;c', ',;') return r and table.concat(r, '|'), "
     "k.string_join({'a', 'b', 3, x = 'y'}, '+')", "nil,.*|a\\|b\\|c,nil"},
    {"local r = k.macaddrlist_parse('aa:bb:cc:dd:ee:ff, 001122334455', ',') return r and table.concat(r, '|')", "nil"},
    {"return k.macaddrlist_string({'aa-bb-cc-dd-ee-ff', 'aabb.ccdd.eeff'}, ';')", "nil"},
    {"local r = k.macaddrlist_remove_macaddr({'aa:bb:cc:dd:ee:ff', '001122334455'}, '00:11:22:33:44:55') "
     "return r and table.concat(r, '|')", "nil"},
    {"local r = k.macaddrlist_append_macaddr_unique({'aa:bb:cc:dd:ee:ff'}, '00:11:22:33:44:55') "
     "return r and table.concat(r, '|')", "nil"},
    {"return k.getLocalizedText(2)", "nil"},
    {"local got = {} local r = k.replacement('<{{#1}}|{{device_name}}>', 'en', function(p) got[#got + 1] = p end, 7) "
     "return r, table.concat(got, '|')", "error: sweep:1: luautils_replacement\\(\\) malloc failed|1,.*"},
    {"return kiv.RFC1630_Escape(('&'):rep(40), false)", "&{40}"},
    {"return fmt('answer')", "nil"},
    {"local t = parse('{\"a\": [1, 2.5, \"x\", null, {\"b\": true}], \"c\": \"d\"}') return t and t.a[5].b",
     "nil"},
    {"return write({name = 'x', list = {1, 2.5, true}, [3] = 'n'})", "-1,0"},
};

}  // namespace

using Allocator = LuaTest;

TEST_F(Allocator, CountsListsZeroFillsAndRefusesOverflowingSizes)
{
    void *a = mem_malloc(10, "alpha.c", 7);
    auto *b = static_cast<unsigned char *>(mem_calloc(3, 4, "beta.c", 12));
    char *c = mem_strdup("hello", "gamma.c", 99);
    EXPECT_EQ(mem_live_blocks(), 3u);
    EXPECT_EQ(mem_live_bytes(), 28u);
    EXPECT_EQ(std::string(b, b + 12), std::string(12, '\0'));
    EXPECT_STREQ(c, "hello");
    mem_free(b, KEM_TAG);
    char *report = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&report, &size);
    EXPECT_EQ(mem_report(out), 2u);
    std::fclose(out);
    EXPECT_STREQ(report, "alpha.c:7 10\ngamma.c:99 6\n");
    std::free(report);
    mem_free(a, KEM_TAG);
    mem_free_text(&c);
    EXPECT_EQ(c, nullptr);
    mem_free(nullptr, KEM_TAG);
    EXPECT_EQ(mem_calloc(SIZE_MAX / 2, 4, KEM_TAG), nullptr);
    EXPECT_EQ(mem_malloc(SIZE_MAX - 8, KEM_TAG), nullptr);
    EXPECT_EQ(format(&c, "%s-%d", "abc", 42), 6);
    EXPECT_STREQ(c, "abc-42");
    mem_free(c, KEM_TAG);
    alignas(16) static char foreign[128];
    EXPECT_DEATH(mem_free(foreign + 64, "x.c", 9), "at x.c:9 is not a live block");
}

TEST_F(Allocator, FailsTheNthRequestOnceOrFromThenOn)
{
    mem_fail_at(2, 0);
    void *first = mem_malloc(1, KEM_TAG), *second = mem_malloc(1, KEM_TAG), *third = mem_strdup("x", KEM_TAG);
    EXPECT_TRUE(first && !second && third);
    EXPECT_EQ(mem_failures(), 1u);
    mem_fail_at(1, 1);
    char *text = reinterpret_cast<char *>(1);
    EXPECT_EQ(format(&text, "%d", 1), -1);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(mem_calloc(1, 1, KEM_TAG), nullptr);
    EXPECT_EQ(mem_failures(), 2u);
    mem_fail_off();
    mem_free(first, KEM_TAG);
    mem_free(third, KEM_TAG);
}

TEST_F(Allocator, EveryAllocationPointOfEveryFunction)
{
    Peer peer("sweep");
    open_library(L);
    ASSERT_EQ(run("k = kemluautils"), "");
    unsigned long total = 0;
    for (const SweepCase &c : sweep_cases) {
        SCOPED_TRACE(c.chunk);
        std::string clean = outcome(L, c.chunk);
        ASSERT_TRUE(allocator_clean());
        for (int persistent = 0; persistent <= 1; ++persistent) {
            for (unsigned long n = 1;; ++n) {
                int top = lua_gettop(L);
                mem_fail_at(n, persistent);
                std::string o = outcome(L, c.chunk);
                unsigned long hit = mem_failures();
                mem_fail_off();
                ASSERT_EQ(lua_gettop(L), top) << "allocation " << n;
                ASSERT_TRUE(allocator_clean()) << "allocation " << n;
                ASSERT_EQ(registry_refs(L), refs_at_start) << "allocation " << n;
                if (hit == 0) {
                    EXPECT_EQ(o, clean) << "a run without failure differs";
                    break;
                }
                EXPECT_TRUE(std::regex_match(o, std::regex(c.on_failure))) << o << " at allocation " << n;
                total += !persistent;
            }
        }
    }
    std::printf("sweep: %lu allocation points reached in all\n", total);
    EXPECT_EQ(run("assert(k.lua_unixtime2iso8601(0) == '1970-01-01T00:00:00')"), "");
}

namespace {

/* A Lua allocator that fails the nth growing request from arming: that one
   only, or (persistent) every one from it on. */
struct Budget {
    long countdown = 0;
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
    auto entries = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<size_t>(std::distance(begin(entries), end(entries)));
}

/* Chunks that return a function calling what holds something, its result, and
   whether the interpreter's failures are to persist. */
struct Holder {
    const char *chunk;
    const char *result;
    bool persistent = false;
};

const Holder holders[] = {
    {"local s = ('\\0\\1\\2'):rep(400) return function() return #kemluautils.base64_encode(s) end", "1600"},
    {"local s = ('Zm9v'):rep(300) return function() return kemluautils.base64_decode(s):sub(1, 6) end", "foofoo"},
    {"local s = ('piece,'):rep(200) return function() return #kemluautils.string_split(s, ',') end", "200"},
    {"local t = {} for i = 1, 200 do t[i] = i + 0.5 end return function() return #kemluautils.string_join(t, ';') end",
     "1091"},
    {"return function() return #kemluautils.list_filenames('" KEM_SOURCE_DIR "/tests/native') > 3 and 'ok' end", "ok"},
    {R"(local k, list = kemluautils, {}
        for i = 1, 30 do list[i] = ("02:00:00:00:00:%02x"):format(i) end
        list[31] = 112233445566  -- a text only inside the walk
        local text = table.concat(list, ",")
        return function()
          assert(#k.macaddrlist_parse(text, ",") == 31 and #k.macaddrlist_string(list, ", ") == 31 * 19 - 2)
          assert(#k.macaddrlist_remove_macaddr(list, "020000000001") == 30)
          return #k.macaddrlist_append_macaddr_unique(list, "0200.0000.0099")
        end)", "32"},
    {"local s = ('&'):rep(3000) return function() return #kiv.RFC1630_Escape(s, false) end", "9000", true},
    {R"(local text = '{"list": [{"name": "a", "id": 1}, {"name": "b", "id": 2.5}], "flags": [true, false],'
          .. ' "nested": {"x": {"y": ["z"]}}}'
        return function() local t = parse(text) return t.list[2].name .. t.nested.x.y[1] end)", "bz", true},
    {"return function() return kemluautils.getLocalizedText(1) end", "Willkommen"},
    {"return function() return kemluautils.lua_unixtime2iso8601(86400) end", "1970-01-02T00:00:00"},
    {"return function() return fmt('answer') end", "answer=42"},
    // a number as destination: its text is made while the record, the endpoint and a reference are held
    {R"(return function()
          local got = {}
          local ok = kemluautils.qecmd(4711, 'count 3', function(d, v) got[#got + 1] = d .. v[1] end, {'+'})
          return tostring(ok) .. ' ' .. table.concat(got)
        end)", "true 1\n+2\n+3\n+"},
    {R"(return function()
          local got = {}
          local function out(piece, v) got[#got + 1] = piece .. (v or '') end
          local r = kemluautils.replacement(12345, 'de', out, '/')
          return r .. kemluautils.replacement('<{{#1}}|{{device_name}}>', 'de', out, nil) .. table.concat(got)
        end)", "0012345/<Willkommen|Example Gateway 100>"},
};

class HostileInterpreter : public testing::Test {
protected:
    Budget budget;
    lua_State *L = nullptr;
    Peer peer{"4711"};
    size_t descriptors = 0;
    int refs = 0;
    bool failed = false;  /* an interpreter request failed in the last call */

    void SetUp() override
    {
        L = lua_newstate(budget_alloc, &budget);
        if (!L)  /* LuaJIT on x64 takes no allocator of ours */
            L = luaL_newstate();
        open_library(L);
        /* the registry's free list gets its head now: the first luaL_unref of
           a state allocates, and would raise under a failing allocator */
        lua_pushboolean(L, 1);
        luaL_unref(L, LUA_REGISTRYINDEX, luaL_ref(L, LUA_REGISTRYINDEX));
        lua_newtable(L);
        for (size_t i = 0; i < std::size(holders); ++i) {
            ASSERT_EQ(luaL_loadstring(L, holders[i].chunk) || lua_pcall(L, 0, 1, 0), 0) << error_text(L);
            lua_rawseti(L, -2, static_cast<int>(i + 1));
        }
        lua_setglobal(L, "holders");
        descriptors = open_descriptors();
        refs = registry_refs(L);
    }
    void TearDown() override
    {
        lua_gc(L, LUA_GCCOLLECT, 0);
        EXPECT_TRUE(allocator_clean());
        EXPECT_EQ(open_descriptors(), descriptors);
        EXPECT_EQ(registry_refs(L), refs);
        lua_close(L);
    }

    /* Calls holder i by way of chunk (given the holder), the interpreter on
       budget b; its result or error. */
    std::string call(const char *chunk, size_t i, Budget b = {})
    {
        luaL_loadstring(L, chunk);
        lua_getglobal(L, "holders");
        lua_rawgeti(L, -1, static_cast<int>(i + 1));
        lua_replace(L, -2);
        budget = b;
        int status = lua_pcall(L, 1, 1, 0);
        b = budget;
        budget = Budget{};
        failed = b.failed;
        std::string text = status ? "error: " + error_text(L) : lua_tostring(L, -1) ? lua_tostring(L, -1) : "nil";
        lua_pop(L, 1);
        return text;
    }
};

}  // namespace

TEST_F(HostileInterpreter, OutOfMemoryReleasesWhatEachFunctionHolds)
{
    if (lua_getallocf(L, nullptr) != budget_alloc)
        GTEST_SKIP() << "this interpreter does not take an allocator of ours (LuaJIT on x64)";
    for (size_t i = 0; i < std::size(holders); ++i) {
        SCOPED_TRACE(holders[i].chunk);
        long raised = 0;
        for (long n = 1;; ++n) {
            std::string text = call("return (...)()", i, Budget{n, holders[i].persistent, false});
            lua_gc(L, LUA_GCCOLLECT, 0);
            ASSERT_TRUE(allocator_clean()) << "interpreter request " << n;
            ASSERT_EQ(open_descriptors(), descriptors) << "interpreter request " << n;
            ASSERT_EQ(registry_refs(L), refs) << "interpreter request " << n;
            if (!failed) {
                EXPECT_EQ(text, holders[i].result);
                EXPECT_GT(raised, 0) << "no interpreter request failed";
                break;
            }
            if (text.starts_with("error: ")) {
                EXPECT_EQ(text, "error: not enough memory") << "interpreter request " << n;
                ++raised;
            }
        }
    }
}

TEST_F(HostileInterpreter, HooksThatCallTheLibraryWhileACallHoldsItsOwn)
{
    // every function again each time a C function is called, then every instruction
    for (const char *hook : {"'c', 0", "'', 1"}) {
        std::string chunk = std::string("local f = ... debug.sethook(function(event)\n"
            "  if event ~= 'call' or debug.getinfo(2, 'S').what == 'C' then for _, g in ipairs(holders) do g() end end\n"
            "end, ") + hook + ") local ok, r = pcall(f) debug.sethook() assert(ok, r) return r";
        for (size_t i = 0; i < std::size(holders); ++i)
            EXPECT_EQ(call(chunk.c_str(), i), holders[i].result) << holders[i].chunk << " with " << hook;
    }
}
