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

}  // namespace

// ---- CallLog ----

void CallLog::add(const std::string& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(entry);
}

std::vector<std::string> CallLog::entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
}

std::vector<std::string> CallLog::matching(const std::string& prefix) const {
    std::vector<std::string> out;
    for (auto& e : entries())
        if (e.rfind(prefix, 0) == 0) out.push_back(e);
    return out;
}

void CallLog::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.clear();
}

// ---- services ----

FakeService::FakeService(std::string className, std::shared_ptr<CallLog> log)
    : log(std::move(log)), handle_(gNextHandle.fetch_add(1)), className_(std::move(className)) {}

// ---- device interface ----

IOReturn FakeDeviceInterface::USBDeviceOpen() {
    log_->add("USBDeviceOpen");
    return openResult;
}
IOReturn FakeDeviceInterface::USBDeviceClose() {
    log_->add("USBDeviceClose");
    return closeResult;
}
IOReturn FakeDeviceInterface::USBGetManufacturerStringIndex(uint8_t* index) {
    log_->add("USBGetManufacturerStringIndex");
    if (indexResult == kIOReturnSuccess) *index = iManufacturer;
    return indexResult;
}
IOReturn FakeDeviceInterface::USBGetProductStringIndex(uint8_t* index) {
    log_->add("USBGetProductStringIndex");
    if (indexResult == kIOReturnSuccess) *index = iProduct;
    return indexResult;
}
IOReturn FakeDeviceInterface::USBGetSerialNumberStringIndex(uint8_t* index) {
    log_->add("USBGetSerialNumberStringIndex");
    if (indexResult == kIOReturnSuccess) *index = iSerialNumber;
    return indexResult;
}
IOReturn FakeDeviceInterface::ResetDevice() {
    log_->add("ResetDevice");
    return resetResult;
}
IOReturn FakeDeviceInterface::USBDeviceReEnumerate(uint32_t options) {
    log_->add("USBDeviceReEnumerate " + std::to_string(options));
    return reEnumerateResult;
}

// ---- interface ----

IOReturn FakeInterface::getter(const char* name) {
    log_->add(name);
    if (vanished.load()) return kIOReturnNoDevice;
    auto it = getterFailures.find(name);
    return it == getterFailures.end() ? kIOReturnSuccess : it->second;
}

IOReturn FakeInterface::USBInterfaceOpenSeize() {
    log_->add("USBInterfaceOpenSeize");
    if (vanished.load()) return kIOReturnNoDevice;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!openResults.empty()) {
        IOReturn r = openResults.front();
        openResults.pop_front();
        return r;
    }
    return openResult;
}

IOReturn FakeInterface::USBInterfaceClose() {
    log_->add("USBInterfaceClose");
    return vanished.load() ? kIOReturnNoDevice : closeResult;
}

