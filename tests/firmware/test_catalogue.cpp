// The firmware catalogue: its rows, the file hash, the archive check against delivered and damaged data, the
// offered version and the version numbers.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <set>

#include "Classes/OVNFirmwareCatalogue.h"
#include "Classes/OVNSRecord.h"
#include "FirmwareTestSupport.h"
#include "platform/Crypto.h"
#include "platform/Value.h"

namespace ovn {
namespace {

namespace cat = OVNFirmwareCatalogue;
using test::LogCapture;
using test::TempResources;

const std::string kKey(cat::kPrinterClassName);

bool isFileHashText(const std::string& h) {
    if (h.size() != 66 || h.substr(64) != "00") return false;
    return std::all_of(h.begin(), h.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::vector<std::string> listAt(const DeviceInfoDict& info, const std::string& key) {
    auto v = info.get(key);
    if (!v) return {};
    auto list = std::get_if<std::vector<std::string>>(&*v);
    return list ? *list : std::vector<std::string>{};
}

// ------------------------------------------------------------------------------------------------
// The catalogue itself

TEST(FirmwareCatalogue, RowsNameTheModelsFilesInUploadOrder) {
    const auto* pl15 = cat::rowForProductID(0x0101);
    ASSERT_NE(pl15, nullptr);
    EXPECT_EQ(pl15->files, (std::vector<std::string>{"PL15 01.61.fw", "PL15_300_0161.cwd", "PL15_600_0161.cwd"}));
    EXPECT_EQ(cat::rowForProductID(0x0102)->files,
              (std::vector<std::string>{"PL25 01.30.fw", "PL25_300_0130.cwd", "PL25_600_0130.cwd"}));
    EXPECT_EQ(cat::rowForProductID(0x0103)->files,
              (std::vector<std::string>{"PL-MV1 02.06.fw", "PL-MV1_300_0201.cwd", "PL-MV1_600_0100.cwd"}));
    EXPECT_EQ(cat::rowForProductID(0x5C01)->files,
              (std::vector<std::string>{"PL35 01.52.fw", "PL35_300_0111.cwd", "PL35_600_0111.cwd",
                                        "PL35_610_0111.cwd"}));
    const auto* pl45 = cat::rowForProductID(0x5D01);
    ASSERT_NE(pl45, nullptr);
    EXPECT_EQ(pl45->colorTableFiles(),
              (std::vector<std::string>{"PL45_SD_300_0101.cwd", "PL45_PP_300_0101.cwd", "PL45_SD_600_0101.cwd",
                                        "PL45_PP_600_0101.cwd", "PL45_SD_610_0101.cwd", "PL45_PP_610_0101.cwd",
                                        "PL45_SD_620_0101.cwd", "PL45_PP_620_0101.cwd"}));
    EXPECT_EQ(pl45->firmwareFile(), "PL45 01.05.fw");

    std::set<uint16_t> ids;
    for (const auto& row : cat::catalogue()) {
        ids.insert(row.productID);
        EXPECT_EQ(row.files.size(), row.hashes.size()) << row.model;
        for (const auto& h : row.hashes) EXPECT_TRUE(isFileHashText(h)) << row.model << ": " << h;
        EXPECT_EQ(cat::rowForModel(row.model), &row);
    }
    EXPECT_EQ(ids, (std::set<uint16_t>{0x0101, 0x0102, 0x0103, 0x0106, 0x5C01, 0x5D01}));
    EXPECT_EQ(cat::rowForProductID(0x0104), nullptr);
    EXPECT_EQ(cat::rowForProductID(0x0000), nullptr);
    EXPECT_EQ(cat::rowForModel("PL55"), nullptr);
}

TEST(FirmwareCatalogue, DuplexRowSharesThePL25ColourTablesAndHashes) {
    const auto* pl25 = cat::rowForModel("PL25");
    const auto* duplex = cat::rowForProductID(0x0106);
    ASSERT_NE(pl25, nullptr);
    ASSERT_NE(duplex, nullptr);
    EXPECT_EQ(duplex->model, "PL25 duplex");
    EXPECT_EQ(duplex->firmwareFile(), "PL25DUP 1.40PRN.fw");
    EXPECT_EQ(duplex->colorTableFiles(), pl25->colorTableFiles());
    EXPECT_EQ(std::vector<std::string>(duplex->hashes.begin() + 1, duplex->hashes.end()),
              std::vector<std::string>(pl25->hashes.begin() + 1, pl25->hashes.end()));
    EXPECT_NE(duplex->hashes[0], pl25->hashes[0]);
}

// ------------------------------------------------------------------------------------------------
// The file hash

TEST(FileHash, IsKeyedHmacFollowedByAZeroByte) {
    // Known answers, computed outside this code base with a stock HMAC-SHA256.
    const auto data = test::bytesOf("S00600004844521B\n");
    EXPECT_EQ(cat::verifyBlob(kKey, data), "c5d47b56a45e089f4337ff7373ad0b564e9cbfe0fc4027ca0d43f2369565cc7900");
    // Another class name keys other hashes.
    EXPECT_EQ(cat::verifyBlob("ZVUSBPrinterOVNSub", data),
              "30883b87f1259b183b8884abb5456e633e842abd675eb57ed994a98f5c66ea5b00");
    // A single zero byte is contents, not emptiness.
    EXPECT_EQ(cat::verifyBlob(kKey, std::vector<uint8_t>{0}),
              "c7c53e32a4181daa7348b9ced5370f2536fc4ed309913ac06f1b6c7f5f6c234d00");
    EXPECT_EQ(cat::verifyBlob(kKey, std::vector<uint8_t>{}), std::nullopt);
}

TEST(FileHash, AsciiHexIsLowercaseWithoutSeparators) {
    EXPECT_EQ(cat::asciiHexForData(std::vector<uint8_t>{0x00, 0x0A, 0xAB, 0xFF, 0x10}), "000aabff10");
    EXPECT_EQ(cat::asciiHexForData(std::vector<uint8_t>{}), "");
}

TEST(FileHash, StreamedFileHashEqualsHashOfContents) {
    TempResources res;
    const auto bytes = test::bytesOf("S9030000FC\n");
    test::writeBytes(res.path("a.fw"), bytes);
    test::writeBytes(res.path("empty.cwd"), {});
    auto h = cat::fileHashForResource(kKey, "a.fw");
    EXPECT_EQ(h.status, cat::FileHash::Status::Hashed);
    EXPECT_EQ(h.hash, cat::verifyBlob(kKey, bytes));
    EXPECT_EQ(cat::fileHashForResource(kKey, "empty.cwd").status, cat::FileHash::Status::Empty);
    EXPECT_TRUE(cat::fileHashForResource(kKey, "empty.cwd").hash.empty());
    EXPECT_EQ(cat::fileHashForResource(kKey, "absent.cwd").status, cat::FileHash::Status::NotFound);
    std::filesystem::create_directory(res.path("dir.cwd"));
    EXPECT_FALSE(cat::fileHashForResource(kKey, "dir.cwd").wasRead());
}

// ------------------------------------------------------------------------------------------------
// The delivered data

TEST(DeliveredData, EveryFileMatchesItsPinnedHash) {
    for (const auto& row : cat::catalogue()) {
        for (size_t i = 0; i < row.files.size(); ++i) {
            auto path = cat::resourcePath(row.files[i]);
            ASSERT_TRUE(path) << row.files[i] << " is not among the delivered data";
            // Hash of the whole contents read at once, independent of the streamed file hash.
            auto bytes = test::readBytes(*path);
            EXPECT_EQ(cat::verifyBlob(kKey, bytes), row.hashes[i]) << row.files[i];
            EXPECT_EQ(cat::fileHashForResource(kKey, row.files[i]).hash, row.hashes[i]) << row.files[i];
        }
    }
}

TEST(DeliveredData, FirmwareFilesAreSRecordImagesNamingTheirVersion) {
    uintmax_t largest = 0;
    std::string largestName;
    for (const auto& row : cat::catalogue()) {
        auto path = cat::resourcePath(row.firmwareFile());
        ASSERT_TRUE(path);
        const auto size = std::filesystem::file_size(*path);
        EXPECT_GE(size, 1'000'000u) << row.firmwareFile();
        EXPECT_LE(size, 8'000'000u) << row.firmwareFile();
        if (size > largest) largest = size, largestName = row.firmwareFile();
        auto bytes = test::readBytes(*path);
        EXPECT_TRUE(OVNSRecord::verifySRecData(bytes)) << row.firmwareFile();
        // The S0 header carries the version text, the file name without ".fw".
        const std::string version = cat::nameWithoutExtension(row.firmwareFile());
        std::string header(bytes.begin(), std::find(bytes.begin(), bytes.end(), '\n'));
        if (!header.empty() && header.back() == '\r') header.pop_back();
        // "S0", count, address 0000, the version text as hex pairs, checksum.
        auto upperHex = [](std::vector<uint8_t> b) {
            std::string hex = cat::asciiHexForData(b);
            for (auto& c : hex) c = static_cast<char>(toupper(c));
            return hex;
        };
        const std::string versionHex = upperHex(test::bytesOf(version));
        ASSERT_EQ(header.size(), 8 + versionHex.size() + 2) << header;
        EXPECT_EQ(header.substr(0, 2), "S0");
        EXPECT_EQ(header.substr(2, 2), upperHex({static_cast<uint8_t>(2 + version.size() + 1)}));
        EXPECT_EQ(header.substr(4, 4), "0000");
        EXPECT_EQ(header.substr(8, versionHex.size()), versionHex) << row.firmwareFile();
    }
    EXPECT_EQ(largestName, "PL45 01.05.fw");
    for (const auto& row : cat::catalogue())
        for (const auto& table : row.colorTableFiles()) {
            auto size = std::filesystem::file_size(*cat::resourcePath(table));
            EXPECT_GE(size, 64u * 1024) << table;
            EXPECT_LE(size, 1024u * 1024) << table;
        }
}

TEST(DeliveredData, ModelPicturesArePNGs) {
    for (const char* name : {"OVN_PL_Series.png", "OVN_MV_Series.png", "PL35A_LSide.png", "PL45.png"}) {
        auto path = Bundle::pathForResource(name);
        ASSERT_TRUE(path) << name;
        auto bytes = test::readBytes(*path);
        ASSERT_GT(bytes.size(), 33u) << name;
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 8),
                  (std::vector<uint8_t>{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}))
            << name;
        EXPECT_EQ(std::string(bytes.begin() + 12, bytes.begin() + 16), "IHDR") << name;
    }
    for (const auto& row : cat::catalogue()) EXPECT_TRUE(Bundle::pathForResource(row.pictureName + ".png"));
}

// ------------------------------------------------------------------------------------------------
// The archive check

struct ArchiveRun {
    bool result = false;
    std::vector<std::vector<std::string>> recorded;  // what setFilenames received, call by call
};

ArchiveRun runArchiveCheck(uint16_t productID, DeviceInfoDict& info, std::string_view key = cat::kPrinterClassName) {
    ArchiveRun run;
    run.result = cat::verifyFirmwareArchive(productID, key, info,
                                            [&](const std::vector<std::string>& list) { run.recorded.push_back(list); });
    return run;
}

TEST(ArchiveCheck, DeliveredFilesPassForEveryModel) {
    for (const auto& row : cat::catalogue()) {
        LogCapture log;
        DeviceInfoDict info;
        auto run = runArchiveCheck(row.productID, info);
        EXPECT_TRUE(run.result) << row.model;
        char expectedLine[64];
        snprintf(expectedLine, sizeof expectedLine, "switching on productID 0x%x", row.productID);
        EXPECT_TRUE(log.contains(expectedLine)) << expectedLine;
        ASSERT_EQ(run.recorded.size(), 1u);
        EXPECT_EQ(run.recorded[0], row.files);
        EXPECT_EQ(listAt(info, cFirmwareFileHashes), row.hashes);
        for (const auto& name : row.files) EXPECT_EQ(info.getBool(name), true) << name;
        // The list itself is recorded by the caller's setFilenames, not here.
        EXPECT_FALSE(info.contains(cFirmwareFilenames));
    }
}

TEST(ArchiveCheck, UnknownProductLeavesEverythingUnchanged) {
    LogCapture log;
    DeviceInfoDict info;
    info.set("firmwareVersion", std::string("PL15 01.50"));
    auto run = runArchiveCheck(0x0104, info);
    EXPECT_FALSE(run.result);
    EXPECT_TRUE(run.recorded.empty());
    EXPECT_EQ(info.count(), 1u);
    EXPECT_TRUE(log.contains("switching on productID 0x104"));
}

TEST(ArchiveCheck, ADifferentClassNameComputesOtherHashes) {
    DeviceInfoDict info;
    auto run = runArchiveCheck(0x0101, info, "ZVUSBPrinterOVNTest");
    EXPECT_FALSE(run.result);
    EXPECT_EQ(info.getBool("PL15 01.61.fw"), false);
    EXPECT_FALSE(info.contains("PL15_300_0161.cwd"));  // the check stopped at the first mismatch
}

class DamagedArchive : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto& name : cat::rowForProductID(0x0101)->files) res.copyDelivered(name);
    }
    TempResources res;
    DeviceInfoDict info;
};

