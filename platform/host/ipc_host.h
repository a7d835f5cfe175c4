/*
 * Host-only part of the IPC service (platform/host/ipc_*.cpp), beside the
 * device's interface in platform/ipc.h: why the service last refused an
 * endpoint folder, an endpoint name or a peer. Callers such as qecmd see
 * only a null endpoint or a start that failed; this tells a user why.
 */
#ifndef KEM_PLATFORM_HOST_IPC_HOST_H
#define KEM_PLATFORM_HOST_IPC_HOST_H

#include "platform/platform.h"

/*
 * Longest endpoint name, in bytes. A socket address holds at most 107 bytes;
 * an endpoint in a folder too long for it is reached through the folder's
 * descriptor ("/proc/self/fd/N/" is at most 25 bytes) under its private name
 * NAME.<pid>~ (at most 9 more), which leaves room for this many.
 */
#define IPC_HOST_NAME_MAX 64

/*
 * Limits of the server side, whatever KEM_IPC_TIMEOUT_MS says (a smaller
 * nonzero KEM_IPC_TIMEOUT_MS shortens the two times):
 * - a client has this many ms from its connection to send its whole command;
 * - the replies of one exchange wait at most this many ms in all for the
 *   client to read;
 * - the commands not yet whole hold at most this many bytes in all (one
 *   command at most IPC_MAX_PAYLOAD and its 5-byte header).
 */
#define IPC_HOST_REQUEST_MS 5000
#define IPC_HOST_REPLY_WAIT_MS 5000
#define IPC_HOST_HELD_MAX (40u * 1024u * 1024u)

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
