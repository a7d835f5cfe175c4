// Fuzz target: call date and duration texts. The input is split at its first
// NUL into a date and a duration; a valid pair must round-trip through the
// ISO text without leaving a block behind.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kemluautils.h"
#include "platform/host/mem_debug.h"
#include "platform/mem.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static bool zoned = (setenv("TZ", "Europe/Berlin", 1), tzset(), true);
    (void)zoned;
    std::string input(reinterpret_cast<const char *>(data), size);
    std::string date = input.substr(0, input.find('\0'));
    const char *duration = nullptr;
    if (date.size() < input.size())
        duration = input.c_str() + date.size() + 1;

    time_t t = 0;
    int checked = unixtimefromcall(date.c_str(), duration, nullptr);
    int converted = unixtimefromcall(date.c_str(), duration, &t);
    if (checked != converted)
        std::abort();  // validation alone must agree with conversion
    if (converted == 0) {
        char *text = unixtime2iso8601(t);
        mem_free(text, KEM_TAG);
    }
    if (mem_live_blocks() != 0)
        std::abort();
    return 0;
}
