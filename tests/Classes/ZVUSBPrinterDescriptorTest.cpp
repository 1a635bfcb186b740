// String descriptors (languages, decoding, malformed answers), vendor normalisation, resets, and the free
// USB functions over an interface handle.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "FakeUSB.h"
#include "support/CodeNames.h"
#include "usb/USBFunctions.h"

using namespace fake;
using ::testing::ElementsAre;
using Bytes = std::vector<uint8_t>;

namespace {

std::shared_ptr<ZVUSBPrinter> printerWithLanguages(FakePrinter& device, Bytes languageDescriptor) {
    device.interface->languageDescriptor = std::move(languageDescriptor);
    auto printer = makePrinter(device);
    waitForCommandQueue(printer);
    return printer;
}

struct DescriptorFixture : ::testing::Test {
    FakePrinter device;
    std::shared_ptr<ZVUSBPrinter> printer;
    void SetUp() override {
        printer = makePrinter(device);
        waitForCommandQueue(printer);
        device.log->clear();
        device.interface->clearRequests();
    }
    ZVUSBPrinter::Text stringFor(Bytes bytes) {
        device.interface->stringDescriptors[9] = std::move(bytes);
        return printer->descriptorStringAtIndex(9);
    }
};

}  // namespace

TEST(ZVUSBPrinterLanguages, EnglishIsPreferredAndUSEnglishBeatsUKEnglish) {
    const struct {
        Bytes descriptor;
        ZVUSBPrinter::IndexSet set;
        uint16_t chosen;
    } cases[] = {
        {{4, 3, 0x07, 0x04}, {0x0407}, 0x0407},  // German only: asked in German
        {{8, 3, 0x07, 0x04, 0x09, 0x08, 0x09, 0x04}, {0x0407, 0x0809, 0x0409}, 0x0409},
        {{6, 3, 0x07, 0x04, 0x09, 0x08}, {0x0407, 0x0809}, 0x0809},
        {{40, 3, 0x09, 0x04, 0x07}, {0x0409}, 0x0409},  // promises 19 entries, 1.5 arrived
    };
    for (const auto& c : cases) {
        FakePrinter device;
        auto printer = printerWithLanguages(device, c.descriptor);
        EXPECT_EQ(printer->langIds(), c.set);
        EXPECT_EQ(printer->langId(), c.chosen);
        // The language list is asked first; the product string follows in the chosen language.
        auto requests = device.interface->requests();
        ASSERT_GE(requests.size(), 2u);
        EXPECT_EQ(setupOf(requests[0]), (Ctrl{0x80, 6, 0x0300, 0, 256, 500, 2000}));
        EXPECT_EQ(setupOf(requests[1]), (Ctrl{0x80, 6, 0x0302, c.chosen, 256, 500, 1000}));
    }
}

TEST(ZVUSBPrinterLanguages, FailedListIsRetriedOnTheNextCall) {
    FakePrinter device;
    device.interface->languageResult = kIOReturnNotResponding;
    auto printer = makePrinter(device);
    waitForCommandQueue(printer);
    EXPECT_EQ(printer->langId(), 0);
    EXPECT_FALSE(printer->langIds().has_value());
    const char* ask = "ControlRequestTO 0 80 06 0300 0000";
    size_t attempts = device.log->count(ask);

    device.interface->languageResult = kIOReturnSuccess;
    EXPECT_EQ(printer->langIds(), (ZVUSBPrinter::IndexSet{0x0409}));
    EXPECT_EQ(device.log->count(ask), attempts + 1);
    printer->langIds();
    EXPECT_EQ(device.log->count(ask), attempts + 1);  // kept
}

TEST(ZVUSBPrinterLanguages, SetLangIdAcceptsOnlyOfferedLanguages) {
    FakePrinter device;
    auto printer = printerWithLanguages(device, {6, 3, 0x09, 0x04, 0x07, 0x04});
    printer->setLangId(0x040C);
    EXPECT_EQ(printer->langId(), 0x0409);
    printer->setLangId(0x0407);
    EXPECT_EQ(printer->langId(), 0x0407);
}

TEST_F(DescriptorFixture, StringRequestLayout) {
    EXPECT_FALSE(printer->descriptorStringAtIndex(0).has_value());
    EXPECT_TRUE(device.interface->requests().empty());

    device.interface->stringDescriptors[5] = stringDescriptor(u"PL25");
    EXPECT_EQ(printer->descriptorStringAtIndex(0x105), "PL25");  // only the low 8 bits are sent
    auto requests = device.interface->requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(setupOf(requests[0]), (Ctrl{0x80, 6, 0x0305, 0x0409, 256, 500, 1000}));
}

