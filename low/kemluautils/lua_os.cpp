/*
 * Operating-system services for scripts: list_filenames (the regular files
 * of a directory) and sleep (whole seconds), straight on POSIX.
 *
 * Caveats: the listing trusts d_type. Entries of unknown type are listed
 * too, so on a file system that reports no types the listing holds ".",
 * ".." and subdirectories as well. Names keep readdir's order. Building the
 * table can raise (out of memory) while the directory is open, so it runs
 * guarded (luaaux.h) and the error is raised again after closedir. sleep checks
 * its range on the host's full lua_Integer: a 64-bit value beyond 32 bits is
 * out of range, not cut to its low bits.
 */
#include "luaaux.h"

#include <dirent.h>
#include <unistd.h>

namespace {

constexpr const char list_name[] = "luautils_list_filenames";
constexpr const char sleep_name[] = "luautils_sleep";

/* Regular files, and entries whose type the file system does not report. */
bool listed(unsigned char type)
{
    return (type & ~DT_REG) == 0;
}

/* Guarded: the array of the listed names of the job's directory. */
int fill_names(lua_State *L)
{
    DIR *dir = static_cast<DIR *>(kem_guard_job(L, fill_names));
    lua_createtable(L, 0, 0); /* array */
    lua_Integer index = 1;
    while (const struct dirent *entry = readdir(dir)) {
        if (!listed(entry->d_type))
            continue;
        kem_push_integer(L, index++, "list_filenames");
        lua_pushstring(L, entry->d_name);
        lua_rawset(L, -3);
    }
    return 1;
}

}  // namespace

int luautils_list_filenames(lua_State *L)
{
    if (lua_gettop(L) != 1)
        return luaL_error(L, "%s() Only one argument expected.", list_name);
    if (lua_isstring(L, 1) != 1)
        return luaL_error(L, "%s() Input must be a string.", list_name);
    const char *path = lua_tolstring(L, 1, nullptr);
    int guard = kem_guard_push(L, fill_names, 0); /* path, guard */
    DIR *dir = opendir(path);
    if (!dir) {
        lua_pushnil(L);
        return 1;
    }
    int status = kem_guard_run(L, guard, dir, 0, 1); /* path, guard, array or error */
    closedir(dir);
    if (status != 0)
        return lua_error(L);
    return 1;
}

int luautils_sleep(lua_State *L)
{
    if (lua_gettop(L) != 1)
        return luaL_error(L, "%s() requires %d arguments", sleep_name, 1);
    if (!lua_isinteger(L, 1))
        return luaL_error(L, "%s() requires %s for argument #%d", sleep_name, "int", 1);
    lua_Integer seconds = kem_to_integer(L, 1, "sleep");
    if (seconds < 0 || seconds > 65535)
        return luaL_error(L, "%s() value is out of range for argument #%d", sleep_name, 1);
    kem_push_integer(L, seconds == 0 ? 0 : sleep(static_cast<unsigned>(seconds)), "sleep");
    return 1;
}
