/*
 * The JSON bridge: JSON text into Lua tables through yajl's callback parser
 * (json2lua), and a Lua value into a caller's yajl generator (lua2json).
 *
 * Caveats:
 *  - Strings and member names are cut at their first NUL byte, both ways.
 *  - Neither direction copies texts to the heap: a string or member name is
 *    pushed straight from the parser's buffer (lua_pushlstring up to the
 *    first NUL), a pending member name waits on the Lua stack, and the
 *    generator is handed the texts the interpreter holds. The one block per
 *    parse is the context; yajl keeps its own default allocator.
 *  - Number texts are what lua_tolstring makes of them ("%.14g"); common
 *    numbers are formatted here without creating a Lua string, with a
 *    result proven identical (see quick_number).
 *  - yajl takes a form feed for blank space; json2lua refuses any text
 *    holding one (JSON allows it neither between tokens nor raw in strings).
 *  - The Lua stack grows by lua_checkstack; a stack that cannot grow is a
 *    failure (-1), never the interpreter's stack-overflow error.
 */
#include "kemluautils.h"
#include "luaaux.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

/* ---- helpers ------------------------------------------------------------ */

/* The length of bytes up to the first NUL: how the text is cut. */
inline size_t cut(const void *bytes, size_t length)
{
    const void *nul = std::memchr(bytes, 0, length);
    return nul ? static_cast<size_t>(static_cast<const char *>(nul) -
                                     static_cast<const char *>(bytes))
               : length;
}

inline json2lua_ctx *as_ctx(void *ctx)
{
    return static_cast<json2lua_ctx *>(ctx);
}

/* A pending member name is a string above the innermost table. */
inline bool name_pending(lua_State *L, int idx)
{
    return lua_type(L, idx) == LUA_TSTRING;
}

/* Stores the value at the top into the innermost table, under the pending
   name or at the next array index. */
int store(json2lua_ctx *c)
{
    lua_State *L = c->L;
    if (name_pending(L, -2)) {
        lua_rawset(L, -3); /* table, name, value -> table */
    } else {
        lua_rawseti(L, -2, c->index); /* table, value -> table */
        ++c->index;
    }
    return 1;
}

/* Opens a container: the parent slot (when nested) and a new table. */
int open_container(json2lua_ctx *c)
{
    lua_State *L = c->L;
    if (c->depth == c->max_depth || !lua_checkstack(L, 10))
        return 0;
    ++c->depth;
    if (c->depth > 1) {
        if (name_pending(L, -1)) {
            lua_pushboolean(L, 1);
            lua_insert(L, -2); /* parent, true, name */
        } else {
            lua_pushboolean(L, 0);
            lua_pushinteger(L, c->index); /* parent, false, index */
        }
    }
    lua_createtable(L, 0, 0);
    return 1;
}

/* Closes a container: stores it into its parent and drops the parent slot. */
int close_container(json2lua_ctx *c)
{
    lua_State *L = c->L;
    if (c->depth == 1) { /* the top-level table stays */
        c->depth = 0;
        return 1;
    }
    /* parent, flag, place, table */
    if (lua_toboolean(L, -3)) {
        lua_rawset(L, -4); /* parent, flag */
        lua_pop(L, 1);
    } else {
        auto n = static_cast<int32_t>(lua_tointeger(L, -2));
        lua_rawseti(L, -4, n); /* parent, flag, index */
        c->index = n + 1;
        lua_pop(L, 2);
    }
    --c->depth;
    return 1;
}

/* The protected part of json2lua: runs the parser over the text. */
struct parse_job {
    json2lua_ctx *ctx;
    const char *text;
    size_t length;
    bool ok;
};

int parse_protected(lua_State *L)
{
    auto *job = static_cast<parse_job *>(lua_touserdata(L, 1));
    lua_pop(L, 1);
    auto *text = reinterpret_cast<const unsigned char *>(job->text);
    yajl_handle parser = job->ctx->parser;
    job->ok = yajl_parse(parser, text, job->length) == yajl_status_ok &&
              yajl_complete_parse(parser) == yajl_status_ok;
    return job->ok ? 1 : 0;
}

/* ---- number texts ------------------------------------------------------- */

constexpr bool same_text(const char *a, const char *b)
{
    return *a == *b && (*a == 0 || same_text(a + 1, b + 1));
}

/* quick_number knows the "%.14g" conversion of the interpreter. */
constexpr bool quick_numbers = same_text(LUA_NUMBER_FMT, "%.14g");

