// ovnctl metrics: every printer's state in the Prometheus text format, once.
#include <cstdio>

#include "cli/Metrics.h"
#include "platform/DispatchQueue.h"

namespace ovnctl::metrics {

namespace {

using Clock = std::chrono::steady_clock;

// The longest a read of all printers may take (two exchanges each, with their time-outs).
constexpr auto kReadAllowance = std::chrono::seconds(20);

// The listed printers the command is about, probed or not.
ZVPrinters::PrinterList selectedPrinters(const Session& session, const PrinterWatch& watch) {
    ZVPrinters::PrinterList printers;
    for (const auto& p : session.registry()->printers())
        if (watch.matches(p)) printers.push_back(p);
    return printers;
}

}  // namespace

void runMetrics(Session& session, PrinterWatch& watch, const ExporterOptions& options) {
    struct State {
        int phase = 0;  // 0: waiting for the printers, 1: reading them, 2: done
        size_t pending = 0;
        Clock::time_point readDeadline;
        PrinterReader reader;
        ZVPrinters::PrinterList printers;
    };
    const auto started = Clock::now();
    const auto deadline = started + session.timeout();
    auto state = std::make_shared<State>();
    session.every(std::chrono::milliseconds(50), [&session, &watch, options, state, started, deadline] {
        if (state->phase == 0) {
            const bool complete = watch.allAttachedListed() && watch.allListedProbed();
            if (!complete && Clock::now() < deadline) return;
            if (!complete) session.progress("warning", "not every printer could be probed within " + secondsText(session));
            state->phase = 1;
            state->readDeadline = Clock::now() + kReadAllowance;
            state->printers = selectedPrinters(session, watch);
            for (const auto& p : state->printers) {
                p->newFirmwareVersion();
                if (state->reader.read(p, [state] { --state->pending; })) ++state->pending;
            }
            return;
        }
        if (state->phase != 1 || (state->pending > 0 && Clock::now() < state->readDeadline)) return;
        state->phase = 2;
        if (session.options().serial && state->printers.empty()) {
            session.finish(kExitNoPrinter, noPrinterMessage(session));
            return;
        }
        HistoryCache history;
        std::vector<PrinterState> states;
        // The printers listed now: one gone while it was read is not shown.
        for (const auto& p : selectedPrinters(session, watch))
            states.push_back(stateOf(p, state->reader, history.entries()));
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        const std::string text = exposition(states, seconds);
        if (options.output) {
            std::string error;
            if (!writeFileAtomically(*options.output, text, &error)) {
                session.finish(kExitFailed, error);
                return;
            }
        } else {
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fflush(stdout);
        }
        session.finish(kExitSuccess);
    });
}

}  // namespace ovnctl::metrics
