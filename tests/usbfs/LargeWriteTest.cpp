// Large frames through the libusb provider into a mocked usbfs node that, like the kernel, refuses a transfer
// above usbfs_memory_mb: what arrives, in what pieces, and what progress and result the writer is told.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Classes/ZVUSBPrinter.h"
#include "kit/Kit.h"
#include "sim/OvnPrinterEmulator.h"
#include "sim/usbfs/UsbfsBus.h"
#include "MockUsbfs.h"
#include "platform/DispatchQueue.h"
#include "usb/LibUSBServices.h"

namespace ovn::usb::test {
namespace {

using Bytes = std::vector<uint8_t>;
constexpr size_t kMB = size_t{1} << 20;
constexpr size_t kPacket = 512;
constexpr std::chrono::seconds kWait{60};  // wMaxPacketSize of the printer's bulk OUT endpoint

Bytes frameOf(size_t size) {
    Bytes frame(size);
    uint64_t x = 0x9E3779B97F4A7C15ull;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        frame[i] = static_cast<uint8_t>(x >> 29);
    }
    return frame;
}

class LargeWriteTest : public ::testing::Test {
protected:
    void SetUp() override {
        testbed = umockdev_testbed_new();
        ASSERT_TRUE(testbed);
        for (const auto& record : {usbDeviceRecord("/devices/usb1", 1, 1, hubDescriptors()),
                                   usbDeviceRecord("/devices/usb1/1-2", 1, 5, printerDescriptors(0x2A71, 0x0106))}) {
            GError* error = nullptr;
            ASSERT_TRUE(umockdev_testbed_add_from_string(testbed, record.c_str(), &error)) << error->message;
        }
        printer = std::make_unique<MockUsbfsDevice>(testbed, "/dev/bus/usb/001/005");
        printer->setDeviceDescriptor(printerDescriptors(0x2A71, 0x0106));
        std::string error;
        services = LibUSBServices::create({}, &error);
        ASSERT_TRUE(services) << error;
        opened = std::make_unique<OpenedPrinter>(services);
        interface = opened->interface;
        service = opened->service;
        ASSERT_TRUE(interface);
    }

    void TearDown() override {
        interface.reset();
        if (opened) opened->close();
        services.reset();
        printer.reset();
        g_object_unref(testbed);
    }

