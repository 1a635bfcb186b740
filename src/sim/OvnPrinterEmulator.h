// An OVN photo printer as seen from its USB port: its descriptors and device ID, its answers to every command
// of the vendor protocol, its counters, colour tables and USB serial-number setting, its firmware-update mode
// with the restarts that go with it, and faults that tests and demos can make it show.
//
// The emulator is a device handler of the virtual USB bus. It can also run without a bus: tests call bulkOut,
// bulkIn and controlRequest themselves and give it a DeviceBusLink of their own that records what it asks of
// the bus (restarts, unplugging, being taken by another program).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "sim/OvnDeviceProtocol.h"
#include "sim/OvnModels.h"
#include "usb/VirtualUSBBus.h"

namespace ovn {
class DispatchQueue;
}

namespace ovn::sim {

// What the printer does to the bus it is plugged into. The emulator never holds its own lock while it calls
// these, so an implementation may call back into the emulator (attached) at once.
class DeviceBusLink {
public:
    virtual ~DeviceBusLink() = default;
    // Leave the bus now and come back after the delay with this description (a restart).
    virtual void reEnumerate(uint64_t deviceId, uint32_t delayMs, const usb::VirtualDeviceDescription& description) = 0;
    // Leave the bus (cable pulled, power lost).
    virtual void unplug(uint64_t deviceId) = 0;
    // Arrive on the bus with this description (power on); the handler is then told through attached().
    virtual void plug(const usb::VirtualDeviceDescription& description) = 0;
    // Another program takes or releases the printer's interface; answers whether the other program holds it
    // afterwards (taking fails while the host has the interface open).
    virtual bool setHeldByOtherApplication(uint64_t deviceId, bool held) = 0;
    // Whether the host has the interface open.
    virtual bool isOpenByHost(uint64_t deviceId) = 0;
    // Where the device is plugged (its USB location), while it is on the bus.
    virtual std::optional<uint32_t> locationOf(uint64_t deviceId) = 0;
};

// Faults the printer can show, each for one exchange.
enum class Fault {
    NoReply,           // a query is not answered
    LateReply,         // the reply misses the read that waits for it and stays queued for the next read
    BadHeader,         // the reply's length header is not a number ("XXXXXXXX")
    OversizeLength,    // the header announces 4097 bytes and that many follow
    NoCarriageReturn,  // the reply body lacks its closing carriage return
    Disconnect,        // the printer is unplugged in the middle of the exchange
    Busy,              // after this frame another program holds the interface
    PowerLoss,         // the printer loses power when the frame arrives (state is kept; see powerOn)
};

const char* faultName(Fault fault);  // "noreply", "late", "badheader", "oversize", "nocr", "disconnect", ...
std::optional<Fault> faultByName(std::string_view name);
// Faults that change the reply apply to queries only; the others apply to any frame.
bool faultNeedsReply(Fault fault);

inline constexpr uint32_t kFaultForever = UINT32_MAX;

struct FaultRule {
    Fault fault = Fault::NoReply;
    std::optional<DeviceCommand> command;  // nothing: the next frames it applies to, whatever their command
    uint32_t count = 1;                    // exchanges it applies to; kFaultForever for all
};

// One frame as the printer received it.
struct FrameRecord {
    uint64_t sequence = 0;
    bool malformed = false;
    std::string error;                     // why the frame was malformed
    std::optional<DeviceCommand> command;  // absent for a malformed frame
    std::string commandName;               // "INFO FVER", or "" for a malformed frame
    size_t size = 0;                       // bytes of the whole transfer
    size_t payloadSize = 0;
    std::vector<uint8_t> payload;          // the payload when it is at most kLoggedPayloadLimit bytes
    uint64_t payloadHash = 0;              // FNV-1a of the whole payload
    bool inUpdateMode = false;             // the printer waited for firmware when it arrived
    std::string outcome;                   // "answered", "done", "rejected: ...", "forbidden: ...", "fault: ..."
};

inline constexpr size_t kLoggedPayloadLimit = 4096;

struct ColourTableState {
    std::string version;     // what the version queries answer ("0161")
    std::string checksum;    // what the checksum queries answer ("3F2A")
    std::string versionName; // the version text last written for the table ("PL15_300_0161.CWD")
    size_t dataSize = 0;
    uint64_t dataHash = 0;
    bool operator==(const ColourTableState&) const = default;
};

enum class FirmwareMode {
    Normal,        // running firmware
    Update,        // waiting for a firmware image ("FU00001")
    Intermediate,  // PL-MV1 only: running the intermediate firmware, about to restart by itself
};

struct EmulatorConfig {
    PrinterModel model = PrinterModel::PL15;
    uint16_t vendorId = kDefaultVendorId;
    uint32_t locationId = 0;                     // 0: the bus picks one
    std::string serial;                          // "" gives a serial made from the model
    std::optional<std::string> firmwareVersion;  // the model's default when absent
    std::string rawStatus = kIdleStatus;         // "FU00001" starts the printer in update mode
    bool iSerial = false;                        // the USB serial-number setting
    std::optional<uint32_t> lifetimeCounter;
    uint32_t restartDelayMs = 2000;              // time off the bus at each restart
    uint32_t settleMs = 1500;                    // PL-MV1: time on the intermediate firmware
    std::vector<FaultRule> faults;
};

class OvnPrinterEmulator : public usb::VirtualDeviceHandler, public std::enable_shared_from_this<OvnPrinterEmulator> {
public:
    static std::shared_ptr<OvnPrinterEmulator> create(const EmulatorConfig& config);
    ~OvnPrinterEmulator() override;

