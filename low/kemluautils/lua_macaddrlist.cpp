/*
 * MAC address lists for scripts: macaddrlist_parse, macaddrlist_string,
 * macaddrlist_remove_macaddr and macaddrlist_append_macaddr_unique.
 *
 * Each call builds a temporary list of the MAC address service
 * (platform/maclist.h) from its arguments, applies one list operation, turns
 * the list into a new Lua value and releases it. The table given is never
 * changed; every address that leaves is in mac_to_string's form.
 *
 * Caveats: walking the table (numbers become texts), building the result
 * and pushing it can raise (out of memory) while the list is held, so that
 * part runs guarded (luaaux.h); the list and the joined text are released
 * before any error goes on, and a text that is no address is reported by
 * the Lua-facing function after the release. When the tagged allocator runs
 * out while a list is built, the result is nil. Address texts are handed to
 * the service NUL-terminated, so a text is read up to its first NUL.
 */
#include "luaaux.h"
#include "platform/maclist.h"

namespace {

constexpr const char not_conform[] = "%s() input %s is not MACADDR conform";

/* What the guarded part of a call does once the table is walked. */
enum class Finish { array, text, remove, append_unique };

/* One call's job: what it holds and what the guarded part found. */
struct MacJob {
    Finish finish;
    bool walk;                      /* the table at argument 2 adds its addresses */
    const unsigned char *target;    /* the address to remove or append */
    const char *separator;          /* of the text */
    MacAddrList *list;              /* held */
    char *text;                     /* held */
    bool not_conform;               /* the text on top is no address */
};

/* Releases what the job holds. */
void release(MacJob *job)
{
    maclist_free(&job->list);
    mem_free(job->text, KEM_TAG);
    job->text = nullptr;
}

/*
 * Appends the address of every string or number value of the table at
 * index 2 to the job's list, in lua_next order; other values are skipped,
 * keys ignored. 0; 1 with the text that is no address on top; -1 when
 * memory runs out.
 */
int walk(lua_State *L, MacJob *job)
{
    unsigned char mac[MAC_ADDR_LEN] = {};
    lua_pushnil(L);                                     /* ..., nil */
    while (lua_next(L, 2)) {                            /* ..., key, value */
        if (lua_isstring(L, -1)) {
            const char *text = lua_tolstring(L, -1, nullptr);  /* converts the copy only */
            if (mac_from_string(text, mac) != 0)
                return 1;
            if (maclist_append(&job->list, mac) != 0)
                return -1;
        }
        lua_settop(L, -2);                              /* ..., key */
    }
    return 0;                                           /* ... */
}

/* Pushes a new array of the address texts of list. */
void push_array(lua_State *L, const MacAddrList *list)
{
    int count = 0;
    for (const MacAddrList *n = list; n; n = n->next)
        ++count;
    lua_createtable(L, count, 0);                       /* ..., array */
    int i = 0;
    for (const MacAddrList *n = list; n; n = n->next) {
        lua_pushstring(L, mac_to_string(n->mac));       /* ..., array, text */
        lua_rawseti(L, -2, ++i);                        /* ..., array */
    }
}

/* Guarded: walks the table, applies the job's operation and pushes the
   result (nil when memory runs out), or the text that is no address. */
int finish(lua_State *L)
{
    auto *job = static_cast<MacJob *>(kem_guard_job(L, finish));
    int walked = job->walk ? walk(L, job) : 0;
    if (walked > 0) {
        job->not_conform = true;
        return 1;                                       /* the text */
    }
    if (walked < 0) {
        lua_pushnil(L);
        return 1;
    }
    switch (job->finish) {
    case Finish::text:
        job->text = maclist_to_string(job->list, job->separator);
        lua_pushstring(L, job->text);                   /* the text or nil */
        return 1;
    case Finish::remove:
        maclist_remove(&job->list, job->target);
        break;
    case Finish::append_unique:
        if (maclist_append_unique(&job->list, job->target) != 0) {
            lua_pushnil(L);
            return 1;
        }
        break;
    case Finish::array:
        break;
    }
    push_array(L, job->list);
    return 1;
}

/*
 * Runs the guarded part of a call with the table of argument 1 (when the
 * job walks one), releases the job and raises what came up. One result.
 */
int run(lua_State *L, int guard, MacJob *job, const char *name)
{
    int nargs = 0;
    if (job->walk) {
        lua_pushvalue(L, 1);                            /* ..., guard, table */
        nargs = 1;
    }
    int status = kem_guard_run(L, guard, job, nargs, 1);  /* ..., guard, result or error */
    release(job);
    if (status != 0)
        return lua_error(L);
    if (job->not_conform)
        return luaL_error(L, not_conform, name, lua_tolstring(L, -1, nullptr));
    return 1;
}

/* Checks that there are exactly two arguments. */
int check_two(lua_State *L, const char *name)
{
    if (lua_gettop(L) != 2)
        return luaL_error(L, "%s() only two arguments expected", name);
    return 0;
}

/* Checks that argument 2 is a string (or a number). */
int check_second(lua_State *L, const char *name)
{
    if (!lua_isstring(L, 2))
        return luaL_error(L, "%s() input (2) must be a string", name);
    return 0;
}

/* Checks argument 1 for a table. */
int check_table(lua_State *L, const char *name)
{
    if (lua_type(L, 1) != LUA_TTABLE)
        return luaL_error(L, "%s() input (1) must be a table", name);
    return 0;
}

/* Parses argument 2 into target; raises when it is no address. */
int check_address(lua_State *L, const char *name, unsigned char target[MAC_ADDR_LEN])
{
    const char *address = lua_tolstring(L, 2, nullptr);
    if (mac_from_string(address, target) != 0)
        return luaL_error(L, not_conform, name, address);
    return 0;
}

}  // namespace

