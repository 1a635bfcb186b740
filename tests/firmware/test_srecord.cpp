// S-record firmware images: the line check, the padding and the image that is sent, from good, damaged and
// oversized files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "Classes/OVNFirmwareCatalogue.h"
#include "Classes/OVNSRecord.h"
#include "FirmwareTestSupport.h"
#include "platform/Value.h"

namespace ovn {
namespace {

using namespace OVNSRecord;
using test::LogCapture;
using test::TempResources;
using Result = SRecCheck::Result;

const char* kBadFile = "Bad firmware file! Verification failed!";

// Records written by an independent S-record tool (16-bit addresses, a count and an end record), with the
// header record of the format's own documentation in front.
const std::vector<std::string> kRecords = {
    "S00600004844521B", "S10C100048656C6C6F2C207072C1", "S10C1009696E7465722100010294",
    "S1051012FEFFDB",   "S5030003F9",                   "S9031000EC",
};

std::string joined(const std::vector<std::string>& lines, const std::string& eol, bool trailing = true) {
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        out += lines[i];
        if (trailing || i + 1 < lines.size()) out += eol;
    }
    return out;
}

// ------------------------------------------------------------------------------------------------
// The line check

TEST(SRecordCheck, SingleRecords) {
    EXPECT_TRUE(verifySRecData("S00600004844521B"));
    EXPECT_TRUE(verifySRecData("S9030000FC"));
    EXPECT_FALSE(verifySRecData("S9030000FD"));
    EXPECT_FALSE(verifySRecData("S000"));   // a count of 0 never passes
    EXPECT_FALSE(verifySRecData("S00000"));
    EXPECT_FALSE(verifySRecData("T9030000FC"));
    EXPECT_FALSE(verifySRecData(" S9030000FC"));
    EXPECT_FALSE(verifySRecData("SA030000FC"));
    EXPECT_FALSE(verifySRecData("S"));
    EXPECT_FALSE(verifySRecData("S9"));
    EXPECT_FALSE(verifySRecData("S903"));
    EXPECT_FALSE(verifySRecData("S9030000F"));      // one digit short
    EXPECT_FALSE(verifySRecData("s9030000FC"));
    EXPECT_TRUE(verifySRecData("S9030000fc"));      // lower-case digits
    EXPECT_TRUE(verifySRecData("S4030000FC"));      // every type digit is accepted
    EXPECT_TRUE(verifySRecData("S9030000FCX"));     // one character after the checksum is ignored
    EXPECT_TRUE(verifySRecData("S9030000FC\t"));
    EXPECT_FALSE(verifySRecData("S9030000FCXY"));   // two are not
    EXPECT_FALSE(verifySRecData("S9040000FC"));     // count larger than the record
    EXPECT_FALSE(verifySRecData("S9020000FC"));     // count smaller than the record
    // Other address lengths, from the same tool.
    EXPECT_TRUE(verifySRecData("S21812345648656C6C6F2C207072696E74657221000102FEFFE6"));
    EXPECT_TRUE(verifySRecData("S3190800123448656C6C6F2C207072696E74657221000102FEFF33"));
    EXPECT_TRUE(verifySRecData("S8041234565F"));
    EXPECT_TRUE(verifySRecData("S70508001234AC"));
}

TEST(SRecordCheck, NonHexCharactersFailEvenWhenTheSumWouldMatch) {
    // Read as numbers that stop at the first non-digit, "ZZ" would count as 0 and this checksum would match.
    EXPECT_FALSE(verifySRecData("S104ZZZZZZFB"));
    EXPECT_FALSE(verifySRecData("S11X00FE"));
    EXPECT_FALSE(verifySRecData("S9030000FG"));
    EXPECT_FALSE(verifySRecData("S9030000 FC"));
    EXPECT_FALSE(verifySRecData("S903+000FC"));
}

TEST(SRecordCheck, EveryChangedDigitIsCaught) {
    for (size_t line = 0; line < kRecords.size(); ++line) {
        for (size_t pos = 2; pos < kRecords[line].size(); ++pos) {
            auto lines = kRecords;
            char& c = lines[line][pos];
            c = c == '0' ? '1' : '0';
            SRecCheck r = checkSRecData(joined(lines, "\n"));
            EXPECT_FALSE(r.passed()) << lines[line];
            // The check names the damaged line and counts the good ones before it.
            EXPECT_EQ(r.records, line) << lines[line];
            EXPECT_EQ(r.offset, joined(std::vector<std::string>(kRecords.begin(), kRecords.begin() + line), "\n").size());
        }
    }
}

TEST(SRecordCheck, LineEnds) {
    EXPECT_TRUE(verifySRecData(joined(kRecords, "\n")));
    EXPECT_TRUE(verifySRecData(joined(kRecords, "\n", false)));  // no line end after the last record
    EXPECT_TRUE(verifySRecData(joined(kRecords, "\r\n")));      // the empty lines between CR and LF are skipped
    EXPECT_TRUE(verifySRecData(joined(kRecords, "\r")));
    EXPECT_TRUE(verifySRecData(joined(kRecords, "\n\n\n")));
    EXPECT_TRUE(verifySRecData(joined(kRecords, "\v")));
    EXPECT_TRUE(verifySRecData(joined(kRecords, "\f")));
    EXPECT_TRUE(verifySRecData(joined(kRecords, "\xC2\x85")));      // U+0085
    EXPECT_TRUE(verifySRecData(joined(kRecords, "\xE2\x80\xA8")));  // U+2028
    EXPECT_TRUE(verifySRecData(joined(kRecords, "\xE2\x80\xA9")));  // U+2029
    EXPECT_TRUE(verifySRecData("\r\n\r\nS9030000FC\r\n\r\n"));
    // The ignored character after a checksum may be followed by any line end.
    EXPECT_TRUE(verifySRecData("S9030000FC.\r\nS9030000FC"));
}

TEST(SRecordCheck, OtherTextFails) {
    EXPECT_FALSE(verifySRecData("S9030000FC\xC3\xA9\n"));     // é after the checksum
    EXPECT_FALSE(verifySRecData("S9030000FC\n\xC3\xA9\n"));   // a line of its own
    EXPECT_FALSE(verifySRecData("S9030000FC\n\xFF\n"));       // not UTF-8
    EXPECT_FALSE(verifySRecData("S9030000FC\xC2"));           // cut inside a character
    EXPECT_FALSE(verifySRecData("S9030000FC\xE2\x80"));
    EXPECT_FALSE(verifySRecData("S9030000FC\xE2\x80\xA7"));   // U+2027 is no line end
    EXPECT_FALSE(verifySRecData("S9030000FC\n# comment\n"));
    EXPECT_FALSE(verifySRecData("S9030000FC\n \n"));          // a blank is not an empty line
}

TEST(SRecordCheck, ZeroBytesAndFilesWithoutRecords) {
    EXPECT_EQ(checkSRecData(std::span<const uint8_t>()).result, Result::Empty);
    EXPECT_EQ(checkSRecData(std::string_view("\n\r\n")).result, Result::NoRecords);
    EXPECT_EQ(checkSRecData(std::string_view("\0\0\0\0", 4)).result, Result::NoRecords);
    // Zero bytes at the end (a terminator or padding) are not part of the text.
    EXPECT_TRUE(verifySRecData(std::string_view("S9030000FC\n\0", 12)));
    EXPECT_TRUE(verifySRecData(std::string_view("S9030000FC\0\0\0", 13)));
    // Anything after a zero byte would go to the printer unchecked.
    auto r = checkSRecData(std::string_view("S9030000FC\n\0S9030000FD\n", 24));
    EXPECT_EQ(r.result, Result::DataAfterZero);
    EXPECT_EQ(r.offset, 11u);
    EXPECT_EQ(checkSRecData(std::string_view("\0S9030000FC\n", 12)).result, Result::DataAfterZero);
    EXPECT_EQ(checkSRecData(std::string_view("S9030000FC\0X", 12)).result, Result::DataAfterZero);
    EXPECT_EQ(checkSRecData(std::string_view("S9030\0" "00FC", 10)).result, Result::DataAfterZero);
}

TEST(SRecordCheck, FileAndURLForms) {
    TempResources res;
    test::writeText(res.path("good file.fw"), joined(kRecords, "\n"));
    test::writeText(res.path("bad.fw"), "S9030000FD\n");
    EXPECT_TRUE(verifyMotorolaSFile(res.path("good file.fw")));
    EXPECT_FALSE(verifyMotorolaSFile(res.path("bad.fw")));
    EXPECT_FALSE(verifyMotorolaSFile(res.path("absent.fw")));
    EXPECT_FALSE(verifyMotorolaSFile(res.dir()));
    const std::string encodedDir = res.dir().string();
    EXPECT_TRUE(verifyMotorolaSFileURL("file://" + encodedDir + "/good%20file.fw"));
    EXPECT_TRUE(verifyMotorolaSFileURL("FILE://localhost" + encodedDir + "/good%20file.fw"));
    EXPECT_FALSE(verifyMotorolaSFileURL("file://" + encodedDir + "/bad.fw"));
    EXPECT_FALSE(verifyMotorolaSFileURL("file://elsewhere" + encodedDir + "/good%20file.fw"));
    EXPECT_FALSE(verifyMotorolaSFileURL("https://localhost" + encodedDir + "/good%20file.fw"));
    EXPECT_FALSE(verifyMotorolaSFileURL("file://" + encodedDir + "/good%2"));
    EXPECT_FALSE(verifyMotorolaSFileURL("file:"));
}

// ------------------------------------------------------------------------------------------------
// Padding

TEST(Padding, ToTheNextMultipleOfFourWithZeroBytes) {
    LogCapture log;
    std::vector<uint8_t> thirteen(13, 0xAB);
    auto padded = paddedData(thirteen);
    ASSERT_TRUE(padded);
    std::vector<uint8_t> expected(thirteen);
    expected.insert(expected.end(), {0, 0, 0});
    EXPECT_EQ(*padded, expected);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"padding data of length 13 to length 16"});

    LogCapture quiet;
    std::vector<uint8_t> sixteen(16, 0x5A);
    EXPECT_EQ(paddedData(sixteen), sixteen);
    EXPECT_EQ(paddedData(std::vector<uint8_t>{}), std::vector<uint8_t>{});
    EXPECT_EQ(paddedData(std::nullopt), std::nullopt);
    EXPECT_TRUE(quiet.lines().empty());

    EXPECT_EQ(paddedData(std::vector<uint8_t>{1})->size(), 4u);
    EXPECT_EQ(paddedData(std::vector<uint8_t>{1, 2, 3})->size(), 4u);
    EXPECT_EQ(paddedData(std::vector<uint8_t>{1, 2, 3, 4, 5}), (std::vector<uint8_t>{1, 2, 3, 4, 5, 0, 0, 0}));
    // The colour-table version payload of a 17-character name.
    EXPECT_EQ(paddedData(test::bytesOf("PL15_300_0161.CWD"))->size(), 20u);
    EXPECT_EQ(paddedData(test::bytesOf("PL45_SD_300_0101.CWD"))->size(), 20u);
}

