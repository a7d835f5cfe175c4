/*
 * Endpoints of the host IPC service and their listening sockets (see
 * ipc_service.hpp and docs/ipc.md).
 *
 * An endpoint handle costs no socket until it serves: a client, such as
 * qecmd, needs only a valid name and a usable folder, so ipc_create checks
 * those (one lstat) and ipc_serve makes the listener. Binding, listening,
 * linking and removing a socket file for every qecmd call cost 62-69 us of
 * CPU time; the handle costs 4.6 us (bench_ipc, BM_EndpointCreateDestroy,
 * the two builds side by side).
 *
 * A listener is bound under a private name NAME.<pid>~ and then linked to
 * NAME, so the name appears only once connections are taken. A socket file
 * nobody listens on (left by a process that died) is replaced. Handles of one
 * name in this process share its listener; the last one removes the file,
 * and an atexit handler removes those still open when the process exits.
 *
 * Caveats: a name held by another process is found by a connecting probe
 * that never blocks; only a refused connection counts as nobody listening.
 */
#include "platform/host/ipc_service.hpp"
#include "platform/mem.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace {

Listener *listeners = nullptr;

/*
 * True when the socket file at path is left over: nobody listens on it. The
 * probe never blocks: only a refused connection means stale; anything else
 * (a full backlog's EAGAIN included) means a live listener.
 */
bool stale(const char *path)
{
    struct stat st;
    if (lstat(path, &st) != 0 || !S_ISSOCK(st.st_mode))
        return false;
    sockaddr_un addr;
    int dirfd;
    if (ipc::socket_address(path, &addr, &dirfd) != 0)
        return false;
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    bool refused = probe >= 0 && connect(probe, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0 &&
                   errno == ECONNREFUSED;
    if (probe >= 0)
        close(probe);
    if (dirfd >= 0)
        close(dirfd);
    return refused;
}

/* Records why endpoint name could not be set up at path (errno: the failure). */
void refuse_taken(const char *name, const char *path)
{
    int error = errno;
    struct stat st;
    char shown[PATH_MAX];
    bool gone = lstat(path, &st) != 0;
    ipc::printable(path, shown, sizeof shown);
    if (gone || error == EPERM || error == EACCES)
        ipc::refuse("endpoint '%s': cannot listen at %s: %s", name, shown, std::strerror(error));
    else if (S_ISSOCK(st.st_mode))
        ipc::refuse("endpoint '%s': held by a live listener at %s", name, shown);
    else
        ipc::refuse("endpoint '%s': %s is not a socket", name, shown);
}

/* Links the socket file at from to the name at to, replacing a stale one. */
bool link_at(const char *from, const char *to)
{
    if (link(from, to) == 0)
        return true;
    return errno == EEXIST && stale(to) && unlink(to) == 0 && link(from, to) == 0;
}

/* Binds fd at path (any length). */
bool bind_path(int fd, const char *path)
{
    sockaddr_un addr;
    int dirfd;
    if (ipc::socket_address(path, &addr, &dirfd) != 0)
        return false;
    bool bound = bind(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0;
    int error = errno;
    if (dirfd >= 0)
        close(dirfd);
    errno = error;
    return bound;
}

/* Listens at path; -1 (recorded) when the name is held by a live process. */
int listen_on(const char *name, const char *path)
{
    /* bound and listening under a private name first, then linked into
       place: a client never finds the endpoint before it takes connections */
    char tmp[PATH_MAX];
    int n = std::snprintf(tmp, sizeof tmp, "%s.%ld~", path, static_cast<long>(getpid()));
    if (n < 0 || static_cast<size_t>(n) >= sizeof tmp) {
        ipc::refuse("endpoint '%s': the path %s is too long", name, ipc::printable(path, tmp, sizeof tmp));
        return -1;
    }
    if (stale(tmp))
        unlink(tmp);  /* left by a process of this id that died */
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        ipc::refuse("endpoint '%s': cannot make a socket: %s", name, std::strerror(errno));
        return -1;
    }
    if (!bind_path(fd, tmp)) {
        refuse_taken(name, tmp);
        close(fd);
        return -1;
    }
    if (ipc::trusting_others())
        chmod(tmp, 0666);  /* other users may connect; each connection's user is checked */
    bool placed = listen(fd, 64) == 0 && link_at(tmp, path);
    if (!placed)
        refuse_taken(name, path);
    unlink(tmp);
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

/* A new listener on `name`, in the slot table and the list; null (recorded) on failure. */
Listener *open_listener(const char *name)
{
    auto *l = static_cast<Listener *>(mem_calloc(1, sizeof(Listener), KEM_TAG));
    if (!l) {
        ipc::refuse("endpoint '%s': not enough memory", name);
        return nullptr;
    }
    std::strcpy(l->name, name);
    l->fd = ipc::endpoint_path(name, l->path) == 0 ? listen_on(name, l->path) : -1;
    l->slot = l->fd >= 0 ? ipc::take_slot(l, nullptr) : -1;
    if (l->slot < 0) {
        if (l->fd >= 0) {
            ipc::refuse("endpoint '%s': no room: the process watches %d sockets already", name,
                        IPC_MAX_SOCKETS);
            close(l->fd);
            unlink(l->path);
        }
        mem_free(l, KEM_TAG);
        return nullptr;
    }
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
        ipc::discard(l->conns);
    for (Listener **p = &listeners; *p; p = &(*p)->next) {
        if (*p == l) {
            *p = l->next;
            break;
        }
    }
    ipc::drop_slot(l->slot);
    unlink_own(l);
    close(l->fd);
    mem_free(l, KEM_TAG);
}

}  // namespace

Listener *ipc::held_listener(const char *name)
{
    Listener *l = listeners;
    while (l && std::strcmp(l->name, name) != 0)
        l = l->next;
    return l;
}

extern "C" IpcEndpoint *ipc_create(const char *name)
{
    if (!ipc::usable_name(name))
        return nullptr;
    Listener *l = ipc::held_listener(name);
    char path[PATH_MAX];
    if (ipc::endpoint_path(name, path) != 0)
        return nullptr;
    path[std::strlen(path) - std::strlen(name) - 1] = '\0';  /* the folder */
    auto *ep = static_cast<IpcEndpoint *>(mem_calloc(1, sizeof(IpcEndpoint), KEM_TAG));
    char *folder = ep ? mem_strdup(path, KEM_TAG) : nullptr;
    if (!folder) {
        mem_free(ep, KEM_TAG);
        ipc::refuse("endpoint '%s': not enough memory", name);
        return nullptr;
    }
    ep->folder = folder;
    std::strcpy(ep->name, name);
    ep->listener = l;
    if (l)
        ++l->refs;
    return ep;
}

extern "C" void ipc_destroy(IpcEndpoint *ep)
{
    if (!ep)
        return;
    while (ep->conns)
        ipc::discard(ep->conns);
    Listener *l = ep->listener;
    if (l && --l->refs == 0)
        close_listener(l);
    mem_free(ep->folder, KEM_TAG);
    mem_free(ep, KEM_TAG);
}

extern "C" int ipc_serve(IpcEndpoint *ep, ipc_request_cb handler, void *user)
{
    if (!ep)
        return -1;
    if (!ep->listener) {
        Listener *l = ipc::held_listener(ep->name);
        if (!l)
            l = open_listener(ep->name);
        if (!l)
            return -1;
        ++l->refs;
        ep->listener = l;
    }
    ep->listener->handler = handler;
    ep->listener->user = user;
    return 0;
}