TEST_F(DamagedArchive, IntactCopyPasses) {
    EXPECT_TRUE(runArchiveCheck(0x0101, info).result);
}

TEST_F(DamagedArchive, MissingFirmwareIsSkippedAndTheTablesDecide) {
    std::filesystem::remove(res.path("PL15 01.61.fw"));
    EXPECT_TRUE(runArchiveCheck(0x0101, info).result);
    EXPECT_FALSE(info.contains("PL15 01.61.fw"));
    EXPECT_EQ(info.getBool("PL15_300_0161.cwd"), true);
    EXPECT_EQ(info.getBool("PL15_600_0161.cwd"), true);
    // The image that would be sent is checked again on its own and is missing.
    LogCapture log;
    info.set(cFirmwareFilenames, cat::rowForProductID(0x0101)->files);
    EXPECT_FALSE(OVNSRecord::firmwareBlob(info));
    EXPECT_TRUE(log.contains("Bad firmware file! Verification failed!"));
}

TEST_F(DamagedArchive, AllFilesMissingFails) {
    for (const auto& name : cat::rowForProductID(0x0101)->files) std::filesystem::remove(res.path(name));
    auto run = runArchiveCheck(0x0101, info);
    EXPECT_FALSE(run.result);
    // The list and hashes are still recorded; no verdicts are.
    EXPECT_EQ(run.recorded.size(), 1u);
    EXPECT_EQ(listAt(info, cFirmwareFileHashes).size(), 3u);
    EXPECT_EQ(info.count(), 1u);
}

