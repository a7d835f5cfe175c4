// String list service: splitting on separator sets, appending, joining,
// and failures that leave the list as it was.
#include "support.h"

#include "platform/strlist.h"

#include <vector>

namespace {

using Strings = std::vector<std::string>;

/* The texts of a list, "<null>" for a node without text. */
Strings texts(const StringList *list)
{
    Strings out;
    for (; list; list = list->next)
        out.push_back(list->text ? list->text : "<null>");
    return out;
}

/* The pieces strlist_split makes, or {"<no list>"}; frees the list. */
Strings split(const char *text, const char *separators)
{
    StringList *list = strlist_split(text, separators);
    Strings out = list ? texts(list) : Strings{"<no list>"};
    strlist_free(&list);
    EXPECT_EQ(list, nullptr);
    return out;
}

/* The joined text of pieces (built with strlist_append), or "<null>". */
std::string join(const Strings &pieces, const char *separator)
{
    StringList *list = nullptr;
    for (const auto &p : pieces)
        EXPECT_EQ(strlist_append(&list, p.c_str()), 0);
    char *text = strlist_join(list, separator);
    strlist_free(&list);
    std::string out = text ? text : "<null>";
    mem_free(text, KEM_TAG);
    return out;
}

}  // namespace

using StringListService = ServiceTest;

TEST_F(StringListService, SplitsAtEverySeparatorCharacterWithoutEmptyPieces)
{
    // (the script-level cases are in tests/lua/test_text.lua)
    EXPECT_EQ(split("x\xff" "y\x80z", "\xff\x80"), (Strings{"x", "y", "z"}));
    EXPECT_EQ(split("a b", nullptr), (Strings{"a b"}));
    EXPECT_EQ(split(nullptr, ","), Strings{"<no list>"});

    std::string big(100000, 'x');  // a piece larger than any chunk
    EXPECT_EQ(split(("a," + big + ",b," + big).c_str(), ","), (Strings{"a", big, "b", big}));
}

TEST_F(StringListService, AppendsInOrderAfterASplitAndCopiesTheText)
{
    StringList *list = strlist_split("a,b", ",");
    char text[] = "c";
    EXPECT_EQ(strlist_append(&list, text), 0);
    text[0] = 'X';
    EXPECT_EQ(strlist_append(&list, "d"), 0);
    EXPECT_EQ(texts(list), (Strings{"a", "b", "c", "d"}));
    EXPECT_EQ(strlist_append(&list, nullptr), -1);
    EXPECT_EQ(strlist_append(nullptr, "x"), -1);
    strlist_free(&list);
}

TEST_F(StringListService, JoinsWithTheSeparatorBetweenPieces)
{
    EXPECT_EQ(join({"a"}, ","), "a");
    EXPECT_EQ(join({"", "", ""}, ","), ",,");
    EXPECT_EQ(join({"a", "b"}, nullptr), "ab");
}

TEST_F(StringListService, FailedAppendOrJoinLeavesTheListAsItWas)
{
    // (every allocation point of split and join is in the central sweep)
    StringList *list = strlist_split("a,b", ",");
    mem_fail_at(1, 0);
    EXPECT_EQ(strlist_append(&list, std::string(2000, 'c').c_str()), -1);  // needs room
    EXPECT_EQ(texts(list), (Strings{"a", "b"}));
    mem_fail_at(1, 0);
    EXPECT_EQ(strlist_join(list, ","), nullptr);
    mem_fail_off();
    strlist_free(&list);
}
