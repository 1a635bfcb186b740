// A printer behind a fake usbfs device node: umockdev forwards the node's ioctls here, and this answers them
// the way the kernel would (URB submission and reaping, claims, the usblp driver binding, resets).
#pragma once

#include <sys/ioctl.h>
#include <unistd.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ovn::usb::test {

// libusb has to start with umockdev's preload library in place: without it, the program runs itself again with
// it (the sanitizer runtimes want to be loaded first; the preload library only wraps file calls). Returns only
// when the library is in place.
inline void restartUnderUmockdev(char** argv) {
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

// Device descriptor and one configuration with a printer interface (class 7, subclass 1, protocol 2) and a
// bulk OUT (0x01) and bulk IN (0x82) endpoint, as sysfs keeps them.
inline std::vector<uint8_t> printerDescriptors(uint16_t vendor, uint16_t product, uint8_t interfaceClass = 7) {
    return {18, 1, 0x00, 0x02, 0, 0, 0, 64, static_cast<uint8_t>(vendor & 0xFF), static_cast<uint8_t>(vendor >> 8),
            static_cast<uint8_t>(product & 0xFF), static_cast<uint8_t>(product >> 8), 0x00, 0x01, 1, 2, 3, 1,
            9, 2, 32, 0, 1, 1, 0, 0xC0, 1,  9, 4, 0, 0, 2, interfaceClass, 1, 2, 0,
            7, 5, 0x01, 2, 0x00, 0x02, 0,   7, 5, 0x82, 2, 0x00, 0x02, 0};
}

inline std::vector<uint8_t> hubDescriptors() {
    return {18, 1, 0x00, 0x02, 9, 0, 1, 64, 0x6b, 0x1d, 0x02, 0x00, 0x00, 0x01, 0, 0, 0, 1,
            9, 2, 25, 0, 1, 1, 0, 0xE0, 0, 9, 4, 0, 0, 1, 9, 0, 0, 0, 7, 5, 0x81, 3, 4, 0, 12};
}

// A testbed device record (umockdev's text format) for a USB device with a device node.
inline std::string usbDeviceRecord(const std::string& sysPath, unsigned bus, unsigned address,
                                   const std::vector<uint8_t>& descriptors) {
    char node[32], numbers[64], pair[3];
    std::snprintf(node, sizeof node, "bus/usb/%03u/%03u", bus, address);
    std::snprintf(numbers, sizeof numbers, "E: BUSNUM=%03u\nE: DEVNUM=%03u\nA: busnum=%u\nA: devnum=%u\n", bus, address,
                  bus, address);
    std::string hex;
    for (uint8_t byte : descriptors) {
        std::snprintf(pair, sizeof pair, "%02X", byte);
        hex += pair;
    }
    return "P: " + sysPath + "\nN: " + node + "=00\nE: DEVNAME=/dev/" + node +
           "\nE: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\n" + numbers +
           "A: speed=480\nA: bConfigurationValue=1\nH: descriptors=" + hex + "\n\n";
}

class MockUsbfsDevice {
    template <class F> auto locked(F body) {
        std::lock_guard<std::mutex> lock(mutex_);
        return body();
    }

public:
    MockUsbfsDevice(UMockdevTestbed* testbed, std::string devnode) : testbed_(testbed), devnode_(std::move(devnode)) {
        handler_ = umockdev_ioctl_base_new();
        g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&MockUsbfsDevice::onIoctl), this);
        GError* error = nullptr;
        if (!umockdev_testbed_attach_ioctl(testbed_, devnode_.c_str(), handler_, &error)) {
            std::fprintf(stderr, "cannot attach the usbfs emulation to %s: %s\n", devnode_.c_str(),
                         error ? error->message : "?");
            g_clear_error(&error);
        }
    }
    ~MockUsbfsDevice() {
        umockdev_testbed_detach_ioctl(testbed_, devnode_.c_str(), nullptr);
        g_signal_handlers_disconnect_by_data(handler_, this);
        g_object_unref(handler_);
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& urb : urbs_) release(*urb);
    }
    MockUsbfsDevice(const MockUsbfsDevice&) = delete;
    MockUsbfsDevice& operator=(const MockUsbfsDevice&) = delete;

    // Scripting; any thread. An OUT accept limit takes only that many bytes of a transfer and never completes it.
    void queueReply(std::vector<uint8_t> reply) { locked([&] { replies_.push_back(std::move(reply)); }); }
    void setClaimBusy(bool busy) { locked([&] { claimBusy_ = busy; }); }
    void setOutAcceptLimit(std::optional<int> limit) { locked([&] { outAcceptLimit_ = limit; }); }
    void setLanguages(std::vector<uint16_t> languages) { locked([&] { languages_ = std::move(languages); }); }
    void setString(uint8_t index, const std::u16string& text) { locked([&] { strings_[index] = text; }); }
    void setDeviceDescriptor(std::vector<uint8_t> d) { locked([&] { deviceDescriptor_ = std::move(d); }); }
    // The IEEE-1284 device ID the printer class request GET_DEVICE_ID answers (none: the request stalls).
    void setDeviceID(std::string id) { locked([&] { deviceID_ = std::move(id); }); }
    // All OUT transfers together take only this many more bytes; the one that reaches the end never completes.
    void setOutByteBudget(std::optional<size_t> bytes) { locked([&] { outBudget_ = bytes; }); }
    // Every OUT transfer completes only this long after its submission.
    void setOutDelay(std::chrono::milliseconds delay) { locked([&] { outDelay_ = delay; }); }
    // Like the kernel, usbfs refuses (ENOMEM) a submission that would take the bytes in flight above
    // usbfs_memory_mb (16 MB by default).
    static constexpr size_t kUsbfsMemoryLimit = size_t{16} << 20;

    // What the host did: "claim 0", "release 0", "disconnect 0", "connect 0", "reset", ...
    std::vector<std::string> calls() { return locked([&] { return calls_; }); }
    std::vector<std::vector<uint8_t>> written() { return locked([&] { return written_; }); }
    bool driverBound() { return locked([&] { return driverBound_; }); }
    int controlRequests() { return locked([&] { return controlRequests_; }); }

