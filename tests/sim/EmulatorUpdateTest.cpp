// The firmware-update mode and its restarts, on a fake bus that records them.
#include <gtest/gtest.h>

#include "SimTestSupport.h"

namespace ovn::sim::test {
namespace {

Bytes flashProgram(const Bytes& image) { return frame("FW_UPD", "FLASH_PROGRAM", image); }
Bytes flashRewrite() { return frame("FW_UPD", "FLASH_REWRITE"); }

// The printer comes back the way the bus would bring it back after a restart.
void comeBack(LinkedPrinter& lp) {
    auto calls = lp.link->calls();
    ASSERT_FALSE(calls.empty());
    ASSERT_EQ("reEnumerate", calls.back().what);
    lp.printer->handleAttached(calls.back().deviceId);
}

TEST(EmulatorUpdate, RewriteThenProgramRunsTheNewFirmware) {
    EmulatorConfig c;
    c.model = PrinterModel::PL15;
    auto lp = makePrinter(c);
    auto& p = *lp.printer;
    p.setRestartDelayMs(1234);
    ASSERT_EQ(kIOReturnSuccess, send(p, flashRewrite()));
    EXPECT_EQ(0u, p.pendingReplyCount()) << "not answered";
    EXPECT_FALSE(p.isOnBus());
    auto calls = lp.link->calls();
    ASSERT_EQ(1u, calls.size());
    EXPECT_EQ("reEnumerate", calls[0].what);
    EXPECT_EQ(1u, calls[0].deviceId);
    EXPECT_EQ(1234u, calls[0].delayMs);
    EXPECT_EQ(0x0101, calls[0].description.idProduct);

    comeBack(lp);
    EXPECT_EQ(FirmwareMode::Update, p.firmwareMode());
    EXPECT_EQ("FU00001", ask(p, statusFrame()));
    EXPECT_EQ("PL15 01.50", ask(p, frame("INFO  ", "FVER")));
    // Nothing but the image is taken in update mode.
    EXPECT_EQ("", ask(p, frame("MNT_RD", "COUNTER_LIFE")));
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("TBL_CL", "")));
    EXPECT_EQ(2u, p.rejectedCount());

    Bytes image = padded(firmwareText("PL15 01.61"));
    ASSERT_EQ(kIOReturnSuccess, send(p, flashProgram(image)));
    EXPECT_FALSE(p.isOnBus());
    EXPECT_EQ(2u, lp.link->calls().size());
    comeBack(lp);
    EXPECT_EQ(FirmwareMode::Normal, p.firmwareMode());
    EXPECT_EQ("PL15 01.61", ask(p, frame("INFO  ", "FVER")));
    EXPECT_EQ("00000", ask(p, statusFrame()));
    EXPECT_EQ(2, p.restartCount());
    EXPECT_EQ(0u, p.forbiddenCount());
    auto frames = p.frames();
    auto program = std::find_if(frames.begin(), frames.end(), [](const FrameRecord& f) {
        return f.command == DeviceCommand::FlashProgram;
    });
    ASSERT_NE(frames.end(), program);
    EXPECT_TRUE(program->inUpdateMode);
    EXPECT_EQ(image.size(), program->payloadSize);
    EXPECT_EQ(fnv1a64(image.data(), image.size()), program->payloadHash);
}

TEST(EmulatorUpdate, BadImagesLeaveThePrinterWaitingForFirmware) {
    EmulatorConfig c;
    c.model = PrinterModel::PL25D;
    c.rawStatus = "FU00001";  // found in update mode
    auto lp = makePrinter(c);
    auto& p = *lp.printer;
    EXPECT_EQ("FU00001", ask(p, statusFrame()));

    std::string good = firmwareText("PL25DUP 1.40PRN");
    std::string corrupt = good;
    corrupt[corrupt.find("S1") + 9] = corrupt[corrupt.find("S1") + 9] == 'E' ? 'F' : 'E';
    Bytes unpadded = bytesOf(good);
    if (unpadded.size() % 4 == 0) unpadded.push_back('\n');
    std::vector<Bytes> bad = {
        padded(corrupt),                          // a record's checksum fails
        unpadded,                                 // not padded to four
        padded(firmwareText("PL25 01.30")),       // another model's firmware
        Bytes{},                                  // no image at all
    };
    for (const auto& image : bad) {
        ASSERT_EQ(kIOReturnSuccess, send(p, flashProgram(image)));
        EXPECT_TRUE(p.isOnBus());
        EXPECT_EQ(FirmwareMode::Update, p.firmwareMode());
        EXPECT_EQ("FU00001", ask(p, statusFrame()));
    }
    EXPECT_EQ(4u, p.forbiddenCount());
    EXPECT_NE(std::string::npos, p.forbiddenReasons()[0].find("checksum"));
    EXPECT_NE(std::string::npos, p.forbiddenReasons()[2].find("is not for the PL25D"));
    EXPECT_TRUE(lp.link->calls().empty()) << "no restart";

    // A good image afterwards still works.
    ASSERT_EQ(kIOReturnSuccess, send(p, flashProgram(padded(good))));
    comeBack(lp);
    EXPECT_EQ("PL25DUP 1.40PRN", p.firmwareVersion());
}

