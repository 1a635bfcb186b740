#include <gtest/gtest.h>

#include <thread>

#include "support/CodeNames.h"
#include "UsbTestSupport.h"

namespace ovn::usb::test {
namespace {

// Registers for arrival and removal of printer-class interfaces and records everything, in order.
class VirtualBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        MainRunLoop::drain();
        bus = VirtualUSBBus::create();
        bus->setTimeoutScale(0.01);
        port = bus->IONotificationPortCreate();
    }

    void TearDown() override {
        port->destroy();
        MainRunLoop::drain();
    }

    void registerMatching() {
        MatchingDict printers;
        printers.bInterfaceClass = 7;
        printers.bInterfaceSubClass = 1;
        IOIteratorPtr arrivalIterator;
        ASSERT_EQ(kIOReturnSuccess,
                  bus->IOServiceAddMatchingNotification(
                      port, kIOMatchedNotification, printers, [this](const IOIteratorPtr& it) { drainArrivals(it); },
                      &arrivalIterator, &arrivalNotification));
        drainArrivals(arrivalIterator);
        IOIteratorPtr removalIterator;
        ASSERT_EQ(kIOReturnSuccess, bus->IOServiceAddMatchingNotification(
                                        port, kIOTerminatedNotification, printers,
                                        [this](const IOIteratorPtr& it) {
                                            while (auto service = it->IOIteratorNext()) {
                                                log.push_back("removed");
                                                removed.push_back(service);
                                            }
                                        },
                                        &removalIterator, &removalNotification));
        ASSERT_TRUE(removalIterator);
        EXPECT_FALSE(removalIterator->IOIteratorNext());
    }

    void drainArrivals(const IOIteratorPtr& it) {
        while (auto service = it->IOIteratorNext()) {
            log.push_back("arrived");
            arrived.push_back(service);
        }
    }

    IONotificationPtr watch(const IOServicePtr& service) {
        IONotificationPtr notification;
        EXPECT_EQ(kIOReturnSuccess, bus->IOServiceAddInterestNotification(
                                        port, service, kIOGeneralInterest,
                                        [this](const IOServicePtr&, uint32_t message, void*) {
                                            log.push_back(strForIOMessage(message));
                                        },
                                        &notification));
        return notification;
    }

    IOUSBInterfaceInterfacePtr interfaceOf(const IOServicePtr& service) {
        IOUSBInterfaceInterfacePtr handle;
        bool pluginFailed = true;
        EXPECT_EQ(kIOReturnSuccess, bus->CreateInterfaceInterface(service, &handle, &pluginFailed));
        return handle;
    }

    IOUSBDeviceInterfacePtr deviceOf(const IOUSBInterfaceInterfacePtr& interface) {
        IOUSBDeviceInterfacePtr handle;
        bool pluginFailed = true;
        EXPECT_EQ(kIOReturnSuccess, bus->CreateDeviceInterface(interface->GetDevice(), &handle, &pluginFailed));
        return handle;
    }

    // Plugs a printer and waits for its arrival; returns the interface service.
    IOServicePtr plugPrinter(std::shared_ptr<ScriptedDevice> device, uint64_t* id,
                             VirtualDeviceDescription d = printerDescription()) {
        size_t before = arrived.size();
        *id = bus->plug(d, device);
        EXPECT_TRUE(pumpUntil([&] { return arrived.size() > before; }));
        return arrived.size() > before ? arrived.back() : nullptr;
    }

    std::shared_ptr<VirtualUSBBus> bus;
    IONotificationPortPtr port;
    IONotificationPtr arrivalNotification;
    IONotificationPtr removalNotification;
    std::vector<std::string> log;
    std::vector<IOServicePtr> arrived;
    std::vector<IOServicePtr> removed;
};

