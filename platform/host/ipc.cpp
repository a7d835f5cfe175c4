/*
 * Host IPC service over Unix-domain stream sockets (see platform/ipc.h and
 * docs/ipc.md).
 *
 * Endpoints are listening sockets in a runtime folder: KEM_IPC_DIR when set,
 * else /tmp/kem-ipc-<uid>, made with mode 0700; a folder of another user or
 * one that others may write to is refused. Every frame is one type byte,
 * a 4-byte big-endian payload length and the payload. A client sends one 'C'
 * frame; the server answers with 'D' frames (deliveries) and one 'E' frame
 * whose one-byte payload is the status. Both sides check the other's
 * credentials (SO_PEERCRED): the same effective user, root, or a user of
 * KEM_IPC_TRUST_UIDS. Why a folder, name or peer was refused is kept for
 * ipc_last_error and written to stderr once per process and reason.
 *
 * State: the table of watched sockets, the list of listeners and the last
 * refusal live in static storage for the life of the process; endpoints,
 * listeners, connections and their buffers come from the tagged allocator
 * and go with the last ipc_destroy / the end of their exchange. Socket files
 * of listeners still open at exit are removed by an atexit handler.
 *
 * Caveats: one thread only. Connections whose callback is running are not
 * polled, so a nested exchange started from inside a callback is served
 * while the outer one waits. Server replies are written blocking (bounded by
 * KEM_IPC_TIMEOUT_MS): a server answers one command at a time.
 */
#include "platform/ipc.h"
#include "platform/host/ipc_frames.h"
#include "platform/host/ipc_host.h"
#include "platform/mem.h"

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

struct Listener;

struct IpcEndpoint {
    Listener *listener;
    IpcConn *conns;  /* client exchanges started through this handle */
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
    int timeout_ms;
    int64_t deadline;     /* monotonic ms; 0: none */
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
    char name[108];
    char path[sizeof(sockaddr_un::sun_path)];
    dev_t dev;            /* the socket file's identity, to remove only our own */
    ino_t ino;
};

