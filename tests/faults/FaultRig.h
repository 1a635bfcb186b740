// Harness of the fault and stress tests: a virtual USB bus with emulated printers behind a wire that can arm the
// emulator's faults at an exact point of an exchange, the real printer registry driving arrivals and removals,
// a scripted alert presenter, a main-queue heartbeat that shows whether the main queue keeps running, and the
// bookkeeping that shows every printer object is freed once it has left.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Classes/OVNFirmwareCatalogue.h"
#include "Classes/ZVPrinters.h"
#include "Classes/ZVUSBPrinterOVN.h"
#include "platform/Alerts.h"
#include "platform/DispatchQueue.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "sim/OvnDeviceProtocol.h"
#include "sim/OvnPrinterEmulator.h"
#include "support/QELMOR_Log.h"
#include "usb/VirtualUSBBus.h"

namespace faulttest {

namespace sim = ovn::sim;
using sim::DeviceCommand;
using sim::Fault;
using sim::PrinterModel;

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

// How long a wait for the printers may take before the test gives up (generous: sanitizer builds are slow).
inline int waitLimitMs(int normalMs) { return kSanitized ? normalMs * 6 : normalMs; }

// The longest a single main-queue block, or the gap between two heartbeats, may take. The main queue hands work
// to the command queues and never waits for a printer; what it does itself (checking the delivered files,
// building the firmware image when the user starts an update) stays far below this. A block that waited for a
// printer, or a main queue that stopped turning, goes far beyond it.
inline std::chrono::milliseconds mainStallLimit() {
    return std::chrono::milliseconds(kSanitized ? 8000 : 1500);
}

inline bool pumpUntil(const std::function<bool()>& done, int ms) {
    return ovn::MainRunLoop::runUntil(done, std::chrono::milliseconds(ms));
}
inline void pumpFor(int ms) { ovn::MainRunLoop::runFor(std::chrono::milliseconds(ms)); }

// Runs the block as a main-queue block (where the main-thread rules of the printers hold) and waits for it.
inline void onMain(const std::function<void()>& block) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    ovn::DispatchQueue::main()->async([block, done] {
        block();
        done->store(true);
    });
    pumpUntil([done] { return done->load(); }, 60000);
}

// ---------------------------------------------------------------------------------------------------------
// Diagnostic log

class Log {
public:
    static Log& shared() {
        static Log* log = new Log();
        return *log;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.clear();
    }
    void add(const std::string& line) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (lines_.size() < 200000) lines_.push_back(line);
    }
    size_t count(const std::string& text) const {
        std::lock_guard<std::mutex> lock(mutex_);
        size_t n = 0;
        for (const auto& l : lines_) n += l.find(text) != std::string::npos;
        return n;
    }
    bool contains(const std::string& text) const { return count(text) > 0; }
    std::vector<std::string> matching(const std::string& text) const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> out;
        for (const auto& l : lines_)
            if (l.find(text) != std::string::npos) out.push_back(l);
        return out;
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// ---------------------------------------------------------------------------------------------------------
// Alerts

// Titles of the workflow's alerts.
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

// Answers alerts the way a user who wants the update would, unless a test's policy answers first, and records
// every alert with the queue it was presented on.
class Presenter : public ovn::AlertPresenter {
public:
    struct Shown {
        std::string title;
        std::string message;
        std::vector<std::string> buttons;
        bool hasCheckbox = false;
        bool onMainQueue = false;
        long response = 0;
    };
    // Answers an alert, or nothing to leave it to the default answer.
    using Policy = std::function<std::optional<long>(const ovn::AlertRequest&)>;

