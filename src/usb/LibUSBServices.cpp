#include "usb/LibUSBServices.h"

#include <fcntl.h>
#include <libusb.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/SystemLog.h"
#include "usb/Notifications.h"
#include "usb/UsbTrace.h"

namespace ovn::usb {

IOReturn IOReturnFromLibusb(int error) {
    if (error >= 0) return kIOReturnSuccess;
    switch (error) {
        case LIBUSB_ERROR_IO: return kIOReturnError;
        case LIBUSB_ERROR_INVALID_PARAM: return kIOReturnBadArgument;
        case LIBUSB_ERROR_ACCESS: return kIOReturnNotPrivileged;
        case LIBUSB_ERROR_NO_DEVICE: return kIOReturnNoDevice;
        case LIBUSB_ERROR_NOT_FOUND: return kIOReturnNotFound;
        case LIBUSB_ERROR_BUSY: return kIOReturnExclusiveAccess;
        case LIBUSB_ERROR_TIMEOUT: return kIOReturnTimeout;
        case LIBUSB_ERROR_OVERFLOW: return kIOReturnOverrun;
        case LIBUSB_ERROR_PIPE: return kIOUSBPipeStalled;
        case LIBUSB_ERROR_INTERRUPTED: return kIOReturnAborted;
        case LIBUSB_ERROR_NO_MEM: return kIOReturnNoMemory;
        case LIBUSB_ERROR_NOT_SUPPORTED: return kIOReturnUnsupported;
        default: return kIOReturnError;
    }
}

uint32_t LocationIDFromPorts(uint8_t bus, const uint8_t* ports, int count) {
    uint32_t location = static_cast<uint32_t>(bus) << 24;
    for (int i = 0; i < count && i < 6 && ports; ++i) {
        uint32_t port = ports[i] > 15 ? 15 : ports[i];
        location |= port << (20 - 4 * i);
    }
    return location;
}

namespace {

constexpr unsigned kDefaultControlTimeoutMs = 5000;
// usbfs refuses a control transfer with more than one page of data.
constexpr uint16_t kMaxControlData = 4096;

// libusb_exit runs only once nothing refers to the context any more (records and open handles keep it).
struct Context {
    libusb_context* ctx = nullptr;
    ~Context() {
        if (ctx) libusb_exit(ctx);
    }
};

// Decrements a counter that is above zero; false when it was zero.
bool takeOne(std::atomic<int>& counter) {
    int value = counter.load();
    while (value > 0) {
        if (counter.compare_exchange_weak(value, value - 1)) return true;
    }
    return false;
}

struct DeviceRecord;

// The inotify watch of one device node, shared by the successive records of the device. The counters hold the
// node opens and closes this program made itself, whose events are not reported.
struct NodeWatch {
    std::string path;
    int wd = -1;
    std::atomic<int> ownOpens{0};
    std::atomic<int> ownCloses{0};
    std::mutex mutex;
    std::weak_ptr<DeviceRecord> current;
};

// An open libusb device handle; closes itself when the last user lets go.
struct LibHandle {
    std::shared_ptr<Context> context;
    libusb_device_handle* handle = nullptr;
    std::shared_ptr<NodeWatch> watch;
    ~LibHandle() {
        if (watch && watch->wd >= 0) ++watch->ownCloses;
        libusb_close(handle);
    }
};

struct EndpointInfo {
    uint8_t address = 0;
    uint8_t transferType = kUSBBulk;
    uint16_t maxPacketSize = 0;
    uint8_t interval = 0;
};

struct InterfaceInfo {
    uint8_t number = 0;
    uint8_t alternate = 0;
    uint8_t interfaceClass = 0;
    uint8_t interfaceSubClass = 0;
    uint8_t protocol = 0;
    std::vector<EndpointInfo> endpoints;
    IOServicePtr service;
};

class LibService : public detail::ServiceObject {
public:
    LibService(std::string className, uint8_t cls, uint8_t sub, const void* owner, size_t index)
        : ServiceObject(std::move(className), cls, sub), owner(owner), index(index) {}
    const void* owner;
    size_t index;  // interface services: index into the record's interfaces
    std::weak_ptr<DeviceRecord> record;
};

// One appearance of a device on the bus. A re-enumeration makes a new record (new services) for the same
// libusb device; the old one is gone for good.
struct DeviceRecord {
    std::shared_ptr<Context> context;
    libusb_device* device = nullptr;  // one reference
    uint8_t busNumber = 0;
    uint8_t address = 0;
    uint32_t locationID = 0;
    libusb_device_descriptor descriptor{};
    uint8_t configurationValue = 1;
    std::string nodePath;
    std::vector<InterfaceInfo> interfaces;
    IOServicePtr deviceService;
    std::shared_ptr<NodeWatch> watch;
    std::atomic<bool> gone{false};

    std::mutex mutex;  // the shared handle and the claims
    std::weak_ptr<LibHandle> handle;
    std::vector<uint64_t> openToken;    // per interface: the interface handle that claimed it
    std::vector<bool> driverDetached;  // per interface: usblp was detached by the claim

    ~DeviceRecord() {
        if (device) libusb_unref_device(device);
    }

    std::vector<IOServicePtr> services() const {
        std::vector<IOServicePtr> all;
        for (const auto& info : interfaces) all.push_back(info.service);
        all.push_back(deviceService);
        return all;
    }

