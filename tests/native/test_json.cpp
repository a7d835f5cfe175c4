// JSON bridge: json2lua's tables, failures and limits; lua2json's arrays,
// objects, number texts and refusals; the round trip. The cases are Lua
// chunks over two test functions that call the native API and check its
// stack effect. (Allocation failures: test_oom_sweep.cpp, test_lua_oom.cpp.)
#include "support.h"

#include <yajl/yajl_gen.h>

#include <cstdint>

namespace {

/* The generator's text so far. */
std::string text_of(yajl_gen gen)
{
    const unsigned char *buf = nullptr;
    size_t len = 0;
    yajl_gen_get_buf(gen, &buf, &len);
    return std::string(reinterpret_cast<const char *>(buf), len);
}

/* parse(text [, depth]): json2lua's table, or nil. 0 must push one table,
   -1 nothing, and the value below stays. */
int parse(lua_State *L)
{
    const char *text = luaL_checkstring(L, 1);
    auto depth = static_cast<uint32_t>(luaL_optnumber(L, 2, 64));
    lua_pushliteral(L, "below");
    int top = lua_gettop(L);
    int r = json2lua(L, text, depth);
    EXPECT_TRUE(r == 0 || r == -1) << text;
    EXPECT_EQ(lua_gettop(L), top + (r == 0)) << text;
    if (r != 0)
        lua_pushnil(L);
    EXPECT_TRUE(lua_isnil(L, -1) || lua_istable(L, -1)) << text;
    EXPECT_STREQ(lua_tostring(L, -2), "below") << text;
    return 1;
}

/* write(value [, depth]): lua2json's text, or nil and the text written
   before the failure. The stack must stay as it was. */
int write(lua_State *L)
{
    auto depth = static_cast<uint32_t>(luaL_optnumber(L, 2, 64));
    lua_settop(L, 1);
    yajl_gen gen = yajl_gen_alloc(nullptr);
    int r = lua2json(L, gen, depth);
    EXPECT_EQ(lua_gettop(L), 1);
    std::string text = text_of(gen);
    yajl_gen_free(gen);
    if (r != 0)
        lua_pushnil(L);
    lua_pushlstring(L, text.data(), text.size());
    return r == 0 ? 1 : 2;
}

class Json : public LuaTest {
protected:
    void SetUp() override
    {
        LuaTest::SetUp();
        lua_register(L, "parse", parse);
        lua_register(L, "write", write);
        /* integers keep their low bits where lua_Integer is 32 bits wide */
        lua_pushboolean(L, sizeof(lua_Integer) > 4);
        lua_setglobal(L, "wide");
        ASSERT_EQ(run(R"(
          function eq(a, b)
            if a == b then return true end
            if type(a) ~= 'table' or type(b) ~= 'table' then return a ~= a and b ~= b end
            for k, v in pairs(a) do if not eq(v, b[k]) then return false end end
            for k in pairs(b) do if a[k] == nil then return false end end
            return true
          end
          function check(got, want, what)
            if not eq(got, want) then error((what or 'value') .. ' differs', 2) end
          end
          -- cases: {input, expected, ...}; f(input) must equal expected
          function each(f, cases)
            for _, c in ipairs(cases) do check(f(c[1], c[3]), c[2], tostring(c[1])) end
          end)"),
                  "");
    }
};

}  // namespace

/* ---- json2lua ------------------------------------------------------------ */

TEST_F(Json, ContainersBecomeTablesWithNullsLeftOut)
{
    EXPECT_EQ(run(R"(each(parse, {
      {'{}', {}}, {'[]', {}}, {' [1, null, 2] ', {1, 2}}, {'[[], 1]', {{}, 1}}, {'[null, []]', {{}}},
      {'[{"a": [1, 2]}, 3]', {{a = {1, 2}}, 3}},
      {'[1, {"a": [5, [6]], "b": {}}, 7, [8]]', {1, {a = {5, {6}}, b = {}}, 7, {8}}},
      {'{"a": null}', {}}, {'{"a": 1, "a": null}', {a = 1}}, {'{"a": 1, "a": 2}', {a = 2}},
      {'{"a": null, "b": [null], "c": {"d": null}}', {b = {}, c = {}}},
      {'[true, false, "x", -0.5, 1e2]', {true, false, 'x', -0.5, 100}},
      {'{"1": "one", "2": {}}', {['1'] = 'one', ['2'] = {}}},
      {'\f[\f1\f]\f', {1}},  -- yajl takes a form feed between tokens for blank space
    }))"),
              "");
}