    UMockdevTestbed* testbed = nullptr;
    std::unique_ptr<MockUsbfsDevice> printer;
    std::shared_ptr<LibUSBServices> services;
    std::unique_ptr<OpenedPrinter> opened;
    IOServicePtr service;
    IOUSBInterfaceInterfacePtr interface;
};

struct WriteCase {
    const char* name;
    size_t size;                       // of the frame
    std::optional<size_t> budget;      // the printer stops taking bytes after these
    int delayMs;                       // each transfer completes this long after its submission
    uint32_t timeoutMs;                // the completion time-out the writer asks for
    IOReturn result;
    size_t arrived;                    // bytes the printer holds afterwards, and the last progress reported
};

TEST_F(LargeWriteTest, FramesArriveWholeInTransfersUsbfsAccepts) {
    const WriteCase cases[] = {
        {"a 20 MB frame (more than usbfs takes at once)", 20 * kMB, std::nullopt, 0, 5000, kIOReturnSuccess, 20 * kMB},
        {"a slow printer: each piece has the whole time-out", 3 * kMB + 300, std::nullopt, 60, 150, kIOReturnSuccess,
         3 * kMB + 300},
        {"the printer stops mid-way", 6 * kMB, 3 * kMB + 1000, 0, 100, kIOReturnTimeout, 3 * kMB + 1000},
        {"an empty frame", 0, std::nullopt, 0, 100, kIOReturnSuccess, 0},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes frame = frameOf(c.size);
        size_t before = printer->written().size();
        printer->setOutByteBudget(c.budget);
        printer->setOutDelay(std::chrono::milliseconds(c.delayMs));
        std::vector<std::pair<uint64_t, uint64_t>> progress;
        IOReturn result = interface->WritePipeProgressTO(
            1, frame.data(), static_cast<uint32_t>(frame.size()), c.timeoutMs, c.timeoutMs,
            [&](uint64_t written, uint64_t total) { progress.emplace_back(written, total); });
        EXPECT_EQ(c.result, result);

        auto transfers = printer->written();
        transfers.erase(transfers.begin(), transfers.begin() + static_cast<std::ptrdiff_t>(before));
        Bytes arrived;
        for (size_t i = 0; i < transfers.size(); ++i) {
            EXPECT_LE(transfers[i].size(), MockUsbfsDevice::kUsbfsMemoryLimit) << "transfer " << i;
            if (i + 1 < transfers.size()) {
                EXPECT_EQ(0u, transfers[i].size() % kPacket) << "transfer " << i;
            }
            arrived.insert(arrived.end(), transfers[i].begin(), transfers[i].end());
        }
        ASSERT_EQ(c.arrived, arrived.size());
        EXPECT_TRUE(std::equal(arrived.begin(), arrived.end(), frame.begin())) << "bytes in order, none changed";

        ASSERT_FALSE(progress.empty());
        EXPECT_EQ(std::make_pair(uint64_t{c.arrived}, uint64_t{c.size}), progress.back()) << "the bytes that arrived";
        for (size_t i = 1; i < progress.size(); ++i) EXPECT_LE(progress[i - 1].first, progress[i].first);
        if (c.arrived > kMB) {
            EXPECT_GT(progress.size(), 2u) << "progress while the frame goes out";
        }
    }
}

// A 64 MB frame (four times what usbfs takes at once) to an emulated printer behind a usbfs node: it goes out in
// pieces of whole packets, and the printer takes them as the one frame its header announces, every byte in place.
TEST(LargeFrame, ReachesAnEmulatedPrinterWholeThroughUsbfs) {
    std::string error;
    auto bus = sim::UsbfsBus::create(&error);
    ASSERT_TRUE(bus) << error;
    sim::EmulatorConfig config;
    config.model = sim::PrinterModel::PL45;
    config.locationId = bus->locationOfPort(3);
    auto printer = sim::OvnPrinterEmulator::create(config);
    const uint64_t id = bus->plugPrinter(printer);
    ASSERT_NE(0u, id);
    auto services = LibUSBServices::create({}, &error);
    ASSERT_TRUE(services) << error;
    OpenedPrinter opened(services);
    const auto& interface = opened.interface;
    ASSERT_TRUE(interface);

    const Bytes payload = frameOf(64 * kMB);
    Bytes frame = kit::frame("TBL_WT", "CTRLD_UPDATE_CW", {});
    char length[9];
    std::snprintf(length, sizeof length, "%08zu", payload.size());
    std::copy(length, length + 8, frame.begin() + 24);
    frame.insert(frame.end(), payload.begin(), payload.end());
    EXPECT_EQ(kIOReturnSuccess,
              interface->WritePipeTO(1, frame.data(), static_cast<uint32_t>(frame.size()), 10000, 10000));

    const auto frames = printer->frames();
    ASSERT_EQ(1u, frames.size());
    EXPECT_EQ(0u, printer->malformedCount());
    EXPECT_EQ(sim::DeviceCommand::TableWriteData, frames[0].command);
    EXPECT_EQ(payload.size(), frames[0].payloadSize);
    EXPECT_EQ(sim::fnv1a64(payload.data(), payload.size()), frames[0].payloadHash);
    const auto pieces = bus->node(id)->outTransfers();
    EXPECT_GE(pieces.size(), 5u);
    for (size_t i = 0; i < pieces.size(); ++i) {
        EXPECT_LE(pieces[i], sim::UsbfsNode::kUsbfsMemoryLimit) << "piece " << i;
        if (i + 1 < pieces.size()) {
            EXPECT_EQ(0u, pieces[i] % kPacket) << "piece " << i;
        }
    }
    opened.close();
    services.reset();
}

// What a progress display polling the printer object on the main queue sees while the object writes a frame
// on its command queue.
TEST_F(LargeWriteTest, ThePrinterObjectShowsHowMuchOfItsWriteArrived) {
    printer->setDeviceID("MFG:Test;MDL:Writer;SN:W1;");
    USBServices::setShared(services);
    auto object = ZVUSBPrinter::create(interface, service);
    ASSERT_TRUE(object);
    EXPECT_EQ("MFG:Test;MDL:Writer;SN:W1;", object->raw1284DeviceID().value_or("none")) << "read in one page";
    ASSERT_TRUE(MainRunLoop::runUntil([&] { return object->printerCommandQueue() != nullptr; }, kWait));
    const struct {
        size_t size;
        std::optional<size_t> budget;
        IOReturn status;
        size_t arrived;
    } cases[] = {{8 * kMB, std::nullopt, kIOReturnSuccess, 8 * kMB},
                 {6 * kMB, 2 * kMB + 5, kIOReturnTimeout, 2 * kMB + 5}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arrived);
        const Bytes frame = frameOf(c.size);
        printer->setOutByteBudget(c.budget);
        printer->setOutDelay(std::chrono::milliseconds(20));
        std::atomic<bool> done{false};
        bool written = false;
        object->sendNoReplyPrinterCommand([&] {
            object->openInterface();
            written = object->writeToInterfaceWithData(frame);
            done = true;
        });
        std::vector<uint64_t> seen;
        ASSERT_TRUE(MainRunLoop::runUntil(
            [&] {
                auto progress = object->writeProgress();
                if (progress.total == frame.size()) seen.push_back(progress.written);
                return done.load();
            },
            kWait));
        EXPECT_EQ(c.status == kIOReturnSuccess, written);
        EXPECT_EQ(c.status, object->writeStatus());
        EXPECT_EQ(c.arrived, object->writeProgress().written);
        EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
        EXPECT_TRUE(std::any_of(seen.begin(), seen.end(), [&](uint64_t n) { return n > 0 && n < c.arrived; }))
            << "the display sees the write go on " << ::testing::PrintToString(seen);
    }
    object->prepareForRelease();
    MainRunLoop::runFor(std::chrono::milliseconds(100));
    USBServices::setShared(nullptr);
}

}  // namespace
}  // namespace ovn::usb::test

// umockdev, GLib, udev and libusb come without sanitizer instrumentation; reports inside them (libusb's own
// locking of a transfer between its event thread and the caller) are not about this program.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libumockdev.so\nrace:libudev.so\nrace:libglib-2.0.so\nrace:libusb-1.0.so\n";
}

int main(int argc, char** argv) {
    // Started without umockdev, the program runs again with it: the state folder made for this run goes.
    const char* preload = std::getenv("LD_PRELOAD");
    if (!(preload && std::strstr(preload, "libumockdev-preload")) && std::getenv("XDG_STATE_HOME"))
        std::filesystem::remove(std::getenv("XDG_STATE_HOME"));
    ovn::usb::test::restartUnderUmockdev(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