    // The shared libusb handle, opening the device node when nobody has it open. Call with `mutex` held.
    IOReturn acquireHandle(std::shared_ptr<LibHandle>* out) {
        if (auto existing = handle.lock()) {
            *out = existing;
            return kIOReturnSuccess;
        }
        if (gone.load()) return kIOReturnNoDevice;
        bool watched = watch && watch->wd >= 0;
        if (watched) ++watch->ownOpens;
        libusb_device_handle* raw = nullptr;
        errno = 0;
        int result = libusb_open(device, &raw);
        int openErrno = errno;
        if (result != LIBUSB_SUCCESS || !raw) {
            if (watched) takeOne(watch->ownOpens);
            // libusb reports a busy device node as a plain I/O error.
            if (result == LIBUSB_ERROR_IO && openErrno == EBUSY) return kIOReturnExclusiveAccess;
            return result == LIBUSB_SUCCESS ? kIOReturnError : IOReturnFromLibusb(result);
        }
        auto opened = std::make_shared<LibHandle>();
        opened->context = context;
        opened->handle = raw;
        opened->watch = watch;
        handle = opened;
        *out = opened;
        return kIOReturnSuccess;
    }
};

}  // namespace

struct LibUSBServices::Impl : std::enable_shared_from_this<LibUSBServices::Impl> {
    Options options;
    std::shared_ptr<Context> context;
    detail::NotificationHub hub;

    std::mutex mutex;  // records and ignored
    std::map<libusb_device*, std::shared_ptr<DeviceRecord>> records;
    std::set<libusb_device*> ignored;  // polling: devices without a printer interface (one reference each)

    std::mutex pendingMutex;
    std::vector<std::pair<libusb_device*, bool>> pending;  // hot-plug events (one reference each)
    bool hotplug = false;
    libusb_hotplug_callback_handle hotplugHandle = 0;

    std::thread thread;
    std::atomic<bool> stopping{false};
    std::chrono::steady_clock::time_point lastPoll;

    int inotifyFd = -1;
    std::mutex watchMutex;
    std::map<int, std::shared_ptr<NodeWatch>> watches;
    bool watchFailureLogged = false;

    std::atomic<uint64_t> nextToken{1};

    ~Impl() {
        stop();
        if (inotifyFd >= 0) ::close(inotifyFd);
    }

    static int LIBUSB_CALL hotplugCallback(libusb_context*, libusb_device* device, libusb_hotplug_event event,
                                           void* userData) {
        auto* self = static_cast<Impl*>(userData);
        libusb_ref_device(device);
        std::lock_guard<std::mutex> lock(self->pendingMutex);
        self->pending.emplace_back(device, event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED);
        return 0;
    }

    void start() {
        if (options.watchDeviceNodes) {
            inotifyFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
            if (inotifyFd < 0) SysLog("USB: cannot watch device nodes (inotify: %s)", std::strerror(errno));
        }
        if (options.useHotplug && libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
            int result = libusb_hotplug_register_callback(
                context->ctx,
                static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                                  LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
                LIBUSB_HOTPLUG_ENUMERATE, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                LIBUSB_HOTPLUG_MATCH_ANY, &Impl::hotplugCallback, this, &hotplugHandle);
            hotplug = result == LIBUSB_SUCCESS;
            if (!hotplug) SysLog("USB: hot-plug registration failed (%s)", libusb_error_name(result));
        }
        if (hotplug) {
            processPending();
        } else {
            SysLog("USB: hot-plug not available, polling the device list every %u ms", options.pollIntervalMs);
            poll();
        }
        thread = std::thread([this] { run(); });
    }

    void stop() {
        if (stopping.exchange(true)) return;
        if (context && context->ctx) libusb_interrupt_event_handler(context->ctx);
        if (thread.joinable()) thread.join();
        if (hotplug) libusb_hotplug_deregister_callback(context->ctx, hotplugHandle);
        hotplug = false;
        std::vector<std::pair<libusb_device*, bool>> leftover;
        {
            std::lock_guard<std::mutex> lock(pendingMutex);
            leftover.swap(pending);
        }
        for (auto& [device, arrived] : leftover) libusb_unref_device(device);
        std::map<libusb_device*, std::shared_ptr<DeviceRecord>> dropped;
        std::set<libusb_device*> droppedIgnored;
        {
            std::lock_guard<std::mutex> lock(mutex);
            dropped.swap(records);
            droppedIgnored.swap(ignored);
        }
        for (libusb_device* device : droppedIgnored) libusb_unref_device(device);
    }

    void run() {
        lastPoll = std::chrono::steady_clock::now();
        while (!stopping.load()) {
            timeval tv{0, 100000};
            libusb_handle_events_timeout_completed(context->ctx, &tv, nullptr);
            if (stopping.load()) break;
            processPending();
            readNodeEvents();
            if (!hotplug) {
                auto now = std::chrono::steady_clock::now();
                if (now - lastPoll >= std::chrono::milliseconds(options.pollIntervalMs)) {
                    lastPoll = now;
                    poll();
                }
            }
        }
    }

