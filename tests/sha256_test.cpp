// The test SHA-256 against the FIPS 180-4 example vectors, including inputs
// that end exactly at and just past a padding boundary, so the conformance
// comparisons rest on a checked digest.
#include <gtest/gtest.h>

#include <string>

#include "tests/sha256.h"

namespace {

std::string digest(const std::string& s) { return testutil::sha256_hex(s.data(), s.size()); }

TEST(Sha256, KnownVectors)
{
    EXPECT_EQ(digest(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(digest("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(digest("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrs"
                     "mnopqrstnopqrstu"),
              "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1");
}

TEST(Sha256, MillionAInPiecesOfOddSizes)
{
    testutil::Sha256 h;
    std::string chunk(997, 'a');
    size_t left = 1000000;
    while (left > 0) {
        size_t n = left < chunk.size() ? left : chunk.size();
        h.update(chunk.data(), n);
        left -= n;
    }
    EXPECT_EQ(h.hex_digest(), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
