#include "sim/usbfs/UsbfsBus.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/DispatchQueue.h"
#include "sim/OvnPrinterEmulator.h"

namespace ovn::sim {

// ---------------------------------------------------------------------------------------------------------
// Descriptors and records

void restartUnderUmockdev(char** argv) {
    const char* preload = std::getenv("LD_PRELOAD");
    if (preload && std::strstr(preload, "libumockdev-preload")) return;
    std::string value = "libumockdev-preload.so.0";
    if (preload && *preload) value += std::string(":") + preload;
    setenv("LD_PRELOAD", value.c_str(), 1);
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string asanOptions = std::string(asan && *asan ? asan : "") + (asan && *asan ? ":" : "");
    setenv("ASAN_OPTIONS", (asanOptions + "verify_asan_link_order=0").c_str(), 1);
    execv("/proc/self/exe", argv);
    std::perror("cannot restart under umockdev");
    std::exit(1);
}

static void appendLittleEndian(std::vector<uint8_t>& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value & 0xFF));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

static std::vector<uint8_t> deviceDescriptorOf(const usb::VirtualDeviceDescription& d) {
    std::vector<uint8_t> out{18, 1, 0x00, 0x02, 0, 0, 0, 64};
    appendLittleEndian(out, d.idVendor);
    appendLittleEndian(out, d.idProduct);
    appendLittleEndian(out, d.bcdDevice);
    out.insert(out.end(), {d.iManufacturer, d.iProduct, d.iSerialNumber, 1});
    return out;
}

std::vector<uint8_t> sysfsDescriptors(const usb::VirtualDeviceDescription& d) {
    std::vector<uint8_t> out = deviceDescriptorOf(d);
    const auto total = static_cast<uint16_t>(9 + 9 + 7 * d.endpoints.size());
    out.insert(out.end(), {9, 2});
    appendLittleEndian(out, total);
    out.insert(out.end(), {1, d.configurationValue, 0, 0xC0, 1});
    out.insert(out.end(), {9, 4, d.interfaceNumber, d.alternateSetting, static_cast<uint8_t>(d.endpoints.size()),
                           d.interfaceClass, d.interfaceSubClass, d.interfaceProtocol, 0});
    for (const auto& e : d.endpoints) {
        out.insert(out.end(), {7, 5, e.address, e.transferType});
        appendLittleEndian(out, e.maxPacketSize);
        out.push_back(e.interval);
    }
    return out;
}

std::vector<uint8_t> rootHubDescriptors() {
    return {18, 1, 0x00, 0x02, 9, 0, 1, 64, 0x6b, 0x1d, 0x02, 0x00, 0x00, 0x01, 0, 0, 0, 1,
            9, 2, 25, 0, 1, 1, 0, 0xE0, 0, 9, 4, 0, 0, 1, 9, 0, 0, 0, 7, 5, 0x81, 3, 4, 0, 12};
}

std::string usbDeviceRecord(const std::string& sysPath, unsigned bus, unsigned address,
                            const std::vector<uint8_t>& descriptors) {
    char node[32], numbers[96], pair[3];
    std::snprintf(node, sizeof node, "bus/usb/%03u/%03u", bus, address);
    std::snprintf(numbers, sizeof numbers, "E: BUSNUM=%03u\nE: DEVNUM=%03u\nA: busnum=%u\nA: devnum=%u\n", bus,
                  address, bus, address);
    std::string hex;
    for (uint8_t byte : descriptors) {
        std::snprintf(pair, sizeof pair, "%02X", byte);
        hex += pair;
    }
    return "P: " + sysPath + "\nN: " + node + "=00\nE: DEVNAME=/dev/" + node +
           "\nE: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\n" + numbers +
           "A: speed=480\nA: bConfigurationValue=1\nH: descriptors=" + hex + "\n\n";
}

// ---------------------------------------------------------------------------------------------------------
// One device node

