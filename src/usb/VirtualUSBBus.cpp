#include "usb/VirtualUSBBus.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "platform/DispatchQueue.h"
#include "usb/Notifications.h"
#include "usb/UsbTrace.h"

namespace ovn::usb {

namespace {

constexpr uint8_t kGetStatus = 0;
constexpr uint8_t kGetDescriptor = 6;
constexpr uint8_t kGetConfiguration = 8;
constexpr uint8_t kGetInterface = 10;

class VirtualService : public detail::ServiceObject {
public:
    VirtualService(std::string className, uint8_t interfaceClass, uint8_t interfaceSubClass, const void* bus,
                   uint64_t deviceId, uint64_t generation)
        : ServiceObject(std::move(className), interfaceClass, interfaceSubClass),
          bus(bus),
          deviceId(deviceId),
          generation(generation) {}
    const void* bus;
    uint64_t deviceId;
    uint64_t generation;
};

// Marks the transfers whose handler runs on this thread, so that a handler removing its own device keeps its
// own result.
struct HandlerScope {
    HandlerScope(const void* bus, uint64_t deviceId);
    ~HandlerScope();
    const void* bus;
    uint64_t deviceId;
    bool deviceLeft = false;
    HandlerScope* previous;
};
thread_local HandlerScope* tlsHandlerScope = nullptr;

HandlerScope::HandlerScope(const void* b, uint64_t id) : bus(b), deviceId(id), previous(tlsHandlerScope) {
    tlsHandlerScope = this;
}
HandlerScope::~HandlerScope() { tlsHandlerScope = previous; }

void appendLE16(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

std::vector<uint8_t> deviceDescriptor(const VirtualDeviceDescription& d) {
    std::vector<uint8_t> out{18, 1};
    appendLE16(out, 0x0200);
    out.insert(out.end(), {0, 0, 0, 64});
    appendLE16(out, d.idVendor);
    appendLE16(out, d.idProduct);
    appendLE16(out, d.bcdDevice);
    out.insert(out.end(), {d.iManufacturer, d.iProduct, d.iSerialNumber, 1});
    return out;
}

std::vector<uint8_t> configurationDescriptor(const VirtualDeviceDescription& d) {
    size_t endpoints = std::min<size_t>(d.endpoints.size(), 30);
    uint16_t total = static_cast<uint16_t>(9 + 9 + 7 * endpoints);
    std::vector<uint8_t> out{9, 2};
    appendLE16(out, total);
    out.insert(out.end(), {1, d.configurationValue, 0, 0xC0, 1});
    out.insert(out.end(), {9, 4, d.interfaceNumber, d.alternateSetting, static_cast<uint8_t>(endpoints),
                           d.interfaceClass, d.interfaceSubClass, d.interfaceProtocol, 0});
    for (size_t i = 0; i < endpoints; ++i) {
        const VirtualEndpoint& e = d.endpoints[i];
        out.insert(out.end(), {7, 5, e.address, e.transferType});
        appendLE16(out, e.maxPacketSize);
        out.push_back(e.interval);
    }
    return out;
}

// Answers a standard request from the description. kIOUSBPipeStalled for what the device does not have.
IOReturn standardRequest(const VirtualDeviceDescription& d, const IOUSBDevRequestTO& request,
                         std::vector<uint8_t>& answer) {
    bool in = (request.bmRequestType & 0x80) != 0;
    switch (request.bRequest) {
        case kGetDescriptor: {
            if (!in) return kIOUSBPipeStalled;
            uint8_t type = static_cast<uint8_t>(request.wValue >> 8);
            uint8_t index = static_cast<uint8_t>(request.wValue & 0xFF);
            if (type == 1) {
                answer = deviceDescriptor(d);
                return kIOReturnSuccess;
            }
            if (type == 2) {
                if (index != 0) return kIOUSBPipeStalled;
                answer = configurationDescriptor(d);
                return kIOReturnSuccess;
            }
            if (type != 3) return kIOUSBPipeStalled;
            auto raw = d.rawStringDescriptors.find(index);
            if (raw != d.rawStringDescriptors.end()) {
                answer = raw->second;
                return kIOReturnSuccess;
            }
            if (index == 0) {
                if (d.languages.empty()) return kIOUSBPipeStalled;
                size_t count = std::min<size_t>(d.languages.size(), 126);
                answer = {static_cast<uint8_t>(2 + 2 * count), 3};
                for (size_t i = 0; i < count; ++i) appendLE16(answer, d.languages[i]);
                return kIOReturnSuccess;
            }
            auto texts = d.strings.find(index);
            if (texts == d.strings.end() || texts->second.empty()) return kIOUSBPipeStalled;
            // Like most devices, answer in the first language the string exists in when the one asked for is not
            // there.
            auto text = texts->second.find(request.wIndex);
            if (text == texts->second.end()) text = texts->second.begin();
            size_t units = std::min<size_t>(text->second.size(), 126);
            answer = {static_cast<uint8_t>(2 + 2 * units), 3};
            for (size_t i = 0; i < units; ++i) appendLE16(answer, static_cast<uint16_t>(text->second[i]));
            return kIOReturnSuccess;
        }
        case kGetStatus:
            if (in) answer = {0, 0};
            return kIOReturnSuccess;
        case kGetConfiguration:
            if (in) answer = {d.configurationValue};
            return kIOReturnSuccess;
        case kGetInterface:
            if (in) answer = {d.alternateSetting};
            return kIOReturnSuccess;
        default:
            // SET_CONFIGURATION, SET_INTERFACE, CLEAR_FEATURE and the like: accepted, nothing to answer.
            return kIOReturnSuccess;
    }
}

}  // namespace

void VirtualDeviceDescription::setString(uint8_t index, const std::u16string& text) {
    if (languages.empty()) {
        strings[index][0] = text;
        return;
    }
    for (uint16_t language : languages) strings[index][language] = text;
}

struct VirtualUSBBus::State {
    struct Device {
        uint64_t id = 0;
        VirtualDeviceDescription description;
        std::shared_ptr<VirtualDeviceHandler> handler;
        bool plugged = false;
        uint64_t generation = 0;
        std::shared_ptr<VirtualService> deviceService;
        std::shared_ptr<VirtualService> interfaceService;
        uint64_t interfaceOpenToken = 0;  // the interface handle that has the interface open
        uint64_t deviceOpenToken = 0;     // the device handle that has the device open
        bool heldByOther = false;
        std::vector<InjectedFault> faults;
        std::vector<uint8_t> pendingIn;  // bulk IN bytes not yet delivered
        uint64_t replugTicket = 0;
    };

