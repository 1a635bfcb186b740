#include "MainQueueBridge.h"

#include "platform/DispatchQueue.h"

namespace ovn::app {

MainQueueBridge::MainQueueBridge(QObject* parent)
    : QObject(parent), poster_(this), pending_(std::make_shared<Pending>()) {
    auto handle = poster_.handle();
    auto pending = pending_;
    auto* self = this;
    // Called on any thread, possibly many times in a row: one posted drain serves them all.
    MainRunLoop::setWakeupHook([handle, pending, self] {
        if (pending->posted.exchange(true)) return;
        GuiPoster::post(handle, [self] { self->drainNow(); });
    });
    // Whatever was queued before the hook existed.
    pending_->posted.store(true);
    poster_.post([self] { self->drainNow(); });
}

MainQueueBridge::~MainQueueBridge() { MainRunLoop::setWakeupHook(nullptr); }

void MainQueueBridge::drainNow() {
    // Cleared before draining: a block queued while the drain runs posts a new drain.
    pending_->posted.store(false);
    MainRunLoop::drain();
}

}  // namespace ovn::app
