#include "Crypto.h"

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

#include <vector>

namespace onvifc {

std::string Base64Encode(const std::string& bytes) {
    std::vector<unsigned char> out(4 * ((bytes.size() + 2) / 3) + 1);
    const int n = EVP_EncodeBlock(out.data(), reinterpret_cast<const unsigned char*>(bytes.data()),
                                  static_cast<int>(bytes.size()));
    return std::string(reinterpret_cast<const char*>(out.data()), static_cast<std::size_t>(n));
}

std::string Sha1(const std::string& bytes) {
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
    return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

std::string RandomBytes(std::size_t count) {
    std::string out(count, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), static_cast<int>(count)) != 1) return {};
    return out;
}

std::string Hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        out += digits[static_cast<unsigned char>(c) >> 4];
        out += digits[static_cast<unsigned char>(c) & 15];
    }
    return out;
}

std::string HexDigest(const std::string& algorithm, const std::string& text) {
    const EVP_MD* md = algorithm == "MD5" ? EVP_md5() : algorithm == "SHA-256" ? EVP_sha256() : nullptr;
    if (!md) return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest, &length, md, nullptr) != 1) return {};
    return Hex(std::string(reinterpret_cast<const char*>(digest), length));
}

std::string PasswordDigest(const std::string& nonce, const std::string& created,
                           const std::string& password) {
    return Base64Encode(Sha1(nonce + created + password));
}

}  // namespace onvifc
