// Simulated printers on the virtual USB bus, seen from the host's side of the bus: descriptors, device ID,
// exchanges through the pipes, restarts of the firmware update, busy interfaces and unplugging.
#include <gtest/gtest.h>

#include "SimTestSupport.h"
#include "platform/DispatchQueue.h"
#include "sim/SimulatedPrinters.h"

namespace ovn::sim::test {
namespace {

using namespace ovn::usb;

class SimulatedBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        SystemLog::setUseSyslog(false);
        MainRunLoop::drain();
        bus = VirtualUSBBus::create();
        bus->setTimeoutScale(0.01);
        port = bus->IONotificationPortCreate();
        MatchingDict printers;
        printers.bInterfaceClass = 7;
        printers.bInterfaceSubClass = 1;
        IOIteratorPtr arrivals;
        ASSERT_EQ(kIOReturnSuccess, bus->IOServiceAddMatchingNotification(
                                        port, kIOMatchedNotification, printers,
                                        [this](const IOIteratorPtr& it) { drain(it); }, &arrivals, &arrivalNote));
        drain(arrivals);
        IOIteratorPtr removals;
        ASSERT_EQ(kIOReturnSuccess, bus->IOServiceAddMatchingNotification(
                                        port, kIOTerminatedNotification, printers,
                                        [this](const IOIteratorPtr& it) {
                                            while (it->IOIteratorNext()) ++removed;
                                        },
                                        &removals, &removalNote));
        while (removals->IOIteratorNext()) {
        }
        sim = std::make_unique<SimulatedPrinters>(bus);
    }

    void TearDown() override {
        port->destroy();
        MainRunLoop::drain();
    }

    void drain(const IOIteratorPtr& it) {
        while (auto s = it->IOIteratorNext()) arrived.push_back(s);
    }

    bool waitForArrivals(size_t n) {
        return MainRunLoop::runUntil([&] { return arrived.size() >= n; }, std::chrono::seconds(5));
    }

    IOUSBInterfaceInterfacePtr open(const IOServicePtr& service) {
        IOUSBInterfaceInterfacePtr handle;
        bool pluginFailed = false;
        EXPECT_EQ(kIOReturnSuccess, bus->CreateInterfaceInterface(service, &handle, &pluginFailed));
        if (handle) {
            EXPECT_EQ(kIOReturnSuccess, handle->USBInterfaceOpenSeize());
        }
        return handle;
    }

    // One exchange through the pipes: the frame out on pipe 1, the reply in on pipe 2 (header, then body).
    std::optional<std::string> exchange(const IOUSBInterfaceInterfacePtr& h, const Bytes& f, IOReturn* readResult = nullptr) {
        if (h->WritePipeTO(1, f.data(), static_cast<uint32_t>(f.size()), 5000, 5000) != kIOReturnSuccess) return std::nullopt;
        char header[9] = {};
        uint32_t size = 8;
        IOReturn rc = h->ReadPipeTO(2, header, &size, 5000, 5000);
        if (readResult) *readResult = rc;
        if (rc != kIOReturnSuccess || size != 8) return std::nullopt;
        uint32_t length = static_cast<uint32_t>(std::strtoul(header, nullptr, 10));
        std::string body(length, '\0');
        size = length;
        rc = h->ReadPipeTO(2, body.data(), &size, 5000, 5000);
        if (readResult) *readResult = rc;
        if (rc != kIOReturnSuccess) return std::nullopt;
        body.resize(size);
        if (!body.empty() && body.back() == '\r') body.pop_back();
        return body;
    }

    std::u16string stringDescriptor(const IOUSBInterfaceInterfacePtr& h, uint8_t index) {
        uint8_t buf[256] = {};
        IOUSBDevRequestTO req;
        req.bmRequestType = 0x80;
        req.bRequest = 6;
        req.wValue = static_cast<uint16_t>(0x0300 | index);
        req.wIndex = 0x0409;
        req.wLength = sizeof buf;
        req.pData = buf;
        if (h->ControlRequestTO(0, &req) != kIOReturnSuccess || req.wLenDone < 2) return u"";
        std::u16string s;
        for (uint32_t i = 2; i + 1 < std::min<uint32_t>(req.wLenDone, buf[0]); i += 2)
            s.push_back(static_cast<char16_t>(buf[i] | buf[i + 1] << 8));
        return s;
    }

