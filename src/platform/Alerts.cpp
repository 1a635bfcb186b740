#include "platform/Alerts.h"

#include <mutex>

#include "platform/SystemLog.h"

namespace ovn {

namespace {
std::mutex gAlertsMutex;
std::shared_ptr<AlertPresenter> gPresenter;
std::function<void()> gTerminate;
}  // namespace

std::shared_ptr<AlertPresenter> AlertPresenter::shared() {
    std::lock_guard<std::mutex> lock(gAlertsMutex);
    return gPresenter;
}

void AlertPresenter::setShared(std::shared_ptr<AlertPresenter> presenter) {
    std::lock_guard<std::mutex> lock(gAlertsMutex);
    gPresenter = std::move(presenter);
}

std::string alertLogLine(const AlertRequest& request) {
    auto flat = [](std::string text) {
        for (char& c : text)
            if (c == '\n' || c == '\r' || c == '\t') c = ' ';
        // Runs of blanks left by paragraph breaks read as one.
        std::string out;
        for (char c : text)
            if (!(c == ' ' && !out.empty() && out.back() == ' ')) out += c;
        while (!out.empty() && out.back() == ' ') out.pop_back();
        return out;
    };
    std::string buttons;
    const std::vector<std::string> titles = request.buttons.empty() ? std::vector<std::string>{"OK"} : request.buttons;
    for (const std::string& b : titles) buttons += (buttons.empty() ? "" : ", ") + flat(b);
    return "alert: " + flat(request.title) + " | " + flat(request.message) + " | " + buttons;
}

void logAlert(const AlertRequest& request) { SysLog("%s", alertLogLine(request).c_str()); }

void presentAlert(const AlertRequest& request, std::function<void(long response)> completion) {
    logAlert(request);
    auto presenter = AlertPresenter::shared();
    if (!presenter) {
        SysLog("no alert presenter for \"%s\"", request.title.c_str());
        return;
    }
    presenter->present(request, std::move(completion));
}

void setTerminationHandler(std::function<void()> handler) {
    std::lock_guard<std::mutex> lock(gAlertsMutex);
    gTerminate = std::move(handler);
}

void requestApplicationTermination() {
    std::function<void()> handler;
    {
        std::lock_guard<std::mutex> lock(gAlertsMutex);
        handler = gTerminate;
    }
    if (handler)
        handler();
    else
        SysLog("termination requested, but no handler is installed");
}

}  // namespace ovn
