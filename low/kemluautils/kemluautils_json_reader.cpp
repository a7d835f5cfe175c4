/*
 * JSON text into Lua tables: json2lua and the callbacks it gives yajl's
 * parser (the writing half is kemluautils_json_writer.cpp).
 *
 * Caveats:
 *  - Strings and member names are cut at their first NUL byte.
 *  - No text is copied to the heap: a string or member name is pushed
 *    straight from the parser's buffer (lua_pushlstring up to the first
 *    NUL), and a pending member name waits on the Lua stack. The one block
 *    per parse is the context; yajl keeps its own default allocator.
 *  - Each table is made when its container closes, sized for its items, so
 *    small tables never grow by rehashing; a table whose items move in
 *    early (see flush) is made with room for twice the items it takes then,
 *    which spends some memory to spare most rehashes. The contents are
 *    those of a table filled member by member; the order in which `next`
 *    visits them is the interpreter's business, as for any table.
 *  - The stack holds at most three slots for each suspended level, whatever
 *    the number or order of its items, so a document fails for depth only
 *    where the interpreter's own stack limit is reached (LUAI_MAXCSTACK:
 *    2,664 levels of objects, 3,996 of arrays on Lua 5.1 and LuaJIT).
 *  - The parse runs guarded (luaaux.h), so an interpreter error inside it
 *    (out of memory) releases the parser and the context before it goes on.
 *  - yajl as configured decides what is JSON: it takes a form feed between
 *    tokens for blank space and passes invalid UTF-8 through (docs/json.md).
 *  - The Lua stack grows by lua_checkstack; a stack that cannot grow is a
 *    failure (-1), never the interpreter's stack-overflow error.
 *  - json2lua refuses null pointers: -1 with the stack untouched. The
 *    callbacks take the context the parser hands them, never null.
 */
#include "kemluautils.h"
#include "luaaux.h"

#include <cstring>

namespace {

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
    auto *job = static_cast<parse_job *>(kem_guard_job(L, parse_guarded));
    auto *text = reinterpret_cast<const unsigned char *>(job->text);
    yajl_handle parser = job->ctx->parser;
    job->ok = yajl_parse(parser, text, job->length) == yajl_status_ok &&
              yajl_complete_parse(parser) == yajl_status_ok;
    return job->ok ? 1 : 0; /* the table */
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
    lua_pushlstring(c->L, reinterpret_cast<const char *>(bytes), kem_length_to_nul(bytes, length));
    return store(c);
}

extern "C" int json2lua_map_key(void *ctx, const unsigned char *bytes, size_t length)
{
    json2lua_ctx *c = as_ctx(ctx);
    lua_pushlstring(c->L, reinterpret_cast<const char *>(bytes), kem_length_to_nul(bytes, length));
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
    if (!L || !text || !lua_checkstack(L, 8))
        return -1;
    size_t length = std::strlen(text);
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
