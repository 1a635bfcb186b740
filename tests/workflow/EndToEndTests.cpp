// Complete firmware updates of every catalogue model against the emulated printer: the user's answers, both
// restarts with a new printer object at each arrival, the frames in the order the printer received them, the
// phases handed from one object to the next, and what the printer runs at the end.
#include <gtest/gtest.h>

#include <cstdio>

#include "Classes/OVNFirmwareCatalogue.h"
#include "Classes/OVNSRecord.h"
#include "WorkflowHarness.h"
#include "platform/Bundle.h"
#include "sim/OvnDeviceProtocol.h"

namespace cat = ovn::OVNFirmwareCatalogue;
using ovn::sim::DeviceCommand;
using ovn::sim::FrameRecord;
using ovn::sim::PrinterModel;
using namespace wf;

namespace {

struct ModelCase {
    PrinterModel model;
    uint16_t productID;
    const char* name;
};

std::string warningTextFor(PrinterModel model, const std::string& offered) {
    // The emulated PL-MV1 runs 02.03 out of the box: below 2.04, so the media sentence is there.
    if (model == PrinterModel::PLMV1)
        return "This update tool is for the OVN MV1 printer. It will upgrade the printer to firmware version " +
               offered +
               ".\n\nOnce updated, the MV1 printer will REQUIRE the use of MV1Q media packs. Please use up all MV1 "
               "media before using this update tool. This process cannot be undone.";
    return "This update tool will upgrade the printer firmware to version " + offered + ". This process cannot be undone";
}

Bytes padded(Bytes b) {
    b.resize(ovn::OVNSRecord::paddedLength(b.size()), 0);
    return b;
}

uint64_t hashOf(const Bytes& b) { return ovn::sim::fnv1a64(b.data(), b.size()); }

// Whether frames (from, to) hold at least one colour-table version query and one checksum query.
bool refreshBetween(const std::vector<FrameRecord>& frames, size_t from, size_t to) {
    bool version = false, checksum = false;
    for (size_t i = from + 1; i < to && i < frames.size(); ++i) {
        version = version || isTableVersionQuery(frames[i]);
        checksum = checksum || isTableChecksumQuery(frames[i]);
    }
    return version && checksum;
}

class EveryModel : public WorkflowTest, public ::testing::WithParamInterface<ModelCase> {};

}  // namespace

