// ZVUSBPrinter: the generic printer object, one per attached USB printer-class interface.
//
// It owns the interface handle, the device handle and the interface's service object, the printer's
// identity texts (from the IEEE-1284 device ID and the USB string descriptors), its device-info dictionary,
// and a serial command queue on which every exchange with the printer runs. It moves raw bytes over the bulk
// pipes; the vendor command language is added by the subclass ZVUSBPrinterOVN through the virtual hooks
// (getDeviceCustomInfo, printerReply, classSupportedVendorIDs/classSupportedProductIDs, image) and by
// extending initWithInterfaceInterface.
//
// Life cycle
//   Objects live in std::shared_ptr. They are made by create<T>(interface, service), which constructs T and
//   then calls the virtual initWithInterfaceInterface (it needs shared_from_this). A subclass overrides
//   initWithInterfaceInterface, calls the base first and returns false to make create() answer nothing.
//   Work queued on the command queue holds a strong reference, so the object lives until its queued work
//   ends. prepareForRelease queues the release of the handles; the object is freed with its last reference.
//
// Threads
//   * The main thread is whoever drains ovn::DispatchQueue::main() (the GUI, or MainRunLoop). The set-up
//     sequence, the interest callback and every change of a shown property run there.
//   * Each printer has one serial command queue (created by the set-up sequence once the printer has named
//     itself through its device ID). Operations documented "on the command queue" run at once when the caller
//     is already on it (or when there is no queue), otherwise they are queued without waiting.
//   * performSyncOnMainQueue is the only waiting hop: a command queue waits for the main queue, never the
//     other way round. Which queue runs is decided by queue-specific values (printerCommandQueueKey and
//     mainQueueSpecificKey), never by thread identity.
//   * Texts and handles are guarded by one internal mutex (never held across a USB call or a callback);
//     numeric state is atomic; the device-info dictionary carries its own lock.
//
// Nothing ("nil") is std::nullopt for texts and values, nullptr for handles, queues and blocks. The service
// object is an IOServicePtr; the "0" service is nullptr.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "platform/DispatchQueue.h"
#include "platform/Observable.h"
#include "platform/Value.h"
#include "usb/USBServices.h"

// Device-info dictionary keys written by the printer object.
inline constexpr char QELMOR_ZVPrinterManufacturer[] = "manufacturer";
inline constexpr char QELMOR_ZVPrinterModel[] = "model";
inline constexpr char QELMOR_ZVPrinterStatus[] = "printerStatus";
inline constexpr char QELMOR_ZVPrinterSerialNumber[] = "printerSerialNumber";
inline constexpr char QELMOR_ZVPrinterFirmwareVersion[] = "firmwareVersion";

class ZVUSBPrinter;

// The interest callback registered on the interface service (main thread). `printer` may be null (ignored).
// The registration made by setDeviceObject holds the printer weakly: a message arriving after the object
// was freed is dropped without touching it.
void usbInterfaceInterestCallback(ZVUSBPrinter* printer, const ovn::usb::IOServicePtr& service, uint32_t messageType,
                                  void* messageArgument);

// Substring between a prefix and a terminator (see ZVUSBPrinter::substringFromString). These free twins
// answer nothing for a missing text and search an empty text like any other (an empty text with a prefix or
// terminator gives nothing).
std::optional<std::string> ZVCFStringCreateSubstringFromPrefixToTerminatorWithOptions(
    const std::optional<std::string>& text, const std::optional<std::string>& prefix,
    const std::optional<std::string>& terminator, uint64_t options, bool inclusive);
// Case-insensitive, prefix and terminator excluded.
std::optional<std::string> ZVCFStringCreateSubstringFromPrefixToTerminator(const std::optional<std::string>& text,
                                                                          const std::optional<std::string>& prefix,
                                                                          const std::optional<std::string>& terminator);

class ZVUSBPrinter : public ovn::Observable, public std::enable_shared_from_this<ZVUSBPrinter> {
public:
    using Text = std::optional<std::string>;
    // The reply of one exchange: the bytes the printer answered (always holding a zero byte after the text),
    // or nothing when no reply was read. The base class never reads one.
    using PrinterReply = std::optional<std::vector<uint8_t>>;
    using CommandBlock = std::function<void()>;
    using ReplyBlock = std::function<void(PrinterReply reply)>;
    using Completion = std::function<void()>;
    using ResultCompletion = std::function<void(IOReturn result)>;
    using DeviceIDCompletion = std::function<void(bool success, const Text& deviceID)>;
    using DecodedDeviceID = std::function<void(const std::string& manufacturer, const std::string& model,
                                               const Text& serial, const Text& description)>;
    using IndexSet = std::set<uint16_t>;
    using QueuePtr = std::shared_ptr<ovn::DispatchQueue>;
    using InterfacePtr = ovn::usb::IOUSBInterfaceInterfacePtr;
    using DevicePtr = ovn::usb::IOUSBDeviceInterfacePtr;
    using ServicePtr = ovn::usb::IOServicePtr;

