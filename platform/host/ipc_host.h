/*
 * Host-only part of the IPC service (platform/host/ipc.cpp), beside the
 * device's interface in platform/ipc.h: why the service last refused an
 * endpoint folder, an endpoint name or a peer. Callers such as qecmd see
 * only a null endpoint or a start that failed; this tells a user why.
 */
#ifndef KEM_PLATFORM_HOST_IPC_HOST_H
#define KEM_PLATFORM_HOST_IPC_HOST_H

#include "platform/platform.h"

KEMPLAT_BEGIN_DECLS

/*
 * The last refusal as one line naming the folder, name or peer and the
 * problem, e.g. "endpoint folder /tmp/x: mode 777 lets other users write to
 * it"; "" when there was none. Static storage of the service, overwritten by
 * the next refusal. Each refusal is also written to stderr, prefixed
 * "libkemluautils: ", the first time the process meets it.
 */
KEMPLAT_API const char *ipc_last_error(void);

KEMPLAT_END_DECLS

#endif