    void present(const ovn::AlertRequest& request, std::function<void(long)> completion) override {
        Policy policy;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            policy = policy_;
        }
        std::optional<long> answer = policy ? policy(request) : std::nullopt;
        long response = answer ? *answer : defaultAnswer(request);
        // The update warning's "Continue" is enabled only once "I Agree" is ticked: tick it first.
        if (request.checkbox && request.checkbox->toggled && response == ovn::kAlertSecondButtonReturn)
            request.checkbox->toggled(true);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            shown_.push_back({request.title, request.message, request.buttons, request.checkbox.has_value(),
                              ZVUSBPrinter::isMainQueue(), response});
        }
        if (completion) completion(response);
    }

    static long defaultAnswer(const ovn::AlertRequest& request) {
        const std::string& t = request.title;
        if (t == kAttentionTitle) return ovn::kAlertSecondButtonReturn;  // "Continue" / "Update Firmware"
        if (t.rfind(kConfirmTitlePrefix, 0) == 0) return ovn::kAlertSecondButtonReturn;  // "Update Firmware to"
        if (t == kBusyTitle || t == kErrorTitle || t == kNotReadyTitle) return ovn::kAlertSecondButtonReturn;  // Cancel
        return ovn::kAlertFirstButtonReturn;  // "OK", "Finish"
    }

    void setPolicy(Policy policy) {
        std::lock_guard<std::mutex> lock(mutex_);
        policy_ = std::move(policy);
    }
    std::vector<Shown> shown() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return shown_;
    }
    size_t count(const std::string& title) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<size_t>(std::count_if(shown_.begin(), shown_.end(),
                                                 [&](const Shown& s) { return s.title == title; }));
    }
    size_t countPrefix(const std::string& prefix) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<size_t>(std::count_if(shown_.begin(), shown_.end(),
                                                 [&](const Shown& s) { return s.title.rfind(prefix, 0) == 0; }));
    }
    // The "Attention:" alert that offers the upload to a printer found in firmware update mode (the update
    // warning has the same title, with its checkbox).
    size_t updateModeOffers() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<size_t>(std::count_if(shown_.begin(), shown_.end(), [](const Shown& s) {
            return s.title == kAttentionTitle && !s.hasCheckbox;
        }));
    }
    std::optional<Shown> last(const std::string& title) const {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto it = shown_.rbegin(); it != shown_.rend(); ++it)
            if (it->title == title) return *it;
        return std::nullopt;
    }
    bool allOnMainQueue() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::all_of(shown_.begin(), shown_.end(), [](const Shown& s) { return s.onMainQueue; });
    }
    std::string describe() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string out;
        for (const auto& s : shown_) out += "[" + s.title + " | " + s.message + " -> " + std::to_string(s.response) + "] ";
        return out;
    }

private:
    mutable std::mutex mutex_;
    Policy policy_;
    std::vector<Shown> shown_;
};

// ---------------------------------------------------------------------------------------------------------
// The wire between the bus and one emulated printer

// The command a frame carries, read from its header only (a firmware image is not copied).
inline std::optional<DeviceCommand> commandOfFrame(const uint8_t* data, size_t length) {
    if (length < 32 || data[0] != 0x1B || data[1] != 'P') return std::nullopt;
    for (const auto& info : sim::deviceCommandTable()) {
        if (std::memcmp(data + 2, info.category, 6) != 0) continue;
        char sub[16];
        std::memset(sub, ' ', sizeof sub);
        std::memcpy(sub, info.subcommand, std::min<size_t>(std::strlen(info.subcommand), sizeof sub));
        if (std::memcmp(data + 8, sub, sizeof sub) == 0) return info.command;
    }
    return std::nullopt;
}

// Forwards every transfer to the emulator. It counts bulk transfers made from the main queue (the main thread
// must never talk to a printer), and runs actions at exact points: just before a frame of some command reaches
// the printer (to arm a fault for that very frame), just after it did, and when the printer arrives on the bus.
class Wire : public ovn::usb::VirtualDeviceHandler {
public:
    using Action = std::function<void()>;

    explicit Wire(std::shared_ptr<sim::OvnPrinterEmulator> emulator) : emulator_(std::move(emulator)) {}

