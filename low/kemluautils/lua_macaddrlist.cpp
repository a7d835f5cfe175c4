/*
 * MAC address lists for scripts: macaddrlist_parse, macaddrlist_string,
 * macaddrlist_remove_macaddr and macaddrlist_append_macaddr_unique.
 *
 * Each call builds a temporary list of the MAC address service
 * (platform/maclist.h) from its arguments, applies one list operation, turns
 * the list into a new Lua value and releases it. The table given is never
 * changed; every address that leaves is in mac_to_string's form.
 *
 * Caveats: what a call holds (its list, a joined text) sits in a userdata
 * with a __gc, so that the collector releases it should Lua itself raise
 * while it is held (out of memory in lua_pushstring and the like); every path
 * of our own releases it explicitly before returning or raising. When the
 * tagged allocator runs out while a list is built, the result is nil.
 * Address texts are handed to the service NUL-terminated, so a text is read
 * up to its first NUL.
 */
#include "luaaux.h"
#include "platform/maclist.h"

namespace {

constexpr const char not_conform[] = "%s() input %s is not MACADDR conform";

/* What a call holds; the userdata's __gc releases whatever is left. */
struct Held {
    MacAddrList *list;
    char *text;
};

/* The registry key of the metatable of Held userdata (its address). */
char held_meta;

/* Releases the list and the text of h (each may be empty already). */
void release(Held *h)
{
    maclist_free(&h->list);
    mem_free(h->text, KEM_TAG);
    h->text = nullptr;
}

/* __gc of a Held userdata. */
int held_gc(lua_State *L)
{
    release(static_cast<Held *>(lua_touserdata(L, 1)));
    return 0;
}

/* Pushes a new, empty Held userdata and returns it. */
Held *hold(lua_State *L)
{
    auto *h = static_cast<Held *>(lua_newuserdata(L, sizeof(Held)));  /* held */
    h->list = nullptr;
    h->text = nullptr;
    lua_pushlightuserdata(L, &held_meta);
    lua_rawget(L, LUA_REGISTRYINDEX);                   /* held, meta or nil */
    if (lua_isnil(L, -1)) {
        lua_pop(L, 1);                                  /* held */
        lua_createtable(L, 0, 1);                       /* held, meta */
        lua_pushcfunction(L, held_gc);
        lua_setfield(L, -2, "__gc");
        lua_pushlightuserdata(L, &held_meta);
        lua_pushvalue(L, -2);                           /* held, meta, key, meta */
        lua_rawset(L, LUA_REGISTRYINDEX);               /* held, meta */
    }
    lua_setmetatable(L, -2);                            /* held */
    return h;
}

/* Releases what h holds and pushes nil: the result when memory ran out. */
int nomemory(lua_State *L, Held *h)
{
    release(h);
    lua_pushnil(L);
    return 1;
}

/*
 * Appends the address of every string or number value of the table at index
 * 1 to h's list, in lua_next order; other values are skipped, keys ignored.
 * Raises on a text that is no address, after releasing h. Returns 0, or -1
 * when memory runs out.
 */
int walk(lua_State *L, const char *name, Held *h)
{
    unsigned char mac[MAC_ADDR_LEN] = {};
    lua_pushnil(L);                                     /* ..., nil */
    while (lua_next(L, 1)) {                            /* ..., key, value */
        if (lua_isstring(L, -1)) {
            const char *text = lua_tolstring(L, -1, nullptr);  /* converts the copy only */
            if (mac_from_string(text, mac) != 0) {
                release(h);
                return luaL_error(L, not_conform, name, text);
            }
            if (maclist_append(&h->list, mac) != 0) {
                lua_pop(L, 2);                          /* ... */
                return -1;
            }
        }
        lua_settop(L, -2);                              /* ..., key */
    }
    return 0;                                           /* ... */
}

/* Pushes a new array of the address texts of h's list, then frees the list. */
int toarray(lua_State *L, Held *h)
{
    int count = 0;
    for (const MacAddrList *n = h->list; n; n = n->next)
        ++count;
    lua_createtable(L, count, 0);                       /* ..., array */
    int i = 0;
    for (const MacAddrList *n = h->list; n; n = n->next) {
        lua_pushstring(L, mac_to_string(n->mac));       /* ..., array, text */
        lua_rawseti(L, -2, ++i);                        /* ..., array */
    }
    maclist_free(&h->list);
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
    Held *h = hold(L);                                  /* text, separators, held */
    h->list = maclist_parse(text, separators);
    if (!h->list) {
        lua_pushnil(L);
        return 1;
    }
    return toarray(L, h);
}

/* macaddrlist_string(list, separator): the addresses of list joined by separator. */
int luautils_macaddrlist_string(lua_State *L)
{
    static constexpr const char name[] = "luautils_macaddrlist_string";
    check_two(L, name);
    check_table(L, name);
    check_second(L, name);
    const char *separator = lua_tolstring(L, 2, nullptr);
    Held *h = hold(L);                                  /* list, separator, held */
    if (walk(L, name, h) != 0)
        return nomemory(L, h);
    h->text = maclist_to_string(h->list, separator);
    maclist_free(&h->list);
    lua_pushstring(L, h->text);                         /* list, separator, held, text or nil */
    release(h);
    return 1;
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
    Held *h = hold(L);                                  /* list, address, held */
    if (walk(L, name, h) != 0)
        return nomemory(L, h);
    maclist_remove(&h->list, target);
    return toarray(L, h);
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
    Held *h = hold(L);                                  /* list or nil, address, held */
    if (lua_istable(L, 1) && walk(L, name, h) != 0)
        return nomemory(L, h);
    if (maclist_append_unique(&h->list, target) != 0)
        return nomemory(L, h);
    return toarray(L, h);
}
