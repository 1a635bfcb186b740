#include "FakeUSB.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

namespace fake {

namespace {

std::string hex(unsigned value, int digits) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%0*x", digits, value);
    return buffer;
}

std::atomic<uint32_t> gNextHandle{0x1000};

class FakePort : public IONotificationPort {
public:
    void destroy() override {}
};

}  // namespace

std::vector<std::string> CallLog::matching(const std::string& prefix) const {
    std::vector<std::string> out;
    for (auto& e : entries())
        if (e.rfind(prefix, 0) == 0) out.push_back(e);
    return out;
}

FakeService::FakeService(std::string className, std::shared_ptr<CallLog> log)
    : log(std::move(log)), handle_(gNextHandle.fetch_add(1)), className_(std::move(className)) {}

// ---- interface ----

IOReturn FakeInterface::enter(const std::string& call) {
    log_->add(call);
    return vanished.load() ? kIOReturnNoDevice : kIOReturnSuccess;
}

IOReturn FakeInterface::USBInterfaceOpenSeize() {
    if (IOReturn r = enter("USBInterfaceOpenSeize")) return r;
    std::lock_guard<std::mutex> lock(mutex_);
    if (openResults.empty()) return openResult;
    IOReturn r = openResults.front();
    openResults.pop_front();
    return r;
}

IOReturn FakeInterface::USBInterfaceClose() {
    if (IOReturn r = enter("USBInterfaceClose")) return r;
    return closeResult;
}

IOReturn FakeInterface::GetNumEndpoints(uint8_t* count) {
    if (IOReturn r = enter("GetNumEndpoints")) return r;
    if (numEndpointsResult == kIOReturnSuccess) *count = static_cast<uint8_t>(pipes.size());
    return numEndpointsResult;
}

IOReturn FakeInterface::GetPipeProperties(uint8_t pipeRef, uint8_t* direction, uint8_t* number, uint8_t* transferType,
                                          uint16_t* maxPacketSize, uint8_t* interval) {
    if (IOReturn r = enter("GetPipeProperties " + std::to_string(pipeRef))) return r;
    if (pipeRef == 0 || pipeRef > pipes.size()) return kIOReturnBadArgument;
    const PipeInfo& pipe = pipes[pipeRef - 1];
    if (pipe.result != kIOReturnSuccess) return pipe.result;
    *direction = pipe.direction;
    *number = pipeRef;
    *transferType = pipe.transferType;
    *maxPacketSize = 512;
    *interval = 0;
    return kIOReturnSuccess;
}

IOReturn FakeInterface::ControlRequestTO(uint8_t pipeRef, IOUSBDevRequestTO* request) {
    const auto& r = *request;
    log_->add("ControlRequestTO " + std::to_string(pipeRef) + " " + hex(r.bmRequestType, 2) + " " + hex(r.bRequest, 2) +
              " " + hex(r.wValue, 4) + " " + hex(r.wIndex, 4));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(r);
        requests_.back().pData = nullptr;
    }
    request->wLenDone = 0;
    if (vanished.load()) return kIOReturnNoDevice;

    const bool standard = r.bmRequestType == 0x80 && r.bRequest == 6;
    ControlReply reply{kIOUSBPipeStalled, {}};
    if (controlHandler) {
        reply = controlHandler(r);
    } else if (standard && r.wValue == 0x0300) {
        reply = {languageResult, languageDescriptor};
    } else if (standard && (r.wValue >> 8) == 3) {
        auto it = stringDescriptors.find(static_cast<uint8_t>(r.wValue & 0xFF));
        if (it != stringDescriptors.end()) reply = {kIOReturnSuccess, it->second};
    } else if (standard && r.wValue == 0x0100) {
        if (!deviceDescriptor.empty()) reply = {kIOReturnSuccess, deviceDescriptor};
    } else if (r.bmRequestType == 0xA1 && r.bRequest == 0) {
        reply = deviceID.value_or(ControlReply{kIOReturnTimeout, {}});
    } else if ((r.bmRequestType == 0x21 || r.bmRequestType == 0x23) && r.bRequest == 2) {
        reply = {resetResult, {}};
    }
    if (reply.result == kIOReturnSuccess || reply.result == kIOReturnOverrun) {
        uint32_t n = std::min<uint32_t>(r.wLength, static_cast<uint32_t>(reply.data.size()));
        if (n && r.pData) std::memcpy(r.pData, reply.data.data(), n);
        request->wLenDone = n;
    }
    if (afterControl) afterControl(r);
    return reply.result;
}

IOServicePtr FakeInterface::GetDevice() { return enter("GetDevice") ? nullptr : deviceService.lock(); }

std::vector<IOUSBDevRequestTO> FakeInterface::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void FakeInterface::clearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

// ---- services and notifications ----

IONotificationPortPtr FakeUSBServices::IONotificationPortCreate() {
    portsCreated.fetch_add(1);
    return std::make_shared<FakePort>();
}

IOReturn FakeUSBServices::IOServiceAddInterestNotification(const IONotificationPortPtr& port,
                                                           const IOServicePtr& service, const std::string& interestType,
                                                           IOServiceInterestCallback callback,
                                                           IONotificationPtr* notification) {
    if (auto fs = std::dynamic_pointer_cast<FakeService>(service))
        fs->log->add("IOServiceAddInterestNotification " + interestType + (port ? "" : " (no port)") + " [" +
                     ovn::DispatchQueue::currentLabel() + "]");
    auto registration = std::make_shared<FakeNotification>();
    std::lock_guard<std::mutex> lock(mutex_);
    registrations_.push_back({service, std::move(callback), registration});
    *notification = registration;
    return kIOReturnSuccess;
}