TEST_F(VirtualBusTest, PresentDevicesComeThroughTheIteratorAndHotPlugThroughTheMainQueue) {
    auto first = std::make_shared<ScriptedDevice>();
    uint64_t firstId = bus->plug(printerDescription(), first);
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
    EXPECT_EQ(std::vector<uint64_t>{firstId}, first->attachedIds);
    pumpFor(20);
    EXPECT_EQ(1u, arrived.size()) << "a device already drained must not arrive twice";

    auto second = std::make_shared<ScriptedDevice>();
    uint64_t secondId = bus->plug(printerDescription(0x0106, 0x14300000), second);
    EXPECT_EQ(1u, arrived.size()) << "arrival is delivered on the main queue, not inside plug()";
    ASSERT_TRUE(pumpUntil([&] { return arrived.size() == 2; }));
    EXPECT_NE(arrived[0]->handle(), arrived[1]->handle());

    auto interface = interfaceOf(arrived[1]);
    uint32_t location = 0;
    uint16_t vendor = 0, product = 0;
    uint8_t cls = 0, sub = 0;
    EXPECT_EQ(kIOReturnSuccess, interface->GetLocationID(&location));
    EXPECT_EQ(kIOReturnSuccess, interface->GetDeviceVendor(&vendor));
    EXPECT_EQ(kIOReturnSuccess, interface->GetDeviceProduct(&product));
    EXPECT_EQ(kIOReturnSuccess, interface->GetInterfaceClass(&cls));
    EXPECT_EQ(kIOReturnSuccess, interface->GetInterfaceSubClass(&sub));
    EXPECT_EQ(0x14300000u, location);
    EXPECT_EQ(0x2A71, vendor);
    EXPECT_EQ(0x0106, product);
    EXPECT_EQ(7, cls);
    EXPECT_EQ(1, sub);
    EXPECT_TRUE(bus->isPlugged(secondId));
    EXPECT_EQ(4u, bus->devices().size());

    // The bus picks distinct locations when none is given.
    auto firstInterface = interfaceOf(arrived[0]);
    uint32_t firstLocation = 0;
    firstInterface->GetLocationID(&firstLocation);
    EXPECT_NE(0u, firstLocation);
    EXPECT_NE(firstLocation, location);
    EXPECT_EQ(firstLocation, bus->description(firstId)->locationID);
}

TEST_F(VirtualBusTest, UnplugSendsInterestTerminationBeforeTheRemovalNotification) {
    registerMatching();
    auto device = std::make_shared<ScriptedDevice>();
    uint64_t id = 0;
    IOServicePtr service = plugPrinter(device, &id);
    ASSERT_TRUE(service);
    auto interface = interfaceOf(service);
    IOServicePtr deviceService = interface->GetDevice();
    ASSERT_TRUE(deviceService);
    EXPECT_EQ("IOUSBDevice", deviceService->className());
    auto interest = watch(service);
    log.clear();

    bus->unplug(id);
    ASSERT_TRUE(pumpUntil([&] { return !removed.empty(); }));
    pumpFor(10);
    EXPECT_EQ((std::vector<std::string>{"kIOMessageServiceIsTerminated", "removed"}), log);
    EXPECT_TRUE(IOObjectIsEqualTo(service, removed[0])) << "the removal hands back the very service that arrived";
    EXPECT_FALSE(bus->isPlugged(id));
    EXPECT_FALSE(interface->GetDevice());
    EXPECT_EQ(kIOReturnNoDevice, interface->USBInterfaceOpenSeize());
    uint8_t buffer[4];
    uint32_t size = sizeof buffer;
    EXPECT_EQ(kIOReturnNoDevice, interface->ReadPipeTO(2, buffer, &size, 10, 10));
    IOUSBDevRequestTO request;
    request.bmRequestType = 0x80;
    request.bRequest = 6;
    request.wValue = 0x0100;
    request.wLength = 4;
    request.pData = buffer;
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
    registerMatching();
    auto device = std::make_shared<ScriptedDevice>();
    uint64_t id = 0;
    IOServicePtr service = plugPrinter(device, &id);
    auto interface = interfaceOf(service);
    auto interest = watch(service);
    log.clear();

    // Our own open and close.
    EXPECT_EQ(kIOReturnSuccess, interface->USBInterfaceOpenSeize());
    EXPECT_TRUE(bus->isOpenByHost(id));
    EXPECT_EQ(kIOReturnSuccess, interface->USBInterfaceClose());
    EXPECT_EQ(kIOReturnNotOpen, interface->USBInterfaceClose()) << "a close without open sends nothing";
    EXPECT_FALSE(bus->isOpenByHost(id));
    pumpFor(10);
    EXPECT_EQ((std::vector<std::string>{"kIOMessageServiceIsAttemptingOpen", "kIOMessageServiceWasClosed"}), log);
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
    EXPECT_EQ((std::vector<std::string>{"kIOMessageServiceIsAttemptingOpen", "kIOMessageServiceIsAttemptingOpen",
                                        "kIOMessageServiceWasClosed", "kIOMessageServiceIsAttemptingOpen"}),
              log);
    log.clear();

    // While we hold it, the other application's attempt fails but is announced.
    EXPECT_FALSE(bus->setHeldByOtherApplication(id, true));
    EXPECT_FALSE(bus->isHeldByOtherApplication(id));
    pumpFor(10);
    EXPECT_EQ((std::vector<std::string>{"kIOMessageServiceIsAttemptingOpen"}), log);
}

