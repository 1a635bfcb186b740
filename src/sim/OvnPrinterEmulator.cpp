#include "sim/OvnPrinterEmulator.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#include "platform/DispatchQueue.h"
#include "platform/SystemLog.h"
#include "sim/DeviceImageCheck.h"

namespace ovn::sim {

namespace {

constexpr uint16_t kLanguageUS = 0x0409;
constexpr uint8_t kManufacturerIndex = 1;
constexpr uint8_t kProductIndex = 2;
constexpr uint8_t kSerialIndex = 3;
constexpr size_t kOversizeBody = 4097;

std::u16string toUtf16(const std::string& ascii) {
    std::u16string out;
    for (unsigned char c : ascii) out.push_back(static_cast<char16_t>(c));
    return out;
}

std::string format(const char* fmt, unsigned value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, fmt, value);
    return buf;
}

std::string hex16(unsigned value) { return format("%04X", value & 0xFFFF); }

// A checksum as the printer reports it for a table: the 16-bit sum of the table's bytes.
std::string tableChecksum(const std::vector<uint8_t>& data) {
    unsigned sum = 0;
    for (uint8_t b : data) sum += b;
    return hex16(sum);
}

// The checksum of a table the printer left the factory with: stable for a model, table and version.
std::string factoryChecksum(const ModelInfo& model, const ColourTableId& id, const std::string& version) {
    std::string key = std::string(model.name) + "/" + id.media + "/" + std::to_string(id.number) + "/" + version;
    uint64_t h = fnv1a64(reinterpret_cast<const uint8_t*>(key.data()), key.size());
    return hex16(static_cast<unsigned>(h ^ (h >> 16) ^ (h >> 32)));
}

std::string defaultSerial(const ModelInfo& model) {
    static std::atomic<unsigned> next{0};
    unsigned n = next.fetch_add(1);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%07u", model.serialPrefix, 1004721u + 7919u * n);
    return buf;
}

std::string printableText(const std::vector<uint8_t>& bytes) {
    std::string out;
    for (uint8_t b : bytes) {
        if (b >= 0x20 && b < 0x7F) {
            out.push_back(static_cast<char>(b));
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", b);
            out += buf;
        }
    }
    return out;
}

// The bus link of a printer plugged into the virtual USB bus.
class VirtualBusLink : public DeviceBusLink {
public:
    VirtualBusLink(std::weak_ptr<usb::VirtualUSBBus> bus, std::weak_ptr<usb::VirtualDeviceHandler> device)
        : bus_(std::move(bus)), device_(std::move(device)) {}

    void reEnumerate(uint64_t deviceId, uint32_t delayMs, const usb::VirtualDeviceDescription& description) override {
        if (auto bus = bus_.lock()) bus->reEnumerate(deviceId, delayMs, description);
    }
    void unplug(uint64_t deviceId) override {
        if (auto bus = bus_.lock()) bus->unplug(deviceId);
    }
    void plug(const usb::VirtualDeviceDescription& description) override {
        auto bus = bus_.lock();
        auto device = device_.lock();
        if (bus && device) bus->plug(description, device);
    }
    bool setHeldByOtherApplication(uint64_t deviceId, bool held) override {
        auto bus = bus_.lock();
        if (!bus) return false;
        bus->setHeldByOtherApplication(deviceId, held);
        return bus->isHeldByOtherApplication(deviceId);
    }
    bool isOpenByHost(uint64_t deviceId) override {
        auto bus = bus_.lock();
        return bus && bus->isOpenByHost(deviceId);
    }
    std::optional<uint32_t> locationOf(uint64_t deviceId) override {
        auto bus = bus_.lock();
        if (!bus) return std::nullopt;
        auto d = bus->description(deviceId);
        if (!d) return std::nullopt;
        return d->locationID;
    }

private:
    std::weak_ptr<usb::VirtualUSBBus> bus_;
    std::weak_ptr<usb::VirtualDeviceHandler> device_;  // what the bus was given: the emulator or a wrapper of it
};

}  // namespace

// --- Faults -------------------------------------------------------------------------------------------------

const char* faultName(Fault fault) {
    switch (fault) {
        case Fault::NoReply: return "noreply";
        case Fault::LateReply: return "late";
        case Fault::BadHeader: return "badheader";
        case Fault::OversizeLength: return "oversize";
        case Fault::NoCarriageReturn: return "nocr";
        case Fault::Disconnect: return "disconnect";
        case Fault::Busy: return "busy";
        case Fault::PowerLoss: return "powerloss";
    }
    return "unknown";
}

std::optional<Fault> faultByName(std::string_view name) {
    for (Fault f : {Fault::NoReply, Fault::LateReply, Fault::BadHeader, Fault::OversizeLength, Fault::NoCarriageReturn,
                    Fault::Disconnect, Fault::Busy, Fault::PowerLoss}) {
        if (name == faultName(f)) return f;
    }
    return std::nullopt;
}

bool faultNeedsReply(Fault fault) {
    switch (fault) {
        case Fault::NoReply:
        case Fault::LateReply:
        case Fault::BadHeader:
        case Fault::OversizeLength:
        case Fault::NoCarriageReturn:
            return true;
        default:
            return false;
    }
}

// --- Life -----------------------------------------------------------------------------------------------------

