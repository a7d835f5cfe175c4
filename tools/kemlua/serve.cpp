/*
 * kemlua --serve NAME HANDLER.lua: a stand-in for a device service, written
 * in Lua, that scripts call with kemluautils.qecmd.
 *
 * HANDLER.lua returns a function handle(command, send). For every command
 * that arrives at endpoint NAME it is called with the command text and a
 * function send(piece) that sends one delivery; a true result ends the
 * exchange with success, anything else or an error with failure (the error
 * goes to stderr with a traceback). The peer serves until SIGINT or SIGTERM
 * and then removes its socket. Verbose (-v), it logs on stderr each request:
 * its command, each delivery with its byte count, and how it ended.
 *
 * A signal stops a running handler too: a hook raises "interrupted" at its
 * next Lua instruction, and when the peer is still running a second later
 * (a handler stuck in C, or in code LuaJIT compiled, where hooks do not
 * run), the SIGALRM handler removes the socket file and exits, with
 * async-signal-safe calls only.
 *
 * Caveat: commands are answered one at a time, in the order they arrive.
 */
#include "kemlua.h"
#include "kemluautils.h"
#include "platform/host/ipc_host.h"
#include "platform/ipc.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace {

volatile std::sig_atomic_t stop_requested = 0;
lua_State *volatile serving_state = nullptr;  /* the handler's interpreter, for the hook */
char socket_path[PATH_MAX];
volatile std::sig_atomic_t socket_ours = 0;   /* socket_path is ours to remove */

/* Raises in the handler at every instruction once a stop is asked for (a
   handler that catches it with pcall meets it again at once). */
void stop_hook(lua_State *L, lua_Debug *ar)
{
    if (ar->event == LUA_HOOKRET)
        return;  /* not again on the way out of the handler's protected call */
    luaL_error(L, "interrupted");
}

void on_signal(int)
{
    if (stop_requested)
        return;
    stop_requested = 1;
    if (serving_state)  /* lua_sethook may be called from a signal handler */
        lua_sethook(serving_state, stop_hook, LUA_MASKCALL | LUA_MASKRET | LUA_MASKCOUNT, 1);
    alarm(1);
}

/* The last resort, a second after a stop was asked for: async-signal-safe. */
void on_alarm(int)
{
    static const char removed[] = "kemlua --serve: the handler did not stop; socket removed\n";
    static const char stopped[] = "kemlua --serve: the handler did not stop\n";
    if (socket_ours)
        unlink(socket_path);
    ssize_t ignored = socket_ours ? write(2, removed, sizeof removed - 1) : write(2, stopped, sizeof stopped - 1);
    (void)ignored;
    _exit(1);
}

bool verbose = false;  /* log each request on stderr */

/* The connection a send function may still write to (cleared after the
   handler), and what it has sent. */
struct SendTarget {
    IpcConn *conn;
    size_t deliveries;
    size_t bytes;
};

/* One command on its way through the handler. */
struct Request {
    int handler_ref;
    IpcConn *conn;
    const char *command;
    size_t len;
    int status;
    const char *ending;  /* for the log: how it ended */
    size_t deliveries;
    size_t bytes;
};

/* Writes the first bytes of text to stderr as a quoted C-style string. */
void log_quoted(const char *text, size_t len)
{
    const size_t shown = len < 200 ? len : 200;
    std::fputc('"', stderr);
    for (size_t i = 0; i < shown; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\')
            std::fprintf(stderr, "\\%c", c);
        else if (c >= 0x20 && c < 0x7f)
            std::fputc(c, stderr);
        else
            std::fprintf(stderr, "\\x%02x", c);
    }
    std::fputs(shown < len ? "\"..." : "\"", stderr);
}

/* send(piece): one delivery to the client of the running request. */
int send_piece(lua_State *L)
{
    auto *box = static_cast<SendTarget *>(lua_touserdata(L, lua_upvalueindex(1)));
    size_t len;
    const char *piece = luaL_checklstring(L, 1, &len);
    if (!box->conn)
        return luaL_error(L, "send: the request has already ended");
    if (len > IPC_MAX_PAYLOAD) {
        char message[96];
        std::snprintf(message, sizeof message, "piece of %zu bytes exceeds the limit of %u bytes", len,
                      IPC_MAX_PAYLOAD);
        return luaL_error(L, "send: %s", message);
    }
    if (ipc_reply(box->conn, piece, len) != 0)
        return luaL_error(L, "send: the client is gone");
    ++box->deliveries;
    box->bytes += len;
    if (verbose)
        std::fprintf(stderr, "kemlua --serve:   delivery %zu: %zu bytes\n", box->deliveries, len);
    return 0;
}


