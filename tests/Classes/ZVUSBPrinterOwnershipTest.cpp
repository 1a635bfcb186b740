// Interface ownership: open and close, pipes, the device object, the interest messages and the status line.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "FakeUSB.h"
#include "platform/Localization.h"
#include "support/CodeNames.h"

using namespace fake;
using ::testing::IsEmpty;
using P = ZVUSBPrinter;

namespace {

enum class Start { Closed, Open, Waiting, DidOpen, Probed };

std::string handleText(const std::shared_ptr<FakeService>& service) {
    char text[16];
    std::snprintf(text, sizeof text, "%.8x", service->handle());
    return text;
}

// One printer, set up and idle, with helpers to bring it into a given interface state.
struct Bench {
    FakePrinter device;
    std::shared_ptr<ZVUSBPrinter> printer;

    void start() {
        printer = makePrinter(device);
        waitForCommandQueue(printer);
        device.log->clear();
    }
    void finish() { waitForCommandQueue(printer); }
    IOReturn run(void (ZVUSBPrinter::*call)(const ZVUSBPrinter::ResultCompletion&)) {
        std::optional<IOReturn> result;
        ((*printer).*call)([&](IOReturn r) { result = r; });
        waitForCommandQueue(printer);
        return result.value_or(kIOReturnInvalid);
    }
    IOReturn open() { return run(&ZVUSBPrinter::openInterface); }
    IOReturn close() { return run(&ZVUSBPrinter::closeInterface); }
    void arrange(Start start) {
        if (start == Start::Waiting) device.interface->openResults.push_back(kIOReturnExclusiveAccess);
        if (start != Start::Closed && start != Start::Probed) open();
        if (start == Start::DidOpen) printer->setState(P::kInterfaceOpening);
        if (start == Start::Probed) printer->setState(P::kInterfaceProbed);
        device.log->clear();
    }
    void deliver(uint32_t message) {
        onMain([&] { services()->deliver(device.interfaceService, message); });
    }
    void setOwned(int64_t value) {
        onMain([&] { printer->setIsOwned(value); });
        waitForCommandQueue(printer);
    }
    void expectClosed(int64_t ownership = 0) {
        EXPECT_EQ(printer->state(), P::kInterfaceClosed);
        EXPECT_EQ(printer->interfaceStatus(), P::kInterfaceClosed);
        EXPECT_EQ(printer->ownershipValue(), ownership);
    }
};

struct OwnershipFixture : ::testing::Test, Bench {
    void SetUp() override { start(); }
    void TearDown() override { finish(); }
};

}  // namespace

TEST_F(OwnershipFixture, OpenWhenAlreadyOpenTouchesNothing) {
    ASSERT_EQ(open(), kIOReturnSuccess);
    device.log->clear();
    EXPECT_EQ(open(), kIOReturnSuccess);
    EXPECT_THAT(device.log->entries(), IsEmpty());
}

TEST_F(OwnershipFixture, SuccessfulOpenOwnsTheInterfaceAndFindsThePipes) {
    std::vector<std::pair<bool, ovn::Value>> announced;
    auto token = printer->observe("isOwned", [&](const std::string&, const ovn::KeyValueChange& change) {
        announced.emplace_back(P::isMainQueue(), change.newValue);
    });
    LogCapture logs;
    device.interface->pipes = {{kUSBOut, kUSBBulk}, {kUSBIn, kUSBInterrupt}, {kUSBIn, kUSBBulk}, {kUSBOut, kUSBBulk},
                               {kUSBIn, kUSBBulk, kIOReturnNotResponding}};
    EXPECT_EQ(open(), kIOReturnSuccess);
    EXPECT_TRUE(printer->isInterfaceOpen());
    EXPECT_EQ(printer->ownershipValue(), 1);
    EXPECT_EQ(printer->bulkOUT(), 4);  // the later bulk OUT pipe wins
    EXPECT_EQ(printer->bulkIN(), 3);   // interrupt and failing pipes are skipped
    EXPECT_TRUE(logs.hasSys("The OVN PL25D A123 is open.\n"));
    ASSERT_EQ(announced.size(), 1u);
    EXPECT_TRUE(announced[0].first);
    EXPECT_EQ(ovn::valueAsBool(announced[0].second), true);

    EXPECT_EQ(close(), kIOReturnSuccess);
    EXPECT_TRUE(logs.hasSys("The OVN PL25D A123 was closed.\n"));
    expectClosed();
    EXPECT_EQ(announced.size(), 2u);
}