    // --- USB identity ---------------------------------------------------------------------------------
    const ModelInfo& model() const { return *model_; }
    uint16_t vendorId() const { return vendorId_; }
    uint16_t productId() const { return model_->productId; }
    std::string serial() const;
    std::string manufacturerString() const { return kManufacturerString; }
    std::string productString() const { return model_->productString; }
    // The description to plug the printer with now: strings 1 (manufacturer), 2 (product) and, while the
    // printer reports it, 3 (serial number).
    usb::VirtualDeviceDescription description() const;
    // The IEEE-1284 device ID text ("MFG:Orvane Imaging;MDL:PL15;...").
    std::string deviceIdText() const;
    // Answer GET_DEVICE_ID with these exact bytes (length prefix included) instead; nothing restores the
    // normal answer.
    void setRawDeviceIdReply(std::optional<std::vector<uint8_t>> bytes);
    uint32_t locationId() const;

    // --- VirtualDeviceHandler -------------------------------------------------------------------------------
    void attached(usb::VirtualUSBBus& bus, uint64_t deviceId) override;
    IOReturn bulkOut(const uint8_t* data, size_t length, uint32_t timeoutMs) override;
    IOReturn bulkIn(std::vector<uint8_t>& out, size_t maxLength, uint32_t timeoutMs) override;
    IOReturn controlRequest(const usb::IOUSBDevRequestTO& setup, std::vector<uint8_t>& in) override;

    // --- The bus --------------------------------------------------------------------------------------
    void setBusLink(std::shared_ptr<DeviceBusLink> link);
    // The printer is on the bus under this id (called by attached(), or by a test's own link).
    void handleAttached(uint64_t deviceId);
    std::optional<uint64_t> deviceId() const;  // nothing while off the bus
    bool isOnBus() const;
    bool isPowered() const;

    // Unplug and plug again at the same location; a changed USB serial-number setting takes effect.
    void powerCycle();
    // Loses power: leaves the bus and stays away, keeping its state.
    void powerLoss();
    // Comes back after a power loss or a disconnect, at the same location, with its state kept.
    void powerOn();
    // Another program takes (true) or releases (false) the interface. While the host has the interface open
    // the other program waits and takes it as soon as the host closes it.
    void setHeldByOtherApplication(bool held);
    bool isHeldByOtherApplication() const;

    // --- State tests may read and set --------------------------------------------------------------------
    FirmwareMode firmwareMode() const;
    std::string firmwareVersion() const;
    void setFirmwareVersion(const std::string& version);
    // The status reported in normal mode ("00000", "01100"); "FU00001" puts the printer into update mode.
    std::string rawStatus() const;  // what STATUS answers now
    void setRawStatus(const std::string& status);
    uint32_t lifetimeCounter() const;
    void setLifetimeCounter(uint32_t value);
    // Media counters by letter: 'A', 'B', 'M' (cleared by COUNTER_CLR), 'P', 'T' (matte).
    uint32_t mediaCounter(char letter) const;
    void setMediaCounter(char letter, uint32_t value);
    bool hasISerialSetting() const;  // the model (and, for the PL-MV1, its firmware) has the setting
    bool iSerialSetting() const;     // what the setting says now
    bool reportsSerialNumber() const;  // whether the USB descriptor carries the serial number now
    std::map<ColourTableId, ColourTableState> colourTables() const;
    void setColourTable(const ColourTableId& id, const ColourTableState& state);
    uint32_t restartDelayMs() const;
    void setRestartDelayMs(uint32_t ms);
    void setSettleMs(uint32_t ms);
    int restartCount() const;  // restarts of its own (update), not power cycles

    // --- Faults -----------------------------------------------------------------------------------------
    void injectFault(Fault fault, std::optional<DeviceCommand> command = std::nullopt, uint32_t count = 1);
    void injectFaultForNextExchanges(Fault fault, uint32_t count);
    void clearFaults();
    size_t pendingFaultCount() const;

