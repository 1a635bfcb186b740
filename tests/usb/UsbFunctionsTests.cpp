// What the host makes of a device's USB descriptors (languages, strings, the serial number), and the virtual
// bus's device ownership.
#include <gtest/gtest.h>

#include "kit/Kit.h"
#include "usb/USBFunctions.h"

using namespace ovn::usb;
using kit::Bytes;

namespace {

TEST(UsbDescriptors, LanguagesAndTheOneAskedIn) {
    EXPECT_EQ(languageListEntries(Bytes{6, 3, 0x07, 0x04, 0x09, 0x04}), (std::vector<uint16_t>{0x0407, 0x0409}));
    EXPECT_EQ(languageListEntries(Bytes{8, 3, 0x09, 0x04}), (std::vector<uint16_t>{0x0409})) << "never past the bytes";
    EXPECT_TRUE(languageListEntries(Bytes{4, 3, 9}).empty());
    EXPECT_EQ(preferredLanguage({0x0407, 0x0809, 0x0409}), 0x0409) << "English, US before UK";
    EXPECT_EQ(preferredLanguage({0x0407, 0x040C}), 0x0407) << "no English: the first";
    EXPECT_EQ(preferredLanguage({0x0409, 0x0809}), 0x0409);
    EXPECT_EQ(preferredLanguage({}), 0);
}

TEST(UsbDescriptors, StringsDecodeFromUtf16) {
    const struct {
        Bytes received;
        std::optional<std::string> text;
    } cases[] = {
        {{10, 3, 'P', 0, 'L', 0, '2', 0, '5', 0}, "PL25"},
        {{6, 3, 'A', 0, 0, 0}, "A"},                           // one character padded with a zero unit
        {{8, 3, 'A', 0, 0, 0, 0, 0}, "A"},
        {{6, 3, 0x3D, 0xD8, 0x00, 0xDE}, "\xF0\x9F\x98\x80"},  // a surrogate pair
        {{4, 3, 0x3D, 0xD8}, std::nullopt},                   // unpaired
        {{7, 3, 'O', 0, 'K', 0, 'X'}, "OK"},                  // odd length made even
        {{20, 3, 'O', 0}, "O"},                               // bounded by what arrived
        {{2, 3}, std::nullopt},
        {{4, 3, 0, 0}, std::nullopt},                         // only padding
    };
    for (const auto& c : cases) EXPECT_EQ(decodeStringDescriptor(c.received), c.text) << c.received.size();
    EXPECT_FALSE(isValidUTF8("\xE0\x80\xAF")) << "overlong";
    EXPECT_TRUE(isValidUTF8("caf\xC3\xA9"));
}

struct Device {
    std::shared_ptr<VirtualUSBBus> bus = VirtualUSBBus::create();
    IOServicePtr service;
    IOUSBInterfaceInterfacePtr interface;
    IONotificationPtr matching;
    explicit Device(VirtualDeviceDescription description) {
        auto emulator = ovn::sim::OvnPrinterEmulator::create({});
        auto port = bus->IONotificationPortCreate();
        IOIteratorPtr iterator;
        MatchingDict match;
        std::vector<IOServicePtr> arrived;
        auto drain = [&arrived](const IOIteratorPtr& it) {
            while (auto s = it->IOIteratorNext()) arrived.push_back(s);
        };
        bus->IOServiceAddMatchingNotification(port, kIOMatchedNotification, match, drain, &iterator, &matching);
        bus->plug(description, emulator);
        kit::pumpUntil([&] {
            drain(iterator);
            return !arrived.empty();
        });
        if (arrived.empty()) return;
        service = arrived[0];
        bool pluginFailed = false;
        bus->CreateInterfaceInterface(service, &interface, &pluginFailed);
    }
};

TEST(UsbDescriptors, SerialNumberIsMadeUpWhenTheDeviceGivesNone) {
    for (bool hasString : {true, false}) {
        VirtualDeviceDescription d;
        d.idVendor = 0x2A71;
        d.idProduct = 0x0106;
        d.locationID = 0x01200000;
        d.iSerialNumber = 3;
        if (hasString) d.setString(3, u"SER123");
        Device device(d);
        ASSERT_TRUE(device.interface);
        std::optional<std::string> text;
        usbInterfaceCreateSerialNumberString(device.interface, &text);
        ASSERT_TRUE(text) << "a device without a readable serial number still gets one";
        if (hasString) {
            EXPECT_EQ(*text, "SER123");
        } else {
            EXPECT_NE(text->find("2A71"), std::string::npos) << *text;
        }
    }
}

TEST(VirtualBus, OneDeviceHandleAtATime) {
    VirtualDeviceDescription d;
    d.idVendor = 0x2A71;
    d.idProduct = 0x0106;
    Device device(d);
    ASSERT_TRUE(device.interface);
    auto deviceService = device.interface->GetDevice();
    IOUSBDeviceInterfacePtr first, second;
    bool pluginFailed = false;
    ASSERT_EQ(device.bus->CreateDeviceInterface(deviceService, &first, &pluginFailed), kIOReturnSuccess);
    ASSERT_EQ(device.bus->CreateDeviceInterface(deviceService, &second, &pluginFailed), kIOReturnSuccess);
    EXPECT_EQ(first->USBDeviceOpen(), kIOReturnSuccess);
    EXPECT_EQ(second->USBDeviceOpen(), kIOReturnExclusiveAccess);
    EXPECT_EQ(first->USBDeviceClose(), kIOReturnSuccess);
    EXPECT_EQ(second->USBDeviceOpen(), kIOReturnSuccess);
    EXPECT_EQ(device.interface->USBInterfaceOpenSeize(), kIOReturnSuccess);
    IOUSBInterfaceInterfacePtr other;
    device.bus->CreateInterfaceInterface(device.service, &other, &pluginFailed);
    EXPECT_EQ(other->USBInterfaceOpenSeize(), kIOReturnExclusiveAccess);
}

}  // namespace