std::shared_ptr<OvnPrinterEmulator> OvnPrinterEmulator::create(const EmulatorConfig& config) {
    return std::shared_ptr<OvnPrinterEmulator>(new OvnPrinterEmulator(config));
}

OvnPrinterEmulator::OvnPrinterEmulator(const EmulatorConfig& config)
    : model_(&modelInfo(config.model)),
      vendorId_(config.vendorId),
      location_(config.locationId),
      restartDelayMs_(config.restartDelayMs),
      settleMs_(config.settleMs) {
    serial_ = config.serial.empty() ? defaultSerial(*model_) : config.serial;
    firmware_ = config.firmwareVersion.value_or(model_->defaultFirmware);
    if (config.rawStatus == kUpdateModeStatus) {
        mode_ = FirmwareMode::Update;
        normalStatus_ = kIdleStatus;
    } else {
        normalStatus_ = config.rawStatus;
    }
    if (config.lifetimeCounter) {
        lifetime_ = *config.lifetimeCounter;
    } else {
        uint64_t h = fnv1a64(reinterpret_cast<const uint8_t*>(serial_.data()), serial_.size());
        lifetime_ = 8000u + static_cast<uint32_t>(h % 52000u);
    }
    counters_ = {{'A', 482}, {'B', 1730}, {'M', 36}, {'P', 0}, {'T', 12}};
    iSerialSetting_ = iSerialReported_ = config.iSerial;
    for (const auto& id : tablesOfLayout(model_->layout)) {
        ColourTableState t;
        t.version = model_->defaultTableVersion;
        t.checksum = factoryChecksum(*model_, id, t.version);
        tables_[id] = t;
    }
    faults_ = config.faults;
    timerQueue_ = DispatchQueue::createSerial("ovn.sim." + serial_);
}

OvnPrinterEmulator::~OvnPrinterEmulator() = default;

// --- Identity -----------------------------------------------------------------------------------------------

std::string OvnPrinterEmulator::serial() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return serial_;
}

usb::VirtualDeviceDescription OvnPrinterEmulator::description() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return descriptionLocked();
}

usb::VirtualDeviceDescription OvnPrinterEmulator::descriptionLocked() const {
    usb::VirtualDeviceDescription d;
    d.idVendor = vendorId_;
    d.idProduct = model_->productId;
    d.bcdDevice = 0x0100;
    d.locationID = location_;
    d.languages = {kLanguageUS};
    d.strings[kManufacturerIndex][kLanguageUS] = toUtf16(kManufacturerString);
    d.strings[kProductIndex][kLanguageUS] = toUtf16(model_->productString);
    d.iManufacturer = kManufacturerIndex;
    d.iProduct = kProductIndex;
    if (iSerialReported_ && hasISerialSettingLocked()) {
        d.strings[kSerialIndex][kLanguageUS] = toUtf16(serial_);
        d.iSerialNumber = kSerialIndex;
    }
    return d;
}

std::string OvnPrinterEmulator::deviceIdText() const {
    std::string mdl = model_->deviceIdModel;
    return std::string("MFG:") + kManufacturerString + ";MDL:" + mdl + ";CMD:OVN;CLS:PRINTER;DES:" +
           kManufacturerString + " " + mdl + " Photo Printer;";
}

void OvnPrinterEmulator::setRawDeviceIdReply(std::optional<std::vector<uint8_t>> bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    rawDeviceId_ = std::move(bytes);
}

uint32_t OvnPrinterEmulator::locationId() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return location_;
}

// --- The bus ----------------------------------------------------------------------------------------------

void OvnPrinterEmulator::attached(usb::VirtualUSBBus& bus, uint64_t deviceId) {
    bool linked;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        linked = link_ && linkedBus_ == &bus;
    }
    if (!linked) {
        // Plugged back after a power loss, the printer goes in with the handler the bus was given (a test may
        // have wrapped the emulator in a handler of its own).
        std::shared_ptr<usb::VirtualDeviceHandler> handler = bus.handler(deviceId);
        if (!handler) handler = shared_from_this();
        auto link = std::make_shared<VirtualBusLink>(bus.weak_from_this(), handler);
        std::lock_guard<std::mutex> lock(mutex_);
        link_ = std::move(link);
        linkedBus_ = &bus;
    }
    handleAttached(deviceId);
}

void OvnPrinterEmulator::setBusLink(std::shared_ptr<DeviceBusLink> link) {
    std::lock_guard<std::mutex> lock(mutex_);
    link_ = std::move(link);
    linkedBus_ = nullptr;
}

std::shared_ptr<DeviceBusLink> OvnPrinterEmulator::link() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return link_;
}

void OvnPrinterEmulator::handleAttached(uint64_t deviceId) {
    std::lock_guard<std::mutex> lock(mutex_);
    deviceId_ = deviceId;
    lastDeviceId_ = deviceId;
    powered_ = true;
    held_ = false;
    ++generation_;
    replies_.clear();
    pendingTable_.reset();
    const char* mode = mode_ == FirmwareMode::Update         ? "waiting for firmware"
                       : mode_ == FirmwareMode::Intermediate ? "running the intermediate firmware"
                                                             : "running";
    noteLocked(std::string("on the bus, ") + mode + " " + firmware_);
    if (mode_ == FirmwareMode::Intermediate) scheduleSelfRestartLocked();
    cv_.notify_all();
}

std::optional<uint64_t> OvnPrinterEmulator::deviceId() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return deviceId_;
}

