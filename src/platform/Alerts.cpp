#include "platform/Alerts.h"

#include <mutex>

#include "platform/SystemLog.h"

namespace ovn {

namespace {
std::mutex gMutex;
std::shared_ptr<AlertPresenter> gPresenter;
std::function<void()> gTerminate;
}  // namespace

std::shared_ptr<AlertPresenter> AlertPresenter::shared() {
    std::lock_guard<std::mutex> lock(gMutex);
    return gPresenter;
}

void AlertPresenter::setShared(std::shared_ptr<AlertPresenter> presenter) {
    std::lock_guard<std::mutex> lock(gMutex);
    gPresenter = std::move(presenter);
}

void setTerminationHandler(std::function<void()> handler) {
    std::lock_guard<std::mutex> lock(gMutex);
    gTerminate = std::move(handler);
}

void requestApplicationTermination() {
    std::function<void()> handler;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        handler = gTerminate;
    }
    if (handler)
        handler();
    else
        SysLog("termination requested, but no handler is installed");
}

}  // namespace ovn
