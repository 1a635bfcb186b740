// The USB service layer: what the printer objects and the registry use of the operating system's USB stack.
//
// The operations keep the names and results of the USB device services the program was designed around:
// service objects, notification ports with matching and interest notifications, an interface handle
// (exclusive open, pipes, timed bulk transfers, control requests) and a device handle (open, string indices,
// reset, re-enumerate). Every operation returns a 32-bit platform result code (IOReturnCodes.h); 0 is success.
//
// Two providers implement it: LibUSBServices for real printers and VirtualUSBBus for tests and demos.
// Reference counting is shared_ptr: holding a handle is holding a reference. Every notification is
// delivered on the main queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/IOReturnCodes.h"

namespace ovn::usb {

// Transfer types and directions as GetPipeProperties reports them.
enum : uint8_t { kUSBControl = 0, kUSBIsoc = 1, kUSBBulk = 2, kUSBInterrupt = 3 };
enum : uint8_t { kUSBOut = 0, kUSBIn = 1, kUSBNone = 2, kUSBAnyDirn = 3 };

// A control request on pipe 0 (fields little-endian on the bus). wLenDone receives the bytes transferred.
struct IOUSBDevRequestTO {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
    void* pData = nullptr;
    uint32_t wLenDone = 0;
    uint32_t noDataTimeout = 0;
    uint32_t completionTimeout = 0;
};

class IOService;
using IOServicePtr = std::shared_ptr<IOService>;

// A service object of the USB registry: one per device and one per interface. Equality of services is
// identity of the objects (IOObjectIsEqualTo).
class IOService {
public:
    virtual ~IOService() = default;
    // The 32-bit handle value shown in log lines ("%.8x"); unique for the life of the process.
    virtual uint32_t handle() const = 0;
    // "IOUSBInterface" or "IOUSBDevice".
    virtual std::string className() const = 0;
};

inline bool IOObjectIsEqualTo(const IOServicePtr& a, const IOServicePtr& b) { return a == b; }
inline uint32_t IOObjectHandle(const IOServicePtr& s) { return s ? s->handle() : 0; }

// The device handle (the USB device interface).
class IOUSBDeviceInterface {
public:
    virtual ~IOUSBDeviceInterface() = default;
    virtual IOReturn USBDeviceOpen() = 0;
    virtual IOReturn USBDeviceClose() = 0;
    virtual IOReturn USBGetManufacturerStringIndex(uint8_t* index) = 0;
    virtual IOReturn USBGetProductStringIndex(uint8_t* index) = 0;
    virtual IOReturn USBGetSerialNumberStringIndex(uint8_t* index) = 0;
    // Resets the device in place (it stays the same device).
    virtual IOReturn ResetDevice() = 0;
    // The device leaves the bus and arrives again as new services at the same location.
    virtual IOReturn USBDeviceReEnumerate(uint32_t options) = 0;
};
using IOUSBDeviceInterfacePtr = std::shared_ptr<IOUSBDeviceInterface>;

// The interface handle (the USB interface interface).
class IOUSBInterfaceInterface {
public:
    virtual ~IOUSBInterfaceInterface() = default;

    // Exclusive open: kIOReturnExclusiveAccess when another client (another program, or another handle of this
    // one) holds the interface. Every attempt sends kIOMessageServiceIsAttemptingOpen to the interest
    // registrations of the interface service; every close (also of a handle dropped while open) sends
    // kIOMessageServiceWasClosed. USBInterfaceClose without an open answers kIOReturnNotOpen.
    virtual IOReturn USBInterfaceOpenSeize() = 0;
    virtual IOReturn USBInterfaceClose() = 0;

    virtual IOReturn GetInterfaceClass(uint8_t* value) = 0;
    virtual IOReturn GetInterfaceSubClass(uint8_t* value) = 0;
    virtual IOReturn GetInterfaceProtocol(uint8_t* value) = 0;
    virtual IOReturn GetInterfaceNumber(uint8_t* value) = 0;
    virtual IOReturn GetAlternateSetting(uint8_t* value) = 0;
    virtual IOReturn GetConfigurationValue(uint8_t* value) = 0;
    virtual IOReturn GetDeviceVendor(uint16_t* value) = 0;
    virtual IOReturn GetDeviceProduct(uint16_t* value) = 0;
    virtual IOReturn GetDeviceReleaseNumber(uint16_t* value) = 0;
    virtual IOReturn GetLocationID(uint32_t* value) = 0;

    // Pipes exist only while the interface is open (kIOReturnNotOpen otherwise); pipe references run from 1 to
    // the endpoint count, in endpoint order. Once the device has left, every transfer and open answers
    // kIOReturnNoDevice; the identity getters above keep answering from what the handle knew.
    virtual IOReturn GetNumEndpoints(uint8_t* count) = 0;
    virtual IOReturn GetPipeProperties(uint8_t pipeRef, uint8_t* direction, uint8_t* number, uint8_t* transferType,
                                       uint16_t* maxPacketSize, uint8_t* interval) = 0;

    // Timed bulk transfers. ReadPipeTO: *size is the buffer size in, the bytes received out (also when a
    // transfer ends early with an error: the bytes moved until then).
    virtual IOReturn WritePipeTO(uint8_t pipeRef, const void* buf, uint32_t size, uint32_t noDataTimeout,
                                 uint32_t completionTimeout) = 0;
    virtual IOReturn ReadPipeTO(uint8_t pipeRef, void* buf, uint32_t* size, uint32_t noDataTimeout,
                                uint32_t completionTimeout) = 0;

