// Faults the emulator shows on demand, per command or for the next exchanges.
#include <gtest/gtest.h>

#include <thread>

#include "SimTestSupport.h"

namespace ovn::sim::test {
namespace {

const Bytes kFver = frame("INFO  ", "FVER");
using Names = std::vector<std::string>;

TEST(EmulatorFault, NoReplyOrLateReplyForOneCommandOnly) {
    auto lp = makePrinter(PrinterModel::PL15);
    auto& p = *lp.printer;
    p.injectFault(Fault::NoReply, DeviceCommand::Status);
    EXPECT_EQ("PL15 01.50", ask(p, kFver)) << "other commands are answered";
    ASSERT_EQ(kIOReturnSuccess, send(p, statusFrame()));
    EXPECT_EQ(kIOReturnTimeout, readIn(p, 8));
    EXPECT_EQ("fault: no reply", p.frames().back().outcome);
    EXPECT_EQ("00000", ask(p, statusFrame())) << "only once";
    EXPECT_EQ(0u, p.pendingFaultCount());

    // A late reply misses its read and stays queued: the next question gets the old answer first.
    p.injectFault(Fault::LateReply, DeviceCommand::FirmwareVersion);
    ASSERT_EQ(kIOReturnSuccess, send(p, kFver));
    EXPECT_EQ(kIOReturnTimeout, readIn(p, 8));
    EXPECT_EQ(1u, p.pendingReplyCount());
    ASSERT_EQ(kIOReturnSuccess, send(p, statusFrame()));
    for (const char* body : {"PL15 01.50\r", "00000\r"}) {
        auto r = readReply(p);
        ASSERT_TRUE(r);
        EXPECT_EQ(body, textOf(r->body));
    }
}

TEST(EmulatorFault, BrokenRepliesHeaderLengthAndCarriageReturn) {
    auto lp = makePrinter(PrinterModel::PL35);
    auto& p = *lp.printer;
    Bytes header, body;
    p.injectFault(Fault::BadHeader, DeviceCommand::Status);
    ASSERT_EQ(kIOReturnSuccess, send(p, statusFrame()));
    ASSERT_EQ(kIOReturnSuccess, readIn(p, 8, 20, &header));
    EXPECT_EQ("XXXXXXXX", textOf(header));
    ASSERT_EQ(kIOReturnSuccess, readIn(p, 100, 20, &body));
    EXPECT_EQ("00000\r", textOf(body));

    p.injectFault(Fault::OversizeLength, DeviceCommand::Status);
    ASSERT_EQ(kIOReturnSuccess, send(p, statusFrame()));
    ASSERT_EQ(kIOReturnSuccess, readIn(p, 8, 20, &header));
    EXPECT_EQ("00004097", textOf(header));
    ASSERT_EQ(kIOReturnSuccess, readIn(p, 5000, 20, &body));
    ASSERT_EQ(4097u, body.size());
    EXPECT_EQ("00000", textOf(Bytes(body.begin(), body.begin() + 5)));
    EXPECT_EQ('\r', body.back());

    p.injectFault(Fault::NoCarriageReturn, DeviceCommand::FirmwareVersion);
    ASSERT_EQ(kIOReturnSuccess, send(p, kFver));
    auto r = readReply(p);
    ASSERT_TRUE(r);
    EXPECT_EQ("00000010", r->header);
    EXPECT_EQ("PL35 01.40", textOf(r->body));
    EXPECT_EQ(0u, p.pendingReplyCount());
}

TEST(EmulatorFault, NextExchangesCountOnlyFramesTheFaultFits) {
    auto lp = makePrinter(PrinterModel::PL15);
    auto& p = *lp.printer;
    p.injectFaultForNextExchanges(Fault::NoReply, 2);
    // A write has no reply to withhold: it does not use up the fault.
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("MNT_WT", "COUNTER_CLR", {0x43, 0x41, 0x0D, 0x00})));
    EXPECT_EQ(0u, p.mediaCounter('A'));
    EXPECT_EQ(std::nullopt, ask(p, statusFrame(), 10));
    EXPECT_EQ(std::nullopt, ask(p, kFver, 10));
    EXPECT_EQ("00000", ask(p, statusFrame()));

