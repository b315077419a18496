#include "editor/published_repaint_bridge.hpp"

#include <QMetaObject>

namespace corvel::editor {

PublishedRepaintBridge::PublishedRepaintBridge(std::function<void()> flush, QObject* parent)
    : QObject(parent), flush_(std::move(flush)) {}

// The subscriptions end before the flush they would call is gone.
PublishedRepaintBridge::~PublishedRepaintBridge() { subscriptions_.clear(); }

void PublishedRepaintBridge::schedule() {
    if (pending_) return;
    pending_ = true;
    // Queued with this object as context: a bridge destroyed meanwhile drops the call.
    QMetaObject::invokeMethod(
        this,
        [this] {
            pending_ = false;
            ++flushCount_;
            if (flush_) flush_();
        },
        Qt::QueuedConnection);
}

}  // namespace corvel::editor
