// The first probe of a new printer object: the merge of saved device information and every branch of the
// saved update phase, against the emulated printer.
#include <gtest/gtest.h>

#include "OvnTestRig.h"

using namespace ovntest;
using ovn::sim::PrinterModel;

namespace {

void savePhase(const PrinterRig& rig, int64_t phase, std::optional<std::string> previous = std::nullopt) {
    auto saved = ZVUSBPrinter::deviceInfoForKey(rig.usbKey);
    saved->set(QELMOR_ZVPrinterDeviceFirmwareStatus, phase);
    if (previous) saved->set(QELMOR_ZVPrinterFirmwareVersionPrevious, *previous);
}


}  // namespace

TEST(OVNFirstProbe, SavedInformationIsMergedAndReplacedByTheProbe) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL25D).fw("PL25DUP 1.30PRN"));
    auto saved = ZVUSBPrinter::deviceInfoForKey(rig.usbKey);
    saved->set(QELMOR_ZVPrinterFirmwareVersion, std::string("PL25DUP 1.10PRN"));
    saved->set(QELMOR_ZVPrinterLifetimeCounter, std::string("77"));
    saved->set("colorTableVersion600", std::string("0099"));

    std::optional<std::string> atCreation;
    onMain([&] {
        rig.printer = ZVUSBPrinter::create<RecordingPrinter>(rig.interface, rig.service);
        ASSERT_TRUE(rig.printer);
        atCreation = rig.printer->firmwareVersion();
    });
    EXPECT_EQ(atCreation, "PL25DUP 1.10PRN") << "the saved value shows until the probe replaces it";
    EXPECT_NE(rig.printer->deviceInfoDict(), saved) << "the object has a dictionary of its own";
    rig.settle();
    EXPECT_EQ(rig.printer->firmwareVersion(), "PL25DUP 1.30PRN");
    EXPECT_NE(rig.printer->lifetimeCounter(), "77");
    EXPECT_EQ(rig.printer->colorTableValue("colorTableVersion600"), "0099") << "entries nobody rewrites stay";
    expectLogged({"initing device for key " + rig.usbKey});
    EXPECT_EQ(LogCapture::shared().count(std::string(64, '+')), 3u);
    EXPECT_FALSE(rig.printer->inFirmwareUpdate());
}

TEST(OVNFirstProbe, PhaseOneInUpdateModeUploadsWithoutAsking) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL25D).status("FU00001"));
    savePhase(rig, ZVFirmwareUpdateWaiting);
    auto printer = rig.create();
    ASSERT_TRUE(printer);
    EXPECT_EQ(printer->events(), Texts{"uploadFirmware"});
    EXPECT_TRUE(rig.presenter->shown().empty());
    EXPECT_TRUE(printer->inFirmwareUpdate());
    EXPECT_EQ(rig.commands(), (Texts{"INFO FVER", "STATUS"}));
    EXPECT_EQ(printer->printerStatus(), "Firmware Update Mode");
    EXPECT_EQ(printer->firmwareVersion(), rig.emulator->firmwareVersion());
    expectLogged(
        {"found a device waiting for firmware update", "device is in firmware update mode ... uploading firmware"});
    EXPECT_FALSE(rig.hostHolds());

    // The registry's probe sends only the status query to a printer waiting for firmware.
    rig.clearFrames();
    rig.act([&] { printer->probe(); });
    EXPECT_EQ(rig.commands(), Texts{"STATUS"});
    EXPECT_EQ(printer->eventCount("uploadFirmware"), 1u);
}

TEST(OVNFirstProbe, PhaseOneWithAnotherStatusIsNotResumed) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL25D).status("01100"));
    savePhase(rig, ZVFirmwareUpdateWaiting);
    auto printer = rig.create();
    ASSERT_TRUE(printer);
    EXPECT_TRUE(printer->events().empty());
    expectLogged({"Bad Status (01100) while waiting for firmware update"});
    EXPECT_EQ(printer->printerStatus(), "Paper End");
    // Back in normal mode: the update is over and may be started again.
    EXPECT_FALSE(printer->inFirmwareUpdate());
    EXPECT_FALSE(printer->deviceInfoDict()->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus));
}

TEST(OVNFirstProbe, PhaseTwoFinishesAndComparesVersions) {
    for (auto [firmware, line] : {std::pair{"PL25DUP 1.40PRN", "firmware version changed from PL25DUP 1.30PRN to "
                                                                "PL25DUP 1.40PRN"},
                                  {"PL25DUP 1.30PRN", "firmware version unchanged at PL25DUP 1.30PRN"}}) {
        SCOPED_TRACE(firmware);
        PrinterRig rig(RigOptions::of(PrinterModel::PL25D).fw(firmware));
        savePhase(rig, ZVFirmwareUpdateRebooting, "PL25DUP 1.30PRN");
        auto printer = rig.create(false);
        ASSERT_TRUE(printer);
        Announcements seen(*printer, {"firmwareVersion"});
        rig.settle();
        EXPECT_EQ(printer->events(), Texts{"finishFirmwareUpdate"});
        expectLogged({"found a device rebooting after firmware update", line,
                      "printer firmware is currently reported as \"" + std::string(firmware) + "\""});
        EXPECT_EQ(printer->firmwareVersion(), firmware);
        EXPECT_TRUE(printer->inFirmwareUpdate());
        EXPECT_EQ(rig.commands(), Texts{"INFO FVER"});
        for (const auto& s : seen.seen()) EXPECT_TRUE(s.onMain);
    }
}