    void attached(ovn::usb::VirtualUSBBus& bus, uint64_t deviceId) override {
        emulator_->attached(bus, deviceId);
        std::function<void(ovn::usb::VirtualUSBBus&, uint64_t)> hook;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++arrivals_;
            hook = std::move(onNextAttach_);
            onNextAttach_ = nullptr;
        }
        if (hook) hook(bus, deviceId);
    }

    IOReturn bulkOut(const uint8_t* data, size_t length, uint32_t timeoutMs) override {
        noteThread();
        std::optional<DeviceCommand> command = commandOfFrame(data, length);
        if (command) run(before_, *command);
        IOReturn result = emulator_->bulkOut(data, length, timeoutMs);
        if (command) run(after_, *command);
        return result;
    }

    IOReturn bulkIn(std::vector<uint8_t>& out, size_t maxLength, uint32_t timeoutMs) override {
        noteThread();
        return emulator_->bulkIn(out, maxLength, timeoutMs);
    }

    IOReturn controlRequest(const ovn::usb::IOUSBDevRequestTO& setup, std::vector<uint8_t>& in) override {
        return emulator_->controlRequest(setup, in);
    }

    // Just before the next frame of this command reaches the printer.
    void beforeNext(DeviceCommand command, Action action) {
        std::lock_guard<std::mutex> lock(mutex_);
        before_.push_back({command, std::move(action)});
    }
    // Just after the next frame of this command reached the printer.
    void afterNext(DeviceCommand command, Action action) {
        std::lock_guard<std::mutex> lock(mutex_);
        after_.push_back({command, std::move(action)});
    }
    // The next frame of this command meets the fault (the emulator's own fault, armed for exactly that frame).
    void faultAt(DeviceCommand command, Fault fault) {
        beforeNext(command, [this, command, fault] {
            emulator_->injectFault(fault, command, 1);
            fired_.fetch_add(1);
        });
    }
    // When the printer next arrives on the bus (called just before the device goes on the bus).
    void onNextAttach(std::function<void(ovn::usb::VirtualUSBBus&, uint64_t)> hook) {
        std::lock_guard<std::mutex> lock(mutex_);
        onNextAttach_ = std::move(hook);
    }

    int faultsFired() const { return fired_.load(); }
    int mainQueueTransfers() const { return mainQueueTransfers_.load(); }
    int arrivals() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return arrivals_;
    }
    const std::shared_ptr<sim::OvnPrinterEmulator>& emulator() const { return emulator_; }

private:
    struct Point {
        DeviceCommand command;
        Action action;
    };
    void noteThread() {
        if (ZVUSBPrinter::isMainQueue()) mainQueueTransfers_.fetch_add(1);
    }
    void run(std::vector<Point>& points, DeviceCommand command) {
        Action action;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = std::find_if(points.begin(), points.end(), [&](const Point& p) { return p.command == command; });
            if (it == points.end()) return;
            action = std::move(it->action);
            points.erase(it);
        }
        if (action) action();
    }

    std::shared_ptr<sim::OvnPrinterEmulator> emulator_;
    mutable std::mutex mutex_;
    std::vector<Point> before_;
    std::vector<Point> after_;
    std::function<void(ovn::usb::VirtualUSBBus&, uint64_t)> onNextAttach_;
    int arrivals_ = 0;
    std::atomic<int> fired_{0};
    std::atomic<int> mainQueueTransfers_{0};
};

// ---------------------------------------------------------------------------------------------------------
// Main-queue heartbeat

// A main-queue block queued every few milliseconds. The largest gap between two beats shows whether the main
// queue kept turning while the printers did their work.
class Heartbeat {
public:
    void start() {
        state_ = std::make_shared<State>();
        state_->running.store(true);
        schedule(state_);
    }
    void stop() {
        if (state_) state_->running.store(false);
    }
    std::chrono::milliseconds largestGap() const {
        return state_ ? std::chrono::milliseconds(state_->largestGapMs.load()) : std::chrono::milliseconds(0);
    }
    long beats() const { return state_ ? state_->beats.load() : 0; }

private:
    struct State {
        std::atomic<bool> running{false};
        std::atomic<long> beats{0};
        std::atomic<long> largestGapMs{0};
        std::chrono::steady_clock::time_point last{};
    };
    static void schedule(const std::shared_ptr<State>& state) {
        ovn::DispatchQueue::main()->asyncAfter(std::chrono::milliseconds(4), [state] {
            if (!state->running.load()) return;
            auto now = std::chrono::steady_clock::now();
            if (state->beats.load() > 0) {
                long gap = static_cast<long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(now - state->last).count());
                if (gap > state->largestGapMs.load()) state->largestGapMs.store(gap);
            }
            state->last = now;
            state->beats.fetch_add(1);
            schedule(state);
        });
    }
    std::shared_ptr<State> state_;
};

// ---------------------------------------------------------------------------------------------------------
// Models and the catalogue

inline const std::vector<PrinterModel>& allModels() {
    static const std::vector<PrinterModel> models = {PrinterModel::PL15,  PrinterModel::PL25, PrinterModel::PLMV1,
                                                     PrinterModel::PL25D, PrinterModel::PL35, PrinterModel::PL45};
    return models;
}

inline std::string modelName(PrinterModel model) {
    std::string name = sim::modelInfo(model).name;
    name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
    return name;
}

// The firmware version the application offers for the model ("PL15 01.61").
inline std::string offeredFirmware(PrinterModel model) {
    const auto* row = ovn::OVNFirmwareCatalogue::rowForProductID(sim::modelInfo(model).productId);
    if (!row) return "";
    return ovn::OVNFirmwareCatalogue::nameWithoutExtension(row->firmwareFile());
}