/* Protected: runs handle(command, send) and stores the end status. */
int run_request(lua_State *L)
{
    auto *req = static_cast<Request *>(lua_touserdata(L, 1));
    lua_pushcfunction(L, kemlua_traceback);                              /* tb */
    auto *box = static_cast<SendTarget *>(lua_newuserdata(L, sizeof(SendTarget)));
    *box = SendTarget{req->conn, 0, 0};                              /* tb, box */
    lua_rawgeti(L, LUA_REGISTRYINDEX, req->handler_ref);          /* tb, box, handle */
    lua_pushlstring(L, req->command, req->len);                   /* tb, box, handle, command */
    lua_pushvalue(L, -3);
    lua_pushcclosure(L, send_piece, 1);                           /* tb, box, handle, command, send */
    int status = lua_pcall(L, 2, 1, -5);                          /* tb, box, result */
    box->conn = nullptr;
    req->deliveries = box->deliveries;
    req->bytes = box->bytes;
    if (status != 0) {
        const char *msg = lua_tostring(L, -1);
        std::fprintf(stderr, "kemlua --serve: %s\n", msg ? msg : "(error object is nil)");
        req->status = 1;
        req->ending = "failure (the handler raised an error)";
    } else {
        req->status = lua_toboolean(L, -1) ? 0 : 1;
        req->ending = req->status == 0 ? "success" : "failure (the handler returned false)";
    }
    return 0;
}

/* The endpoint's handler: one command through the script. */
int on_request(IpcConn *conn, const char *command, size_t len, void *user)
{
    auto *L = static_cast<lua_State *>(user);
    lua_getfield(L, LUA_REGISTRYINDEX, "kemlua.serve.handler");
    int ref = static_cast<int>(lua_tointeger(L, -1));
    lua_pop(L, 1);
    Request req{ref, conn, command, len, 1, "failure (not enough memory)", 0, 0};
    if (verbose) {
        std::fputs("kemlua --serve: request ", stderr);
        log_quoted(command, len);
        std::fputc('\n', stderr);
    }
    if (lua_cpcall(L, run_request, &req) != 0) {
        std::fprintf(stderr, "kemlua --serve: %s\n", lua_tostring(L, -1));
        lua_pop(L, 1);
    }
    if (verbose)
        std::fprintf(stderr, "kemlua --serve:   ended: %s (deliveries: %zu, bytes: %zu)\n", req.ending,
                     req.deliveries, req.bytes);
    return req.status;
}

/* Protected set-up: the script environment and the handler function. */
int setup(lua_State *L)
{
    const char *script = static_cast<const char *>(lua_touserdata(L, 1));
    kemlua_open_environment(L);
    if (luaL_loadfile(L, script) != 0)
        return lua_error(L);
    lua_call(L, 0, 1);                                     /* handle */
    if (!lua_isfunction(L, -1))
        return luaL_error(L, "%s must return a function handle(command, send)", script);
    lua_pushinteger(L, luaL_ref(L, LUA_REGISTRYINDEX));
    lua_setfield(L, LUA_REGISTRYINDEX, "kemlua.serve.handler");
    return 0;
}

void install_signals()
{
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  /* no SA_RESTART: poll returns at once */
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, nullptr);
}

/* Serves until a signal; the exit status. */
int serve(lua_State *L, const char *name)
{
    IpcEndpoint *ep = ipc_create(name);
    if (!ep || ipc_serve(ep, on_request, L) != 0) {
        const char *why = ipc_last_error();
        std::fprintf(stderr, "kemlua --serve: cannot create endpoint '%s': %s\n", name,
                     *why ? why : "the endpoint service refused it");
        ipc_destroy(ep);
        return 1;
    }
    char path[PATH_MAX];
    if (ipc_socket_path(name, path, sizeof path) == 0) {
        std::memcpy(socket_path, path, sizeof path);
        socket_ours = 1;
        for (char *c = path; *c; ++c)  /* the folder's name may hold terminal controls */
            *c = *c >= 0x20 && *c < 0x7f ? *c : '?';
        std::fprintf(stderr, "kemlua --serve: serving '%s' at %s\n", name, path);
    }
    serving_state = L;
    while (!stop_requested)
        sock_poll_msecs(250);
    alarm(0);  /* no signal arms it again: on_signal acts once */
    socket_ours = 0;  /* from here on the service removes it */
    serving_state = nullptr;
    lua_sethook(L, nullptr, 0, 0);
    ipc_destroy(ep);
    return 0;
}

}  // namespace

int kemlua_serve(const char *name, const char *handler, bool log_requests)
{
    verbose = log_requests;
    install_signals();
    lua_State *L = luaL_newstate();
    if (!L) {
        std::fputs("kemlua --serve: cannot create the interpreter\n", stderr);
        return 1;
    }
    int status = 1;
    if (lua_cpcall(L, setup, const_cast<char *>(handler)) != 0)
        std::fprintf(stderr, "kemlua --serve: %s\n", lua_tostring(L, -1));
    else
        status = serve(L, name);
    lua_close(L);
    return status;
}
