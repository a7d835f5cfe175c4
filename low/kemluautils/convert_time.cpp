/*
 * Time conversion: Unix times from day counts and from the date texts of a
 * call, and ISO 8601 texts of Unix times in UTC; the exported functions and
 * their Lua wrappers (lua_unixtimefromdays, lua_unixtimefromcall,
 * lua_unixtime2iso8601).
 *
 * Caveats: local time is what the process's TZ makes of it. Days back are
 * whole spans of 86400 seconds, so across a daylight-saving change the
 * result lies the size of the change away from the true local midnight.
 * Between Lua and C a time passes through lua_Integer: on a 64-bit host
 * that carries a 64-bit time_t unchanged.
 */
#include "kemluautils.h"
#include "luaaux.h"
#include "platform/timefmt.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr const char iso_fallback[] = "0001-01-01T00:00:00";

/* n * 86400 as the device computes it: a 32-bit signed product that wraps */
time_t days_in_seconds(int32_t n)
{
    auto product = static_cast<uint32_t>(n) * UINT32_C(86400);
    return static_cast<time_t>(static_cast<int32_t>(product));
}

/* Reads "h:m" into seconds (32-bit unsigned arithmetic); false when malformed. */
bool parse_duration(const char *text, uint32_t *seconds)
{
    unsigned hours = 0, minutes = 0;
    char extra;
    if (std::sscanf(text, "%u:%u%c", &hours, &minutes, &extra) != 2)
        return false;
    *seconds = static_cast<uint32_t>(hours) * 3600u + static_cast<uint32_t>(minutes) * 60u;
    return true;
}

}  // namespace

extern "C" int unixtimefromdays(int32_t n, time_t *result)
{
    time_t now = std::time(nullptr);
    struct tm tm {};
    if (!localtime_r(&now, &tm))
        return -1;
    if (n < 1) {
        *result = 0;
        return 0;
    }
    int32_t seconds_of_day = tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec;
    *result = now - seconds_of_day - days_in_seconds(n);
    return 0;
}

extern "C" int unixtimefromcall(const char *date, const char *duration, time_t *result)
{
    if (!date)
        return -1;
    unsigned day = 0, month = 0, year = 0, hour = 0, minute = 0;
    char extra;
    if (std::sscanf(date, "%02u.%02u.%02u %02u:%02u%c", &day, &month, &year, &hour, &minute,
                    &extra) != 5)
        return -1;
    if (day > 31 || month > 12 || hour > 23 || minute > 59)
        return -1;

    struct tm tm {};
    tm.tm_mday = static_cast<int>(day);
    tm.tm_mon = static_cast<int>(month) - 1;
    tm.tm_year = static_cast<int>(year + 100u);
    tm.tm_hour = static_cast<int>(hour);
    tm.tm_min = static_cast<int>(minute);
    tm.tm_isdst = -1;
    time_t start = std::mktime(&tm);
    if (start == static_cast<time_t>(-1))
        return -1;

    uint32_t seconds = 0;
    if (duration && duration[0] != '\0' && !parse_duration(duration, &seconds))
        return -1;
    if (result)
        *result = start + static_cast<time_t>(seconds);
    return 0;
}

extern "C" char *unixtime2iso8601(time_t t)
{
    const char *text = time_to_isostr_utc(t);
    return text ? mem_strdup(text, KEM_TAG) : nullptr;
}

int lua_unixtimefromdays(lua_State *L)
{
    if (lua_gettop(L) != 1)
        return luaL_error(L, "%s() requires %d arguments", "pUnixtimefromdays", 1);
    if (!lua_isinteger(L, 1))
        return luaL_error(L, "%s() requires %s for argument #%d", "pUnixtimefromdays", "int", 1);
    /* the count is a 32-bit integer: a wider value keeps its low 32 bits */
    auto n = static_cast<int32_t>(kem_to_integer(L, 1, "lua_unixtimefromdays"));
    time_t t = 0;
    kem_push_integer(L, unixtimefromdays(n, &t) == 0 ? t : 0, "lua_unixtimefromdays");
    return 1;
}

int lua_unixtimefromcall(lua_State *L)
{
    if (lua_gettop(L) != 2)
        return luaL_error(L, "%s() requires %d arguments", "pUnixtimefromcall", 2);
    if (!lua_isstring(L, 1))
        return luaL_error(L, "%s() requires %s for argument #%d", "pUnixtimefromcall", "string", 1);
    const char *date = lua_tolstring(L, 1, nullptr);
    if (!lua_isstring(L, 2))
        return luaL_error(L, "%s() requires %s for argument #%d", "pUnixtimefromcall", "string", 2);
    const char *duration = lua_tolstring(L, 2, nullptr);
    time_t t = 0;
    kem_push_integer(L, unixtimefromcall(date, duration, &t) == 0 ? t : 0, "lua_unixtimefromcall");
    return 1;
}

int lua_unixtime2iso8601(lua_State *L)
{
    if (lua_gettop(L) != 1)
        return luaL_error(L, "%s() requires %d arguments", "pUnixtime2iso8601", 1);
    if (!lua_isinteger(L, 1))
        return luaL_error(L, "%s() requires %s for argument #%d", "pUnixtime2iso8601", "int", 1);
    auto t = static_cast<time_t>(kem_to_integer(L, 1, "lua_unixtime2iso8601"));
    int guard = kem_guard_push(L, kem_push_bytes, 0);  /* may raise: nothing held yet */
    char *text = unixtime2iso8601(t);
    if (!text) {
        lua_pushstring(L, iso_fallback);
        return 1;
    }
    if (kem_push_freed(L, guard, text, std::strlen(text)) != 0)
        return lua_error(L);  /* the push's own error, once the text is released */
    return 1;
}
