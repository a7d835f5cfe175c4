/*
 * The four macaddrlist functions against the pure-Lua equivalents a script
 * author would write with string.match and string.gmatch, on lists of 10 and
 * 1,000 addresses typed in mixed notations. "per_elem" is the time per
 * address of the list.
 *
 * Run with: ./build.sh bench mac
 */
#include <benchmark/benchmark.h>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <cstdio>
#include <cstdlib>

#include "kemluautils.h"

namespace {

/* The data of a run and the pure-Lua functions (globals of the state). */
const char setup[] = R"(
    local n = ...
    local forms = { "02:00:%02x:%02x:%02x:%02x", "02-00-%02x-%02x-%02x-%02x",
                    "0200%02x%02x%02x%02x", "0200.%02x%02x.%02x%02x" }
    list = {}
    for i = 1, n do
      local v = i * 2654435761 % 4294967296
      list[i] = forms[i % 4 + 1]:format(math.floor(v / 16777216), math.floor(v / 65536) % 256,
                                        math.floor(v / 256) % 256, v % 256)
    end
    text = table.concat(list, ", ")
    sep = ", "
    present = list[math.floor(n / 2) + 1]
    absent = "0600.0000.0001"

    -- the address in the form AA:BB:CC:DD:EE:FF, or nil
    local function norm(s)
      s = tostring(s)
      local a, b, c, d, e, f
      if #s == 17 then
        local sep2
        a, sep2, b, c, d, e, f = s:match("^(%x%x)([:%-])(%x%x)%2(%x%x)%2(%x%x)%2(%x%x)%2(%x%x)$")
      elseif #s == 12 then
        a, b, c, d, e, f = s:match("^(%x%x)(%x%x)(%x%x)(%x%x)(%x%x)(%x%x)$")
      elseif #s == 14 then
        a, b, c, d, e, f = s:match("^(%x%x)(%x%x)%.(%x%x)(%x%x)%.(%x%x)(%x%x)$")
      end
      if not a then return nil end
      return (a .. ":" .. b .. ":" .. c .. ":" .. d .. ":" .. e .. ":" .. f):upper()
    end

    -- every string or number value of t, normalised; raises on a bad one
    local function walk(t)
      local out, k = {}, 0
      for _, v in pairs(t) do
        local tv = type(v)
        if tv == "string" or tv == "number" then
          local m = norm(v)
          if not m then error("input " .. tostring(v) .. " is not MACADDR conform", 2) end
          k = k + 1
          out[k] = m
        end
      end
      return out, k
    end

    function lua_parse(s, seps)
      local out, k = {}, 0
      for piece in s:gmatch("[^" .. seps:gsub("[%]%^%-%%]", "%%%0") .. "]+") do
        piece = piece:match("^%s*(.-)%s*$")
        if piece ~= "" then
          local m = norm(piece)
          if not m then return nil end
          k = k + 1
          out[k] = m
        end
      end
      return k > 0 and out or nil
    end

    function lua_string(t, s)
      return table.concat((walk(t)), s)
    end

    function lua_remove(t, address)
      local target = norm(address) or error("input " .. address .. " is not MACADDR conform")
      local all, k = walk(t)
      local out, j = {}, 0
      for i = 1, k do
        if all[i] ~= target then j = j + 1; out[j] = all[i] end
      end
      return out
    end

    function lua_append_unique(t, address)
      local target = norm(address) or error("input " .. address .. " is not MACADDR conform")
      local out, k = {}, 0
      if t then out, k = walk(t) end
      for i = 1, k do
        if out[i] == target then return out end
      end
      out[k + 1] = target
      return out
    end

    -- both sides give the same results on this data
    local function same(x, y)
      if type(x) ~= "table" then return x == y end
      if #x ~= #y then return false end
      for i = 1, #x do if x[i] ~= y[i] then return false end end
      return true
    end
    local km = kemluautils
    assert(same(km.macaddrlist_parse(text, sep), lua_parse(text, sep)))
    assert(same(km.macaddrlist_string(list, sep), lua_string(list, sep)))
    assert(same(km.macaddrlist_remove_macaddr(list, present), lua_remove(list, present)))
    assert(same(km.macaddrlist_append_macaddr_unique(list, absent), lua_append_unique(list, absent)))
)";

/* Runs `return expr` and leaves its value on the stack. */
void push_expr(lua_State *L, const char *expr)
{
    lua_pushfstring(L, "return %s", expr);
    if (luaL_loadstring(L, lua_tostring(L, -1)) || lua_pcall(L, 0, 1, 0)) {
        std::fprintf(stderr, "%s\n", lua_tostring(L, -1));
        std::abort();
    }
    lua_remove(L, -2);
}

/* A state with the module, the data of n addresses and the Lua functions. */
lua_State *newstate(int n)
{
    lua_State *L = luaL_newstate();
    luaL_openlibs(L);
    lua_pushcfunction(L, luaopen_libkemluautils);
    lua_call(L, 0, 0);
    if (luaL_loadstring(L, setup)) {
        std::fprintf(stderr, "%s\n", lua_tostring(L, -1));
        std::abort();
    }
    lua_pushinteger(L, n);
    lua_call(L, 1, 0);
    return L;
}

/* Times fn(a1, a2) on a list of state.range(0) addresses. */
void call(benchmark::State &state, const char *fn, const char *a1, const char *a2)
{
    auto n = static_cast<int>(state.range(0));
    lua_State *L = newstate(n);
    push_expr(L, fn);  /* fn */
    push_expr(L, a1);  /* fn, a1 */
    push_expr(L, a2);  /* fn, a1, a2 */
    for (auto _ : state) {
        lua_pushvalue(L, 1);
        lua_pushvalue(L, 2);
        lua_pushvalue(L, 3);  /* fn, a1, a2, fn, a1, a2 */
        lua_call(L, 2, 1);    /* fn, a1, a2, result */
        benchmark::DoNotOptimize(lua_topointer(L, -1));
        lua_pop(L, 1);
    }
    state.counters["per_elem"] = benchmark::Counter(
        n, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    lua_close(L);
}

}  // namespace

BENCHMARK_CAPTURE(call, parse_native, "kemluautils.macaddrlist_parse", "text", "sep")
    ->Arg(10)->Arg(1000);
BENCHMARK_CAPTURE(call, parse_lua, "lua_parse", "text", "sep")->Arg(10)->Arg(1000);
BENCHMARK_CAPTURE(call, string_native, "kemluautils.macaddrlist_string", "list", "sep")
    ->Arg(10)->Arg(1000);
BENCHMARK_CAPTURE(call, string_lua, "lua_string", "list", "sep")->Arg(10)->Arg(1000);
BENCHMARK_CAPTURE(call, remove_native, "kemluautils.macaddrlist_remove_macaddr", "list",
                  "present")->Arg(10)->Arg(1000);
BENCHMARK_CAPTURE(call, remove_lua, "lua_remove", "list", "present")->Arg(10)->Arg(1000);
BENCHMARK_CAPTURE(call, append_unique_native, "kemluautils.macaddrlist_append_macaddr_unique",
                  "list", "absent")->Arg(10)->Arg(1000);
BENCHMARK_CAPTURE(call, append_unique_lua, "lua_append_unique", "list", "absent")
    ->Arg(10)->Arg(1000);

BENCHMARK_MAIN();
