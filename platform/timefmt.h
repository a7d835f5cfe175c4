/*
 * Time formatting service.
 */
#ifndef KEM_PLATFORM_TIMEFMT_H
#define KEM_PLATFORM_TIMEFMT_H

#include <time.h>

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