    uint8_t serialIndex(const IOUSBInterfaceInterfacePtr& h) {
        uint8_t buf[18] = {};
        IOUSBDevRequestTO req;
        req.bmRequestType = 0x80;
        req.bRequest = 6;
        req.wValue = 0x0100;
        req.wLength = sizeof buf;
        req.pData = buf;
        EXPECT_EQ(kIOReturnSuccess, h->ControlRequestTO(0, &req));
        return buf[16];
    }

    std::shared_ptr<VirtualUSBBus> bus;
    IONotificationPortPtr port;
    IONotificationPtr arrivalNote;
    IONotificationPtr removalNote;
    std::vector<IOServicePtr> arrived;
    size_t removed = 0;
    std::unique_ptr<SimulatedPrinters> sim;
};

TEST_F(SimulatedBusTest, DescribedPrintersArriveWithDistinctSerialsAndLocations) {
    ASSERT_EQ("", sim->addFromText("PL35:serial=7C0001:iserial=1,PL25D,PL45:location=0x14100000"));
    ASSERT_TRUE(waitForArrivals(3));
    ASSERT_EQ(3u, sim->count());
    auto printers = sim->all();
    EXPECT_EQ(0x14200000u, printers[0]->locationId()) << "0x14100000 is named by the third printer";
    EXPECT_EQ(0x14300000u, printers[1]->locationId());
    EXPECT_EQ(0x14100000u, printers[2]->locationId());
    EXPECT_NE(printers[1]->serial(), printers[2]->serial());
    EXPECT_EQ(printers[0], sim->bySerial("7C0001"));
    EXPECT_FALSE(sim->bySerial("nobody"));
    EXPECT_EQ("serial '7C0001' is in use already: 'PL15:serial=7C0001'", sim->addFromText("PL15:serial=7C0001"));
    EXPECT_EQ("unknown model 'PL99' in 'PL99'", sim->addFromText("PL99"));
    EXPECT_EQ(3u, sim->count());

    // The PL35 as the host reads it.
    IOServicePtr pl35;
    for (const auto& s : arrived) {
        IOUSBInterfaceInterfacePtr h;
        bool failed = false;
        bus->CreateInterfaceInterface(s, &h, &failed);
        uint16_t product = 0;
        h->GetDeviceProduct(&product);
        if (product == 0x5C01) pl35 = s;
    }
    ASSERT_TRUE(pl35);
    auto h = open(pl35);
    ASSERT_TRUE(h);
    uint32_t location = 0;
    h->GetLocationID(&location);
    EXPECT_EQ(0x14200000u, location);
    EXPECT_EQ(u"Orvane Imaging", stringDescriptor(h, 1));
    EXPECT_EQ(u"QP-PL35", stringDescriptor(h, 2));
    ASSERT_EQ(3, serialIndex(h));
    EXPECT_EQ(u"7C0001", stringDescriptor(h, 3));

    uint8_t id[512] = {};
    IOUSBDevRequestTO getId;
    getId.bmRequestType = 0xA1;
    getId.bRequest = 0;
    getId.wLength = sizeof id;
    getId.pData = id;
    ASSERT_EQ(kIOReturnSuccess, h->ControlRequestTO(0, &getId));
    uint32_t length = static_cast<uint32_t>(id[0] << 8 | id[1]);
    EXPECT_EQ(getId.wLenDone, length);
    EXPECT_EQ(printers[0]->deviceIdText(), std::string(reinterpret_cast<char*>(id) + 2, length - 2));

    EXPECT_EQ("00000", exchange(h, statusFrame()));
    EXPECT_EQ("PL35 01.40", exchange(h, frame("INFO  ", "FVER")));
}