    void processPending() {
        std::vector<std::pair<libusb_device*, bool>> events;
        {
            std::lock_guard<std::mutex> lock(pendingMutex);
            events.swap(pending);
        }
        for (auto& [device, arrived] : events) {
            if (arrived)
                deviceArrived(device);
            else
                deviceLeft(device);
            libusb_unref_device(device);
        }
    }

    void poll() {
        libusb_device** list = nullptr;
        ssize_t count = libusb_get_device_list(context->ctx, &list);
        if (count < 0) return;
        std::set<libusb_device*> present(list, list + count);
        std::vector<libusb_device*> arrivals;
        std::vector<libusb_device*> departures;
        {
            std::lock_guard<std::mutex> lock(mutex);
            for (libusb_device* device : present)
                if (!records.count(device) && !ignored.count(device)) arrivals.push_back(device);
            for (auto& [device, record] : records)
                if (!present.count(device)) departures.push_back(device);
            for (auto it = ignored.begin(); it != ignored.end();) {
                if (present.count(*it)) {
                    ++it;
                    continue;
                }
                libusb_unref_device(*it);
                it = ignored.erase(it);
            }
        }
        for (libusb_device* device : departures) deviceLeft(device);
        for (libusb_device* device : arrivals) {
            if (!deviceArrived(device)) {
                std::lock_guard<std::mutex> lock(mutex);
                if (ignored.insert(device).second) libusb_ref_device(device);
            }
        }
        libusb_free_device_list(list, 1);
    }

