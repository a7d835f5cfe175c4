/*
 * Host time formatting service: UTC texts with gmtime_r and strftime.
 */
#include "platform/timefmt.h"

#include <ctime>

extern "C" const char *time_to_isostr_utc(time_t t)
{
    static char text[64];
    struct tm tm {};
    if (!gmtime_r(&t, &tm))
        return nullptr;
    if (std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm) == 0)
        return nullptr;
    return text;
}
