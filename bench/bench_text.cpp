// Benchmarks of the text and data functions, called from Lua, beside their
// floors: memcpy of the same bytes for Base64, OpenSSL's one-shot SHA-256
// beside the platform's hash_sha256 (the module itself loads no libcrypto;
// this program links it as the peer), and what a script would write without the module
// (string.gmatch, table.concat) for split and join.
#include <benchmark/benchmark.h>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <openssl/sha.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kemluautils.h"
#include "platform/hash.h"

namespace {

/* An interpreter with the module and a Lua function to time. */
class Script {
public:
    explicit Script(const char *function_source)
    {
        L = luaL_newstate();
        luaL_openlibs(L);
        lua_pushcfunction(L, luaopen_libkemluautils);
        lua_call(L, 0, 0);
        std::string chunk = std::string("local k = kemluautils\nreturn ") + function_source;
        if (luaL_loadstring(L, chunk.c_str()) || lua_pcall(L, 0, 1, 0))
            std::abort();
        /* function */
    }
    ~Script() { lua_close(L); }

    /* Calls the function with the string argument (kept at index 2). */
    void set_argument(const std::string &s) { lua_settop(L, 1); lua_pushlstring(L, s.data(), s.size()); }

    /* Builds a table argument of n pieces at index 2. */
    void set_pieces(int n)
    {
        lua_settop(L, 1);
        lua_createtable(L, n, 0);
        for (int i = 1; i <= n; ++i) {
            lua_pushfstring(L, "piece%d", i);
            lua_rawseti(L, -2, i);
        }
    }

    void call()
    {
        lua_pushvalue(L, 1);
        lua_pushvalue(L, 2);
        lua_call(L, 1, 1);
        benchmark::DoNotOptimize(lua_touserdata(L, -1));
        lua_settop(L, 2);
    }

    lua_State *L;
};

std::string bytes(size_t n)
{
    std::string s(n, '\0');
    unsigned v = 1;
    for (auto &c : s) {
        v = v * 1103515245u + 12345u;
        c = static_cast<char>(v >> 16);
    }
    return s;
}

std::string pieces_text(int n)
{
    std::string s;
    for (int i = 1; i <= n; ++i) {
        if (i > 1)
            s.push_back(',');
        s.append("piece").append(std::to_string(i));
    }
    return s;
}

void run_script(benchmark::State &state, Script &script, size_t bytes_per_call)
{
    for (auto _ : state)
        script.call();
    if (bytes_per_call)
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes_per_call));
}

void BM_base64_encode_lua(benchmark::State &state)
{
    Script script("function(s) return k.base64_encode(s) end");
    script.set_argument(bytes(state.range(0)));
    run_script(state, script, state.range(0));
}

void BM_base64_decode_lua(benchmark::State &state)
{
    Script script("function(s) return k.base64_decode(s) end");
    lua_State *L = script.L;
    lua_getglobal(L, "kemluautils");
    lua_getfield(L, -1, "base64_encode");
    std::string data = bytes(state.range(0));
    lua_pushlstring(L, data.data(), data.size());
    lua_call(L, 1, 1);
    std::string coded = lua_tostring(L, -1);
    script.set_argument(coded);
    run_script(state, script, state.range(0));
}

void BM_memcpy_floor(benchmark::State &state)
{
    std::string from = bytes(state.range(0));
    std::vector<char> to(from.size());
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), from.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * state.range(0)));
}

void BM_sha256_lua(benchmark::State &state)
{
    Script script("function(s) return k.sha256(s) end");
    script.set_argument(bytes(state.range(0)));
    run_script(state, script, state.range(0));
}

/* The platform's hash_sha256 from C, and its peer, OpenSSL's SHA256(). */
void BM_sha256_platform(benchmark::State &state)
{
    std::string data = bytes(state.range(0));
    unsigned char digest[HASH_SHA256_SIZE];
    for (auto _ : state) {
        hash_sha256(data.data(), data.size(), digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * state.range(0)));
}

void BM_sha256_openssl_peer(benchmark::State &state)
{
    std::string data = bytes(state.range(0));
    unsigned char digest[SHA256_DIGEST_LENGTH];
    for (auto _ : state) {
        SHA256(reinterpret_cast<const unsigned char *>(data.data()), data.size(), digest);
        benchmark::DoNotOptimize(digest);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * state.range(0)));
}

void BM_string_split(benchmark::State &state)
{
    Script script("function(s) return k.string_split(s, ',') end");
    script.set_argument(pieces_text(static_cast<int>(state.range(0))));
    run_script(state, script, 0);
}

void BM_gmatch_split_peer(benchmark::State &state)
{
    Script script("function(s) local t, n = {}, 0\n"
                  "  for p in s:gmatch('[^,]+') do n = n + 1 t[n] = p end\n"
                  "  return t end");
    script.set_argument(pieces_text(static_cast<int>(state.range(0))));
    run_script(state, script, 0);
}

void BM_string_join(benchmark::State &state)
{
    Script script("function(t) return k.string_join(t, ',') end");
    script.set_pieces(static_cast<int>(state.range(0)));
    run_script(state, script, 0);
}

void BM_concat_join_peer(benchmark::State &state)
{
    Script script("function(t) return table.concat(t, ',') end");
    script.set_pieces(static_cast<int>(state.range(0)));
    run_script(state, script, 0);
}

}  // namespace

BENCHMARK(BM_base64_encode_lua)->Arg(1024)->Arg(1 << 20);
BENCHMARK(BM_base64_decode_lua)->Arg(1024)->Arg(1 << 20);
BENCHMARK(BM_memcpy_floor)->Arg(1024)->Arg(1 << 20);
BENCHMARK(BM_sha256_lua)->Arg(1024)->Arg(1 << 20);
BENCHMARK(BM_sha256_platform)->Arg(1024)->Arg(1 << 20);
BENCHMARK(BM_sha256_openssl_peer)->Arg(1024)->Arg(1 << 20);
BENCHMARK(BM_string_split)->Arg(10)->Arg(10000);
BENCHMARK(BM_gmatch_split_peer)->Arg(10)->Arg(10000);
BENCHMARK(BM_string_join)->Arg(10)->Arg(10000);
BENCHMARK(BM_concat_join_peer)->Arg(10)->Arg(10000);

BENCHMARK_MAIN();
