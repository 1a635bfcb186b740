#include "kit/Kit.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "Classes/OVNFirmwareCatalogue.h"
#include "platform/Bundle.h"
#include "support/QELMOR_Log.h"

namespace kit {

bool pumpUntil(const std::function<bool()>& done, int ms) {
    return ovn::MainRunLoop::runUntil(done, std::chrono::milliseconds(ms));
}
void pumpFor(int ms) { ovn::MainRunLoop::runFor(std::chrono::milliseconds(ms)); }

void onMain(const std::function<void()>& block) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    ovn::DispatchQueue::main()->async([block, done] {
        block();
        done->store(true);
    });
    pumpUntil([done] { return done->load(); }, 60000);
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}
void writeFile(const std::filesystem::path& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "ovn-test-XXXXXX").string();
    if (mkdtemp(pattern.data())) path_ = pattern;
}
TempDir::~TempDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* v = getenv(name_.c_str())) old_ = v;
    value ? setenv(name_.c_str(), value->c_str(), 1) : unsetenv(name_.c_str());
}
ScopedEnv::~ScopedEnv() { old_ ? setenv(name_.c_str(), old_->c_str(), 1) : unsetenv(name_.c_str()); }

bool withoutRoot(const std::function<bool()>& check) {
    if (geteuid() != 0) return check();
    pid_t child = fork();
    if (child < 0) return false;
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        _exit(check() ? 0 : 1);
    }
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Resources::Resources() : previous_(ovn::Bundle::resourceDirectory()) {
    for (const auto& entry : std::filesystem::directory_iterator(previous_))
        if (entry.is_regular_file())
            std::filesystem::create_symlink(std::filesystem::absolute(entry.path()), dir_.path() / entry.path().filename());
    ovn::Bundle::setResourceDirectory(dir_.path().string());
}
Resources::~Resources() { ovn::Bundle::setResourceDirectory(previous_); }
void Resources::remove(const std::string& name) { std::filesystem::remove(path(name)); }
void Resources::write(const std::string& name, const std::string& contents) {
    std::filesystem::remove(path(name));
    writeFile(path(name), contents);
}
void Resources::change(const std::string& name, const std::function<void(std::string&)>& edit) {
    std::string contents = readFile(delivered(name));
    edit(contents);
    write(name, contents);
}

// ---------------------------------------------------------------------------------------------------------
// Log

namespace {
std::mutex logMutex;
std::vector<std::pair<ovn::LogChannel, std::string>>& logLines() {
    static auto* lines = new std::vector<std::pair<ovn::LogChannel, std::string>>();
    return *lines;
}
void addLine(ovn::LogChannel channel, const std::string& line) {
    std::lock_guard<std::mutex> lock(logMutex);
    logLines().emplace_back(channel, line);
}
}  // namespace

Log::Capture::Capture() {
    ovn::SystemLog::setUseSyslog(false);
    ovn::SystemLog::setMirrorToStdErr(false);
    ovn::SystemLog::setCapture(addLine);
    QELMOR_Log::setStdErrSinkForTesting([](const std::string& line) { addLine(ovn::LogChannel::StdErr, line); });
    clear();
}
Log::Capture::~Capture() {
    ovn::SystemLog::setCapture(nullptr);
    QELMOR_Log::setStdErrSinkForTesting(nullptr);
}
void Log::clear() {
    std::lock_guard<std::mutex> lock(logMutex);
    logLines().clear();
}
Texts Log::lines(std::optional<ovn::LogChannel> channel) {
    std::lock_guard<std::mutex> lock(logMutex);
    Texts out;
    for (const auto& [c, l] : logLines())
        if (!channel || *channel == c) out.push_back(l);
    return out;
}
Texts Log::matching(const std::string& text) {
    Texts out;
    for (auto& l : lines())
        if (l.find(text) != std::string::npos) out.push_back(l);
    return out;
}
size_t Log::count(const std::string& text) { return matching(text).size(); }

// ---------------------------------------------------------------------------------------------------------
// Frames