TEST_F(VirtualBusTest, ExclusiveAccessBetweenHandlesAndDroppedHandleClosesOnAnyThread) {
    registerMatching();
    uint64_t id = 0;
    IOServicePtr service = plugPrinter(std::make_shared<ScriptedDevice>(), &id);
    auto first = interfaceOf(service);
    auto second = interfaceOf(service);
    auto interest = watch(service);
    ASSERT_EQ(kIOReturnSuccess, first->USBInterfaceOpenSeize());
    EXPECT_EQ(kIOReturnExclusiveAccess, second->USBInterfaceOpenSeize());
    uint8_t count = 0;
    EXPECT_EQ(kIOReturnNotOpen, second->GetNumEndpoints(&count));
    pumpFor(10);
    log.clear();

    std::thread([handle = std::move(first)]() mutable { handle.reset(); }).join();
    EXPECT_FALSE(bus->isOpenByHost(id));
    ASSERT_TRUE(pumpUntil([&] { return !log.empty(); }));
    EXPECT_EQ("kIOMessageServiceWasClosed", log[0]);
    EXPECT_EQ(kIOReturnSuccess, second->USBInterfaceOpenSeize());
}

TEST_F(VirtualBusTest, PipesExistOnlyWhileOpenInEndpointOrder) {
    registerMatching();
    auto device = std::make_shared<ScriptedDevice>();
    VirtualDeviceDescription d = printerDescription();
    d.endpoints = {{0x81, kUSBBulk, 512, 0}, {0x83, kUSBInterrupt, 8, 10}, {0x02, kUSBBulk, 64, 0}};
    uint64_t id = 0;
    auto interface = interfaceOf(plugPrinter(device, &id, d));
    uint8_t count = 0;
    uint8_t buffer[8] = {1, 2, 3};
    uint32_t size = sizeof buffer;
    EXPECT_EQ(kIOReturnNotOpen, interface->GetNumEndpoints(&count));
    EXPECT_EQ(kIOReturnNotOpen, interface->GetPipeProperties(1, nullptr, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ(kIOReturnNotOpen, interface->WritePipeTO(3, buffer, 3, 100, 100));
    EXPECT_EQ(kIOReturnNotOpen, interface->ReadPipeTO(1, buffer, &size, 100, 100));
    EXPECT_EQ(0u, size);
    EXPECT_TRUE(device->written.empty());

    ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceOpenSeize());
    ASSERT_EQ(kIOReturnSuccess, interface->GetNumEndpoints(&count));
    ASSERT_EQ(3, count);
    struct Pipe {
        uint8_t direction, number, type;
        uint16_t maxPacket;
        uint8_t interval;
    };
    std::vector<Pipe> pipes(3);
    for (uint8_t ref = 1; ref <= 3; ++ref) {
        Pipe& p = pipes[ref - 1];
        ASSERT_EQ(kIOReturnSuccess,
                  interface->GetPipeProperties(ref, &p.direction, &p.number, &p.type, &p.maxPacket, &p.interval));
    }
    EXPECT_EQ(kUSBIn, pipes[0].direction);
    EXPECT_EQ(1, pipes[0].number);
    EXPECT_EQ(kUSBBulk, pipes[0].type);
    EXPECT_EQ(kUSBInterrupt, pipes[1].type);
    EXPECT_EQ(3, pipes[1].number);
    EXPECT_EQ(10, pipes[1].interval);
    EXPECT_EQ(kUSBOut, pipes[2].direction);
    EXPECT_EQ(2, pipes[2].number);
    EXPECT_EQ(64, pipes[2].maxPacket);
    EXPECT_EQ(kIOUSBUnknownPipeErr, interface->GetPipeProperties(4, nullptr, nullptr, nullptr, nullptr, nullptr));

    // Transfers go only to a pipe of the right direction.
    EXPECT_EQ(kIOReturnBadArgument, interface->WritePipeTO(1, buffer, 3, 100, 100));
    EXPECT_EQ(kIOUSBUnknownPipeErr, interface->WritePipeTO(9, buffer, 3, 100, 100));
    EXPECT_EQ(kIOReturnSuccess, interface->WritePipeTO(3, buffer, 3, 100, 100));
    ASSERT_EQ(1u, device->written.size());
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), device->written[0]);
    device->queueReply({9, 8, 7});
    size = sizeof buffer;
    EXPECT_EQ(kIOReturnSuccess, interface->ReadPipeTO(1, buffer, &size, 100, 100));
    EXPECT_EQ(3u, size);
    EXPECT_EQ(9, buffer[0]);

    // Nothing to read: the device's own time-out comes back with nothing transferred.
    size = sizeof buffer;
    EXPECT_EQ(kIOReturnTimeout, interface->ReadPipeTO(1, buffer, &size, 100, 100));
    EXPECT_EQ(0u, size);

    EXPECT_EQ(kIOReturnSuccess, interface->USBInterfaceClose());
    EXPECT_EQ(kIOReturnNotOpen, interface->GetNumEndpoints(&count));
}