bool OvnPrinterEmulator::isOnBus() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return deviceId_.has_value();
}

bool OvnPrinterEmulator::isPowered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return powered_;
}

void OvnPrinterEmulator::goOffBusLocked() {
    deviceId_.reset();
    held_ = false;
    ++generation_;
    replies_.clear();
    pendingTable_.reset();
    partialFrame_.clear();
    cv_.notify_all();
}

void OvnPrinterEmulator::leaveBus(uint64_t deviceId) {
    auto l = link();
    if (!l) return;
    // Remember where the printer is plugged, so that it comes back to the same place.
    if (auto location = l->locationOf(deviceId)) {
        std::lock_guard<std::mutex> lock(mutex_);
        location_ = *location;
    }
    l->unplug(deviceId);
}

void OvnPrinterEmulator::plugBack(bool applyPowerOn) {
    usb::VirtualDeviceDescription d;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (deviceId_) return;  // already on the bus
        if (applyPowerOn || !powered_) {
            // Settings read at power-on take effect now.
            iSerialReported_ = iSerialSetting_;
        }
        powered_ = true;
        d = descriptionLocked();
    }
    if (auto l = link()) l->plug(d);
}

void OvnPrinterEmulator::powerCycle() {
    std::optional<uint64_t> id;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        id = deviceId_;
        noteLocked("power cycle");
        if (id) goOffBusLocked();
        powered_ = false;
    }
    if (id) leaveBus(*id);
    plugBack(true);
}

void OvnPrinterEmulator::powerLoss() {
    std::optional<uint64_t> id;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        id = deviceId_;
        noteLocked("power lost");
        if (id) goOffBusLocked();
        powered_ = false;
    }
    if (id) leaveBus(*id);
}

void OvnPrinterEmulator::powerOn() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        noteLocked(powered_ ? "plugged in again" : "power on");
    }
    plugBack(false);
}

void OvnPrinterEmulator::setHeldByOtherApplication(bool held) {
    std::optional<uint64_t> id;
    uint64_t generation;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = held;
        id = deviceId_;
        generation = generation_;
        noteLocked(held ? "wanted by another application" : "released by the other application");
    }
    if (held) {
        tryHold(generation);
    } else if (auto l = link(); id && l) {
        l->setHeldByOtherApplication(*id, false);
    }
}

void OvnPrinterEmulator::tryHold(uint64_t generation) {
    std::shared_ptr<DeviceBusLink> l;
    uint64_t id;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (generation != generation_ || !held_ || !deviceId_ || !link_) return;
        id = *deviceId_;
        l = link_;
    }
    // The other application takes the interface as soon as the host has closed it.
    if (!l->isOpenByHost(id) && l->setHeldByOtherApplication(id, true)) {
        std::lock_guard<std::mutex> lock(mutex_);
        noteLocked("taken by another application");
        return;
    }
    std::weak_ptr<OvnPrinterEmulator> weak = weak_from_this();
    timerQueue_->asyncAfter(std::chrono::milliseconds(20), [weak, generation] {
        if (auto self = weak.lock()) self->tryHold(generation);
    });
}

bool OvnPrinterEmulator::isHeldByOtherApplication() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_;
}

void OvnPrinterEmulator::runActions(const std::vector<BusAction>& actions) {
    if (actions.empty()) return;
    auto l = link();
    for (const auto& a : actions) {
        switch (a.kind) {
            case BusAction::ReEnumerate:
                if (l) l->reEnumerate(a.deviceId, a.delayMs, a.description);
                break;
            case BusAction::Unplug:
                leaveBus(a.deviceId);
                break;
            case BusAction::Hold:
                tryHold(a.generation);
                break;
        }
    }
}

void OvnPrinterEmulator::restartLocked(std::vector<BusAction>& actions) {
    ++restarts_;
    BusAction a;
    a.kind = BusAction::ReEnumerate;
    a.deviceId = deviceId_.value_or(lastDeviceId_);
    a.delayMs = restartDelayMs_;
    goOffBusLocked();
    a.description = descriptionLocked();
    actions.push_back(std::move(a));
}

void OvnPrinterEmulator::scheduleSelfRestartLocked() {
    std::weak_ptr<OvnPrinterEmulator> weak = weak_from_this();
    uint64_t generation = generation_;
    timerQueue_->asyncAfter(std::chrono::milliseconds(settleMs_), [weak, generation] {
        if (auto self = weak.lock()) self->selfRestart(generation);
    });
}

void OvnPrinterEmulator::selfRestart(uint64_t generation) {
    std::vector<BusAction> actions;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (generation != generation_ || mode_ != FirmwareMode::Intermediate || !deviceId_) return;
        firmware_ = pendingFirmware_;
        pendingFirmware_.clear();
        mode_ = FirmwareMode::Normal;
        noteLocked("intermediate firmware done, restarting into " + firmware_);
        restartLocked(actions);
    }
    runActions(actions);
}

// --- Bulk and control transfers -----------------------------------------------------------------------------