TEST_F(OwnershipFixture, ExclusiveAccessByAnotherApplicationIsReportedThreeWays) {
    LogCapture logs;
    device.interface->openResults.push_back(kIOReturnExclusiveAccess);
    EXPECT_EQ(open(), kIOReturnExclusiveAccess);
    const std::string waiting = "Waiting for USB interface on device " + handleText(device.interfaceService);
    EXPECT_THAT(logs.lines(ovn::LogChannel::System),
                ::testing::IsSupersetOf({std::string("Another app has the printer USB interface open for exclusive "
                                                     "access.\n"),
                                         waiting + " to be closed...\n", std::string("The printer is busy.\n")}));
    EXPECT_EQ(printer->printerStatus(), "In use by other application");
    EXPECT_EQ(printer->ownershipValue(), -1);
    EXPECT_TRUE(printer->isOwned());
    EXPECT_TRUE(printer->willOpenInterface());
    EXPECT_EQ(device.log->count("GetNumEndpoints"), 0u);
}

TEST_F(OwnershipFixture, FailedOpensAndClosesEndInAKnownState) {
    device.interface->openResults.push_back(kIOReturnNotResponding);  // another failure: still opening
    EXPECT_EQ(open(), kIOReturnNotResponding);
    EXPECT_TRUE(printer->willOpenInterface());
    EXPECT_EQ(printer->ownershipValue(), 0);

    arrange(Start::Open);
    device.interface->closeResult = kIOReturnNotResponding;
    LogCapture logs;
    EXPECT_EQ(close(), kIOReturnNotResponding);
    EXPECT_TRUE(logs.hasSys("close interface returned error kIOReturnNotResponding\n"));
    expectClosed();
}

TEST_F(OwnershipFixture, CloseWithoutASuccessfulOpenMakesNoPlatformCallAndClearsOwnership) {
    arrange(Start::Waiting);
    ASSERT_EQ(printer->ownershipValue(), -1);
    EXPECT_EQ(close(), kIOReturnSuccess);
    EXPECT_EQ(device.log->count("USBInterfaceClose"), 0u);
    expectClosed();
}

TEST_F(OwnershipFixture, EndpointCountFailureIsLogged) {
    device.interface->numEndpointsResult = kIOReturnNotResponding;
    LogCapture logs;
    EXPECT_EQ(open(), kIOReturnSuccess);
    EXPECT_TRUE(logs.hasSys("failure for GetNumEndpoints on the open USB device; error=[-536870163]\n"));
    EXPECT_EQ(device.log->count("GetPipeProperties"), 0u);
}

TEST_F(OwnershipFixture, SettingTheSameDeviceObjectAgainChangesNothing) {
    LogCapture logs;
    printer->setDeviceObject(device.interfaceService);
    waitForCommandQueue(printer);
    auto failedFor = [](int handle) {
        return "FAILED ZVUSBPrinter::setDeviceObject (" + std::to_string(handle) +
               ") --- oddly it was somehow already set";
    };
    EXPECT_TRUE(logs.hasSys(failedFor(static_cast<int>(device.interfaceService->handle()))));
    EXPECT_THAT(device.log->entries(), IsEmpty());
    EXPECT_EQ(services()->registrations(device.interfaceService).size(), 1u);

    FakePrinter silent;  // no device ID: no queue, no device object
    silent.interface->deviceID.reset();
    makePrinter(silent)->setDeviceObject(nullptr);
    EXPECT_TRUE(logs.hasSys(failedFor(0)));
}

