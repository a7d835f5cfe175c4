/*
 * require "kemlua.json": the library's JSON bridge for scripts, called the
 * way a device's native module calls it, so that a script that handles
 * JSON texts runs on the workstation with the device's decoding: the same
 * depth limit, the same numbers (with device numbers, narrowed as there).
 *
 *   decode(text [, depth])   json2lua: the table of a JSON object or array,
 *                            or nil and a message
 *   encode(value [, depth])  lua2json into a yajl generator: the JSON text,
 *                            or nil and a message
 *
 * depth is the number of table levels allowed (16 when not given). The
 * generator lives in a full userdata whose __gc frees it, so a raise
 * inside lua2json (out of memory) loses nothing.
 */
#include "kemlua.h"
#include "kemluautils.h"

extern "C" {
#include <lauxlib.h>
}
#include <yajl/yajl_gen.h>

namespace {

constexpr lua_Number default_depth = 16;

/* A count of levels, 0 to 2^32 - 1 (a number: lua_Integer may have 32 bits). */
uint32_t depth_arg(lua_State *L, int idx)
{
    lua_Number depth = luaL_optnumber(L, idx, default_depth);
    luaL_argcheck(L, depth >= 0 && depth <= 4294967295.0 && depth == static_cast<uint32_t>(depth), idx,
                  "depth must be a whole number from 0 to 4294967295");
    return static_cast<uint32_t>(depth);
}

int decode(lua_State *L)
{
    const char *text = luaL_checkstring(L, 1);
    uint32_t depth = depth_arg(L, 2);
    if (json2lua(L, text, depth) == 0)
        return 1;
    lua_pushnil(L);
    lua_pushfstring(L, "not a JSON object or array of at most %f levels", static_cast<lua_Number>(depth));
    return 2;
}

struct Generator {
    yajl_gen gen;
};

int free_generator(lua_State *L)
{
    auto *box = static_cast<Generator *>(lua_touserdata(L, 1));
    if (box->gen)
        yajl_gen_free(box->gen);
    box->gen = nullptr;
    return 0;
}

int encode(lua_State *L)
{
    luaL_checkany(L, 1);
    uint32_t depth = depth_arg(L, 2);
    lua_settop(L, 1);
    auto *box = static_cast<Generator *>(lua_newuserdata(L, sizeof(Generator)));
    box->gen = nullptr;
    if (luaL_newmetatable(L, "kemlua.json generator")) {
        lua_pushcfunction(L, free_generator);
        lua_setfield(L, -2, "__gc");
    }
    lua_setmetatable(L, -2); /* value, box */
    box->gen = yajl_gen_alloc(nullptr);
    if (!box->gen)
        return luaL_error(L, "encode: no memory for a JSON generator");
    lua_pushvalue(L, 1);
    int status = lua2json(L, box->gen, depth);
    lua_settop(L, 2);
    const unsigned char *buf = nullptr;
    size_t len = 0;
    if (status != 0 || yajl_gen_get_buf(box->gen, &buf, &len) != yajl_gen_status_ok || len == 0) {
        lua_pushnil(L);
        lua_pushfstring(L, "%s is no JSON value of at most %f levels", luaL_typename(L, 1), static_cast<lua_Number>(depth));
        return 2;
    }
    lua_pushlstring(L, reinterpret_cast<const char *>(buf), len);
    lua_pushcfunction(L, free_generator); /* now, not at the next collection */
    lua_pushvalue(L, 2);
    lua_call(L, 1, 0);
    return 1;
}

int open_json(lua_State *L)
{
    static const luaL_Reg functions[] = {{"decode", decode}, {"encode", encode}, {nullptr, nullptr}};
    lua_createtable(L, 0, 2);
    luaL_register(L, nullptr, functions);
    return 1;
}

}  // namespace

void kemlua_preload_json(lua_State *L)
{
    lua_getfield(L, LUA_GLOBALSINDEX, "package");
    lua_getfield(L, -1, "preload");
    lua_pushcfunction(L, open_json);
    lua_setfield(L, -2, "kemlua.json");
    lua_pop(L, 2);
}
