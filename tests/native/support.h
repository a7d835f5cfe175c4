/*
 * Shared fixture of the native tests: a fresh interpreter with the standard
 * libraries, the global kiv and the module loaded, and after each test the
 * proof that nothing leaked: no live block in the allocator and no registry
 * reference left behind.
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
#include <vector>

#include <sys/types.h>

#include "../support/kemcheck.h"
#include "kemluautils.h"
#include "platform/host/mem_debug.h"
#include "platform/mem.h"

/* Success when the allocator holds no live block; lists them otherwise. */
testing::AssertionResult allocator_clean();

/* Success when L holds exactly `expected` live registry references. */
testing::AssertionResult registry_clean(lua_State *L, int expected);

/* The message of the error on top of the stack (or of a non-string value). */
std::string error_text(lua_State *L);

/* The words that start the built program `name` of this build (kemlua, a
   test program): on a cross build first the emulator's, from KEM_EMULATOR
   (its command line, shell-quoted; empty on the host), then the path. */
std::vector<std::string> program_command(const std::string &name);

/* A test of a platform service without an interpreter: afterwards fault
   injection is off and no allocator block may be live. */
class ServiceTest : public testing::Test {
protected:
    void TearDown() override;
};

/* A kemlua --serve peer of endpoint `name` answering with
   examples/peer_handler.lua, in a private endpoint folder that KEM_IPC_DIR
   names while the peer lives. */
class Peer {
public:
    explicit Peer(const char *name);
    ~Peer();

private:
    std::string dir_;
    pid_t pid_ = -1;
};

class LuaTest : public testing::Test {
protected:
    lua_State *L = nullptr;
    int refs_at_start = 0;

    void SetUp() override;
    void TearDown() override;

    /* Runs chunk with the module at hand; returns "" or the error message. */
    std::string run(const std::string &chunk);

    /* Calls kemluautils.<name> protected with the values of `args` (a Lua
       expression list); returns "" or the error message. Results stay on the
       stack. */
    std::string call(const std::string &name, const std::string &args);
};

#endif
