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
 *  - json2lua makes each table when its container closes, sized for its
 *    items, so small tables never grow by rehashing; a table whose items
 *    move in early (see flush) is made with room for twice the items it
 *    takes then, which spends some memory to spare most rehashes. The
 *    contents are those of a table filled member by member; the order in
 *    which `next` visits them is the interpreter's business, as for any
 *    table.
 *  - The stack holds at most three slots for each suspended level, whatever
 *    the number or order of its items, so a document fails for depth only
 *    where the interpreter's own stack limit is reached (LUAI_MAXCSTACK:
 *    2,664 levels of objects, 3,996 of arrays on Lua 5.1 and LuaJIT).
 *  - The parse runs guarded (luaaux.h), so an interpreter error inside it
 *    (out of memory) releases the parser and the context before it goes on.
 *  - Number texts are what lua_tolstring makes of them ("%.14g"); common
 *    numbers are formatted here without creating a Lua string, with a
 *    result proven identical (see quick_number).
 *  - yajl as configured decides what is JSON: it takes a form feed between
 *    tokens for blank space and passes invalid UTF-8 through (docs/json.md).
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

/* True when a byte of v is zero (exact: no false answer either way). */
template <typename T>
inline bool zero_byte(T v)
{
    constexpr T ones = static_cast<T>(~T(0)) / 0xff; /* 0x0101... */
    return ((v - ones) & ~v & (ones << 7)) != 0;
}

/* Whether the length bytes at b hold no zero, read as two overlapping
   words of T (sizeof(T) <= length <= 2 * sizeof(T)). */
template <typename T>
inline bool no_zero(const unsigned char *b, size_t length)
{
    T head, tail;
    std::memcpy(&head, b, sizeof head);
    std::memcpy(&tail, b + length - sizeof tail, sizeof tail);
    return !zero_byte(head) && !zero_byte(tail);
}

/* The length of bytes up to the first NUL: how the text is cut. Short
   texts, the common case, are tested a word at a time without a call. */
inline size_t cut(const void *bytes, size_t length)
{
    auto *b = static_cast<const unsigned char *>(bytes);
    if (length > 16) {
        const void *nul = std::memchr(b, 0, length);
        return nul ? static_cast<size_t>(static_cast<const unsigned char *>(nul) - b) : length;
    }
    if (length >= 8 ? no_zero<uint64_t>(b, length)
                    : length >= 4 ? no_zero<uint32_t>(b, length) : false)
        return length;
    for (size_t i = 0; i < length; ++i)
        if (b[i] == 0)
            return i;
    return length;
}

inline json2lua_ctx *as_ctx(void *ctx)
{
    return static_cast<json2lua_ctx *>(ctx);
}

/*
 * Building the tables. Each open container keeps on the stack a slot pair,
 * its parent's saved position and its table (nil until made), followed by
 * its pending items: values, or name and value pairs. ctx->index is the
 * position of the first item, negated for an object. A container's table
 * is made when it closes, sized for its items, so small tables never grow.
 * Two things move items into the table early, keeping the stack short:
 * more than `chunk` slots of items, or the stack nearing the interpreter's
 * limit; and a nested container opening, which leaves its parent with its
 * slot pair and the pending member name only (three slots a level).
 */
constexpr int chunk = 64;

#ifndef LUAI_MAXCSTACK
#define LUAI_MAXCSTACK 8000
#endif

/* Where the innermost container moves its items into its table at the
   latest: a flush pushes at most three more values. */
constexpr int stack_cap = LUAI_MAXCSTACK - 4;

/* The stack room an opening container needs at least: its slot pair, a
   name and a value, and what a flush pushes. */
constexpr int least_room = 8;

inline int base_of(const json2lua_ctx *c)
{
    return c->index < 0 ? -c->index : c->index;
}

/* Moves the pending items of the innermost container into its table (made
   here when there is none yet), all but the `keep` topmost (0, or 1 for a
   member name that waits for its container). With more items to come the
   table is made with room for twice as many, so it rarely grows. */
