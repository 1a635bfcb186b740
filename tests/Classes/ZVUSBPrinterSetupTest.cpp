// The set-up sequence, identity formats, the device-info store and the life of a printer object across
// unplug, replug and a device vanishing mid-operation.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Classes/ZVPrinters.h"
#include "FakeUSB.h"

using namespace fake;
using ::testing::ElementsAre;

namespace {

// Distinct USB locations per test keep the process-wide device-info registry apart.
uint32_t freshLocation() {
    static std::atomic<uint32_t> next{0x21000000};
    return next.fetch_add(0x10000);
}

void deliverTermination(const FakePrinter& device) {
    onMain([&] { services()->deliver(device.interfaceService, kIOMessageServiceIsTerminated); });
}

// Drops the last reference and tells whether the object went with it.
template <class T>
bool released(std::shared_ptr<T>& printer) {
    std::weak_ptr<T> weak = printer;
    printer.reset();
    return weak.expired();
}

}  // namespace

TEST(ZVUSBPrinterSetup, CallsTheDeviceInOrderAndDefersDeviceObjectWork) {
    FakePrinter device;
    device.interface->configuration = 2;
    device.interface->interfaceNumber = 1;
    device.interface->alternate = 3;
    auto printer = makePrinter(device);
    waitForCommandQueue(printer);

    // Everything up to the device ID runs inside the initialiser on the main thread; the device-object work
    // (interest registration, first open and close) follows on the printer's own command queue.
    EXPECT_THAT(device.log->entries(),
                ElementsAre("GetLocationID", "GetDeviceVendor", "GetDeviceProduct", "GetDevice", "CreateDeviceInterface",
                            "USBGetProductStringIndex", "ControlRequestTO 0 80 06 0300 0000",
                            "ControlRequestTO 0 80 06 0302 0409", "USBGetSerialNumberStringIndex",
                            "ControlRequestTO 0 80 06 0303 0409", "USBGetManufacturerStringIndex",
                            "ControlRequestTO 0 80 06 0301 0409", "GetConfigurationValue", "GetInterfaceNumber",
                            "GetAlternateSetting", "ControlRequestTO 0 a1 00 0001 0103",
                            "IOServiceAddInterestNotification IOGeneralInterest [org.ovn-utility.printer.OVN.PL25D.S42]",
                            "USBInterfaceOpenSeize", "GetNumEndpoints", "GetPipeProperties 1", "GetPipeProperties 2",
                            "USBInterfaceClose"));
    auto requests = device.interface->requests();
    ASSERT_EQ(requests.size(), 5u);
    EXPECT_EQ(setupOf(requests.back()), (Ctrl{0xA1, 0, 1, 0x0103, 0xFFFF, 100, 100}));
    EXPECT_EQ(printer->state(), ZVUSBPrinter::kInterfaceClosed);
    EXPECT_EQ(printer->ownershipValue(), ZVUSBPrinter::kNotOwned);
    EXPECT_EQ(printer->bulkOUT(), 1);
    EXPECT_EQ(printer->bulkIN(), 2);
    EXPECT_EQ(printer->deviceObject(), device.interfaceService);
    EXPECT_EQ(printer->notifyPort(), ZVPrinters::sharedNotificationPort());  // the program's one port
}

