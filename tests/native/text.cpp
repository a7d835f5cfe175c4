// Text services: the Base64 codec (RFC 4648 vectors, white space, what it
// refuses, its spare byte), SHA-256 and the string list service.
#include "support.h"

#include "platform/b64.h"
#include "platform/hash.h"
#include "platform/host/hash_debug.h"
#include "platform/strlist.h"

namespace {

/* The encoding of s, or "<null>"; checks the reported length. */
std::string encode(const std::string &s)
{
    size_t length = 99;
    char *text = b64_encode_alloc(B64_STANDARD, &length, s.data(), s.size(), 0, 0);
    std::string out = text ? text : "<null>";
    EXPECT_EQ(length, text ? out.size() : 0);
    mem_free(text, KEM_TAG);
    return out;
}

/* The decoded bytes of text, or "<null>"; checks the zeroed spare byte. */
std::string decode(const std::string &text)
{
    size_t length = 99;
    auto *bytes = static_cast<char *>(b64_decode_alloc(B64_STANDARD, &length, text.data(), text.size(), 1));
    std::string out = bytes ? std::string(bytes, length) : "<null>";
    EXPECT_TRUE(bytes ? bytes[length] == '\0' : length == 0) << text;
    mem_free(bytes, KEM_TAG);
    return out;
}

/* The texts of a list, "<null>" for a node without text, "<no list>" for none. */
std::string texts(const StringList *list)
{
    std::string out = list ? "" : "<no list>";
    for (; list; list = list->next)
        out += (out.empty() ? "" : "|") + std::string(list->text ? list->text : "<null>");
    return out;
}

/* The pieces strlist_split makes; frees the list. */
std::string split(const char *text, const char *separators)
{
    StringList *list = strlist_split(text, separators);
    std::string out = texts(list);
    strlist_free(&list);
    EXPECT_EQ(list, nullptr);
    return out;
}

using TextService = LuaTest;

}  // namespace

/* FIPS 180-4 examples and the lengths around the padding's block boundaries,
   through the way chosen for this processor (the SHA instructions where it
   has them) and through the portable rounds. */
