// Discovery: printers already attached, hot-plugged printers in arrival order, interfaces that are not ours,
// the firmware-version selection rule.
#include <cstdio>

#include "RegistryTestSupport.h"

using namespace registrytest;

namespace {

std::string hex8(uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", value);
    return buf;
}

}  // namespace

TEST_F(RegistryTest, PrinterAttachedBeforeStartIsFoundWithoutHotPlug) {
    plug("PL25D:serial=PRE1");
    pumpFor(20);  // its arrival is announced before the registry registers
    startRegistry();
    // Listed one main-queue turn after its arrival was handled, never in the same turn.
    EXPECT_TRUE(registry->printers().empty());
    ASSERT_TRUE(waitForListed(1));
    ASSERT_TRUE(waitForProbed());
    auto printer = registry->printers().front();
    EXPECT_EQ(printer->keyUSBdevice(), "2A71010614100000");
    EXPECT_EQ(printer->printerSerialNumber(), std::string("PRE1"));
    EXPECT_EQ(registry->selectedPrinter(), printer);
    EXPECT_EQ(registry->selectionIndex(), 0);
}

TEST_F(RegistryTest, HotPluggedPrintersAreListedInArrivalOrder) {
    startRegistry();
    EXPECT_TRUE(registry->printers().empty()) << "nothing is attached yet";
    plug("PL25D:serial=FIRST:location=0x14300000");
    ASSERT_TRUE(waitForListed(1));
    plug("PL25D:serial=SECOND:location=0x14100000");
    ASSERT_TRUE(waitForListed(2));
    ASSERT_TRUE(waitForProbed());
    // Arrival order, not location order.
    EXPECT_EQ(listedLocations(), (std::vector<uint32_t>{0x14300000u, 0x14100000u}));
    auto printers = registry->printers();
    EXPECT_EQ(printers[0]->printerSerialNumber(), std::string("FIRST"));
    EXPECT_EQ(printers[1]->printerSerialNumber(), std::string("SECOND"));
    EXPECT_EQ(registry->printerWithKeyUSBdevice("2A71010614100000"), printers[1]);
    EXPECT_EQ(registry->printerWithKeyUSBdevice("2A71010699999999"), nullptr);
}

TEST_F(RegistryTest, ListChangesAreAnnouncedOnTheMainQueueAroundEachInsertion) {
    startRegistry();
    std::vector<std::string> events;
    std::vector<size_t> sizesAtDid;
    bool allOnMain = true;
    auto token = registry->observe(
        ZVPrinters::kPrintersKey,
        [&](const std::string&, const ovn::KeyValueChange& change) {
            allOnMain = allOnMain && ZVPrinters::isMainQueue();
            events.push_back(change.isPrior ? "will" : "did");
            if (!change.isPrior) sizesAtDid.push_back(registry->printers().size());
        },
        ovn::Observable::NewValue | ovn::Observable::Prior);
    plug("PL25D,PL25D");
    ASSERT_TRUE(waitForListed(2));
    EXPECT_EQ(events, (std::vector<std::string>{"will", "did", "will", "did"}));
    EXPECT_EQ(sizesAtDid, (std::vector<size_t>{1, 2}));
    EXPECT_TRUE(allOnMain);
}

TEST_F(RegistryTest, UnsupportedProductIsNotListedAndNothingIsLogged) {
    startRegistry();
    pumpFor(20);
    Log::shared().clear();
    // Vendor 0x2A72 is ours, product 0x0102 is not accepted.
    plug("PL25:vendor=0x2A72:serial=OTHER");
    pumpFor(300);
    EXPECT_TRUE(registry->printers().empty());
    // The emulator reports its own events ("sim ..."); the program says nothing.
    std::vector<std::string> programLines;
    for (const auto& line : Log::shared().lines())
        if (line.rfind("sim ", 0) != 0) programLines.push_back(line);
    EXPECT_EQ(programLines, std::vector<std::string>{});
    EXPECT_GE(Log::shared().count("sim PL25 OTHER"), 1u) << "the capture works";
    EXPECT_EQ(simulated->all().front()->frameCount(), 0u) << "nothing may be sent to a printer that is not ours";
}

TEST_F(RegistryTest, ForeignVendorIsNotListed) {
    startRegistry();
    plug("PL25D:vendor=0x1234");
    pumpFor(300);
    EXPECT_TRUE(registry->printers().empty());
    EXPECT_EQ(simulated->all().front()->frameCount(), 0u);
}

TEST_F(RegistryTest, UnpluggingAnUnsupportedDeviceLogsFailedMatchAndChangesNothing) {
    plug("PL25D:serial=OURS");
    startRegistry();
    ASSERT_TRUE(waitForListed(1));
    ASSERT_TRUE(waitForProbed());

    // Watch removals on our own to learn the handle of the interface service that goes away.
    std::vector<uint32_t> removedHandles;
    ovn::usb::IOIteratorPtr iterator;
    ovn::usb::IONotificationPtr notification;
    ovn::usb::MatchingDict match;
    match.bInterfaceClass = 7;
    match.bInterfaceSubClass = 1;
    auto record = [&removedHandles](const ovn::usb::IOIteratorPtr& it) {
        while (auto s = it->IOIteratorNext()) removedHandles.push_back(s->handle());
    };
    ASSERT_EQ(bus->IOServiceAddMatchingNotification(ZVPrinters::sharedNotificationPort(),
                                                    ovn::usb::kIOTerminatedNotification, match, record, &iterator,
                                                    &notification),
              kIOReturnSuccess);
    record(iterator);

    plug("PL15:serial=NOTOURS:location=0x14900000");
    pumpFor(100);
    Log::shared().clear();
    auto other = simulated->bySerial("NOTOURS");
    ASSERT_TRUE(other);
    bus->unplug(*other->deviceId());
    ASSERT_TRUE(pumpUntil([&] { return !removedHandles.empty(); }));
    pumpFor(50);

    ASSERT_EQ(removedHandles.size(), 1u);
    EXPECT_EQ(Log::shared().count("failed to match a printer object for device " + hex8(removedHandles[0])), 1u);
    EXPECT_EQ(Log::shared().count("removing"), 0u);
    EXPECT_EQ(registry->printers().size(), 1u);
    EXPECT_EQ(registry->printers().front()->printerSerialNumber(), std::string("OURS"));
}

