// Start-up and termination of the desktop program, on Qt's application object.
//
// Start-up, in order: the options are checked (nothing reaches a printer before all of them are understood);
// the USB provider is installed (the emulated printers of --simulate on a virtual bus, or the system's USB);
// the USB trace is opened; the core's main queue is bridged into Qt's event loop; alerts, the termination
// request and the core's localisable texts are routed to Qt; the registry is created with the accepted product
// IDs; the window is built; then the registry publishes its version strings and starts discovery, and the
// window, menus and table headers appear in the user's language.
//
// Termination: quitting (the Quit command, closing the window, the update warning's "Quit") ends the program
// at once, unless a printer is in the middle of a firmware update, when the user is asked first. The
// registry then tears discovery down and empties its list.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Classes/ZVPrinters.h"
#include "MainQueueBridge.h"
#include "MainWindow.h"
#include "sim/SimulationSetup.h"

namespace ovn::app {

struct LaunchOptions {
    std::optional<std::string> simulate;      // --simulate LIST
    std::vector<std::string> acceptProducts;  // --accept-product PID, repeatable
    std::optional<std::string> traceUsb;      // --trace-usb FILE
    std::optional<QString> screenshot;        // --screenshot FILE
    bool verbose = false;                     // -v: log lines also on standard error
    bool quitAfterFirstPaint = false;         // --quit-after-first-paint: start-up measurement
};

struct ParsedArguments {
    LaunchOptions options;
    QString error;        // set when the arguments are wrong
    QString helpText;     // set when --help was asked for
    QString versionText;  // set when --version was asked for
};

// Parses the program's arguments (the first one is the program's name).
ParsedArguments parseArguments(const QStringList& arguments);

class Application : public QObject {
    Q_OBJECT
public:
    explicit Application(QObject* parent = nullptr);
    ~Application() override;

    // Everything that can fail before the window appears. Answers an error text (the program must not start)
    // or an empty text.
    QString start(const LaunchOptions& options);
    // Shows the window (and, with --screenshot, saves it once the printers have been read, then quits).
    void show();
    // Ends the program's use of the core: the registry's termination, the queues' last blocks, the routes into
    // Qt. Called after the event loop has ended (and by the destructor).
    void shutdown();

    MainWindow* window() const { return window_.get(); }
    const std::shared_ptr<ZVPrinters>& registry() const { return registry_; }
    const std::shared_ptr<ovn::sim::SimulationSetup>& simulation() const { return simulation_; }

    // What the program answers at its end (1 when the screenshot could not be saved).
    int exitStatus() const { return exitStatus_; }

    // The window as it looks now, saved as an image file.
    static bool saveScreenshot(QWidget* window, const QString& path);

signals:
    // The program is to end (the event loop's quit is connected to it by main).
    void terminated();

private:
    void takeScreenshotWhenReady(const QString& path, int attemptsLeft);
    bool eventFilter(QObject* watched, QEvent* event) override;

    std::unique_ptr<MainQueueBridge> bridge_;
    std::shared_ptr<ovn::sim::SimulationSetup> simulation_;
    std::shared_ptr<ZVPrinters> registry_;
    std::unique_ptr<MainWindow> window_;
    std::optional<QString> screenshot_;
    bool quitAfterFirstPaint_ = false;
    int exitStatus_ = 0;
    bool started_ = false;
    bool shutDown_ = false;
};

// The program: Qt's application object must exist. Answers the exit status.
int runProgram(int argc, char** argv);

}  // namespace ovn::app
