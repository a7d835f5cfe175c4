// Shared by the native tests: leak checks (no live block in the allocator, no
// registry reference left), an interpreter with kiv and the module loaded,
// and a kemlua peer started through the emulator of a cross build.
#ifndef KEM_TESTS_SUPPORT_H
#define KEM_TESTS_SUPPORT_H

#include <gtest/gtest.h>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kemluautils.h"
#include "platform/host/mem_debug.h"
#include "platform/mem.h"

/* Live luaL_ref references: positive integer keys of the registry that are
   not on luaL_ref's free list, whose head is registry[0]. */
inline int registry_refs(lua_State *L)
{
    std::set<lua_Number> free_slots;
    lua_rawgeti(L, LUA_REGISTRYINDEX, 0);
    for (lua_Number slot = lua_tonumber(L, -1); slot > 0 && free_slots.insert(slot).second;) {
        lua_pop(L, 1);
        lua_rawgeti(L, LUA_REGISTRYINDEX, static_cast<int>(slot));
        slot = lua_tonumber(L, -1);
    }
    lua_pop(L, 1);
    int live = 0;
    for (lua_pushnil(L); lua_next(L, LUA_REGISTRYINDEX); lua_pop(L, 1)) {
        lua_Number k = lua_type(L, -2) == LUA_TNUMBER ? lua_tonumber(L, -2) : 0;
        live += k >= 1 && k == static_cast<lua_Number>(static_cast<long long>(k)) && !free_slots.count(k);
    }
    return live;
}

inline testing::AssertionResult allocator_clean()
{
    if (mem_live_blocks() == 0)
        return testing::AssertionSuccess();
    char *text = nullptr;
    size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    mem_report(out);
    std::fclose(out);
    auto result = testing::AssertionFailure() << mem_live_blocks() << " live block(s):\n" << text;
    std::free(text);
    return result;
}

inline size_t open_descriptors()
{
    auto entries = std::filesystem::directory_iterator("/proc/self/fd");
    return static_cast<size_t>(std::distance(begin(entries), end(entries)));
}

inline std::string error_text(lua_State *L)
{
    const char *msg = lua_tostring(L, -1);
    return msg ? msg : std::string("(") + luaL_typename(L, -1) + ")";
}

/* kemlua --serve NAME examples/peer_handler.lua (through KEM_EMULATOR), in an
   endpoint folder that KEM_IPC_DIR names while the peer lives. */
class Peer {
    std::string dir_;
    pid_t pid_ = -1;

public:
    explicit Peer(const char *name)
    {
        char tmpl[] = "/tmp/kem-peer-XXXXXX";
        dir_ = mkdtemp(tmpl);
        setenv("KEM_IPC_DIR", dir_.c_str(), 1);
        std::string command = std::string("exec ") + (std::getenv("KEM_EMULATOR") ? std::getenv("KEM_EMULATOR") : "") +
                              "'" KEM_BINARY_DIR "/kemlua' --serve '" + name + "' '" KEM_SOURCE_DIR "/examples/peer_handler.lua'";
        const char *argv[] = {"sh", "-c", command.c_str(), nullptr};
        posix_spawn(&pid_, "/bin/sh", nullptr, nullptr, const_cast<char **>(argv), environ);
        for (int i = 0; i < 500 && access((dir_ + "/" + name).c_str(), F_OK) != 0; ++i)
            usleep(10000);
    }
    ~Peer()
    {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        rmdir(dir_.c_str());
        unsetenv("KEM_IPC_DIR");
    }
};

/* The standard libraries, an empty kiv and the module, as kemlua sets them up. */
inline void open_module(lua_State *L)
{
    luaL_openlibs(L);
    lua_newtable(L);
    lua_setglobal(L, "kiv");
    lua_pushcfunction(L, luaopen_libkemluautils);
    lua_call(L, 0, 0);
}

/* A test with an interpreter; afterwards no block nor registry reference is left. */
class LuaTest : public testing::Test {
protected:
    lua_State *L = nullptr;
    int refs_at_start = 0;

    void SetUp() override
    {
        mem_fail_off();
        ASSERT_TRUE(allocator_clean()) << "before the test";
        L = luaL_newstate();
        open_module(L);
        refs_at_start = registry_refs(L);
    }
    void TearDown() override
    {
        mem_fail_off();
        EXPECT_TRUE(allocator_clean());
        EXPECT_EQ(registry_refs(L), refs_at_start) << "registry references left";
        lua_close(L);
        EXPECT_TRUE(allocator_clean());
    }
    /* Runs chunk protected; "" or the error message. */
    std::string run(const std::string &chunk)
    {
        if (luaL_loadbuffer(L, chunk.data(), chunk.size(), "=test") == 0 && lua_pcall(L, 0, 0, 0) == 0)
            return "";
        std::string msg = error_text(L);
        lua_pop(L, 1);
        return msg;
    }
};

#endif