    // Interface state (`state` and `interfaceStatus`; probed only for `state`).
    static constexpr int64_t kInterfaceStateNew = 0;
    static constexpr int64_t kInterfaceClosed = 1;
    static constexpr int64_t kInterfaceOpen = 2;
    static constexpr int64_t kInterfaceOpening = 4;
    static constexpr int64_t kInterfaceProbed = 8;
    // Ownership value.
    static constexpr int64_t kNotOwned = 0;
    static constexpr int64_t kOwnedByUs = 1;
    static constexpr int64_t kOwnedByOther = -1;
    // Comparison option of the substring search.
    static constexpr uint64_t kCaseInsensitiveSearch = 1;

    // Bulk transfer and control request time-outs (ms).
    static constexpr uint32_t kBulkTimeoutMs = 5000;

    // ---- creation and release ----

    template <class T = ZVUSBPrinter>
    static std::shared_ptr<T> create(const InterfacePtr& interface, const ServicePtr& service) {
        auto printer = std::make_shared<T>();
        if (!printer->initWithInterfaceInterface(interface, service)) return nullptr;
        return printer;
    }
    template <class T = ZVUSBPrinter>
    static std::shared_ptr<T> createWithDeviceObject(const ServicePtr& service) {
        auto printer = std::make_shared<T>();
        if (!printer->initWithDeviceObject(service)) return nullptr;
        return printer;
    }

    // Use create(): the object must be owned by a shared_ptr before it is initialised.
    ZVUSBPrinter();
    ~ZVUSBPrinter() override;

    // Clears texts, ownership, handles, queue, notifications and device object; takes the shared port.
    virtual void init();
    // The set-up sequence (main thread): init, interface handle and USB strings, device ID, decoding, command
    // queue, then the device object (interest registration and first open/close, queued). Answers whether the
    // object is usable; the base always answers true.
    virtual bool initWithInterfaceInterface(const InterfacePtr& interface, const ServicePtr& service);
    bool initWithDeviceObject(const ServicePtr& service);
    // Queues on the command queue: setInterfaceInterface(nullptr), setDeviceInterface(nullptr),
    // setDeviceObject(nullptr). Runs them at once for an object without a command queue. Does not wait.
    void prepareForRelease();

    // ---- queue discipline ----

    QueuePtr printerCommandQueue() const;
    static const void* printerCommandQueueKey();
    bool isPrinterCommandQueue() const;
    // Runs the block at once on the command queue (or without one), else queues it (holding the object).
    void performInlineOnCommandQueue(const Completion& block);
    // Runs the block at once on the main queue, else runs it there and waits.
    static void performSyncOnMainQueue(const Completion& block);
    static bool isMainQueue();
    static const void* mainQueueSpecificKey();
    // Tags the main queue with mainQueueSpecificKey; runs once, on first use of the class.
    static void initialize();

    // ---- command send path ----

    // One exchange: command block, printerReply, delivery to the reply block. Inline when on the command queue,
    // else queued. The reply block runs at once when replyQueue is this printer's command queue, otherwise it
    // is queued on replyQueue (the main queue when null). A missing command block is a programming error:
    // it is reported as a failed assertion and nothing runs.
    void sendPrinterCommand(const CommandBlock& commandBlock, const QueuePtr& replyQueue, const ReplyBlock& replyBlock);
    void sendNoReplyPrinterCommand(const CommandBlock& commandBlock);
    // The reply of the exchange that just ran (command queue). Base: nothing.
    virtual PrinterReply printerReply();
    // One timed bulk OUT write of all bytes on bulkOUT; keeps the result in writeStatus and its progress in
    // writeProgress.
    bool writeToInterfaceWithData(std::span<const uint8_t> data);
    // One timed bulk IN read of up to `size` bytes on bulkIN; the whole zero-padded buffer, or nothing.
    std::optional<std::vector<uint8_t>> interfaceReadDataOfSize(uint32_t size);

    // ---- hooks ----