private:
    struct Urb {
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
    };

    // Resolves `size` bytes that the ioctl argument points to; nothing on failure.
    static UMockdevIoctlData* resolve(UMockdevIoctlData* data, size_t offset, size_t size) {
        GError* error = nullptr;
        UMockdevIoctlData* resolved = umockdev_ioctl_data_resolve(data, offset, size, &error);
        g_clear_error(&error);
        return resolved;
    }

    static void release(Urb& urb) {
        if (urb.buffer) g_object_unref(urb.buffer);
        if (urb.urb) g_object_unref(urb.urb);
        urb.buffer = urb.urb = nullptr;
    }

    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
        return static_cast<MockUsbfsDevice*>(self)->handle(client);
    }

    gboolean handle(UMockdevIoctlClient* client) {
        gulong request = umockdev_ioctl_client_get_request(client);
        UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
        // Answers from the `size` bytes the argument points to; the body gives the errno to fail with (0: none).
        auto with = [&](size_t size, auto body) {
            UMockdevIoctlData* data = resolve(arg, 0, size);
            if (!data) return false;
            int error = locked([&] { return body(data->data); });
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
            case USBDEVFS_RESET:
                locked([&] { calls_.push_back("reset"); });
                umockdev_ioctl_client_complete(client, 0, 0);
                break;
            case USBDEVFS_SETINTERFACE:
            case USBDEVFS_CLEAR_HALT:
            case USBDEVFS_RESETEP:
                umockdev_ioctl_client_complete(client, 0, 0);
                break;
            case USBDEVFS_SUBMITURB: submit(client, arg); break;
            case USBDEVFS_REAPURB:
            case USBDEVFS_REAPURBNDELAY: reap(client, arg); break;
            case USBDEVFS_DISCARDURB: discard(client, arg); break;
            default: {
                char text[48];
                std::snprintf(text, sizeof text, "unknown ioctl 0x%lx", static_cast<unsigned long>(request));
                locked([&] { calls_.push_back(text); });
                handled = false;
            }
        }
        if (!handled) umockdev_ioctl_client_complete(client, -1, ENOTTY);
        return TRUE;
    }

    void submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        auto fail = [&](Urb* urb, int error) {
            if (urb) release(*urb);
            umockdev_ioctl_client_complete(client, -1, error);
        };
        UMockdevIoctlData* urbData = resolve(arg, 0, sizeof(usbdevfs_urb));
        if (!urbData) return fail(nullptr, EFAULT);
        auto* raw = reinterpret_cast<usbdevfs_urb*>(urbData->data);
        auto urb = std::make_unique<Urb>();
        urb->urb = urbData;
        urb->clientAddress = urbData->client_addr;
        urb->type = raw->type;
        urb->endpoint = raw->endpoint;
        urb->length = raw->buffer_length;
        if (urb->length > 0) {
            urb->buffer = resolve(urbData, offsetof(usbdevfs_urb, buffer), static_cast<size_t>(urb->length));
            if (!urb->buffer) return fail(urb.get(), EFAULT);
        }
        std::lock_guard<std::mutex> lock(mutex_);
        size_t inFlight = 0;
        for (const auto& pending : urbs_) inFlight += static_cast<size_t>(pending->length);  // freed when reaped
        if (urb->length > 0 && inFlight + static_cast<size_t>(urb->length) > kUsbfsMemoryLimit)
            return fail(urb.get(), ENOMEM);
        if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
            if (urb->length < 8) return fail(urb.get(), EINVAL);
            answerControl(*urb, urb->buffer->data);
        } else if (!(urb->endpoint & 0x80)) {
            const uint8_t* bytes = urb->buffer ? urb->buffer->data : nullptr;
            urb->partial = outAcceptLimit_ ? std::min(*outAcceptLimit_, urb->length) : urb->length;
            if (outBudget_) urb->partial = static_cast<int>(std::min<size_t>(*outBudget_, urb->partial));
            bool stalls = outAcceptLimit_ || urb->partial < urb->length;
            if (outBudget_) *outBudget_ -= static_cast<size_t>(urb->partial);
            written_.emplace_back(bytes, bytes + urb->partial);
            if (!stalls) urb->done = true, urb->actual = urb->length;
            urb->ready = std::chrono::steady_clock::now() + outDelay_;
        }
        urbs_.push_back(std::move(urb));
        completePendingInLocked();
        umockdev_ioctl_client_complete(client, 0, 0);
    }

    static void appendLittleEndian(std::vector<uint8_t>& out, uint16_t unit) {
        out.push_back(static_cast<uint8_t>(unit & 0xFF));
        out.push_back(static_cast<uint8_t>(unit >> 8));
    }

    void answerControl(Urb& urb, const uint8_t* setup) {
        ++controlRequests_;
        const uint8_t requestType = setup[0], request = setup[1], type = setup[3], index = setup[2];
        const uint16_t length = static_cast<uint16_t>(setup[6] | (setup[7] << 8));
        const bool in = (requestType & 0x80) != 0;
        std::optional<std::vector<uint8_t>> answer;
        if ((requestType & 0x60) == 0 && request == 6 && in) {
            if (type == 1 && deviceDescriptor_.size() >= 18) {
                answer.emplace(deviceDescriptor_.begin(), deviceDescriptor_.begin() + 18);
            } else if (type == 3 && index == 0) {
                answer.emplace(std::vector<uint8_t>{static_cast<uint8_t>(2 + 2 * languages_.size()), 3});
                for (uint16_t language : languages_) appendLittleEndian(*answer, language);
            } else if (type == 3 && strings_.count(index)) {
                answer.emplace(std::vector<uint8_t>{static_cast<uint8_t>(2 + 2 * strings_[index].size()), 3});
                for (char16_t unit : strings_[index]) appendLittleEndian(*answer, unit);
            }
        } else if (requestType == 0xA1 && request == 0 && !deviceID_.empty()) {
            const size_t size = deviceID_.size() + 2;  // big-endian, counting itself
            answer.emplace(std::vector<uint8_t>{static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)});
            answer->insert(answer->end(), deviceID_.begin(), deviceID_.end());
        } else if (!in) {
            answer.emplace();
        }
        urb.done = true;
        if (!answer) {
            urb.status = -EPIPE;
            return;
        }
        if (answer->size() > length) answer->resize(length);
        urb.in = *answer;
        urb.inOffset = 8;
        urb.actual = static_cast<int>(answer->size());
    }

    void completePendingInLocked() {
        for (auto& urb : urbs_) {
            if (urb->done || urb->type != USBDEVFS_URB_TYPE_BULK || !(urb->endpoint & 0x80)) continue;
            if (replies_.empty()) return;
            urb->in = std::move(replies_.front());
            replies_.pop_front();
            if (urb->in.size() > static_cast<size_t>(urb->length)) urb->in.resize(static_cast<size_t>(urb->length));
            urb->actual = static_cast<int>(urb->in.size());
            urb->done = true;
        }
    }

    void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
        std::unique_ptr<Urb> urb = locked([&] {
            completePendingInLocked();
            auto now = std::chrono::steady_clock::now();
            auto it = std::find_if(urbs_.begin(), urbs_.end(),
                                   [&](const auto& u) { return u->done && u->ready <= now; });
            std::unique_ptr<Urb> found;
            if (it != urbs_.end()) found = std::move(*it), urbs_.erase(it);
            return found;
        });
        if (!urb) return umockdev_ioctl_client_complete(client, -1, EAGAIN);
        UMockdevIoctlData* slot = resolve(arg, 0, sizeof(gpointer));
        if (!slot) {
            release(*urb);
            return umockdev_ioctl_client_complete(client, -1, EFAULT);
        }
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
        release(*urb);
    }

    void discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
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

    UMockdevTestbed* testbed_;
    std::string devnode_;
    UMockdevIoctlBase* handler_ = nullptr;
    std::mutex mutex_;
    std::deque<std::unique_ptr<Urb>> urbs_;
    std::deque<std::vector<uint8_t>> replies_;
    std::vector<std::string> calls_;
    std::vector<std::vector<uint8_t>> written_;
    bool claimBusy_ = false, driverBound_ = true, claimed_ = false;
    std::optional<int> outAcceptLimit_;
    std::optional<size_t> outBudget_;
    std::chrono::milliseconds outDelay_{0};
    std::vector<uint16_t> languages_{0x0409};
    std::map<uint8_t, std::u16string> strings_;
    std::vector<uint8_t> deviceDescriptor_;
    std::string deviceID_;
    int controlRequests_ = 0;
};

}  // namespace ovn::usb::test
