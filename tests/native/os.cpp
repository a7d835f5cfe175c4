// list_filenames on a real folder (files, a subdirectory, links, a FIFO;
// a file system that reports no entry types) and sleep cut short by a signal.
#include "support.h"

#include <dirent.h>
#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

bool hide_entry_types = false;  /* readdir reports DT_UNKNOWN for every entry */

}  // namespace

/* Stands in for the C library's readdir, which the module's calls bind to;
   with 64-bit file offsets the header names it readdir64. */
extern "C" __attribute__((visibility("default"))) struct dirent *readdir(DIR *dir)
{
#ifdef __USE_FILE_OFFSET64
    static auto next = reinterpret_cast<struct dirent *(*)(DIR *)>(dlsym(RTLD_NEXT, "readdir64"));
#else
    static auto next = reinterpret_cast<struct dirent *(*)(DIR *)>(dlsym(RTLD_NEXT, "readdir"));
#endif
    struct dirent *entry = next(dir);
    if (entry && hide_entry_types)
        entry->d_type = DT_UNKNOWN;
    return entry;
}

namespace {

/* The sorted names list_filenames gives for path, joined with blanks, or "nil". */
std::string names(lua_State *L, const fs::path &path)
{
    lua_getglobal(L, "kemluautils");
    lua_getfield(L, -1, "list_filenames");
    lua_pushstring(L, path.c_str());
    EXPECT_EQ(lua_pcall(L, 1, 1, 0), 0) << error_text(L);
    std::vector<std::string> found;
    for (int i = 1; lua_istable(L, -1) && i <= static_cast<int>(lua_objlen(L, -1)); ++i) {
        lua_rawgeti(L, -1, i);
        found.push_back(lua_tostring(L, -1));
        lua_pop(L, 1);
    }
    std::sort(found.begin(), found.end());
    std::string out = lua_isnil(L, -1) ? "nil" : "";
    for (const std::string &name : found)
        out += (out.empty() ? "" : " ") + name;
    lua_pop(L, 2);
    return out;
}

using Os = LuaTest;

void on_alarm(int) {}

}  // namespace

TEST_F(Os, ListsRegularFilesOnlyAndNilForWhatCannotBeOpened)
{
    char name[] = "/tmp/kemlist.XXXXXX";
    fs::path dir = mkdtemp(name);
    std::ofstream(dir / "file.txt") << "x";
    std::ofstream(dir / "second");
    fs::create_directories(dir / "sub" / "a");
    fs::create_symlink(dir / "file.txt", dir / "link.txt");
    fs::create_symlink(dir / "sub", dir / "sublink");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(names(L, dir), "file.txt second");
    EXPECT_EQ(names(L, dir / "sublink"), "");  // a link to a folder is followed; subfolders only: empty
    for (const fs::path &p : {dir / "nothing", dir / "file.txt", fs::path()})
        EXPECT_EQ(names(L, p), "nil") << p;
    hide_entry_types = true;
    EXPECT_EQ(names(L, dir), ". .. fifo file.txt link.txt second sub sublink");
    hide_entry_types = false;
    fs::remove_all(dir);
}

TEST_F(Os, SleepReturnsWhatASignalLeft)
{
    struct sigaction action {}, old {};
    action.sa_handler = on_alarm;  /* no SA_RESTART: the signal ends the sleep */
    ASSERT_EQ(sigaction(SIGALRM, &action, &old), 0);
    struct itimerval timer {{0, 50000}, {0, 50000}};  /* every 50 ms, until the sleep has begun */
    ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);
    EXPECT_EQ(run("local left = kemluautils.sleep(3) assert(left >= 2 and left <= 3, left)"), "");
    timer = {};
    setitimer(ITIMER_REAL, &timer, nullptr);
    sigaction(SIGALRM, &old, nullptr);
}
