/*
 * Common definitions of the platform service headers: the export macro and
 * the C linkage guards. The platform services are the device's own service
 * libraries; on a workstation our host implementations in platform/host/
 * stand in for them.
 */
#ifndef KEM_PLATFORM_H
#define KEM_PLATFORM_H

#if defined(__GNUC__)
#define KEMPLAT_API __attribute__((visibility("default")))
#else
#define KEMPLAT_API
#endif

#ifdef __cplusplus
#define KEMPLAT_BEGIN_DECLS extern "C" {
#define KEMPLAT_END_DECLS }
#else
#define KEMPLAT_BEGIN_DECLS
#define KEMPLAT_END_DECLS
#endif

#endif