struct UsbfsNode::Urb {
    UMockdevIoctlData* urb = nullptr;
    UMockdevIoctlData* buffer = nullptr;
    gulong clientAddress = 0;
    uint8_t type = 0, endpoint = 0;
    int length = 0;
    bool done = false;
    int status = 0, actual = 0;
    std::vector<uint8_t> in;  // bytes to hand back
    int inOffset = 0;         // where they go in the buffer (8 for control: after the setup packet)
    int partial = 0;          // OUT bytes taken before the device stopped answering
    std::chrono::steady_clock::time_point ready;  // OUT: not reaped before

    ~Urb() {
        if (buffer) g_object_unref(buffer);
        if (urb) g_object_unref(urb);
    }
};

namespace {

// Resolves `size` bytes that the ioctl argument points to; nothing on failure.
UMockdevIoctlData* resolve(UMockdevIoctlData* data, size_t offset, size_t size) {
    GError* error = nullptr;
    UMockdevIoctlData* resolved = umockdev_ioctl_data_resolve(data, offset, size, &error);
    g_clear_error(&error);
    return resolved;
}

// The URB status for what a device handler answered.
int urbStatus(IOReturn result) {
    switch (result) {
        case kIOReturnSuccess: return 0;
        case kIOUSBPipeStalled: return -EPIPE;
        case kIOReturnNoDevice: return -ENODEV;
        default: return -EPROTO;
    }
}

}  // namespace

UsbfsNode::UsbfsNode(UMockdevTestbed* testbed, std::string devnode, usb::VirtualDeviceDescription description,
                     std::shared_ptr<usb::VirtualDeviceHandler> handler)
    : testbed_(testbed), devnode_(std::move(devnode)), handler_(std::move(handler)),
      description_(std::move(description)) {
    ioctlHandler_ = umockdev_ioctl_base_new();
    g_signal_connect(ioctlHandler_, "handle-ioctl", G_CALLBACK(&UsbfsNode::onIoctl), this);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, devnode_.c_str(), ioctlHandler_, &error)) {
        std::fprintf(stderr, "cannot attach the usbfs emulation to %s: %s\n", devnode_.c_str(),
                     error ? error->message : "?");
        g_clear_error(&error);
    }
}

UsbfsNode::~UsbfsNode() {
    umockdev_testbed_detach_ioctl(testbed_, devnode_.c_str(), nullptr);
    g_signal_handlers_disconnect_by_data(ioctlHandler_, this);
    g_object_unref(ioctlHandler_);
}

void UsbfsNode::remove() {
    std::lock_guard<std::mutex> lock(mutex_);
    removed_ = true;
    const auto now = std::chrono::steady_clock::now();
    for (auto& urb : urbs_) {
        if (urb->done && urb->ready <= now) continue;
        urb->done = true;
        urb->ready = now;
        urb->status = -ENODEV;
        urb->actual = urb->partial;
    }
}

void UsbfsNode::setDescription(const usb::VirtualDeviceDescription& d) {
    std::lock_guard<std::mutex> lock(mutex_);
    description_ = d;
}
void UsbfsNode::setDeviceDescriptor(std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (bytes.size() > 18) bytes.resize(18);
    deviceDescriptor_ = std::move(bytes);
}
void UsbfsNode::setClaimBusy(bool busy) {
    std::lock_guard<std::mutex> lock(mutex_);
    claimBusy_ = busy;
}
void UsbfsNode::setOutAcceptLimit(std::optional<int> limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    outAcceptLimit_ = limit;
}
void UsbfsNode::setOutByteBudget(std::optional<size_t> bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    outBudget_ = bytes;
}
void UsbfsNode::setOutDelay(std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(mutex_);
    outDelay_ = delay;
}
std::vector<std::string> UsbfsNode::calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}
std::vector<size_t> UsbfsNode::outTransfers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return outTransfers_;
}
bool UsbfsNode::driverBound() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return driverBound_;
}
bool UsbfsNode::claimed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return claimed_;
}
int UsbfsNode::controlRequests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return controlRequests_;
}

