/*
 * The prompt's history file: KEM_HISTORY, else ~/.kemlua_history.
 *
 * The file is libedit's format, so that files of earlier kemlua versions
 * stay readable: a first line "_HiStOrY_V2_", then one entry a line with
 * spaces, tabs, backslashes and control characters written as \ooo.
 * Entries are appended as they are typed, one write each, so sessions side
 * by side lose none; past 1 MiB or 2000 entries the file is cut to its last
 * 1000 entries.
 *
 * The variable names a path that may be anything: a device, a FIFO, a link
 * planted by another user, another user's file, a file of the user's that is
 * no history. The file is used only when it is a regular file owned by this
 * user that starts as a history file (or is empty), opened without following
 * a link at its end; a missing file is created private to the user. Nothing
 * else is read, written, truncated or re-moded: a refusal is one line on
 * stderr naming the file and the reason, and the prompt goes on with a
 * history that is not saved. KEM_HISTORY empty or /dev/null keeps none.
 */
#include "kemlua.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char header[] = "_HiStOrY_V2_\n";
constexpr size_t header_len = sizeof header - 1;
constexpr off_t read_limit = 1024 * 1024;  /* the most read, from the end */
constexpr size_t keep = 1000;              /* entries kept when the file is cut */
constexpr size_t entry_limit = 4096;       /* longer lines are not saved */

int fd = -1;
char *path;             /* malloc'd */
size_t entries;         /* in the file, as far as known */

void refuse(const char *why, const char *detail = nullptr)
{
    std::fprintf(stderr, "kemlua: history file %s: %s%s%s; the history is not saved\n", path, why,
                 detail ? ": " : "", detail ? detail : "");
    if (fd >= 0)
        close(fd);
    fd = -1;
}

/* Writes all n bytes; false on failure (errno set). */
bool write_all(const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

int octal(char c) { return c >= '0' && c <= '7' ? c - '0' : -1; }

/* Decodes an entry of n bytes in place, as libedit's strunvis reads it:
   \ooo, \^C (control), \M-C and \M^C (meta), \\; returns its length. */
size_t decode(char *s, size_t n)
{
    size_t out = 0;
    for (size_t i = 0; i < n;) {
        char c = s[i++];
        if (c != '\\' || i >= n) {
            s[out++] = c;
            continue;
        }
        int meta = 0;
        if (s[i] == 'M' && i + 2 < n && (s[i + 1] == '-' || s[i + 1] == '^')) {
            meta = 0x80;
            i += s[i + 1] == '-' ? 2 : 1;
        }
        if (!meta && i + 2 < n && octal(s[i]) >= 0 && octal(s[i + 1]) >= 0 && octal(s[i + 2]) >= 0) {
            s[out++] = static_cast<char>(octal(s[i]) << 6 | octal(s[i + 1]) << 3 | octal(s[i + 2]));
            i += 3;
        } else if (s[i] == '^' && i + 1 < n) {
            s[out++] = static_cast<char>(meta | (s[i + 1] == '?' ? 0x7f : s[i + 1] & 0x1f));
            i += 2;
        } else if (meta) {
            s[out++] = static_cast<char>(meta | static_cast<unsigned char>(s[i++]));
        } else {
            s[out++] = s[i++];  /* \\ and anything unknown: the character itself */
        }
    }
    return out;
}

/* Cuts the file to the last `keep` of the entries in text (the file's last
   bytes, whole lines); false on a write failure. */
bool cut(const char *text, size_t n, size_t count)
{
    const char *start = text;
    for (size_t skip = count > keep ? count - keep : 0; skip > 0; --skip)
        start = static_cast<const char *>(std::memchr(start, '\n', static_cast<size_t>(text + n - start))) + 1;
    if (ftruncate(fd, 0) != 0 || !write_all(header, header_len) ||
        !write_all(start, static_cast<size_t>(text + n - start)))
        return false;
    entries = count > keep ? keep : count;
    return true;
}

/*
 * Reads the entries of the file (at most its last read_limit bytes), hands
 * each to add, and cuts the file when it has grown past its bounds; with
 * add null, only cuts. false with errno on failure.
 */
bool load(off_t size, void (*add)(const char *))
{
    off_t from = size - read_limit > static_cast<off_t>(header_len) ? size - read_limit : header_len;
    size_t n = static_cast<size_t>(size - from);
    char *text = static_cast<char *>(std::malloc(n + 1));
    if (!text) {
        errno = ENOMEM;
        return false;
    }
    ssize_t got = pread(fd, text, n, from);
    n = got > 0 ? static_cast<size_t>(got) : 0;
    char *p = text, *end = text + n;
    if (from > static_cast<off_t>(header_len))  /* a partial line at the start */
        p = static_cast<char *>(std::memchr(text, '\n', n)) ? static_cast<char *>(std::memchr(text, '\n', n)) + 1 : end;
    char *lines = p;
    size_t count = 0;
    while (p < end) {
        char *nl = static_cast<char *>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        if (!nl)
            break;  /* an entry being written by another session */
        ++count;
        if (add) {
            char *entry = static_cast<char *>(std::malloc(static_cast<size_t>(nl - p) + 1));
            if (entry) {
                std::memcpy(entry, p, static_cast<size_t>(nl - p));
                size_t len = decode(entry, static_cast<size_t>(nl - p));
                entry[len] = '\0';
                if (std::strlen(entry) == len)  /* an entry holding a zero byte is skipped */
                    add(entry);
                std::free(entry);
            }
        }
        p = nl + 1;
    }
    entries = count;
    bool ok = true;
    if (from > static_cast<off_t>(header_len) || count > 2 * keep)
        ok = cut(lines, static_cast<size_t>(p - lines), count);
    std::free(text);
    return ok;
}

/* Opens the file, creating a missing one; false after a refusal. */
bool open_file(struct stat *st)
{
    int missing = lstat(path, st) == 0 ? 0 : errno;
    if (missing && missing != ENOENT) {
        refuse("cannot use it", std::strerror(missing));
        return false;
    }
    if (missing) {
        fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0600);
        if (fd < 0) {
            refuse("cannot create it", std::strerror(errno));
            return false;
        }
        if (!write_all(header, header_len)) {
            refuse("cannot write it", std::strerror(errno));
            return false;
        }
        st->st_size = header_len;
        return true;
    }
    /* A device or FIFO is refused before it is opened (opening one may
       block or act); the checks are made again on the opened file. */
    for (int pass = 0; pass < 2; ++pass) {
        if (pass == 1 && (fd = open(path, O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)) < 0) {
            refuse(errno == ELOOP ? "a symbolic link" : "cannot open it",
                   errno == ELOOP ? nullptr : std::strerror(errno));
            return false;
        }
        if (pass == 1 && fstat(fd, st) != 0) {
            refuse("cannot open it", std::strerror(errno));
            return false;
        }
        const char *why = S_ISLNK(st->st_mode)       ? "a symbolic link"
                          : !S_ISREG(st->st_mode)    ? "not a regular file"
                          : st->st_uid != geteuid()  ? "owned by another user"
                                                     : nullptr;
        if (why) {
            refuse(why);
            return false;
        }
    }
    char start[header_len];
    if (st->st_size == 0) {  /* an empty file becomes a history file */
        st->st_size = header_len;
        return write_all(header, header_len) || (refuse("cannot write it", std::strerror(errno)), false);
    }
    if (pread(fd, start, header_len, 0) != static_cast<ssize_t>(header_len) ||
        std::memcmp(start, header, header_len) != 0) {
        refuse("not a history file (its first line is not _HiStOrY_V2_)");
        return false;
    }
    return true;
}