    // False when the device has no printer interface.
    bool deviceArrived(libusb_device* device) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (records.count(device)) return true;
        }
        auto record = buildRecord(device);
        if (!record) return false;
        std::lock_guard<std::mutex> lock(mutex);
        if (records.count(device)) return true;
        publishLocked(record);
        return true;
    }

    void deviceLeft(libusb_device* device) {
        std::shared_ptr<DeviceRecord> record;
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto it = records.find(device);
            if (it == records.end()) return;
            record = it->second;
            records.erase(it);
            terminateLocked(*record);
        }
        unwatch(record->watch);
    }

    std::shared_ptr<DeviceRecord> buildRecord(libusb_device* device) {
        libusb_device_descriptor descriptor{};
        if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) return nullptr;
        libusb_config_descriptor* config = nullptr;
        if (libusb_get_active_config_descriptor(device, &config) != LIBUSB_SUCCESS) {
            config = nullptr;
            if (libusb_get_config_descriptor(device, 0, &config) != LIBUSB_SUCCESS) return nullptr;
        }
        auto record = std::make_shared<DeviceRecord>();
        record->configurationValue = config->bConfigurationValue;
        for (uint8_t i = 0; i < config->bNumInterfaces; ++i) {
            const libusb_interface& interface = config->interface[i];
            // Of the printer-class alternate settings, the bidirectional one (protocol 2) is preferred, then the
            // unidirectional one (1), then whichever comes first.
            const libusb_interface_descriptor* chosen = nullptr;
            int rank = INT_MAX;
            for (int a = 0; a < interface.num_altsetting; ++a) {
                const libusb_interface_descriptor& alt = interface.altsetting[a];
                if (alt.bInterfaceClass != LIBUSB_CLASS_PRINTER) continue;
                int r = alt.bInterfaceProtocol == 2 ? 0 : alt.bInterfaceProtocol == 1 ? 1 : 2;
                if (r < rank) {
                    rank = r;
                    chosen = &alt;
                }
            }
            if (!chosen) continue;
            InterfaceInfo info;
            info.number = chosen->bInterfaceNumber;
            info.alternate = chosen->bAlternateSetting;
            info.interfaceClass = chosen->bInterfaceClass;
            info.interfaceSubClass = chosen->bInterfaceSubClass;
            info.protocol = chosen->bInterfaceProtocol;
            for (uint8_t e = 0; e < chosen->bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& ep = chosen->endpoint[e];
                EndpointInfo endpoint;
                endpoint.address = ep.bEndpointAddress;
                endpoint.transferType = ep.bmAttributes & 0x03;
                endpoint.maxPacketSize = ep.wMaxPacketSize;
                endpoint.interval = ep.bInterval;
                info.endpoints.push_back(endpoint);
            }
            record->interfaces.push_back(std::move(info));
        }
        libusb_free_config_descriptor(config);
        if (record->interfaces.empty()) return nullptr;

        record->context = context;
        record->device = libusb_ref_device(device);
        record->descriptor = descriptor;
        record->busNumber = libusb_get_bus_number(device);
        record->address = libusb_get_device_address(device);
        uint8_t ports[8];
        int portCount = libusb_get_port_numbers(device, ports, sizeof ports);
        record->locationID = LocationIDFromPorts(record->busNumber, ports, portCount < 0 ? 0 : portCount);
        char path[64];
        std::snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", unsigned{record->busNumber},
                      unsigned{record->address});
        record->nodePath = path;
        record->openToken.assign(record->interfaces.size(), 0);
        record->driverDetached.assign(record->interfaces.size(), false);

        auto deviceService = std::make_shared<LibService>("IOUSBDevice", 0, 0, this, 0);
        deviceService->record = record;
        record->deviceService = deviceService;
        for (size_t i = 0; i < record->interfaces.size(); ++i) {
            InterfaceInfo& info = record->interfaces[i];
            auto service = std::make_shared<LibService>("IOUSBInterface", info.interfaceClass,
                                                        info.interfaceSubClass, this, i);
            service->record = record;
            info.service = service;
        }
        record->watch = watch(record->nodePath);
        return record;
    }

    void publishLocked(const std::shared_ptr<DeviceRecord>& record) {
        records[record->device] = record;
        if (record->watch) {
            std::lock_guard<std::mutex> lock(record->watch->mutex);
            record->watch->current = record;
        }
        hub.serviceArrived(record->deviceService);
        for (const auto& info : record->interfaces) hub.serviceArrived(info.service);
    }

    void terminateLocked(DeviceRecord& record) {
        if (record.gone.exchange(true)) return;
        hub.servicesTerminated(record.services());
    }

    // After a successful reset: the old record leaves, a new one arrives for the same device.
    void reEnumerated(const std::shared_ptr<DeviceRecord>& old) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            auto it = records.find(old->device);
            if (it == records.end() || it->second != old) return;
            records.erase(it);
            terminateLocked(*old);
        }
        auto record = buildRecord(old->device);
        if (!record) return;
        std::lock_guard<std::mutex> lock(mutex);
        if (!records.count(record->device)) publishLocked(record);
    }

    std::shared_ptr<NodeWatch> watch(const std::string& path) {
        auto node = std::make_shared<NodeWatch>();
        node->path = path;
        if (inotifyFd < 0) return node;
        std::lock_guard<std::mutex> lock(watchMutex);
        int wd = inotify_add_watch(inotifyFd, path.c_str(), IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
        if (wd < 0) {
            if (!watchFailureLogged) {
                SysLog("USB: cannot watch %s for other programs' opens: %s", path.c_str(), std::strerror(errno));
                watchFailureLogged = true;
            }
            return node;
        }
        auto existing = watches.find(wd);
        if (existing != watches.end()) return existing->second;
        node->wd = wd;
        watches[wd] = node;
        return node;
    }

    void unwatch(const std::shared_ptr<NodeWatch>& node) {
        if (!node || node->wd < 0 || inotifyFd < 0) return;
        std::lock_guard<std::mutex> lock(watchMutex);
        auto it = watches.find(node->wd);
        if (it == watches.end() || it->second != node) return;
        inotify_rm_watch(inotifyFd, node->wd);
        watches.erase(it);
    }

    void readNodeEvents() {
        if (inotifyFd < 0) return;
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            ssize_t length = ::read(inotifyFd, buffer, sizeof buffer);
            if (length <= 0) return;
            for (ssize_t offset = 0; offset + static_cast<ssize_t>(sizeof(inotify_event)) <= length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + offset);
                offset += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                nodeEvent(event->wd, event->mask);
            }
        }
    }

    void nodeEvent(int wd, uint32_t mask) {
        std::shared_ptr<NodeWatch> node;
        {
            std::lock_guard<std::mutex> lock(watchMutex);
            auto it = watches.find(wd);
            if (it == watches.end()) return;
            node = it->second;
            if (mask & IN_IGNORED) {
                watches.erase(it);
                return;
            }
        }
        std::shared_ptr<DeviceRecord> record;
        {
            std::lock_guard<std::mutex> lock(node->mutex);
            record = node->current.lock();
        }
        if (mask & IN_OPEN) {
            if (!takeOne(node->ownOpens) && record && !record->gone.load())
                for (const auto& info : record->interfaces)
                    hub.interestMessage(info.service, kIOMessageServiceIsAttemptingOpen);
        }
        if (mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) {
            if (!takeOne(node->ownCloses) && record && !record->gone.load())
                for (const auto& info : record->interfaces)
                    hub.interestMessage(info.service, kIOMessageServiceWasClosed);
        }
    }

    std::shared_ptr<DeviceRecord> recordOf(const IOServicePtr& service, size_t* index, bool wantInterface) {
        auto libService = std::dynamic_pointer_cast<LibService>(service);
        if (!libService || libService->owner != this) return nullptr;
        if ((libService->className() == "IOUSBInterface") != wantInterface) return nullptr;
        if (index) *index = libService->index;
        return libService->record.lock();
    }
};

namespace {

using Impl = LibUSBServices::Impl;

class LibDevice : public IOUSBDeviceInterface {
public:
    LibDevice(std::shared_ptr<DeviceRecord> record, std::weak_ptr<Impl> owner)
        : record_(std::move(record)), owner_(std::move(owner)) {}

    IOReturn USBDeviceOpen() override {
        std::lock_guard<std::mutex> lock(record_->mutex);
        if (record_->gone.load()) return kIOReturnNoDevice;
        std::shared_ptr<LibHandle> handle;
        IOReturn result = record_->acquireHandle(&handle);
        if (result != kIOReturnSuccess) return result;
        handle_ = handle;
        open_ = true;
        return kIOReturnSuccess;
    }

    IOReturn USBDeviceClose() override {
        std::shared_ptr<LibHandle> dropped;
        std::lock_guard<std::mutex> lock(record_->mutex);
        if (!open_) return record_->gone.load() ? kIOReturnNoDevice : kIOReturnNotOpen;
        open_ = false;
        dropped.swap(handle_);
        return record_->gone.load() ? kIOReturnNoDevice : kIOReturnSuccess;
    }