    mutable std::mutex mutex;
    std::weak_ptr<VirtualUSBBus> self;
    detail::NotificationHub hub;
    std::map<uint64_t, Device> devices;
    uint64_t nextId = 1;
    uint64_t nextToken = 1;
    double timeoutScale = 1.0;
    uint32_t hostReEnumerateDelayMs = 100;
    std::shared_ptr<DispatchQueue> timerQueue = DispatchQueue::createSerial("ovn.usb.virtual-bus");

    // The device when it is plugged and still the given generation.
    Device* present(uint64_t id, uint64_t generation) {
        auto it = devices.find(id);
        if (it == devices.end() || !it->second.plugged || it->second.generation != generation) return nullptr;
        return &it->second;
    }

    uint32_t freeLocation() const {
        auto used = [this](uint32_t location) {
            for (const auto& [id, device] : devices)
                if (device.description.locationID == location) return true;
            return false;
        };
        for (uint32_t first = 1; first <= 15; ++first) {
            uint32_t location = 0x14000000u | (first << 20);
            if (!used(location)) return location;
        }
        for (uint32_t first = 1; first <= 15; ++first)
            for (uint32_t second = 1; second <= 15; ++second) {
                uint32_t location = 0x14000000u | (first << 20) | (second << 16);
                if (!used(location)) return location;
            }
        return 0x14000000u | static_cast<uint32_t>(nextId & 0xFFFF);
    }

    void attachLocked(Device& device) {
        ++device.generation;
        const auto& d = device.description;
        device.deviceService = std::make_shared<VirtualService>("IOUSBDevice", 0, 0, this, device.id, device.generation);
        device.interfaceService = std::make_shared<VirtualService>("IOUSBInterface", d.interfaceClass,
                                                                   d.interfaceSubClass, this, device.id,
                                                                   device.generation);
        device.plugged = true;
        hub.serviceArrived(device.deviceService);
        hub.serviceArrived(device.interfaceService);
    }

    void detachLocked(Device& device) {
        if (!device.plugged) return;
        device.plugged = false;
        device.interfaceOpenToken = 0;
        device.deviceOpenToken = 0;
        device.heldByOther = false;
        device.pendingIn.clear();
        for (HandlerScope* scope = tlsHandlerScope; scope; scope = scope->previous)
            if (scope->bus == this && scope->deviceId == device.id) scope->deviceLeft = true;
        hub.servicesTerminated({device.interfaceService, device.deviceService});
        device.deviceService.reset();
        device.interfaceService.reset();
    }

