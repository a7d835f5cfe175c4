/*
 * Inside the host IPC service: the records and helpers that its files
 * share. C++ only, and not installed (the public headers are platform/ipc.h
 * and platform/host/ipc_host.h).
 *
 *   ipc_folder.cpp  the endpoint folder, names, socket addresses, trust and
 *                   the refusals users see
 *   ipc_listen.cpp  endpoints and their listening sockets
 *   ipc_loop.cpp    connections, the table of watched sockets, the event
 *                   loop and the server side of an exchange
 *   ipc_client.cpp  the client side of an exchange
 *   ipc_frames.cpp  the frame reader
 *
 * Caveats: one thread only; all state is static storage of the process.
 */
#ifndef KEM_PLATFORM_HOST_IPC_SERVICE_HPP
#define KEM_PLATFORM_HOST_IPC_SERVICE_HPP

#include "platform/host/ipc_frames.h"
#include "platform/host/ipc_host.h"
#include "platform/ipc.h"

#include <climits>
#include <cstdint>

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

struct Listener;

struct IpcEndpoint {
    Listener *listener;  /* null until the endpoint serves: a client needs none */
    IpcConn *conns;      /* client exchanges started through this handle */
    char *folder;        /* the folder checked when the handle was made (tagged) */
    char name[IPC_HOST_NAME_MAX + 1];
};

struct IpcConn {
    int fd;
    int slot;
    bool server;
    bool busy;    /* a callback of this connection is running */
    bool closed;  /* ended while busy: freed once the callback returns */
    IpcEndpoint *owner;   /* client side */
    Listener *listener;   /* server side */
    IpcConn *next;        /* in the owner's or the listener's list */
    ipc_failed_cb failed;
    ipc_data_cb data;
    ipc_done_cb done;
    void *user;
    int timeout_ms;       /* client: silence allowed between frames (0: none) */
    int64_t deadline;     /* monotonic ms; 0: none */
    int64_t stall_ms;     /* server: what replies may still wait for the client */
    size_t held;          /* server: bytes of the frame reader counted as held */
    IpcFrameReader in;
    const unsigned char *delivery;
    size_t left;
};

struct Listener {
    int fd;
    int slot;
    int refs;
    ipc_request_cb handler;
    void *user;
    IpcConn *conns;       /* accepted connections */
    Listener *next;
    dev_t dev;            /* the socket file's identity, to remove only our own */
    ino_t ino;
    char name[IPC_HOST_NAME_MAX + 1];
    char path[PATH_MAX];
};

namespace ipc {

constexpr int default_timeout_ms = 60000;

/* --- ipc_folder.cpp --- */

/* Records why a folder, name or peer was refused (ipc_last_error, stderr once). */
void refuse(const char *format, ...) __attribute__((format(printf, 1, 2)));
/* A name as it may stand in a message: cut, with anything unprintable as '?'. */
const char *printable(const char *name, char *out, size_t size);
/* True for a valid endpoint name; records why not otherwise. */
bool usable_name(const char *name);
/* True when uid may be a peer or own the folder. */
bool trusted(uid_t uid);
/* True when KEM_IPC_TRUST_UIDS names any user. */
bool trusting_others();
/* The user id of the peer of connected socket fd; false when unknown. */
bool peer_uid(int fd, uid_t *uid);
/* The path of endpoint `name` (a valid name) into out (PATH_MAX bytes); -1 (recorded) when unusable. */
int endpoint_path(const char *name, char *out);

/*
 * A socket address for the file at path (any length up to PATH_MAX). *dirfd
 * receives a descriptor that the address goes through (-1: none); the
 * caller closes it after the bind or connect. -1 (recorded) on failure.
 */
int socket_address(const char *path, sockaddr_un *addr, int *dirfd);

/* --- ipc_loop.cpp --- */

int64_t now_ms();
/* KEM_IPC_TIMEOUT_MS, or the default when unset or not a number >= 0. */
int timeout_setting();
/* Takes a slot for a listener or a connection; -1 when all are used. */
int take_slot(Listener *listener, IpcConn *conn);
void drop_slot(int i);
/* A connection record around fd with an empty frame reader; null without memory. */
IpcConn *new_conn(int fd, bool server);
/* Closes and frees a connection that is no longer in any list or slot. */
void free_conn(IpcConn *c);
/* Takes c out of its owner's or listener's list and out of the slot table. */
void detach(IpcConn *c);
/* Ends a connection without callbacks; a busy one is freed by its dispatcher. */
void discard(IpcConn *c);
/* Reads what is pending into c's frame reader: 1 bytes came, 0 none, -2 end, -1 error, -3 no room. */
int fill(IpcConn *c);
/* Sends one frame, waiting for room at most *budget_ms in all (-1: forever; spent time is taken off). */
int send_frame(int fd, unsigned char type, const void *payload, size_t len, int64_t *budget_ms);
/* Accepts one connection on l. */
void serve_listener(Listener *l);

/* --- ipc_client.cpp --- */

/* The client side of a readable connection. */
void serve_client(IpcConn *c);
/* Ends a client exchange: frees the connection, then runs its last callback. */
void finish(IpcConn *c, int reason);

/* --- ipc_listen.cpp --- */

/* The listener this process holds for name, or null. */
Listener *held_listener(const char *name);

}  // namespace ipc

#endif
