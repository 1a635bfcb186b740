// The libusb provider against umockdev: a fake sysfs with a root hub and printers, udev events for plugging
// and unplugging, and usbfs device nodes whose ioctls MockUsbfsDevice answers.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <libusb.h>

#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

#include "MockUsbfs.h"
#include "platform/DispatchQueue.h"
#include "support/CodeNames.h"
#include "usb/LibUSBServices.h"
#include "usb/UsbTrace.h"

namespace ovn::usb::test {
namespace {

bool pumpUntil(const std::function<bool()>& done, int ms = 5000) {
    return MainRunLoop::runUntil(done, std::chrono::milliseconds(ms));
}
void pumpFor(int ms) { MainRunLoop::runFor(std::chrono::milliseconds(ms)); }

constexpr const char* kPrinterNode = "/dev/bus/usb/001/005";
constexpr const char* kPrinterSys = "/sys/devices/usb1/1-2";

class LibUSBServicesTest : public ::testing::Test {
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
        if (port) port->destroy();
        services.reset();
        MainRunLoop::drain();
        printer.reset();
        second.reset();
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
        services = LibUSBServices::create(options, &error);
        ASSERT_TRUE(services) << error;
        port = services->IONotificationPortCreate();
        MatchingDict printers;
        printers.bInterfaceClass = 7;
        printers.bInterfaceSubClass = 1;
        IOIteratorPtr arrivals;
        ASSERT_EQ(kIOReturnSuccess, services->IOServiceAddMatchingNotification(
                                        port, kIOMatchedNotification, printers,
                                        [this](const IOIteratorPtr& it) { drain(it, "arrived", arrived); }, &arrivals,
                                        &arrivalNotification));
        drain(arrivals, "arrived", arrived);
        IOIteratorPtr removals;
        ASSERT_EQ(kIOReturnSuccess, services->IOServiceAddMatchingNotification(
                                        port, kIOTerminatedNotification, printers,
                                        [this](const IOIteratorPtr& it) { drain(it, "removed", removed); }, &removals,
                                        &removalNotification));
        drain(removals, "removed", removed);
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

