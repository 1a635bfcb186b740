#include "GuiPoster.h"

#include <QMetaObject>

#include "platform/DispatchQueue.h"

namespace ovn::app {

GuiPoster::GuiPoster(QObject* target) : shared_(std::make_shared<Shared>()) { shared_->target = target; }

GuiPoster::~GuiPoster() {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    shared_->target = nullptr;
}

void GuiPoster::post(const Handle& handle, std::function<void()> fn) {
    if (!handle || !fn) return;
    std::lock_guard<std::mutex> lock(handle->mutex);
    if (!handle->target) return;
    QMetaObject::invokeMethod(handle->target, std::move(fn), Qt::QueuedConnection);
}

void runAsMainQueueBlock(const std::function<void()>& fn) {
    if (!fn) return;
    // On the first thread outside a block, sync() runs the block at once as a main-queue block; inside one it
    // runs at once as well. The GUI thread is the first thread, so this never waits.
    DispatchQueue::main()->sync(fn);
}

}  // namespace ovn::app
