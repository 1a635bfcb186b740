#include "MockUsbfs.h"

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace ovn::usb::test {

std::vector<uint8_t> printerDescriptors(uint16_t vendor, uint16_t product, uint8_t interfaceClass) {
    std::vector<uint8_t> d = {18, 1, 0x00, 0x02, 0, 0, 0, 64,
                              static_cast<uint8_t>(vendor & 0xFF), static_cast<uint8_t>(vendor >> 8),
                              static_cast<uint8_t>(product & 0xFF), static_cast<uint8_t>(product >> 8),
                              0x00, 0x01, 1, 2, 3, 1};
    std::vector<uint8_t> config = {9, 2, 32, 0, 1, 1, 0, 0xC0, 1,
                                   9, 4, 0, 0, 2, interfaceClass, 1, 2, 0,
                                   7, 5, 0x01, 2, 0x00, 0x02, 0,
                                   7, 5, 0x82, 2, 0x00, 0x02, 0};
    d.insert(d.end(), config.begin(), config.end());
    return d;
}

std::vector<uint8_t> hubDescriptors() {
    std::vector<uint8_t> d = {18, 1, 0x00, 0x02, 9, 0, 1, 64, 0x6b, 0x1d, 0x02, 0x00, 0x00, 0x01, 0, 0, 0, 1};
    std::vector<uint8_t> config = {9, 2, 25, 0, 1, 1, 0, 0xE0, 0, 9, 4, 0, 0, 1, 9, 0, 0, 0, 7, 5, 0x81, 3, 4, 0, 12};
    d.insert(d.end(), config.begin(), config.end());
    return d;
}

std::string usbDeviceRecord(const std::string& sysPath, unsigned bus, unsigned address,
                            const std::vector<uint8_t>& descriptors) {
    char node[32];
    std::snprintf(node, sizeof node, "bus/usb/%03u/%03u", bus, address);
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "E: BUSNUM=%03u\nE: DEVNUM=%03u\nA: busnum=%u\nA: devnum=%u\n", bus, address,
                  bus, address);
    std::string hex;
    char pair[3];
    for (uint8_t byte : descriptors) {
        std::snprintf(pair, sizeof pair, "%02X", byte);
        hex += pair;
    }
    return "P: " + sysPath + "\nN: " + node + "=00\nE: DEVNAME=/dev/" + node +
           "\nE: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\n" + numbers +
           "A: speed=480\nA: bConfigurationValue=1\nH: descriptors=" + hex + "\n\n";
}

MockUsbfsDevice::MockUsbfsDevice(UMockdevTestbed* testbed, std::string devnode)
    : testbed_(testbed), devnode_(std::move(devnode)) {
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(&MockUsbfsDevice::onIoctl), this);
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(testbed_, devnode_.c_str(), handler_, &error)) {
        std::fprintf(stderr, "cannot attach the usbfs emulation to %s: %s\n", devnode_.c_str(),
                     error ? error->message : "?");
        g_clear_error(&error);
    }
}

MockUsbfsDevice::~MockUsbfsDevice() {
    umockdev_testbed_detach_ioctl(testbed_, devnode_.c_str(), nullptr);
    g_signal_handlers_disconnect_by_data(handler_, this);
    g_object_unref(handler_);
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& urb : urbs_) release(*urb);
}

void MockUsbfsDevice::queueReply(std::vector<uint8_t> reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_.push_back(std::move(reply));
}

void MockUsbfsDevice::setClaimBusy(bool busy) {
    std::lock_guard<std::mutex> lock(mutex_);
    claimBusy_ = busy;
}

void MockUsbfsDevice::setOutAcceptLimit(std::optional<int> limit) {
    std::lock_guard<std::mutex> lock(mutex_);
    outAcceptLimit_ = limit;
}

void MockUsbfsDevice::setLanguages(std::vector<uint16_t> languages) {
    std::lock_guard<std::mutex> lock(mutex_);
    languages_ = std::move(languages);
}

void MockUsbfsDevice::setString(uint8_t index, const std::u16string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    strings_[index] = text;
}

void MockUsbfsDevice::setDeviceDescriptor(std::vector<uint8_t> descriptor) {
    std::lock_guard<std::mutex> lock(mutex_);
    deviceDescriptor_ = std::move(descriptor);
}

std::vector<std::string> MockUsbfsDevice::calls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

std::vector<std::vector<uint8_t>> MockUsbfsDevice::written() {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
}

bool MockUsbfsDevice::driverBound() {
    std::lock_guard<std::mutex> lock(mutex_);
    return driverBound_;
}

int MockUsbfsDevice::controlRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return controlRequests_;
}

