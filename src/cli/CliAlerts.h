// How ovnctl answers the alerts that the printer objects present.
//
//   Interactive  (update-firmware without --yes) asks on the terminal: the alert goes to standard error, the
//                answer is read from standard input (a button number or title; "y" checks an "I Agree"
//                checkbox). At the end of input the cautious answer is taken: "Cancel" when offered, else the
//                first button.
//   AssumeYes    (update-firmware --yes) checks "I Agree", continues and confirms; never answers "Quit";
//                answers "Proceed" to a busy or not-ready printer again and again (a second apart) until
//                --timeout has passed since the first such alert, then "Cancel".
//   Notices      (every other command, and update-firmware until it starts the workflow) shows the alert on
//                standard error and answers the first button, which never starts anything ("Ignore", "OK").
//
// Every alert is also handed to the command (onShown), which decides what it means for the exit status.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "cli/CliSession.h"
#include "platform/Alerts.h"

namespace ovnctl {

class CliAlertPresenter : public ovn::AlertPresenter, public std::enable_shared_from_this<CliAlertPresenter> {
public:
    enum class Mode { Interactive, AssumeYes, Notices };

    CliAlertPresenter(Session& session, Mode mode);
    void present(const ovn::AlertRequest& request, std::function<void(long response)> completion) override;
    // Main thread. The update command answers alerts as notices until it starts the workflow itself.
    void setMode(Mode mode) { mode_ = mode; }

    // Main thread. Called when an alert is shown; answering false withholds the answer (the command ends).
    std::function<bool(const ovn::AlertRequest& request)> onShown;
    // Main thread, after the answer is chosen and before the alert's completion runs.
    std::function<void(const ovn::AlertRequest& request, const std::string& button)> onAnswered;

    // The title of a response number, "" when out of range ("OK" for an alert without buttons).
    static std::string buttonTitle(const ovn::AlertRequest& request, long response);

private:
    struct Pending {
        ovn::AlertRequest request;
        std::function<void(long)> completion;
    };
    void showNext();
    void answerAutomatically(const Pending& pending);
    void askOnTerminal(const Pending& pending);
    void handleLine(const Pending& pending, std::optional<std::string> line, bool askingAgreement);
    void deliver(const Pending& pending, long response);
    bool secondButtonEnabled(const ovn::AlertRequest& request) const;

    Session& session_;
    Mode mode_;
    std::deque<Pending> queue_;
    bool busy_ = false;
    std::optional<std::chrono::steady_clock::time_point> firstRetry_;
};

// Writes an alert's texts to standard error (a JSON object with --json).
void describeAlert(const Session& session, const ovn::AlertRequest& request);

}  // namespace ovnctl
