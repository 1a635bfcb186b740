// Steps of a firmware update that must not be cut short: the image write (from FLASH_PROGRAM until the
// transfer has returned) and the colour-table step. A program that is asked to stop while one runs holds the
// request until the step ends, then stops.
//
// The workflow brackets each such step with beginCriticalUpdateStep / endCriticalUpdateStep (any thread).
// A program asks criticalUpdateStepsRunning() and sets a handler that runs on the main queue each time the
// last running step has ended.
#pragma once

#include <functional>
#include <string>

namespace ovn::update {

// What the step is, in words for the user ("writing the firmware image", "writing the colour tables").
void beginCriticalUpdateStep(const std::string& what);
void endCriticalUpdateStep();

// How many steps are running now, and the words of the latest one begun ("" when none runs).
int criticalUpdateStepsRunning();
std::string currentCriticalUpdateStep();

// Runs on the main queue whenever the count drops to zero. One handler; an empty function removes it.
void setCriticalUpdateStepsEndedHandler(std::function<void()> handler);

// RAII bracket.
class CriticalUpdateStep {
public:
    explicit CriticalUpdateStep(const std::string& what) { beginCriticalUpdateStep(what); }
    ~CriticalUpdateStep() { endCriticalUpdateStep(); }
    CriticalUpdateStep(const CriticalUpdateStep&) = delete;
    CriticalUpdateStep& operator=(const CriticalUpdateStep&) = delete;
};

}  // namespace ovn::update
