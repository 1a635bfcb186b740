// The test kit every suite builds on (library ovn_testkit, namespace kit):
//   pumpUntil / pumpFor / onMain   turn the main queue from the test thread; waitLimitMs scales waits under sanitizers
//   Log                            every diagnostic line (system log and standard error channels), captured
//   TempDir, readFile, writeFile   a scratch directory removed afterwards
//   ScopedEnv, withoutRoot         an environment variable for a scope; a check run without root's rights
//   Resources                      the delivered files in a scratch copy a test may damage
//   Presenter                      scripted alerts: records every alert and its queue, answers by a policy
//   Wire                           the cable to one emulated printer: raw OUT bytes, actions just before/after a
//                                  command's frame, the emulator's fault armed for exactly one frame
//   FailingUSB                     the virtual bus's USB service layer with one call failing at a chosen point
//   Heartbeat                      whether the main queue kept turning
//   Rig                            bus (behind FailingUSB) + registry (started) + presenter: plug emulated printers, wait for them
//                                  listed, probed, updated; expectSound checks what must hold after any fault
//   frame(), commandNames()        the frame layout on the wire and the decoded frame log of a printer
//   Program                        a program run as a subprocess (stdin scripted, stdout/stderr/status captured)
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Classes/ZVPrinters.h"
#include "Classes/ZVUSBPrinterOVN.h"
#include "platform/Alerts.h"
#include "platform/DispatchQueue.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "sim/OvnDeviceProtocol.h"
#include "sim/OvnPrinterEmulator.h"
#include "usb/VirtualUSBBus.h"

namespace kit {

namespace sim = ovn::sim;
using sim::DeviceCommand;
using sim::Fault;
using sim::PrinterModel;
using Bytes = std::vector<uint8_t>;
using Texts = std::vector<std::string>;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

inline int waitLimitMs(int normalMs) { return kSanitized ? normalMs * 6 : normalMs; }
bool pumpUntil(const std::function<bool()>& done, int ms = 5000);
void pumpFor(int ms);
// Runs the block as a main-queue block and waits for it.
void onMain(const std::function<void()>& block);

inline Bytes bytesOf(std::string_view s) { return {s.begin(), s.end()}; }
inline std::string textOf(const Bytes& b) { return {b.begin(), b.end()}; }
std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& contents);