TEST_F(RegistryTest, FirmwareVersionChangeMakesThePrinterTheSelection) {
    plug("PL25D:serial=A,PL25D:serial=B");
    startRegistry();
    ASSERT_TRUE(waitForListed(2));
    ASSERT_TRUE(waitForProbed());
    pumpFor(50);
    auto printers = registry->printers();

    onMain([&] { registry->setSelectionIndex(0); });
    ASSERT_EQ(registry->selectedPrinter(), printers[0]);

    std::vector<int64_t> announcedIndex;
    auto token = registry->observe(ZVPrinters::kSelectionIndexKey,
                                   [&](const std::string&, const ovn::KeyValueChange& change) {
                                       announcedIndex.push_back(ovn::valueAsInteger(change.newValue).value_or(-99));
                                   });
    // The second printer reports a new firmware version: it becomes the selection.
    simulated->bySerial("B")->setFirmwareVersion("PL25DUP 1.41PRN");
    printers[1]->getPrinterFirmwareVersion();
    ASSERT_TRUE(pumpUntil([&] { return registry->selectedPrinter() == printers[1]; }));
    EXPECT_EQ(printers[1]->firmwareVersion(), std::string("PL25DUP 1.41PRN"));
    EXPECT_EQ(announcedIndex, (std::vector<int64_t>{1}));
    EXPECT_EQ(ovn::valueAsString(registry->valueForKey(ZVPrinters::kSelectedPrinterKey)),
              std::optional<std::string>(printers[1]->keyUSBdevice()));
}

TEST_F(RegistryTest, ExplicitSelectionOutsideTheListChangesNothing) {
    plug("PL25D:serial=A");
    startRegistry();
    ASSERT_TRUE(waitForListed(1));
    onMain([&] {
        registry->setSelectionIndex(5);
        registry->setSelectionIndex(-1);
        registry->setSelectedPrinter(nullptr);
    });
    EXPECT_EQ(registry->selectionIndex(), 0);
}

TEST_F(RegistryTest, SharedNotificationPortIsCreatedOnce) {
    auto first = ZVPrinters::sharedNotificationPort();
    auto second = ZVPrinters::sharedNotificationPort();
    ASSERT_TRUE(first);
    EXPECT_EQ(first, second);
    // Destroyed, the next call makes a new one.
    ZVPrinters::destroySharedNotificationPort();
    auto third = ZVPrinters::sharedNotificationPort();
    ASSERT_TRUE(third);
    EXPECT_NE(third, first);
}

TEST_F(RegistryTest, NoPortWithoutUSBProvider) {
    ZVPrinters::destroySharedNotificationPort();
    ovn::usb::USBServices::setShared(nullptr);
    EXPECT_EQ(ZVPrinters::sharedNotificationPort(), nullptr);
    EXPECT_EQ(Log::shared().count("failed to add a runloop source for device notifications"), 1u);
    // Discovery then registers nothing and never fails.
    onMain([&] {
        auto lonely = ZVPrinters::create();
        lonely->getPrintingDevices();
        EXPECT_FALSE(lonely->hasArrivalRegistration());
        EXPECT_TRUE(lonely->printers().empty());
    });
    ovn::usb::USBServices::setShared(bus);
}

TEST_F(RegistryTest, PrintersReadEmptyBeforeAnyArrivalAndWritingChangesNothing) {
    startRegistry();
    EXPECT_TRUE(registry->printers().empty());
    EXPECT_EQ(registry->selectedPrinter(), nullptr);
    EXPECT_EQ(registry->selectionIndex(), -1);
    EXPECT_FALSE(registry->updateInProgress());

    plug("PL25D:serial=ONLY");
    ASSERT_TRUE(waitForListed(1));
    auto before = registry->printers();
    int announcements = 0;
    auto token = registry->observe(ZVPrinters::kPrintersKey,
                                   [&](const std::string&, const ovn::KeyValueChange&) { ++announcements; });
    onMain([&] {
        registry->setPrinters({});
        registry->setPrinters({before.front(), before.front()});
    });
    EXPECT_EQ(registry->printers(), before);
    EXPECT_EQ(announcements, 0);
    EXPECT_EQ(Log::shared().count("inside ZVPrinters::setPrinters"), 2u);
}

TEST_F(RegistryTest, MainQueueTest) {
    EXPECT_FALSE(ZVPrinters::isMainQueue()) << "the test thread outside a block is no queue";
    bool onMainQueue = false;
    onMain([&] { onMainQueue = ZVPrinters::isMainQueue(); });
    EXPECT_TRUE(onMainQueue);
    auto queue = ovn::DispatchQueue::createSerial("registry.test");
    std::atomic<int> other{-1};
    queue->async([&] { other = ZVPrinters::isMainQueue() ? 1 : 0; });
    ASSERT_TRUE(pumpUntil([&] { return other.load() >= 0; }));
    EXPECT_EQ(other.load(), 0);
}
