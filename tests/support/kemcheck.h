/*
 * Leak checks shared by the native tests and the kemtest Lua module: live
 * registry references of a Lua state.
 */
#ifndef KEM_TESTS_KEMCHECK_H
#define KEM_TESTS_KEMCHECK_H

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

#include <set>

/*
 * Number of live luaL_ref references in the registry: the positive integer
 * keys that are not on luaL_ref's free list (whose head is registry[0]).
 */
inline int kem_registry_refs(lua_State *L)
{
    std::set<lua_Integer> free_slots;
    lua_rawgeti(L, LUA_REGISTRYINDEX, 0);
    lua_Integer slot = lua_tointeger(L, -1);
    lua_pop(L, 1);
    while (slot > 0 && free_slots.insert(slot).second) {
        lua_rawgeti(L, LUA_REGISTRYINDEX, static_cast<int>(slot));
        slot = lua_tointeger(L, -1);
        lua_pop(L, 1);
    }
    int live = 0;
    lua_pushnil(L);
    while (lua_next(L, LUA_REGISTRYINDEX)) {
        if (lua_type(L, -2) == LUA_TNUMBER) {
            lua_Number k = lua_tonumber(L, -2);
            auto key = static_cast<lua_Integer>(k);
            if (k >= 1 && static_cast<lua_Number>(key) == k && !free_slots.count(key))
                ++live;
        }
        lua_pop(L, 1);
    }
    return live;
}

#endif
