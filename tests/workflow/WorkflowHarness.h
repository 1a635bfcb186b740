// Harness of the firmware-workflow tests: one virtual bus with short time-outs; a registry that makes a new
// printer object at every arrival and releases it at every removal, as the program does; scripted alert answers;
// a wire log in front of each emulated printer; a private copy of the delivered data. The main queue is drained on
// the test thread.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Classes/ZVUSBPrinterOVN.h"
#include "platform/Alerts.h"
#include "platform/DispatchQueue.h"
#include "sim/OvnPrinterEmulator.h"
#include "usb/VirtualUSBBus.h"

namespace wf {

using Bytes = std::vector<uint8_t>;

// ---------------------------------------------------------------------------------------------------------
// Main queue

bool pumpUntil(const std::function<bool()>& done, int ms = 15000);
void pumpFor(int ms);
// Runs the block as a main-queue block and waits for it.
void onMain(const std::function<void()>& block);

// ---------------------------------------------------------------------------------------------------------
// Diagnostics

class LogCapture {
public:
    static LogCapture& shared();
    void clear();
    std::vector<std::string> lines() const;
    size_t count(const std::string& text) const;
    bool contains(const std::string& text) const { return count(text) > 0; }
    void add(const std::string& line);

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// ---------------------------------------------------------------------------------------------------------
// Alerts

struct ShownAlert {
    std::string title;
    std::string message;
    std::vector<std::string> buttons;
    ovn::AlertStyle style = ovn::AlertStyle::Warning;
    ovn::AlertModality modality = ovn::AlertModality::Sheet;
    std::string iconPath;
    bool hasCheckbox = false;
    std::string checkboxTitle;
    bool checkboxInitiallyChecked = false;
    bool secondButtonBound = false;         // its enabled state follows an object's key
    bool secondButtonEnabledAtFirst = true;
    std::optional<long> response;           // nothing: never answered
    bool onMainQueue = false;
};

// What the user does with one alert.
struct Answer {
    long response = ovn::kAlertFirstButtonReturn;
    bool tickAgree = false;                       // check "I Agree" first
    std::function<void()> before;                 // runs (main queue) before the answer is given
    static Answer first() { return {}; }
    static Answer second() { return {ovn::kAlertSecondButtonReturn, false, nullptr}; }
    static Answer agreeAndContinue() { return {ovn::kAlertSecondButtonReturn, true, nullptr}; }
    Answer& then(std::function<void()> action) {
        before = std::move(action);
        return *this;
    }
};

class ScriptedPresenter : public ovn::AlertPresenter, public std::enable_shared_from_this<ScriptedPresenter> {
public:
    void present(const ovn::AlertRequest& request, std::function<void(long)> completion) override;