    UMockdevTestbed* testbed = nullptr;
    std::unique_ptr<MockUsbfsDevice> printer;
    std::unique_ptr<MockUsbfsDevice> second;
    std::shared_ptr<LibUSBServices> services;
    IONotificationPortPtr port;
    IONotificationPtr arrivalNotification;
    IONotificationPtr removalNotification;
    std::vector<std::string> log;
    std::vector<IOServicePtr> arrived;
    std::vector<IOServicePtr> removed;
};

TEST_F(LibUSBServicesTest, PrintersPresentAtStartArriveThroughTheIterator) {
    // A scanner-class device is not published.
    add(usbDeviceRecord("/devices/usb1/1-4", 1, 7, printerDescriptors(0x2A71, 0x0300, 6)));
    start();
    EXPECT_TRUE(services->usesHotplug());
    ASSERT_EQ(1u, arrived.size()) << "only the printer interface, not the hub nor the scanner";
    EXPECT_EQ("IOUSBInterface", arrived[0]->className());
    auto interface = interfaceOf(arrived[0]);
    ASSERT_TRUE(interface);
    uint16_t vendor = 0, product = 0, release = 0;
    uint32_t location = 0;
    uint8_t cls = 0, sub = 0, protocol = 0, number = 9, config = 0;
    EXPECT_EQ(kIOReturnSuccess, interface->GetDeviceVendor(&vendor));
    EXPECT_EQ(kIOReturnSuccess, interface->GetDeviceProduct(&product));
    EXPECT_EQ(kIOReturnSuccess, interface->GetDeviceReleaseNumber(&release));
    EXPECT_EQ(kIOReturnSuccess, interface->GetLocationID(&location));
    interface->GetInterfaceClass(&cls);
    interface->GetInterfaceSubClass(&sub);
    interface->GetInterfaceProtocol(&protocol);
    interface->GetInterfaceNumber(&number);
    interface->GetConfigurationValue(&config);
    EXPECT_EQ(0x2A71, vendor);
    EXPECT_EQ(0x0106, product);
    EXPECT_EQ(0x0100, release);
    EXPECT_EQ(0x01200000u, location) << "bus 1, port 2";
    EXPECT_EQ(7, cls);
    EXPECT_EQ(1, sub);
    EXPECT_EQ(2, protocol);
    EXPECT_EQ(0, number);
    EXPECT_EQ(1, config);
    IOServicePtr device = interface->GetDevice();
    ASSERT_TRUE(device);
    EXPECT_EQ("IOUSBDevice", device->className());
    EXPECT_TRUE(printer->calls().empty()) << "finding a printer opens nothing";
}

TEST_F(LibUSBServicesTest, HotPlugArrivalAndRemovalInOrder) {
    start();
    ASSERT_EQ(1u, arrived.size());
    add(usbDeviceRecord("/devices/usb1/1-3", 1, 6, printerDescriptors(0x2A72, 0x0106)));
    ASSERT_TRUE(pumpUntil([&] { return arrived.size() == 2; }));
    auto interface = interfaceOf(arrived[1]);
    uint32_t location = 0;
    uint16_t vendor = 0;
    interface->GetLocationID(&location);
    interface->GetDeviceVendor(&vendor);
    EXPECT_EQ(0x01300000u, location);
    EXPECT_EQ(0x2A72, vendor);

    auto interest = watch(arrived[1]);
    log.clear();
    unplug("/sys/devices/usb1/1-3");
    ASSERT_TRUE(pumpUntil([&] { return removed.size() == 1; }));
    pumpFor(50);
    EXPECT_EQ((std::vector<std::string>{"kIOMessageServiceIsTerminated", "removed"}), log);
    EXPECT_TRUE(IOObjectIsEqualTo(arrived[1], removed[0]));
    EXPECT_FALSE(interface->GetDevice());
    EXPECT_EQ(kIOReturnNoDevice, interface->USBInterfaceOpenSeize());
    IOUSBDevRequestTO request;
    uint8_t buffer[18];
    request.bmRequestType = 0x80;
    request.bRequest = 6;
    request.wValue = 0x0100;
    request.wLength = 18;
    request.pData = buffer;
    EXPECT_EQ(kIOReturnNoDevice, interface->ControlRequestTO(0, &request));
}

TEST_F(LibUSBServicesTest, ExclusiveOpenDetachesUsblpClaimsAndCloseGivesItBack) {
    start();
    ASSERT_EQ(1u, arrived.size());
    auto interface = interfaceOf(arrived[0]);
    auto interest = watch(arrived[0]);
    uint8_t count = 0;
    EXPECT_EQ(kIOReturnNotOpen, interface->GetNumEndpoints(&count));
    uint8_t byte = 0;
    EXPECT_EQ(kIOReturnNotOpen, interface->WritePipeTO(1, &byte, 1, 100, 100));

    ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceOpenSeize());
    EXPECT_EQ((std::vector<std::string>{"disconnect 0", "claim 0"}), printer->calls());
    EXPECT_FALSE(printer->driverBound());
    ASSERT_EQ(kIOReturnSuccess, interface->GetNumEndpoints(&count));
    ASSERT_EQ(2, count);
    uint8_t direction = 9, number = 0, type = 0;
    uint16_t maxPacket = 0;
    ASSERT_EQ(kIOReturnSuccess, interface->GetPipeProperties(2, &direction, &number, &type, &maxPacket, nullptr));
    EXPECT_EQ(kUSBIn, direction);
    EXPECT_EQ(2, number);
    EXPECT_EQ(kUSBBulk, type);
    EXPECT_EQ(512, maxPacket);

    // A second handle of this program is refused while the first holds the interface.
    auto other = interfaceOf(arrived[0]);
    EXPECT_EQ(kIOReturnExclusiveAccess, other->USBInterfaceOpenSeize());

    ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceClose());
    EXPECT_EQ((std::vector<std::string>{"disconnect 0", "claim 0", "release 0", "connect 0"}), printer->calls());
    EXPECT_TRUE(printer->driverBound());
    EXPECT_EQ(kIOReturnNotOpen, interface->USBInterfaceClose());
    EXPECT_EQ(kIOReturnNotOpen, interface->GetNumEndpoints(&count));

