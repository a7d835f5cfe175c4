/*
 * Connections of the host IPC service, the table of watched sockets, the
 * event loop (sock_poll_msecs) and the server side of an exchange (see
 * ipc_service.hpp and docs/ipc.md).
 *
 * A server reads one command frame, runs the handler, whose replies are
 * written blocking, and sends the end frame. Clients cannot hold it down,
 * whatever KEM_IPC_TIMEOUT_MS says: a client has IPC_HOST_REQUEST_MS to send
 * its whole command; the commands not yet whole hold at most
 * IPC_HOST_HELD_MAX bytes (a command that needs more is closed); when the
 * table is full, a new connection takes the place of the oldest one still
 * waiting for its command; the replies of one exchange wait at most
 * IPC_HOST_REPLY_WAIT_MS in all for the client to read.
 *
 * Caveats: one thread only. Connections whose callback is running are not
 * polled, so a nested exchange started from inside a callback is served
 * while the outer one waits; a server answers one command at a time.
 */
#include "platform/host/ipc_service.hpp"
#include "platform/mem.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <poll.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

/* One watched socket: a listener or a connection. */
struct Slot {
    Listener *listener;
    IpcConn *conn;
    unsigned serial;  /* grows with each slot taken: the oldest has the smallest */
};

Slot slots[IPC_MAX_SOCKETS];
int slot_top = 0;  /* slots at and above this index are free */
unsigned next_serial = 1;
size_t held_total = 0;  /* bytes the frame readers of server connections hold */

/* A server limit in ms, shortened by a smaller nonzero KEM_IPC_TIMEOUT_MS. */
int server_limit(int limit_ms, int timeout_ms)
{
    return timeout_ms && timeout_ms < limit_ms ? timeout_ms : limit_ms;
}

