// Fuzz target: MAC address texts and lists. Every address the parser accepts
// must format to the normal form and parse back to the same bytes; a list
// parse must free cleanly.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/host/mem_debug.h"
#include "platform/maclist.h"
#include "platform/mem.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string input(reinterpret_cast<const char *>(data), size);
    std::string text = input.substr(0, input.find('\0'));

    unsigned char mac[MAC_ADDR_LEN] = {0}, again[MAC_ADDR_LEN] = {0};
    if (mac_from_string(text.c_str(), mac) == 0) {
        const char *normal = mac_to_string(mac);
        if (std::strlen(normal) != 17 || mac_from_string(normal, again) != 0 ||
            std::memcmp(mac, again, MAC_ADDR_LEN) != 0)
            std::abort();
    }

    const char *separators = text.size() < input.size() ? input.c_str() + text.size() + 1 : ",; ";
    MacAddrList *list = maclist_parse(text.c_str(), separators);
    if (list) {
        char *joined = maclist_to_string(list, ",");
        MacAddrList *reparsed = joined ? maclist_parse(joined, ",") : nullptr;
        if (joined && !reparsed)
            std::abort();  // the service's own output must parse
        maclist_free(&reparsed);
        mem_free(joined, KEM_TAG);
        maclist_free(&list);
    }
    if (mem_live_blocks() != 0)
        std::abort();
    return 0;
}
