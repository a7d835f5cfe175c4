// json2lua over the public JSONTestSuite (read from KEM_SHARED_DATA, never
// copied here): y_ documents with a top-level object or array parse into
// exactly one table, n_ documents fail with the stack as it was, i_ and
// transform documents may do either but leave nothing behind. Prints counts.
#include "support.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Tally {
    int accepted = 0;
    int refused = 0;
};

std::vector<fs::path> files_of(const fs::path &dir)
{
    std::vector<fs::path> files;
    for (const auto &entry : fs::directory_iterator(dir))
        if (entry.is_regular_file() && entry.path().extension() == ".json")
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::string contents(const fs::path &file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

/* A document whose first non-blank character opens a container. */
bool container_at_top(const std::string &text)
{
    size_t at = text.find_first_not_of(" \t\r\n");
    return at != std::string::npos && (text[at] == '[' || text[at] == '{');
}

}  // namespace

class JsonTestSuite : public LuaTest {
protected:
    fs::path root = fs::path(KEM_SHARED_DATA) / "JSONTestSuite";

    /* json2lua on one file with the stack proof; 0 or -1. */
    int parse_file(const fs::path &file)
    {
        std::string text = contents(file);
        lua_pushliteral(L, "below");
        int top = lua_gettop(L);
        int r = json2lua(L, text.c_str(), 1024);
        EXPECT_TRUE(r == 0 || r == -1) << file;
        EXPECT_EQ(lua_gettop(L), top + (r == 0 ? 1 : 0)) << file;
        if (r == 0) {
            EXPECT_EQ(lua_type(L, -1), LUA_TTABLE) << file;
        }
        lua_settop(L, top);
        EXPECT_STREQ(lua_tostring(L, -1), "below") << file;
        lua_pop(L, 1);
        EXPECT_TRUE(allocator_clean()) << file;
        return r;
    }
};

TEST_F(JsonTestSuite, ParsingFilesGiveTheExpectedOutcome)
{
    if (!fs::is_directory(root / "test_parsing"))
        GTEST_SKIP() << "JSONTestSuite not found at " << root;
    Tally y, y_scalar, n, i;
    for (const fs::path &file : files_of(root / "test_parsing")) {
        std::string name = file.filename().string();
        int r = parse_file(file);
        if (name.rfind("y_", 0) == 0) {
            if (container_at_top(contents(file))) {
                EXPECT_EQ(r, 0) << name;
                (r == 0 ? y.accepted : y.refused)++;
            } else {
                EXPECT_EQ(r, -1) << name << ": a top-level scalar is refused";
                (r == 0 ? y_scalar.accepted : y_scalar.refused)++;
            }
        } else if (name.rfind("n_", 0) == 0) {
            // where yajl differs from RFC 8259 (docs/json.md)
            EXPECT_EQ(r, name == "n_structure_whitespace_formfeed.json" ? 0 : -1) << name;
            (r == 0 ? n.accepted : n.refused)++;
        } else {
            (r == 0 ? i.accepted : i.refused)++;
        }
    }
    std::printf("JSONTestSuite test_parsing: y_ containers %d accepted, %d refused; "
                "y_ top-level scalars %d refused, %d accepted; n_ %d refused, %d accepted; "
                "i_ %d accepted, %d refused\n",
                y.accepted, y.refused, y_scalar.refused, y_scalar.accepted, n.refused,
                n.accepted, i.accepted, i.refused);
    EXPECT_GT(y.accepted + n.refused, 200);
}

TEST_F(JsonTestSuite, TransformFilesNeverLeaveAnythingBehind)
{
    if (!fs::is_directory(root / "test_transform"))
        GTEST_SKIP() << "JSONTestSuite not found at " << root;
    Tally t;
    for (const fs::path &file : files_of(root / "test_transform"))
        (parse_file(file) == 0 ? t.accepted : t.refused)++;
    std::printf("JSONTestSuite test_transform: %d accepted, %d refused\n", t.accepted,
                t.refused);
    EXPECT_GT(t.accepted + t.refused, 0);
}
