// The proof that a daemon knows its token, against values worked out elsewhere (FIPS 180-2 and
// RFC 4231 examples, Python's hmac module), and the daemon's /proof route, which needs no token.
#include "fake_backend.h"

#include "companion/cli.h"
#include "companion/http_server.h"
#include "companion/token_proof.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string hex(const companion::Sha256Digest& digest) {
    std::string out;
    for (const uint8_t b : digest) {
        static constexpr char kHex[] = "0123456789abcdef";
        out += kHex[b >> 4];
        out += kHex[b & 0x0F];
    }
    return out;
}

TEST(TokenProof, AgreesWithPublishedAndIndependentValues) {
    EXPECT_EQ(hex(companion::sha256("abc")),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // 56 bytes: the length no longer fits the first block.
    EXPECT_EQ(hex(companion::sha256("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")),
              "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    EXPECT_EQ(hex(companion::sha256(std::string(1000, 'a'))),
              "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3");
    EXPECT_EQ(hex(companion::hmacSha256("Jefe", "what do ya want for nothing?")),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    // A key longer than a block is hashed first.
    EXPECT_EQ(hex(companion::hmacSha256(std::string(100, 'k'), std::string(200, 'x'))),
              "e326f00ce14194bb85e2683fe9b1a78851753f77479303f94c2c3cd1998bdda3");
}

TEST(TokenProof, TheDaemonProvesItKnowsTheTokenWithoutBeingSentIt) {
    companion::testing::FakeBackend backend;
    std::string token;
    for (int i = 0; i < 4; ++i) {
        token += "0123456789abcdef";
    }
    companion::HttpServer server(backend, companion::ServerOptions{0, token});
    std::string error;
    ASSERT_TRUE(server.start(error)) << error;
    std::string answer;
    EXPECT_EQ(companion::httpRequest(server.port(), "GET",
                                     "/proof?nonce=00112233445566778899aabbccddeeff", "", "",
                                     answer, error),
              200)
        << error;
    EXPECT_EQ(nlohmann::json::parse(answer, nullptr, false)["proof"],
              "f17ba80ae650487a8d7367f4378649b744ba2ba223ab8d3a91e1257f2980a8fc");
    for (const char* path : {"/proof", "/proof?nonce=", "/proof?nonce=0011223344556677X",
                             "/proof?nonce=00112233", "/proof?nonce=ABCDEF0123456789ABCD"}) {
        EXPECT_EQ(companion::httpRequest(server.port(), "GET", path, "", "", answer, error), 400)
            << path;
    }
    server.stop();
}

}  // namespace
