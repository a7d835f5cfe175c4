// Allocation-failure sweep: every function is run again and again with the
// 1st, 2nd, 3rd... allocation of the call failing (once, and from then on),
// until a run makes no allocation that injection reaches. Each run must end
// in the outcome the function documents for that failure, with no live
// block, no registry reference left and the Lua stack as documented.
#include "support.h"

#include <functional>
#include <string>
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
        s.append(":").append(text, n);
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
            o.results.append(i > top + 1 ? "," : "").append(describe(L, i));
    }
    lua_settop(L, top);
    return o;
}

/* Accepts a failure run's outcome, or says what is wrong with it. */
using Judge = std::function<testing::AssertionResult(const Outcome &)>;

struct SweepCase {
    const char *name;
    std::function<Outcome(lua_State *)> call;
    Judge on_failure;  /* checks a run in which an allocation failed */
};

testing::AssertionResult judged(bool ok, const Outcome &o)
{
    if (ok)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "unexpected outcome: "
                                       << (o.ok ? "results " + o.results : "error " + o.error);
}

/* The failure outcome is exactly these results. */
Judge gives(std::string results)
{
    return [results](const Outcome &o) { return judged(o.ok && o.results == results, o); };
}

/* The failure outcome is this error, raised behind the chunk's position. */
Judge raises(std::string message)
{
    return [message](const Outcome &o) { return judged(!o.ok && o.error == "sweep:1: " + message, o); };
}

Judge either(Judge a, Judge b)
{
    return [a, b](const Outcome &o) { return a(o) ? a(o) : b(o); };
}

/* The failure outcome's results start with this text. */
Judge starts(std::string prefix)
{
    return [prefix](const Outcome &o) {
        return judged(o.ok && o.results.compare(0, prefix.size(), prefix) == 0, o);
    };
}

SweepCase lua_case(const char *name, std::string chunk, Judge on_failure)
{
    return {name, [chunk](lua_State *L) { return run_chunk(L, chunk); }, on_failure};
}

const char collect_cb[] = "local got = {} local function cb(piece, v) got[#got + 1] = piece end ";

std::vector<SweepCase> sweep_cases()
{
    const std::string escapes(40, '&');
    return {
        lua_case("lua_unixtimefromdays", "return kemluautils.lua_unixtimefromdays(0)", gives("number:0")),
        lua_case("lua_unixtimefromcall", "return kemluautils.lua_unixtimefromcall('05.03.24 14:07', '1:30')",
                 gives("number:1709653020")),
        lua_case("lua_unixtime2iso8601", "return kemluautils.lua_unixtime2iso8601(86400)",
                 gives("string:0001-01-01T00:00:00")),
        lua_case("qecmd", std::string(collect_cb) +
                     "local ok = kemluautils.qecmd('sweep', 'count 3', cb, nil) return ok, table.concat(got)",
                 either(raises("memory error"), starts("boolean:false,string:"))),
        lua_case("base64_encode", "return kemluautils.base64_encode('hello, world')", gives("nil")),
        lua_case("base64_decode", "return kemluautils.base64_decode('aGVsbG8s IHdvcmxk')", gives("nil")),
        lua_case("sha256", "return kemluautils.sha256('abc', 2)", gives("")),
        lua_case("string_split", "local r = kemluautils.string_split('a,b;;c', ',;') return r and table.concat(r, '|')",
                 gives("nil")),
        lua_case("string_join", "return kemluautils.string_join({'a', 'b', 3, x = 'y'}, '+')", gives("nil")),
        lua_case("list_filenames", "return #kemluautils.list_filenames('" KEM_SOURCE_DIR "/examples') > 0",
                 gives("")),
        lua_case("macaddrlist_parse",
                 "local r = kemluautils.macaddrlist_parse('aa:bb:cc:dd:ee:ff, 001122334455', ',') "
                 "return r and table.concat(r, '|')",
                 gives("nil")),
        lua_case("macaddrlist_string",
                 "return kemluautils.macaddrlist_string({'aa-bb-cc-dd-ee-ff', 'aabb.ccdd.eeff'}, ';')",
                 gives("nil")),
        lua_case("macaddrlist_remove_macaddr",
                 "local r = kemluautils.macaddrlist_remove_macaddr({'aa:bb:cc:dd:ee:ff', '001122334455'}, "
                 "'00:11:22:33:44:55') return r and table.concat(r, '|')",
                 gives("nil")),
        lua_case("macaddrlist_append_macaddr_unique",
                 "local r = kemluautils.macaddrlist_append_macaddr_unique({'aa:bb:cc:dd:ee:ff'}, "
                 "'00:11:22:33:44:55') return r and table.concat(r, '|')",
                 gives("nil")),
        lua_case("sleep", "return kemluautils.sleep(0)", gives("")),
        lua_case("environment",
                 "local k = kemluautils return k.country_is_default(), k.country_is('de'), k.country_iso(), "
                 "k.country(), k.oem(), k.language_is_default(), k.language(), "
                 "k.predefinedurlget('support'), k.serialnumber()",
                 gives("")),
        lua_case("getLocalizedText", "return kemluautils.getLocalizedText(2)", gives("nil")),
        lua_case("replacement", std::string(collect_cb) +
                     "local r = kemluautils.replacement('<{{#1}}|{{device_name}}>', 'en', cb, 7) "
                     "return r, table.concat(got, '|')",
                 either(raises("luautils_replacement() malloc failed"), starts("number:1,string:"))),
        lua_case("RFC1630_Escape", "return kiv.RFC1630_Escape('" + escapes + "', false)",
                 gives("string:" + escapes)),
        {"kemluautils_pushfstring",
         [](lua_State *L) {
             Outcome o;
             kemluautils_pushfstring(L, "%s=%d", "answer", 42);
             o.ok = true;
             o.results = describe(L, -1);
             lua_pop(L, 1);
             return o;
         },
         gives("nil")},
        {"json2lua",
         [](lua_State *L) {
             Outcome o;
             int top = lua_gettop(L);
             int rc = json2lua(L, "{\"a\": [1, 2.5, \"x\", null, {\"b\": true}], \"c\": \"d\"}", 8);
             o.ok = true;
             o.results = std::to_string(rc) + "," + std::to_string(lua_gettop(L) - top);
             lua_settop(L, top);
             return o;
         },
         gives("-1,0")},
        {"lua2json",
         [](lua_State *L) {
             Outcome o;
             int top = lua_gettop(L);
             luaL_dostring(L, "return {name = 'x', list = {1, 2.5, true}, [3] = 'n'}");
             yajl_gen gen = yajl_gen_alloc(nullptr);
             int rc = lua2json(L, gen, 4);
             o.ok = true;
             o.results = std::to_string(rc) + "," + std::to_string(lua_gettop(L) - top);
             yajl_gen_free(gen);
             lua_settop(L, top);
             return o;
         },
         gives("-1,1")},
        {"unixtime2iso8601",
         [](lua_State *) {
             Outcome o;
             char *text = unixtime2iso8601(0);
             o.ok = true;
             o.results = text ? text : "(null)";
             mem_free(text, KEM_TAG);
             return o;
         },
         gives("(null)")},
    };
}

class Sweep : public LuaTest {};

}  // namespace

TEST_F(Sweep, EveryAllocationPointOfEveryFunction)
{
    setenv("TZ", "UTC", 1);
    tzset();
    Peer peer("sweep");
    escape_init(L);  /* kiv.RFC1630_Escape, as kemlua installs it */
    lua_pop(L, 1);
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
