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
};

struct Options {
    std::string command;
    std::optional<std::string> simulate;
    std::vector<std::string> acceptProducts;
    std::optional<std::string> traceUsb;
    bool json = false;
    std::optional<std::string> serial;
    bool verbose = false;
    double timeoutSeconds = 600;
    // update-firmware
    bool yes = false;
    bool allowOlder = false;
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
    // Ends the run with this status; the first call wins. A message (not empty) is reported as an error.
    void finish(int status, const std::string& errorMessage = "");
    bool finished() const { return finished_; }
    int exitStatus() const { return exitStatus_; }

    // Calls the block every interval on the main queue until the run ends.
    void every(std::chrono::milliseconds interval, std::function<void()> block);

    // SIGINT / SIGTERM seen (set from the signal handler).
    static bool interrupted();
    static void installSignalHandlers();

    // Results on standard output.
    void result(const std::string& text) const;
    void resultJson(const nlohmann::json& value) const;
    // Progress on standard error: "phase: detail", or {"phase": ..., ...} with --json.
    void progress(const std::string& phase, const std::string& detail = "",
                  const nlohmann::json& extra = nlohmann::json::object()) const;

    // An error reported before any session exists (usage errors).
    static void reportError(bool json, int status, const std::string& message);

private:
    void tick(std::shared_ptr<std::function<void()>> block, std::chrono::milliseconds interval);

    Options options_;
    std::shared_ptr<ZVPrinters> registry_;
    std::optional<size_t> expectedCount_;
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
    // The printer the command works on: the one whose serial number (printer or USB) equals --serial, or the
    // first listed; nothing while there is none.
    ZVPrinters::PrinterPtr matchingPrinter() const;
    bool matches(const ZVPrinters::PrinterPtr& printer) const;

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
// The table of `list`.
std::string printerTable(const std::vector<ZVPrinters::PrinterPtr>& printers);
std::string shortName(const ZVPrinters::PrinterPtr& printer);

// ---- shared by the commands ----

// The --timeout as the user reads it ("600 s").
std::string secondsText(const Session& session);
// Why no printer matched the command.
std::string noPrinterMessage(const Session& session);
// Waits until every attached printer is listed and probed and the command's printer is among them; then runs
// `then` with it. Without a matching printer by the deadline (or at once, when every printer there is to be is
// already probed) the session ends with status 3.
void withTargetPrinter(Session& session, PrinterWatch& watch, std::function<void(ZVPrinters::PrinterPtr)> then);
// An open's failure as the user reads it.
std::string openFailure(IOReturn result);

// ---- commands (each ends the session with its exit status) ----

void runList(Session& session, PrinterWatch& watch);
void runUpdateFirmware(Session& session, PrinterWatch& watch);
void runResetCounter(Session& session, PrinterWatch& watch);
void runISerial(Session& session, PrinterWatch& watch);
void runWatch(Session& session, PrinterWatch& watch);

}  // namespace ovnctl
