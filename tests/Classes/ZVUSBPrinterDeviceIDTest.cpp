// The IEEE-1284 device ID: what the printer sends, what is decoded from it, malformed answers, and the
// substring search.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "FakeUSB.h"

using namespace fake;

namespace {

struct Decoded {
    std::string manufacturer, model;
    ZVUSBPrinter::Text serial, description;
};

Decoded decode(const ZVUSBPrinter& printer, const ZVUSBPrinter::Text& id) {
    Decoded d;
    printer.decodeDeviceID(id, [&](const std::string& m, const std::string& mo, const ZVUSBPrinter::Text& s,
                                   const ZVUSBPrinter::Text& de) { d = {m, mo, s, de}; });
    return d;
}

// A printer set up from a device answering GET_DEVICE_ID with the given bytes.
std::shared_ptr<ZVUSBPrinter> fromDeviceID(FakePrinter& device, const std::string& text,
                                           std::optional<unsigned> lengthField = std::nullopt) {
    device.setDeviceID(text, lengthField);
    auto printer = makePrinter(device);
    waitForCommandQueue(printer);
    return printer;
}

}  // namespace

TEST(ZVUSBPrinterDeviceID, DecodesTheKnownExamples) {
    FakePrinter device;
    auto printer = fromDeviceID(device, "MANUFACTURER:Orvane Imaging;MODEL:PL35;DES:Photo;");
    EXPECT_EQ(printer->manufacturer(), "OVN");
    EXPECT_EQ(printer->model(), "PL35");
    auto d = decode(*printer, printer->raw1284DeviceID());
    EXPECT_EQ(d.serial, "A123");  // the USB serial-number string
    EXPECT_EQ(d.description, "Photo");

    d = decode(*printer, std::string("mfg:ACME;mdl:X1;"));
    EXPECT_EQ(d.manufacturer, "ACME");
    EXPECT_EQ(d.model, "X1");
    d = decode(*printer, std::string("MFG:ACME;MDL:X1"));
    EXPECT_EQ(d.model, "unknown");
    d = decode(*printer, std::string("XMFG:one;MFG:two;"));
    EXPECT_EQ(d.manufacturer, "one");
    d = decode(*printer, std::string("DESCRIPTION:Long;DES:Short;SERN:77;"));
    EXPECT_EQ(d.description, "Long");
    EXPECT_EQ(d.serial, "77");
    d = decode(*printer, std::nullopt);
    EXPECT_EQ(d.manufacturer, "unknown");
    EXPECT_FALSE(d.description.has_value());
}

TEST(ZVUSBPrinterDeviceID, RequestLayoutAndLogLine) {
    FakePrinter device;
    device.interface->configuration = 1;
    device.interface->interfaceNumber = 0;
    device.interface->alternate = 1;
    LogCapture logs;
    auto printer = fromDeviceID(device, "MFG:ACME;MDL:X1;");
    auto requests = device.interface->requests();
    auto it = std::find_if(requests.begin(), requests.end(), [](auto& r) { return r.bmRequestType == 0xA1; });
    ASSERT_NE(it, requests.end());
    EXPECT_EQ(it->bRequest, 0);
    EXPECT_EQ(it->wValue, 0);
    EXPECT_EQ(it->wIndex, 0x0001);
    EXPECT_EQ(it->wLength, 0xFFFF);
    EXPECT_TRUE(logs.hasSys("Found a 18 character device ID ... \n"));
}

TEST(ZVUSBPrinterDeviceID, LengthFieldZeroGivesTheNullText) {
    FakePrinter device;
    auto printer = fromDeviceID(device, "MFG:ACME;", 0);
    EXPECT_EQ(printer->raw1284DeviceID(), "(null)");
    EXPECT_EQ(printer->manufacturer(), "unknown");
    EXPECT_EQ(printer->model(), "unknown");
    ASSERT_TRUE(printer->printerCommandQueue());
    EXPECT_EQ(printer->printerCommandQueue()->label(), "org.ovn-utility.printer.unknown.unknown.A123");
}

