/*
 * Base64 from scripts: base64_encode and base64_decode over the platform's
 * codec.
 *
 * Caveats: pushing a string can raise (out of memory) while the codec's
 * block is still held; the push therefore runs guarded (luaaux.h), the block
 * is released, and only then is the error raised again.
 */
#include "luaaux.h"
#include "platform/b64.h"

#include <cstring>

namespace {

constexpr const char encode_name[] = "luautils_base64_encode";
constexpr const char decode_name[] = "luautils_base64_decode";

/* Checks the single string argument of both functions; raises on a fault. */
int check_one_string(lua_State *L, const char *name)
{
    if (lua_gettop(L) != 1)
        return luaL_error(L, "%s() only one argument expected", name);
    if (lua_isstring(L, -1) != 1)
        return luaL_error(L, "%s() input must be a string", name);
    return 0;
}

}  // namespace

int luautils_base64_encode(lua_State *L)
{
    check_one_string(L, encode_name);
    size_t length = 0;
    const char *data = lua_tolstring(L, -1, &length);
    int guard = kem_guard_push(L, kem_push_bytes, 0); /* data, guard */
    size_t out_len = 0;
    char *text = b64_encode_alloc(0, &out_len, data, length, 0, 0);
    if (!text) {
        lua_pushnil(L);
        return 1;
    }
    if (kem_push_freed(L, guard, text, std::strlen(text)) != 0)
        return lua_error(L);
    return 1;
}

int luautils_base64_decode(lua_State *L)
{
    check_one_string(L, decode_name);
    size_t length = 0;
    const char *text = lua_tolstring(L, -1, &length);
    int guard = kem_guard_push(L, kem_push_bytes, 0); /* text, guard */
    size_t out_len = 0;
    auto *bytes = static_cast<char *>(b64_decode_alloc(0, &out_len, text, length, 1));
    if (!bytes) {
        lua_pushnil(L);
        return 1;
    }
    bytes[out_len] = '\0';
    if (kem_push_freed(L, guard, bytes, out_len) != 0)
        return lua_error(L);
    return 1;
}