TEST_F(DamagedArchive, EmptyColourTableFailsWithAVerdict) {
    test::writeBytes(res.path("PL15_300_0161.cwd"), {});
    EXPECT_FALSE(runArchiveCheck(0x0101, info).result);
    EXPECT_EQ(info.getBool("PL15 01.61.fw"), true);
    EXPECT_EQ(info.getBool("PL15_300_0161.cwd"), false);
    EXPECT_FALSE(info.contains("PL15_600_0161.cwd"));
}

TEST_F(DamagedArchive, OneChangedByteAnywhereFails) {
    auto path = res.path("PL15_600_0161.cwd");
    auto bytes = test::readBytes(path);
    for (size_t at : {size_t{0}, bytes.size() / 2, bytes.size() - 1}) {
        auto damaged = bytes;
        damaged[at] ^= 0x01;
        test::writeBytes(path, damaged);
        DeviceInfoDict fresh;
        EXPECT_FALSE(runArchiveCheck(0x0101, fresh).result) << "byte " << at;
        EXPECT_EQ(fresh.getBool("PL15_600_0161.cwd"), false);
    }
    // A byte appended is a change as well.
    auto longer = bytes;
    longer.push_back(0);
    test::writeBytes(path, longer);
    EXPECT_FALSE(runArchiveCheck(0x0101, info).result);
}