TEST(ZVUSBPrinterSetup, StoresIdentityAndNamesTheCommandQueue) {
    FakePrinter device;
    LogCapture logs;
    auto printer = makePrinter(device);
    waitForCommandQueue(printer);

    EXPECT_EQ(printer->vendorUSB(), "OVN");
    EXPECT_EQ(printer->productUSB(), "PL25");
    EXPECT_EQ(printer->serialNumberUSB(), "A123");
    EXPECT_EQ(printer->raw1284DeviceID(), "MFG:Orvane Imaging;MDL:PL25D;SERN:S42;");
    EXPECT_EQ(printer->manufacturer(), "OVN");
    EXPECT_EQ(printer->model(), "PL25D");
    EXPECT_EQ(printer->deviceInfoDict()->getString(QELMOR_ZVPrinterManufacturer), "OVN");
    EXPECT_EQ(printer->deviceInfoDict()->getString(QELMOR_ZVPrinterModel), "PL25D");
    EXPECT_FALSE(printer->deviceID().has_value());
    ASSERT_TRUE(printer->printerCommandQueue());
    EXPECT_EQ(printer->printerCommandQueue()->label(), "org.ovn-utility.printer.OVN.PL25D.S42");
    for (const char* line : {"printer command queue:org.ovn-utility.printer.OVN.PL25D.S42", "got USB vendor:OVN",
                             "got USB Serial Number:A123"})
        EXPECT_TRUE(logs.hasSys(line)) << line;
    EXPECT_EQ(printer->descriptionUTF8(), "OVN PL25D A123");

    // Without a serial number in the device ID the label ends in the USB serial number.
    FakePrinter other;
    other.setDeviceID("MFG:ACME;MDL:X1;");
    auto acme = makePrinter(other);
    ASSERT_TRUE(acme->printerCommandQueue());
    EXPECT_EQ(acme->printerCommandQueue()->label(), "org.ovn-utility.printer.ACME.X1.A123");
    waitForCommandQueue(acme);
}

TEST(ZVUSBPrinterSetup, KeyAndIDFormats) {
    const struct {
        uint16_t vendor, product;
        uint32_t location;
        const char *key, *location_, *vendorID, *productID;
    } cases[] = {{0x2A72, 0x0101, 0x14200000, "2A72010114200000", "14200000", "10866", "257"},
                 {0x00AB, 0x000C, 0xA0B, "00AB000C00000A0B", "a0b", "171", "12"}};
    for (const auto& c : cases) {
        FakePrinter device;
        device.interface->vendor = c.vendor;
        device.interface->product = c.product;
        device.interface->location = c.location;
        auto printer = makePrinter(device);
        EXPECT_EQ(printer->keyUSBdevice(), c.key);
        EXPECT_EQ(printer->idLocation(), c.location_);
        EXPECT_EQ(printer->idVendor(), c.vendorID);
        EXPECT_EQ(printer->idProduct(), c.productID);
        EXPECT_EQ(ovn::valueAsString(printer->valueForKey("keyUSBdevice")), c.key);
        waitForCommandQueue(printer);
    }
}

TEST(ZVUSBPrinterSetup, IdentityReadFailuresAreLoggedAndKeepZero) {
    FakePrinter device;
    device.interface->getterFailures["GetLocationID"] = kIOReturnNotResponding;
    LogCapture logs;
    auto printer = makePrinter(device);
    EXPECT_TRUE(logs.hasSys("GetLocationID() returned kIOReturnNotResponding [e00002ed]\n"));
    EXPECT_EQ(printer->locationID(), 0u);
    EXPECT_EQ(printer->idVendorValue(), 0x2A72);
    waitForCommandQueue(printer);
}

TEST(ZVUSBPrinterSetup, WithoutDeviceIDTheUSBStringsShowAndEverythingRunsInline) {
    FakePrinter device;
    device.interface->deviceID.reset();  // GET_DEVICE_ID times out
    auto printer = makePrinter(device);
    EXPECT_FALSE(printer->manufacturer().has_value());
    EXPECT_EQ(printer->descriptionUTF8(), "OVN PL25 A123");
    EXPECT_FALSE(printer->printerCommandQueue());
    EXPECT_FALSE(printer->deviceObject());
    EXPECT_TRUE(printer->isPrinterCommandQueue());
    EXPECT_EQ(device.log->count("IOServiceAddInterestNotification"), 0u);

    bool ran = false;
    printer->sendNoReplyPrinterCommand([&] { ran = true; });
    EXPECT_TRUE(ran);
    std::optional<IOReturn> closed;
    onMain([&] { printer->closeInterface([&](IOReturn r) { closed = r; }); });
    EXPECT_EQ(closed, kIOReturnSuccess);
    printer->prepareForRelease();  // runs at once
    EXPECT_FALSE(printer->interfaceInterface());
    EXPECT_TRUE(released(printer));

    FakePrinter bare;
    bare.interface->deviceID.reset();
    bare.interface->stringDescriptors.clear();
    EXPECT_EQ(makePrinter(bare)->descriptionUTF8(), "(null) (null) (null)");
}

