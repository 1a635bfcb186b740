// The printer object: creation, set-up sequence, queue discipline, command send path, raw bulk I/O,
// device-info store and observable properties. Ownership, descriptors and the device ID live in the
// ZVUSBPrinter+*.cpp files.
#include "Classes/ZVUSBPrinter.h"

#include <cstdio>
#include <map>

#include "Classes/ZVPrinters.h"
#include "platform/SystemLog.h"
#include "support/CodeNames.h"

using ovn::DispatchQueue;
using ovn::SysLog;
using ovn::StdErr;

namespace {

// Queue markers: unique addresses.
const char kPrinterCommandQueueKey = 0;
const char kMainQueueSpecificKey = 0;

// Reverse-domain prefix of the command queues' labels.
constexpr char kCommandQueueLabelPrefix[] = "org.ovn-utility";

// The device-info registry: keyUSBdevice -> the dictionary of the printer last seen under that key. It lives
// for the whole process and is never written anywhere.
struct DeviceInfoRegistry {
    std::mutex mutex;
    std::map<std::string, ovn::DeviceInfoRef> entries;
};
DeviceInfoRegistry& gPrivateInstanceRegistry() {
    static DeviceInfoRegistry* registry = new DeviceInfoRegistry();
    return *registry;
}

std::string formatted(const char* format, unsigned long long a, unsigned long long b = 0, unsigned long long c = 0) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, a, b, c);
    return buffer;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Creation and release

ZVUSBPrinter::ZVUSBPrinter() : deviceInfoDict_(std::make_shared<ovn::DeviceInfoDict>()) { initialize(); }

ZVUSBPrinter::~ZVUSBPrinter() {
    // Ends the interest registration explicitly, so no message can reach a half-destroyed object.
    ovn::usb::IONotificationPtr interest, busy;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        interest = std::move(interestNotification_);
        busy = std::move(busyNotification_);
    }
    if (interest) interest->IOObjectRelease();
    if (busy) busy->IOObjectRelease();
}

void ZVUSBPrinter::init() {
    auto port = ZVPrinters::sharedNotificationPort();
    std::lock_guard<std::mutex> lock(mutex_);
    raw1284DeviceID_.reset();
    deviceID_.reset();
    manufacturer_.reset();
    model_.reset();
    vendorUSB_.reset();
    productUSB_.reset();
    serialNumberUSB_.reset();
    status_.reset();
    printerStatusString_.reset();
    isOwned_.store(kNotOwned);
    iInterface_.reset();
    dInterface_.reset();
    printerCommandQueue_.reset();
    interestNotification_.reset();
    busyNotification_.reset();
    deviceObject_.reset();
    notifyPort_ = std::move(port);
}

bool ZVUSBPrinter::initWithInterfaceInterface(const InterfacePtr& interface, const ServicePtr& service) {
    init();
    setInterfaceInterface(interface);
    update1284DeviceID([this, service](bool, const Text& deviceID) {
        if (!deviceID) return;
        decodeDeviceID(deviceID, [this, service](const std::string& manufacturer, const std::string& model,
                                                 const Text& serial, const Text&) {
            deviceInfoDict_->set(QELMOR_ZVPrinterManufacturer, manufacturer);
            deviceInfoDict_->set(QELMOR_ZVPrinterModel, model);
            performSyncOnMainQueue([this, &manufacturer, &model] {
                if (!this->manufacturer()) setManufacturer(manufacturer);
                if (!this->model()) setModel(model);
            });

            Text queueSerial = serial ? serial : serialNumberUSB();
            std::string label = std::string(kCommandQueueLabelPrefix) + ".printer." + manufacturer + "." + model +
                                "." + queueSerial.value_or("");
            QueuePtr queue = DispatchQueue::createSerial(label);
            SysLog("printer command queue:%s", queue->label().c_str());
            queue->setSpecific(printerCommandQueueKey(), queue.get());
            {
                std::lock_guard<std::mutex> lock(mutex_);
                printerCommandQueue_ = queue;
            }
            setDeviceObject(service);
        });
    });
    return true;
}

bool ZVUSBPrinter::initWithDeviceObject(const ServicePtr& service) {
    init();
    setDeviceObject(service);
    return true;
}

void ZVUSBPrinter::prepareForRelease() {
    // The device is going: leave what was learnt about it for its next arrival now, on the caller's thread. The
    // termination message does the same, but the registry's removal can come first (its callback takes every
    // terminated service at once), and the release queued below ends the interest registration that would
    // have delivered that message: the device information, an update phase among it, would be lost.
    if (interfaceInterface() || deviceObject()) setDeviceInfo(deviceInfoDict(), keyUSBdevice());
    runOnCommandQueueAlways([this] {
        setInterfaceInterface(nullptr);
        setDeviceInterface(nullptr);
        setDeviceObject(nullptr);
    });
}