gboolean UsbfsNode::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    return static_cast<UsbfsNode*>(self)->handle(client);
}

// umockdev calls this on its one worker thread, one ioctl after the other. Device handlers are called without
// the node's lock: they may call back into the bus (a printer restarting, another program taking it).
gboolean UsbfsNode::handle(UMockdevIoctlClient* client) {
    gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
        reap(client, arg);
        return TRUE;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (removed_) {
            umockdev_ioctl_client_complete(client, -1, ENODEV);
            return TRUE;
        }
    }
    // Answers from the `size` bytes the argument points to; the body gives the errno to fail with (0: none).
    auto with = [&](size_t size, auto body) {
        UMockdevIoctlData* data = resolve(arg, 0, size);
        if (!data) return false;
        int error;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            error = body(data->data);
        }
        umockdev_ioctl_client_complete(client, error ? -1 : 0, error);
        g_object_unref(data);
        return true;
    };
    bool handled = true;
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES:
            handled = with(sizeof(guint32), [](uint8_t* data) {
                guint32 value = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
                std::memcpy(data, &value, sizeof value);
                return 0;
            });
            break;
        case USBDEVFS_GETDRIVER:
            handled = with(sizeof(usbdevfs_getdriver), [&](uint8_t* data) {
                if (!driverBound_) return ENODATA;
                auto* getdriver = reinterpret_cast<usbdevfs_getdriver*>(data);
                std::snprintf(getdriver->driver, sizeof getdriver->driver, "usblp");
                return 0;
            });
            break;
        case USBDEVFS_IOCTL:
            handled = with(sizeof(usbdevfs_ioctl), [&](uint8_t* data) {
                usbdevfs_ioctl command;
                std::memcpy(&command, data, sizeof command);
                const std::string number = " " + std::to_string(command.ifno);
                if (command.ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
                    if (!driverBound_) return ENODATA;
                    driverBound_ = false;
                    calls_.push_back("disconnect" + number);
                    return 0;
                }
                if (command.ioctl_code != static_cast<int>(USBDEVFS_CONNECT)) return ENOTTY;
                if (claimed_) return EBUSY;
                driverBound_ = true;
                calls_.push_back("connect" + number);
                return 0;
            });
            break;
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE:
            handled = with(sizeof(unsigned int), [&](uint8_t* data) {
                unsigned int value;
                std::memcpy(&value, data, sizeof value);
                const std::string number = " " + std::to_string(value);
                if (request == USBDEVFS_RELEASEINTERFACE) {
                    claimed_ = false;
                    calls_.push_back("release" + number);
                    return 0;
                }
                if (claimBusy_ || driverBound_) {
                    calls_.push_back("claim refused" + number);
                    return EBUSY;
                }
                claimed_ = true;
                calls_.push_back("claim" + number);
                return 0;
            });
            break;
        case USBDEVFS_RESET: {
            std::lock_guard<std::mutex> lock(mutex_);
            calls_.push_back("reset");
            umockdev_ioctl_client_complete(client, 0, 0);
            break;
        }
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP: umockdev_ioctl_client_complete(client, 0, 0); break;
        case USBDEVFS_SUBMITURB: submit(client, arg); break;
        case USBDEVFS_DISCARDURB: discard(client, arg); break;
        default: {
            char text[48];
            std::snprintf(text, sizeof text, "unknown ioctl 0x%lx", static_cast<unsigned long>(request));
            std::lock_guard<std::mutex> lock(mutex_);
            calls_.push_back(text);
            handled = false;
        }
    }
    if (!handled) umockdev_ioctl_client_complete(client, -1, ENOTTY);
    return TRUE;
}

