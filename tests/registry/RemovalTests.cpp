// Removal: a listed printer leaves the list only after the work queued for it, its handles released first; a
// printer whose insertion is still queued is never listed; the selection follows.
#include <condition_variable>

#include "RegistryTestSupport.h"

using namespace registrytest;

TEST_F(RegistryTest, UnpluggedPrinterLeavesTheListOnlyAfterItsQueuedWork) {
    plug("PL25D:serial=GONE");
    startRegistry();
    ASSERT_TRUE(waitForListed(1));
    ASSERT_TRUE(waitForProbed());
    pumpFor(50);
    auto printer = registry->printers().front();
    auto queue = printer->printerCommandQueue();
    ASSERT_TRUE(queue);

    // Work already queued for the printer: it holds the queue until released.
    std::mutex mutex;
    std::condition_variable cv;
    bool release = false;
    std::atomic<bool> blockRan{false};
    queue->async([&] {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait(lock, [&] { return release; });
        blockRan = true;
    });

    // What the printer looks like when the list drops it.
    std::atomic<bool> handlesReleasedAtRemoval{false};
    std::atomic<bool> blockDoneAtRemoval{false};
    auto token = registry->observe(ZVPrinters::kPrintersKey, [&](const std::string&, const ovn::KeyValueChange&) {
        if (registry->printers().empty()) {
            handlesReleasedAtRemoval = printer->deviceObject() == nullptr && printer->interfaceInterface() == nullptr;
            blockDoneAtRemoval = blockRan.load();
        }
    });

    Log::shared().clear();
    bus->unplug(*simulated->bySerial("GONE")->deviceId());
    pumpFor(200);
    EXPECT_EQ(registry->printers().size(), 1u) << "removed before its queued work ran";
    EXPECT_EQ(Log::shared().count("a printer object was removed ... checking for matching device"), 1u);
    EXPECT_EQ(Log::shared().count("removing "), 1u);
    EXPECT_EQ(Log::shared().count("failed to match"), 0u);

    {
        std::lock_guard<std::mutex> lock(mutex);
        release = true;
    }
    cv.notify_all();
    ASSERT_TRUE(pumpUntil([&] { return registry->printers().empty(); }));
    EXPECT_TRUE(blockDoneAtRemoval.load());
    EXPECT_TRUE(handlesReleasedAtRemoval.load());
    EXPECT_EQ(registry->selectedPrinter(), nullptr);
    EXPECT_EQ(registry->selectionIndex(), -1);
    // The registry no longer observes it.
    EXPECT_EQ(printer->observationCount(), 0u);
}

TEST_F(RegistryTest, RemovingTheSelectedPrinterSelectsTheOneNowInItsPlace) {
    plug("PL25D:serial=A,PL25D:serial=B,PL25D:serial=C");
    startRegistry();
    ASSERT_TRUE(waitForListed(3));
    ASSERT_TRUE(waitForProbed());
    pumpFor(50);
    auto printers = registry->printers();

    onMain([&] { registry->setSelectionIndex(1); });
    bus->unplug(*simulated->bySerial("B")->deviceId());
    ASSERT_TRUE(waitForListed(2));
    EXPECT_EQ(registry->selectedPrinter(), printers[2]) << "the printer now at the removed one's place";
    EXPECT_EQ(registry->selectionIndex(), 1);

    // Removing one in front of the selection keeps the same printer selected.
    bus->unplug(*simulated->bySerial("A")->deviceId());
    ASSERT_TRUE(waitForListed(1));
    EXPECT_EQ(registry->selectedPrinter(), printers[2]);
    EXPECT_EQ(registry->selectionIndex(), 0);
}

TEST_F(RegistryTest, RemovingTheLastSelectedPrinterSelectsTheNewLastOne) {
    plug("PL25D:serial=A,PL25D:serial=B");
    startRegistry();
    ASSERT_TRUE(waitForListed(2));
    ASSERT_TRUE(waitForProbed());
    pumpFor(50);
    auto printers = registry->printers();
    onMain([&] { registry->setSelectionIndex(1); });
    bus->unplug(*simulated->bySerial("B")->deviceId());
    ASSERT_TRUE(waitForListed(1));
    EXPECT_EQ(registry->selectedPrinter(), printers[0]);
}

TEST_F(RegistryTest, PrinterRemovedBeforeItsInsertionCameRoundIsNeverListed) {
    startRegistry();
    // A printer object made for an interface, the way arrival makes it.
    std::vector<ovn::usb::IOServicePtr> services;
    ovn::usb::IOIteratorPtr iterator;
    ovn::usb::IONotificationPtr notification;
    ovn::usb::MatchingDict match;
    match.bInterfaceClass = 7;
    match.bInterfaceSubClass = 1;
    auto record = [&services](const ovn::usb::IOIteratorPtr& it) {
        while (auto s = it->IOIteratorNext()) services.push_back(s);
    };
    ASSERT_EQ(bus->IOServiceAddMatchingNotification(ZVPrinters::sharedNotificationPort(),
                                                    ovn::usb::kIOMatchedNotification, match, record, &iterator,
                                                    &notification),
              kIOReturnSuccess);
    // Registered after the registry so that the registry's own printer exists first.
    plug("PL25D:serial=FLEETING");
    ASSERT_TRUE(pumpUntil([&] { return !services.empty(); }));
    ASSERT_TRUE(waitForListed(1));
    ASSERT_TRUE(waitForProbed());
    auto listed = registry->printers().front();

    ovn::usb::IOUSBInterfaceInterfacePtr interface;
    bool pluginFailed = false;
    ASSERT_EQ(bus->CreateInterfaceInterface(services[0], &interface, &pluginFailed), kIOReturnSuccess);
    std::shared_ptr<ZVUSBPrinterOVN> second;
    onMain([&] { second = ZVUSBPrinter::create<ZVUSBPrinterOVN>(interface, services[0]); });
    ASSERT_TRUE(second);
    ASSERT_TRUE(pumpUntil([&] { return second->deviceObject() != nullptr; }));

    int announcements = 0;
    auto token = registry->observe(ZVPrinters::kPrintersKey,
                                   [&](const std::string&, const ovn::KeyValueChange&) { ++announcements; });
    Log::shared().clear();
    onMain([&] {
        // Listed printers are matched first: take the listed one out of the way, then add and remove the new one
        // within one main-queue turn.
        registry->removedDeviceObject(services[0]);
        registry->addPrinter(second);
        registry->removedDeviceObject(services[0]);
    });
    pumpFor(200);
    EXPECT_TRUE(registry->printers().empty());
    EXPECT_EQ(Log::shared().count("removing "), 2u);
    EXPECT_EQ(Log::shared().count("failed to match"), 0u);
    EXPECT_EQ(second->observationCount(), 0u);
    EXPECT_EQ(listed->deviceObject(), nullptr);
    // Only the listed printer's removal changed the list.
    EXPECT_EQ(announcements, 1);
}
