/*
 * String list service: texts in a singly linked list.
 *
 * A list is a head pointer, null when empty. The caller owns the lists these
 * operations hand out and releases them with strlist_free. Nodes are read
 * directly (next, text) but changed only through these operations: the host
 * implementation keeps a private tail pointer behind the head node so that
 * appending costs the same at any length.
 */
#ifndef KEM_PLATFORM_STRLIST_H
#define KEM_PLATFORM_STRLIST_H

#include <stddef.h>

#include "platform/platform.h"

KEMPLAT_BEGIN_DECLS

typedef struct StringList {
    struct StringList *next; /* following node, null at the end */
    char *text;              /* NUL-terminated text owned by the list, or null */
} StringList;

/*
 * Cuts text at every character that occurs in separators: the pieces are the
 * maximal runs of other characters, so adjacent separators make no empty
 * piece. An empty separator text gives the whole text as one piece. Returns
 * a new list, or null when there is no piece (text empty or separators only)
 * or memory runs out. Nodes made here never have a null text.
 */
KEMPLAT_API StringList *strlist_split(const char *text, const char *separators);

/*
 * Adds a node holding a copy of text at the end of *head (setting *head when
 * the list was empty). Returns 0, or -1 when memory runs out (the list is
 * unchanged) or text is null.
 */
KEMPLAT_API int strlist_append(StringList **head, const char *text);

/*
 * The texts of the list joined with separator between each two, as a new
 * text released with mem_free. An empty list gives the empty text. Nodes with
 * a null text are skipped. Null when memory runs out.
 */
KEMPLAT_API char *strlist_join(const StringList *head, const char *separator);

/* Releases every node and its text and sets *head to null; null lists pass. */
KEMPLAT_API void strlist_free(StringList **head);

KEMPLAT_END_DECLS

#endif
