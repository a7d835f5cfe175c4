// JSON bridge: json2lua's tables, failures and limits; lua2json's arrays,
// objects, number texts and refusals; the round trip. (Allocation failures:
// test_oom_sweep.cpp and test_lua_oom.cpp.)
#include "support.h"

#include <yajl/yajl_gen.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>

namespace {

/* Lua helpers the cases use: deep equality and a compact dump */
const char *lua_helpers = R"(
function eq(a, b)
  if a == b then return true end
  if type(a) ~= 'table' or type(b) ~= 'table' then
    return a ~= a and b ~= b
  end
  for k, v in pairs(a) do if not eq(v, b[k]) then return false end end
  for k in pairs(b) do if a[k] == nil then return false end end
  return true
end
function check(got, want, what)
  if not eq(got, want) then error((what or 'value') .. ' differs', 2) end
end
)";

class Json : public LuaTest {
protected:
    void SetUp() override
    {
        LuaTest::SetUp();
        ASSERT_EQ(run(lua_helpers), "");
    }

    /* json2lua with the stack proof: 0 pushes one table, -1 pushes nothing.
       On 0 the table becomes the global `got`. */
    int parse(const char *text, uint32_t depth = 64)
    {
        lua_pushliteral(L, "below");
        int top = lua_gettop(L);
        int r = json2lua(L, text, depth);
        if (r == 0) {
            EXPECT_EQ(lua_gettop(L), top + 1) << text;
            EXPECT_EQ(lua_type(L, -1), LUA_TTABLE) << text;
            lua_setglobal(L, "got");
        } else {
            EXPECT_EQ(r, -1) << text;
            EXPECT_EQ(lua_gettop(L), top) << text;
            lua_pushnil(L);
            lua_setglobal(L, "got");
        }
        EXPECT_STREQ(lua_tostring(L, -1), "below") << text;
        lua_pop(L, 1);
        return r;
    }

    /* Parses text and checks `got` against the Lua expression want. */
    void expect_table(const char *text, const std::string &want)
    {
        ASSERT_EQ(parse(text), 0) << text;
        EXPECT_EQ(run("check(got, " + want + ")"), "") << text << " vs " << want;
    }
};

/* A generator with lua2json's output, or the failure. */
struct Written {
    int result;
    std::string text;
};

/* Evaluates expr, writes it with lua2json at depth and checks the stack. */
Written write_json(lua_State *L, const std::string &expr, uint32_t depth = 64,
                   yajl_gen gen = nullptr)
{
    std::string chunk = "return " + expr;
    EXPECT_EQ(luaL_dostring(L, chunk.c_str()), 0) << expr;
    bool own = gen == nullptr;
    if (own)
        gen = yajl_gen_alloc(nullptr);
    int top = lua_gettop(L);
    Written w{lua2json(L, gen, depth), ""};
    EXPECT_EQ(lua_gettop(L), top) << expr;
    lua_pop(L, 1);
    const unsigned char *buf = nullptr;
    size_t len = 0;
    yajl_gen_get_buf(gen, &buf, &len);
    w.text.assign(reinterpret_cast<const char *>(buf), len);
    if (own)
        yajl_gen_free(gen);
    return w;
}

std::string written(lua_State *L, const std::string &expr, uint32_t depth = 64)
{
    Written w = write_json(L, expr, depth);
    return w.result == 0 ? w.text : "FAILED after " + w.text;
}

}  // namespace

/* ---- json2lua ------------------------------------------------------------ */

TEST_F(Json, ContainersBecomeTablesWithNullsLeftOut)
{
    expect_table("{}", "{}");
    expect_table("[]", "{}");
    expect_table(" [1, null, 2] ", "{1, 2}");
    expect_table("[[], 1]", "{{}, 1}");
    expect_table("[null, []]", "{{}}");
    expect_table("[{\"a\": [1, 2]}, 3]", "{{a = {1, 2}}, 3}");
    expect_table("[1, {\"a\": [5, [6]], \"b\": {}}, 7, [8]]",
                 "{1, {a = {5, {6}}, b = {}}, 7, {8}}");
    expect_table("{\"a\": null}", "{}");
    expect_table("{\"a\": 1, \"a\": null}", "{a = 1}");
    expect_table("{\"a\": 1, \"a\": 2}", "{a = 2}");
    expect_table("{\"a\": null, \"b\": [null], \"c\": {\"d\": null}}", "{b = {}, c = {}}");
    expect_table("[true, false, \"x\", -0.5, 1e2]", "{true, false, 'x', -0.5, 100}");
    ASSERT_EQ(parse("{\"1\": \"one\", \"2\": {}}"), 0);
    EXPECT_EQ(run("assert(got['1'] == 'one' and got[1] == nil and type(got['2']) == 'table')"), "");
}

