/*
 * What the runner's two modes share: the environment a device script runs
 * in, and the message handler that adds a traceback.
 */
#ifndef KEMLUA_KEMLUA_H
#define KEMLUA_KEMLUA_H

extern "C" {
#include <lua.h>
}

/* Opens the standard libraries, creates kiv (with kiv.RFC1630_Escape) and
   loads the module as kemluautils and as package.loaded.libkemluautils. */
void kemlua_open_environment(lua_State *L);

/* Message handler for lua_pcall: the error with a traceback. */
int kemlua_traceback(lua_State *L);

/* kemlua --serve NAME HANDLER.lua: serves an IPC endpoint (serve.cpp). */
int kemlua_serve(int argc, char **argv);

#endif
