// USB devices behind usbfs device nodes of a umockdev testbed, for the libusb provider: the same device handlers
// that serve the virtual bus (the printer emulator among them) answer through the kernel's usbfs interface, so
// that a whole probe or update goes through libusb, its event thread and its hot-plug support.
//
// - UsbfsNode answers the ioctls of one device node the way the kernel does: URB submission and reaping,
//   interface claims and the usblp driver binding, resets, and the standard descriptor requests from the
//   device's description; class and vendor requests and bulk transfers go to the device handler. Like the
//   kernel it refuses a submission that takes the bytes in flight above usbfs_memory_mb (16 MB by default).
// - UsbfsBus is one root hub of the testbed. Plugging a device adds it to sysfs at a port of the hub with a new
//   device address (udev's "add" event included), unplugging removes it ("remove"); a restart is a removal and,
//   after the delay, a new node at the same port. It is the bus link of emulated printers plugged into it:
//   another program taking the printer opens its node and holds a claim of its interface.
//
// The umockdev preload library must be in place before libusb starts (restartUnderUmockdev).
#pragma once

#include <umockdev.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "usb/VirtualUSBBus.h"

namespace ovn {
class DispatchQueue;
}

namespace ovn::sim {

class OvnPrinterEmulator;

// Runs the program again with umockdev's preload library in front when it is not there yet; returns only when
// it is. The sanitizer runtimes want to be loaded first; the preload library only wraps file calls.
void restartUnderUmockdev(char** argv);

// The descriptors as sysfs keeps them: the device descriptor, then the configuration with its interface and
// endpoints.
std::vector<uint8_t> sysfsDescriptors(const usb::VirtualDeviceDescription& description);
std::vector<uint8_t> rootHubDescriptors();
// A testbed device record (umockdev's text format) for a USB device with a device node.
std::string usbDeviceRecord(const std::string& sysPath, unsigned bus, unsigned address,
                            const std::vector<uint8_t>& descriptors);

class UsbfsNode {
public:
    // Like the kernel, usbfs refuses (ENOMEM) a submission that would take the bytes in flight above
    // usbfs_memory_mb (16 MB by default).
    static constexpr size_t kUsbfsMemoryLimit = size_t{16} << 20;

    UsbfsNode(UMockdevTestbed* testbed, std::string devnode, usb::VirtualDeviceDescription description,
              std::shared_ptr<usb::VirtualDeviceHandler> handler);
    ~UsbfsNode();
    UsbfsNode(const UsbfsNode&) = delete;
    UsbfsNode& operator=(const UsbfsNode&) = delete;

    const std::string& devnode() const { return devnode_; }
    // The device left the bus: every call fails with ENODEV from now on, and transfers in flight end with it.
    void remove();

    // Scripting; any thread.
    void setDescription(const usb::VirtualDeviceDescription& description);
    // Answer GET_DESCRIPTOR(device) with these bytes instead of the description's.
    void setDeviceDescriptor(std::vector<uint8_t> bytes);
    // Another program holds a claim of the interface: the host's claim is refused as busy.
    void setClaimBusy(bool busy);
    // Every OUT transfer takes only this many bytes and never completes.
    void setOutAcceptLimit(std::optional<int> limit);
    // All OUT transfers together take only this many more bytes; the one that reaches the end never completes.
    void setOutByteBudget(std::optional<size_t> bytes);
    // Every OUT transfer completes only this long after its submission.
    void setOutDelay(std::chrono::milliseconds delay);

