// A printer arriving on the bus, as the registry sees it: the bytes of its probe, the values it
// stores and announces, what it keeps across a re-enumeration, its interface ownership, and its settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "Classes/OVNProtocol.h"
#include "kit/Kit.h"
#include "sim/OvnDeviceProtocol.h"

using namespace kit;

namespace {

// The PL45 asks for its tables per media: four with the SD payload, then four with PP.
TEST(ProbeBytes, MediaPayloadsAndTheValuesOfEachTable) {
    Rig rig;
    SlotOptions o;
    o.iSerial = true;
    Slot& s = rig.plugAndConnect(PrinterModel::PL45, o);
    ASSERT_TRUE(rig.waitProbed(s));
    rig.settle();
    auto all = s.wire->sent();
    ASSERT_GT(all.size(), 26u);
    std::vector<Bytes> sent(all.begin() + 2, all.begin() + 2 + 23);  // the first information probe
    EXPECT_EQ(sent[0], frame("STATUS", ""));
    EXPECT_EQ(sent[1], frame("INFO  ", "FVER"));
    EXPECT_EQ(sent[2], frame("MNT_RD", "COUNTER_LIFE"));
    for (size_t i = 3; i < 11; ++i)
        EXPECT_EQ(textOf(Bytes(sent[i].begin() + 24, sent[i].end())), i < 7 ? "000000040001" : "000000040003") << i;
    EXPECT_EQ(sent[3], frame("TBL_RD", "CWD620_Version", bytesOf("0001")));
    EXPECT_EQ(sent[14], frame("TBL_RD", "CWD300_Checksum", bytesOf("0001")));
    EXPECT_EQ(sent[19], frame("INFO  ", "SERIAL_NUMBER"));
    EXPECT_EQ(sent[20], frame("MNT_RD", "USB_ISERI_SET"));
    auto p = rig.listed(s);
    auto tables = s.emulator->colourTables();
    EXPECT_EQ(p->colorTableVersion(), (tables[{"SD", 300}].version));
    EXPECT_EQ(p->colorTableVersion620HD(), (tables[{"PP", 620}].version));
    EXPECT_EQ(p->colorTableChecksum300(), (tables[{"SD", 300}].checksum));
    EXPECT_EQ(p->colorTableChecksum610HD(), (tables[{"PP", 610}].checksum));
    EXPECT_EQ(p->colorTableChecksum620(), (tables[{"SD", 620}].checksum));
    EXPECT_TRUE(ovn::isNothing(p->valueForKey("colorTableVersion300")));
    EXPECT_TRUE(p->usbISerial());
}

// Every frame the host can build is one the printer's own parser accepts as the same command.
TEST(ProbeBytes, EveryHostFrameParsesOnThePrinterSide) {
    namespace proto = ovn::protocol;
    for (uint32_t code = 0; code <= 43; ++code) {
        if (!proto::commandInfo(code)) continue;
        Bytes payload;
        if (code == 35 || code == 42) {
            payload = {static_cast<uint8_t>(code == 35 ? 'C' : '0'), static_cast<uint8_t>(code == 35 ? 'A' : '1'), 0x0D, 0};
        } else if (proto::hasFixedPayloadField(code)) {
            payload.assign(proto::payloadFieldSize(code, 0), '0');
        } else if (proto::payloadFieldSize(code, 4) == 4) {
            payload = bytesOf("0001");
        }
        auto built = proto::buildCommandFrame(code, payload);
        auto parsed = sim::parseCommandFrame(built.frame.data(), built.frame.size());
        ASSERT_TRUE(parsed.frame) << code << ": " << parsed.error;
        EXPECT_EQ(static_cast<uint32_t>(parsed.frame->command), code);
        EXPECT_EQ(parsed.frame->payload, payload) << code;
    }
}

TEST(Settings, CounterResetSendsTheLetterAndClearsOnlyThatCounter) {
    Rig rig;
    Slot& s = rig.plugAndConnect(PrinterModel::PL25D);
    ASSERT_TRUE(rig.waitProbed(s));
    rig.settle();
    ASSERT_NE(s.emulator->mediaCounter('A'), 0u);
    const uint32_t b = s.emulator->mediaCounter('B');
    s.wire->clearSent();
    auto p = rig.listed(s);
    onMain([&] { p->resetCounterA(); });
    onMain([&] { p->resetCounter('X'); });  // an unknown letter sends nothing
    onMain([&] { p->resetCounterM(); });
    rig.settle();
    EXPECT_EQ(s.wire->sent(), (std::vector<Bytes>{frame("MNT_WT", "COUNTER_CLR", {0x43, 0x41, 0x0D, 0x00}),
                                                  frame("MNT_WT", "COUNTER_CLR", {0x43, 0x4D, 0x0D, 0})}));
    EXPECT_EQ(s.emulator->mediaCounter('A'), 0u);
    EXPECT_EQ(s.emulator->mediaCounter('B'), b);
    EXPECT_EQ(s.emulator->mediaCounter('M'), 0u);
}

// ---------------------------------------------------------------------------------------------------------
// Set-up and what a printer keeps across a re-enumeration

// The device ID's short keys name the printer.
TEST(SetUp, DeviceIdWithShortKeysNamesThePrinter) {
    Rig rig;
    Slot& s = rig.plug(PrinterModel::PL25D);
    const std::string id = "MFG:Acme Photo;MDL:X1;CMD:OVN;";
    Bytes reply{0, static_cast<uint8_t>(id.size() + 2)};
    reply.insert(reply.end(), id.begin(), id.end());
    s.emulator->setRawDeviceIdReply(reply);
    rig.connect(s);
    ASSERT_TRUE(rig.waitProbed(s));
    auto p = rig.listed(s);
    EXPECT_EQ(p->manufacturer(), "Acme Photo");
    EXPECT_EQ(p->model(), "X1");
    // Log lines name it by what is known: it reports no USB serial number.
    EXPECT_EQ(Log::matching("running probe on"), Texts{"running probe on Acme Photo X1"});
}

TEST(SetUp, SavedInformationShowsUntilTheProbeReplacesIt) {
    Rig rig(RigOptions::notStarted());
    Slot& s = rig.plug(PrinterModel::PL25D, SlotOptions::fw("PL25DUP 1.30PRN"));
    auto saved = ZVUSBPrinter::deviceInfoForKey(s.key);
    saved->set(QELMOR_ZVPrinterFirmwareVersion, std::string("PL25DUP 1.10PRN"));
    saved->set(QELMOR_ZVPrinterLifetimeCounter, std::string("77"));
    saved->set("colorTableVersion600", std::string("0099"));
    rig.start();
    rig.connect(s);
    ASSERT_TRUE(rig.waitProbed(s));
    rig.settle();
    auto p = rig.listed(s);
    EXPECT_EQ(p->firmwareVersion(), "PL25DUP 1.30PRN");
    EXPECT_EQ(p->lifetimeCounter(), std::to_string(s.emulator->lifetimeCounter()));
    EXPECT_EQ(p->colorTableValue("colorTableVersion600"), "0099") << "entries nobody rewrites stay";
    EXPECT_NE(p->deviceInfoDict(), saved) << "the object has a dictionary of its own";
    EXPECT_TRUE(Log::contains("initing device for key " + s.key));
}

// A returning printer whose device ID names nobody shows the manufacturer and model saved for its location.
TEST(SetUp, ReturningPrinterGetsItsSavedManufacturerAndModel) {
    for (bool deviceIdAnswers : {true, false}) {
        SCOPED_TRACE(deviceIdAnswers ? "device ID answers" : "no device ID");
        Rig rig;
        Slot& s = rig.plug(PrinterModel::PL25D);
        auto saved = ZVUSBPrinter::deviceInfoForKey(s.key);
        saved->set(QELMOR_ZVPrinterManufacturer, std::string("Saved Maker"));
        saved->set(QELMOR_ZVPrinterModel, std::string("Saved Model"));
        if (!deviceIdAnswers) s.emulator->setRawDeviceIdReply(Bytes{});
        rig.connect(s);
        ASSERT_TRUE(rig.waitProbed(s));
        rig.settle();
        auto p = rig.listed(s);
        EXPECT_EQ(p->manufacturer() == "Saved Maker", !deviceIdAnswers) << p->manufacturer().value_or("(none)");
        EXPECT_EQ(p->model() == "Saved Model", !deviceIdAnswers) << p->model().value_or("(none)");
        EXPECT_TRUE(p->manufacturer() && !p->manufacturer()->empty());
    }
}

// The set-up's first open and close mark the interface probed until the queued close runs: an open attempt
// reported in between is this program's own and only closes the state, without a status line. Without the mark
// the printer would pass for open.
TEST(SetUp, AttemptReportedBeforeTheFirstCloseIsTakenForTheProbe) {
    Rig rig(RigOptions::notStarted());
    Slot& s = rig.plugAndConnect(PrinterModel::PL25D);
    ASSERT_TRUE(pumpUntil([&] { return s.emulator->isOnBus(); }));
    auto release = std::make_shared<std::atomic<bool>>(false);
    // Hold the command queue right after the set-up step, before its queued close.
    rig.usb->onCall("GetNumEndpoints", [release] {
        auto* queue = static_cast<ovn::DispatchQueue*>(
            ovn::DispatchQueue::getSpecific(ZVUSBPrinter::printerCommandQueueKey()));
        if (queue) queue->async([release] { while (!release->load()) std::this_thread::yield(); });
    });
    std::unique_ptr<Announcements> seen;
    auto p = rig.makePrinter(
        s, false, [&](ZVUSBPrinter& printer) { seen = std::make_unique<Announcements>(printer, Texts{"status"}); });
    ASSERT_TRUE(p);
    ASSERT_TRUE(pumpUntil([&] { return p->state() == ZVUSBPrinter::kInterfaceProbed; }, 2000)) << p->state();
    const auto before = seen->valuesOf("status");
    rig.bus->setHeldByOtherApplication(*s.emulator->deviceId(), true);
    EXPECT_TRUE(pumpUntil([&] { return p->state() == ZVUSBPrinter::kInterfaceClosed; }, 1000)) << p->state();
    EXPECT_EQ(seen->valuesOf("status"), before) << "the status line is left alone";
    release->store(true);
    rig.settle();
}

// A generic printer object (no probe of its own) shows "USB Busy" when another program tries to open it.
TEST(SetUp, AnotherProgramsAttemptShowsBusy) {
    Rig rig(RigOptions::notStarted());
    Slot& s = rig.plugAndConnect(PrinterModel::PL25D);
    ASSERT_TRUE(pumpUntil([&] { return s.emulator->isOnBus(); }));
    auto p = rig.makePrinter(s, false);
    ASSERT_TRUE(p);
    ASSERT_TRUE(pumpUntil([&] { return p->state() == ZVUSBPrinter::kInterfaceClosed; }, 3000));
    pumpFor(200);
    s.emulator->setHeldByOtherApplication(true);
    EXPECT_TRUE(pumpUntil([&] { return p->status() == "USB Busy"; }, 5000)) << p->status().value_or("(none)");
    s.emulator->setHeldByOtherApplication(false);
}

TEST(SetUp, InformationSurvivesUnplugAndReplugAtTheSameLocation) {
    Rig rig;
    Slot& s = rig.plugAndConnect(PrinterModel::PL35);
    ASSERT_TRUE(rig.waitProbed(s));
    rig.settle();
    auto first = rig.listed(s);
    const auto firmware = first->firmwareVersion();
    first.reset();
    rig.bus->unplug(*s.emulator->deviceId());
    ASSERT_TRUE(rig.waitUnlisted(s));
    ASSERT_TRUE(rig.waitUnlistedFreed());
    EXPECT_EQ(ZVUSBPrinter::deviceInfoForKey(s.key)->getString(QELMOR_ZVPrinterFirmwareVersion), firmware);
    s.emulator->setFirmwareVersion("PL35 01.99");
    rig.connect(s);
    ASSERT_TRUE(rig.waitProbed(s));
    EXPECT_TRUE(pumpUntil([&] { return rig.listed(s)->firmwareVersion() == "PL35 01.99"; }, 3000));
}

// ---------------------------------------------------------------------------------------------------------
// Failing USB calls during arrival and exchanges

struct UsbFailure {
    std::string call;
    IOReturn result;
    int skip;
    bool listed;          // the printer still reaches the list
    std::string logLine;  // what the log says
};

class ArrivalWithFailingCall : public ::testing::TestWithParam<UsbFailure> {};

TEST_P(ArrivalWithFailingCall, IsLoggedAndNothingHangs) {
    const auto& c = GetParam();
    Rig rig;
    rig.usb->fail(c.call, c.result, c.skip, 1000);
    Slot& s = rig.plugAndConnect(PrinterModel::PL25D);
    if (c.listed) {
        EXPECT_TRUE(rig.waitProbed(s)) << c.call;
    } else {
        pumpFor(300);
        EXPECT_FALSE(rig.listed(s)) << c.call;
    }
    EXPECT_GT(rig.usb->calls(c.call), c.skip);
    pumpFor(30);
    if (!c.logLine.empty()) {
        EXPECT_TRUE(Log::contains(c.logLine)) << c.call;
    }
    rig.expectMainQueueTurned();
}

INSTANTIATE_TEST_SUITE_P(
    Calls, ArrivalWithFailingCall,
    ::testing::Values(UsbFailure{"CreateInterfaceInterface", kIOReturnNoResources, 0, false, ""},
                      UsbFailure{"GetDeviceVendor", kIOReturnNotResponding, 0, false, ""},
                      UsbFailure{"USBGetSerialNumberStringIndex", kIOReturnNotResponding, 0, true, ""},
                      UsbFailure{"IOServiceAddInterestNotification", kIOReturnNoMemory, 0, true, ""}),
    [](const auto& info) { return info.param.call; });

// A failed open, write or read is abandoned with the interface released; no reply is left behind to be taken
// for the answer to a later query.
TEST(Exchanges, FailedCallShiftsNoAnswerAndTheNextProbeWorks) {
    for (std::string call : {"USBInterfaceOpenSeize", "WritePipeTO", "ReadPipeTO"}) {
        for (int skip : {0, 2}) {
            SCOPED_TRACE(call + " after " + std::to_string(skip));
            Rig rig;
            Slot& s = rig.plugAndConnect(PrinterModel::PL25D);
            ASSERT_TRUE(rig.waitProbed(s));
            rig.settle();
            auto p = rig.listed(s);
            s.emulator->setLifetimeCounter(4242);
            rig.usb->fail(call, kIOReturnNotResponding, skip, 1);
            onMain([&] { p->probe(); });
            rig.settle();
            EXPECT_FALSE(rig.bus->isOpenByHost(*s.emulator->deviceId()));
            onMain([&] { p->probe(); });
            rig.settle();
            EXPECT_EQ(p->lifetimeCounter(), "4242");
            EXPECT_EQ(p->firmwareVersion(), s.emulator->firmwareVersion());
            EXPECT_EQ(p->printerSerialNumber(), s.emulator->serial());
        }
    }
}

}  // namespace
