// URL escaping: every byte in both modes against an independent table, texts
// across the points where the result grows, the input back when memory runs out.
#include "support.h"

#include <random>

namespace {

/* What escaping should give, a byte at a time up to the first zero. */
std::string expected(const std::string &text, bool form)
{
    std::string out;
    for (unsigned char b : text.substr(0, text.find('\0'))) {
        bool copied = form ? b == 0x22 || b == 0x24 || (b >= 0x27 && b <= 0x29) || (b >= 0x2c && b <= 0x2e) ||
                                 (b >= 0x30 && b <= 0x3a) || b == 0x3d || (b >= 0x3f && b <= 0x7e)
                           : b >= 0x21 && b <= 0x7e && b != 0x23 && b != 0x25 && b != 0x26 && b != 0x3b;
        if (form && b == ' ')
            out += '+';
        else
            out += copied ? std::string(1, char(b)) : std::string{'%', "0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    }
    return out;
}

class Escape : public LuaTest {
protected:
    void SetUp() override
    {
        LuaTest::SetUp();
        EXPECT_EQ(escape_init(L), 0);
        lua_settop(L, 0);
    }
    std::string escape(const std::string &text, bool form)
    {
        lua_getglobal(L, "kiv");
        lua_getfield(L, -1, "RFC1630_Escape");
        lua_pushlstring(L, text.data(), text.size());
        lua_pushboolean(L, form);
        EXPECT_EQ(lua_pcall(L, 2, 1, 0), 0) << error_text(L);
        std::string out(lua_tostring(L, -1), lua_objlen(L, -1));
        lua_settop(L, 0);
        return out;
    }
};

}  // namespace

TEST_F(Escape, EveryByteAndTextsAcrossTheGrowthPoints)
{
    std::mt19937 random(1630);
    std::vector<std::string> texts = {std::string("a#\0#b", 5)};
    for (int b = 1; b < 256; ++b)
        texts.push_back(std::string(1, char(b)));
    for (size_t n : {0, 5, 6, 12, 40, 100, 5000}) {  // five escapes fit the first block, the sixth grows it
        std::string noise(n, 'x');
        for (char &c : noise)
            c = static_cast<char>(1 + random() % 255);
        texts.insert(texts.end(), {std::string(n, '#') + "ab", std::string(n, 'a') + std::string(n, '\x80'), noise});
    }
    for (const std::string &text : texts)
        for (bool form : {true, false})
            EXPECT_EQ(escape(text, form), expected(text, form)) << '"' << text << (form ? "\" form" : "\" plain");
    for (unsigned long n : {1u, 2u}) {  // out of memory at the first block, and at its growth: the input
        mem_fail_at(n, 0);
        EXPECT_EQ(escape(std::string("######\0#", 8), false), "######") << n;
        EXPECT_EQ(mem_failures(), 1u);
    }
}
