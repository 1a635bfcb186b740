// A scripted stand-in for the USB service layer: every call is recorded (in order, with its arguments), each
// result can be scripted, and the test delivers interest messages itself. Plus queue and log helpers.
#pragma once

#include <array>
#include <atomic>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Classes/ZVUSBPrinter.h"
#include "platform/SystemLog.h"
#include "usb/USBServices.h"

namespace fake {

using namespace ovn::usb;

// A thread-safe list of texts.
class Trace {
public:
    void add(const std::string& event) {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(event);
    }
    std::vector<std::string> events() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    size_t size() const { return events().size(); }
    void clearEvents() {
        std::lock_guard<std::mutex> lock(mutex_);
        events_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> events_;
};

// The calls made on one device, as "Name args" entries.
class CallLog : private Trace {
public:
    void add(const std::string& entry) { Trace::add(entry); }
    std::vector<std::string> entries() const { return events(); }
    std::vector<std::string> matching(const std::string& prefix) const;  // entries starting with the prefix
    size_t count(const std::string& prefix) const { return matching(prefix).size(); }
    void clear() { clearEvents(); }
};

class FakeDeviceInterface;

class FakeService : public IOService {
public:
    FakeService(std::string className, std::shared_ptr<CallLog> log);
    uint32_t handle() const override { return handle_; }
    std::string className() const override { return className_; }

