// The firmware update across its restarts, with the printer unplugged, losing power, or gone for good at each
// point of the way: before the restart command, as it arrives, back in firmware update mode before and during
// the image, during the reboot onto the new firmware, and during the colour tables. Whatever happens, no frame
// the workflow forbids reaches the printer, the main queue keeps turning, the printer objects of a printer
// that left are freed, and the printer's next arrival carries the update on from where it stopped.
#include <tuple>

#include "kit/Kit.h"

namespace kit {
namespace {

enum class Phase {
    Readiness,          // the readiness check's status query, before anything of the update was sent
    Rewrite,            // as FW_UPD FLASH_REWRITE arrives
    UpdateModeArrival,  // back in firmware update mode, at the first query of the first probe
    Program,            // as FW_UPD FLASH_PROGRAM (the image) arrives
    Reboot,             // back on the new firmware, at the first query of the first probe
    ColourTables,       // as the first colour table's data arrives
};

enum class Loss {
    Unplug,     // the cable comes out in the middle of the transfer; plugged in again later
    PowerLoss,  // the printer loses power as the frame arrives; switched on again later
    NeverBack,  // the printer loses power and is never seen again
};

const char* phaseName(Phase p) {
    switch (p) {
        case Phase::Readiness: return "Readiness";
        case Phase::Rewrite: return "Rewrite";
        case Phase::UpdateModeArrival: return "UpdateModeArrival";
        case Phase::Program: return "Program";
        case Phase::Reboot: return "Reboot";
        case Phase::ColourTables: return "ColourTables";
    }
    return "?";
}
const char* lossName(Loss l) {
    switch (l) {
        case Loss::Unplug: return "Unplug";
        case Loss::PowerLoss: return "PowerLoss";
        case Loss::NeverBack: return "NeverBack";
    }
    return "?";
}

// Arms the fault at the phase's point of the update.
void arm(Slot& s, Phase phase, Fault fault) {
    Wire* wire = s.wire.get();
    switch (phase) {
        case Phase::Readiness:
            wire->faultAt(DeviceCommand::Status, fault);
            break;
        case Phase::Rewrite:
            wire->faultAt(DeviceCommand::FlashRewrite, fault);
            break;
        case Phase::UpdateModeArrival:
            wire->afterNext(DeviceCommand::FlashRewrite,
                            [wire, fault] { wire->faultAt(DeviceCommand::FirmwareVersion, fault); });
            break;
        case Phase::Program:
            wire->faultAt(DeviceCommand::FlashProgram, fault);
            break;
        case Phase::Reboot:
            wire->afterNext(DeviceCommand::FlashProgram,
                            [wire, fault] { wire->faultAt(DeviceCommand::FirmwareVersion, fault); });
            break;
        case Phase::ColourTables:
            wire->faultAt(DeviceCommand::TableWriteData, fault);
            break;
    }
}

std::optional<int64_t> savedPhase(const Slot& s) {
    return ZVUSBPrinter::deviceInfoForKey(s.key)->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus);
}

using Param = std::tuple<PrinterModel, Phase, Loss>;

class UpdateUnderFaults : public ::testing::TestWithParam<Param> {};

TEST_P(UpdateUnderFaults, NothingForbiddenIsSentAndTheNextArrivalCarriesOn) {
    const auto [model, phase, loss] = GetParam();
    Rig rig;
    Slot& s = rig.plug(model);
    rig.connect(s);
    ASSERT_TRUE(rig.waitProbed(s)) << "the printer was not listed and probed";
    rig.settle();
    const std::string before = s.emulator->firmwareVersion();

    arm(s, phase, loss == Loss::Unplug ? Fault::Disconnect : Fault::PowerLoss);
    rig.startUpdate(s);

    // The fault strikes; the printer object of the printer that left is unlisted and freed.
    ASSERT_TRUE(pumpUntil([&] { return s.wire->faultsFired() > 0 && !s.emulator->isOnBus(); }, waitLimitMs(10000)))
        << "the fault did not happen; alerts: " << rig.presenter->describe();
    ASSERT_TRUE(rig.waitUnlisted(s));
    ASSERT_TRUE(rig.waitUnlistedFreed()) << "the printer object of a printer that left was not freed";
    rig.expectSound(s, "after the fault");

    // Where the update stood when the printer left.
    const auto rewrites = s.framesOf(DeviceCommand::FlashRewrite);
    const auto programs = s.framesOf(DeviceCommand::FlashProgram);
    switch (phase) {
        case Phase::Readiness:
            EXPECT_TRUE(rewrites.empty()) << "the restart was sent without an idle status";
            EXPECT_FALSE(savedPhase(s)) << "an update phase was recorded for an update that never began";
            break;
        case Phase::Rewrite:
        case Phase::UpdateModeArrival:
            ASSERT_EQ(1u, rewrites.size());
            EXPECT_TRUE(programs.empty());
            EXPECT_EQ(std::optional<int64_t>(ZVFirmwareUpdateWaiting), savedPhase(s));
            break;
        case Phase::Program:
            ASSERT_EQ(1u, programs.size());
            EXPECT_EQ(0u, programs[0].outcome.rfind("fault:", 0)) << programs[0].outcome;
            // The image did not get through: the next arrival must send it again.
            EXPECT_EQ(std::optional<int64_t>(ZVFirmwareUpdateWaiting), savedPhase(s));
            break;
        case Phase::Reboot:
        case Phase::ColourTables:
            ASSERT_EQ(1u, programs.size());
            EXPECT_EQ(0u, programs[0].outcome.rfind("done: programmed", 0)) << programs[0].outcome;
            EXPECT_EQ(std::optional<int64_t>(ZVFirmwareUpdateRebooting), savedPhase(s));
            break;
    }
    EXPECT_EQ(0u, rig.presenter->count(kSuccessTitle));

    if (loss == Loss::NeverBack) {
        // Nothing is waiting for the printer in a way that holds anything up: the list is empty, the main queue
        // turns, and another printer is found and probed as usual.
        pumpFor(300);
        EXPECT_TRUE(rig.registry->printers().empty());
        Slot& other = rig.plug(model);
        rig.connect(other);
        EXPECT_TRUE(rig.waitProbed(other)) << "a printer plugged in afterwards was not probed";
        rig.settle();
        rig.expectSound(s, "printer gone for good");
        rig.expectSound(other, "the other printer");
        EXPECT_EQ(0u, rig.presenter->updateModeOffers());
        return;
    }

    s.emulator->powerOn();
    if (phase == Phase::Readiness || phase == Phase::Rewrite) {
        // The printer never restarted: it comes back running its old firmware and is shown as usual. An update
        // phase left behind is not acted on against a printer that is not waiting for firmware.
        ASSERT_TRUE(rig.waitProbed(s)) << "the printer was not listed again";
        rig.settle();
        EXPECT_EQ(before, *rig.listed(s)->firmwareVersion());
        EXPECT_TRUE(s.framesOf(DeviceCommand::FlashProgram).empty());
        if (phase == Phase::Rewrite) {
            EXPECT_TRUE(Log::contains("Bad Status (00000) while waiting for firmware update"));
        }
        // The user starts the update again.
        rig.startUpdate(s);
    }
    ASSERT_TRUE(rig.waitUpdated(s)) << "the update did not complete; alerts: " << rig.presenter->describe()
                                    << "; printer runs " << s.emulator->firmwareVersion();
    rig.settle();
    rig.expectSound(s, "after the update");

    // Resuming never asks the user, and the success names the old and the new firmware.
    EXPECT_EQ(0u, rig.presenter->updateModeOffers());
    EXPECT_EQ(1u, rig.presenter->count(kSuccessTitle)) << rig.presenter->describe();
    auto success = rig.presenter->last(kSuccessTitle);
    ASSERT_TRUE(success);
    EXPECT_EQ("Firmware version updated from " + before + " to " + offeredFirmware(model), success->message);
    // Every image that reached the printer was one it accepted.
    for (const auto& f : s.framesOf(DeviceCommand::FlashProgram))
        EXPECT_TRUE(f.outcome.rfind("done: programmed", 0) == 0 || f.outcome.rfind("fault:", 0) == 0) << f.outcome;
    EXPECT_EQ(std::optional<int64_t>(ZVFirmwareUpdateFinished),
              rig.listed(s)->deviceInfoDict()->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus));
}

std::string paramName(const ::testing::TestParamInfo<Param>& info) {
    return modelName(std::get<0>(info.param)) + "_" + phaseName(std::get<1>(info.param)) + "_" +
           lossName(std::get<2>(info.param));
}

// Three models make the paths distinct: one table, the intermediate restart, eight tables per media.
INSTANTIATE_TEST_SUITE_P(Models, UpdateUnderFaults,
                         ::testing::Combine(::testing::Values(PrinterModel::PL25D, PrinterModel::PLMV1,
                                                              PrinterModel::PL45),
                                            ::testing::Values(Phase::Readiness, Phase::Rewrite,
                                                              Phase::UpdateModeArrival, Phase::Program, Phase::Reboot,
                                                              Phase::ColourTables),
                                            ::testing::Values(Loss::Unplug, Loss::PowerLoss, Loss::NeverBack)),
                         paramName);

}  // namespace
}  // namespace kit