TEST(OVNFirstProbe, PhaseTwoOnTheIntermediateFirmwareWaitsForTheNextRestart) {
    PrinterRig rig(RigOptions::of(PrinterModel::PLMV1).fw("MV1_ALLFWU_2.05"));
    savePhase(rig, ZVFirmwareUpdateRebooting, "PL-MV1 02.03");
    auto printer = rig.create();
    ASSERT_TRUE(printer);
    EXPECT_TRUE(printer->events().empty()) << "the update is not finished on the intermediate firmware";
    EXPECT_EQ(printer->deviceInfoDict()->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus), ZVFirmwareUpdateRebooting);
    EXPECT_EQ(printer->firmwareVersion(), "MV1_ALLFWU_2.05");
    EXPECT_TRUE(printer->inFirmwareUpdate());
    EXPECT_FALSE(LogCapture::shared().contains("firmware version changed"));
    EXPECT_FALSE(rig.hostHolds());
}

TEST(OVNFirstProbe, FinishedPhaseIsClearedAndTheNormalProbeRuns) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL35));
    savePhase(rig, ZVFirmwareUpdateFinished);
    auto printer = rig.create(false);
    ASSERT_TRUE(printer);
    Announcements seen(*printer, {"inFirmwareUpdate"});
    rig.settle();
    EXPECT_FALSE(printer->inFirmwareUpdate());
    EXPECT_EQ(seen.valuesOf("inFirmwareUpdate"), (Texts{"1", "0"}));
    EXPECT_FALSE(printer->deviceInfoDict()->contains(QELMOR_ZVPrinterDeviceFirmwareStatus));
    expectLogged({"found a device finished with firmware update"});
    auto cmds = rig.commands();
    ASSERT_GE(cmds.size(), 3u);
    EXPECT_EQ(cmds[0], "INFO FVER");
    EXPECT_EQ(cmds.back(), "MNT_RD USB_ISERI_SET");
    EXPECT_TRUE(printer->colorTableVersion610());
    EXPECT_TRUE(printer->events().empty());
}

TEST(OVNFirstProbe, PrinterFoundInUpdateModeAsksAndUploadsOrAsksForAPowerCycle) {
    for (long answer : {ovn::kAlertSecondButtonReturn, ovn::kAlertFirstButtonReturn}) {
        const bool update = answer == ovn::kAlertSecondButtonReturn;
        SCOPED_TRACE(update ? "Update Firmware" : "Ignore");
        PrinterRig rig(RigOptions::of(PrinterModel::PL25D).status("FU00001"));
        rig.presenter->responses = {answer};
        auto printer = rig.create();
        ASSERT_TRUE(printer);
        auto shown = rig.presenter->shown();
        ASSERT_EQ(shown.size(), update ? 1u : 2u);
        EXPECT_EQ(shown[0].title, "Attention:");
        EXPECT_EQ(shown[0].message,
                  "A printer was unexpectedly found in firmware update mode. Would you like to update the firmware? ");
        EXPECT_EQ(shown[0].buttons, (Texts{"Ignore", "Update Firmware"}));
        EXPECT_EQ(shown[0].style, ovn::AlertStyle::Critical);
        EXPECT_FALSE(shown[0].checkbox);
        EXPECT_TRUE(rig.presenter->onMainQueue[0]);
        EXPECT_EQ(printer->events(), update ? Texts{"uploadFirmware"} : Texts{});
        if (update) {
            EXPECT_EQ(rig.commands(), Texts{"STATUS"});
            EXPECT_FALSE(printer->inFirmwareUpdate());
        } else {
            EXPECT_EQ(shown[1].title, "Please power-cycle this printer");
            EXPECT_EQ(shown[1].message, "Contact customer support if power-cycling does not resolve the issue.");
            EXPECT_EQ(shown[1].buttons, Texts{"OK"});
            EXPECT_EQ(shown[1].style, ovn::AlertStyle::Warning);
        }
    }
}

TEST(OVNFirstProbe, BusyInterfaceMeansNoFirstProbe) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL25D).status("FU00001"));
    rig.holdByOther(true);
    savePhase(rig, ZVFirmwareUpdateWaiting);
    auto printer = rig.create();
    ASSERT_TRUE(printer);
    EXPECT_TRUE(rig.commands().empty());
    EXPECT_TRUE(printer->events().empty());
    EXPECT_TRUE(rig.presenter->shown().empty());
    EXPECT_FALSE(printer->inFirmwareUpdate());
    EXPECT_EQ(printer->printerStatus(), "In use by other application");
    rig.holdByOther(false);
}

TEST(OVNFirstProbe, MissingStatusReplyStopsTheFirstProbeAndFreesTheInterface) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL25D).fault(ovn::sim::Fault::NoReply, ovn::sim::DeviceCommand::Status,
                                                             ovn::sim::kFaultForever));
    auto printer = rig.create();
    ASSERT_TRUE(printer);
    EXPECT_EQ(rig.commands(), Texts{"STATUS"});
    EXPECT_FALSE(printer->printerStatus());
    EXPECT_TRUE(rig.presenter->shown().empty());
    expectLogged({"Received a null printer status reply ... will try again later"});
    EXPECT_FALSE(rig.hostHolds());

    // The registry's probe stops after its status query too, and does not keep the interface either.
    rig.clearFrames();
    rig.act([&] { printer->probe(); });
    EXPECT_EQ(rig.commands(), Texts{"STATUS"});
    EXPECT_FALSE(rig.hostHolds());
}