IOReturn OvnPrinterEmulator::bulkOut(const uint8_t* data, size_t length, uint32_t /*timeoutMs*/) {
    std::vector<BusAction> actions;
    IOReturn result = kIOReturnSuccess;
    std::vector<uint8_t> assembled;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!deviceId_) return kIOReturnNoDevice;

        // The bulk pipe is a byte stream: only a short packet ends a transfer where the host ends it. A transfer
        // of whole packets (a host writing a large frame in pieces) that holds less than its header announces
        // is the start of that frame; the frame is taken once the rest has come.
        if (!partialFrame_.empty()) {
            partialFrame_.insert(partialFrame_.end(), data, data + length);
            if (partialFrame_.size() < partialFrameLength_ && length % kBulkPacketSize == 0) return kIOReturnSuccess;
            assembled.swap(partialFrame_);
            partialFrameLength_ = 0;
            data = assembled.data();
            length = assembled.size();
        } else if (auto announced = announcedFrameLength(data, length);
                   announced && *announced > length && length % kBulkPacketSize == 0) {
            partialFrame_.assign(data, data + length);
            partialFrameLength_ = *announced;
            return kIOReturnSuccess;
        }

        FrameRecord record;
        record.sequence = ++sequence_;
        record.size = length;
        record.inUpdateMode = mode_ == FirmwareMode::Update;
        FrameParseResult parsed = parseCommandFrame(data, length);
        if (!parsed.frame) {
            record.malformed = true;
            record.error = parsed.error;
            record.payloadSize = length > 32 ? length - 32 : 0;
            record.outcome = "malformed: " + parsed.error;
            ++malformed_;
            noteLocked("malformed frame ignored: " + parsed.error);
            frames_.push_back(std::move(record));
            cv_.notify_all();
            return kIOReturnSuccess;  // the transfer itself went through; the printer does not answer
        }
        const ReceivedFrame& frame = *parsed.frame;
        const DeviceCommandInfo& info = commandInfo(frame.command);
        bool query = info.kind == CommandKind::Query;
        record.command = frame.command;
        record.commandName = commandName(frame.command);
        record.payloadSize = frame.payload.size();
        record.payloadHash = fnv1a64(frame.payload.data(), frame.payload.size());
        if (frame.payload.size() <= kLoggedPayloadLimit) record.payload = frame.payload;

        std::optional<Fault> fault = takeFaultLocked(frame.command, query);
        if (fault == Fault::PowerLoss || (fault == Fault::Disconnect && !query)) {
            bool powerLoss = fault == Fault::PowerLoss;
            record.outcome = powerLoss ? "fault: power lost as the frame arrived"
                                       : "fault: unplugged in the middle of the transfer";
            noteLocked(record.commandName + ": " + record.outcome);
            BusAction a;
            a.kind = BusAction::Unplug;
            a.deviceId = *deviceId_;
            actions.push_back(a);
            goOffBusLocked();
            if (powerLoss) powered_ = false;
            result = kIOReturnNoDevice;
        } else {
            if (query) {
                std::optional<std::string> text = answerQueryLocked(frame, record);
                if (text) queueReplyLocked(*text, fault, record);
            } else {
                performWriteLocked(frame, record, actions);
            }
            if (fault == Fault::Busy) {
                record.outcome += "; fault: taken by another application";
                noteLocked(record.commandName + ": taken by another application after this frame");
                held_ = true;
                BusAction a;
                a.kind = BusAction::Hold;
                a.deviceId = deviceId_.value_or(lastDeviceId_);
                a.generation = generation_;
                // A restart decided by this very frame comes first; the hold is then moot.
                if (deviceId_) actions.push_back(a);
            }
        }
        frames_.push_back(std::move(record));
        cv_.notify_all();
    }
    runActions(actions);
    return result;
}

IOReturn OvnPrinterEmulator::bulkIn(std::vector<uint8_t>& out, size_t maxLength, uint32_t timeoutMs) {
    out.clear();
    std::unique_lock<std::mutex> lock(mutex_);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (!deviceId_) return kIOReturnNoDevice;
        if (!replies_.empty()) {
            PendingReply& reply = replies_.front();
            if (reply.missedReads > 0) {
                // Still on its way: this read times out, and the reply is there for the next one.
                uint64_t generation = generation_;
                cv_.wait_until(lock, deadline, [&] { return generation_ != generation; });
                if (generation_ != generation) return kIOReturnNoDevice;
                --replies_.front().missedReads;
                return kIOReturnTimeout;
            }
            if (reply.dropAt && reply.consumed >= *reply.dropAt) {
                uint64_t id = *deviceId_;
                noteLocked("unplugged in the middle of a reply");
                goOffBusLocked();
                lock.unlock();
                leaveBus(id);
                return kIOReturnNoDevice;
            }
            size_t available = reply.bytes.size() - reply.consumed;
            if (reply.dropAt) available = std::min(available, *reply.dropAt - reply.consumed);
            size_t n = std::min(maxLength, available);
            auto begin = reply.bytes.begin() + static_cast<std::ptrdiff_t>(reply.consumed);
            out.assign(begin, begin + static_cast<std::ptrdiff_t>(n));
            reply.consumed += n;
            if (reply.consumed == reply.bytes.size()) replies_.pop_front();
            return kIOReturnSuccess;
        }
        if (cv_.wait_until(lock, deadline) == std::cv_status::timeout) {
            if (!deviceId_) return kIOReturnNoDevice;
            if (replies_.empty()) return kIOReturnTimeout;
        }
    }
}