    std::optional<InjectedFault> takeFault(Device& device, FaultTransfer transfer, bool inDirection) {
        std::optional<InjectedFault> chosen;
        for (auto it = device.faults.begin(); it != device.faults.end();) {
            bool matches = (it->on == FaultTransfer::Any || it->on == transfer) &&
                           (it->kind != FaultKind::ShortRead || inDirection);
            if (!matches) {
                ++it;
                continue;
            }
            if (it->skip > 0) {
                --it->skip;
                ++it;
                continue;
            }
            if (!chosen) {
                chosen = *it;
                if (--it->count == 0) {
                    it = device.faults.erase(it);
                    continue;
                }
            }
            ++it;
        }
        return chosen;
    }

    uint32_t scaled(uint32_t ms) const {
        double value = std::ceil(static_cast<double>(ms) * timeoutScale);
        if (ms > 0 && value < 1) value = 1;
        if (value > 4.0e9) value = 4.0e9;
        return static_cast<uint32_t>(value);
    }

    void replug(VirtualUSBBus& bus, uint64_t id, uint64_t ticket) {
        std::shared_ptr<VirtualDeviceHandler> handler;
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto it = devices.find(id);
            if (it == devices.end() || it->second.plugged || it->second.replugTicket != ticket) return;
            handler = it->second.handler;
        }
        if (handler) handler->attached(bus, id);
        std::lock_guard<std::mutex> lock(mutex);
        auto it = devices.find(id);
        if (it == devices.end() || it->second.plugged || it->second.replugTicket != ticket) return;
        attachLocked(it->second);
    }
};

namespace {

using State = VirtualUSBBus::State;

void sleepMs(uint32_t ms) {
    if (ms) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// What a transfer needs from the bus, taken under the lock.
struct TransferSetup {
    IOReturn result = kIOReturnSuccess;
    std::shared_ptr<VirtualDeviceHandler> handler;
    std::optional<InjectedFault> fault;
    uint32_t timeoutMs = 0;
};

// What the device and interface handles share: the device they were made for and the way to reach it.
class VirtualHandle {
protected:
    VirtualHandle(std::weak_ptr<State> state, uint64_t id, uint64_t generation, uint64_t token,
                  VirtualDeviceDescription description)
        : state_(std::move(state)), id_(id), generation_(generation), token_(token), d_(std::move(description)) {}

    template <typename T>
    static IOReturn give(T* out, T value) {
        if (!out) return kIOReturnBadArgument;
        *out = value;
        return kIOReturnSuccess;
    }

    // Runs fn(device) under the bus lock while this handle's device is present; kIOReturnNoDevice otherwise.
    template <typename Fn>
    IOReturn withDevice(State& state, Fn&& fn) const {
        std::lock_guard<std::mutex> lock(state.mutex);
        auto* device = state.present(id_, generation_);
        if (!device) return kIOReturnNoDevice;
        return fn(*device);
    }

    // The same, also when the bus is gone: runs fn(state, device).
    template <typename Fn>
    IOReturn withDevice(Fn&& fn) const {
        auto state = state_.lock();
        if (!state) return kIOReturnNoDevice;
        return withDevice(*state, [&](State::Device& device) { return fn(*state, device); });
    }

    std::weak_ptr<State> state_;
    uint64_t id_;
    uint64_t generation_;
    uint64_t token_;
    VirtualDeviceDescription d_;
};

class VirtualDevice : public IOUSBDeviceInterface, private VirtualHandle {
public:
    VirtualDevice(std::weak_ptr<State> state, uint64_t id, uint64_t generation, uint64_t token,
                  VirtualDeviceDescription description)
        : VirtualHandle(std::move(state), id, generation, token, std::move(description)) {}

    ~VirtualDevice() override {
        withDevice([this](State&, State::Device& device) {
            if (device.deviceOpenToken == token_) device.deviceOpenToken = 0;
            return kIOReturnSuccess;
        });
    }

    IOReturn USBDeviceOpen() override {
        return withDevice([this](State&, State::Device& device) {
            if (device.deviceOpenToken && device.deviceOpenToken != token_) return kIOReturnExclusiveAccess;
            device.deviceOpenToken = token_;
            return kIOReturnSuccess;
        });
    }

    IOReturn USBDeviceClose() override {
        return withDevice([this](State&, State::Device& device) {
            if (device.deviceOpenToken != token_) return kIOReturnNotOpen;
            device.deviceOpenToken = 0;
            return kIOReturnSuccess;
        });
    }

    IOReturn USBGetManufacturerStringIndex(uint8_t* index) override { return give(index, d_.iManufacturer); }
    IOReturn USBGetProductStringIndex(uint8_t* index) override { return give(index, d_.iProduct); }
    IOReturn USBGetSerialNumberStringIndex(uint8_t* index) override { return give(index, d_.iSerialNumber); }

    IOReturn ResetDevice() override {
        return withDevice([this](State&, State::Device& device) {
            if (device.deviceOpenToken != token_) return kIOReturnNotOpen;
            device.pendingIn.clear();
            return kIOReturnSuccess;
        });
    }

    IOReturn USBDeviceReEnumerate(uint32_t /*options*/) override {
        std::shared_ptr<VirtualUSBBus> bus;
        uint32_t delay = 0;
        IOReturn result = withDevice([&](State& state, State::Device& device) {
            if (device.deviceOpenToken != token_) return kIOReturnNotOpen;
            bus = state.self.lock();
            delay = state.hostReEnumerateDelayMs;
            return kIOReturnSuccess;
        });
        if (result != kIOReturnSuccess) return result;
        if (!bus) return kIOReturnNoDevice;
        bus->reEnumerate(id_, delay);
        return kIOReturnSuccess;
    }
};

class VirtualInterface : public IOUSBInterfaceInterface, private VirtualHandle {
public:
    VirtualInterface(std::weak_ptr<State> state, uint64_t id, uint64_t generation, uint64_t token,
                     VirtualDeviceDescription description)
        : VirtualHandle(std::move(state), id, generation, token, std::move(description)) {}

    // A handle dropped while open closes the interface, as the system does for a client that goes away.
    ~VirtualInterface() override {
        withDevice([this](State& state, State::Device& device) {
            if (device.interfaceOpenToken != token_) return kIOReturnSuccess;
            device.interfaceOpenToken = 0;
            state.hub.interestMessage(device.interfaceService, kIOMessageServiceWasClosed);
            return kIOReturnSuccess;
        });
    }

    IOReturn USBInterfaceOpenSeize() override {
        return withDevice([this](State& state, State::Device& device) {
            state.hub.interestMessage(device.interfaceService, kIOMessageServiceIsAttemptingOpen);
            if (device.heldByOther) return kIOReturnExclusiveAccess;
            if (device.interfaceOpenToken && device.interfaceOpenToken != token_) return kIOReturnExclusiveAccess;
            device.interfaceOpenToken = token_;
            return kIOReturnSuccess;
        });
    }

    IOReturn USBInterfaceClose() override {
        return withDevice([this](State& state, State::Device& device) {
            if (device.interfaceOpenToken != token_) return kIOReturnNotOpen;
            device.interfaceOpenToken = 0;
            state.hub.interestMessage(device.interfaceService, kIOMessageServiceWasClosed);
            return kIOReturnSuccess;
        });
    }

    IOReturn GetInterfaceClass(uint8_t* v) override { return give(v, d_.interfaceClass); }
    IOReturn GetInterfaceSubClass(uint8_t* v) override { return give(v, d_.interfaceSubClass); }
    IOReturn GetInterfaceProtocol(uint8_t* v) override { return give(v, d_.interfaceProtocol); }
    IOReturn GetInterfaceNumber(uint8_t* v) override { return give(v, d_.interfaceNumber); }
    IOReturn GetAlternateSetting(uint8_t* v) override { return give(v, d_.alternateSetting); }
    IOReturn GetConfigurationValue(uint8_t* v) override { return give(v, d_.configurationValue); }
    IOReturn GetDeviceVendor(uint16_t* v) override { return give(v, d_.idVendor); }
    IOReturn GetDeviceProduct(uint16_t* v) override { return give(v, d_.idProduct); }
    IOReturn GetDeviceReleaseNumber(uint16_t* v) override { return give(v, d_.bcdDevice); }
    IOReturn GetLocationID(uint32_t* v) override { return give(v, d_.locationID); }

    IOReturn GetNumEndpoints(uint8_t* count) override {
        if (!count) return kIOReturnBadArgument;
        IOReturn open = checkOpen();
        if (open != kIOReturnSuccess) return open;
        *count = static_cast<uint8_t>(std::min<size_t>(d_.endpoints.size(), 30));
        return kIOReturnSuccess;
    }

    IOReturn GetPipeProperties(uint8_t pipeRef, uint8_t* direction, uint8_t* number, uint8_t* transferType,
                               uint16_t* maxPacketSize, uint8_t* interval) override {
        IOReturn open = checkOpen();
        if (open != kIOReturnSuccess) return open;
        detail::PipeProperties pipe;
        pipe.maxPacketSize = 64;
        if (pipeRef != 0) {
            if (pipeRef > std::min<size_t>(d_.endpoints.size(), 30)) return kIOUSBUnknownPipeErr;
            pipe = detail::PipeProperties::of(d_.endpoints[pipeRef - 1]);
        }
        return pipe.give(direction, number, transferType, maxPacketSize, interval);
    }

    IOReturn WritePipeTO(uint8_t pipeRef, const void* buf, uint32_t size, uint32_t noDataTimeout,
                         uint32_t completionTimeout) override {
        size_t moved = 0;
        IOReturn result = write(pipeRef, buf, size, noDataTimeout, completionTimeout, &moved);
        UsbTrace::record(d_.idVendor, d_.idProduct, d_.locationID, UsbTrace::Direction::Out, UsbTrace::Transfer::Bulk,
                         buf, moved, result);
        return result;
    }

    IOReturn ReadPipeTO(uint8_t pipeRef, void* buf, uint32_t* size, uint32_t noDataTimeout,
                        uint32_t completionTimeout) override {
        if (!size) return kIOReturnBadArgument;
        uint32_t maxLength = *size;
        *size = 0;
        IOReturn result = read(pipeRef, buf, maxLength, noDataTimeout, completionTimeout, size);
        UsbTrace::record(d_.idVendor, d_.idProduct, d_.locationID, UsbTrace::Direction::In, UsbTrace::Transfer::Bulk,
                         buf, *size, result);
        return result;
    }

    IOReturn ControlRequestTO(uint8_t pipeRef, IOUSBDevRequestTO* request) override {
        if (!request) return kIOReturnBadArgument;
        request->wLenDone = 0;
        IOReturn result = control(pipeRef, *request);
        detail::traceControlRequest(d_.idVendor, d_.idProduct, d_.locationID, *request, result);
        return result;
    }

    IOServicePtr GetDevice() override {
        IOServicePtr service;
        withDevice([&](State&, State::Device& device) {
            service = device.deviceService;
            return kIOReturnSuccess;
        });
        return service;
    }

private:
    IOReturn checkOpen() {
        return withDevice([this](State&, State::Device& device) {
            return device.interfaceOpenToken == token_ ? kIOReturnSuccess : kIOReturnNotOpen;
        });
    }

    // Validates a bulk transfer on pipeRef and takes its fault, under the lock.
    TransferSetup prepareBulk(State& state, uint8_t pipeRef, bool in, uint32_t noDataTimeout,
                              uint32_t completionTimeout) {
        TransferSetup setup;
        setup.result = withDevice(state, [&](State::Device& device) {
            if (device.interfaceOpenToken != token_) return kIOReturnNotOpen;
            if (pipeRef == 0 || pipeRef > std::min<size_t>(d_.endpoints.size(), 30)) return kIOUSBUnknownPipeErr;
            const VirtualEndpoint& e = d_.endpoints[pipeRef - 1];
            bool endpointIn = (e.address & 0x80) != 0;
            if (endpointIn != in || (e.transferType != kUSBBulk && e.transferType != kUSBInterrupt))
                return kIOReturnBadArgument;
            setup.fault = state.takeFault(device, in ? FaultTransfer::BulkIn : FaultTransfer::BulkOut, in);
            setup.handler = device.handler;
            setup.timeoutMs = state.scaled(completionTimeout ? completionTimeout : noDataTimeout);
            return kIOReturnSuccess;
        });
        return setup;
    }

    // Applies a Timeout, Stall or Vanish fault. Returns false for ShortRead (the transfer goes on).
    bool applyFault(State& state, const InjectedFault& fault, uint32_t timeoutMs, IOReturn* result) {
        switch (fault.kind) {
            case FaultKind::Timeout:
                sleepMs(timeoutMs);
                *result = kIOReturnTimeout;
                return true;
            case FaultKind::Stall:
                *result = kIOUSBPipeStalled;
                return true;
            case FaultKind::Vanish:
                if (auto bus = state.self.lock()) bus->unplug(id_);
                *result = kIOReturnNoDevice;
                return true;
            case FaultKind::ShortRead:
                return false;
        }
        return false;
    }

    // After the handler ran: a device removed meanwhile by anyone but the handler ends the transfer.
    bool stillThere(State& state, const HandlerScope& scope) {
        if (scope.deviceLeft) return true;
        std::lock_guard<std::mutex> lock(state.mutex);
        return state.present(id_, generation_) != nullptr;
    }

    IOReturn write(uint8_t pipeRef, const void* buf, uint32_t size, uint32_t noDataTimeout,
                   uint32_t completionTimeout, size_t* moved) {
        auto state = state_.lock();
        if (!state) return kIOReturnNoDevice;
        if (!buf && size) return kIOReturnBadArgument;
        TransferSetup setup = prepareBulk(*state, pipeRef, false, noDataTimeout, completionTimeout);
        if (setup.result != kIOReturnSuccess) return setup.result;
        IOReturn result = kIOReturnSuccess;
        if (setup.fault && applyFault(*state, *setup.fault, setup.timeoutMs, &result)) return result;
        if (!setup.handler) return kIOReturnNotResponding;
        HandlerScope scope(state.get(), id_);
        result = setup.handler->bulkOut(static_cast<const uint8_t*>(buf), size, setup.timeoutMs);
        if (!stillThere(*state, scope)) return kIOReturnNoDevice;
        if (result == kIOReturnSuccess) *moved = size;
        return result;
    }

    IOReturn read(uint8_t pipeRef, void* buf, uint32_t maxLength, uint32_t noDataTimeout, uint32_t completionTimeout,
                  uint32_t* received) {
        auto state = state_.lock();
        if (!state) return kIOReturnNoDevice;
        if (!buf && maxLength) return kIOReturnBadArgument;
        TransferSetup setup = prepareBulk(*state, pipeRef, true, noDataTimeout, completionTimeout);
        if (setup.result != kIOReturnSuccess) return setup.result;
        IOReturn result = kIOReturnSuccess;
        if (setup.fault && applyFault(*state, *setup.fault, setup.timeoutMs, &result)) return result;

        std::vector<uint8_t> data;
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            if (auto* device = state->present(id_, generation_)) data.swap(device->pendingIn);
        }
        if (data.empty()) {
            if (!setup.handler) return kIOReturnNotResponding;
            HandlerScope scope(state.get(), id_);
            result = setup.handler->bulkIn(data, maxLength, setup.timeoutMs);
            if (!stillThere(*state, scope)) return kIOReturnNoDevice;
            if (result != kIOReturnSuccess) return result;
        }
        size_t limit = maxLength;
        if (setup.fault && setup.fault->kind == FaultKind::ShortRead) limit = std::min<size_t>(limit, setup.fault->bytes);
        size_t n = std::min(limit, data.size());
        if (n) std::memcpy(buf, data.data(), n);
        *received = static_cast<uint32_t>(n);
        if (n < data.size()) {
            std::lock_guard<std::mutex> lock(state->mutex);
            if (auto* device = state->present(id_, generation_))
                device->pendingIn.insert(device->pendingIn.begin(), data.begin() + static_cast<ptrdiff_t>(n),
                                         data.end());
        }
        return kIOReturnSuccess;
    }

    IOReturn control(uint8_t pipeRef, IOUSBDevRequestTO& request) {
        auto state = state_.lock();
        if (!state) return kIOReturnNoDevice;
        if (pipeRef != 0) return kIOUSBUnknownPipeErr;
        if (request.wLength && !request.pData) return kIOReturnBadArgument;
        bool in = (request.bmRequestType & 0x80) != 0;
        TransferSetup setup;
        VirtualDeviceDescription description;
        IOReturn result = withDevice(*state, [&](State::Device& device) {
            setup.fault = state->takeFault(device, FaultTransfer::Control, in);
            setup.handler = device.handler;
            setup.timeoutMs =
                state->scaled(request.completionTimeout ? request.completionTimeout : request.noDataTimeout);
            description = device.description;
            return kIOReturnSuccess;
        });
        if (result != kIOReturnSuccess) return result;
        if (setup.fault && applyFault(*state, *setup.fault, setup.timeoutMs, &result)) return result;

        std::vector<uint8_t> answer;
        if ((request.bmRequestType & 0x60) == 0) {
            result = standardRequest(description, request, answer);
        } else {
            if (!setup.handler) return kIOReturnNotResponding;
            HandlerScope scope(state.get(), id_);
            result = setup.handler->controlRequest(request, answer);
            if (!stillThere(*state, scope)) return kIOReturnNoDevice;
        }
        if (result != kIOReturnSuccess) return result;
        if (in) {
            size_t n = std::min<size_t>(request.wLength, answer.size());
            if (setup.fault && setup.fault->kind == FaultKind::ShortRead) n = std::min<size_t>(n, setup.fault->bytes);
            if (n) std::memcpy(request.pData, answer.data(), n);
            request.wLenDone = static_cast<uint32_t>(n);
        } else {
            request.wLenDone = request.wLength;
        }
        return kIOReturnSuccess;
    }
};

}  // namespace

// ---- the bus ----

VirtualUSBBus::VirtualUSBBus() : state_(std::make_shared<State>()) {}

VirtualUSBBus::~VirtualUSBBus() {
    // Handlers may refer back to the bus: let them go outside the lock.
    std::map<uint64_t, State::Device> devices;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        devices.swap(state_->devices);
    }
}

