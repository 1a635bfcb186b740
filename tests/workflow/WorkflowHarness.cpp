#include "WorkflowHarness.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <set>

#include "Classes/OVNFirmwareCatalogue.h"
#include "Classes/ZVPrinters.h"
#include "platform/Bundle.h"
#include "platform/SystemLog.h"
#include "platform/UserDefaults.h"
#include "support/QELMOR_Log.h"

namespace fs = std::filesystem;
using ovn::sim::DeviceCommand;

namespace wf {

// ---------------------------------------------------------------------------------------------------------
// Main queue

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
    pumpUntil([done] { return done->load(); });
}

// ---------------------------------------------------------------------------------------------------------
// Diagnostics

LogCapture& LogCapture::shared() {
    static LogCapture* capture = new LogCapture();
    return *capture;
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

size_t LogCapture::count(const std::string& text) const {
    auto all = lines();
    return size_t(std::count_if(all.begin(), all.end(), [&](auto& l) { return l.find(text) != std::string::npos; }));
}

void LogCapture::add(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(line);
}

// ---------------------------------------------------------------------------------------------------------
// Alerts

void ScriptedPresenter::present(const ovn::AlertRequest& request, std::function<void(long)> completion) {
    auto req = std::make_shared<ovn::AlertRequest>(request);
    auto enabled = [req] {
        auto& object = req->enableSecondButtonObject;
        return !object || ovn::valueAsBool(object->valueForKey(req->enableSecondButtonKeyPath)).value_or(false);
    };
    const auto& box = request.checkbox;
    ShownAlert record{request.title, request.message, request.buttons, request.style, request.modality,
                      request.iconPath, box.has_value(), box ? box->title : "", box && box->initiallyChecked,
                      request.enableSecondButtonObject != nullptr, enabled(), std::nullopt,
                      ZVUSBPrinter::isMainQueue()};
    Answer answer;
    size_t index = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = script_.find(request.title);
        if (it != script_.end() && !it->second.empty()) {
            answer = it->second.front();
            it->second.pop_front();
        }
        shown_.push_back(record);
        index = shown_.size() - 1;
    }
    // The user answers later, on the main queue. The block keeps the presenter alive, so a late answer never
    // reaches a freed one.
    ovn::DispatchQueue::main()->async([this, keep = shared_from_this(), req, answer, completion, index, enabled,
                                       inspectHook = inspect] {
        if (inspectHook) inspectHook(*req);
        if (answer.before) answer.before();
        if (answer.tickAgree && req->checkbox && req->checkbox->toggled) req->checkbox->toggled(true);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (answer.response == ovn::kAlertSecondButtonReturn && req->buttons.size() > 1 && !enabled()) {
                refused_.push_back(req->title);
                return;  // a disabled button cannot be pressed: the alert stays up
            }
            shown_[index].response = answer.response;
        }
        if (completion) completion(answer.response);
    });
}

void ScriptedPresenter::script(const std::string& title, std::vector<Answer> answers) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_[title].insert(script_[title].end(), answers.begin(), answers.end());
}

std::vector<ShownAlert> ScriptedPresenter::shown() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return shown_;
}

std::vector<std::string> ScriptedPresenter::titles() const {
    std::vector<std::string> t;
    for (const auto& a : shown()) t.push_back(a.title);
    return t;
}

size_t ScriptedPresenter::countTitled(const std::string& title) const {
    auto t = titles();
    return size_t(std::count(t.begin(), t.end(), title));
}

std::optional<ShownAlert> ScriptedPresenter::lastTitled(const std::string& title) const {
    std::optional<ShownAlert> found;
    for (const auto& a : shown())
        if (a.title == title) found = a;
    return found;
}

std::vector<std::string> ScriptedPresenter::refusedPresses() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return refused_;
}

// ---------------------------------------------------------------------------------------------------------
// Wire

IOReturn Wire::bulkOut(const uint8_t* data, size_t length, uint32_t timeoutMs) {
    Transfer t{Bytes(data, data + std::min<size_t>(length, 32)), length, kIOReturnSuccess};
    bool lose = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        lose = !lose_.empty() && t.header.size() >= 2 + lose_.size() &&
               std::equal(lose_.begin(), lose_.end(), t.header.begin() + 2);
        if (lose) {
            lose_.clear();
            ++lost_;
        }
    }
    if (!lose) t.result = emulator_->bulkOut(data, length, timeoutMs);
    std::lock_guard<std::mutex> lock(mutex_);
    transfers_.push_back(t);
    return t.result;
}

