// One 8 MB image write (the size of a PL45 image frame) through each USB provider, the way an update writes it:
// a printer object writes on its command queue while the main queue turns. The libusb provider goes to a device
// behind a usbfs node of umockdev (sim/usbfs), the in-process virtual bus to the same device. Real and process
// CPU time per write (the umockdev figure includes the emulation's own threads), and the longest main-queue
// block seen during the writes.
#include <benchmark/benchmark.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "Classes/ZVUSBPrinter.h"
#include "platform/DispatchQueue.h"
#include "sim/usbfs/UsbfsBus.h"
#include "usb/LibUSBServices.h"
#include "usb/VirtualUSBBus.h"

namespace {

using namespace ovn::usb;
constexpr size_t kImageBytes = size_t{8} << 20;

// Takes every byte and answers nothing but its device ID.
class Sink : public VirtualDeviceHandler {
public:
    IOReturn bulkOut(const uint8_t*, size_t, uint32_t) override { return kIOReturnSuccess; }
    IOReturn bulkIn(std::vector<uint8_t>&, size_t, uint32_t) override { return kIOReturnTimeout; }
    IOReturn controlRequest(const IOUSBDevRequestTO& setup, std::vector<uint8_t>& in) override {
        if (setup.bmRequestType != 0xA1 || setup.bRequest != 0) return kIOUSBPipeStalled;
        const std::string id = "MFG:Bench;MDL:Sink;SN:B1;";
        in = {0, static_cast<uint8_t>(id.size() + 2)};
        in.insert(in.end(), id.begin(), id.end());
        return kIOReturnSuccess;
    }
};

VirtualDeviceDescription printerDescription() {
    VirtualDeviceDescription description;
    description.idVendor = 0x2A71;
    description.idProduct = 0x5D01;
    return description;
}

void writeImages(benchmark::State& state, const std::shared_ptr<USBServices>& services) {
    if (!services) return state.SkipWithError("no USB services");
    USBServices::setShared(services);
    auto port = services->IONotificationPortCreate();
    MatchingDict printers;
    printers.bInterfaceClass = 7;
    IOIteratorPtr arrivals;
    IONotificationPtr matching;
    services->IOServiceAddMatchingNotification(port, kIOMatchedNotification, printers, [](const IOIteratorPtr&) {},
                                               &arrivals, &matching);
    IOServicePtr service;
    ovn::MainRunLoop::runUntil([&] { return arrivals && (service = arrivals->IOIteratorNext()); },
                               std::chrono::seconds(10));
    IOUSBInterfaceInterfacePtr interface;
    bool pluginFailed = true;
    if (!service || services->CreateInterfaceInterface(service, &interface, &pluginFailed) != kIOReturnSuccess)
        return state.SkipWithError("no printer");
    auto printer = ZVUSBPrinter::create(interface, service);
    if (!printer || !ovn::MainRunLoop::runUntil([&] { return printer->printerCommandQueue() != nullptr; },
                                                std::chrono::seconds(10)))
        return state.SkipWithError("no printer object");

    const std::vector<uint8_t> image(kImageBytes, 0x5A);
    ovn::MainRunLoop::resetLongestBlock();
    for (auto _ : state) {
        std::atomic<bool> done{false}, written{false};
        printer->sendNoReplyPrinterCommand([&] {
            printer->openInterface();
            written = printer->writeToInterfaceWithData(image);
            done = true;
        });
        ovn::MainRunLoop::runUntil([&] { return done.load(); }, std::chrono::seconds(60));
        if (!written) return state.SkipWithError(("write failed: " + std::to_string(printer->writeStatus())).c_str());
    }
    state.counters["main_block_ms"] =
        std::chrono::duration<double, std::milli>(ovn::MainRunLoop::longestBlock()).count();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kImageBytes));
    printer->prepareForRelease();
    ovn::MainRunLoop::runFor(std::chrono::milliseconds(100));
    printer.reset();
    matching.reset();
    port->destroy();
    USBServices::setShared(nullptr);
}

void BM_ImageWrite_LibusbUmockdev(benchmark::State& state) {
    auto bus = ovn::sim::UsbfsBus::create();
    if (!bus) return state.SkipWithError("no umockdev testbed");
    bus->plug(printerDescription(), std::make_shared<Sink>());
    writeImages(state, LibUSBServices::create({}, nullptr));
}

void BM_ImageWrite_VirtualBus(benchmark::State& state) {
    auto bus = VirtualUSBBus::create();
    bus->plug(printerDescription(), std::make_shared<Sink>());
    writeImages(state, bus);
}

BENCHMARK(BM_ImageWrite_LibusbUmockdev)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();
BENCHMARK(BM_ImageWrite_VirtualBus)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime()->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    ovn::sim::restartUnderUmockdev(argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
