// Simulated printers on the virtual USB bus, seen from the host's side: descriptors, device ID, exchanges
// through the pipes, busy interfaces, unplugging and power cycles. (Updates across the bus run in the workflow
// tests.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

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
        IOIteratorPtr arrivals, removals;
        ASSERT_EQ(kIOReturnSuccess, bus->IOServiceAddMatchingNotification(port, kIOMatchedNotification, printers,
            [this](const IOIteratorPtr& it) { while (auto s = it->IOIteratorNext()) arrived.push_back(s); },
            &arrivals, &arrivalNote));
        ASSERT_EQ(kIOReturnSuccess, bus->IOServiceAddMatchingNotification(port, kIOTerminatedNotification, printers,
            [this](const IOIteratorPtr& it) { while (it->IOIteratorNext()) ++removed; }, &removals, &removalNote));
        while (arrivals->IOIteratorNext() || removals->IOIteratorNext()) {
        }
        sim = std::make_unique<SimulatedPrinters>(bus);
    }

    void TearDown() override {
        port->destroy();
        MainRunLoop::drain();
    }

    IOUSBInterfaceInterfacePtr plugin(const IOServicePtr& service) {
        IOUSBInterfaceInterfacePtr handle;
        bool pluginFailed = false;
        EXPECT_EQ(kIOReturnSuccess, bus->CreateInterfaceInterface(service, &handle, &pluginFailed));
        return handle;
    }

    // Waits for the n-th arrival (from 1) and opens its interface.
    IOUSBInterfaceInterfacePtr arrival(size_t n) {
        if (!MainRunLoop::runUntil([&] { return arrived.size() >= n; }, std::chrono::seconds(5))) return nullptr;
        auto handle = plugin(arrived[n - 1]);
        EXPECT_EQ(kIOReturnSuccess, handle ? handle->USBInterfaceOpenSeize() : kIOReturnNoDevice);
        return handle;
    }

    static IOReturn write(const IOUSBInterfaceInterfacePtr& h, const Bytes& f) {
        return h->WritePipeTO(1, f.data(), static_cast<uint32_t>(f.size()), 5000, 5000);
    }

    // One exchange through the pipes: the frame out on pipe 1, the reply in on pipe 2 (header, then body).
    static std::optional<std::string> exchange(const IOUSBInterfaceInterfacePtr& h, const Bytes& f,
                                               IOReturn* readResult = nullptr) {
        if (write(h, f) != kIOReturnSuccess) return std::nullopt;
        char header[9] = {};
        uint32_t size = 8;
        IOReturn rc = h->ReadPipeTO(2, header, &size, 5000, 5000);
        const bool headerRead = rc == kIOReturnSuccess && size == 8;
        std::string body(headerRead ? std::strtoul(header, nullptr, 10) : 0, '\0');
        if (headerRead) {
            size = static_cast<uint32_t>(body.size());
            rc = h->ReadPipeTO(2, body.data(), &size, 5000, 5000);
            body.resize(size);
        }
        if (readResult) *readResult = rc;
        if (!headerRead || rc != kIOReturnSuccess) return std::nullopt;
        if (!body.empty() && body.back() == '\r') body.pop_back();
        return body;
    }

    static Bytes control(const IOUSBInterfaceInterfacePtr& h, uint8_t type, uint8_t request, uint16_t value,
                         uint16_t index, uint16_t length) {
        Bytes buf(length);
        IOUSBDevRequestTO req{type, request, value, index, length, buf.data()};
        EXPECT_EQ(kIOReturnSuccess, h->ControlRequestTO(0, &req));
        buf.resize(req.wLenDone);
        return buf;
    }

    static std::u16string stringDescriptor(const IOUSBInterfaceInterfacePtr& h, uint8_t index) {
        Bytes d = control(h, 0x80, 6, static_cast<uint16_t>(0x0300 | index), 0x0409, 256);
        std::u16string s;
        for (size_t i = 2; d.size() >= 2 && i + 1 < std::min<size_t>(d.size(), d[0]); i += 2)
            s.push_back(static_cast<char16_t>(d[i] | d[i + 1] << 8));
        return s;
    }

    static uint8_t serialIndex(const IOUSBInterfaceInterfacePtr& h) { return control(h, 0x80, 6, 0x0100, 0, 18).at(16); }

    static uint32_t location(const IOUSBInterfaceInterfacePtr& h) {
        uint32_t l = 0;
        h->GetLocationID(&l);
        return l;
    }

    std::shared_ptr<VirtualUSBBus> bus;
    IONotificationPortPtr port;
    IONotificationPtr arrivalNote, removalNote;
    std::vector<IOServicePtr> arrived;
    size_t removed = 0;
    std::unique_ptr<SimulatedPrinters> sim;
};