// ---------------------------------------------------------------------------------------------------------
// Queue discipline

ZVUSBPrinter::QueuePtr ZVUSBPrinter::printerCommandQueue() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return printerCommandQueue_;
}

const void* ZVUSBPrinter::printerCommandQueueKey() { return &kPrinterCommandQueueKey; }
const void* ZVUSBPrinter::mainQueueSpecificKey() { return &kMainQueueSpecificKey; }

void ZVUSBPrinter::initialize() {
    static std::once_flag once;
    std::call_once(once, [] {
        auto mainQueue = DispatchQueue::main();
        mainQueue->setSpecific(mainQueueSpecificKey(), mainQueue.get());
    });
}

bool ZVUSBPrinter::isPrinterCommandQueue() const {
    QueuePtr queue = printerCommandQueue();
    if (!queue) return true;
    return DispatchQueue::getSpecific(printerCommandQueueKey()) == queue.get();
}

bool ZVUSBPrinter::isMainQueue() {
    initialize();
    return DispatchQueue::getSpecific(mainQueueSpecificKey()) == DispatchQueue::main().get();
}

void ZVUSBPrinter::performInlineOnCommandQueue(const Completion& block) {
    if (!block) return;
    if (isPrinterCommandQueue()) {
        block();
        return;
    }
    QueuePtr queue = printerCommandQueue();
    queue->async([self = shared_from_this(), block] { block(); });
}

// Queued on the command queue even when called from it (so it runs after the current exchange); at once only
// for an object that has no command queue.
void ZVUSBPrinter::runOnCommandQueueAlways(const Completion& block) {
    QueuePtr queue = printerCommandQueue();
    if (!queue) {
        block();
        return;
    }
    queue->async([self = shared_from_this(), block] { block(); });
}

void ZVUSBPrinter::performSyncOnMainQueue(const Completion& block) {
    if (!block) return;
    if (isMainQueue()) {
        block();
        return;
    }
    DispatchQueue::main()->sync(block);
}

// ---------------------------------------------------------------------------------------------------------
// Command send path

void ZVUSBPrinter::sendPrinterCommand(const CommandBlock& commandBlock, const QueuePtr& replyQueue,
                                      const ReplyBlock& replyBlock) {
    if (!commandBlock) {
        StdErr("*** Assertion failure in ZVUSBPrinter::sendPrinterCommand, Classes/ZVUSBPrinter.cpp:%d: "
               "you must supply a commandBlock",
               __LINE__);
        return;
    }
    auto exchange = [this, commandBlock, replyQueue, replyBlock] {
        commandBlock();
        PrinterReply reply = printerReply();
        deliverReply(reply, replyQueue, replyBlock);
    };
    performInlineOnCommandQueue(exchange);
}

void ZVUSBPrinter::deliverReply(const PrinterReply& reply, const QueuePtr& replyQueue, const ReplyBlock& replyBlock) {
    if (!replyBlock) return;
    QueuePtr commandQueue = printerCommandQueue();
    if (replyQueue && replyQueue == commandQueue) {
        replyBlock(reply);
        return;
    }
    QueuePtr target = replyQueue ? replyQueue : DispatchQueue::main();
    target->async([replyBlock, reply] { replyBlock(reply); });
}

void ZVUSBPrinter::sendNoReplyPrinterCommand(const CommandBlock& commandBlock) {
    if (!commandBlock) {
        StdErr("*** Assertion failure in ZVUSBPrinter::sendNoReplyPrinterCommand, Classes/ZVUSBPrinter.cpp:%d: "
               "you must supply a commandBlock",
               __LINE__);
        return;
    }
    performInlineOnCommandQueue(commandBlock);
}

ZVUSBPrinter::PrinterReply ZVUSBPrinter::printerReply() { return std::nullopt; }

bool ZVUSBPrinter::writeToInterfaceWithData(std::span<const uint8_t> data) {
    SysLog("writing to %s interface with %lu byte payload", descriptionUTF8().c_str(),
           static_cast<unsigned long>(data.size()));
    InterfacePtr interface = interfaceInterface();
    if (!interface || data.size() > UINT32_MAX) {
        // The device has gone (or was released): nothing to write to.
        writeStatus_.store(interface ? kIOReturnBadArgument : kIOReturnNoDevice);
        return false;
    }
    // The total first, so that a reader never sees more written than the size of the write.
    writeBytesDone_.store(0);
    writeBytesTotal_.store(data.size());
    IOReturn result = interface->WritePipeProgressTO(
        bulkOUT(), data.data(), static_cast<uint32_t>(data.size()), kBulkTimeoutMs, kBulkTimeoutMs,
        [this](uint64_t written, uint64_t) { writeBytesDone_.store(written); });
    writeStatus_.store(result);
    return result == kIOReturnSuccess;
}