    IOReturn USBGetManufacturerStringIndex(uint8_t* index) override {
        return give(index, record_->descriptor.iManufacturer);
    }
    IOReturn USBGetProductStringIndex(uint8_t* index) override { return give(index, record_->descriptor.iProduct); }
    IOReturn USBGetSerialNumberStringIndex(uint8_t* index) override {
        return give(index, record_->descriptor.iSerialNumber);
    }

    IOReturn ResetDevice() override {
        std::shared_ptr<LibHandle> handle;
        IOReturn check = openHandle(&handle);
        if (check != kIOReturnSuccess) return check;
        int result = libusb_reset_device(handle->handle);
        return result == LIBUSB_ERROR_NOT_FOUND ? kIOReturnNoDevice : IOReturnFromLibusb(result);
    }

    IOReturn USBDeviceReEnumerate(uint32_t /*options*/) override {
        std::shared_ptr<LibHandle> handle;
        IOReturn check = openHandle(&handle);
        if (check != kIOReturnSuccess) return check;
        {
            // Claims would be carried over the reset; the device comes back unclaimed, to usblp.
            std::lock_guard<std::mutex> lock(record_->mutex);
            for (size_t i = 0; i < record_->interfaces.size(); ++i) {
                if (!record_->openToken[i]) continue;
                libusb_release_interface(handle->handle, record_->interfaces[i].number);
                if (record_->driverDetached[i]) libusb_attach_kernel_driver(handle->handle, record_->interfaces[i].number);
                record_->openToken[i] = 0;
                record_->driverDetached[i] = false;
            }
        }
        int result = libusb_reset_device(handle->handle);
        if (result == LIBUSB_SUCCESS) {
            // The kernel kept the device as it was: it leaves and arrives here instead.
            if (auto owner = owner_.lock()) owner->reEnumerated(record_);
            return kIOReturnSuccess;
        }
        // The device is being enumerated anew by the system (or is gone); hot-plug reports it.
        if (result == LIBUSB_ERROR_NOT_FOUND || result == LIBUSB_ERROR_NO_DEVICE) return kIOReturnSuccess;
        return IOReturnFromLibusb(result);
    }

private:
    static IOReturn give(uint8_t* out, uint8_t value) {
        if (!out) return kIOReturnBadArgument;
        *out = value;
        return kIOReturnSuccess;
    }

    IOReturn openHandle(std::shared_ptr<LibHandle>* handle) {
        std::lock_guard<std::mutex> lock(record_->mutex);
        if (record_->gone.load()) return kIOReturnNoDevice;
        if (!open_ || !handle_) return kIOReturnNotOpen;
        *handle = handle_;
        return kIOReturnSuccess;
    }

    std::shared_ptr<DeviceRecord> record_;
    std::weak_ptr<Impl> owner_;
    std::shared_ptr<LibHandle> handle_;  // guarded by record_->mutex
    bool open_ = false;
};

class LibInterface : public IOUSBInterfaceInterface {
public:
    LibInterface(std::shared_ptr<DeviceRecord> record, size_t index, uint64_t token, std::weak_ptr<Impl> owner)
        : record_(std::move(record)), index_(index), token_(token), owner_(std::move(owner)) {}

    ~LibInterface() override {
        std::shared_ptr<LibHandle> dropped;
        std::lock_guard<std::mutex> lock(record_->mutex);
        if (record_->openToken[index_] == token_) releaseLocked(true);
        dropped.swap(handle_);
    }

    IOReturn USBInterfaceOpenSeize() override {
        if (record_->gone.load()) return kIOReturnNoDevice;
        message(kIOMessageServiceIsAttemptingOpen);
        std::lock_guard<std::mutex> lock(record_->mutex);
        if (record_->gone.load()) return kIOReturnNoDevice;
        uint64_t holder = record_->openToken[index_];
        if (holder == token_) return kIOReturnSuccess;
        if (holder) return kIOReturnExclusiveAccess;
        std::shared_ptr<LibHandle> handle;
        IOReturn result = handleLocked(&handle);
        if (result != kIOReturnSuccess) return result;
        const InterfaceInfo& info = record_->interfaces[index_];
        bool detached = false;
        if (libusb_kernel_driver_active(handle->handle, info.number) == 1) {
            int detach = libusb_detach_kernel_driver(handle->handle, info.number);
            if (detach == LIBUSB_SUCCESS)
                detached = true;
            else if (detach != LIBUSB_ERROR_NOT_FOUND)
                return IOReturnFromLibusb(detach);
        }
        int claim = libusb_claim_interface(handle->handle, info.number);
        if (claim != LIBUSB_SUCCESS) {
            if (detached) libusb_attach_kernel_driver(handle->handle, info.number);
            return IOReturnFromLibusb(claim);
        }
        if (info.alternate != 0) {
            int set = libusb_set_interface_alt_setting(handle->handle, info.number, info.alternate);
            if (set != LIBUSB_SUCCESS) {
                libusb_release_interface(handle->handle, info.number);
                if (detached) libusb_attach_kernel_driver(handle->handle, info.number);
                return IOReturnFromLibusb(set);
            }
        }
        record_->openToken[index_] = token_;
        record_->driverDetached[index_] = detached;
        return kIOReturnSuccess;
    }