#define FAKE_GETTER(Name, Type, field)           \
    IOReturn FakeInterface::Name(Type* value) {  \
        IOReturn r = getter(#Name);              \
        if (r == kIOReturnSuccess) *value = field; \
        return r;                                \
    }
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

IOReturn FakeInterface::GetNumEndpoints(uint8_t* count) {
    log_->add("GetNumEndpoints");
    if (vanished.load()) return kIOReturnNoDevice;
    if (numEndpointsResult == kIOReturnSuccess) *count = static_cast<uint8_t>(pipes.size());
    return numEndpointsResult;
}

IOReturn FakeInterface::GetPipeProperties(uint8_t pipeRef, uint8_t* direction, uint8_t* number, uint8_t* transferType,
                                          uint16_t* maxPacketSize, uint8_t* interval) {
    log_->add("GetPipeProperties " + std::to_string(pipeRef));
    if (vanished.load()) return kIOReturnNoDevice;
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

IOReturn FakeInterface::WritePipeTO(uint8_t pipeRef, const void* buf, uint32_t size, uint32_t noDataTimeout,
                                    uint32_t completionTimeout) {
    log_->add("WritePipeTO " + std::to_string(pipeRef) + " " + std::to_string(size) + " " +
              std::to_string(noDataTimeout) + "/" + std::to_string(completionTimeout));
    if (vanished.load()) return kIOReturnNoDevice;
    std::lock_guard<std::mutex> lock(mutex_);
    auto bytes = static_cast<const uint8_t*>(buf);
    written_.emplace_back(bytes, bytes + size);
    return writeResult;
}

IOReturn FakeInterface::ReadPipeTO(uint8_t pipeRef, void* buf, uint32_t* size, uint32_t noDataTimeout,
                                   uint32_t completionTimeout) {
    log_->add("ReadPipeTO " + std::to_string(pipeRef) + " " + std::to_string(*size) + " " +
              std::to_string(noDataTimeout) + "/" + std::to_string(completionTimeout));
    if (vanished.load()) return kIOReturnNoDevice;
    std::lock_guard<std::mutex> lock(mutex_);
    if (reads.empty()) return kIOReturnTimeout;
    ControlReply reply = reads.front();
    reads.pop_front();
    uint32_t n = std::min<uint32_t>(*size, static_cast<uint32_t>(reply.data.size()));
    std::memcpy(buf, reply.data.data(), n);
    *size = n;
    return reply.result;
}

IOReturn FakeInterface::ControlRequestTO(uint8_t pipeRef, IOUSBDevRequestTO* request) {
    log_->add("ControlRequestTO " + std::to_string(pipeRef) + " " + hex(request->bmRequestType, 2) + " " +
              hex(request->bRequest, 2) + " " + hex(request->wValue, 4) + " " + hex(request->wIndex, 4));
    {
        std::lock_guard<std::mutex> lock(mutex_);
        IOUSBDevRequestTO copy = *request;
        copy.pData = nullptr;
        requests_.push_back(copy);
    }
    request->wLenDone = 0;
    if (vanished.load()) return kIOReturnNoDevice;

    ControlReply reply;
    if (controlHandler) {
        reply = controlHandler(*request);
    } else if (request->bmRequestType == 0x80 && request->bRequest == 6 && request->wValue == 0x0300) {
        reply = {languageResult, languageDescriptor};
    } else if (request->bmRequestType == 0x80 && request->bRequest == 6 && (request->wValue >> 8) == 3) {
        auto it = stringDescriptors.find(static_cast<uint8_t>(request->wValue & 0xFF));
        reply = it == stringDescriptors.end() ? ControlReply{kIOUSBPipeStalled, {}} : ControlReply{0, it->second};
    } else if (request->bmRequestType == 0x80 && request->bRequest == 6 && request->wValue == 0x0100) {
        reply = {deviceDescriptor.empty() ? kIOUSBPipeStalled : kIOReturnSuccess, deviceDescriptor};
    } else if (request->bmRequestType == 0xA1 && request->bRequest == 0) {
        reply = deviceID ? *deviceID : ControlReply{kIOReturnTimeout, {}};
    } else if ((request->bmRequestType == 0x21 || request->bmRequestType == 0x23) && request->bRequest == 2) {
        reply = {resetResult, {}};
    } else {
        reply = {kIOUSBPipeStalled, {}};
    }
    if (reply.result == kIOReturnSuccess || reply.result == kIOReturnOverrun) {
        uint32_t n = std::min<uint32_t>(request->wLength, static_cast<uint32_t>(reply.data.size()));
        if (n && request->pData) std::memcpy(request->pData, reply.data.data(), n);
        request->wLenDone = n;
    }
    if (afterControl) afterControl(*request);
    return reply.result;
}

IOServicePtr FakeInterface::GetDevice() {
    log_->add("GetDevice");
    if (vanished.load()) return nullptr;
    return deviceService.lock();
}

std::vector<IOUSBDevRequestTO> FakeInterface::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void FakeInterface::clearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
}

std::vector<std::vector<uint8_t>> FakeInterface::written() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
}

// ---- notifications ----

IOReturn FakeNotification::IOObjectRelease() {
    if (honourRelease.load()) active.store(false);
    return releaseResult;
}

namespace {
class FakePort : public IONotificationPort {
public:
    void destroy() override {}
};
}  // namespace

IONotificationPortPtr FakeUSBServices::IONotificationPortCreate() {
    portsCreated.fetch_add(1);
    return std::make_shared<FakePort>();
}

IOReturn FakeUSBServices::IOServiceAddMatchingNotification(const IONotificationPortPtr&, const std::string&,
                                                           const MatchingDict&, IOServiceMatchingCallback,
                                                           IOIteratorPtr*, IONotificationPtr*) {
    return kIOReturnError;
}

IOReturn FakeUSBServices::IOServiceAddInterestNotification(const IONotificationPortPtr& port,
                                                           const IOServicePtr& service, const std::string& interestType,
                                                           IOServiceInterestCallback callback,
                                                           IONotificationPtr* notification) {
    if (auto fs = std::dynamic_pointer_cast<FakeService>(service))
        fs->log->add("IOServiceAddInterestNotification " + interestType + (port ? "" : " (no port)") + " [" +
                     ovn::DispatchQueue::currentLabel() + "]");
    auto registration = std::make_shared<FakeNotification>();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        registrations_.push_back({service, std::move(callback), registration});
    }
    *notification = registration;
    return kIOReturnSuccess;
}

