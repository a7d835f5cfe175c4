// kemtest: a Lua module for the test scripts, on the host allocator's
// accounting and fault injection, with the widths of lua_Integer and time_t.
#include "platform/host/mem_debug.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

template <auto F> int count(lua_State *L) { return lua_pushinteger(L, static_cast<lua_Integer>(F())), 1; }
template <auto F> int action(lua_State *) { return F(), 0; }

int fail_at(lua_State *L) { return mem_fail_at(luaL_checkinteger(L, 1), lua_toboolean(L, 2)), 0; }

/* The listing of live blocks, one "file:line size" a line. */
int report(lua_State *L)
{
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    if (!out)
        return luaL_error(L, "kemtest.report: cannot open a memory stream");
    mem_report(out);
    std::fclose(out);
    lua_pushlstring(L, text, size);
    std::free(text);
    return 1;
}

const luaL_Reg functions[] = {
    {"live_blocks", count<mem_live_blocks>}, {"live_bytes", count<mem_live_bytes>}, {"peak_bytes", count<mem_peak_bytes>},
    {"alloc_count", count<mem_alloc_count>}, {"failures", count<mem_failures>},     {"reset_peak", action<mem_reset_peak>},
    {"fail_off", action<mem_fail_off>},      {"fail_at", fail_at},                  {"report", report},
    {nullptr, nullptr},
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int luaopen_kemtest(lua_State *L)
{
    luaL_register(L, "kemtest", functions);
    lua_pushinteger(L, static_cast<lua_Integer>(sizeof(lua_Integer) * 8));
    lua_setfield(L, -2, "integer_bits");
    lua_pushinteger(L, static_cast<lua_Integer>(sizeof(time_t) * 8));
    lua_setfield(L, -2, "time_bits");
    return 1;
}