TEST_F(Json, LargeContainersKeepEveryItemInOrder)
{
    // Containers past the size where items move into the table early: the
    // array numbering, nulls, nested tables and duplicate names must come
    // out as a member-by-member fill gives them.
    EXPECT_EQ(run(R"(
      for _, n in ipairs({31, 32, 33, 63, 64, 65, 200, 1000}) do
        local array, want, object = {}, {}, {'"dup": 0'}
        for i = 1, n do
          array[#array + 1] = i .. (i % 7 == 0 and ', null' or '')
          want[#want + 1] = i
          if i % 50 == 0 then array[#array + 1] = '[' .. i .. ']' want[#want + 1] = {i} end
          object[#object + 1] = '"k' .. i .. '": ' .. i
          if i % 40 == 0 then object[#object + 1] = '"dup": ' .. i .. ', "dup": null' end
        end
        array[#array + 1] = '"end"' want[#want + 1] = 'end'
        object[#object + 1] = '"last": {"x": [1]}'
        check(parse('[' .. table.concat(array, ', ') .. ']'), want, 'array ' .. n)
        local members = {dup = n - n % 40, last = {x = {1}}}
        for i = 1, n do members['k' .. i] = i end
        check(parse('{' .. table.concat(object, ', ') .. '}'), members, 'object ' .. n)
      end)"),
              "");
}

TEST_F(Json, StringsAreDecodedAndCutAtTheirFirstNul)
{
    EXPECT_EQ(run(R"==(each(parse, {
      {[[["a\"b\\c\/d\b\f\n\r\t", "\u00e9\u20ac\ud83d\ude00", "é€😀"] ]],
       {'a"b\\c/d\b\f\n\r\t', 'é€😀', 'é€😀'}},
      {[[["ab\u0000cd", {"na\u0000me": 1}, "\u0000"] ]], {'ab', {na = 1}, ''}},
      -- anything after the text's first NUL byte is not read
      {'[1]\0garbage', {1}}, {'[1\0]', nil},
      {'["\255"]', nil},  -- invalid UTF-8
      -- yajl checks only the byte pattern: an overlong form, an encoded surrogate and
      -- a code point above U+10FFFF pass
      {'["\192\175", "\237\160\128", "\244\144\128\128"]', {'\192\175', '\237\160\128', '\244\144\128\128'}},
    }))=="),
              "");
    // Every length and NUL position, both ways, names and values.
    EXPECT_EQ(run(R"(
      for len = 1, 40 do
        for at = 0, len do  -- at == len: no NUL
          local escaped = ('x'):rep(at) .. (at < len and '\\u0000' .. ('x'):rep(len - at - 1) or '')
          local raw = ('x'):rep(at) .. (at < len and '\0' .. ('x'):rep(len - at - 1) or '')
          local want = ('x'):rep(at)
          check(parse('{"' .. escaped .. '": ["' .. escaped .. '"]}'), {[want] = {want}}, escaped)
          check(write({[raw] = raw}, 1), '{"' .. want .. '":"' .. want .. '"}', raw)
        end
      end)"),
              "");
}

TEST_F(Json, NumbersKeepTheirKind)
{
    EXPECT_EQ(run(R"(
      check(parse('[0, -0, 0.1, 1e39, -1.5e-7, 9007199254740993, -9223372036854775807]'),
            {0, 0, 0.1, 1e39, -1.5e-7, wide and 2^53 or 1, wide and -2^63 or 1})
      local t = parse('[-0.0, 123456789012]')
      assert(1 / t[1] < 0 and t[2] == (wide and 123456789012 or 123456789012 - 29 * 2^32))
      -- beyond what yajl represents: an integer past 64 bits, a double
      -- overflow; yajl's integer reader also refuses the most negative one
      each(parse, {{'[9223372036854775808]', nil}, {'[-9223372036854775808]', nil}, {'[1e400]', nil}}))"),
              "");
}

TEST_F(Json, FailuresLeaveTheStackAsItWas)
{
    EXPECT_EQ(run(R"(
      for _, text in ipairs({'42', '"text"', 'true', 'null', '', ' ', '[', '{', '[1,', '{"a":',
          '{"a"}', '[1]]', '[1] [2]', '[1] x', '{1: 2}', '[01]', '[NaN]', "['a']",
          '[1, {"deep": [2, {"x": [3, 4x]}]}]', '/* c */ []', '["\t"]', '["\f"]'}) do
        assert(parse(text) == nil, text)
      end
      -- a failure deep inside removes the partial tables; the interpreter works on
      local t = {} for i = 1, 100 do t[i] = i end assert(#t == 100))"),
              "");
}

TEST_F(Json, DepthCountsOpenContainers)
{
    EXPECT_EQ(run(R"(
      local deep = ('['):rep(2000) .. (']'):rep(2000)
      -- 1000 levels of 1000 items each, before or after each nested container
      local items = ('1,'):rep(999) .. '1'
      local before = ('[' .. items .. ','):rep(999) .. '[' .. items .. ']' .. (']'):rep(999)
      local after = ('['):rep(1000) .. items .. (']' .. ',' .. items):rep(999) .. ']'
      for _, c in ipairs({{'[1, 2]', 1, true}, {'{"a": 1}', 1, true}, {'[[1]]', 1, false},
          {'{"a": {}}', 1, false}, {'[]', 0, false}, {'{}', 0, false},
          {'[[], [[]], {"a": [{}]}]', 4, true},  -- siblings do not add up
          {'[[], [[]], {"a": [{}]}]', 3, false},
          -- deeper than the Lua stack may grow: a failure, not a stack overflow
          {('['):rep(100000), 2^32 - 1, false}, {deep, 2^32 - 1, true}, {deep, 1999, false},
          {deep, 2000, true}, {before, 1000, true}, {after, 1000, true}}) do
        assert((parse(c[1], c[2]) ~= nil) == c[3], c[1]:sub(1, 30) .. ' at ' .. c[2])
      end)"),
              "");
}

/* ---- lua2json ------------------------------------------------------------ */

TEST_F(Json, ArrayOrObjectIsDecidedByElementOne)
{
    EXPECT_EQ(run(R"==(each(write, {
      {{}, '{}'}, {{false}, '[false]'}, {{[2] = 'b'}, '{"2":"b"}'}, {{1, nil, 3}, '[1,3]'},
      {{a = print, b = 1}, '{"b":1}'}, {{[true] = 1, [{}] = 2, a = 2}, '{"a":2}'},
      {{print, 5, coroutine.create(function() end), io.stdout}, '[5]'},
      {{{}, {{}}, {x = {1}}}, '[{},[{}],{"x":[1]}]'},
      {{'a\0b', ['k\0ey'] = 1}, '["a",1]'}, {{['k\0ey'] = 'v\0w'}, '{"k":"v"}'},
      {{'"\\/\n\1'}, [=[["\"\\/\n\u0001"]]=]},
      -- raw access: metatables are not consulted, the table is not changed
      {setmetatable({}, {__index = function() return 1 end}), '{}'},
      {setmetatable({a = 1}, {__pairs = error, __newindex = error}), '{"a":1}'},
    })
    assert(#write({[1.5] = true, [-3] = {}, [1e100] = 0}) == #'{"1.5":true,"-3":{},"1e+100":0}')
    -- the mixed table keeps every value, in lua_next order, keys dropped
    local mixed, seen = {1, 2, x = 'y'}, {}
    for _, v in next, mixed do seen[#seen + 1] = type(v) == 'string' and '"' .. v .. '"' or v end
    check(write(mixed), '[' .. table.concat(seen, ',') .. ']'))=="),
              "");
}

TEST_F(Json, NumbersAreWrittenAsTheInterpreterPrintsThem)
{
    EXPECT_EQ(run(R"(each(write, {
      {{1, -2, 0.1, 1/3, 2^53, 1e14, 1e-5, -0.0, 123456789.125},
       '[1,-2,0.1,0.33333333333333,9.007199254741e+15,1e+14,1e-05,-0,123456789.125]'},
      {{1/0, -1/0, 0/0, x = 1/0}, '[null,null,null,null]'}, {{x = 1/0}, '{"x":null}'},
    })
    assert(#write({[1/0] = 1, [-1/0] = 2, [0.25] = 3}) == 27))"),
              "");

    // Property: our own formatting equals the interpreter's for values of
    // every kind, as array elements and as member names.
    EXPECT_EQ(run(R"(
      local function same(v)
        local want = tostring(v)
        local n = tonumber(want)
        local finite = n and n == n and n ~= 1/0 and n ~= -1/0
        check(write({v}, 1), '[' .. (finite and want or 'null') .. ']', want)
        if v == v and v ~= 1 then  -- {[1] = true} is an array; NaN is no key
          local t = {[v] = true}
          check(write(t, 1), '{"' .. tostring((next(t))) .. '":true}', want)  -- LuaJIT stores -0 as 0
        end
      end
      for _, v in ipairs({0, -0.0, 1e-4, 9.999e-5, 1e-4 * 1.0000001, 0.1, 0.3, 0.1 + 0.2, 1e13,
          99999999999999, 1e14, 123456789012.5, 1.5e-3, -7.25, 5e-324, 1.7976931348623157e308,
          0.000123456789, 12.340000000001, 0/0, 1/0}) do
        same(v)
      end
      math.randomseed(20240305)
      local r = math.random
      local function sign() return r(2) == 1 and -1 or 1 end
      for i = 1, 20000 do
        local kind, v = i % 4
        if kind == 0 then  -- any mantissa and exponent: subnormals and infinities too
          v = math.ldexp(r() + r() / 2^26, r(-1080, 1030)) * sign()
        elseif kind == 1 then  -- short decimals, the common case
          v = (r(0, 1999999) - 1000000) / 10 ^ r(0, 7)
        elseif kind == 2 then  -- up to 16 digits at any scale
          v = math.floor(r() * 10 ^ r(1, 16)) / 10 ^ r(0, 18) * sign()
        else  -- integers near the 14-digit edge
          v = math.ldexp(r(0, 999999), r(0, 39))
        end
        same(v)
      end)"),
              "");
}

TEST_F(Json, DepthAndGeneratorRefusalsFail)
{
    EXPECT_EQ(run(R"(
      local function self_array() local t = {} t[1] = t return t end
      for _, c in ipairs({{{1, {a = 2}}, 2, '[1,{"a":2}]'}, {{1, 2}, 1, '[1,2]'},
          {{{}}, 1, nil, '['}, {{x = {}}, 1, nil, '{"x"'}, {{}, 0, nil, ''},
          {'s', 0, '"s"'}, {true, 0, 'true'}, {2.5, 0, '2.5'}, {0/0, 0, 'null'}, {'a\0b', 0, '"a"'},
          {print, 5, nil, ''}, {nil, 5, nil, ''},
          -- a table that contains itself ends when the depth is used up
          {self_array(), 3, nil, '[[['}}) do
        local text, partial = write(c[1], c[2])
        assert(text == c[3] and partial == c[4], tostring(c[3]) .. ' ' .. tostring(partial))
      end
      -- yajl's own nesting limit is a refusal like any other
      local t = {} t.x = t
      assert(write(t, 100000) == nil))"),
              "");

    // A validating generator rejects bad UTF-8; a finished document takes no more.
    auto write_into = [&](yajl_gen gen, const char *expr) {
        luaL_dostring(L, expr);
        int r = lua2json(L, gen, 8);
        lua_pop(L, 1);
        return r;
    };
    yajl_gen gen = yajl_gen_alloc(nullptr);
    yajl_gen_config(gen, yajl_gen_validate_utf8, 1);
    EXPECT_EQ(write_into(gen, "return {ok = 1, bad = {'\\255'}}"), -1);
    yajl_gen_free(gen);
    gen = yajl_gen_alloc(nullptr);
    EXPECT_EQ(write_into(gen, "return {}"), 0);
    EXPECT_EQ(write_into(gen, "return 1"), -1);
    EXPECT_EQ(write_into(gen, "return {}"), -1);
    yajl_gen_free(gen);

    // lua2json writes one value where the caller's own containers want it.
    gen = yajl_gen_alloc(nullptr);
    yajl_gen_map_open(gen);
    yajl_gen_string(gen, reinterpret_cast<const unsigned char *>("v"), 1);
    EXPECT_EQ(write_into(gen, "return {1}"), 0);
    yajl_gen_map_close(gen);
    EXPECT_EQ(text_of(gen), "{\"v\":[1]}");
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
    yajl_gen_free(gen);
    // Inside a table nothing is converted, keys included.
    EXPECT_EQ(run("local t = {[1.5] = 2.5, [7] = 8} write(t)\n"
                  "for k, v in pairs(t) do assert(type(k) == 'number' and type(v) == 'number') end"),
              "");
}

/* ---- both ways ----------------------------------------------------------- */

TEST_F(Json, GeneratedTablesSurviveTheRoundTrip)
{
    // Arrays without holes, string keys (some numeric-looking), integers,
    // strings with escapes and UTF-8, booleans, nesting.
    EXPECT_EQ(run(R"(
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
        if r == 1 then return math.random(-2^31, 2^31 - 1)
        elseif r == 2 then return str()
        elseif r == 3 then return math.random() < 0.5
        elseif r == 4 then return math.random(-1e9, 1e9) * (wide and 1000 or 1)
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
      for i = 1, 301 do
        local sample = i == 301 and {} or value(1)
        if type(sample) ~= 'table' then sample = {sample} end
        local text = assert(write(sample, 16))
        check(parse(text, 16), sample, text)
      end)"),
              "");
}