TEST_F(VirtualBusTest, HandlerGetsScaledCompletionTimeOutOrNoDataTimeOut) {
    registerMatching();
    auto device = std::make_shared<ScriptedDevice>();
    uint64_t id = 0;
    auto interface = interfaceOf(plugPrinter(device, &id));
    ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceOpenSeize());
    uint8_t byte = 0;
    EXPECT_EQ(kIOReturnSuccess, interface->WritePipeTO(1, &byte, 1, 1000, 5000));
    EXPECT_EQ(kIOReturnSuccess, interface->WritePipeTO(1, &byte, 1, 3000, 0));
    uint32_t size = 1;
    interface->ReadPipeTO(2, &byte, &size, 5000, 5000);
    EXPECT_EQ((std::vector<uint32_t>{50, 30}), device->outTimeouts);
    EXPECT_EQ((std::vector<uint32_t>{50}), device->inTimeouts);
    EXPECT_EQ((std::vector<size_t>{1}), device->inMaxLengths);
}

class DescriptorTest : public VirtualBusTest {
protected:
    IOReturn get(uint16_t value, uint16_t index, uint16_t length, std::vector<uint8_t>* out,
                 uint8_t requestType = 0x80, uint8_t request = 6) {
        std::vector<uint8_t> buffer(length + 16, 0xEE);
        IOUSBDevRequestTO r;
        r.bmRequestType = requestType;
        r.bRequest = request;
        r.wValue = value;
        r.wIndex = index;
        r.wLength = length;
        r.pData = buffer.data();
        r.wLenDone = 12345;
        IOReturn result = interface->ControlRequestTO(0, &r);
        for (size_t i = length; i < buffer.size(); ++i)
            EXPECT_EQ(0xEE, buffer[i]) << "byte " << i << " written past wLength";
        buffer.resize(r.wLenDone);
        *out = buffer;
        return result;
    }

    void plugWith(VirtualDeviceDescription d) {
        registerMatching();
        uint64_t id = 0;
        interface = interfaceOf(plugPrinter(device, &id, std::move(d)));
    }

    std::shared_ptr<ScriptedDevice> device = std::make_shared<ScriptedDevice>();
    IOUSBInterfaceInterfacePtr interface;
};

TEST_F(DescriptorTest, DeviceDescriptorCarriesIDsAndStringIndicesAndHonoursLength) {
    VirtualDeviceDescription d = printerDescription(0x0106);
    d.bcdDevice = 0x0213;
    d.iManufacturer = 4;
    d.iProduct = 5;
    d.iSerialNumber = 0;
    plugWith(d);
    std::vector<uint8_t> bytes;
    ASSERT_EQ(kIOReturnSuccess, get(0x0100, 0, 18, &bytes));
    ASSERT_EQ(18u, bytes.size());
    EXPECT_EQ(18, bytes[0]);
    EXPECT_EQ(1, bytes[1]);
    EXPECT_EQ(0x71, bytes[8]);
    EXPECT_EQ(0x2A, bytes[9]);
    EXPECT_EQ(0x06, bytes[10]);
    EXPECT_EQ(0x01, bytes[11]);
    EXPECT_EQ(0x13, bytes[12]);
    EXPECT_EQ(0x02, bytes[13]);
    EXPECT_EQ(4, bytes[14]);
    EXPECT_EQ(5, bytes[15]);
    EXPECT_EQ(0, bytes[16]);

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
    d.strings.clear();
    d.strings[1][0x0407] = u"Drucker";
    d.strings[1][0x0409] = u"Printer";
    d.strings[2][0x0407] = u"Nur Deutsch";
    plugWith(d);
    std::vector<uint8_t> bytes;
    ASSERT_EQ(kIOReturnSuccess, get(0x0300, 0, 256, &bytes));
    EXPECT_EQ((std::vector<uint8_t>{6, 3, 0x07, 0x04, 0x09, 0x04}), bytes);

    ASSERT_EQ(kIOReturnSuccess, get(0x0301, 0x0409, 256, &bytes));
    EXPECT_EQ((std::vector<uint8_t>{16, 3, 'P', 0, 'r', 0, 'i', 0, 'n', 0, 't', 0, 'e', 0, 'r', 0}), bytes);
    ASSERT_EQ(kIOReturnSuccess, get(0x0301, 0x0407, 256, &bytes));
    EXPECT_EQ('D', bytes[2]);
    // A language the string does not exist in: the device answers in the one it has.
    ASSERT_EQ(kIOReturnSuccess, get(0x0302, 0x0409, 256, &bytes));
    EXPECT_EQ('N', bytes[2]);
    // Truncated to wLength: the header promises 16 bytes but only 5 come.
    ASSERT_EQ(kIOReturnSuccess, get(0x0301, 0x0409, 5, &bytes));
    EXPECT_EQ((std::vector<uint8_t>{16, 3, 'P', 0, 'r'}), bytes);
    // No such string.
    EXPECT_EQ(kIOUSBPipeStalled, get(0x0309, 0x0409, 256, &bytes));
    EXPECT_TRUE(bytes.empty());
    EXPECT_EQ(kIOUSBPipeStalled, get(0x0700, 0, 256, &bytes)) << "unknown descriptor type";
}