TEST(ZVUSBPrinterDeviceID, LengthFieldShorterThanTheTextCutsIt) {
    FakePrinter device;
    auto printer = fromDeviceID(device, "MFG:AB;MDL:C;", 10);
    EXPECT_EQ(printer->raw1284DeviceID(), "MFG:AB;M");
    EXPECT_EQ(printer->manufacturer(), "AB");
    EXPECT_EQ(printer->model(), "unknown");
}

TEST(ZVUSBPrinterDeviceID, MalformedAnswersUseOnlyReceivedBytes) {
    {
        FakePrinter device;  // the length field counts only itself or less: no text bytes
        auto printer = fromDeviceID(device, "MFG:AB;", 1);
        EXPECT_EQ(printer->raw1284DeviceID(), "");
    }
    {
        FakePrinter device;  // promises 200 bytes, 14 arrive
        auto printer = fromDeviceID(device, "MFG:AB;MDL:CD;", 200);
        EXPECT_EQ(printer->raw1284DeviceID(), "MFG:AB;MDL:CD;");
        EXPECT_EQ(printer->model(), "CD");
    }
    {
        FakePrinter device;  // an embedded zero byte ends the text
        auto printer = fromDeviceID(device, std::string("MFG:AB;\0MDL:CD;", 15));
        EXPECT_EQ(printer->raw1284DeviceID(), "MFG:AB;");
    }
    {
        FakePrinter device;  // more than the request can carry: the text ends at offset 65534
        auto printer = fromDeviceID(device, "MFG:AB;" + std::string(70000, 'x'), 0xFFFF);
        ASSERT_TRUE(printer->raw1284DeviceID());
        EXPECT_EQ(printer->raw1284DeviceID()->size(), 65532u);
        EXPECT_EQ(printer->manufacturer(), "AB");
    }
}

TEST(ZVUSBPrinterDeviceID, InvalidAnswersGiveNoText) {
    for (auto bytes : {std::string("MFG:\xC3(;"), std::string("MDL:\xED\xA0\x80;"), std::string("\xC0\xAF")}) {
        FakePrinter device;
        auto printer = fromDeviceID(device, bytes);
        EXPECT_FALSE(printer->raw1284DeviceID().has_value());
        EXPECT_FALSE(printer->printerCommandQueue());
        EXPECT_FALSE(printer->manufacturer().has_value());
    }
    FakePrinter oneByte;
    oneByte.interface->deviceID = ControlReply{kIOReturnSuccess, {0}};
    auto printer = makePrinter(oneByte);
    EXPECT_FALSE(printer->raw1284DeviceID().has_value());
}

TEST(ZVUSBPrinterDeviceID, LaterUpdateRunsOnTheQueueAndReportsThroughItsCompletion) {
    FakePrinter device;
    auto printer = fromDeviceID(device, "MFG:ACME;MDL:X1;");
    device.setDeviceID("MFG:ACME;MDL:X2;");
    std::atomic<bool> onQueue{false};
    std::optional<std::pair<bool, ZVUSBPrinter::Text>> result;
    printer->update1284DeviceID([&](bool ok, const ZVUSBPrinter::Text& id) {
        onQueue = printer->isPrinterCommandQueue();
        result = {ok, id};
    });
    waitForCommandQueue(printer);
    ASSERT_TRUE(result);
    EXPECT_TRUE(onQueue.load());
    EXPECT_TRUE(result->first);
    EXPECT_EQ(result->second, "MFG:ACME;MDL:X2;");
    EXPECT_EQ(printer->raw1284DeviceID(), "MFG:ACME;MDL:X2;");
    EXPECT_EQ(printer->model(), "X1");  // only the set-up decodes

    // A request that fails: no text, no log line, the stored ID stays.
    device.interface->deviceID = ControlReply{kIOReturnTimeout, {}};
    LogCapture logs;
    printer->update1284DeviceID([&](bool ok, const ZVUSBPrinter::Text& id) { result = {ok, id}; });
    waitForCommandQueue(printer);
    EXPECT_FALSE(result->first);
    EXPECT_FALSE(result->second.has_value());
    EXPECT_EQ(logs.countContaining("character device ID"), 0u);
    EXPECT_EQ(printer->raw1284DeviceID(), "MFG:ACME;MDL:X2;");
}