// ---------------------------------------------------------------------------------------------------------
// One emulated printer on the bus

struct Slot {
    std::shared_ptr<sim::OvnPrinterEmulator> emulator;
    std::shared_ptr<Wire> wire;
    PrinterModel model = PrinterModel::PL25D;
    uint32_t location = 0;
    std::string key;             // keyUSBdevice of the printer objects made for it
    std::string initialFirmware;  // what it ran when it was plugged in

    // Whether every colour table of the printer holds data written by the host.
    bool tablesRewritten() const {
        auto tables = emulator->colourTables();
        if (tables.empty()) return false;
        for (const auto& [id, t] : tables)
            if (t.versionName.empty() || t.dataSize == 0) return false;
        return true;
    }
    bool runsOfferedFirmware() const {
        return emulator->firmwareMode() == sim::FirmwareMode::Normal &&
               emulator->firmwareVersion() == offeredFirmware(model);
    }
    // Frames of one command the printer received.
    std::vector<sim::FrameRecord> framesOf(DeviceCommand command) const {
        std::vector<sim::FrameRecord> out;
        for (const auto& f : emulator->frames())
            if (f.command == command) out.push_back(f);
        return out;
    }
};

struct SlotOptions {
    std::optional<std::string> firmware;
    std::string rawStatus = sim::kIdleStatus;  // "FU00001": found in firmware update mode
    bool iSerial = false;
    uint32_t restartDelayMs = 30;
    uint32_t settleMs = 60;
};

// ---------------------------------------------------------------------------------------------------------
// The rig: bus, registry, presenter, heartbeat

class FaultRig {
public:
    FaultRig() {
        ovn::SystemLog::setUseSyslog(false);
        ovn::SystemLog::setMirrorToStdErr(false);
        ovn::SystemLog::setCapture([](ovn::LogChannel, const std::string& line) { Log::shared().add(line); });
        QELMOR_Log::setShouldLogToStdErr(false);
        Log::shared().clear();
        defaults = std::make_shared<ovn::MemoryUserDefaults>();
        ovn::UserDefaults::setStandard(defaults);
        presenter = std::make_shared<Presenter>();
        ovn::AlertPresenter::setShared(presenter);
        terminationRequests = std::make_shared<std::atomic<int>>(0);
        ovn::setTerminationHandler([t = terminationRequests] { t->fetch_add(1); });

        bus = ovn::usb::VirtualUSBBus::create();
        bus->setTimeoutScale(0.01);
        bus->setHostReEnumerateDelay(20);
        ovn::usb::USBServices::setShared(bus);

        ovn::MainRunLoop::resetLongestBlock();
        heartbeat.start();

        onMain([this] {
            registry = ZVPrinters::create();
            for (PrinterModel m : allModels()) registry->addAcceptedProductID(sim::modelInfo(m).productId);
            // Every printer object that enters the list is remembered, weakly, to show it is freed later.
            listObservation = registry->observe(ZVPrinters::kPrintersKey, [this](const std::string&, const ovn::KeyValueChange&) {
                noteListed();
            });
            registry->getPrintingDevices();
        });
    }

    ~FaultRig() { shutDown(); }

    // Terminates the registry, unplugs everything, and checks that every printer object was freed.
    void shutDown() {
        if (!registry) return;
        if (std::getenv("OVN_FAULTS_VERBOSE") || ::testing::Test::HasFailure()) dumpEvents();
        onMain([this] { registry->prepareForTermination(); });
        for (auto id : bus->devices()) bus->unplug(id);
        pumpFor(20);
        onMain([this] { listObservation.reset(); });
        registry.reset();
        ZVPrinters::destroySharedNotificationPort();
        const bool freed = pumpUntil([this] { return livePrinterObjects() == 0; }, waitLimitMs(10000));
        EXPECT_TRUE(freed) << livePrinterObjects() << " printer objects still alive after the registry was emptied";
        heartbeat.stop();
        pumpFor(10);
        ovn::usb::USBServices::setShared(nullptr);
        ovn::AlertPresenter::setShared(nullptr);
        ovn::setTerminationHandler(nullptr);
    }

