/*
 * Host string list service.
 *
 * Nodes are carved from chunks of the tagged allocator that belong to the
 * list: a node is the public node, a private tail pointer, length and chunk
 * chain, then its text. Only the head node's tail pointer and chunk chain
 * are kept up to date; appending follows the tail (and any nodes beyond it,
 * should the list have grown some other way), so building a list of n texts
 * costs O(n) and O(log n) allocations, and strlist_free releases the chunks.
 *
 * Caveats: a list is released through its head only, and nodes are never
 * moved from one list to another.
 */
#include "platform/strlist.h"
#include "platform/mem.h"

#include <cstdint>
#include <cstring>

namespace {

struct Chunk {
    Chunk *next; /* the chunk filled before this one */
    size_t used;
    size_t capacity;
};

struct Node {
    StringList pub; /* first, so a StringList * of ours is a Node * */
    StringList *tail;
    size_t length;
    Chunk *chunks; /* newest first */
};

constexpr size_t first_chunk = 512, largest_chunk = 64 * 1024;

Node *node_of(StringList *list)
{
    return reinterpret_cast<Node *>(list);
}

/* A new unlinked node holding a copy of the length bytes at text, carved
   from the chunks of the list at *head. */
StringList *make_node(StringList **head, const char *text, size_t length)
{
    if (length > SIZE_MAX - sizeof(Node) - largest_chunk)
        return nullptr;
    size_t need = (sizeof(Node) + length + 1 + alignof(Node) - 1) & ~(alignof(Node) - 1);
    Chunk *chunk = *head ? node_of(*head)->chunks : nullptr;
    if (!chunk || chunk->capacity - chunk->used < need) {
        size_t capacity = chunk ? chunk->capacity * 2 : first_chunk;
        capacity = capacity > largest_chunk ? largest_chunk : capacity;
        capacity = capacity < need ? need : capacity;
        auto *fresh = static_cast<Chunk *>(mem_malloc(sizeof(Chunk) + capacity, KEM_TAG));
        if (!fresh)
            return nullptr;
        *fresh = Chunk{chunk, 0, capacity};
        chunk = fresh;
        if (*head)
            node_of(*head)->chunks = chunk;
    }
    auto *n = reinterpret_cast<Node *>(reinterpret_cast<char *>(chunk + 1) + chunk->used);
    chunk->used += need;
    char *copy = reinterpret_cast<char *>(n + 1);
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    *n = Node{{nullptr, copy}, &n->pub, length, chunk};
    return &n->pub;
}

/* Links node at the end of the list at *head. */
void link_last(StringList **head, StringList *node)
{
    if (!*head) {
        *head = node;
        return;
    }
    Node *first = node_of(*head);
    StringList *last = first->tail;
    while (last->next)
        last = last->next;
    last->next = node;
    first->tail = node;
}

/* Byte set of the separator characters. */
struct ByteSet {
    unsigned char bits[32] = {};
    void add(unsigned char c) { bits[c >> 3] |= static_cast<unsigned char>(1u << (c & 7)); }
    bool has(unsigned char c) const { return bits[c >> 3] & (1u << (c & 7)); }
};

}  // namespace

extern "C" {

StringList *strlist_split(const char *text, const char *separators)
{
    if (!text || !*text)
        return nullptr;
    ByteSet set;
    for (const char *s = separators ? separators : ""; *s; ++s)
        set.add(static_cast<unsigned char>(*s));
    set.bits[0] |= 1; /* the NUL ends every run */

    StringList *head = nullptr;
    const auto *p = reinterpret_cast<const unsigned char *>(text);
    for (;;) {
        while (*p && set.has(*p))
            ++p;
        if (!*p)
            return head;
        const unsigned char *start = p;
        while (!set.has(*p))
            ++p;
        StringList *node = make_node(&head, reinterpret_cast<const char *>(start),
                                     static_cast<size_t>(p - start));
        if (!node) {
            strlist_free(&head);
            return nullptr;
        }
        link_last(&head, node);
    }
}

int strlist_append(StringList **head, const char *text)
{
    if (!head || !text)
        return -1;
    StringList *node = make_node(head, text, std::strlen(text));
    if (!node)
        return -1;
    link_last(head, node);
    return 0;
}

char *strlist_join(const StringList *head, const char *separator)
{
    size_t sep_length = separator ? std::strlen(separator) : 0;
    size_t total = 0;
    bool first = true;
    for (const StringList *n = head; n; n = n->next) {
        if (!n->text)
            continue;
        size_t add = node_of(const_cast<StringList *>(n))->length + (first ? 0 : sep_length);
        if (__builtin_add_overflow(total, add, &total) || total == SIZE_MAX)
            return nullptr;
        first = false;
    }
    auto *out = static_cast<char *>(mem_malloc(total + 1, KEM_TAG));
    if (!out)
        return nullptr;
    char *w = out;
    first = true;
    for (const StringList *n = head; n; n = n->next) {
        if (!n->text)
            continue;
        if (!first && sep_length) {
            std::memcpy(w, separator, sep_length);
            w += sep_length;
        }
        size_t length = node_of(const_cast<StringList *>(n))->length;
        std::memcpy(w, n->text, length);
        w += length;
        first = false;
    }
    *w = '\0';
    return out;
}

void strlist_free(StringList **head)
{
    if (!head || !*head)
        return;
    Chunk *chunk = node_of(*head)->chunks;
    while (chunk) {
        Chunk *next = chunk->next;
        mem_free(chunk, KEM_TAG);
        chunk = next;
    }
    *head = nullptr;
}

}  // extern "C"
