// Runs the core's main queue inside Qt's event loop: whenever a block becomes ready on the main queue, one
// queued call is posted to the GUI thread, and that call drains the queue there. The GUI thread therefore is
// the core's main thread, and it never waits for anything: blocks that a printer's command queue runs on the
// main queue (and waits for) are run by the next turn of the event loop, also inside nested loops.
#pragma once

#include <QObject>

#include <atomic>
#include <memory>

#include "GuiPoster.h"

namespace ovn::app {

class MainQueueBridge : public QObject {
    Q_OBJECT
public:
    // Installs the wake-up hook; blocks already queued are drained on the first turn of the event loop.
    explicit MainQueueBridge(QObject* parent = nullptr);
    // Removes the hook.
    ~MainQueueBridge() override;

    // Runs the ready main-queue blocks now (GUI thread).
    void drainNow();

private:
    struct Pending {
        std::atomic<bool> posted{false};
    };
    GuiPoster poster_;
    std::shared_ptr<Pending> pending_;
};

}  // namespace ovn::app
