// What every command of ovnctl shares: the options, the registry, the output conventions and the run loop.
//
// Output conventions
//   * standard output carries only results: the table or JSON of `list`, the lines of `watch`, the one-line
//     summary of the other commands; with --json every result is JSON and an error is one JSON object
//     {"error": "...", "exitStatus": N} on standard output, so that standard output always holds JSON;
//   * standard error carries progress (JSON objects with --json), alert texts and prompts, and, with -v, the
//     diagnostic lines of the system log; without --json an error is one line "ovnctl: error: ..." there.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Classes/ZVPrinters.h"

namespace ovnctl {

enum ExitStatus : int {
    kExitSuccess = 0,
    kExitFailed = 1,      // the operation failed or was refused
    kExitUsage = 2,       // bad command line or input
    kExitNoPrinter = 3,   // no matching printer within --timeout
    kExitSignalBase = 128,  // ended by a signal: 128 + its number (130 for SIGINT, 143 for SIGTERM, 129 for SIGHUP)
};

struct Options {
    std::string command;
    std::optional<std::string> simulate;
    std::vector<std::string> acceptProducts;
    std::optional<std::string> traceUsb;
    bool json = false;
    std::optional<std::string> serial;  // the first --serial
    std::vector<std::string> serials;   // every --serial, in the order given
    bool all = false;                   // --all: every accepted printer
    bool verbose = false;
    double timeoutSeconds = 600;
    // update-firmware
    bool yes = false;
    bool allowOlder = false;
    bool reinstall = false;
    // reset-counter
    char counter = 0;
    // iserial
    bool iSerialOn = false;
};

class Session {
public:
    Session(Options options, std::shared_ptr<ZVPrinters> registry);

    const Options& options() const { return options_; }
    const std::shared_ptr<ZVPrinters>& registry() const { return registry_; }
    std::chrono::milliseconds timeout() const;

    // The number of printers the registry will list (known for a simulated run), or nothing.
    void setExpectedPrinterCount(std::optional<size_t> count) { expectedCount_ = count; }
    std::optional<size_t> expectedPrinterCount() const { return expectedCount_; }

    // Runs the main queue until finish() (or an interruption); answers the exit status.
    int run(const std::function<void()>& start);
    // Ends the run with this status; the first call wins. A message (not empty) is reported as an error, with
    // the members of `extra` added to its JSON object.
    void finish(int status, const std::string& errorMessage = "",
                const nlohmann::json& extra = nlohmann::json::object());
    bool finished() const { return finished_; }
    int exitStatus() const { return exitStatus_; }

    // Calls the block every interval on the main queue until the run ends.
    void every(std::chrono::milliseconds interval, std::function<void()> block);

    // SIGINT, SIGTERM and SIGHUP are caught; the handler only records the signal. The run notices it on the
    // main queue and calls the interruption handler (by default: end at once with 128 + the signal's number).
    static bool interrupted();
    static int pendingSignal();
    static std::string signalName(int signal);
    static void installSignalHandlers();
    // Main queue. An empty function restores the default.
    void setInterruptionHandler(std::function<void(int signal)> handler) { interruptionHandler_ = std::move(handler); }

    // Results on standard output (nothing once the run has ended: an interrupted command prints only its error).
    void result(const std::string& text) const;
    void resultJson(const nlohmann::json& value) const;
    // Progress on standard error: "phase: detail", or {"phase": ..., ...} with --json.
    void progress(const std::string& phase, const std::string& detail = "",
                  const nlohmann::json& extra = nlohmann::json::object()) const;

    // An error reported before any session exists (usage errors).
    static void reportError(bool json, int status, const std::string& message,
                            const nlohmann::json& extra = nlohmann::json::object());

private:
    void tick(std::shared_ptr<std::function<void()>> block, std::chrono::milliseconds interval);