TEST_F(OwnershipFixture, FailedNotificationReleaseIsLogged) {
    auto registrations = services()->registrations(device.interfaceService);
    ASSERT_EQ(registrations.size(), 1u);
    registrations[0]->releaseResult = kIOReturnNotPrivileged;
    LogCapture logs;
    printer->prepareForRelease();
    waitForCommandQueue(printer);
    EXPECT_EQ(logs.countContaining("kIOReturnNotPrivileged error [0xE00002C1] trying to release a notification object "
                                   "in ZVUSBPrinter::setDeviceObject line"),
              1u);
    EXPECT_FALSE(printer->deviceObject());
}

TEST_F(OwnershipFixture, SetUpProbeWhileAnotherApplicationHoldsTheInterface) {
    Bench held;
    held.device.interface->openResults.push_back(kIOReturnExclusiveAccess);
    held.printer = makePrinter(held.device);
    held.finish();
    EXPECT_EQ(held.printer->printerStatus(), "In use by other application");
    held.expectClosed();  // never marked probed; the queued close ran
    EXPECT_EQ(held.device.log->count("USBInterfaceClose"), 0u);
}

// Every row of the interest-message table, from a fresh printer each time.
TEST(ZVUSBPrinterInterest, MessageTable) {
    struct Row {
        const char* name;
        Start start;
        uint32_t message;
        bool firmwareUpdate, emptyDictionary;
        const char* status;  // expected status line ("before" = unchanged)
        int64_t state;       // state and interface status
        size_t opens;        // USBInterfaceOpenSeize calls the message caused
    };
    const Row rows[] = {
        {"closed: empty dictionary ignores", Start::Waiting, kIOMessageServiceWasClosed, false, true, "before", 4, 0},
        {"closed: available", Start::Closed, kIOMessageServiceWasClosed, false, false, "USB Available", 1, 0},
        {"closed: available, update", Start::Closed, kIOMessageServiceWasClosed, true, false, "before", 1, 0},
        {"closed: waiting open retried", Start::Waiting, kIOMessageServiceWasClosed, false, false, "before", 2, 1},
        {"attempt: did open", Start::DidOpen, kIOMessageServiceIsAttemptingOpen, false, false, "USB Open", 2, 0},
        {"attempt: did open, update", Start::DidOpen, kIOMessageServiceIsAttemptingOpen, true, false, "before", 2, 0},
        {"attempt: waiting", Start::Waiting, kIOMessageServiceIsAttemptingOpen, false, false, "Waiting for USB", 4, 0},
        {"attempt: waiting, update", Start::Waiting, kIOMessageServiceIsAttemptingOpen, true, false, "before", 4, 0},
        {"attempt: open", Start::Open, kIOMessageServiceIsAttemptingOpen, false, false, "USB Open", 2, 0},
        {"attempt: closed", Start::Closed, kIOMessageServiceIsAttemptingOpen, false, false, "USB Busy", 1, 0},
        {"attempt: closed, update", Start::Closed, kIOMessageServiceIsAttemptingOpen, true, false, "before", 1, 0},
        {"attempt: own probe", Start::Probed, kIOMessageServiceIsAttemptingOpen, false, false, "before", 1, 0},
        {"busy state change", Start::Closed, kIOMessageServiceBusyStateChange, false, false, "before", 1, 0},
        {"unlisted message", Start::Closed, kIOMessageServiceIsRequestingClose, false, false, "OK", 1, 0},
        {"unlisted message, update", Start::Closed, kIOMessageDeviceHasPoweredOn, true, false, "OK", 1, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Bench f;
        f.start();
        f.arrange(row.start);
        onMain([&] { f.printer->setStatus("before"); });
        if (row.emptyDictionary) f.printer->deviceInfoDict()->clear();
        onMain([&] { f.printer->setInFirmwareUpdate(row.firmwareUpdate); });
        f.deliver(row.message);
        waitForCommandQueue(f.printer);
        EXPECT_EQ(f.printer->status(), row.status);
        EXPECT_EQ(f.printer->state(), row.state);
        EXPECT_EQ(f.printer->interfaceStatus(), row.state);
        EXPECT_EQ(f.device.log->count("USBInterfaceOpenSeize"), row.opens);
        if (row.opens) {  // the retried open owns the interface and finds the pipes
            EXPECT_EQ(f.printer->ownershipValue(), 1);
            EXPECT_EQ(f.device.log->count("GetNumEndpoints"), 1u);
        }
        f.finish();
    }
}

TEST_F(OwnershipFixture, StatusTextsAreLocalisedExceptOK) {
    ovn::setTranslator([](const std::string& english) -> std::string {
        return english == "USB Busy" ? "USB occupé" : english == "OK" ? "D'accord" : "";
    });
    deliver(kIOMessageServiceIsAttemptingOpen);
    EXPECT_EQ(printer->status(), "USB occupé");
    deliver(kIOMessageServiceIsRequestingClose);
    EXPECT_EQ(printer->status(), "OK");
    ovn::setTranslator(nullptr);
}

TEST_F(OwnershipFixture, WaitingOpenIsRetriedWhenTheOtherApplicationCloses) {
    device.interface->openResults.push_back(kIOReturnExclusiveAccess);
    setOwned(1);  // the user switches the printer on
    EXPECT_EQ(printer->ownershipValue(), -1);
    deliver(kIOMessageServiceIsAttemptingOpen);
    EXPECT_EQ(printer->status(), "Waiting for USB");

    deliver(kIOMessageServiceWasClosed);  // retried at once on the main thread
    waitForCommandQueue(printer);           // pipe discovery follows on the command queue
    EXPECT_EQ(printer->ownershipValue(), 1);
    EXPECT_TRUE(printer->isInterfaceOpen());
    EXPECT_EQ(device.log->count("USBInterfaceOpenSeize"), 2u);
    EXPECT_EQ(device.log->count("GetNumEndpoints"), 1u);
    deliver(kIOMessageServiceIsAttemptingOpen);
    EXPECT_EQ(printer->status(), "USB Open");
}

TEST_F(OwnershipFixture, OwnershipSwitch) {
    setOwned(1);
    EXPECT_EQ(printer->ownershipValue(), 1);
    setOwned(0);
    EXPECT_EQ(printer->ownershipValue(), 0);
    EXPECT_EQ(device.log->count("USBInterfaceClose"), 1u);

    // Switching on while another application holds it closes the waiting open and re-evaluates the line.
    arrange(Start::Waiting);
    {
        Gate gate(printer);  // the close stays queued while the line is re-evaluated
        onMain([&] { printer->setIsOwned(1); });
        EXPECT_EQ(printer->status(), "Waiting for USB");
        EXPECT_EQ(printer->ownershipValue(), -1);
    }
    waitForCommandQueue(printer);
    EXPECT_EQ(printer->ownershipValue(), 0);
    EXPECT_EQ(printer->state(), P::kInterfaceClosed);
}

TEST_F(OwnershipFixture, DeviceHandleFailuresAreReportedOnStandardError) {
    LogCapture logs;
    FakePrinter noPlugin;
    noPlugin.deviceService->pluginFails = true;
    noPlugin.deviceService->createResult = kIOReturnNoResources;
    auto first = makePrinter(noPlugin);
    EXPECT_TRUE(logs.hasErr("ERROR: IOCreatePlugInInterfaceForService() returned (kIOReturnNoResources)\n"));
    EXPECT_FALSE(first->vendorUSB().has_value());
    EXPECT_EQ(first->resetUSBDevice(), kIOReturnError);
    EXPECT_EQ(first->reEnumerateUSBDevice(), kIOReturnError);

    FakePrinter noQuery;
    noQuery.deviceService->createResult = kIOReturnNotFound;
    auto second = makePrinter(noQuery);
    EXPECT_TRUE(logs.hasErr(std::string("ERROR: Failed to get device Interface with Error(") +
                            strForIOReturn(kIOReturnNotFound) + ")\n"));
    EXPECT_FALSE(second->productUSB().has_value());
    waitForCommandQueue(first);
    waitForCommandQueue(second);
}

TEST_F(OwnershipFixture, DeviceHandleCreatedOffTheQueueIsStoredByAQueuedStep) {
    printer->setDeviceInterface(nullptr);
    waitForCommandQueue(printer);
    EXPECT_FALSE(printer->deviceInterface());  // the test thread is not the command queue
    waitForCommandQueue(printer);
    EXPECT_EQ(printer->deviceInterface(), device.device);
}