    // Logs and runs getDeviceCustomInfo on the command queue.
    virtual void probe();
    void updateInfo(const void* sender = nullptr);
    void hotPlug(const void* sender = nullptr);
    virtual void getDeviceCustomInfo();
    // Another program closed the printer's interface (main queue). Answers whether the printer took it up itself
    // (a probe it owes); otherwise the interest callback's usual handling follows.
    virtual bool interfaceClosedByOther() { return false; }
    // Class-level accepted ID sets (the base accepts nothing) and the instance's view of its class's sets.
    static std::optional<IndexSet> supportedVendorIDs();
    static std::optional<IndexSet> supportedProductIDs();
    virtual std::optional<IndexSet> classSupportedVendorIDs() const;
    virtual std::optional<IndexSet> classSupportedProductIDs() const;
    // The printer's picture, as the name of the application's image resource.
    virtual Text image() const;
    void setImage(const Text& image);

    // ---- device-info store ----

    // The process-wide dictionary saved under the key, created empty for a key never seen. Never null.
    static ovn::DeviceInfoRef deviceInfoForKey(const std::string& key);
    // Stores the dictionary itself (shared, not copied) under the key; a null dictionary is ignored.
    static void setDeviceInfo(const ovn::DeviceInfoRef& info, const std::string& key);
    ovn::DeviceInfoRef deviceInfoDict() const { return deviceInfoDict_; }
    // Main thread, caller waiting; announced as "printerStatus".
    void setPrinterStatus(const std::string& status);
    Text printerStatus() const;
    Text printerSerialNumber() const;
    Text firmwareVersion() const;

    // ---- identity ----

    Text raw1284DeviceID() const;
    Text deviceID() const;
    Text manufacturer() const;
    Text model() const;
    Text vendorUSB() const;
    Text productUSB() const;
    Text serialNumberUSB() const;
    Text status() const;
    Text statusString() const;
    // Property setters announce "will/did change" for their key on the calling thread.
    void setRaw1284DeviceID(const Text& value);
    void setDeviceID(const Text& value);
    void setManufacturer(const Text& value);
    void setModel(const Text& value);
    void setVendorUSB(const Text& value);
    void setProductUSB(const Text& value);
    void setSerialNumberUSB(const Text& value);
    void setStatus(const Text& value);
    void setStatusString(const Text& value);

    uint32_t locationID() const { return locationID_.load(); }
    uint16_t idVendorValue() const { return idVendor_.load(); }
    uint16_t idProductValue() const { return idProduct_.load(); }
    std::string idLocation() const;  // "%x"
    std::string idVendor() const;    // "%d"
    std::string idProduct() const;   // "%d"
    std::string keyUSBdevice() const;  // "%.4X%.4X%.8X" of vendor, product, location
    std::string descriptionUTF8() const;

    bool inFirmwareUpdate() const { return isBusy_.load(); }
    void setInFirmwareUpdate(bool busy);

    // Observable properties: every key above by its property name, plus "isOwned", "state",
    // "interfaceStatus", "inFirmwareUpdate" and the dictionary-backed keys.
    ovn::Value valueForKey(const std::string& key) const override;

    // ---- ownership, handles, pipes ----

    IOReturn openInterface();
    void openInterface(const ResultCompletion& completion);
    // Always queued on the command queue (at once only for an object without one).
    void closeInterface(const ResultCompletion& completion);
    void getPipes();

    bool isInterfaceOpen() const;
    bool willOpenInterface() const;
    bool didOpenInterface() const;
    int32_t interfaceStatus() const { return static_cast<int32_t>(interfaceStatus_.load()); }
    int64_t state() const { return state_.load(); }
    void setState(int64_t state) { state_.store(state); }
    // True for both 1 (owned here) and -1 (held by another application).
    bool isOwned() const { return isOwned_.load() != kNotOwned; }
    int64_t ownershipValue() const { return isOwned_.load(); }
    // The setter behind "isOwned" (switch button): opens for a non-zero value while not owned, else closes.
    void setIsOwned(int64_t value);

    ServicePtr deviceObject() const;
    void setDeviceObject(const ServicePtr& service);
    InterfacePtr interfaceInterface() const;
    void setInterfaceInterface(const InterfacePtr& interface);
    // Creates the device handle on first use (caller's thread); off the command queue the new handle is
    // stored by a queued step, so that call answers what was stored before.
    DevicePtr deviceInterface();
    void setDeviceInterface(const DevicePtr& device);
    ovn::usb::IONotificationPortPtr notifyPort() const;

    uint8_t bulkIN() const { return bulkIN_.load(); }
    uint8_t bulkOUT() const { return bulkOUT_.load(); }
    IOReturn readStatus() const { return readStatus_.load(); }
    IOReturn writeStatus() const { return writeStatus_.load(); }
    // The progress of the current (or last) bulk write, for a progress display to poll from any thread:
    // the bytes that have reached the printer and the size of the write (both 0 before the first write). After
    // a failed write, `written` is what did arrive.
    struct WriteProgress {
        uint64_t written = 0;
        uint64_t total = 0;
    };
    WriteProgress writeProgress() const { return {writeBytesDone_.load(), writeBytesTotal_.load()}; }