// ------------------------------------------------------------------------------------------------
// The image that is sent

TEST(FirmwareImageLayout, HeaderSpaceFileBytesAndPadding) {
    TempResources res;
    const std::string text = joined(kRecords, "\n", false);  // 111 bytes: one byte of padding
    ASSERT_EQ(text.size(), 111u);
    test::writeText(res.path("x.fw"), text);

    LogCapture log;
    ImageError error = ImageError::NotFound;
    auto image = readFirmwareImage(res.path("x.fw").string(), kFrameHeaderLength, &error);
    ASSERT_TRUE(image);
    EXPECT_EQ(error, ImageError::None);
    EXPECT_EQ(image->headroom(), 32u);
    EXPECT_EQ(image->fileLength(), text.size());
    std::vector<uint8_t> expectedPayload = test::bytesOf(text);
    expectedPayload.push_back(0);
    EXPECT_EQ(image->payloadCopy(), expectedPayload);
    std::vector<uint8_t> expectedFrame(32, 0);
    expectedFrame.insert(expectedFrame.end(), expectedPayload.begin(), expectedPayload.end());
    EXPECT_EQ(std::vector<uint8_t>(image->frame().begin(), image->frame().end()), expectedFrame);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"padding data of length 111 to length 112"}));

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

    auto bare = readFirmwareImage(res.path("x.fw").string(), 0);
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->payloadCopy(), expectedPayload);
    EXPECT_EQ(bare->frame().size(), 112u);
}