TEST_F(DamagedArchive, ChangedFirmwareStopsBeforeTheTables) {
    auto path = res.path("PL15 01.61.fw");
    auto bytes = test::readBytes(path);
    bytes[100] = bytes[100] == 'A' ? 'B' : 'A';
    test::writeBytes(path, bytes);
    EXPECT_FALSE(runArchiveCheck(0x0101, info).result);
    EXPECT_EQ(info.getBool("PL15 01.61.fw"), false);
    EXPECT_FALSE(info.contains("PL15_300_0161.cwd"));
}

TEST_F(DamagedArchive, FirmwareCutBetweenTwoRecordsIsCaughtByItsHash) {
    // Every remaining line is a good record, so the line check alone cannot tell; the file hash can.
    auto path = res.path("PL15 01.61.fw");
    auto bytes = test::readBytes(path);
    const std::string text(bytes.begin(), bytes.end());
    const size_t cut = text.find('\n', text.size() / 2) + 1;
    bytes.resize(cut);
    test::writeBytes(path, bytes);
    EXPECT_TRUE(OVNSRecord::verifySRecData(bytes));
    EXPECT_FALSE(runArchiveCheck(0x0101, info).result);
    EXPECT_EQ(info.getBool("PL15 01.61.fw"), false);
}

TEST_F(DamagedArchive, EveryCheckReadsTheFilesAgain) {
    EXPECT_TRUE(runArchiveCheck(0x0101, info).result);
    test::writeText(res.path("PL15_600_0161.cwd"), "replaced");
    EXPECT_FALSE(runArchiveCheck(0x0101, info).result);
    EXPECT_EQ(info.getBool("PL15_600_0161.cwd"), false);
}

