// Hands work to a QObject's thread from any thread: the core tells its observers on whatever thread made a
// change (the main queue or a printer's command queue), while widgets may only be touched on the GUI thread.
//
// A poster outlives nothing: callbacks hold its Handle, and once the poster is destroyed (with its target),
// posting through the handle does nothing. Posting and detaching take the same lock, so a post never reaches
// a target that is being destroyed; Qt drops events still pending for a deleted object.
#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <mutex>

namespace ovn::app {

class GuiPoster {
public:
    struct Shared {
        std::mutex mutex;
        QObject* target = nullptr;
    };
    using Handle = std::shared_ptr<Shared>;

    explicit GuiPoster(QObject* target);
    ~GuiPoster();
    GuiPoster(const GuiPoster&) = delete;
    GuiPoster& operator=(const GuiPoster&) = delete;

    const Handle& handle() const { return shared_; }

    // Queues the function on the target's thread (always queued, also when called there).
    void post(std::function<void()> fn) const { post(shared_, std::move(fn)); }
    static void post(const Handle& handle, std::function<void()> fn);

private:
    Handle shared_;
};

// Runs a function as a main-queue block of the core: at once when the caller already runs one, otherwise on
// the GUI thread (the process's first thread, which drains the main queue) inside the main queue's scope. GUI
// event handlers use it before they call into the core, so that the core sees its main queue running.
void runAsMainQueueBlock(const std::function<void()>& fn);

}  // namespace ovn::app
