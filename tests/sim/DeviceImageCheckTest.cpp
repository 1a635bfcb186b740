// The printer's check of a received firmware image.
#include <gtest/gtest.h>

#include "SimTestSupport.h"
#include "sim/DeviceImageCheck.h"

namespace ovn::sim::test {
namespace {

ImageCheckResult check(const Bytes& b) { return checkFirmwareImage(b.data(), b.size()); }

TEST(DeviceImageCheck, WellFormedPaddedImageNamesItsVersion) {
    // The format's own example records (header "HDR", an S9 end record) around one data record.
    std::string text = "S00600004844521B\n" + srec('1', {0x00, 0x00, 0xAA, 0xBB, 0xCC, 0xDD}) + "\nS9030000FC\n";
    auto r = check(padded(text));
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ("HDR", r.version);
    EXPECT_EQ(3u, r.records);
    EXPECT_EQ(4u, r.dataBytes);

    for (bool crlf : {false, true}) {
        auto image = padded(firmwareText("PL35 01.52", crlf));
        ASSERT_EQ(0u, image.size() % 4);
        r = check(image);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ("PL35 01.52", r.version);
        EXPECT_EQ(7u, r.dataBytes);
    }
    // Lower-case hexadecimal digits are as good; no newline after the last record is fine.
    std::string lower = firmwareText("PL15 01.61");
    for (auto& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (size_t i = 0; i < lower.size(); ++i)
        if (i == 0 || lower[i - 1] == '\n') lower[i] = 'S';
    lower.pop_back();
    r = check(padded(lower));
    EXPECT_TRUE(r.ok) << r.error;
}

TEST(DeviceImageCheck, EveryDefectIsFoundAndNamed) {
    std::string good = firmwareText("PL15 01.61");
    struct Case {
        Bytes image;
        std::string reasonPart;
    };
    Bytes unpadded = bytesOf(good);
    while (unpadded.size() % 4 == 0) unpadded.push_back('\n');
    Bytes zeroInside = padded(good);
    zeroInside[10] = 0;
    std::string badChecksum = good;
    size_t lineEnd = badChecksum.find('\n', badChecksum.find('\n') + 1);
    badChecksum[lineEnd - 1] = badChecksum[lineEnd - 1] == '0' ? '1' : '0';
    std::string noHeader = good.substr(good.find('\n') + 1);
    std::string twoHeaders = srec('0', {0, 0, 'A'}) + "\n" + good;
    std::string emptyHeader = srec('0', {0, 0}) + "\n" + good.substr(good.find('\n') + 1);
    std::string noData = srec('0', {0, 0, 'P', 'L', '1', '5', ' ', '1'}) + "\n" + srec('9', {0, 0}) + "\n";
    std::string noEnd = good.substr(0, good.rfind("S9"));
    std::string afterEnd = good + srec('1', {0, 0, 1}) + "\n";
    std::string s4 = good.substr(0, good.find('\n') + 1) + srec('4', {0, 0, 1}) + "\n" + good.substr(good.find('\n') + 1);
    std::string surplus = good;
    surplus.insert(good.find('\n'), "F");
    std::string wrongCount = "S00700004844521B\nS9030000FC\n";
    std::string nonHex = good;
    nonHex[good.find("S1") + 8] = 'G';
    std::vector<Case> cases = {
        {Bytes{}, "empty"},
        {unpadded, "not padded to a multiple of 4"},
        {zeroInside, "zero byte at offset 10"},
        {padded(badChecksum), "record on line 2: checksum"},
        {padded(noHeader), "line 1: the image does not start with an S0 header"},
        {padded(twoHeaders), "line 2: second S0 header"},
        {padded(emptyHeader), "S0 header names no firmware version"},
        {padded(noData), "no data records"},
        {padded(noEnd), "no termination record"},
        {padded(afterEnd), "record after the termination record"},
        {padded(s4), "record type '4' is not accepted"},
        {padded(surplus), "does not match"},
        {padded(wrongCount), "line 1: count 7 does not match"},
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
