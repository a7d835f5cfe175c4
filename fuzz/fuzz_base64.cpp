// Base64 service against a plain reference: any input decodes exactly as a
// one-character-at-a-time decoder of the same rules decodes it (or both
// refuse it), and encoding any input decodes back to it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "platform/b64.h"
#include "platform/mem.h"

namespace {

const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

/* The decoding by the documented rules, written for clarity. */
std::optional<std::string> reference(const uint8_t *data, size_t size)
{
    std::string significant;
    for (size_t i = 0; i < size; ++i)
        if (!std::strchr(" \t\n\v\f\r", data[i]) || data[i] == '\0')
            significant += static_cast<char>(data[i]);
    size_t pads = 0;
    while (pads < significant.size() && significant[significant.size() - 1 - pads] == '=')
        ++pads;
    std::string body = significant.substr(0, significant.size() - pads);
    size_t rest = body.size() % 4;
    if (rest == 1 || (pads && (rest == 0 || pads != 4 - rest)))
        return std::nullopt;
    std::string out;
    uint32_t bits = 0;
    int count = 0;
    for (char c : body) {
        const char *at = c ? std::strchr(alphabet, c) : nullptr;
        if (!at)
            return std::nullopt;
        bits = bits << 6 | static_cast<uint32_t>(at - alphabet);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out += static_cast<char>(bits >> count);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    size_t length = 0;
    auto *decoded = static_cast<char *>(
        b64_decode_alloc(0, &length, reinterpret_cast<const char *>(data), size, 1));
    std::optional<std::string> expected = reference(data, size);
    if (!decoded != !expected || (decoded && std::string(decoded, length) != *expected))
        std::abort();
    mem_free(decoded, KEM_TAG);

    char *text = b64_encode_alloc(0, &length, data, size, 0, 0);
    if (!text)
        std::abort();
    auto *back = static_cast<char *>(b64_decode_alloc(0, &length, text, std::strlen(text), 1));
    if (!back || length != size || std::memcmp(back, data, size) != 0)
        std::abort();
    mem_free(back, KEM_TAG);
    mem_free(text, KEM_TAG);
    return 0;
}