void UsbfsNode::submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* urbData = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (!urbData) return umockdev_ioctl_client_complete(client, -1, EFAULT);
    auto* raw = reinterpret_cast<usbdevfs_urb*>(urbData->data);
    auto urb = std::make_unique<Urb>();
    urb->urb = urbData;
    urb->clientAddress = urbData->client_addr;
    urb->type = raw->type;
    urb->endpoint = raw->endpoint;
    urb->length = raw->buffer_length;
    if (urb->length > 0) {
        urb->buffer = resolve(urbData, offsetof(usbdevfs_urb, buffer), static_cast<size_t>(urb->length));
        if (!urb->buffer) return umockdev_ioctl_client_complete(client, -1, EFAULT);
    }
    const bool out = urb->type != USBDEVFS_URB_TYPE_CONTROL && !(urb->endpoint & 0x80);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t inFlight = 0;
        for (const auto& pending : urbs_) inFlight += static_cast<size_t>(pending->length);  // freed when reaped
        if (urb->length > 0 && inFlight + static_cast<size_t>(urb->length) > kUsbfsMemoryLimit)
            return umockdev_ioctl_client_complete(client, -1, ENOMEM);
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL && urb->length < 8)
            return umockdev_ioctl_client_complete(client, -1, EINVAL);
        if (out) {
            urb->partial = outAcceptLimit_ ? std::min(*outAcceptLimit_, urb->length) : urb->length;
            if (outBudget_) urb->partial = static_cast<int>(std::min<size_t>(*outBudget_, urb->partial));
            if (outBudget_) *outBudget_ -= static_cast<size_t>(urb->partial);
            outTransfers_.push_back(static_cast<size_t>(urb->partial));
            urb->ready = std::chrono::steady_clock::now() + outDelay_;
        }
    }
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
        answerControl(*urb, urb->buffer->data);
    } else if (out) {
        // The device takes the bytes now. The transfer completes when the device took them all and did not
        // time out; it keeps the result the device gave (one that left while taking them answers ENODEV).
        IOReturn result = kIOReturnSuccess;
        if (handler_ && urb->partial > 0)
            result = handler_->bulkOut(urb->buffer->data, static_cast<size_t>(urb->partial), 0);
        std::lock_guard<std::mutex> lock(mutex_);
        if (result != kIOReturnTimeout && urb->partial == urb->length && !outAcceptLimit_) {
            urb->done = true;
            urb->status = urbStatus(result);
            urb->actual = urb->partial;
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        urbs_.push_back(std::move(urb));
    }
    umockdev_ioctl_client_complete(client, 0, 0);
}

std::optional<std::vector<uint8_t>> UsbfsNode::standardRequestLocked(uint8_t type, uint8_t index,
                                                                     uint16_t language) const {
    if (type == 1) return deviceDescriptor_ ? *deviceDescriptor_ : deviceDescriptorOf(description_);
    if (type == 2) {
        auto all = sysfsDescriptors(description_);
        return std::vector<uint8_t>(all.begin() + 18, all.end());
    }
    if (type != 3) return std::nullopt;
    auto raw = description_.rawStringDescriptors.find(index);
    if (index != 0 && raw != description_.rawStringDescriptors.end()) return raw->second;
    std::vector<uint8_t> answer{0, 3};
    if (index == 0) {
        for (uint16_t l : description_.languages) appendLittleEndian(answer, l);
    } else {
        auto texts = description_.strings.find(index);
        if (texts == description_.strings.end() || texts->second.empty()) return std::nullopt;
        auto text = texts->second.find(language);
        const std::u16string& chosen = text != texts->second.end() ? text->second : texts->second.begin()->second;
        for (char16_t unit : chosen) appendLittleEndian(answer, unit);
    }
    answer[0] = static_cast<uint8_t>(std::min<size_t>(answer.size(), 255));
    return answer;
}