    IOReturn USBInterfaceClose() override {
        std::lock_guard<std::mutex> lock(record_->mutex);
        if (record_->openToken[index_] != token_) return record_->gone.load() ? kIOReturnNoDevice : kIOReturnNotOpen;
        IOReturn result = releaseLocked(true);
        return record_->gone.load() ? kIOReturnNoDevice : result;
    }

    IOReturn GetInterfaceClass(uint8_t* v) override { return give(v, info().interfaceClass); }
    IOReturn GetInterfaceSubClass(uint8_t* v) override { return give(v, info().interfaceSubClass); }
    IOReturn GetInterfaceProtocol(uint8_t* v) override { return give(v, info().protocol); }
    IOReturn GetInterfaceNumber(uint8_t* v) override { return give(v, info().number); }
    IOReturn GetAlternateSetting(uint8_t* v) override { return give(v, info().alternate); }
    IOReturn GetConfigurationValue(uint8_t* v) override { return give(v, record_->configurationValue); }
    IOReturn GetDeviceVendor(uint16_t* v) override { return give(v, record_->descriptor.idVendor); }
    IOReturn GetDeviceProduct(uint16_t* v) override { return give(v, record_->descriptor.idProduct); }
    IOReturn GetDeviceReleaseNumber(uint16_t* v) override { return give(v, record_->descriptor.bcdDevice); }
    IOReturn GetLocationID(uint32_t* v) override { return give(v, record_->locationID); }

    IOReturn GetNumEndpoints(uint8_t* count) override {
        if (!count) return kIOReturnBadArgument;
        IOReturn check = checkOpen();
        if (check != kIOReturnSuccess) return check;
        *count = static_cast<uint8_t>(info().endpoints.size());
        return kIOReturnSuccess;
    }

    IOReturn GetPipeProperties(uint8_t pipeRef, uint8_t* direction, uint8_t* number, uint8_t* transferType,
                               uint16_t* maxPacketSize, uint8_t* interval) override {
        IOReturn check = checkOpen();
        if (check != kIOReturnSuccess) return check;
        detail::PipeProperties pipe;
        pipe.maxPacketSize = record_->descriptor.bMaxPacketSize0;
        if (pipeRef != 0) {
            if (pipeRef > info().endpoints.size()) return kIOUSBUnknownPipeErr;
            pipe = detail::PipeProperties::of(info().endpoints[pipeRef - 1]);
        }
        return pipe.give(direction, number, transferType, maxPacketSize, interval);
    }

    IOReturn WritePipeTO(uint8_t pipeRef, const void* buf, uint32_t size, uint32_t noDataTimeout,
                         uint32_t completionTimeout) override {
        return WritePipeProgressTO(pipeRef, buf, size, noDataTimeout, completionTimeout, nullptr);
    }

    IOReturn WritePipeProgressTO(uint8_t pipeRef, const void* buf, uint32_t size, uint32_t /*noDataTimeout*/,
                                 uint32_t completionTimeout, const WriteProgress& progress) override {
        uint32_t moved = 0;
        IOReturn result = kIOReturnBadArgument;
        if (buf || size == 0)
            result = write(pipeRef, static_cast<const unsigned char*>(buf), size, completionTimeout, progress, &moved);
        trace(UsbTrace::Direction::Out, UsbTrace::Transfer::Bulk, buf, moved, result);
        if (progress) progress(moved, size);
        return result;
    }

    IOReturn ReadPipeTO(uint8_t pipeRef, void* buf, uint32_t* size, uint32_t /*noDataTimeout*/,
                        uint32_t completionTimeout) override {
        if (!size) return kIOReturnBadArgument;
        uint32_t maxLength = *size;
        *size = 0;
        int moved = 0;
        IOReturn result = kIOReturnBadArgument;
        if (buf || maxLength == 0)
            result = bulk(pipeRef, true, static_cast<unsigned char*>(buf), maxLength, completionTimeout, &moved);
        *size = static_cast<uint32_t>(moved);
        trace(UsbTrace::Direction::In, UsbTrace::Transfer::Bulk, buf, *size, result);
        return result;
    }

    IOReturn ControlRequestTO(uint8_t pipeRef, IOUSBDevRequestTO* request) override {
        if (!request) return kIOReturnBadArgument;
        request->wLenDone = 0;
        IOReturn result = control(pipeRef, *request);
        detail::traceControlRequest(record_->descriptor.idVendor, record_->descriptor.idProduct, record_->locationID,
                                    *request, result);
        return result;
    }

    IOServicePtr GetDevice() override { return record_->gone.load() ? nullptr : record_->deviceService; }

private:
    const InterfaceInfo& info() const { return record_->interfaces[index_]; }

    template <typename T>
    static IOReturn give(T* out, T value) {
        if (!out) return kIOReturnBadArgument;
        *out = value;
        return kIOReturnSuccess;
    }

    void message(uint32_t type) {
        if (record_->gone.load()) return;
        if (auto owner = owner_.lock()) owner->hub.interestMessage(info().service, type);
    }

    void trace(UsbTrace::Direction direction, UsbTrace::Transfer transfer, const void* data, size_t length,
               IOReturn result) {
        UsbTrace::record(record_->descriptor.idVendor, record_->descriptor.idProduct, record_->locationID, direction,
                         transfer, data, length, result);
    }

