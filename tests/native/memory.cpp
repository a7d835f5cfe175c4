// Memory running out and the library re-entered: every allocation of every
// function failing in turn, then the interpreter's; hooks that call the library
// meanwhile. The outcome is the documented one and nothing is left behind.
#include "support.h"

#include <yajl/yajl_gen.h>

#include <cstdarg>
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

/* A function of the library (a Lua expression list) and, as a regular
   expression, the outcomes allowed when one of our allocations fails. */
struct Case {
    const char *call;
    const char *on_failure;
    bool persistent = false;  /* the interpreter's failures persist */
    bool on_luajit = true;    /* the interpreter's sweep runs on LuaJIT too */
};

const Case cases[] = {
    {"k.lua_unixtimefromdays(0), k.lua_unixtimefromcall('05.03.24 14:07', '1:30'), k.sha256('abc', 2), k.sleep(0), "
     "#k.list_filenames('" KEM_SOURCE_DIR "/tests') > 3, k.country_is_default(), k.country_is('de'), k.country_iso(), "
     "k.country(), k.oem(), k.language_is_default(), k.language(), k.predefinedurlget('help'), k.serialnumber()",
     "never"},
    {"k.lua_unixtime2iso8601(86400)", "0001-01-01T00:00:00"},
    {"qecmd(4711, 'count 3')", "error: .*: memory error|false .*"},
    {"k.base64_encode(('\\0\\1\\2'):rep(400)), k.base64_decode(('Zm9v'):rep(300))", "nil,.*|.*,nil"},
    {"#k.string_split(('piece,'):rep(200), ','), k.string_join({'a', 1.5, 3, x = 'y'}, '+')",
     "error: .* attempt to get length of a nil value|.*,nil"},
    {"macs(('02:00:00:00:00:%02x,'):rep(30):format(unpack(numbers)) .. '112233445566')",
     "error: .* attempt to get length of a nil value|.*nil.*"},
    {"k.getLocalizedText(2)", "nil"},
    {"replacement(12345, 'de', '/'), replacement('<{{#1}}|{{device_name}}>', 'de', nil)",
     "error: .*: luautils_replacement\\(\\) malloc failed|0 12345/,1 .*"},
    {"kiv.RFC1630_Escape(('&'):rep(40), false)", "&{40}", true},
    {"fmt('answer')", "nil"},
    {"parse('{\"a\": [1, 2.5, \"x\", null, {\"b\": true}], \"c\": \"d\"}').a[4].b",
     "error: .* attempt to index a nil value", true},
    {"write({name = 'x', list = {1, 2.5, true}, [3] = 'n'})", "-1,0"},
    /* results beyond a luaL_Buffer, pushed guarded; a join of strings alone.
       Debian's LuaJIT 2.1 crashes in its unwinder when its allocator fails
       in these chunks (the library's code or not): its sweep leaves them out */
    {"#(k.base64_encode(bytes6300) or '')", "0", false, false},
    {"k.string_join({'p', 'q'}, '-'), #k.string_join({('x'):rep(9000), 'y'}, '-')",
     "nil,.*|error: .* attempt to get length of a nil value", false, false},
};

/* Native entry points as Lua functions, so that every case is a chunk. */
const luaL_Reg natives[] = {
    {"parse", [](lua_State *L) -> int {  /* json2lua's table or nil; one value pushed */
        int top = lua_gettop(L);
        if (json2lua(L, luaL_checkstring(L, 1), 16) != 0)
            lua_pushnil(L);
        EXPECT_EQ(lua_gettop(L), top + 1);
        return 1; }},
    {"write", [](lua_State *L) -> int {  /* lua2json's result and how much the stack grew */
        yajl_gen gen = yajl_gen_alloc(nullptr);
        int top = lua_gettop(L), r = lua2json(L, gen, 4);
        yajl_gen_free(gen);
        lua_pushinteger(L, r);
        lua_pushinteger(L, lua_gettop(L) - top - 1);
        return 2; }},
    {"fmt", [](lua_State *L) -> int { return kemluautils_pushfstring(L, "%s=%d", luaL_checkstring(L, 1), 42), 1; }},
    {nullptr, nullptr},
};