    // Plugs a new emulated printer in at a location of its own (saved device information of one test never
    // meets another's).
    Slot& plug(PrinterModel model, const SlotOptions& options = {}) {
        sim::EmulatorConfig config;
        config.model = model;
        config.firmwareVersion = options.firmware;
        config.rawStatus = options.rawStatus;
        config.iSerial = options.iSerial;
        config.locationId = nextLocation();
        config.restartDelayMs = options.restartDelayMs;
        config.settleMs = options.settleMs;
        auto slot = std::make_unique<Slot>();
        slot->emulator = sim::OvnPrinterEmulator::create(config);
        slot->wire = std::make_shared<Wire>(slot->emulator);
        slot->model = model;
        slot->location = config.locationId;
        slot->initialFirmware = slot->emulator->firmwareVersion();
        char key[32];
        std::snprintf(key, sizeof key, "%.4X%.4X%.8X", slot->emulator->vendorId(), slot->emulator->productId(),
                      config.locationId);
        slot->key = key;
        slots.push_back(std::move(slot));
        return *slots.back();
    }
    // Puts the printer on the bus (after plug(), once the test has set its wire up).
    void connect(Slot& slot) { bus->plug(slot.emulator->description(), slot.wire); }

    // Device information saved for the printer's USB location, as a printer that left in the middle of an
    // update leaves it.
    static void saveUpdatePhase(const Slot& slot, int64_t phase, const std::string& previousFirmware) {
        auto saved = ZVUSBPrinter::deviceInfoForKey(slot.key);
        saved->set(QELMOR_ZVPrinterDeviceFirmwareStatus, phase);
        saved->set(QELMOR_ZVPrinterFirmwareVersionPrevious, previousFirmware);
    }

    ZVPrinters::PrinterPtr listed(const Slot& slot) const { return registry->printerWithKeyUSBdevice(slot.key); }

    // Listed, with the information probe's serial number and firmware version in.
    bool waitProbed(const Slot& slot, int ms = 5000) {
        return pumpUntil(
            [&] {
                auto p = listed(slot);
                return p && p->printerSerialNumber() && p->firmwareVersion();
            },
            waitLimitMs(ms));
    }
    bool waitUnlisted(const Slot& slot, int ms = 5000) {
        return pumpUntil([&] { return !listed(slot); }, waitLimitMs(ms));
    }

    // The printer runs the offered firmware, its colour tables were all rewritten, the user was told of the
    // success, and the listed printer object has left its update.
    bool waitUpdated(const Slot& slot, int ms = 10000) {
        return pumpUntil(
            [&] {
                if (!slot.runsOfferedFirmware() || !slot.tablesRewritten()) return false;
                if (presenter->count(kSuccessTitle) == 0) return false;
                auto p = listed(slot);
                return p && !p->inFirmwareUpdate();
            },
            waitLimitMs(ms));
    }

    // Waits until the listed printers' command queues and the main queue have nothing left to do (heartbeats
    // and the 500 ms status polls aside).
    void settle(int ms = 5000) {
        auto idle = [&] {
            for (const auto& p : registry->printers()) {
                auto q = p->printerCommandQueue();
                if (q && q->pendingCount() != 0) return false;
            }
            return true;
        };
        for (int stable = 0; stable < 3;) {
            ASSERT_TRUE(pumpUntil(idle, waitLimitMs(ms))) << "the printers did not settle";
            pumpFor(10);
            stable = idle() ? stable + 1 : 0;
        }
    }

    // The user's update command on the listed printer.
    void startUpdate(const Slot& slot) {
        auto p = listed(slot);
        ASSERT_TRUE(p) << "printer " << slot.key << " is not listed";
        onMain([p] { p->updateFirmware(); });
    }

    // Printer objects that entered the list and are still alive (listed or not).
    size_t livePrinterObjects() {
        std::lock_guard<std::mutex> lock(trackMutex_);
        return static_cast<size_t>(std::count_if(tracked_.begin(), tracked_.end(),
                                                 [](const std::weak_ptr<ZVUSBPrinterOVN>& w) { return !w.expired(); }));
    }
    size_t printerObjectsSeen() {
        std::lock_guard<std::mutex> lock(trackMutex_);
        return tracked_.size();
    }
    // Waits until every printer object that left the list is freed.
    bool waitUnlistedFreed(int ms = 5000) {
        return pumpUntil(
            [&] {
                auto list = registry->printers();
                std::lock_guard<std::mutex> lock(trackMutex_);
                for (const auto& w : tracked_) {
                    auto p = w.lock();
                    if (p && std::find(list.begin(), list.end(), p) == list.end()) return false;
                }
                return true;
            },
            waitLimitMs(ms));
    }

