/*
 * MAC address service: one address as text and as six bytes, and singly
 * linked lists of addresses.
 *
 * Text forms accepted by mac_from_string (upper or lower case hex):
 *   aa:bb:cc:dd:ee:ff   aa-bb-cc-dd-ee-ff   aabbccddeeff   aabb.ccdd.eeff
 * and nothing else: one kind of separator throughout, two hex digits a pair
 * (four a group in the dotted form), no white space. mac_to_string gives
 * "AA:BB:CC:DD:EE:FF".
 *
 * Lists belong to whoever built them; every node comes from the tagged
 * allocator (platform/mem.h) and is released by maclist_free. Callers read
 * `next` and `mac` but change a list only through the operations below.
 * One thread only: mac_to_string returns a static buffer.
 */
#ifndef KEM_PLATFORM_MACLIST_H
#define KEM_PLATFORM_MACLIST_H

#include "platform/platform.h"

KEMPLAT_BEGIN_DECLS

/* Number of bytes of an address. */
#define MAC_ADDR_LEN 6

/* A node of a MAC address list; a list is a head pointer, null when empty. */
typedef struct MacAddrList {
    struct MacAddrList *next;           /* the following node, null at the end */
    unsigned char mac[MAC_ADDR_LEN];    /* the address */
    struct MacAddrList *last;           /* service bookkeeping: valid in the head node only */
} MacAddrList;

/*
 * Parses text (NUL-terminated) into mac. Returns 0 when text is an address in
 * one of the accepted forms and mac has been filled; nonzero otherwise (mac is
 * then left unchanged). A null text is no address.
 */
KEMPLAT_API int mac_from_string(const char *text, unsigned char mac[MAC_ADDR_LEN]);

/*
 * The text "AA:BB:CC:DD:EE:FF" of mac, in a static buffer of the service's
 * that the next call overwrites. Never null; the caller does not free it.
 */
KEMPLAT_API const char *mac_to_string(const unsigned char mac[MAC_ADDR_LEN]);

/*
 * Cuts text at every character of the set `separators` (null: none) into
 * pieces; white space around a piece is dropped and empty pieces are skipped.
 * Returns a new list of the pieces in order (owned by the caller, released
 * with maclist_free), or null when a piece is no address, when there is no
 * piece at all, when text is null or when memory runs out.
 */
KEMPLAT_API MacAddrList *maclist_parse(const char *text, const char *separators);

/*
 * The addresses of the list in mac_to_string form with `separator` (null:
 * none) between them; "" for an empty list. A new text owned by the caller
 * (release with mem_free), or null when memory runs out.
 */
KEMPLAT_API char *maclist_to_string(const MacAddrList *head, const char *separator);

/*
 * Adds a node holding a copy of mac at the end of *head (setting *head when
 * the list was empty). Returns 0, or -1 when memory runs out (list unchanged).
 */
KEMPLAT_API int maclist_append(MacAddrList **head, const unsigned char mac[MAC_ADDR_LEN]);

/*
 * As maclist_append, unless a node holds the same six bytes already: then
 * nothing is added and 0 is returned.
 */
KEMPLAT_API int maclist_append_unique(MacAddrList **head, const unsigned char mac[MAC_ADDR_LEN]);

/*
 * Removes and releases every node holding the same six bytes as mac, updating
 * *head when the first node goes. Returns the number of nodes removed.
 */
KEMPLAT_API int maclist_remove(MacAddrList **head, const unsigned char mac[MAC_ADDR_LEN]);

/* Releases every node of *head and sets *head to null; an empty list is fine. */
KEMPLAT_API void maclist_free(MacAddrList **head);

KEMPLAT_END_DECLS

#endif
