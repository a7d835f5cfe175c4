/*
 * qecmd: sends one command to another process over the platform IPC service
 * and hands every delivery of the answer to a Lua callback, blocking the
 * interpreter until the exchange has ended.
 *
 * The call holds a record, an endpoint named "lua_qecmd_<thread id>" and two
 * registry references. Everything that can raise while they are held runs
 * guarded (luaaux.h): taking the references and the argument texts, and
 * each delivery to the script's callback. Both guards are pushed before the
 * record exists. An error of the callback, or a delivery buffer that cannot
 * be allocated, ends the exchange instead of unwinding through the service:
 * everything is released first, then the error is raised again.
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

/* Which argument check failed while the arguments were taken. */
enum : std::uint8_t { fault_none = 0, fault_callback, fault_command, fault_destination };

struct CommandCallState {
    IpcEndpoint *endpoint;
    lua_State *L;
    std::int32_t callback_ref;
    std::int32_t value_ref;
    std::uint8_t running;
    std::uint8_t failed;
    std::uint8_t raised;  /* raised_lua: the error value is on top of L's stack */
    std::uint8_t fault;   /* fault_*: set while the arguments are taken */
    int deliver;          /* the guard that runs the callback for a delivery */
};

/* One delivery on its way to the script's callback. */
struct Delivery {
    const CommandCallState *st;
    const char *data;
    size_t len;
};

/*
 * Guarded: takes the arguments (box, destination, command, callback, value)
 * from the top down as the checks go: the value's and the callback's
 * references into the record, then the command and destination texts,
 * returned so that they stay on qecmd's stack (a number's text exists only
 * as such a converted copy). A fault is noted in the record.
 */
int take_arguments(lua_State *L)
{
    auto *st = static_cast<CommandCallState *>(kem_guard_job(L, take_arguments));
    st->value_ref = luaL_ref(L, LUA_REGISTRYINDEX);  /* box, destination, command, callback */
    if (lua_type(L, -1) != LUA_TFUNCTION) {
        st->fault = fault_callback;
        return 0;
    }
    st->callback_ref = luaL_ref(L, LUA_REGISTRYINDEX);  /* box, destination, command */
    if (!lua_isstring(L, -1) || !lua_tolstring(L, -1, nullptr)) {
        st->fault = fault_command;
        return 0;
    }
    if (!lua_isstring(L, -2) || !lua_tolstring(L, -2, nullptr)) {
        st->fault = fault_destination;
        return 0;
    }
    return 2;  /* destination, command: texts now */
}

/* Guarded: callback(data, value) for one delivery. */
int deliver(lua_State *L)
{
    const auto *d = static_cast<const Delivery *>(kem_guard_job(L, deliver));
    lua_rawgeti(L, LUA_REGISTRYINDEX, d->st->callback_ref);  /* box, callback */
    lua_pushlstring(L, d->data, d->len);                     /* box, callback, data */
    lua_rawgeti(L, LUA_REGISTRYINDEX, d->st->value_ref);     /* box, callback, data, value */
    lua_call(L, 2, 0);
    return 0;
}

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
    Delivery d{st, buf, n};
    int status = kem_guard_run(st->L, st->deliver, &d, 0, 0);  /* nothing, or the error */
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

/*
 * Releases the endpoint and the record, then drops the references: the C
 * resources go first because luaL_unref may itself raise (out of memory,
 * when it records the first free slot of the registry).
 */
void release(CommandCallState *st)
{
    lua_State *L = st->L;
    int callback_ref = st->callback_ref, value_ref = st->value_ref;
    ipc_destroy(st->endpoint);
    mem_free(st, KEM_TAG);
    if (callback_ref != -1)
        luaL_unref(L, LUA_REGISTRYINDEX, callback_ref);
    if (value_ref != -1)
        luaL_unref(L, LUA_REGISTRYINDEX, value_ref);
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

/* The message of an argument fault. */
const char *fault_message(std::uint8_t fault)
{
    switch (fault) {
    case fault_callback:
        return "%s() third param must be a function (callback)";
    case fault_command:
        return "%s() second param must be string (command)";
    default:
        return "%s() first param must be string (destination)";
    }
}

}  // namespace

/* qecmd(destination, command, callback, value) -> boolean */
int lua_qecmd(lua_State *L)
{
    if (lua_gettop(L) < 4)
        return luaL_error(L, "%s() requires %d arguments", qecmd_name, 4);
    int take = kem_guard_push(L, take_arguments, 4);  /* may raise: nothing held yet */
    int deliver_guard = kem_guard_push(L, deliver, 0);
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
    st->deliver = deliver_guard;

    for (int i = take - 4; i < take; ++i)
        lua_pushvalue(L, i);  /* args, guards, destination, command, callback, value */
    int status = kem_guard_run(L, take, st, 4, 2);  /* args, guards, destination, command */
    if (status != 0 || st->fault != fault_none) {
        std::uint8_t fault = st->fault;
        release(st);
        if (status != 0)
            return lua_error(L);  /* the interpreter's own error (out of memory) */
        return luaL_error(L, fault_message(fault), qecmd_name);
    }
    const char *destination = lua_tolstring(L, -2, nullptr);
    const char *command = lua_tolstring(L, -1, nullptr);
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
