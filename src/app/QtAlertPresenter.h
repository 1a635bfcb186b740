// Shows the core's alerts with Qt: workflow alerts as window-modal sheets on the main window, the two notices
// application-modal; both with the printer's picture as icon. Nothing here waits: every alert is opened with
// QMessageBox::open() and answers through its completion when the user presses a button.
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QWidget>

#include <functional>

#include "platform/Alerts.h"

namespace ovn::app {

class QtAlertPresenter : public ovn::AlertPresenter {
public:
    // `window` answers the window that sheets attach to (nothing: the alert has no parent).
    explicit QtAlertPresenter(std::function<QWidget*()> window);

    // Main thread. Buttons in the order given ("OK" when none); the first is the default button (Return);
    // a button titled "Cancel" answers Escape. The completion receives 1000 + the index of the button pressed.
    void present(const ovn::AlertRequest& request, std::function<void(long response)> completion) override;

    // Builds the message box of a request without showing it (the window's own questions use it too).
    static QMessageBox* createMessageBox(const ovn::AlertRequest& request, QWidget* parent);

    // The object name every alert box carries, so that it can be found among the top-level widgets.
    static constexpr const char* kObjectName = "ovnAlert";

private:
    std::function<QWidget*()> window_;
};

}  // namespace ovn::app