    // What the host did: "claim 0", "release 0", "disconnect 0", "connect 0", "reset", ...
    std::vector<std::string> calls() const;
    // The size of every OUT transfer, in order.
    std::vector<size_t> outTransfers() const;
    bool driverBound() const;
    bool claimed() const;
    int controlRequests() const;

private:
    struct Urb;
    static gboolean onIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self);
    gboolean handle(UMockdevIoctlClient* client);
    void submit(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void reap(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void discard(UMockdevIoctlClient* client, UMockdevIoctlData* arg);
    void answerControl(Urb& urb, const uint8_t* setup);
    std::optional<std::vector<uint8_t>> standardRequestLocked(uint8_t type, uint8_t index, uint16_t language) const;
    void serveInTransfers();

    UMockdevTestbed* testbed_;
    std::string devnode_;
    std::shared_ptr<usb::VirtualDeviceHandler> handler_;
    UMockdevIoctlBase* ioctlHandler_ = nullptr;
    mutable std::mutex mutex_;
    usb::VirtualDeviceDescription description_;
    std::optional<std::vector<uint8_t>> deviceDescriptor_;
    std::deque<std::unique_ptr<Urb>> urbs_;
    std::vector<uint8_t> inLeft_;  // bytes the device handed out beyond what a read could take
    std::vector<std::string> calls_;
    std::vector<size_t> outTransfers_;
    bool removed_ = false;
    bool claimBusy_ = false, driverBound_ = true, claimed_ = false;
    std::optional<int> outAcceptLimit_;
    std::optional<size_t> outBudget_;
    std::chrono::milliseconds outDelay_{0};
    int controlRequests_ = 0;
};

class UsbfsBus : public std::enable_shared_from_this<UsbfsBus> {
public:
    using ArrivalHook = std::function<void(uint64_t deviceId)>;

    // A new testbed with a root hub on a bus number not used before in this process (so locations differ
    // between buses). Nothing, and the reason in *error, when umockdev cannot make one.
    static std::shared_ptr<UsbfsBus> create(std::string* error = nullptr);
    ~UsbfsBus();

    UMockdevTestbed* testbed() const { return testbed_; }
    uint8_t busNumber() const { return busNumber_; }
    // The location ID of a root-hub port (1..15), as the libusb provider reports it.
    uint32_t locationOfPort(unsigned port) const;

    // Plugs a device at the root-hub port its description's location names (0: the first free port) under a
    // new device address. `arrived` runs with the device id before the host can see the device. Answers the
    // device id; 0 when the location is not a free port of this bus.
    uint64_t plug(const usb::VirtualDeviceDescription& description, std::shared_ptr<usb::VirtualDeviceHandler> handler,
                  ArrivalHook arrived = nullptr);
    // Plugs an emulated printer (its transfers through `handler`, the emulator when none) and becomes its bus
    // link: its restarts, power cycles and other programs taking it happen on this bus.
    uint64_t plugPrinter(const std::shared_ptr<OvnPrinterEmulator>& printer,
                         std::shared_ptr<usb::VirtualDeviceHandler> handler = nullptr, ArrivalHook arrived = nullptr);
    // The device leaves (cable pulled). Returns once it is gone.
    void unplug(uint64_t deviceId);
    // The device leaves soon, in order with the bus's other changes (callable from inside a transfer).
    void unplugLater(uint64_t deviceId);
    // The device leaves soon (in order with the bus's other changes) and comes back after the delay with this
    // description, at the same port under a new address.
    void reEnumerate(uint64_t deviceId, uint32_t delayMs, const usb::VirtualDeviceDescription& description);
    // Another program opens the device's node and claims its interface (true), or lets go (false). Taking fails
    // while the host has the interface claimed; answers whether the other program holds it afterwards.
    bool setHeldByOtherApplication(uint64_t deviceId, bool held);
    bool isOpenByHost(uint64_t deviceId) const;
    std::optional<uint32_t> locationOf(uint64_t deviceId) const;
    std::vector<uint64_t> devices() const;
    // The node of a device on the bus (nothing once it left).
    std::shared_ptr<UsbfsNode> node(uint64_t deviceId) const;

private:
    struct Device {
        unsigned port = 0;
        unsigned address = 0;
        std::string sysPath;
        usb::VirtualDeviceDescription description;
        std::shared_ptr<usb::VirtualDeviceHandler> handler;
        ArrivalHook arrived;
        std::shared_ptr<UsbfsNode> node;
        int otherProgramFd = -1;
    };
    UsbfsBus(UMockdevTestbed* testbed, uint8_t busNumber);
    uint64_t plugOnQueue(const usb::VirtualDeviceDescription& description,
                         std::shared_ptr<usb::VirtualDeviceHandler> handler, ArrivalHook arrived);
    void removeOnQueue(uint64_t deviceId);

    UMockdevTestbed* testbed_;
    const uint8_t busNumber_;
    std::shared_ptr<DispatchQueue> queue_;  // every change of the testbed, in order
    mutable std::mutex mutex_;
    std::map<uint64_t, Device> devices_;
    std::vector<std::shared_ptr<UsbfsNode>> retired_;  // nodes of devices that left: umockdev may still call them
    uint64_t nextId_ = 1;
    uint64_t arriving_ = 0;      // the device being plugged, before its node is there
    bool arrivingHeld_ = false;  // another program takes it as soon as its node is there
    unsigned nextAddress_ = 2;
};

}  // namespace ovn::sim
