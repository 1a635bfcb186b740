// S-record firmware images: the line check, the padding and the image that is sent, from good, damaged and
// oversized files.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "Classes/OVNFirmwareCatalogue.h"
#include "Classes/OVNSRecord.h"
#include "kit/Kit.h"
#include "platform/Value.h"

namespace ovn {
namespace {

using namespace OVNSRecord;
using kit::Log;
using Result = SRecCheck::Result;
using Lines = std::vector<std::string>;

Lines systemLog() { return Log::lines(LogChannel::System); }
std::vector<uint8_t> bytesOf(const std::filesystem::path& path) { return kit::bytesOf(kit::readFile(path)); }
void write(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::filesystem::remove(path);  // a link to the delivered file
    kit::writeFile(path, kit::textOf(bytes));
}
bool loggedStartingWith(const std::string& prefix) {
    auto all = systemLog();
    return std::any_of(all.begin(), all.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
}

const char* kBadFile = "Bad firmware file! Verification failed!";

// Records written by an independent S-record tool (16-bit addresses, a count and an end record), with the
// header record of the format's own documentation in front.
const Lines kRecords = {"S00600004844521B", "S10C100048656C6C6F2C207072C1", "S10C1009696E7465722100010294",
                        "S1051012FEFFDB",   "S5030003F9",                   "S9031000EC"};

std::string joined(const Lines& lines, const std::string& eol, bool trailing = true) {
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) out += lines[i] + (trailing || i + 1 < lines.size() ? eol : "");
    return out;
}

void expectVerdicts(const std::vector<std::pair<std::string, bool>>& cases) {
    for (const auto& [text, passes] : cases) EXPECT_EQ(verifySRecData(text), passes) << '"' << text << '"';
}

// ---- The line check

TEST(SRecordCheck, SingleRecords) {
    expectVerdicts({
        {"S00600004844521B", true}, {"S9030000FC", true}, {"S9030000FD", false},
        {"S000", false}, {"S00000", false},  // a count of 0 never passes
        {"T9030000FC", false}, {" S9030000FC", false}, {"SA030000FC", false}, {"s9030000FC", false},
        {"S", false}, {"S9", false}, {"S903", false}, {"S9030000F", false},  // cut short
        {"S9030000fc", true},                                                // lower-case digits
        {"S4030000FC", true},                                                // every type digit is accepted
        {"S9030000FCX", true}, {"S9030000FC\t", true},  // one character after the checksum is ignored
        {"S9030000FCXY", false},                        // two are not
        {"S9040000FC", false}, {"S9020000FC", false},   // count larger or smaller than the record
        // Other address lengths, from the same tool.
        {"S21812345648656C6C6F2C207072696E74657221000102FEFFE6", true},
        {"S3190800123448656C6C6F2C207072696E74657221000102FEFF33", true},
        {"S8041234565F", true}, {"S70508001234AC", true},
        // Non-hex characters fail even where a number reader stopping at them would make the sum match.
        {"S104ZZZZZZFB", false}, {"S11X00FE", false}, {"S9030000FG", false}, {"S9030000 FC", false},
        {"S903+000FC", false},
    });
}


TEST(SRecordCheck, LineEndsAndOtherText) {
    for (const char* eol : {"\n", "\r\n" /* empty lines between CR and LF are skipped */, "\r", "\n\n\n", "\v", "\f",
                            "\xC2\x85", "\xE2\x80\xA8", "\xE2\x80\xA9" /* U+0085, U+2028, U+2029 */})
        EXPECT_TRUE(verifySRecData(joined(kRecords, eol))) << eol;
    EXPECT_TRUE(verifySRecData(joined(kRecords, "\n", false)));  // no line end after the last record
    expectVerdicts({
        {"\r\n\r\nS9030000FC\r\n\r\n", true},
        {"S9030000FC.\r\nS9030000FC", true},  // the ignored character may be followed by any line end
        {"S9030000FC\xC3\xA9\n", false},      // é after the checksum
        {"S9030000FC\n\xC3\xA9\n", false},    // a line of its own
        {"S9030000FC\n\xFF\n", false},        // not UTF-8
        {"S9030000FC\xC2", false}, {"S9030000FC\xE2\x80", false},  // cut inside a character
        {"S9030000FC\xE2\x80\xA7", false},                         // U+2027 is no line end
        {"S9030000FC\n# comment\n", false}, {"S9030000FC\n \n", false},  // a blank is not an empty line
    });
}

TEST(SRecordCheck, ZeroBytesAndFilesWithoutRecords) {
    using namespace std::string_view_literals;
    EXPECT_EQ(checkSRecData(std::span<const uint8_t>()).result, Result::Empty);
    EXPECT_EQ(checkSRecData("\n\r\n"sv).result, Result::NoRecords);
    EXPECT_EQ(checkSRecData("\0\0\0\0"sv).result, Result::NoRecords);
    // Zero bytes at the end (a terminator or padding) are not part of the text.
    EXPECT_TRUE(verifySRecData("S9030000FC\n\0"sv));
    EXPECT_TRUE(verifySRecData("S9030000FC\0\0\0"sv));
    // Anything after a zero byte would go to the printer unchecked.
    auto r = checkSRecData("S9030000FC\n\0S9030000FD\n"sv);
    EXPECT_EQ(r.result, Result::DataAfterZero);
    EXPECT_EQ(r.offset, 11u);
    for (auto text : {"\0S9030000FC\n"sv, "S9030000FC\0X"sv, "S9030\0" "00FC"sv})
        EXPECT_EQ(checkSRecData(text).result, Result::DataAfterZero);
}


// ---- Padding

TEST(Padding, ToTheNextMultipleOfFourWithZeroBytes) {
    using B = std::vector<uint8_t>;
    Log::Capture capture;
    B expected(13, 0xAB);
    auto padded = paddedData(expected);
    expected.insert(expected.end(), {0, 0, 0});
    EXPECT_EQ(padded, expected);
    EXPECT_EQ(systemLog(), Lines{"padding data of length 13 to length 16"});

    Log::clear();
    EXPECT_EQ(paddedData(B(16, 0x5A)), B(16, 0x5A));
    EXPECT_EQ(paddedData(B{}), B{});
    EXPECT_EQ(paddedData(std::nullopt), std::nullopt);
    EXPECT_TRUE(systemLog().empty());

    EXPECT_EQ(paddedData(B{1}), (B{1, 0, 0, 0}));
    EXPECT_EQ(paddedData(B{1, 2, 3}), (B{1, 2, 3, 0}));
    EXPECT_EQ(paddedData(B{1, 2, 3, 4, 5}), (B{1, 2, 3, 4, 5, 0, 0, 0}));
    // The colour-table version payload of a 17-character name.
    EXPECT_EQ(paddedData(kit::bytesOf("PL15_300_0161.CWD"))->size(), 20u);
    EXPECT_EQ(paddedData(kit::bytesOf("PL45_SD_300_0101.CWD"))->size(), 20u);
}

// ---- The image that is sent

TEST(FirmwareImageLayout, HeaderSpaceFileBytesAndPadding) {
    kit::TempDir res;
    const std::string text = joined(kRecords, "\n", false);  // 111 bytes: one byte of padding
    ASSERT_EQ(text.size(), 111u);
    kit::writeFile(res / "x.fw", text);

    Log::Capture capture;
    ImageError error = ImageError::NotFound;
    auto image = readFirmwareImage(res.file("x.fw"), kFrameHeaderLength, &error);
    ASSERT_TRUE(image);
    EXPECT_EQ(error, ImageError::None);
    EXPECT_EQ(image->headroom(), 32u);
    EXPECT_EQ(image->fileLength(), text.size());
    std::vector<uint8_t> payload = kit::bytesOf(text + '\0');
    EXPECT_EQ(image->payloadCopy(), payload);
    std::vector<uint8_t> frame(32, 0);
    frame.insert(frame.end(), payload.begin(), payload.end());
    EXPECT_EQ(std::vector<uint8_t>(image->frame().begin(), image->frame().end()), frame);
    EXPECT_EQ(systemLog(), Lines{"padding data of length 111 to length 112"});

    // The frame header goes in front of the payload in the same buffer.
    auto header = image->header();
    ASSERT_EQ(header.size(), 32u);
    std::memcpy(header.data(), "\x1bPFW_UPDFLASH_PROGRAM   00000112", 32);
    EXPECT_EQ(image->frame()[0], 0x1B);
    EXPECT_EQ(image->frame()[32], 'S');
    EXPECT_EQ(image->payload().data(), image->frame().data() + 32);

    const uint8_t* storage = image->frame().data();
    std::vector<uint8_t> taken = image->takeBuffer();
    EXPECT_EQ(taken.data(), storage);  // handed over, not copied
    EXPECT_EQ(taken.size(), 144u);
    EXPECT_TRUE(image->frame().empty());

    auto bare = readFirmwareImage(res.file("x.fw"), 0);
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->payloadCopy(), payload);
    EXPECT_EQ(bare->frame().size(), 112u);