namespace {

/* One watched socket: a listener or a connection. */
struct Slot {
    Listener *listener;
    IpcConn *conn;
    unsigned serial;
};

Slot slots[IPC_MAX_SOCKETS];
int slot_top = 0;  /* slots at and above this index are free */
unsigned next_serial = 1;
Listener *listeners = nullptr;

constexpr int default_timeout_ms = 60000;

char last_error[320];          /* the last refusal, "" when none */
uint32_t reported[32];         /* refusals already on stderr (hashes), a ring */
unsigned reported_next = 0;

/*
 * Records why a folder, a name or a peer was refused: the line that
 * ipc_last_error gives, written to stderr the first time this process
 * meets that reason.
 */
void refuse(const char *format, ...) __attribute__((format(printf, 1, 2)));
void refuse(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::vsnprintf(last_error, sizeof last_error, format, args);
    va_end(args);
    uint32_t hash = 2166136261u;
    for (const char *p = last_error; *p; ++p)
        hash = (hash ^ static_cast<unsigned char>(*p)) * 16777619u;
    for (uint32_t seen : reported)
        if (seen == hash)
            return;
    reported[reported_next++ % (sizeof reported / sizeof reported[0])] = hash;
    std::fprintf(stderr, "libkemluautils: %s\n", last_error);
}

/* A name as it may stand in a message: cut, with anything unprintable as '?'. */
const char *printable(const char *name, char *out, size_t size)
{
    size_t i = 0;
    for (; name && name[i] && i + 1 < size; ++i)
        out[i] = name[i] >= 0x20 && name[i] < 0x7f ? name[i] : '?';
    out[i] = '\0';
    return out;
}

/* True when uid may be a peer: this process's effective user, root, or a
   uid in KEM_IPC_TRUST_UIDS (decimal, comma-separated; anything else in an
   entry makes it trust nobody). */
bool trusted(uid_t uid)
{
    if (uid == geteuid() || uid == 0)
        return true;
    const char *list = std::getenv("KEM_IPC_TRUST_UIDS");
    for (const char *p = list; p && *p;) {
        while (*p == ' ')
            ++p;
        char *end = nullptr;
        errno = 0;
        unsigned long v = *p >= '0' && *p <= '9' ? std::strtoul(p, &end, 10) : 0;
        while (end && *end == ' ')
            ++end;
        if (end && errno == 0 && (*end == ',' || *end == '\0') && v == uid)
            return true;
        p = std::strchr(p, ',');
        if (p)
            ++p;
    }
    return false;
}

/* The user id of the peer of connected socket fd; false when unknown. */
bool peer_uid(int fd, uid_t *uid)
{
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        return false;
    *uid = cred.uid;
    return true;
}

/* Milliseconds of the monotonic clock. */
int64_t now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

/* KEM_IPC_TIMEOUT_MS, or the default when unset or not a number >= 0. */
int timeout_setting()
{
    const char *text = std::getenv("KEM_IPC_TIMEOUT_MS");
    if (!text || !*text)
        return default_timeout_ms;
    char *end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (*end || v < 0 || v > INT32_MAX)
        return default_timeout_ms;
    return static_cast<int>(v);
}

/* Takes a free slot for a listener or a connection; -1 when all are used. */
int take_slot(Listener *listener, IpcConn *conn)
{
    for (int i = 0; i < IPC_MAX_SOCKETS; ++i) {
        if (!slots[i].listener && !slots[i].conn) {
            slots[i] = Slot{listener, conn, next_serial++};
            if (i >= slot_top)
                slot_top = i + 1;
            return i;
        }
    }
    return -1;
}

void drop_slot(int i)
{
    slots[i] = Slot{nullptr, nullptr, 0};
    while (slot_top > 0 && !slots[slot_top - 1].listener && !slots[slot_top - 1].conn)
        --slot_top;
}

/*
 * Endpoint names: letters, digits, '_', '-' and '.', not starting with '.'.
 * So no endpoint is ever named like the private name NAME.<pid>~ under which
 * a listener is set up, nor leaves its folder.
 */
bool valid_name(const char *name)
{
    if (!name || !*name || *name == '.')
        return false;
    for (const char *p = name; *p; ++p) {
        char c = *p;
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-' || c == '.';
        if (!ok)
            return false;
    }
    return true;
}

/* valid_name, recording why a name is refused. */
bool usable_name(const char *name)
{
    if (valid_name(name))
        return true;
    char shown[64];
    refuse("endpoint name '%s': not a valid name (letters, digits, '_', '-' and '.', not "
           "starting with '.')", printable(name, shown, sizeof shown));
    return false;
}

/*
 * The runtime folder into out, made (0700) when missing; -1 when unusable:
 * it must be a directory, not a symbolic link, owned by this process's
 * effective user and writable by nobody else (the default folder in /tmp
 * open to nobody else at all).
 */
int runtime_folder(char *out, size_t size)
{
    const char *dir = std::getenv("KEM_IPC_DIR");
    bool own = !dir || !*dir;
    int n = own ? std::snprintf(out, size, "/tmp/kem-ipc-%u", static_cast<unsigned>(geteuid()))
                : std::snprintf(out, size, "%s", dir);
    char shown[sizeof(sockaddr_un::sun_path) + 4];
    if (n < 0 || static_cast<size_t>(n) >= size) {
        refuse("endpoint folder %s: the path is too long", printable(out, shown, sizeof shown));
        return -1;
    }
    printable(out, shown, sizeof shown);
    struct stat st;
    if ((mkdir(out, 0700) != 0 && errno != EEXIST) || lstat(out, &st) != 0) {
        refuse("endpoint folder %s: %s", shown, std::strerror(errno));
        return -1;
    }
    if (!S_ISDIR(st.st_mode)) {
        refuse("endpoint folder %s: not a directory", shown);
        return -1;
    }
    if (st.st_uid != geteuid()) {
        refuse("endpoint folder %s: owned by uid %u, not by this user (uid %u)", shown,
               static_cast<unsigned>(st.st_uid), static_cast<unsigned>(geteuid()));
        return -1;
    }
    if (st.st_mode & (own ? 077 : 022)) {
        refuse("endpoint folder %s: mode %03o lets %s", shown, static_cast<unsigned>(st.st_mode & 0777),
               own ? "other users in" : "other users write to it");
        return -1;
    }
    return 0;
}

/* The socket address of endpoint `name`; -1 when it cannot be formed. */
int endpoint_address(const char *name, sockaddr_un *addr)
{
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    return ipc_socket_path(name, addr->sun_path, sizeof addr->sun_path);
}

int set_nonblocking(int fd)
{
    int flags = fcntl(fd, F_GETFL);
    return flags < 0 ? -1 : fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

/* Writes the whole iovec array, waiting for room up to timeout_ms (0: forever). */
int write_all(int fd, iovec *iov, int count, int timeout_ms)
{
    int64_t deadline = timeout_ms ? now_ms() + timeout_ms : 0;
    while (count > 0) {
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(count);
        ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                return -1;
            int wait = -1;
            if (deadline) {
                int64_t rest = deadline - now_ms();
                if (rest <= 0)
                    return -1;
                wait = static_cast<int>(rest);
            }
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, wait) < 0 && errno != EINTR)
                return -1;
            continue;
        }
        auto done = static_cast<size_t>(n);
        while (count > 0 && done >= iov->iov_len) {
            done -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<char *>(iov->iov_base) + done;
            iov->iov_len -= done;
        }
    }
    return 0;
}

