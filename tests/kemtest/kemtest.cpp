/*
 * kemtest: a Lua module for the test scripts. It reads the host allocator's
 * accounting (live blocks, peak bytes), drives its fault injection and tells
 * the widths of lua_Integer and time_t.
 */
#include "platform/host/mem_debug.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

template <auto F> int count(lua_State *L)
{
    lua_pushinteger(L, static_cast<lua_Integer>(F()));
    return 1;
}

template <auto F> int action(lua_State *)
{
    F();
    return 0;
}

/* The listing of live blocks as a string, one "file:line size" a line. */
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

int fail_at(lua_State *L)
{
    mem_fail_at(static_cast<unsigned long>(luaL_checkinteger(L, 1)), lua_toboolean(L, 2));
    return 0;
}

const luaL_Reg functions[] = {
    {"live_blocks", count<mem_live_blocks>}, {"live_bytes", count<mem_live_bytes>},
    {"peak_bytes", count<mem_peak_bytes>},   {"reset_peak", action<mem_reset_peak>},
    {"alloc_count", count<mem_alloc_count>}, {"failures", count<mem_failures>},
    {"fail_at", fail_at},                    {"fail_off", action<mem_fail_off>},
    {"report", report},                      {nullptr, nullptr},
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