TEST_F(Json, LargeContainersKeepEveryItemInOrder)
{
    // Containers past the size where items move into the table early: the
    // array numbering, nulls, nested tables and duplicate names must come
    // out as a member-by-member fill gives them.
    for (int n : {31, 32, 33, 63, 64, 65, 200, 1000}) {
        std::string array = "[", object = "{\"dup\": 0, ";
        for (int i = 1; i <= n; ++i) {
            array += std::to_string(i) + (i % 7 == 0 ? ", null, " : ", ");
            if (i % 50 == 0)
                array += "[" + std::to_string(i) + "], ";
            object += "\"k" + std::to_string(i) + "\": " + std::to_string(i) + ", ";
            if (i % 40 == 0)
                object += "\"dup\": " + std::to_string(i) + ", \"dup\": null, ";
        }
        array += "\"end\"]";
        object += "\"last\": {\"x\": [1]}}";
        ASSERT_EQ(parse(array.c_str()), 0) << n;
        std::string check_array = R"(
          local n, k = ...
          for i = 1, n do
            k = k + 1 assert(got[k] == i, 'element ' .. k)
            if i % 50 == 0 then k = k + 1 assert(got[k][1] == i and #got[k] == 1) end
          end
          assert(got[k + 1] == 'end' and #got == k + 1)
          local count = 0 for _ in pairs(got) do count = count + 1 end
          assert(count == k + 1))";
        EXPECT_EQ(run("local f = function(...) " + check_array + " end f(" + std::to_string(n) +
                      ", 0)"),
                  "")
            << n;
        ASSERT_EQ(parse(object.c_str()), 0) << n;
        EXPECT_EQ(run("local n = " + std::to_string(n) + R"(
          local count = 0 for _ in pairs(got) do count = count + 1 end
          assert(count == n + 2, 'members ' .. count)
          for i = 1, n do assert(got['k' .. i] == i) end
          assert(got.dup == n - n % 40, 'dup')
          check(got.last, {x = {1}}))"),
                  "")
            << n;
    }
}

TEST_F(Json, StringsAreDecodedAndCutAtTheirFirstNul)
{
    expect_table(R"(["a\"b\\c\/d\b\f\n\r\t", "\u00e9\u20ac\ud83d\ude00", "é€😀"])",
                 R"({'a"b\\c/d\b\f\n\r\t', '\195\169\226\130\172\240\159\152\128',
                     '\195\169\226\130\172\240\159\152\128'})");
    expect_table(R"(["ab\u0000cd", {"na\u0000me": 1}, "\u0000"])", "{'ab', {na = 1}, ''}");
    // Every length and NUL position, both ways, names and values.
    for (int len = 1; len <= 40; ++len) {
        for (int at = 0; at <= len; ++at) { /* at == len: no NUL */
            std::string raw(static_cast<size_t>(len), 'x'), escaped;
            for (int i = 0; i < len; ++i)
                escaped += i == at ? "\\u0000" : "x";
            if (at < len)
                raw[static_cast<size_t>(at)] = '\0';
            std::string want(static_cast<size_t>(at < len ? at : len), 'x');
            std::string text = "{\"" + escaped + "\": [\"" + escaped + "\"]}";
            ASSERT_EQ(parse(text.c_str()), 0) << text;
            lua_getglobal(L, "got");
            lua_getfield(L, -1, want.c_str());
            lua_rawgeti(L, -1, 1);
            ASSERT_EQ(lua_type(L, -1), LUA_TSTRING) << text;
            EXPECT_EQ(std::string(lua_tostring(L, -1)), want) << text;
            lua_pop(L, 3);

            lua_createtable(L, 0, 1);
            lua_pushlstring(L, raw.data(), raw.size());
            lua_pushvalue(L, -1);
            lua_rawset(L, -3); /* {[raw] = raw} */
            yajl_gen gen = yajl_gen_alloc(nullptr);
            ASSERT_EQ(lua2json(L, gen, 1), 0);
            lua_pop(L, 1);
            const unsigned char *buf;
            size_t blen;
            yajl_gen_get_buf(gen, &buf, &blen);
            EXPECT_EQ(std::string(reinterpret_cast<const char *>(buf), blen),
                      "{\"" + want + "\":\"" + want + "\"}");
            yajl_gen_free(gen);
        }
    }
    // Anything after the text's first NUL byte is not read.
    ASSERT_EQ(parse("[1]\0garbage"), 0);
    EXPECT_EQ(parse("[1\0]"), -1);
    // Invalid UTF-8 is refused.
    EXPECT_EQ(parse("[\"\xff\"]"), -1);
}

