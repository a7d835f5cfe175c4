// The MAC address service: the notations it accepts and rejects, lists parsed
// at any separator of a set, and joined.
#include "support.h"

#include "platform/maclist.h"

#include <cstring>

namespace {

/* The text of the address that text parses into, or "-" when it is rejected. */
std::string parsed(const char *text)
{
    unsigned char mac[MAC_ADDR_LEN];
    std::memset(mac, 0x5a, sizeof mac);
    if (mac_from_string(text, mac) == 0)
        return mac_to_string(mac);
    EXPECT_EQ(std::string(mac, mac + 6), std::string(6, 0x5a)) << "a rejected text changed the value";
    return "-";
}

/* The texts of a list's nodes joined with '|', or "<null>". */
std::string texts(const MacAddrList *head)
{
    std::string out = head ? "" : "<null>";
    for (const MacAddrList *n = head; n; n = n->next)
        out += (out.empty() ? "" : "|") + std::string(mac_to_string(n->mac));
    return out;
}

using MacService = LuaTest;

}  // namespace

TEST_F(MacService, NotationsAndLists)
{
    for (const char *text : {"0a:1b:c2:d3:e4:F5", "0A-1b-C2-d3-E4-f5", "0a1bc2d3e4F5", "0A1B.c2d3.E4F5"})
        EXPECT_EQ(parsed(text), "0A:1B:C2:D3:E4:F5") << text;
    EXPECT_EQ(parsed("00:00:00:00:00:00"), "00:00:00:00:00:00");
    for (const char *bad : {"", "aa:bb:cc:dd:ee", "aa:bb:cc:dd:ee:ff:00", "a:bb:cc:dd:ee:ff", "aa:bb-cc:dd:ee:ff",
                            "aabb.ccdd-eeff", "aabbccddeef", "aabbccddeeff0", " aa:bb:cc:dd:ee:ff", "gg:bb:cc:dd:ee:ff"})
        EXPECT_EQ(parsed(bad), "-") << '"' << bad << '"';
    EXPECT_EQ(parsed(nullptr), "-");

    const char *lists[][3] = {
        {",,aabbccddeeff, ,\n,aabbccddeeff,", ",", "AA:BB:CC:DD:EE:FF|AA:BB:CC:DD:EE:FF"},  // duplicates stay
        {"aabbccddeeff 001122334455", " ", "AA:BB:CC:DD:EE:FF|00:11:22:33:44:55"},
        {"  aa-bb-cc-dd-ee-ff  ", "", "AA:BB:CC:DD:EE:FF"}, {"  aa-bb-cc-dd-ee-ff  ", nullptr, "AA:BB:CC:DD:EE:FF"},
        {"aabbccddeeff,nope", ",", "<null>"}, {"aabb ccdd eeff", ",", "<null>"}, {"", "", "<null>"}, {nullptr, ",", "<null>"},
    };
    for (auto &row : lists) {
        MacAddrList *list = maclist_parse(row[0], row[1]);
        EXPECT_EQ(texts(list), row[2]) << (row[0] ? row[0] : "(null)");
        maclist_free(&list);
        EXPECT_EQ(list, nullptr);
    }

    MacAddrList *list = maclist_parse("aabbccddeeff,001122334455,0200.5e10.0001", ",");
    for (const char *sep : {" <-> ", "", static_cast<const char *>(nullptr)}) {
        char *text = maclist_to_string(list, sep);
        EXPECT_EQ(std::string(text), sep && *sep ? "AA:BB:CC:DD:EE:FF <-> 00:11:22:33:44:55 <-> 02:00:5E:10:00:01"
                                                 : "AA:BB:CC:DD:EE:FF00:11:22:33:44:5502:00:5E:10:00:01");
        mem_free(text, KEM_TAG);
    }
    maclist_free(&list);
}