    // Our own open and close of the device node are not another program's: only the direct messages come.
    interface.reset();
    other.reset();
    pumpFor(400);
    EXPECT_EQ((std::vector<std::string>{"kIOMessageServiceIsAttemptingOpen", "kIOMessageServiceIsAttemptingOpen",
                                        "kIOMessageServiceWasClosed"}),
              log);
}

TEST_F(LibUSBServicesTest, ClaimRefusedAsBusyIsExclusiveAccessAndUsblpComesBack) {
    start();
    auto interface = interfaceOf(arrived.at(0));
    auto interest = watch(arrived[0]);
    printer->setClaimBusy(true);
    EXPECT_EQ(kIOReturnExclusiveAccess, interface->USBInterfaceOpenSeize());
    EXPECT_EQ((std::vector<std::string>{"disconnect 0", "claim refused 0", "connect 0"}), printer->calls());
    EXPECT_TRUE(printer->driverBound());
    uint8_t count = 0;
    EXPECT_EQ(kIOReturnNotOpen, interface->GetNumEndpoints(&count));
    ASSERT_TRUE(pumpUntil([&] { return !log.empty(); }));
    EXPECT_EQ("kIOMessageServiceIsAttemptingOpen", log[0]);

    printer->setClaimBusy(false);
    EXPECT_EQ(kIOReturnSuccess, interface->USBInterfaceOpenSeize());
}

TEST_F(LibUSBServicesTest, BulkTransfersWithTimeOutAndPartialTransfer) {
    start();
    auto interface = interfaceOf(arrived.at(0));
    ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceOpenSeize());

    std::vector<uint8_t> frame(100);
    for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(kIOReturnSuccess, interface->WritePipeTO(1, frame.data(), 100, 5000, 5000));
    ASSERT_EQ(1u, printer->written().size());
    EXPECT_EQ(frame, printer->written()[0]);
    EXPECT_EQ(kIOReturnBadArgument, interface->WritePipeTO(2, frame.data(), 4, 100, 100)) << "an IN pipe";
    EXPECT_EQ(kIOUSBUnknownPipeErr, interface->WritePipeTO(3, frame.data(), 4, 100, 100));

    // A short reply fills part of the buffer.
    printer->queueReply({'0', '0', '0', '0', '0', '0', '1', '2'});
    uint8_t in[64];
    uint32_t size = sizeof in;
    EXPECT_EQ(kIOReturnSuccess, interface->ReadPipeTO(2, in, &size, 5000, 5000));
    EXPECT_EQ(8u, size);
    EXPECT_EQ('2', in[7]);

    // Nothing comes: the completion time-out ends the read with nothing moved.
    size = sizeof in;
    EXPECT_EQ(kIOReturnTimeout, interface->ReadPipeTO(2, in, &size, 5000, 100));
    EXPECT_EQ(0u, size);

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
    auto traced = nlohmann::json::parse(line);
    EXPECT_EQ("2A71010601200000", traced["device"]);
    EXPECT_EQ("out", traced["direction"]);
    EXPECT_EQ("bulk", traced["transfer"]);
    EXPECT_EQ(10, traced["length"]);
    EXPECT_EQ("kIOReturnTimeout", traced["result"]);
    EXPECT_EQ("00010203040506070809", traced["hex"]);
}

TEST_F(LibUSBServicesTest, StringDescriptorsThroughControlRequestsWithoutOpeningTheInterface) {
    printer->setLanguages({0x0407, 0x0409});
    printer->setString(2, u"PL25");
    start();
    auto interface = interfaceOf(arrived.at(0));
    std::vector<uint8_t> buffer(256, 0xEE);
    IOUSBDevRequestTO request;
    request.bmRequestType = 0x80;
    request.bRequest = 6;
    request.wValue = 0x0300;
    request.wLength = 256;
    request.pData = buffer.data();
    request.noDataTimeout = 500;
    request.completionTimeout = 2000;
    ASSERT_EQ(kIOReturnSuccess, interface->ControlRequestTO(0, &request));
    ASSERT_EQ(6u, request.wLenDone);
    EXPECT_EQ((std::vector<uint8_t>{6, 3, 0x07, 0x04, 0x09, 0x04}), std::vector<uint8_t>(buffer.begin(), buffer.begin() + 6));

    request.wValue = 0x0302;
    request.wIndex = 0x0409;
    ASSERT_EQ(kIOReturnSuccess, interface->ControlRequestTO(0, &request));
    ASSERT_EQ(10u, request.wLenDone);
    EXPECT_EQ((std::vector<uint8_t>{10, 3, 'P', 0, 'L', 0, '2', 0, '5', 0}),
              std::vector<uint8_t>(buffer.begin(), buffer.begin() + 10));

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
    EXPECT_EQ(std::vector<std::string>{}, printer->calls()) << "no claim for control requests";
}