TEST_P(EveryModel, UpdatesAcrossBothRestartsAndRewritesItsColourTables) {
    const ModelCase& mc = GetParam();
    const cat::CatalogueRow* row = cat::rowForProductID(mc.productID);
    ASSERT_TRUE(row);
    const std::string offered = cat::nameWithoutExtension(row->firmwareFile());
    const std::vector<std::string> tables = row->colorTableFiles();
    const bool mv1 = mc.model == PrinterModel::PLMV1;

    auto printer = start({.model = mc.model});
    ASSERT_TRUE(printer);
    const std::string before = *printer->firmwareVersion();
    ASSERT_NE(before, offered);
    tp->emulator->clearFrameLog();
    const size_t transfersBefore = tp->wire->transfers().size();
    runUpdate(printer);
    ASSERT_TRUE(alertShown(kSuccessTitle));
    auto last = registry->printerAt(tp->location);
    ASSERT_TRUE(last);
    settle(last);

    // What the user saw.
    auto shown = presenter->shown();
    ASSERT_EQ(presenter->titles(), (std::vector<std::string>{kWarningTitle, kConfirmTitle, kSuccessTitle}));
    expectAlert(kWarningTitle, warningTextFor(mc.model, offered), {"Quit", "Continue"});
    expectAlert(kConfirmTitle, kConfirmMessage, {"Cancel", "Update Firmware to " + offered});
    expectAlert(kSuccessTitle, "Firmware version updated from " + before + " to " + offered, {"Finish"});
    const ShownAlert& warning = shown[0];
    EXPECT_EQ(warning.style, ovn::AlertStyle::Critical);
    EXPECT_TRUE(warning.hasCheckbox);
    EXPECT_EQ(warning.checkboxTitle, "I Agree");
    EXPECT_FALSE(warning.checkboxInitiallyChecked);
    EXPECT_TRUE(warning.secondButtonBound);
    EXPECT_FALSE(warning.secondButtonEnabledAtFirst) << "\"Continue\" is disabled until the box is checked";
    for (const auto& a : shown) {
        EXPECT_TRUE(a.onMainQueue);
        EXPECT_EQ(a.modality, ovn::AlertModality::Sheet);
    }
    EXPECT_EQ(terminations.load(), 0);

    // What the printer runs now.
    auto& emulator = *tp->emulator;
    EXPECT_EQ(emulator.firmwareVersion(), offered);
    EXPECT_EQ(emulator.firmwareMode(), ovn::sim::FirmwareMode::Normal);
    EXPECT_EQ(emulator.restartCount(), mv1 ? 3 : 2);
    EXPECT_EQ(emulator.forbiddenCount(), 0u) << ::testing::PrintToString(emulator.forbiddenReasons());
    EXPECT_EQ(emulator.malformedCount(), 0u);

    // The writes, in the order the printer received them.
    const std::vector<FrameRecord> frames = emulator.frames();
    std::vector<size_t> writes;
    for (size_t i = 0; i < frames.size(); ++i)
        if (isWrite(frames[i])) writes.push_back(i);
    std::vector<DeviceCommand> expected{DeviceCommand::FlashRewrite, DeviceCommand::FlashProgram,
                                        DeviceCommand::TableClear};
    for (size_t i = 0; i < tables.size(); ++i)
        expected.insert(expected.end(), {DeviceCommand::TableWriteVersion, DeviceCommand::TableWriteData});
    ASSERT_EQ(writes.size(), expected.size()) << ::testing::PrintToString(commandNames(emulator));
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(frames[writes[i]].command, expected[i]) << "write " << i;
    EXPECT_FALSE(frames[writes[0]].inUpdateMode);
    EXPECT_EQ(frames[writes[0]].payloadSize, 0u);

    const Bytes image = padded(readFile(deliveredDirectory() / row->firmwareFile()));
    const FrameRecord& program = frames[writes[1]];
    EXPECT_TRUE(program.inUpdateMode);
    EXPECT_EQ(program.payloadSize, image.size());
    EXPECT_EQ(program.payloadHash, hashOf(image)) << "the whole file, zero-padded to a multiple of 4";
    char lengthField[16];
    std::snprintf(lengthField, sizeof lengthField, "%08zu", image.size());
    bool headerSeen = false;
    auto transfers = tp->wire->transfers();
    for (size_t i = transfersBefore; i < transfers.size(); ++i) {
        const auto& t = transfers[i];
        if (t.length != 32 + image.size()) continue;
        headerSeen = true;
        EXPECT_EQ(std::string(t.header.begin() + 2, t.header.begin() + 24), "FW_UPDFLASH_PROGRAM   ");
        EXPECT_EQ(std::string(t.header.begin() + 24, t.header.end()), lengthField);
    }
    EXPECT_TRUE(headerSeen) << "the image goes out as one transfer";

    EXPECT_TRUE(refreshBetween(frames, writes[2], writes[3])) << "versions and checksums are read after TBL_CL";
    auto written = emulator.colourTables();
    for (size_t t = 0; t < tables.size(); ++t) {
        SCOPED_TRACE(tables[t]);
        const std::string capital = upper(tables[t]);
        const Bytes contents = readFile(deliveredDirectory() / tables[t]);
        EXPECT_EQ(frames[writes[3 + 2 * t]].payload, padded(Bytes(capital.begin(), capital.end())));
        const FrameRecord& data = frames[writes[4 + 2 * t]];
        EXPECT_EQ(data.payloadSize, contents.size());
        EXPECT_EQ(data.payloadHash, hashOf(contents));
        const size_t next = 5 + 2 * t < writes.size() ? writes[5 + 2 * t] : frames.size();
        EXPECT_TRUE(refreshBetween(frames, writes[4 + 2 * t], next)) << "refresh after the table";
        auto in = std::find_if(written.begin(), written.end(), [&](auto& w) { return w.second.versionName == capital; });
        ASSERT_NE(in, written.end()) << "the table is in the printer";
        EXPECT_EQ(in->second.dataSize, contents.size());
    }

    // The phases each new object found, and what the last one holds.
    std::vector<std::optional<int64_t>> expectedPhases{std::nullopt, 1, 2};
    if (mv1) expectedPhases.push_back(2);
    EXPECT_EQ(phases(), expectedPhases);
    EXPECT_EQ(registry->arrivals(tp->location).at(1).previous, before);
    EXPECT_EQ(last->deviceInfoDict()->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus), ZVFirmwareUpdateFinished);
    EXPECT_EQ(last->firmwareVersion(), offered);
    EXPECT_TRUE(pumpUntil([&] { return !last->inFirmwareUpdate(); }, 3000));
    EXPECT_EQ(LogCapture::shared().count("found a device rebooting after firmware update"), mv1 ? 2u : 1u);
    EXPECT_TRUE(LogCapture::shared().contains("Uploading firmware to printer"));
}

INSTANTIATE_TEST_SUITE_P(Catalogue, EveryModel,
                         ::testing::Values(ModelCase{PrinterModel::PL15, 0x0101, "PL15"},
                                           ModelCase{PrinterModel::PL25, 0x0102, "PL25"},
                                           ModelCase{PrinterModel::PLMV1, 0x0103, "PLMV1"},
                                           ModelCase{PrinterModel::PL25D, 0x0106, "PL25duplex"},
                                           ModelCase{PrinterModel::PL35, 0x5C01, "PL35"},
                                           ModelCase{PrinterModel::PL45, 0x5D01, "PL45"}),
                         [](const ::testing::TestParamInfo<ModelCase>& info) { return std::string(info.param.name); });