IOReturn OvnPrinterEmulator::controlRequest(const usb::IOUSBDevRequestTO& setup, std::vector<uint8_t>& in) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!deviceId_) return kIOReturnNoDevice;
    in.clear();
    // Class requests of the printer class, addressed to interface 0, alternate setting 0.
    if (setup.bmRequestType == 0xA1 && setup.bRequest == 0) {  // GET_DEVICE_ID
        if (setup.wValue != 0 || (setup.wIndex >> 8) != 0) {
            char buf[96];
            std::snprintf(buf, sizeof buf, "GET_DEVICE_ID for configuration index %u, interface %u refused",
                          setup.wValue, setup.wIndex >> 8u);
            noteLocked(buf);
            return kIOUSBPipeStalled;
        }
        if (rawDeviceId_) {
            in = *rawDeviceId_;
        } else {
            std::string text = deviceIdText();
            size_t length = text.size() + 2;
            in.push_back(static_cast<uint8_t>(length >> 8));
            in.push_back(static_cast<uint8_t>(length & 0xFF));
            in.insert(in.end(), text.begin(), text.end());
        }
        return kIOReturnSuccess;
    }
    if (setup.bmRequestType == 0xA1 && setup.bRequest == 1) {  // GET_PORT_STATUS: selected, no error
        in.push_back(0x18);
        return kIOReturnSuccess;
    }
    if ((setup.bmRequestType == 0x21 || setup.bmRequestType == 0x23) && setup.bRequest == 2) {  // SOFT_RESET
        replies_.clear();
        pendingTable_.reset();
        partialFrame_.clear();
        noteLocked("soft reset: pending replies dropped");
        cv_.notify_all();
        return kIOReturnSuccess;
    }
    char buf[96];
    std::snprintf(buf, sizeof buf, "control request type 0x%02X request %u not supported", setup.bmRequestType,
                  setup.bRequest);
    noteLocked(buf);
    return kIOUSBPipeStalled;
}

// --- Commands -------------------------------------------------------------------------------------------------

std::optional<Fault> OvnPrinterEmulator::takeFaultLocked(DeviceCommand command, bool query) {
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->command && *it->command != command) continue;
        if (faultNeedsReply(it->fault) && !query) continue;
        Fault f = it->fault;
        if (it->count != kFaultForever && --it->count == 0) faults_.erase(it);
        return f;
    }
    return std::nullopt;
}

std::string OvnPrinterEmulator::statusLocked() const {
    return mode_ == FirmwareMode::Update ? kUpdateModeStatus : normalStatus_;
}

std::optional<std::string> OvnPrinterEmulator::answerQueryLocked(const ReceivedFrame& frame, FrameRecord& record) {
    if (mode_ == FirmwareMode::Update) {
        switch (frame.command) {
            case DeviceCommand::Status: return statusLocked();
            case DeviceCommand::FirmwareVersion: return firmware_;
            case DeviceCommand::SerialNumber: return serial_;
            default:
                rejectLocked("not served while waiting for firmware", record);
                return std::string();
        }
    }
    switch (frame.command) {
        case DeviceCommand::Status: return statusLocked();
        case DeviceCommand::FirmwareVersion: return firmware_;
        case DeviceCommand::SerialNumber: return serial_;
        case DeviceCommand::Media: return std::string("6x4");
        case DeviceCommand::FreeBuffer: return std::string("FBP02");
        case DeviceCommand::MediaQuantity: return std::string("00340");
        case DeviceCommand::TableVersion:
        case DeviceCommand::TableChecksum:
        case DeviceCommand::Cwd300Version:
        case DeviceCommand::Cwd600Version:
        case DeviceCommand::Cwd610Version:
        case DeviceCommand::Cwd620Version:
        case DeviceCommand::Cwd300Checksum:
        case DeviceCommand::Cwd600Checksum:
        case DeviceCommand::Cwd610Checksum:
        case DeviceCommand::Cwd620Checksum:
            return tableQueryLocked(frame, record);
        case DeviceCommand::CounterLife: return format("CL%07u", lifetime_);
        case DeviceCommand::CounterA: return format("CA%07u", counters_['A']);
        case DeviceCommand::CounterB: return format("CB%07u", counters_['B']);
        case DeviceCommand::CounterM: return format("CM%07u", counters_['M']);
        case DeviceCommand::CounterP: return format("CP%07u", counters_['P']);
        case DeviceCommand::CounterMatte: return format("MT%07u", counters_['T']);
        case DeviceCommand::ISerialRead:
            if (!hasISerialSettingLocked()) {
                rejectLocked(std::string("the ") + model_->name + " running " + firmware_ +
                                 " has no USB serial-number setting",
                             record);
                return std::string();
            }
            return format("%02u", iSerialSetting_ ? 1u : 0u);
        default:
            rejectLocked("not a query", record);
            return std::string();
    }
}

