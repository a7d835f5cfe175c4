/*
 * libkemluautils: public interface for native modules.
 *
 * The library is a Lua 5.1 module (luaopen_libkemluautils) and a helper
 * library for other native modules of the same interpreter. This header
 * declares every exported function. It compiles as C99 and as C++.
 *
 * Conventions:
 *  - Functions taking a lua_State run on the interpreter's thread, one call
 *    at a time; two of them share module-static message buffers.
 *  - "Raises" means a Lua error (longjmp): control does not return.
 *  - Blocks handed to the caller come from the platform's tagged allocator
 *    and are released with mem_free (platform/mem.h).
 */
#ifndef KEMLUAUTILS_H
#define KEMLUAUTILS_H

/*
 * The version of these headers: KEMLUAUTILS_VERSION ("1.0.0") and the numbers
 * KEMLUAUTILS_VERSION_MAJOR, _MINOR and _PATCH. The library keeps its ABI
 * within one major version (its SONAME is libkemluautils.so.MAJOR); the
 * loaded library tells its own version as the module field _VERSION.
 */
#include "kemluautils_version.h"

#include <stddef.h>
#include <stdint.h>
#include <time.h>

/*
 * The exported time functions take and give time_t, 64 bits wide in the
 * library on every machine. A caller compiled with a 32-bit time_t (32-bit
 * glibc machines by default) would pass half of it: refused here.
 */
#if defined(__GLIBC__) && defined(__TIMESIZE) && __TIMESIZE == 32 && !defined(__USE_TIME_BITS64)
#error "libkemluautils takes a 64-bit time_t: compile with -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64"
#endif
typedef char kemluautils_time_t_has_64_bits[sizeof(time_t) == 8 ? 1 : -1];

#ifdef __cplusplus
extern "C" {  /* Lua 5.1 and LuaJIT headers declare no linkage of their own */
#include <lua.h>
}
#else
#include <lua.h>
#endif
#include <yajl/yajl_gen.h>
#include <yajl/yajl_parse.h>

#if defined(__GNUC__)
#define KEMLUAUTILS_API __attribute__((visibility("default")))
#define KEMLUAUTILS_NORETURN __attribute__((noreturn))
#define KEMLUAUTILS_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define KEMLUAUTILS_API
#define KEMLUAUTILS_NORETURN
#define KEMLUAUTILS_PRINTF(f, a)
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Module entry ------------------------------------------------------ */

/*
 * Registers the module table "kemluautils" (the global of that name, created
 * when absent) with its functions and the field _VERSION (the library's
 * KEMLUAUTILS_VERSION) and leaves it on the stack. Returns 1.
 */
KEMLUAUTILS_API int luaopen_libkemluautils(lua_State *L);

/* ---- Exported helpers (kemluautils.cpp) -------------------------------- */

/*
 * Raises a Lua error whose message is format and its arguments, formatted
 * into a module-static buffer of 255 bytes (a longer message is cut to its
 * first 254 characters). No script position is prepended. Does not return.
 */
KEMLUAUTILS_API KEMLUAUTILS_NORETURN KEMLUAUTILS_PRINTF(2, 3)
void kemluautils_error(lua_State *L, const char *format, ...);

/*
 * Pushes format and its arguments as one string (read up to its first zero
 * byte), or nil when the formatting service gives no text (out of memory,
 * bad format). Stack: +1. The temporary text is released before returning.
 */
KEMLUAUTILS_API KEMLUAUTILS_PRINTF(2, 3)
void kemluautils_pushfstring(lua_State *L, const char *format, ...);

/*
 * The four table-field functions raise "Passed key is a NULL" for a null key
 * and "Passed key is empty" for an empty one, before touching any table.
 */

/*
 * Sets field key of the table at stack index 1 (the first value of the
 * caller's frame) to nil, metamethods honoured. Stack unchanged.
 */
KEMLUAUTILS_API void kemluautils_removeEntryFromTable(lua_State *L, const char *key);

/*
 * Sets field key of the table at index to the integer value, metamethods
 * honoured. index is used after two pushes: pass an absolute (positive)
 * index. Stack unchanged.
 */
KEMLUAUTILS_API void kemluautils_addIntEntryToTable(lua_State *L, int index, const char *key,
                                                    int value);

/*
 * The text of field key of the table on top of the stack. Stack: +1, the
 * field's value, which the caller pops; the text stays valid while it is
 * there. A number is converted to its text in that slot. Raises "Key %s is
 * not found in the table!" for nil and "Argument %s is not a string" for any
 * other type that is neither string nor number (the key in place of %s).
 */
KEMLUAUTILS_API const char *kemluautils_getStringFromTable(lua_State *L, const char *key);

/*
 * The integer in field key of the table on top of the stack (a wider
 * integer gives its low 32 bits). Stack unchanged. Raises "Key %s is not
 * found in the table!" for nil and "Argument %s is not a integer" for any
 * other value that is not an integral number.
 */
