// The interpreter running out of memory while a text function holds a
// platform block, list or open directory: the error reaches the caller
// and nothing is left behind.
#include "support.h"

#include <cstdlib>
#include <filesystem>

namespace {

/* A Lua allocator that fails one growing request on demand. */
struct Budget {
    long countdown = 0; /* the request that fails, counted from arming; 0: none */
    bool failed = false;
};

void *budget_alloc(void *ud, void *block, size_t old_size, size_t new_size)
{
    auto *budget = static_cast<Budget *>(ud);
    if (new_size == 0) {
        std::free(block);
        return nullptr;
    }
    if (new_size > old_size && budget->countdown > 0 && --budget->countdown == 0) {
        budget->failed = true;
        return nullptr;
    }
    return std::realloc(block, new_size);
}

size_t open_descriptors()
{
    size_t n = 0;
    for ([[maybe_unused]] auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

class InterpreterOutOfMemory : public testing::Test {
protected:
    Budget budget;
    lua_State *L = nullptr;

    void SetUp() override
    {
        L = lua_newstate(budget_alloc, &budget);
        if (!L)
            GTEST_SKIP() << "this interpreter does not take an allocator of ours (LuaJIT on x64)";
        luaL_openlibs(L);
        lua_pushcfunction(L, luaopen_libkemluautils);
        lua_call(L, 0, 0);
    }

    void TearDown() override
    {
        if (L)
            lua_close(L);
        EXPECT_TRUE(allocator_clean());
    }

    /* Runs the function that `chunk` returns with the nth interpreter
       allocation failing, n = 1, 2, ... until it completes; checks each
       failure for a clean outcome. Returns the final result as text. */
    std::string until_complete(const std::string &chunk)
    {
        if (luaL_loadstring(L, chunk.c_str()) || lua_pcall(L, 0, 1, 0))
            return "setup: " + error_text(L);
        size_t descriptors = open_descriptors();
        for (long n = 1; n < 100000; ++n) {
            lua_pushvalue(L, -1);
            budget = Budget{n, false};
            int status = lua_pcall(L, 0, 1, 0);
            bool failed = budget.failed;
            budget.countdown = 0;
            std::string text = status ? error_text(L) : lua_tostring(L, -1) ? lua_tostring(L, -1) : "<nil>";
            lua_pop(L, 1);
            EXPECT_TRUE(allocator_clean()) << "interpreter request " << n;
            EXPECT_EQ(open_descriptors(), descriptors) << "interpreter request " << n;
            if (!failed) {
                EXPECT_EQ(status, 0) << text;
                lua_pop(L, 1);
                return text;
            }
            if (status != 0) {
                EXPECT_EQ(text, "not enough memory") << "interpreter request " << n;
            }
        }
        return "never completed";
    }
};

}  // namespace

TEST_F(InterpreterOutOfMemory, CodecBlocksAreReleased)
{
    EXPECT_EQ(until_complete("local s = string.rep('\\0\\1\\2', 400)\n"
                             "return function() return #kemluautils.base64_encode(s) end"),
              "1600");
    EXPECT_EQ(until_complete("local s = string.rep('Zm9v', 300)\n"
                             "return function() return kemluautils.base64_decode(s):sub(1, 6) end"),
              "foofoo");
}

TEST_F(InterpreterOutOfMemory, StringListsAreReleased)
{
    EXPECT_EQ(until_complete("local s = string.rep('piece,', 200)\n"
                             "return function() return #kemluautils.string_split(s, ',') end"),
              "200");
    EXPECT_EQ(until_complete("local t = {} for i = 1, 200 do t[i] = i + 0.5 end\n"
                             "return function() return #kemluautils.string_join(t, ';') end"),
              "1091");
}

TEST_F(InterpreterOutOfMemory, DirectoryIsClosed)
{
    EXPECT_EQ(until_complete("return function() return #kemluautils.list_filenames('" KEM_SOURCE_DIR
                             "/tests/native') > 3 and 'ok' or 'few' end"),
              "ok");
}
