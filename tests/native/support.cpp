#include "support.h"

#include <cstdio>
#include <cstdlib>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

testing::AssertionResult allocator_clean()
{
    if (mem_live_blocks() == 0)
        return testing::AssertionSuccess();
    char *text = nullptr;
    std::size_t size = 0;
    FILE *out = open_memstream(&text, &size);
    mem_report(out);
    std::fclose(out);
    auto result = testing::AssertionFailure()
                  << mem_live_blocks() << " live block(s):\n" << std::string(text, size);
    std::free(text);
    return result;
}

testing::AssertionResult registry_clean(lua_State *L, int expected)
{
    int live = kem_registry_refs(L);
    if (live == expected)
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << live << " live registry reference(s), expected " << expected;
}

std::string error_text(lua_State *L)
{
    const char *msg = lua_tostring(L, -1);
    return msg ? msg : std::string("(") + luaL_typename(L, -1) + ")";
}

std::vector<std::string> program_command(const std::string &name)
{
    std::vector<std::string> words;
    const char *emulator = std::getenv("KEM_EMULATOR");
    std::string word;
    bool quoted = false, in_word = false;
    for (const char *p = emulator ? emulator : ""; *p; ++p) {
        if (*p == '\'') {
            quoted = !quoted;
            in_word = true;
        } else if (*p == '\\' && !quoted && p[1]) {
            word += *++p;
            in_word = true;
        } else if (*p == ' ' && !quoted) {
            if (in_word)
                words.push_back(word);
            word.clear();
            in_word = false;
        } else {
            word += *p;
            in_word = true;
        }
    }
    if (in_word)
        words.push_back(word);
    words.push_back(KEM_BINARY_DIR "/" + name);
    return words;
}

Peer::Peer(const char *name)
{
    char tmpl[] = "/tmp/kem-peer-XXXXXX";
    dir_ = mkdtemp(tmpl);
    setenv("KEM_IPC_DIR", dir_.c_str(), 1);
    std::vector<std::string> words = program_command("kemlua");
    words.insert(words.end(), {"--serve", name, KEM_SOURCE_DIR "/examples/peer_handler.lua"});
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawnp(&pid_, argv[0], nullptr, nullptr, argv.data(), environ);
    std::string socket = dir_ + "/" + name;
    for (int i = 0; i < 500 && access(socket.c_str(), F_OK) != 0; ++i)
        usleep(10000);
}

Peer::~Peer()
{
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    rmdir(dir_.c_str());
    unsetenv("KEM_IPC_DIR");
}

void ServiceTest::TearDown()
{
    mem_fail_off();
    EXPECT_TRUE(allocator_clean());
}

void LuaTest::SetUp()
{
    mem_fail_off();
    ASSERT_TRUE(allocator_clean()) << "a block was live before the test";
    L = luaL_newstate();
    ASSERT_NE(L, nullptr);
    luaL_openlibs(L);
    lua_newtable(L);
    lua_setfield(L, LUA_GLOBALSINDEX, "kiv");
    lua_pushcfunction(L, luaopen_libkemluautils);
    lua_call(L, 0, 0);
    refs_at_start = kem_registry_refs(L);
}

void LuaTest::TearDown()
{
    mem_fail_off();
    EXPECT_TRUE(allocator_clean());
    EXPECT_TRUE(registry_clean(L, refs_at_start));
    lua_close(L);
    EXPECT_TRUE(allocator_clean());
}

std::string LuaTest::run(const std::string &chunk)
{
    if (luaL_loadbuffer(L, chunk.data(), chunk.size(), "=test") || lua_pcall(L, 0, LUA_MULTRET, 0)) {
        std::string msg = error_text(L);
        lua_pop(L, 1);
        return msg;
    }
    return "";
}

std::string LuaTest::call(const std::string &name, const std::string &args)
{
    return run("return kemluautils." + name + "(" + args + ")");
}