KEMLUAUTILS_API int kemluautils_getIntFromTable(lua_State *L, const char *key);

/*
 * The text of argument 1 of a native Lua function, valid while it stays on
 * the stack (a number is converted in its slot). Raises "only one argument
 * allowed" unless there is exactly one argument, then "need string
 * argument" unless it is a string or a number. Stack unchanged.
 */
KEMLUAUTILS_API const char *get_any_string_arg(lua_State *L);

/* The same as get_any_string_arg. */
KEMLUAUTILS_API const char *get_string_arg(lua_State *L);

/*
 * The constant name of a query type: 0 "querytype_single", 1
 * "querytype_multi", 2 "querytype_recursive", 3 "querytype_count", any
 * other code "unknown". Not to be freed.
 */
KEMLUAUTILS_API const char *querytype2str(unsigned int code);

/*
 * Stores function (a closure without upvalues) as field name of the global
 * table kiv. Stack: +1, the kiv table, which the caller pops or leaves to
 * its frame. A missing kiv raises the interpreter's indexing error.
 */
KEMLUAUTILS_API void LuaScript_MakeFunction(lua_State *L, const char *name,
                                            lua_CFunction function);

/* ---- JSON bridge (kemluautils_json_reader.cpp, _writer.cpp) ----------- */

/*
 * JSON text to Lua table.
 *
 * json2lua drives a yajl 2 callback parser (default allocator, no options:
 * strict JSON, UTF-8 validated) over a text and builds the tables directly
 * on the Lua stack. The context is one per call; the callback record is
 * constant. The callbacks are exported so the record can name them; only
 * json2lua drives them.
 *
 * While parsing, the stack holds from the height at entry upwards, for each
 * open container: the parent's saved `index`, the container's table (nil
 * until made) and its pending items (values; for an object, member names
 * and values). A container's table is made when it closes, sized for its
 * items, and takes the place of the two slots as an item of its parent; a
 * container with many items moves them into its table every 64 slots.
 * Member names wait on the stack as Lua strings, so `key` below stays null
 * in this implementation (json2lua_ctx_free still releases it when set).
 */
typedef struct json2lua_ctx {
    yajl_handle parser;   /* owned; yajl_free'd with the context */
    lua_State *L;         /* the interpreter whose stack receives the tables */
    char *key;            /* owned pending member name, or null (see above) */
    int32_t index;        /* stack position of the innermost container's first
                             item, negated for an object; 0 outside any */
    uint32_t depth;       /* containers open now; 0 outside any container */
    uint32_t max_depth;   /* the caller's maximum number of open containers */
} json2lua_ctx;

/*
 * The callbacks, each taking a json2lua_ctx as ctx; 1 lets the parser go
 * on, 0 cancels the parse. A scalar outside any container, a container
 * beyond max_depth and a Lua stack that cannot grow cancel. Strings and
 * member names are cut at their first NUL byte; member names always become
 * string keys; a null member is left out and a null array element takes no
 * index. Integers arrive through lua_pushinteger (lua_Integer), other
 * numbers through lua_pushnumber (lua_Number).
 */
KEMLUAUTILS_API int json2lua_null(void *ctx);
KEMLUAUTILS_API int json2lua_boolean(void *ctx, int value);
KEMLUAUTILS_API int json2lua_integer(void *ctx, long long value);
KEMLUAUTILS_API int json2lua_double(void *ctx, double value);
KEMLUAUTILS_API int json2lua_string(void *ctx, const unsigned char *bytes, size_t length);
KEMLUAUTILS_API int json2lua_map_key(void *ctx, const unsigned char *bytes, size_t length);
KEMLUAUTILS_API int json2lua_start_map(void *ctx);
KEMLUAUTILS_API int json2lua_end_map(void *ctx);
KEMLUAUTILS_API int json2lua_start_array(void *ctx);
KEMLUAUTILS_API int json2lua_end_array(void *ctx);

/* The parser's callback record (stock yajl 2 layout; the raw-number slot is
   empty, so integers and other numbers arrive separately). */
KEMLUAUTILS_API extern const yajl_callbacks json2lua_callbacks;

/*
 * Releases a context: yajl_free of its parser (if any), mem_free_text of a
 * pending name, mem_free of the context. Accepts null.
 */
KEMLUAUTILS_API void json2lua_ctx_free(json2lua_ctx *ctx);