TEST_F(DescriptorTest, RawMalformedDescriptorsAreAnsweredAsTheyAre) {
    VirtualDeviceDescription d = printerDescription();
    d.rawStringDescriptors[3] = {40, 3, 'A', 0};            // promises 40 bytes, holds 4
    d.rawStringDescriptors[2] = {6, 1, 'X', 0, 'Y', 0};     // wrong descriptor type
    d.rawStringDescriptors[0] = {3, 3, 0x09};               // odd language list
    std::vector<uint8_t> longOne(300, 0x41);
    longOne[0] = 0xFF;
    longOne[1] = 3;
    d.rawStringDescriptors[4] = longOne;
    plugWith(d);
    std::vector<uint8_t> bytes;
    ASSERT_EQ(kIOReturnSuccess, get(0x0303, 0x0409, 256, &bytes));
    EXPECT_EQ((std::vector<uint8_t>{40, 3, 'A', 0}), bytes);
    ASSERT_EQ(kIOReturnSuccess, get(0x0302, 0x0409, 256, &bytes));
    EXPECT_EQ((std::vector<uint8_t>{6, 1, 'X', 0, 'Y', 0}), bytes);
    ASSERT_EQ(kIOReturnSuccess, get(0x0300, 0, 256, &bytes));
    EXPECT_EQ((std::vector<uint8_t>{3, 3, 0x09}), bytes);
    ASSERT_EQ(kIOReturnSuccess, get(0x0304, 0x0409, 256, &bytes));
    EXPECT_EQ(256u, bytes.size()) << "never more than wLength";
    ASSERT_EQ(kIOReturnSuccess, get(0x0304, 0x0409, 1, &bytes));
    EXPECT_EQ((std::vector<uint8_t>{0xFF}), bytes);
}

TEST_F(DescriptorTest, ClassRequestsGoToTheHandlerTruncatedToLength) {
    plugWith(printerDescription());
    const char raw[] = "\x00\x20MFG:Orvane Imaging;MDL:PL25;";
    std::string id(raw, sizeof raw - 1);
    device->controlAnswer.assign(id.begin(), id.end());
    std::vector<uint8_t> bytes;
    ASSERT_EQ(kIOReturnSuccess, get(0x0000, 0x0000, 0xFFFF, &bytes, 0xA1, 0));
    EXPECT_EQ(id.size(), bytes.size());
    ASSERT_EQ(kIOReturnSuccess, get(0x0000, 0x0000, 10, &bytes, 0xA1, 0));
    EXPECT_EQ(10u, bytes.size());
    ASSERT_EQ(2u, device->controls.size());
    EXPECT_EQ(0xA1, device->controls[0].bmRequestType);
    EXPECT_EQ(0xFFFF, device->controls[0].wLength);

    // Host-to-device (SOFT_RESET): no data phase, the handler's result comes back.
    device->controlResult = kIOUSBPipeStalled;
    IOUSBDevRequestTO reset;
    reset.bmRequestType = 0x21;
    reset.bRequest = 2;
    reset.wIndex = 0;
    EXPECT_EQ(kIOUSBPipeStalled, interface->ControlRequestTO(0, &reset));
    EXPECT_EQ(0u, reset.wLenDone);
    EXPECT_EQ(3u, device->controls.size());
    // Control requests need no open interface; a missing buffer is refused.
    IOUSBDevRequestTO missing;
    missing.bmRequestType = 0x80;
    missing.bRequest = 6;
    missing.wValue = 0x0100;
    missing.wLength = 18;
    EXPECT_EQ(kIOReturnBadArgument, interface->ControlRequestTO(0, &missing));
}