std::shared_ptr<VirtualUSBBus> VirtualUSBBus::create() {
    std::shared_ptr<VirtualUSBBus> bus(new VirtualUSBBus());
    bus->state_->self = bus;
    return bus;
}

uint64_t VirtualUSBBus::plug(const VirtualDeviceDescription& description,
                             std::shared_ptr<VirtualDeviceHandler> handler) {
    uint64_t id;
    uint64_t ticket;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        id = state_->nextId++;
        State::Device device;
        device.id = id;
        device.description = description;
        if (device.description.locationID == 0) device.description.locationID = state_->freeLocation();
        device.handler = handler;
        ticket = device.replugTicket = 1;
        state_->devices.emplace(id, std::move(device));
    }
    state_->replug(*this, id, ticket);
    return id;
}

void VirtualUSBBus::unplug(uint64_t deviceId) {
    std::optional<State::Device> removed;
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto it = state_->devices.find(deviceId);
    if (it == state_->devices.end()) return;
    state_->detachLocked(it->second);
    removed.emplace(std::move(it->second));
    state_->devices.erase(it);
    // `removed` (and the handler it holds) goes after the lock is released: declared before the guard.
}

void VirtualUSBBus::reEnumerate(uint64_t deviceId, uint32_t delayMs,
                                std::optional<VirtualDeviceDescription> newDescription) {
    uint64_t ticket;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        auto it = state_->devices.find(deviceId);
        if (it == state_->devices.end()) return;
        State::Device& device = it->second;
        state_->detachLocked(device);
        if (newDescription) {
            uint32_t location = device.description.locationID;
            device.description = std::move(*newDescription);
            device.description.locationID = location;
        }
        ticket = ++device.replugTicket;
    }
    std::weak_ptr<VirtualUSBBus> weak = weak_from_this();
    state_->timerQueue->asyncAfter(std::chrono::milliseconds(delayMs), [weak, deviceId, ticket] {
        if (auto bus = weak.lock()) bus->state_->replug(*bus, deviceId, ticket);
    });
}

