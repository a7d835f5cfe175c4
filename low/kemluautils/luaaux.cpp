/*
 * Shared helpers of the library's Lua functions.
 */
#include "luaaux.h"

/* ---- Guarded calls -------------------------------------------------------- */

namespace {

/* Slots a guard needs beyond its pair: the copies of the pair for a run,
   and the error value a run may leave. */
constexpr int guard_slots = 4;

}  // namespace

int kem_guard_push(lua_State *L, lua_CFunction worker, int room)
{
    luaL_checkstack(L, 2 + guard_slots + room, "guarded call");
    lua_pushcfunction(L, worker);                /* worker */
    auto **box = static_cast<void **>(lua_newuserdata(L, sizeof(void *)));
    *box = nullptr;                              /* worker, box */
    return lua_gettop(L) - 1;
}

int kem_guard_run(lua_State *L, int guard, void *job, int nargs, int nresults)
{
    auto **box = static_cast<void **>(lua_touserdata(L, guard + 1));
    *box = job;
    lua_pushvalue(L, guard);                     /* args, worker */
    lua_insert(L, -1 - nargs);                   /* worker, args */
    lua_pushvalue(L, guard + 1);                 /* worker, args, box */
    lua_insert(L, -1 - nargs);                   /* worker, box, args */
    int status = lua_pcall(L, nargs + 1, nresults, 0);  /* results or error */
    *box = nullptr;                              /* the job's frame ends soon */
    return status;
}

void *kem_guard_job(lua_State *L)
{
    return *static_cast<void **>(lua_touserdata(L, 1));
}

int kem_push_bytes(lua_State *L)
{
    const auto *bytes = static_cast<const kem_bytes *>(kem_guard_job(L));
    lua_pushlstring(L, bytes->data, bytes->len);
    return 1;
}

int kem_push_freed(lua_State *L, int guard, char *block, size_t len)
{
    kem_bytes job{block, len};
    int status = kem_guard_run(L, guard, &job, 0, 1);  /* string or error */
    mem_free(block, KEM_TAG);
    return status;
}