class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// Sets (or unsets) an environment variable until the end of the scope.
class ScopedEnv {
public:
    ScopedEnv(std::string name, std::optional<std::string> value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// Runs the check without root's right to read every file (in a child that became "nobody" when root).
bool withoutRoot(const std::function<bool()>& check);

// The delivered resources in a scratch copy (links) the test may damage; restored afterwards.
class Resources {
public:
    Resources();
    ~Resources();
    std::filesystem::path path(const std::string& name) const { return dir_.path() / name; }
    std::filesystem::path delivered(const std::string& name) const { return std::filesystem::path(previous_) / name; }
    void remove(const std::string& name);
    void write(const std::string& name, const std::string& contents);
    void change(const std::string& name, const std::function<void(std::string&)>& edit);

private:
    TempDir dir_;
    std::string previous_;
};

// The diagnostic log, captured from both channels while a Log::Capture lives (standard error and syslog off).
class Log {
public:
    struct Capture {
        Capture();
        ~Capture();
    };
    static void clear();
    static Texts lines(std::optional<ovn::LogChannel> channel = std::nullopt);
    static size_t count(const std::string& text);  // lines containing the text
    static bool contains(const std::string& text) { return count(text) > 0; }
    static Texts matching(const std::string& text);
};

// ---------------------------------------------------------------------------------------------------------
// Frames

// The frame as the wire carries it: ESC 'P', category (6), subcommand padded to 16, the payload length as
// eight digits (blanks without payload), the payload.
Bytes frame(std::string_view category, std::string_view subcommand, const Bytes& payload = {});
// The command names ("INFO FVER") of the frames the printer received, in order.
Texts commandNames(const std::vector<sim::FrameRecord>& frames);
std::optional<DeviceCommand> commandOfFrame(const uint8_t* data, size_t length);

// ---------------------------------------------------------------------------------------------------------
// Alerts

inline constexpr char kAttentionTitle[] = "Attention:";
inline constexpr char kBusyTitle[] = "Printer Busy";
inline constexpr char kErrorTitle[] = "Printer Error";
inline constexpr char kNotReadyTitle[] = "Printer Not Ready";
inline constexpr char kConfirmTitlePrefix[] = "-- Warning --";
inline constexpr char kFileCorruptionPrefix[] = "-- File corruption --";
inline constexpr char kSuccessTitle[] = "Firmware update was successful!";
inline constexpr char kProblemTitle[] = "There was a problem with the firmware update!";
inline constexpr char kBadFileTitle[] = "There was a problem with the firmware file!";
inline constexpr char kPowerCycleTitle[] = "Please power-cycle this printer";

// Answers alerts the way a user who wants the update would (ticks "I Agree", first button), unless the
// policy answers first; records every alert with whether it came on the main queue.
class Presenter : public ovn::AlertPresenter {
public:
    struct Shown {
        std::string title;
        std::string message;
        Texts buttons;
        bool hasCheckbox = false;
        bool onMainQueue = false;
        long response = 0;
        ovn::AlertStyle style = ovn::AlertStyle::Warning;
        ovn::AlertModality modality = ovn::AlertModality::Sheet;
        std::string checkboxTitle;
        bool secondButtonBound = false;  // enabled only while a key of the printer reads true
        std::string subject;             // the printer the alert is about
    };
    using Policy = std::function<std::optional<long>(const ovn::AlertRequest&)>;

    void present(const ovn::AlertRequest& request, std::function<void(long)> completion) override;
    static long defaultAnswer(const ovn::AlertRequest& request);
    void setPolicy(Policy policy);
    std::vector<Shown> shown() const;
    Texts titles() const;
    size_t count(const std::string& title) const;
    size_t countPrefix(const std::string& prefix) const;
    size_t updateModeOffers() const;  // "Attention:" alerts without the update warning's checkbox
    std::optional<Shown> last(const std::string& title) const;
    bool allOnMainQueue() const;
    std::string describe() const;

private:
    mutable std::mutex mutex_;
    Policy policy_;
    std::vector<Shown> shown_;
};

// ---------------------------------------------------------------------------------------------------------
// The wire between the bus and one emulated printer

class Wire : public ovn::usb::VirtualDeviceHandler {
public:
    using Action = std::function<void()>;
    explicit Wire(std::shared_ptr<sim::OvnPrinterEmulator> emulator) : emulator_(std::move(emulator)) {}

    void attached(ovn::usb::VirtualUSBBus& bus, uint64_t deviceId) override;
    IOReturn bulkOut(const uint8_t* data, size_t length, uint32_t timeoutMs) override;
    IOReturn bulkIn(std::vector<uint8_t>& out, size_t maxLength, uint32_t timeoutMs) override;
    IOReturn controlRequest(const ovn::usb::IOUSBDevRequestTO& setup, std::vector<uint8_t>& in) override;

    void beforeNext(DeviceCommand command, Action action);  // just before the next frame of the command
    void afterNext(DeviceCommand command, Action action);   // just after it reached the printer
    void faultAt(DeviceCommand command, Fault fault);       // that very frame meets the emulator's fault
    // Runs once, at the printer's next arrival on the bus (on either bus), before the host can see it.
    void onNextArrival(Action action);
    // The next reads are answered with these bytes instead of the printer (one entry per read).
    void scriptReads(std::vector<Bytes> reads);
    // Every bulk OUT transfer byte for byte (firmware images are left out: only their first 32 bytes).
    std::vector<Bytes> sent() const;
    void clearSent();
    int faultsFired() const { return fired_.load(); }
    int mainQueueTransfers() const { return mainQueueTransfers_.load(); }
    int arrivals() const;
    void noteArrival();

private:
    struct Point {
        DeviceCommand command;
        Action action;
    };
    void noteThread();
    void run(std::vector<Point>& points, DeviceCommand command);

    std::shared_ptr<sim::OvnPrinterEmulator> emulator_;
    mutable std::mutex mutex_;
    std::vector<Point> before_, after_;
    Action arrivalAction_;
    std::vector<Bytes> scripted_;
    std::vector<Bytes> sent_;
    int arrivals_ = 0;
    std::atomic<int> fired_{0};
    std::atomic<int> mainQueueTransfers_{0};
};

// ---------------------------------------------------------------------------------------------------------
// A USB call failing at a chosen point

// The service layer of a virtual bus in which one call of the interface or device interface ("USBInterfaceOpenSeize",
// "WritePipeTO", "ReadPipeTO", "ControlRequestTO", "USBDeviceOpen", "ResetDevice", "GetLocationID", ...) or of the
// services themselves ("CreateInterfaceInterface", "CreateDeviceInterface" and their ".plugin" failures,
// "IOServiceAddInterestNotification")
// answers `result` for `count` calls after letting `skip` pass. Every call is counted by name.
class FailingUSB : public ovn::usb::USBServices {
public:
    explicit FailingUSB(std::shared_ptr<ovn::usb::VirtualUSBBus> bus) : bus_(std::move(bus)) {}
    // The last calls came from printers' command queues: taking the lock orders them before the end.
    ~FailingUSB() override { std::lock_guard<std::mutex> lock(mutex_); }
    void fail(const std::string& call, IOReturn result, int skip = 0, int count = 1);
    void clear();  // no more failures
    // Runs the action once, on the caller's thread, just before the next call of that name goes through.
    void onCall(const std::string& call, std::function<void()> action);
    int calls(const std::string& call) const;
    // Passes the failure check: answers the scripted failure or nothing.
    std::optional<IOReturn> check(const std::string& call);

    ovn::usb::IONotificationPortPtr IONotificationPortCreate() override { return bus_->IONotificationPortCreate(); }
    IOReturn IOServiceAddMatchingNotification(const ovn::usb::IONotificationPortPtr& port, const std::string& type,
                                              const ovn::usb::MatchingDict& matching,
                                              ovn::usb::IOServiceMatchingCallback callback,
                                              ovn::usb::IOIteratorPtr* iterator,
                                              ovn::usb::IONotificationPtr* notification) override;
    IOReturn IOServiceAddInterestNotification(const ovn::usb::IONotificationPortPtr& port,
                                              const ovn::usb::IOServicePtr& service, const std::string& type,
                                              ovn::usb::IOServiceInterestCallback callback,
                                              ovn::usb::IONotificationPtr* notification) override;
    IOReturn CreateInterfaceInterface(const ovn::usb::IOServicePtr& interfaceService,
                                      ovn::usb::IOUSBInterfaceInterfacePtr* out, bool* pluginFailed) override;
    IOReturn CreateDeviceInterface(const ovn::usb::IOServicePtr& deviceService,
                                   ovn::usb::IOUSBDeviceInterfacePtr* out, bool* pluginFailed) override;

private:
    struct Rule {
        std::string call;
        IOReturn result;
        int skip;
        int count;
    };
    std::shared_ptr<ovn::usb::VirtualUSBBus> bus_;
    mutable std::mutex mutex_;
    std::vector<Rule> rules_;
    std::map<std::string, int> calls_;
    std::map<std::string, std::function<void()>> hooks_;
};

// ---------------------------------------------------------------------------------------------------------
// Main-queue heartbeat

class Heartbeat {
public:
    void start();
    void stop();
    std::chrono::milliseconds largestGap() const;
    long beats() const;
    struct State;

private:
    std::shared_ptr<State> state_;
};

// ---------------------------------------------------------------------------------------------------------
// The rig

const std::vector<PrinterModel>& allModels();
std::string modelName(PrinterModel model);
std::string offeredFirmware(PrinterModel model);  // "PL15 01.61"

struct Slot {
    std::shared_ptr<sim::OvnPrinterEmulator> emulator;
    std::shared_ptr<Wire> wire;
    PrinterModel model = PrinterModel::PL15;
    uint32_t location = 0;
    std::string key;  // keyUSBdevice
    std::string initialFirmware;

    bool tablesRewritten() const;     // every colour table holds data written by the host
    bool runsOfferedFirmware() const;
    std::vector<sim::FrameRecord> framesOf(DeviceCommand command) const;
    Texts commands() const { return commandNames(emulator->frames()); }
};

struct SlotOptions {
    std::optional<std::string> firmware;
    std::string rawStatus = sim::kIdleStatus;  // "FU00001": found in firmware update mode
    bool iSerial = false;
    std::string serial;
    uint32_t restartDelayMs = 30;
    // A PL-MV1's run on its intermediate firmware: long enough for the host to read it even through usbfs on a
    // loaded machine under a sanitizer, so that every run takes the same path.
    uint32_t settleMs = kSanitized ? 1500 : 300;
    std::vector<sim::FaultRule> faults;
    static SlotOptions fw(std::string version) {
        SlotOptions o;
        o.firmware = std::move(version);
        return o;
    }
};

struct Slot;

// A bus other than the virtual one for the rig's printers (the usbfs bus of the libusb provider's tests): the
// service layer the programs use on it, where the next printer goes, plugging a printer in, taking all off.
class OtherBus {
public:
    virtual ~OtherBus() = default;
    virtual std::shared_ptr<ovn::usb::USBServices> services() = 0;
    virtual uint32_t nextLocation() = 0;
    virtual void connect(Slot& slot) = 0;
    virtual bool isOpenByHost(const Slot& slot) = 0;
    virtual void unplugAll() = 0;
};

struct RigOptions {
    bool start = true;                       // start the registry at once
    std::vector<uint16_t> acceptedProducts;  // added before discovery; empty: every model's
    std::function<std::unique_ptr<OtherBus>()> otherBus;  // nothing: the virtual bus
    static RigOptions notStarted() {
        RigOptions o;
        o.start = false;
        return o;
    }
};

class Rig {
public:
    explicit Rig(const RigOptions& options = {});
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    // Starts the registry (discovery of what is on the bus).
    void start();
    // Terminates the registry, unplugs everything, and checks every printer object was freed.
    void shutDown();
    // A new emulated printer at a USB location of its own (not yet on the bus).
    Slot& plug(PrinterModel model, const SlotOptions& options = {});
    // Puts it on the bus.
    void connect(Slot& slot);
    Slot& plugAndConnect(PrinterModel model, const SlotOptions& options = {}) {
        Slot& s = plug(model, options);
        connect(s);
        return s;
    }
    // Device information saved for the printer's USB location, as a printer that left mid-update leaves it.
    static void saveUpdatePhase(const Slot& slot, int64_t phase, const std::string& previousFirmware);

    // A printer object (vendor or generic) made for the slot the way the registry makes one, outside the registry;
    // `atCreation` runs in the same main-queue block, before any message reaches the object.
    std::shared_ptr<ZVUSBPrinter> makePrinter(const Slot& slot, bool vendor,
                                              const std::function<void(ZVUSBPrinter&)>& atCreation = nullptr);
    ZVPrinters::PrinterPtr listed(const Slot& slot) const;
    bool waitProbed(const Slot& slot, int ms = 5000);  // listed, with serial number and firmware version
    bool waitUnlisted(const Slot& slot, int ms = 5000);
    bool waitUpdated(const Slot& slot, int ms = 10000);  // offered firmware, tables rewritten, success shown
    void settle(int ms = 5000);  // every listed command queue and the main queue idle
    void startUpdate(const Slot& slot);
    size_t livePrinterObjects();
    size_t printerObjectsSeen();
    bool waitUnlistedFreed(int ms = 5000);
    // After any fault: nothing forbidden reached the printer, the main thread never talked to it, every alert
    // came on the main queue, the main queue kept turning, the application was not asked to quit.
    void expectSound(const Slot& slot, const std::string& where = "");
    void expectMainQueueTurned();
    void dumpEvents() const;
    bool isOpenByHost(const Slot& slot);

    std::shared_ptr<ovn::MemoryUserDefaults> defaults;
    std::shared_ptr<Presenter> presenter;
    std::shared_ptr<std::atomic<int>> terminationRequests;
    std::shared_ptr<ovn::usb::VirtualUSBBus> bus;
    std::shared_ptr<FailingUSB> usb;  // the service layer the programs use: the bus, failing where told
    std::unique_ptr<OtherBus> other;  // instead of both, when the options name another bus
    std::shared_ptr<ZVPrinters> registry;
    ovn::ObservationToken listObservation;
    Heartbeat heartbeat;
    std::vector<std::unique_ptr<Slot>> slots;

private:
    void noteListed();
    RigOptions options_;
    ovn::usb::IONotificationPtr matching_;
    ovn::usb::IOIteratorPtr iterator_;
    std::vector<ovn::usb::IOServicePtr> arrived_;
    std::vector<std::shared_ptr<ZVUSBPrinter>> made_;
    Log::Capture capture_;
    std::mutex trackMutex_;
    std::vector<std::weak_ptr<ZVUSBPrinterOVN>> tracked_;
    std::set<const ZVUSBPrinterOVN*> seen_;
};

// Values announced for observed keys of a printer, in order ("" for an absent value).
class Announcements {
public:
    Announcements(ZVUSBPrinter& printer, const Texts& keys);
    Texts valuesOf(const std::string& key) const;

private:
    mutable std::mutex mutex_;
    std::vector<ovn::ObservationToken> tokens_;
    std::vector<std::pair<std::string, std::string>> values_;
};

// ---------------------------------------------------------------------------------------------------------
// A program run as a subprocess

class Program {
public:
    struct Outcome {
        int status = -1;  // exit status; 128 + signal when killed
        std::string out;
        std::string err;
    };
    // With keepInputOpen the program's standard input stays open after the input (a question waits for its
    // answer) until the program ends.
    Program(const std::string& path, const Texts& args, const std::string& input = "", const Texts& env = {},
            bool keepInputOpen = false);
    ~Program();
    // Whether the text appeared on standard output or standard error within ms.
    bool waitForOutput(const std::string& text, int ms);
    void signal(int sig);
    Outcome finish(int ms = 60000);
    static Outcome run(const std::string& path, const Texts& args, const std::string& input = "",
                       const Texts& env = {}) {
        return Program(path, args, input, env).finish();
    }

private:
    bool pump(int ms);
    int pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    int inFd_ = -1;
    bool reaped_ = false;
    Outcome outcome_;
};

}  // namespace kit
