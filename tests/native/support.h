/*
 * Shared by the native tests: leak checks (no live block in the allocator,
 * no registry reference left), a fresh interpreter with kiv and the module
 * loaded, and built programs started through the emulator of a cross build.
 */
#ifndef KEM_TESTS_SUPPORT_H
#define KEM_TESTS_SUPPORT_H

#include <gtest/gtest.h>

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <string>

#include <sys/types.h>

#include "kemluautils.h"
#include "platform/host/mem_debug.h"
#include "platform/mem.h"

/* Live luaL_ref references in L's registry: positive integer keys that are
   not on luaL_ref's free list, whose head is registry[0]. */
int registry_refs(lua_State *L);

/* Success when the allocator holds no live block; lists them otherwise. */
testing::AssertionResult allocator_clean();

/* The number of open file descriptors of this process. */
size_t open_descriptors();

/* The message of the error on top of the stack (or its type). */
std::string error_text(lua_State *L);

/* A kemlua --serve peer of endpoint `name` answering with
   examples/peer_handler.lua, started through the emulator of a cross build
   (KEM_EMULATOR), in a private endpoint folder that KEM_IPC_DIR names while
   the peer lives. */
class Peer {
public:
    explicit Peer(const char *name);
    ~Peer();

private:
    std::string dir_;
    pid_t pid_ = -1;
};

/* A test with an interpreter; afterwards fault injection is off and neither
   a block nor a registry reference may be left. */
class LuaTest : public testing::Test {
protected:
    lua_State *L = nullptr;
    int refs_at_start = 0;

    void SetUp() override;
    void TearDown() override;

    /* Runs chunk protected; "" or the error message. */
    std::string run(const std::string &chunk);
};

#endif