void UsbfsNode::answerControl(Urb& urb, const uint8_t* setup) {
    usb::IOUSBDevRequestTO request;
    request.bmRequestType = setup[0];
    request.bRequest = setup[1];
    request.wValue = static_cast<uint16_t>(setup[2] | (setup[3] << 8));
    request.wIndex = static_cast<uint16_t>(setup[4] | (setup[5] << 8));
    request.wLength = static_cast<uint16_t>(setup[6] | (setup[7] << 8));
    const bool in = (request.bmRequestType & 0x80) != 0;
    std::optional<std::vector<uint8_t>> answer;
    IOReturn result = kIOReturnSuccess;
    if ((request.bmRequestType & 0x60) == 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++controlRequests_;
        if (request.bRequest == 6 && in)
            answer = standardRequestLocked(static_cast<uint8_t>(request.wValue >> 8),
                                           static_cast<uint8_t>(request.wValue & 0xFF), request.wIndex);
        else if (!in)
            answer.emplace();
        if (!answer) result = kIOUSBPipeStalled;
    } else {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++controlRequests_;
        }
        std::vector<uint8_t> bytes;
        request.pData = urb.buffer->data + 8;
        result = handler_ ? handler_->controlRequest(request, bytes) : kIOUSBPipeStalled;
        if (result == kIOReturnSuccess) answer = in ? std::move(bytes) : std::vector<uint8_t>{};
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (result == kIOReturnTimeout) return;  // never answers: the host gives up
    urb.done = true;
    if (!answer) {
        urb.status = urbStatus(result == kIOReturnSuccess ? kIOUSBPipeStalled : result);
        return;
    }
    if (answer->size() > request.wLength) answer->resize(request.wLength);
    urb.in = std::move(*answer);
    urb.inOffset = 8;
    urb.actual = in ? static_cast<int>(urb.in.size()) : request.wLength;
}

// Hands what the device has to say to the oldest bulk IN transfer waiting for it.
void UsbfsNode::serveInTransfers() {
    Urb* waiting = nullptr;
    std::vector<uint8_t> bytes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (removed_) return;
        for (auto& urb : urbs_)
            if (!urb->done && urb->type == USBDEVFS_URB_TYPE_BULK && (urb->endpoint & 0x80)) {
                waiting = urb.get();
                break;
            }
        if (!waiting) return;
        bytes.swap(inLeft_);
    }
    IOReturn result = kIOReturnSuccess;
    if (bytes.empty()) result = handler_ ? handler_->bulkIn(bytes, static_cast<size_t>(waiting->length), 0)
                                         : kIOReturnTimeout;
    std::lock_guard<std::mutex> lock(mutex_);
    if (result == kIOReturnTimeout) return;
    waiting->done = true;
    waiting->status = urbStatus(result);
    if (bytes.size() > static_cast<size_t>(waiting->length)) {
        inLeft_.assign(bytes.begin() + waiting->length, bytes.end());
        bytes.resize(static_cast<size_t>(waiting->length));
    }
    waiting->actual = static_cast<int>(bytes.size());
    waiting->in = std::move(bytes);
}

void UsbfsNode::reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    serveInTransfers();
    std::unique_ptr<Urb> urb;
    bool removed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        removed = removed_;
        auto now = std::chrono::steady_clock::now();
        auto it = std::find_if(urbs_.begin(), urbs_.end(), [&](const auto& u) { return u->done && u->ready <= now; });
        if (it != urbs_.end()) urb = std::move(*it), urbs_.erase(it);
    }
    if (!urb) return umockdev_ioctl_client_complete(client, -1, removed ? ENODEV : EAGAIN);
    UMockdevIoctlData* slot = resolve(arg, 0, sizeof(gpointer));
    if (!slot) return umockdev_ioctl_client_complete(client, -1, EFAULT);
    auto* raw = reinterpret_cast<usbdevfs_urb*>(urb->urb->data);
    raw->status = urb->status;
    raw->actual_length = urb->actual;
    if (!urb->in.empty() && urb->buffer) {
        size_t room = static_cast<size_t>(urb->length - urb->inOffset);
        std::memcpy(urb->buffer->data + urb->inOffset, urb->in.data(), std::min(room, urb->in.size()));
    }
    umockdev_ioctl_data_set_ptr(slot, 0, urb->urb);
    umockdev_ioctl_client_complete(client, 0, 0);
    g_object_unref(slot);
}

