// The macaddrlist functions when Lua itself runs out of memory while they
// hold a list or a joined text: whatever they held must still be released.
#include "support.h"

#include <cstdlib>

namespace {

/* A Lua allocator that fails the request `countdown` growths from now. */
struct Budget {
    long countdown = -1;  // -1: never fail
};

void *limited_alloc(void *ud, void *ptr, size_t osize, size_t nsize)
{
    auto *budget = static_cast<Budget *>(ud);
    if (nsize == 0) {
        std::free(ptr);
        return nullptr;
    }
    if (nsize > osize && budget->countdown >= 0 && budget->countdown-- == 0)
        return nullptr;
    return std::realloc(ptr, nsize);
}

const char workload[] = R"(
    local k = kemluautils
    local list = {}
    for i = 1, 30 do list[i] = ("02:00:00:00:00:%02x"):format(i) end
    list[31] = 112233445566  -- becomes a text only inside the walk
    local text = table.concat(list, ",")
    assert(#k.macaddrlist_parse(text, ",") == 31)
    assert(#k.macaddrlist_string(list, ", ") == 31 * 19 - 2)
    assert(#k.macaddrlist_remove_macaddr(list, "020000000001") == 30)
    assert(#k.macaddrlist_append_macaddr_unique(list, "0200.0000.0099") == 32)
)";

}  // namespace

TEST(MacAddrListLuaMemory, WhatIsHeldIsReleasedWhenLuaRaises)
{
    ASSERT_TRUE(allocator_clean());
    Budget budget;
    lua_State *L = lua_newstate(limited_alloc, &budget);
    if (!L)
        GTEST_SKIP() << "this interpreter takes no allocator of ours";
    luaL_openlibs(L);
    lua_pushcfunction(L, luaopen_libkemluautils);
    lua_call(L, 0, 0);
    ASSERT_EQ(luaL_loadstring(L, workload), 0) << error_text(L);  /* chunk */

    long n = 0;
    for (;; ++n) {
        ASSERT_LT(n, 20000);
        lua_pushvalue(L, -1);
        budget.countdown = n;
        int status = lua_pcall(L, 0, 0, 0);
        budget.countdown = -1;
        if (status != 0) {
            ASSERT_EQ(status, LUA_ERRMEM) << "at growth " << n << ": " << error_text(L);
            lua_pop(L, 1);
        }
        lua_gc(L, LUA_GCCOLLECT, 0);
        ASSERT_TRUE(allocator_clean()) << "at growth " << n;
        if (status == 0)
            break;
    }
    EXPECT_GT(n, 10);  // the workload did reach many growths (fewer under LuaJIT)
    lua_close(L);
    EXPECT_TRUE(allocator_clean());
}
