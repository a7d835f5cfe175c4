// kemtest: a Lua module for the test scripts, on the host allocator's
// accounting and fault injection, with the width of lua_Integer.
#include "platform/host/mem_debug.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

#include <cstdio>

namespace {

template <auto F> int count(lua_State *L) { return lua_pushinteger(L, static_cast<lua_Integer>(F())), 1; }
template <auto F> int action(lua_State *) { return F(), 0; }

int fail_at(lua_State *L) { return mem_fail_at(luaL_checkinteger(L, 1), lua_toboolean(L, 2)), 0; }

int report(lua_State *) { return mem_report(stderr), 0; }

const luaL_Reg functions[] = {
    {"live_blocks", count<mem_live_blocks>}, {"live_bytes", count<mem_live_bytes>}, {"peak_bytes", count<mem_peak_bytes>},
    {"reset_peak", action<mem_reset_peak>},  {"fail_at", fail_at},                  {"fail_off", action<mem_fail_off>},
    {"report", report},                      {nullptr, nullptr},
};

}  // namespace

extern "C" __attribute__((visibility("default"))) int luaopen_kemtest(lua_State *L)
{
    luaL_register(L, "kemtest", functions);
    lua_pushinteger(L, static_cast<lua_Integer>(sizeof(lua_Integer) * 8));
    lua_setfield(L, -2, "integer_bits");
    return 1;
}
