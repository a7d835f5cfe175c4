/*
 * Escaping cost per byte for 1 KB, 64 KB and 1 MB texts, plain (nothing to
 * escape) and all escapes, side by side:
 *   native    lua_rfc1630_escape, called as a script calls it
 *   gsub      the escaper a script author writes with string.gsub
 *   step32    the escaper with a fixed 32-byte growth step instead of
 *             geometric growth (1 KB and 64 KB only: 1 MB takes seconds)
 * The per_byte column (time per input byte) stays flat across sizes for
 * native and gsub and climbs with the size for step32.
 */
#include <benchmark/benchmark.h>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kemluautils.h"

namespace {

const char gsub_escaper[] = R"(
return function(s, form)
  local special = form and "[%z\1-\31 !#%%&*+/;<>\127-\255]" or "[%z\1-\32#%%&;\127-\255]"
  return (s:gsub(special, function(c)
    if form and c == " " then return "+" end
    return string.format("%%%02x", c:byte())
  end))
end
)";

enum Kind { plain_text, all_escapes };

std::string make_text(size_t len, Kind kind)
{
    std::string s(len, 'a');
    for (size_t i = 0; i < len; ++i)
        s[i] = kind == plain_text ? static_cast<char>('a' + i % 26) : "&# %"[i % 4];
    return s;
}

/* An interpreter with kiv.RFC1630_Escape and the gsub escaper as globals. */
lua_State *interpreter()
{
    lua_State *L = luaL_newstate();
    luaL_openlibs(L);
    lua_newtable(L);
    lua_setglobal(L, "kiv");
    escape_init(L);
    lua_pop(L, 1);
    if (luaL_dostring(L, gsub_escaper) != 0) {
        std::fprintf(stderr, "%s\n", lua_tostring(L, -1));
        std::abort();
    }
    lua_setglobal(L, "gsub_escape");
    return L;
}

/* Reports bytes per second and the time per input byte. */
void count(benchmark::State &state, size_t len)
{
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * len));
    state.counters["per_byte"] = benchmark::Counter(
        static_cast<double>(len),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

/* Times calls of table.name (or of the global `table` when name is null). */
void run(benchmark::State &state, const char *table, const char *name)
{
    auto len = static_cast<size_t>(state.range(0));
    auto kind = static_cast<Kind>(state.range(1));
    std::string text = make_text(len, kind);
    lua_State *L = interpreter();
    lua_getglobal(L, table);
    if (name)
        lua_getfield(L, -1, name);                 /* [kiv,] function */
    lua_pushlstring(L, text.data(), text.size());  /* ..., function, text */
    int fn = lua_gettop(L) - 1, arg = lua_gettop(L);
    for (auto _ : state) {
        lua_pushvalue(L, fn);
        lua_pushvalue(L, arg);
        lua_pushboolean(L, 1);
        if (lua_pcall(L, 2, 1, 0) != 0)
            state.SkipWithError(lua_tostring(L, -1));
        benchmark::DoNotOptimize(lua_tostring(L, -1));
        lua_pop(L, 1);
    }
    count(state, len);
    lua_close(L);
}

void native(benchmark::State &state) { run(state, "kiv", "RFC1630_Escape"); }
void gsub(benchmark::State &state) { run(state, "gsub_escape", nullptr); }

/* Escaping with a fixed step: grow to the text so far + piece + 32 bytes. */
void step32(benchmark::State &state)
{
    auto len = static_cast<size_t>(state.range(0));
    std::string text = make_text(len, static_cast<Kind>(state.range(1)));
    for (auto _ : state) {
        size_t cap = len + 11, used = 0;
        auto *buf = static_cast<char *>(std::calloc(1, cap));
        for (unsigned char b : text) {
            bool copy = b >= 'a' && b <= 'z';
            size_t n = copy ? 1 : 3;
            if (cap - used <= n) {
                size_t bigger = used + n + 32;
                auto *next = static_cast<char *>(std::calloc(1, bigger));
                std::memcpy(next, buf, used);
                std::free(buf);
                buf = next;
                cap = bigger;
            }
            if (copy)
                buf[used] = static_cast<char>(b);
            else
                std::snprintf(buf + used, 4, "%%%02x", b);
            used += n;
        }
        benchmark::DoNotOptimize(buf);
        std::free(buf);
    }
    count(state, len);
}

void sizes(benchmark::internal::Benchmark *b, bool with_1mb)
{
    for (int kind : {plain_text, all_escapes}) {
        b->Args({1 << 10, kind});
        b->Args({64 << 10, kind});
        if (with_1mb)
            b->Args({1 << 20, kind});
    }
    b->ArgNames({"bytes", "escapes"})->Unit(benchmark::kMicrosecond);
}

}  // namespace

BENCHMARK(native)->Apply([](auto *b) { sizes(b, true); });
BENCHMARK(gsub)->Apply([](auto *b) { sizes(b, true); });
BENCHMARK(step32)->Apply([](auto *b) { sizes(b, false); });

BENCHMARK_MAIN();