TEST_F(VirtualBusTest, EveryFaultKind) {
    registerMatching();
    auto device = std::make_shared<ScriptedDevice>();
    uint64_t id = 0;
    IOServicePtr service = plugPrinter(device, &id);
    auto interface = interfaceOf(service);
    auto interest = watch(service);
    ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceOpenSeize());
    uint8_t out[4] = {1, 2, 3, 4};
    uint8_t in[32];
    uint32_t size;

    // Timeout on bulk OUT: the data never reaches the device.
    bus->injectFault(id, {FaultKind::Timeout, FaultTransfer::BulkOut, 0, 1, 0});
    EXPECT_EQ(kIOReturnTimeout, interface->WritePipeTO(1, out, 4, 100, 100));
    EXPECT_TRUE(device->written.empty());
    EXPECT_EQ(kIOReturnSuccess, interface->WritePipeTO(1, out, 4, 100, 100)) << "count 1: only once";
    EXPECT_EQ(1u, device->written.size());

    // Stall on bulk IN, after letting one read pass; count 2.
    bus->injectFault(id, {FaultKind::Stall, FaultTransfer::BulkIn, 1, 2, 0});
    device->queueReply({0x10});
    device->queueReply({0x11});
    size = sizeof in;
    EXPECT_EQ(kIOReturnSuccess, interface->ReadPipeTO(2, in, &size, 100, 100));
    EXPECT_EQ(0x10, in[0]);
    size = sizeof in;
    EXPECT_EQ(kIOUSBPipeStalled, interface->ReadPipeTO(2, in, &size, 100, 100));
    EXPECT_EQ(0u, size);
    EXPECT_EQ(kIOUSBPipeStalled, interface->ReadPipeTO(2, in, &size, 100, 100));
    size = sizeof in;
    EXPECT_EQ(kIOReturnSuccess, interface->ReadPipeTO(2, in, &size, 100, 100));
    EXPECT_EQ(0x11, in[0]) << "a stalled read consumes nothing the device had";

    // Short read: 3 of 10 bytes now, the other 7 on the next read without asking the device again.
    bus->injectFault(id, {FaultKind::ShortRead, FaultTransfer::BulkIn, 0, 1, 3});
    device->queueReply({0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    int callsBefore = device->bulkInCalls;
    size = sizeof in;
    EXPECT_EQ(kIOReturnSuccess, interface->ReadPipeTO(2, in, &size, 100, 100));
    EXPECT_EQ(3u, size);
    EXPECT_EQ(2, in[2]);
    size = 4;
    EXPECT_EQ(kIOReturnSuccess, interface->ReadPipeTO(2, in, &size, 100, 100));
    EXPECT_EQ(4u, size);
    EXPECT_EQ(3, in[0]);
    size = sizeof in;
    EXPECT_EQ(kIOReturnSuccess, interface->ReadPipeTO(2, in, &size, 100, 100));
    EXPECT_EQ(3u, size);
    EXPECT_EQ(9, in[2]);
    EXPECT_EQ(callsBefore + 1, device->bulkInCalls);

    // A short read on a control request; ShortRead never applies to OUT transfers.
    bus->injectFault(id, {FaultKind::ShortRead, FaultTransfer::Any, 0, 1, 2});
    EXPECT_EQ(kIOReturnSuccess, interface->WritePipeTO(1, out, 4, 100, 100));
    EXPECT_EQ(4u, device->written.back().size());
    IOUSBDevRequestTO r;
    r.bmRequestType = 0x80;
    r.bRequest = 6;
    r.wValue = 0x0100;
    r.wLength = 18;
    r.pData = in;
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
    EXPECT_EQ(kIOReturnSuccess, interface->WritePipeTO(1, out, 4, 100, 100));

    // Vanish: the device leaves in the middle of the transfer.
    pumpFor(10);
    log.clear();
    bus->injectFault(id, {FaultKind::Vanish, FaultTransfer::BulkOut, 0, 1, 0});
    size_t writtenBefore = device->written.size();
    EXPECT_EQ(kIOReturnNoDevice, interface->WritePipeTO(1, out, 4, 100, 100));
    EXPECT_EQ(writtenBefore, device->written.size());
    EXPECT_FALSE(bus->isPlugged(id));
    ASSERT_TRUE(pumpUntil([&] { return removed.size() == 1; }));
    EXPECT_EQ("kIOMessageServiceIsTerminated", log.at(0));
}

TEST_F(VirtualBusTest, ReEnumerationComesBackAtTheSameLocationWithNewServices) {
    registerMatching();
    auto device = std::make_shared<ScriptedDevice>();
    uint64_t id = 0;
    IOServicePtr oldService = plugPrinter(device, &id, printerDescription(0x0106, 0x14200000));
    auto oldInterface = interfaceOf(oldService);
    auto oldDevice = deviceOf(oldInterface);
    auto interest = watch(oldService);
    EXPECT_EQ(kIOReturnNotOpen, oldDevice->USBDeviceReEnumerate(0)) << "the device handle must be open";
    ASSERT_EQ(kIOReturnSuccess, oldDevice->USBDeviceOpen());
    bus->setHostReEnumerateDelay(5);
    log.clear();

    ASSERT_EQ(kIOReturnSuccess, oldDevice->USBDeviceReEnumerate(0));
    EXPECT_FALSE(bus->isPlugged(id));
    ASSERT_TRUE(pumpUntil([&] { return arrived.size() == 2; }));
    EXPECT_EQ((std::vector<std::string>{"kIOMessageServiceIsTerminated", "removed", "arrived"}), log);
    EXPECT_TRUE(IOObjectIsEqualTo(oldService, removed[0]));
    EXPECT_FALSE(IOObjectIsEqualTo(oldService, arrived[1]));
    EXPECT_NE(oldService->handle(), arrived[1]->handle());
    EXPECT_TRUE(bus->isPlugged(id));
    EXPECT_EQ((std::vector<uint64_t>{id, id}), device->attachedIds);

    // The old handles belong to the device that left.
    EXPECT_EQ(kIOReturnNoDevice, oldInterface->USBInterfaceOpenSeize());
    EXPECT_EQ(kIOReturnNoDevice, oldDevice->USBDeviceClose());
    EXPECT_FALSE(oldInterface->GetDevice());

    // Now from the bus, with a new description: the location stays.
    VirtualDeviceDescription updateMode = printerDescription(0x0107, 0x14900000);
    bus->reEnumerate(id, 5, updateMode);
    ASSERT_TRUE(pumpUntil([&] { return arrived.size() == 3; }));
    auto newInterface = interfaceOf(arrived[2]);
    uint16_t product = 0;
    uint32_t location = 0;
    newInterface->GetDeviceProduct(&product);
    newInterface->GetLocationID(&location);
    EXPECT_EQ(0x0107, product);
    EXPECT_EQ(0x14200000u, location);
    EXPECT_EQ(kIOReturnSuccess, newInterface->USBInterfaceOpenSeize());

    // Unplugged while away: it never comes back.
    bus->reEnumerate(id, 20);
    bus->unplug(id);
    pumpFor(60);
    EXPECT_EQ(3u, arrived.size());
    EXPECT_FALSE(bus->description(id));
}

TEST_F(VirtualBusTest, ReleasedNotificationsNeverCallBackEvenWhenAlreadyQueued) {
    registerMatching();
    uint64_t id = 0;
    IOServicePtr service = plugPrinter(std::make_shared<ScriptedDevice>(), &id);
    auto interface = interfaceOf(service);

    int calls = 0;
    IONotificationPtr released;
    ASSERT_EQ(kIOReturnSuccess, bus->IOServiceAddInterestNotification(
                                    port, service, kIOGeneralInterest,
                                    [&](const IOServicePtr&, uint32_t, void*) { ++calls; }, &released));
    IONotificationPtr dropped;
    ASSERT_EQ(kIOReturnSuccess, bus->IOServiceAddInterestNotification(
                                    port, service, kIOGeneralInterest,
                                    [&](const IOServicePtr&, uint32_t, void*) { ++calls; }, &dropped));
    int kept = 0;
    IONotificationPtr keptNotification;
    ASSERT_EQ(kIOReturnSuccess, bus->IOServiceAddInterestNotification(
                                    port, service, kIOGeneralInterest,
                                    [&](const IOServicePtr&, uint32_t, void*) { ++kept; }, &keptNotification));
    ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceOpenSeize());  // queues a message for all three
    EXPECT_EQ(kIOReturnSuccess, released->IOObjectRelease());
    dropped.reset();
    pumpFor(20);
    EXPECT_EQ(0, calls);
    EXPECT_EQ(1, kept);

    // A removal notification released after the unplug was queued.
    size_t removedBefore = removed.size();
    bus->unplug(id);
    removalNotification->IOObjectRelease();
    pumpFor(20);
    EXPECT_EQ(removedBefore, removed.size());

    // Destroying the port ends what is registered on it, queued arrivals included.
    bus->plug(printerDescription(), std::make_shared<ScriptedDevice>());
    size_t arrivedBefore = arrived.size();
    port->destroy();
    pumpFor(20);
    EXPECT_EQ(arrivedBefore, arrived.size());
    IOIteratorPtr iterator;
    IONotificationPtr late;
    EXPECT_NE(kIOReturnSuccess,
              bus->IOServiceAddMatchingNotification(port, kIOMatchedNotification, MatchingDict{},
                                                    [](const IOIteratorPtr&) {}, &iterator, &late));
}

