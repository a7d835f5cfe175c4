/*
 * Device environment queries: thin wrappers over the environment service.
 *
 * The functions without arguments ignore whatever a script passes. Texts
 * belong to the service and are copied onto the stack, never freed here; a
 * null text is pushed as nil. The yes/no queries push integers, not
 * booleans: scripts compare them with 0.
 */
#include "luaaux.h"
#include "platform/env.h"

/* The OEM identifier. */
int luautils_oem(lua_State *L)
{
    lua_pushstring(L, env_oem());
    return 1;
}

/* The country's name. */
int luautils_country(lua_State *L)
{
    lua_pushstring(L, env_country());
    return 1;
}

/* The country's ISO code. */
int luautils_country_iso(lua_State *L)
{
    lua_pushstring(L, env_country_iso());
    return 1;
}

/* 1 when the country is the default one, else 0. */
int luautils_country_is_default(lua_State *L)
{
    kem_push_integer(L, env_country_is_default(), "country_is_default");
    return 1;
}

/* The language code. */
int luautils_language(lua_State *L)
{
    lua_pushstring(L, env_language());
    return 1;
}

/* 1 when the language is the default one, else 0. */
int luautils_language_is_default(lua_State *L)
{
    kem_push_integer(L, env_language_is_default(), "language_is_default");
    return 1;
}

/* 1 when the text names the device's country (name or ISO code), else 0. */
int luautils_country_is(lua_State *L)
{
    static const char name[] = "luautils_country_is";
    if (lua_gettop(L) != 1)
        return luaL_error(L, "%s() requires %d arguments", name, 1);
    if (!lua_isstring(L, 1))
        return luaL_error(L, "%s() requires %s for argument #%d", name, "string", 1);
    kem_push_integer(L, env_country_is(lua_tolstring(L, 1, nullptr)), "country_is");
    return 1;
}

/* The predefined URL of a name, or nil. */
int luautils_predefinedurlget(lua_State *L)
{
    static const char name[] = "luautils_predefinedurlget";
    if (lua_gettop(L) != 1)
        return luaL_error(L, "%s() requires %d arguments", name, 1);
    if (!lua_isstring(L, 1))
        return luaL_error(L, "%s() requires %s for argument #%d", name, "string", 1);
    lua_pushstring(L, env_predefined_url(lua_tolstring(L, 1, nullptr)));
    return 1;
}

/* The device's serial number. */
int luautils_serialnumber(lua_State *L)
{
    lua_pushstring(L, env_serial_number());
    return 1;
}
