/*
 * What several areas of the library share: the Lua headers with C linkage,
 * the one way numbers cross into and out of Lua (device numbers),
 * lua_isinteger for interpreters that lack it, the guarded call that holds
 * a resource across Lua operations that can raise, and the lua_CFunctions
 * of the module table, grouped by the source file that defines them.
 *
 * Internal: nothing here is exported from the shared object.
 */
#ifndef KEMLUAUTILS_LUAAUX_H
#define KEMLUAUTILS_LUAAUX_H

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

#include "platform/mem.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>

/*
 * Device numbers. The device's interpreter holds integers in 32 bits and
 * other numbers in single precision; a workstation's holds doubles. With
 * KEM_DEVICE_NUMBERS set to 1 or on (warn: the same, and a warning per
 * value that changes), the library narrows at its boundary as the device
 * does: an integer it pushes keeps its low 32 bits as a signed value, a
 * non-integer it pushes becomes the nearest float (infinity beyond the
 * float range), and an integer it reads from Lua, any integral number
 * within 64 bits, is taken as its low 32 bits, sign-extended. Off, every
 * number passes as the interpreter holds it.
 *
 * Every lua_pushinteger, lua_pushnumber and integer read of the library
 * goes through the functions below; the raw calls are poisoned after this
 * header, so a new function cannot bypass them. `fn` names the function a
 * warning reports: the script's name for a module function, the C name for
 * an exported one.
 */
enum kem_numbers_mode : unsigned char { kem_numbers_unread, kem_numbers_host, kem_numbers_device, kem_numbers_warn };
extern unsigned char kem_numbers;            /* kem_numbers_unread until first used */
unsigned char kem_numbers_read();            /* reads KEM_DEVICE_NUMBERS, once */

inline bool kem_device_numbers()
{
    unsigned char mode = kem_numbers;
    return mode != kem_numbers_host && (mode != kem_numbers_unread || kem_numbers_read() != kem_numbers_host);
}

void kem_push_device_integer(lua_State *L, long long value, const char *fn);
void kem_push_device_number(lua_State *L, double value, const char *fn);
lua_Integer kem_to_device_integer(lua_State *L, int idx, const char *fn);

inline void kem_push_integer(lua_State *L, long long value, const char *fn)
{
    if (kem_device_numbers())
        kem_push_device_integer(L, value, fn);
    else
        lua_pushinteger(L, static_cast<lua_Integer>(value));
}

inline void kem_push_number(lua_State *L, double value, const char *fn)
{
    if (kem_device_numbers())
        kem_push_device_number(L, value, fn);
    else
        lua_pushnumber(L, static_cast<lua_Number>(value));
}

/* The integer at idx (a number, or a numeric string), as lua_tointeger
   takes it; with device numbers its low 32 bits. */
inline lua_Integer kem_to_integer(lua_State *L, int idx, const char *fn)
{
    return kem_device_numbers() ? kem_to_device_integer(L, idx, fn) : lua_tointeger(L, idx);
}

/* luaL_checkinteger through kem_to_integer: the same error for a value that
   is no number. */
inline lua_Integer kem_check_integer(lua_State *L, int idx, const char *fn)
{
    if (!lua_isnumber(L, idx))
        luaL_typerror(L, idx, lua_typename(L, LUA_TNUMBER));
    return kem_to_integer(L, idx, fn);
}

#ifndef KEM_LUA_HAS_ISINTEGER
/*
 * True when the value at idx is a number (not a numeric string) that the
 * interpreter can hold as a lua_Integer: integral and within its range, so
 * 2^31 is none where lua_Integer has 32 bits. With device numbers the range
 * is 64 bits on every host, so that a 32-bit host reads what a 64-bit one
 * does. Lua 5.1 and LuaJIT keep every number as a double, so this is the
 * test that a build with a native integer type makes by the value's
 * subtype. Used only where the interpreter's headers lack lua_isinteger
 * (the build checks), and internal to each file: no symbol of that name in
 * Lua's name space.
 */