TEST(FirmwareImageLayout, WholeWordFilesGetNoPadding) {
    TempResources res;
    const std::string text = joined(kRecords, "\n");
    ASSERT_EQ(text.size(), 112u);
    test::writeText(res.path("x.fw"), text);
    LogCapture log;
    auto image = readFirmwareImage(res.path("x.fw").string());
    ASSERT_TRUE(image);
    EXPECT_EQ(image->payloadCopy(), test::bytesOf(text));
    EXPECT_TRUE(log.lines().empty());
}

class FirmwareBlob : public ::testing::Test {
protected:
    void SetUp() override {
        info.set(cFirmwareFilenames, std::vector<std::string>{"PL15 01.61.fw", "PL15_300_0161.cwd"});
    }
    std::optional<FirmwareImage> blob(ImageError expected) {
        ImageError error = ImageError::None;
        auto image = firmwareBlob(info, kFrameHeaderLength, &error);
        EXPECT_EQ(error, expected);
        return image;
    }
    DeviceInfoDict info;
};

TEST_F(FirmwareBlob, DeliveredImagesAreTheFileBytesPadded) {
    for (const auto& row : OVNFirmwareCatalogue::catalogue()) {
        info.set(cFirmwareFilenames, row.files);
        LogCapture log;
        auto image = blob(ImageError::None);
        ASSERT_TRUE(image) << row.model;
        auto file = test::readBytes(*OVNFirmwareCatalogue::resourcePath(row.firmwareFile()));
        auto expected = file;
        expected.resize(paddedLength(file.size()), 0);
        EXPECT_EQ(image->payloadCopy(), expected) << row.model;
        EXPECT_EQ(image->payload().size() % 4, 0u);
        EXPECT_LE(image->payload().size(), kMaxFramePayload);
        EXPECT_FALSE(log.contains(kBadFile));
        if (file.size() % 4) {
            EXPECT_EQ(log.lines(), std::vector<std::string>{"padding data of length " + std::to_string(file.size()) +
                                                            " to length " + std::to_string(expected.size())});
        } else {
            EXPECT_TRUE(log.lines().empty());
        }
    }
}

