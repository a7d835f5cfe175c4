// Host tagged allocator: accounting, listing, fault injection, and the leak
// checks that every other test relies on.
#include "support.h"

#include <cstring>

namespace {

std::string report_text()
{
    char *text = nullptr;
    std::size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    mem_report(out);
    std::fclose(out);
    std::string s(text, size);
    std::free(text);
    return s;
}

int format(char **out, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int n = mem_vasprintf(out, fmt, ap);
    va_end(ap);
    return n;
}

}  // namespace

TEST(Allocator, CountsBlocksAndBytesAndListsTags)
{
    void *a = mem_malloc(10, "alpha.c", 7);
    void *b = mem_calloc(3, 4, "beta.c", 12);
    char *c = mem_strdup("hello", "gamma.c", 99);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(mem_live_blocks(), 3u);
    EXPECT_EQ(mem_live_bytes(), 10u + 12u + 6u);
    EXPECT_STREQ(c, "hello");
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(static_cast<unsigned char *>(b)[i], 0);
    EXPECT_EQ(report_text(), "alpha.c:7 10\nbeta.c:12 12\ngamma.c:99 6\n");

    mem_free(b, KEM_TAG);
    EXPECT_EQ(report_text(), "alpha.c:7 10\ngamma.c:99 6\n");
    mem_free(a, KEM_TAG);
    mem_free_text(&c);
    EXPECT_EQ(c, nullptr);
    mem_free(nullptr, KEM_TAG);
    mem_free_text(&c);
    EXPECT_TRUE(allocator_clean());
    EXPECT_EQ(mem_live_bytes(), 0u);
}

TEST(Allocator, FaultInjectionFailsTheNthRequestOnceOrFromThenOn)
{
    mem_fail_at(2, 0);
    void *first = mem_malloc(1, KEM_TAG);
    void *second = mem_malloc(1, KEM_TAG);
    void *third = mem_strdup("x", KEM_TAG);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(mem_failures(), 1u);

    mem_fail_at(1, 1);
    EXPECT_EQ(mem_calloc(1, 1, KEM_TAG), nullptr);
    EXPECT_EQ(mem_strdup("y", KEM_TAG), nullptr);
    EXPECT_EQ(mem_failures(), 2u);
    mem_fail_off();
    void *after = mem_malloc(1, KEM_TAG);
    EXPECT_NE(after, nullptr);

    mem_free(first, KEM_TAG);
    mem_free(third, KEM_TAG);
    mem_free(after, KEM_TAG);
    EXPECT_TRUE(allocator_clean());
}

TEST(Allocator, CountsRequestsAndRefusesOverflowingSizes)
{
    unsigned long before = mem_alloc_count();
    EXPECT_EQ(mem_calloc(SIZE_MAX / 2, 4, KEM_TAG), nullptr);
    EXPECT_EQ(mem_malloc(SIZE_MAX - 8, KEM_TAG), nullptr);
    EXPECT_EQ(mem_alloc_count(), before + 2);
    EXPECT_TRUE(allocator_clean());
}

TEST(Allocator, FormatsIntoANewTextOrNull)
{
    char *text = nullptr;
    EXPECT_EQ(format(&text, "%s-%d", "abc", 42), 6);
    EXPECT_STREQ(text, "abc-42");
    mem_free(text, KEM_TAG);

    mem_fail_at(1, 0);
    text = reinterpret_cast<char *>(1);
    EXPECT_EQ(format(&text, "%d", 1), -1);
    EXPECT_EQ(text, nullptr);
    EXPECT_TRUE(allocator_clean());
}

TEST(LeakChecks, FailWhenABlockOrAReferenceIsLeftBehind)
{
    void *leak = mem_malloc(5, "leaky.c", 3);
    testing::AssertionResult dirty = allocator_clean();
    EXPECT_FALSE(dirty);
    EXPECT_NE(std::string(dirty.message()).find("leaky.c:3 5"), std::string::npos);
    mem_free(leak, KEM_TAG);
    EXPECT_TRUE(allocator_clean());

    lua_State *L = luaL_newstate();
    int base = kem_registry_refs(L);
    lua_newtable(L);
    int ref = luaL_ref(L, LUA_REGISTRYINDEX);
    EXPECT_FALSE(registry_clean(L, base));
    luaL_unref(L, LUA_REGISTRYINDEX, ref);
    EXPECT_TRUE(registry_clean(L, base));
    lua_pushnil(L);
    EXPECT_EQ(luaL_ref(L, LUA_REGISTRYINDEX), LUA_REFNIL);
    EXPECT_TRUE(registry_clean(L, base));
    lua_close(L);
}