std::optional<std::string> OvnPrinterEmulator::tableQueryLocked(const ReceivedFrame& frame, FrameRecord& record) {
    DeviceCommand c = frame.command;
    bool version = c == DeviceCommand::TableVersion || c == DeviceCommand::Cwd300Version ||
                   c == DeviceCommand::Cwd600Version || c == DeviceCommand::Cwd610Version ||
                   c == DeviceCommand::Cwd620Version;
    ColourTableId id;
    if (c == DeviceCommand::TableVersion || c == DeviceCommand::TableChecksum) {
        if (model_->layout != TableLayout::Single) {
            rejectLocked(std::string("the ") + model_->name + " keeps its tables by number", record);
            return std::string();
        }
        id = {"SD", 300};
    } else {
        switch (c) {
            case DeviceCommand::Cwd300Version: case DeviceCommand::Cwd300Checksum: id.number = 300; break;
            case DeviceCommand::Cwd600Version: case DeviceCommand::Cwd600Checksum: id.number = 600; break;
            case DeviceCommand::Cwd610Version: case DeviceCommand::Cwd610Checksum: id.number = 610; break;
            default: id.number = 620; break;
        }
        std::string selector(frame.payload.begin(), frame.payload.end());
        if (model_->layout == TableLayout::Octuple) {
            if (selector == kMediaSD) {
                id.media = "SD";
            } else if (selector == kMediaPP) {
                id.media = "PP";
            } else {
                rejectLocked("table query without a media selector 0001 or 0003 (got '" +
                                 printableText(frame.payload) + "')",
                             record);
                return std::string();
            }
        } else if (model_->layout == TableLayout::Triple) {
            if (!frame.payload.empty()) {
                rejectLocked(std::string("the ") + model_->name + " takes no media selector", record);
                return std::string();
            }
            id.media = "SD";
        } else {
            rejectLocked(std::string("the ") + model_->name + " has no numbered tables", record);
            return std::string();
        }
    }
    auto it = tables_.find(id);
    if (it == tables_.end()) {
        rejectLocked(std::string("the ") + model_->name + " has no table " + id.media + " " +
                         std::to_string(id.number),
                     record);
        return std::string();
    }
    return version ? it->second.version : it->second.checksum;
}

void OvnPrinterEmulator::performWriteLocked(const ReceivedFrame& frame, FrameRecord& record,
                                            std::vector<BusAction>& actions) {
    const auto& p = frame.payload;
    if (mode_ == FirmwareMode::Update) {
        if (frame.command == DeviceCommand::FlashProgram) {
            flashProgramLocked(frame, record, actions);
        } else if (frame.command == DeviceCommand::FlashRewrite) {
            record.outcome = "done: already waiting for firmware";
        } else {
            rejectLocked("ignored while waiting for firmware", record);
        }
        return;
    }
    switch (frame.command) {
        case DeviceCommand::FlashRewrite:
            mode_ = FirmwareMode::Update;
            record.outcome = "done: restarting into firmware update mode";
            noteLocked("restarting into firmware update mode");
            restartLocked(actions);
            break;
        case DeviceCommand::FlashProgram:
            forbidLocked("firmware image sent while not in firmware update mode", record);
            break;
        case DeviceCommand::TableClear:
            for (auto& [id, t] : tables_) {
                t.version = "0000";
                t.checksum = "0000";
                t.versionName.clear();
                t.dataSize = 0;
                t.dataHash = 0;
            }
            pendingTable_.reset();
            record.outcome = "done: colour tables cleared";
            break;
        case DeviceCommand::TableWriteVersion:
            writeTableVersionLocked(frame, record);
            break;
        case DeviceCommand::TableWriteData:
            writeTableDataLocked(frame, record);
            break;
        case DeviceCommand::CounterClear: {
            char letter = p.size() == 4 ? static_cast<char>(p[1]) : 0;
            if (p.size() != 4 || p[0] != 'C' || (letter != 'A' && letter != 'B' && letter != 'M') || p[2] != 0x0D ||
                p[3] != 0) {
                rejectLocked("counter reset payload '" + printableText(p) + "' is not C, A/B/M, CR, NUL", record);
                break;
            }
            counters_[letter] = 0;
            record.outcome = std::string("done: counter ") + letter + " cleared";
            break;
        }
        case DeviceCommand::CounterPSet: {
            bool digits = p.size() == 8 && std::all_of(p.begin(), p.end(), [](uint8_t c) { return c >= '0' && c <= '9'; });
            if (!digits) {
                rejectLocked("counter P value '" + printableText(p) + "' is not eight digits", record);
                break;
            }
            counters_['P'] = static_cast<uint32_t>(std::stoul(std::string(p.begin(), p.end())));
            record.outcome = "done: counter P set";
            break;
        }
        case DeviceCommand::ISerialWrite: {
            if (!hasISerialSettingLocked()) {
                rejectLocked(std::string("the ") + model_->name + " running " + firmware_ +
                                 " has no USB serial-number setting",
                             record);
                break;
            }
            if (p.size() != 4 || p[0] != '0' || (p[1] != '0' && p[1] != '1') || p[2] != 0x0D || p[3] != 0) {
                rejectLocked("USB serial-number setting payload '" + printableText(p) + "' is not 0, 0/1, CR, NUL",
                             record);
                break;
            }
            iSerialSetting_ = p[1] == '1';
            record.outcome = std::string("done: USB serial number ") + (iSerialSetting_ ? "on" : "off") +
                             " from the next power cycle";
            noteLocked(record.outcome);
            break;
        }
        case DeviceCommand::Start:
            ++lifetime_;
            ++counters_['A'];
            ++counters_['B'];
            record.outcome = "done: printed";
            break;
        default:
            record.outcome = "done";
            break;
    }
}

