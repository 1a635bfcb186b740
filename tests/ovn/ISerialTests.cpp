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
    onMain([&] { printer->setUsbISerial(true); });
    rig.settle();

    auto written = rig.tap->written();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0].size(), 36u);
    EXPECT_EQ(written[0], expectedFrame("MNT_WT", "USB_ISERI_SET", Bytes{0x30, 0x31, 0x0D, 0x00}));
    EXPECT_EQ(written[1], expectedFrame("MNT_RD", "USB_ISERI_SET"));
    EXPECT_TRUE(rig.emulator->iSerialSetting());
    EXPECT_EQ(printer->events(), (std::vector<std::string>{"showPowerCycleAlert", "deleteExistingPrinterQueues"}));

    // The read-back "01" is stored as "1" and shown as "Enabled", announced on the main queue.
    EXPECT_EQ(printer->deviceInfoDict()->getString(QELMOR_OVN_USB_ISerialisSet), "1");
    EXPECT_TRUE(printer->usbISerial());
    EXPECT_EQ(printer->usbISerialString(), "Enabled");
    EXPECT_EQ(seen.valuesOf("usbISerialString").back(), "Enabled");
    EXPECT_EQ(seen.valuesOf("usbISerial").back(), "1");
    for (const auto& s : seen.seen()) EXPECT_TRUE(s.onMain) << s.key;
    EXPECT_TRUE(LogCapture::shared().contains("usbISerial value: 1"));
    EXPECT_FALSE(TestBus::shared().bus->isOpenByHost(rig.deviceId));

    // Writing the value it already has sends nothing.
    rig.clearFrames();
    onMain([&] { printer->setUsbISerial(true); });
    rig.settle();
    EXPECT_TRUE(rig.tap->written().empty());
    EXPECT_EQ(printer->eventCount("deleteExistingPrinterQueues"), 1u);

    // And off again.
    onMain([&] { printer->setUsbISerial(false); });
    rig.settle();
    written = rig.tap->written();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(std::vector<uint8_t>(written[0].begin() + 32, written[0].end()), (Bytes{0x30, 0x30, 0x0D, 0x00}));
    EXPECT_FALSE(rig.emulator->iSerialSetting());
    EXPECT_EQ(printer->usbISerialString(), "Disabled");
}

TEST(OVNISerial, ModelWithoutTheSettingIsLeftAlone) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL25D));
    auto printer = rig.create();
    ASSERT_TRUE(printer);
    rig.clearFrames();
    onMain([&] { printer->setUsbISerial(true); });
    rig.settle();
    EXPECT_TRUE(rig.tap->written().empty());
    EXPECT_TRUE(printer->events().empty()) << "no power-cycle request and no print queue is deleted";
    EXPECT_FALSE(printer->usbISerial());
    EXPECT_EQ(printer->usbISerialString(), "Unavailable");

    // A direct read or write on such a model sends nothing either.
    onMain([&] {
        printer->getUSB_ISerial();
        printer->setUSB_ISerial(true);
    });
    rig.settle();
    EXPECT_TRUE(rig.tap->written().empty());
}

TEST(OVNISerial, BusyPrinterGetsTheBusyNoticeAndNothingIsSent) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL35));
    auto printer = rig.create();
    ASSERT_TRUE(printer);
    rig.clearFrames();
    TestBus::shared().bus->setHeldByOtherApplication(rig.deviceId, true);
    rig.settle();
    onMain([&] { printer->setUsbISerial(true); });
    rig.settle();
    EXPECT_TRUE(rig.tap->written().empty());
    EXPECT_EQ(printer->events(), std::vector<std::string>{"showPrinterBusyAlert"});
    EXPECT_FALSE(printer->usbISerial());
    EXPECT_FALSE(rig.emulator->iSerialSetting());
    EXPECT_EQ(printer->printerStatus(), "In use by other application");
    TestBus::shared().bus->setHeldByOtherApplication(rig.deviceId, false);
    rig.settle();
}

TEST(OVNISerial, MissingReadReplyKeepsTheStoredSetting) {
    PrinterRig rig(RigOptions::of(PrinterModel::PL35).serialSetting(true));
    auto printer = rig.create();
    ASSERT_TRUE(printer);
    ASSERT_EQ(printer->usbISerialString(), "Enabled");
    rig.emulator->injectFault(ovn::sim::Fault::NoReply, ovn::sim::DeviceCommand::ISerialRead);
    rig.emulator->setRawStatus("00000");
    Announcements seen(*printer, {"usbISerialString"});
    onMain([&] { printer->getUSB_ISerial(); });
    rig.settle();
    EXPECT_EQ(rig.commands().back(), "MNT_RD USB_ISERI_SET");
    EXPECT_TRUE(seen.seen().empty());
    EXPECT_EQ(printer->deviceInfoDict()->getString(QELMOR_OVN_USB_ISerialisSet), "1");
    EXPECT_FALSE(TestBus::shared().bus->isOpenByHost(rig.deviceId));
}