void UsbfsNode::discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    gulong address = 0;
    std::memcpy(&address, arg->data, sizeof address);
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    for (auto& urb : urbs_) {
        // A delayed OUT transfer is still in flight until its time.
        if (urb->clientAddress != address || (urb->done && urb->ready <= now)) continue;
        urb->done = true;
        urb->ready = now;
        urb->status = -ENOENT;
        urb->actual = urb->partial;
        return umockdev_ioctl_client_complete(client, 0, 0);
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}

// ---------------------------------------------------------------------------------------------------------
// The bus

namespace {

// The bus link of an emulated printer plugged into a usbfs bus. Leaving the bus is queued: the printer may
// decide it inside a transfer, while umockdev waits for the node's answer.
class UsbfsLink : public DeviceBusLink {
public:
    UsbfsLink(std::weak_ptr<UsbfsBus> bus, std::weak_ptr<usb::VirtualDeviceHandler> handler,
              UsbfsBus::ArrivalHook arrived)
        : bus_(std::move(bus)), handler_(std::move(handler)), arrived_(std::move(arrived)) {}

    void reEnumerate(uint64_t deviceId, uint32_t delayMs, const usb::VirtualDeviceDescription& description) override {
        if (auto bus = bus_.lock()) bus->reEnumerate(deviceId, delayMs, description);
    }
    void unplug(uint64_t deviceId) override {
        if (auto bus = bus_.lock()) bus->unplugLater(deviceId);
    }
    void plug(const usb::VirtualDeviceDescription& description) override {
        auto bus = bus_.lock();
        auto handler = handler_.lock();
        if (bus && handler) bus->plug(description, handler, arrived_);
    }
    bool setHeldByOtherApplication(uint64_t deviceId, bool held) override {
        auto bus = bus_.lock();
        return bus && bus->setHeldByOtherApplication(deviceId, held);
    }
    bool isOpenByHost(uint64_t deviceId) override {
        auto bus = bus_.lock();
        return bus && bus->isOpenByHost(deviceId);
    }
    std::optional<uint32_t> locationOf(uint64_t deviceId) override {
        auto bus = bus_.lock();
        return bus ? bus->locationOf(deviceId) : std::nullopt;
    }

private:
    std::weak_ptr<UsbfsBus> bus_;
    std::weak_ptr<usb::VirtualDeviceHandler> handler_;
    UsbfsBus::ArrivalHook arrived_;
};

std::atomic<unsigned> nextBusNumber{1};

}  // namespace

std::shared_ptr<UsbfsBus> UsbfsBus::create(std::string* error) {
    const unsigned number = nextBusNumber.fetch_add(1);
    if (number > 255) {
        if (error) *error = "no USB bus number is left";
        return nullptr;
    }
    UMockdevTestbed* testbed = umockdev_testbed_new();
    GError* failure = nullptr;
    const std::string hub = usbDeviceRecord("/devices/usb" + std::to_string(number), number, 1, rootHubDescriptors());
    if (!testbed || !umockdev_testbed_add_from_string(testbed, hub.c_str(), &failure)) {
        if (error) *error = std::string("umockdev: ") + (failure ? failure->message : "no testbed");
        g_clear_error(&failure);
        if (testbed) g_object_unref(testbed);
        return nullptr;
    }
    return std::shared_ptr<UsbfsBus>(new UsbfsBus(testbed, static_cast<uint8_t>(number)));
}

