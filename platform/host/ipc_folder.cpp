/*
 * The endpoint folder, endpoint names, socket addresses and trust of the
 * host IPC service (see ipc_service.hpp and docs/ipc.md), and the refusals
 * a user sees when one of them is not acceptable.
 *
 * The folder is KEM_IPC_DIR when set, else $XDG_RUNTIME_DIR/kem-ipc, else
 * /tmp/kem-ipc-<uid>; it is made (0700) when missing. A chosen folder must
 * be owned by a trusted user and let no one else plant or remove names: not
 * writable by others, and writable by its group only with the sticky bit and
 * a group whose listed members are all trusted (the layout two users share).
 * A default folder must be this user's and closed to everyone else.
 *
 * Caveats: the checks look at the folder's path when it is used; whoever may
 * rename the folder's parents can swap it between the check and the use
 * (with /tmp's sticky bit, only its owner). The group check sees the
 * members the group database lists, not users whose primary group it is.
 */
#include "platform/host/ipc_service.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

char last_error[PATH_MAX + 256];  /* the last refusal, "" when none */
uint32_t reported[32];            /* refusals already on stderr (hashes), a ring */
unsigned reported_next = 0;

/*
 * Endpoint names: letters, digits, '_', '-' and '.', not starting with '.'.
 * So no endpoint is ever named like the private name NAME.<pid>~ under which
 * a listener is set up, nor leaves its folder.
 */
bool valid_name(const char *name)
{
    if (!name || !*name || *name == '.' || std::strlen(name) > IPC_HOST_NAME_MAX)
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

/* True when every member the group database lists for gid is a trusted user. */
bool group_trusted(gid_t gid)
{
    group gr;
    group *found = nullptr;
    char buffer[16384];
    if (getgrgid_r(gid, &gr, buffer, sizeof buffer, &found) != 0 || !found)
        return false;
    for (char **member = gr.gr_mem; *member; ++member) {
        passwd pw;
        passwd *user = nullptr;
        char text[4096];
        if (getpwnam_r(*member, &pw, text, sizeof text, &user) != 0 || !user || !ipc::trusted(user->pw_uid))
            return false;
    }
    return true;
}

/* Why a group-writable folder of group gid cannot be shared; null when it can. */
const char *group_problem(mode_t mode, gid_t gid)
{
    if (!(mode & S_ISVTX))
        return "without the sticky bit, its group may remove others' names";
    if (!group_trusted(gid))
        return "its group is unknown or has a member that is not a trusted user";
    return nullptr;
}

/*
 * Checks the folder at path (made 0700 when missing); `chosen` when the user
 * named it in KEM_IPC_DIR, else `hint` is the advice added to a refusal.
 */
int check_folder(const char *path, bool chosen, const char *hint)
{
    char shown[PATH_MAX];
    ipc::printable(path, shown, sizeof shown);
    struct stat st;
    if (lstat(path, &st) != 0 &&
        (errno != ENOENT || (mkdir(path, 0700) != 0 && errno != EEXIST) || lstat(path, &st) != 0)) {
        ipc::refuse("endpoint folder %s: %s%s", shown, std::strerror(errno), hint);
        return -1;
    }
    unsigned uid = static_cast<unsigned>(st.st_uid), self = static_cast<unsigned>(geteuid());
    unsigned mode = static_cast<unsigned>(st.st_mode & 07777);
    if (!S_ISDIR(st.st_mode)) {
        ipc::refuse("endpoint folder %s: not a directory%s", shown, hint);
        return -1;
    }
    if (!chosen && uid != self) {
        ipc::refuse("endpoint folder %s: owned by uid %u, not by this user (uid %u)%s", shown, uid, self, hint);
        return -1;
    }
    if (uid != self && !ipc::trusted(st.st_uid)) {  /* each geteuid is a system call */
        ipc::refuse("endpoint folder %s: owned by uid %u, not a trusted user (this user is uid %u)", shown, uid,
                    self);
        return -1;
    }
    if (!chosen && (mode & 077)) {
        ipc::refuse("endpoint folder %s: mode %o lets other users in%s", shown, mode, hint);
        return -1;
    }
    if (mode & S_IWOTH) {
        ipc::refuse("endpoint folder %s: mode %o lets other users write to it", shown, mode);
        return -1;
    }
    const char *problem = (mode & S_IWGRP) ? group_problem(st.st_mode, st.st_gid) : nullptr;
    if (problem) {
        ipc::refuse("endpoint folder %s: mode %o lets group %u write to it, but %s", shown, mode,
                    static_cast<unsigned>(st.st_gid), problem);
        return -1;
    }
    return 0;
}

/* The endpoint folder into out (PATH_MAX bytes), checked; -1 (recorded) when unusable. */
int runtime_folder(char *out)
{
    const char *dir = std::getenv("KEM_IPC_DIR");
    const char *xdg = std::getenv("XDG_RUNTIME_DIR");
    bool chosen = dir && *dir;
    int n;
    if (chosen)
        n = std::snprintf(out, PATH_MAX, "%s", dir);
    else if (xdg && *xdg == '/')  /* a relative one is to be ignored */
        n = std::snprintf(out, PATH_MAX, "%s/kem-ipc", xdg);
    else
        n = std::snprintf(out, PATH_MAX, "/tmp/kem-ipc-%u", static_cast<unsigned>(geteuid()));
    const char *hint = chosen ? "" : "; set KEM_IPC_DIR to choose another folder";
    if (n < 0 || n >= PATH_MAX) {
        char shown[112];
        ipc::refuse("endpoint folder %s...: the path is too long%s", ipc::printable(out, shown, 108), hint);
        return -1;
    }
    return check_folder(out, chosen, hint);
}

}  // namespace

