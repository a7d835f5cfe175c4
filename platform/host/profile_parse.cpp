/*
 * Reading a device profile file into a yajl tree (profile.h).
 *
 * The tree is built here from yajl's callback parser rather than by
 * yajl_tree_parse, for two reasons: the nesting is limited while parsing,
 * by the parser that reads the text (comments included), so a deep file
 * never reaches yajl_tree_free's recursion; and members are added to arrays
 * that grow by doubling, where yajl_tree_parse reallocates them one member
 * at a time (quadratic where realloc copies: 100,000 members took minutes
 * under valgrind). The nodes are yajl_tree's own, on the C allocator, so
 * yajl_tree_free releases the tree.
 *
 * Caveats: a string holding "\u0000" is cut at it, as in yajl_tree.
 */
#include "platform/host/profile.h"

#include <yajl/yajl_parse.h>
#include <yajl/yajl_tree.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/* The largest profile file read, and the deepest nesting taken: the format
   itself needs three levels. */
constexpr off_t profile_size_limit = 1024 * 1024;
constexpr int profile_depth_limit = 16;

/*
 * Reads a whole profile file into a NUL-terminated C-allocator buffer; null
 * with the problem in why. Anything but a regular file is refused before a
 * byte is read (a FIFO or a device never blocks or floods the reader), and
 * so is a file above the size limit, also one that grows while read.
 */
char *read_file(const char *path, char *why, size_t size)
{
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat st;
    const char *cannot = nullptr, *refused = nullptr;
    char *text = nullptr;
    if (fd < 0 || fstat(fd, &st) != 0)
        cannot = std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        refused = "not a regular file";
    else if (st.st_size > profile_size_limit)
        refused = "larger than the limit of 1048576 bytes";
    else if (!(text = static_cast<char *>(std::malloc(profile_size_limit + 2))))
        cannot = "not enough memory";
    size_t used = 0;
    while (text && !cannot && !refused) {
        ssize_t n = read(fd, text + used, profile_size_limit + 1 - used);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            cannot = std::strerror(errno);
        if (n <= 0)
            break;
        used += static_cast<size_t>(n);
        if (used > static_cast<size_t>(profile_size_limit))
            refused = "larger than the limit of 1048576 bytes";
    }
    if (fd >= 0)
        close(fd);
    if (text && !cannot && !refused) {
        text[used] = '\0';
        if (std::strlen(text) == used)
            return text;
        cannot = "the file holds a zero byte";
    }
    std::free(text);
    if (cannot)
        std::snprintf(why, size, "cannot read the file: %s", cannot);
    else
        std::snprintf(why, size, "%s", refused);
    return nullptr;
}

/* A container being filled, and the room of its arrays. */
struct open_node {
    yajl_val node;
    size_t room;
};

/* The parse in progress: the root, the open containers, a pending name. */
struct builder {
    yajl_val root;
    open_node open[profile_depth_limit];
    int depth;
    char *key;       /* the name of the next member, malloc'd */
    bool too_deep;
    bool no_memory;
};

char *copy(const char *s, size_t len)
{
    auto *c = static_cast<char *>(std::malloc(len + 1));
    if (c) {
        std::memcpy(c, s, len);
        c[len] = '\0';
    }
    return c;
}

/* Grows an array of n items of size bytes to hold one more; false without memory. */
bool make_room(void **items, size_t n, size_t *room, size_t size)
{
    if (n < *room)
        return true;
    size_t more = *room ? 2 * *room : 8;
    void *grown = std::realloc(*items, more * size);
    if (!grown)
        return false;
    *items = grown;
    *room = more;
    return true;
}

/* Puts a new node of type into the innermost container (or makes it the
   root); null when memory runs out. The node is in the tree at once, so
   that freeing the root releases it however the parse ends. */
yajl_val add(builder *b, yajl_type type)
{
    auto v = static_cast<yajl_val>(std::calloc(1, sizeof(yajl_val_s)));
    if (!v) {
        b->no_memory = true;
        return nullptr;
    }
    v->type = type;
    if (b->depth == 0) {
        b->root = v;  /* yajl refuses a second top-level value */
        return v;
    }
    open_node &top = b->open[b->depth - 1];
    yajl_val parent = top.node;
    bool ok;
    if (parent->type == yajl_t_object) {
        size_t room = top.room, n = parent->u.object.len;
        ok = b->key && make_room(reinterpret_cast<void **>(&parent->u.object.keys), n, &room, sizeof(char *));
        size_t values_room = top.room;
        ok = ok && make_room(reinterpret_cast<void **>(&parent->u.object.values), n, &values_room, sizeof v);
        if (ok) {
            top.room = room;
            parent->u.object.keys[n] = b->key;
            parent->u.object.values[n] = v;
            parent->u.object.len = n + 1;
            b->key = nullptr;
        }
    } else {
        ok = make_room(reinterpret_cast<void **>(&parent->u.array.values), parent->u.array.len, &top.room, sizeof v);
        if (ok)
            parent->u.array.values[parent->u.array.len++] = v;
    }
    if (!ok) {
        std::free(v);
        b->no_memory = true;
        return nullptr;
    }
    return v;
}