Bytes frame(std::string_view category, std::string_view subcommand, const Bytes& payload) {
    std::string sub(subcommand);
    sub.resize(16, ' ');
    char length[16];
    std::snprintf(length, sizeof length, "%08zu", payload.size());
    Bytes f = bytesOf("\x1bP" + std::string(category) + sub + (payload.empty() ? std::string(8, ' ') : length));
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

Texts commandNames(const std::vector<sim::FrameRecord>& frames) {
    Texts out;
    for (const auto& f : frames) out.push_back(f.malformed ? "<malformed>" : f.commandName);
    return out;
}

std::optional<DeviceCommand> commandOfFrame(const uint8_t* data, size_t length) {
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

// ---------------------------------------------------------------------------------------------------------
// Presenter

long Presenter::defaultAnswer(const ovn::AlertRequest& request) {
    const std::string& t = request.title;
    if (t == kAttentionTitle) return ovn::kAlertSecondButtonReturn;                   // "Continue"
    if (t.rfind(kConfirmTitlePrefix, 0) == 0) return ovn::kAlertSecondButtonReturn;  // "Update Firmware to"
    if (t == kBusyTitle || t == kErrorTitle || t == kNotReadyTitle) return ovn::kAlertSecondButtonReturn;  // Cancel
    return ovn::kAlertFirstButtonReturn;  // "OK", "Finish"
}

void Presenter::present(const ovn::AlertRequest& request, std::function<void(long)> completion) {
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
                          ZVUSBPrinter::isMainQueue(), response, request.style, request.modality,
                          request.checkbox ? request.checkbox->title : "",
                          request.enableSecondButtonObject && !request.enableSecondButtonKeyPath.empty(),
                          request.subject});
    }
    if (completion) completion(response);
}
void Presenter::setPolicy(Policy policy) {
    std::lock_guard<std::mutex> lock(mutex_);
    policy_ = std::move(policy);
}
std::vector<Presenter::Shown> Presenter::shown() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return shown_;
}
Texts Presenter::titles() const {
    Texts out;
    for (const auto& s : shown()) out.push_back(s.title);
    return out;
}
size_t Presenter::count(const std::string& title) const {
    auto all = shown();
    return static_cast<size_t>(std::count_if(all.begin(), all.end(), [&](const Shown& s) { return s.title == title; }));
}
size_t Presenter::countPrefix(const std::string& prefix) const {
    auto all = shown();
    return static_cast<size_t>(
        std::count_if(all.begin(), all.end(), [&](const Shown& s) { return s.title.rfind(prefix, 0) == 0; }));
}
size_t Presenter::updateModeOffers() const {
    auto all = shown();
    return static_cast<size_t>(std::count_if(
        all.begin(), all.end(), [](const Shown& s) { return s.title == kAttentionTitle && !s.hasCheckbox; }));
}
std::optional<Presenter::Shown> Presenter::last(const std::string& title) const {
    auto all = shown();
    for (auto it = all.rbegin(); it != all.rend(); ++it)
        if (it->title == title) return *it;
    return std::nullopt;
}
bool Presenter::allOnMainQueue() const {
    auto all = shown();
    return std::all_of(all.begin(), all.end(), [](const Shown& s) { return s.onMainQueue; });
}
std::string Presenter::describe() const {
    std::string out;
    for (const auto& s : shown()) out += "[" + s.title + " | " + s.message + " -> " + std::to_string(s.response) + "] ";
    return out;
}

// ---------------------------------------------------------------------------------------------------------
// Wire

void Wire::attached(ovn::usb::VirtualUSBBus& bus, uint64_t deviceId) {
    emulator_->attached(bus, deviceId);
    noteArrival();
}

IOReturn Wire::bulkOut(const uint8_t* data, size_t length, uint32_t timeoutMs) {
    noteThread();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sent_.emplace_back(data, data + std::min<size_t>(length, length > 4096 ? 32 : length));
    }
    std::optional<DeviceCommand> command = commandOfFrame(data, length);
    if (command) run(before_, *command);
    IOReturn result = emulator_->bulkOut(data, length, timeoutMs);
    if (command) run(after_, *command);
    return result;
}

IOReturn Wire::bulkIn(std::vector<uint8_t>& out, size_t maxLength, uint32_t timeoutMs) {
    noteThread();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!scripted_.empty()) {
            out = std::move(scripted_.front());
            scripted_.erase(scripted_.begin());
            if (out.size() > maxLength) out.resize(maxLength);
            return kIOReturnSuccess;
        }
    }
    return emulator_->bulkIn(out, maxLength, timeoutMs);
}