    // This handle's libusb handle, opening the device node on first use. Call with record_->mutex held.
    IOReturn handleLocked(std::shared_ptr<LibHandle>* out) {
        if (!handle_) {
            IOReturn result = record_->acquireHandle(&handle_);
            if (result != kIOReturnSuccess) return result;
        }
        *out = handle_;
        return kIOReturnSuccess;
    }

    // Releases the claim and gives the interface back to usblp. Call with record_->mutex held.
    IOReturn releaseLocked(bool announce) {
        const InterfaceInfo& i = info();
        int result = LIBUSB_SUCCESS;
        if (handle_) {
            result = libusb_release_interface(handle_->handle, i.number);
            if (record_->driverDetached[index_]) libusb_attach_kernel_driver(handle_->handle, i.number);
        }
        record_->openToken[index_] = 0;
        record_->driverDetached[index_] = false;
        if (announce) message(kIOMessageServiceWasClosed);
        return (result == LIBUSB_SUCCESS || result == LIBUSB_ERROR_NOT_FOUND) ? kIOReturnSuccess
                                                                            : IOReturnFromLibusb(result);
    }

    IOReturn checkOpen() {
        std::lock_guard<std::mutex> lock(record_->mutex);
        if (record_->gone.load()) return kIOReturnNoDevice;
        return record_->openToken[index_] == token_ ? kIOReturnSuccess : kIOReturnNotOpen;
    }

    // The open handle and the endpoint of a pipe that goes the given way.
    IOReturn pipe(uint8_t pipeRef, bool in, std::shared_ptr<LibHandle>* handle, const EndpointInfo** endpoint) {
        {
            std::lock_guard<std::mutex> lock(record_->mutex);
            if (record_->gone.load()) return kIOReturnNoDevice;
            if (record_->openToken[index_] != token_ || !handle_) return kIOReturnNotOpen;
            *handle = handle_;
        }
        if (pipeRef == 0 || pipeRef > info().endpoints.size()) return kIOUSBUnknownPipeErr;
        *endpoint = &info().endpoints[pipeRef - 1];
        if ((((*endpoint)->address & 0x80) != 0) != in) return kIOReturnBadArgument;
        if ((*endpoint)->transferType != kUSBBulk && (*endpoint)->transferType != kUSBInterrupt)
            return kIOReturnBadArgument;
        return kIOReturnSuccess;
    }

    // One libusb transfer on a pipe that pipe() accepted.
    IOReturn transfer(const LibHandle& handle, const EndpointInfo& endpoint, unsigned char* data, uint32_t length,
                      uint32_t timeoutMs, int* moved) {
        *moved = 0;
        if (length > static_cast<uint32_t>(INT_MAX)) return kIOReturnBadArgument;
        auto call = endpoint.transferType == kUSBInterrupt ? libusb_interrupt_transfer : libusb_bulk_transfer;
        int result = call(handle.handle, endpoint.address, data, static_cast<int>(length), moved, timeoutMs);
        if (*moved < 0) *moved = 0;
        if (record_->gone.load() && result != LIBUSB_SUCCESS) return kIOReturnNoDevice;
        return IOReturnFromLibusb(result);
    }

    IOReturn bulk(uint8_t pipeRef, bool in, unsigned char* data, uint32_t length, uint32_t timeoutMs, int* moved) {
        *moved = 0;
        std::shared_ptr<LibHandle> handle;
        const EndpointInfo* endpoint = nullptr;
        IOReturn check = pipe(pipeRef, in, &handle, &endpoint);
        return check == kIOReturnSuccess ? transfer(*handle, *endpoint, data, length, timeoutMs, moved) : check;
    }

    // An OUT write in pieces of whole packets (see kWriteChunkBytes), each with the full time-out; *moved counts
    // the bytes that reached the device, also when a piece fails.
    IOReturn write(uint8_t pipeRef, const unsigned char* data, uint32_t length, uint32_t timeoutMs,
                   const WriteProgress& progress, uint32_t* moved) {
        *moved = 0;
        std::shared_ptr<LibHandle> handle;
        const EndpointInfo* endpoint = nullptr;
        IOReturn check = pipe(pipeRef, false, &handle, &endpoint);
        if (check != kIOReturnSuccess) return check;
        const uint32_t packet = endpoint->maxPacketSize ? endpoint->maxPacketSize : 1;
        const uint32_t chunk = std::max<uint32_t>(packet, LibUSBServices::kWriteChunkBytes / packet * packet);
        do {
            const uint32_t piece = std::min(chunk, length - *moved);
            int done = 0;
            IOReturn result = transfer(*handle, *endpoint, const_cast<unsigned char*>(data) + *moved, piece,
                                       timeoutMs, &done);
            *moved += result == kIOReturnSuccess ? piece : std::min(static_cast<uint32_t>(done), piece);
            if (result != kIOReturnSuccess) return result;
            if (progress && *moved < length) progress(*moved, length);
        } while (*moved < length);
        return kIOReturnSuccess;
    }