/* Sends one frame: type, big-endian length, payload. */
int send_frame(int fd, unsigned char type, const void *payload, size_t len, int timeout_ms)
{
    if (len > IPC_MAX_PAYLOAD)
        return -1;
    unsigned char header[IPC_FRAME_HEADER] = {
        type, static_cast<unsigned char>(len >> 24), static_cast<unsigned char>(len >> 16),
        static_cast<unsigned char>(len >> 8), static_cast<unsigned char>(len)};
    iovec iov[2] = {{header, sizeof header}, {const_cast<void *>(payload), len}};
    return write_all(fd, iov, len ? 2 : 1, timeout_ms);
}

/* Closes and frees a connection that is no longer in any list or slot. */
void free_conn(IpcConn *c)
{
    if (c->fd >= 0)
        close(c->fd);
    ipc_frame_release(&c->in);
    mem_free(c, KEM_TAG);
}

/* Takes c out of its owner's or listener's list and out of the slot table. */
void detach(IpcConn *c)
{
    IpcConn **link = c->server ? (c->listener ? &c->listener->conns : nullptr)
                               : (c->owner ? &c->owner->conns : nullptr);
    while (link && *link && *link != c)
        link = &(*link)->next;
    if (link && *link)
        *link = c->next;
    c->owner = nullptr;
    c->listener = nullptr;
    if (c->slot >= 0)
        drop_slot(c->slot);
    c->slot = -1;
}

/* Ends a connection without callbacks; a busy one is freed by its dispatcher. */
void discard(IpcConn *c)
{
    detach(c);
    if (c->busy)
        c->closed = true;
    else
        free_conn(c);
}

/* Ends a client exchange: frees the connection, then runs its last callback. */
void finish(IpcConn *c, int reason)
{
    ipc_failed_cb failed = c->failed;
    ipc_done_cb done = c->done;
    void *user = c->user;
    detach(c);
    free_conn(c);
    if (reason == 0)
        done(nullptr, user);
    else
        failed(nullptr, reason, user);
}

/* Allocates a connection record around fd with an empty frame reader. */
IpcConn *new_conn(int fd, bool server)
{
    auto *c = static_cast<IpcConn *>(mem_calloc(1, sizeof(IpcConn), KEM_TAG));
    if (!c)
        return nullptr;
    c->fd = fd;
    c->slot = -1;
    c->server = server;
    c->timeout_ms = timeout_setting();
    ipc_frame_init(&c->in, server ? "C" : "DE");
    return c;
}