TEST_F(FirmwareBlob, NoRecordedListGivesNothing) {
    for (Value v : {Value(), Value(std::vector<std::string>{}), Value(std::string("PL15 01.61.fw"))}) {
        info.set(cFirmwareFilenames, v);
        LogCapture log;
        EXPECT_FALSE(blob(ImageError::NoFileList));
        EXPECT_EQ(log.count(kBadFile), 1u);
    }
}

class DamagedFirmware : public FirmwareBlob {
protected:
    void SetUp() override {
        FirmwareBlob::SetUp();
        res.copyDelivered("PL15 01.61.fw");
        original = test::readBytes(res.path("PL15 01.61.fw"));
    }
    void write(const std::vector<uint8_t>& bytes) { test::writeBytes(res.path("PL15 01.61.fw"), bytes); }
    TempResources res;
    std::vector<uint8_t> original;
};

TEST_F(DamagedFirmware, IntactCopyGivesTheImage) {
    EXPECT_TRUE(blob(ImageError::None));
}

TEST_F(DamagedFirmware, MissingFile) {
    std::filesystem::remove(res.path("PL15 01.61.fw"));
    LogCapture log;
    EXPECT_FALSE(blob(ImageError::NotFound));
    EXPECT_EQ(log.count(kBadFile), 1u);
    EXPECT_TRUE(log.contains("firmware file PL15 01.61.fw not found"));
}

