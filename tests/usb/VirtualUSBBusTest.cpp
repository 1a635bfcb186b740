#include <thread>

#include "UsbTestSupport.h"

namespace ovn::usb::test {
namespace {

class VirtualBusTest : public ServicesFixture {
protected:
    void SetUp() override {
        MainRunLoop::drain();
        bus = VirtualUSBBus::create();
        bus->setTimeoutScale(0.01);
        services = bus;
    }

    // Plugs `device` and waits for its arrival; returns the interface service.
    IOServicePtr plugPrinter(const VirtualDeviceDescription& d = printerDescription()) {
        size_t before = arrived.size();
        id = bus->plug(d, device);
        EXPECT_TRUE(pumpUntil([&] { return arrived.size() > before; }));
        return arrived.size() > before ? arrived.back() : nullptr;
    }

    // Registers, plugs `device` and makes an interface handle with an interest registration on it; `log` is
    // empty afterwards.
    void attach(bool open, const VirtualDeviceDescription& d = printerDescription()) {
        registerMatching();
        service = plugPrinter(d);
        ASSERT_TRUE(service);
        interface = interfaceOf(service);
        interest = watch(service);
        if (open) {
            ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceOpenSeize());
        }
        pumpFor(10);
        log.clear();
    }

    IONotificationPtr addInterest(std::function<void()> callback) {
        IONotificationPtr notification;
        EXPECT_EQ(kIOReturnSuccess, bus->IOServiceAddInterestNotification(
                                        port, service, kIOGeneralInterest,
                                        [callback](const IOServicePtr&, uint32_t, void*) { callback(); },
                                        &notification));
        return notification;
    }