bool VirtualUSBBus::setHeldByOtherApplication(uint64_t deviceId, bool held) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto it = state_->devices.find(deviceId);
    if (it == state_->devices.end()) return false;
    State::Device& device = it->second;
    if (!device.plugged) {
        // Arriving (its handler is being told): the other program has it as soon as it is on the bus.
        device.heldByOther = held;
        return held;
    }
    if (held) {
        state_->hub.interestMessage(device.interfaceService, kIOMessageServiceIsAttemptingOpen);
        if (device.heldByOther || device.interfaceOpenToken) return false;
        device.heldByOther = true;
        return true;
    }
    if (!device.heldByOther) return false;
    device.heldByOther = false;
    state_->hub.interestMessage(device.interfaceService, kIOMessageServiceWasClosed);
    return true;
}

bool VirtualUSBBus::isHeldByOtherApplication(uint64_t deviceId) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto it = state_->devices.find(deviceId);
    return it != state_->devices.end() && it->second.plugged && it->second.heldByOther;
}

void VirtualUSBBus::injectFault(uint64_t deviceId, const InjectedFault& fault) {
    if (fault.count == 0) return;
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto it = state_->devices.find(deviceId);
    if (it != state_->devices.end()) it->second.faults.push_back(fault);
}

void VirtualUSBBus::clearFaults(uint64_t deviceId) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto it = state_->devices.find(deviceId);
    if (it != state_->devices.end()) it->second.faults.clear();
}

