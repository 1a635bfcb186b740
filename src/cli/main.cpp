// ovnctl: the command-line program. See `ovnctl --help` and packaging/ovnctl.1.
#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "Classes/ProgramSetup.h"
#include "Classes/UpdateJournal.h"
#include "Classes/ZVPrinters.h"
#include "cli/CliAlerts.h"
#include "cli/CliSession.h"
#include "cli/Metrics.h"
#include "platform/Alerts.h"
#include "platform/DispatchQueue.h"
#include "platform/SystemLog.h"
#include "sim/SimulationSetup.h"
#include "sim/SimulationText.h"
#include "support/QELMOR_Log.h"
#include "usb/UsbTrace.h"

namespace {

using namespace ovnctl;

constexpr char kDescription[] =
    "ovnctl - maintenance of OVN USB photo printers from the command line.\n"
    "\n"
    "Lists the attached printers, updates their firmware (and colour tables), resets media counters and\n"
    "switches the USB serial-number (iSerial) setting.";

constexpr char kFooter[] =
    "Printers:\n"
    "  A command works on the printer whose serial number (as the printer reports it, or its USB serial\n"
    "  number) equals --serial, else on the first printer listed. Commands wait (at most --timeout) until\n"
    "  every attached printer is listed and probed. update-firmware, reset-counter and iserial take --all, or\n"
    "  --serial more than once: one printer after the other, a result line each (--json: one JSON array).\n"
    "\n"
    "Output:\n"
    "  Results go to standard output; progress, alert texts and prompts to standard error (never to standard\n"
    "  output). With --json results are JSON, progress lines are JSON objects, and an error is one JSON\n"
    "  object {\"error\": TEXT, \"exitStatus\": N} on standard output; without it an error is the line\n"
    "  \"ovnctl: error: TEXT\" on standard error.\n"
    "\n"
    "Exit status:\n"
    "  0  success\n"
    "  1  the operation failed or was refused (any alert other than success, a busy printer, ...)\n"
    "  2  usage error: unknown command or option, malformed --simulate text, a product ID that does not\n"
    "     parse, an unwritable --trace-usb file\n"
    "  3  no matching printer within --timeout (also: the printer did not come back from a restart)\n"
    "  130  interrupted by SIGINT; 128+n by signal n (143 SIGTERM, 129 SIGHUP)\n"
    "  With several printers: 0 only when every printer succeeded or needed nothing, else 1.\n"
    "\n"
    "Interrupted updates:\n"
    "  A signal while the firmware image or the colour tables are written is held until that step ends; at\n"
    "  any other point ovnctl stops at once. It then names the printer's state and the command that finishes\n"
    "  the update. The update journal and history.jsonl are kept in $XDG_STATE_HOME/ovn-utility (default\n"
    "  ~/.local/state/ovn-utility); `ovnctl history` shows the updates recorded there.\n"
    "\n"
    "Examples:\n"
    "  ovnctl list\n"
    "  ovnctl --json --accept-product 0x5C01 list\n"
    "  ovnctl --serial 7C1004721 update-firmware --yes\n"
    "  ovnctl --json update-firmware --all --yes\n"
    "  ovnctl --serial 7C1004721 --serial 5D1004721 reset-counter A\n"
    "  ovnctl --simulate 'PL35:iserial=1,PL25D' --accept-product 0x5C01 iserial off\n"
    "  ovnctl reset-counter A\n";

bool argvHasJson(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--json") == 0) return true;
    return false;
}

// ---- output and option checks ----

std::optional<double> parseTimeoutSeconds(const std::string& text) {
    unsigned long seconds = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, seconds);
    if (ec != std::errc() || ptr != end || seconds < 1 || seconds > 86400) return std::nullopt;
    return static_cast<double>(seconds);
}

// Standard output closed when the program starts: a file opened later would get its descriptor and receive the
// results. It is kept taken by a descriptor that refuses writes, so that every result fails as a write error.
void holdStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int taken = ::open("/dev/null", fd == 1 ? O_RDONLY : O_RDWR);
        if (taken >= 0 && taken != fd) ::close(taken);
    }
}

// A result that did not reach standard output (a full disk, a closed descriptor) makes the run fail.
// So does a --trace-usb file that could not be written (reported when it happened).
int checkedExitStatus(int status) {
    const bool failed = std::fflush(stdout) != 0 || std::ferror(stdout);
    if (failed) std::fputs("ovnctl: error: write error on standard output\n", stderr);
    if (failed || ovn::usb::UsbTrace::failed()) return status == kExitSuccess ? kExitFailed : status;
    return status;
}

[[noreturn]] void exitNow(int status) {
    status = checkedExitStatus(status);
    ovn::usb::UsbTrace::close();
    std::fflush(nullptr);
    // Printer queues and the terminal reader may still be running: end without tearing them down under them.
    std::_Exit(status);
}

}  // namespace

