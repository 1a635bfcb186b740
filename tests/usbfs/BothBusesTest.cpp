// One scenario table, run on both USB providers: the in-process virtual bus, and the libusb provider with every
// emulated printer behind a usbfs device node of umockdev (its restarts are the node leaving and a new node
// arriving at the same port, with udev events). The first probe of every model, a whole update of every model
// across both restarts, another program taking the printer mid-way, a printer unplugged during the image write,
// and two printers at once. Each runs on both buses; what the two show must be the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "Classes/OVNFirmwareCatalogue.h"
#include "Classes/OVNProtocol.h"
#include "Classes/OVNSRecord.h"
#include "kit/Kit.h"
#include "platform/Bundle.h"
#include "sim/usbfs/UsbfsBus.h"
#include "usb/LibUSBServices.h"

namespace cat = ovn::OVNFirmwareCatalogue;
using namespace kit;

namespace {

// The printers of a rig behind usbfs nodes, found by the libusb provider.
class UsbfsPrinters : public OtherBus {
public:
    UsbfsPrinters() {
        std::string error;
        bus_ = sim::UsbfsBus::create(&error);
        if (bus_) services_ = ovn::usb::LibUSBServices::create({}, &error);
        EXPECT_TRUE(bus_ && services_) << error;
    }
    ~UsbfsPrinters() override {
        services_.reset();
        bus_.reset();
    }
    std::shared_ptr<ovn::usb::USBServices> services() override { return services_; }
    uint32_t nextLocation() override { return bus_->locationOfPort(++ports_); }
    void connect(Slot& slot) override {
        std::weak_ptr<Wire> wire = slot.wire;
        bus_->plugPrinter(slot.emulator, slot.wire, [wire](uint64_t) {
            if (auto w = wire.lock()) w->noteArrival();
        });
    }
    bool isOpenByHost(const Slot& slot) override {
        auto id = slot.emulator->deviceId();
        return id && bus_->isOpenByHost(*id);
    }
    void unplugAll() override {
        for (auto id : bus_->devices()) bus_->unplug(id);
    }

private:
    std::shared_ptr<sim::UsbfsBus> bus_;
    std::shared_ptr<ovn::usb::LibUSBServices> services_;
    unsigned ports_ = 0;
};

enum class Bus { Virtual, Usbfs };
const Bus kBuses[] = {Bus::Virtual, Bus::Usbfs};
const char* busName(Bus b) { return b == Bus::Virtual ? "virtual bus" : "libusb and usbfs"; }
void PrintTo(Bus b, std::ostream* os) { *os << busName(b); }

RigOptions on(Bus bus) {
    RigOptions options;
    if (bus == Bus::Usbfs) options.otherBus = [] { return std::make_unique<UsbfsPrinters>(); };
    return options;
}

// What a listing shows of a printer (its USB location aside, which differs between the buses).
std::string listing(const ZVPrinters::PrinterPtr& p) {
    std::string out;
    for (const char* key : {"manufacturer", "model", "serialNumberUSB", "printerSerialNumber", "firmwareVersion",
                            "newFirmwareVersion", "lifetimeCounter", "usbISerial", "usbISerialString", "printerStatus",
                            "status", "inFirmwareUpdate"})
        out += std::string(key) + "=" + ovn::describeValue(p->valueForKey(key)) + "\n";
    for (const char* key : ovn::protocol::colorTableKeys())
        if (auto value = p->colorTableValue(key)) out += std::string(key) + "=" + *value + "\n";
    char ids[40];
    std::snprintf(ids, sizeof ids, "ids=%04X:%04X\n", p->idVendorValue(), p->idProductValue());
    return out + ids;
}

// ---------------------------------------------------------------------------------------------------------
// The first probe

const Texts kSingleProbe = {"STATUS",         "INFO FVER",           "MNT_RD COUNTER_LIFE",
                            "TBL_RD Version", "MNT_RD CTRLD_CHKSUM", "INFO SERIAL_NUMBER"};

Texts tableQueries(const std::string& what, std::initializer_list<int> tables, int times = 1) {
    Texts out;
    for (int i = 0; i < times; ++i)
        for (int t : tables) out.push_back("TBL_RD CWD" + std::to_string(t) + "_" + what);
    return out;
}
Texts concat(std::initializer_list<Texts> parts) {
    Texts out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct ProbeCase {
    PrinterModel model;
    std::string firmware;
    bool iSerial;
    Texts probe;  // one information probe
    std::string iSerialText;
};

void PrintTo(const ProbeCase& c, std::ostream* os) { *os << modelName(c.model); }

class FirstProbe : public ::testing::TestWithParam<ProbeCase> {};

// The first probe asks for the status, then runs the information probe; the registry's own probe runs it once
// more, never interleaved. The listing shows what the printer reported, the same on both buses.
TEST_P(FirstProbe, FramesInOrderAndTheSameListingOnBothBuses) {
    const auto& c = GetParam();
    std::vector<std::string> listings;
    for (Bus bus : kBuses) {
        SCOPED_TRACE(busName(bus));
        Rig rig(on(bus));
        SlotOptions o;
        o.firmware = c.firmware;
        o.iSerial = c.iSerial;
        o.serial = std::string(sim::modelInfo(c.model).serialPrefix) + "1000001";
        Slot& s = rig.plug(c.model, o);
        s.emulator->setLifetimeCounter(4321);
        rig.connect(s);
        ASSERT_TRUE(rig.waitProbed(s));
        rig.settle();
        Texts expected(3, "STATUS");
        for (int i = 0; i < 2; ++i) expected.insert(expected.end(), c.probe.begin() + 1, c.probe.end());
        EXPECT_EQ(s.commands(), expected);
        EXPECT_EQ(s.emulator->malformedCount(), 0u);
        EXPECT_EQ(s.emulator->rejectedCount(), 0u);
        for (const auto& f : s.wire->sent()) {
            if (f.size() == 32) continue;
            EXPECT_EQ(f.size(), 36u);
            EXPECT_EQ(textOf(Bytes(f.begin() + 24, f.begin() + 32)), "00000004");
        }

        auto p = rig.listed(s);
        ASSERT_TRUE(p);
        EXPECT_EQ(p->firmwareVersion(), c.firmware);
        EXPECT_EQ(p->printerSerialNumber(), s.emulator->serial());
        EXPECT_EQ(p->lifetimeCounter(), std::to_string(s.emulator->lifetimeCounter()));
        EXPECT_EQ(p->printerStatus(), "Idle");
        EXPECT_EQ(p->usbISerialString(), c.iSerialText);
        EXPECT_EQ(p->model(), sim::modelInfo(c.model).deviceIdModel);
        auto tables = s.emulator->colourTables();
        ASSERT_FALSE(tables.empty());
        EXPECT_EQ(p->colorTableVersion(),
                  (tables.count({"SD", 300}) ? tables[{"SD", 300}] : tables.begin()->second).version);
        EXPECT_FALSE(s.emulator->isHeldByOtherApplication());
        EXPECT_FALSE(rig.isOpenByHost(s)) << "the probe leaves the interface closed";
        listings.push_back(listing(p));
    }
    ASSERT_EQ(listings.size(), 2u);
    EXPECT_EQ(listings[0], listings[1]);
}

INSTANTIATE_TEST_SUITE_P(
    Models, FirstProbe,
    ::testing::Values(
        ProbeCase{PrinterModel::PL15, "PL15 01.50", false, kSingleProbe, "Unavailable"},
        ProbeCase{PrinterModel::PL25, "PL25 01.20", false, kSingleProbe, "Unavailable"},
        ProbeCase{PrinterModel::PLMV1, "PL-MV1 02.03", false, kSingleProbe, "Unavailable"},
        ProbeCase{PrinterModel::PL25D, "PL25DUP 1.30PRN", true, kSingleProbe, "Unavailable"},
        ProbeCase{PrinterModel::PL35, "PL35 01.20", false,
                  concat({{"STATUS", "INFO FVER", "MNT_RD COUNTER_LIFE"}, tableQueries("Version", {610, 600, 300}),
                          tableQueries("Checksum", {610, 600, 300}), {"INFO SERIAL_NUMBER", "MNT_RD USB_ISERI_SET"}}),
                  "Disabled"},
        ProbeCase{PrinterModel::PL45, "PL45 01.02", true,
                  concat({{"STATUS", "INFO FVER", "MNT_RD COUNTER_LIFE"},
                          tableQueries("Version", {620, 610, 600, 300}, 2),
                          tableQueries("Checksum", {620, 610, 600, 300}, 2),
                          {"INFO SERIAL_NUMBER", "MNT_RD USB_ISERI_SET"}}),
                  "Enabled"}),
    [](const auto& info) { return modelName(info.param.model); });

// ---------------------------------------------------------------------------------------------------------
// The whole update

constexpr const char* kConfirmTitle = "-- Warning --\n\nAre you certain you want to update the firmware?";
constexpr const char* kConfirmMessage =
    "The printer may be permanently damaged if it is unplugged or loses power during the update process.";

std::filesystem::path delivered(const std::string& name) {
    return std::filesystem::path(ovn::Bundle::resourceDirectory()) / name;
}
Bytes padded(std::string text) {
    Bytes b(text.begin(), text.end());
    b.resize(ovn::OVNSRecord::paddedLength(b.size()), 0);
    return b;
}
uint64_t hashOf(const Bytes& b) { return sim::fnv1a64(b.data(), b.size()); }
std::string upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}
bool isWrite(const sim::FrameRecord& f) {
    using C = DeviceCommand;
    return f.command && (*f.command == C::FlashRewrite || *f.command == C::FlashProgram || *f.command == C::TableClear ||
                         *f.command == C::TableWriteVersion || *f.command == C::TableWriteData);
}
bool isTableQuery(const sim::FrameRecord& f, const std::string& what) {
    return f.commandName.rfind("TBL_RD", 0) == 0 && f.commandName.find(what) != std::string::npos;
}
// Whether frames (from, to) hold at least one colour-table version query and one checksum query.
bool refreshBetween(const std::vector<sim::FrameRecord>& frames, size_t from, size_t to) {
    bool version = false, checksum = false;
    for (size_t i = from + 1; i < to && i < frames.size(); ++i) {
        version = version || isTableQuery(frames[i], "Version");
        checksum = checksum || isTableQuery(frames[i], "Checksum") || frames[i].commandName == "MNT_RD CTRLD_CHKSUM";
    }
    return version && checksum;
}

// Updates the printer on the bus; the alerts it showed and the printer's write frames, for comparison.
void updateOn(Bus bus, PrinterModel model, Texts* seen) {
    const auto* row = cat::rowForProductID(sim::modelInfo(model).productId);
    ASSERT_TRUE(row);
    const std::string offered = offeredFirmware(model);
    const auto tables = row->colorTableFiles();
    const bool mv1 = model == PrinterModel::PLMV1;

    Rig rig(on(bus));
    Slot& s = rig.plugAndConnect(model);
    ASSERT_TRUE(rig.waitProbed(s));
    rig.settle();
    const std::string before = s.emulator->firmwareVersion();
    ASSERT_NE(before, offered);
    s.emulator->clearFrameLog();
    s.wire->clearSent();
    rig.startUpdate(s);
    ASSERT_TRUE(rig.waitUpdated(s, 30000)) << rig.presenter->describe();
    rig.settle();

    // What the user saw.
    ASSERT_EQ(rig.presenter->titles(), (Texts{kAttentionTitle, kConfirmTitle, kSuccessTitle}));
    auto shown = rig.presenter->shown();
    const std::string warning =
        mv1 ? "This update tool is for the OVN MV1 printer. It will upgrade the printer to firmware version " +
                  offered +
                  ".\n\nOnce updated, the MV1 printer will REQUIRE the use of MV1Q media packs. Please use up all MV1 "
                  "media before using this update tool. This process cannot be undone."
            : "This update tool will upgrade the printer firmware to version " + offered +
                  ". This process cannot be undone";
    EXPECT_EQ(shown[0].message, warning);
    EXPECT_EQ(shown[0].buttons, (Texts{"Quit", "Continue"}));
    EXPECT_EQ(shown[0].style, ovn::AlertStyle::Critical);
    EXPECT_EQ(shown[0].checkboxTitle, "I Agree");
    EXPECT_TRUE(shown[0].secondButtonBound) << "\"Continue\" follows the box";
    EXPECT_EQ(shown[1].message, kConfirmMessage);
    EXPECT_EQ(shown[1].buttons, (Texts{"Cancel", "Update Firmware to " + offered}));
    EXPECT_EQ(shown[2].message, "Firmware version updated from " + before + " to " + offered);
    EXPECT_EQ(shown[2].buttons, Texts{"Finish"});
    for (const auto& a : shown) {
        EXPECT_EQ(a.modality, ovn::AlertModality::Sheet);
        seen->push_back(a.title + " | " + a.message);
    }
    rig.expectSound(s);

    // The printer's side.
    EXPECT_EQ(s.emulator->restartCount(), mv1 ? 3 : 2);
    EXPECT_EQ(s.emulator->malformedCount(), 0u);
    const auto frames = s.emulator->frames();
    std::vector<size_t> writes;
    for (size_t i = 0; i < frames.size(); ++i)
        if (isWrite(frames[i])) writes.push_back(i), seen->push_back(frames[i].commandName);
    std::vector<DeviceCommand> expected{DeviceCommand::FlashRewrite, DeviceCommand::FlashProgram, DeviceCommand::TableClear};
    for (size_t i = 0; i < tables.size(); ++i)
        expected.insert(expected.end(), {DeviceCommand::TableWriteVersion, DeviceCommand::TableWriteData});
    ASSERT_EQ(writes.size(), expected.size()) << ::testing::PrintToString(s.commands());
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(frames[writes[i]].command, expected[i]) << "write " << i;
    EXPECT_FALSE(frames[writes[0]].inUpdateMode);
    EXPECT_EQ(frames[writes[0]].payloadSize, 0u);

    const Bytes image = padded(readFile(delivered(row->firmwareFile())));
    const auto& program = frames[writes[1]];
    EXPECT_TRUE(program.inUpdateMode);
    EXPECT_EQ(program.payloadSize, image.size());
    EXPECT_EQ(program.payloadHash, hashOf(image)) << "the whole file, zero-padded to a multiple of 4";
    char lengthField[16];
    std::snprintf(lengthField, sizeof lengthField, "%08zu", image.size());
    auto sent = s.wire->sent();
    auto header = std::find_if(sent.begin(), sent.end(), [](const Bytes& b) {
        return textOf(Bytes(b.begin() + 2, b.begin() + std::min<size_t>(b.size(), 24))) == "FW_UPDFLASH_PROGRAM   ";
    });
    ASSERT_NE(header, sent.end());
    EXPECT_EQ(textOf(Bytes(header->begin() + 24, header->begin() + 32)), lengthField);

    EXPECT_TRUE(refreshBetween(frames, writes[2], writes[3])) << "versions and checksums are read after TBL_CL";
    auto written = s.emulator->colourTables();
    for (size_t t = 0; t < tables.size(); ++t) {
        SCOPED_TRACE(tables[t]);
        const std::string contents = readFile(delivered(tables[t]));
        EXPECT_EQ(frames[writes[3 + 2 * t]].payload, padded(upper(tables[t])));
        const auto& data = frames[writes[4 + 2 * t]];
        EXPECT_EQ(data.payloadSize, contents.size());
        EXPECT_EQ(data.payloadHash, hashOf(Bytes(contents.begin(), contents.end())));
        const size_t next = 5 + 2 * t < writes.size() ? writes[5 + 2 * t] : frames.size();
        EXPECT_TRUE(refreshBetween(frames, writes[4 + 2 * t], next)) << "refresh after the table";
        EXPECT_TRUE(std::any_of(written.begin(), written.end(),
                                [&](auto& w) { return w.second.versionName == upper(tables[t]); }));
    }

    auto last = rig.listed(s);
    EXPECT_EQ(last->deviceInfoDict()->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus), ZVFirmwareUpdateFinished);
    EXPECT_EQ(last->firmwareVersion(), offered);
    EXPECT_EQ(Log::count("found a device rebooting after firmware update"), mv1 ? 2u : 1u);
    EXPECT_TRUE(Log::contains("Uploading firmware to printer"));
    EXPECT_GE(rig.printerObjectsSeen(), mv1 ? 4u : 3u) << "a new object at each arrival";
    EXPECT_EQ(s.wire->arrivals(), mv1 ? 4 : 3) << "the printer left and came back at each restart";
}

