// The libusb provider against umockdev: a fake sysfs with a root hub and printers, udev events for plugging
// and unplugging, and usbfs device nodes whose ioctls MockUsbfsDevice answers.
#include <fcntl.h>
#include <unistd.h>

#include <libusb.h>

#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "MockUsbfs.h"
#include "usb/LibUSBServices.h"
#include "usb/UsbTrace.h"
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/DispatchQueue.h"
#include "support/CodeNames.h"
#include "usb/VirtualUSBBus.h"

// The provider's arrival, removal and interest callbacks, recorded; request builders.
namespace ovn::usb::test {

using Bytes = std::vector<uint8_t>;
using Lines = std::vector<std::string>;

inline bool pumpUntil(const std::function<bool()>& done, int ms = 5000) {
    return MainRunLoop::runUntil(done, std::chrono::milliseconds(ms));
}

inline void pumpFor(int ms) { MainRunLoop::runFor(std::chrono::milliseconds(ms)); }

// A standard GET_DESCRIPTOR request (or any other, by type and request).
inline IOUSBDevRequestTO deviceRequest(uint16_t value, uint16_t index, uint16_t length, void* data,
                                       uint8_t requestType = 0x80, uint8_t request = 6) {
    return {.bmRequestType = requestType, .bRequest = request, .wValue = value, .wIndex = index, .wLength = length,
            .pData = data};
}

using Transfer = std::pair<IOReturn, Bytes>;

// One bulk read of at most `max` bytes: the result and the bytes that came.
inline Transfer readPipe(const IOUSBInterfaceInterfacePtr& i, uint8_t pipe, uint32_t max, uint32_t noData = 100,
                         uint32_t completion = 100) {
    Bytes buffer(max);
    uint32_t size = max;
    IOReturn result = i->ReadPipeTO(pipe, buffer.data(), &size, noData, completion);
    buffer.resize(size);
    return {result, buffer};
}

// What an interface handle tells about itself, in one line; "failed" when any query fails.
inline std::string identity(const IOUSBInterfaceInterfacePtr& i) {
    uint16_t vendor = 0xFFFF, product = 0xFFFF, release = 0xFFFF;
    uint32_t location = 0xFFFFFFFF;
    uint8_t cls = 0xFF, sub = 0xFF, protocol = 0xFF, number = 0xFF, config = 0xFF;
    const IOReturn results[] = {i->GetDeviceVendor(&vendor),       i->GetDeviceProduct(&product),
                                i->GetDeviceReleaseNumber(&release), i->GetLocationID(&location),
                                i->GetInterfaceClass(&cls),         i->GetInterfaceSubClass(&sub),
                                i->GetInterfaceProtocol(&protocol), i->GetInterfaceNumber(&number),
                                i->GetConfigurationValue(&config)};
    for (IOReturn r : results)
        if (r != kIOReturnSuccess) return "failed";
    char text[96];
    std::snprintf(text, sizeof text, "%04X:%04X rel %04X at %08X class %u/%u/%u interface %u config %u", vendor,
                  product, release, location, cls, sub, protocol, number, config);
    return text;
}

// Registers a port for arrival and removal of printer-class interfaces and records every callback in `log`,
// in order: "arrived", "removed", and the names of interest messages of watched services.
class ServicesFixture : public ::testing::Test {
protected:
    void TearDown() override {
        if (port) port->destroy();
        MainRunLoop::drain();
    }

    void registerMatching() {
        port = services->IONotificationPortCreate();
        MatchingDict printers;
        printers.bInterfaceClass = 7;
        printers.bInterfaceSubClass = 1;
        IOIteratorPtr arrivals, removals;
        ASSERT_EQ(kIOReturnSuccess, services->IOServiceAddMatchingNotification(
                                        port, kIOMatchedNotification, printers,
                                        [this](const IOIteratorPtr& it) { drain(it, "arrived", arrived); }, &arrivals,
                                        &arrivalNotification));
        drain(arrivals, "arrived", arrived);
        ASSERT_EQ(kIOReturnSuccess, services->IOServiceAddMatchingNotification(
                                        port, kIOTerminatedNotification, printers,
                                        [this](const IOIteratorPtr& it) { drain(it, "removed", removed); }, &removals,
                                        &removalNotification));
        ASSERT_TRUE(removals);
        EXPECT_FALSE(removals->IOIteratorNext());
        log.clear();
    }

