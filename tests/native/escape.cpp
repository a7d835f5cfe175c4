// URL escaping: every byte in both modes against an independent table,
// texts across the points where the result grows, the input back when memory
// runs out, installing into kiv. The argument checks: tests/lua/module.lua.
#include "support.h"

#include <random>

namespace {

/* What escaping should give, a byte at a time up to the first zero. */
std::string expected(const std::string &text, bool form)
{
    std::string out;
    for (unsigned char b : text) {
        bool copied = form ? b == 0x22 || b == 0x24 || (b >= 0x27 && b <= 0x29) || (b >= 0x2c && b <= 0x2e) ||
                                 (b >= 0x30 && b <= 0x3a) || b == 0x3d || (b >= 0x3f && b <= 0x7e)
                           : b >= 0x21 && b <= 0x7e && b != 0x23 && b != 0x25 && b != 0x26 && b != 0x3b;
        if (b == 0)
            break;
        if (form && b == ' ')
            out += '+';
        else if (copied)
            out += static_cast<char>(b);
        else
            out += {'%', "0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    }
    return out;
}

/* kiv.RFC1630_Escape(text, form) through the Lua API; its result. */
std::string escape(lua_State *L, const std::string &text, bool form)
{
    lua_getglobal(L, "kiv");
    lua_getfield(L, -1, "RFC1630_Escape");
    lua_pushlstring(L, text.data(), text.size());
    lua_pushboolean(L, form);
    EXPECT_EQ(lua_pcall(L, 2, 1, 0), 0) << error_text(L);
    size_t len = 0;
    const char *s = lua_tolstring(L, -1, &len);
    std::string out(s, len);
    lua_pop(L, 2);
    return out;
}

class Escape : public LuaTest {
protected:
    void SetUp() override
    {
        LuaTest::SetUp();
        int top = lua_gettop(L);
        EXPECT_EQ(escape_init(L), 0);
        lua_getglobal(L, "kiv");
        EXPECT_EQ(lua_gettop(L), top + 2) << "kiv stays pushed";
        EXPECT_TRUE(lua_rawequal(L, -1, -2));
        lua_settop(L, top);
    }
};

}  // namespace

TEST_F(Escape, EveryByteAndTextsAcrossTheGrowthPoints)
{
    std::mt19937 random(1630);
    std::vector<std::string> texts = {std::string("a#\0#b", 5), "\xc3\xa9\t", "12"};
    for (int b = 1; b < 256; ++b)
        texts.push_back(std::string(1, char(b)));
    for (size_t n : {0, 5, 6, 12, 40, 100, 5000}) {  // five escapes fit the first block, the sixth grows it
        texts.push_back(std::string(n, '#') + "ab");
        texts.push_back(std::string(n, 'a') + std::string(n, '\x80'));
        std::string noise(n, 'x');
        for (char &c : noise)
            c = static_cast<char>(1 + random() % 255);
        texts.push_back(noise);
    }
    for (const std::string &text : texts)
        for (bool form : {true, false})
            EXPECT_EQ(escape(L, text, form), expected(text, form)) << '"' << text << (form ? "\" form" : "\" plain");
}

TEST_F(Escape, OutOfMemoryGivesTheInputUpToItsZero)
{
    for (unsigned long n : {1u, 2u}) {  // the first block, and its growth at the sixth escape
        mem_fail_at(n, 0);
        EXPECT_EQ(escape(L, std::string("######\0#", 8), false), "######") << n;
        EXPECT_EQ(mem_failures(), 1u);
    }
}