std::optional<std::vector<uint8_t>> ZVUSBPrinter::interfaceReadDataOfSize(uint32_t size) {
    InterfacePtr interface = interfaceInterface();
    if (!interface) {
        readStatus_.store(kIOReturnNoDevice);
        return std::nullopt;
    }
    std::vector<uint8_t> buffer(size, 0);
    uint32_t transferred = size;
    IOReturn result = interface->ReadPipeTO(bulkIN(), buffer.data(), &transferred, kBulkTimeoutMs, kBulkTimeoutMs);
    readStatus_.store(result);
    if (result != kIOReturnSuccess) return std::nullopt;
    return buffer;
}

// ---------------------------------------------------------------------------------------------------------
// Hooks

void ZVUSBPrinter::probe() {
    SysLog("running probe on %s", descriptionUTF8().c_str());
    performInlineOnCommandQueue([this] { getDeviceCustomInfo(); });
}

void ZVUSBPrinter::updateInfo(const void*) {
    performInlineOnCommandQueue([this] { probe(); });
}

void ZVUSBPrinter::hotPlug(const void*) {
    performInlineOnCommandQueue([this] { reEnumerateUSBDevice(); });
}

void ZVUSBPrinter::getDeviceCustomInfo() {}

std::optional<ZVUSBPrinter::IndexSet> ZVUSBPrinter::supportedVendorIDs() { return std::nullopt; }
std::optional<ZVUSBPrinter::IndexSet> ZVUSBPrinter::supportedProductIDs() { return std::nullopt; }
std::optional<ZVUSBPrinter::IndexSet> ZVUSBPrinter::classSupportedVendorIDs() const { return supportedVendorIDs(); }
std::optional<ZVUSBPrinter::IndexSet> ZVUSBPrinter::classSupportedProductIDs() const { return supportedProductIDs(); }

ZVUSBPrinter::Text ZVUSBPrinter::image() const { return textField(&ZVUSBPrinter::image_); }
void ZVUSBPrinter::setImage(const Text& image) { setTextProperty("image", &ZVUSBPrinter::image_, image); }

// ---------------------------------------------------------------------------------------------------------
// Device-info store

ovn::DeviceInfoRef ZVUSBPrinter::deviceInfoForKey(const std::string& key) {
    auto& registry = gPrivateInstanceRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto& slot = registry.entries[key];
    if (!slot) slot = std::make_shared<ovn::DeviceInfoDict>();
    return slot;
}

void ZVUSBPrinter::setDeviceInfo(const ovn::DeviceInfoRef& info, const std::string& key) {
    SysLog("%s:[%s] : %s", "+[ZVUSBPrinter setDeviceInfo:forKey:]", key.c_str(),
           info ? info->describe().c_str() : "(null)");
    auto& registry = gPrivateInstanceRegistry();
    if (!info) return;
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.entries[key] = info;
}

void ZVUSBPrinter::setPrinterStatus(const std::string& status) {
    performSyncOnMainQueue([this, &status] {
        willChangeValueForKey(QELMOR_ZVPrinterStatus);
        deviceInfoDict_->set(QELMOR_ZVPrinterStatus, status);
        didChangeValueForKey(QELMOR_ZVPrinterStatus);
    });
}

ZVUSBPrinter::Text ZVUSBPrinter::printerStatus() const { return deviceInfoDict_->getString(QELMOR_ZVPrinterStatus); }
ZVUSBPrinter::Text ZVUSBPrinter::printerSerialNumber() const {
    return deviceInfoDict_->getString(QELMOR_ZVPrinterSerialNumber);
}
ZVUSBPrinter::Text ZVUSBPrinter::firmwareVersion() const {
    return deviceInfoDict_->getString(QELMOR_ZVPrinterFirmwareVersion);
}

// ---------------------------------------------------------------------------------------------------------
// Identity and properties

ZVUSBPrinter::Text ZVUSBPrinter::textField(const Text ZVUSBPrinter::*field) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return this->*field;
}

void ZVUSBPrinter::setTextProperty(const char* key, Text ZVUSBPrinter::*field, const Text& value) {
    willChangeValueForKey(key);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        this->*field = value;
    }
    didChangeValueForKey(key);
}

