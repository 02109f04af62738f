#pragma once

#include <string>

namespace onvifc {

std::string Base64Encode(const std::string& bytes);
std::string Sha1(const std::string& bytes);
std::string RandomBytes(std::size_t count);  // empty when the system has no randomness to give

// WS-UsernameToken PasswordDigest: Base64(SHA-1(nonce ‖ created ‖ password)).
std::string PasswordDigest(const std::string& nonce, const std::string& created, const std::string& password);

}  // namespace onvifc