void Wire::loseNext(const std::string& commandField) {
    std::lock_guard<std::mutex> lock(mutex_);
    lose_ = commandField;
}

size_t Wire::lostCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lost_;
}

std::vector<Wire::Transfer> Wire::transfers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return transfers_;
}

// ---------------------------------------------------------------------------------------------------------
// Bus and registry

TestBus& TestBus::shared() {
    static TestBus* bus = new TestBus();
    return *bus;
}

TestBus::TestBus() {
    ovn::SystemLog::setUseSyslog(false);
    ovn::SystemLog::setMirrorToStdErr(false);
    ovn::SystemLog::setCapture([](ovn::LogChannel, const std::string& line) { LogCapture::shared().add(line); });
    QELMOR_Log::setShouldLogToStdErr(false);
    bus = ovn::usb::VirtualUSBBus::create();
    bus->setTimeoutScale(0.01);
    bus->setHostReEnumerateDelay(20);
    ovn::usb::USBServices::setShared(bus);
    // Every model of the catalogue is accepted, as a registry configured for all of them would.
    ZVUSBPrinter::IndexSet ids;
    for (const auto& row : ovn::OVNFirmwareCatalogue::catalogue()) ids.insert(row.productID);
    ZVUSBPrinterOVN::addSupportedProductIDs(ids);
}

uint32_t TestBus::nextLocation() { return 0x14000000u + ((++locations_) << 16); }

namespace {

std::string deviceKey(uint16_t vendor, uint16_t product, uint32_t location) {
    char key[32];
    std::snprintf(key, sizeof key, "%.4X%.4X%.8X", vendor, product, location);
    return key;
}

}  // namespace

struct TestRegistry::State {
    struct Entry {
        ovn::usb::IOServicePtr service;
        std::shared_ptr<ZVUSBPrinterOVN> printer;
        uint32_t location = 0;
    };
    Factory factory;
    ovn::usb::IONotificationPtr matched, terminated;
    ovn::usb::IOIteratorPtr matchedIterator, terminatedIterator;
    mutable std::mutex mutex;
    std::vector<Entry> listed;
    std::vector<Arrival> arrivals;
    std::map<uint32_t, size_t> removals;

    static void arrived(const std::weak_ptr<State>& weak, const ovn::usb::IOIteratorPtr& it) {
        auto state = weak.lock();
        while (state && it) {
            auto service = it->IOIteratorNext();
            if (!service) return;
            ovn::usb::IOUSBInterfaceInterfacePtr interface;
            bool pluginFailed = false;
            uint8_t cls = 0, sub = 0;
            uint16_t vendor = 0, product = 0;
            uint32_t location = 0;
            if (ovn::usb::USBServices::shared()->CreateInterfaceInterface(service, &interface, &pluginFailed) ||
                !interface || interface->GetInterfaceClass(&cls) || interface->GetInterfaceSubClass(&sub) ||
                interface->GetDeviceVendor(&vendor) || interface->GetDeviceProduct(&product))
                continue;
            interface->GetLocationID(&location);
            auto vendors = ZVUSBPrinterOVN::supportedVendorIDs();
            auto products = ZVUSBPrinterOVN::supportedProductIDs();
            if (cls != 7 || sub != 1 || !vendors || !vendors->count(vendor) || !products || !products->count(product))
                continue;
            // What the new object will find of an update in progress.
            auto saved = ZVUSBPrinter::deviceInfoForKey(deviceKey(vendor, product, location));
            Arrival arrival{location, {}, saved->getInteger(QELMOR_ZVPrinterDeviceFirmwareStatus),
                            saved->getString(QELMOR_ZVPrinterFirmwareVersionPrevious)};
            auto printer = state->factory ? state->factory(interface, service)
                                          : ZVUSBPrinter::create<ZVUSBPrinterOVN>(interface, service);
            if (!printer) continue;
            arrival.printer = printer;
            printer->probe();
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                state->arrivals.push_back(arrival);
            }
            ovn::DispatchQueue::main()->async([weak, service, printer, location] {
                auto state = weak.lock();
                if (!state) return printer->prepareForRelease();
                std::lock_guard<std::mutex> lock(state->mutex);
                state->listed.push_back(Entry{service, printer, location});
            });
        }
    }

    static void removed(const std::weak_ptr<State>& weak, const ovn::usb::IOIteratorPtr& it) {
        auto state = weak.lock();
        while (state && it) {
            auto service = it->IOIteratorNext();
            if (!service) return;
            std::shared_ptr<ZVUSBPrinterOVN> printer;
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                auto e = std::find_if(state->listed.begin(), state->listed.end(),
                                      [&](const Entry& e) { return e.service == service; });
                if (e == state->listed.end()) continue;
                printer = e->printer;
                ++state->removals[e->location];
            }
            printer->prepareForRelease();
            // Unlisted behind everything already queued for it.
            auto unlist = [weak, service] {
                ovn::DispatchQueue::main()->async([weak, service] {
                    auto state = weak.lock();
                    if (!state) return;
                    std::lock_guard<std::mutex> lock(state->mutex);
                    std::erase_if(state->listed, [&](const Entry& e) { return e.service == service; });
                });
            };
            if (auto queue = printer->printerCommandQueue())
                queue->async(unlist);
            else
                unlist();
        }
    }
};