TEST_F(SimulatedBusTest, DescribedPrintersArriveWithDistinctSerialsAndLocations) {
    ASSERT_EQ("", sim->addFromText("PL35:serial=7C0001:iserial=1,PL25D,PL45:location=0x14100000"));
    ASSERT_TRUE(arrival(3));
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
    auto pl35 = std::find_if(arrived.begin(), arrived.end(), [&](const IOServicePtr& s) {
        uint16_t product = 0;
        return plugin(s)->GetDeviceProduct(&product) == kIOReturnSuccess && product == 0x5C01;
    });
    ASSERT_NE(arrived.end(), pl35);
    auto h = plugin(*pl35);
    ASSERT_EQ(kIOReturnSuccess, h->USBInterfaceOpenSeize());
    EXPECT_EQ(0x14200000u, location(h));
    EXPECT_EQ(u"Orvane Imaging", stringDescriptor(h, 1));
    EXPECT_EQ(u"QP-PL35", stringDescriptor(h, 2));
    ASSERT_EQ(3, serialIndex(h));
    EXPECT_EQ(u"7C0001", stringDescriptor(h, 3));

    Bytes id = control(h, 0xA1, 0, 0, 0, 512);
    ASSERT_GE(id.size(), 2u);
    EXPECT_EQ(id.size(), size_t(id[0] << 8 | id[1]));
    EXPECT_EQ(printers[0]->deviceIdText(), std::string(id.begin() + 2, id.end()));
    EXPECT_EQ("00000", exchange(h, statusFrame()));
    EXPECT_EQ("PL35 01.40", exchange(h, frame("INFO  ", "FVER")));
}

TEST_F(SimulatedBusTest, BusyPrinterRefusesTheHostUntilReleased) {
    ASSERT_EQ("", sim->addFromText("PL45:busy=1"));
    ASSERT_TRUE(MainRunLoop::runUntil([&] { return !arrived.empty(); }, std::chrono::seconds(5)));
    auto h = plugin(arrived[0]);
    ASSERT_TRUE(h);
    EXPECT_EQ(kIOReturnExclusiveAccess, h->USBInterfaceOpenSeize());
    auto printer = sim->all()[0];
    printer->setHeldByOtherApplication(false);
    EXPECT_EQ(kIOReturnSuccess, h->USBInterfaceOpenSeize());

    // A busy fault: the other program takes the printer once the host lets go.
    printer->injectFault(Fault::Busy, DeviceCommand::Status);
    EXPECT_EQ("00000", exchange(h, statusFrame()));
    h->USBInterfaceClose();
    uint64_t id = printer->deviceId().value_or(0);
    EXPECT_TRUE(OvnPrinterEmulator::waitUntil([&] { return bus->isHeldByOtherApplication(id); },
                                              std::chrono::seconds(3)));
    EXPECT_EQ(kIOReturnExclusiveAccess, h->USBInterfaceOpenSeize());
}

TEST_F(SimulatedBusTest, DisconnectMidReplyThenPowerOnAtTheSameLocation) {
    ASSERT_EQ("", sim->addFromText("PL25:location=0x14700000:fault=disconnect@SERIAL_NUMBER"));
    auto h = arrival(1);
    ASSERT_TRUE(h);
    auto printer = sim->all()[0];
    auto firstId = printer->deviceId();
    ASSERT_TRUE(firstId);
    IOReturn readResult = kIOReturnSuccess;
    EXPECT_FALSE(exchange(h, frame("INFO  ", "SERIAL_NUMBER"), &readResult));
    EXPECT_EQ(kIOReturnNoDevice, readResult);
    EXPECT_FALSE(bus->isPlugged(*firstId));
    ASSERT_TRUE(MainRunLoop::runUntil([&] { return removed == 1; }, std::chrono::seconds(3)));

    printer->powerOn();
    auto h2 = arrival(2);
    ASSERT_TRUE(h2);
    EXPECT_EQ(0x14700000u, location(h2));
    EXPECT_EQ(printer->serial(), exchange(h2, frame("INFO  ", "SERIAL_NUMBER")));
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

TEST_F(SimulatedBusTest, PowerCyclePlugsBackTheGivenHandlerWithTheSerialNumberInTheDescriptor) {
    EmulatorConfig c;
    c.model = PrinterModel::PL35;
    c.serial = "7C0009";
    c.locationId = 0x14A00000;
    auto printer = OvnPrinterEmulator::create(c);
    auto wrapper = std::make_shared<Wrapper>(printer);
    uint64_t first = bus->plug(printer->description(), wrapper);
    auto h = arrival(1);
    ASSERT_TRUE(h);
    EXPECT_EQ(0, serialIndex(h));
    ASSERT_EQ(kIOReturnSuccess, write(h, frame("MNT_WT", "USB_ISERI_SET", {0x30, 0x31, 0x0D, 0x00})));
    EXPECT_EQ("01", exchange(h, frame("MNT_RD", "USB_ISERI_SET")));
    EXPECT_EQ(0, serialIndex(h)) << "not before the power cycle";

    printer->powerCycle();
    auto h2 = arrival(2);
    ASSERT_TRUE(h2);
    ASSERT_EQ(3, serialIndex(h2));
    EXPECT_EQ(u"7C0009", stringDescriptor(h2, 3));
    auto id = printer->deviceId();
    ASSERT_TRUE(id);
    EXPECT_NE(first, *id);
    EXPECT_EQ(wrapper, bus->handler(*id));
    EXPECT_EQ(0x14A00000u, bus->description(*id)->locationID);
}

}  // namespace
}  // namespace ovn::sim::test
