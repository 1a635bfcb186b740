// Test rig of the vendor printer: one virtual USB bus for the whole program, an emulated printer behind a tap
// that records every bulk OUT transfer byte for byte (and can answer a read with scripted bytes instead of the
// printer), a printer object that records the firmware-workflow calls it makes, a scripted alert presenter
// and a capture of the diagnostic log.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Classes/ZVPrinters.h"
#include "Classes/ZVUSBPrinterOVN.h"
#include "platform/Alerts.h"
#include "platform/DispatchQueue.h"
#include "platform/SystemLog.h"
#include "sim/OvnPrinterEmulator.h"
#include "support/QELMOR_Log.h"
#include "usb/VirtualUSBBus.h"

namespace ovntest {

using Bytes = std::vector<uint8_t>;
using Texts = std::vector<std::string>;

inline Bytes bytesOf(std::string_view s) { return {s.begin(), s.end()}; }

// The frame as the wire layout puts it: ESC 'P', category (6), subcommand padded to 16, the length field as
// eight digits (or blanks without payload), the payload.
inline Bytes expectedFrame(std::string_view category, std::string_view subcommand, const Bytes& payload = {}) {
    std::string sub(subcommand);
    sub.resize(16, ' ');
    char length[16];
    std::snprintf(length, sizeof length, "%08zu", payload.size());
    Bytes f = bytesOf("\x1bP" + std::string(category) + sub + (payload.empty() ? std::string(8, ' ') : length));
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

// Runs the main queue on the test thread until the predicate holds.
inline bool pumpUntil(const std::function<bool()>& done, int ms = 5000) {
    return ovn::MainRunLoop::runUntil(done, std::chrono::milliseconds(ms));
}
inline void pumpFor(int ms) { ovn::MainRunLoop::runFor(std::chrono::milliseconds(ms)); }

// Runs the block as a main-queue block (where the printer's main-thread rules hold) and waits for it.
inline void onMain(const std::function<void()>& block) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    ovn::DispatchQueue::main()->async([block, done] {
        block();
        done->store(true);
    });
    pumpUntil([done] { return done->load(); });
}

// A value behind a lock of its own: `with` runs a function on it while holding the lock.
template <class T>
class Guarded {
public:
    template <class F>
    auto with(F&& f) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return f(value_);
    }
    T get() const { return with([](const T& v) { return v; }); }

private:
    mutable std::mutex mutex_;
    mutable T value_{};
};

// ---------------------------------------------------------------------------------------------------------

class LogCapture {
public:
    static LogCapture& shared() {
        static LogCapture* capture = new LogCapture();
        return *capture;
    }
    void clear() { lines_.with([](Texts& l) { l.clear(); }); }
    Texts lines() const { return lines_.get(); }
    size_t count(const std::string& text) const {
        auto has = [&](const std::string& line) { return line.find(text) != std::string::npos; };
        return lines_.with([&](const Texts& l) { return static_cast<size_t>(std::count_if(l.begin(), l.end(), has)); });
    }
    bool contains(const std::string& text) const { return count(text) > 0; }
    void add(const std::string& line) { lines_.with([&](Texts& l) { l.push_back(line); }); }

private:
    Guarded<Texts> lines_;
};

// Answers alerts as scripted (the first button when the script runs out) and records them.
class ScriptedPresenter : public ovn::AlertPresenter {
public:
    void present(const ovn::AlertRequest& request, std::function<void(long)> completion) override {
        long response = ovn::kAlertFirstButtonReturn;
        {
            std::lock_guard<std::mutex> lock(mutex);
            requests.push_back(request);
            onMainQueue.push_back(ZVUSBPrinter::isMainQueue());
            if (!responses.empty()) response = responses.front(), responses.pop_front();
        }
        completion(response);
    }
    std::vector<ovn::AlertRequest> shown() {
        std::lock_guard<std::mutex> lock(mutex);
        return requests;
    }
    std::mutex mutex;
    std::deque<long> responses;
    std::vector<ovn::AlertRequest> requests;
    std::vector<bool> onMainQueue;
};

