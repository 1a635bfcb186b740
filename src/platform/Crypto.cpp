#include "platform/Crypto.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace ovn {

Sha256Digest hmacSha256(std::string_view key, const void* data, size_t length) {
    Sha256Digest out{};
    unsigned int outLen = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()), static_cast<const unsigned char*>(data), length,
         out.data(), &outLen);
    return out;
}

std::optional<Sha256Digest> hmacSha256File(std::string_view key, const std::string& path) {
    // Opened without blocking and checked to be a regular file: a FIFO or a device would never end.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return std::nullopt;
    }
    std::unique_ptr<FILE, int (*)(FILE*)> file(fdopen(fd, "rb"), fclose);
    if (!file) {
        ::close(fd);
        return std::nullopt;
    }
    std::unique_ptr<EVP_MAC, void (*)(EVP_MAC*)> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr), EVP_MAC_free);
    if (!mac) return std::nullopt;
    std::unique_ptr<EVP_MAC_CTX, void (*)(EVP_MAC_CTX*)> ctx(EVP_MAC_CTX_new(mac.get()), EVP_MAC_CTX_free);
    if (!ctx) return std::nullopt;
    char digestName[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string("digest", digestName, 0), OSSL_PARAM_construct_end()};
    if (!EVP_MAC_init(ctx.get(), reinterpret_cast<const unsigned char*>(key.data()), key.size(), params))
        return std::nullopt;
    std::vector<unsigned char> buf(1 << 20);
    for (;;) {
        size_t n = fread(buf.data(), 1, buf.size(), file.get());
        if (n > 0 && !EVP_MAC_update(ctx.get(), buf.data(), n)) return std::nullopt;
        if (n < buf.size()) {
            if (ferror(file.get())) return std::nullopt;
            break;
        }
    }
    Sha256Digest out{};
    size_t outLen = 0;
    if (!EVP_MAC_final(ctx.get(), out.data(), &outLen, out.size()) || outLen != out.size()) return std::nullopt;
    return out;
}

std::string toHex(const uint8_t* bytes, size_t length) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    out.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 0xF];
    }
    return out;
}

}  // namespace ovn
