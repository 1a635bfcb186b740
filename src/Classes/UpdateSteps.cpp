#include "Classes/UpdateSteps.h"

#include <mutex>

#include "platform/DispatchQueue.h"

namespace ovn::update {

namespace {
std::mutex gMutex;
int gRunning = 0;
std::string gCurrent;
std::function<void()> gHandler;
}  // namespace

void beginCriticalUpdateStep(const std::string& what) {
    std::lock_guard lock(gMutex);
    ++gRunning;
    gCurrent = what;
}

void endCriticalUpdateStep() {
    std::function<void()> handler;
    {
        std::lock_guard lock(gMutex);
        if (gRunning > 0) --gRunning;
        if (gRunning > 0) return;
        gCurrent.clear();
        handler = gHandler;
    }
    if (handler) DispatchQueue::main()->async(handler);
}

int criticalUpdateStepsRunning() {
    std::lock_guard lock(gMutex);
    return gRunning;
}

std::string currentCriticalUpdateStep() {
    std::lock_guard lock(gMutex);
    return gCurrent;
}

void setCriticalUpdateStepsEndedHandler(std::function<void()> handler) {
    std::lock_guard lock(gMutex);
    gHandler = std::move(handler);
}

}  // namespace ovn::update
