/*
 * Shared helpers of the library's Lua functions.
 */
#include "luaaux.h"

#include <cstring>

/* ---- Guarded calls -------------------------------------------------------- */

namespace {

/* Slots a guard needs beyond its pair: the copies of the pair for a run,
   and the error value a run may leave. */
constexpr int guard_slots = 4;

/* Its address keys the state's box in the registry. */
const char box_key = 0;

/* The box: the run in progress, if any: its worker and the job, which the
   worker takes once, and the debug hook set aside until it has. */
struct Box {
    lua_CFunction worker;
    void *job;
    lua_Hook hook;
    int mask, count;
};

/* The box at idx, or null: the registry is open to scripts through the
   debug library, and what they put there is checked before it is used. */
Box *to_box(lua_State *L, int idx)
{
    void *box = lua_touserdata(L, idx);  /* a light userdata has no length */
    return box && lua_objlen(L, idx) == sizeof(Box) ? static_cast<Box *>(box) : nullptr;
}

/* Gives back the hook a run set aside, unless another was set meanwhile
   (a signal handler's, which must not be lost). */
void restore_hook(lua_State *L, Box *box)
{
    if (box->hook && !lua_gethook(L))
        lua_sethook(L, box->hook, box->mask, box->count);
    box->hook = nullptr;
}

/* The state's box, made the first time. */
void push_box(lua_State *L)
{
    lua_pushlightuserdata(L, const_cast<char *>(&box_key));
    lua_rawget(L, LUA_REGISTRYINDEX);                    /* box or anything */
    if (to_box(L, -1))
        return;
    lua_settop(L, -2);
    *static_cast<Box *>(lua_newuserdata(L, sizeof(Box))) = Box{};  /* box */
    lua_pushlightuserdata(L, const_cast<char *>(&box_key));
    lua_pushvalue(L, -2);
    lua_rawset(L, LUA_REGISTRYINDEX);                    /* box */
}

}  // namespace

/*
 * Each worker is a C closure made once per state and kept in the registry
 * under the worker's address, with the box as its upvalue: one registry
 * look-up gives both. This gains ~25% of a small call (base64_encode("abc"))
 * over a new closure and box per call.
 */
int kem_guard_push(lua_State *L, lua_CFunction worker, int room)
{
    luaL_checkstack(L, 2 + guard_slots + room, "guarded call");
    auto *key = reinterpret_cast<void *>(worker);
    lua_pushlightuserdata(L, key);
    lua_rawget(L, LUA_REGISTRYINDEX);            /* worker or anything */
    if (lua_tocfunction(L, -1) == worker && lua_getupvalue(L, -1, 1)) {  /* worker, box? */
        if (to_box(L, -1))
            return lua_gettop(L) - 1;
        lua_settop(L, -2);
    }
    lua_settop(L, -2);
    push_box(L);
    lua_pushcclosure(L, worker, 1);              /* worker */
    lua_pushlightuserdata(L, key);
    lua_pushvalue(L, -2);
    lua_rawset(L, LUA_REGISTRYINDEX);            /* worker */
    lua_getupvalue(L, -1, 1);                    /* worker, box */
    return lua_gettop(L) - 1;
}

int kem_guard_run(lua_State *L, int guard, void *job, int nargs, int nresults)
{
    auto *box = static_cast<Box *>(lua_touserdata(L, guard + 1));
    Box outer = *box;                            /* the run this one is nested in */
    *box = Box{lua_tocfunction(L, guard), job, lua_gethook(L), 0, 0};
    if (box->hook) {
        /* A call hook runs as the worker is entered, before it has taken its
           job, and could call the worker itself: the hook waits until then. */
        box->mask = lua_gethookmask(L);
        box->count = lua_gethookcount(L);
        lua_sethook(L, nullptr, 0, 0);
    }
    lua_pushvalue(L, guard);                     /* args, worker */
    lua_pushvalue(L, guard + 1);                 /* args, worker, box */
    if (nargs > 0) {
        lua_insert(L, -2 - nargs);               /* box, args, worker */
        lua_insert(L, -2 - nargs);               /* worker, box, args */
    }
    int status = lua_pcall(L, nargs + 1, nresults, 0);  /* results or error */
    restore_hook(L, box);                        /* when the worker did not run */
    *box = outer;
    return status;
}

/*
 * The box is the worker's upvalue, not its first argument, and the job goes
 * to the run's own worker, once: a worker that a script reaches through the
 * debug library (the registry holds them) and calls, from a hook or a
 * callback while a run is in progress, gets an error, never a job of
 * another kind or one its run has taken. The one moment a hook could come
 * before the worker, the call hook of its entry, has no hook (see
 * kem_guard_run); the worker gives it back here.
 */
void *kem_guard_job(lua_State *L, lua_CFunction worker)
{
    Box *box = to_box(L, lua_upvalueindex(1));
    if (!box || box->worker != worker || !box->job)
        luaL_error(L, "guarded call out of place");
    void *job = box->job;
    box->job = nullptr;
    restore_hook(L, box);
    return job;
}

int kem_push_bytes(lua_State *L)
{
    const auto *bytes = static_cast<const kem_bytes *>(kem_guard_job(L, kem_push_bytes));
    lua_pushlstring(L, bytes->data, bytes->len);
    return 1;
}

int kem_push_freed(lua_State *L, int guard, char *block, size_t len)
{
    if (len <= LUAL_BUFFERSIZE) {
        /* Copied into a buffer on the C stack, which takes no Lua call that
           can raise; the block is released, and only then is the string
           pushed. This gains ~25% of a small call (base64_encode("abc")):
           no protected call. The buffer takes LUAL_BUFFERSIZE bytes of C
           stack, as every luaL_Buffer does. */
        luaL_Buffer b;
        luaL_buffinit(L, &b);
        std::memcpy(luaL_prepbuffer(&b), block, len);
        luaL_addsize(&b, len);
        mem_free(block, KEM_TAG);
        luaL_pushresult(&b);  /* string; may raise, with nothing held */
        return 0;
    }
    kem_bytes job{block, len};
    int status = kem_guard_run(L, guard, &job, 0, 1);  /* string or error */
    mem_free(block, KEM_TAG);
    return status;
}