TEST(ZVUSBPrinterDeviceID, InterfaceReadFailuresStopBeforeTheRequest) {
    FakePrinter device;
    device.interface->getterFailures["GetConfigurationValue"] = kIOReturnNotResponding;
    LogCapture logs;
    auto printer = makePrinter(device);
    EXPECT_TRUE(logs.hasSys("GetConfigurationValue() returned kIOReturnNotResponding [e00002ed]\n"));
    EXPECT_EQ(device.log->count("ControlRequestTO 0 a1"), 0u);
    EXPECT_FALSE(printer->printerCommandQueue());

    FakePrinter other;
    other.interface->getterFailures["GetAlternateSetting"] = kIOReturnNotResponding;
    makePrinter(other);
    EXPECT_TRUE(logs.hasErr("ERROR: GetAlternateSetting() returned kIOReturnNotResponding [e00002ed]\n"));
    EXPECT_EQ(other.log->count("ControlRequestTO 0 a1"), 0u);
}

TEST(ZVUSBPrinterDeviceID, NoCompletionWithoutAnInterface) {
    FakePrinter device;
    auto printer = fromDeviceID(device, "MFG:ACME;MDL:X1;");
    printer->prepareForRelease();
    bool called = false;
    printer->update1284DeviceID([&](bool, const ZVUSBPrinter::Text&) { called = true; });
    waitForCommandQueue(printer);
    EXPECT_FALSE(called);
}

TEST(ZVUSBPrinterSubstring, PrefixAndTerminator) {
    using P = ZVUSBPrinter;
    const P::Text s = std::string("a[b]c");
    const P::Text open = std::string("["), close = std::string("]");
    EXPECT_EQ(P::substringFromString(s, open, close, P::kCaseInsensitiveSearch, false), "b");
    EXPECT_EQ(P::substringFromString(s, open, close, P::kCaseInsensitiveSearch, true), "[b]");
    EXPECT_EQ(P::substringFromString(s, std::nullopt, open, P::kCaseInsensitiveSearch, false), "a");
    EXPECT_EQ(P::substringFromString(s, open, std::nullopt, P::kCaseInsensitiveSearch, false), "b]c");
    EXPECT_EQ(P::substringFromString(s, std::string("{"), close, 0, false), std::nullopt);
    EXPECT_EQ(P::substringFromString(s, open, std::string("}"), 0, false), std::nullopt);
    // The terminator is searched only after the prefix.
    EXPECT_EQ(P::substringFromString(std::string("x;MFG:A;"), std::string("MFG:"), std::string(";"), 0, false), "A");
    // Case sensitivity follows the options.
    EXPECT_EQ(P::substringFromString(std::string("mfg:A;"), std::string("MFG:"), std::string(";"), 0, false),
              std::nullopt);
    EXPECT_EQ(P::noninclusiveCaseInsensitiveSubstringFromString(std::string("mfg:A;"), std::string("MFG:"),
                                                                std::string(";")),
              "A");
    // Empty and missing texts come back unchanged.
    EXPECT_EQ(P::substringFromString(std::string(""), open, close, 1, false), "");
    EXPECT_EQ(P::substringFromString(std::nullopt, open, close, 1, false), std::nullopt);
}

TEST(ZVUSBPrinterSubstring, FreeFunctionTwinsDifferOnlyAtTheEdges) {
    EXPECT_EQ(ZVCFStringCreateSubstringFromPrefixToTerminator(std::string("MDL:X1;"), std::string("mdl:"),
                                                              std::string(";")),
              "X1");
    EXPECT_EQ(ZVCFStringCreateSubstringFromPrefixToTerminatorWithOptions(std::string("a[b]c"), std::string("["),
                                                                         std::string("]"), 0, true),
              "[b]");
    EXPECT_EQ(ZVCFStringCreateSubstringFromPrefixToTerminator(std::nullopt, std::string("["), std::string("]")),
              std::nullopt);
    EXPECT_EQ(ZVCFStringCreateSubstringFromPrefixToTerminator(std::string(""), std::string("["), std::nullopt),
              std::nullopt);
    EXPECT_EQ(ZVCFStringCreateSubstringFromPrefixToTerminator(std::string(""), std::nullopt, std::string("]")),
              std::nullopt);
    EXPECT_EQ(ZVCFStringCreateSubstringFromPrefixToTerminator(std::string(""), std::nullopt, std::nullopt), "");
}