    // Progress of a write: the bytes that have reached the device so far and the size of the write.
    using WriteProgress = std::function<void(uint64_t written, uint64_t total)>;
    // WritePipeTO that reports its progress on the writing thread: after every piece the provider moves, and
    // once more at the end, also after a failure (then with the bytes that did arrive). The default makes one
    // WritePipeTO and reports once: everything on success, nothing otherwise.
    virtual IOReturn WritePipeProgressTO(uint8_t pipeRef, const void* buf, uint32_t size, uint32_t noDataTimeout,
                                         uint32_t completionTimeout, const WriteProgress& progress) {
        IOReturn result = WritePipeTO(pipeRef, buf, size, noDataTimeout, completionTimeout);
        if (progress) progress(result == kIOReturnSuccess ? size : 0, size);
        return result;
    }

    // A control request; pipe 0 is the default pipe (the only one used). Needs no open interface (descriptors,
    // GET_DEVICE_ID). wLenDone receives the data bytes transferred, never more than wLength.
    virtual IOReturn ControlRequestTO(uint8_t pipeRef, IOUSBDevRequestTO* request) = 0;

    // The device service this interface belongs to (nothing once the device has gone).
    virtual IOServicePtr GetDevice() = 0;
};
using IOUSBInterfaceInterfacePtr = std::shared_ptr<IOUSBInterfaceInterface>;

// Iterator over services handed to a matching callback. IOIteratorNext returns nothing at the end.
class IOIterator {
public:
    virtual ~IOIterator() = default;
    virtual IOServicePtr IOIteratorNext() = 0;
    virtual bool IOIteratorIsValid() = 0;
    virtual void IOIteratorReset() = 0;
};
using IOIteratorPtr = std::shared_ptr<IOIterator>;

// A registration (matching or interest). Releasing it (IOObjectRelease, or dropping the last reference)
// guarantees that its callback is not called again, not even for messages already queued. A release from
// another thread while the callback runs on the main queue waits for it to return; a callback may release
// its own registration.
class IONotification {
public:
    virtual ~IONotification() = default;
    virtual IOReturn IOObjectRelease() = 0;
};
using IONotificationPtr = std::shared_ptr<IONotification>;

// A notification port: notifications registered on it are delivered on the main queue.
class IONotificationPort {
public:
    virtual ~IONotificationPort() = default;
    // Destroying a port ends every registration made on it.
    virtual void destroy() = 0;
};
using IONotificationPortPtr = std::shared_ptr<IONotificationPort>;

// Matching criteria of an interface service.
struct MatchingDict {
    std::string serviceClass = "IOUSBInterface";
    int32_t bInterfaceClass = -1;     // -1: any
    int32_t bInterfaceSubClass = -1;  // -1: any
};

// Notification types for IOServiceAddMatchingNotification.
inline constexpr const char* kIOMatchedNotification = "IOServiceMatched";
inline constexpr const char* kIOTerminatedNotification = "IOServiceTerminate";
inline constexpr const char* kIOGeneralInterest = "IOGeneralInterest";

using IOServiceMatchingCallback = std::function<void(const IOIteratorPtr& iterator)>;
using IOServiceInterestCallback =
    std::function<void(const IOServicePtr& service, uint32_t messageType, void* messageArgument)>;

class USBServices {
public:
    virtual ~USBServices() = default;

    virtual IONotificationPortPtr IONotificationPortCreate() = 0;

    // Registers for arrival (kIOMatchedNotification) or removal (kIOTerminatedNotification) of interface
    // services that match. *iterator receives the registration's iterator; for arrival it already holds the
    // matching services present now (the caller drains it once to arm the notification, as the callback does).
    // Later events call the callback on the main queue with the same iterator, which then holds the new
    // services. The registration lives as long as the port and the returned notification.
    virtual IOReturn IOServiceAddMatchingNotification(const IONotificationPortPtr& port, const std::string& type,
                                                      const MatchingDict& matching, IOServiceMatchingCallback callback,
                                                      IOIteratorPtr* iterator, IONotificationPtr* notification) = 0;

    // Interest messages about one service (kIOMessageServiceIsTerminated, ...IsAttemptingOpen, ...WasClosed),
    // delivered on the main queue.
    virtual IOReturn IOServiceAddInterestNotification(const IONotificationPortPtr& port, const IOServicePtr& service,
                                                      const std::string& interestType,
                                                      IOServiceInterestCallback callback,
                                                      IONotificationPtr* notification) = 0;

    // The interface handle of an interface service (plug-in creation and query in one step). A failure to
    // create the plug-in returns its code with *pluginFailed set; a failed query leaves it clear.
    virtual IOReturn CreateInterfaceInterface(const IOServicePtr& interfaceService, IOUSBInterfaceInterfacePtr* out,
                                              bool* pluginFailed) = 0;
    // The device handle of a device service, likewise.
    virtual IOReturn CreateDeviceInterface(const IOServicePtr& deviceService, IOUSBDeviceInterfacePtr* out,
                                           bool* pluginFailed) = 0;

    // The provider the programs use (libusb, or the virtual bus with --simulate); set once at start-up.
    static std::shared_ptr<USBServices> shared();
    static void setShared(std::shared_ptr<USBServices> services);
};

}  // namespace ovn::usb
