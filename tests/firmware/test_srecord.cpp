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
#include "platform/Value.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Bundle.h"
#include "platform/SystemLog.h"

namespace ovn::test {

inline std::vector<uint8_t> readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}
inline void writeBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
inline std::vector<uint8_t> bytesOf(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }
inline void writeText(const std::filesystem::path& path, const std::string& text) { writeBytes(path, bytesOf(text)); }
// The delivered data of the build tree (the directory the programs use when no override is set).
inline std::filesystem::path deliveredDirectory() { return Bundle::resourceDirectory(); }

// A fresh directory that serves as the directory of delivered data while it exists.
class TempResources {
public:
    TempResources() : source_(Bundle::resourceDirectory()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "ovn-fw-test-XXXXXX").string();
        const char* made = mkdtemp(pattern.data());
        EXPECT_NE(made, nullptr);
        dir_ = made ? made : "";
        Bundle::setResourceDirectory(dir_.string());
    }
    ~TempResources() {
        Bundle::setResourceDirectory("");
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    TempResources(const TempResources&) = delete;
    TempResources& operator=(const TempResources&) = delete;

    const std::filesystem::path& dir() const { return dir_; }
    std::filesystem::path path(const std::string& name) const { return dir_ / name; }
    void copyDelivered(const std::string& name) const {
        std::filesystem::copy_file(source_ / name, dir_ / name, std::filesystem::copy_options::overwrite_existing);
    }

private:
    std::filesystem::path dir_, source_;
};

// Collects the system-log lines written while it exists.
class LogCapture {
public:
    LogCapture() {
        SystemLog::setUseSyslog(false);
        SystemLog::setCapture([this](LogChannel channel, const std::string& line) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (channel == LogChannel::System) lines_.push_back(line);
        });
    }
    ~LogCapture() { SystemLog::setCapture(nullptr); }
    std::vector<std::string> lines() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    size_t count(const std::string& line) const {
        auto all = lines();
        return static_cast<size_t>(std::count(all.begin(), all.end(), line));
    }
    bool contains(const std::string& line) const { return count(line) > 0; }
    bool anyStartsWith(const std::string& prefix) const {
        auto all = lines();
        return std::any_of(all.begin(), all.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace ovn::test


namespace ovn {
namespace {

using namespace OVNSRecord;
using test::LogCapture;
using test::TempResources;
using Result = SRecCheck::Result;
using Lines = std::vector<std::string>;

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
    LogCapture log;
    B expected(13, 0xAB);
    auto padded = paddedData(expected);
    expected.insert(expected.end(), {0, 0, 0});
    EXPECT_EQ(padded, expected);
    EXPECT_EQ(log.lines(), Lines{"padding data of length 13 to length 16"});

    LogCapture quiet;
    EXPECT_EQ(paddedData(B(16, 0x5A)), B(16, 0x5A));
    EXPECT_EQ(paddedData(B{}), B{});
    EXPECT_EQ(paddedData(std::nullopt), std::nullopt);
    EXPECT_TRUE(quiet.lines().empty());

    EXPECT_EQ(paddedData(B{1}), (B{1, 0, 0, 0}));
    EXPECT_EQ(paddedData(B{1, 2, 3}), (B{1, 2, 3, 0}));
    EXPECT_EQ(paddedData(B{1, 2, 3, 4, 5}), (B{1, 2, 3, 4, 5, 0, 0, 0}));
    // The colour-table version payload of a 17-character name.
    EXPECT_EQ(paddedData(test::bytesOf("PL15_300_0161.CWD"))->size(), 20u);
    EXPECT_EQ(paddedData(test::bytesOf("PL45_SD_300_0101.CWD"))->size(), 20u);
}

// ---- The image that is sent

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
    std::vector<uint8_t> payload = test::bytesOf(text + '\0');
    EXPECT_EQ(image->payloadCopy(), payload);
    std::vector<uint8_t> frame(32, 0);
    frame.insert(frame.end(), payload.begin(), payload.end());
    EXPECT_EQ(std::vector<uint8_t>(image->frame().begin(), image->frame().end()), frame);
    EXPECT_EQ(log.lines(), Lines{"padding data of length 111 to length 112"});

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
    EXPECT_EQ(bare->payloadCopy(), payload);
    EXPECT_EQ(bare->frame().size(), 112u);

    // A whole number of words gets no padding.
    test::writeText(res.path("x.fw"), text + "\n");
    LogCapture quiet;
    auto whole = readFirmwareImage(res.path("x.fw").string());
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->payloadCopy(), test::bytesOf(text + "\n"));
    EXPECT_TRUE(quiet.lines().empty());
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
};

TEST_F(FirmwareBlob, DeliveredImagesAreTheFileBytesPadded) {
    for (const auto& row : OVNFirmwareCatalogue::catalogue()) {
        SCOPED_TRACE(row.model);
        info.set(cFirmwareFilenames, row.files);
        LogCapture log;
        auto image = blob(ImageError::None);
        ASSERT_TRUE(image);
        auto file = test::readBytes(*OVNFirmwareCatalogue::resourcePath(row.firmwareFile()));
        auto expected = file;
        expected.resize(paddedLength(file.size()), 0);
        EXPECT_EQ(image->payloadCopy(), expected);
        EXPECT_EQ(image->payload().size() % 4, 0u);
        EXPECT_LE(image->payload().size(), kMaxFramePayload);
        EXPECT_EQ(log.lines(), file.size() % 4 ? Lines{"padding data of length " + std::to_string(file.size()) +
                                                       " to length " + std::to_string(expected.size())}
                                               : Lines{});
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
    // Sets the file's length without writing anything to disk.
    void sized(off_t length) {
        int fd = ::open(res.path("PL15 01.61.fw").c_str(), O_WRONLY | O_TRUNC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, length), 0);
        ::close(fd);
    }
    TempResources res;
    std::vector<uint8_t> original;
};

TEST_F(DamagedFirmware, MissingAndEmptyFiles) {
    EXPECT_TRUE(blob(ImageError::None));  // the intact copy
    std::filesystem::remove(res.path("PL15 01.61.fw"));
    {
        LogCapture log;
        EXPECT_FALSE(blob(ImageError::NotFound));
        EXPECT_EQ(log.count(kBadFile), 1u);
        EXPECT_TRUE(log.contains("firmware file PL15 01.61.fw not found"));
    }
    write({});
    LogCapture log;
    EXPECT_FALSE(blob(ImageError::BadRecords));
    EXPECT_EQ(log.count(kBadFile), 1u);
    EXPECT_FALSE(log.anyStartsWith("padding data"));
}

TEST_F(DamagedFirmware, BadLineInTheMiddle) {
    auto bytes = original;
    const size_t lineStart = std::string(bytes.begin(), bytes.begin() + long(bytes.size() / 2)).rfind('\n') + 1;
    bytes[lineStart] = 'X';
    write(bytes);
    LogCapture log;
    EXPECT_FALSE(blob(ImageError::BadRecords));
    EXPECT_EQ(log.count(kBadFile), 1u);
    EXPECT_TRUE(log.anyStartsWith("firmware file " + res.path("PL15 01.61.fw").string() + ": bad S-record at offset " +
                                  std::to_string(lineStart)));
    EXPECT_FALSE(log.anyStartsWith("padding data"));
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


}  // namespace
}  // namespace ovn