    std::shared_ptr<CallLog> log;
    // Device services: what CreateDeviceInterface answers.
    std::weak_ptr<FakeDeviceInterface> device;
    IOReturn createResult = kIOReturnSuccess;
    bool pluginFails = false;

private:
    uint32_t handle_;
    std::string className_;
};

class FakeDeviceInterface : public IOUSBDeviceInterface {
public:
    explicit FakeDeviceInterface(std::shared_ptr<CallLog> log) : log_(std::move(log)) {}
    IOReturn USBDeviceOpen() override { return logged("USBDeviceOpen", openResult); }
    IOReturn USBDeviceClose() override { return logged("USBDeviceClose", closeResult); }
#define FAKE_INDEX(Name, field) \
    IOReturn Name(uint8_t* out) override { return index(#Name, field, out); }
    FAKE_INDEX(USBGetManufacturerStringIndex, iManufacturer)
    FAKE_INDEX(USBGetProductStringIndex, iProduct)
    FAKE_INDEX(USBGetSerialNumberStringIndex, iSerialNumber)
#undef FAKE_INDEX
    IOReturn ResetDevice() override { return logged("ResetDevice", resetResult); }
    IOReturn USBDeviceReEnumerate(uint32_t options) override {
        return logged("USBDeviceReEnumerate " + std::to_string(options), reEnumerateResult);
    }

    uint8_t iManufacturer = 1, iProduct = 2, iSerialNumber = 3;
    IOReturn indexResult = kIOReturnSuccess;
    IOReturn openResult = kIOReturnSuccess, closeResult = kIOReturnSuccess;
    IOReturn resetResult = kIOReturnSuccess, reEnumerateResult = kIOReturnSuccess;

private:
    IOReturn logged(const std::string& call, IOReturn result) {
        log_->add(call);
        return result;
    }
    IOReturn index(const char* call, uint8_t value, uint8_t* out) {
        if (indexResult == kIOReturnSuccess) *out = value;
        return logged(call, indexResult);
    }
    std::shared_ptr<CallLog> log_;
};

struct ControlReply {
    IOReturn result = kIOReturnSuccess;
    std::vector<uint8_t> data;
};

struct PipeInfo {
    uint8_t direction = kUSBOut;
    uint8_t transferType = kUSBBulk;
    IOReturn result = kIOReturnSuccess;
};

class FakeInterface : public IOUSBInterfaceInterface {
public:
    explicit FakeInterface(std::shared_ptr<CallLog> log) : log_(std::move(log)) {}

    IOReturn USBInterfaceOpenSeize() override;
    IOReturn USBInterfaceClose() override;
#define FAKE_GETTER(Name, Type, field) \
    IOReturn Name(Type* out) override { return get(#Name, field, out); }
    FAKE_GETTER(GetInterfaceClass, uint8_t, 7)
    FAKE_GETTER(GetInterfaceSubClass, uint8_t, 1)
    FAKE_GETTER(GetInterfaceProtocol, uint8_t, 2)
    FAKE_GETTER(GetInterfaceNumber, uint8_t, interfaceNumber)
    FAKE_GETTER(GetAlternateSetting, uint8_t, alternate)
    FAKE_GETTER(GetConfigurationValue, uint8_t, configuration)
    FAKE_GETTER(GetDeviceVendor, uint16_t, vendor)
    FAKE_GETTER(GetDeviceProduct, uint16_t, product)
    FAKE_GETTER(GetDeviceReleaseNumber, uint16_t, release)
    FAKE_GETTER(GetLocationID, uint32_t, location)
#undef FAKE_GETTER
    IOReturn GetNumEndpoints(uint8_t* count) override;
    IOReturn GetPipeProperties(uint8_t pipeRef, uint8_t* direction, uint8_t* number, uint8_t* transferType,
                               uint16_t* maxPacketSize, uint8_t* interval) override;
    // Bulk transfers are logged; a write succeeds, a read times out.
    IOReturn WritePipeTO(uint8_t pipe, const void*, uint32_t size, uint32_t noData, uint32_t completion) override {
        return enter(bulk("WritePipeTO", pipe, size, noData, completion));
    }
    IOReturn ReadPipeTO(uint8_t pipe, void*, uint32_t* size, uint32_t noData, uint32_t completion) override {
        IOReturn r = enter(bulk("ReadPipeTO", pipe, *size, noData, completion));
        *size = 0;
        return r ? r : kIOReturnTimeout;
    }
    IOReturn ControlRequestTO(uint8_t pipeRef, IOUSBDevRequestTO* request) override;
    IOServicePtr GetDevice() override;

    // Identity.
    uint16_t vendor = 0x2A72, product = 0x0106, release = 0x0100;
    uint32_t location = 0x14200000;
    uint8_t configuration = 1, interfaceNumber = 0, alternate = 0;
    // Getter failures by name ("GetLocationID", ...).
    std::map<std::string, IOReturn> getterFailures;
    // Open and close: results consumed in order; the default when the list is empty.
    std::deque<IOReturn> openResults;
    IOReturn openResult = kIOReturnSuccess, closeResult = kIOReturnSuccess;
    // Pipes.
    std::vector<PipeInfo> pipes{{kUSBOut, kUSBBulk, kIOReturnSuccess}, {kUSBIn, kUSBBulk, kIOReturnSuccess}};
    IOReturn numEndpointsResult = kIOReturnSuccess;
    // Control requests: the standard descriptors come from these tables, GET_DEVICE_ID from deviceID.
    std::vector<uint8_t> languageDescriptor{4, 3, 0x09, 0x04};
    IOReturn languageResult = kIOReturnSuccess;
    std::map<uint8_t, std::vector<uint8_t>> stringDescriptors;
    std::optional<ControlReply> deviceID;
    std::vector<uint8_t> deviceDescriptor;
    IOReturn resetResult = kIOReturnSuccess;
    // Overrides every control request when set.
    std::function<ControlReply(const IOUSBDevRequestTO&)> controlHandler;
    // Called after each control request has been answered (for example to make the device vanish).
    std::function<void(const IOUSBDevRequestTO&)> afterControl;

    std::weak_ptr<FakeService> deviceService;
    // The device has gone: every call answers kIOReturnNoDevice and GetDevice answers nothing.
    std::atomic<bool> vanished{false};

    // The control requests the printer sent.
    std::vector<IOUSBDevRequestTO> requests() const;
    void clearRequests();

private:
    // Logs the call; the vanished device and scripted failures answer before anything is done.
    IOReturn enter(const std::string& call);
    static std::string bulk(const char* call, uint8_t pipe, uint32_t size, uint32_t noData, uint32_t completion) {
        return std::string(call) + " " + std::to_string(pipe) + " " + std::to_string(size) + " " +
               std::to_string(noData) + "/" + std::to_string(completion);
    }
    template <class T, class V>
    IOReturn get(const char* name, V value, T* out) {
        IOReturn r = enter(name);
        if (r == kIOReturnSuccess) {
            auto it = getterFailures.find(name);
            r = it == getterFailures.end() ? kIOReturnSuccess : it->second;
        }
        if (r == kIOReturnSuccess) *out = static_cast<T>(value);
        return r;
    }
    std::shared_ptr<CallLog> log_;
    mutable std::mutex mutex_;
    std::vector<IOUSBDevRequestTO> requests_;
};

class FakeNotification : public IONotification {
public:
    IOReturn IOObjectRelease() override {
        if (honourRelease.load()) active.store(false);
        return releaseResult;
    }
    std::atomic<bool> active{true};
    std::atomic<bool> honourRelease{true};
    IOReturn releaseResult = kIOReturnSuccess;
};

class FakeUSBServices : public USBServices {
public:
    IONotificationPortPtr IONotificationPortCreate() override;
    IOReturn IOServiceAddMatchingNotification(const IONotificationPortPtr&, const std::string&, const MatchingDict&,
                                              IOServiceMatchingCallback, IOIteratorPtr*, IONotificationPtr*) override {
        return kIOReturnError;
    }
    IOReturn IOServiceAddInterestNotification(const IONotificationPortPtr& port, const IOServicePtr& service,
                                              const std::string& interestType, IOServiceInterestCallback callback,
                                              IONotificationPtr* notification) override;
    IOReturn CreateInterfaceInterface(const IOServicePtr&, IOUSBInterfaceInterfacePtr*, bool*) override {
        return kIOReturnError;
    }
    IOReturn CreateDeviceInterface(const IOServicePtr& deviceService, IOUSBDeviceInterfacePtr* out,
                                   bool* pluginFailed) override;

    // Delivers an interest message to every live registration on the service (call on the main queue).
    void deliver(const IOServicePtr& service, uint32_t messageType);
    // The registrations made on the service, live or released.
    std::vector<std::shared_ptr<FakeNotification>> registrations(const IOServicePtr& service) const;

    std::atomic<int> portsCreated{0};

private:
    struct Registration {
        IOServicePtr service;
        IOServiceInterestCallback callback;
        std::shared_ptr<FakeNotification> notification;
    };
    mutable std::mutex mutex_;
    std::vector<Registration> registrations_;
};

// The fake installed as USBServices::shared() for the whole test program; syslog is off.
std::shared_ptr<FakeUSBServices> services();

// One attached printer: interface and device services, both handles and their shared call log.
struct FakePrinter {
    std::shared_ptr<CallLog> log = std::make_shared<CallLog>();
    std::shared_ptr<FakeService> interfaceService;
    std::shared_ptr<FakeService> deviceService;
    std::shared_ptr<FakeInterface> interface;
    std::shared_ptr<FakeDeviceInterface> device;

    FakePrinter();
    // Strings at indices 1 (manufacturer), 2 (product) and 3 (serial number), as UTF-16LE descriptors.
    void setStrings(const std::string& manufacturer, const std::string& product, const std::string& serial);
    // A device ID answer: big-endian length field (text length + 2 unless given) and the text.
    void setDeviceID(const std::string& text, std::optional<unsigned> lengthField = std::nullopt);
};

// A control request's type, request, value, index, length and both time-outs, for comparing in one go.
using Ctrl = std::array<unsigned, 7>;
inline Ctrl setupOf(const IOUSBDevRequestTO& r) {
    return {r.bmRequestType, r.bRequest, r.wValue, r.wIndex, r.wLength, r.noDataTimeout, r.completionTimeout};
}

// A UTF-16LE string descriptor for the text.
std::vector<uint8_t> stringDescriptor(const std::u16string& text);

// ---- queue helpers ----

// Runs the block on the main queue, draining it on this thread until the block has run.
void onMain(const std::function<void()>& block);
// Waits (draining the main queue) until the printer's command queue and the main queue are both idle.
void waitForCommandQueue(const std::shared_ptr<ZVUSBPrinter>& printer);
// Drains the main queue until the predicate holds (at most 5 s).
bool runMainUntil(const std::function<bool()>& done);

template <class T = ZVUSBPrinter>
std::shared_ptr<T> makePrinter(const FakePrinter& device) {
    services();
    std::shared_ptr<T> printer;
    onMain([&] { printer = ZVUSBPrinter::create<T>(device.interface, device.interfaceService); });
    return printer;
}

// Holds a printer's command queue (a block waiting on it) until opened or destroyed.
class Gate {
public:
    explicit Gate(const std::shared_ptr<ZVUSBPrinter>& printer) {
        printer->printerCommandQueue()->async([future = promise_->get_future().share()] { future.wait(); });
    }
    ~Gate() { open(); }
    void open() {
        if (!opened_) promise_->set_value();
        opened_ = true;
    }

private:
    std::shared_ptr<std::promise<void>> promise_ = std::make_shared<std::promise<void>>();
    bool opened_ = false;
};

// Captures log lines of both channels while alive.
class LogCapture {
public:
    LogCapture();
    ~LogCapture() { ovn::SystemLog::setCapture(nullptr); }
    std::vector<std::string> lines(ovn::LogChannel channel) const;
    bool has(ovn::LogChannel channel, const std::string& line) const;
    bool hasSys(const std::string& line) const { return has(ovn::LogChannel::System, line); }
    bool hasErr(const std::string& line) const { return has(ovn::LogChannel::StdErr, line); }
    size_t countContaining(const std::string& fragment) const;

private:
    // Shared with the capture sink, which may still be running on another thread after this is destroyed.
    struct State {
        std::mutex mutex;
        std::vector<std::pair<ovn::LogChannel, std::string>> lines;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace fake
