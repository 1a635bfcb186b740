#include <map>

#include "Classes/OVNProtocol.h"
#include "cli/CliSession.h"
#include "platform/DispatchQueue.h"

namespace ovnctl {

namespace {

using Clock = std::chrono::steady_clock;

// A printer that cannot be probed counts as probed once its queue has been idle this long after listing.
constexpr auto kIdleProbeGrace = std::chrono::milliseconds(3000);
constexpr auto kIdleQuiet = std::chrono::milliseconds(1000);
// On real USB, every attached printer is taken as listed once none has arrived for this long.
constexpr auto kSettleTime = std::chrono::milliseconds(2000);

// The keys whose announcement marks progress of the probe.
const char* const kWatchedKeys[] = {"printerSerialNumber", "usbISerialString", "printerStatus", "firmwareVersion",
                                    "lifetimeCounter", "inFirmwareUpdate"};

}  // namespace

struct PrinterWatch::State {
    struct Tracked {
        std::weak_ptr<ZVUSBPrinterOVN> printer;
        Clock::time_point listedAt;
        Clock::time_point lastChange;
        bool serialSeen = false;
        bool iSerialSeen = false;
        std::vector<ovn::ObservationToken> tokens;
    };
    std::map<const ZVUSBPrinterOVN*, Tracked> tracked;
    ovn::ObservationToken listToken;
    Clock::time_point startedAt;
    Clock::time_point lastArrival;
};

PrinterWatch::PrinterWatch(Session& session) : session_(session), state_(std::make_shared<State>()) {}

PrinterWatch::~PrinterWatch() {
    state_->listToken.reset();
    state_->tracked.clear();
}

void PrinterWatch::start() {
    state_->startedAt = Clock::now();
    state_->lastArrival = state_->startedAt;
    state_->listToken = session_.registry()->observe(
        ZVPrinters::kPrintersKey, [this](const std::string&, const ovn::KeyValueChange&) { printersChanged(); });
    printersChanged();
}

void PrinterWatch::printersChanged() {
    auto printers = session_.registry()->printers();
    std::map<const ZVUSBPrinterOVN*, ZVPrinters::PrinterPtr> listed;
    for (const auto& p : printers) listed[p.get()] = p;

    // Gone.
    for (auto it = state_->tracked.begin(); it != state_->tracked.end();) {
        if (!listed.count(it->first)) {
            auto printer = it->second.printer.lock();
            it = state_->tracked.erase(it);
            if (printer && onEvent) onEvent(printer, "removed", ovn::Value{});
        } else {
            ++it;
        }
    }
    // New: watched from the moment they are listed (announcements come on the main queue, after this).
    for (const auto& p : printers) {
        if (state_->tracked.count(p.get())) continue;
        State::Tracked t;
        t.printer = p;
        t.listedAt = t.lastChange = Clock::now();
        state_->lastArrival = t.listedAt;
        std::weak_ptr<State> weakState = state_;
        const ZVUSBPrinterOVN* raw = p.get();
        for (const char* key : kWatchedKeys) {
            t.tokens.push_back(p->observe(key, [this, weakState, raw](const std::string& k, const ovn::KeyValueChange& change) {
                // Announcements may come from a command queue: the bookkeeping stays on the main queue.
                ovn::DispatchQueue::main()->async([this, weakState, raw, k, value = change.newValue] {
                    auto state = weakState.lock();
                    if (!state) return;
                    auto it = state->tracked.find(raw);
                    if (it == state->tracked.end()) return;
                    it->second.lastChange = Clock::now();
                    if (k == "printerSerialNumber") it->second.serialSeen = true;
                    if (k == "usbISerialString") it->second.iSerialSeen = true;
                    auto printer = it->second.printer.lock();
                    if (printer && onEvent) onEvent(printer, k, value);
                });
            }));
        }
        state_->tracked.emplace(raw, std::move(t));
        if (onEvent) onEvent(p, "added", ovn::Value{});
    }
}

bool PrinterWatch::isProbed(const ZVPrinters::PrinterPtr& printer) const {
    auto it = state_->tracked.find(printer.get());
    if (it == state_->tracked.end()) return false;
    const auto& t = it->second;
    if (t.serialSeen && (!printer->hasISerialSupport() || t.iSerialSeen)) return true;
    // Waiting for firmware: the probe asks nothing more.
    if (printer->printerStatus() ==
        ovn::protocol::stringForDSStatusString(std::string(ovn::protocol::kRawStatusFirmwareUpdateMode)))
        return true;
    auto queue = printer->printerCommandQueue();
    const bool idle = !queue || queue->pendingCount() == 0;
    const auto now = Clock::now();
    return idle && now - t.listedAt >= kIdleProbeGrace && now - t.lastChange >= kIdleQuiet;
}

bool PrinterWatch::allAttachedListed() const {
    const size_t listed = session_.registry()->printers().size();
    if (auto expected = session_.expectedPrinterCount()) return listed >= *expected;
    return Clock::now() - state_->lastArrival >= kSettleTime;
}

bool PrinterWatch::allListedProbed() const {
    for (const auto& p : session_.registry()->printers())
        if (!isProbed(p)) return false;
    return true;
}

bool PrinterWatch::hasSerial(const ZVPrinters::PrinterPtr& printer, const std::string& serial) {
    return printer->printerSerialNumber() == serial || printer->serialNumberUSB() == serial;
}

bool PrinterWatch::matches(const ZVPrinters::PrinterPtr& printer) const {
    const auto& serials = session_.options().serials;
    if (serials.empty()) return true;
    for (const auto& serial : serials)
        if (hasSerial(printer, serial)) return true;
    return false;
}

ZVPrinters::PrinterPtr PrinterWatch::matchingPrinter() const {
    for (const auto& p : session_.registry()->printers())
        if (matches(p)) return p;
    return nullptr;
}

}  // namespace ovnctl
