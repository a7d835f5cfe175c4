/*
 * Host Base64 codec: RFC 4648 standard alphabet with padding.
 *
 * Table driven: the encoder turns each 12 input bits into two characters at
 * once; the decoder turns each run of four alphabet characters into three
 * bytes with four table look-ups, and falls back to one character at a time
 * around white space, padding and the end of the text.
 *
 * Caveats: the decoder accepts non-zero pad bits ("QR==" decodes as "QQ==")
 * and refuses text after the padding, including a second padded group.
 */
#include "platform/b64.h"
#include "platform/mem.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

/* Two characters for every 12-bit value, high six bits first. */
constexpr std::array<char, 8192> pair_table = [] {
    std::array<char, 8192> t{};
    for (int v = 0; v < 4096; ++v) {
        t[2 * v] = alphabet[v >> 6];
        t[2 * v + 1] = alphabet[v & 63];
    }
    return t;
}();

/* Character classes beside the 64 digit values. */
constexpr uint8_t space = 64, pad = 65, invalid = 66;

constexpr std::array<uint8_t, 256> class_table = [] {
    std::array<uint8_t, 256> t{};
    for (auto &c : t)
        c = invalid;
    for (int v = 0; v < 64; ++v)
        t[static_cast<unsigned char>(alphabet[v])] = static_cast<uint8_t>(v);
    for (unsigned char c : {' ', '\t', '\n', '\v', '\f', '\r'})
        t[c] = space;
    t['='] = pad;
    return t;
}();

/* The digit value shifted into place for each position of a group of four;
   bit 24 marks a character that is not a digit. */
constexpr uint32_t not_digit = 1u << 24;

constexpr std::array<uint32_t, 256> shifted(int shift)
{
    std::array<uint32_t, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[c] = class_table[c] < 64 ? static_cast<uint32_t>(class_table[c]) << shift : not_digit;
    return t;
}
constexpr auto d0 = shifted(18), d1 = shifted(12), d2 = shifted(6), d3 = shifted(0);

/* Encodes size bytes into out (room for 4 * ceil(size / 3) characters). */
void encode(const unsigned char *in, size_t size, char *out)
{
    for (; size >= 3; size -= 3, in += 3, out += 4) {
        uint32_t v = static_cast<uint32_t>(in[0]) << 16 | static_cast<uint32_t>(in[1]) << 8 | in[2];
        std::memcpy(out, &pair_table[2 * (v >> 12)], 2);
        std::memcpy(out + 2, &pair_table[2 * (v & 0xfff)], 2);
    }
    if (size == 0)
        return;
    uint32_t v = static_cast<uint32_t>(in[0]) << 16 | (size == 2 ? static_cast<uint32_t>(in[1]) << 8 : 0);
    out[0] = alphabet[v >> 18];
    out[1] = alphabet[(v >> 12) & 63];
    out[2] = size == 2 ? alphabet[(v >> 6) & 63] : '=';
    out[3] = '=';
}

/* Decoding state: the digits of the group in progress and the write position. */
struct Decoder {
    unsigned char *out;
    uint32_t bits = 0;
    int digits = 0;
};

/* Decodes whole groups of four digits from text[*i]; stops before anything else. */
void decode_groups(Decoder &d, const unsigned char *text, size_t length, size_t *i)
{
    size_t k = *i;
    unsigned char *w = d.out;
    for (; k + 4 <= length; k += 4) {
        uint32_t v = d0[text[k]] | d1[text[k + 1]] | d2[text[k + 2]] | d3[text[k + 3]];
        if (v & not_digit)
            break;
        w[0] = static_cast<unsigned char>(v >> 16);
        w[1] = static_cast<unsigned char>(v >> 8);
        w[2] = static_cast<unsigned char>(v);
        w += 3;
    }
    d.out = w;
    *i = k;
}

/* Decodes the text up to its padding; false on a character outside the alphabet. */
bool decode_digits(Decoder &d, const unsigned char *text, size_t length, size_t *i)
{
    while (*i < length) {
        if (d.digits == 0)
            decode_groups(d, text, length, i);
        if (*i == length)
            break;
        uint8_t c = class_table[text[*i]];
        if (c == pad)
            return true;
        if (c == invalid)
            return false;
        ++*i;
        if (c == space)
            continue;
        d.bits = d.bits << 6 | c;
        if (++d.digits == 4) {
            d.out[0] = static_cast<unsigned char>(d.bits >> 16);
            d.out[1] = static_cast<unsigned char>(d.bits >> 8);
            d.out[2] = static_cast<unsigned char>(d.bits);
            d.out += 3;
            d.bits = 0;
            d.digits = 0;
        }
    }
    return true;
}

/* Checks the padding and what follows it, and writes the last partial group. */
bool finish(Decoder &d, const unsigned char *text, size_t length, size_t i)
{
    int pads = 0;
    for (; i < length; ++i) {
        uint8_t c = class_table[text[i]];
        if (c == pad)
            ++pads;
        else if (c != space)
            return false;
    }
    if (pads != 0 && (d.digits < 2 || pads != 4 - d.digits))
        return false;
    if (d.digits == 1)
        return false; /* one digit holds fewer than eight bits */
    if (d.digits == 2) {
        *d.out++ = static_cast<unsigned char>(d.bits >> 4);
    } else if (d.digits == 3) {
        *d.out++ = static_cast<unsigned char>(d.bits >> 10);
        *d.out++ = static_cast<unsigned char>(d.bits >> 2);
    }
    return true;
}

}  // namespace

extern "C" {

char *b64_encode_alloc(int32_t variant, size_t *out_len, const void *data, size_t size,
                       size_t line_length, int32_t flags)
{
    if (out_len)
        *out_len = 0;
    if (variant != B64_STANDARD || line_length != 0 || flags != 0 || (!data && size))
        return nullptr;
    if (size / 3 >= (SIZE_MAX - 5) / 4)
        return nullptr;
    size_t encoded = (size + 2) / 3 * 4;
    auto *out = static_cast<char *>(mem_malloc(encoded + 1, KEM_TAG));
    if (!out)
        return nullptr;
    if (size)
        encode(static_cast<const unsigned char *>(data), size, out);
    out[encoded] = '\0';
    if (out_len)
        *out_len = encoded;
    return out;
}

void *b64_decode_alloc(int32_t variant, size_t *out_len, const char *text, size_t length,
                       size_t spare)
{
    if (out_len)
        *out_len = 0;
    if (variant != B64_STANDARD || (!text && length))
        return nullptr;
    size_t room = length / 4 * 3 + 2; /* white space only makes it less */
    if (spare > SIZE_MAX - room)
        return nullptr;
    auto *buffer = static_cast<unsigned char *>(mem_malloc(room + spare, KEM_TAG));
    if (!buffer)
        return nullptr;
    const auto *in = reinterpret_cast<const unsigned char *>(text);
    Decoder d{buffer};
    size_t i = 0;
    if (!decode_digits(d, in, length, &i) || !finish(d, in, length, i)) {
        mem_free(buffer, KEM_TAG);
        return nullptr;
    }
    size_t decoded = static_cast<size_t>(d.out - buffer);
    std::memset(d.out, 0, spare);
    if (out_len)
        *out_len = decoded;
    return buffer;
}

}  // extern "C"
