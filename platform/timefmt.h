/*
 * Time formatting service.
 */
#ifndef KEM_PLATFORM_TIMEFMT_H
#define KEM_PLATFORM_TIMEFMT_H

#include <time.h>

/* time_t is 64 bits wide on every machine the services run on: a caller
   with a 32-bit time_t would pass half of it (see kemluautils.h). */
#if defined(__GLIBC__) && defined(__TIMESIZE) && __TIMESIZE == 32 && !defined(__USE_TIME_BITS64)
#error "the time formatting service takes a 64-bit time_t: compile with -D_FILE_OFFSET_BITS=64 -D_TIME_BITS=64"
#endif
typedef char kem_timefmt_time_t_has_64_bits[sizeof(time_t) == 8 ? 1 : -1];

#include "platform/platform.h"

KEMPLAT_BEGIN_DECLS

/*
 * The ISO 8601 text of t in UTC, "YYYY-MM-DDTHH:MM:SS" (no zone designator,
 * the year always four digits), in storage of the service's own that stays
 * valid until the next call; null when t falls outside the years 0 to 9999.
 */
KEMPLAT_API const char *time_to_isostr_utc(time_t t);

KEMPLAT_END_DECLS

#endif