    // Answers for the alerts with this title, in order; an alert without a scripted answer gets the default
    // button (the first), as Return would.
    void script(const std::string& title, std::vector<Answer> answers);
    std::vector<ShownAlert> shown() const;
    std::vector<std::string> titles() const;
    size_t countTitled(const std::string& title) const;
    std::optional<ShownAlert> lastTitled(const std::string& title) const;
    // Buttons pressed while disabled (a test error: no user can do that).
    std::vector<std::string> refusedPresses() const;
    // Runs on the main queue while an alert is up; a test can look at the live request.
    std::function<void(ovn::AlertRequest& request)> inspect;

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::deque<Answer>> script_;
    std::vector<ShownAlert> shown_;
    std::vector<std::string> refused_;
};

// ---------------------------------------------------------------------------------------------------------
// The bus and the printers on it

// Records the header of every bulk OUT transfer before the emulated printer gets it.
class Wire : public ovn::usb::VirtualDeviceHandler {
public:
    struct Transfer {
        Bytes header;  // the first 32 bytes (fewer for a shorter transfer)
        size_t length = 0;
        IOReturn result = kIOReturnSuccess;
    };
    explicit Wire(std::shared_ptr<ovn::sim::OvnPrinterEmulator> emulator) : emulator_(std::move(emulator)) {}
    void attached(ovn::usb::VirtualUSBBus& bus, uint64_t deviceId) override { emulator_->attached(bus, deviceId); }
    IOReturn bulkOut(const uint8_t* data, size_t length, uint32_t timeoutMs) override;
    IOReturn bulkIn(Bytes& out, size_t maxLength, uint32_t timeoutMs) override {
        return emulator_->bulkIn(out, maxLength, timeoutMs);
    }
    IOReturn controlRequest(const ovn::usb::IOUSBDevRequestTO& setup, Bytes& in) override {
        return emulator_->controlRequest(setup, in);
    }
    std::vector<Transfer> transfers() const;
    // The next transfer whose command field (category and subcommand as on the wire, from offset 2) begins
    // with this text is lost on the way: the host sees success, the printer never gets it.
    void loseNext(const std::string& commandField);
    size_t lostCount() const;

private:
    std::shared_ptr<ovn::sim::OvnPrinterEmulator> emulator_;
    mutable std::mutex mutex_;
    std::vector<Transfer> transfers_;
    std::string lose_;
    size_t lost_ = 0;
};

class TestBus {
public:
    static TestBus& shared();
    std::shared_ptr<ovn::usb::VirtualUSBBus> bus;
    uint32_t nextLocation();

private:
    TestBus();
    std::atomic<uint32_t> locations_{0};
};

class TestRegistry {
public:
    using Factory = std::function<std::shared_ptr<ZVUSBPrinterOVN>(const ovn::usb::IOUSBInterfaceInterfacePtr&,
                                                                   const ovn::usb::IOServicePtr&)>;
    // Registers for arrival and removal on the shared notification port and takes the printers present now.
    explicit TestRegistry(Factory factory = nullptr);
    ~TestRegistry();
    TestRegistry(const TestRegistry&) = delete;
    TestRegistry& operator=(const TestRegistry&) = delete;

    struct Arrival {
        uint32_t location = 0;
        std::weak_ptr<ZVUSBPrinterOVN> printer;
        std::optional<int64_t> phase;     // "deviceFirmwareStatus" the new object found in the saved information
        std::optional<std::string> previous;  // "firmwareVersionPrevious" likewise
    };