static inline int kem_lua_isinteger(lua_State *L, int idx)
{
    if (lua_type(L, idx) != LUA_TNUMBER)
        return 0;
    /* the limits as doubles: -2^(bits-1) is exact, and so is 2^(bits-1) */
    constexpr lua_Number lo = static_cast<lua_Number>(std::numeric_limits<lua_Integer>::min());
    constexpr lua_Number lo64 = static_cast<lua_Number>(std::numeric_limits<long long>::min());
    lua_Number low = kem_device_numbers() ? lo64 : lo;
    lua_Number v = lua_tonumber(L, idx);
    return v >= low && v < -low && std::floor(v) == v;
}
#define lua_isinteger kem_lua_isinteger
#endif

#if defined(__GNUC__) && !defined(KEM_DEVICE_NUMBERS_SOURCE)
#pragma GCC poison lua_pushinteger lua_pushnumber lua_tointeger luaL_checkinteger luaL_optinteger
#endif

/*
 * The length of the length bytes at `bytes` up to their first NUL: how the
 * JSON bridge cuts strings and member names. Texts of 4 to 16 bytes, the
 * common case, are tested two overlapping words at a time without a call.
 * This gains ~1% of json2lua and lua2json on the benchmark documents (up to
 * 1.6% on the configuration document) over a byte loop or memchr alone.
 */
template <typename T>
inline bool kem_has_zero_byte(T v)  /* exact: no false answer either way */
{
    constexpr T ones = static_cast<T>(~T(0)) / 0xff; /* 0x0101... */
    return ((v - ones) & ~v & (ones << 7)) != 0;
}

template <typename T>
inline bool kem_no_zero_in(const unsigned char *b, size_t length)  /* sizeof(T) <= length <= 2 * sizeof(T) */
{
    T head, tail;
    std::memcpy(&head, b, sizeof head);
    std::memcpy(&tail, b + length - sizeof tail, sizeof tail);
    return !kem_has_zero_byte(head) && !kem_has_zero_byte(tail);
}

inline size_t kem_length_to_nul(const void *bytes, size_t length)
{
    auto *b = static_cast<const unsigned char *>(bytes);
    if (length > 16) {
        const void *nul = std::memchr(b, 0, length);
        return nul ? static_cast<size_t>(static_cast<const unsigned char *>(nul) - b) : length;
    }
    if (length >= 8 ? kem_no_zero_in<uint64_t>(b, length)
                    : length >= 4 ? kem_no_zero_in<uint32_t>(b, length) : false)
        return length;
    for (size_t i = 0; i < length; ++i)
        if (b[i] == 0)
            return i;
    return length;
}