IOReturn Wire::controlRequest(const ovn::usb::IOUSBDevRequestTO& setup, std::vector<uint8_t>& in) {
    return emulator_->controlRequest(setup, in);
}

void Wire::beforeNext(DeviceCommand command, Action action) {
    std::lock_guard<std::mutex> lock(mutex_);
    before_.push_back({command, std::move(action)});
}
void Wire::afterNext(DeviceCommand command, Action action) {
    std::lock_guard<std::mutex> lock(mutex_);
    after_.push_back({command, std::move(action)});
}
void Wire::faultAt(DeviceCommand command, Fault fault) {
    beforeNext(command, [this, command, fault] {
        emulator_->injectFault(fault, command, 1);
        fired_.fetch_add(1);
    });
}
void Wire::onNextArrival(Action action) {
    std::lock_guard<std::mutex> lock(mutex_);
    arrivalAction_ = std::move(action);
}
void Wire::scriptReads(std::vector<Bytes> reads) {
    std::lock_guard<std::mutex> lock(mutex_);
    scripted_ = std::move(reads);
}
std::vector<Bytes> Wire::sent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
}
void Wire::clearSent() {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.clear();
}
void Wire::noteArrival() {
    Action action;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++arrivals_;
        action = std::move(arrivalAction_);
        arrivalAction_ = nullptr;
    }
    if (action) action();
}
int Wire::arrivals() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return arrivals_;
}
void Wire::noteThread() {
    if (ZVUSBPrinter::isMainQueue()) mainQueueTransfers_.fetch_add(1);
}
void Wire::run(std::vector<Point>& points, DeviceCommand command) {
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

// ---------------------------------------------------------------------------------------------------------
// FailingUSB

namespace {
using namespace ovn::usb;

#define KIT_CHECK(name, call)                            \
    do {                                                 \
        if (auto failed = owner_->check(name)) return *failed; \
        return call;                                     \
    } while (0)

class FailingInterface : public IOUSBInterfaceInterface {
public:
    FailingInterface(IOUSBInterfaceInterfacePtr inner, FailingUSB* owner) : inner_(std::move(inner)), owner_(owner) {}
    IOReturn USBInterfaceOpenSeize() override { KIT_CHECK("USBInterfaceOpenSeize", inner_->USBInterfaceOpenSeize()); }
    IOReturn USBInterfaceClose() override { KIT_CHECK("USBInterfaceClose", inner_->USBInterfaceClose()); }
    IOReturn GetInterfaceClass(uint8_t* v) override { KIT_CHECK("GetInterfaceClass", inner_->GetInterfaceClass(v)); }
    IOReturn GetInterfaceSubClass(uint8_t* v) override {
        KIT_CHECK("GetInterfaceSubClass", inner_->GetInterfaceSubClass(v));
    }
    IOReturn GetInterfaceProtocol(uint8_t* v) override { return inner_->GetInterfaceProtocol(v); }
    IOReturn GetInterfaceNumber(uint8_t* v) override { return inner_->GetInterfaceNumber(v); }
    IOReturn GetAlternateSetting(uint8_t* v) override { return inner_->GetAlternateSetting(v); }
    IOReturn GetConfigurationValue(uint8_t* v) override { return inner_->GetConfigurationValue(v); }
    IOReturn GetDeviceVendor(uint16_t* v) override { KIT_CHECK("GetDeviceVendor", inner_->GetDeviceVendor(v)); }
    IOReturn GetDeviceProduct(uint16_t* v) override { KIT_CHECK("GetDeviceProduct", inner_->GetDeviceProduct(v)); }
    IOReturn GetDeviceReleaseNumber(uint16_t* v) override { return inner_->GetDeviceReleaseNumber(v); }
    IOReturn GetLocationID(uint32_t* v) override { KIT_CHECK("GetLocationID", inner_->GetLocationID(v)); }
    IOReturn GetNumEndpoints(uint8_t* v) override { KIT_CHECK("GetNumEndpoints", inner_->GetNumEndpoints(v)); }
    IOReturn GetPipeProperties(uint8_t p, uint8_t* d, uint8_t* n, uint8_t* t, uint16_t* m, uint8_t* i) override {
        KIT_CHECK("GetPipeProperties", inner_->GetPipeProperties(p, d, n, t, m, i));
    }
    IOReturn WritePipeTO(uint8_t p, const void* b, uint32_t s, uint32_t n, uint32_t c) override {
        KIT_CHECK("WritePipeTO", inner_->WritePipeTO(p, b, s, n, c));
    }
    IOReturn ReadPipeTO(uint8_t p, void* b, uint32_t* s, uint32_t n, uint32_t c) override {
        if (auto failed = owner_->check("ReadPipeTO")) {
            *s = 0;
            return *failed;
        }
        return inner_->ReadPipeTO(p, b, s, n, c);
    }
    IOReturn ControlRequestTO(uint8_t p, IOUSBDevRequestTO* r) override {
        KIT_CHECK("ControlRequestTO", inner_->ControlRequestTO(p, r));
    }
    IOServicePtr GetDevice() override { return inner_->GetDevice(); }

private:
    IOUSBInterfaceInterfacePtr inner_;
    FailingUSB* owner_;
};

class FailingDevice : public IOUSBDeviceInterface {
public:
    FailingDevice(IOUSBDeviceInterfacePtr inner, FailingUSB* owner) : inner_(std::move(inner)), owner_(owner) {}
    IOReturn USBDeviceOpen() override { KIT_CHECK("USBDeviceOpen", inner_->USBDeviceOpen()); }
    IOReturn USBDeviceClose() override { KIT_CHECK("USBDeviceClose", inner_->USBDeviceClose()); }
    IOReturn USBGetManufacturerStringIndex(uint8_t* i) override {
        KIT_CHECK("USBGetManufacturerStringIndex", inner_->USBGetManufacturerStringIndex(i));
    }
    IOReturn USBGetProductStringIndex(uint8_t* i) override {
        KIT_CHECK("USBGetProductStringIndex", inner_->USBGetProductStringIndex(i));
    }
    IOReturn USBGetSerialNumberStringIndex(uint8_t* i) override {
        KIT_CHECK("USBGetSerialNumberStringIndex", inner_->USBGetSerialNumberStringIndex(i));
    }
    IOReturn ResetDevice() override { KIT_CHECK("ResetDevice", inner_->ResetDevice()); }
    IOReturn USBDeviceReEnumerate(uint32_t o) override {
        KIT_CHECK("USBDeviceReEnumerate", inner_->USBDeviceReEnumerate(o));
    }

private:
    IOUSBDeviceInterfacePtr inner_;
    FailingUSB* owner_;
};
#undef KIT_CHECK
}  // namespace

void FailingUSB::fail(const std::string& call, IOReturn result, int skip, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.push_back({call, result, skip, count});
}
void FailingUSB::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    rules_.clear();
}
int FailingUSB::calls(const std::string& call) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = calls_.find(call);
    return it == calls_.end() ? 0 : it->second;
}
void FailingUSB::onCall(const std::string& call, std::function<void()> action) {
    std::lock_guard<std::mutex> lock(mutex_);
    hooks_[call] = std::move(action);
}
std::optional<IOReturn> FailingUSB::check(const std::string& call) {
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = hooks_.find(call);
        if (it != hooks_.end()) {
            hook = std::move(it->second);
            hooks_.erase(it);
        }
    }
    if (hook) hook();
    std::lock_guard<std::mutex> lock(mutex_);
    ++calls_[call];
    for (auto& r : rules_) {
        if (r.call != call || r.count == 0) continue;
        if (r.skip > 0) {
            --r.skip;
            continue;
        }
        --r.count;
        return r.result;
    }
    return std::nullopt;
}
IOReturn FailingUSB::IOServiceAddMatchingNotification(const IONotificationPortPtr& port, const std::string& type,
                                                      const MatchingDict& matching, IOServiceMatchingCallback callback,
                                                      IOIteratorPtr* iterator, IONotificationPtr* notification) {
    if (auto failed = check("IOServiceAddMatchingNotification")) return *failed;
    return bus_->IOServiceAddMatchingNotification(port, type, matching, std::move(callback), iterator, notification);
}
IOReturn FailingUSB::IOServiceAddInterestNotification(const IONotificationPortPtr& port, const IOServicePtr& service,
                                                      const std::string& type, IOServiceInterestCallback callback,
                                                      IONotificationPtr* notification) {
    if (auto failed = check("IOServiceAddInterestNotification")) return *failed;
    return bus_->IOServiceAddInterestNotification(port, service, type, std::move(callback), notification);
}
IOReturn FailingUSB::CreateInterfaceInterface(const IOServicePtr& service, IOUSBInterfaceInterfacePtr* out,
                                              bool* pluginFailed) {
    if (auto failed = check("CreateInterfaceInterface.plugin")) {
        if (pluginFailed) *pluginFailed = true;
        return *failed;
    }
    if (auto failed = check("CreateInterfaceInterface")) {
        if (pluginFailed) *pluginFailed = false;
        return *failed;
    }
    IOUSBInterfaceInterfacePtr inner;
    IOReturn r = bus_->CreateInterfaceInterface(service, &inner, pluginFailed);
    if (r == kIOReturnSuccess && inner && out) *out = std::make_shared<FailingInterface>(inner, this);
    return r;
}
IOReturn FailingUSB::CreateDeviceInterface(const IOServicePtr& service, IOUSBDeviceInterfacePtr* out,
                                           bool* pluginFailed) {
    if (auto failed = check("CreateDeviceInterface.plugin")) {
        if (pluginFailed) *pluginFailed = true;
        return *failed;
    }
    if (auto failed = check("CreateDeviceInterface")) {
        if (pluginFailed) *pluginFailed = false;
        return *failed;
    }
    IOUSBDeviceInterfacePtr inner;
    IOReturn r = bus_->CreateDeviceInterface(service, &inner, pluginFailed);
    if (r == kIOReturnSuccess && inner && out) *out = std::make_shared<FailingDevice>(inner, this);
    return r;
}

