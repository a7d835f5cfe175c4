// Base64 service: RFC 4648 vectors, white space, what the decoder refuses,
// its spare bytes, argument values and random round trips.
#include "support.h"

#include "platform/b64.h"

#include <random>

namespace {

/* The encoding of s, or "<null>"; checks the reported length and frees. */
std::string encode(const std::string &s)
{
    size_t length = 99;
    char *text = b64_encode_alloc(B64_STANDARD, &length, s.data(), s.size(), 0, 0);
    if (!text) {
        EXPECT_EQ(length, 0u);
        return "<null>";
    }
    std::string out(text);
    EXPECT_EQ(out.size(), length);
    mem_free(text, KEM_TAG);
    return out;
}

/* The decoded bytes of text, or "<null>"; checks the zeroed spare byte. */
std::string decode(const std::string &text)
{
    size_t length = 99;
    auto *bytes = static_cast<char *>(b64_decode_alloc(B64_STANDARD, &length, text.data(), text.size(), 1));
    if (!bytes) {
        EXPECT_EQ(length, 0u);
        return "<null>";
    }
    std::string out(bytes, length);
    EXPECT_EQ(bytes[length], '\0');
    mem_free(bytes, KEM_TAG);
    return out;
}

}  // namespace

using Base64Service = ServiceTest;

TEST_F(Base64Service, Rfc4648VectorsPaddedAndUnpadded)
{
    const char *vectors[][3] = {
        {"", "", ""},           {"f", "Zg==", "Zg"},         {"fo", "Zm8=", "Zm8"},
        {"foo", "Zm9v", "Zm9v"}, {"foob", "Zm9vYg==", "Zm9vYg"}, {"fooba", "Zm9vYmE=", "Zm9vYmE"},
        {"foobar", "Zm9vYmFy", "Zm9vYmFy"},
    };
    for (auto &v : vectors) {
        EXPECT_EQ(encode(v[0]), v[1]);
        EXPECT_EQ(decode(v[1]), v[0]);
        EXPECT_EQ(decode(v[2]), v[0]);
    }
    // every digit value, both ends of the alphabet
    EXPECT_EQ(encode(std::string("\x00\x10\x83\x10\x51\x87\x20\x92\x8b\x30\xd3\x8f\x41\x14\x93\x51\x55"
                                 "\x97\x61\x96\x9b\x71\xd7\x9f\x82\x18\xa3\x92\x59\xa7\xa2\x9a\xab\xb2\xdb"
                                 "\xaf\xc3\x1c\xb3\xd3\x5d\xb7\xe3\x9e\xbb\xf3\xdf\xbf",
                                 48)),
              "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
    EXPECT_EQ(decode("+/+/"), "\xfb\xff\xbf");
}

TEST_F(Base64Service, DecoderSkipsAsciiWhiteSpaceAnywhere)
{
    EXPECT_EQ(decode("Zm9v\nYmFy\n"), "foobar");
    EXPECT_EQ(decode("Zm9v\r\nYmE=\r\n"), "fooba");
    EXPECT_EQ(decode(" Z m 9 v "), "foo");
    EXPECT_EQ(decode("\tZm9vYg=\v=\f"), "foob");
    EXPECT_EQ(decode(" \r\n\t"), "");
}

TEST_F(Base64Service, DecoderRefusesOtherCharactersMisplacedPaddingAndImpossibleLengths)
{
    const char *refused[] = {
        "Zm9v!", "Zm9v-_", "Zm9v\x80", "Zm9\xffv", "Zm9vYmFy.",   // outside the alphabet
        "Zg=a", "=Zg=", "Zg===", "Zm9v=", "Zm9v====", "Zg==Zg==", // padding out of place
        "Zm9vYg=", "Z=", "Z==", "====", "=",                       // padding of the wrong size
        "Z", "Zm9vY", "Zm9vYmFyZ",                                  // one digit holds no byte
    };
    for (const char *text : refused)
        EXPECT_EQ(decode(text), "<null>") << text;
    EXPECT_EQ(decode(std::string("Zm\0v", 4)), "<null>");
    EXPECT_EQ(decode("QR=="), "A");  // pad bits that are not zero are ignored
    EXPECT_EQ(decode("QUJ="), "AB");
}

TEST_F(Base64Service, FixedArgumentsAndSpareBytes)
{
    EXPECT_EQ(b64_encode_alloc(1, nullptr, "a", 1, 0, 0), nullptr);
    EXPECT_EQ(b64_encode_alloc(0, nullptr, "a", 1, 76, 0), nullptr);
    EXPECT_EQ(b64_encode_alloc(0, nullptr, "a", 1, 0, 1), nullptr);
    EXPECT_EQ(b64_encode_alloc(0, nullptr, nullptr, 1, 0, 0), nullptr);
    EXPECT_EQ(b64_decode_alloc(1, nullptr, "Zg==", 4, 1), nullptr);
    EXPECT_EQ(b64_decode_alloc(0, nullptr, nullptr, 4, 1), nullptr);

    char *empty = b64_encode_alloc(0, nullptr, nullptr, 0, 0, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_STREQ(empty, "");
    mem_free(empty, KEM_TAG);

    size_t length = 0;
    auto *bytes = static_cast<unsigned char *>(b64_decode_alloc(0, &length, "Zm9v", 4, 7));
    ASSERT_NE(bytes, nullptr);
    ASSERT_EQ(length, 3u);
    for (size_t i = 3; i < 10; ++i)
        EXPECT_EQ(bytes[i], 0) << i;
    mem_free(bytes, KEM_TAG);
    EXPECT_EQ(b64_decode_alloc(0, &length, "Zm9v", 4, SIZE_MAX), nullptr);
}

TEST_F(Base64Service, RandomBinaryRoundTripsWithAndWithoutWhiteSpace)
{
    std::mt19937 random(1630);
    for (int round = 0; round < 2000; ++round) {
        std::string data(random() % 200, '\0');
        for (auto &c : data)
            c = static_cast<char>(random());
        std::string coded = encode(data);
        ASSERT_EQ(coded.size(), (data.size() + 2) / 3 * 4);
        ASSERT_EQ(decode(coded), data) << coded;
        std::string spaced;
        for (char c : coded) {
            if (random() % 5 == 0)
                spaced += " \t\r\n"[random() % 4];
            if (c != '=' || round % 2 == 0)  // drop the padding every other round
                spaced += c;
        }
        ASSERT_EQ(decode(spaced), data) << spaced;
    }
}
