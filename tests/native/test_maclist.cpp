// The host MAC address service: the notations it accepts and rejects, list
// parsing and formatting, list editing, and running out of memory.
#include "support.h"

#include <cstring>
#include <vector>

using namespace std::string_literals;

#include "platform/maclist.h"

namespace {

using MacService = ServiceTest;

using Bytes = std::vector<unsigned>;

/* The bytes that text parses into, or an empty vector when it is rejected. */
Bytes parsed(const char *text)
{
    unsigned char mac[MAC_ADDR_LEN];
    std::memset(mac, 0x5a, sizeof mac);
    if (mac_from_string(text, mac) != 0) {
        for (unsigned char b : mac)
            EXPECT_EQ(b, 0x5a) << "a rejected text changed the value: " << text;
        return {};
    }
    return Bytes(mac, mac + MAC_ADDR_LEN);
}

/* The texts of a list's nodes, in order, joined with '|'. */
std::string texts(const MacAddrList *head)
{
    std::string out;
    for (const MacAddrList *n = head; n; n = n->next)
        out.append(out.empty() ? "" : "|").append(mac_to_string(n->mac));
    return out;
}

/* The texts maclist_parse gives, or "<null>"; frees the list. */
std::string parse_list(const char *text, const char *separators)
{
    MacAddrList *list = maclist_parse(text, separators);
    std::string out = list ? texts(list) : "<null>";
    maclist_free(&list);
    EXPECT_EQ(list, nullptr);
    return out;
}

/* A list of the given address texts, built with maclist_append. */
MacAddrList *build(std::initializer_list<const char *> items)
{
    MacAddrList *head = nullptr;
    for (const char *text : items) {
        unsigned char mac[MAC_ADDR_LEN];
        EXPECT_EQ(mac_from_string(text, mac), 0) << text;
        EXPECT_EQ(maclist_append(&head, mac), 0);
    }
    return head;
}

const unsigned char mac_a[MAC_ADDR_LEN] = {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
const unsigned char mac_b[MAC_ADDR_LEN] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
const unsigned char mac_c[MAC_ADDR_LEN] = {0x02, 0x00, 0x5e, 0x10, 0x00, 0x01};

}  // namespace

TEST_F(MacService, AcceptsEachNotationInEitherCase)
{
    const Bytes want = {0x0a, 0x1b, 0xc2, 0xd3, 0xe4, 0xf5};
    for (const char *text : {"0a:1b:c2:d3:e4:f5", "0A:1B:C2:D3:E4:F5", "0a-1b-c2-d3-e4-f5",
                             "0A-1b-C2-d3-E4-f5", "0a1bc2d3e4f5", "0A1BC2D3E4F5",
                             "0a1b.c2d3.e4f5", "0A1B.C2D3.E4F5"})
        EXPECT_EQ(parsed(text), want) << text;
    EXPECT_EQ(parsed("00:00:00:00:00:00"), Bytes(6, 0));
    EXPECT_EQ(parsed("ffffffffffff"), Bytes(6, 0xff));
}

TEST_F(MacService, RejectsNearMisses)
{
    const char *bad[] = {
        "", "aa:bb:cc:dd:ee", "aa:bb:cc:dd:ee:ff:00", "aa:bb:cc:dd:ee:f",
        "a:bb:cc:dd:ee:ff", "aa:b:cc:dd:ee:ff", "aa:bb:cc:dd:ee:fff",
        "aa:bb-cc:dd:ee:ff", "aa-bb-cc-dd-ee:ff",            // mixed separators
        "aa.bb.cc.dd.ee.ff", "aa bb cc dd ee ff", "aa_bb_cc_dd_ee_ff",
        "aabb:ccdd:eeff", "aabb-ccdd-eeff", "aabb.ccdd-eeff", "aabbcc.ddeeff",
        "aabbccddeef", "aabbccddeeff0", "aabb.ccdd.eef", "aabb.ccdd.eeff.",
        " aa:bb:cc:dd:ee:ff", "aa:bb:cc:dd:ee:ff ", "aa:bb:cc:dd:ee:ff\n", "\taabbccddeeff",
        "gg:bb:cc:dd:ee:ff", "aa:bb:cc:dd:ee:fg", "0xaabbccddeeff", "+a:bb:cc:dd:ee:ff",
        "aa::bb:cc:dd:ee:f", ":aa:bb:cc:dd:ee:f", "aa:bb:cc:dd:ee:ff:",
    };
    for (const char *text : bad)
        EXPECT_TRUE(parsed(text).empty()) << '"' << text << '"';
    unsigned char mac[MAC_ADDR_LEN];
    EXPECT_NE(mac_from_string(nullptr, mac), 0);
}

TEST_F(MacService, FormatsUpperCaseWithColonsInOneStaticBuffer)
{
    const char *first = mac_to_string(mac_a);
    EXPECT_STREQ(first, "AA:BB:CC:DD:EE:FF");
    const char *second = mac_to_string(mac_c);
    EXPECT_STREQ(second, "02:00:5E:10:00:01");
    EXPECT_EQ(first, second);  // the service's storage, overwritten by the next call
    EXPECT_EQ(mem_live_blocks(), 0u);
}

TEST_F(MacService, ParsesListsCutAtAnySeparatorOfTheSetOrGivesNull)
{
    const char *A = "AA:BB:CC:DD:EE:FF", *B = "00:11:22:33:44:55";
    struct Case {
        const char *text, *separators;
        std::string want;
    } cases[] = {
        {" aa:bb:cc:dd:ee:ff,001122334455 ;\t0200.5e10.0001 ", ",;", A + "|"s + B + "|02:00:5E:10:00:01"},
        // empty and blank pieces are skipped; white space may itself separate
        {",,aabbccddeeff, ,\n,001122334455,", ",", A + "|"s + B},
        {"aabbccddeeff 001122334455\n020000000001", " \n", A + "|"s + B + "|02:00:00:00:00:01"},
        // no separator (empty or null set): the whole trimmed text is one piece
        {"  aa-bb-cc-dd-ee-ff  ", "", A}, {"  aa-bb-cc-dd-ee-ff  ", nullptr, A},
        {"aabbccddeeff,AA:BB:CC:DD:EE:FF", ",", A + "|"s + A},  // duplicates stay
        // any bad piece, or no piece at all: null
        {"aabbccddeeff,001122334455,nope", ",", "<null>"},  // the last piece
        {"nope,aabbccddeeff", ",", "<null>"},               // the first
        {"aabbccddeeff;001122334455", ",", "<null>"},       // ';' is no separator here
        {"aa:bb:cc:dd:ee:ff", ":", "<null>"},               // separator inside the address
        {"aabb ccdd eeff", ",", "<null>"},                  // inner white space stays
        {"", ",", "<null>"}, {"  \t ", ",", "<null>"}, {",,, ,", ",", "<null>"}, {"", "", "<null>"},
        {nullptr, ",", "<null>"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(parse_list(c.text, c.separators), c.want)
            << '"' << (c.text ? c.text : "(null)") << "\" / \"" << (c.separators ? c.separators : "(null)") << '"';
}

TEST_F(MacService, JoinsWithTheSeparatorAndGivesEmptyTextForEmptyList)
{
    char *text = maclist_to_string(nullptr, ",");
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, "");
    mem_free(text, KEM_TAG);

    MacAddrList *list = build({"aabbccddeeff", "00-11-22-33-44-55", "0200.5e10.0001"});
    text = maclist_to_string(list, " <-> ");
    EXPECT_STREQ(text, "AA:BB:CC:DD:EE:FF <-> 00:11:22:33:44:55 <-> 02:00:5E:10:00:01");
    mem_free(text, KEM_TAG);
    for (const char *sep : {"", static_cast<const char *>(nullptr)}) {
        text = maclist_to_string(list, sep);
        EXPECT_STREQ(text, "AA:BB:CC:DD:EE:FF00:11:22:33:44:5502:00:5E:10:00:01");
        mem_free(text, KEM_TAG);
    }
    maclist_free(&list);
}

TEST_F(MacService, RemoveTakesEveryEqualNodeAndAppendingStillWorks)
{
    // equal nodes at the head, in the middle and at the end
    MacAddrList *list = build({"aabbccddeeff", "aabbccddeeff", "001122334455", "aabbccddeeff",
                               "020000000001", "aa:bb:cc:dd:ee:ff"});
    EXPECT_EQ(maclist_remove(&list, mac_a), 4);
    EXPECT_EQ(texts(list), "00:11:22:33:44:55|02:00:00:00:00:01");
    // appending after the old last node went must link to the new last node
    EXPECT_EQ(maclist_append(&list, mac_c), 0);
    EXPECT_EQ(maclist_remove(&list, mac_c), 1);
    EXPECT_EQ(maclist_append(&list, mac_a), 0);
    EXPECT_EQ(texts(list), "00:11:22:33:44:55|02:00:00:00:00:01|AA:BB:CC:DD:EE:FF");
    EXPECT_EQ(maclist_remove(&list, mac_c), 0);
    EXPECT_EQ(maclist_remove(&list, mac_b), 1);  // the head goes
    EXPECT_EQ(maclist_append(&list, mac_b), 0);
    EXPECT_EQ(texts(list), "02:00:00:00:00:01|AA:BB:CC:DD:EE:FF|00:11:22:33:44:55");
    maclist_free(&list);

    // removing the only address empties the list, which takes appends again
    list = build({"aabbccddeeff", "aabbccddeeff"});
    EXPECT_EQ(maclist_remove(&list, mac_a), 2);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(maclist_remove(&list, mac_a), 0);
    EXPECT_EQ(maclist_append(&list, mac_b), 0);
    EXPECT_EQ(texts(list), "00:11:22:33:44:55");
    maclist_free(&list);
    maclist_free(&list);  // an empty list is fine
    maclist_free(nullptr);
}

TEST_F(MacService, AFailedAppendOrJoinLeavesTheListWorking)
{
    // (every allocation point of parsing is in the central sweep)
    MacAddrList *list = build({"aabbccddeeff", "001122334455"});
    mem_fail_at(1, 0);
    EXPECT_EQ(maclist_append(&list, mac_c), -1);
    EXPECT_EQ(texts(list), "AA:BB:CC:DD:EE:FF|00:11:22:33:44:55");
    mem_fail_at(1, 0);
    EXPECT_EQ(maclist_append_unique(&list, mac_c), -1);
    EXPECT_EQ(maclist_append_unique(&list, mac_a), 0);  // present: nothing to allocate
    mem_fail_at(1, 0);
    EXPECT_EQ(maclist_to_string(list, ","), nullptr);
    mem_fail_off();
    EXPECT_EQ(maclist_append(&list, mac_c), 0);  // the list still works
    EXPECT_EQ(texts(list), "AA:BB:CC:DD:EE:FF|00:11:22:33:44:55|02:00:5E:10:00:01");
    maclist_free(&list);
}
