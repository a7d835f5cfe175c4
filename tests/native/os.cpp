// list_filenames on a real folder (files, a subfolder, links, a FIFO, a file
// system that reports no entry types).
#include "support.h"

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <fstream>

namespace fs = std::filesystem;

static bool hide_entry_types = false;  /* readdir reports DT_UNKNOWN for every entry */

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

using Os = LuaTest;

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
    auto expect = [&](const fs::path &path, const std::string &names) {  // the sorted names, or "nil"
        EXPECT_EQ(run("local names = kemluautils.list_filenames('" + path.string() + "')\n"
                      "if names then table.sort(names) names = table.concat(names, ' ') end\n"
                      "assert(tostring(names) == '" + names + "', tostring(names))"), "") << path;
    };
    expect(dir, "file.txt second");
    expect(dir / "sublink", "");  // a link to a folder is followed; subfolders only: empty
    for (const fs::path &p : {dir / "nothing", dir / "file.txt", fs::path()})
        expect(p, "nil");
    hide_entry_types = true;
    expect(dir, ". .. fifo file.txt link.txt second sub sublink");
    hide_entry_types = false;
    fs::remove_all(dir);
}