TEST_F(Json, NumbersKeepTheirKind)
{
    expect_table("[0, -0, 0.1, 1e39, -1.5e-7, 9007199254740993, -9223372036854775807]",
                 "{0, 0, 0.1, 1e39, -1.5e-7, 2^53, -2^63}");
    ASSERT_EQ(parse("[-0.0, 123456789012]"), 0);
    EXPECT_EQ(run("assert(1 / got[1] < 0 and got[2] == 123456789012)"), "");
    // Beyond what yajl represents: an integer past 64 bits, a double overflow.
    // yajl's integer reader also refuses the most negative one.
    EXPECT_EQ(parse("[9223372036854775808]"), -1);
    EXPECT_EQ(parse("[-9223372036854775808]"), -1);
    EXPECT_EQ(parse("[1e400]"), -1);
}

TEST_F(Json, FailuresLeaveTheStackAsItWas)
{
    const char *bad[] = {
        "42", "\"text\"", "true", "null", "",  " ", "[", "{", "[1,", "{\"a\":",
        "{\"a\"}", "[1]]", "[1] [2]", "[1] x", "{1: 2}", "[01]", "[NaN]", "['a']",
        "[1, {\"deep\": [2, {\"x\": [3, 4x]}]}]", "/* c */ []", "[\"\t\"]", "[\f]", "\f[]", "[\"\f\"]",
    };
    for (const char *text : bad)
        EXPECT_EQ(parse(text), -1) << text;
    // A failure deep inside removes the partial tables; the interpreter works on.
    EXPECT_EQ(run("local t = {} for i = 1, 100 do t[i] = i end assert(#t == 100)"), "");
}

TEST_F(Json, DepthCountsOpenContainers)
{
    EXPECT_EQ(parse("[1, 2]", 1), 0);
    EXPECT_EQ(parse("{\"a\": 1}", 1), 0);
    EXPECT_EQ(parse("[[1]]", 1), -1);
    EXPECT_EQ(parse("{\"a\": {}}", 1), -1);
    EXPECT_EQ(parse("[]", 0), -1);
    EXPECT_EQ(parse("{}", 0), -1);
    EXPECT_EQ(parse("[[], [[]], {\"a\": [{}]}]", 4), 0); // siblings do not add up
    EXPECT_EQ(parse("[[], [[]], {\"a\": [{}]}]", 3), -1);

    // Deeper than the Lua stack may grow: a failure, not a stack overflow.
    std::string deep(100000, '[');
    EXPECT_EQ(parse(deep.c_str(), UINT32_MAX), -1);
    deep = std::string(2000, '[') + std::string(2000, ']');
    EXPECT_EQ(parse(deep.c_str(), UINT32_MAX), 0);
    EXPECT_EQ(parse(deep.c_str(), 1999), -1);
    EXPECT_EQ(parse(deep.c_str(), 2000), 0);
}

/* ---- lua2json ------------------------------------------------------------ */

