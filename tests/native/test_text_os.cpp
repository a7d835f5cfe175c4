// Directory listings (files, subdirectories, links, unknown entry types,
// paths that cannot be opened) and sleep (range, full and interrupted).
#include "support.h"

#include <dirent.h>
#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <vector>

namespace fs = std::filesystem;

namespace {

/* When set, the readdir below reports every entry as DT_UNKNOWN, as file
   systems without entry types do. */
bool hide_entry_types = false;

}  // namespace

/* Stands in for the C library's readdir: exported from this test program,
   it is what the module's calls bind to. Passes every call through and, on
   request, clears d_type. With 64-bit file offsets the header names it
   readdir64 for the linker, and so must the call through. */
extern "C" __attribute__((visibility("default"))) struct dirent *readdir(DIR *dir)
{
#ifdef __USE_FILE_OFFSET64
    constexpr const char *name = "readdir64";
#else
    constexpr const char *name = "readdir";
#endif
    using readdir_fn = struct dirent *(*)(DIR *);
    static auto next = reinterpret_cast<readdir_fn>(dlsym(RTLD_NEXT, name));
    struct dirent *entry = next(dir);
    if (entry && hide_entry_types)
        entry->d_type = DT_UNKNOWN;
    return entry;
}

namespace {

/* A fresh directory with a file, a subdirectory, a link to the file, a
   dangling link and a FIFO; removed with everything in it afterwards. */
class Listing : public LuaTest {
protected:
    fs::path dir;

    void SetUp() override
    {
        LuaTest::SetUp();
        char name[] = "/tmp/kemlist.XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        std::ofstream(dir / "file.txt") << "x";
        std::ofstream(dir / "second");
        fs::create_directory(dir / "sub");
        std::ofstream(dir / "sub" / "inner.txt") << "y";
        fs::create_symlink(dir / "file.txt", dir / "link.txt");
        fs::create_symlink(dir / "missing", dir / "dangling");
        ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    }

    void TearDown() override
    {
        hide_entry_types = false;
        std::error_code ec;
        fs::permissions(dir, fs::perms::owner_all, ec);
        fs::remove_all(dir, ec);
        LuaTest::TearDown();
    }

    /* The sorted names list_filenames gives for path, or {"<nil>"}. */
    std::vector<std::string> names(const std::string &path)
    {
        lua_getglobal(L, "kemluautils");
        lua_getfield(L, -1, "list_filenames");
        lua_pushstring(L, path.c_str());
        EXPECT_EQ(lua_pcall(L, 1, 1, 0), 0) << error_text(L);
        std::vector<std::string> result;
        if (lua_isnil(L, -1)) {
            result.push_back("<nil>");
        } else {
            EXPECT_TRUE(lua_istable(L, -1));
            int n = static_cast<int>(lua_objlen(L, -1));
            for (int i = 1; i <= n; ++i) {
                lua_rawgeti(L, -1, i);
                result.push_back(lua_tostring(L, -1));
                lua_pop(L, 1);
            }
            std::sort(result.begin(), result.end());
        }
        lua_pop(L, 2);
        return result;
    }
};

using Strings = std::vector<std::string>;

}  // namespace

TEST_F(Listing, ListsRegularFilesOnlyAndNilForWhatCannotBeOpened)
{
    EXPECT_EQ(names(dir), (Strings{"file.txt", "second"}));
    // a link to a directory is followed by opendir
    fs::create_directory_symlink(dir / "sub", dir / "sublink");
    EXPECT_EQ(names(dir / "sublink"), (Strings{"inner.txt"}));
    // entries of unknown type are all listed
    hide_entry_types = true;
    EXPECT_EQ(names(dir), (Strings{".", "..", "dangling", "fifo", "file.txt", "link.txt", "second",
                                   "sub", "sublink"}));
    hide_entry_types = false;

    fs::remove(dir / "sub" / "inner.txt");
    fs::create_directory(dir / "sub" / "a");
    EXPECT_EQ(names(dir / "sub"), Strings{});  // subdirectories only: empty, not nil
    for (const fs::path &p : {dir / "nothing", dir / "file.txt", fs::path()})
        EXPECT_EQ(names(p), Strings{"<nil>"}) << p;
    if (geteuid() != 0) {  // as root, permissions do not stop opendir
        fs::permissions(dir / "sub", fs::perms::none);
        EXPECT_EQ(names(dir / "sub"), Strings{"<nil>"});
    }
}

using Sleep = LuaTest;

namespace {

void on_alarm(int) {}

/* Seconds from start until now. */
double since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

TEST_F(Sleep, SleepsWholeSecondsOrReturnsWhatASignalLeft)
{
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run("assert(kemluautils.sleep(1) == 0)"), "");
    EXPECT_GE(since(start), 0.99);

    struct sigaction action {}, old {};
    action.sa_handler = on_alarm;
    action.sa_flags = 0; /* no SA_RESTART: the signal ends the sleep */
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &action, &old), 0);
    struct itimerval timer {};
    timer.it_value.tv_usec = 200000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);

    start = std::chrono::steady_clock::now();
    EXPECT_EQ(run("_G.left = kemluautils.sleep(4)"), "");
    double slept = since(start);
    sigaction(SIGALRM, &old, nullptr);

    lua_getglobal(L, "left");
    lua_Integer left = lua_tointeger(L, -1);
    lua_pop(L, 1);
    EXPECT_LT(slept, 1.0);
    EXPECT_GE(left, 3);  // 3.8 s were left
    EXPECT_LE(left, 4);
}
