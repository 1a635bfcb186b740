// The USB iSerial setting against the emulated printer: the write and read-back frames, the follow-up, and
// the cases where nothing may be sent.
#include <gtest/gtest.h>

#include "OvnTestRig.h"

using namespace ovntest;
using ovn::sim::PrinterModel;

TEST(OVNISerial, SwitchingOnWritesReadsBackAndFollowsUp) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL45));
    auto printer = rig.create();
    ASSERT_TRUE(printer);
    EXPECT_EQ(printer->usbISerialString(), "Disabled");
    EXPECT_EQ(printer->deviceInfoDict()->getString(QELMOR_OVN_USB_ISerialisSet), "0");

    rig.clearFrames();
    Announcements seen(*printer, {"usbISerial", "usbISerialString"});
    rig.act([&] { printer->setUsbISerial(true); });
    const Bytes readBack = expectedFrame("MNT_RD", "USB_ISERI_SET");
    EXPECT_EQ(rig.tap->written(),
              (std::vector<Bytes>{expectedFrame("MNT_WT", "USB_ISERI_SET", {0x30, 0x31, 0x0D, 0x00}), readBack}));
    EXPECT_TRUE(rig.emulator->iSerialSetting());
    EXPECT_EQ(printer->events(), (Texts{"showPowerCycleAlert", "deleteExistingPrinterQueues"}));

    // The read-back "01" is stored as "1" and shown as "Enabled", announced on the main queue.
    EXPECT_EQ(printer->deviceInfoDict()->getString(QELMOR_OVN_USB_ISerialisSet), "1");
    EXPECT_TRUE(printer->usbISerial());
    EXPECT_EQ(printer->usbISerialString(), "Enabled");
    EXPECT_EQ(seen.valuesOf("usbISerialString").back(), "Enabled");
    EXPECT_EQ(seen.valuesOf("usbISerial").back(), "1");
    for (const auto& s : seen.seen()) EXPECT_TRUE(s.onMain) << s.key;
    expectLogged({"usbISerial value: 1"});
    EXPECT_FALSE(rig.hostHolds());

    // Writing the value it already has sends nothing.
    rig.clearFrames();
    rig.act([&] { printer->setUsbISerial(true); });
    EXPECT_TRUE(rig.tap->written().empty());
    EXPECT_EQ(printer->eventCount("deleteExistingPrinterQueues"), 1u);

    // And off again.
    rig.act([&] { printer->setUsbISerial(false); });
    EXPECT_EQ(rig.tap->written(),
              (std::vector<Bytes>{expectedFrame("MNT_WT", "USB_ISERI_SET", {0x30, 0x30, 0x0D, 0x00}), readBack}));
    EXPECT_FALSE(rig.emulator->iSerialSetting());
    EXPECT_EQ(printer->usbISerialString(), "Disabled");
}

TEST(OVNISerial, ModelWithoutTheSettingIsLeftAlone) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL25D));
    auto printer = rig.create();
    ASSERT_TRUE(printer);
    rig.clearFrames();
    rig.act([&] { printer->setUsbISerial(true); });
    EXPECT_TRUE(printer->events().empty()) << "no power-cycle request and no print queue is deleted";
    EXPECT_FALSE(printer->usbISerial());
    EXPECT_EQ(printer->usbISerialString(), "Unavailable");
    // A direct read or write on such a model sends nothing either.
    rig.act([&] {
        printer->getUSB_ISerial();
        printer->setUSB_ISerial(true);
    });
    EXPECT_TRUE(rig.tap->written().empty());
}

TEST(OVNISerial, BusyPrinterGetsTheBusyNoticeAndNothingIsSent) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL35));
    auto printer = rig.create();
    ASSERT_TRUE(printer);
    rig.clearFrames();
    rig.holdByOther(true);
    rig.act([&] { printer->setUsbISerial(true); });
    EXPECT_TRUE(rig.tap->written().empty());
    EXPECT_EQ(printer->events(), Texts{"showPrinterBusyAlert"});
    EXPECT_FALSE(printer->usbISerial());
    EXPECT_FALSE(rig.emulator->iSerialSetting());
    EXPECT_EQ(printer->printerStatus(), "In use by other application");
    rig.holdByOther(false);
}

TEST(OVNISerial, MissingReadReplyKeepsTheStoredSetting) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL35).serialSetting(true));
    auto printer = rig.create();
    ASSERT_TRUE(printer);
    ASSERT_EQ(printer->usbISerialString(), "Enabled");
    rig.emulator->injectFault(ovn::sim::Fault::NoReply, ovn::sim::DeviceCommand::ISerialRead);
    rig.emulator->setRawStatus("00000");
    Announcements seen(*printer, {"usbISerialString"});
    rig.act([&] { printer->getUSB_ISerial(); });
    EXPECT_EQ(rig.commands().back(), "MNT_RD USB_ISERI_SET");
    EXPECT_TRUE(seen.seen().empty());
    EXPECT_EQ(printer->deviceInfoDict()->getString(QELMOR_OVN_USB_ISerialisSet), "1");
    EXPECT_FALSE(rig.hostHolds());
}
