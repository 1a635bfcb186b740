// A printer behind a fake usbfs device node: umockdev forwards the node's ioctls here, and this answers them
// the way the kernel would (URB submission and reaping, claims, the usblp driver binding, resets).
#pragma once

#include <sys/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <umockdev.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ovn::usb::test {

// Device descriptor and one configuration with a printer interface (class 7, subclass 1, protocol 2) and a
// bulk OUT (0x01) and bulk IN (0x82) endpoint, as sysfs keeps them.
std::vector<uint8_t> printerDescriptors(uint16_t vendor, uint16_t product, uint8_t interfaceClass = 7);
std::vector<uint8_t> hubDescriptors();

// A testbed device record (umockdev's text format) for a USB device with a device node.
std::string usbDeviceRecord(const std::string& sysPath, unsigned bus, unsigned address,
                            const std::vector<uint8_t>& descriptors);

class MockUsbfsDevice {
public:
    MockUsbfsDevice(UMockdevTestbed* testbed, std::string devnode);
    ~MockUsbfsDevice();
    MockUsbfsDevice(const MockUsbfsDevice&) = delete;
    MockUsbfsDevice& operator=(const MockUsbfsDevice&) = delete;

    // Scripting; any thread.
    void queueReply(std::vector<uint8_t> reply);
    void setClaimBusy(bool busy);
    // Accept only this many bytes of an OUT transfer, then never complete it (nothing: accept everything).
    void setOutAcceptLimit(std::optional<int> limit);
    void setLanguages(std::vector<uint16_t> languages);
    void setString(uint8_t index, const std::u16string& text);
    void setDeviceDescriptor(std::vector<uint8_t> descriptor);

    // What the host did.
    std::vector<std::string> calls();  // "claim 0", "release 0", "disconnect 0", "connect 0", "reset", ...
    std::vector<std::vector<uint8_t>> written();
    bool driverBound();
    int controlRequests();

private:
    struct Urb {
        UMockdevIoctlData* urb = nullptr;
        UMockdevIoctlData* buffer = nullptr;
        gulong clientAddress = 0;
        uint8_t type = 0;
        uint8_t endpoint = 0;
        int length = 0;
        bool done = false;
        int status = 0;
        int actual = 0;
        std::vector<uint8_t> in;  // bytes to hand back
        int inOffset = 0;         // where they go in the buffer (8 for control: after the setup packet)
        int partial = 0;          // OUT bytes taken before the device stopped answering
    };

    static gboolean onIoctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer self);
    gboolean handle(UMockdevIoctlClient* client);
    void submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void answerControl(Urb& urb, const uint8_t* setup);
    void completePendingInLocked();
    static void release(Urb& urb);

    UMockdevTestbed* testbed_;
    std::string devnode_;
    UMockdevIoctlBase* handler_ = nullptr;

    std::mutex mutex_;
    std::deque<std::unique_ptr<Urb>> urbs_;
    std::deque<std::vector<uint8_t>> replies_;
    std::vector<std::string> calls_;
    std::vector<std::vector<uint8_t>> written_;
    bool claimBusy_ = false;
    bool driverBound_ = true;
    bool claimed_ = false;
    std::optional<int> outAcceptLimit_;
    std::vector<uint16_t> languages_{0x0409};
    std::map<uint8_t, std::u16string> strings_;
    std::vector<uint8_t> deviceDescriptor_;
    int controlRequests_ = 0;
};

}  // namespace ovn::usb::test