    // What must hold after any fault: the printer was never sent a frame the workflow forbids, the main thread
    // never talked to it, every alert came on the main queue, and the main queue kept turning.
    void expectSound(const Slot& slot, const std::string& where = "") {
        SCOPED_TRACE(where);
        EXPECT_EQ(0u, slot.emulator->forbiddenCount()) << join(slot.emulator->forbiddenReasons());
        for (const auto& f : slot.framesOf(DeviceCommand::TableWriteData))
            EXPECT_GT(f.payloadSize, 0u) << "an empty colour table was sent";
        for (const auto& f : slot.framesOf(DeviceCommand::FlashProgram))
            EXPECT_TRUE(f.inUpdateMode) << "a firmware image was sent to a printer not waiting for one";
        EXPECT_EQ(0, slot.wire->mainQueueTransfers()) << "the main thread talked to the printer";
        expectMainQueueTurned();
        EXPECT_TRUE(presenter->allOnMainQueue());
        EXPECT_EQ(0, terminationRequests->load()) << "the application was asked to quit";
        EXPECT_EQ(0u, presenter->countPrefix(kFileCorruptionPrefix));
    }
    void expectMainQueueTurned() {
        EXPECT_GT(heartbeat.beats(), 0);
        EXPECT_LT(heartbeat.largestGap(), mainStallLimit()) << "the main queue stopped turning";
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(ovn::MainRunLoop::longestBlock()),
                  mainStallLimit())
            << "a main-queue block ran for too long";
    }

    // What each printer went through, for the record of a failed test (OVN_FAULTS_LOG=path: the whole log).
    void dumpEvents() const {
        if (const char* path = std::getenv("OVN_FAULTS_LOG")) {
            if (FILE* f = std::fopen(path, "w")) {
                for (const auto& line : Log::shared().matching("")) std::fprintf(f, "%s\n", line.c_str());
                std::fclose(f);
            }
        }
        for (const auto& s : slots) {
            std::printf("--- printer %s (%s), %zu frames\n", s->key.c_str(), sim::modelInfo(s->model).name,
                        s->emulator->frameCount());
            for (const auto& e : s->emulator->events()) std::printf("    %s\n", e.c_str());
        }
        std::printf("--- alerts: %s\n", presenter->describe().c_str());
        for (const char* what : {"found a device", "Bad Status", "uploading", "Uploading", "colour table", "could not open",
                                 "still waits", "did not reach", "firmware version changed", "unchanged at", "setDeviceInfo", "infoDict here is", "was removed"}) {
            for (const auto& line : Log::shared().matching(what)) std::printf("    log: %s\n", line.c_str());
        }
        std::printf("--- longest main-queue block %lld ms, largest heartbeat gap %lld ms\n",
                    static_cast<long long>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(ovn::MainRunLoop::longestBlock()).count()),
                    static_cast<long long>(heartbeat.largestGap().count()));
    }

    static std::string join(const std::vector<std::string>& lines) {
        std::string out;
        for (const auto& l : lines) out += l + "; ";
        return out;
    }

    std::shared_ptr<ovn::MemoryUserDefaults> defaults;
    std::shared_ptr<Presenter> presenter;
    std::shared_ptr<std::atomic<int>> terminationRequests;
    std::shared_ptr<ovn::usb::VirtualUSBBus> bus;
    std::shared_ptr<ZVPrinters> registry;
    ovn::ObservationToken listObservation;
    Heartbeat heartbeat;
    std::vector<std::unique_ptr<Slot>> slots;

private:
    static uint32_t nextLocation() {
        static std::atomic<uint32_t> next{0};
        return 0x30000000u + (next.fetch_add(1) + 1) * 0x10000u;
    }
    void noteListed() {
        auto list = registry ? registry->printers() : ZVPrinters::PrinterList{};
        std::lock_guard<std::mutex> lock(trackMutex_);
        for (const auto& p : list) {
            if (seen_.insert(p.get()).second) tracked_.push_back(p);
        }
        // Addresses of freed objects may be reused by new ones.
        for (auto it = seen_.begin(); it != seen_.end();) {
            bool live = std::any_of(list.begin(), list.end(), [&](const ZVPrinters::PrinterPtr& p) {
                return p.get() == *it;
            });
            it = live ? std::next(it) : seen_.erase(it);
        }
    }

    std::mutex trackMutex_;
    std::vector<std::weak_ptr<ZVUSBPrinterOVN>> tracked_;
    std::set<const ZVUSBPrinterOVN*> seen_;
};

}  // namespace faulttest