TEST(ZVUSBPrinterDeviceInfo, RegistryHandsOutOneSharedDictionaryPerKey) {
    auto first = ZVUSBPrinter::deviceInfoForKey("TESTKEY-never-seen");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->count(), 0u);
    EXPECT_EQ(ZVUSBPrinter::deviceInfoForKey("TESTKEY-never-seen"), first);

    auto mine = std::make_shared<ovn::DeviceInfoDict>();
    LogCapture logs;
    ZVUSBPrinter::setDeviceInfo(mine, "TESTKEY-shared");
    mine->set("firmwareVersion", std::string("1.02"));
    EXPECT_EQ(ZVUSBPrinter::deviceInfoForKey("TESTKEY-shared")->getString("firmwareVersion"), "1.02");
    EXPECT_TRUE(logs.hasSys("+[ZVUSBPrinter setDeviceInfo:forKey:]:[TESTKEY-shared] : {}"));

    ZVUSBPrinter::setDeviceInfo(nullptr, "TESTKEY-shared");
    EXPECT_EQ(ZVUSBPrinter::deviceInfoForKey("TESTKEY-shared"), mine);
}

TEST(ZVUSBPrinterDeviceInfo, PrinterStatusIsStoredOnTheMainThreadAndAnnounced) {
    FakePrinter device;
    auto printer = makePrinter(device);
    std::vector<std::pair<bool, ovn::Value>> seen;
    auto token = printer->observe("printerStatus", [&](const std::string&, const ovn::KeyValueChange& change) {
        seen.emplace_back(ZVUSBPrinter::isMainQueue(), change.newValue);
    });
    printer->sendNoReplyPrinterCommand([printer] { printer->setPrinterStatus("Idle"); });
    waitForCommandQueue(printer);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].first);
    EXPECT_EQ(ovn::valueAsString(seen[0].second), "Idle");
    EXPECT_EQ(printer->printerStatus(), "Idle");
}

TEST(ZVUSBPrinterLifecycle, DictionarySurvivesUnplugAndReplugAtTheSameLocation) {
    FakePrinter device;
    device.interface->location = freshLocation();
    auto printer = makePrinter(device);
    waitForCommandQueue(printer);
    printer->deviceInfoDict()->set(QELMOR_ZVPrinterFirmwareVersion, std::string("1.07"));
    printer->deviceInfoDict()->set("deviceFirmwareStatus", int64_t{2});
    const std::string key = printer->keyUSBdevice();

    LogCapture logs;
    deliverTermination(device);
    char removed[128];
    std::snprintf(removed, sizeof removed, "OVN PL25D A123 (device %.8x) was removed\n",
                  device.interfaceService->handle());
    EXPECT_TRUE(logs.hasSys(removed));
    EXPECT_EQ(ZVUSBPrinter::deviceInfoForKey(key), printer->deviceInfoDict());

    // The registry's release path: handles dropped on the command queue, then the object goes.
    printer->prepareForRelease();
    waitForCommandQueue(printer);
    EXPECT_FALSE(printer->interfaceInterface());
    EXPECT_FALSE(printer->deviceObject());
    auto registrations = services()->registrations(device.interfaceService);
    ASSERT_EQ(registrations.size(), 1u);
    EXPECT_FALSE(registrations[0]->active.load());
    EXPECT_TRUE(released(printer));
    EXPECT_EQ(device.interface.use_count(), 1);  // no reference left behind

    // The printer comes back as new services at the same location.
    FakePrinter again;
    again.interface->location = device.interface->location;
    auto replugged = makePrinter(again);
    waitForCommandQueue(replugged);
    ASSERT_EQ(replugged->keyUSBdevice(), key);
    auto saved = ZVUSBPrinter::deviceInfoForKey(key);
    EXPECT_EQ(saved->getString(QELMOR_ZVPrinterFirmwareVersion), "1.07");
    EXPECT_EQ(saved->getInteger("deviceFirmwareStatus"), 2);

    // A printer at another port does not see it.
    FakePrinter elsewhere;
    elsewhere.interface->location = freshLocation();
    auto stranger = makePrinter(elsewhere);
    EXPECT_EQ(ZVUSBPrinter::deviceInfoForKey(stranger->keyUSBdevice())->count(), 0u);
    waitForCommandQueue(stranger);
}

