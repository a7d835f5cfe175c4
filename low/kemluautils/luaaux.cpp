/*
 * Shared helpers of the library's Lua functions.
 */
#include "luaaux.h"

#include <cmath>
#include <limits>

int lua_isinteger(lua_State *L, int idx)
{
    if (lua_type(L, idx) != LUA_TNUMBER)
        return 0;
    /* the limits as doubles: -2^(bits-1) is exact, and so is 2^(bits-1) */
    constexpr lua_Number lo = static_cast<lua_Number>(std::numeric_limits<lua_Integer>::min());
    constexpr lua_Number hi = -lo;
    lua_Number v = lua_tonumber(L, idx);
    return v >= lo && v < hi && std::floor(v) == v;
}