TEST_F(VirtualBusTest, NotificationReleasedFromInsideItsOwnCallback) {
    registerMatching();
    uint64_t id = 0;
    IOServicePtr service = plugPrinter(std::make_shared<ScriptedDevice>(), &id);
    auto interface = interfaceOf(service);
    int calls = 0;
    IONotificationPtr self;
    ASSERT_EQ(kIOReturnSuccess, bus->IOServiceAddInterestNotification(
                                    port, service, kIOGeneralInterest,
                                    [&](const IOServicePtr&, uint32_t, void*) {
                                        ++calls;
                                        self->IOObjectRelease();
                                        self.reset();
                                    },
                                    &self));
    interface->USBInterfaceOpenSeize();
    interface->USBInterfaceClose();
    pumpFor(20);
    EXPECT_EQ(1, calls);
}

TEST_F(VirtualBusTest, HandlerReEnumeratingFromInsideBulkOutKeepsItsResult) {
    registerMatching();
    auto device = std::make_shared<ScriptedDevice>();
    uint64_t id = 0;
    IOServicePtr service = plugPrinter(device, &id);
    auto interface = interfaceOf(service);
    ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceOpenSeize());
    std::weak_ptr<VirtualUSBBus> weakBus = bus;
    device->onBulkOut = [weakBus, id](const std::vector<uint8_t>& data) {
        if (data == std::vector<uint8_t>{'R'})
            if (auto b = weakBus.lock()) b->reEnumerate(id, 10);
        return kIOReturnSuccess;
    };
    uint8_t restart = 'R';
    // Runs on a command-queue-like worker thread, as the printer object does.
    IOReturn result = kIOReturnError;
    std::thread([&] { result = interface->WritePipeTO(1, &restart, 1, 5000, 5000); }).join();
    EXPECT_EQ(kIOReturnSuccess, result) << "the device took the command before it left";
    uint8_t in[4];
    uint32_t size = sizeof in;
    EXPECT_EQ(kIOReturnNoDevice, interface->ReadPipeTO(2, in, &size, 100, 100));
    ASSERT_TRUE(pumpUntil([&] { return arrived.size() == 2 && removed.size() == 1; }));
    EXPECT_TRUE(bus->isPlugged(id));
    EXPECT_FALSE(bus->isOpenByHost(id)) << "the new device starts closed";
}