TEST_F(SimulatedBusTest, FirmwareUpdateRestartsAtTheSameLocation) {
    ASSERT_EQ("", sim->addFromText("PL15:delay=5:life=777"));
    ASSERT_TRUE(waitForArrivals(1));
    auto printer = sim->all()[0];
    auto h = open(arrived[0]);
    Bytes rewrite = frame("FW_UPD", "FLASH_REWRITE");
    ASSERT_EQ(kIOReturnSuccess, h->WritePipeTO(1, rewrite.data(), 32, 5000, 5000));
    ASSERT_TRUE(waitForArrivals(2));
    EXPECT_EQ(1u, removed);
    auto h2 = open(arrived[1]);
    uint32_t location = 0;
    h2->GetLocationID(&location);
    EXPECT_EQ(0x14100000u, location);
    EXPECT_EQ("FU00001", exchange(h2, statusFrame()));

    Bytes program = frame("FW_UPD", "FLASH_PROGRAM", padded(firmwareText("PL15 01.61")));
    ASSERT_EQ(kIOReturnSuccess, h2->WritePipeTO(1, program.data(), static_cast<uint32_t>(program.size()), 5000, 5000));
    ASSERT_TRUE(waitForArrivals(3));
    auto h3 = open(arrived[2]);
    EXPECT_EQ("PL15 01.61", exchange(h3, frame("INFO  ", "FVER")));
    EXPECT_EQ("CL0000777", exchange(h3, frame("MNT_RD", "COUNTER_LIFE"))) << "counters survive the update";
    EXPECT_EQ(0u, printer->forbiddenCount());
    EXPECT_EQ(0u, printer->malformedCount());
}

TEST_F(SimulatedBusTest, MV1ArrivesThreeTimesWithTheIntermediateFirmwareBetween) {
    ASSERT_EQ("", sim->addFromText("PL-MV1:delay=5:settle=100"));
    ASSERT_TRUE(waitForArrivals(1));
    auto h = open(arrived[0]);
    Bytes rewrite = frame("FW_UPD", "FLASH_REWRITE");
    ASSERT_EQ(kIOReturnSuccess, h->WritePipeTO(1, rewrite.data(), 32, 5000, 5000));
    ASSERT_TRUE(waitForArrivals(2));
    auto h2 = open(arrived[1]);
    Bytes program = frame("FW_UPD", "FLASH_PROGRAM", padded(firmwareText("PL-MV1 02.06")));
    ASSERT_EQ(kIOReturnSuccess, h2->WritePipeTO(1, program.data(), static_cast<uint32_t>(program.size()), 5000, 5000));
    ASSERT_TRUE(waitForArrivals(3));
    auto h3 = open(arrived[2]);
    EXPECT_EQ("MV1_ALLFWU_2.05", exchange(h3, frame("INFO  ", "FVER")));
    h3->USBInterfaceClose();
    ASSERT_TRUE(waitForArrivals(4));
    auto h4 = open(arrived[3]);
    EXPECT_EQ("PL-MV1 02.06", exchange(h4, frame("INFO  ", "FVER")));
    EXPECT_EQ(3u, removed);
}

TEST_F(SimulatedBusTest, BusyPrinterRefusesTheHostUntilReleased) {
    ASSERT_EQ("", sim->addFromText("PL45:busy=1"));
    ASSERT_TRUE(waitForArrivals(1));
    IOUSBInterfaceInterfacePtr h;
    bool failed = false;
    ASSERT_EQ(kIOReturnSuccess, bus->CreateInterfaceInterface(arrived[0], &h, &failed));
    EXPECT_EQ(kIOReturnExclusiveAccess, h->USBInterfaceOpenSeize());
    sim->all()[0]->setHeldByOtherApplication(false);
    EXPECT_EQ(kIOReturnSuccess, h->USBInterfaceOpenSeize());

    // A busy fault: the other program takes the printer once the host lets go.
    sim->all()[0]->injectFault(Fault::Busy, DeviceCommand::Status);
    EXPECT_EQ("00000", exchange(h, statusFrame()));
    h->USBInterfaceClose();
    uint64_t id = sim->all()[0]->deviceId().value_or(0);
    EXPECT_TRUE(OvnPrinterEmulator::waitUntil([&] { return bus->isHeldByOtherApplication(id); },
                                              std::chrono::seconds(3)));
    EXPECT_EQ(kIOReturnExclusiveAccess, h->USBInterfaceOpenSeize());
}