TEST(Hash, Sha256VectorsAndPaddingBoundaries)
{
    const std::pair<std::string, const char *> rows[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {std::string(119, 'a'), "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
        {std::string(120, 'a'), "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (int portable : {0, 1}) {
        hash_sha256_portable(portable);
        for (const auto &[input, expected] : rows) {
            unsigned char digest[HASH_SHA256_SIZE];
            ASSERT_EQ(hash_sha256(input.data(), input.size(), digest), 0);
            char hex[2 * HASH_SHA256_SIZE + 1];
            for (int i = 0; i < HASH_SHA256_SIZE; ++i)
                std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
            EXPECT_STREQ(hex, expected) << input.size() << " bytes, portable " << portable;
        }
    }
    hash_sha256_portable(0);
    unsigned char digest[HASH_SHA256_SIZE];
    EXPECT_NE(hash_sha256(nullptr, 1, digest), 0);
    EXPECT_EQ(hash_sha256(nullptr, 0, digest), 0);
}

TEST_F(TextService, Base64VectorsWhiteSpaceAndRefusals)
{
    const char *vectors[][3] = {{"", "", ""}, {"f", "Zg==", "Zg"}, {"fo", "Zm8=", "Zm8"}, {"foo", "Zm9v", "Zm9v"},
                                {"foob", "Zm9vYg==", "Zm9vYg"}, {"fooba", "Zm9vYmE=", "Zm9vYmE"}};
    for (auto &v : vectors) {
        EXPECT_EQ(encode(v[0]), v[1]);
        EXPECT_EQ(decode(v[1]), v[0]);
        EXPECT_EQ(decode(v[2]), v[0]);
    }
    std::string all;  // every digit value
    for (int v = 0; v < 64; v += 4)
        all += {char(v << 2 | (v + 1) >> 4), char((v + 1) << 4 | (v + 2) >> 2), char((v + 2) << 6 | (v + 3))};
    EXPECT_EQ(encode(all), "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
    const char *same[][2] = {{"Zm9v\nYmFy\n", "foobar"}, {" Z m 9 v ", "foo"}, {"\tZm9vYg=\v=\f\r", "foob"},
                             {" \r\n\t", ""}, {"QR==", "A"}, {"QUJ=", "AB"}};  // pad bits that are not zero pass
    for (auto &s : same)
        EXPECT_EQ(decode(s[0]), s[1]) << s[0];
    for (const char *text : {"Zm9v!", "Zm9v-_", "Zm9v\x80", "Zm9\xffv", "Zg=a", "=Zg=", "Zg===", "Zm9v=", "Zg==Zg==",
                             "Zm9vYg=", "Z=", "====", "Z", "Zm9vY", "Zm9vYmFyZ"})
        EXPECT_EQ(decode(text), "<null>") << text;
    EXPECT_EQ(decode(std::string("Zm\0v", 4)), "<null>");

    EXPECT_EQ(b64_encode_alloc(1, nullptr, "a", 1, 0, 0), nullptr);
    EXPECT_EQ(b64_encode_alloc(0, nullptr, "a", 1, 76, 0), nullptr);
    EXPECT_EQ(b64_encode_alloc(0, nullptr, "a", 1, 0, 1), nullptr);
    EXPECT_EQ(b64_encode_alloc(0, nullptr, nullptr, 1, 0, 0), nullptr);
    EXPECT_EQ(b64_encode_alloc(0, nullptr, "a", SIZE_MAX / 4 * 3, 0, 0), nullptr);
    EXPECT_EQ(b64_decode_alloc(1, nullptr, "Zg==", 4, 1), nullptr);
    EXPECT_EQ(b64_decode_alloc(0, nullptr, nullptr, 4, 1), nullptr);
    EXPECT_EQ(b64_decode_alloc(0, nullptr, "Zm9v", 4, SIZE_MAX), nullptr);
    char *empty = b64_encode_alloc(0, nullptr, nullptr, 0, 0, 0);
    EXPECT_STREQ(empty, "");
    mem_free(empty, KEM_TAG);
}

TEST_F(TextService, StringListsSplitAppendAndJoin)
{
    std::string big(100000, 'x');  // a piece larger than any chunk
    const char *rows[][3] = {
        {";;a,,b;,", ",;", "a|b"}, {"a b", "", "a b"}, {"a b", nullptr, "a b"}, {"x\xff" "y\x80z", "\xff\x80", "x|y|z"},
        {"", ",", "<no list>"}, {nullptr, ",", "<no list>"},
    };
    for (auto &row : rows)
        EXPECT_EQ(split(row[0], row[1]), row[2]) << (row[0] ? row[0] : "(null)");
    EXPECT_EQ(split(("a," + big + ",b").c_str(), ","), "a|" + big + "|b");

    StringList *list = strlist_split("a,b", ",");
    char text[] = "c";
    EXPECT_EQ(strlist_append(&list, text), 0);
    text[0] = 'X';  // the list keeps its own copy
    EXPECT_EQ(strlist_append(&list, ""), 0);
    EXPECT_EQ(strlist_append(&list, nullptr), -1);
    EXPECT_EQ(strlist_append(nullptr, "x"), -1);
    mem_fail_at(1, 0);
    EXPECT_EQ(strlist_append(&list, big.c_str()), -1);
    EXPECT_EQ(texts(list), "a|b|c|");
    for (const auto &[separator, want] : {std::pair<const char *, const char *>{", ", "a, b, c, "}, {nullptr, "abc"}}) {
        char *joined = strlist_join(list, separator);
        EXPECT_STREQ(joined, want);
        mem_free(joined, KEM_TAG);
    }
    mem_fail_at(1, 0);
    EXPECT_EQ(strlist_join(list, ","), nullptr);
    strlist_free(&list);
}
