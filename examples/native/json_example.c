/*
 * How a native module uses the JSON bridge: json2lua turns a received text
 * into a Lua table, lua2json writes a Lua value into the module's own yajl
 * generator. Built and run by the tests; prints what it does.
 */
#include <stdio.h>
#include <string.h>

#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
#include <yajl/yajl_gen.h>

#include "kemluautils.h"

/* Decodes a device list, reads a field, and answers with a JSON reply. */
static int handle_request(lua_State *L, const char *request)
{
    const unsigned char *buf;
    size_t len;
    yajl_gen gen;
    int status;

    if (json2lua(L, request, 16) != 0) { /* stack unchanged */
        fprintf(stderr, "bad request\n");
        return -1;
    }
    /* request table */
    lua_getfield(L, -1, "devices");
    lua_rawgeti(L, -1, 1);
    lua_getfield(L, -1, "name"); /* request, devices, device, name */
    printf("first device: %s\n", lua_tostring(L, -1));
    lua_pop(L, 3); /* request */

    /* Reply {"ok":true,"echo":<the request>}: our own map around lua2json. */
    gen = yajl_gen_alloc(NULL);
    if (!gen) {
        lua_pop(L, 1);
        return -1;
    }
    yajl_gen_map_open(gen);
    yajl_gen_string(gen, (const unsigned char *)"ok", 2);
    yajl_gen_bool(gen, 1);
    yajl_gen_string(gen, (const unsigned char *)"echo", 4);
    status = lua2json(L, gen, 16); /* stack unchanged */
    lua_pop(L, 1);
    if (status == 0 && yajl_gen_map_close(gen) == yajl_gen_status_ok &&
        yajl_gen_get_buf(gen, &buf, &len) == yajl_gen_status_ok)
        printf("reply: %.*s\n", (int)len, (const char *)buf);
    else
        status = -1;
    yajl_gen_free(gen);
    return status;
}

int main(void)
{
    lua_State *L = luaL_newstate();
    int failures = 0;

    if (!L)
        return 1;
    luaL_openlibs(L);
    failures += handle_request(L, "{\"devices\": [{\"name\": \"lan1\", \"up\": true}]}") != 0;
    failures += handle_request(L, "[1, 2") != -1; /* truncated: refused */
    failures += lua_gettop(L) != 0;
    lua_close(L);
    printf("json_example: %s\n", failures ? "FAILED" : "ok");
    return failures != 0;
}
