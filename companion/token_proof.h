// Proof that a server knows the access token without sending it: HMAC-SHA-256 keyed with the
// token (its hex text as bytes) over kProofContext followed by a nonce the asker chose. A page
// left open across a restart asks for it before it sends its token to whatever now answers on
// its port; answering tells nothing about the token.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace companion {

inline constexpr const char* kProofPath = "/proof";  // GET /proof?nonce=HEX, no token needed
inline constexpr std::string_view kProofContext = "tessarin-companion proof ";
inline constexpr size_t kMinNonceChars = 16;  // 64 bits
inline constexpr size_t kMaxNonceChars = 128;

using Sha256Digest = std::array<uint8_t, 32>;

// [any-thread] SHA-256 and HMAC over it, from OpenSSL's libcrypto.
Sha256Digest sha256(std::string_view data);
Sha256Digest hmacSha256(std::string_view key, std::string_view message);

// [any-thread] kMinNonceChars..kMaxNonceChars lowercase hex digits.
bool wellFormedNonce(std::string_view nonce);
// [any-thread] The proof for nonce, as 64 lowercase hex digits.
std::string tokenProof(std::string_view token, std::string_view nonce);

}  // namespace companion