    // A whole number of words gets no padding.
    kit::writeFile(res / "x.fw", text + "\n");
    Log::clear();
    auto whole = readFirmwareImage(res.file("x.fw"));
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->payloadCopy(), kit::bytesOf(text + "\n"));
    EXPECT_TRUE(systemLog().empty());
}

class FirmwareBlob : public ::testing::Test {
protected:
    void SetUp() override { info.set(cFirmwareFilenames, Lines{"PL15 01.61.fw", "PL15_300_0161.cwd"}); }
    std::optional<FirmwareImage> blob(ImageError expected) {
        ImageError error = ImageError::None;
        auto image = firmwareBlob(info, kFrameHeaderLength, &error);
        EXPECT_EQ(error, expected);
        return image;
    }
    DeviceInfoDict info;
    Log::Capture capture;
};

TEST_F(FirmwareBlob, DeliveredImagesAreTheFileBytesPadded) {
    for (const auto& row : OVNFirmwareCatalogue::catalogue()) {
        SCOPED_TRACE(row.model);
        info.set(cFirmwareFilenames, row.files);
        Log::clear();
        auto image = blob(ImageError::None);
        ASSERT_TRUE(image);
        auto file = bytesOf(*OVNFirmwareCatalogue::resourcePath(row.firmwareFile()));
        auto expected = file;
        expected.resize(paddedLength(file.size()), 0);
        EXPECT_EQ(image->payloadCopy(), expected);
        EXPECT_EQ(image->payload().size() % 4, 0u);
        EXPECT_LE(image->payload().size(), kMaxFramePayload);
        EXPECT_EQ(systemLog(), file.size() % 4 ? Lines{"padding data of length " + std::to_string(file.size()) +
                                                       " to length " + std::to_string(expected.size())}
                                               : Lines{});
    }
}