void OvnPrinterEmulator::writeTableVersionLocked(const ReceivedFrame& frame, FrameRecord& record) {
    pendingTable_.reset();
    const auto& p = frame.payload;
    if (p.empty()) {
        rejectLocked("empty colour-table version", record);
        return;
    }
    if (p.size() % 4 != 0) {
        rejectLocked("colour-table version of " + std::to_string(p.size()) + " bytes is not padded to a multiple of 4",
                     record);
        return;
    }
    size_t end = p.size();
    while (end > 0 && p[end - 1] == 0) --end;
    std::string name(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(end));
    bool printable = !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) >= 0x21 && static_cast<unsigned char>(c) < 0x7F;
    });
    if (!printable) {
        rejectLocked("colour-table version '" + printableText(p) + "' is not a file name", record);
        return;
    }
    // "PL45_SD_300_0101.CWD": media (when the model has two), table number, version.
    std::vector<std::string> parts;
    size_t start = 0;
    std::string stem = name;
    size_t dot = stem.rfind('.');
    if (dot != std::string::npos) stem = stem.substr(0, dot);
    for (;;) {
        size_t us = stem.find('_', start);
        parts.push_back(stem.substr(start, us == std::string::npos ? std::string::npos : us - start));
        if (us == std::string::npos) break;
        start = us + 1;
    }
    std::optional<int> number;
    std::string media;
    for (const auto& part : parts) {
        if (part == "300" || part == "600" || part == "610" || part == "620") number = std::stoi(part);
        if (part == "SD" || part == "PP") media = part;
    }
    if (!number || parts.size() < 3) {
        rejectLocked("colour-table version '" + name + "' names no table", record);
        return;
    }
    if (model_->layout == TableLayout::Octuple && media.empty()) {
        rejectLocked("colour-table version '" + name + "' names no media type", record);
        return;
    }
    if (media.empty()) media = "SD";
    ColourTableId id{media, *number};
    if (!tables_.count(id)) {
        rejectLocked(std::string("the ") + model_->name + " has no table " + media + " " + std::to_string(*number),
                     record);
        return;
    }
    pendingTable_ = PendingTable{id, name, parts.back()};
    record.outcome = "done: version " + name + " for table " + media + " " + std::to_string(*number);
}

void OvnPrinterEmulator::writeTableDataLocked(const ReceivedFrame& frame, FrameRecord& record) {
    if (frame.payload.empty()) {
        pendingTable_.reset();
        forbidLocked("empty colour-table data frame", record);
        return;
    }
    if (!pendingTable_) {
        forbidLocked("colour-table data without a version frame before it", record);
        return;
    }
    ColourTableState& t = tables_[pendingTable_->id];
    t.version = pendingTable_->version;
    t.versionName = pendingTable_->name;
    t.checksum = tableChecksum(frame.payload);
    t.dataSize = frame.payload.size();
    t.dataHash = fnv1a64(frame.payload.data(), frame.payload.size());
    record.outcome = "done: table " + pendingTable_->id.media + " " + std::to_string(pendingTable_->id.number) +
                     " now " + t.version + " (checksum " + t.checksum + ")";
    noteLocked(record.outcome);
    pendingTable_.reset();
}

void OvnPrinterEmulator::flashProgramLocked(const ReceivedFrame& frame, FrameRecord& record,
                                            std::vector<BusAction>& actions) {
    ImageCheckResult check = checkFirmwareImage(frame.payload.data(), frame.payload.size());
    if (!check.ok) {
        forbidLocked("firmware image fails the check: " + check.error, record);
        noteLocked("still waiting for firmware");
        return;
    }
    std::string word = check.version.substr(0, check.version.find(' '));
    if (word != model_->firmwareWord) {
        forbidLocked("firmware image '" + check.version + "' is not for the " + model_->name, record);
        noteLocked("still waiting for firmware");
        return;
    }
    if (model_->model == PrinterModel::PLMV1) {
        pendingFirmware_ = check.version;
        firmware_ = kMV1IntermediateFirmware;
        mode_ = FirmwareMode::Intermediate;
    } else {
        firmware_ = check.version;
        mode_ = FirmwareMode::Normal;
    }
    record.outcome = "done: programmed " + check.version + ", restarting";
    noteLocked(record.outcome);
    restartLocked(actions);
}

void OvnPrinterEmulator::queueReplyLocked(const std::string& text, std::optional<Fault> fault, FrameRecord& record) {
    if (record.outcome.empty()) record.outcome = "answered";
    PendingReply reply;
    if (!fault || !faultNeedsReply(*fault)) {
        reply.bytes = buildReply(text);
        if (fault == Fault::Disconnect) {
            reply.dropAt = 8;  // the header goes out, then the printer is gone
            record.outcome += "; fault: unplugged after the reply header";
            noteLocked(record.commandName + ": will be unplugged after the reply header");
        }
        replies_.push_back(std::move(reply));
        return;
    }
    switch (*fault) {
        case Fault::NoReply:
            record.outcome = "fault: no reply";
            noteLocked(record.commandName + ": not answered (fault)");
            return;
        case Fault::LateReply:
            reply.bytes = buildReply(text);
            reply.missedReads = 1;
            record.outcome += "; fault: late reply";
            break;
        case Fault::BadHeader:
            reply.bytes = buildReply(text);
            std::fill(reply.bytes.begin(), reply.bytes.begin() + 8, static_cast<uint8_t>('X'));
            record.outcome += "; fault: header is not a number";
            break;
        case Fault::OversizeLength: {
            std::string body = text;
            if (body.size() < kOversizeBody - 1) body.append(kOversizeBody - 1 - body.size(), ' ');
            reply.bytes = buildReply(body);
            record.outcome += "; fault: length above 4096";
            break;
        }
        case Fault::NoCarriageReturn:
            reply.bytes = buildReply(text);
            reply.bytes.pop_back();
            {
                std::string header = format("%08u", static_cast<unsigned>(text.size()));
                std::copy(header.begin(), header.end(), reply.bytes.begin());
            }
            record.outcome += "; fault: body without carriage return";
            break;
        default:
            reply.bytes = buildReply(text);
            break;
    }
    noteLocked(record.commandName + ": " + record.outcome);
    replies_.push_back(std::move(reply));
}