const char helpers[] = R"(
  k, numbers, bytes6300 = kemluautils, {}, ('\0\1\2'):rep(2100)
  for i = 1, 30 do numbers[i] = i end
  function text(...)  -- the results, each as tostring gives it
    local t = {...}
    for i = 1, select('#', ...) do t[i] = tostring(t[i]) end
    return table.concat(t, ',')
  end
  function qecmd(destination, command)
    local got = {}
    local ok = k.qecmd(destination, command, function(d, v) got[#got + 1] = d .. v[1] end, {'+'})
    return tostring(ok) .. ' ' .. table.concat(got)
  end
  function replacement(template, language, value)
    local got = {}
    local r = k.replacement(template, language, function(p, v) got[#got + 1] = p .. (v or '') end, value)
    return r .. ' ' .. table.concat(got, '|')
  end
  function macs(text)
    local list = k.macaddrlist_parse(text, ',')
    list[#list + 1] = 112233445566  -- a text only inside the walk
    return #list, k.macaddrlist_string(list, ', '), #k.macaddrlist_remove_macaddr(list, '020000000001'),
      #k.macaddrlist_append_macaddr_unique(list, '0200.0000.0099')
  end)";

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

class Hostile : public testing::Test {
protected:
    Budget budget;
    lua_State *L = nullptr;
    Peer peer{"4711"};
    size_t descriptors = 0;
    int refs = 0;
    std::vector<std::string> clean;  /* each case's outcome when nothing fails */

    void SetUp() override
    {
        L = lua_newstate(budget_alloc, &budget);
        if (!L)  /* LuaJIT on x64 takes no allocator of ours */
            L = luaL_newstate();
        open_module(L);
        escape_init(L);  /* kiv.RFC1630_Escape, as kemlua installs it */
        luaL_register(L, "_G", natives);
        lua_settop(L, 0);
        ASSERT_EQ(luaL_dostring(L, helpers), 0) << error_text(L);
        /* The registry gets room for the references of the calls now, and its
           free list its head (the first luaL_unref of a state allocates):
           later references reuse free slots, so the registry never grows
           under a failing allocator. Lua 5.1 grows a table's array part
           before it allocates the new hash part; when that allocation fails,
           integer keys left in the old hash part get duplicates, and
           lua_next over the table never ends (fixed in Lua 5.4). */
        int reserved[16];
        for (int &ref : reserved) {
            lua_pushboolean(L, 1);
            ref = luaL_ref(L, LUA_REGISTRYINDEX);
        }
        for (int ref : reserved)
            luaL_unref(L, LUA_REGISTRYINDEX, ref);
        lua_newtable(L);  /* all[i + 1] = function() return text(CALL) end */
        lua_pushvalue(L, 1);
        lua_setglobal(L, "all");
        for (const Case &c : cases) {
            std::string chunk = std::string("return text(") + c.call + ")";
            ASSERT_EQ(luaL_loadbuffer(L, chunk.data(), chunk.size(), "=sweep"), 0) << error_text(L);
            lua_rawseti(L, 1, static_cast<int>(clean.size() + 1));
            clean.push_back(outcome(clean.size()));
            EXPECT_FALSE(clean.back().starts_with("error")) << clean.back();
        }
        lua_settop(L, 0);
        descriptors = open_descriptors();
        refs = registry_refs(L);
    }
    void TearDown() override { lua_close(L); }

    /* Runs case i (through `chunk`, which gets all[i + 1]) with the
       interpreter on budget b: its results, or "error: " and its message. */
    std::string outcome(size_t i, Budget b = {}, const char *chunk = "return all[...]()")
    {
        luaL_loadstring(L, chunk);
        lua_pushinteger(L, static_cast<lua_Integer>(i + 1));
        budget = b;
        int status = lua_pcall(L, 1, 1, 0);
        budget = Budget{0, false, budget.failed};
        std::string text = (status ? "error: " : "") + error_text(L);
        lua_pop(L, 1);
        lua_gc(L, LUA_GCCOLLECT, 0);
        return text;
    }
    void clean_after(const std::string &what)
    {
        ASSERT_TRUE(allocator_clean()) << what;
        ASSERT_EQ(open_descriptors(), descriptors) << what;
        ASSERT_EQ(registry_refs(L), refs) << what;
        ASSERT_EQ(lua_gettop(L), 0) << what;
    }
};

}  // namespace

TEST(Allocator, FormatsReleasesAndRefusesForeignBlocks)
{
    char *c = nullptr;
    EXPECT_EQ(format(&c, "%s", ""), 0);
    EXPECT_STREQ(c, "");
    mem_free_text(&c);
    EXPECT_TRUE(c == nullptr && allocator_clean());
    alignas(16) static char foreign[128];
    EXPECT_DEATH(mem_free(foreign + 64, "x.c", 9), "at x.c:9 is not a live block");
}

TEST_F(Hostile, EveryAllocationOfEveryFunctionFailingInTurn)
{
    for (size_t i = 0; i < std::size(cases); ++i) {
        for (int persistent = 0; persistent <= 1; ++persistent) {
            for (unsigned long n = 1;; ++n) {
                mem_fail_at(n, persistent);
                std::string o = outcome(i);
                unsigned long hit = mem_failures();
                mem_fail_off();
                clean_after(std::string(cases[i].call) + " at allocation " + std::to_string(n));
                if (hit == 0) {
                    EXPECT_EQ(o, clean[i]) << cases[i].call;
                    break;
                }
                EXPECT_TRUE(std::regex_match(o, std::regex(cases[i].on_failure))) << o << " at " << n;
            }
        }
    }
}

TEST_F(Hostile, TheInterpretersAllocatorFailingInTurn)
{
    if (lua_getallocf(L, nullptr) != budget_alloc)
        GTEST_SKIP() << "this interpreter does not take an allocator of ours (LuaJIT on x64)";
    bool luajit = outcome(0, {}, "return tostring(jit ~= nil)") == "true";
    for (size_t i = 0; i < std::size(cases); ++i) {
        if (luajit && !cases[i].on_luajit)
            continue;
        for (long n = 1;; ++n) {
            std::string o = outcome(i, Budget{n, cases[i].persistent, false});
            clean_after(std::string(cases[i].call) + " at interpreter request " + std::to_string(n));
            if (!budget.failed) {
                EXPECT_EQ(o, clean[i]) << cases[i].call;
                EXPECT_GT(n, 1) << "no interpreter request failed";
                break;
            }
            EXPECT_TRUE(o == clean[i] || o == "error: not enough memory") << o;
        }
    }
}

TEST_F(Hostile, HooksThatCallTheLibraryWhileACallHoldsItsOwn)
{
    // every case again each time a C function is called, then every instruction
    for (const char *hook : {"'c', 0", "'', 1"}) {
        std::string chunk = std::string("local f = all[...] debug.sethook(function(event)\n"
            "  if event ~= 'call' or debug.getinfo(2, 'S').what == 'C' then for _, g in ipairs(all) do g() end end\n"
            "end, ") + hook + ") local ok, r = pcall(f) debug.sethook() return ok and r or error(r, 0)";
        for (size_t i = 0; i < std::size(cases); ++i)
            EXPECT_EQ(outcome(i, {}, chunk.c_str()), clean[i]) << cases[i].call << " under the hook " << hook;
    }
}

TEST_F(Hostile, HooksThatCallTheLibrarysOwnWorkers)
{
    // the workers of guarded calls lie in the registry: a hook that calls them while a call
    // runs one gets an error at most, never another run's job
    const char *chunk = "local f, workers = all[...], {}\n"
        "for k, w in pairs(debug.getregistry()) do\n"
        "  if type(k) == 'userdata' and type(w) == 'function' and debug.getinfo(w, 'S').what == 'C' then\n"
        "    workers[#workers + 1] = w\n"
        "  end\n"
        "end\n"
        "debug.sethook(function() for _, w in ipairs(workers) do pcall(w, io.stdout, 'x', 1) pcall(w, nil, 5) end end, 'c')\n"
        "local ok, r = pcall(f) debug.sethook() return ok and r or error(r, 0)";
    // what a script puts in the registry in place of the workers and their box is replaced, never used
    const char *replaced = "local f, R, n = all[...], debug.getregistry(), 0\n"
        "for k, v in pairs(R) do\n"
        "  if type(k) == 'userdata' and (type(v) == 'function' or type(v) == 'userdata') then\n"
        "    n = n + 1\n"
        "    R[k] = type(v) == 'userdata' and io.stdout or n % 2 == 0 and 5 or print\n"
        "  end\n"
        "end\n"
        "return f()";
    for (size_t i = 0; i < std::size(cases); ++i) {
        std::string o = outcome(i, {}, chunk);
        EXPECT_TRUE(o == clean[i] || o.find("guarded call out of place") != std::string::npos) << cases[i].call << ": " << o;
        clean_after(cases[i].call);
        EXPECT_EQ(outcome(i, {}, replaced), clean[i]) << cases[i].call;
        clean_after(cases[i].call);
    }
}