int main(int argc, char** argv) {
    holdStandardDescriptors();
    Options options;
    std::string counter;
    std::string setting;

    CLI::App app{kDescription, "ovnctl"};
    app.footer(std::string(kFooter) + "\n" + ovn::sim::simulationHelpText());
    app.require_subcommand(1, 1);
    app.fallthrough();
    app.add_option("--simulate", options.simulate,
                   "Work on emulated printers instead of USB: MODEL[:key=value]...[,MODEL...], MODEL one of PL15, "
                   "PL25, PL-MV1, PL25D, PL35, PL45 (keys: serial, fw, status, busy, iserial, life, vendor, "
                   "location, fault, delay, settle, unplug). Settings are kept in memory only.")
        ->type_name("LIST");
    app.add_option("--accept-product", options.acceptProducts,
                   "Also accept this USB product ID (hexadecimal such as 0x5C01, or decimal); repeatable")
        ->type_name("PID")
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--trace-usb", options.traceUsb, "Append one JSON line per USB transfer to FILE")
        ->type_name("FILE");
    app.add_flag("--json", options.json, "JSON results, progress and errors");
    app.add_option("--serial", options.serials,
                   "The printer to work on (default: the first listed); repeatable: each printer named, in turn")
        ->type_name("S")
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_flag("-v,--verbose", options.verbose, "Diagnostic lines to standard error (else system log only)");
    std::string timeoutText;
    app.add_option("--timeout", timeoutText,
                   "Longest wait for printers to appear, be probed or come back from a restart: whole seconds "
                   "from 1 to 86400 (default 600)")
        ->type_name("SECONDS");

    auto* list = app.add_subcommand("list", "List the attached printers and exit");
    auto* update = app.add_subcommand(
        "update-firmware", "Update the printer's firmware and colour tables (through both restarts)");
    update->add_flag("--yes", options.yes,
                     "Agree to the warning and confirm without asking; retry a busy or not-ready printer until "
                     "--timeout");
    update->add_flag("--allow-older", options.allowOlder,
                     "Install the offered firmware even when the printer's is newer (this run only)");
    update->add_flag("--reinstall", options.reinstall,
                     "Install the offered firmware even when the printer already runs it");
    auto* reset = app.add_subcommand("reset-counter", "Reset a media counter (checked by reading it back)");
    reset->add_option("counter", counter, "A, B or M")->required()->check(CLI::IsMember({"A", "B", "M"}));
    auto* iserial = app.add_subcommand("iserial", "Switch the USB serial-number (iSerial) setting");
    iserial->add_option("setting", setting, "on or off")->required()->check(CLI::IsMember({"on", "off"}));
    // Several printers: --all, or --serial given more than once; one printer after the other.
    for (auto* command : {update, reset, iserial})
        command->add_flag("--all", options.all, "Every accepted printer, one after the other");
    auto* watchCommand = app.add_subcommand("watch", "Show the live status of every printer until interrupted");
    app.add_subcommand("history", "Show the firmware updates recorded on this computer (--serial: of those printers)");
    (void)list;
    (void)watchCommand;
    // Metrics for Prometheus: once (metrics), or served over HTTP (serve).
    ovnctl::metrics::ExporterOptions exporter;
    app.add_subcommand("metrics", "Print every printer's state in the Prometheus text format and exit")
        ->add_option("--output", exporter.output, "Write it to FILE instead, atomically (temporary file, rename)")
        ->type_name("FILE");
    auto* serve = app.add_subcommand("serve", "Serve /metrics (Prometheus) and /printers (JSON) until interrupted");
    serve->add_option("--listen", exporter.listen, "Address and port to listen on (default 127.0.0.1:9864)")
        ->type_name("ADDR:PORT")
        ->check([](const std::string& text) {
            std::string error;
            return ovnctl::metrics::parseListenAddress(text, nullptr, nullptr, &error) ? std::string() : error;
        });
    serve->add_option("--refresh", exporter.refreshSeconds, "Read each printer at most this often (default 10)")
        ->type_name("SECONDS")
        ->check(CLI::PositiveNumber);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return checkedExitStatus(kExitSuccess);
    } catch (const CLI::CallForAllHelp&) {
        std::fputs(app.help("", CLI::AppFormatMode::All).c_str(), stdout);
        return checkedExitStatus(kExitSuccess);
    } catch (const CLI::ParseError& e) {
        std::string message = e.what();
        if (message.empty()) message = "bad command line";
        // A word where the command belongs.
        const auto rest = app.remaining();
        if (app.get_subcommands().empty() && !rest.empty() && !rest.front().empty() && rest.front()[0] != '-')
            message = "unknown command \"" + rest.front() + "\"";
        Session::reportError(argvHasJson(argc, argv), kExitUsage, message + " (see ovnctl --help)");
        return kExitUsage;
    }
    options.command = app.get_subcommands().front()->get_name();
    if (!options.serials.empty()) options.serial = options.serials.front();
    options.counter = counter.empty() ? 0 : counter[0];
    options.iSerialOn = setting == "on";
    const bool json = options.json;

    // Diagnostics.
    ovn::SystemLog::setIdentity("ovnctl");
    ovn::SystemLog::setMirrorToStdErr(options.verbose);
    QELMOR_Log::setShouldLogToStdErr(options.verbose);

    // Everything the user gave is checked before anything reaches a printer.
    std::string error;
    auto productIDs = ovn::program::parseProductIDs(options.acceptProducts, &error);
    if (!productIDs) {
        Session::reportError(json, kExitUsage, "--accept-product: " + error);
        return kExitUsage;
    }
    // --timeout: whole seconds, so that no value can end a wait before it began or never end it.
    if (!timeoutText.empty()) {
        auto seconds = parseTimeoutSeconds(timeoutText);
        if (!seconds) {
            Session::reportError(json, kExitUsage, "--timeout: \"" + timeoutText.substr(0, 32) +
                                                       "\" is not a number of whole seconds from 1 to 86400");
            return kExitUsage;
        }
        options.timeoutSeconds = *seconds;
    }
    for (const auto& serial : options.serials) {
        if (serial.empty()) {
            Session::reportError(json, kExitUsage, "--serial: an empty serial number matches no printer");
            return kExitUsage;
        }
    }
    if (options.all && !options.serials.empty()) {
        Session::reportError(json, kExitUsage, "--all and --serial exclude each other");
        return kExitUsage;
    }
    // The update history is read from disk: no printer is looked for.
    if (options.command == "history") {
        Session history(options, nullptr);
        return runHistory(history);
    }
    if (options.simulate) {
        auto parsed = ovn::sim::parseSimulationText(*options.simulate);
        if (!parsed.ok()) {
            Session::reportError(json, kExitUsage, "--simulate: " + parsed.error);
            return kExitUsage;
        }
    }
    if (options.traceUsb && !ovn::program::openUsbTrace(*options.traceUsb, &error)) {
        Session::reportError(json, kExitUsage, "--trace-usb: " + error);
        return kExitUsage;
    }

    std::shared_ptr<ovn::sim::SimulationSetup> simulation;
    if (options.simulate) {
        ovn::program::useMemoryUserDefaults();
        simulation = ovn::sim::installSimulation(*options.simulate, &error);
        if (!simulation) {
            Session::reportError(json, kExitUsage, "--simulate: " + error);
            exitNow(kExitUsage);
        }
    } else if (!ovn::program::installSystemUSB(&error)) {
        Session::reportError(json, kExitFailed, error);
        exitNow(kExitFailed);
    }
    if (options.allowOlder) ovn::program::overrideUserDefaults({{"installOlderFirmwareVersion", true}});

    Session::installSignalHandlers();
    // The registry is made on the main queue, like every change of its list.
    std::shared_ptr<ZVPrinters> registry;
    ovn::DispatchQueue::main()->sync([&] { registry = ZVPrinters::create(); });
    Session session(options, registry);

    // Alerts that come while the printers are probed (a printer found waiting for firmware) are notices: the
    // update command starts its workflow itself, and switches the presenter to asking (or --yes) then.
    auto presenter = std::make_shared<CliAlertPresenter>(session, CliAlertPresenter::Mode::Notices);
    ovn::AlertPresenter::setShared(presenter);
    ovn::setTerminationHandler([&session] { session.finish(kExitFailed, "the program was asked to quit"); });

    registry->addAcceptedProductIDs(*productIDs);
    if (simulation) {
        ovn::program::useSimulatedPrinterFactory(*registry);
        size_t expected = 0;
        for (const auto& emulator : simulation->printers->all())
            if (registry->acceptsInterface(7, 1, emulator->vendorId(), emulator->productId())) ++expected;
        session.setExpectedPrinterCount(expected);
    }

    PrinterWatch watch(session);
    const int status = session.run([&] {
        watch.start();
        ovn::update::UpdateJournal::openShared();
        registry->getPrintingDevices();
        const std::string& command = options.command;
        if (command == "list")
            runList(session, watch);
        else if (command == "update-firmware")
            runUpdateFirmware(session, watch);
        else if (command == "reset-counter")
            runResetCounter(session, watch);
        else if (command == "iserial")
            runISerial(session, watch);
        else if (command == "metrics")
            ovnctl::metrics::runMetrics(session, watch, exporter);
        else if (command == "serve")
            ovnctl::metrics::runServe(session, watch, exporter);
        else
            runWatch(session, watch);
    });

    // OVN printers on the bus that no option accepts: tell which option would.
    for (const auto& seen : registry->unacceptedPrinters())
        session.progress("warning", ZVPrinters::unacceptedPrinterText(seen));

    // Termination: the list is emptied on the main queue and discovery ends.
    ovn::DispatchQueue::main()->sync([&] { registry->prepareForTermination(); });
    ovn::MainRunLoop::runFor(std::chrono::milliseconds(20));
    exitNow(status);
}
