#pragma once

#include <string>

namespace onvifc {

std::string Base64Encode(const std::string& bytes);
std::string Sha1(const std::string& bytes);
std::string RandomBytes(std::size_t count);
std::string Hex(const std::string& bytes);  // lower case
// Lower-case hex digest of `text` with "MD5" or "SHA-256"; empty for another algorithm.
std::string HexDigest(const std::string& algorithm,
                      const std::string& text);  // empty when the system has no randomness to give

// WS-UsernameToken PasswordDigest: Base64(SHA-1(nonce ‖ created ‖ password)).
std::string PasswordDigest(const std::string& nonce, const std::string& created, const std::string& password);

}  // namespace onvifc