ZVUSBPrinter::Text ZVUSBPrinter::raw1284DeviceID() const { return textField(&ZVUSBPrinter::raw1284DeviceID_); }
ZVUSBPrinter::Text ZVUSBPrinter::deviceID() const { return textField(&ZVUSBPrinter::deviceID_); }
ZVUSBPrinter::Text ZVUSBPrinter::manufacturer() const { return textField(&ZVUSBPrinter::manufacturer_); }
ZVUSBPrinter::Text ZVUSBPrinter::model() const { return textField(&ZVUSBPrinter::model_); }
ZVUSBPrinter::Text ZVUSBPrinter::vendorUSB() const { return textField(&ZVUSBPrinter::vendorUSB_); }
ZVUSBPrinter::Text ZVUSBPrinter::productUSB() const { return textField(&ZVUSBPrinter::productUSB_); }
ZVUSBPrinter::Text ZVUSBPrinter::serialNumberUSB() const { return textField(&ZVUSBPrinter::serialNumberUSB_); }
ZVUSBPrinter::Text ZVUSBPrinter::status() const { return textField(&ZVUSBPrinter::status_); }
ZVUSBPrinter::Text ZVUSBPrinter::statusString() const { return textField(&ZVUSBPrinter::printerStatusString_); }

void ZVUSBPrinter::setRaw1284DeviceID(const Text& v) { setTextProperty("raw1284DeviceID", &ZVUSBPrinter::raw1284DeviceID_, v); }
void ZVUSBPrinter::setDeviceID(const Text& v) { setTextProperty("deviceID", &ZVUSBPrinter::deviceID_, v); }
void ZVUSBPrinter::setManufacturer(const Text& v) { setTextProperty("manufacturer", &ZVUSBPrinter::manufacturer_, v); }
void ZVUSBPrinter::setModel(const Text& v) { setTextProperty("model", &ZVUSBPrinter::model_, v); }
void ZVUSBPrinter::setVendorUSB(const Text& v) { setTextProperty("vendorUSB", &ZVUSBPrinter::vendorUSB_, v); }
void ZVUSBPrinter::setProductUSB(const Text& v) { setTextProperty("productUSB", &ZVUSBPrinter::productUSB_, v); }
void ZVUSBPrinter::setSerialNumberUSB(const Text& v) {
    setTextProperty("serialNumberUSB", &ZVUSBPrinter::serialNumberUSB_, v);
}
void ZVUSBPrinter::setStatus(const Text& v) { setTextProperty("status", &ZVUSBPrinter::status_, v); }
void ZVUSBPrinter::setStatusString(const Text& v) {
    setTextProperty("statusString", &ZVUSBPrinter::printerStatusString_, v);
}

std::string ZVUSBPrinter::idLocation() const { return formatted("%llx", locationID()); }
std::string ZVUSBPrinter::idVendor() const { return formatted("%llu", idVendorValue()); }
std::string ZVUSBPrinter::idProduct() const { return formatted("%llu", idProductValue()); }
std::string ZVUSBPrinter::keyUSBdevice() const {
    return formatted("%.4llX%.4llX%.8llX", idVendorValue(), idProductValue(), locationID());
}

std::string ZVUSBPrinter::descriptionUTF8() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Text& maker = manufacturer_ ? manufacturer_ : vendorUSB_;
    const Text& kind = model_ ? model_ : productUSB_;
    // What is not known is left out rather than written as "(null)".
    std::string out;
    for (const Text* part : {&maker, &kind, &serialNumberUSB_}) {
        if (!*part || (*part)->empty()) continue;
        if (!out.empty()) out += ' ';
        out += **part;
    }
    return out.empty() ? std::string("an unidentified printer") : out;
}

void ZVUSBPrinter::setInFirmwareUpdate(bool busy) {
    willChangeValueForKey("inFirmwareUpdate");
    isBusy_.store(busy);
    didChangeValueForKey("inFirmwareUpdate");
}

ovn::Value ZVUSBPrinter::valueForKey(const std::string& key) const {
    auto text = [](const Text& t) -> ovn::Value {
        if (t) return *t;
        return {};
    };
    if (key == "raw1284DeviceID") return text(raw1284DeviceID());
    if (key == "deviceID") return text(deviceID());
    if (key == "manufacturer") return text(manufacturer());
    if (key == "model") return text(model());
    if (key == "vendorUSB") return text(vendorUSB());
    if (key == "productUSB") return text(productUSB());
    if (key == "serialNumberUSB") return text(serialNumberUSB());
    if (key == "status") return text(status());
    if (key == "statusString") return text(statusString());
    if (key == "image") return text(image());
    if (key == "state") return state();
    if (key == "interfaceStatus") return static_cast<int64_t>(interfaceStatus());
    if (key == "isOwned") return isOwned();
    if (key == "inFirmwareUpdate") return inFirmwareUpdate();
    if (key == "idLocation") return idLocation();
    if (key == "idVendor") return idVendor();
    if (key == "idProduct") return idProduct();
    if (key == "keyUSBdevice") return keyUSBdevice();
    if (key == "descriptionUTF8") return descriptionUTF8();
    if (key == QELMOR_ZVPrinterStatus || key == QELMOR_ZVPrinterSerialNumber ||
        key == QELMOR_ZVPrinterFirmwareVersion) {
        auto value = deviceInfoDict_->get(key);
        return value ? *value : ovn::Value{};
    }
    return Observable::valueForKey(key);
}
