#include "companion/token_proof.h"

#include <algorithm>

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

namespace companion {

Sha256Digest sha256(std::string_view data) {
    Sha256Digest digest{};
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest.data());
    return digest;
}

Sha256Digest hmacSha256(std::string_view key, std::string_view message) {
    Sha256Digest digest{};
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest.data(),
         &length);
    return digest;
}

bool wellFormedNonce(std::string_view nonce) {
    return nonce.size() >= kMinNonceChars && nonce.size() <= kMaxNonceChars &&
           std::all_of(nonce.begin(), nonce.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::string tokenProof(std::string_view token, std::string_view nonce) {
    std::string message(kProofContext);
    message.append(nonce);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (const uint8_t b : hmacSha256(token, message)) {
        hex += kHex[b >> 4];
        hex += kHex[b & 0x0F];
    }
    return hex;
}

}  // namespace companion