void MockUsbfsDevice::release(Urb& urb) {
    if (urb.buffer) g_object_unref(urb.buffer);
    if (urb.urb) g_object_unref(urb.urb);
    urb.buffer = nullptr;
    urb.urb = nullptr;
}

gboolean MockUsbfsDevice::onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    return static_cast<MockUsbfsDevice*>(self)->handle(client);
}

namespace {

// Resolves `size` bytes that the ioctl argument points to; nothing on failure.
UMockdevIoctlData* resolve(UMockdevIoctlData* data, size_t offset, size_t size) {
    GError* error = nullptr;
    UMockdevIoctlData* resolved = umockdev_ioctl_data_resolve(data, offset, size, &error);
    g_clear_error(&error);
    return resolved;
}

}  // namespace

gboolean MockUsbfsDevice::handle(UMockdevIoctlClient* client) {
    gulong request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    switch (request) {
        case USBDEVFS_GET_CAPABILITIES: {
            UMockdevIoctlData* caps = resolve(arg, 0, sizeof(guint32));
            if (!caps) break;
            guint32 value = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
            std::memcpy(caps->data, &value, sizeof value);
            umockdev_ioctl_client_complete(client, 0, 0);
            g_object_unref(caps);
            return TRUE;
        }
        case USBDEVFS_GETDRIVER: {
            UMockdevIoctlData* data = resolve(arg, 0, sizeof(usbdevfs_getdriver));
            if (!data) break;
            auto* getdriver = reinterpret_cast<usbdevfs_getdriver*>(data->data);
            bool bound;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                bound = driverBound_;
            }
            if (bound) {
                std::snprintf(getdriver->driver, sizeof getdriver->driver, "usblp");
                umockdev_ioctl_client_complete(client, 0, 0);
            } else {
                umockdev_ioctl_client_complete(client, -1, ENODATA);
            }
            g_object_unref(data);
            return TRUE;
        }
        case USBDEVFS_IOCTL: {
            UMockdevIoctlData* data = resolve(arg, 0, sizeof(usbdevfs_ioctl));
            if (!data) break;
            usbdevfs_ioctl command;
            std::memcpy(&command, data->data, sizeof command);
            int result = 0, error = 0;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (command.ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
                    if (!driverBound_) {
                        result = -1, error = ENODATA;
                    } else {
                        driverBound_ = false;
                        calls_.push_back("disconnect " + std::to_string(command.ifno));
                    }
                } else if (command.ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
                    if (claimed_) {
                        result = -1, error = EBUSY;
                    } else {
                        driverBound_ = true;
                        calls_.push_back("connect " + std::to_string(command.ifno));
                    }
                } else {
                    result = -1, error = ENOTTY;
                }
            }
            umockdev_ioctl_client_complete(client, result, error);
            g_object_unref(data);
            return TRUE;
        }
        case USBDEVFS_CLAIMINTERFACE:
        case USBDEVFS_RELEASEINTERFACE: {
            UMockdevIoctlData* data = resolve(arg, 0, sizeof(unsigned int));
            if (!data) break;
            unsigned int number;
            std::memcpy(&number, data->data, sizeof number);
            int result = 0, error = 0;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (request == USBDEVFS_CLAIMINTERFACE) {
                    if (claimBusy_ || driverBound_) {
                        result = -1, error = EBUSY;
                        calls_.push_back("claim refused " + std::to_string(number));
                    } else {
                        claimed_ = true;
                        calls_.push_back("claim " + std::to_string(number));
                    }
                } else {
                    claimed_ = false;
                    calls_.push_back("release " + std::to_string(number));
                }
            }
            umockdev_ioctl_client_complete(client, result, error);
            g_object_unref(data);
            return TRUE;
        }
        case USBDEVFS_RESET: {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                calls_.push_back("reset");
            }
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        }
        case USBDEVFS_SETINTERFACE:
        case USBDEVFS_CLEAR_HALT:
        case USBDEVFS_RESETEP:
            umockdev_ioctl_client_complete(client, 0, 0);
            return TRUE;
        case USBDEVFS_SUBMITURB:
            submit(client, arg);
            return TRUE;
        case USBDEVFS_REAPURB:
        case USBDEVFS_REAPURBNDELAY:
            reap(client, arg);
            return TRUE;
        case USBDEVFS_DISCARDURB:
            discard(client, arg);
            return TRUE;
        default: {
            std::lock_guard<std::mutex> lock(mutex_);
            char text[48];
            std::snprintf(text, sizeof text, "unknown ioctl 0x%lx", static_cast<unsigned long>(request));
            calls_.push_back(text);
            break;
        }
    }
    umockdev_ioctl_client_complete(client, -1, ENOTTY);
    return TRUE;
}