// The vendor printer with the firmware-workflow steps it hands over to recorded instead of run.
class RecordingPrinter : public ZVUSBPrinterOVN {
public:
    void uploadFirmware() override { record("uploadFirmware"); }
    void finishFirmwareUpdate() override { record("finishFirmwareUpdate"); }
    void deleteExistingPrinterQueues() override { record("deleteExistingPrinterQueues"); }
    void showPowerCycleAlert() override { record("showPowerCycleAlert"); }
    void showPrinterBusyAlert() override { record("showPrinterBusyAlert"); }
    void errorWithString(const std::string& text, long code) override {
        errors_.with([&](Texts& e) { e.push_back(text + "/" + std::to_string(code)); });
    }
    Texts events() const { return events_.get(); }
    Texts errors() const { return errors_.get(); }
    size_t eventCount(const std::string& name) const {
        return events_.with([&](const Texts& e) { return static_cast<size_t>(std::count(e.begin(), e.end(), name)); });
    }

private:
    void record(const std::string& name) { events_.with([&](Texts& e) { e.push_back(name); }); }
    Guarded<Texts> events_, errors_;
};

// Sits between the bus and the emulator: records every bulk OUT transfer; can hold a bulk IN read until
// released, and can answer the next query with scripted reads instead of the printer.
class Tap : public ovn::usb::VirtualDeviceHandler {
public:
    struct Read {
        IOReturn status = kIOReturnSuccess;
        Bytes bytes;
    };

    explicit Tap(std::shared_ptr<ovn::sim::OvnPrinterEmulator> emulator) : emulator_(std::move(emulator)) {}

    void attached(ovn::usb::VirtualUSBBus& bus, uint64_t deviceId) override { emulator_->attached(bus, deviceId); }

    IOReturn bulkOut(const uint8_t* data, size_t length, uint32_t timeoutMs) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            written_.emplace_back(data, data + length);
            if (std::exchange(swallowNextFrame_, false)) return kIOReturnSuccess;
        }
        return emulator_->bulkOut(data, length, timeoutMs);
    }

    IOReturn bulkIn(Bytes& out, size_t maxLength, uint32_t timeoutMs) override {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            ++reads_;
            if (holdReads_) {
                holding_ = true;
                cv_.notify_all();
                cv_.wait(lock, [this] { return !holdReads_; });
                holding_ = false;
            }
            if (!script_.empty()) {
                Read r = script_.front();
                script_.pop_front();
                out.assign(r.bytes.begin(), r.bytes.begin() + long(std::min(maxLength, r.bytes.size())));
                asked_.push_back(maxLength);
                return r.status;
            }
        }
        return emulator_->bulkIn(out, maxLength, timeoutMs);
    }

    IOReturn controlRequest(const ovn::usb::IOUSBDevRequestTO& setup, Bytes& in) override {
        return emulator_->controlRequest(setup, in);
    }

    // The next frame does not reach the printer; the reads that follow get these answers, in order.
    void scriptNextReply(std::vector<Read> reads) {
        locked([&] {
            swallowNextFrame_ = true;
            script_.assign(reads.begin(), reads.end());
            asked_.clear();
        });
    }
    std::vector<size_t> scriptedReadSizes() const { return locked([&] { return asked_; }); }
    void holdReads(bool hold) {
        locked([&] {
            holdReads_ = hold;
            cv_.notify_all();
        });
    }
    bool isHolding() const { return locked([&] { return holding_; }); }
    std::vector<Bytes> written() const { return locked([&] { return written_; }); }
    size_t writtenCount() const { return locked([&] { return written_.size(); }); }
    void clearWritten() { locked([&] { written_.clear(); }); }
    int reads() const { return locked([&] { return reads_; }); }

private:
    template <class F>
    auto locked(F&& f) const -> decltype(f()) {
        std::lock_guard<std::mutex> lock(mutex_);
        return f();
    }
    std::shared_ptr<ovn::sim::OvnPrinterEmulator> emulator_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Bytes> written_;
    std::deque<Read> script_;
    std::vector<size_t> asked_;
    bool swallowNextFrame_ = false, holdReads_ = false, holding_ = false;
    int reads_ = 0;
};

// ---------------------------------------------------------------------------------------------------------

