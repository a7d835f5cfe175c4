/*
 * require "kemlua.json": the library's JSON bridge for scripts, called the
 * way a device's native module calls it, so that a script that handles
 * JSON texts runs on the workstation with the device's decoding: the same
 * depth limit, the same numbers (with device numbers, narrowed as there).
 *
 *   decode(text [, depth])   json2lua: the table of a JSON object or array,
 *                            or nil and a message
 *   encode(value [, depth])  lua2json into a yajl generator: the JSON text,
 *                            or nil and a message; also when decode would
 *                            not give the value back (a bare scalar, a
 *                            member name twice, invalid UTF-8)
 *
 * depth is the number of table levels allowed (16 when not given). The
 * generator, and the parser that checks its text, live in a full userdata
 * whose __gc frees them, so a raise inside lua2json or the check (out of
 * memory) loses nothing.
 */
#include "kemlua.h"
#include "kemluautils.h"

extern "C" {
#include <lauxlib.h>
}
#include <yajl/yajl_gen.h>
#include <yajl/yajl_parse.h>

#include <cstdio>
#include <cstring>

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

/* What the check of an encoded text found. */
struct Check {
    lua_State *L;
    unsigned depth;      /* containers open */
    bool top_scalar;     /* the text is a bare scalar */
    bool twice;          /* a member name repeats: its copy is on the stack */
};

/* A scalar outside every container: decode refuses that text. */
int scalar(void *ctx)
{
    auto *c = static_cast<Check *>(ctx);
    c->top_scalar = c->depth == 0;
    return !c->top_scalar;
}
int null_value(void *ctx) { return scalar(ctx); }
int boolean_value(void *ctx, int) { return scalar(ctx); }
int integer_value(void *ctx, long long) { return scalar(ctx); }
int double_value(void *ctx, double) { return scalar(ctx); }
int string_value(void *ctx, const unsigned char *, size_t) { return scalar(ctx); }

/* An object pushes the set of its member names, an array a placeholder. */
int open_container(void *ctx, bool object)
{
    auto *c = static_cast<Check *>(ctx);
    if (!lua_checkstack(c->L, 4))
        return 0;
    ++c->depth;
    if (object)
        lua_newtable(c->L);
    else
        lua_pushboolean(c->L, 0);
    return 1;
}
int open_object(void *ctx) { return open_container(ctx, true); }
int open_array(void *ctx) { return open_container(ctx, false); }

int close_container(void *ctx)
{
    auto *c = static_cast<Check *>(ctx);
    --c->depth;
    lua_pop(c->L, 1);
    return 1;
}

/* A member name: stops at one the object has had already, leaving it on the stack. */
int member_name(void *ctx, const unsigned char *name, size_t len)
{
    lua_State *L = static_cast<Check *>(ctx)->L;
    lua_pushlstring(L, reinterpret_cast<const char *>(name), len);  /* names, name */
    lua_pushvalue(L, -1);
    lua_rawget(L, -3);                                             /* names, name, seen */
    if (lua_toboolean(L, -1)) {
        lua_pop(L, 1);
        static_cast<Check *>(ctx)->twice = true;
        return 0;
    }
    lua_pop(L, 1);
    lua_pushboolean(L, 1);
    lua_rawset(L, -3);                                             /* names */
    return 1;
}

/* The callbacks of decode's parser, as far as they decide what it accepts:
   the same number callbacks, so that the same numbers fail. */
const yajl_callbacks check_callbacks = {null_value, boolean_value, integer_value, double_value, nullptr,
                                        string_value, open_object, member_name, close_container,
                                        open_array, close_container};

/* The generator and the check's parser, freed by __gc also when a raise
   (out of memory) leaves encode early. */
struct Box {
    yajl_gen gen;
    yajl_handle parser;
};

int free_box(lua_State *L)
{
    auto *box = static_cast<Box *>(lua_touserdata(L, 1));
    if (box->gen)
        yajl_gen_free(box->gen);
    if (box->parser)
        yajl_free(box->parser);
    box->gen = nullptr;
    box->parser = nullptr;
    return 0;
}

/*
 * Parses text as decode does: true when decode would give back its values,
 * else false with the reason pushed. Refused: a bare scalar (decode reads
 * objects and arrays), a member name given twice in one object (decode would
 * keep one), and what yajl's parser refuses (invalid UTF-8, which lua2json
 * passes through).
 */
bool decodable(lua_State *L, Box *box, const unsigned char *text, size_t len)
{
    Check c{L, 0, false, false};
    int top = lua_gettop(L);
    box->parser = yajl_alloc(&check_callbacks, nullptr, &c);
    if (!box->parser) {
        lua_pushliteral(L, "no memory for a JSON parser");
        return false;
    }
    if (yajl_parse(box->parser, text, len) == yajl_status_ok &&
        yajl_complete_parse(box->parser) == yajl_status_ok)
        return true;
    if (c.twice) {                                                 /* ..., name */
        lua_pushfstring(L, "member name \"%s\" is given twice in one object", lua_tostring(L, -1));
    } else if (c.top_scalar) {
        lua_pushfstring(L, "a %s is no JSON object or array", luaL_typename(L, 1));
    } else {
        char why[200];
        unsigned char *err = yajl_get_error(box->parser, 0, text, len);
        std::snprintf(why, sizeof why, "%s", err ? reinterpret_cast<char *>(err) : "parse error");
        yajl_free_error(box->parser, err);
        why[std::strcspn(why, "\n")] = '\0';
        lua_pushfstring(L, "the text would not decode: %s", why);
    }
    lua_insert(L, top + 1);                                  /* ..., reason[, name] */
    lua_settop(L, top + 1);
    return false;
}

int encode(lua_State *L)
{
    luaL_checkany(L, 1);
    uint32_t depth = depth_arg(L, 2);
    lua_settop(L, 1);
    auto *box = static_cast<Box *>(lua_newuserdata(L, sizeof(Box)));
    *box = Box{nullptr, nullptr};
    if (luaL_newmetatable(L, "kemlua.json box")) {
        lua_pushcfunction(L, free_box);
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
    if (decodable(L, box, buf, len))                        /* value, box */
        lua_pushlstring(L, reinterpret_cast<const char *>(buf), len);
    else                                                    /* value, box, reason */
        lua_pushnil(L);
    lua_pushcfunction(L, free_box); /* now, not at the next collection */
    lua_pushvalue(L, 2);
    lua_call(L, 1, 0);
    if (!lua_isnil(L, -1))
        return 1;
    lua_insert(L, -2);                                      /* value, box, nil, reason */
    return 2;
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