class WholeUpdate : public ::testing::TestWithParam<PrinterModel> {};

TEST_P(WholeUpdate, AcrossBothRestartsTheSameOnBothBuses) {
    std::vector<Texts> seen(2);
    for (size_t b = 0; b < 2; ++b) {
        SCOPED_TRACE(busName(kBuses[b]));
        updateOn(kBuses[b], GetParam(), &seen[b]);
        if (HasFatalFailure()) return;
    }
    EXPECT_EQ(seen[0], seen[1]) << "alerts and write frames";
}

INSTANTIATE_TEST_SUITE_P(Catalogue, WholeUpdate, ::testing::ValuesIn(allModels()),
                         [](const auto& info) { return modelName(info.param); });

// ---------------------------------------------------------------------------------------------------------
// Scenarios on each bus

class OnEachBus : public ::testing::TestWithParam<Bus> {};

// Back in firmware-update mode, the printer is taken by another program as it arrives: the host is refused the
// interface, says the printer is busy, sends nothing and waits; when the other program lets go, the update
// goes on.
TEST_P(OnEachBus, AnotherProgramTakesThePrinterMidUpdateAndTheUpdateGoesOn) {
    Rig rig(on(GetParam()));
    Slot& s = rig.plugAndConnect(PrinterModel::PL35);
    ASSERT_TRUE(rig.waitProbed(s));
    rig.settle();
    auto emulator = s.emulator;
    Wire* wire = s.wire.get();
    wire->afterNext(DeviceCommand::FlashRewrite, [wire, emulator] {
        wire->onNextArrival([emulator] { emulator->setHeldByOtherApplication(true); });
    });
    Log::clear();
    rig.startUpdate(s);
    ASSERT_TRUE(pumpUntil([&] { return Log::contains("The printer is busy."); }, waitLimitMs(15000)))
        << rig.presenter->describe();
    EXPECT_TRUE(emulator->isHeldByOtherApplication());
    pumpFor(300);
    EXPECT_TRUE(s.framesOf(DeviceCommand::FlashProgram).empty()) << "nothing is written while another program has it";
    emulator->setHeldByOtherApplication(false);
    ASSERT_TRUE(rig.waitUpdated(s, 30000)) << rig.presenter->describe();
    rig.settle();
    rig.expectSound(s);
    EXPECT_EQ(1u, s.framesOf(DeviceCommand::FlashProgram).size());
    EXPECT_EQ(1u, rig.presenter->count(kSuccessTitle));
}