// The program's one bus (the printers' shared notification port belongs to the first USB provider).
class TestBus {
public:
    static TestBus& shared() {
        static TestBus* bus = new TestBus();
        return *bus;
    }
    std::shared_ptr<ovn::usb::VirtualUSBBus> bus;
    ovn::usb::IONotificationPortPtr port;
    ovn::usb::IONotificationPtr matching;
    ovn::usb::IOIteratorPtr iterator;
    std::mutex mutex;
    std::vector<ovn::usb::IOServicePtr> arrived;

    uint32_t nextLocation() { return 0x14100000u + (++locations_ << 16); }

private:
    TestBus() {
        ovn::SystemLog::setUseSyslog(false);
        ovn::SystemLog::setMirrorToStdErr(false);
        ovn::SystemLog::setCapture([](ovn::LogChannel, const std::string& line) { LogCapture::shared().add(line); });
        QELMOR_Log::setShouldLogToStdErr(false);
        bus = ovn::usb::VirtualUSBBus::create();
        bus->setTimeoutScale(0.01);
        ovn::usb::USBServices::setShared(bus);
        port = ZVPrinters::sharedNotificationPort();
        ovn::usb::MatchingDict match;
        match.bInterfaceClass = 7;
        match.bInterfaceSubClass = 1;
        bus->IOServiceAddMatchingNotification(
            port, ovn::usb::kIOMatchedNotification, match, [this](const ovn::usb::IOIteratorPtr& it) { drain(it); },
            &iterator, &matching);
        drain(iterator);
    }
    void drain(const ovn::usb::IOIteratorPtr& it) {
        while (auto s = it ? it->IOIteratorNext() : nullptr) {
            std::lock_guard<std::mutex> lock(mutex);
            arrived.push_back(s);
        }
    }
    uint32_t locations_ = 0;
};

struct RigOptions {
    ovn::sim::PrinterModel model = ovn::sim::PrinterModel::PL25D;
    std::optional<std::string> firmware;
    std::string rawStatus = "00000";
    bool iSerial = false;
    std::optional<uint32_t> lifetime;
    std::vector<ovn::sim::FaultRule> faults;

    static RigOptions of(ovn::sim::PrinterModel m) {
        RigOptions o;
        o.model = m;
        return o;
    }
    RigOptions& fw(const std::string& v) { return firmware = v, *this; }
    RigOptions& status(const std::string& v) { return rawStatus = v, *this; }
    RigOptions& serialSetting(bool v) { return iSerial = v, *this; }
    RigOptions& life(uint32_t v) { return lifetime = v, *this; }
    RigOptions& fault(ovn::sim::Fault f, std::optional<ovn::sim::DeviceCommand> c, uint32_t count = 1) {
        ovn::sim::FaultRule r;
        r.fault = f;
        r.command = c;
        r.count = count;
        faults.push_back(r);
        return *this;
    }
};

// One emulated printer on the bus and, once create() ran, the printer object for it.
class PrinterRig {
public:
    explicit PrinterRig(const RigOptions& options = {}) {
        auto& tb = TestBus::shared();
        LogCapture::shared().clear();
        presenter = std::make_shared<ScriptedPresenter>();
        ovn::AlertPresenter::setShared(presenter);

        ovn::sim::EmulatorConfig config;
        config.model = options.model;
        config.firmwareVersion = options.firmware;
        config.rawStatus = options.rawStatus;
        config.iSerial = options.iSerial;
        config.lifetimeCounter = options.lifetime;
        config.faults = options.faults;
        config.locationId = location = tb.nextLocation();
        config.restartDelayMs = 50;
        emulator = ovn::sim::OvnPrinterEmulator::create(config);
        tap = std::make_shared<Tap>(emulator);
        productID = emulator->productId();
        char key[32];
        std::snprintf(key, sizeof key, "%.4X%.4X%.8X", emulator->vendorId(), productID, location);
        usbKey = key;

        deviceId = tb.bus->plug(emulator->description(), tap);
        // The arrival comes on the main queue; find this device's interface among the arrivals.
        pumpUntil([&] {
            std::lock_guard<std::mutex> lock(tb.mutex);
            for (const auto& s : tb.arrived) {
                ovn::usb::IOUSBInterfaceInterfacePtr candidate;
                bool pluginFailed = false;
                uint32_t loc = 0;
                if (s && s->className() == "IOUSBInterface" &&
                    tb.bus->CreateInterfaceInterface(s, &candidate, &pluginFailed) == kIOReturnSuccess && candidate &&
                    candidate->GetLocationID(&loc) == kIOReturnSuccess && loc == location) {
                    service = s;
                    interface = candidate;
                    return true;
                }
            }
            return false;
        });
    }

