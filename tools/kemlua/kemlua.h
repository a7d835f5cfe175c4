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
 * with libedit: line editing, a history file (KEM_HISTORY, default
 * ~/.kemlua_history; empty: none) and completion of global names and table
 * fields. Ctrl-C at the prompt discards the line being typed.
 */
void kemlua_prompt(lua_State *L);

/*
 * kemlua --serve NAME HANDLER.lua (serve.cpp): serves the IPC endpoint NAME
 * until SIGINT or SIGTERM; with verbose, logs each request on stderr.
 * Returns the exit status.
 */
int kemlua_serve(const char *name, const char *handler, bool verbose);

#endif
