// Fuzz target: the RFC 1630 escaper in both modes, through the interpreter
// as scripts call it. The first byte picks the mode; the result must equal a
// byte-by-byte reference made from the documented classes, and no block may
// stay live.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include "kemluautils.h"
#include "platform/host/mem_debug.h"

namespace {

/* The reference: form mode escapes these ten punctuation bytes, plain mode
   four of them; both escape controls, space (plain) and bytes above 0x7e. */
std::string reference(const std::string &text, bool form)
{
    std::string out;
    for (unsigned char b : text) {
        if (b == 0)
            break;  // the text ends at its first zero byte
        bool always = b < 0x21 || b > 0x7e || std::strchr("#%&;", b);
        bool form_only = std::strchr("!*+/<>", b) != nullptr;
        if (form && b == ' ') {
            out += '+';
        } else if (always || (form && form_only)) {
            char esc[4];
            std::snprintf(esc, sizeof esc, "%%%02x", b);
            out += esc;
        } else {
            out += static_cast<char>(b);
        }
    }
    return out;
}

lua_State *state()
{
    static lua_State *L = [] {
        lua_State *s = luaL_newstate();
        luaL_openlibs(s);
        return s;
    }();
    return L;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    bool form = data[0] & 1;
    std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    lua_State *L = state();
    lua_pushcfunction(L, lua_rfc1630_escape);
    lua_pushlstring(L, text.data(), text.size());
    lua_pushboolean(L, form);
    if (lua_pcall(L, 2, 1, 0) != 0)
        std::abort();
    size_t n = 0;
    const char *got = lua_tolstring(L, -1, &n);
    if (std::string(got, n) != reference(text, form))
        std::abort();
    lua_pop(L, 1);
    if (mem_live_blocks() != 0)
        std::abort();
    return 0;
}