constexpr double powers_of_ten[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7,
                                    1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14};

/* Writes the decimal digits of m (> 0) ending at end; returns the start. */
char *digits(char *end, uint64_t m)
{
    do {
        *--end = static_cast<char>('0' + m % 10);
        m /= 10;
    } while (m);
    return end;
}

/*
 * Writes v as "%.14g" does, when that can be done exactly without printf:
 * v is r / 10^k for an integer r below 10^14 and 0 <= k <= 13 (the division
 * rounds correctly, so v is the double nearest that decimal), and
 * |v| >= 1e-4. That decimal has at most 14 significant digits and lies
 * within half an ulp of v, far inside half a unit of the 14th digit, so it
 * is v rounded to 14 digits; %g prints it in fixed notation without
 * trailing zeros. Returns the length, or 0 when v is not such a number.
 */
size_t quick_number(double v, char *buf)
{
    double a = std::fabs(v);
    if (!(a >= 1e-4 && a < 1e14))
        return 0;
    for (int k = 0; k <= 13; ++k) {
        double r = std::nearbyint(a * powers_of_ten[k]);
        if (r >= 1e14)
            return 0;
        if (r / powers_of_ten[k] != a)
            continue;
        auto m = static_cast<uint64_t>(r);
        while (k > 0 && m % 10 == 0) { /* k is minimal already; kept for safety */
            m /= 10;
            --k;
        }
        char tmp[40];
        char *end = tmp + sizeof tmp;
        char *p = digits(end, m);
        if (k > 0) {
            while (end - p < k + 1) /* leading zeros up to "0." */
                *--p = '0';
            size_t whole = static_cast<size_t>(end - p - k);
            size_t n = 0;
            if (v < 0)
                buf[n++] = '-';
            std::memcpy(buf + n, p, whole);
            n += whole;
            buf[n++] = '.';
            std::memcpy(buf + n, p + whole, static_cast<size_t>(k));
            return n + static_cast<size_t>(k);
        }
        size_t n = 0;
        if (v < 0)
            buf[n++] = '-';
        std::memcpy(buf + n, p, static_cast<size_t>(end - p));
        return n + static_cast<size_t>(end - p);
    }
    return 0;
}

/* A number's text, the way lua_tolstring writes it, as a borrowed pointer. */
struct number_text {
    char buf[64];
    const char *text;
    size_t length;
    bool quick; /* formatted here: finite by construction */
};

/* Takes the text of the number at idx; false when there is none. The value
   at idx is not converted. */
bool take_number(lua_State *L, int idx, number_text *out)
{
    if (quick_numbers) {
        lua_Number v = lua_tonumber(L, idx);
        if (v == 0 && !std::signbit(v)) {
            out->buf[0] = '0';
            out->length = 1;
        } else {
            out->length = quick_number(static_cast<double>(v), out->buf);
        }
        if (out->length) {
            out->text = out->buf;
            out->quick = true;
            return true;
        }
    }
    /* the interpreter's own conversion, on a copy so idx stays a number */
    lua_pushvalue(L, idx);
    size_t n = 0;
    const char *s = lua_tolstring(L, -1, &n);
    if (!s) {
        lua_pop(L, 1);
        return false;
    }
    n = cut(s, n < sizeof out->buf ? n : sizeof out->buf - 1);
    std::memcpy(out->buf, s, n);
    out->buf[n] = 0;
    lua_pop(L, 1);
    out->text = out->buf;
    out->length = n;
    out->quick = false;
    return true;
}

/* Writes a number text: null when it reads back as infinite or NaN. */
yajl_gen_status put_number(yajl_gen gen, const number_text &t)
{
    if (!t.quick && !std::isfinite(std::strtod(t.text, nullptr)))
        return yajl_gen_null(gen);
    return yajl_gen_number(gen, t.text, t.length);
}

/* ---- lua2json ----------------------------------------------------------- */

/* A member name to write before the value, or none for an array element. */
struct member_name {
    const char *text;
    size_t length;
};

inline bool put_name(yajl_gen gen, const member_name *name)
{
    return !name || yajl_gen_string(gen, reinterpret_cast<const unsigned char *>(name->text),
                                    name->length) == yajl_gen_status_ok;
}

/*
 * Writes the value at the top (an element or member value), its name first
 * when given. 0: written or left out (functions, userdata, threads);
 * -1: failure.
 */