void arm(IpcConn *c)
{
    c->deadline = c->timeout_ms ? now_ms() + c->timeout_ms : 0;
}

/*
 * Reads what is pending on c into its frame reader. Returns 1 when bytes
 * came, 0 when none (EAGAIN), -2 at end of stream, -1 on an error, -3 when
 * the buffer cannot grow.
 */
int fill(IpcConn *c)
{
    unsigned char *at;
    size_t room;
    if (ipc_frame_room(&c->in, &at, &room) != 0)
        return -3;
    for (;;) {
        ssize_t n = read(c->fd, at, room);
        if (n > 0) {
            ipc_frame_commit(&c->in, static_cast<size_t>(n));
            return 1;
        }
        if (n == 0)
            return -2;
        if (errno == EINTR)
            continue;
        return (errno == EAGAIN || errno == EWOULDBLOCK) ? 0 : -1;
    }
}

/* Hands the client its complete frames; false once the exchange has ended. */
bool client_frames(IpcConn *c)
{
    IpcFrame f;
    int got;
    while ((got = ipc_frame_next(&c->in, &f)) == 1) {
        if (f.type == 'E') {
            if (f.len != 1) {
                finish(c, IPC_FAIL_PROTOCOL);
                return false;
            }
            finish(c, f.payload[0] == 0 ? 0 : IPC_FAIL_STATUS);
            return false;
        }
        c->delivery = f.payload;
        c->left = f.len;
        c->busy = true;
        c->data(c, c->user);
        c->busy = false;
        c->delivery = nullptr;
        c->left = 0;
        if (c->closed) {
            free_conn(c);
            return false;
        }
        arm(c);
    }
    if (got < 0) {
        finish(c, IPC_FAIL_PROTOCOL);
        return false;
    }
    return true;
}

/* The client side of a readable connection. */
void serve_client(IpcConn *c)
{
    for (int round = 0; round < 64; ++round) {  /* bounded, so other sockets get a turn */
        int r = fill(c);
        if (r == 0)
            return;
        if (r == -3) {
            finish(c, IPC_FAIL_MEMORY);
            return;
        }
        if (!client_frames(c))
            return;
        if (r < 0) {
            finish(c, IPC_FAIL_CLOSED);
            return;
        }
    }
}

/* The server side of a readable connection: one command, then the end frame. */
void serve_request(IpcConn *c)
{
    int r = fill(c);
    if (r == 0)
        return;
    IpcFrame f;
    int got = r == -3 ? -1 : ipc_frame_next(&c->in, &f);
    if (got == 0 && r > 0)
        return;
    if (got == 1 && c->listener && c->listener->handler) {
        Listener *l = c->listener;
        c->busy = true;
        int status = l->handler(c, reinterpret_cast<const char *>(f.payload), f.len, l->user);
        c->busy = false;
        unsigned char code = static_cast<unsigned char>(status & 0xff);
        if (!c->closed)
            send_frame(c->fd, 'E', &code, 1, c->timeout_ms);
    }
    if (c->closed)
        free_conn(c);
    else
        discard(c);
}

/* Accepts one connection on a listener: trusted users only. */
void serve_listener(Listener *l)
{
    int fd = accept4(l->fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0)
        return;
    uid_t uid = 0;
    bool allowed = peer_uid(fd, &uid) && trusted(uid);
    if (!allowed)
        refuse("endpoint '%s': a client of uid %u refused, not a trusted user", l->name,
               static_cast<unsigned>(uid));
    IpcConn *c = allowed && l->handler ? new_conn(fd, true) : nullptr;
    if (!c) {
        close(fd);
        return;
    }
    c->slot = take_slot(nullptr, c);
    if (c->slot < 0) {
        free_conn(c);
        return;
    }
    c->listener = l;
    c->next = l->conns;
    l->conns = c;
    arm(c);
}

