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

#include <stdint.h>
#include <time.h>

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
 * when absent) with its functions and leaves it on the stack. Returns 1.
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

/* ---- JSON bridge (kemluautils_json.cpp) -------------------------------- */


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