    // --- What happened ------------------------------------------------------------------------------------
    std::vector<FrameRecord> frames() const;
    size_t frameCount() const;
    void clearFrameLog();
    size_t malformedCount() const;
    size_t rejectedCount() const;
    // Things a host must never do: an empty colour-table data frame, table data without its version frame,
    // an image that fails the check, an image sent outside update mode.
    size_t forbiddenCount() const;
    std::vector<std::string> forbiddenReasons() const;
    // Human-readable lines of everything notable (also written to the system log).
    std::vector<std::string> events() const;
    size_t pendingReplyCount() const;
    // Waits until at least n frames were received (valid or not).
    bool waitForFrameCount(size_t n, std::chrono::milliseconds timeout) const;
    // Waits until the predicate holds; it is checked under no lock of the emulator.
    static bool waitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);

private:
    explicit OvnPrinterEmulator(const EmulatorConfig& config);

    struct PendingReply {
        std::vector<uint8_t> bytes;
        size_t consumed = 0;
        int missedReads = 0;           // late reply: reads to let time out first
        std::optional<size_t> dropAt;  // disconnect once this many bytes were read
    };
    struct PendingTable {
        ColourTableId id;
        std::string name;
        std::string version;
    };
    // Work on the bus decided under the lock and done after it.
    struct BusAction {
        enum Kind { ReEnumerate, Unplug, Hold } kind = Unplug;
        uint64_t deviceId = 0;
        uint32_t delayMs = 0;
        uint64_t generation = 0;
        usb::VirtualDeviceDescription description;
    };

    usb::VirtualDeviceDescription descriptionLocked() const;
    bool hasISerialSettingLocked() const;
    std::string statusLocked() const;
    std::optional<Fault> takeFaultLocked(DeviceCommand command, bool query);
    std::optional<std::string> answerQueryLocked(const ReceivedFrame& frame, FrameRecord& record);
    void performWriteLocked(const ReceivedFrame& frame, FrameRecord& record, std::vector<BusAction>& actions);
    std::optional<std::string> tableQueryLocked(const ReceivedFrame& frame, FrameRecord& record);
    void writeTableVersionLocked(const ReceivedFrame& frame, FrameRecord& record);
    void writeTableDataLocked(const ReceivedFrame& frame, FrameRecord& record);
    void flashProgramLocked(const ReceivedFrame& frame, FrameRecord& record, std::vector<BusAction>& actions);
    void queueReplyLocked(const std::string& text, std::optional<Fault> fault, FrameRecord& record);
    void noteLocked(const std::string& line);
    void forbidLocked(const std::string& why, FrameRecord& record);
    void rejectLocked(const std::string& why, FrameRecord& record);
    void goOffBusLocked();
    void runActions(const std::vector<BusAction>& actions);
    void scheduleSelfRestartLocked();
    void selfRestart(uint64_t generation);
    void tryHold(uint64_t generation);
    void restartLocked(std::vector<BusAction>& actions);
    void leaveBus(uint64_t deviceId);
    void plugBack(bool applyPowerOn);
    std::shared_ptr<DeviceBusLink> link() const;

    const ModelInfo* model_;
    const uint16_t vendorId_;

    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::shared_ptr<DeviceBusLink> link_;
    usb::VirtualUSBBus* linkedBus_ = nullptr;
    std::optional<uint64_t> deviceId_;
    uint64_t lastDeviceId_ = 0;
    bool powered_ = true;
    bool held_ = false;
    uint32_t location_;
    uint64_t generation_ = 0;  // bumped at every arrival and departure; stale timers check it

    std::string serial_;
    std::string firmware_;
    std::string pendingFirmware_;  // PL-MV1: the version it settles on after the intermediate firmware
    FirmwareMode mode_ = FirmwareMode::Normal;
    std::string normalStatus_;
    uint32_t lifetime_ = 0;
    std::map<char, uint32_t> counters_;
    bool iSerialSetting_ = false;
    bool iSerialReported_ = false;  // the setting in force since the last power-on
    std::map<ColourTableId, ColourTableState> tables_;
    std::optional<PendingTable> pendingTable_;
    std::optional<std::vector<uint8_t>> rawDeviceId_;
    uint32_t restartDelayMs_;
    uint32_t settleMs_;
    int restarts_ = 0;

    std::vector<FaultRule> faults_;
    std::deque<PendingReply> replies_;
    // The start of a frame whose header announced more payload than its transfer carried (see bulkOut).
    std::vector<uint8_t> partialFrame_;
    size_t partialFrameLength_ = 0;

    std::vector<FrameRecord> frames_;
    uint64_t sequence_ = 0;
    size_t malformed_ = 0;
    size_t rejected_ = 0;
    std::vector<std::string> forbidden_;
    std::vector<std::string> events_;

    std::shared_ptr<DispatchQueue> timerQueue_;
};

}  // namespace ovn::sim