bool VirtualUSBBus::isPlugged(uint64_t deviceId) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto it = state_->devices.find(deviceId);
    return it != state_->devices.end() && it->second.plugged;
}

std::vector<uint64_t> VirtualUSBBus::devices() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    std::vector<uint64_t> ids;
    for (const auto& [id, device] : state_->devices)
        if (device.plugged) ids.push_back(id);
    return ids;
}

std::optional<VirtualDeviceDescription> VirtualUSBBus::description(uint64_t deviceId) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto it = state_->devices.find(deviceId);
    if (it == state_->devices.end()) return std::nullopt;
    return it->second.description;
}

std::shared_ptr<VirtualDeviceHandler> VirtualUSBBus::handler(uint64_t deviceId) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto it = state_->devices.find(deviceId);
    return it == state_->devices.end() ? nullptr : it->second.handler;
}

bool VirtualUSBBus::isOpenByHost(uint64_t deviceId) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto it = state_->devices.find(deviceId);
    return it != state_->devices.end() && it->second.plugged && it->second.interfaceOpenToken != 0;
}

void VirtualUSBBus::setTimeoutScale(double scale) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->timeoutScale = (std::isfinite(scale) && scale >= 0) ? scale : 1.0;
}

double VirtualUSBBus::timeoutScale() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->timeoutScale;
}

