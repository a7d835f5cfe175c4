/*
 * Template replacement service and the text interpreter behind it.
 *
 * repl_process runs a template through the service: literal text is output
 * as it stands and references are replaced (see docs/environment.md):
 *
 *   {{name}}  the value of database field name, through the lookup function
 *   {{#N}}    localized text number N
 *   {{%HH}}   the one byte of hexadecimal value HH
 *
 * The output goes to a callback in pieces: each literal run is one piece and
 * each replacement value another; an unresolved reference outputs nothing.
 * The text interpreter's language (interp_set_language) selects the values
 * of fields and texts that differ by language; it is service state and stays
 * set until it is set again.
 */
#ifndef KEM_PLATFORM_REPL_H
#define KEM_PLATFORM_REPL_H

#include <stddef.h>
#include <stdint.h>

#include "platform/platform.h"

KEMPLAT_BEGIN_DECLS

/* Size of the context that holds the service's state for one run. */
#define REPL_CONTEXT_SIZE 130

/*
 * Resolves a reference: the value of the field named by the len bytes at
 * name, its length stored in *value_len; null when there is none. The value
 * belongs to the resolver and stays valid at least until repl_process
 * returns. arg is the lookup argument given to repl_process.
 */
typedef const char *(*repl_lookup_fn)(void *arg, const char *name, size_t len,
                                      size_t *value_len);

/*
 * Receives one piece of output (len bytes, which may include zero bytes; the
 * piece is not NUL-terminated). user and arg are those given to
 * repl_process. Returns 0 to go on, nonzero to stop the run.
 */
typedef int (*repl_output_fn)(void *user, void *arg, const char *piece, size_t len);

/* Prepares a zeroed context of REPL_CONTEXT_SIZE bytes for repl_process. */
KEMPLAT_API void repl_init_context(void *context);

/*
 * Runs the NUL-terminated template through the service, calling output for
 * every piece before it returns, and lookup (with lookup_arg) for every
 * field reference. Returns the number of references that could not be
 * resolved (0 when all were), or -1 when output asked to stop or the context
 * was not prepared. Keeps nothing of its arguments after it returns.
 */
KEMPLAT_API int32_t repl_process(void *user, void *lookup_arg, void *context,
                                 const char *text, repl_lookup_fn lookup,
                                 void *output_arg, repl_output_fn output);

/*
 * Makes language the language of later field lookups and localized texts.
 * The text is copied. Null or "" returns to the device's own language.
 */
KEMPLAT_API void interp_set_language(const char *language);

/*
 * The text interpreter's field lookup, for repl_process: the value of the
 * database field in the interpreter's language (falling back to the device's
 * language for a field that differs by language), owned by the service;
 * null for an unknown field. arg is ignored.
 */
KEMPLAT_API const char *interp_lookup_db_field(void *arg, const char *name, size_t len,
                                               size_t *value_len);

KEMPLAT_END_DECLS

#endif
