/*
 * Host time formatting service: UTC texts with gmtime_r.
 *
 * The year is written with exactly four digits, zero-padded (strftime's %Y
 * writes 1, -1 or 10000 as they are): a time outside the years 0 to 9999
 * has no text. Works with a 32-bit and a 64-bit time_t alike.
 */
#include "platform/timefmt.h"

#include <cstdio>
#include <ctime>

extern "C" const char *time_to_isostr_utc(time_t t)
{
    static char text[32];
    struct tm tm {};
    if (!gmtime_r(&t, &tm))
        return nullptr;
    long year = tm.tm_year + 1900L;
    if (year < 0 || year > 9999)
        return nullptr;
    std::snprintf(text, sizeof text, "%04ld-%02d-%02dT%02d:%02d:%02d", year, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}