/* Ends the exchanges whose peer has been silent past their deadline. */
void expire(int64_t now)
{
    for (int i = 0; i < slot_top; ++i) {
        IpcConn *c = slots[i].conn;
        if (!c || c->busy || !c->deadline || now < c->deadline)
            continue;
        if (c->server)
            discard(c);
        else
            finish(c, IPC_FAIL_TIMEOUT);
    }
}

/* Waiting time of one round: ms, shortened to the nearest deadline. */
int round_wait(int ms, int64_t now)
{
    for (int i = 0; i < slot_top; ++i) {
        IpcConn *c = slots[i].conn;
        if (!c || c->busy || !c->deadline)
            continue;
        int64_t rest = c->deadline - now;
        if (rest < 0)
            rest = 0;
        if (ms < 0 || rest < ms)
            ms = static_cast<int>(rest);
    }
    return ms;
}

/*
 * True when the socket file at addr is left over: nobody listens on it. The
 * probe never blocks: only a refused connection means stale; anything else
 * (a full backlog's EAGAIN included) means a live listener.
 */
bool stale(const sockaddr_un *addr)
{
    struct stat st;
    if (lstat(addr->sun_path, &st) != 0 || !S_ISSOCK(st.st_mode))
        return false;
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe < 0)
        return false;
    bool refused = connect(probe, reinterpret_cast<const sockaddr *>(addr), sizeof *addr) != 0 &&
                   errno == ECONNREFUSED;
    close(probe);
    return refused;
}

/* Records why endpoint name could not be set up at path. */
void refuse_taken(const char *name, const char *path)
{
    int error = errno;
    struct stat st;
    if (lstat(path, &st) != 0)
        refuse("endpoint '%s': cannot listen: %s", name, std::strerror(error));
    else if (S_ISSOCK(st.st_mode))
        refuse("endpoint '%s': held by a live listener at %s", name, path);
    else
        refuse("endpoint '%s': %s is not a socket", name, path);
}

/* Binds fd at addr; a left-over socket file nobody listens on is replaced. */
bool bind_at(int fd, const sockaddr_un *addr)
{
    auto *sa = reinterpret_cast<const sockaddr *>(addr);
    if (bind(fd, sa, sizeof *addr) == 0)
        return true;
    return errno == EADDRINUSE && stale(addr) && unlink(addr->sun_path) == 0 &&
           bind(fd, sa, sizeof *addr) == 0;
}

/* Links the socket file at from to the name at to, replacing a stale one. */
bool link_at(const char *from, const sockaddr_un *to)
{
    if (link(from, to->sun_path) == 0)
        return true;
    return errno == EEXIST && stale(to) && unlink(to->sun_path) == 0 &&
           link(from, to->sun_path) == 0;
}

/* Listens on addr; -1 when the name is held by a live process. */
int listen_on(const char *name, const sockaddr_un *addr)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    /* bound and listening under a private name first, then linked into
       place: a client never finds the endpoint before it takes connections */
    sockaddr_un tmp = *addr;
    int n = std::snprintf(tmp.sun_path, sizeof tmp.sun_path, "%s.%ld~", addr->sun_path,
                          static_cast<long>(getpid()));
    if (n < 0 || static_cast<size_t>(n) >= sizeof tmp.sun_path) {
        /* no room for the private name: bound in place */
        bool ok = bind_at(fd, addr);
        if (ok && listen(fd, 64) == 0)
            return fd;
        if (ok)
            unlink(addr->sun_path);
        else
            refuse_taken(name, addr->sun_path);
        close(fd);
        return -1;
    }
    if (stale(&tmp))
        unlink(tmp.sun_path);  /* left by a process of this id that died */
    bool bound = bind(fd, reinterpret_cast<const sockaddr *>(&tmp), sizeof tmp) == 0;
    if (!bound)
        refuse_taken(name, tmp.sun_path);
    bool placed = bound && listen(fd, 64) == 0 && link_at(tmp.sun_path, addr);
    if (bound && !placed)
        refuse_taken(name, addr->sun_path);
    if (bound)
        unlink(tmp.sun_path);
    if (!placed) {
        close(fd);
        return -1;
    }
    return fd;
}