/*
 * Guarded calls: holding a C resource (a heap block, a platform list, an
 * open directory, a parser, an endpoint) across Lua operations that can
 * raise. Almost every Lua API call can raise (out of memory in a push, a
 * table write, luaL_ref, lua_tolstring of a number; an error of a script's
 * callback), and a raise is a longjmp that would skip the release. So:
 *
 *   int guard = kem_guard_push(L, worker, room);  (1) nothing held yet
 *   ... take the resource, describe the job in a struct on the C stack ...
 *   ... push up to `room` arguments for the worker (copies: lua_pushvalue) ...
 *   int status = kem_guard_run(L, guard, &job, nargs, nresults);      (2)
 *   ... release the resource ...
 *   if (status != 0)
 *       return lua_error(L);                  (3) raised once nothing is held
 *
 * (1) pushes the worker (a lua_CFunction) and a small full userdata, the
 * box, and reserves the stack room the later steps need (`room` arguments
 * for a run, up to room + 2 results); it may raise, which is harmless while
 * nothing is held. Both are made once per Lua state, the first time, and
 * kept in the registry (the worker under its own address, as a closure
 * whose upvalue is the state's one box), so that later pushes allocate
 * nothing. (2) stores the job's address in the box, remembering what was
 * there, and calls the worker with lua_pcall as worker(box, arguments...);
 * inside, kem_guard_job(L, worker) gives the job back, once, to that worker
 * alone; when the worker returns the box gets its earlier content again. The worker does every Lua operation
 * that can raise; its results (or the error value, status nonzero) land on
 * top of the caller's stack, above the guard. The guard stays in place at
 * `guard` and `guard + 1`, so a service that calls back again and again
 * (deliveries, output pieces) runs the same guard each time.
 *
 * Why this way: a run nested in another (a hook or a script callback that
 * re-enters the library, a coroutine resumed by a callback) finds the box
 * with the outer job in it and leaves it so; runs nest strictly, since no
 * coroutine can yield across lua_pcall from C, so one box per state serves
 * every guard. A worker reads its job on entry; until it has, the run sets
 * any debug hook aside (a call hook would otherwise run first and could call
 * the worker, which the registry exposes to scripts, with the job in the
 * box). What a script puts in the registry in place of a worker or the box
 * is replaced, never used. There is no global or
 * thread-local state; the job's address never travels as a light userdata
 * (LuaJIT interns those, which can raise; the registry keys are the
 * library's own static addresses, pushed before anything is held);
 * everything that allocates happens before the resource exists; lua_pcall
 * hands results back into the caller's frame, which lua_cpcall cannot; and
 * it behaves the same on a coroutine's state.
 *
 * Argument faults found by a worker are not raised there: a luaL_error
 * inside the worker would carry no script position. The worker notes the
 * fault in its job, and the Lua-facing function raises it after releasing.
 */
int kem_guard_push(lua_State *L, lua_CFunction worker, int room);
int kem_guard_run(lua_State *L, int guard, void *job, int nargs, int nresults);
void *kem_guard_job(lua_State *L, lua_CFunction worker);

/* A worker for the common case: pushes len bytes at data as a string. */
struct kem_bytes {
    const char *data;
    size_t len;
};
int kem_push_bytes(lua_State *L);

/*
 * Pushes the len bytes of block as a string and frees block with mem_free.
 * Up to LUAL_BUFFERSIZE bytes are copied into a luaL_Buffer on the C stack
 * (no Lua call), block is freed, and the string is pushed: a raise then
 * leaves nothing held, and the guard is not run. Longer ones run guard
 * (pushed with kem_push_bytes as its worker). Returns the status: 0 with the
 * string on top, else the error value on top, to be raised by the caller.
 */
int kem_push_freed(lua_State *L, int guard, char *block, size_t len);

/* convert_time.cpp */
int lua_unixtimefromdays(lua_State *L);
int lua_unixtimefromcall(lua_State *L);
int lua_unixtime2iso8601(lua_State *L);

/* lua_qecmd.cpp */
int lua_qecmd(lua_State *L);

/* lua_base64.cpp, lua_hash.cpp */
int luautils_base64_encode(lua_State *L);
int luautils_base64_decode(lua_State *L);
int luautils_sha256(lua_State *L);

/* lua_string.cpp */
int luautils_string_split(lua_State *L);
int luautils_string_join(lua_State *L);

/* lua_os.cpp */
int luautils_list_filenames(lua_State *L);
int luautils_sleep(lua_State *L);

/* lua_macaddrlist.cpp */
int luautils_macaddrlist_parse(lua_State *L);
int luautils_macaddrlist_string(lua_State *L);
int luautils_macaddrlist_remove_macaddr(lua_State *L);
int luautils_macaddrlist_append_macaddr_unique(lua_State *L);

/* lua_environment.cpp, lua_localize.cpp */
int luautils_country_is_default(lua_State *L);
int luautils_country_is(lua_State *L);
int luautils_country_iso(lua_State *L);
int luautils_country(lua_State *L);
int luautils_oem(lua_State *L);
int luautils_language_is_default(lua_State *L);
int luautils_language(lua_State *L);
int luautils_predefinedurlget(lua_State *L);
int luautils_serialnumber(lua_State *L);
int luautils_getLocalizedText(lua_State *L);

/* lua_replacement.cpp */
int luautils_replacement(lua_State *L);

#endif