TEST_F(Json, ArrayOrObjectIsDecidedByElementOne)
{
    EXPECT_EQ(written(L, "{}"), "{}");
    EXPECT_EQ(written(L, "{false}"), "[false]");
    EXPECT_EQ(written(L, "{[2] = 'b'}"), "{\"2\":\"b\"}");
    EXPECT_EQ(written(L, "{1, nil, 3}"), "[1,3]");
    EXPECT_EQ(written(L, "{a = print, b = 1}"), "{\"b\":1}");
    EXPECT_EQ(written(L, "{[true] = 1, [{}] = 2, a = 2}"), "{\"a\":2}");
    EXPECT_EQ(written(L, "{print, 5, coroutine.create(function() end), io.stdout}"), "[5]");
    EXPECT_EQ(written(L, "{[1.5] = true, [-3] = {}, [1e100] = 0}").size(),
              std::string("{\"1.5\":true,\"-3\":{},\"1e+100\":0}").size());
    EXPECT_EQ(written(L, "{{}, {{}}, {x = {1}}}"), "[{},[{}],{\"x\":[1]}]");
    EXPECT_EQ(written(L, "{'a\\0b', ['k\\0ey'] = 1}"), "[\"a\",1]");
    EXPECT_EQ(written(L, "{['k\\0ey'] = 'v\\0w'}"), "{\"k\":\"v\"}");
    EXPECT_EQ(written(L, "{'\"\\\\/\\n\\1'}"), "[\"\\\"\\\\/\\n\\u0001\"]");
    // The mixed table keeps every value, in lua_next order, keys dropped.
    EXPECT_EQ(run("local seen = {} for _, v in next, {1, 2, x = 'y'} do"
                  " seen[#seen + 1] = type(v) == 'string' and '\"' .. v .. '\"' or v end"
                  " expected = '[' .. table.concat(seen, ',') .. ']'"),
              "");
    lua_getglobal(L, "expected");
    std::string expected = lua_tostring(L, -1);
    lua_pop(L, 1);
    EXPECT_EQ(written(L, "{1, 2, x = 'y'}"), expected);
    // Raw access: metatables are not consulted, the table is not changed.
    EXPECT_EQ(written(L, "setmetatable({}, {__index = function() return 1 end})"), "{}");
    EXPECT_EQ(written(L, "setmetatable({a = 1}, {__pairs = error, __newindex = error})"),
              "{\"a\":1}");
}

TEST_F(Json, NumbersAreWrittenAsTheInterpreterPrintsThem)
{
    EXPECT_EQ(written(L, "{1, -2, 0.1, 1/3, 2^53, 1e14, 1e-5, -0.0, 123456789.125}"),
              "[1,-2,0.1,0.33333333333333,9.007199254741e+15,1e+14,1e-05,-0,123456789.125]");
    EXPECT_EQ(written(L, "{1/0, -1/0, 0/0, x = 1/0}"), "[null,null,null,null]");
    EXPECT_EQ(written(L, "{x = 1/0}"), "{\"x\":null}");
    EXPECT_EQ(written(L, "{[1/0] = 1, [-1/0] = 2, [0.25] = 3}").size(), 27u);

    // Property: our own formatting equals lua_tolstring for values of every
    // kind, as array elements and as member names.
    std::mt19937_64 rng(20240305);
    auto check = [&](double v) {
        lua_pushnumber(L, v);
        lua_pushvalue(L, -1);
        std::string want = lua_tostring(L, -1);
        lua_pop(L, 1);
        lua_createtable(L, 1, 1);
        lua_pushvalue(L, -2);
        lua_rawseti(L, -2, 1); /* number, {v} */
        yajl_gen gen = yajl_gen_alloc(nullptr);
        ASSERT_EQ(lua2json(L, gen, 1), 0);
        lua_pop(L, 1);
        yajl_gen_reset(gen, "");
        lua_newtable(L);
        lua_pushvalue(L, -2);
        lua_pushboolean(L, 1);
        lua_rawset(L, -3); /* number, {[v] = true} */
        /* the key as the table holds it: LuaJIT stores -0 as 0 */
        lua_pushnil(L);
        lua_next(L, -2);
        lua_pop(L, 1);
        std::string stored = lua_tostring(L, -1);
        lua_pop(L, 1);
        bool key = v == v && v != 1; /* {[1] = true} is an array */
        if (key) {
            ASSERT_EQ(lua2json(L, gen, 1), 0);
        }
        lua_pop(L, 2);
        const unsigned char *buf;
        size_t len;
        yajl_gen_get_buf(gen, &buf, &len);
        std::string out(reinterpret_cast<const char *>(buf), len);
        yajl_gen_free(gen);
        bool finite = std::isfinite(std::strtod(want.c_str(), nullptr));
        std::string element = "[" + (finite ? want : std::string("null")) + "]";
        EXPECT_EQ(out, key ? element + "{\"" + stored + "\":true}" : element) << want;
    };
    const double fixed[] = {0.0, -0.0, 1e-4, 9.999e-5, 1e-4 * 1.0000001, 0.1, 0.3, 0.1 + 0.2,
                            1e13, 99999999999999.0, 1e14, 123456789012.5, 1.5e-3, -7.25,
                            5e-324, 1.7976931348623157e308, 0.000123456789, 12.340000000001};
    for (double v : fixed)
        check(v);
    std::uniform_int_distribution<int> digits(1, 16), scale(0, 18);
    for (int i = 0; i < 20000; ++i) {
        double v;
        switch (i % 4) {
        case 0: { /* arbitrary bit patterns */
            uint64_t bits = rng();
            std::memcpy(&v, &bits, sizeof v);
            break;
        }
        case 1: /* short decimals, the common case */
            v = static_cast<double>(static_cast<int64_t>(rng() % 2000000) - 1000000) /
                std::pow(10.0, scale(rng) % 8);
            break;
        case 2: { /* up to 16 digits at any scale */
            double m = static_cast<double>(rng() % static_cast<uint64_t>(std::pow(10.0, digits(rng))));
            v = m / std::pow(10.0, scale(rng)) * ((rng() & 1) ? -1 : 1);
            break;
        }
        default: /* integers near the 14-digit edge */
            v = std::ldexp(static_cast<double>(rng() % 1000000), static_cast<int>(rng() % 40));
            break;
        }
        check(v);
    }
}