TEST_F(DamagedFirmware, EmptyFile) {
    write({});
    LogCapture log;
    EXPECT_FALSE(blob(ImageError::BadRecords));
    EXPECT_EQ(log.count(kBadFile), 1u);
    EXPECT_FALSE(log.anyStartsWith("padding data"));
}

TEST_F(DamagedFirmware, BadLineInTheMiddle) {
    auto bytes = original;
    const size_t middle = bytes.size() / 2;
    const size_t lineStart = std::string(bytes.begin(), bytes.begin() + static_cast<long>(middle)).rfind('\n') + 1;
    bytes[lineStart] = 'X';
    write(bytes);
    LogCapture log;
    EXPECT_FALSE(blob(ImageError::BadRecords));
    EXPECT_EQ(log.count(kBadFile), 1u);
    EXPECT_TRUE(log.anyStartsWith("firmware file " + res.path("PL15 01.61.fw").string() + ": bad S-record at offset " +
                                  std::to_string(lineStart)));
    EXPECT_FALSE(log.anyStartsWith("padding data"));
}

TEST_F(DamagedFirmware, WrongChecksumInTheLastRecord) {
    auto bytes = original;
    // The last record is the end record; its checksum is the two digits before the final line end.
    ASSERT_EQ(bytes.back(), '\n');
    uint8_t& digit = bytes[bytes.size() - 2];
    digit = digit == '0' ? '1' : '0';
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

TEST_F(DamagedFirmware, FileCutInsideARecord) {
    const std::string text(original.begin(), original.end());
    const size_t lineStart = text.find('\n', text.size() / 3) + 1;
    for (size_t cut : {lineStart + 1, lineStart + 4, lineStart + 20, text.find('\n', lineStart) - 1}) {
        write(std::vector<uint8_t>(original.begin(), original.begin() + static_cast<long>(cut)));
        EXPECT_FALSE(blob(ImageError::BadRecords)) << cut;
    }
}

TEST_F(DamagedFirmware, ZeroFilledFile) {
    write(std::vector<uint8_t>(original.size(), 0));
    EXPECT_FALSE(blob(ImageError::BadRecords));
    auto bytes = original;
    bytes[0] = 0;
    write(bytes);
    EXPECT_FALSE(blob(ImageError::BadRecords));
}

TEST_F(DamagedFirmware, FilesTooLargeForOneFrameAreRefusedUnread) {
    // Sparse files: nothing is written to disk.
    auto sized = [&](off_t length) {
        int fd = ::open(res.path("PL15 01.61.fw").c_str(), O_WRONLY | O_TRUNC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, length), 0);
        ::close(fd);
    };
    sized(100'000'000);
    {
        LogCapture log;
        EXPECT_FALSE(blob(ImageError::TooLarge));
        EXPECT_EQ(log.count(kBadFile), 1u);
        EXPECT_TRUE(log.anyStartsWith("firmware file " + res.path("PL15 01.61.fw").string() +
                                      " is too large: 100000000 bytes"));
    }
    // 99,999,997 bytes would pad to 100,000,000, one digit more than the frame's length field has.
    sized(static_cast<off_t>(kMaxFirmwareFileLength) + 1);
    EXPECT_FALSE(blob(ImageError::TooLarge));
    // The largest file that fits is read and checked (here: zero bytes only, no records).
    sized(static_cast<off_t>(kMaxFirmwareFileLength));
    EXPECT_FALSE(blob(ImageError::BadRecords));
}

TEST_F(DamagedFirmware, APipeInPlaceOfTheFileDoesNotHang) {
    const auto fifo = res.path("pipe.fw");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    LogCapture log;
    ImageError error = ImageError::None;
    EXPECT_FALSE(readFirmwareImage(fifo.string(), kFrameHeaderLength, &error));
    EXPECT_EQ(error, ImageError::Unreadable);
    EXPECT_TRUE(log.contains("could not read firmware file " + fifo.string() + ": not a regular file"));
    EXPECT_EQ(log.count(kBadFile), 1u);
    EXPECT_FALSE(verifyMotorolaSFile(fifo));
}

}  // namespace
}  // namespace ovn
