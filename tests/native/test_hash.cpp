// SHA-256 service: the FIPS 180-4 example messages, the empty message,
// and every length across the 55/56/64-byte block boundaries.
#include "support.h"

#include "platform/hash.h"


namespace {

/* The hex digest of size bytes at data. */
std::string sha256_hex(const void *data, size_t size)
{
    unsigned char digest[HASH_SHA256_SIZE];
    EXPECT_EQ(hash_sha256(data, size, digest), 0);
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : digest) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string sha256_hex(const std::string &s)
{
    return sha256_hex(s.data(), s.size());
}

}  // namespace

TEST(HashService, Fips180ExampleMessages)
{
    EXPECT_EQ(sha256_hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256_hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(sha256_hex("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnop"
                         "jklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu"),
              "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
    EXPECT_EQ(sha256_hex(std::string(1000000, 'a')),
              "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
    EXPECT_EQ(sha256_hex("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(sha256_hex(nullptr, 0), sha256_hex("", 0));
    EXPECT_TRUE(allocator_clean());
}

TEST(HashService, EveryPrefixLengthAcrossBlockBoundariesAndNullArguments)
{
    // golden: SHA-256 over the digests of the 201 prefixes of bytes i * 7
    std::string s, digests;
    for (int i = 0; i < 200; ++i)
        s += static_cast<char>(i * 7);  // NUL and high bytes included
    for (size_t n = 0; n <= s.size(); ++n) {
        unsigned char digest[HASH_SHA256_SIZE];
        ASSERT_EQ(hash_sha256(s.data(), n, digest), 0);
        digests.append(reinterpret_cast<const char *>(digest), sizeof digest);
    }
    EXPECT_EQ(sha256_hex(digests), "c43614ca86d050b81500ab839e2b7e83381ef396e722c27d3e537ab57268e893");

    unsigned char digest[HASH_SHA256_SIZE];
    EXPECT_NE(hash_sha256(nullptr, 1, digest), 0);
    EXPECT_NE(hash_sha256("a", 1, nullptr), 0);
}
