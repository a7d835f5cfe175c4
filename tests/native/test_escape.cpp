// URL escaping: every byte in both modes, results across the growth points,
// running out of memory, installing into kiv. The argument messages are
// tested from a script (tests/lua/test_escape.lua).
#include "support.h"

#include <cstdlib>
#include <string>

namespace {

using Escape = LuaTest;

/* The bytes each mode copies, written out independently of the library. */
bool copied(unsigned b, bool form)
{
    if (form)
        return b == 0x22 || b == 0x24 || (b >= 0x27 && b <= 0x29) || (b >= 0x2c && b <= 0x2e) ||
               (b >= 0x30 && b <= 0x3a) || b == 0x3d || (b >= 0x3f && b <= 0x7e);
    return b >= 0x21 && b <= 0x7e && b != 0x23 && b != 0x25 && b != 0x26 && b != 0x3b;
}

/* What escaping should give: a byte at a time, up to the first zero. */
std::string expected(const std::string &text, bool form)
{
    std::string out;
    for (unsigned char b : text) {
        if (b == 0)
            break;
        static const char hex[] = "0123456789abcdef";
        if (form && b == ' ')
            out += '+';
        else if (copied(b, form))
            out += static_cast<char>(b);
        else
            out += {'%', hex[b >> 4], hex[b & 15]};
    }
    return out;
}

/* Calls lua_rfc1630_escape(text, form) protected; its result or "error: ...". */
std::string escape(lua_State *L, const std::string &text, bool form)
{
    lua_pushcfunction(L, lua_rfc1630_escape);
    lua_pushlstring(L, text.data(), text.size());
    lua_pushboolean(L, form);
    if (lua_pcall(L, 2, 1, 0) != 0) {
        std::string msg = "error: " + error_text(L);
        lua_pop(L, 1);
        return msg;
    }
    size_t len = 0;
    const char *s = lua_tolstring(L, -1, &len);
    std::string out(s, len);
    lua_pop(L, 1);
    return out;
}

/* Allocation requests that escaping text makes. */
unsigned long requests(lua_State *L, const std::string &text, bool form)
{
    unsigned long before = mem_alloc_count();
    escape(L, text, form);
    return mem_alloc_count() - before;
}

}  // namespace

TEST_F(Escape, EveryByteFollowsItsModesClass)
{
    for (unsigned b = 1; b < 256; ++b)
        for (bool form : {true, false})
            EXPECT_EQ(escape(L, std::string(1, char(b)), form), expected(std::string(1, char(b)), form))
                << "byte " << b << (form ? " form" : " plain");
    EXPECT_EQ(escape(L, "\xc3\xa9\t", false), "%c3%a9%09");  // lower-case hex
    EXPECT_EQ(escape(L, std::string("a#\0#b", 5), false), "a%23");  // ends at the zero
}

TEST_F(Escape, GrowthIsGeometricAndChangesNoResult)
{
    // five escapes fit the first block, the sixth grows it
    for (int n = 0; n <= 12; ++n) {
        for (const std::string &pad : {std::string(), std::string("ab"), std::string(40, 'x')}) {
            std::string text = pad + std::string(n, '#') + pad;
            EXPECT_EQ(escape(L, text, false), expected(text, false)) << n << " escapes";
        }
        EXPECT_EQ(requests(L, std::string(n, '#'), false), n <= 5 ? 1u : 2u) << n;
    }
    // long texts, escapes spread (random bytes) or bunched at the end;
    // doubling, bounded by three bytes per byte to come, grows at most twice
    std::srand(7);
    for (size_t len : {100u, 10000u, 200000u}) {
        std::string text(len, 'a');
        for (char &c : text)
            c = static_cast<char>(1 + std::rand() % 255);
        std::string tail = std::string(len, 'a') + std::string(len, '\x80');
        for (bool form : {true, false}) {
            EXPECT_EQ(escape(L, text, form), expected(text, form)) << len;
            EXPECT_EQ(escape(L, tail, form), expected(tail, form)) << len;
            EXPECT_LE(requests(L, tail, form), 3u) << len;
        }
    }
    for (size_t len = 0; len < 300; ++len)
        EXPECT_LE(requests(L, std::string(len, '#') + std::string(len, 'x'), false), 3u) << len;
    // a fixed 32-byte step would grow about 100000 times here
    EXPECT_LE(requests(L, std::string(1 << 20, '%'), true), 3u);
    EXPECT_EQ(requests(L, std::string(1 << 20, 'z'), true), 1u);
}

TEST_F(Escape, OutOfMemoryGivesTheInputUpToItsZero)
{
    // the first block and the one growth of a sixth escape (every other
    // allocation point is in the central sweep)
    for (unsigned long n : {1u, 2u}) {
        mem_fail_at(n, 0);
        EXPECT_EQ(escape(L, std::string("######\0#", 8), false), "######") << n;
        EXPECT_EQ(mem_failures(), 1u);
    }
}

TEST_F(Escape, InitInstallsRfc1630EscapeIntoKiv)
{
    int top = lua_gettop(L);
    EXPECT_EQ(escape_init(L), 0);
    ASSERT_EQ(lua_gettop(L), top + 1);
    lua_getglobal(L, "kiv");
    EXPECT_TRUE(lua_rawequal(L, -1, -2));
    lua_settop(L, top);
    EXPECT_EQ(run("assert(kiv.RFC1630_Escape('a/b c', true) == 'a%2fb+c')"), "");
    EXPECT_EQ(run("kiv.RFC1630_Escape('a/b c')"), "lua_rfc1630_escape() requires 2 arguments");
}
