// One 8 MB image write (the size of a PL45 image frame) through each USB provider: the libusb provider
// against umockdev's usbfs emulation (a mocked node, as in the tests) and the in-process virtual bus. Real and
// process CPU time per write; the umockdev figure includes the emulation's own threads.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "MockUsbfs.h"
#include "usb/LibUSBServices.h"
#include "usb/VirtualUSBBus.h"

namespace {

using namespace ovn::usb;
constexpr size_t kImageBytes = size_t{8} << 20;

IOUSBInterfaceInterfacePtr openPrinter(const std::shared_ptr<USBServices>& services, IONotificationPortPtr* port,
                                       IONotificationPtr* matching) {
    *port = services->IONotificationPortCreate();
    MatchingDict printers;
    printers.bInterfaceClass = 7;
    IOIteratorPtr arrivals;
    services->IOServiceAddMatchingNotification(*port, kIOMatchedNotification, printers,
                                               [](const IOIteratorPtr&) {}, &arrivals, matching);
    IOServicePtr service = arrivals ? arrivals->IOIteratorNext() : nullptr;
    IOUSBInterfaceInterfacePtr interface;
    bool pluginFailed = true;
    if (!service || services->CreateInterfaceInterface(service, &interface, &pluginFailed) != kIOReturnSuccess ||
        interface->USBInterfaceOpenSeize() != kIOReturnSuccess)
        return nullptr;
    return interface;
}

void writeImages(benchmark::State& state, const IOUSBInterfaceInterfacePtr& interface) {
    if (!interface) return state.SkipWithError("no printer");
    std::vector<uint8_t> image(kImageBytes, 0x5A);
    for (auto _ : state)
        if (interface->WritePipeTO(1, image.data(), static_cast<uint32_t>(image.size()), 5000, 5000) !=
            kIOReturnSuccess)
            return state.SkipWithError("write failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kImageBytes));
}

void BM_ImageWrite_LibusbUmockdev(benchmark::State& state) {
    UMockdevTestbed* testbed = umockdev_testbed_new();
    const std::string records[] = {
        test::usbDeviceRecord("/devices/usb1", 1, 1, test::hubDescriptors()),
        test::usbDeviceRecord("/devices/usb1/1-2", 1, 5, test::printerDescriptors(0x2A71, 0x0106))};
    for (const auto& record : records)
        umockdev_testbed_add_from_string(testbed, record.c_str(), nullptr);
    {
        test::MockUsbfsDevice printer(testbed, "/dev/bus/usb/001/005");
        std::shared_ptr<USBServices> services = LibUSBServices::create({}, nullptr);
        IONotificationPortPtr port;
        IONotificationPtr matching;
        auto interface = services ? openPrinter(services, &port, &matching) : nullptr;
        writeImages(state, interface);
        interface.reset();
        matching.reset();
        if (port) port->destroy();
    }
    g_object_unref(testbed);
}

class Sink : public VirtualDeviceHandler {
public:
    IOReturn bulkOut(const uint8_t*, size_t, uint32_t) override { return kIOReturnSuccess; }
    IOReturn bulkIn(std::vector<uint8_t>&, size_t, uint32_t) override { return kIOReturnTimeout; }
    IOReturn controlRequest(const IOUSBDevRequestTO&, std::vector<uint8_t>&) override { return kIOUSBPipeStalled; }
};

void BM_ImageWrite_VirtualBus(benchmark::State& state) {
    auto bus = VirtualUSBBus::create();
    VirtualDeviceDescription description;
    description.idVendor = 0x2A71;
    description.idProduct = 0x0106;
    bus->plug(description, std::make_shared<Sink>());
    IONotificationPortPtr port;
    IONotificationPtr matching;
    auto interface = openPrinter(bus, &port, &matching);
    writeImages(state, interface);
    interface.reset();
    matching.reset();
    if (port) port->destroy();
}

BENCHMARK(BM_ImageWrite_LibusbUmockdev)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_ImageWrite_VirtualBus)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    ovn::usb::test::restartUnderUmockdev(argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
