/*
 * Split and join from scripts: string_split and string_join over the
 * platform's string list service.
 *
 * Both texts reach the service NUL-terminated, so a text is cut at its first
 * NUL byte. Building the result table, reading number values as text and
 * pushing the joined text can raise (out of memory) while a list is held;
 * those steps run guarded (luaaux.h): the list is released, and then the
 * error is raised again.
 */
#include "luaaux.h"
#include "platform/strlist.h"

#include <cstring>

namespace {

constexpr const char split_name[] = "luautils_string_split";
constexpr const char join_name[] = "luautils_string_join";

/* Raises the message of the first fault: count, argument 1, argument 2. */
int check_args(lua_State *L, const char *name, bool table_first)
{
    if (lua_gettop(L) != 2)
        return luaL_error(L, "%s() only two arguments expected", name);
    if (table_first && lua_type(L, 1) != LUA_TTABLE)
        return luaL_error(L, "%s() input (1) must be a table", name);
    if (!table_first && !lua_isstring(L, 1))
        return luaL_error(L, "%s() input (1) must be a string", name);
    if (lua_isstring(L, 2) != 1)
        return luaL_error(L, "%s() input (2) must be a string", name);
    return 0;
}

/* Guarded: the array of the job's list texts, up to the first null text. */
int fill_array(lua_State *L)
{
    const auto *node = static_cast<const StringList *>(kem_guard_job(L, fill_array));
    lua_createtable(L, 0, 0); /* array */
    lua_Integer index = 1;
    for (; node && node->text; node = node->next, ++index) {
        kem_push_integer(L, index, "string_split");
        lua_pushstring(L, node->text);
        lua_rawset(L, -3);
    }
    return 1;
}

/* What string_join holds: the list of texts and their joined text. */
struct join_job {
    const char *separator;
    StringList *list;
    char *joined;
};

/* Guarded: pushes the job's joined text when it has one already; else
   appends the string and number values of the table (argument 2) to the
   job's list and pushes their joined text; nil when memory ran out (a list
   cut short by a failed append would join to a wrong text). */
int collect_and_join(lua_State *L)
{
    auto *job = static_cast<join_job *>(kem_guard_job(L, collect_and_join));
    if (job->joined) {
        lua_pushstring(L, job->joined);
        return 1;
    }
    lua_pushnil(L); /* box, table, nil */
    while (lua_next(L, 2) != 0) { /* box, table, key, value */
        if (lua_isstring(L, -1) && strlist_append(&job->list, lua_tolstring(L, -1, nullptr)) != 0) {
            lua_pushnil(L);
            return 1;
        }
        lua_settop(L, -2); /* box, table, key */
    }
    job->joined = strlist_join(job->list, job->separator);
    lua_pushstring(L, job->joined); /* box, table, text or nil */
    return 1;
}

enum walk_result { walk_done, walk_number, walk_memory };

/*
 * The string values of the table at index 1 appended to the job's list,
 * with no Lua call that can raise: lua_next over a table that nothing
 * changes meanwhile, and texts that are strings already. Stops at a number
 * value (its text would have to be made, which can raise) or when an append
 * fails. The stack is as it was. This lets string_join run without a
 * protected call for tables of strings, which gains ~10% of a small call
 * (string_join({"a", "b", "c"}, ","), the table's making included).
 */
walk_result append_strings(lua_State *L, join_job *job)
{
    lua_pushnil(L); /* ..., nil */
    while (lua_next(L, 1) != 0) { /* ..., key, value */
        int type = lua_type(L, -1);
        walk_result stop = type == LUA_TNUMBER ? walk_number
                           : type == LUA_TSTRING && strlist_append(&job->list, lua_tolstring(L, -1, nullptr)) != 0
                               ? walk_memory
                               : walk_done;
        if (stop != walk_done) {
            lua_settop(L, -3); /* ... */
            return stop;
        }
        lua_settop(L, -2); /* ..., key */
    }
    return walk_done;
}

}  // namespace

int luautils_string_split(lua_State *L)
{
    check_args(L, split_name, false);
    const char *text = lua_tolstring(L, 1, nullptr);
    const char *separators = lua_tolstring(L, 2, nullptr);
    int guard = kem_guard_push(L, fill_array, 0); /* text, separators, guard */
    StringList *list = strlist_split(text, separators);
    if (!list) {
        lua_pushnil(L);
        return 1;
    }
    int status = kem_guard_run(L, guard, list, 0, 1); /* text, separators, guard, array or error */
    strlist_free(&list);
    if (status != 0)
        return lua_error(L);
    return 1;
}

int luautils_string_join(lua_State *L)
{
    check_args(L, join_name, true);
    int guard = kem_guard_push(L, collect_and_join, 1); /* table, separator, guard */
    join_job job{lua_tolstring(L, 2, nullptr), nullptr, nullptr};
    walk_result walk = append_strings(L, &job);
    if (walk == walk_number) {
        lua_pushvalue(L, 1); /* table, separator, guard, table: the guarded way from the start */
    } else if (walk == walk_done) {
        job.joined = strlist_join(job.list, job.separator);
    }
    strlist_free(&job.list);
    if (walk == walk_memory || (walk == walk_done && !job.joined)) {
        lua_pushnil(L);
        return 1;
    }
    size_t length = job.joined ? std::strlen(job.joined) : 0;
    if (job.joined && length <= LUAL_BUFFERSIZE) {
        /* short enough for kem_push_freed's buffer: the guard is not run */
        kem_push_freed(L, guard, job.joined, length); /* releases the text; may raise after */
        return 1;
    }
    int status = kem_guard_run(L, guard, &job, walk == walk_number, 1); /* table, separator, guard, text, nil or error */
    strlist_free(&job.list);
    mem_free(job.joined, KEM_TAG);
    if (status != 0)
        return lua_error(L);
    return 1;
}