IOReturn FakeUSBServices::CreateDeviceInterface(const IOServicePtr& deviceService, IOUSBDeviceInterfacePtr* out,
                                                bool* pluginFailed) {
    auto fs = std::dynamic_pointer_cast<FakeService>(deviceService);
    if (pluginFailed) *pluginFailed = fs && fs->pluginFails;
    if (!fs) return kIOReturnBadArgument;
    fs->log->add("CreateDeviceInterface");
    if (fs->pluginFails || fs->createResult != kIOReturnSuccess) return fs->createResult;
    *out = fs->device.lock();
    return *out ? kIOReturnSuccess : kIOReturnNoDevice;
}

void FakeUSBServices::deliver(const IOServicePtr& service, uint32_t messageType) {
    std::vector<Registration> targets;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::copy_if(registrations_.begin(), registrations_.end(), std::back_inserter(targets),
                     [&](const Registration& r) { return r.service == service; });
    }
    for (auto& r : targets)
        if (r.notification->active.load()) r.callback(service, messageType, nullptr);
}

std::vector<std::shared_ptr<FakeNotification>> FakeUSBServices::registrations(const IOServicePtr& service) const {
    std::vector<std::shared_ptr<FakeNotification>> out;
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& r : registrations_)
        if (r.service == service) out.push_back(r.notification);
    return out;
}

std::shared_ptr<FakeUSBServices> services() {
    static std::shared_ptr<FakeUSBServices> instance = [] {
        ovn::SystemLog::setUseSyslog(false);
        return std::make_shared<FakeUSBServices>();
    }();
    // Other tests of the program may install their own provider; these tests always talk to the fake.
    if (USBServices::shared() != instance) USBServices::setShared(instance);
    return instance;
}

// ---- FakePrinter ----

std::vector<uint8_t> stringDescriptor(const std::u16string& text) {
    std::vector<uint8_t> out{static_cast<uint8_t>(2 + 2 * text.size()), 3};
    for (char16_t c : text) out.insert(out.end(), {static_cast<uint8_t>(c & 0xFF), static_cast<uint8_t>(c >> 8)});
    return out;
}

FakePrinter::FakePrinter()
    : interfaceService(std::make_shared<FakeService>("IOUSBInterface", log)),
      deviceService(std::make_shared<FakeService>("IOUSBDevice", log)),
      interface(std::make_shared<FakeInterface>(log)),
      device(std::make_shared<FakeDeviceInterface>(log)) {
    interface->deviceService = deviceService;
    deviceService->device = device;
    setStrings("Orvane Imaging", "PL25", "A123");
    setDeviceID("MFG:Orvane Imaging;MDL:PL25D;SERN:S42;");
}

void FakePrinter::setStrings(const std::string& manufacturer, const std::string& product, const std::string& serial) {
    uint8_t index = 1;
    for (const std::string* s : {&manufacturer, &product, &serial})
        interface->stringDescriptors[index++] = stringDescriptor(std::u16string(s->begin(), s->end()));
}

void FakePrinter::setDeviceID(const std::string& text, std::optional<unsigned> lengthField) {
    unsigned length = lengthField.value_or(static_cast<unsigned>(text.size() + 2));
    ControlReply reply{kIOReturnSuccess, {static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length & 0xFF)}};
    reply.data.insert(reply.data.end(), text.begin(), text.end());
    interface->deviceID = reply;
}

// ---- queue helpers ----

bool runMainUntil(const std::function<bool()>& done) {
    return ovn::MainRunLoop::runUntil(done, std::chrono::seconds(5));
}

void onMain(const std::function<void()>& block) {
    auto ran = std::make_shared<std::atomic<bool>>(false);
    ovn::DispatchQueue::main()->async([block, ran] {
        block();
        ran->store(true);
    });
    runMainUntil([ran] { return ran->load(); });
}

void waitForCommandQueue(const std::shared_ptr<ZVUSBPrinter>& printer) {
    // Idle: nothing pending on the command queue and nothing ready on the main queue, checked again after each
    // drain because either may feed the other.
    auto queue = printer->printerCommandQueue();
    auto mainQueue = ovn::DispatchQueue::main();
    for (int round = 0; round < 50; ++round) {
        if (queue) runMainUntil([&] { return queue->pendingCount() == 0; });
        ovn::MainRunLoop::drain();
        if ((!queue || queue->pendingCount() == 0) && mainQueue->pendingCount() == 0) return;
    }
}

// ---- LogCapture ----

LogCapture::LogCapture() {
    ovn::SystemLog::setCapture([state = state_](ovn::LogChannel channel, const std::string& line) {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->lines.emplace_back(channel, line);
    });
}

std::vector<std::string> LogCapture::lines(ovn::LogChannel channel) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    std::vector<std::string> out;
    for (auto& [c, l] : state_->lines)
        if (c == channel) out.push_back(l);
    return out;
}

bool LogCapture::has(ovn::LogChannel channel, const std::string& line) const {
    auto all = lines(channel);
    return std::find(all.begin(), all.end(), line) != all.end();
}

size_t LogCapture::countContaining(const std::string& fragment) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return static_cast<size_t>(std::count_if(state_->lines.begin(), state_->lines.end(), [&](auto& entry) {
        return entry.second.find(fragment) != std::string::npos;
    }));
}

}  // namespace fake
