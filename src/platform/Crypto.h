// HMAC-SHA256 through OpenSSL's libcrypto.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ovn {

using Sha256Digest = std::array<uint8_t, 32>;

Sha256Digest hmacSha256(std::string_view key, const void* data, size_t length);
// HMAC-SHA256 of a whole file, read in chunks; nothing when the file cannot be read.
std::optional<Sha256Digest> hmacSha256File(std::string_view key, const std::string& path);
// Lower-case hex of the bytes.
std::string toHex(const uint8_t* bytes, size_t length);

}  // namespace ovn
