#include "Application.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QImageWriter>
#include <QLocale>
#include <QScreen>
#include <QTimer>

#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

#include "AppLocalization.h"
#include "Classes/ProgramSetup.h"
#include "Classes/UpdateJournal.h"
#include "GuiPoster.h"
#include "QtAlertPresenter.h"
#include "platform/Alerts.h"
#include "sim/SimulationText.h"
#include "platform/Bundle.h"
#include "platform/DispatchQueue.h"
#include "platform/Localization.h"
#include "platform/SystemLog.h"
#include "support/QELMOR_Log.h"
#include "usb/UsbTrace.h"

namespace ovn::app {

namespace {

// How long --screenshot waits for the printers to be read.
constexpr int kScreenshotPollMs = 200;
constexpr int kScreenshotAttempts = 50;  // 10 s at most

// SIGINT, SIGTERM and SIGHUP end the program: every sheet closes and the program ends at once, or, during the
// image write or the colour-table step, as soon as that step has ended (the user's own Quit still asks). The
// handler only writes a byte; the event loop reads it.
int gSignalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    const char byte = 1;
    ssize_t written = ::write(gSignalPipe[0], &byte, 1);
    (void)written;
}

void watchTerminationSignals(QObject* owner, std::function<void()> onSignal) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gSignalPipe) != 0) return;
    auto* notifier = new QSocketNotifier(gSignalPipe[1], QSocketNotifier::Read, owner);
    QObject::connect(notifier, &QSocketNotifier::activated, owner, [onSignal = std::move(onSignal)] {
        char byte;
        ssize_t got = ::read(gSignalPipe[1], &byte, 1);
        (void)got;
        if (onSignal) onSignal();
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

}  // namespace

ParsedArguments parseArguments(const QStringList& arguments) {
    ParsedArguments parsed;
    QCommandLineParser parser;
    parser.setApplicationDescription(QCoreApplication::translate(
        "Application", "Maintenance for OVN USB photo printers: firmware and color-table updates, the USB "
                       "serial-number setting and media counters."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QCoreApplication::translate("Application", "Show this help and quit."));
    const QCommandLineOption version(QStringLiteral("version"),
                                     QCoreApplication::translate("Application", "Show the version and quit."));
    const QCommandLineOption simulate(
        QStringLiteral("simulate"),
        QCoreApplication::translate("Application", "Work with emulated printers instead of USB, for example "
                                                   "\"PL25D,PL35:fw=PL35 01.40\"."),
        QStringLiteral("LIST"));
    const QCommandLineOption accept(
        QStringLiteral("accept-product"),
        QCoreApplication::translate("Application", "Also accept printers with this USB product ID (hexadecimal "
                                                   "such as 0x5C01, or decimal). May be given more than once."),
        QStringLiteral("PID"));
    const QCommandLineOption trace(
        QStringLiteral("trace-usb"),
        QCoreApplication::translate("Application", "Append every USB transfer to FILE, one JSON object a line."),
        QStringLiteral("FILE"));
    const QCommandLineOption screenshot(
        QStringLiteral("screenshot"),
        QCoreApplication::translate("Application", "Save the window as an image once the printers have been "
                                                   "read, then quit."),
        QStringLiteral("FILE"));
    const QCommandLineOption verbose({QStringLiteral("v"), QStringLiteral("verbose")},
                                     QCoreApplication::translate("Application", "Also write log lines to the "
                                                                                "standard error stream."));
    const QCommandLineOption quitAfterPaint(
        QStringLiteral("quit-after-first-paint"),
        QCoreApplication::translate("Application", "Quit as soon as the table has been painted with a printer in "
                                                   "it (to measure start-up)."));
    parser.addOptions({help, version, simulate, accept, trace, screenshot, verbose, quitAfterPaint});
    if (!parser.parse(arguments)) {
        parsed.error = parser.errorText();
        return parsed;
    }
    if (parser.isSet(help)) {
        parsed.helpText = parser.helpText();
        return parsed;
    }
    if (parser.isSet(version)) {
        parsed.versionText = QStringLiteral("ovn-utility %1").arg(qs(ovn::Bundle::shortVersionString()));
        return parsed;
    }
    if (!parser.positionalArguments().isEmpty()) {
        parsed.error = QCoreApplication::translate("Application", "Unexpected argument: %1")
                           .arg(parser.positionalArguments().front());
        return parsed;
    }
    LaunchOptions& o = parsed.options;
    if (parser.isSet(simulate)) o.simulate = parser.value(simulate).toStdString();
    for (const QString& pid : parser.values(accept)) o.acceptProducts.push_back(pid.toStdString());
    if (parser.isSet(trace)) o.traceUsb = parser.value(trace).toStdString();
    if (parser.isSet(screenshot)) o.screenshot = parser.value(screenshot);
    o.verbose = parser.isSet(verbose);
    o.quitAfterFirstPaint = parser.isSet(quitAfterPaint);
    return parsed;
}

Application::Application(QObject* parent) : QObject(parent) {}

Application::~Application() { shutdown(); }

QString Application::start(const LaunchOptions& options) {
    if (started_) return QStringLiteral("the program was started already");

    // Everything the user gave is checked before anything reaches a printer.
    if (options.screenshot) {
        const QFileInfo info(*options.screenshot);
        if (info.fileName().isEmpty()) return QStringLiteral("--screenshot needs a file name: %1").arg(*options.screenshot);
        if (!info.absoluteDir().exists())
            return QStringLiteral("cannot save the screenshot in %1: no such folder").arg(info.absolutePath());
        if (!QFileInfo(info.absolutePath()).isWritable())
            return QStringLiteral("cannot save the screenshot in %1: the folder is not writable").arg(info.absolutePath());
    }
    std::string error;
    const auto productIDs = ovn::program::parseProductIDs(options.acceptProducts, &error);
    if (!productIDs) return qs(error);

    if (options.simulate) {
        const auto parsed = ovn::sim::parseSimulationText(*options.simulate);
        if (!parsed.ok()) return QStringLiteral("bad --simulate description: %1").arg(qs(parsed.error));
    }
    // Opened before any printer exists, so that every transfer is traced.
    if (options.traceUsb && !ovn::program::openUsbTrace(*options.traceUsb, &error)) return qs(error);

    QString usbProblem;
    if (options.simulate) {
        simulation_ = ovn::sim::installSimulation(*options.simulate, &error);
        if (!simulation_) {
            if (options.traceUsb) ovn::usb::UsbTrace::close();
            return qs(error);
        }
        // A simulated run never touches the user's settings.
        ovn::program::useMemoryUserDefaults();
    } else if (!ovn::program::installSystemUSB(&error)) {
        // The window still opens and says why it cannot find printers.
        usbProblem = qs(error);
        ovn::SysLog("%s", error.c_str());
    }
    ovn::SystemLog::setMirrorToStdErr(options.verbose);
    // The frames' hex dumps are diagnostics too: on standard error only with -v.
    QELMOR_Log::setShouldLogToStdErr(options.verbose);
    started_ = true;
    screenshot_ = options.screenshot;
    quitAfterFirstPaint_ = options.quitAfterFirstPaint;

    // The core's main queue runs inside Qt's event loop from now on.
    bridge_ = std::make_unique<MainQueueBridge>();
    ovn::AlertPresenter::setShared(std::make_shared<QtAlertPresenter>([this]() -> QWidget* { return window_.get(); }));
    ovn::setTerminationHandler([this] {
        if (window_)
            window_->requestQuit();
        else
            emit terminated();
    });

    runAsMainQueueBlock([&] {
        registry_ = ZVPrinters::create();
        registry_->addAcceptedProductIDs(*productIDs);
        if (simulation_) ovn::program::useSimulatedPrinterFactory(*registry_);
    });

    window_ = std::make_unique<MainWindow>(registry_, simulation_ != nullptr, [this] { emit terminated(); });
    if (auto icon = ovn::Bundle::pathForResource("OVN_PL_Series.png")) {
        const QIcon appIcon(qs(*icon));
        window_->setWindowIcon(appIcon);
        QApplication::setWindowIcon(appIcon);
    }
    if (!usbProblem.isEmpty()) window_->setUnavailableReason(usbProblem);

    // The registry's start: version strings, then discovery (printers already attached are listed on the next
    // turns of the main queue); then the launch is finished: version, window title, menus, table headers.
    ovn::update::UpdateJournal::openShared();
    runAsMainQueueBlock([&] { registry_->awakeFromNib(); });
    runAsMainQueueBlock([&] { registry_->applicationDidFinishLaunching(); });
    window_->retranslate();
    return {};
}

void Application::show() {
    if (!window_) return;
    if (quitAfterFirstPaint_) window_->tableView()->viewport()->installEventFilter(this);
    // The window fits the screen it opens on.
    if (QScreen* screen = window_->screen()) {
        const QSize room = screen->availableGeometry().size();
        window_->resize(window_->size().boundedTo(room));
    }
    window_->show();
    if (screenshot_) takeScreenshotWhenReady(*screenshot_, kScreenshotAttempts);
}

bool Application::eventFilter(QObject* watched, QEvent* event) {
    // The paint is under way when the filter sees it: quit on the next turn of the event loop, after it.
    if (quitAfterFirstPaint_ && event->type() == QEvent::Paint && window_ &&
        watched == window_->tableView()->viewport() && window_->model()->rowCount() > 0) {
        quitAfterFirstPaint_ = false;
        QTimer::singleShot(0, this, [this] { emit terminated(); });
    }
    return QObject::eventFilter(watched, event);
}

void Application::takeScreenshotWhenReady(const QString& path, int attemptsLeft) {
    using M = PrinterTableModel;
    bool ready = window_ && window_->model()->rowCount() > 0;
    if (ready && simulation_)
        ready = window_->model()->rowCount() == static_cast<int>(simulation_->printers->count());
    for (int r = 0; ready && r < window_->model()->rowCount(); ++r) {
        for (int column : {M::FirmwareColumn, M::OfferedFirmwareColumn, M::ColorTableChecksumColumn,
                           M::LifetimeCounterColumn, M::PrinterStatusColumn, M::USBStatusColumn})
            ready = ready && !window_->model()->index(r, column).data().toString().isEmpty();
    }
    if (!ready && attemptsLeft > 0) {
        QTimer::singleShot(kScreenshotPollMs, this, [this, path, attemptsLeft] {
            takeScreenshotWhenReady(path, attemptsLeft - 1);
        });
        return;
    }
    if (!ready) std::fprintf(stderr, "ovn-utility: the printers were not read in time; saving the window as it is\n");
    if (!saveScreenshot(window_.get(), path)) {
        std::fprintf(stderr, "ovn-utility: cannot write %s\n", path.toLocal8Bit().constData());
        exitStatus_ = 1;
    }
    window_->terminateOnSignal();
}

bool Application::saveScreenshot(QWidget* window, const QString& path) {
    if (!window) return false;
    return window->grab().save(path);
}

void Application::shutdown() {
    if (!started_ || shutDown_) return;
    shutDown_ = true;
    // Usually done by the Quit command already; a second run finds nothing left to do.
    if (registry_) runAsMainQueueBlock([this] { registry_->prepareForTermination(); });
    // The registry's last change of its list is queued on the main queue.
    ovn::MainRunLoop::drain();
    window_.reset();
    ovn::AlertPresenter::setShared(nullptr);
    ovn::setTerminationHandler(nullptr);
    bridge_.reset();
    registry_.reset();
    ovn::usb::UsbTrace::close();
}

namespace {

// --help and --version answer without a display.
bool asksForHelpOrVersion(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--") break;
        if (a == "-h" || a == "--help" || a == "--version" || a == "-help") return true;
    }
    return false;
}

}  // namespace

int runProgram(int argc, char** argv) {
    if (asksForHelpOrVersion(argc, argv)) {
        QCoreApplication core(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("ovn-utility"));
        QCoreApplication::setApplicationVersion(qs(ovn::Bundle::shortVersionString()));
        installTranslations(QLocale::system());
        const ParsedArguments parsed = parseArguments(QCoreApplication::arguments());
        int status = 0;
        if (!parsed.helpText.isEmpty()) {
            std::fputs(parsed.helpText.toLocal8Bit().constData(), stdout);
        } else if (!parsed.versionText.isEmpty()) {
            std::printf("%s\n", parsed.versionText.toLocal8Bit().constData());
        } else {
            std::fprintf(stderr, "ovn-utility: %s\n", parsed.error.toLocal8Bit().constData());
            status = 2;
        }
        removeTranslations();
        ovn::setTranslator(nullptr);
        return status;
    }
    QApplication qapp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("ovn-utility"));
    QApplication::setApplicationVersion(qs(ovn::Bundle::shortVersionString()));
    QApplication::setOrganizationName(QStringLiteral("OVN"));
    QGuiApplication::setDesktopFileName(QStringLiteral("ovn-utility"));
    ovn::SystemLog::setIdentity("ovn-utility");

    // The user's language (LC_ALL, LC_MESSAGES, LANG).
    installTranslations(QLocale::system());

    const ParsedArguments parsed = parseArguments(QApplication::arguments());
    if (!parsed.helpText.isEmpty()) {
        std::fputs(parsed.helpText.toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (!parsed.versionText.isEmpty()) {
        std::printf("%s\n", parsed.versionText.toLocal8Bit().constData());
        return 0;
    }
    if (!parsed.error.isEmpty()) {
        std::fprintf(stderr, "ovn-utility: %s\n", parsed.error.toLocal8Bit().constData());
        return 2;
    }

    int status = 0;
    {
        Application app;
        const QString error = app.start(parsed.options);
        if (!error.isEmpty()) {
            std::fprintf(stderr, "ovn-utility: %s\n", error.toLocal8Bit().constData());
            return 2;
        }
        QObject::connect(&app, &Application::terminated, &qapp, &QCoreApplication::quit, Qt::QueuedConnection);
        watchTerminationSignals(&app, [&app] {
            if (app.window())
                app.window()->terminateOnSignal();
            else
                emit app.terminated();
        });
        app.show();
        status = QApplication::exec();
        if (status == 0) status = app.exitStatus();
        app.shutdown();
    }
    removeTranslations();
    ovn::setTranslator(nullptr);
    return status;
}

}  // namespace ovn::app
