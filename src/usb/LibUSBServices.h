// The USB service layer over libusb-1.0, for real printers.
//
// One event thread serves libusb (hot-plug callbacks, asynchronous completions) and watches the device nodes;
// everything it reports reaches the registrations on the main queue. Only devices with a printer-class
// interface (class 7) are published: one device service per device and one interface service per printer
// interface.
//
// - Arrival and removal come from libusb's hot-plug support, the devices present at start-up included; where
//   hot-plug is unsupported the device list is polled (every second by default).
// - USBInterfaceOpenSeize opens the device, detaches the kernel's usblp driver from the interface and claims it;
//   a claim refused as busy (or a device node that cannot be opened because it is busy) answers
//   kIOReturnExclusiveAccess. USBInterfaceClose releases the interface and gives it back to usblp.
// - Interest messages: this program's own USBInterfaceOpenSeize and USBInterfaceClose send
//   kIOMessageServiceIsAttemptingOpen and kIOMessageServiceWasClosed directly; opens and closes of the device
//   node /dev/bus/usb/BBB/DDD by other programs are seen through inotify and send the same messages (the
//   node's own opens and closes by this program are filtered out). Removal sends kIOMessageServiceIsTerminated.
// - Location ID: bus number in bits 31..24, then one hub port per nibble from bits 23..20 downward.
// - USBDeviceReEnumerate resets the device (libusb_reset_device); the device then leaves and arrives again as
//   new services at the same location.
// - Bulk transfers use the completion time-out (0: none); control requests use the completion time-out, or
//   5 s when it is 0. Partial transfers report the bytes moved.
// - usbfs takes at most one page (4096 bytes) of control data: a longer IN request reads at most 4096 bytes (a
//   device ID longer than that is cut short), a longer OUT request answers kIOReturnBadArgument.
// - Writes go out in pieces of kWriteChunkBytes rounded down to whole packets of the endpoint, one after the
//   other: usbfs refuses a single transfer above its memory limit (usbfs_memory_mb, 16 MB by default), and
//   whole packets keep what goes over the wire the same as for one transfer. The completion time-out applies
//   to each piece. WritePipeProgressTO reports the bytes written after every piece; a failed piece counts the
//   bytes it moved, and the write ends there with its result.
#pragma once

#include <memory>
#include <string>

#include "usb/USBServices.h"

namespace ovn::usb {

class LibUSBServices : public USBServices {
public:
    // The size of one piece of a write (before rounding down to whole packets).
    static constexpr uint32_t kWriteChunkBytes = 1u << 20;

    struct Options {
        bool useHotplug = true;          // false: poll the device list even when hot-plug is supported
        uint32_t pollIntervalMs = 1000;  // polling period without hot-plug
        bool watchDeviceNodes = true;    // interest messages for other programs' opens (inotify)
    };

    // Initialises libusb, handles the devices present now and starts the event thread. Nothing (and a one-line
    // reason in *error) when libusb cannot be initialised.
    static std::shared_ptr<LibUSBServices> create(std::string* error = nullptr);
    static std::shared_ptr<LibUSBServices> create(const Options& options, std::string* error);
    // Stops the event thread. Handles still held keep working until they are dropped.
    ~LibUSBServices() override;

    // Whether arrivals and removals come from hot-plug callbacks (false: polling).
    bool usesHotplug() const;

    IONotificationPortPtr IONotificationPortCreate() override;
    IOReturn IOServiceAddMatchingNotification(const IONotificationPortPtr& port, const std::string& type,
                                              const MatchingDict& matching, IOServiceMatchingCallback callback,
                                              IOIteratorPtr* iterator, IONotificationPtr* notification) override;
    IOReturn IOServiceAddInterestNotification(const IONotificationPortPtr& port, const IOServicePtr& service,
                                              const std::string& interestType, IOServiceInterestCallback callback,
                                              IONotificationPtr* notification) override;
    IOReturn CreateInterfaceInterface(const IOServicePtr& interfaceService, IOUSBInterfaceInterfacePtr* out,
                                      bool* pluginFailed) override;
    IOReturn CreateDeviceInterface(const IOServicePtr& deviceService, IOUSBDeviceInterfacePtr* out,
                                   bool* pluginFailed) override;

    struct Impl;

private:
    explicit LibUSBServices(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
};

// The platform result code for a libusb error code (LIBUSB_SUCCESS and positive counts are success).
IOReturn IOReturnFromLibusb(int error);

// The location ID of a device on `bus` behind the given hub ports (outermost first; at most six are kept, a
// port above 15 is kept as 15).
uint32_t LocationIDFromPorts(uint8_t bus, const uint8_t* ports, int count);

}  // namespace ovn::usb