class DamagedFirmware : public FirmwareBlob {
protected:
    void SetUp() override {
        FirmwareBlob::SetUp();
        original = bytesOf(res.path("PL15 01.61.fw"));
        write(original);  // a file of its own in place of the link to the delivered one
    }
    void write(const std::vector<uint8_t>& bytes) { ovn::write(res.path("PL15 01.61.fw"), bytes); }
    // Sets the file's length without writing anything to disk.
    void sized(off_t length) {
        int fd = ::open(res.path("PL15 01.61.fw").c_str(), O_WRONLY | O_TRUNC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, length), 0);
        ::close(fd);
    }
    kit::Resources res;
    std::vector<uint8_t> original;
};

TEST_F(DamagedFirmware, MissingAndEmptyFiles) {
    EXPECT_TRUE(blob(ImageError::None));  // the intact copy
    std::filesystem::remove(res.path("PL15 01.61.fw"));
    Log::clear();
    EXPECT_FALSE(blob(ImageError::NotFound));
    EXPECT_EQ(Log::count(kBadFile), 1u);
    EXPECT_TRUE(Log::contains("firmware file PL15 01.61.fw not found"));
    write({});
    Log::clear();
    EXPECT_FALSE(blob(ImageError::BadRecords));
    EXPECT_EQ(Log::count(kBadFile), 1u);
    EXPECT_FALSE(loggedStartingWith("padding data"));
}