void MockUsbfsDevice::submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    UMockdevIoctlData* urbData = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (!urbData) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    auto* raw = reinterpret_cast<usbdevfs_urb*>(urbData->data);
    auto urb = std::make_unique<Urb>();
    urb->urb = urbData;
    urb->clientAddress = urbData->client_addr;
    urb->type = raw->type;
    urb->endpoint = raw->endpoint;
    urb->length = raw->buffer_length;
    if (urb->length > 0) urb->buffer = resolve(urbData, offsetof(usbdevfs_urb, buffer), static_cast<size_t>(urb->length));
    if (urb->length > 0 && !urb->buffer) {
        release(*urb);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
        if (urb->length < 8) {
            release(*urb);
            umockdev_ioctl_client_complete(client, -1, EINVAL);
            return;
        }
        answerControl(*urb, urb->buffer->data);
    } else if (!(urb->endpoint & 0x80)) {
        const uint8_t* bytes = urb->buffer ? urb->buffer->data : nullptr;
        if (outAcceptLimit_) {
            urb->partial = std::min(*outAcceptLimit_, urb->length);
            written_.emplace_back(bytes, bytes + urb->partial);
        } else {
            written_.emplace_back(bytes, bytes + urb->length);
            urb->done = true;
            urb->actual = urb->length;
        }
    }
    urbs_.push_back(std::move(urb));
    completePendingInLocked();
    umockdev_ioctl_client_complete(client, 0, 0);
}

void MockUsbfsDevice::answerControl(Urb& urb, const uint8_t* setup) {
    ++controlRequests_;
    uint8_t requestType = setup[0];
    uint8_t request = setup[1];
    uint16_t value = static_cast<uint16_t>(setup[2] | (setup[3] << 8));
    uint16_t length = static_cast<uint16_t>(setup[6] | (setup[7] << 8));
    bool in = (requestType & 0x80) != 0;
    std::optional<std::vector<uint8_t>> answer;
    if ((requestType & 0x60) == 0 && request == 6 && in) {
        uint8_t type = static_cast<uint8_t>(value >> 8);
        uint8_t index = static_cast<uint8_t>(value & 0xFF);
        if (type == 1 && deviceDescriptor_.size() >= 18) {
            answer = std::vector<uint8_t>(deviceDescriptor_.begin(), deviceDescriptor_.begin() + 18);
        } else if (type == 3 && index == 0) {
            std::vector<uint8_t> list{static_cast<uint8_t>(2 + 2 * languages_.size()), 3};
            for (uint16_t language : languages_) {
                list.push_back(static_cast<uint8_t>(language & 0xFF));
                list.push_back(static_cast<uint8_t>(language >> 8));
            }
            answer = list;
        } else if (type == 3 && strings_.count(index)) {
            const std::u16string& text = strings_[index];
            std::vector<uint8_t> string{static_cast<uint8_t>(2 + 2 * text.size()), 3};
            for (char16_t unit : text) {
                string.push_back(static_cast<uint8_t>(unit & 0xFF));
                string.push_back(static_cast<uint8_t>(unit >> 8));
            }
            answer = string;
        }
    } else if (!in) {
        answer = std::vector<uint8_t>();
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

void MockUsbfsDevice::completePendingInLocked() {
    for (auto& urb : urbs_) {
        if (urb->done || urb->type != USBDEVFS_URB_TYPE_BULK || !(urb->endpoint & 0x80)) continue;
        if (replies_.empty()) return;
        std::vector<uint8_t> reply = std::move(replies_.front());
        replies_.pop_front();
        if (reply.size() > static_cast<size_t>(urb->length)) reply.resize(static_cast<size_t>(urb->length));
        urb->in = std::move(reply);
        urb->actual = static_cast<int>(urb->in.size());
        urb->done = true;
    }
}

void MockUsbfsDevice::reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    std::unique_ptr<Urb> urb;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        completePendingInLocked();
        for (auto it = urbs_.begin(); it != urbs_.end(); ++it) {
            if ((*it)->done) {
                urb = std::move(*it);
                urbs_.erase(it);
                break;
            }
        }
    }
    if (!urb) {
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return;
    }
    UMockdevIoctlData* slot = resolve(arg, 0, sizeof(gpointer));
    if (!slot) {
        release(*urb);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
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

void MockUsbfsDevice::discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg) {
    gulong address = 0;
    std::memcpy(&address, arg->data, sizeof address);
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& urb : urbs_) {
        if (urb->clientAddress != address || urb->done) continue;
        urb->done = true;
        urb->status = -ENOENT;
        urb->actual = urb->partial;
        umockdev_ioctl_client_complete(client, 0, 0);
        return;
    }
    umockdev_ioctl_client_complete(client, -1, EINVAL);
}

}  // namespace ovn::usb::test