void flush(json2lua_ctx *c, int keep, bool more)
{
    lua_State *L = c->L;
    int base = base_of(c);
    int items = lua_gettop(L) - base + 1 - keep;
    bool object = c->index < 0;
    int slot = base - 1;
    int first = 1; /* the index the next array element takes */
    if (lua_isnil(L, slot)) {
        int entries = object ? items / 2 : items;
        if (more)
            entries = 2 * (entries + 1);
        lua_createtable(L, object ? 0 : entries, object ? entries : 0); /* ..., items, table */
        lua_replace(L, slot);                                          /* ..., items */
    } else if (!object) {
        first = static_cast<int>(lua_objlen(L, slot)) + 1;
    }
    if (object) { /* in document order: a later duplicate name wins */
        for (int i = base; i < base + items; i += 2) {
            lua_pushvalue(L, i);  /* ..., items, name */
            lua_pushvalue(L, i + 1); /* ..., items, name, value */
            lua_rawset(L, slot);  /* ..., items */
        }
        if (keep)
            lua_replace(L, base); /* ..., name: the kept name moves down */
        lua_settop(L, slot + keep); /* position, table[, name] */
    } else { /* from the top down: each store pops its value */
        for (int n = items; n > 0; --n)
            lua_rawseti(L, slot, first + n - 1);
        /* position, table */
    }
}

/* A value has been pushed as an item of the innermost container. */
inline int store(json2lua_ctx *c)
{
    int top = lua_gettop(c->L);
    if (top - base_of(c) >= chunk - 1 || top >= stack_cap)
        flush(c, 0, true);
    return 1;
}

/* Opens a container: its slot pair, its items to follow. The parent, now
   suspended, keeps its slot pair and the pending name only. */
int open_container(json2lua_ctx *c, bool object)
{
    lua_State *L = c->L;
    if (c->depth == c->max_depth)
        return 0;
    if (c->depth > 0) {
        int keep = c->index < 0 ? 1 : 0;
        if (lua_gettop(L) - base_of(c) + 1 > keep)
            flush(c, keep, true); /* position, table[, name] */
    }
    int top = lua_gettop(L);
    int room = LUAI_MAXCSTACK - top < chunk + 8 ? LUAI_MAXCSTACK - top : chunk + 8;
    if (room < least_room || !lua_checkstack(L, room))
        return 0;
    ++c->depth;
    kem_push_integer(L, c->index, "json2lua"); /* ..., the parent's position */
    lua_pushnil(L);               /* ..., position, the table made later */
    int base = lua_gettop(L) + 1;
    c->index = object ? -base : base;
    return 1;
}

/* Closes a container: its table replaces its slot pair as an item of the
   parent (or as the result at the top level). */
int close_container(json2lua_ctx *c)
{
    lua_State *L = c->L;
    int base = base_of(c);
    flush(c, 0, false); /* ..., parent's position, table */
    c->index = static_cast<int32_t>(kem_to_integer(L, base - 2, "json2lua"));
    lua_replace(L, base - 2); /* ..., table */
    --c->depth;
    return c->depth == 0 ? 1 : store(c);
}

/* The guarded part of json2lua: runs the parser over the text. */
struct parse_job {
    json2lua_ctx *ctx;
    const char *text;
    size_t length;
    bool ok;
};

int parse_guarded(lua_State *L)
{
    auto *job = static_cast<parse_job *>(kem_guard_job(L));
    auto *text = reinterpret_cast<const unsigned char *>(job->text);
    yajl_handle parser = job->ctx->parser;
    job->ok = yajl_parse(parser, text, job->length) == yajl_status_ok &&
              yajl_complete_parse(parser) == yajl_status_ok;
    return job->ok ? 1 : 0; /* the table */
}

/* ---- number texts ------------------------------------------------------- */

constexpr bool same_text(const char *a, const char *b)
{
    return *a == *b && (*a == 0 || same_text(a + 1, b + 1));
}

/* quick_number knows the "%.14g" conversion of the interpreter. */
constexpr bool quick_numbers = same_text(LUA_NUMBER_FMT, "%.14g");

/* Room for a quick number: sign, 14 digits, point, leading zeros. */
constexpr int quick_room = 24;

constexpr double powers_of_ten[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7,
                                    1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14};

/* Writes the decimal digits of m ending at end, at least `width` of them
   (leading zeros); returns the start. */