// ---------------------------------------------------------------------------------------------------------
// Heartbeat

struct Heartbeat::State {
    std::atomic<bool> running{false};
    std::atomic<long> beats{0};
    std::atomic<long> largestGapMs{0};
    std::chrono::steady_clock::time_point last{};
};

namespace {
void scheduleBeat(const std::shared_ptr<Heartbeat::State>& state);
}

void Heartbeat::start() {
    state_ = std::make_shared<State>();
    state_->running.store(true);
    scheduleBeat(state_);
}
void Heartbeat::stop() {
    if (state_) state_->running.store(false);
}
std::chrono::milliseconds Heartbeat::largestGap() const {
    return state_ ? std::chrono::milliseconds(state_->largestGapMs.load()) : std::chrono::milliseconds(0);
}
long Heartbeat::beats() const { return state_ ? state_->beats.load() : 0; }

namespace {
void scheduleBeat(const std::shared_ptr<Heartbeat::State>& state) {
    ovn::DispatchQueue::main()->asyncAfter(std::chrono::milliseconds(4), [state] {
        if (!state->running.load()) return;
        auto now = std::chrono::steady_clock::now();
        if (state->beats.load() > 0) {
            long gap =
                static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(now - state->last).count());
            if (gap > state->largestGapMs.load()) state->largestGapMs.store(gap);
        }
        state->last = now;
        state->beats.fetch_add(1);
        scheduleBeat(state);
    });
}
}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Models