TEST_F(SimulatedBusTest, DisconnectMidReplyThenPowerOnAtTheSameLocation) {
    ASSERT_EQ("", sim->addFromText("PL25:location=0x14700000:fault=disconnect@SERIAL_NUMBER"));
    ASSERT_TRUE(waitForArrivals(1));
    auto printer = sim->all()[0];
    auto firstId = printer->deviceId();
    auto h = open(arrived[0]);
    IOReturn readResult = kIOReturnSuccess;
    EXPECT_FALSE(exchange(h, frame("INFO  ", "SERIAL_NUMBER"), &readResult));
    EXPECT_EQ(kIOReturnNoDevice, readResult);
    ASSERT_TRUE(firstId);
    EXPECT_FALSE(bus->isPlugged(*firstId));
    ASSERT_TRUE(MainRunLoop::runUntil([&] { return removed == 1; }, std::chrono::seconds(3)));

    printer->powerOn();
    ASSERT_TRUE(waitForArrivals(2));
    auto h2 = open(arrived[1]);
    uint32_t location = 0;
    h2->GetLocationID(&location);
    EXPECT_EQ(0x14700000u, location);
    EXPECT_EQ(printer->serial(), exchange(h2, frame("INFO  ", "SERIAL_NUMBER")));
}

TEST_F(SimulatedBusTest, PowerCycleBringsTheSerialNumberIntoTheDescriptor) {
    ASSERT_EQ("", sim->addFromText("PL35:serial=7C0009"));
    ASSERT_TRUE(waitForArrivals(1));
    auto h = open(arrived[0]);
    EXPECT_EQ(0, serialIndex(h));
    Bytes on = frame("MNT_WT", "USB_ISERI_SET", {0x30, 0x31, 0x0D, 0x00});
    ASSERT_EQ(kIOReturnSuccess, h->WritePipeTO(1, on.data(), static_cast<uint32_t>(on.size()), 5000, 5000));
    EXPECT_EQ("01", exchange(h, frame("MNT_RD", "USB_ISERI_SET")));
    EXPECT_EQ(0, serialIndex(h)) << "not before the power cycle";

    sim->bySerial("7C0009")->powerCycle();
    ASSERT_TRUE(waitForArrivals(2));
    auto h2 = open(arrived[1]);
    ASSERT_EQ(3, serialIndex(h2));
    EXPECT_EQ(u"7C0009", stringDescriptor(h2, 3));
}

// A handler of a test's own in front of the emulator.
class Wrapper : public VirtualDeviceHandler {
public:
    explicit Wrapper(std::shared_ptr<OvnPrinterEmulator> p) : printer(std::move(p)) {}
    void attached(VirtualUSBBus& bus, uint64_t id) override { printer->attached(bus, id); }
    IOReturn bulkOut(const uint8_t* d, size_t n, uint32_t t) override { return printer->bulkOut(d, n, t); }
    IOReturn bulkIn(std::vector<uint8_t>& out, size_t n, uint32_t t) override { return printer->bulkIn(out, n, t); }
    IOReturn controlRequest(const IOUSBDevRequestTO& s, std::vector<uint8_t>& in) override {
        return printer->controlRequest(s, in);
    }
    std::shared_ptr<OvnPrinterEmulator> printer;
};

TEST_F(SimulatedBusTest, PowerOnPlugsBackTheHandlerTheBusWasGiven) {
    EmulatorConfig c;
    c.model = PrinterModel::PL25D;
    c.locationId = 0x14A00000;
    auto printer = OvnPrinterEmulator::create(c);
    auto wrapper = std::make_shared<Wrapper>(printer);
    uint64_t first = bus->plug(printer->description(), wrapper);
    ASSERT_TRUE(waitForArrivals(1));
    printer->powerCycle();
    ASSERT_TRUE(waitForArrivals(2));
    auto id = printer->deviceId();
    ASSERT_TRUE(id);
    EXPECT_NE(first, *id);
    EXPECT_EQ(wrapper, bus->handler(*id));
    EXPECT_EQ(0x14A00000u, bus->description(*id)->locationID);
}

}  // namespace
}  // namespace ovn::sim::test