UsbfsBus::UsbfsBus(UMockdevTestbed* testbed, uint8_t busNumber)
    : testbed_(testbed), busNumber_(busNumber), queue_(DispatchQueue::createSerial("usbfs bus")) {}

UsbfsBus::~UsbfsBus() {
    queue_->sync([this] {
        for (auto id : devices()) removeOnQueue(id);
    });
    queue_.reset();
    retired_.clear();
    g_object_unref(testbed_);
}

uint32_t UsbfsBus::locationOfPort(unsigned port) const {
    return (uint32_t{busNumber_} << 24) | ((port & 0xFu) << 20);
}

uint64_t UsbfsBus::plug(const usb::VirtualDeviceDescription& description,
                        std::shared_ptr<usb::VirtualDeviceHandler> handler, ArrivalHook arrived) {
    uint64_t id = 0;
    queue_->sync([&] { id = plugOnQueue(description, std::move(handler), std::move(arrived)); });
    return id;
}

uint64_t UsbfsBus::plugPrinter(const std::shared_ptr<OvnPrinterEmulator>& printer,
                               std::shared_ptr<usb::VirtualDeviceHandler> handler, ArrivalHook arrived) {
    if (!handler) handler = printer;
    std::weak_ptr<OvnPrinterEmulator> weak = printer;
    ArrivalHook hook = [weak, arrived](uint64_t id) {
        if (auto p = weak.lock()) p->handleAttached(id);
        if (arrived) arrived(id);
    };
    printer->setBusLink(std::make_shared<UsbfsLink>(weak_from_this(), handler, hook));
    return plug(printer->description(), handler, hook);
}

uint64_t UsbfsBus::plugOnQueue(const usb::VirtualDeviceDescription& description,
                               std::shared_ptr<usb::VirtualDeviceHandler> handler, ArrivalHook arrived) {
    Device device;
    uint64_t id;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto taken = [&](unsigned port) {
            return std::any_of(devices_.begin(), devices_.end(), [&](const auto& d) { return d.second.port == port; });
        };
        const uint32_t location = description.locationID;
        if (location == 0) {
            for (unsigned p = 1; p <= 15 && !device.port; ++p)
                if (!taken(p)) device.port = p;
        } else if ((location >> 24) == busNumber_ && (location & 0x000FFFFFu) == 0 && ((location >> 20) & 0xF) != 0 &&
                   !taken((location >> 20) & 0xF)) {
            device.port = (location >> 20) & 0xF;
        }
        if (!device.port || nextAddress_ > 127) return 0;
        device.address = nextAddress_++;
        id = nextId_++;
    }
    device.sysPath = "/devices/usb" + std::to_string(busNumber_) + "/" + std::to_string(busNumber_) + "-" +
                     std::to_string(device.port);
    device.description = description;
    device.description.locationID = locationOfPort(device.port);
    device.handler = std::move(handler);
    device.arrived = std::move(arrived);
    char node[40];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", busNumber_, device.address);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        arriving_ = id;
        arrivingHeld_ = false;
    }
    if (device.arrived) device.arrived(id);
    // Added without its device type, udev's "add" event does not reach libusb yet: the host must not find the
    // device before its node answers. The event is sent again once the node is there.
    std::string record =
        usbDeviceRecord(device.sysPath, busNumber_, device.address, sysfsDescriptors(device.description));
    const std::string typeLine = "E: DEVTYPE=usb_device\n";
    record.erase(record.find(typeLine), typeLine.size());
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error)) {
        std::fprintf(stderr, "cannot add %s to the testbed: %s\n", device.sysPath.c_str(), error ? error->message : "?");
        g_clear_error(&error);
        return 0;
    }
    device.node = std::make_shared<UsbfsNode>(testbed_, node, device.description, device.handler);
    const std::string sysPath = "/sys" + device.sysPath;
    umockdev_testbed_set_property(testbed_, sysPath.c_str(), "DEVTYPE", "usb_device");
    umockdev_testbed_uevent(testbed_, sysPath.c_str(), "add");
    bool held;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        devices_.emplace(id, std::move(device));
        held = arrivingHeld_;
        arriving_ = 0;
    }
    if (held) setHeldByOtherApplication(id, true);
    return id;
}