/* macaddrlist_parse(text, separators): the array of the addresses in text, or nil. */
int luautils_macaddrlist_parse(lua_State *L)
{
    static constexpr const char name[] = "luautils_macaddrlist_parse";
    check_two(L, name);
    if (!lua_isstring(L, 1))
        return luaL_error(L, "%s() input (1) must be a string", name);
    check_second(L, name);
    const char *text = lua_tolstring(L, 1, nullptr);
    const char *separators = lua_tolstring(L, 2, nullptr);
    int guard = kem_guard_push(L, finish, 1);           /* text, separators, guard */
    MacJob job{Finish::array, false, nullptr, nullptr, maclist_parse(text, separators), nullptr, false};
    if (!job.list) {
        lua_pushnil(L);
        return 1;
    }
    return run(L, guard, &job, name);
}

/* macaddrlist_string(list, separator): the addresses of list joined by separator. */
int luautils_macaddrlist_string(lua_State *L)
{
    static constexpr const char name[] = "luautils_macaddrlist_string";
    check_two(L, name);
    check_table(L, name);
    check_second(L, name);
    int guard = kem_guard_push(L, finish, 1);           /* list, separator, guard */
    MacJob job{Finish::text, true, nullptr, lua_tolstring(L, 2, nullptr), nullptr, nullptr, false};
    return run(L, guard, &job, name);
}

/* macaddrlist_remove_macaddr(list, address): a new array of list without address. */
int luautils_macaddrlist_remove_macaddr(lua_State *L)
{
    static constexpr const char name[] = "luautils_macaddrlist_remove_macaddr";
    check_two(L, name);
    check_table(L, name);
    check_second(L, name);
    unsigned char target[MAC_ADDR_LEN] = {};
    check_address(L, name, target);
    int guard = kem_guard_push(L, finish, 1);           /* list, address, guard */
    MacJob job{Finish::remove, true, target, nullptr, nullptr, nullptr, false};
    return run(L, guard, &job, name);
}

/* macaddrlist_append_macaddr_unique(list or nil, address): a new array with address last
   unless list holds it already. */
int luautils_macaddrlist_append_macaddr_unique(lua_State *L)
{
    static constexpr const char name[] = "luautils_macaddrlist_append_macaddr_unique";
    check_two(L, name);
    if (lua_type(L, 1) != LUA_TTABLE && !lua_isnil(L, 1))
        return luaL_error(L, "%s() input (1) must be a table or nil", name);
    check_second(L, name);
    unsigned char target[MAC_ADDR_LEN] = {};
    check_address(L, name, target);
    int guard = kem_guard_push(L, finish, 1);           /* list or nil, address, guard */
    MacJob job{Finish::append_unique, lua_istable(L, 1), target, nullptr, nullptr, nullptr, false};
    return run(L, guard, &job, name);
}