TEST(EmulatorUpdate, ImageOutsideUpdateModeIsForbiddenAndIgnored) {
    auto lp = makePrinter(PrinterModel::PL35);
    auto& p = *lp.printer;
    ASSERT_EQ(kIOReturnSuccess, send(p, flashProgram(padded(firmwareText("PL35 01.52")))));
    EXPECT_EQ(1u, p.forbiddenCount());
    EXPECT_EQ("PL35 01.40", p.firmwareVersion());
    EXPECT_TRUE(p.isOnBus());
}

TEST(EmulatorUpdate, MV1ComesBackOnIntermediateFirmwareAndRestartsByItself) {
    EmulatorConfig c;
    c.model = PrinterModel::PLMV1;
    c.settleMs = 5;
    auto lp = makePrinter(c);
    auto& p = *lp.printer;
    EXPECT_FALSE(p.hasISerialSetting()) << "2.03 has no USB serial-number setting";
    ASSERT_EQ(kIOReturnSuccess, send(p, flashRewrite()));
    comeBack(lp);
    ASSERT_EQ(kIOReturnSuccess, send(p, flashProgram(padded(firmwareText("PL-MV1 02.06")))));
    comeBack(lp);
    EXPECT_EQ(FirmwareMode::Intermediate, p.firmwareMode());
    EXPECT_EQ("MV1_ALLFWU_2.05", p.firmwareVersion());
    // It restarts once more without being asked.
    ASSERT_TRUE(OvnPrinterEmulator::waitUntil([&] { return lp.link->calls().size() == 3; }, std::chrono::seconds(3)));
    EXPECT_FALSE(p.isOnBus());
    comeBack(lp);
    EXPECT_EQ("PL-MV1 02.06", ask(p, frame("INFO  ", "FVER")));
    EXPECT_EQ("00000", ask(p, statusFrame()));
    EXPECT_EQ(3, p.restartCount());
    EXPECT_TRUE(p.hasISerialSetting());
}

TEST(EmulatorUpdate, IntermediateRestartIsCancelledByAPowerLoss) {
    EmulatorConfig c;
    c.model = PrinterModel::PLMV1;
    c.settleMs = 30;
    auto lp = makePrinter(c);
    auto& p = *lp.printer;
    ASSERT_EQ(kIOReturnSuccess, send(p, flashRewrite()));
    comeBack(lp);
    ASSERT_EQ(kIOReturnSuccess, send(p, flashProgram(padded(firmwareText("PL-MV1 02.06")))));
    comeBack(lp);
    p.powerLoss();
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    EXPECT_EQ((std::vector<std::string>{"reEnumerate", "reEnumerate", "unplug"}), lp.link->names());
    // Powered again it is still on the intermediate firmware and finishes then.
    p.powerOn();
    EXPECT_EQ("MV1_ALLFWU_2.05", p.firmwareVersion());
    ASSERT_TRUE(OvnPrinterEmulator::waitUntil([&] { return lp.link->calls().size() == 5; }, std::chrono::seconds(3)));
    comeBack(lp);
    EXPECT_EQ("PL-MV1 02.06", p.firmwareVersion());
}

TEST(EmulatorUpdate, PowerLossWhileWaitingForFirmwareComesBackWaiting) {
    auto lp = makePrinter(PrinterModel::PL45);
    auto& p = *lp.printer;
    ASSERT_EQ(kIOReturnSuccess, send(p, flashRewrite()));
    comeBack(lp);
    p.injectFault(Fault::PowerLoss, DeviceCommand::FlashProgram);
    EXPECT_EQ(kIOReturnNoDevice, send(p, flashProgram(padded(firmwareText("PL45 01.05")))));
    p.powerOn();
    EXPECT_EQ("FU00001", ask(p, statusFrame()));
    EXPECT_EQ("PL45 01.02", p.firmwareVersion());
}

}  // namespace
}  // namespace ovn::sim::test
