/*
 * Fuzz target of the JSON bridge: json2lua on arbitrary bytes, and for every
 * text it accepts the round trip lua2json(json2lua(text)) parsed once more.
 * Aborts when a call breaks its contract: a result other than 0/-1, a stack
 * left changed, a block of our allocator left live, a round trip that does
 * not parse again, or one that does not stop at the generator's depth.
 */
#include "kemluautils.h"
#include "platform/host/mem_debug.h"

extern "C" {
#include <lauxlib.h>
#include <lualib.h>
}

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

/* The deepest nesting yajl's generator writes: it refuses a 128th level. */
constexpr uint32_t gen_depth = 127;

/* json2lua takes one level more, so that the refusal is met too. */
constexpr uint32_t max_depth = gen_depth + 1;

lua_State *state()
{
    static lua_State *L = [] {
        lua_State *s = luaL_newstate();
        luaL_openlibs(s);
        return s;
    }();
    return L;
}

void require(bool ok)
{
    if (!ok)
        std::abort();
}

/* lua2json of the table at the top into a new text; false on failure. */
bool write(lua_State *L, std::string *out)
{
    yajl_gen gen = yajl_gen_alloc(nullptr);
    int top = lua_gettop(L);
    int r = lua2json(L, gen, max_depth);
    require(lua_gettop(L) == top && (r == 0 || r == -1));
    const unsigned char *buf = nullptr;
    size_t len = 0;
    yajl_gen_get_buf(gen, &buf, &len);
    out->assign(reinterpret_cast<const char *>(buf), len);
    yajl_gen_free(gen);
    return r == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    lua_State *L = state();
    std::string text(reinterpret_cast<const char *>(data), size); /* NUL-terminated */
    lua_settop(L, 0);
    lua_pushboolean(L, 1);

    int r = json2lua(L, text.c_str(), max_depth);
    require(r == 0 || r == -1);
    require(lua_gettop(L) == (r == 0 ? 2 : 1));
    require(mem_live_blocks() == 0);
    if (r == 0) {
        require(lua_type(L, -1) == LUA_TTABLE);
        bool writable = json2lua(L, text.c_str(), gen_depth) == 0; /* not 128 levels deep */
        lua_settop(L, 2);
        std::string json;
        require(write(L, &json) == writable); /* as deep as the input */
        if (writable) {
            require(json2lua(L, json.c_str(), max_depth) == 0);
            std::string again;
            require(write(L, &again));
        }
        require(mem_live_blocks() == 0);
    }
    lua_settop(L, 0);
    lua_gc(L, LUA_GCSTEP, 0);
    return 0;
}
