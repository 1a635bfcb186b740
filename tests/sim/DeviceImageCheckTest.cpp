// The printer's check of a received firmware image.
#include <gtest/gtest.h>

#include <cctype>

#include "SimTestSupport.h"
#include "sim/DeviceImageCheck.h"

namespace ovn::sim::test {
namespace {

ImageCheckResult check(const Bytes& b) { return checkFirmwareImage(b.data(), b.size()); }

TEST(DeviceImageCheck, WellFormedPaddedImageNamesItsVersion) {
    // The format's own example records (header "HDR", an S9 end record) around one data record.
    auto r = check(padded("S00600004844521B\n" + srec('1', {0x00, 0x00, 0xAA, 0xBB, 0xCC, 0xDD}) + "\nS9030000FC\n"));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ("HDR", r.version);
    EXPECT_EQ(3u, r.records);
    EXPECT_EQ(4u, r.dataBytes);

    for (bool crlf : {false, true}) {
        r = check(padded(firmwareText("PL35 01.52", crlf)));
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ("PL35 01.52", r.version);
        EXPECT_EQ(7u, r.dataBytes);
    }
    // Lower-case hexadecimal digits are as good; no newline after the last record is fine.
    std::string lower = firmwareText("PL15 01.61");
    for (size_t i = 0; i < lower.size(); ++i)
        if (i > 0 && lower[i - 1] != '\n') lower[i] = static_cast<char>(std::tolower(uint8_t(lower[i])));
    lower.pop_back();
    r = check(padded(lower));
    EXPECT_TRUE(r.ok) << r.error;
}

TEST(DeviceImageCheck, EveryDefectIsFoundAndNamed) {
    const std::string good = firmwareText("PL15 01.61");
    const std::string first = good.substr(0, good.find('\n') + 1), rest = good.substr(first.size());
    Bytes unpadded = bytesOf(good);
    while (unpadded.size() % 4 == 0) unpadded.push_back('\n');
    Bytes zeroInside = padded(good);
    zeroInside[10] = 0;
    std::string badChecksum = good;
    char& checksumDigit = badChecksum[badChecksum.find('\n', first.size()) - 1];
    checksumDigit = checksumDigit == '0' ? '1' : '0';
    std::string surplus = good, nonHex = good;
    surplus.insert(good.find('\n'), "F");
    nonHex[good.find("S1") + 8] = 'G';
    const struct {
        Bytes image;
        std::string reasonPart;
    } cases[] = {
        {Bytes{}, "empty"},
        {unpadded, "not padded to a multiple of 4"},
        {zeroInside, "zero byte at offset 10"},
        {padded(badChecksum), "record on line 2: checksum"},
        {padded(rest), "line 1: the image does not start with an S0 header"},
        {padded(srec('0', {0, 0, 'A'}) + "\n" + good), "line 2: second S0 header"},
        {padded(srec('0', {0, 0}) + "\n" + rest), "S0 header names no firmware version"},
        {padded(srec('0', {0, 0, 'P', 'L', '1', '5', ' ', '1'}) + "\n" + srec('9', {0, 0}) + "\n"), "no data records"},
        {padded(good.substr(0, good.rfind("S9"))), "no termination record"},
        {padded(good + srec('1', {0, 0, 1}) + "\n"), "record after the termination record"},
        {padded(first + srec('4', {0, 0, 1}) + "\n" + rest), "record type '4' is not accepted"},
        {padded(surplus), "does not match"},
        {padded("S00700004844521B\nS9030000FC\n"), "line 1: count 7 does not match"},
        {padded(nonHex), "non-hexadecimal"},
        {padded("XYZ\n"), "does not start with 'S'"},
        {padded("S000\n"), "line 1"},
        {bytesOf("\n\r\n\n"), "holds no records"},
        {Bytes(8, 0), "zero byte at offset 0"},
    };
    for (const auto& c : cases) {
        auto r = check(c.image);
        EXPECT_FALSE(r.ok) << c.reasonPart;
        EXPECT_NE(std::string::npos, r.error.find(c.reasonPart)) << "expected '" << c.reasonPart << "', got: " << r.error;
    }
}

}  // namespace
}  // namespace ovn::sim::test