// The printer loses power as the image starts to arrive: the write fails, the printer leaves, nothing crashes;
// when it is back (still waiting for firmware) the update resumes without asking and ends.
TEST_P(OnEachBus, APrinterUnpluggedDuringTheImageWriteResumesAtItsNextArrival) {
    Rig rig(on(GetParam()));
    Slot& s = rig.plugAndConnect(PrinterModel::PL45);
    ASSERT_TRUE(rig.waitProbed(s));
    rig.settle();
    auto emulator = s.emulator;
    s.wire->beforeNext(DeviceCommand::FlashProgram, [emulator] { emulator->powerLoss(); });
    rig.startUpdate(s);
    ASSERT_TRUE(pumpUntil([&] { return !emulator->isPowered(); }, waitLimitMs(15000))) << rig.presenter->describe();
    ASSERT_TRUE(rig.waitUnlisted(s));
    ASSERT_TRUE(rig.waitUnlistedFreed());
    EXPECT_TRUE(s.framesOf(DeviceCommand::FlashProgram).empty()) << "no image reached the printer";
    EXPECT_EQ(emulator->firmwareMode(), sim::FirmwareMode::Update);
    emulator->powerOn();
    ASSERT_TRUE(rig.waitUpdated(s, 30000)) << rig.presenter->describe();
    rig.settle();
    rig.expectSound(s);
    EXPECT_EQ(0u, rig.presenter->updateModeOffers()) << "resuming never asks";
    EXPECT_EQ(1u, s.framesOf(DeviceCommand::FlashProgram).size());
}