const std::vector<PrinterModel>& allModels() {
    static const std::vector<PrinterModel> models = {PrinterModel::PL15,  PrinterModel::PL25, PrinterModel::PLMV1,
                                                     PrinterModel::PL25D, PrinterModel::PL35, PrinterModel::PL45};
    return models;
}
std::string modelName(PrinterModel model) {
    std::string name = sim::modelInfo(model).name;
    name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
    return name;
}
std::string offeredFirmware(PrinterModel model) {
    const auto* row = ovn::OVNFirmwareCatalogue::rowForProductID(sim::modelInfo(model).productId);
    if (!row) return "";
    return ovn::OVNFirmwareCatalogue::nameWithoutExtension(row->firmwareFile());
}

bool Slot::tablesRewritten() const {
    auto tables = emulator->colourTables();
    if (tables.empty()) return false;
    for (const auto& [id, t] : tables)
        if (t.versionName.empty() || t.dataSize == 0) return false;
    return true;
}
bool Slot::runsOfferedFirmware() const {
    return emulator->firmwareMode() == sim::FirmwareMode::Normal &&
           emulator->firmwareVersion() == offeredFirmware(model);
}
std::vector<sim::FrameRecord> Slot::framesOf(DeviceCommand command) const {
    std::vector<sim::FrameRecord> out;
    for (const auto& f : emulator->frames())
        if (f.command == command) out.push_back(f);
    return out;
}