/* Removes l's socket file, unless another file has taken its name. */
void unlink_own(const Listener *l)
{
    struct stat st;
    if (lstat(l->path, &st) == 0 && st.st_dev == l->dev && st.st_ino == l->ino)
        unlink(l->path);
}

/* At exit: the socket files of the listeners still open (a script that
   called os.exit, or never reached ipc_destroy). */
void remove_socket_files()
{
    for (const Listener *l = listeners; l; l = l->next)
        unlink_own(l);
}

/* A new listener on `name`, in the slot table and the list; null on failure. */
Listener *open_listener(const char *name)
{
    sockaddr_un addr;
    if (std::strlen(name) >= sizeof(Listener::name) || endpoint_address(name, &addr) != 0)
        return nullptr;
    auto *l = static_cast<Listener *>(mem_calloc(1, sizeof(Listener), KEM_TAG));
    if (!l)
        return nullptr;
    l->fd = listen_on(name, &addr);
    l->slot = l->fd >= 0 ? take_slot(l, nullptr) : -1;
    if (l->slot < 0) {
        if (l->fd >= 0) {
            close(l->fd);
            unlink(addr.sun_path);
        }
        mem_free(l, KEM_TAG);
        return nullptr;
    }
    std::strcpy(l->name, name);
    std::strcpy(l->path, addr.sun_path);
    struct stat st;
    if (lstat(l->path, &st) == 0) {
        l->dev = st.st_dev;
        l->ino = st.st_ino;
    }
    static bool exit_handler = false;
    if (!exit_handler)
        exit_handler = std::atexit(remove_socket_files) == 0;
    l->next = listeners;
    listeners = l;
    return l;
}

/* Closes a listener that lost its last handle and removes its socket file. */
void close_listener(Listener *l)
{
    while (l->conns)
        discard(l->conns);
    for (Listener **p = &listeners; *p; p = &(*p)->next) {
        if (*p == l) {
            *p = l->next;
            break;
        }
    }
    drop_slot(l->slot);
    unlink_own(l);
    close(l->fd);
    mem_free(l, KEM_TAG);
}

/*
 * Connects to destination, checks that a trusted user serves it and sends
 * the command frame; the fd or -1. The command is not sent to a server of
 * another user.
 */