int put_value(lua_State *L, yajl_gen gen, uint32_t depth, const member_name *name)
{
    switch (lua_type(L, -1)) {
    case LUA_TBOOLEAN:
        if (!put_name(gen, name))
            return -1;
        return yajl_gen_bool(gen, lua_toboolean(L, -1)) == yajl_gen_status_ok ? 0 : -1;
    case LUA_TNUMBER: {
        number_text t;
        if (!take_number(L, -1, &t) || !put_name(gen, name))
            return -1;
        return put_number(gen, t) == yajl_gen_status_ok ? 0 : -1;
    }
    case LUA_TSTRING: {
        size_t n = 0;
        const char *s = lua_tolstring(L, -1, &n);
        if (!s || !put_name(gen, name))
            return -1;
        return yajl_gen_string(gen, reinterpret_cast<const unsigned char *>(s), cut(s, n)) ==
                       yajl_gen_status_ok
                   ? 0
                   : -1;
    }
    case LUA_TTABLE:
        if (!put_name(gen, name))
            return -1;
        return lua2json_table(L, gen, depth);
    default:
        return 0;
    }
}

/* Writes the entries of the table at -1 as an object; 0 or -1. */
int put_object(lua_State *L, yajl_gen gen, uint32_t depth)
{
    if (yajl_gen_map_open(gen) != yajl_gen_status_ok)
        return -1;
    lua_pushnil(L);
    while (lua_next(L, -2)) { /* table, key, value */
        member_name name;
        number_text key;
        int kt = lua_type(L, -2);
        if (kt == LUA_TSTRING) {
            size_t n = 0;
            name.text = lua_tolstring(L, -2, &n); /* a string key is not converted */
            if (!name.text)
                return -1;
            name.length = cut(name.text, n);
        } else if (kt == LUA_TNUMBER) {
            if (!take_number(L, -2, &key))
                return -1;
            name.text = key.text;
            name.length = key.length;
        } else {
            lua_pop(L, 1); /* table, key */
            continue;
        }
        if (put_value(L, gen, depth, &name) != 0)
            return -1;
        lua_pop(L, 1); /* table, key */
    }
    return yajl_gen_map_close(gen) == yajl_gen_status_ok ? 0 : -1;
}

/* Writes the values of the table at -1 as an array; 0 or -1. */
int put_array(lua_State *L, yajl_gen gen, uint32_t depth)
{
    if (yajl_gen_array_open(gen) != yajl_gen_status_ok)
        return -1;
    lua_pushnil(L);
    while (lua_next(L, -2)) { /* table, key, value */
        if (put_value(L, gen, depth, nullptr) != 0)
            return -1;
        lua_pop(L, 1); /* table, key */
    }
    return yajl_gen_array_close(gen) == yajl_gen_status_ok ? 0 : -1;
}

}  // namespace

/* ---- json2lua callbacks ------------------------------------------------- */

extern "C" int json2lua_null(void *ctx)
{
    json2lua_ctx *c = as_ctx(ctx);
    if (c->depth == 0)
        return 0;
    if (name_pending(c->L, -1)) /* a null member is left out */
        lua_pop(c->L, 1);
    return 1;
}

extern "C" int json2lua_boolean(void *ctx, int value)
{
    json2lua_ctx *c = as_ctx(ctx);
    if (c->depth == 0)
        return 0;
    lua_pushboolean(c->L, value);
    return store(c);
}

extern "C" int json2lua_integer(void *ctx, long long value)
{
    json2lua_ctx *c = as_ctx(ctx);
    if (c->depth == 0)
        return 0;
    lua_pushinteger(c->L, static_cast<lua_Integer>(value));
    return store(c);
}

extern "C" int json2lua_double(void *ctx, double value)
{
    json2lua_ctx *c = as_ctx(ctx);
    if (c->depth == 0)
        return 0;
    lua_pushnumber(c->L, static_cast<lua_Number>(value));
    return store(c);
}

extern "C" int json2lua_string(void *ctx, const unsigned char *bytes, size_t length)
{
    json2lua_ctx *c = as_ctx(ctx);
    if (c->depth == 0)
        return 0;
    lua_pushlstring(c->L, reinterpret_cast<const char *>(bytes), cut(bytes, length));
    return store(c);
}

extern "C" int json2lua_map_key(void *ctx, const unsigned char *bytes, size_t length)
{
    json2lua_ctx *c = as_ctx(ctx);
    /* the name waits above the innermost table; a previous one is replaced */
    if (name_pending(c->L, -1))
        lua_pop(c->L, 1);
    lua_pushlstring(c->L, reinterpret_cast<const char *>(bytes), cut(bytes, length));
    return 1;
}