namespace ipc {

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

const char *printable(const char *name, char *out, size_t size)
{
    size_t i = 0;
    for (; name && name[i] && i + 1 < size; ++i)
        out[i] = name[i] >= 0x20 && name[i] < 0x7f ? name[i] : '?';
    out[i] = '\0';
    return out;
}

bool usable_name(const char *name)
{
    if (valid_name(name))
        return true;
    char shown[IPC_HOST_NAME_MAX + 2];
    if (name && std::strlen(name) > IPC_HOST_NAME_MAX)
        refuse("endpoint name '%s...': too long for a socket address (at most %d bytes)",
               printable(name, shown, sizeof shown - 1), IPC_HOST_NAME_MAX);
    else
        refuse("endpoint name '%s': not a valid name (letters, digits, '_', '-' and '.', not "
               "starting with '.')", printable(name, shown, sizeof shown));
    return false;
}

/* This process's effective user, root, or a uid in KEM_IPC_TRUST_UIDS
   (decimal, comma-separated; anything else in an entry makes it trust nobody). */
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

bool trusting_others()
{
    const char *list = std::getenv("KEM_IPC_TRUST_UIDS");
    return list && std::strpbrk(list, "0123456789");
}

bool peer_uid(int fd, uid_t *uid)
{
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        return false;
    *uid = cred.uid;
    return true;
}

int endpoint_path(const char *name, char *out)
{
    if (runtime_folder(out) != 0)
        return -1;
    size_t n = std::strlen(out), k = std::strlen(name);
    if (n + 1 + k >= PATH_MAX) {
        char shown[112];
        refuse("endpoint '%s': the path in folder %s... is too long", name, printable(out, shown, 108));
        return -1;
    }
    out[n] = '/';
    std::memcpy(out + n + 1, name, k + 1);
    return 0;
}

/*
 * A path that fits the address (107 bytes) is used as it is: nothing to
 * open, and no need of /proc. A longer one goes through a descriptor of its
 * folder as "/proc/self/fd/N/NAME": Linux has no bindat/connectat, and
 * fchdir would change the working folder of the whole process under its
 * other threads. The kernel resolves the descriptor's magic link to the
 * folder itself, whatever its path's length; under qemu-user the emulated
 * program is the host process that holds the descriptor, so the same path
 * works for the 32-bit builds. O_PATH needs only search permission, as the
 * path itself does.
 */
int socket_address(const char *path, sockaddr_un *addr, int *dirfd)
{
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    *dirfd = -1;
    size_t n = std::strlen(path);
    if (n < sizeof addr->sun_path) {
        std::memcpy(addr->sun_path, path, n + 1);
        return 0;
    }
    const char *slash = std::strrchr(path, '/');
    char folder[PATH_MAX];
    size_t k = slash && slash != path ? static_cast<size_t>(slash - path) : 1;
    std::memcpy(folder, path, k);
    folder[k] = '\0';
    int fd = open(folder, O_PATH | O_DIRECTORY | O_CLOEXEC);
    char shown[PATH_MAX];
    if (fd < 0) {
        refuse("endpoint folder %s: %s", printable(folder, shown, sizeof shown), std::strerror(errno));
        return -1;
    }
    int m = std::snprintf(addr->sun_path, sizeof addr->sun_path, "/proc/self/fd/%d/%s", fd, slash + 1);
    if (m < 0 || static_cast<size_t>(m) >= sizeof addr->sun_path) {  /* not for a valid name */
        close(fd);
        refuse("endpoint %s: too long for a socket address", printable(path, shown, sizeof shown));
        return -1;
    }
    *dirfd = fd;
    return 0;
}

}  // namespace ipc

extern "C" const char *ipc_last_error(void)
{
    return last_error;
}

extern "C" int ipc_socket_path(const char *name, char *out, size_t size)
{
    char path[PATH_MAX];
    if (!ipc::usable_name(name) || ipc::endpoint_path(name, path) != 0)
        return -1;
    size_t n = std::strlen(path);
    if (n >= size)
        return -1;
    std::memcpy(out, path, n + 1);
    return 0;
}