// ------------------------------------------------------------------------------------------------
// Offered version and version numbers

TEST(OfferedVersion, IsTheFirmwareFileNameWithoutExtension) {
    EXPECT_EQ(cat::offeredFirmwareVersion(cat::rowForProductID(0x0101)->files), "PL15 01.61");
    EXPECT_EQ(cat::offeredFirmwareVersion(cat::rowForProductID(0x0106)->files), "PL25DUP 1.40PRN");
    EXPECT_EQ(cat::offeredFirmwareVersion(std::vector<std::string>{}), std::nullopt);
    EXPECT_EQ(cat::offeredFirmwareVersion(std::nullopt), std::nullopt);
    EXPECT_EQ(cat::nameWithoutExtension("PL-MV1 02.06.fw"), "PL-MV1 02.06");
    EXPECT_EQ(cat::nameWithoutExtension("noext"), "noext");
    EXPECT_EQ(cat::nameWithoutExtension("dir.d/file"), "dir.d/file");
    EXPECT_EQ(cat::nameWithoutExtension(".hidden"), ".hidden");
}

TEST(OfferedVersion, RunsTheArchiveCheckOnlyWithoutARecordedList) {
    DeviceInfoDict info;
    int checks = 0;
    // A check that records the list at once.
    auto recordingCheck = [&] {
        ++checks;
        return cat::verifyFirmwareArchive(0x0101, kKey, info,
                                          [&](const std::vector<std::string>& l) { info.set(cFirmwareFilenames, l); });
    };
    EXPECT_EQ(cat::newFirmwareVersion(info, recordingCheck), "PL15 01.61");
    EXPECT_EQ(checks, 1);
    EXPECT_EQ(cat::newFirmwareVersion(info, recordingCheck), "PL15 01.61");
    EXPECT_EQ(checks, 1);

    // A check whose list arrives later (on the main queue): nothing yet.
    DeviceInfoDict later;
    std::vector<std::string> pending;
    auto deferredCheck = [&] {
        return cat::verifyFirmwareArchive(0x0101, kKey, later,
                                          [&](const std::vector<std::string>& l) { pending = l; });
    };
    EXPECT_EQ(cat::newFirmwareVersion(later, deferredCheck), std::nullopt);
    later.set(cFirmwareFilenames, pending);
    EXPECT_EQ(cat::newFirmwareVersion(later, deferredCheck), "PL15 01.61");

    // No catalogue row: nothing.
    DeviceInfoDict unknown;
    EXPECT_EQ(cat::newFirmwareVersion(unknown, [&] {
                  return cat::verifyFirmwareArchive(0x0104, kKey, unknown, nullptr);
              }),
              std::nullopt);
}

