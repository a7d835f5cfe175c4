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
#else
#define KEMLUAUTILS_API
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


/* ---- JSON bridge (kemluautils_json.cpp) -------------------------------- */


/* ---- RFC 1630 escaping (kemluautils_escape.cpp) ------------------------ */


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