TEST_F(DescriptorFixture, MalformedAndEdgeDescriptors) {
    const std::pair<Bytes, ZVUSBPrinter::Text> cases[] = {
        {{0x40, 3, 'A', 0, 'B', 0, 'C', 0}, "ABC"},  // promises more than arrived: only received units count
        {{7, 3, 'A', 0, 'B', 0, 'C'}, "AB"},          // odd length: the half code unit is dropped
        {{2, 3}, std::nullopt},                        // empty string descriptor: nothing, not an empty text
        {{8, 3, 'A', 0, 'B', 0, 0, 0}, "AB"},          // a trailing NUL unit is lost; zero low bytes are not
        {{6, 3, 'A', 0, 0x00, 0x01}, "A\xC4\x80"},
        {{4, 3, 0x00, 0x4E}, "\xE4\xB8\x80"},
        {{6, 3, 0x3D, 0xD8, 0x00, 0xDE}, "\xF0\x9F\x98\x80"},  // a surrogate pair decodes, a lone one does not
        {{4, 3, 0x00, 0xD8}, std::nullopt},
        {{4}, std::nullopt},  // fewer than 2 bytes
        // Type 6: UTF-8 text after (n + 1) * 2 bytes, up to a zero byte or the end of what arrived.
        {{1, 6, 0, 0, 'H', 'i', 0, 'x'}, "Hi"},
        {{1, 6, 0, 0, 'O', 'K'}, "OK"},
        {{20, 6, 'H', 'i'}, std::nullopt},
        {{1, 6, 0, 0, 0xFF, 0xFE}, std::nullopt},
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(stringFor(cases[i].first), cases[i].second) << "case " << i;
    device.interface->stringDescriptors.erase(9);  // a failed request
    EXPECT_FALSE(printer->descriptorStringAtIndex(9).has_value());

    LogCapture logs;
    EXPECT_FALSE(stringFor({6, 5, 'A', 0, 'B', 0}).has_value());
    EXPECT_TRUE(logs.hasSys(
        "The device returned a string descriptor with the incorrect descriptor type(returned 5 (should be 3))\n"));
}

TEST(ZVUSBPrinterStrings, IndexFailuresAreLoggedAndLeaveNothing) {
    FakePrinter device;
    device.device->indexResult = kIOReturnNotResponding;
    LogCapture logs;
    auto printer = makePrinter(device);
    waitForCommandQueue(printer);
    for (const char* call : {"Product", "SerialNumber", "Manufacturer"})
        EXPECT_TRUE(logs.hasSys(std::string("USBGet") + call + "StringIndex() returned kIOReturnNotResponding\n"));
    EXPECT_FALSE(printer->vendorUSB().has_value());
    EXPECT_FALSE(printer->serialNumberUSB().has_value());
}

TEST(ZVUSBPrinterStrings, VendorNormalisation) {
    for (auto [in, out] : {std::pair{"HEWLETT-PACKARD", "HP"}, {"hewlett-packard", "HP"}, {"Hewlett-Packard", "HP"},
                           {"HP", "HP"}, {"Orvane Imaging", "OVN"}, {"ORVANE IMAGING ", "OVN"},
                           {"Orvane Imaging  ", "Orvane Imaging  "}, {"Orvane", "Orvane"}, {"", ""}})
        EXPECT_EQ(ZVUSBPrinter::normalizedVendorString(std::string(in)), out) << '"' << in << '"';
    EXPECT_FALSE(ZVUSBPrinter::normalizedVendorString(std::nullopt).has_value());
}

TEST_F(DescriptorFixture, SoftResetRequest) {
    device.interface->interfaceNumber = 2;
    EXPECT_EQ(printer->resetUSBPrinter(), kIOReturnSuccess);
    EXPECT_EQ(printer->resetUSBPrinter(true), kIOReturnSuccess);
    auto requests = device.interface->requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(setupOf(requests[0]), (Ctrl{0x21, 2, 0, 2, 0, 100, 100}));
    EXPECT_EQ(setupOf(requests[1]), (Ctrl{0x23, 2, 0, 2, 0, 100, 100}));
    device.interface->getterFailures["GetInterfaceNumber"] = kIOReturnNotResponding;
    EXPECT_EQ(printer->resetUSBPrinter(), kIOReturnNotResponding);
    EXPECT_EQ(device.interface->requests().size(), 2u);
}

TEST_F(DescriptorFixture, DeviceResetAndReEnumeration) {
    device.device->resetResult = kIOReturnNotResponding;
    EXPECT_EQ(printer->resetUSBDevice(), kIOReturnNotResponding);
    EXPECT_THAT(device.log->entries(), ElementsAre("USBDeviceOpen", "ResetDevice", "USBDeviceClose"));

    device.log->clear();
    device.device->openResult = kIOReturnExclusiveAccess;
    EXPECT_EQ(printer->resetUSBDevice(), kIOReturnExclusiveAccess);
    EXPECT_EQ(printer->reEnumerateUSBDevice(), kIOReturnExclusiveAccess);
    EXPECT_THAT(device.log->entries(), ElementsAre("USBDeviceOpen", "USBDeviceOpen"));

    device.log->clear();
    device.device->openResult = kIOReturnSuccess;
    device.device->reEnumerateResult = kIOReturnNotResponding;
    LogCapture logs;
    EXPECT_EQ(printer->reEnumerateUSBDevice(), kIOReturnNotResponding);
    EXPECT_THAT(device.log->entries(), ElementsAre("USBDeviceOpen", "USBDeviceReEnumerate 0", "USBDeviceClose"));
    EXPECT_TRUE(logs.hasSys("Failed to reenumerate OVN PL25D A123 (kIOReturnNotResponding)"));
}

// ---- free functions ----

TEST(USBFunctions, DeviceDescriptorAndIndices) {
    FakePrinter device;
    LogCapture logs;
    uint8_t buffer[18];
    EXPECT_EQ(usbInterfaceGetDeviceDescriptor(nullptr, buffer, 18), kIOReturnBadArgument);
    EXPECT_EQ(usbInterfaceGetDeviceDescriptor(device.interface, nullptr, 18), kIOReturnBadArgument);
    EXPECT_EQ(usbInterfaceGetDeviceDescriptor(device.interface, buffer, 0), kIOReturnBadArgument);
    EXPECT_EQ(logs.countContaining("Passed a NULL pointer or zero length into usbInterfaceGetDeviceDescriptor.\n"), 3u);
    EXPECT_TRUE(device.interface->requests().empty());

    device.interface->deviceDescriptor = {18, 1, 0, 2, 0, 0, 0, 64, 0x72, 0x2A, 0x06, 0x01, 0, 1};  // 14 of 18
    EXPECT_EQ(usbInterfaceGetDeviceDescriptor(device.interface, buffer, 18), kIOReturnUnderrun);
    uint64_t m = 9, p = 9, s = 9;
    EXPECT_EQ(usbInterfaceGetiDeviceIndices(device.interface, &m, &p, &s), kIOReturnUnderrun);
    EXPECT_EQ(m + p + s, 0u);

    device.interface->deviceDescriptor = {18, 1, 0, 2, 0, 0, 0, 64, 0x72, 0x2A, 0x06, 0x01, 0, 1, 1, 2, 3, 1};
    EXPECT_EQ(usbInterfaceGetiDeviceIndices(device.interface, &m, nullptr, &s), kIOReturnSuccess);
    EXPECT_EQ(m, 1u);
    EXPECT_EQ(s, 3u);
    EXPECT_EQ(setupOf(device.interface->requests().back()), (Ctrl{0x80, 6, 0x0100, 0, 18, 100, 100}));
    EXPECT_EQ(usbInterfaceGetiDeviceIndices(nullptr, &m, &p, &s), kIOReturnBadArgument);
}

TEST(USBFunctions, DescriptorStringCopyChoosesEnglish) {
    FakePrinter device;
    std::optional<std::string> text = std::string("stale");
    LogCapture logs;
    EXPECT_EQ(usbInterfaceGetDescriptorStringCopy(device.interface, 0, &text), kIOReturnBadArgument);
    EXPECT_EQ(usbInterfaceGetDescriptorStringCopy(device.interface, 3, nullptr), kIOReturnBadArgument);
    EXPECT_TRUE(logs.hasSys("Passed a NULL pointer or zero index into usbInterfaceGetDescriptorStringCopy.\n"));

    auto languageAsked = [&](Bytes list) {
        device.interface->languageDescriptor = std::move(list);
        EXPECT_EQ(usbInterfaceGetDescriptorStringCopy(device.interface, 3, &text), kIOReturnSuccess);
        EXPECT_EQ(text, "A123");
        return device.interface->requests().back().wIndex;
    };
    EXPECT_EQ(languageAsked({6, 3, 0x07, 0x04, 0x09, 0x08}), 0x0809);
    EXPECT_EQ(languageAsked({8, 3, 0x07, 0x04, 0x09, 0x04, 0x09, 0x08}), 0x0409);
    EXPECT_EQ(languageAsked({4, 3, 0x07, 0x04}), 0x0407);
    device.interface->languageResult = kIOReturnNotResponding;
    EXPECT_EQ(languageAsked({4, 3, 0x07, 0x04}), 0);
    EXPECT_EQ(setupOf(device.interface->requests().back()), (Ctrl{0x80, 6, 0x0303, 0, 256, 1, 0}));

    device.interface->stringDescriptors[3] = {2, 3};
    EXPECT_EQ(usbInterfaceGetDescriptorStringCopy(device.interface, 3, &text), kIOReturnSuccess);
    EXPECT_FALSE(text.has_value());
}

TEST(USBFunctions, SerialNumberStringWithFallback) {
    FakePrinter device;
    device.interface->product = 0x0101;
    Bytes descriptor{18, 1, 0, 2, 0, 0, 0, 64, 0x72, 0x2A, 0x01, 0x01, 0, 1, 1, 2, 0, 1};
    device.interface->deviceDescriptor = descriptor;
    const std::string fallback = "2A7201010100;*LOC:14200000";
    std::optional<std::string> text = std::string("old");
    EXPECT_EQ(usbInterfaceCreateSerialNumberString(device.interface, &text), kIOReturnSuccess);
    EXPECT_EQ(text, fallback);

    descriptor[16] = 3;
    device.interface->deviceDescriptor = descriptor;
    EXPECT_EQ(usbInterfaceCreateSerialNumberString(device.interface, &text), kIOReturnSuccess);
    EXPECT_EQ(text, "A123");

    LogCapture logs;
    device.interface->controlHandler = [&](const IOUSBDevRequestTO& r) -> ControlReply {
        if (r.wValue == 0x0100) return {kIOReturnSuccess, descriptor};
        if (r.wValue == 0x0300) return {kIOReturnSuccess, {4, 3, 9, 4}};
        return {kIOReturnOverrun, stringDescriptor(u"A1")};
    };
    EXPECT_EQ(usbInterfaceCreateSerialNumberString(device.interface, &text), kIOReturnSuccess);
    EXPECT_TRUE(logs.hasErr("ERROR: usbInterfaceGetDescriptorStringCopy returned a truncated string[-536870168]\n"
                            "This USB device may be out of spec -- proceed with caution.\n"));
    EXPECT_EQ(text, fallback);

    device.interface->controlHandler = [&](const IOUSBDevRequestTO& r) -> ControlReply {
        return r.wValue == 0x0100 ? ControlReply{kIOReturnSuccess, descriptor}
                                  : ControlReply{kIOReturnNotResponding, {}};
    };
    device.interface->getterFailures["GetLocationID"] = kIOReturnNotResponding;
    EXPECT_EQ(usbInterfaceCreateSerialNumberString(device.interface, &text), kIOReturnNotResponding);
    EXPECT_TRUE(logs.hasErr("ERROR: usbInterfaceGetDescriptorStringCopy returned [-536870163]\n"));
    EXPECT_TRUE(logs.hasErr("ERROR: calling GetLocationID returned kIOReturnNotResponding\n"));
    EXPECT_FALSE(text.has_value());

    device.interface->controlHandler = nullptr;
    device.interface->deviceDescriptor.clear();
    device.interface->getterFailures.clear();
    EXPECT_EQ(usbInterfaceCreateSerialNumberString(device.interface, &text), kIOReturnSuccess);
    EXPECT_TRUE(logs.hasSys(std::string("usbInterfaceGetiDeviceIndices returned ") + strForIOReturn(kIOUSBPipeStalled) +
                            " [e000404f]\n"));
    EXPECT_EQ(text, fallback);

    text = std::string("kept?");
    EXPECT_EQ(usbInterfaceCreateSerialNumberString(nullptr, &text), kIOReturnBadArgument);
    EXPECT_FALSE(text.has_value());
}

TEST(USBFunctions, ResetUSBDeviceReEnumerates) {
    services();
    FakePrinter device;
    EXPECT_EQ(usbInterfaceResetUSBDevice(nullptr), kIOReturnBadArgument);
    LogCapture logs;
    EXPECT_EQ(usbInterfaceResetUSBDevice(device.interface), kIOReturnSuccess);
    EXPECT_THAT(device.log->entries(),
                ElementsAre("GetDevice", "CreateDeviceInterface", "USBDeviceOpen", "USBDeviceReEnumerate 0"));
    EXPECT_EQ(logs.countContaining("attempting to reset USB device with interface ["), 1u);
    EXPECT_EQ(logs.countContaining("ReEnumerating USB device ["), 1u);

    device.device->reEnumerateResult = kIOReturnNotResponding;
    EXPECT_EQ(usbInterfaceResetUSBDevice(device.interface), kIOReturnNotResponding);
    EXPECT_TRUE(logs.hasSys("Failed to reenumerate the device: [kIOReturnNotResponding]\n"));

    device.deviceService->pluginFails = true;
    device.deviceService->createResult = kIOReturnNoResources;
    EXPECT_EQ(usbInterfaceResetUSBDevice(device.interface), kIOReturnNoResources);
    EXPECT_TRUE(logs.hasErr("ERROR: IOCreatePlugInInterfaceForService() returned [-536870210]\n"));
}
