// The IEEE-1284 device ID: what the printer sends, what is decoded from it, malformed answers, and the
// substring search.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "FakeUSB.h"

using namespace fake;
using Text = ZVUSBPrinter::Text;

namespace {

struct Decoded {
    std::string manufacturer, model;
    Text serial, description;
};

Decoded decode(const ZVUSBPrinter& printer, const Text& id) {
    Decoded d;
    printer.decodeDeviceID(id, [&](const std::string& m, const std::string& mo, const Text& s, const Text& de) {
        d = {m, mo, s, de};
    });
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
    LogCapture logs;
    device.interface->alternate = 1;
    auto printer = fromDeviceID(device, "MANUFACTURER:Orvane Imaging;MODEL:PL35;DES:Photo;");
    EXPECT_EQ(printer->manufacturer(), "OVN");
    EXPECT_EQ(printer->model(), "PL35");
    auto d = decode(*printer, printer->raw1284DeviceID());
    EXPECT_EQ(d.serial, "A123");  // the USB serial-number string
    EXPECT_EQ(d.description, "Photo");
    // The request: configuration 1 - 1, interface 0 and alternate setting 1, the largest length.
    auto requests = device.interface->requests();
    auto it = std::find_if(requests.begin(), requests.end(), [](auto& r) { return r.bmRequestType == 0xA1; });
    ASSERT_NE(it, requests.end());
    EXPECT_EQ(setupOf(*it), (Ctrl{0xA1, 0, 0, 0x0001, 0xFFFF, 100, 100}));
    EXPECT_TRUE(logs.hasSys("Found a 51 character device ID ... \n"));

    const std::pair<const char*, Decoded> cases[] = {
        {"mfg:ACME;mdl:X1;", {"ACME", "X1", "A123", std::nullopt}},  // keys match in any case
        {"MFG:ACME;MDL:X1", {"ACME", "unknown", "A123", std::nullopt}},  // no ";" after the last value
        {"XMFG:one;MFG:two;", {"one", "unknown", "A123", std::nullopt}},  // the key is found inside another key
        {"DESCRIPTION:Long;DES:Short;SERN:77;", {"unknown", "unknown", "77", "Long"}},
    };
    for (const auto& [id, want] : cases) {
        d = decode(*printer, std::string(id));
        EXPECT_EQ(std::tie(d.manufacturer, d.model, d.serial, d.description),
                  std::tie(want.manufacturer, want.model, want.serial, want.description)) << id;
    }
    d = decode(*printer, std::nullopt);
    EXPECT_EQ(d.manufacturer, "unknown");
    EXPECT_FALSE(d.description.has_value());
}

TEST(ZVUSBPrinterDeviceID, LengthFieldDecidesWhatIsUsedAndOnlyReceivedBytesCount) {
    const struct {
        std::string text;
        std::optional<unsigned> lengthField;
        Text raw, manufacturer, model;
    } cases[] = {
        {"MFG:ACME;", 0, "(null)", "unknown", "unknown"},     // 0: the null text, still decoded
        {"MFG:AB;MDL:C;", 10, "MFG:AB;M", "AB", "unknown"},   // shorter than the text: cut
        {"MFG:AB;MDL:CD;", 200, "MFG:AB;MDL:CD;", "AB", "CD"},  // promises 200 bytes, 14 arrive
        {std::string("MFG:AB;\0MDL:CD;", 15), std::nullopt, "MFG:AB;", "AB", "unknown"},  // a zero byte ends it
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        FakePrinter device;
        auto printer = fromDeviceID(device, c.text, c.lengthField);
        EXPECT_EQ(printer->raw1284DeviceID(), c.raw);
        EXPECT_EQ(printer->manufacturer(), c.manufacturer);
        EXPECT_EQ(printer->model(), c.model);
        ASSERT_TRUE(printer->printerCommandQueue());
        EXPECT_EQ(printer->printerCommandQueue()->label(), "org.ovn-utility.printer." + *c.manufacturer + "." +
                                                               *c.model + ".A123");
    }
    FakePrinter none;  // the length field counts only itself or less: no text bytes
    EXPECT_EQ(fromDeviceID(none, "MFG:AB;", 1)->raw1284DeviceID(), "");
    FakePrinter device;  // more than the request can carry: the text ends at offset 65534
    auto printer = fromDeviceID(device, "MFG:AB;" + std::string(70000, 'x'), 0xFFFF);
    ASSERT_TRUE(printer->raw1284DeviceID());
    EXPECT_EQ(printer->raw1284DeviceID()->size(), 65532u);
    EXPECT_EQ(printer->manufacturer(), "AB");
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
    EXPECT_FALSE(makePrinter(oneByte)->raw1284DeviceID().has_value());
}

TEST(ZVUSBPrinterDeviceID, LaterUpdateRunsOnTheQueueAndReportsThroughItsCompletion) {
    FakePrinter device;
    auto printer = fromDeviceID(device, "MFG:ACME;MDL:X1;");
    device.setDeviceID("MFG:ACME;MDL:X2;");
    std::atomic<bool> onQueue{false};
    std::optional<std::pair<bool, Text>> result;
    printer->update1284DeviceID([&](bool ok, const Text& id) {
        onQueue = printer->isPrinterCommandQueue();
        result = {ok, id};
    });
    waitForCommandQueue(printer);
    EXPECT_TRUE(onQueue.load());
    EXPECT_EQ(result, std::make_pair(true, Text("MFG:ACME;MDL:X2;")));
    EXPECT_EQ(printer->raw1284DeviceID(), "MFG:ACME;MDL:X2;");
    EXPECT_EQ(printer->model(), "X1");  // only the set-up decodes

    // A request that fails: no text, no log line, the stored ID stays.
    device.interface->deviceID = ControlReply{kIOReturnTimeout, {}};
    LogCapture logs;
    printer->update1284DeviceID([&](bool ok, const Text& id) { result = {ok, id}; });
    waitForCommandQueue(printer);
    EXPECT_EQ(result, std::make_pair(false, Text()));
    EXPECT_EQ(logs.countContaining("character device ID"), 0u);
    EXPECT_EQ(printer->raw1284DeviceID(), "MFG:ACME;MDL:X2;");

    // Without an interface the completion is never called.
    printer->prepareForRelease();
    bool called = false;
    printer->update1284DeviceID([&](bool, const Text&) { called = true; });
    waitForCommandQueue(printer);
    EXPECT_FALSE(called);
}

TEST(ZVUSBPrinterDeviceID, InterfaceReadFailuresStopBeforeTheRequest) {
    LogCapture logs;
    for (const char* getter : {"GetConfigurationValue", "GetAlternateSetting"}) {
        FakePrinter device;
        device.interface->getterFailures[getter] = kIOReturnNotResponding;
        EXPECT_FALSE(makePrinter(device)->printerCommandQueue());
        EXPECT_EQ(device.log->count("ControlRequestTO 0 a1"), 0u);
    }
    EXPECT_TRUE(logs.hasSys("GetConfigurationValue() returned kIOReturnNotResponding [e00002ed]\n"));
    EXPECT_TRUE(logs.hasErr("ERROR: GetAlternateSetting() returned kIOReturnNotResponding [e00002ed]\n"));
}

TEST(ZVUSBPrinterSubstring, PrefixAndTerminator) {
    using P = ZVUSBPrinter;
    const Text s = std::string("a[b]c"), open = std::string("["), close = std::string("]");
    const auto ci = P::kCaseInsensitiveSearch;
    EXPECT_EQ(P::substringFromString(s, open, close, ci, false), "b");
    EXPECT_EQ(P::substringFromString(s, open, close, ci, true), "[b]");
    EXPECT_EQ(P::substringFromString(s, std::nullopt, open, ci, false), "a");
    EXPECT_EQ(P::substringFromString(s, open, std::nullopt, ci, false), "b]c");
    EXPECT_EQ(P::substringFromString(s, std::string("{"), close, 0, false), std::nullopt);
    EXPECT_EQ(P::substringFromString(s, open, std::string("}"), 0, false), std::nullopt);
    // The terminator is searched only after the prefix; case sensitivity follows the options.
    const Text mfg = std::string("MFG:"), semi = std::string(";");
    EXPECT_EQ(P::substringFromString(std::string("x;MFG:A;"), mfg, semi, 0, false), "A");
    EXPECT_EQ(P::substringFromString(std::string("mfg:A;"), mfg, semi, 0, false), std::nullopt);
    EXPECT_EQ(P::noninclusiveCaseInsensitiveSubstringFromString(std::string("mfg:A;"), mfg, semi), "A");
    // Empty and missing texts come back unchanged.
    EXPECT_EQ(P::substringFromString(std::string(""), open, close, 1, false), "");
    EXPECT_EQ(P::substringFromString(std::nullopt, open, close, 1, false), std::nullopt);
}

TEST(ZVUSBPrinterSubstring, FreeFunctionTwinsDifferOnlyAtTheEdges) {
    const Text open = std::string("["), close = std::string("]"), empty = std::string("");
    EXPECT_EQ(ZVCFStringCreateSubstringFromPrefixToTerminator(std::string("MDL:X1;"), std::string("mdl:"),
                                                              std::string(";")),
              "X1");
    EXPECT_EQ(ZVCFStringCreateSubstringFromPrefixToTerminatorWithOptions(std::string("a[b]c"), open, close, 0, true),
              "[b]");
    EXPECT_EQ(ZVCFStringCreateSubstringFromPrefixToTerminator(std::nullopt, open, close), std::nullopt);
    EXPECT_EQ(ZVCFStringCreateSubstringFromPrefixToTerminator(empty, open, std::nullopt), std::nullopt);
    EXPECT_EQ(ZVCFStringCreateSubstringFromPrefixToTerminator(empty, std::nullopt, close), std::nullopt);
    EXPECT_EQ(ZVCFStringCreateSubstringFromPrefixToTerminator(empty, std::nullopt, std::nullopt), "");
}