void UsbfsBus::removeOnQueue(uint64_t deviceId) {
    Device device;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = devices_.find(deviceId);
        if (it == devices_.end()) return;
        device = std::move(it->second);
        devices_.erase(it);
        retired_.push_back(device.node);
    }
    device.node->remove();
    if (device.otherProgramFd >= 0) ::close(device.otherProgramFd);
    const std::string sysPath = "/sys" + device.sysPath;
    umockdev_testbed_uevent(testbed_, sysPath.c_str(), "remove");
    umockdev_testbed_remove_device(testbed_, sysPath.c_str());
}

void UsbfsBus::unplug(uint64_t deviceId) {
    queue_->sync([&] { removeOnQueue(deviceId); });
}

void UsbfsBus::unplugLater(uint64_t deviceId) {
    std::weak_ptr<UsbfsBus> weak = weak_from_this();
    queue_->async([weak, deviceId] {
        if (auto self = weak.lock()) self->removeOnQueue(deviceId);
    });
}

void UsbfsBus::reEnumerate(uint64_t deviceId, uint32_t delayMs, const usb::VirtualDeviceDescription& description) {
    std::weak_ptr<UsbfsBus> weak = weak_from_this();
    queue_->async([weak, deviceId, delayMs, description] {
        auto self = weak.lock();
        if (!self) return;
        Device leaving;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            auto it = self->devices_.find(deviceId);
            if (it == self->devices_.end()) return;
            leaving.handler = it->second.handler;
            leaving.arrived = it->second.arrived;
            leaving.port = it->second.port;
        }
        self->removeOnQueue(deviceId);
        usb::VirtualDeviceDescription back = description;
        back.locationID = self->locationOfPort(leaving.port);
        self->queue_->asyncAfter(std::chrono::milliseconds(delayMs), [weak, back, leaving] {
            if (auto bus = weak.lock()) bus->plugOnQueue(back, leaving.handler, leaving.arrived);
        });
    });
}

bool UsbfsBus::setHeldByOtherApplication(uint64_t deviceId, bool held) {
    bool holds = false;
    queue_->sync([&] {
        auto n = node(deviceId);
        if (!n) {
            std::lock_guard<std::mutex> lock(mutex_);
            if (deviceId == arriving_) holds = arrivingHeld_ = held;
            return;
        }
        int fd;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            fd = devices_[deviceId].otherProgramFd;
            devices_[deviceId].otherProgramFd = -1;
        }
        if (held && fd < 0 && !n->claimed()) fd = ::open(n->devnode().c_str(), O_RDWR | O_CLOEXEC);
        if (!held && fd >= 0) ::close(fd), fd = -1;
        n->setClaimBusy(fd >= 0);
        holds = fd >= 0;
        std::lock_guard<std::mutex> lock(mutex_);
        devices_[deviceId].otherProgramFd = fd;
    });
    return holds;
}

bool UsbfsBus::isOpenByHost(uint64_t deviceId) const {
    auto n = node(deviceId);
    return n && n->claimed();
}

std::optional<uint32_t> UsbfsBus::locationOf(uint64_t deviceId) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(deviceId);
    if (it == devices_.end()) return std::nullopt;
    return it->second.description.locationID;
}

std::vector<uint64_t> UsbfsBus::devices() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint64_t> ids;
    for (const auto& d : devices_) ids.push_back(d.first);
    return ids;
}

std::shared_ptr<UsbfsNode> UsbfsBus::node(uint64_t deviceId) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = devices_.find(deviceId);
    return it == devices_.end() ? nullptr : it->second.node;
}

}  // namespace ovn::sim
