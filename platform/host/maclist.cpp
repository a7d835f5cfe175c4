/*
 * Host MAC address service: strict address parsing in the four common
 * notations, the canonical upper-case colon form, and singly linked lists of
 * addresses on the tagged allocator.
 *
 * Caveats: mac_to_string's buffer is static (one thread). Appending is O(1):
 * the head node keeps a pointer to the last node, which every operation here
 * maintains; a list changed by hand would break that, so callers only read.
 */
#include "platform/maclist.h"
#include "platform/mem.h"

#include <cstdint>
#include <cstring>

namespace {

constexpr std::size_t text_len = 17;  /* "AA:BB:CC:DD:EE:FF" */

/* Value of each byte as a hex digit, -1 for any other byte. */
struct HexTable {
    signed char value[256];
    constexpr HexTable() : value()
    {
        for (int c = 0; c < 256; ++c)
            value[c] = -1;
        for (int c = '0'; c <= '9'; ++c)
            value[c] = static_cast<signed char>(c - '0');
        for (int c = 'a'; c <= 'f'; ++c) {
            value[c] = static_cast<signed char>(c - 'a' + 10);
            value[c - 'a' + 'A'] = static_cast<signed char>(c - 'a' + 10);
        }
    }
};
constexpr HexTable hex;

/* The byte written by the two hex digits at p, or -1. */
int hexpair(const char *p)
{
    int hi = hex.value[static_cast<unsigned char>(p[0])];
    int lo = hex.value[static_cast<unsigned char>(p[1])];
    return (hi | lo) < 0 ? -1 : (hi << 4) | lo;
}

/* Reads the bytes of pairs at p, p+step, p+2*step...; false on a non-digit. */
bool readpairs(const char *p, const std::size_t step[MAC_ADDR_LEN], unsigned char *out)
{
    for (int i = 0; i < MAC_ADDR_LEN; ++i) {
        int b = hexpair(p + step[i]);
        if (b < 0)
            return false;
        out[i] = static_cast<unsigned char>(b);
    }
    return true;
}

/* True when every position in `at` holds the character c. */
bool seps(const char *p, const std::size_t *at, int count, char c)
{
    for (int i = 0; i < count; ++i)
        if (p[at[i]] != c)
            return false;
    return true;
}

/* Parses the n bytes at p as one address into out; false when it is none. */
bool parse(const char *p, std::size_t n, unsigned char out[MAC_ADDR_LEN])
{
    static constexpr std::size_t bare[] = {0, 2, 4, 6, 8, 10};
    static constexpr std::size_t paired[] = {0, 3, 6, 9, 12, 15};
    static constexpr std::size_t paired_seps[] = {2, 5, 8, 11, 14};
    static constexpr std::size_t dotted[] = {0, 2, 5, 7, 10, 12};
    static constexpr std::size_t dotted_seps[] = {4, 9};
    switch (n) {
    case 12:  /* aabbccddeeff */
        return readpairs(p, bare, out);
    case 14:  /* aabb.ccdd.eeff */
        return seps(p, dotted_seps, 2, '.') && readpairs(p, dotted, out);
    case 17:  /* aa:bb:cc:dd:ee:ff or aa-bb-cc-dd-ee-ff */
        return (p[2] == ':' || p[2] == '-') && seps(p, paired_seps, 5, p[2]) &&
               readpairs(p, paired, out);
    default:
        return false;
    }
}

bool is_space(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

/* The set of separator characters as a bitmap. */
struct CharSet {
    std::uint64_t bits[4] = {};
    explicit CharSet(const char *chars)
    {
        for (const char *c = chars; c && *c; ++c)
            set(static_cast<unsigned char>(*c));
    }
    void set(unsigned char c) { bits[c >> 6] |= std::uint64_t{1} << (c & 63); }
    bool has(unsigned char c) const { return (bits[c >> 6] >> (c & 63)) & 1; }
};

/* A new node holding mac, or null when memory runs out. */
MacAddrList *newnode(const unsigned char mac[MAC_ADDR_LEN])
{
    auto *node = static_cast<MacAddrList *>(mem_malloc(sizeof(MacAddrList), KEM_TAG));
    if (!node)
        return nullptr;
    node->next = nullptr;
    std::memcpy(node->mac, mac, MAC_ADDR_LEN);
    node->last = node;
    return node;
}

/* Links node at the end of the list *head. */
void link(MacAddrList **head, MacAddrList *node)
{
    if (*head)
        (*head)->last->next = node;
    else
        *head = node;
    (*head)->last = node;
}

}  // namespace

extern "C" int mac_from_string(const char *text, unsigned char mac[MAC_ADDR_LEN])
{
    if (!text)
        return -1;
    unsigned char value[MAC_ADDR_LEN];
    if (!parse(text, strnlen(text, text_len + 1), value))
        return -1;
    std::memcpy(mac, value, MAC_ADDR_LEN);
    return 0;
}

extern "C" const char *mac_to_string(const unsigned char mac[MAC_ADDR_LEN])
{
    static const char digits[] = "0123456789ABCDEF";
    static char text[text_len + 1];
    for (int i = 0; i < MAC_ADDR_LEN; ++i) {
        text[3 * i] = digits[mac[i] >> 4];
        text[3 * i + 1] = digits[mac[i] & 15];
        text[3 * i + 2] = ':';
    }
    text[text_len] = '\0';
    return text;
}

extern "C" MacAddrList *maclist_parse(const char *text, const char *separators)
{
    if (!text)
        return nullptr;
    const CharSet sep(separators);
    MacAddrList *head = nullptr;
    const char *p = text;
    while (*p) {
        const char *end = p;
        while (*end && !sep.has(static_cast<unsigned char>(*end)))
            ++end;
        const char *next = *end ? end + 1 : end;
        while (p < end && is_space(static_cast<unsigned char>(*p)))
            ++p;
        while (end > p && is_space(static_cast<unsigned char>(end[-1])))
            --end;
        if (p < end) {
            unsigned char mac[MAC_ADDR_LEN];
            MacAddrList *node = nullptr;
            if (!parse(p, static_cast<std::size_t>(end - p), mac) || !(node = newnode(mac))) {
                maclist_free(&head);
                return nullptr;
            }
            link(&head, node);
        }
        p = next;
    }
    return head;
}

extern "C" char *maclist_to_string(const MacAddrList *head, const char *separator)
{
    std::size_t seplen = separator ? std::strlen(separator) : 0;
    std::size_t count = 0;
    for (const MacAddrList *n = head; n; n = n->next)
        ++count;
    /* count texts and count - 1 separators, checked against overflow */
    std::size_t piece = text_len + seplen;
    if (seplen > SIZE_MAX / 2 || (count && count - 1 > (SIZE_MAX - text_len - 1) / piece))
        return nullptr;
    std::size_t size = count ? (count - 1) * piece + text_len + 1 : 1;
    char *out = static_cast<char *>(mem_malloc(size, KEM_TAG));
    if (!out)
        return nullptr;
    char *w = out;
    for (const MacAddrList *n = head; n; n = n->next) {
        if (n != head && seplen) {  /* a null separator has no bytes to copy */
            std::memcpy(w, separator, seplen);
            w += seplen;
        }
        std::memcpy(w, mac_to_string(n->mac), text_len);
        w += text_len;
    }
    *w = '\0';
    return out;
}

extern "C" int maclist_append(MacAddrList **head, const unsigned char mac[MAC_ADDR_LEN])
{
    MacAddrList *node = newnode(mac);
    if (!node)
        return -1;
    link(head, node);
    return 0;
}

extern "C" int maclist_append_unique(MacAddrList **head, const unsigned char mac[MAC_ADDR_LEN])
{
    for (const MacAddrList *n = *head; n; n = n->next)
        if (std::memcmp(n->mac, mac, MAC_ADDR_LEN) == 0)
            return 0;
    return maclist_append(head, mac);
}

extern "C" int maclist_remove(MacAddrList **head, const unsigned char mac[MAC_ADDR_LEN])
{
    int removed = 0;
    MacAddrList *last = nullptr;  /* the last node kept */
    MacAddrList **at = head;
    while (*at) {
        MacAddrList *node = *at;
        if (std::memcmp(node->mac, mac, MAC_ADDR_LEN) == 0) {
            *at = node->next;
            mem_free(node, KEM_TAG);
            ++removed;
        } else {
            last = node;
            at = &node->next;
        }
    }
    if (*head)
        (*head)->last = last;
    return removed;
}

extern "C" void maclist_free(MacAddrList **head)
{
    if (!head)
        return;
    MacAddrList *node = *head;
    while (node) {
        MacAddrList *next = node->next;
        mem_free(node, KEM_TAG);
        node = next;
    }
    *head = nullptr;
}
