// ovnctl serve: /metrics (Prometheus text format) and /printers (the JSON of `list`) over HTTP.
//
// The main queue follows the registry, reads each printer at most every --refresh seconds (never while it is
// being updated, and closing its interface after each read) and builds a snapshot of plain texts; the HTTP
// threads answer from the last snapshot only and never touch a printer.
#include <httplib.h>

#include <csignal>
#include <mutex>
#include <set>
#include <thread>

#include "cli/Metrics.h"
#include "platform/DispatchQueue.h"

namespace ovnctl::metrics {

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t gStopRequested = 0;
extern "C" void onStopSignal(int) { gStopRequested = 1; }

struct Snapshot {
    std::string metrics;   // without the scrape duration
    std::string printers;  // JSON array
};

class SnapshotBox {
public:
    std::shared_ptr<const Snapshot> get() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return snapshot_;
    }
    void set(std::shared_ptr<const Snapshot> snapshot) {
        std::lock_guard<std::mutex> lock(mutex_);
        snapshot_ = std::move(snapshot);
    }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const Snapshot> snapshot_ = std::make_shared<Snapshot>(Snapshot{printersExposition({}), "[]"});
};

struct ServeState {
    ~ServeState() {
        server.stop();
        if (thread.joinable()) thread.join();
    }
    httplib::Server server;
    std::thread thread;
    SnapshotBox snapshot;
    PrinterReader reader;
    HistoryCache history;
    bool dirty = true;
    Clock::time_point builtAt{};
    std::set<std::weak_ptr<ZVUSBPrinterOVN>, std::owner_less<>> offerAsked;
    std::vector<const ZVUSBPrinterOVN*> shown;  // the printers of the last snapshot
};

void rebuild(PrinterWatch& watch, ServeState& state, const ZVPrinters::PrinterList& printers) {
    std::vector<PrinterState> states;
    nlohmann::json array = nlohmann::json::array();
    state.shown.clear();
    for (const auto& p : printers) {
        if (!watch.isProbed(p)) continue;
        states.push_back(stateOf(p, state.reader, state.history.entries()));
        array.push_back(printerJson(p));
        state.shown.push_back(p.get());
    }
    state.snapshot.set(std::make_shared<Snapshot>(
        Snapshot{printersExposition(states), array.dump(2, ' ', false, nlohmann::json::error_handler_t::replace)}));
}

}  // namespace

bool parseListenAddress(const std::string& text, std::string* host, int* port, std::string* error) {
    auto fail = [error, &text](const std::string& why) {
        if (error) *error = "\"" + text + "\" is not ADDR:PORT (" + why + ")";
        return false;
    };
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return fail("an address and a port are needed");
    std::string address = text.substr(0, colon);
    const std::string portText = text.substr(colon + 1);
    if (address.front() == '[') {
        if (address.size() < 3 || address.back() != ']') return fail("an IPv6 address goes in brackets");
        address = address.substr(1, address.size() - 2);
    } else if (address.find(':') != std::string::npos) {
        return fail("an IPv6 address goes in brackets");
    }
    if (portText.empty() || portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos)
        return fail("the port is a number from 0 to 65535");
    const int value = std::stoi(portText);
    if (value > 65535) return fail("the port is a number from 0 to 65535");
    if (host) *host = address;
    if (port) *port = value;
    return true;
}

void runServe(Session& session, PrinterWatch& watch, const ExporterOptions& options) {
    std::string host;
    int port = 0;
    std::string error;
    if (!parseListenAddress(options.listen, &host, &port, &error)) {
        session.finish(kExitUsage, "--listen: " + error);
        return;
    }
    auto state = std::make_shared<ServeState>();
    auto& server = state->server;
    ServeState* raw = state.get();
    server.Get("/metrics", [raw](const httplib::Request&, httplib::Response& response) {
        const auto started = Clock::now();
        auto snapshot = raw->snapshot.get();
        std::string body = snapshot->metrics;
        body += scrapeDurationExposition(std::chrono::duration<double>(Clock::now() - started).count());
        response.set_content(body, "text/plain; version=0.0.4; charset=utf-8");
    });
    server.Get("/printers", [raw](const httplib::Request&, httplib::Response& response) {
        response.set_content(raw->snapshot.get()->printers + "\n", "application/json");
    });
    // The answer goes out at once, not held back for the client's acknowledgement.
    server.set_tcp_nodelay(true);
    // An idle kept-alive connection does not hold up the end of the service for long.
    server.set_keep_alive_timeout(2);
    server.set_read_timeout(5, 0);
    server.set_write_timeout(5, 0);
    const int bound = port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, port) ? port : -1);
    if (bound < 0) {
        session.finish(kExitFailed, "cannot listen on " + options.listen + " (address in use or not available)");
        return;
    }
    const std::string where = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" +
                              std::to_string(bound);
    state->thread = std::thread([raw] { raw->server.listen_after_bind(); });
    session.progress("listening", "http://" + where + "/metrics", {{"address", where}});

    // SIGINT and SIGTERM end the service without an error.
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    watch.onEvent = [raw](const ZVPrinters::PrinterPtr&, const std::string&, const ovn::Value&) { raw->dirty = true; };
    const auto refresh = std::chrono::milliseconds(static_cast<int64_t>(options.refreshSeconds * 1000.0));
    session.every(std::chrono::milliseconds(200), [&session, &watch, state, refresh] {
        if (gStopRequested) {
            state->server.stop();
            if (state->thread.joinable()) state->thread.join();
            session.finish(kExitSuccess);
            return;
        }
        ZVPrinters::PrinterList printers;
        for (const auto& p : session.registry()->printers())
            if (watch.matches(p)) printers.push_back(p);
        state->reader.keepOnly(printers);
        std::erase_if(state->offerAsked, [](const auto& weak) { return weak.expired(); });
        std::vector<const ZVUSBPrinterOVN*> probed;
        const auto now = Clock::now();
        for (const auto& p : printers) {
            if (!watch.isProbed(p)) continue;
            probed.push_back(p.get());
            if (state->offerAsked.insert(p).second) p->newFirmwareVersion();
            const auto* reading = state->reader.reading(p);
            const bool due = !reading || (!reading->reading && (!reading->read || now - reading->endedAt >= refresh));
            if (due) state->reader.read(p, [raw = state.get()] { raw->dirty = true; });
        }
        // A printer that came or went shows at once; changed values at most once a second.
        if (probed == state->shown && (!state->dirty || now - state->builtAt < std::chrono::seconds(1))) return;
        state->dirty = false;
        state->builtAt = now;
        rebuild(watch, *state, printers);
    });
}

}  // namespace ovnctl::metrics
