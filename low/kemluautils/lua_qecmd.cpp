/*
 * qecmd: sends one command to another process over the platform IPC service
 * and hands every delivery of the answer to a Lua callback, blocking the
 * interpreter until the exchange has ended.
 *
 * The call holds a record, an endpoint named "lua_qecmd_<thread id>" and two
 * registry references. The script's callback runs protected (lua_cpcall)
 * inside the service's event loop, so an error in it, or a delivery buffer
 * that cannot be allocated, ends the exchange instead of unwinding through
 * the service: everything is released first, then the error is raised again.
 *
 * Caveat: luaL_ref itself raises when the interpreter's own memory runs out;
 * the record and endpoint taken before it would then be lost.
 */
#include "luaaux.h"

#include "platform/ipc.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include <unistd.h>

namespace {

const char qecmd_name[] = "lua_qecmd";

/* How an exchange was cut short by the script's side. */
enum : std::uint8_t { raised_none = 0, raised_lua = 1, raised_memory = 2 };

struct CommandCallState {
    IpcEndpoint *endpoint;
    lua_State *L;
    std::int32_t callback_ref;
    std::int32_t value_ref;
    std::uint8_t running;
    std::uint8_t failed;
    std::uint8_t raised;  /* raised_lua: the error value is on top of L's stack */
};

int cmd_cb_zero(IpcConn *, void *)
{
    return 0;
}

void cmd_cb_failed(IpcConn *, int, void *user)
{
    auto *st = static_cast<CommandCallState *>(user);
    st->running = 0;
    st->failed = 1;
}

/* Ends the exchange after the script's side failed; qecmd raises later. */
void abandon(CommandCallState *st, IpcConn *conn, std::uint8_t why)
{
    st->raised = why;
    st->running = 0;
    st->failed = 1;
    sock_close(conn);
}

void cmd_cb_data(IpcConn *conn, void *user)
{
    auto *st = static_cast<CommandCallState *>(user);
    size_t n = sock_bytes_left(conn);
    auto *buf = static_cast<char *>(mem_malloc(n + 1, KEM_TAG));
    if (!buf) {
        abandon(st, conn, raised_memory);
        return;
    }
    size_t got = sock_read(conn, buf, n);
    std::memset(buf + got, 0, n + 1 - got);  /* what the read left unfilled is zero */
    int status = kem_call_back(st->L, st->callback_ref, buf, n, st->value_ref);
    mem_free(buf, KEM_TAG);
    if (status != 0)
        abandon(st, conn, raised_lua);  /* the error value stays on top */
}

const char *cmd_cb_passthrough(const char *command, void *)
{
    return command;
}

void cmd_cb_done(IpcConn *, void *user)
{
    static_cast<CommandCallState *>(user)->running = 0;
}

/* Drops the references, the endpoint and the record. */
void release(CommandCallState *st)
{
    if (st->callback_ref != -1)
        luaL_unref(st->L, LUA_REGISTRYINDEX, st->callback_ref);
    if (st->value_ref != -1)
        luaL_unref(st->L, LUA_REGISTRYINDEX, st->value_ref);
    ipc_destroy(st->endpoint);
    mem_free(st, KEM_TAG);
}

/* Runs the exchange until it ends; the result as qecmd returns it. */
bool exchange(CommandCallState *st, const char *destination, const char *command)
{
    st->running = 1;
    if (ipc_send_command(st->endpoint, destination, command, cmd_cb_zero, cmd_cb_failed,
                         cmd_cb_data, cmd_cb_passthrough, cmd_cb_done, st) != 0) {
        st->running = 0;
        st->failed = 1;
        return false;
    }
    while (st->running)
        sock_poll_msecs(10);
    return st->failed == 0;
}

}  // namespace

/* qecmd(destination, command, callback, value) -> boolean */
int lua_qecmd(lua_State *L)
{
    if (lua_gettop(L) < 4)
        return luaL_error(L, "%s() requires %d arguments", qecmd_name, 4);
    auto *st = static_cast<CommandCallState *>(mem_calloc(1, sizeof(CommandCallState), KEM_TAG));
    if (!st)
        return luaL_error(L, "memory error");
    char name[32];
    std::snprintf(name, sizeof name, "lua_qecmd_%u", static_cast<unsigned>(gettid()));
    st->endpoint = ipc_create(name);
    if (!st->endpoint) {
        mem_free(st, KEM_TAG);
        return luaL_error(L, "memory error");
    }
    st->L = L;
    st->callback_ref = -1;
    st->value_ref = -1;
    st->value_ref = luaL_ref(L, LUA_REGISTRYINDEX);  /* destination, command, callback */
    if (lua_type(L, -1) != LUA_TFUNCTION) {
        release(st);
        return luaL_error(L, "%s() third param must be a function (callback)", qecmd_name);
    }
    st->callback_ref = luaL_ref(L, LUA_REGISTRYINDEX);  /* destination, command */
    const char *command = lua_isstring(L, -1) ? lua_tolstring(L, -1, nullptr) : nullptr;
    if (!command) {
        release(st);
        return luaL_error(L, "%s() second param must be string (command)", qecmd_name);
    }
    const char *destination = lua_isstring(L, -2) ? lua_tolstring(L, -2, nullptr) : nullptr;
    if (!destination) {
        release(st);
        return luaL_error(L, "%s() first param must be string (destination)", qecmd_name);
    }
    if (!destination || !command || st->callback_ref < 0) {
        release(st);
        return luaL_error(L, "%s() params must be set", qecmd_name);
    }
    bool ok = exchange(st, destination, command);
    std::uint8_t raised = st->raised;
    release(st);
    if (raised == raised_lua)
        return lua_error(L);  /* the callback's own error value */
    if (raised == raised_memory)
        return luaL_error(L, "memory error");
    lua_pushboolean(L, ok);
    return 1;
}