int on_null(void *ctx) { return add(static_cast<builder *>(ctx), yajl_t_null) != nullptr; }

int on_boolean(void *ctx, int value)
{
    return add(static_cast<builder *>(ctx), value ? yajl_t_true : yajl_t_false) != nullptr;
}

/* A number keeps its text and, where it is one, its integer value, as in
   yajl_tree; its double value is not made, as no field reads it. */
int on_number(void *ctx, const char *text, size_t len)
{
    auto *b = static_cast<builder *>(ctx);
    yajl_val v = add(b, yajl_t_number);
    if (!v || !(v->u.number.r = copy(text, len)))
        return b->no_memory = true, 0;
    char *end = nullptr;
    errno = 0;
    v->u.number.i = std::strtoll(v->u.number.r, &end, 10);
    if (errno == 0 && *end == '\0')
        v->u.number.flags |= YAJL_NUMBER_INT_VALID;
    return 1;
}

int on_string(void *ctx, const unsigned char *text, size_t len)
{
    auto *b = static_cast<builder *>(ctx);
    yajl_val v = add(b, yajl_t_string);
    if (!v || !(v->u.string = copy(reinterpret_cast<const char *>(text), len)))
        return b->no_memory = true, 0;
    return 1;
}

int on_key(void *ctx, const unsigned char *text, size_t len)
{
    auto *b = static_cast<builder *>(ctx);
    std::free(b->key);
    b->key = copy(reinterpret_cast<const char *>(text), len);
    return b->key ? 1 : (b->no_memory = true, 0);
}

/* Opens a container, unless that is one more than the limit. */
int on_open(builder *b, yajl_type type)
{
    if (b->depth == profile_depth_limit)
        return b->too_deep = true, 0;
    yajl_val v = add(b, type);
    if (!v)
        return 0;
    b->open[b->depth++] = open_node{v, 0};
    return 1;
}

int on_start_map(void *ctx) { return on_open(static_cast<builder *>(ctx), yajl_t_object); }
int on_start_array(void *ctx) { return on_open(static_cast<builder *>(ctx), yajl_t_array); }

int on_close(void *ctx)
{
    --static_cast<builder *>(ctx)->depth;
    return 1;
}

const yajl_callbacks callbacks = {on_null, on_boolean, nullptr, nullptr, on_number, on_string,
                                  on_start_map, on_key, on_close, on_start_array, on_close};

/* Parses text into a tree; null with the reason in why. */
yajl_val parse(const char *text, char *why, size_t size)
{
    builder b{};
    yajl_handle parser = yajl_alloc(&callbacks, nullptr, &b);
    if (!parser) {
        std::snprintf(why, size, "not enough memory");
        return nullptr;
    }
    yajl_config(parser, yajl_allow_comments, 1);
    size_t len = std::strlen(text);
    auto bytes = reinterpret_cast<const unsigned char *>(text);
    yajl_status status = yajl_parse(parser, bytes, len);
    if (status == yajl_status_ok)
        status = yajl_complete_parse(parser);
    if (status != yajl_status_ok) {
        if (b.too_deep || b.no_memory) {
            std::snprintf(why, size, "%s", b.too_deep ? "nested deeper than 16 levels" : "not enough memory");
        } else {
            unsigned char *err = yajl_get_error(parser, 0, bytes, len);
            std::snprintf(why, size, "not valid JSON: %s", err ? reinterpret_cast<char *>(err) : "parse error");
            yajl_free_error(parser, err);
            why[std::strcspn(why, "\n")] = '\0';
        }
        yajl_tree_free(b.root);
        b.root = nullptr;
    }
    std::free(b.key);
    yajl_free(parser);
    return b.root;
}

}  // namespace

yajl_val profile_read(const char *path, char *why, size_t size)
{
    char *text = read_file(path, why, size);
    if (!text)
        return nullptr;
    yajl_val tree = parse(text, why, size);
    std::free(text);
    return tree;
}