    IOReturn control(uint8_t pipeRef, IOUSBDevRequestTO& request) {
        if (pipeRef != 0) return kIOUSBUnknownPipeErr;
        if (request.wLength && !request.pData) return kIOReturnBadArgument;
        std::shared_ptr<LibHandle> handle;
        {
            std::lock_guard<std::mutex> lock(record_->mutex);
            if (record_->gone.load()) return kIOReturnNoDevice;
            IOReturn result = handleLocked(&handle);
            if (result != kIOReturnSuccess) return result;
        }
        // A longer read asks for one page: the device answers at most that, as it may answer less than asked.
        uint16_t length = request.wLength;
        if (length > kMaxControlData) {
            if (!(request.bmRequestType & 0x80)) return kIOReturnBadArgument;
            length = kMaxControlData;
        }
        unsigned timeout = request.completionTimeout ? request.completionTimeout : kDefaultControlTimeoutMs;
        int result = libusb_control_transfer(handle->handle, request.bmRequestType, request.bRequest, request.wValue,
                                             request.wIndex, static_cast<unsigned char*>(request.pData), length,
                                             timeout);
        if (result >= 0) {
            request.wLenDone = static_cast<uint32_t>(result);
            return kIOReturnSuccess;
        }
        if (record_->gone.load()) return kIOReturnNoDevice;
        return IOReturnFromLibusb(result);
    }

    std::shared_ptr<DeviceRecord> record_;
    size_t index_;
    uint64_t token_;
    std::weak_ptr<Impl> owner_;
    std::shared_ptr<LibHandle> handle_;  // guarded by record_->mutex
};

}  // namespace

LibUSBServices::LibUSBServices(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

LibUSBServices::~LibUSBServices() { impl_->stop(); }

std::shared_ptr<LibUSBServices> LibUSBServices::create(std::string* error) { return create(Options{}, error); }

std::shared_ptr<LibUSBServices> LibUSBServices::create(const Options& options, std::string* error) {
    auto context = std::make_shared<Context>();
    int result = libusb_init(&context->ctx);
    if (result != LIBUSB_SUCCESS) {
        context->ctx = nullptr;
        if (error) *error = std::string("cannot initialise libusb: ") + libusb_error_name(result);
        return nullptr;
    }
    auto impl = std::make_shared<Impl>();
    impl->options = options;
    if (impl->options.pollIntervalMs == 0) impl->options.pollIntervalMs = 1000;
    impl->context = context;
    impl->start();
    return std::shared_ptr<LibUSBServices>(new LibUSBServices(std::move(impl)));
}

bool LibUSBServices::usesHotplug() const { return impl_->hotplug; }

IONotificationPortPtr LibUSBServices::IONotificationPortCreate() { return impl_->hub.createPort(); }

IOReturn LibUSBServices::IOServiceAddMatchingNotification(const IONotificationPortPtr& port, const std::string& type,
                                                          const MatchingDict& matching,
                                                          IOServiceMatchingCallback callback, IOIteratorPtr* iterator,
                                                          IONotificationPtr* notification) {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    std::vector<IOServicePtr> present;
    for (const auto& [device, record] : impl_->records)
        for (auto& service : record->services()) present.push_back(service);
    return impl_->hub.addMatching(port, type, matching, std::move(callback), present, iterator, notification);
}

IOReturn LibUSBServices::IOServiceAddInterestNotification(const IONotificationPortPtr& port,
                                                          const IOServicePtr& service, const std::string& interestType,
                                                          IOServiceInterestCallback callback,
                                                          IONotificationPtr* notification) {
    if (notification) *notification = nullptr;
    auto libService = std::dynamic_pointer_cast<LibService>(service);
    if (!libService || libService->owner != impl_.get()) return kIOReturnBadArgument;
    auto record = libService->record.lock();
    std::lock_guard<std::mutex> lock(impl_->mutex);
    if (!record || record->gone.load()) return kIOReturnNoDevice;
    return impl_->hub.addInterest(port, service, interestType, std::move(callback), notification);
}

IOReturn LibUSBServices::CreateInterfaceInterface(const IOServicePtr& interfaceService,
                                                  IOUSBInterfaceInterfacePtr* out, bool* pluginFailed) {
    if (out) *out = nullptr;
    if (pluginFailed) *pluginFailed = true;
    if (!out) return kIOReturnBadArgument;
    size_t index = 0;
    auto record = impl_->recordOf(interfaceService, &index, true);
    if (!record) return interfaceService ? kIOReturnNoDevice : kIOReturnBadArgument;
    if (record->gone.load()) return kIOReturnNoDevice;
    if (pluginFailed) *pluginFailed = false;
    *out = std::make_shared<LibInterface>(record, index, impl_->nextToken.fetch_add(1), impl_);
    return kIOReturnSuccess;
}

IOReturn LibUSBServices::CreateDeviceInterface(const IOServicePtr& deviceService, IOUSBDeviceInterfacePtr* out,
                                               bool* pluginFailed) {
    if (out) *out = nullptr;
    if (pluginFailed) *pluginFailed = true;
    if (!out) return kIOReturnBadArgument;
    auto record = impl_->recordOf(deviceService, nullptr, false);
    if (!record) return deviceService ? kIOReturnNoDevice : kIOReturnBadArgument;
    if (record->gone.load()) return kIOReturnNoDevice;
    if (pluginFailed) *pluginFailed = false;
    *out = std::make_shared<LibDevice>(record, impl_);
    return kIOReturnSuccess;
}

}  // namespace ovn::usb
