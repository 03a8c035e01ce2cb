// SHA-256 against the FIPS 180-4 examples, each fed whole and in pieces of odd sizes that
// end anywhere in a block.
#include "firmware/sha256.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

struct Sha256Case {
    const char* name;
    std::string text;
    int repeat;
    const char* hex;
};

std::string hexOf(const std::string& message, size_t firstPiece) {
    Sha256 hash{};
    sha256Start(&hash);
    for (size_t at = 0, piece = firstPiece; at < message.size(); at += piece, piece += 2) {
        sha256Add(&hash, message.data() + at, std::min(piece, message.size() - at));
    }
    uint8_t digest[SHA256_DIGEST_BYTES];
    sha256Finish(&hash, digest);
    char hex[SHA256_HEX_SIZE];
    sha256Hex(digest, hex);
    return hex;
}

class Sha256Test : public testing::TestWithParam<Sha256Case> {};

TEST_P(Sha256Test, GivesTheDigestWholeAndInPieces) {
    const Sha256Case& c = GetParam();
    std::string message;
    for (int i = 0; i < c.repeat; ++i) {
        message += c.text;
    }
    EXPECT_EQ(hexOf(message, message.size()), c.hex);
    EXPECT_EQ(hexOf(message, 1), c.hex);
    EXPECT_EQ(hexOf(message, 129), c.hex);  // pieces of unequal sizes over two blocks
}

INSTANTIATE_TEST_SUITE_P(
    Fips180, Sha256Test,
    testing::Values(
        Sha256Case{"Abc", "abc", 1,
                   "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        Sha256Case{"Empty", "", 1,
                   "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        Sha256Case{"Bits448", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 1,
                   "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        Sha256Case{"Bits896",
                   "abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnop"
                   "qklmnopqrlmnopqrsmnopqrstnopqrstu",
                   1, "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        // The padding's length field fits behind 55 bytes, not behind 56.
        Sha256Case{"Padding55", "a", 55,
                   "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        Sha256Case{"Padding56", "a", 56,
                   "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        Sha256Case{"OneBlock", "a", 64,
                   "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        Sha256Case{"A300", "a", 300,
                   "9835fa6bf4e20a9b9ea812506302e98982721a6cf8d2cae67af57129bf21ae90"},
        Sha256Case{"MillionA", "a", 1000000,
                   "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}),
    [](const testing::TestParamInfo<Sha256Case>& info) { return info.param.name; });

}  // namespace