// ---------------------------------------------------------------------------------------------------------
// Rig

namespace {
std::chrono::milliseconds mainStallLimit() { return std::chrono::milliseconds(kSanitized ? 8000 : 1500); }
uint32_t nextLocation() {
    static std::atomic<uint32_t> next{0};
    return 0x30000000u + (next.fetch_add(1) + 1) * 0x10000u;
}
}  // namespace

Rig::Rig(const RigOptions& options) : options_(options) {
    QELMOR_Log::setShouldLogToStdErr(false);
    defaults = std::make_shared<ovn::MemoryUserDefaults>();
    ovn::UserDefaults::setStandard(defaults);
    presenter = std::make_shared<Presenter>();
    ovn::AlertPresenter::setShared(presenter);
    terminationRequests = std::make_shared<std::atomic<int>>(0);
    ovn::setTerminationHandler([t = terminationRequests] { t->fetch_add(1); });

    if (options_.otherBus) {
        other = options_.otherBus();
        ovn::usb::USBServices::setShared(other->services());
    } else {
        bus = ovn::usb::VirtualUSBBus::create();
        bus->setTimeoutScale(0.01);
        bus->setHostReEnumerateDelay(20);
        usb = std::make_shared<FailingUSB>(bus);
        ovn::usb::USBServices::setShared(usb);
    }

    ovn::MainRunLoop::resetLongestBlock();
    heartbeat.start();
    if (options_.start) start();
}

void Rig::start() {
    onMain([this] {
        registry = ZVPrinters::create();
        if (options_.acceptedProducts.empty()) {
            for (PrinterModel m : allModels()) registry->addAcceptedProductID(sim::modelInfo(m).productId);
        } else {
            for (uint16_t p : options_.acceptedProducts) registry->addAcceptedProductID(p);
        }
        listObservation = registry->observe(ZVPrinters::kPrintersKey,
                                            [this](const std::string&, const ovn::KeyValueChange&) { noteListed(); });
        registry->getPrintingDevices();
    });
}

Rig::~Rig() { shutDown(); }

void Rig::shutDown() {
    if (!bus && !other) return;
    if (std::getenv("OVN_TEST_VERBOSE") || ::testing::Test::HasFailure()) dumpEvents();
    if (registry) onMain([this] { registry->prepareForTermination(); });
    onMain([this] {
        for (auto& p : made_) p->prepareForRelease();
        matching_.reset();
    });
    made_.clear();
    if (bus)
        for (auto id : bus->devices()) bus->unplug(id);
    if (other) other->unplugAll();
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
    usb.reset();
    bus.reset();
    other.reset();
}