TEST(VersionNumber, LastBlankSeparatedPieceLeadingNumber) {
    EXPECT_DOUBLE_EQ(cat::versionNumber(std::string("PL15 01.61")), 1.61);
    EXPECT_DOUBLE_EQ(cat::versionNumber(std::string("PL25DUP 1.40PRN")), 1.4);
    EXPECT_DOUBLE_EQ(cat::availableFirmwareVersion(std::string("PL45 01.05")), 1.05);
    EXPECT_DOUBLE_EQ(cat::installedFirmwareVersion(std::string("1.7")), 1.7);  // no blank: the whole text
    EXPECT_DOUBLE_EQ(cat::installedFirmwareVersion(std::nullopt), 0.0);
    EXPECT_DOUBLE_EQ(cat::installedFirmwareVersion(std::string()), 0.0);
    EXPECT_DOUBLE_EQ(cat::versionNumber(std::string("PL15 ")), 0.0);  // the last piece is empty
    EXPECT_DOUBLE_EQ(cat::versionNumber(std::string("PL15 1.2 beta")), 0.0);
    EXPECT_DOUBLE_EQ(cat::versionNumber(std::string("MV1_ALLFWU_2.05")), 0.0);
    EXPECT_DOUBLE_EQ(cat::versionNumber(std::string("A B C 3.25")), 3.25);
    EXPECT_DOUBLE_EQ(cat::versionNumber(std::string("PL15 01.61\r")), 1.61);
}

TEST(VersionNumber, ReadsTheLongestLeadingDecimalNumber) {
    EXPECT_DOUBLE_EQ(cat::doubleValue(" \t\n2.5x"), 2.5);
    EXPECT_DOUBLE_EQ(cat::doubleValue("-1.5"), -1.5);
    EXPECT_DOUBLE_EQ(cat::doubleValue("+3"), 3.0);
    EXPECT_DOUBLE_EQ(cat::doubleValue(".5"), 0.5);
    EXPECT_DOUBLE_EQ(cat::doubleValue("5."), 5.0);
    EXPECT_DOUBLE_EQ(cat::doubleValue("1.2.3"), 1.2);
    EXPECT_DOUBLE_EQ(cat::doubleValue("1e3"), 1000.0);
    EXPECT_DOUBLE_EQ(cat::doubleValue("1.2e"), 1.2);
    EXPECT_DOUBLE_EQ(cat::doubleValue("1.2e+"), 1.2);
    EXPECT_DOUBLE_EQ(cat::doubleValue("2E-1z"), 0.2);
    EXPECT_DOUBLE_EQ(cat::doubleValue("00012"), 12.0);
    EXPECT_DOUBLE_EQ(cat::doubleValue("-"), 0.0);
    EXPECT_DOUBLE_EQ(cat::doubleValue("."), 0.0);
    EXPECT_DOUBLE_EQ(cat::doubleValue("x1"), 0.0);
    EXPECT_DOUBLE_EQ(cat::doubleValue("0x1A"), 0.0);
    EXPECT_EQ(cat::doubleValue("1e999"), HUGE_VAL);
    EXPECT_EQ(cat::doubleValue("-1e999"), -HUGE_VAL);
    EXPECT_EQ(cat::doubleValue("1e-999"), 0.0);
    EXPECT_EQ(cat::doubleValue("0.00000e999"), 0.0);
}

TEST(VersionNumber, OnlyAStrictlyNewerInstalledVersionCounts) {
    const double offered = cat::availableFirmwareVersion(std::string("PL15 01.61"));
    EXPECT_FALSE(cat::installedIsNewerThanOffered(cat::installedFirmwareVersion(std::string("PL15 01.61")), offered));
    EXPECT_FALSE(cat::installedIsNewerThanOffered(cat::installedFirmwareVersion(std::string("PL15 1.61")), offered));
    EXPECT_FALSE(cat::installedIsNewerThanOffered(cat::installedFirmwareVersion(std::string("PL15 01.50")), offered));
    EXPECT_TRUE(cat::installedIsNewerThanOffered(cat::installedFirmwareVersion(std::string("PL15 1.7")), offered));
    EXPECT_FALSE(cat::installedIsNewerThanOffered(cat::installedFirmwareVersion(std::nullopt), offered));
}

}  // namespace
}  // namespace ovn