TEST(ZVUSBPrinterLifecycle, MessageAfterTheObjectIsGoneIsDropped) {
    FakePrinter device;
    auto printer = makePrinter(device);
    waitForCommandQueue(printer);
    auto registrations = services()->registrations(device.interfaceService);
    ASSERT_EQ(registrations.size(), 1u);
    registrations[0]->honourRelease = false;  // a platform that still delivers after the release
    ASSERT_TRUE(released(printer));
    LogCapture logs;
    deliverTermination(device);
    EXPECT_EQ(logs.countContaining("was removed"), 0u);
}

TEST(ZVUSBPrinterLifecycle, DeviceVanishingDuringSetUpLeavesAReleasableObject) {
    FakePrinter device;
    device.interface->location = freshLocation();
    device.interface->deviceID = ControlReply{kIOReturnNoDevice, {}};
    auto printer = makePrinter(device);
    printer->deviceInfoDict()->set("note", std::string("kept"));

    // The termination still saves the dictionary (the registry cannot match such an object, but the message
    // reaches it through any registration made for it).
    usbInterfaceInterestCallback(printer.get(), device.interfaceService, kIOMessageServiceIsTerminated, nullptr);
    EXPECT_EQ(ZVUSBPrinter::deviceInfoForKey(printer->keyUSBdevice())->getString("note"), "kept");

    device.interface->vanished = true;
    printer->prepareForRelease();
    EXPECT_TRUE(released(printer));
}

TEST(ZVUSBPrinterLifecycle, DeviceVanishingBetweenExchangesLeavesAReleasableObject) {
    FakePrinter device;
    device.interface->location = freshLocation();
    // The device leaves right after answering the device ID, before the queued first open/close.
    device.interface->afterControl = [iface = device.interface.get()](const IOUSBDevRequestTO& r) {
        if (r.bmRequestType == 0xA1) iface->vanished = true;
    };
    auto printer = makePrinter(device);
    waitForCommandQueue(printer);
    EXPECT_EQ(device.log->count("USBInterfaceClose"), 0u);  // never opened, so no platform close
    EXPECT_EQ(printer->state(), ZVUSBPrinter::kInterfaceClosed);

    printer->deviceInfoDict()->set(QELMOR_ZVPrinterFirmwareVersion, std::string("2.00"));
    std::optional<IOReturn> opened;
    std::optional<bool> wrote;
    std::optional<ZVUSBPrinter::PrinterReply> reply;
    printer->openInterface([&](IOReturn r) { opened = r; });
    printer->sendPrinterCommand(
        [&] {
            static const uint8_t frame[4] = {0x1B, 'P', 0, 0};
            wrote = printer->writeToInterfaceWithData(frame);
        },
        nullptr, [&](ZVUSBPrinter::PrinterReply r) { reply = r; });
    waitForCommandQueue(printer);
    EXPECT_EQ(opened, kIOReturnNoDevice);
    EXPECT_EQ(wrote, false);
    EXPECT_EQ(printer->writeStatus(), kIOReturnNoDevice);
    ASSERT_TRUE(reply.has_value());
    EXPECT_FALSE(reply->has_value());

    deliverTermination(device);
    printer->prepareForRelease();
    waitForCommandQueue(printer);
    EXPECT_EQ(ZVUSBPrinter::deviceInfoForKey(printer->keyUSBdevice())->getString(QELMOR_ZVPrinterFirmwareVersion),
              "2.00");

    // After the release every operation reports the missing device instead of touching freed handles.
    std::optional<IOReturn> late;
    printer->openInterface([&](IOReturn r) { late = r; });
    printer->sendNoReplyPrinterCommand([&] { EXPECT_FALSE(printer->interfaceReadDataOfSize(8).has_value()); });
    waitForCommandQueue(printer);
    EXPECT_EQ(late, kIOReturnNoDevice);
    EXPECT_EQ(printer->readStatus(), kIOReturnNoDevice);
    EXPECT_TRUE(released(printer));
}
