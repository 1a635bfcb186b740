// Shared pieces of the benchmarks: test images, resource figures of the process, and emulated printers on
// the virtual USB bus with a model of a real printer's answer time.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Alerts.h"
#include "sim/OvnPrinterEmulator.h"
#include "usb/VirtualUSBBus.h"

namespace bench {

// No system log, no standard-error mirror, no frame dumps: the figures measure the work, not the logging.
void quietLogs();

// Writes a valid Motorola S-record image of about `bytes` bytes: an S0 header naming the version, S3
// records of 32 data bytes (deterministic pseudo-random data), an S7 end record, LF line ends.
bool makeSRecordImage(const std::string& path, size_t bytes, const std::string& version = "PL45 09.99");

std::vector<uint8_t> readFile(const std::string& path);
std::string deliveredFile(const std::string& name);  // full path among the delivered data, or ""

// CPU time of the process (user and system), in seconds.
double cpuSeconds();
// Peak resident memory of the process, in KiB.
long peakRssKiB();

// Runs the block as a main-queue block on the calling (first) thread.
void onMain(const std::function<void()>& block);
// Drains the main queue until done() holds; false on time-out.
bool runMainUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// An emulated printer behind a tap: the tap adds `replyLatency` before every bulk IN read (the time a printer
// takes to answer a query) and can take frames larger than `sinkAbove` itself, acknowledging them without
// handing them to the emulator (so that the emulator's own copy of a large image is not counted against the
// host).
class Tap : public ovn::usb::VirtualDeviceHandler {
public:
    Tap(std::shared_ptr<ovn::sim::OvnPrinterEmulator> emulator, std::chrono::microseconds replyLatency,
        size_t sinkAbove = SIZE_MAX);
    void attached(ovn::usb::VirtualUSBBus& bus, uint64_t deviceId) override;
    IOReturn bulkOut(const uint8_t* data, size_t length, uint32_t timeoutMs) override;
    IOReturn bulkIn(std::vector<uint8_t>& out, size_t maxLength, uint32_t timeoutMs) override;
    IOReturn controlRequest(const ovn::usb::IOUSBDevRequestTO& setup, std::vector<uint8_t>& in) override;

    size_t sunkFrames() const;
    size_t sunkBytes() const;

private:
    std::shared_ptr<ovn::sim::OvnPrinterEmulator> emulator_;
    std::chrono::microseconds latency_;
    size_t sinkAbove_;
    mutable std::mutex mutex_;
    size_t sunkFrames_ = 0;
    size_t sunkBytes_ = 0;
};

// The process's virtual bus, installed as its USB provider, with every arriving interface recorded.
class Bus {
public:
    static Bus& shared();
    struct Plugged {
        uint64_t deviceId = 0;
        ovn::usb::IOServicePtr service;
        ovn::usb::IOUSBInterfaceInterfacePtr interface;
    };
    // Plugs the device and waits until its interface has arrived (draining the main queue).
    std::optional<Plugged> plugAndWait(const ovn::usb::VirtualDeviceDescription& description,
                                       std::shared_ptr<ovn::usb::VirtualDeviceHandler> handler,
                                       std::chrono::milliseconds timeout = std::chrono::seconds(10));
    std::shared_ptr<ovn::usb::VirtualUSBBus> bus;

private:
    Bus();
    std::mutex mutex_;
    std::vector<ovn::usb::IOServicePtr> arrived_;
    ovn::usb::IONotificationPortPtr port_;
    ovn::usb::IONotificationPtr matching_;
    ovn::usb::IOIteratorPtr iterator_;
};

// Answers alerts by their title: the listed titles get the given response, all others the first button.
// Records every title.
class Presenter : public ovn::AlertPresenter {
public:
    void answer(const std::string& titlePrefix, long response);
    void present(const ovn::AlertRequest& request, std::function<void(long)> completion) override;
    std::vector<std::string> titles() const;
    bool sawTitleStartingWith(const std::string& prefix) const;

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, long>> answers_;
    std::vector<std::string> titles_;
};

}  // namespace bench
