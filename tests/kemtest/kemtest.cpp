/*
 * kemtest: a Lua module for the test scripts. It reads the host allocator's
 * accounting (live blocks, peak bytes), drives its fault injection, counts
 * registry references and tells the widths of lua_Integer and time_t.
 */
#include "platform/host/mem_debug.h"
#include "../support/kemcheck.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {

int live_blocks(lua_State *L)
{
    lua_pushinteger(L, static_cast<lua_Integer>(mem_live_blocks()));
    return 1;
}

int live_bytes(lua_State *L)
{
    lua_pushinteger(L, static_cast<lua_Integer>(mem_live_bytes()));
    return 1;
}

int peak_bytes(lua_State *L)
{
    lua_pushinteger(L, static_cast<lua_Integer>(mem_peak_bytes()));
    return 1;
}

int reset_peak(lua_State *)
{
    mem_reset_peak();
    return 0;
}

int alloc_count(lua_State *L)
{
    lua_pushinteger(L, static_cast<lua_Integer>(mem_alloc_count()));
    return 1;
}

/* The listing of live blocks as a string, one "file:line size" a line. */
int report(lua_State *L)
{
    char *text = nullptr;
    std::size_t size = 0;
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

int fail_off(lua_State *)
{
    mem_fail_off();
    return 0;
}

int failures(lua_State *L)
{
    lua_pushinteger(L, static_cast<lua_Integer>(mem_failures()));
    return 1;
}

int registry_refs(lua_State *L)
{
    lua_pushinteger(L, kem_registry_refs(L));
    return 1;
}

const luaL_Reg functions[] = {
    {"live_blocks", live_blocks}, {"live_bytes", live_bytes},   {"alloc_count", alloc_count},
    {"report", report},           {"fail_at", fail_at},         {"fail_off", fail_off},
    {"failures", failures},       {"registry_refs", registry_refs}, {"peak_bytes", peak_bytes},
    {"reset_peak", reset_peak},   {nullptr, nullptr},
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int luaopen_kemtest(lua_State *L)
{
    luaL_register(L, "kemtest", functions);
    /* the widths that results depend on: Lua integers keep their low bits */
    lua_pushinteger(L, static_cast<lua_Integer>(sizeof(lua_Integer) * 8));
    lua_setfield(L, -2, "integer_bits");
    lua_pushinteger(L, static_cast<lua_Integer>(sizeof(time_t) * 8));
    lua_setfield(L, -2, "time_bits");
    return 1;
}