TestRegistry::TestRegistry(Factory factory) : state_(std::make_shared<State>()) {
    state_->factory = std::move(factory);
    auto port = ZVPrinters::sharedNotificationPort();
    auto services = ovn::usb::USBServices::shared();
    ovn::usb::MatchingDict match;
    match.bInterfaceClass = 7;
    match.bInterfaceSubClass = 1;
    std::weak_ptr<State> weak = state_;
    onMain([&] {
        services->IOServiceAddMatchingNotification(
            port, ovn::usb::kIOMatchedNotification, match,
            [weak](const ovn::usb::IOIteratorPtr& it) { State::arrived(weak, it); }, &state_->matchedIterator,
            &state_->matched);
        State::arrived(weak, state_->matchedIterator);
        services->IOServiceAddMatchingNotification(
            port, ovn::usb::kIOTerminatedNotification, match,
            [weak](const ovn::usb::IOIteratorPtr& it) { State::removed(weak, it); }, &state_->terminatedIterator,
            &state_->terminated);
        State::removed(weak, state_->terminatedIterator);
    });
}

TestRegistry::~TestRegistry() {
    if (state_->matched) state_->matched->IOObjectRelease();
    if (state_->terminated) state_->terminated->IOObjectRelease();
    std::vector<State::Entry> listed;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        listed.swap(state_->listed);
    }
    for (const auto& e : listed) e.printer->prepareForRelease();
    listed.clear();
    state_.reset();
    pumpFor(5);
}

std::shared_ptr<ZVUSBPrinterOVN> TestRegistry::printerAt(uint32_t location) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    // The newest one: an object whose printer left may stay listed until its queued work is done.
    for (auto it = state_->listed.rbegin(); it != state_->listed.rend(); ++it)
        if (it->location == location) return it->printer;
    return nullptr;
}

std::vector<TestRegistry::Arrival> TestRegistry::arrivals(uint32_t location) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    std::vector<Arrival> out;
    std::copy_if(state_->arrivals.begin(), state_->arrivals.end(), std::back_inserter(out),
                 [&](const Arrival& a) { return a.location == location; });
    return out;
}

size_t TestRegistry::removals(uint32_t location) const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    auto it = state_->removals.find(location);
    return it == state_->removals.end() ? 0 : it->second;
}

// ---------------------------------------------------------------------------------------------------------
// Printers

TestPrinter::TestPrinter(const PrinterSetup& setup) {
    auto& tb = TestBus::shared();
    ovn::sim::EmulatorConfig config;
    config.model = setup.model;
    config.firmwareVersion = setup.firmware;
    config.rawStatus = setup.rawStatus;
    config.iSerial = setup.iSerial;
    config.locationId = location = tb.nextLocation();
    config.restartDelayMs = setup.restartDelayMs;
    config.settleMs = setup.settleMs;
    config.faults = setup.faults;
    emulator = ovn::sim::OvnPrinterEmulator::create(config);
    wire = std::make_shared<Wire>(emulator);
    usbKey = deviceKey(emulator->vendorId(), emulator->productId(), location);
    tb.bus->plug(emulator->description(), wire);
}