IOReturn FakeUSBServices::CreateInterfaceInterface(const IOServicePtr&, IOUSBInterfaceInterfacePtr*, bool*) {
    return kIOReturnError;
}

IOReturn FakeUSBServices::CreateDeviceInterface(const IOServicePtr& deviceService, IOUSBDeviceInterfacePtr* out,
                                                bool* pluginFailed) {
    auto fs = std::dynamic_pointer_cast<FakeService>(deviceService);
    if (pluginFailed) *pluginFailed = false;
    if (!fs) return kIOReturnBadArgument;
    fs->log->add("CreateDeviceInterface");
    if (fs->pluginFails) {
        if (pluginFailed) *pluginFailed = true;
        return fs->createResult;
    }
    if (fs->createResult != kIOReturnSuccess) return fs->createResult;
    *out = fs->device.lock();
    return *out ? kIOReturnSuccess : kIOReturnNoDevice;
}

void FakeUSBServices::deliver(const IOServicePtr& service, uint32_t messageType) {
    std::vector<Registration> targets;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& r : registrations_)
            if (r.service == service) targets.push_back(r);
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
        auto s = std::make_shared<FakeUSBServices>();
        return s;
    }();
    // Other tests of the program may install their own provider; these tests always talk to the fake.
    if (USBServices::shared() != instance) USBServices::setShared(instance);
    return instance;
}

// ---- FakePrinter ----

std::vector<uint8_t> stringDescriptor(const std::u16string& text) {
    std::vector<uint8_t> out{static_cast<uint8_t>(2 + 2 * text.size()), 3};
    for (char16_t c : text) {
        out.push_back(static_cast<uint8_t>(c & 0xFF));
        out.push_back(static_cast<uint8_t>(c >> 8));
    }
    return out;
}

FakePrinter::FakePrinter() {
    interfaceService = std::make_shared<FakeService>("IOUSBInterface", log);
    deviceService = std::make_shared<FakeService>("IOUSBDevice", log);
    interface = std::make_shared<FakeInterface>(log);
    device = std::make_shared<FakeDeviceInterface>(log);
    interface->deviceService = deviceService;
    deviceService->device = device;
    setStrings("Orvane Imaging", "PL25", "A123");
    setDeviceID("MFG:Orvane Imaging;MDL:PL25D;SERN:S42;");
}

void FakePrinter::setStrings(const std::string& manufacturer, const std::string& product, const std::string& serial) {
    auto widen = [](const std::string& s) { return std::u16string(s.begin(), s.end()); };
    interface->stringDescriptors[1] = stringDescriptor(widen(manufacturer));
    interface->stringDescriptors[2] = stringDescriptor(widen(product));
    interface->stringDescriptors[3] = stringDescriptor(widen(serial));
}

void FakePrinter::setDeviceID(const std::string& text, std::optional<unsigned> lengthField) {
    unsigned length = lengthField.value_or(static_cast<unsigned>(text.size() + 2));
    ControlReply reply;
    reply.data = {static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length & 0xFF)};
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
    // Idle means: nothing pending on the command queue (a finished block has also released what it captured)
    // and nothing ready on the main queue, checked again after each drain because either may feed the other.
    auto queue = printer->printerCommandQueue();
    auto mainQueue = ovn::DispatchQueue::main();
    for (int round = 0; round < 50; ++round) {
        if (queue) runMainUntil([&] { return queue->pendingCount() == 0; });
        ovn::MainRunLoop::drain();
        if ((!queue || queue->pendingCount() == 0) && mainQueue->pendingCount() == 0) return;
    }
}

void Trace::add(const std::string& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
}

std::vector<std::string> Trace::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

Gate::Gate(const std::shared_ptr<ZVUSBPrinter>& printer) {
    auto future = promise_->get_future().share();
    printer->printerCommandQueue()->async([future] { future.wait(); });
}

void Gate::open() {
    if (!opened_) promise_->set_value();
    opened_ = true;
}

// ---- LogCapture ----

LogCapture::LogCapture() {
    ovn::SystemLog::setCapture([state = state_](ovn::LogChannel channel, const std::string& line) {
        std::lock_guard<std::mutex> lock(state->mutex);
        state->lines.emplace_back(channel, line);
    });
}

LogCapture::~LogCapture() { ovn::SystemLog::setCapture(nullptr); }

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