TEST_F(Json, DepthAndGeneratorRefusalsFail)
{
    EXPECT_EQ(written(L, "{1, {a = 2}}", 2), "[1,{\"a\":2}]");
    EXPECT_EQ(written(L, "{1, 2}", 1), "[1,2]");
    EXPECT_EQ(written(L, "{{}}", 1), "FAILED after [");
    EXPECT_EQ(written(L, "{x = {}}", 1), "FAILED after {\"x\"");
    EXPECT_EQ(written(L, "{}", 0), "FAILED after ");
    EXPECT_EQ(written(L, "'s'", 0), "\"s\"");
    EXPECT_EQ(written(L, "true", 0), "true");
    EXPECT_EQ(written(L, "2.5", 0), "2.5");
    EXPECT_EQ(written(L, "0/0", 0), "null");
    EXPECT_EQ(written(L, "'a\\0b'", 0), "\"a\"");
    EXPECT_EQ(write_json(L, "print", 5).result, -1);
    EXPECT_EQ(write_json(L, "nil", 5).result, -1);
    // A table that contains itself ends when the depth is used up.
    EXPECT_EQ(written(L, "(function() local t = {} t[1] = t return t end)()", 3),
              "FAILED after [[[");
    // yajl's own nesting limit is a refusal like any other.
    EXPECT_EQ(write_json(L, "(function() local t = {} t.x = t return t end)()", 100000).result,
              -1);

    // A validating generator rejects bad UTF-8; a finished document takes no more.
    yajl_gen gen = yajl_gen_alloc(nullptr);
    yajl_gen_config(gen, yajl_gen_validate_utf8, 1);
    EXPECT_EQ(write_json(L, "{ok = 1, bad = {'\\255'}}", 8, gen).result, -1);
    yajl_gen_free(gen);
    gen = yajl_gen_alloc(nullptr);
    EXPECT_EQ(write_json(L, "{}", 8, gen).result, 0);
    EXPECT_EQ(write_json(L, "1", 8, gen).result, -1);
    EXPECT_EQ(write_json(L, "{}", 8, gen).result, -1);
    yajl_gen_free(gen);

    // lua2json writes one value where the caller's own containers want it.
    gen = yajl_gen_alloc(nullptr);
    yajl_gen_map_open(gen);
    yajl_gen_string(gen, reinterpret_cast<const unsigned char *>("v"), 1);
    EXPECT_EQ(write_json(L, "{1}", 8, gen).result, 0);
    yajl_gen_map_close(gen);
    const unsigned char *buf;
    size_t len;
    yajl_gen_get_buf(gen, &buf, &len);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(buf), len), "{\"v\":[1]}");
    yajl_gen_free(gen);
}