// Two printers at once: both listed with their own values; the one updated goes through both restarts while
// the other sees no write at all and stays listed as it was.
TEST_P(OnEachBus, TwoPrintersAtOnceOnlyTheOneUpdatedIsWritten) {
    Rig rig(on(GetParam()));
    Slot& a = rig.plugAndConnect(PrinterModel::PL15);
    Slot& b = rig.plugAndConnect(PrinterModel::PL25D);
    ASSERT_TRUE(rig.waitProbed(a));
    ASSERT_TRUE(rig.waitProbed(b));
    rig.settle();
    EXPECT_EQ(2u, rig.registry->printers().size());
    EXPECT_EQ(rig.listed(b)->printerSerialNumber(), b.emulator->serial());
    b.emulator->clearFrameLog();
    rig.startUpdate(a);
    ASSERT_TRUE(rig.waitUpdated(a, 30000)) << rig.presenter->describe();
    rig.settle();
    rig.expectSound(a);
    rig.expectSound(b);
    for (const auto& f : b.emulator->frames()) EXPECT_FALSE(isWrite(f)) << f.commandName;
    auto listed = rig.listed(b);
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->firmwareVersion(), b.initialFirmware);
    EXPECT_EQ(listed->printerSerialNumber(), b.emulator->serial());
    EXPECT_EQ(listed->printerStatus(), "Idle");
    EXPECT_FALSE(listed->inFirmwareUpdate());
    EXPECT_EQ(2u, rig.registry->printers().size());
}

INSTANTIATE_TEST_SUITE_P(Buses, OnEachBus, ::testing::ValuesIn(kBuses),
                         [](const auto& info) { return std::string(info.param == Bus::Virtual ? "Virtual" : "Usbfs"); });

}  // namespace