extern "C" int json2lua_start_map(void *ctx)
{
    return open_container(as_ctx(ctx));
}

extern "C" int json2lua_start_array(void *ctx)
{
    json2lua_ctx *c = as_ctx(ctx);
    if (!open_container(c))
        return 0;
    c->index = 1;
    return 1;
}

extern "C" int json2lua_end_map(void *ctx)
{
    return close_container(as_ctx(ctx));
}

extern "C" int json2lua_end_array(void *ctx)
{
    return close_container(as_ctx(ctx));
}

extern "C" const yajl_callbacks json2lua_callbacks = {
    json2lua_null,      json2lua_boolean, json2lua_integer,   json2lua_double,
    nullptr,            json2lua_string,  json2lua_start_map, json2lua_map_key,
    json2lua_end_map,   json2lua_start_array, json2lua_end_array,
};

/* ---- entry points ------------------------------------------------------- */

extern "C" void json2lua_ctx_free(json2lua_ctx *ctx)
{
    if (!ctx)
        return;
    if (ctx->parser)
        yajl_free(ctx->parser);
    mem_free_text(&ctx->key);
    mem_free(ctx, KEM_TAG);
}

extern "C" int json2lua(lua_State *L, const char *text, uint32_t max_depth)
{
    size_t length = std::strlen(text);
    /* yajl takes a form feed for blank space; JSON allows it nowhere */
    if (std::memchr(text, '\f', length) || !lua_checkstack(L, 2))
        return -1;
    int top = lua_gettop(L);
    lua_pushcfunction(L, parse_protected); /* may raise: nothing is held yet */
    auto *ctx = static_cast<json2lua_ctx *>(mem_calloc(1, sizeof(json2lua_ctx), KEM_TAG));
    if (!ctx) {
        lua_settop(L, top);
        return -1;
    }
    ctx->parser = yajl_alloc(&json2lua_callbacks, nullptr, ctx);
    if (!ctx->parser) {
        json2lua_ctx_free(ctx);
        lua_settop(L, top);
        return -1;
    }
    ctx->L = L;
    ctx->max_depth = max_depth;

    parse_job job{ctx, text, length, false};
    lua_pushlightuserdata(L, &job); /* parse_protected, job */
    int status = lua_pcall(L, 1, 1, 0);
    json2lua_ctx_free(ctx);
    if (status != 0) /* the interpreter's error, raised again now nothing is held */
        return lua_error(L);
    if (!job.ok) {
        lua_settop(L, top);
        return -1;
    }
    return 0; /* the table */
}

extern "C" int lua2json_table(lua_State *L, yajl_gen gen, uint32_t depth)
{
    if (depth == 0 || lua_type(L, -1) != LUA_TTABLE)
        return -1;
    if (!lua_checkstack(L, 5))
        return -1;
    lua_rawgeti(L, -1, 1);
    bool array = !lua_isnil(L, -1);
    lua_pop(L, 1);
    return array ? put_array(L, gen, depth - 1) : put_object(L, gen, depth - 1);
}

extern "C" int lua2json(lua_State *L, yajl_gen gen, uint32_t depth)
{
    int top = lua_gettop(L);
    int result = -1;
    const char *text = nullptr;
    switch (lua_type(L, -1)) {
    case LUA_TNUMBER: { /* converted in place, as the caller may observe */
        bool integer = lua_isinteger(L, -1);
        text = lua_tolstring(L, -1, nullptr);
        if (!text)
            break;
        yajl_gen_status s = !integer && !std::isfinite(std::strtod(text, nullptr))
                                ? yajl_gen_null(gen)
                                : yajl_gen_number(gen, text, std::strlen(text));
        result = s == yajl_gen_status_ok ? 0 : -1;
        break;
    }
    case LUA_TSTRING:
        text = lua_tolstring(L, -1, nullptr);
        if (text)
            result = yajl_gen_string(gen, reinterpret_cast<const unsigned char *>(text),
                                     std::strlen(text)) == yajl_gen_status_ok
                         ? 0
                         : -1;
        break;
    case LUA_TBOOLEAN:
        result = yajl_gen_bool(gen, lua_toboolean(L, -1)) == yajl_gen_status_ok ? 0 : -1;
        break;
    default:
        result = lua2json_table(L, gen, depth);
        break;
    }
    if (lua_gettop(L) > top)
        lua_settop(L, top);
    return result;
}
