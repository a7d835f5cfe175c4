/*
 * Device environment service: the settings of the device a script runs on
 * (OEM, country, language, serial number, predefined URLs, the languages
 * that may be used).
 *
 * Texts returned here belong to the service and stay valid until the host
 * selects another device profile (platform/host/profile.h); callers copy
 * them and never free them.
 */
#ifndef KEM_PLATFORM_ENV_H
#define KEM_PLATFORM_ENV_H

#include <stdint.h>

#include "platform/platform.h"

KEMPLAT_BEGIN_DECLS

/* The OEM identifier, such as "example". */
KEMPLAT_API const char *env_oem(void);

/* The country's name, such as "Germany". */
KEMPLAT_API const char *env_country(void);

/* The country's ISO 3166 code, such as "DE". */
KEMPLAT_API const char *env_country_iso(void);

/* 1 when the country is the factory default, else 0. */
KEMPLAT_API int32_t env_country_is_default(void);

/*
 * 1 when text equals the country's name (exactly) or its ISO code (ignoring
 * ASCII case), else 0. A null text gives 0.
 */
KEMPLAT_API uint8_t env_country_is(const char *text);

/* The language code, such as "de". */
KEMPLAT_API const char *env_language(void);

/* 1 when the language is the factory default, else 0. */
KEMPLAT_API int32_t env_language_is_default(void);

/* 1 when language is one of the device's allowed languages, else 0. */
KEMPLAT_API uint8_t env_language_is_allowed(const char *language);

/* The predefined URL of that name, or null for an unknown name. */
KEMPLAT_API const char *env_predefined_url(const char *name);

/* The serial number. */
KEMPLAT_API const char *env_serial_number(void);

KEMPLAT_END_DECLS

#endif