    void drain(const IOIteratorPtr& it, const char* what, std::vector<IOServicePtr>& into) {
        while (auto service = it->IOIteratorNext()) {
            log.push_back(what);
            into.push_back(service);
        }
    }

    IONotificationPtr watch(const IOServicePtr& service) {
        IONotificationPtr notification;
        EXPECT_EQ(kIOReturnSuccess, services->IOServiceAddInterestNotification(
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
        EXPECT_EQ(kIOReturnSuccess, services->CreateInterfaceInterface(service, &handle, &pluginFailed));
        return handle;
    }

    IOUSBDeviceInterfacePtr deviceOf(const IOUSBInterfaceInterfacePtr& interface) {
        IOUSBDeviceInterfacePtr handle;
        bool pluginFailed = true;
        EXPECT_EQ(kIOReturnSuccess, services->CreateDeviceInterface(interface->GetDevice(), &handle, &pluginFailed));
        return handle;
    }

    std::shared_ptr<USBServices> services;
    IONotificationPortPtr port;
    IONotificationPtr arrivalNotification, removalNotification;
    Lines log;
    std::vector<IOServicePtr> arrived, removed;
};

}  // namespace ovn::usb::test

namespace ovn::usb::test {
namespace {

constexpr const char* kPrinterNode = "/dev/bus/usb/001/005";

class LibUSBServicesTest : public ServicesFixture {
protected:
    void SetUp() override {
        MainRunLoop::drain();
        testbed = umockdev_testbed_new();
        ASSERT_TRUE(testbed);
        add(usbDeviceRecord("/devices/usb1", 1, 1, hubDescriptors()));
        add(usbDeviceRecord("/devices/usb1/1-2", 1, 5, printerDescriptors(0x2A71, 0x0106)));
        printer = std::make_unique<MockUsbfsDevice>(testbed, kPrinterNode);
        printer->setDeviceDescriptor(printerDescriptors(0x2A71, 0x0106));
    }

    void TearDown() override {
        ServicesFixture::TearDown();
        services.reset();
        libusb.reset();
        MainRunLoop::drain();
        printer.reset();
        g_object_unref(testbed);
    }

    void add(const std::string& record) {
        GError* error = nullptr;
        ASSERT_TRUE(umockdev_testbed_add_from_string(testbed, record.c_str(), &error))
            << (error ? error->message : "?");
    }

    void unplug(const char* sysPath) {
        umockdev_testbed_uevent(testbed, sysPath, "remove");
        umockdev_testbed_remove_device(testbed, sysPath);
    }

    void start(LibUSBServices::Options options = {}) {
        std::string error;
        libusb = LibUSBServices::create(options, &error);
        ASSERT_TRUE(libusb) << error;
        services = libusb;
        registerMatching();
    }

