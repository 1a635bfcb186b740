// What the core asks of whoever shows alerts to the user: the desktop program shows sheets and modal alerts,
// the command-line program asks on the terminal, tests answer as a script says.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ovn {

class Observable;

// The first button answers 1000, the second 1001, and so on.
constexpr long kAlertFirstButtonReturn = 1000;
constexpr long kAlertSecondButtonReturn = 1001;
constexpr long kAlertThirdButtonReturn = 1002;

enum class AlertStyle { Warning = 0, Informational = 1, Critical = 2 };
enum class AlertModality { Sheet, Application };

struct AlertRequest {
    std::string title;                 // the alert's message text
    std::string message;               // the informative text
    std::vector<std::string> buttons;  // in order; empty means a single "OK"
    AlertStyle style = AlertStyle::Warning;
    AlertModality modality = AlertModality::Sheet;
    std::string iconPath;  // the printer's picture, may be empty

    // An optional checkbox under the text (the update warning's "I Agree").
    struct Checkbox {
        std::string title;
        bool initiallyChecked = false;
        std::function<void(bool checked)> toggled;  // main thread
    };
    std::optional<Checkbox> checkbox;

    // When set, the second button is enabled exactly while this boolean key of the object reads true; the
    // presenter observes the key for as long as the alert is shown. The object outlives the alert.
    std::shared_ptr<Observable> enableSecondButtonObject;
    std::string enableSecondButtonKeyPath;

    // A short name of the printer the alert is about (for terminals and logs).
    std::string subject;
};

class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    // Called on the main thread. The completion is called once, on the main thread, with the response number.
    virtual void present(const AlertRequest& request, std::function<void(long response)> completion) = 0;

    // The process's presenter; nothing until a program or test installs one.
    static std::shared_ptr<AlertPresenter> shared();
    static void setShared(std::shared_ptr<AlertPresenter> presenter);
};

// Every alert is also one diagnostic line, "alert: TITLE | MESSAGE | BUTTON, BUTTON" (line feeds of the texts
// shown as blanks), written to the system log (and standard error with -v).
std::string alertLogLine(const AlertRequest& request);
void logAlert(const AlertRequest& request);

// Logs the alert and hands it to the process's presenter (a line saying so when there is none). Main thread.
void presentAlert(const AlertRequest& request, std::function<void(long response)> completion);

// What "terminate the application" does (the update warning's "Quit"): the desktop program quits its event
// loop, the command-line program ends with a failure status. Called on the main thread.
void setTerminationHandler(std::function<void()> handler);
void requestApplicationTermination();

}  // namespace ovn