/* Writes the whole iovec array, waiting for room at most *budget ms in all (-1: forever). */
int write_all(int fd, iovec *iov, int count, int64_t *budget)
{
    while (count > 0) {
        msghdr msg{};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(count);
        ssize_t n = sendmsg(fd, &msg, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if ((errno != EAGAIN && errno != EWOULDBLOCK) || *budget == 0)
                return -1;
            int64_t start = ipc::now_ms();
            pollfd p{fd, POLLOUT, 0};
            if (poll(&p, 1, *budget < 0 ? -1 : static_cast<int>(*budget)) < 0 && errno != EINTR)
                return -1;
            if (*budget > 0) {
                int64_t spent = ipc::now_ms() - start;
                *budget = spent < *budget ? *budget - spent : 0;
            }
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

/* The server side of a readable connection: one command, then the end frame. */
void serve_request(IpcConn *c)
{
    int r = ipc::fill(c);
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
            ipc::send_frame(c->fd, 'E', &code, 1, &c->stall_ms);
    }
    if (c->closed)
        ipc::free_conn(c);
    else
        ipc::discard(c);
}

/* Ends the oldest server connection still waiting for its command; false when none. */
bool evict_oldest()
{
    int oldest = -1;
    for (int i = 0; i < slot_top; ++i) {
        const IpcConn *c = slots[i].conn;
        if (c && c->server && !c->busy && (oldest < 0 || slots[i].serial < slots[oldest].serial))
            oldest = i;
    }
    if (oldest < 0)
        return false;
    ipc::discard(slots[oldest].conn);
    return true;
}

/* Ends the exchanges whose peer has been silent past their deadline. */
void expire(int64_t now)
{
    for (int i = 0; i < slot_top; ++i) {
        IpcConn *c = slots[i].conn;
        if (!c || c->busy || !c->deadline || now < c->deadline)
            continue;
        if (c->server)
            ipc::discard(c);
        else
            ipc::finish(c, IPC_FAIL_TIMEOUT);
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

}  // namespace

int64_t ipc::now_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

int ipc::timeout_setting()
{
    const char *text = std::getenv("KEM_IPC_TIMEOUT_MS");
    if (!text || *text < '0' || *text > '9')  /* no sign, no space */
        return default_timeout_ms;
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (*end || errno == ERANGE || v > INT32_MAX)  /* a 32-bit long saturates */
        return default_timeout_ms;
    return static_cast<int>(v);
}

int ipc::take_slot(Listener *listener, IpcConn *conn)
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

void ipc::drop_slot(int i)
{
    slots[i] = Slot{nullptr, nullptr, 0};
    while (slot_top > 0 && !slots[slot_top - 1].listener && !slots[slot_top - 1].conn)
        --slot_top;
}

IpcConn *ipc::new_conn(int fd, bool server)
{
    auto *c = static_cast<IpcConn *>(mem_calloc(1, sizeof(IpcConn), KEM_TAG));
    if (!c)
        return nullptr;
    c->fd = fd;
    c->slot = -1;
    c->server = server;
    c->timeout_ms = timeout_setting();
    ipc_frame_init(&c->in, server ? "C" : "DE");
    if (server) {  /* bounded whatever KEM_IPC_TIMEOUT_MS says */
        c->deadline = now_ms() + server_limit(IPC_HOST_REQUEST_MS, c->timeout_ms);
        c->stall_ms = server_limit(IPC_HOST_REPLY_WAIT_MS, c->timeout_ms);
    }
    return c;
}

void ipc::free_conn(IpcConn *c)
{
    if (c->fd >= 0)
        close(c->fd);
    held_total -= c->held;
    ipc_frame_release(&c->in);
    mem_free(c, KEM_TAG);
}

void ipc::detach(IpcConn *c)
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

void ipc::discard(IpcConn *c)
{
    detach(c);
    if (c->busy)
        c->closed = true;
    else
        free_conn(c);
}

int ipc::fill(IpcConn *c)
{
    unsigned char *at;
    size_t room;
    if (c->server) {  /* one command, within what the other commands leave */
        size_t left = c->held + (IPC_HOST_HELD_MAX - held_total);
        c->in.limit = left < IPC_FRAME_HEADER + IPC_MAX_PAYLOAD ? left : IPC_FRAME_HEADER + IPC_MAX_PAYLOAD;
    }
    if (ipc_frame_room(&c->in, &at, &room) != 0)
        return -3;
    if (c->server) {
        held_total += c->in.cap - c->held;
        c->held = c->in.cap;
    }
    for (;;) {
        ssize_t n = recv(c->fd, at, room, MSG_DONTWAIT);
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

int ipc::send_frame(int fd, unsigned char type, const void *payload, size_t len, int64_t *budget_ms)
{
    if (len > IPC_MAX_PAYLOAD)
        return -1;
    unsigned char header[IPC_FRAME_HEADER] = {
        type, static_cast<unsigned char>(len >> 24), static_cast<unsigned char>(len >> 16),
        static_cast<unsigned char>(len >> 8), static_cast<unsigned char>(len)};
    iovec iov[2] = {{header, sizeof header}, {const_cast<void *>(payload), len}};
    return write_all(fd, iov, len ? 2 : 1, budget_ms);
}

/* Accepts one connection: trusted users only; the oldest waiting one makes room. */
void ipc::serve_listener(Listener *l)
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
    if (c->slot < 0 && evict_oldest())
        c->slot = take_slot(nullptr, c);
    if (c->slot < 0) {
        free_conn(c);
        return;
    }
    c->listener = l;
    c->next = l->conns;
    l->conns = c;
    /* a client sends its command as it connects: mostly here already; read
       now, before a flood of connections behind it could evict it */
    serve_request(c);
}

extern "C" int ipc_reply(IpcConn *c, const void *data, size_t n)
{
    if (!c || !c->server || c->closed || c->fd < 0)
        return -1;
    if (ipc::send_frame(c->fd, 'D', data, n, &c->stall_ms) == 0)
        return 0;
    /* a frame may be half sent: nothing more may follow it on this connection */
    ipc::discard(c);
    return -1;
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
    int ready = poll(fds, n, round_wait(ms, ipc::now_ms()));
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
            ipc::serve_listener(s.listener);
        else if (s.conn->busy)
            continue;
        else if (s.conn->server)
            serve_request(s.conn);
        else
            ipc::serve_client(s.conn);
    }
    expire(ipc::now_ms());
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
        ipc::discard(c);
}