char *digits(char *end, uint64_t m, int width)
{
    static const char pairs[] = "00010203040506070809101112131415161718192021222324"
                                "25262728293031323334353637383940414243444546474849"
                                "50515253545556575859606162636465666768697071727374"
                                "75767778798081828384858687888990919293949596979899";
    char *p = end;
    while (m >= 100) {
        unsigned two = static_cast<unsigned>(m % 100) * 2;
        m /= 100;
        *--p = pairs[two + 1];
        *--p = pairs[two];
    }
    if (m >= 10) {
        *--p = pairs[m * 2 + 1];
        *--p = pairs[m * 2];
    } else {
        *--p = static_cast<char>('0' + m);
    }
    while (end - p < width)
        *--p = '0';
    return p;
}

/*
 * Writes v as "%.14g" does, when that can be done exactly without printf:
 * v is m / 10^k for an integer m below 10^14 and 0 <= k <= 13 (the division
 * rounds correctly, so v is the double nearest that decimal), and
 * |v| >= 1e-4. That decimal has at most 14 significant digits and lies
 * within half an ulp of v, far inside half a unit of the 14th digit, so it
 * is v rounded to 14 digits; %g prints it in fixed notation without
 * trailing zeros, which the least such k gives. Writes the text to end at
 * buf + quick_room and returns its start, or null when v is not such a
 * number (zero included: -0 prints as "-0").
 */
const char *quick_number(double v, char *buf)
{
    double a = v < 0 ? -v : v;
    if (!(a >= 1e-4 && a < 1e14))
        return nullptr;
    int k = 0;
    uint64_t m = static_cast<uint64_t>(a);
    if (static_cast<double>(m) != a) { /* not integral: find the least k */
        for (k = 1;; ++k) {
            double scaled = a * powers_of_ten[k];
            if (k > 13 || scaled >= 1e14)
                return nullptr;
            m = static_cast<uint64_t>(scaled + 0.5);
            if (static_cast<double>(m) / powers_of_ten[k] == a)
                break;
        }
    }
    /* right-aligned in buf: fraction, point, whole part, sign */
    char *end = buf + quick_room;
    char *p = end;
    if (k > 0) {
        p = digits(p, m % static_cast<uint64_t>(powers_of_ten[k]), k);
        *--p = '.';
        m /= static_cast<uint64_t>(powers_of_ten[k]);
    }
    p = digits(p, m, 1);
    if (v < 0)
        *--p = '-';
    return p;
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
    if (kem_device_numbers() && lua_isinteger(L, idx)) { /* the device holds 32 bits of it */
        auto narrow = static_cast<long long>(kem_to_integer(L, idx, "lua2json"));
        if (narrow != lua_tonumber(L, idx)) {
            out->length = static_cast<size_t>(std::snprintf(out->buf, sizeof out->buf, "%lld", narrow));
            out->text = out->buf;
            out->quick = true;
            return true;
        }
    }
    if (quick_numbers) {
        lua_Number v = lua_tonumber(L, idx);
        out->quick = true;
        if (v == 0 && !std::signbit(v)) {
            out->text = "0";
            out->length = 1;
            return true;
        }
        if (const char *p = quick_number(v, out->buf)) {
            out->text = p;
            out->length = static_cast<size_t>(out->buf + quick_room - p);
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
    if (c->index < 0) /* a null member is left out with its name */
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
    kem_push_integer(c->L, value, "json2lua");
    return store(c);
}

extern "C" int json2lua_double(void *ctx, double value)
{
    json2lua_ctx *c = as_ctx(ctx);
    if (c->depth == 0)
        return 0;
    kem_push_number(c->L, value, "json2lua");
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
    lua_pushlstring(c->L, reinterpret_cast<const char *>(bytes), cut(bytes, length));
    return 1;
}

extern "C" int json2lua_start_map(void *ctx)
{
    return open_container(as_ctx(ctx), true);
}

extern "C" int json2lua_start_array(void *ctx)
{
    return open_container(as_ctx(ctx), false);
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
    if (!lua_checkstack(L, 8))
        return -1;
    int top = lua_gettop(L);
    int guard = kem_guard_push(L, parse_guarded, 0); /* may raise: nothing held yet */
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
    int status = kem_guard_run(L, guard, &job, 0, 1); /* guard, table, nil or error */
    json2lua_ctx_free(ctx);
    if (status != 0) /* the interpreter's error, raised again now nothing is held */
        return lua_error(L);
    if (!job.ok) {
        lua_settop(L, top);
        return -1;
    }
    lua_replace(L, guard); /* table, guard's box */
    lua_settop(L, guard);  /* the table */
    return 0;
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