TestPrinter::~TestPrinter() {
    auto& tb = TestBus::shared();
    // Off the bus for good, also when it is just restarting.
    emulator->clearFaults();
    emulator->powerLoss();
    for (uint64_t id : tb.bus->devices()) {
        auto d = tb.bus->description(id);
        if (d && d->locationID == location) tb.bus->unplug(id);
    }
    pumpFor(5);
}

void settle(const std::shared_ptr<ZVUSBPrinterOVN>& printer, int ms) {
    auto queue = printer ? printer->printerCommandQueue() : nullptr;
    auto idle = [&] {
        return (!queue || queue->pendingCount() == 0) && ovn::DispatchQueue::main()->pendingCount() == 0;
    };
    for (int stable = 0; stable < 3;) {
        ASSERT_TRUE(pumpUntil(idle, ms)) << "the printer did not settle";
        pumpFor(3);
        stable = idle() ? stable + 1 : 0;
    }
}

namespace {

// Waits until the object of the n-th arrival (0: the latest) is listed and passes the test; lets it settle.
std::shared_ptr<ZVUSBPrinterOVN> waitForListed(const TestRegistry& registry, const TestPrinter& printer, size_t n,
                                               const std::function<bool(ZVUSBPrinterOVN&)>& ready, int ms) {
    std::shared_ptr<ZVUSBPrinterOVN> found;
    bool ok = pumpUntil(
        [&] {
            auto arrivals = registry.arrivals(printer.location);
            size_t i = n ? n : arrivals.size();
            found = i && arrivals.size() >= i ? arrivals[i - 1].printer.lock() : nullptr;
            return found && registry.printerAt(printer.location) == found && ready(*found);
        },
        ms);
    EXPECT_TRUE(ok) << "no " << (n ? "arrival " + std::to_string(n) : std::string("probed printer")) << " at location "
                    << std::hex << printer.location;
    if (found) settle(found);
    return found;
}

}  // namespace

std::shared_ptr<ZVUSBPrinterOVN> waitForPrinter(const TestRegistry& registry, const TestPrinter& printer, int ms) {
    return waitForListed(
        registry, printer, 0, [](ZVUSBPrinterOVN& p) { return p.firmwareVersion() && p.printerStatus(); }, ms);
}

std::shared_ptr<ZVUSBPrinterOVN> waitForArrival(const TestRegistry& registry, const TestPrinter& printer, size_t n,
                                                int ms) {
    return waitForListed(registry, printer, n, [](ZVUSBPrinterOVN&) { return true; }, ms);
}

std::vector<std::string> commandNames(const ovn::sim::OvnPrinterEmulator& emulator) {
    std::vector<std::string> names;
    for (const auto& f : emulator.frames()) names.push_back(f.malformed ? "MALFORMED" : f.commandName);
    return names;
}

size_t countFrames(const ovn::sim::OvnPrinterEmulator& emulator, DeviceCommand command) {
    auto frames = emulator.frames();
    return size_t(std::count_if(frames.begin(), frames.end(), [&](auto& f) { return f.command == command; }));
}

namespace {

bool isOneOf(const ovn::sim::FrameRecord& f, const std::set<DeviceCommand>& commands) {
    return f.command && commands.count(*f.command);
}

}  // namespace

bool isWrite(const ovn::sim::FrameRecord& f) {
    return isOneOf(f, {DeviceCommand::FlashRewrite, DeviceCommand::FlashProgram, DeviceCommand::TableClear,
                       DeviceCommand::TableWriteVersion, DeviceCommand::TableWriteData, DeviceCommand::ISerialWrite,
                       DeviceCommand::CounterClear});
}

bool isTableVersionQuery(const ovn::sim::FrameRecord& f) {
    return isOneOf(f, {DeviceCommand::TableVersion, DeviceCommand::Cwd300Version, DeviceCommand::Cwd600Version,
                       DeviceCommand::Cwd610Version, DeviceCommand::Cwd620Version});
}

bool isTableChecksumQuery(const ovn::sim::FrameRecord& f) {
    return isOneOf(f, {DeviceCommand::TableChecksum, DeviceCommand::Cwd300Checksum, DeviceCommand::Cwd600Checksum,
                       DeviceCommand::Cwd610Checksum, DeviceCommand::Cwd620Checksum});
}

