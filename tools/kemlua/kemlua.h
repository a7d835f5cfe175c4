/*
 * What the runner's parts share: the environment a device script runs in,
 * the protected call that prints tracebacks and lets Ctrl-C stop a chunk,
 * the prompt and the serve mode.
 */
#ifndef KEMLUA_KEMLUA_H
#define KEMLUA_KEMLUA_H

extern "C" {
#include <lua.h>
}

/* Opens the standard libraries, creates kiv (with kiv.RFC1630_Escape),
   loads the module as kemluautils and as package.loaded.libkemluautils, and
   preloads kemlua.json. */
void kemlua_open_environment(lua_State *L);

/* Makes require "kemlua.json" give the JSON bridge to scripts (json.cpp). */
void kemlua_preload_json(lua_State *L);

/* Message handler for lua_pcall: the error with a traceback. */
int kemlua_traceback(lua_State *L);

/*
 * lua_pcall of the function below nargs arguments with kemlua_traceback as
 * the message handler, while Ctrl-C stops it as lua5.1 does: the handler sets
 * a hook that raises "interrupted!" at the chunk's next instruction (a sleep
 * returns early, since the signal interrupts it), and a second Ctrl-C before
 * that ends the process. The previous SIGINT handling is restored after the
 * call. Returns the status of lua_pcall (prompt.cpp).
 */
int kemlua_pcall(lua_State *L, int nargs, int nresults);

/*
 * The interactive prompt on L until end of input (prompt.cpp). On a terminal
 * with libedit: line editing, a history file and completion of global names
 * and table fields. Ctrl-C at the prompt discards the line being typed. An
 * error of any statement, out of memory included, is reported and the
 * prompt goes on.
 */
void kemlua_prompt(lua_State *L);

/*
 * Line editing (editline.cpp). kemlua_editing_start loads libedit when
 * standard input is a terminal, sets up completion on L and reads the
 * history file; false when lines are to be read plainly. kemlua_editing_read
 * shows the prompt and gives the line typed (held until the next read; null
 * at end of input or on Ctrl-C), adding it to the history.
 */
bool kemlua_editing_start(lua_State *L);
const char *kemlua_editing_read(const char *prompt);
void kemlua_editing_stop();

/*
 * The history file (history.cpp): KEM_HISTORY, else ~/.kemlua_history; none
 * when the variable is empty or /dev/null. Open hands each saved entry to
 * add; a file that is not this user's regular history file is refused with
 * one line on stderr, and nothing is saved then. Save appends an entry.
 */
void kemlua_history_open(void (*add)(const char *line));
void kemlua_history_save(const char *line);
void kemlua_history_close();

/*
 * kemlua --serve NAME HANDLER.lua (serve.cpp): serves the IPC endpoint NAME
 * until SIGINT or SIGTERM; with verbose, logs each request on stderr.
 * Returns the exit status.
 */
int kemlua_serve(const char *name, const char *handler, bool verbose);

#endif