    UMockdevTestbed* testbed = nullptr;
    std::unique_ptr<MockUsbfsDevice> printer;
    std::shared_ptr<LibUSBServices> libusb;
};

TEST_F(LibUSBServicesTest, PrintersPresentAtStartArriveThroughTheIterator) {
    // A scanner-class device is not published.
    add(usbDeviceRecord("/devices/usb1/1-4", 1, 7, printerDescriptors(0x2A71, 0x0300, 6)));
    ASSERT_NO_FATAL_FAILURE(start());
    EXPECT_TRUE(libusb->usesHotplug());
    ASSERT_EQ(1u, arrived.size()) << "only the printer interface, not the hub nor the scanner";
    EXPECT_EQ("IOUSBInterface", arrived[0]->className());
    auto interface = interfaceOf(arrived[0]);
    ASSERT_TRUE(interface);
    EXPECT_EQ("2A71:0106 rel 0100 at 01200000 class 7/1/2 interface 0 config 1", identity(interface))
        << "bus 1, port 2";
    IOServicePtr device = interface->GetDevice();
    ASSERT_TRUE(device);
    EXPECT_EQ("IOUSBDevice", device->className());
    EXPECT_TRUE(printer->calls().empty()) << "finding a printer opens nothing";
}

TEST_F(LibUSBServicesTest, HotPlugArrivalAndRemovalInOrder) {
    ASSERT_NO_FATAL_FAILURE(start());
    ASSERT_EQ(1u, arrived.size());
    add(usbDeviceRecord("/devices/usb1/1-3", 1, 6, printerDescriptors(0x2A72, 0x0106)));
    ASSERT_TRUE(pumpUntil([&] { return arrived.size() == 2; }));
    auto interface = interfaceOf(arrived[1]);
    EXPECT_EQ("2A72:0106 rel 0100 at 01300000 class 7/1/2 interface 0 config 1", identity(interface));

    auto interest = watch(arrived[1]);
    log.clear();
    unplug("/sys/devices/usb1/1-3");
    ASSERT_TRUE(pumpUntil([&] { return removed.size() == 1; }));
    pumpFor(50);
    EXPECT_EQ((Lines{"kIOMessageServiceIsTerminated", "removed"}), log);
    EXPECT_TRUE(IOObjectIsEqualTo(arrived[1], removed[0]));
    EXPECT_FALSE(interface->GetDevice());
    EXPECT_EQ(kIOReturnNoDevice, interface->USBInterfaceOpenSeize());
    uint8_t buffer[18];
    auto request = deviceRequest(0x0100, 0, 18, buffer);
    EXPECT_EQ(kIOReturnNoDevice, interface->ControlRequestTO(0, &request));
}

TEST_F(LibUSBServicesTest, ExclusiveOpenDetachesUsblpClaimsAndCloseGivesItBack) {
    ASSERT_NO_FATAL_FAILURE(start());
    auto interface = interfaceOf(arrived.at(0));
    auto interest = watch(arrived[0]);
    uint8_t count = 0, byte = 0;
    EXPECT_EQ(kIOReturnNotOpen, interface->GetNumEndpoints(&count));
    EXPECT_EQ(kIOReturnNotOpen, interface->WritePipeTO(1, &byte, 1, 100, 100));

    ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceOpenSeize());
    EXPECT_EQ((Lines{"disconnect 0", "claim 0"}), printer->calls());
    EXPECT_FALSE(printer->driverBound());
    ASSERT_EQ(kIOReturnSuccess, interface->GetNumEndpoints(&count));
    ASSERT_EQ(2, count);
    uint8_t direction = 9, number = 0, type = 0;
    uint16_t maxPacket = 0;
    ASSERT_EQ(kIOReturnSuccess, interface->GetPipeProperties(2, &direction, &number, &type, &maxPacket, nullptr));
    EXPECT_EQ((std::vector<int>{kUSBIn, 2, kUSBBulk, 512}), (std::vector<int>{direction, number, type, maxPacket}));

    // A second handle of this program is refused while the first holds the interface.
    auto other = interfaceOf(arrived[0]);
    EXPECT_EQ(kIOReturnExclusiveAccess, other->USBInterfaceOpenSeize());

    ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceClose());
    EXPECT_EQ((Lines{"disconnect 0", "claim 0", "release 0", "connect 0"}), printer->calls());
    EXPECT_TRUE(printer->driverBound());
    EXPECT_EQ(kIOReturnNotOpen, interface->USBInterfaceClose());
    EXPECT_EQ(kIOReturnNotOpen, interface->GetNumEndpoints(&count));

    // Our own open and close of the device node are not another program's: only the direct messages come.
    interface.reset();
    other.reset();
    pumpFor(400);
    EXPECT_EQ((Lines{"kIOMessageServiceIsAttemptingOpen", "kIOMessageServiceIsAttemptingOpen",
                     "kIOMessageServiceWasClosed"}),
              log);
}

TEST_F(LibUSBServicesTest, ClaimRefusedAsBusyIsExclusiveAccessAndUsblpComesBack) {
    ASSERT_NO_FATAL_FAILURE(start());
    auto interface = interfaceOf(arrived.at(0));
    auto interest = watch(arrived[0]);
    printer->setClaimBusy(true);
    EXPECT_EQ(kIOReturnExclusiveAccess, interface->USBInterfaceOpenSeize());
    EXPECT_EQ((Lines{"disconnect 0", "claim refused 0", "connect 0"}), printer->calls());
    EXPECT_TRUE(printer->driverBound());
    uint8_t count = 0;
    EXPECT_EQ(kIOReturnNotOpen, interface->GetNumEndpoints(&count));
    ASSERT_TRUE(pumpUntil([&] { return !log.empty(); }));
    EXPECT_EQ("kIOMessageServiceIsAttemptingOpen", log[0]);
    printer->setClaimBusy(false);
    EXPECT_EQ(kIOReturnSuccess, interface->USBInterfaceOpenSeize());
}

TEST_F(LibUSBServicesTest, BulkTransfersWithTimeOutAndPartialTransfer) {
    ASSERT_NO_FATAL_FAILURE(start());
    auto interface = interfaceOf(arrived.at(0));
    ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceOpenSeize());