int connect_and_send(const char *destination, const char *command, int timeout_ms)
{
    sockaddr_un addr;
    if (!usable_name(destination) || endpoint_address(destination, &addr) != 0)
        return -1;
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (timeout_ms) {  /* bounds a connect to a server whose backlog is full */
        timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    }
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    uid_t uid = 0;
    if (!peer_uid(fd, &uid) || !trusted(uid)) {
        refuse("endpoint '%s': served by uid %u, not a trusted user", destination,
               static_cast<unsigned>(uid));
        close(fd);
        return -1;
    }
    if (set_nonblocking(fd) != 0 || send_frame(fd, 'C', command, std::strlen(command), timeout_ms) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

extern "C" const char *ipc_last_error(void)
{
    return last_error;
}

extern "C" int ipc_socket_path(const char *name, char *out, size_t size)
{
    if (!valid_name(name))
        return -1;
    char folder[sizeof(sockaddr_un::sun_path)];
    if (runtime_folder(folder, sizeof folder) != 0)
        return -1;
    int n = std::snprintf(out, size, "%s/%s", folder, name);
    return n < 0 || static_cast<size_t>(n) >= size ? -1 : 0;
}

extern "C" IpcEndpoint *ipc_create(const char *name)
{
    if (!usable_name(name))
        return nullptr;
    auto *ep = static_cast<IpcEndpoint *>(mem_calloc(1, sizeof(IpcEndpoint), KEM_TAG));
    if (!ep)
        return nullptr;
    Listener *l = listeners;
    while (l && std::strcmp(l->name, name) != 0)
        l = l->next;
    if (!l)
        l = open_listener(name);
    if (!l) {
        mem_free(ep, KEM_TAG);
        return nullptr;
    }
    ++l->refs;
    ep->listener = l;
    return ep;
}

extern "C" void ipc_destroy(IpcEndpoint *ep)
{
    if (!ep)
        return;
    while (ep->conns)
        discard(ep->conns);
    Listener *l = ep->listener;
    if (--l->refs == 0)
        close_listener(l);
    mem_free(ep, KEM_TAG);
}

extern "C" int ipc_send_command(IpcEndpoint *ep, const char *destination, const char *command,
                                ipc_start_cb start, ipc_failed_cb failed, ipc_data_cb data,
                                ipc_filter_cb filter, ipc_done_cb done, void *user)
{
    if (!ep || !destination || !command || !start || !failed || !data || !filter || !done)
        return -1;
    IpcConn *c = new_conn(-1, false);
    if (!c)
        return -1;
    const char *text = filter(command, user);
    c->fd = text ? connect_and_send(destination, text, c->timeout_ms) : -1;
    c->slot = c->fd >= 0 ? take_slot(nullptr, c) : -1;
    if (c->slot < 0) {
        free_conn(c);
        return -1;
    }
    c->failed = failed;
    c->data = data;
    c->done = done;
    c->user = user;
    c->owner = ep;
    c->next = ep->conns;
    ep->conns = c;
    if (start(c, user) != 0) {
        discard(c);
        return -1;
    }
    arm(c);
    return 0;
}

extern "C" int ipc_serve(IpcEndpoint *ep, ipc_request_cb handler, void *user)
{
    if (!ep)
        return -1;
    ep->listener->handler = handler;
    ep->listener->user = user;
    return 0;
}

extern "C" int ipc_reply(IpcConn *c, const void *data, size_t n)
{
    if (!c || !c->server || c->closed || c->fd < 0)
        return -1;
    return send_frame(c->fd, 'D', data, n, c->timeout_ms);
}

extern "C" int sock_poll_msecs(int ms)
{
    pollfd fds[IPC_MAX_SOCKETS];
    int index[IPC_MAX_SOCKETS];
    unsigned serial[IPC_MAX_SOCKETS];
    nfds_t n = 0;
    for (int i = 0; i < slot_top; ++i) {
        const Slot &s = slots[i];
        if (!s.listener && !s.conn)
            continue;
        if (s.conn && s.conn->busy)
            continue;  /* its callback runs below us: a nested round */
        fds[n] = pollfd{s.listener ? s.listener->fd : s.conn->fd, POLLIN, 0};
        index[n] = i;
        serial[n] = s.serial;
        ++n;
    }
    int ready = poll(fds, n, round_wait(ms, now_ms()));
    if (ready < 0)
        return -1;
    int served = 0;
    for (nfds_t k = 0; k < n && ready > 0; ++k) {
        if (!fds[k].revents)
            continue;
        const Slot &s = slots[index[k]];
        if (s.serial != serial[k])
            continue;  /* ended by an earlier callback of this round */
        ++served;
        if (s.listener)
            serve_listener(s.listener);
        else if (s.conn->busy)
            continue;
        else if (s.conn->server)
            serve_request(s.conn);
        else
            serve_client(s.conn);
    }
    expire(now_ms());
    return served;
}

extern "C" size_t sock_bytes_left(IpcConn *c)
{
    return c ? c->left : 0;
}

extern "C" size_t sock_read(IpcConn *c, void *buffer, size_t n)
{
    if (!c || !c->delivery)
        return 0;
    if (n > c->left)
        n = c->left;
    std::memcpy(buffer, c->delivery, n);
    c->delivery += n;
    c->left -= n;
    return n;
}

extern "C" void sock_close(IpcConn *c)
{
    if (c)
        discard(c);
}
