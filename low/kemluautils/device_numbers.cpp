/*
 * Device numbers: the library's numbers narrowed at its boundary as on the
 * device (luaaux.h), and the warnings that show a script where it would
 * see a different number there.
 *
 * KEM_DEVICE_NUMBERS is read once, at the first number or when the module
 * opens. In warn mode each value that changes is reported on stderr once
 * per call site (function, chunk and line of the nearest Lua function on
 * the stack; the first 768 sites), and a summary by function follows at
 * exit (or when the module is unloaded). The tables behind this are fixed
 * arrays: the mode allocates nothing and never raises, so a call behaves
 * the same with it, apart from its numbers. Like the module's message
 * buffers, they serve the interpreter's thread only.
 */
#define KEM_DEVICE_NUMBERS_SOURCE
#include "luaaux.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

unsigned char kem_numbers = kem_numbers_unread;

namespace {

/* Call sites already reported, as hashes (8 KiB). Past site_limit, which
   keeps the probe sequences short, a new site is not reported but counted
   in `untracked`, so that no warning ever repeats and the summary says what
   went unreported. */
constexpr unsigned site_slots = 1024, site_limit = 768;
uint64_t sites[site_slots];
unsigned site_count;
unsigned long untracked;

/* Values changed, by function (fn texts are literals: compared by text),
   and the warnings printed. */
struct tally {
    const char *fn;
    unsigned long values;
};
constexpr unsigned tally_slots = 48;
tally tallies[tally_slots];
unsigned long warnings;

const char *program() { return program_invocation_short_name; }

void summary()
{
    unsigned long values = 0;
    for (const tally &t : tallies)
        values += t.values;
    if (values == 0) {
        std::fprintf(stderr, "%s: device numbers: no value differed from the device's\n", program());
        return;
    }
    std::fprintf(stderr, "%s: device numbers: %lu value%s would differ on the device (%lu warning%s", program(),
                 values, values == 1 ? "" : "s", warnings, warnings == 1 ? "" : "s");
    if (untracked)
        std::fprintf(stderr, "; %lu at sites past the first %u not reported", untracked, site_limit);
    std::fputs("):", stderr);
    const char *separator = " ";
    for (const tally &t : tallies) {
        if (t.fn) {
            std::fprintf(stderr, "%s%s %lu", separator, t.fn, t.values);
            separator = ", ";
        }
    }
    std::fputc('\n', stderr);
}

tally *tally_of(const char *fn)
{
    for (tally &t : tallies) {
        if (!t.fn)
            t.fn = fn;
        if (std::strcmp(t.fn, fn) == 0)
            return &t;
    }
    return nullptr; /* more functions than slots: not counted */
}

uint64_t fnv(uint64_t h, const void *data, size_t n)
{
    const auto *p = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 0x100000001b3u;
    return h;
}

enum visit { first_visit, seen_before, not_tracked };

/* Whether a site sees a kind of change for the first time. */
visit visit_site(const char *fn, const char *kind, const char *where, int line)
{
    uint64_t h = fnv(0xcbf29ce484222325u, fn, std::strlen(fn) + 1);
    h = fnv(h, kind, std::strlen(kind) + 1);
    h = fnv(fnv(h, where, std::strlen(where) + 1), &line, sizeof line);
    h |= 1; /* 0 marks a free slot */
    for (unsigned i = 0; i < site_slots; ++i) {
        uint64_t &slot = sites[(h + i) % site_slots];
        if (slot == h)
            return seen_before;
        if (slot == 0 && site_count < site_limit) {
            slot = h;
            ++site_count;
            return first_visit;
        }
        if (slot == 0)
            break;
    }
    return not_tracked;
}

/*
 * Reports that value (its text `host`) becomes `device` there. The site is
 * the nearest Lua function on the stack: the script line that called the
 * module function, or the native function that called an exported helper.
 * lua_getstack and lua_getinfo("Sl") allocate nothing.
 */
void report(lua_State *L, const char *fn, const char *kind, const char *host, const char *device)
{
    lua_Debug ar;
    const char *where = "";
    int line = 0;
    for (int level = 0; lua_getstack(L, level, &ar); ++level) {
        if (lua_getinfo(L, "Sl", &ar) && std::strcmp(ar.what, "C") != 0) {
            where = ar.short_src;
            line = ar.currentline;
            break;
        }
    }
    if (tally *t = tally_of(fn))
        ++t->values;
    visit v = visit_site(fn, kind, where, line);
    untracked += v == not_tracked;
    if (v != first_visit)
        return;
    ++warnings;
    if (*where)
        std::fprintf(stderr, "%s: device numbers: %s:%d: %s %s %s becomes %s on the device\n", program(), where,
                     line, fn, kind, host, device);
    else
        std::fprintf(stderr, "%s: device numbers: %s %s %s becomes %s on the device\n", program(), fn, kind, host,
                     device);
}

void report_integer(lua_State *L, const char *fn, long long wide, int32_t narrow)
{
    char host[32], device[16];
    std::snprintf(host, sizeof host, "%lld", wide);
    std::snprintf(device, sizeof device, "%" PRId32, narrow);
    report(L, fn, "integer", host, device);
}

/* The low 32 bits of an integer, as a signed value. */
inline int32_t low32(long long value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

/* The float nearest to a double, with infinities beyond the float range. */
double nearest_float(double v)
{
    constexpr double beyond = 0x1.ffffffp127; /* halfway from FLT_MAX to 2^128: rounds up */
    if (std::fabs(v) >= beyond)
        return std::copysign(HUGE_VAL, v);
    return static_cast<double>(static_cast<float>(v));
}

}  // namespace

unsigned char kem_numbers_read()
{
    const char *value = std::getenv("KEM_DEVICE_NUMBERS");
    unsigned char mode = kem_numbers_host;
    if (!value || !*value || !std::strcmp(value, "0") || !std::strcmp(value, "off"))
        mode = kem_numbers_host;
    else if (!std::strcmp(value, "1") || !std::strcmp(value, "on"))
        mode = kem_numbers_device;
    else if (!std::strcmp(value, "warn"))
        mode = kem_numbers_warn;
    else
        std::fprintf(stderr,
                     "%s: device numbers: KEM_DEVICE_NUMBERS=%s is none of on, off, warn (or 1, 0): "
                     "the numbers stay the host's\n",
                     program(), value);
    if (mode == kem_numbers_warn)
        std::atexit(summary);
    kem_numbers = mode;
    return mode;
}

void kem_push_device_integer(lua_State *L, long long value, const char *fn)
{
    int32_t narrow = low32(value);
    if (narrow != value && kem_numbers == kem_numbers_warn)
        report_integer(L, fn, value, narrow);
    lua_pushinteger(L, static_cast<lua_Integer>(narrow));
}

void kem_push_device_number(lua_State *L, double value, const char *fn)
{
    double narrow = nearest_float(value);
    if (narrow != value && kem_numbers == kem_numbers_warn) {
        char host[32], device[32];
        std::snprintf(host, sizeof host, LUA_NUMBER_FMT, value);
        std::snprintf(device, sizeof device, "%.9g", narrow); /* enough digits to tell floats apart */
        report(L, fn, "number", host, device);
    }
    lua_pushnumber(L, static_cast<lua_Number>(narrow));
}

lua_Integer kem_to_device_integer(lua_State *L, int idx, const char *fn)
{
    /* The integral part's low 32 bits, taken from the double so that every
       host reads the same; beyond 64 bits (no integer, but a numeric
       argument of getLocalizedText may be one) by fmod, which is exact. */
    double v = lua_tonumber(L, idx);
    int32_t narrow = 0;
    if (std::fabs(v) < 0x1p63) {
        narrow = low32(static_cast<long long>(v));
    } else {
        v = std::trunc(v);
        double rest = std::fmod(v, 4294967296.0);
        narrow = std::isfinite(rest) ? low32(static_cast<long long>(rest)) : 0;
    }
    if (narrow != std::trunc(v) && kem_numbers == kem_numbers_warn) {
        char host[32], device[16];
        std::snprintf(host, sizeof host, LUA_NUMBER_FMT, std::trunc(v));
        std::snprintf(device, sizeof device, "%" PRId32, narrow);
        report(L, fn, "integer", host, device);
    }
    return narrow;
}
