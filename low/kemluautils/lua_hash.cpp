/*
 * SHA-256 from scripts: sha256(data [, length]) gives the digest of the
 * string, or of its first length bytes, as 64 lower-case hex digits.
 *
 * The digest and its text live on the C stack; nothing is allocated.
 * length is checked as the host's lua_Integer holds it: on a 64-bit host a
 * value beyond 32 bits is out of range, not cut to its low bits.
 */
#include "luaaux.h"
#include "platform/hash.h"

namespace {

constexpr const char name[] = "luautils_sha256";

/* Writes the 64 hex digits of the digest and a NUL into text. */
void hex_digest(const unsigned char *digest, char *text)
{
    const char digits[17] = "0123456789abcdef";
    for (int i = 0; i < HASH_SHA256_SIZE; ++i) {
        text[2 * i] = digits[digest[i] >> 4];
        text[2 * i + 1] = digits[digest[i] & 15];
    }
    text[2 * HASH_SHA256_SIZE] = '\0';
}

}  // namespace

int luautils_sha256(lua_State *L)
{
    int n = lua_gettop(L);
    if (static_cast<unsigned>(n - 1) > 1)
        return luaL_error(L, "%s() only one or two arguments expected", name);
    if (lua_isstring(L, 1) != 1)
        return luaL_error(L, "%s() first argument must be a string", name);
    size_t length = 0;
    const char *data = lua_tolstring(L, 1, &length);
    if (n == 2) {
        if (lua_isinteger(L, 2) != 1)
            return luaL_error(L, "%s() second argument must be a number", name);
        lua_Integer prefix = kem_to_integer(L, 2, "sha256");
        if (prefix < 1 || static_cast<size_t>(prefix) > length)
            return luaL_error(L, "%s() invalid second argument", name);
        length = static_cast<size_t>(prefix);
    }
    unsigned char digest[HASH_SHA256_SIZE] = {};
    if (hash_sha256(data, length, digest) != 0)
        return luaL_error(L, "%s() failed to calculate sha256", name);
    char text[2 * HASH_SHA256_SIZE + 1];
    hex_digest(digest, text);
    lua_pushstring(L, text);
    return 1;
}