    std::shared_ptr<VirtualUSBBus> bus;
    std::shared_ptr<ScriptedDevice> device = std::make_shared<ScriptedDevice>();
    uint64_t id = 0;
    IOServicePtr service;
    IOUSBInterfaceInterfacePtr interface;
    IONotificationPtr interest;
};

TEST_F(VirtualBusTest, PresentDevicesComeThroughTheIteratorAndHotPlugThroughTheMainQueue) {
    uint64_t firstId = bus->plug(printerDescription(), device);
    VirtualDeviceDescription scanner = printerDescription(0x0200);
    scanner.interfaceClass = 6;
    bus->plug(scanner, std::make_shared<ScriptedDevice>());
    VirtualDeviceDescription otherSubclass = printerDescription(0x0201);
    otherSubclass.interfaceSubClass = 2;
    bus->plug(otherSubclass, std::make_shared<ScriptedDevice>());

    registerMatching();
    // Only the printer-class interface, straight from the iterator, before any main-queue turn.
    ASSERT_EQ(1u, arrived.size());
    EXPECT_EQ("IOUSBInterface", arrived[0]->className());
    EXPECT_EQ(std::vector<uint64_t>{firstId}, device->attachedIds);
    pumpFor(20);
    EXPECT_EQ(1u, arrived.size()) << "a device already drained must not arrive twice";

    uint64_t secondId = bus->plug(printerDescription(0x0106, 0x14300000), std::make_shared<ScriptedDevice>());
    EXPECT_EQ(1u, arrived.size()) << "arrival is delivered on the main queue, not inside plug()";
    ASSERT_TRUE(pumpUntil([&] { return arrived.size() == 2; }));
    EXPECT_NE(arrived[0]->handle(), arrived[1]->handle());
    EXPECT_EQ("2A71:0106 rel 0100 at 14300000 class 7/1/2 interface 0 config 1", identity(interfaceOf(arrived[1])));
    EXPECT_TRUE(bus->isPlugged(secondId));
    EXPECT_EQ(4u, bus->devices().size());

    // The bus picks distinct locations when none is given.
    uint32_t firstLocation = 0;
    interfaceOf(arrived[0])->GetLocationID(&firstLocation);
    EXPECT_NE(0u, firstLocation);
    EXPECT_NE(0x14300000u, firstLocation);
    EXPECT_EQ(firstLocation, bus->description(firstId)->locationID);
}

TEST_F(VirtualBusTest, UnplugSendsInterestTerminationBeforeTheRemovalNotification) {
    ASSERT_NO_FATAL_FAILURE(attach(false));
    IOServicePtr deviceService = interface->GetDevice();
    ASSERT_TRUE(deviceService);
    EXPECT_EQ("IOUSBDevice", deviceService->className());

    bus->unplug(id);
    ASSERT_TRUE(pumpUntil([&] { return !removed.empty(); }));
    pumpFor(10);
    EXPECT_EQ((Lines{"kIOMessageServiceIsTerminated", "removed"}), log);
    EXPECT_TRUE(IOObjectIsEqualTo(service, removed[0])) << "the removal hands back the very service that arrived";
    EXPECT_FALSE(bus->isPlugged(id));
    EXPECT_FALSE(interface->GetDevice());
    EXPECT_EQ(kIOReturnNoDevice, interface->USBInterfaceOpenSeize());
    EXPECT_EQ(Transfer(kIOReturnNoDevice, {}), readPipe(interface, 2, 4, 10, 10));
    uint8_t buffer[4];
    auto request = deviceRequest(0x0100, 0, 4, buffer);
    EXPECT_EQ(kIOReturnNoDevice, interface->ControlRequestTO(0, &request));
    IOUSBInterfaceInterfacePtr stale;
    bool pluginFailed = false;
    EXPECT_EQ(kIOReturnNoDevice, bus->CreateInterfaceInterface(service, &stale, &pluginFailed));
    EXPECT_TRUE(pluginFailed);
    EXPECT_FALSE(stale);
    IONotificationPtr late;
    EXPECT_EQ(kIOReturnNoDevice,
              bus->IOServiceAddInterestNotification(port, service, kIOGeneralInterest,
                                                    [](const IOServicePtr&, uint32_t, void*) {}, &late));
}

TEST_F(VirtualBusTest, InterestMessagesForOwnAndOtherOpensAndCloses) {
    ASSERT_NO_FATAL_FAILURE(attach(false));
    // Our own open and close.
    EXPECT_EQ(kIOReturnSuccess, interface->USBInterfaceOpenSeize());
    EXPECT_TRUE(bus->isOpenByHost(id));
    EXPECT_EQ(kIOReturnSuccess, interface->USBInterfaceClose());
    EXPECT_EQ(kIOReturnNotOpen, interface->USBInterfaceClose()) << "a close without open sends nothing";
    EXPECT_FALSE(bus->isOpenByHost(id));
    pumpFor(10);
    EXPECT_EQ((Lines{"kIOMessageServiceIsAttemptingOpen", "kIOMessageServiceWasClosed"}), log);
    log.clear();

    // Another application holds the interface: our attempt is refused but still announced.
    EXPECT_TRUE(bus->setHeldByOtherApplication(id, true));
    EXPECT_TRUE(bus->isHeldByOtherApplication(id));
    EXPECT_EQ(kIOReturnExclusiveAccess, interface->USBInterfaceOpenSeize());
    EXPECT_FALSE(bus->isOpenByHost(id));
    EXPECT_TRUE(bus->setHeldByOtherApplication(id, false));
    EXPECT_FALSE(bus->setHeldByOtherApplication(id, false)) << "releasing twice changes nothing";
    EXPECT_EQ(kIOReturnSuccess, interface->USBInterfaceOpenSeize());
    pumpFor(10);
    EXPECT_EQ((Lines{"kIOMessageServiceIsAttemptingOpen", "kIOMessageServiceIsAttemptingOpen",
                     "kIOMessageServiceWasClosed", "kIOMessageServiceIsAttemptingOpen"}),
              log);
    log.clear();

    // While we hold it, the other application's attempt fails but is announced.
    EXPECT_FALSE(bus->setHeldByOtherApplication(id, true));
    EXPECT_FALSE(bus->isHeldByOtherApplication(id));
    pumpFor(10);
    EXPECT_EQ((Lines{"kIOMessageServiceIsAttemptingOpen"}), log);
}

TEST_F(VirtualBusTest, ExclusiveAccessBetweenHandlesAndDroppedHandleClosesOnAnyThread) {
    ASSERT_NO_FATAL_FAILURE(attach(true));
    auto second = interfaceOf(service);
    EXPECT_EQ(kIOReturnExclusiveAccess, second->USBInterfaceOpenSeize());
    uint8_t count = 0;
    EXPECT_EQ(kIOReturnNotOpen, second->GetNumEndpoints(&count));
    pumpFor(10);
    log.clear();

    std::thread([handle = std::move(interface)]() mutable { handle.reset(); }).join();
    EXPECT_FALSE(bus->isOpenByHost(id));
    ASSERT_TRUE(pumpUntil([&] { return !log.empty(); }));
    EXPECT_EQ("kIOMessageServiceWasClosed", log[0]);
    EXPECT_EQ(kIOReturnSuccess, second->USBInterfaceOpenSeize());
}

TEST_F(VirtualBusTest, PipesExistOnlyWhileOpenInEndpointOrder) {
    VirtualDeviceDescription d = printerDescription();
    d.endpoints = {{0x81, kUSBBulk, 512, 0}, {0x83, kUSBInterrupt, 8, 10}, {0x02, kUSBBulk, 64, 0}};
    ASSERT_NO_FATAL_FAILURE(attach(false, d));
    uint8_t count = 0;
    uint8_t buffer[3] = {1, 2, 3};
    EXPECT_EQ(kIOReturnNotOpen, interface->GetNumEndpoints(&count));
    EXPECT_EQ(kIOReturnNotOpen, interface->GetPipeProperties(1, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(kIOReturnNotOpen, interface->WritePipeTO(3, buffer, 3, 100, 100));
    EXPECT_EQ(Transfer(kIOReturnNotOpen, {}), readPipe(interface, 1, 8));
    EXPECT_TRUE(device->written.empty());

    ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceOpenSeize());
    ASSERT_EQ(kIOReturnSuccess, interface->GetNumEndpoints(&count));
    ASSERT_EQ(3, count);
    auto pipe = [&](uint8_t ref) {  // direction, number, type, max packet, interval
        uint8_t direction = 9, number = 0, type = 0, interval = 0;
        uint16_t maxPacket = 0;
        EXPECT_EQ(kIOReturnSuccess,
                  interface->GetPipeProperties(ref, &direction, &number, &type, &maxPacket, &interval));
        return std::vector<int>{direction, number, type, maxPacket, interval};
    };
    EXPECT_EQ(pipe(1), (std::vector<int>{kUSBIn, 1, kUSBBulk, 512, 0}));
    EXPECT_EQ(pipe(2), (std::vector<int>{kUSBIn, 3, kUSBInterrupt, 8, 10}));
    EXPECT_EQ(pipe(3), (std::vector<int>{kUSBOut, 2, kUSBBulk, 64, 0}));
    EXPECT_EQ(kIOUSBUnknownPipeErr, interface->GetPipeProperties(4, nullptr, nullptr, nullptr, nullptr, nullptr));

    // Transfers go only to a pipe of the right direction.
    EXPECT_EQ(kIOReturnBadArgument, interface->WritePipeTO(1, buffer, 3, 100, 100));
    EXPECT_EQ(kIOUSBUnknownPipeErr, interface->WritePipeTO(9, buffer, 3, 100, 100));
    EXPECT_EQ(kIOReturnSuccess, interface->WritePipeTO(3, buffer, 3, 100, 100));
    EXPECT_EQ((std::vector<Bytes>{{1, 2, 3}}), device->written);
    device->queueReply({9, 8, 7});
    EXPECT_EQ(Transfer(kIOReturnSuccess, {9, 8, 7}), readPipe(interface, 1, 8));
    // Nothing to read: the device's own time-out comes back with nothing transferred.
    EXPECT_EQ(Transfer(kIOReturnTimeout, {}), readPipe(interface, 1, 8));
    EXPECT_EQ(kIOReturnSuccess, interface->USBInterfaceClose());
    EXPECT_EQ(kIOReturnNotOpen, interface->GetNumEndpoints(&count));
}

TEST_F(VirtualBusTest, HandlerGetsScaledCompletionTimeOutOrNoDataTimeOut) {
    ASSERT_NO_FATAL_FAILURE(attach(true));
    uint8_t byte = 0;
    EXPECT_EQ(kIOReturnSuccess, interface->WritePipeTO(1, &byte, 1, 1000, 5000));
    EXPECT_EQ(kIOReturnSuccess, interface->WritePipeTO(1, &byte, 1, 3000, 0));
    readPipe(interface, 2, 1, 5000, 5000);
    EXPECT_EQ((std::vector<uint32_t>{50, 30}), device->outTimeouts);
    EXPECT_EQ((std::vector<uint32_t>{50}), device->inTimeouts);
    EXPECT_EQ((std::vector<size_t>{1}), device->inMaxLengths);
}

class DescriptorTest : public VirtualBusTest {
protected:
    // Sends the control request; checks that nothing past wLength was written and hands back what came.
    IOReturn get(uint16_t value, uint16_t index, uint16_t length, Bytes* out, uint8_t type = 0x80,
                 uint8_t request = 6) {
        Bytes buffer(length + 16, 0xEE);
        auto r = deviceRequest(value, index, length, buffer.data(), type, request);
        r.wLenDone = 12345;
        IOReturn result = interface->ControlRequestTO(0, &r);
        for (size_t i = length; i < buffer.size(); ++i)
            EXPECT_EQ(0xEE, buffer[i]) << "byte " << i << " written past wLength";
        buffer.resize(r.wLenDone);
        *out = buffer;
        return result;
    }
    Bytes bytes;
};

TEST_F(DescriptorTest, DeviceDescriptorCarriesIDsAndStringIndicesAndHonoursLength) {
    VirtualDeviceDescription d = printerDescription(0x0106);
    d.bcdDevice = 0x0213;
    d.iManufacturer = 4;
    d.iProduct = 5;
    d.iSerialNumber = 0;
    ASSERT_NO_FATAL_FAILURE(attach(false, d));
    ASSERT_EQ(kIOReturnSuccess, get(0x0100, 0, 18, &bytes));
    ASSERT_EQ(18u, bytes.size());
    EXPECT_EQ(Bytes({18, 1}), Bytes(bytes.begin(), bytes.begin() + 2));
    EXPECT_EQ(Bytes({0x71, 0x2A, 0x06, 0x01, 0x13, 0x02, 4, 5, 0}), Bytes(bytes.begin() + 8, bytes.begin() + 17));
    ASSERT_EQ(kIOReturnSuccess, get(0x0100, 0, 8, &bytes));
    EXPECT_EQ(8u, bytes.size());
    ASSERT_EQ(kIOReturnSuccess, get(0x0100, 0, 64, &bytes));
    EXPECT_EQ(18u, bytes.size()) << "a longer buffer gets the 18 bytes there are";

    // The device handle reports the same indices.
    auto deviceHandle = deviceOf(interface);
    uint8_t index = 0xFF;
    EXPECT_EQ(kIOReturnSuccess, deviceHandle->USBGetManufacturerStringIndex(&index));
    EXPECT_EQ(4, index);
    EXPECT_EQ(kIOReturnSuccess, deviceHandle->USBGetSerialNumberStringIndex(&index));
    EXPECT_EQ(0, index);
    EXPECT_TRUE(device->controls.empty()) << "standard requests never reach the device handler";
}

TEST_F(DescriptorTest, LanguageListAndStringsPerLanguage) {
    VirtualDeviceDescription d = printerDescription();
    d.languages = {0x0407, 0x0409};
    d.strings = {{1, {{0x0407, u"Drucker"}, {0x0409, u"Printer"}}}, {2, {{0x0407, u"Nur Deutsch"}}}};
    ASSERT_NO_FATAL_FAILURE(attach(false, d));
    ASSERT_EQ(kIOReturnSuccess, get(0x0300, 0, 256, &bytes));
    EXPECT_EQ(Bytes({6, 3, 0x07, 0x04, 0x09, 0x04}), bytes);
    ASSERT_EQ(kIOReturnSuccess, get(0x0301, 0x0409, 256, &bytes));
    EXPECT_EQ(Bytes({16, 3, 'P', 0, 'r', 0, 'i', 0, 'n', 0, 't', 0, 'e', 0, 'r', 0}), bytes);
    ASSERT_EQ(kIOReturnSuccess, get(0x0301, 0x0407, 256, &bytes));
    EXPECT_EQ('D', bytes[2]);
    // A language the string does not exist in: the device answers in the one it has.
    ASSERT_EQ(kIOReturnSuccess, get(0x0302, 0x0409, 256, &bytes));
    EXPECT_EQ('N', bytes[2]);
    // Truncated to wLength: the header promises 16 bytes but only 5 come.
    ASSERT_EQ(kIOReturnSuccess, get(0x0301, 0x0409, 5, &bytes));
    EXPECT_EQ(Bytes({16, 3, 'P', 0, 'r'}), bytes);
    EXPECT_EQ(kIOUSBPipeStalled, get(0x0309, 0x0409, 256, &bytes)) << "no such string";
    EXPECT_TRUE(bytes.empty());
    EXPECT_EQ(kIOUSBPipeStalled, get(0x0700, 0, 256, &bytes)) << "unknown descriptor type";
}

TEST_F(DescriptorTest, RawMalformedDescriptorsAreAnsweredAsTheyAre) {
    VirtualDeviceDescription d = printerDescription();
    d.rawStringDescriptors[3] = {40, 3, 'A', 0};         // promises 40 bytes, holds 4
    d.rawStringDescriptors[2] = {6, 1, 'X', 0, 'Y', 0};  // wrong descriptor type
    d.rawStringDescriptors[0] = {3, 3, 0x09};            // odd language list
    Bytes longOne(300, 0x41);
    longOne[0] = 0xFF;
    longOne[1] = 3;
    d.rawStringDescriptors[4] = longOne;
    ASSERT_NO_FATAL_FAILURE(attach(false, d));
    ASSERT_EQ(kIOReturnSuccess, get(0x0303, 0x0409, 256, &bytes));
    EXPECT_EQ(Bytes({40, 3, 'A', 0}), bytes);
    ASSERT_EQ(kIOReturnSuccess, get(0x0302, 0x0409, 256, &bytes));
    EXPECT_EQ(Bytes({6, 1, 'X', 0, 'Y', 0}), bytes);
    ASSERT_EQ(kIOReturnSuccess, get(0x0300, 0, 256, &bytes));
    EXPECT_EQ(Bytes({3, 3, 0x09}), bytes);
    ASSERT_EQ(kIOReturnSuccess, get(0x0304, 0x0409, 256, &bytes));
    EXPECT_EQ(256u, bytes.size()) << "never more than wLength";
    ASSERT_EQ(kIOReturnSuccess, get(0x0304, 0x0409, 1, &bytes));
    EXPECT_EQ(Bytes({0xFF}), bytes);
}

TEST_F(DescriptorTest, ClassRequestsGoToTheHandlerTruncatedToLength) {
    ASSERT_NO_FATAL_FAILURE(attach(false));
    const char raw[] = "\x00\x20MFG:Orvane Imaging;MDL:PL25;";
    device->controlAnswer.assign(raw, raw + sizeof raw - 1);
    ASSERT_EQ(kIOReturnSuccess, get(0x0000, 0x0000, 0xFFFF, &bytes, 0xA1, 0));
    EXPECT_EQ(device->controlAnswer, bytes);
    ASSERT_EQ(kIOReturnSuccess, get(0x0000, 0x0000, 10, &bytes, 0xA1, 0));
    EXPECT_EQ(10u, bytes.size());
    ASSERT_EQ(2u, device->controls.size());
    EXPECT_EQ(0xA1, device->controls[0].bmRequestType);
    EXPECT_EQ(0xFFFF, device->controls[0].wLength);

    // Host-to-device (SOFT_RESET): no data phase, the handler's result comes back.
    device->controlResult = kIOUSBPipeStalled;
    auto reset = deviceRequest(0, 0, 0, nullptr, 0x21, 2);
    EXPECT_EQ(kIOUSBPipeStalled, interface->ControlRequestTO(0, &reset));
    EXPECT_EQ(0u, reset.wLenDone);
    EXPECT_EQ(3u, device->controls.size());
    // Control requests need no open interface; a missing buffer is refused.
    auto missing = deviceRequest(0x0100, 0, 18, nullptr);
    EXPECT_EQ(kIOReturnBadArgument, interface->ControlRequestTO(0, &missing));
}

TEST_F(VirtualBusTest, EveryFaultKind) {
    ASSERT_NO_FATAL_FAILURE(attach(true));
    uint8_t out[4] = {1, 2, 3, 4}, in[32];
    auto write = [&] { return interface->WritePipeTO(1, out, 4, 100, 100); };

    // Timeout on bulk OUT: the data never reaches the device.
    bus->injectFault(id, {FaultKind::Timeout, FaultTransfer::BulkOut, 0, 1, 0});
    EXPECT_EQ(kIOReturnTimeout, write());
    EXPECT_TRUE(device->written.empty());
    EXPECT_EQ(kIOReturnSuccess, write()) << "count 1: only once";
    EXPECT_EQ(1u, device->written.size());

    // Stall on bulk IN, after letting one read pass; count 2.
    bus->injectFault(id, {FaultKind::Stall, FaultTransfer::BulkIn, 1, 2, 0});
    device->queueReply({0x10});
    device->queueReply({0x11});
    EXPECT_EQ(Transfer(kIOReturnSuccess, {0x10}), readPipe(interface, 2, 32));
    EXPECT_EQ(Transfer(kIOUSBPipeStalled, {}), readPipe(interface, 2, 32));
    EXPECT_EQ(Transfer(kIOUSBPipeStalled, {}), readPipe(interface, 2, 32));
    EXPECT_EQ(Transfer(kIOReturnSuccess, {0x11}), readPipe(interface, 2, 32))
        << "a stalled read consumes nothing the device had";

    // Short read: 3 of 10 bytes now, the other 7 on the next reads without asking the device again.
    bus->injectFault(id, {FaultKind::ShortRead, FaultTransfer::BulkIn, 0, 1, 3});
    device->queueReply({0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    int callsBefore = device->bulkInCalls;
    EXPECT_EQ(Transfer(kIOReturnSuccess, {0, 1, 2}), readPipe(interface, 2, 32));
    EXPECT_EQ(Transfer(kIOReturnSuccess, {3, 4, 5, 6}), readPipe(interface, 2, 4));
    EXPECT_EQ(Transfer(kIOReturnSuccess, {7, 8, 9}), readPipe(interface, 2, 32));
    EXPECT_EQ(callsBefore + 1, device->bulkInCalls);

    // A short read on a control request; ShortRead never applies to OUT transfers.
    bus->injectFault(id, {FaultKind::ShortRead, FaultTransfer::Any, 0, 1, 2});
    EXPECT_EQ(kIOReturnSuccess, write());
    EXPECT_EQ(4u, device->written.back().size());
    auto r = deviceRequest(0x0100, 0, 18, in);
    EXPECT_EQ(kIOReturnSuccess, interface->ControlRequestTO(0, &r));
    EXPECT_EQ(2u, r.wLenDone);

    // Timeout on a control request.
    bus->injectFault(id, {FaultKind::Timeout, FaultTransfer::Control, 0, 1, 0});
    EXPECT_EQ(kIOReturnTimeout, interface->ControlRequestTO(0, &r));
    EXPECT_EQ(0u, r.wLenDone);
    EXPECT_EQ(kIOReturnSuccess, interface->ControlRequestTO(0, &r));

    // Cleared faults do nothing.
    bus->injectFault(id, {FaultKind::Stall, FaultTransfer::Any, 0, 5, 0});
    bus->clearFaults(id);
    EXPECT_EQ(kIOReturnSuccess, write());

    // Vanish: the device leaves in the middle of the transfer.
    pumpFor(10);
    log.clear();
    bus->injectFault(id, {FaultKind::Vanish, FaultTransfer::BulkOut, 0, 1, 0});
    size_t writtenBefore = device->written.size();
    EXPECT_EQ(kIOReturnNoDevice, write());
    EXPECT_EQ(writtenBefore, device->written.size());
    EXPECT_FALSE(bus->isPlugged(id));
    ASSERT_TRUE(pumpUntil([&] { return removed.size() == 1; }));
    EXPECT_EQ("kIOMessageServiceIsTerminated", log.at(0));
}

TEST_F(VirtualBusTest, ReEnumerationComesBackAtTheSameLocationWithNewServices) {
    ASSERT_NO_FATAL_FAILURE(attach(false, printerDescription(0x0106, 0x14200000)));
    auto oldDevice = deviceOf(interface);
    EXPECT_EQ(kIOReturnNotOpen, oldDevice->USBDeviceReEnumerate(0)) << "the device handle must be open";
    ASSERT_EQ(kIOReturnSuccess, oldDevice->USBDeviceOpen());
    bus->setHostReEnumerateDelay(5);

    ASSERT_EQ(kIOReturnSuccess, oldDevice->USBDeviceReEnumerate(0));
    EXPECT_FALSE(bus->isPlugged(id));
    ASSERT_TRUE(pumpUntil([&] { return arrived.size() == 2; }));
    EXPECT_EQ((Lines{"kIOMessageServiceIsTerminated", "removed", "arrived"}), log);
    EXPECT_TRUE(IOObjectIsEqualTo(service, removed[0]));
    EXPECT_FALSE(IOObjectIsEqualTo(service, arrived[1]));
    EXPECT_NE(service->handle(), arrived[1]->handle());
    EXPECT_TRUE(bus->isPlugged(id));
    EXPECT_EQ((std::vector<uint64_t>{id, id}), device->attachedIds);

    // The old handles belong to the device that left.
    EXPECT_EQ(kIOReturnNoDevice, interface->USBInterfaceOpenSeize());
    EXPECT_EQ(kIOReturnNoDevice, oldDevice->USBDeviceClose());
    EXPECT_FALSE(interface->GetDevice());

    // Now from the bus, with a new description: the location stays.
    bus->reEnumerate(id, 5, printerDescription(0x0107, 0x14900000));
    ASSERT_TRUE(pumpUntil([&] { return arrived.size() == 3; }));
    auto newInterface = interfaceOf(arrived[2]);
    EXPECT_EQ("2A71:0107 rel 0100 at 14200000 class 7/1/2 interface 0 config 1", identity(newInterface));
    EXPECT_EQ(kIOReturnSuccess, newInterface->USBInterfaceOpenSeize());

    // Unplugged while away: it never comes back.
    bus->reEnumerate(id, 20);
    bus->unplug(id);
    pumpFor(60);
    EXPECT_EQ(3u, arrived.size());
    EXPECT_FALSE(bus->description(id));
}

TEST_F(VirtualBusTest, ReleasedNotificationsNeverCallBackEvenWhenAlreadyQueued) {
    ASSERT_NO_FATAL_FAILURE(attach(false));
    int calls = 0, kept = 0;
    IONotificationPtr released = addInterest([&] { ++calls; });
    IONotificationPtr dropped = addInterest([&] { ++calls; });
    IONotificationPtr keptNotification = addInterest([&] { ++kept; });
    ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceOpenSeize());  // queues a message for all three
    EXPECT_EQ(kIOReturnSuccess, released->IOObjectRelease());
    dropped.reset();
    pumpFor(20);
    EXPECT_EQ(0, calls);
    EXPECT_EQ(1, kept);

    // A removal notification released after the unplug was queued.
    bus->unplug(id);
    removalNotification->IOObjectRelease();
    pumpFor(20);
    EXPECT_TRUE(removed.empty());

    // Destroying the port ends what is registered on it, queued arrivals included.
    bus->plug(printerDescription(), std::make_shared<ScriptedDevice>());
    size_t arrivedBefore = arrived.size();
    port->destroy();
    pumpFor(20);
    EXPECT_EQ(arrivedBefore, arrived.size());
    IOIteratorPtr iterator;
    IONotificationPtr late;
    EXPECT_NE(kIOReturnSuccess, bus->IOServiceAddMatchingNotification(port, kIOMatchedNotification, MatchingDict{},
                                                                      [](const IOIteratorPtr&) {}, &iterator, &late));
}

TEST_F(VirtualBusTest, NotificationReleasedFromInsideItsOwnCallback) {
    ASSERT_NO_FATAL_FAILURE(attach(false));
    int calls = 0;
    IONotificationPtr self;
    self = addInterest([&] {
        ++calls;
        self->IOObjectRelease();
        self.reset();
    });
    interface->USBInterfaceOpenSeize();
    interface->USBInterfaceClose();
    pumpFor(20);
    EXPECT_EQ(1, calls);
}

TEST_F(VirtualBusTest, HandlerReEnumeratingFromInsideBulkOutKeepsItsResult) {
    ASSERT_NO_FATAL_FAILURE(attach(true));
    std::weak_ptr<VirtualUSBBus> weakBus = bus;
    device->onBulkOut = [weakBus, id = id](const Bytes& data) {
        if (data == Bytes{'R'})
            if (auto b = weakBus.lock()) b->reEnumerate(id, 10);
        return kIOReturnSuccess;
    };
    uint8_t restart = 'R';
    // Runs on a command-queue-like worker thread, as the printer object does.
    IOReturn result = kIOReturnError;
    std::thread([&] { result = interface->WritePipeTO(1, &restart, 1, 5000, 5000); }).join();
    EXPECT_EQ(kIOReturnSuccess, result) << "the device took the command before it left";
    EXPECT_EQ(kIOReturnNoDevice, readPipe(interface, 2, 4).first);
    ASSERT_TRUE(pumpUntil([&] { return arrived.size() == 2 && removed.size() == 1; }));
    EXPECT_TRUE(bus->isPlugged(id));
    EXPECT_FALSE(bus->isOpenByHost(id)) << "the new device starts closed";
}

TEST_F(VirtualBusTest, UnplugWhileATransferIsInFlightEndsItWithNoDevice) {
    ASSERT_NO_FATAL_FAILURE(attach(true));
    std::mutex m;
    std::condition_variable cv;
    bool inside = false, release = false;
    device->onBulkIn = [&](Bytes& out) {
        std::unique_lock<std::mutex> lock(m);
        inside = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
        out = {1, 2, 3};
        return kIOReturnSuccess;
    };
    Transfer result;
    std::thread reader([&] { result = readPipe(interface, 2, 8, 5000, 5000); });
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return inside; });
    }
    bus->unplug(id);
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    reader.join();
    EXPECT_EQ(Transfer(kIOReturnNoDevice, {}), result);
}

TEST_F(VirtualBusTest, ConcurrentTrafficWhileDevicesComeAndGo) {
    device->onBulkIn = [](Bytes& out) {
        out = {0x42};
        return kIOReturnSuccess;
    };
    ASSERT_NO_FATAL_FAILURE(attach(true));
    std::atomic<bool> stop{false};
    std::atomic<int> noDevice{0};
    std::thread worker([&] {
        uint8_t byte = 1;
        while (!stop) {
            if (interface->WritePipeTO(1, &byte, 1, 10, 10) == kIOReturnNoDevice) ++noDevice;
            readPipe(interface, 2, 1, 10, 10);
        }
    });
    for (int i = 0; i < 5; ++i) {
        bus->reEnumerate(id, 1);
        pumpFor(5);
    }
    for (int waited = 0; noDevice.load() == 0 && waited < 2000; waited += 5) pumpFor(5);
    stop = true;
    worker.join();
    EXPECT_GT(noDevice.load(), 0);
    ASSERT_TRUE(pumpUntil([&] { return bus->isPlugged(id) && arrived.size() >= 2; }));
}

}  // namespace
}  // namespace ovn::usb::test
