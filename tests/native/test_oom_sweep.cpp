// Allocation-failure sweep: every function is run again and again with the
// 1st, 2nd, 3rd... allocation of the call failing (once, and from then on),
// until a run makes no allocation that injection reaches. Each run must end
// in the outcome the function documents for that failure, with no live
// block, no registry reference left and the Lua stack as documented.
#include "support.h"

#include <functional>
#include <vector>

namespace {

/* What a call left behind: its status, its error or its results as text. */
struct Outcome {
    bool ok = false;
    std::string error;
    std::string results;  /* "type:value" of each result, comma-separated */
};

std::string describe(lua_State *L, int idx)
{
    std::string s = luaL_typename(L, idx);
    if (lua_type(L, idx) == LUA_TSTRING || lua_type(L, idx) == LUA_TNUMBER) {
        size_t n = 0;
        const char *text = lua_tolstring(L, idx, &n);
        s += ":" + std::string(text, n);
    } else if (lua_type(L, idx) == LUA_TBOOLEAN) {
        s += lua_toboolean(L, idx) ? ":true" : ":false";
    }
    return s;
}

/* Runs a Lua chunk protected; the stack must end where it began. */
Outcome run_chunk(lua_State *L, const std::string &chunk)
{
    Outcome o;
    int top = lua_gettop(L);
    if (luaL_loadbuffer(L, chunk.data(), chunk.size(), "=sweep") != 0 ||
        lua_pcall(L, 0, LUA_MULTRET, 0) != 0) {
        o.error = error_text(L);
    } else {
        o.ok = true;
        for (int i = top + 1; i <= lua_gettop(L); ++i)
            o.results += (i > top + 1 ? "," : "") + describe(L, i);
    }
    lua_settop(L, top);
    return o;
}

struct SweepCase {
    const char *name;
    std::function<Outcome(lua_State *)> call;
    /* Checks a run in which injection made an allocation fail. */
    std::function<testing::AssertionResult(const Outcome &)> on_failure;
};

testing::AssertionResult expect_results(const Outcome &o, const std::string &results)
{
    if (o.ok && o.results == results)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "expected " << results << ", got "
                                       << (o.ok ? o.results : "error " + o.error);
}

SweepCase lua_case(const char *name, std::string chunk, std::string failure_results)
{
    return {name, [chunk](lua_State *L) { return run_chunk(L, chunk); },
            [failure_results](const Outcome &o) { return expect_results(o, failure_results); }};
}

std::vector<SweepCase> sweep_cases()
{
    return {
        lua_case("lua_unixtime2iso8601", "return kemluautils.lua_unixtime2iso8601(86400)",
                 "string:0001-01-01T00:00:00"),
        lua_case("lua_unixtimefromcall", "return kemluautils.lua_unixtimefromcall('05.03.24 14:07', '1:30')",
                 "number:1709653020"),
        lua_case("lua_unixtimefromdays", "return kemluautils.lua_unixtimefromdays(0)", "number:0"),
        {"unixtime2iso8601",
         [](lua_State *) {
             Outcome o;
             char *text = unixtime2iso8601(0);
             o.ok = true;
             o.results = text ? text : "(null)";
             mem_free(text, KEM_TAG);
             return o;
         },
         [](const Outcome &o) { return expect_results(o, "(null)"); }},
    };
}

class Sweep : public LuaTest {};

}  // namespace

TEST_F(Sweep, EveryAllocationPointOfEveryFunction)
{
    setenv("TZ", "UTC", 1);
    tzset();
    unsigned long total = 0;
    for (const SweepCase &c : sweep_cases()) {
        SCOPED_TRACE(c.name);
        Outcome clean = c.call(L);
        ASSERT_TRUE(clean.ok) << clean.error;
        ASSERT_TRUE(allocator_clean());
        unsigned long points = 0;
        for (int persistent = 0; persistent <= 1; ++persistent) {
            for (unsigned long n = 1;; ++n) {
                int top = lua_gettop(L);
                mem_fail_at(n, persistent);
                Outcome o = c.call(L);
                unsigned long hit = mem_failures();
                mem_fail_off();
                ASSERT_EQ(lua_gettop(L), top) << "stack changed at allocation " << n;
                ASSERT_TRUE(allocator_clean()) << "allocation " << n;
                ASSERT_TRUE(registry_clean(L, refs_at_start)) << "allocation " << n;
                if (hit == 0) {
                    EXPECT_EQ(o.results, clean.results) << "a run without failure differs";
                    break;
                }
                EXPECT_TRUE(c.on_failure(o)) << "allocation " << n << (persistent ? " onwards" : "");
                if (!persistent)
                    ++points;
            }
        }
        std::printf("sweep: %-36s %lu allocation point(s)\n", c.name, points);
        total += points;
    }
    std::printf("sweep: %lu allocation points reached in all\n", total);
    // the interpreter still works after every failure
    EXPECT_EQ(run("assert(kemluautils.lua_unixtime2iso8601(0) == '1970-01-01T00:00:00')"), "");
}