/*
 * Parses the NUL-terminated text (anything after the first NUL is not
 * read) into a Lua table. Only a top-level object or array is accepted;
 * max_depth is the greatest number of containers open at once (the top
 * level counts 1; 0 refuses every text).
 *
 * Returns 0 with exactly one value, the table, pushed; or -1 with the stack
 * back at its height at entry: a syntax error as yajl sees it (docs/json.md
 * tells where yajl differs from RFC 8259), an incomplete document or
 * content after it, a top-level scalar, a nesting beyond max_depth, an
 * integer beyond 64 bits or a number beyond the double range, a context
 * that cannot be allocated, or a Lua stack that cannot grow. The stack holds
 * at most three slots per open level, so only nesting near the
 * interpreter's own stack limit fails that way whatever max_depth says:
 * 2,664 levels of objects in objects, 3,996 of arrays in arrays on Lua 5.1
 * and LuaJIT. Nothing is left allocated on any path.
 *
 * The parse runs as a guarded call: a Lua error inside it (the interpreter
 * out of memory) is raised again once the parser and context are released,
 * so json2lua then raises instead of returning. A null L or text returns -1
 * and touches no stack.
 */
KEMLUAUTILS_API int json2lua(lua_State *L, const char *text, uint32_t max_depth);

/*
 * Lua value to JSON.
 *
 * Writes the value at the top of the stack as one JSON value into gen, a
 * generator the caller created, configured and frees (it is not reset and
 * its buffer is not fetched). Numbers are written as the interpreter's own
 * text of them (a number that is not finite as null), strings and member
 * names up to their first NUL byte, booleans as such. A table is an array
 * when its raw element 1 is not nil (every entry, keys dropped, in lua_next
 * order) and an object otherwise (entries with string or number keys, the
 * key's text as member name); functions, userdata and threads inside a
 * table are left out. Access is raw and no table is modified.
 *
 * depth is the number of table levels that may be entered (0: none; a
 * number, string or boolean at the top is written whatever the depth).
 * Returns 0, or -1 when a table lies deeper, the generator refuses a call
 * (its own depth limit, a string a validating generator rejects, a
 * finished document), a text cannot be taken, the top value is none of
 * number, string, boolean or table, or the Lua stack cannot grow (tested
 * with lua_checkstack). After a failure the generator holds an incomplete
 * document, which the caller discards.
 *
 * Stack: back at its height at entry on every return. A number at the top
 * is left converted to its text (lua_tolstring converts in place). Raises
 * only what the interpreter raises (out of memory); nothing is allocated.
 * A null L or gen returns -1 and touches no stack.
 */
KEMLUAUTILS_API int lua2json(lua_State *L, yajl_gen gen, uint32_t depth);

/*
 * Writes the table at the top as lua2json does, with depth levels allowed.
 * 0 leaves the stack as found; -1 may leave traversal values above the
 * table (lua2json removes them). A null L or gen returns -1 and touches no
 * stack.
 */
KEMLUAUTILS_API int lua2json_table(lua_State *L, yajl_gen gen, uint32_t depth);


/* ---- RFC 1630 escaping (kemluautils_escape.cpp) ------------------------ */

/*
 * A lua_CFunction: escape(text, form) percent-escapes text (a string or a
 * number; read up to its first zero byte) for a URL. form true: a space
 * becomes "+" and ! * + / < > are escaped too; false: a space is "%20".
 * Both modes escape # % & ; control bytes and bytes above 0x7E as "%xx" in
 * lower case and copy every other printable character. Pushes the escaped
 * string and returns 1; when memory runs out it pushes the input text
 * unchanged. Raises, with no position prepended, "lua_rfc1630_escape()
 * requires 2 arguments", "lua_rfc1630_escape() requires string for argument
 * #1" or "lua_rfc1630_escape() requires boolean for argument #2".
 */
KEMLUAUTILS_API int lua_rfc1630_escape(lua_State *L);

/*
 * Installs lua_rfc1630_escape as kiv.RFC1630_Escape through
 * LuaScript_MakeFunction. Returns 0. Stack: +1, the kiv table.
 */
KEMLUAUTILS_API int escape_init(lua_State *L);

/* ---- Time conversion --------------------------------------------------- */

/*
 * Stores in *result the local midnight that began today, moved back n whole
 * days of 86400 seconds (n < 1 stores 0). Returns 0, or -1 when the local
 * time cannot be determined (nothing stored). result must be valid.
 * n * 86400 is a 32-bit signed product: n above 24855 gives no useful time.
 */
KEMLUAUTILS_API int unixtimefromdays(int32_t n, time_t *result);

/*
 * Converts a call's local start, "DD.MM.YY hh:mm" (two digits a field at
 * most; years 00..99 are 2000..2099), plus an optional duration "h:m"
 * (null or empty: none) into a Unix time stored in *result (result may be
 * null: then the texts are only validated). Returns 0, or -1 for a null or
 * malformed text, a field out of range, or a time mktime cannot give
 * (nothing stored).
 */
KEMLUAUTILS_API int unixtimefromcall(const char *date, const char *duration, time_t *result);

/*
 * A new text "YYYY-MM-DDTHH:MM:SS" of t in UTC, owned by the caller and
 * released with mem_free; null when t cannot be formatted or memory runs out.
 */
KEMLUAUTILS_API char *unixtime2iso8601(time_t t);

#ifdef __cplusplus
}
#endif

#endif