    p.injectFault(Fault::NoReply, DeviceCommand::CounterLife, kFaultForever);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(std::nullopt, ask(p, frame("MNT_RD", "COUNTER_LIFE"), 10));
    EXPECT_EQ(1u, p.pendingFaultCount());
    p.clearFaults();
    EXPECT_TRUE(ask(p, frame("MNT_RD", "COUNTER_LIFE")));
}

TEST(EmulatorFault, DisconnectInTheMiddleOfAReplyAndComingBack) {
    auto lp = makePrinter(PrinterModel::PL45);
    auto& p = *lp.printer;
    p.injectFault(Fault::Disconnect, DeviceCommand::SerialNumber);
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("INFO  ", "SERIAL_NUMBER")));
    ASSERT_EQ(kIOReturnSuccess, readIn(p, 8));
    EXPECT_EQ(kIOReturnNoDevice, readIn(p, 100));
    EXPECT_FALSE(p.isOnBus());
    EXPECT_TRUE(p.isPowered());
    EXPECT_EQ(Names{"unplug"}, lp.link->names());

    p.powerOn();
    EXPECT_TRUE(p.isOnBus());
    auto calls = lp.link->calls();
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ("plug", calls[1].what);
    EXPECT_EQ(0x14300000u, calls[1].description.locationID) << "the same place";
    EXPECT_EQ(0u, p.pendingReplyCount()) << "nothing of the broken exchange is left";
    EXPECT_EQ("00000", ask(p, statusFrame()));

    // A disconnect during a write loses the write.
    p.setMediaCounter('B', 9);
    p.injectFault(Fault::Disconnect, DeviceCommand::CounterClear);
    EXPECT_EQ(kIOReturnNoDevice, send(p, frame("MNT_WT", "COUNTER_CLR", {0x43, 0x42, 0x0D, 0x00})));
    EXPECT_EQ(9u, p.mediaCounter('B'));
    EXPECT_FALSE(p.isOnBus());
}

TEST(EmulatorFault, PowerLossKeepsStateAndPowerOnAppliesSettings) {
    auto lp = makePrinter(PrinterModel::PL35, [](EmulatorConfig& c) { c.lifetimeCounter = 4242; });
    auto& p = *lp.printer;
    ASSERT_EQ(kIOReturnSuccess, send(p, frame("MNT_WT", "USB_ISERI_SET", {0x30, 0x31, 0x0D, 0x00})));
    p.injectFault(Fault::PowerLoss, DeviceCommand::Status);
    EXPECT_EQ(kIOReturnNoDevice, send(p, statusFrame()));
    EXPECT_FALSE(p.isOnBus());
    EXPECT_FALSE(p.isPowered());
    EXPECT_EQ(Names{"unplug"}, lp.link->names());

    p.powerOn();
    ASSERT_TRUE(p.isOnBus());
    auto plugged = lp.link->calls().back();
    EXPECT_EQ("plug", plugged.what);
    EXPECT_EQ(3, plugged.description.iSerialNumber) << "power-on reads the setting";
    EXPECT_EQ("CL0004242", ask(p, frame("MNT_RD", "COUNTER_LIFE")));
}

TEST(EmulatorFault, BusyWaitsUntilTheHostClosesThenHolds) {
    auto lp = makePrinter(PrinterModel::PL25D);
    auto& p = *lp.printer;
    lp.link->hostHasItOpen = true;
    p.injectFault(Fault::Busy, DeviceCommand::Status);
    EXPECT_EQ("00000", ask(p, statusFrame())) << "the frame itself is answered";
    EXPECT_TRUE(p.isHeldByOtherApplication());
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    EXPECT_TRUE(lp.link->names().empty()) << "nothing is taken while the host has the interface open";
    lp.link->hostHasItOpen = false;
    EXPECT_TRUE(OvnPrinterEmulator::waitUntil([&] { return lp.link->names() == Names{"hold"}; },
                                              std::chrono::seconds(3)));
    p.setHeldByOtherApplication(false);
    EXPECT_EQ((Names{"hold", "release"}), lp.link->names());
}

TEST(EmulatorFault, FaultNamesRoundTrip) {
    for (Fault f : {Fault::NoReply, Fault::LateReply, Fault::BadHeader, Fault::OversizeLength, Fault::NoCarriageReturn,
                    Fault::Disconnect, Fault::Busy, Fault::PowerLoss})
        EXPECT_EQ(f, faultByName(faultName(f)));
    EXPECT_FALSE(faultByName("NoReply"));
}

}  // namespace
}  // namespace ovn::sim::test