    Options options_;
    std::shared_ptr<ZVPrinters> registry_;
    std::optional<size_t> expectedCount_;
    std::function<void(int)> interruptionHandler_;
    int signalSeen_ = 0;
    bool finished_ = false;
    int exitStatus_ = kExitSuccess;
    std::string error_;
};

// ---- printers ----

// Follows the registry's list and tells when every attached printer is listed and probed.
//
// A printer counts as probed once the information probe has stored its last value: the serial-number reply,
// and the USB iSerial setting too on a model that has that setting. A printer that waits for firmware (it gets
// no information queries), or that cannot be probed at all (held by another program, not answering), counts
// as probed once its command queue has been idle for a while after it was listed.
// All printers are attached: for a simulated run, once as many printers as were described (and accepted) are
// listed; on real USB, once no printer has arrived for a short settle time.
class PrinterWatch {
public:
    explicit PrinterWatch(Session& session);
    ~PrinterWatch();
    void start();  // main thread, before the registry's first insertion can run

    bool isProbed(const ZVPrinters::PrinterPtr& printer) const;
    bool allAttachedListed() const;
    bool allListedProbed() const;
    // The printer the command works on: the first listed whose serial number (printer or USB) equals a
    // --serial, or the first listed; nothing while there is none.
    ZVPrinters::PrinterPtr matchingPrinter() const;
    bool matches(const ZVPrinters::PrinterPtr& printer) const;
    static bool hasSerial(const ZVPrinters::PrinterPtr& printer, const std::string& serial);

    // Called on the main queue whenever a printer is listed ("added") or unlisted ("removed"), or a watched
    // property changes (its key, with the value it was given at that change).
    std::function<void(const ZVPrinters::PrinterPtr& printer, const std::string& event, const ovn::Value& value)>
        onEvent;

private:
    struct State;
    void printersChanged();
    Session& session_;
    std::shared_ptr<State> state_;
};

// The printer's observable properties as a JSON object (main thread).
nlohmann::json printerJson(const ZVPrinters::PrinterPtr& printer);
// Columns aligned with two blanks between them; the last cell of a line is not padded.
std::string textTable(const std::vector<std::string>& headers, const std::vector<std::vector<std::string>>& rows);
// The table of `list`.
std::string printerTable(const std::vector<ZVPrinters::PrinterPtr>& printers);
std::string shortName(const ZVPrinters::PrinterPtr& printer);

// ---- shared by the commands ----

// The --timeout as the user reads it ("600 s").
std::string secondsText(const Session& session);
// Why no printer matched the command.
std::string noPrinterMessage(const Session& session);
// What one printer's part of a command came to: the exit status, the line a person reads (the result, or the
// reason of the failure) and the JSON result object.
struct PrinterOutcome {
    int status = kExitSuccess;
    std::string line;
    nlohmann::json json = nlohmann::json::object();
};
using OutcomeHandler = std::function<void(PrinterOutcome)>;
// One printer's part of a command; calls `done` once, on the main queue.
using PrinterJob = std::function<void(const ZVPrinters::PrinterPtr& printer, OutcomeHandler done)>;

// True when the command works on several printers (--all, or --serial given more than once): then every printer
// gets a line of its own on standard output (with --json an object in one array) and the exit status is 1
// when any failed.
bool severalTargets(const Options& options);
// Waits until every attached printer is listed and probed and the command's printers are among them (every
// --serial matched, or any printer for --all or without --serial), then runs the job on each, one after the
// other, and ends the session. A --serial that matches no printer is a failure of its own; without any printer
// by the deadline (or at once, when every printer there is to be is already probed) the session ends with 3.
void forEachTargetPrinter(Session& session, PrinterWatch& watch, PrinterJob job);
// An open's failure as the user reads it.
std::string openFailure(IOReturn result);

// ---- commands (each ends the session with its exit status) ----

void runList(Session& session, PrinterWatch& watch);
void runUpdateFirmware(Session& session, PrinterWatch& watch);
void runResetCounter(Session& session, PrinterWatch& watch);
void runISerial(Session& session, PrinterWatch& watch);
void runWatch(Session& session, PrinterWatch& watch);
// `history` reads no printer: it runs at once and answers the exit status.
int runHistory(Session& session);
// The pending update phase of a printer (1 or 2), or nothing.
std::optional<int64_t> pendingUpdatePhase(const ZVPrinters::PrinterPtr& printer);
std::string pendingUpdateText(int64_t phase);

}  // namespace ovnctl