TEST_F(LibUSBServicesTest, AnotherProgramOpeningTheDeviceNodeSendsInterestMessages) {
    start();
    auto interest = watch(arrived.at(0));
    int fd = ::open(kPrinterNode, O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(pumpUntil([&] { return log.size() >= 1; }));
    EXPECT_EQ("kIOMessageServiceIsAttemptingOpen", log[0]);
    ::close(fd);
    ASSERT_TRUE(pumpUntil([&] { return log.size() >= 2; }));
    EXPECT_EQ("kIOMessageServiceWasClosed", log[1]);
    pumpFor(300);
    EXPECT_EQ(2u, log.size());
}

TEST_F(LibUSBServicesTest, ReEnumerationResetsAndComesBackAsNewServicesAtTheSameLocation) {
    start();
    auto interface = interfaceOf(arrived.at(0));
    ASSERT_EQ(kIOReturnSuccess, interface->USBInterfaceOpenSeize());
    IOUSBDeviceInterfacePtr device;
    bool pluginFailed = true;
    ASSERT_EQ(kIOReturnSuccess, services->CreateDeviceInterface(interface->GetDevice(), &device, &pluginFailed));
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
    EXPECT_EQ((std::vector<std::string>{"release 0", "connect 0", "reset"}),
              std::vector<std::string>(calls.end() - 3, calls.end()))
        << "the claim is given back before the reset";
    ASSERT_TRUE(pumpUntil([&] { return arrived.size() == 2; }));
    pumpFor(50);
    EXPECT_EQ((std::vector<std::string>{"kIOMessageServiceIsTerminated", "removed", "arrived"}), log);
    EXPECT_FALSE(IOObjectIsEqualTo(arrived[0], arrived[1]));
    auto fresh = interfaceOf(arrived[1]);
    uint32_t location = 0;
    fresh->GetLocationID(&location);
    EXPECT_EQ(0x01200000u, location);
    EXPECT_EQ(kIOReturnNoDevice, interface->USBInterfaceOpenSeize());
    EXPECT_EQ(kIOReturnNoDevice, device->USBDeviceClose());
    EXPECT_EQ(kIOReturnSuccess, fresh->USBInterfaceOpenSeize());
}

TEST_F(LibUSBServicesTest, PollingWhenHotPlugIsNotUsed) {
    LibUSBServices::Options options;
    options.useHotplug = false;
    options.pollIntervalMs = 100;
    start(options);
    EXPECT_FALSE(services->usesHotplug());
    ASSERT_EQ(1u, arrived.size());
    add(usbDeviceRecord("/devices/usb1/1-3", 1, 6, printerDescriptors(0x2A72, 0x0106)));
    ASSERT_TRUE(pumpUntil([&] { return arrived.size() == 2; }));
    unplug("/sys/devices/usb1/1-3");
    ASSERT_TRUE(pumpUntil([&] { return removed.size() == 1; }));
    EXPECT_TRUE(IOObjectIsEqualTo(arrived[1], removed[0]));
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

TEST(LibUSBLocation, OneHubPortPerNibbleBelowTheBusNumber) {
    uint8_t ports[] = {1, 4, 2};
    EXPECT_EQ(0x14142000u, LocationIDFromPorts(0x14, ports, 3));
    EXPECT_EQ(0x03000000u, LocationIDFromPorts(3, nullptr, 0));
    uint8_t deep[] = {1, 2, 3, 4, 5, 6, 7};
    EXPECT_EQ(0x02123456u, LocationIDFromPorts(2, deep, 7)) << "six ports fit";
    uint8_t wide[] = {17};
    EXPECT_EQ(0x01F00000u, LocationIDFromPorts(1, wide, 1));
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