TEST_F(VirtualBusTest, UnplugWhileATransferIsInFlightEndsItWithNoDevice) {
    registerMatching();
    auto device = std::make_shared<ScriptedDevice>();
    uint64_t id = 0;
    auto interface = interfaceOf(plugPrinter(device, &id));
    ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceOpenSeize());
    std::mutex m;
    std::condition_variable cv;
    bool inside = false, release = false;
    device->onBulkIn = [&](std::vector<uint8_t>& out) {
        std::unique_lock<std::mutex> lock(m);
        inside = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
        out = {1, 2, 3};
        return kIOReturnSuccess;
    };
    IOReturn result = kIOReturnSuccess;
    uint32_t size = 8;
    uint8_t in[8];
    std::thread reader([&] { result = interface->ReadPipeTO(2, in, &size, 5000, 5000); });
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
    EXPECT_EQ(kIOReturnNoDevice, result);
    EXPECT_EQ(0u, size);
}

TEST_F(VirtualBusTest, ConcurrentTrafficWhileDevicesComeAndGo) {
    registerMatching();
    auto device = std::make_shared<ScriptedDevice>();
    device->onBulkIn = [](std::vector<uint8_t>& out) {
        out = {0x42};
        return kIOReturnSuccess;
    };
    uint64_t id = 0;
    auto interface = interfaceOf(plugPrinter(device, &id));
    ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceOpenSeize());
    std::atomic<bool> stop{false};
    std::atomic<int> noDevice{0};
    std::thread worker([&] {
        uint8_t byte = 1;
        while (!stop) {
            if (interface->WritePipeTO(1, &byte, 1, 10, 10) == kIOReturnNoDevice) ++noDevice;
            uint32_t size = 1;
            interface->ReadPipeTO(2, &byte, &size, 10, 10);
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
