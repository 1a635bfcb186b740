// The firmware-update mode and its restarts, on a fake bus that records them.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "SimTestSupport.h"

namespace ovn::sim::test {
namespace {

Bytes flashProgram(const Bytes& image) { return frame("FW_UPD", "FLASH_PROGRAM", image); }
const Bytes kFlashRewrite = frame("FW_UPD", "FLASH_REWRITE");
const Bytes kFver = frame("INFO  ", "FVER");

// The printer comes back the way the bus would bring it back after a restart.
void comeBack(LinkedPrinter& lp) {
    auto calls = lp.link->calls();
    ASSERT_FALSE(calls.empty());
    ASSERT_EQ("reEnumerate", calls.back().what);
    lp.printer->handleAttached(calls.back().deviceId);
}

// FLASH_REWRITE, back in update mode, the image, back again.
void update(LinkedPrinter& lp, const std::string& version) {
    ASSERT_EQ(kIOReturnSuccess, send(*lp.printer, kFlashRewrite));
    comeBack(lp);
    ASSERT_EQ(kIOReturnSuccess, send(*lp.printer, flashProgram(padded(firmwareText(version)))));
    comeBack(lp);
}

TEST(EmulatorUpdate, RewriteThenProgramRunsTheNewFirmware) {
    auto lp = makePrinter(PrinterModel::PL15, [](EmulatorConfig& c) { c.lifetimeCounter = 777; });
    auto& p = *lp.printer;
    const Bytes image = padded(firmwareText("PL15 01.61"));
    ASSERT_EQ(kIOReturnSuccess, send(p, flashProgram(image)));
    EXPECT_EQ(1u, p.forbiddenCount()) << "an image outside update mode is ignored";
    EXPECT_EQ("PL15 01.50", p.firmwareVersion());
    EXPECT_TRUE(p.isOnBus());

    p.setRestartDelayMs(1234);
    ASSERT_EQ(kIOReturnSuccess, send(p, kFlashRewrite));
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
    EXPECT_EQ("PL15 01.50", ask(p, kFver));
    // Nothing but the image is taken in update mode.
    EXPECT_EQ("", ask(p, frame("MNT_RD", "COUNTER_LIFE")));
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("TBL_CL", "")));
    EXPECT_EQ(2u, p.rejectedCount());

    ASSERT_EQ(kIOReturnSuccess, send(p, flashProgram(image)));
    EXPECT_FALSE(p.isOnBus());
    EXPECT_EQ(2u, lp.link->calls().size());
    comeBack(lp);
    EXPECT_EQ(FirmwareMode::Normal, p.firmwareMode());
    EXPECT_EQ("PL15 01.61", ask(p, kFver));
    EXPECT_EQ("00000", ask(p, statusFrame()));
    EXPECT_EQ("CL0000777", ask(p, frame("MNT_RD", "COUNTER_LIFE"))) << "counters survive the update";
    EXPECT_EQ(2, p.restartCount());
    EXPECT_EQ(1u, p.forbiddenCount());
    auto frames = p.frames();
    auto program = std::find_if(frames.rbegin(), frames.rend(),
                                [](auto& f) { return f.command == DeviceCommand::FlashProgram; });
    ASSERT_NE(frames.rend(), program);
    EXPECT_TRUE(program->inUpdateMode);
    EXPECT_EQ(image.size(), program->payloadSize);
    EXPECT_EQ(fnv1a64(image.data(), image.size()), program->payloadHash);
}

TEST(EmulatorUpdate, BadImagesLeaveThePrinterWaitingForFirmware) {
    auto lp = makePrinter(PrinterModel::PL25D, [](EmulatorConfig& c) { c.rawStatus = "FU00001"; });
    auto& p = *lp.printer;
    EXPECT_EQ("FU00001", ask(p, statusFrame())) << "found in update mode";

    const std::string good = firmwareText("PL25DUP 1.40PRN");
    std::string corrupt = good;
    char& digit = corrupt[corrupt.find("S1") + 9];
    digit = digit == 'E' ? 'F' : 'E';
    Bytes unpadded = bytesOf(good);
    if (unpadded.size() % 4 == 0) unpadded.push_back('\n');
    // A record's checksum fails, not padded to four, another model's firmware, no image at all.
    for (const auto& image : {padded(corrupt), unpadded, padded(firmwareText("PL25 01.30")), Bytes{}}) {
        ASSERT_EQ(kIOReturnSuccess, send(p, flashProgram(image)));
        EXPECT_TRUE(p.isOnBus());
        EXPECT_EQ(FirmwareMode::Update, p.firmwareMode());
        EXPECT_EQ("FU00001", ask(p, statusFrame()));
    }
    EXPECT_EQ(4u, p.forbiddenCount());
    EXPECT_NE(std::string::npos, p.forbiddenReasons()[0].find("checksum"));
    EXPECT_NE(std::string::npos, p.forbiddenReasons()[2].find("is not for the PL25D"));
    EXPECT_TRUE(lp.link->calls().empty()) << "no restart";

    ASSERT_EQ(kIOReturnSuccess, send(p, flashProgram(padded(good))));
    comeBack(lp);
    EXPECT_EQ("PL25DUP 1.40PRN", p.firmwareVersion()) << "a good image afterwards still works";
}

TEST(EmulatorUpdate, MV1ComesBackOnIntermediateFirmwareAndRestartsByItself) {
    auto lp = makePrinter(PrinterModel::PLMV1, [](EmulatorConfig& c) { c.settleMs = 5; });
    auto& p = *lp.printer;
    EXPECT_FALSE(p.hasISerialSetting()) << "2.03 has no USB serial-number setting";
    update(lp, "PL-MV1 02.06");
    EXPECT_EQ(FirmwareMode::Intermediate, p.firmwareMode());
    EXPECT_EQ("MV1_ALLFWU_2.05", p.firmwareVersion());
    ASSERT_TRUE(OvnPrinterEmulator::waitUntil([&] { return lp.link->calls().size() == 3; }, std::chrono::seconds(3)))
        << "it restarts once more without being asked";
    EXPECT_FALSE(p.isOnBus());
    comeBack(lp);
    EXPECT_EQ("PL-MV1 02.06", ask(p, kFver));
    EXPECT_EQ("00000", ask(p, statusFrame()));
    EXPECT_EQ(3, p.restartCount());
    EXPECT_TRUE(p.hasISerialSetting());
}

TEST(EmulatorUpdate, IntermediateRestartIsCancelledByAPowerLoss) {
    auto lp = makePrinter(PrinterModel::PLMV1, [](EmulatorConfig& c) { c.settleMs = 30; });
    auto& p = *lp.printer;
    update(lp, "PL-MV1 02.06");
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
    ASSERT_EQ(kIOReturnSuccess, send(p, kFlashRewrite));
    comeBack(lp);
    p.injectFault(Fault::PowerLoss, DeviceCommand::FlashProgram);
    EXPECT_EQ(kIOReturnNoDevice, send(p, flashProgram(padded(firmwareText("PL45 01.05")))));
    p.powerOn();
    EXPECT_EQ("FU00001", ask(p, statusFrame()));
    EXPECT_EQ("PL45 01.02", p.firmwareVersion());
}

}  // namespace
}  // namespace ovn::sim::test
