// The printer registry behind the table: which printers it lists, in which order, what is selected, and how
// printers leave it.
#include <gtest/gtest.h>

#include "kit/Kit.h"

using namespace kit;

namespace {

Texts listedSerials(const Rig& rig) {
    Texts out;
    for (const auto& p : rig.registry->printers()) out.push_back(p->printerSerialNumber().value_or("(none)"));
    return out;
}

// Printers present at start and hot-plugged later are listed in arrival order, not location order, each one
// main-queue turn after its arrival was handled; each printer listed is selected, probed or not.
TEST(Registry, ListsPrintersInArrivalOrderAndSelectsTheFirst) {
    Rig rig(RigOptions::notStarted());
    Slot& before = rig.plugAndConnect(PrinterModel::PL25D, SlotOptions::fw("PL25DUP 1.30PRN"));
    pumpFor(20);
    std::vector<std::string> events;
    bool allOnMain = true;
    rig.start();
    EXPECT_TRUE(rig.registry->printers().empty()) << "listed one turn after the arrival, never in the same";
    auto token = rig.registry->observe(
        ZVPrinters::kPrintersKey,
        [&](const std::string&, const ovn::KeyValueChange& change) {
            allOnMain = allOnMain && ZVPrinters::isMainQueue();
            events.push_back(change.isPrior ? "will" : "did");
        },
        ovn::Observable::NewValue | ovn::Observable::Prior);
    ASSERT_TRUE(rig.waitProbed(before));
    EXPECT_EQ(rig.registry->selectedPrinter(), rig.listed(before));
    EXPECT_EQ(rig.registry->selectionIndex(), 0);

    Slot& second = rig.plug(PrinterModel::PL35);
    Slot& third = rig.plug(PrinterModel::PL45);
    rig.connect(third);
    ASSERT_TRUE(rig.waitProbed(third));
    rig.connect(second);
    ASSERT_TRUE(rig.waitProbed(second));
    EXPECT_EQ(listedSerials(rig),
              (Texts{before.emulator->serial(), third.emulator->serial(), second.emulator->serial()}));
    EXPECT_EQ(events, (Texts{"will", "did", "will", "did", "will", "did"}));
    EXPECT_TRUE(allOnMain);
    EXPECT_EQ(rig.listed(before)->keyUSBdevice(), before.key);
    EXPECT_EQ(rig.registry->printerWithKeyUSBdevice("2A71010699999999"), nullptr);
    // Listed is selected, before (and whether or not) its probe tells its firmware version.
    rig.settle();
    SlotOptions silent;
    silent.faults = {sim::FaultRule{Fault::NoReply, DeviceCommand::FirmwareVersion, sim::kFaultForever}};
    Slot& fourth = rig.plugAndConnect(PrinterModel::PL25D, silent);
    ASSERT_TRUE(pumpUntil([&] { return rig.listed(fourth) != nullptr; }, waitLimitMs(3000)));
    pumpFor(50);
    EXPECT_EQ(rig.registry->selectedPrinter(), rig.listed(fourth));
    EXPECT_EQ(rig.registry->selectionIndex(), 3);
}

struct Acceptance {
    const char* name;
    uint16_t vendor;
    uint8_t subclass;
    std::vector<uint16_t> accepted;  // product IDs added before discovery
    std::optional<ovn::Value> userDefault;  // "additionalProductIDs"
    bool listed;
};

class Accepting : public ::testing::TestWithParam<Acceptance> {};

// Only the vendor's printers with an accepted product ID are listed; nothing is ever sent to another device.
TEST_P(Accepting, ListsOnlyAcceptedPrinters) {
    const auto& c = GetParam();
    RigOptions options = RigOptions::notStarted();
    options.acceptedProducts = c.accepted.empty() ? std::vector<uint16_t>{0x0106} : c.accepted;
    Rig rig(options);
    if (c.userDefault) rig.defaults->setObject(ZVPrinters::kAdditionalProductIDsKey, *c.userDefault);
    rig.start();
    EXPECT_EQ(rig.registry->acceptsInterface(7, c.subclass, c.vendor, 0x5C01), c.listed);
    sim::EmulatorConfig config;
    config.model = PrinterModel::PL35;
    config.vendorId = c.vendor;
    config.locationId = 0x24100000;
    auto emulator = sim::OvnPrinterEmulator::create(config);
    auto description = emulator->description();
    description.interfaceSubClass = c.subclass;
    rig.bus->plug(description, emulator);
    if (c.listed) {
        EXPECT_TRUE(pumpUntil([&] { return rig.registry->printers().size() == 1; }, waitLimitMs(3000)));
    } else {
        pumpFor(300);
        EXPECT_TRUE(rig.registry->printers().empty());
        EXPECT_EQ(emulator->frameCount(), 0u) << "nothing may be sent to a printer that is not ours";
    }
    rig.bus->unplug(*emulator->deviceId());
}

const uint16_t kPL35 = 0x5C01;
INSTANTIATE_TEST_SUITE_P(
    Cases, Accepting,
    ::testing::Values(Acceptance{"BuiltInOnly", 0x2A71, 1, {}, std::nullopt, false},
                      Acceptance{"AddedByProgram", 0x2A71, 1, {0x0106, kPL35}, std::nullopt, true},
                      Acceptance{"SecondVendor", 0x2A72, 1, {0x0106, kPL35}, std::nullopt, true},
                      Acceptance{"ForeignVendor", 0x1234, 1, {0x0106, kPL35}, std::nullopt, false},
                      Acceptance{"UserDefaultHexText", 0x2A71, 1, {}, ovn::Value(std::string("0x5C01")), true},
                      Acceptance{"UserDefaultNumber", 0x2A71, 1, {}, ovn::Value(int64_t{kPL35}), true},
                      Acceptance{"UserDefaultList", 0x2A71, 1, {},
                                 ovn::Value(std::vector<std::string>{"not-an-id", "0x1FFFF", "23553"}), true},
                      Acceptance{"OtherSubclass", 0x2A71, 2, {0x0106, kPL35}, std::nullopt, false},
                      Acceptance{"UserDefaultNegative", 0x2A71, 1, {}, ovn::Value(int64_t{-3}), false},
                      Acceptance{"UserDefaultBool", 0x2A71, 1, {}, ovn::Value(true), false}),
    [](const auto& info) { return std::string(info.param.name); });

// Removing the selected printer selects the one now in its place, or the new last one; a printer leaves the
// list only after the work queued for it, leaves its information for its next arrival, and is freed.
TEST(Registry, RemovalMovesTheSelectionAndFreesThePrinter) {
    Rig rig;
    Slot& a = rig.plugAndConnect(PrinterModel::PL25D);
    ASSERT_TRUE(rig.waitProbed(a));
    Slot& b = rig.plugAndConnect(PrinterModel::PL25D);
    ASSERT_TRUE(rig.waitProbed(b));
    Slot& c = rig.plugAndConnect(PrinterModel::PL25D);
    ASSERT_TRUE(rig.waitProbed(c));
    rig.settle();
    auto pc = rig.listed(c);
    onMain([&] { rig.registry->setSelectionIndex(1); });
    EXPECT_EQ(rig.registry->selectedPrinter(), rig.listed(b));

    rig.bus->unplug(*b.emulator->deviceId());
    ASSERT_TRUE(rig.waitUnlisted(b));
    EXPECT_EQ(rig.registry->selectedPrinter(), pc) << "the printer now in the removed one's place";
    EXPECT_EQ(rig.registry->selectionIndex(), 1);
    EXPECT_TRUE(ZVUSBPrinter::deviceInfoForKey(b.key)->getString(QELMOR_ZVPrinterFirmwareVersion));

    // Removing one above the selection keeps the same printer selected.
    rig.bus->unplug(*a.emulator->deviceId());
    ASSERT_TRUE(rig.waitUnlisted(a));
    EXPECT_EQ(rig.registry->selectedPrinter(), pc);
    EXPECT_EQ(rig.registry->selectionIndex(), 0);
    Slot& d = rig.plugAndConnect(PrinterModel::PL25D);
    ASSERT_TRUE(rig.waitProbed(d));
    onMain([&] { rig.registry->setSelectionIndex(1); });
    rig.bus->unplug(*d.emulator->deviceId());
    ASSERT_TRUE(rig.waitUnlisted(d));
    EXPECT_EQ(rig.registry->selectedPrinter(), pc) << "the new last one";
    EXPECT_EQ(rig.registry->selectionIndex(), 0);
    pc.reset();
    EXPECT_TRUE(rig.waitUnlistedFreed());
    EXPECT_EQ(rig.livePrinterObjects(), 1u);

    onMain([&] { rig.registry->prepareForTermination(); });
    EXPECT_TRUE(pumpUntil([&] { return rig.registry->printers().empty(); }, 2000));
    EXPECT_FALSE(rig.registry->selectedPrinter());
}

// A printer whose interface handle cannot be had is skipped with its error lines; the next one is listed.
TEST(Registry, InterfaceHandleFailureSkipsOnlyThatPrinter) {
    for (bool pluginFails : {true, false}) {
        SCOPED_TRACE(pluginFails ? "plug-in" : "query");
        Rig rig(RigOptions::notStarted());
        rig.usb->fail(pluginFails ? "CreateInterfaceInterface.plugin" : "CreateInterfaceInterface",
                      pluginFails ? kIOReturnNoResources : kIOReturnUnsupported);
        Slot& fails = rig.plugAndConnect(PrinterModel::PL25D);
        pumpFor(20);
        rig.start();
        pumpFor(100);
        Slot& works = rig.plugAndConnect(PrinterModel::PL25D);
        ASSERT_TRUE(rig.waitProbed(works));
        EXPECT_FALSE(rig.listed(fails));
        const std::string code = std::to_string(static_cast<int32_t>(pluginFails ? kIOReturnNoResources : kIOReturnUnsupported));
        const auto errors = Log::lines(ovn::LogChannel::StdErr);
        auto has = [&](const std::string& text) {
            return std::any_of(errors.begin(), errors.end(), [&](const std::string& l) { return l.find(text) != l.npos; });
        };
        EXPECT_EQ(has("ERROR: IOCreatePlugInInterfaceForService() returned [" + code + "]"), pluginFails);
        EXPECT_TRUE(has("ERROR: QueryInterface() returned [" + code + "]"));
    }
}

}  // namespace