Slot& Rig::plug(PrinterModel model, const SlotOptions& options) {
    sim::EmulatorConfig config;
    config.model = model;
    config.firmwareVersion = options.firmware;
    config.rawStatus = options.rawStatus;
    config.iSerial = options.iSerial;
    config.serial = options.serial;
    config.locationId = other ? other->nextLocation() : nextLocation();
    config.restartDelayMs = options.restartDelayMs;
    config.settleMs = options.settleMs;
    config.faults = options.faults;
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

void Rig::connect(Slot& slot) {
    if (other) return other->connect(slot);
    bus->plug(slot.emulator->description(), slot.wire);
}

bool Rig::isOpenByHost(const Slot& slot) {
    if (other) return other->isOpenByHost(slot);
    auto id = slot.emulator->deviceId();
    return id && bus->isOpenByHost(*id);
}

void Rig::saveUpdatePhase(const Slot& slot, int64_t phase, const std::string& previousFirmware) {
    auto saved = ZVUSBPrinter::deviceInfoForKey(slot.key);
    saved->set(QELMOR_ZVPrinterDeviceFirmwareStatus, phase);
    saved->set(QELMOR_ZVPrinterFirmwareVersionPrevious, previousFirmware);
}

std::shared_ptr<ZVUSBPrinter> Rig::makePrinter(const Slot& slot, bool vendor,
                                               const std::function<void(ZVUSBPrinter&)>& atCreation) {
    auto drain = [this](const ovn::usb::IOIteratorPtr& it) {
        while (auto service = it ? it->IOIteratorNext() : nullptr) arrived_.push_back(service);
    };
    if (!matching_) {
        onMain([&] {
            ovn::usb::MatchingDict match;
            match.bInterfaceClass = 7;
            match.bInterfaceSubClass = 1;
            bus->IOServiceAddMatchingNotification(ZVPrinters::sharedNotificationPort(), ovn::usb::kIOMatchedNotification,
                                                  match, drain, &iterator_, &matching_);
            drain(iterator_);
        });
    }
    ovn::usb::IOServicePtr service;
    ovn::usb::IOUSBInterfaceInterfacePtr interface;
    pumpUntil([&] {
        for (const auto& s : arrived_) {
            ovn::usb::IOUSBInterfaceInterfacePtr candidate;
            bool pluginFailed = false;
            uint32_t location = 0;
            if (usb->CreateInterfaceInterface(s, &candidate, &pluginFailed) == kIOReturnSuccess && candidate &&
                candidate->GetLocationID(&location) == kIOReturnSuccess && location == slot.location) {
                service = s;
                interface = candidate;
                return true;
            }
        }
        return false;
    });
    std::shared_ptr<ZVUSBPrinter> printer;
    if (!interface) return printer;
    onMain([&] {
        if (vendor) {
            printer = ZVUSBPrinter::create<ZVUSBPrinterOVN>(interface, service);
        } else {
            printer = ZVUSBPrinter::create<ZVUSBPrinter>(interface, service);
        }
        if (printer && atCreation) atCreation(*printer);
    });
    if (printer) made_.push_back(printer);
    return printer;
}

ZVPrinters::PrinterPtr Rig::listed(const Slot& slot) const {
    return registry ? registry->printerWithKeyUSBdevice(slot.key) : nullptr;
}

bool Rig::waitProbed(const Slot& slot, int ms) {
    return pumpUntil(
        [&] {
            auto p = listed(slot);
            return p && p->printerSerialNumber() && p->firmwareVersion();
        },
        waitLimitMs(ms));
}
bool Rig::waitUnlisted(const Slot& slot, int ms) {
    return pumpUntil([&] { return !listed(slot); }, waitLimitMs(ms));
}
bool Rig::waitUpdated(const Slot& slot, int ms) {
    return pumpUntil(
        [&] {
            if (!slot.runsOfferedFirmware() || !slot.tablesRewritten()) return false;
            if (presenter->count(kSuccessTitle) == 0) return false;
            auto p = listed(slot);
            return p && !p->inFirmwareUpdate();
        },
        waitLimitMs(ms));
}

void Rig::settle(int ms) {
    auto idle = [&] {
        if (!registry) return true;
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

void Rig::startUpdate(const Slot& slot) {
    auto p = listed(slot);
    ASSERT_TRUE(p) << "printer " << slot.key << " is not listed";
    onMain([p] { p->updateFirmware(); });
}

size_t Rig::livePrinterObjects() {
    std::lock_guard<std::mutex> lock(trackMutex_);
    return static_cast<size_t>(std::count_if(tracked_.begin(), tracked_.end(),
                                             [](const std::weak_ptr<ZVUSBPrinterOVN>& w) { return !w.expired(); }));
}
size_t Rig::printerObjectsSeen() {
    std::lock_guard<std::mutex> lock(trackMutex_);
    return tracked_.size();
}
bool Rig::waitUnlistedFreed(int ms) {
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

void Rig::expectSound(const Slot& slot, const std::string& where) {
    SCOPED_TRACE(where);
    std::string reasons;
    for (const auto& r : slot.emulator->forbiddenReasons()) reasons += r + "; ";
    EXPECT_EQ(0u, slot.emulator->forbiddenCount()) << reasons;
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

void Rig::expectMainQueueTurned() {
    pumpUntil([&] { return heartbeat.beats() > 1; }, waitLimitMs(2000));
    EXPECT_GT(heartbeat.beats(), 0);
    EXPECT_LT(heartbeat.largestGap(), mainStallLimit()) << "the main queue stopped turning";
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(ovn::MainRunLoop::longestBlock()), mainStallLimit())
        << "a main-queue block ran for too long";
}

void Rig::dumpEvents() const {
    for (const auto& s : slots) {
        std::printf("--- printer %s (%s), %zu frames\n", s->key.c_str(), sim::modelInfo(s->model).name,
                    s->emulator->frameCount());
        for (const auto& e : s->emulator->events()) std::printf("    %s\n", e.c_str());
    }
    std::printf("--- alerts: %s\n", presenter ? presenter->describe().c_str() : "");
    if (std::getenv("OVN_TEST_VERBOSE"))
        for (const auto& line : Log::lines()) std::printf("    log: %s\n", line.c_str());
}

void Rig::noteListed() {
    auto list = registry ? registry->printers() : ZVPrinters::PrinterList{};
    std::lock_guard<std::mutex> lock(trackMutex_);
    for (const auto& p : list)
        if (seen_.insert(p.get()).second) tracked_.push_back(p);
    // Addresses of freed objects may be reused by new ones.
    for (auto it = seen_.begin(); it != seen_.end();) {
        bool live = std::any_of(list.begin(), list.end(), [&](const ZVPrinters::PrinterPtr& p) { return p.get() == *it; });
        it = live ? std::next(it) : seen_.erase(it);
    }
}

// ---------------------------------------------------------------------------------------------------------
// Announcements

Announcements::Announcements(ZVUSBPrinter& printer, const Texts& keys) {
    for (const auto& key : keys)
        tokens_.push_back(printer.observe(key, [this](const std::string& k, const ovn::KeyValueChange& change) {
            auto value = ovn::describeValue(change.newValue);
            std::lock_guard<std::mutex> lock(mutex_);
            values_.emplace_back(k, value);
        }));
}
Texts Announcements::valuesOf(const std::string& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    Texts out;
    for (const auto& [k, v] : values_)
        if (k == key) out.push_back(v);
    return out;
}

// ---------------------------------------------------------------------------------------------------------
// Program

Program::Program(const std::string& path, const Texts& args, const std::string& input, const Texts& env,
                 bool keepInputOpen) {
    int in[2], out[2], err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
        for (const auto& e : env) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> argv;
        std::string program = path;
        argv.push_back(program.data());
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (!input.empty()) (void)!write(in[1], input.data(), input.size());
    if (keepInputOpen)
        inFd_ = in[1];
    else
        close(in[1]);
    outFd_ = out[0];
    errFd_ = err[0];
}

Program::~Program() {
    if (pid_ > 0 && !reaped_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    if (outFd_ >= 0) close(outFd_);
    if (errFd_ >= 0) close(errFd_);
    if (inFd_ >= 0) close(inFd_);
}

bool Program::pump(int ms) {
    if (outFd_ < 0 && errFd_ < 0) return false;
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (poll(fds, 2, ms) <= 0) return true;
    for (int i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
        char buf[65536];
        ssize_t n = read(fds[i].fd, buf, sizeof buf);
        if (n <= 0) {
            close(fds[i].fd);
            (i == 0 ? outFd_ : errFd_) = -1;
        } else {
            (i == 0 ? outcome_.out : outcome_.err).append(buf, static_cast<size_t>(n));
        }
    }
    return true;
}

bool Program::waitForOutput(const std::string& text, int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (outcome_.out.find(text) == std::string::npos && outcome_.err.find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= deadline || !pump(50)) return false;
    }
    return true;
}

void Program::signal(int sig) { kill(pid_, sig); }

Program::Outcome Program::finish(int ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (pump(50)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid_, SIGKILL);
            ADD_FAILURE() << "the program did not end in time; stderr so far:\n" << outcome_.err;
            break;
        }
    }
    int raw = 0;
    waitpid(pid_, &raw, 0);
    reaped_ = true;
    outcome_.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return outcome_;
}

}  // namespace kit