TEST_F(Json, ATopNumberIsLeftAsItsText)
{
    yajl_gen gen = yajl_gen_alloc(nullptr);
    lua_pushinteger(L, 42);
    lua_pushnumber(L, 0.5);
    ASSERT_EQ(lua2json(L, gen, 1), 0);
    EXPECT_EQ(lua_gettop(L), 2);
    EXPECT_EQ(lua_type(L, -1), LUA_TSTRING);
    EXPECT_STREQ(lua_tostring(L, -1), "0.5");
    EXPECT_EQ(lua_type(L, -2), LUA_TNUMBER);
    lua_pop(L, 2);
    // Inside a table nothing is converted, keys included.
    yajl_gen_clear(gen);
    yajl_gen_reset(gen, nullptr);
    ASSERT_EQ(run("t = {[1.5] = 2.5, [7] = 8}"), "");
    lua_getglobal(L, "t");
    ASSERT_EQ(lua2json(L, gen, 1), 0);
    lua_pop(L, 1);
    yajl_gen_free(gen);
    EXPECT_EQ(run("for k, v in pairs(t) do assert(type(k) == 'number' and type(v) == 'number') end"),
              "");
}

/* ---- both ways ----------------------------------------------------------- */

TEST_F(Json, GeneratedTablesSurviveTheRoundTrip)
{
    // Arrays without holes, string keys (some numeric-looking), integers,
    // strings with escapes and UTF-8, booleans, nesting.
    ASSERT_EQ(run(R"(
      math.randomseed(7)
      local pieces = {'a', 'Z', '"', '\\', '/', '\n', '\t', '\1', '\31', ' ',
                      '\195\169', '\226\130\172', '\240\159\152\128', 'key', '1'}
      local function str()
        local s = {}
        for i = 1, math.random(0, 6) do s[i] = pieces[math.random(#pieces)] end
        return table.concat(s)
      end
      local function value(level)
        local r = math.random(level > 3 and 4 or 6)
        if r == 1 then return math.random(-2^31, 2^31)
        elseif r == 2 then return str()
        elseif r == 3 then return math.random() < 0.5
        elseif r == 4 then return math.random(-1e9, 1e9) * 1000
        elseif r == 5 then
          local t = {}
          for i = 1, math.random(1, 5) do t[i] = value(level + 1) end
          return t
        else
          local t = {}
          for _ = 1, math.random(0, 5) do
            local k = str()
            if k ~= '' or math.random() < 0.5 then t['k' .. k] = value(level + 1) end
          end
          if math.random() < 0.2 then t['1'] = true end
          return t
        end
      end
      samples = {}
      for i = 1, 300 do samples[i] = value(1) end
      samples[#samples + 1] = {}
      for i = 1, #samples do
        if type(samples[i]) ~= 'table' then samples[i] = {samples[i]} end
      end
    )"),
              "");
    lua_getglobal(L, "samples");
    int n = static_cast<int>(lua_objlen(L, -1));
    ASSERT_GT(n, 300);
    for (int i = 1; i <= n; ++i) {
        lua_rawgeti(L, -1, i);
        yajl_gen gen = yajl_gen_alloc(nullptr);
        ASSERT_EQ(lua2json(L, gen, 16), 0) << "sample " << i;
        lua_pop(L, 1);
        const unsigned char *buf;
        size_t len;
        yajl_gen_get_buf(gen, &buf, &len);
        std::string text(reinterpret_cast<const char *>(buf), len);
        yajl_gen_free(gen);
        ASSERT_EQ(json2lua(L, text.c_str(), 16), 0) << text;
        lua_setglobal(L, "got");
        ASSERT_EQ(run("check(got, samples[" + std::to_string(i) + "], '" + std::to_string(i) +
                      "')"),
                  "")
            << text;
    }
    lua_pop(L, 1);
}