    // The listed printer at a USB location (nothing while it is away).
    std::shared_ptr<ZVUSBPrinterOVN> printerAt(uint32_t location) const;
    std::vector<Arrival> arrivals(uint32_t location) const;
    size_t removals(uint32_t location) const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

struct PrinterSetup {
    ovn::sim::PrinterModel model = ovn::sim::PrinterModel::PL35;
    std::optional<std::string> firmware{};
    std::string rawStatus = "00000";
    bool iSerial = false;
    uint32_t restartDelayMs = 20;
    uint32_t settleMs = 150;
    std::vector<ovn::sim::FaultRule> faults{};
};

// One emulated printer plugged into the bus, behind a Wire.
class TestPrinter {
public:
    explicit TestPrinter(const PrinterSetup& setup);
    ~TestPrinter();
    std::shared_ptr<ovn::sim::OvnPrinterEmulator> emulator;
    std::shared_ptr<Wire> wire;
    uint32_t location = 0;
    std::string usbKey;  // the device-info registry key
};

// Waits until the command queue of the printer and the main queue stay empty.
void settle(const std::shared_ptr<ZVUSBPrinterOVN>& printer, int ms = 15000);
// Waits until the object made at the printer's latest arrival is listed, its probe has read the firmware
// version and status, and its work has settled.
std::shared_ptr<ZVUSBPrinterOVN> waitForPrinter(const TestRegistry& registry, const TestPrinter& printer,
                                                int ms = 15000);

// Waits until the printer has arrived n times and the object of the n-th arrival is listed; lets it settle.
std::shared_ptr<ZVUSBPrinterOVN> waitForArrival(const TestRegistry& registry, const TestPrinter& printer, size_t n,
                                                int ms = 15000);

// The frames the printer received, by the emulator's names ("FW_UPD FLASH_REWRITE"), and how many of one command.
std::vector<std::string> commandNames(const ovn::sim::OvnPrinterEmulator& emulator);
size_t countFrames(const ovn::sim::OvnPrinterEmulator& emulator, ovn::sim::DeviceCommand command);
bool isWrite(const ovn::sim::FrameRecord& frame);
bool isTableVersionQuery(const ovn::sim::FrameRecord& frame);
bool isTableChecksumQuery(const ovn::sim::FrameRecord& frame);

// ---------------------------------------------------------------------------------------------------------
// Delivered data

// The delivered files, as the program finds them.
std::filesystem::path deliveredDirectory();
Bytes readFile(const std::filesystem::path& path);
std::string upper(std::string text);

// A private copy of the delivered data (links to the originals until a file is changed), in force while the
// object lives.
class ResourceSandbox {
public:
    ResourceSandbox();
    ~ResourceSandbox();
    std::filesystem::path path(const std::string& name) const { return dir_ / name; }
    void remove(const std::string& name);
    void write(const std::string& name, const Bytes& contents);
    // Applies a change to the file's contents.
    void change(const std::string& name, const std::function<void(Bytes&)>& edit);
    void restore(const std::string& name);

private:
    std::filesystem::path dir_;
    std::string previous_;
};

// ---------------------------------------------------------------------------------------------------------
// Test fixture: presenter, log capture, in-memory user defaults, termination counter.

class WorkflowTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Waits until an alert with this title has been shown n times.
    bool waitForAlert(const std::string& title, size_t n = 1, int ms = 15000);
    // The same as an assertion that names the alerts shown when it fails.
    ::testing::AssertionResult alertShown(const std::string& title, size_t n = 1, int ms = 30000);
    // Expects the last alert with this title to carry this message and these buttons.
    void expectAlert(const std::string& title, const std::string& message, const std::vector<std::string>& buttons);

    // Plugs a printer (replacing the one plugged before) under this test's registry, made at the first call,
    // and answers its probed object.
    std::shared_ptr<ZVUSBPrinterOVN> start(const PrinterSetup& setup, TestRegistry::Factory factory = nullptr);
    // Scripts the answers that accept an update ("I Agree", "Continue", "Update Firmware").
    void acceptUpdate();
    // Accepts (when asked) and runs the update command, and lets go of the object: it goes at the first restart.
    void runUpdate(std::shared_ptr<ZVUSBPrinterOVN>& printer, bool accept = true);
    // The update phase every arrival of the printer found saved.
    std::vector<std::optional<int64_t>> phases() const;

    std::shared_ptr<ScriptedPresenter> presenter;
    std::atomic<int> terminations{0};
    // Released in TearDown in this order: printer, registry, sandbox.
    std::unique_ptr<ResourceSandbox> sandbox;
    std::unique_ptr<TestRegistry> registry;
    std::unique_ptr<TestPrinter> tp;
};

// Titles of the workflow alerts.
inline constexpr const char* kWarningTitle = "Attention:";
inline constexpr const char* kConfirmTitle = "-- Warning --\n\nAre you certain you want to update the firmware?";
inline constexpr const char* kConfirmMessage =
    "The printer may be permanently damaged if it is unplugged or loses power during the update process.";
inline constexpr const char* kCorruptionTitle = "-- File corruption --\n\nThere is a problem with the firmware files.";
inline constexpr const char* kBadFileTitle = "There was a problem with the firmware file!";
inline constexpr const char* kBadFileMessage = "This application may be damaged. Please download a new copy.";
inline constexpr const char* kSuccessTitle = "Firmware update was successful!";
inline constexpr const char* kProblemTitle = "There was a problem with the firmware update!";

}  // namespace wf