// ---------------------------------------------------------------------------------------------------------
// Delivered data

fs::path deliveredDirectory() { return fs::path(ovn::Bundle::resourceDirectory()); }

Bytes readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

ResourceSandbox::ResourceSandbox() : previous_(ovn::Bundle::resourceDirectory()) {
    char pattern[] = "/tmp/ovn-resources-XXXXXX";
    char* made = ::mkdtemp(pattern);
    EXPECT_NE(made, nullptr);
    dir_ = made ? made : "/tmp";
    for (const auto& entry : fs::directory_iterator(previous_))
        if (entry.is_regular_file()) fs::create_symlink(fs::absolute(entry.path()), dir_ / entry.path().filename());
    ovn::Bundle::setResourceDirectory(dir_.string());
}

ResourceSandbox::~ResourceSandbox() {
    ovn::Bundle::setResourceDirectory(previous_);
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

void ResourceSandbox::remove(const std::string& name) { fs::remove(dir_ / name); }

void ResourceSandbox::write(const std::string& name, const Bytes& contents) {
    fs::remove(dir_ / name);
    std::ofstream(dir_ / name, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(contents.data()), static_cast<std::streamsize>(contents.size()));
}

void ResourceSandbox::change(const std::string& name, const std::function<void(Bytes&)>& edit) {
    Bytes contents = readFile(fs::path(previous_) / name);
    edit(contents);
    write(name, contents);
}

void ResourceSandbox::restore(const std::string& name) {
    fs::remove(dir_ / name);
    fs::create_symlink(fs::absolute(fs::path(previous_) / name), dir_ / name);
}

// ---------------------------------------------------------------------------------------------------------
// Fixture

void WorkflowTest::SetUp() {
    TestBus::shared();
    LogCapture::shared().clear();
    presenter = std::make_shared<ScriptedPresenter>();
    ovn::AlertPresenter::setShared(presenter);
    ovn::UserDefaults::setStandard(std::make_shared<ovn::MemoryUserDefaults>());
    terminations = 0;
    ovn::setTerminationHandler([this] { ++terminations; });
}

void WorkflowTest::TearDown() {
    tp.reset();
    registry.reset();
    sandbox.reset();
    pumpFor(5);
    EXPECT_TRUE(presenter->refusedPresses().empty()) << "a disabled button was pressed";
    ovn::setTerminationHandler(nullptr);
    // Answers still queued reach this presenter, which the queued blocks keep alive.
    ovn::AlertPresenter::setShared(nullptr);
}

bool WorkflowTest::waitForAlert(const std::string& title, size_t n, int ms) {
    return pumpUntil([&] { return presenter->countTitled(title) >= n; }, ms);
}

::testing::AssertionResult WorkflowTest::alertShown(const std::string& title, size_t n, int ms) {
    if (waitForAlert(title, n, ms)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << title << "\" not shown " << n << " times; shown: "
                                         << ::testing::PrintToString(presenter->titles());
}

void WorkflowTest::expectAlert(const std::string& title, const std::string& message,
                               const std::vector<std::string>& buttons) {
    auto alert = presenter->lastTitled(title);
    ASSERT_TRUE(alert) << title;
    EXPECT_EQ(alert->message, message) << title;
    EXPECT_EQ(alert->buttons, buttons) << title;
}

std::shared_ptr<ZVUSBPrinterOVN> WorkflowTest::start(const PrinterSetup& setup, TestRegistry::Factory factory) {
    if (!registry) registry = std::make_unique<TestRegistry>(std::move(factory));
    tp.reset();
    tp = std::make_unique<TestPrinter>(setup);
    return waitForPrinter(*registry, *tp);
}

void WorkflowTest::acceptUpdate() {
    presenter->script(kWarningTitle, {Answer::agreeAndContinue()});
    presenter->script(kConfirmTitle, {Answer::second()});
}

void WorkflowTest::runUpdate(std::shared_ptr<ZVUSBPrinterOVN>& printer, bool accept) {
    if (accept) acceptUpdate();
    onMain([&] { printer->updateFirmware(); });
    printer.reset();
}

std::vector<std::optional<int64_t>> WorkflowTest::phases() const {
    std::vector<std::optional<int64_t>> out;
    for (const auto& a : registry->arrivals(tp->location)) out.push_back(a.phase);
    return out;
}

}  // namespace wf