void VirtualUSBBus::setHostReEnumerateDelay(uint32_t delayMs) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->hostReEnumerateDelayMs = delayMs;
}

IONotificationPortPtr VirtualUSBBus::IONotificationPortCreate() { return state_->hub.createPort(); }

IOReturn VirtualUSBBus::IOServiceAddMatchingNotification(const IONotificationPortPtr& port, const std::string& type,
                                                         const MatchingDict& matching,
                                                         IOServiceMatchingCallback callback, IOIteratorPtr* iterator,
                                                         IONotificationPtr* notification) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    std::vector<IOServicePtr> present;
    for (const auto& [id, device] : state_->devices) {
        if (!device.plugged) continue;
        present.push_back(device.deviceService);
        present.push_back(device.interfaceService);
    }
    return state_->hub.addMatching(port, type, matching, std::move(callback), present, iterator, notification);
}

IOReturn VirtualUSBBus::IOServiceAddInterestNotification(const IONotificationPortPtr& port,
                                                         const IOServicePtr& service, const std::string& interestType,
                                                         IOServiceInterestCallback callback,
                                                         IONotificationPtr* notification) {
    if (notification) *notification = nullptr;
    auto virtualService = std::dynamic_pointer_cast<VirtualService>(service);
    if (!virtualService || virtualService->bus != state_.get()) return kIOReturnBadArgument;
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (!state_->present(virtualService->deviceId, virtualService->generation)) return kIOReturnNoDevice;
    return state_->hub.addInterest(port, service, interestType, std::move(callback), notification);
}