    // ---- descriptors, strings, reset ----

    std::optional<IndexSet> langIds();
    uint16_t langId();
    void setLangId(uint16_t language);
    Text descriptorStringAtIndex(int64_t index);
    void getUSBVendorString();
    void getUSBProductString();
    void getUSBSerialNumberString();
    static Text normalizedVendorString(const Text& vendor);
    IOReturn resetUSBPrinter(bool classSpecific);
    IOReturn resetUSBPrinter() { return resetUSBPrinter(false); }
    IOReturn resetUSBDevice();
    IOReturn reEnumerateUSBDevice();

    // ---- IEEE-1284 device ID ----

    // Reads GET_DEVICE_ID on the command queue; on success stores raw1284DeviceID (main thread, waiting).
    // The completion (may be null) receives (success, text); it is not called when there is no interface.
    void update1284DeviceID(const DeviceIDCompletion& completion);
    // Decodes manufacturer (normalised, "unknown"), model ("unknown"), serial (USB serial string when the ID
    // has none) and description; the callback (may be null) is called at once.
    void decodeDeviceID(const Text& deviceID, const DecodedDeviceID& decoded) const;
    // Text between prefix and terminator, either of which may be missing. An empty or missing text is
    // answered unchanged; a prefix or terminator not found gives nothing. Options: kCaseInsensitiveSearch
    // (ASCII letters). Inclusive keeps prefix and terminator.
    static Text substringFromString(const Text& text, const Text& prefix, const Text& terminator, uint64_t options,
                                    bool inclusive);
    static Text noninclusiveCaseInsensitiveSubstringFromString(const Text& text, const Text& prefix,
                                                               const Text& terminator);

protected:
    void setReadStatus(IOReturn status) { readStatus_.store(status); }
    void setWriteStatus(IOReturn status) { writeStatus_.store(status); }

private:
    friend void usbInterfaceInterestCallback(ZVUSBPrinter*, const ovn::usb::IOServicePtr&, uint32_t, void*);

    Text textField(const Text ZVUSBPrinter::*field) const;
    void setTextProperty(const char* key, Text ZVUSBPrinter::*field, const Text& value);
    void setOwnershipValue(int64_t value);
    void setInterfaceState(int64_t value);
    void deliverReply(const PrinterReply& reply, const QueuePtr& replyQueue, const ReplyBlock& replyBlock);
    void runOnCommandQueueAlways(const Completion& block);
    void applyDeviceObject(const ServicePtr& service);
    void applyInterfaceInterface(const InterfacePtr& interface);
    void storeUSBString(const char* key, Text ZVUSBPrinter::*field, const Text& value, const char* logPrefix);
    void fetch1284DeviceID(const DeviceIDCompletion& completion);

    mutable std::mutex mutex_;

    // Guarded by mutex_.
    Text raw1284DeviceID_;
    Text deviceID_;
    Text manufacturer_;
    Text model_;
    Text vendorUSB_;
    Text productUSB_;
    Text serialNumberUSB_;
    Text status_;
    std::optional<IndexSet> langIds_;
    Text printerStatusString_;
    Text image_;
    QueuePtr printerCommandQueue_;
    InterfacePtr iInterface_;
    DevicePtr dInterface_;
    ovn::usb::IONotificationPortPtr notifyPort_;
    ovn::usb::IONotificationPtr interestNotification_;
    ovn::usb::IONotificationPtr busyNotification_;
    ServicePtr deviceObject_;
    uint16_t langId_ = 0;

    std::atomic<int64_t> state_{kInterfaceStateNew};
    std::atomic<int64_t> isOwned_{kNotOwned};
    std::atomic<int64_t> interfaceStatus_{kInterfaceStateNew};
    const ovn::DeviceInfoRef deviceInfoDict_;
    std::atomic<uint32_t> locationID_{0};
    std::atomic<uint16_t> idVendor_{0};
    std::atomic<uint16_t> idProduct_{0};
    std::atomic<bool> isBusy_{false};
    std::atomic<uint8_t> bulkIN_{0};
    std::atomic<uint8_t> bulkOUT_{0};
    std::atomic<IOReturn> readStatus_{kIOReturnSuccess};
    std::atomic<IOReturn> writeStatus_{kIOReturnSuccess};
    std::atomic<uint64_t> writeBytesDone_{0};
    std::atomic<uint64_t> writeBytesTotal_{0};
};