TEST_F(DamagedFirmware, BadLineInTheMiddle) {
    auto bytes = original;
    const size_t lineStart = std::string(bytes.begin(), bytes.begin() + long(bytes.size() / 2)).rfind('\n') + 1;
    bytes[lineStart] = 'X';
    write(bytes);
    Log::clear();
    EXPECT_FALSE(blob(ImageError::BadRecords));
    EXPECT_EQ(Log::count(kBadFile), 1u);
    EXPECT_TRUE(loggedStartingWith("firmware file " + res.path("PL15 01.61.fw").string() + ": bad S-record at offset " +
                                  std::to_string(lineStart)));
    EXPECT_FALSE(loggedStartingWith("padding data"));
}

TEST_F(DamagedFirmware, WrongChecksumCutRecordsAndZeroBytesFail) {
    auto bytes = original;
    // The last record is the end record; its checksum is the two digits before the final line end.
    ASSERT_EQ(bytes.back(), '\n');
    uint8_t& digit = bytes[bytes.size() - 2];
    digit = digit == '0' ? '1' : '0';
    write(bytes);
    EXPECT_FALSE(blob(ImageError::BadRecords));

    const std::string text(original.begin(), original.end());
    const size_t lineStart = text.find('\n', text.size() / 3) + 1;
    for (size_t cut : {lineStart + 1, lineStart + 4, lineStart + 20, text.find('\n', lineStart) - 1}) {
        write(std::vector<uint8_t>(original.begin(), original.begin() + static_cast<long>(cut)));
        EXPECT_FALSE(blob(ImageError::BadRecords)) << cut;
    }

    write(std::vector<uint8_t>(original.size(), 0));
    EXPECT_FALSE(blob(ImageError::BadRecords));
    bytes = original;
    bytes[0] = 0;
    write(bytes);
    EXPECT_FALSE(blob(ImageError::BadRecords));
}

TEST_F(DamagedFirmware, CRLFLineEndsPassAndAreSentUnchanged) {
    std::vector<uint8_t> crlf;
    for (uint8_t b : original) {
        if (b == '\n') crlf.push_back('\r');
        crlf.push_back(b);
    }
    write(crlf);
    auto image = blob(ImageError::None);
    ASSERT_TRUE(image);
    crlf.resize(paddedLength(crlf.size()), 0);
    EXPECT_EQ(image->payloadCopy(), crlf);
}

TEST_F(DamagedFirmware, FilesTooLargeForOneFrameAreRefusedUnread) {
    sized(100'000'000);
    Log::clear();
    EXPECT_FALSE(blob(ImageError::TooLarge));
    EXPECT_EQ(Log::count(kBadFile), 1u);
    EXPECT_TRUE(loggedStartingWith("firmware file " + res.path("PL15 01.61.fw").string() +
                                   " is too large: 100000000 bytes"));
    // 99,999,997 bytes would pad to 100,000,000, one digit more than the frame's length field has.
    sized(static_cast<off_t>(kMaxFirmwareFileLength) + 1);
    EXPECT_FALSE(blob(ImageError::TooLarge));
    // The largest file that fits is read and checked (here: zero bytes only, no records).
    sized(static_cast<off_t>(kMaxFirmwareFileLength));
    EXPECT_FALSE(blob(ImageError::BadRecords));
}


}  // namespace
}  // namespace ovn