/* Encodes a line as libedit writes it, with its newline; the length. */
size_t encode(const char *line, char *out)
{
    size_t n = 0;
    for (const char *p = line; *p; ++p) {
        auto c = static_cast<unsigned char>(*p);
        if (c == ' ' || c == '\\' || c < 0x20 || c == 0x7f)
            n += static_cast<size_t>(std::snprintf(out + n, 5, "\\%03o", c));
        else
            out[n++] = static_cast<char>(c);
    }
    out[n++] = '\n';
    return n;
}

}  // namespace

void kemlua_history_open(void (*add)(const char *line))
{
    const char *name = std::getenv("KEM_HISTORY");
    const char *home = std::getenv("HOME");
    if (name ? !*name || std::strcmp(name, "/dev/null") == 0 : !home || !*home)
        return;
    const char *tail = name ? "" : "/.kemlua_history";
    size_t len = std::strlen(name ? name : home) + std::strlen(tail) + 1;
    if (!(path = static_cast<char *>(std::malloc(len))))
        return;
    std::snprintf(path, len, "%s%s", name ? name : home, tail);
    struct stat st;
    if (open_file(&st) && !load(st.st_size, add))
        refuse("cannot read it", std::strerror(errno));
}

void kemlua_history_save(const char *line)
{
    size_t n = std::strlen(line);
    if (fd < 0 || n == 0 || n > entry_limit)
        return;
    char *out = static_cast<char *>(std::malloc(4 * n + 2));
    if (!out)
        return;
    bool ok = write_all(out, encode(line, out));
    std::free(out);
    struct stat st;
    if (ok && ++entries > 2 * keep && fstat(fd, &st) == 0)
        ok = load(st.st_size, nullptr);
    else if (ok && fstat(fd, &st) == 0 && st.st_size > read_limit)
        ok = load(st.st_size, nullptr);
    if (!ok)
        refuse("cannot write it", std::strerror(errno));
}

void kemlua_history_close()
{
    if (fd >= 0)
        close(fd);
    fd = -1;
    std::free(path);
    path = nullptr;
}
