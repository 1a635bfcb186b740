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
using Files = std::vector<std::string>;

const std::string kKey(cat::kPrinterClassName);

bool isFileHashText(const std::string& h) {
    return h.size() == 66 && h.substr(64) == "00" &&
           std::all_of(h.begin(), h.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

Files listAt(const DeviceInfoDict& info, const std::string& key) {
    auto v = info.get(key);
    auto list = v ? std::get_if<Files>(&*v) : nullptr;
    return list ? *list : Files{};
}

std::string upperHex(const std::vector<uint8_t>& b) {
    std::string hex = cat::asciiHexForData(b);
    for (auto& c : hex) c = static_cast<char>(toupper(c));
    return hex;
}

// ---- The catalogue itself

TEST(FirmwareCatalogue, RowsNameTheModelsFilesInUploadOrder) {
    const std::pair<uint16_t, Files> rows[] = {
        {0x0101, {"PL15 01.61.fw", "PL15_300_0161.cwd", "PL15_600_0161.cwd"}},
        {0x0102, {"PL25 01.30.fw", "PL25_300_0130.cwd", "PL25_600_0130.cwd"}},
        {0x0103, {"PL-MV1 02.06.fw", "PL-MV1_300_0201.cwd", "PL-MV1_600_0100.cwd"}},
        {0x5C01, {"PL35 01.52.fw", "PL35_300_0111.cwd", "PL35_600_0111.cwd", "PL35_610_0111.cwd"}}};
    for (const auto& [id, files] : rows) {
        ASSERT_NE(cat::rowForProductID(id), nullptr) << id;
        EXPECT_EQ(cat::rowForProductID(id)->files, files) << id;
    }
    const auto* pl45 = cat::rowForProductID(0x5D01);
    ASSERT_NE(pl45, nullptr);
    EXPECT_EQ(pl45->colorTableFiles(),
              (Files{"PL45_SD_300_0101.cwd", "PL45_PP_300_0101.cwd", "PL45_SD_600_0101.cwd", "PL45_PP_600_0101.cwd",
                     "PL45_SD_610_0101.cwd", "PL45_PP_610_0101.cwd", "PL45_SD_620_0101.cwd", "PL45_PP_620_0101.cwd"}));
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
    ASSERT_TRUE(pl25 && duplex);
    EXPECT_EQ(duplex->model, "PL25 duplex");
    EXPECT_EQ(duplex->firmwareFile(), "PL25DUP 1.40PRN.fw");
    EXPECT_EQ(duplex->colorTableFiles(), pl25->colorTableFiles());
    EXPECT_TRUE(
        std::equal(duplex->hashes.begin() + 1, duplex->hashes.end(), pl25->hashes.begin() + 1, pl25->hashes.end()));
    EXPECT_NE(duplex->hashes[0], pl25->hashes[0]);
}

// ---- The file hash

TEST(FileHash, IsKeyedHmacFollowedByAZeroByteInLowercaseHex) {
    // Known answers, computed outside this code base with a stock HMAC-SHA256.
    const auto data = test::bytesOf("S00600004844521B\n");
    EXPECT_EQ(cat::verifyBlob(kKey, data), "c5d47b56a45e089f4337ff7373ad0b564e9cbfe0fc4027ca0d43f2369565cc7900");
    EXPECT_EQ(cat::verifyBlob("ZVUSBPrinterOVNSub", data),
              "30883b87f1259b183b8884abb5456e633e842abd675eb57ed994a98f5c66ea5b00");
    // A single zero byte is contents, not emptiness.
    EXPECT_EQ(cat::verifyBlob(kKey, std::vector<uint8_t>{0}),
              "c7c53e32a4181daa7348b9ced5370f2536fc4ed309913ac06f1b6c7f5f6c234d00");
    EXPECT_EQ(cat::verifyBlob(kKey, std::vector<uint8_t>{}), std::nullopt);
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

// ---- The delivered data

TEST(DeliveredData, EveryFileMatchesItsPinnedHash) {
    for (const auto& row : cat::catalogue())
        for (size_t i = 0; i < row.files.size(); ++i) {
            auto path = cat::resourcePath(row.files[i]);
            ASSERT_TRUE(path) << row.files[i] << " is not among the delivered data";
            // The whole contents hashed at once, independent of the streamed file hash.
            EXPECT_EQ(cat::verifyBlob(kKey, test::readBytes(*path)), row.hashes[i]) << row.files[i];
            EXPECT_EQ(cat::fileHashForResource(kKey, row.files[i]).hash, row.hashes[i]) << row.files[i];
        }
}

TEST(DeliveredData, FirmwareFilesAreSRecordImagesNamingTheirVersion) {
    uintmax_t largest = 0;
    std::string largestName;
    for (const auto& row : cat::catalogue()) {
        SCOPED_TRACE(row.firmwareFile());
        auto path = cat::resourcePath(row.firmwareFile());
        ASSERT_TRUE(path);
        const auto size = std::filesystem::file_size(*path);
        EXPECT_GE(size, 1'000'000u);
        EXPECT_LE(size, 8'000'000u);
        if (size > largest) largest = size, largestName = row.firmwareFile();
        auto bytes = test::readBytes(*path);
        EXPECT_TRUE(OVNSRecord::verifySRecData(bytes));
        // The S0 header: "S0", count, address 0000, the version text (file name without ".fw") in hex, checksum.
        const std::string version = cat::nameWithoutExtension(row.firmwareFile());
        std::string header(bytes.begin(), std::find(bytes.begin(), bytes.end(), '\n'));
        if (!header.empty() && header.back() == '\r') header.pop_back();
        const std::string versionHex = upperHex(test::bytesOf(version));
        ASSERT_EQ(header.size(), 8 + versionHex.size() + 2) << header;
        EXPECT_EQ(header.substr(0, 8), "S0" + upperHex({static_cast<uint8_t>(2 + version.size() + 1)}) + "0000");
        EXPECT_EQ(header.substr(8, versionHex.size()), versionHex);
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
                  (std::vector<uint8_t>{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'})) << name;
        EXPECT_EQ(std::string(bytes.begin() + 12, bytes.begin() + 16), "IHDR") << name;
    }
    for (const auto& row : cat::catalogue()) EXPECT_TRUE(Bundle::pathForResource(row.pictureName + ".png"));
}

// ---- The archive check

struct ArchiveRun {
    bool result = false;
    std::vector<Files> recorded;  // what setFilenames received, call by call
};

ArchiveRun runArchiveCheck(uint16_t productID, DeviceInfoDict& info, std::string_view key = cat::kPrinterClassName) {
    ArchiveRun run;
    run.result = cat::verifyFirmwareArchive(productID, key, info, [&](const Files& l) { run.recorded.push_back(l); });
    return run;
}

TEST(ArchiveCheck, DeliveredFilesPassForEveryModel) {
    for (const auto& row : cat::catalogue()) {
        SCOPED_TRACE(row.model);
        LogCapture log;
        DeviceInfoDict info;
        auto run = runArchiveCheck(row.productID, info);
        EXPECT_TRUE(run.result);
        char expectedLine[64];
        snprintf(expectedLine, sizeof expectedLine, "switching on productID 0x%x", row.productID);
        EXPECT_TRUE(log.contains(expectedLine)) << expectedLine;
        ASSERT_EQ(run.recorded.size(), 1u);
        EXPECT_EQ(run.recorded[0], row.files);
        EXPECT_EQ(listAt(info, cFirmwareFileHashes), row.hashes);
        for (const auto& name : row.files) EXPECT_EQ(info.getBool(name), true) << name;
        EXPECT_FALSE(info.contains(cFirmwareFilenames));  // the caller's setFilenames records the list
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
    EXPECT_FALSE(runArchiveCheck(0x0101, info, "ZVUSBPrinterOVNTest").result);
    EXPECT_EQ(info.getBool("PL15 01.61.fw"), false);
    EXPECT_FALSE(info.contains("PL15_300_0161.cwd"));  // the check stopped at the first mismatch
}

class DamagedArchive : public ::testing::Test {
protected:
    void SetUp() override {
        for (const auto& name : cat::rowForProductID(0x0101)->files) res.copyDelivered(name);
    }
    // Writes the file changed by `change` and runs the check on a fresh dictionary.
    bool checkWith(const std::string& name, const std::function<void(std::vector<uint8_t>&)>& change) {
        auto bytes = test::readBytes(res.path(name));
        change(bytes);
        test::writeBytes(res.path(name), bytes);
        info.clear();
        return runArchiveCheck(0x0101, info).result;
    }
    TempResources res;
    DeviceInfoDict info;
};

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
    EXPECT_FALSE(checkWith("PL15_300_0161.cwd", [](auto& b) { b.clear(); }));
    EXPECT_EQ(info.getBool("PL15 01.61.fw"), true);
    EXPECT_EQ(info.getBool("PL15_300_0161.cwd"), false);
    EXPECT_FALSE(info.contains("PL15_600_0161.cwd"));
}

TEST_F(DamagedArchive, OneChangedOrAppendedByteAnywhereFails) {
    const auto original = test::readBytes(res.path("PL15_600_0161.cwd"));
    for (size_t at : {size_t{0}, original.size() / 2, original.size() - 1}) {
        EXPECT_FALSE(checkWith("PL15_600_0161.cwd", [&](auto& b) { (b = original)[at] ^= 0x01; })) << "byte " << at;
        EXPECT_EQ(info.getBool("PL15_600_0161.cwd"), false);
    }
    EXPECT_FALSE(checkWith("PL15_600_0161.cwd", [&](auto& b) { (b = original).push_back(0); }));
}

TEST_F(DamagedArchive, ChangedFirmwareStopsBeforeTheTables) {
    EXPECT_FALSE(checkWith("PL15 01.61.fw", [](auto& b) { b[100] = b[100] == 'A' ? 'B' : 'A'; }));
    EXPECT_EQ(info.getBool("PL15 01.61.fw"), false);
    EXPECT_FALSE(info.contains("PL15_300_0161.cwd"));
}

TEST_F(DamagedArchive, FirmwareCutBetweenTwoRecordsIsCaughtByItsHash) {
    // Every remaining line is a good record, so the line check alone cannot tell; the file hash can.
    std::vector<uint8_t> cut;
    EXPECT_FALSE(checkWith("PL15 01.61.fw", [&](auto& b) {
        const std::string text(b.begin(), b.end());
        b.resize(text.find('\n', text.size() / 2) + 1);
        cut = b;
    }));
    EXPECT_TRUE(OVNSRecord::verifySRecData(cut));
    EXPECT_EQ(info.getBool("PL15 01.61.fw"), false);
}

TEST_F(DamagedArchive, EveryCheckReadsTheFilesAgain) {
    EXPECT_TRUE(runArchiveCheck(0x0101, info).result);
    EXPECT_FALSE(checkWith("PL15_600_0161.cwd", [](auto& b) { b = test::bytesOf("replaced"); }));
    EXPECT_EQ(info.getBool("PL15_600_0161.cwd"), false);
}

// ---- Offered version and version numbers

TEST(OfferedVersion, IsTheFirmwareFileNameWithoutExtension) {
    EXPECT_EQ(cat::offeredFirmwareVersion(cat::rowForProductID(0x0101)->files), "PL15 01.61");
    EXPECT_EQ(cat::offeredFirmwareVersion(cat::rowForProductID(0x0106)->files), "PL25DUP 1.40PRN");
    EXPECT_EQ(cat::offeredFirmwareVersion(Files{}), std::nullopt);
    EXPECT_EQ(cat::offeredFirmwareVersion(std::nullopt), std::nullopt);
    for (auto [name, expected] : {std::pair{"PL-MV1 02.06.fw", "PL-MV1 02.06"}, {"noext", "noext"},
                                  {"dir.d/file", "dir.d/file"}, {".hidden", ".hidden"}})
        EXPECT_EQ(cat::nameWithoutExtension(name), expected) << name;
}

TEST(OfferedVersion, RunsTheArchiveCheckOnlyWithoutARecordedList) {
    DeviceInfoDict info;
    int checks = 0;
    // A check that records the list at once.
    auto recordingCheck = [&] {
        ++checks;
        return cat::verifyFirmwareArchive(0x0101, kKey, info, [&](const Files& l) { info.set(cFirmwareFilenames, l); });
    };
    EXPECT_EQ(cat::newFirmwareVersion(info, recordingCheck), "PL15 01.61");
    EXPECT_EQ(cat::newFirmwareVersion(info, recordingCheck), "PL15 01.61");
    EXPECT_EQ(checks, 1);

    // A check whose list arrives later (on the main queue): nothing yet.
    DeviceInfoDict later;
    Files pending;
    auto deferredCheck = [&] {
        return cat::verifyFirmwareArchive(0x0101, kKey, later, [&](const Files& l) { pending = l; });
    };
    EXPECT_EQ(cat::newFirmwareVersion(later, deferredCheck), std::nullopt);
    later.set(cFirmwareFilenames, pending);
    EXPECT_EQ(cat::newFirmwareVersion(later, deferredCheck), "PL15 01.61");

    DeviceInfoDict unknown;  // no catalogue row: nothing
    auto unknownCheck = [&] { return cat::verifyFirmwareArchive(0x0104, kKey, unknown, nullptr); };
    EXPECT_EQ(cat::newFirmwareVersion(unknown, unknownCheck), std::nullopt);
}

TEST(VersionNumber, LastBlankSeparatedPieceLeadingNumber) {
    const std::pair<const char*, double> cases[] = {
        {"PL15 01.61", 1.61}, {"PL25DUP 1.40PRN", 1.4}, {"PL15 ", 0.0} /* the last piece is empty */,
        {"PL15 1.2 beta", 0.0}, {"MV1_ALLFWU_2.05", 0.0}, {"A B C 3.25", 3.25}, {"PL15 01.61\r", 1.61}};
    for (auto [text, number] : cases) EXPECT_DOUBLE_EQ(cat::versionNumber(std::string(text)), number) << text;
    EXPECT_DOUBLE_EQ(cat::availableFirmwareVersion(std::string("PL45 01.05")), 1.05);
    EXPECT_DOUBLE_EQ(cat::installedFirmwareVersion(std::string("1.7")), 1.7);  // no blank: the whole text
    EXPECT_DOUBLE_EQ(cat::installedFirmwareVersion(std::nullopt), 0.0);
    EXPECT_DOUBLE_EQ(cat::installedFirmwareVersion(std::string()), 0.0);
}

TEST(VersionNumber, ReadsTheLongestLeadingDecimalNumber) {
    const std::pair<const char*, double> cases[] = {
        {" \t\n2.5x", 2.5}, {"-1.5", -1.5}, {"+3", 3.0},   {".5", 0.5},       {"5.", 5.0},       {"1.2.3", 1.2},
        {"1e3", 1000.0},    {"1.2e", 1.2},  {"1.2e+", 1.2}, {"2E-1z", 0.2},   {"00012", 12.0},   {"-", 0.0},
        {".", 0.0},         {"x1", 0.0},    {"0x1A", 0.0},  {"1e999", HUGE_VAL}, {"-1e999", -HUGE_VAL},
        {"1e-999", 0.0},    {"0.00000e999", 0.0}};
    for (auto [text, number] : cases) {
        if (std::isinf(number) || number == 0.0) {
            EXPECT_EQ(cat::doubleValue(text), number) << text;
        } else {
            EXPECT_DOUBLE_EQ(cat::doubleValue(text), number) << text;
        }
    }
}

TEST(VersionNumber, OnlyAStrictlyNewerInstalledVersionCounts) {
    const double offered = cat::availableFirmwareVersion(std::string("PL15 01.61"));
    for (auto [installed, newer] : {std::pair{"PL15 01.61", false}, {"PL15 1.61", false}, {"PL15 01.50", false},
                                    {"PL15 1.7", true}})
        EXPECT_EQ(cat::installedIsNewerThanOffered(cat::installedFirmwareVersion(installed), offered), newer)
            << installed;
    EXPECT_FALSE(cat::installedIsNewerThanOffered(cat::installedFirmwareVersion(std::nullopt), offered));
}

}  // namespace
}  // namespace ovn