    Bytes frame(100);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(kIOReturnSuccess, interface->WritePipeTO(1, frame.data(), 100, 5000, 5000));
    EXPECT_EQ(std::vector<Bytes>{frame}, printer->written());
    EXPECT_EQ(kIOReturnBadArgument, interface->WritePipeTO(2, frame.data(), 4, 100, 100)) << "an IN pipe";
    EXPECT_EQ(kIOUSBUnknownPipeErr, interface->WritePipeTO(3, frame.data(), 4, 100, 100));

    // A short reply fills part of the buffer.
    printer->queueReply({'0', '0', '0', '0', '0', '0', '1', '2'});
    EXPECT_EQ(Transfer(kIOReturnSuccess, {'0', '0', '0', '0', '0', '0', '1', '2'}),
              readPipe(interface, 2, 64, 5000, 5000));
    // Nothing comes: the completion time-out ends the read with nothing moved.
    EXPECT_EQ(Transfer(kIOReturnTimeout, {}), readPipe(interface, 2, 64, 5000, 100));

    // The device takes 10 of 100 bytes and stops: the time-out reports the 10 bytes moved.
    std::string tracePath = "/tmp/ovn-libusb-trace-" + std::to_string(getpid()) + ".jsonl";
    ASSERT_TRUE(UsbTrace::open(tracePath, nullptr));
    printer->setOutAcceptLimit(10);
    EXPECT_EQ(kIOReturnTimeout, interface->WritePipeTO(1, frame.data(), 100, 5000, 100));
    UsbTrace::close();
    std::ifstream traceFile(tracePath);
    std::string line;
    ASSERT_TRUE(std::getline(traceFile, line));
    ::unlink(tracePath.c_str());
    auto traced = nlohmann::ordered_json::parse(line);
    traced.erase("time");
    EXPECT_EQ(R"({"device":"2A71010601200000","direction":"out","transfer":"bulk","length":10,)"
              R"("result":"kIOReturnTimeout","hex":"00010203040506070809"})",
              traced.dump());
}

TEST_F(LibUSBServicesTest, StringDescriptorsThroughControlRequestsWithoutOpeningTheInterface) {
    printer->setLanguages({0x0407, 0x0409});
    printer->setString(2, u"PL25");
    ASSERT_NO_FATAL_FAILURE(start());
    auto interface = interfaceOf(arrived.at(0));
    Bytes buffer(256, 0xEE);
    auto request = deviceRequest(0x0300, 0, 256, buffer.data());
    request.noDataTimeout = 500;
    request.completionTimeout = 2000;
    auto received = [&] { return Bytes(buffer.begin(), buffer.begin() + request.wLenDone); };
    ASSERT_EQ(kIOReturnSuccess, interface->ControlRequestTO(0, &request));
    EXPECT_EQ(Bytes({6, 3, 0x07, 0x04, 0x09, 0x04}), received());

    request.wValue = 0x0302;
    request.wIndex = 0x0409;
    ASSERT_EQ(kIOReturnSuccess, interface->ControlRequestTO(0, &request));
    EXPECT_EQ(Bytes({10, 3, 'P', 0, 'L', 0, '2', 0, '5', 0}), received());
    request.wLength = 4;
    ASSERT_EQ(kIOReturnSuccess, interface->ControlRequestTO(0, &request));
    EXPECT_EQ(4u, request.wLenDone) << "never more than wLength";
    request.wValue = 0x0309;
    request.wLength = 256;
    EXPECT_EQ(kIOUSBPipeStalled, interface->ControlRequestTO(0, &request));
    EXPECT_EQ(0u, request.wLenDone);

    // The device descriptor carries the string indices.
    request.wValue = 0x0100;
    request.wIndex = 0;
    request.wLength = 18;
    ASSERT_EQ(kIOReturnSuccess, interface->ControlRequestTO(0, &request));
    EXPECT_EQ(18u, request.wLenDone);
    EXPECT_EQ(2, buffer[15]);
    EXPECT_EQ(5, printer->controlRequests()) << "every request reached the device";
    EXPECT_EQ(Lines{}, printer->calls()) << "no claim for control requests";
}

TEST_F(LibUSBServicesTest, AnotherProgramOpeningTheDeviceNodeSendsInterestMessages) {
    ASSERT_NO_FATAL_FAILURE(start());
    auto interest = watch(arrived.at(0));
    int fd = ::open(kPrinterNode, O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(pumpUntil([&] { return log.size() >= 1; }));
    ::close(fd);
    ASSERT_TRUE(pumpUntil([&] { return log.size() >= 2; }));
    pumpFor(300);
    EXPECT_EQ((Lines{"kIOMessageServiceIsAttemptingOpen", "kIOMessageServiceWasClosed"}), log);
}

TEST_F(LibUSBServicesTest, ReEnumerationResetsAndComesBackAsNewServicesAtTheSameLocation) {
    ASSERT_NO_FATAL_FAILURE(start());
    auto interface = interfaceOf(arrived.at(0));
    ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceOpenSeize());
    auto device = deviceOf(interface);
    EXPECT_EQ(kIOReturnNotOpen, device->USBDeviceReEnumerate(0));
    uint8_t index = 0;
    EXPECT_EQ(kIOReturnSuccess, device->USBGetSerialNumberStringIndex(&index));
    EXPECT_EQ(3, index);
    auto interest = watch(arrived[0]);
    ASSERT_EQ(kIOReturnSuccess, device->USBDeviceOpen());
    pumpFor(50);
    log.clear();

    ASSERT_EQ(kIOReturnSuccess, device->USBDeviceReEnumerate(0));
    auto calls = printer->calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ((Lines{"release 0", "connect 0", "reset"}), Lines(calls.end() - 3, calls.end()))
        << "the claim is given back before the reset";
    ASSERT_TRUE(pumpUntil([&] { return arrived.size() == 2; }));
    pumpFor(50);
    EXPECT_EQ((Lines{"kIOMessageServiceIsTerminated", "removed", "arrived"}), log);
    EXPECT_FALSE(IOObjectIsEqualTo(arrived[0], arrived[1]));
    auto fresh = interfaceOf(arrived[1]);
    EXPECT_EQ("2A71:0106 rel 0100 at 01200000 class 7/1/2 interface 0 config 1", identity(fresh));
    EXPECT_EQ(kIOReturnNoDevice, interface->USBInterfaceOpenSeize());
    EXPECT_EQ(kIOReturnNoDevice, device->USBDeviceClose());
    EXPECT_EQ(kIOReturnSuccess, fresh->USBInterfaceOpenSeize());
}


TEST(LibUSBErrors, MapToPlatformCodes) {
    EXPECT_EQ(kIOReturnSuccess, IOReturnFromLibusb(LIBUSB_SUCCESS));
    EXPECT_EQ(kIOReturnSuccess, IOReturnFromLibusb(12));
    EXPECT_EQ(kIOReturnTimeout, IOReturnFromLibusb(LIBUSB_ERROR_TIMEOUT));
    EXPECT_EQ(kIOReturnNoDevice, IOReturnFromLibusb(LIBUSB_ERROR_NO_DEVICE));
    EXPECT_EQ(kIOReturnExclusiveAccess, IOReturnFromLibusb(LIBUSB_ERROR_BUSY));
    EXPECT_EQ(kIOReturnNotPrivileged, IOReturnFromLibusb(LIBUSB_ERROR_ACCESS));
    EXPECT_EQ(kIOUSBPipeStalled, IOReturnFromLibusb(LIBUSB_ERROR_PIPE));
    EXPECT_EQ(kIOReturnOverrun, IOReturnFromLibusb(LIBUSB_ERROR_OVERFLOW));
    EXPECT_EQ(kIOReturnError, IOReturnFromLibusb(LIBUSB_ERROR_OTHER));
}


}  // namespace
}  // namespace ovn::usb::test

// ThreadSanitizer sees the fixture's own libraries (umockdev's worker thread, libudev, GLib), which are not
// built with it; reports inside them are not about this program.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libumockdev.so\nrace:libudev.so\nrace:libglib-2.0.so\n";
}

// libusb has to start with umockdev's preload library in place: without it, run again with it.
int main(int argc, char** argv) {
    const char* preload = std::getenv("LD_PRELOAD");
    if (!preload || !std::strstr(preload, "libumockdev-preload")) {
        std::string value = "libumockdev-preload.so.0";
        if (preload && *preload) value += std::string(":") + preload;
        setenv("LD_PRELOAD", value.c_str(), 1);
        // The sanitizer runtimes want to be loaded first; the preload library only wraps file calls.
        const char* asan = std::getenv("ASAN_OPTIONS");
        std::string asanOptions = std::string(asan && *asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0";
        setenv("ASAN_OPTIONS", asanOptions.c_str(), 1);
        execv("/proc/self/exe", argv);
        std::perror("cannot restart under umockdev");
        return 1;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
