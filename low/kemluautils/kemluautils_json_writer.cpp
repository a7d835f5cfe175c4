/*
 * A Lua value into a caller's yajl generator: lua2json and lua2json_table
 * (the reading half is kemluautils_json_reader.cpp).
 *
 * Caveats:
 *  - Strings and member names are cut at their first NUL byte.
 *  - Nothing is copied to the heap: the generator is handed the texts the
 *    interpreter holds, and number texts are made in a buffer on the C
 *    stack.
 *  - Number texts are what lua_tolstring makes of them ("%.14g"); common
 *    numbers are formatted here without creating a Lua string, with a
 *    result proven identical (see quick_number).
 *  - The Lua stack grows by lua_checkstack; a stack that cannot grow is a
 *    failure (-1), never the interpreter's stack-overflow error.
 *  - Null pointers are refused: -1 with the stack untouched.
 */
#include "kemluautils.h"
#include "luaaux.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

/* ---- number texts ------------------------------------------------------- */

constexpr bool same_text(const char *a, const char *b)
{
    return *a == *b && (*a == 0 || same_text(a + 1, b + 1));
}

/* quick_number knows the "%.14g" conversion of the interpreter. It gains
   much: with snprintf(LUA_NUMBER_FMT) instead, lua2json takes 85% more
   instructions on the device listing, 97% more on the 1 KB document and 6.5
   times as many on the number-heavy array (bench_json). */
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
    n = kem_length_to_nul(s, n < sizeof out->buf ? n : sizeof out->buf - 1);
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
int put_table(lua_State *L, yajl_gen gen, uint32_t depth);

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
        return yajl_gen_string(gen, reinterpret_cast<const unsigned char *>(s), kem_length_to_nul(s, n)) ==
                       yajl_gen_status_ok
                   ? 0
                   : -1;
    }
    case LUA_TTABLE:
        if (!put_name(gen, name))
            return -1;
        return put_table(L, gen, depth);
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
            name.length = kem_length_to_nul(name.text, n);
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

/* lua2json_table without the tests for null pointers, for the recursion. */
int put_table(lua_State *L, yajl_gen gen, uint32_t depth)
{
    if (depth == 0 || lua_type(L, -1) != LUA_TTABLE || !lua_checkstack(L, 5))
        return -1;
    lua_rawgeti(L, -1, 1);
    bool array = !lua_isnil(L, -1);
    lua_pop(L, 1);
    return array ? put_array(L, gen, depth - 1) : put_object(L, gen, depth - 1);
}

}  // namespace

extern "C" int lua2json_table(lua_State *L, yajl_gen gen, uint32_t depth)
{
    return L && gen ? put_table(L, gen, depth) : -1;
}

extern "C" int lua2json(lua_State *L, yajl_gen gen, uint32_t depth)
{
    if (!L || !gen)
        return -1;
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
        result = put_table(L, gen, depth);
        break;
    }
    if (lua_gettop(L) > top)
        lua_settop(L, top);
    return result;
}
