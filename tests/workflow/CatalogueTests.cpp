// The printer's view of the catalogue: what an archive check records for a PL25 duplex, the colour-table list
// taken from a recorded file list, and a missing colour-table file.
#include <gtest/gtest.h>

#include "Classes/OVNFirmwareCatalogue.h"
#include "WorkflowHarness.h"

using ovn::sim::PrinterModel;
using namespace wf;

namespace {
class Catalogue : public WorkflowTest {};
}  // namespace

TEST_F(Catalogue, DuplexPrinterIsCheckedWithThePL25ColourTables) {
    auto printer = start({.model = PrinterModel::PL25D});
    ASSERT_TRUE(printer);
    bool verified = false;
    onMain([&] { verified = printer->verifyFirmwareArchive(); });
    EXPECT_TRUE(verified);
    auto info = printer->deviceInfoDict();
    for (const char* name : {"PL25DUP 1.40PRN.fw", "PL25_300_0130.cwd", "PL25_600_0130.cwd"})
        EXPECT_EQ(info->getBool(name), true) << name;
    const auto* pl25 = ovn::OVNFirmwareCatalogue::rowForProductID(0x0102);
    auto hashes = info->get(ovn::cFirmwareFileHashes);
    ASSERT_TRUE(hashes);
    auto list = std::get<std::vector<std::string>>(*hashes);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[1], pl25->hashes[1]);
    EXPECT_EQ(list[2], pl25->hashes[2]);

    // The hash of the firmware file as the printer computes it: 66 lowercase hex digits ending in "00".
    auto hash = printer->verifyBlob(readFile(deliveredDirectory() / "PL25DUP 1.40PRN.fw"));
    ASSERT_TRUE(hash);
    EXPECT_EQ(hash->size(), 66u);
    EXPECT_EQ(hash->substr(64), "00");
    EXPECT_EQ(*hash, list[0]);
    EXPECT_FALSE(printer->verifyBlob({})) << "empty contents have no hash";

    pumpUntil([&] { return info->contains(ovn::cFirmwareFilenames); }, 2000);
    EXPECT_EQ(printer->colorTableNames(), (std::vector<std::string>{"PL25_300_0130.cwd", "PL25_600_0130.cwd"}));
    // A recorded list with the firmware file and a single table yields no colour tables.
    info->set(ovn::cFirmwareFilenames, std::vector<std::string>{"PL25DUP 1.40PRN.fw", "PL25_300_0130.cwd"});
    EXPECT_TRUE(printer->colorTableNames().empty());
}

TEST_F(Catalogue, MissingColourTableFileReadsAsNothing) {
    sandbox = std::make_unique<ResourceSandbox>();
    sandbox->remove("PL15_600_0161.cwd");
    auto printer = start({.model = PrinterModel::PL15});
    ASSERT_TRUE(printer);
    EXPECT_FALSE(printer->paddedColorDataForVersion("PL15_600_0161.cwd"));
    EXPECT_TRUE(LogCapture::shared().contains("got data of length 0 for file at path PL15_600_0161.cwd"));
    auto data = printer->paddedColorDataForVersion("PL15_300_0161.cwd");
    ASSERT_TRUE(data);
    EXPECT_EQ(*data, readFile(deliveredDirectory() / "PL15_300_0161.cwd")) << "unchanged and unpadded";
    // Still verified: a missing file has no verdict and does not change the answer.
    bool verified = false;
    onMain([&] { verified = printer->verifyFirmwareArchive(); });
    EXPECT_TRUE(verified);
    EXPECT_FALSE(printer->deviceInfoDict()->contains("PL15_600_0161.cwd"));
}
