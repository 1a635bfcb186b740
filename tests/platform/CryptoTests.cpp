// HMAC-SHA256: the published test vectors, file hashes equal to in-memory hashes across read-chunk edges,
// and files that cannot be read giving nothing.
#include <sys/stat.h>

#include "kit/Kit.h"
#include "platform/Crypto.h"


namespace {
std::string hex(const ovn::Sha256Digest& d) { return ovn::toHex(d.data(), d.size()); }
std::string hmacHex(const std::string& key, const std::string& data) {
    return hex(ovn::hmacSha256(key, data.data(), data.size()));
}
std::string bytes(size_t n, char c) { return std::string(n, c); }
}  // namespace

TEST(Crypto, HmacSha256MatchesRfc4231Vectors) {
    EXPECT_EQ(hmacHex(bytes(20, '\x0b'), "Hi There"),
              "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
    EXPECT_EQ(hmacHex("Jefe", "what do ya want for nothing?"),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_EQ(hmacHex(bytes(20, '\xaa'), bytes(50, '\xdd')),
              "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe");
    std::string key4;
    for (int i = 1; i <= 25; ++i) key4 += static_cast<char>(i);
    EXPECT_EQ(hmacHex(key4, bytes(50, '\xcd')),
              "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b");
    // Keys longer than the block size are hashed first.
    EXPECT_EQ(hmacHex(bytes(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First"),
              "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
    EXPECT_EQ(hmacHex(bytes(131, '\xaa'),
                      "This is a test using a larger than block-size key and a larger than block-size data. The key "
                      "needs to be hashed before being used by the HMAC algorithm."),
              "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2");
}

TEST(Crypto, EmptyKeyAndEmptyDataAreValid) {
    // HMAC-SHA256 with an empty key of empty data, a well-known value.
    EXPECT_EQ(hex(ovn::hmacSha256("", nullptr, 0)),
              "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
    EXPECT_EQ(hex(ovn::hmacSha256(std::string_view(), "", 0)),
              "b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad");
}

TEST(Crypto, FileHmacEqualsInMemoryHmacAcrossChunkEdges) {
    kit::TempDir dir;
    const std::string key = "firmware-file-key";
    const size_t chunk = size_t(1) << 20;
    for (size_t size : {size_t(0), size_t(1), size_t(4095), chunk - 1, chunk, chunk + 1, 2 * chunk + chunk / 2}) {
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 131 + i / 7) & 0xFF);
        std::string path = dir.file("f" + std::to_string(size));
        kit::writeFile(path, data);
        auto fromFile = ovn::hmacSha256File(key, path);
        ASSERT_TRUE(fromFile) << size;
        EXPECT_EQ(hex(*fromFile), hex(ovn::hmacSha256(key, data.data(), data.size()))) << size;
    }
    // The empty key works for files too.
    std::string path = dir.file("small");
    kit::writeFile(path, "abc");
    auto emptyKey = ovn::hmacSha256File("", path);
    ASSERT_TRUE(emptyKey);
    EXPECT_EQ(hex(*emptyKey), hex(ovn::hmacSha256("", "abc", 3)));
    // A different key gives a different hash.
    EXPECT_NE(hex(*ovn::hmacSha256File("other", path)), hex(*emptyKey));
}

TEST(Crypto, UnreadableFilesGiveNothing) {
    kit::TempDir dir;
    EXPECT_FALSE(ovn::hmacSha256File("k", dir.file("missing.bin")));
    EXPECT_FALSE(ovn::hmacSha256File("k", dir.path().string())) << "a directory is not a file";
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    EXPECT_FALSE(ovn::hmacSha256File("k", dir.file("fifo"))) << "a FIFO must not block the check";
    EXPECT_FALSE(ovn::hmacSha256File("k", "")) << "no path";
    std::filesystem::create_symlink("/proc/self/mem", dir.file("ioerror"));
    EXPECT_FALSE(ovn::hmacSha256File("k", dir.file("ioerror"))) << "a read error is not an empty file";
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    kit::writeFile(dir.file("locked"), "data");
    ASSERT_EQ(chmod(dir.file("locked").c_str(), 0), 0);
    std::string locked = dir.file("locked");
    EXPECT_TRUE(kit::withoutRoot([&] { return !ovn::hmacSha256File("k", locked); }))
        << "a file without read permission gives nothing";
}

TEST(Crypto, ToHexIsLowerCaseTwoDigitsPerByte) {
    const uint8_t data[] = {0x00, 0x0f, 0xa5, 0xff};
    EXPECT_EQ(ovn::toHex(data, sizeof data), "000fa5ff");
    EXPECT_EQ(ovn::toHex(data, 0), "");
}
