/*
 * IPC endpoints, the command client and the socket event loop.
 *
 * An endpoint is a named listening socket that other processes address by
 * its name. A client sends one command to a destination endpoint and gets
 * the answer as a series of deliveries followed by an end with a status; a
 * server endpoint runs a request handler that answers commands. Every
 * callback runs on the calling thread from inside sock_poll_msecs (or, for
 * the start callback, inside ipc_send_command).
 *
 * The host implementation (platform/host/ipc_*.cpp) speaks over Unix-domain
 * stream sockets in a runtime folder; docs/ipc.md describes the folder, the
 * wire format, so that other programs can speak it, and a server's limits.
 *
 * Caveats: one thread only; at most IPC_MAX_SOCKETS sockets (serving
 * endpoints and connections together) per process.
 */
#ifndef KEM_PLATFORM_IPC_H
#define KEM_PLATFORM_IPC_H

#include <stddef.h>

#include "platform/platform.h"

/* The most sockets the process's event loop watches at once. */
#define IPC_MAX_SOCKETS 256

/* A payload above this many bytes is a protocol error. */
#define IPC_MAX_PAYLOAD (16u * 1024u * 1024u)

/* Reasons handed to the failure callback. */
enum {
    IPC_FAIL_STATUS = 1,   /* the server ended with a nonzero status */
    IPC_FAIL_CLOSED = 2,   /* the connection closed before the end frame */
    IPC_FAIL_PROTOCOL = 3, /* a malformed frame */
    IPC_FAIL_TIMEOUT = 4,  /* no frame within KEM_IPC_TIMEOUT_MS */
    IPC_FAIL_MEMORY = 5,   /* a receive buffer could not be allocated */
    IPC_FAIL_ABORTED = 6   /* the start callback refused the exchange */
};

KEMPLAT_BEGIN_DECLS

typedef struct IpcEndpoint IpcEndpoint;
typedef struct IpcConn IpcConn;

/* Called once the command has been sent; a nonzero result abandons it. */
typedef int (*ipc_start_cb)(IpcConn *conn, void *user);
/* The exchange failed (reason: IPC_FAIL_*); the last callback of it. */
typedef void (*ipc_failed_cb)(IpcConn *conn, int reason, void *user);
/* One delivery is pending on conn: read it with sock_bytes_left/sock_read. */
typedef void (*ipc_data_cb)(IpcConn *conn, void *user);
/* Gives the command text to send in place of `command` (not null). */
typedef const char *(*ipc_filter_cb)(const char *command, void *user);
/* The exchange ended with status 0; the last callback of it. */
typedef void (*ipc_done_cb)(IpcConn *conn, void *user);

/*
 * A server's handler of one command of len bytes (not NUL-terminated). It
 * answers with ipc_reply and returns the end status: 0 success, 1..255
 * failure. conn stays valid until the handler returns.
 */
typedef int (*ipc_request_cb)(IpcConn *conn, const char *command, size_t len, void *user);

/*
 * Creates a handle on the endpoint `name`, from which commands are sent;
 * null when the name is not valid (not only letters, digits, '_', '-' and
 * '.', starting with '.', or longer than the host allows) or the folder of
 * endpoints cannot be used. It listens once ipc_serve makes it a server. A
 * name this process already serves gives a second handle on the same
 * endpoint. Released with ipc_destroy.
 */
KEMPLAT_API IpcEndpoint *ipc_create(const char *name);

/*
 * Releases the handle (null accepted) and ends, without callbacks, the
 * exchanges started through it. The last handle of a name closes the socket
 * and removes it from the folder.
 */
KEMPLAT_API void ipc_destroy(IpcEndpoint *endpoint);

/*
 * Sends `command` (a NUL-terminated text, passed through `filter` first) to
 * the endpoint `destination`. Returns 0 when the exchange has started: then
 * exactly one of `failed` and `done` is called later (unless the exchange is
 * ended with sock_close or ipc_destroy). Returns nonzero, and calls nothing
 * more, when the destination does not exist, refuses the connection, is
 * served by a process the service does not trust (then nothing is sent),
 * cannot be sent to, or `start` refused. The texts need only last for this
 * call.
 */
KEMPLAT_API int ipc_send_command(IpcEndpoint *endpoint, const char *destination,
                                 const char *command, ipc_start_cb start, ipc_failed_cb failed,
                                 ipc_data_cb data, ipc_filter_cb filter, ipc_done_cb done,
                                 void *user);

/*
 * Makes the endpoint a server, listening on its name: every command that
 * arrives is handed to handler(conn, command, len, user). Without a
 * handler, connections are closed as they arrive. Returns 0, or -1 for a
 * null endpoint or when the name cannot be listened on (another process
 * listens on it, a file that is not a socket has it, the socket cannot be
 * made).
 */
KEMPLAT_API int ipc_serve(IpcEndpoint *endpoint, ipc_request_cb handler, void *user);

/*
 * Sends one delivery of n bytes on the server connection conn (inside the
 * handler only). Returns 0, or -1 when the peer is gone or does not read in
 * time (the host: the replies of one exchange wait at most 5 s in all).
 */
KEMPLAT_API int ipc_reply(IpcConn *conn, const void *data, size_t n);

/*
 * Runs one round of the event loop: waits at most ms milliseconds for the
 * process's IPC sockets and runs the callbacks of what arrived; ends the
 * exchanges whose peer has been silent too long. A connection whose
 * callback is running (a nested call) is left alone. Returns the number of
 * sockets served, or -1 when poll failed (EINTR included).
 */
KEMPLAT_API int sock_poll_msecs(int ms);

/* Bytes of the pending delivery on conn not yet read (0 outside one). */
KEMPLAT_API size_t sock_bytes_left(IpcConn *conn);

/* Copies up to n bytes of the pending delivery into buffer; returns how many. */
KEMPLAT_API size_t sock_read(IpcConn *conn, void *buffer, size_t n);

/*
 * Ends the exchange on conn (from inside its data callback, too): the
 * connection closes and no further callback of that exchange runs.
 */
KEMPLAT_API void sock_close(IpcConn *conn);

/*
 * Writes the socket path of the endpoint `name` into out (size bytes),
 * creating the folder when needed. Returns 0, or -1 when the name is not
 * valid, the path does not fit, or the folder cannot be used.
 */
KEMPLAT_API int ipc_socket_path(const char *name, char *out, size_t size);

KEMPLAT_END_DECLS

#endif