    ~PrinterRig() {
        if (printer) onMain([this] { printer->prepareForRelease(); });
        TestBus::shared().bus->unplug(deviceId);
        if (printer) settle();
        pumpFor(5);
    }

    // Makes the printer object the way the registry does (on the main thread), then lets its set-up run.
    std::shared_ptr<RecordingPrinter> create(bool waitForSettle = true) {
        EXPECT_TRUE(interface) << "the printer's interface did not arrive";
        onMain([this] { printer = ZVUSBPrinter::create<RecordingPrinter>(interface, service); });
        EXPECT_TRUE(printer);
        if (printer && waitForSettle) settle();
        return printer;
    }

    // Waits until the command queue and the main queue have nothing left to do.
    void settle(int ms = 8000) {
        auto queue = printer ? printer->printerCommandQueue() : nullptr;
        auto idle = [&] {
            return (!queue || queue->pendingCount() == 0) && ovn::DispatchQueue::main()->pendingCount() == 0;
        };
        for (int stable = 0; stable < 3;) {
            ASSERT_TRUE(pumpUntil(idle, ms)) << "the printer did not settle";
            pumpFor(2);
            stable = idle() ? stable + 1 : 0;
        }
    }

    // Whether this program has the printer's interface open; another program taking or freeing it.
    bool hostHolds() const { return TestBus::shared().bus->isOpenByHost(deviceId); }
    void holdByOther(bool held) {
        TestBus::shared().bus->setHeldByOtherApplication(deviceId, held);
        settle();
    }
    // Runs the block on the main queue, then waits for what it set going.
    void act(const std::function<void()>& block) {
        onMain(block);
        settle();
    }
    // The commands the printer received, as the emulator names them ("INFO FVER").
    Texts commands() const {
        Texts names;
        for (const auto& f : emulator->frames()) names.push_back(f.malformed ? "MALFORMED: " + f.error : f.commandName);
        return names;
    }
    void clearFrames() {
        emulator->clearFrameLog();
        tap->clearWritten();
    }

    std::shared_ptr<ovn::sim::OvnPrinterEmulator> emulator;
    std::shared_ptr<Tap> tap;
    std::shared_ptr<ScriptedPresenter> presenter;
    std::shared_ptr<RecordingPrinter> printer;
    uint64_t deviceId = 0;
    uint32_t location = 0;
    uint16_t productID = 0;
    std::string usbKey;
    ovn::usb::IOServicePtr service;
    ovn::usb::IOUSBInterfaceInterfacePtr interface;
};

// Expects every text in some captured log line.
inline void expectLogged(std::initializer_list<std::string> texts) {
    for (const auto& t : texts) EXPECT_TRUE(LogCapture::shared().contains(t)) << "not logged: " << t;
}

// Text of a dictionary-backed property (nothing when absent).
inline std::optional<std::string> textValue(const ZVUSBPrinterOVN& p, const std::string& key) {
    return ovn::valueAsString(p.valueForKey(key));
}

// Records the announcements of some keys: the key, whether it came on the main queue, and the value then.
class Announcements {
public:
    struct Seen {
        std::string key;
        bool onMain;
        std::string value;
    };
    Announcements(ZVUSBPrinterOVN& printer, const Texts& keys) {
        for (const auto& key : keys)
            tokens_.push_back(printer.observe(key, [this, &printer](const std::string& k, const ovn::KeyValueChange&) {
                Seen s{k, ZVUSBPrinter::isMainQueue(), ovn::describeValue(printer.valueForKey(k))};
                seen_.with([&](std::vector<Seen>& all) { all.push_back(s); });
            }));
    }
    std::vector<Seen> seen() const { return seen_.get(); }
    Texts valuesOf(const std::string& key) const {
        Texts v;
        for (const auto& s : seen())
            if (s.key == key) v.push_back(s.value);
        return v;
    }

private:
    Guarded<std::vector<Seen>> seen_;
    std::vector<ovn::ObservationToken> tokens_;
};

}  // namespace ovntest