IOReturn VirtualUSBBus::CreateInterfaceInterface(const IOServicePtr& interfaceService,
                                                 IOUSBInterfaceInterfacePtr* out, bool* pluginFailed) {
    if (out) *out = nullptr;
    if (pluginFailed) *pluginFailed = true;
    auto service = std::dynamic_pointer_cast<VirtualService>(interfaceService);
    if (!out || !service || service->bus != state_.get()) return kIOReturnBadArgument;
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto* device = state_->present(service->deviceId, service->generation);
    if (!device) return kIOReturnNoDevice;
    if (pluginFailed) *pluginFailed = false;
    if (service->className() != "IOUSBInterface") return kIOReturnUnsupported;
    *out = std::make_shared<VirtualInterface>(state_, device->id, device->generation, state_->nextToken++,
                                              device->description);
    return kIOReturnSuccess;
}

IOReturn VirtualUSBBus::CreateDeviceInterface(const IOServicePtr& deviceService, IOUSBDeviceInterfacePtr* out,
                                              bool* pluginFailed) {
    if (out) *out = nullptr;
    if (pluginFailed) *pluginFailed = true;
    auto service = std::dynamic_pointer_cast<VirtualService>(deviceService);
    if (!out || !service || service->bus != state_.get()) return kIOReturnBadArgument;
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto* device = state_->present(service->deviceId, service->generation);
    if (!device) return kIOReturnNoDevice;
    if (pluginFailed) *pluginFailed = false;
    if (service->className() != "IOUSBDevice") return kIOReturnUnsupported;
    *out = std::make_shared<VirtualDevice>(state_, device->id, device->generation, state_->nextToken++,
                                           device->description);
    return kIOReturnSuccess;
}

}  // namespace ovn::usb