void OvnPrinterEmulator::noteLocked(const std::string& line) {
    events_.push_back(line);
    SysLog("sim %s %s: %s", model_->name, serial_.c_str(), line.c_str());
}

void OvnPrinterEmulator::forbidLocked(const std::string& why, FrameRecord& record) {
    forbidden_.push_back(why);
    record.outcome = "forbidden: " + why;
    noteLocked(record.commandName + " forbidden: " + why);
}

void OvnPrinterEmulator::rejectLocked(const std::string& why, FrameRecord& record) {
    ++rejected_;
    record.outcome = "rejected: " + why;
    noteLocked(record.commandName + " rejected: " + why);
}

// --- State -----------------------------------------------------------------------------------------------------

bool OvnPrinterEmulator::hasISerialSettingLocked() const {
    switch (model_->iSerial) {
        case ISerialSupport::Never: return false;
        case ISerialSupport::Always: return true;
        case ISerialSupport::FromFirmware204:
            // Compared in hundredths, so that 2.04 written as text is not lost to rounding.
            return firmwareVersionNumber(firmware_) * 100.0 + 1e-6 >= 204.0;
    }
    return false;
}

FirmwareMode OvnPrinterEmulator::firmwareMode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return mode_;
}

std::string OvnPrinterEmulator::firmwareVersion() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return firmware_;
}

void OvnPrinterEmulator::setFirmwareVersion(const std::string& version) {
    std::lock_guard<std::mutex> lock(mutex_);
    firmware_ = version;
}

std::string OvnPrinterEmulator::rawStatus() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return statusLocked();
}

void OvnPrinterEmulator::setRawStatus(const std::string& status) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (status == kUpdateModeStatus) {
        mode_ = FirmwareMode::Update;
    } else {
        if (mode_ == FirmwareMode::Update) mode_ = FirmwareMode::Normal;
        normalStatus_ = status;
    }
}

uint32_t OvnPrinterEmulator::lifetimeCounter() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lifetime_;
}

void OvnPrinterEmulator::setLifetimeCounter(uint32_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    lifetime_ = value;
}

uint32_t OvnPrinterEmulator::mediaCounter(char letter) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = counters_.find(letter);
    return it == counters_.end() ? 0 : it->second;
}

void OvnPrinterEmulator::setMediaCounter(char letter, uint32_t value) {
    std::lock_guard<std::mutex> lock(mutex_);
    counters_[letter] = value;
}

bool OvnPrinterEmulator::hasISerialSetting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return hasISerialSettingLocked();
}

bool OvnPrinterEmulator::iSerialSetting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return iSerialSetting_;
}

bool OvnPrinterEmulator::reportsSerialNumber() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return iSerialReported_ && hasISerialSettingLocked();
}

std::map<ColourTableId, ColourTableState> OvnPrinterEmulator::colourTables() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return tables_;
}

void OvnPrinterEmulator::setColourTable(const ColourTableId& id, const ColourTableState& state) {
    std::lock_guard<std::mutex> lock(mutex_);
    tables_[id] = state;
}

uint32_t OvnPrinterEmulator::restartDelayMs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return restartDelayMs_;
}

void OvnPrinterEmulator::setRestartDelayMs(uint32_t ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    restartDelayMs_ = ms;
}

void OvnPrinterEmulator::setSettleMs(uint32_t ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    settleMs_ = ms;
}

int OvnPrinterEmulator::restartCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return restarts_;
}

// --- Faults and logs --------------------------------------------------------------------------------------------

void OvnPrinterEmulator::injectFault(Fault fault, std::optional<DeviceCommand> command, uint32_t count) {
    if (count == 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back(FaultRule{fault, command, count});
}

void OvnPrinterEmulator::injectFaultForNextExchanges(Fault fault, uint32_t count) {
    injectFault(fault, std::nullopt, count);
}

void OvnPrinterEmulator::clearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.clear();
}

size_t OvnPrinterEmulator::pendingFaultCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return faults_.size();
}

std::vector<FrameRecord> OvnPrinterEmulator::frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_;
}

size_t OvnPrinterEmulator::frameCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return frames_.size();
}

void OvnPrinterEmulator::clearFrameLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    frames_.clear();
}

size_t OvnPrinterEmulator::malformedCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return malformed_;
}

size_t OvnPrinterEmulator::rejectedCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rejected_;
}

size_t OvnPrinterEmulator::forbiddenCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return forbidden_.size();
}

std::vector<std::string> OvnPrinterEmulator::forbiddenReasons() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return forbidden_;
}

std::vector<std::string> OvnPrinterEmulator::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
}

size_t OvnPrinterEmulator::pendingReplyCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return replies_.size();
}

bool OvnPrinterEmulator::waitForFrameCount(size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return frames_.size() >= n; });
}

bool OvnPrinterEmulator::waitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (predicate()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

}  // namespace ovn::sim
