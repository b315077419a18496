#pragma once

#include <QObject>

#include <functional>
#include <vector>

#include "common/observable.hpp"

// Hands the published changes of the logic models to a Qt view: however many values change
// before the event loop next runs, the view hears once. Each change may also run a cheap
// reaction of its own right away (marking a cache stale, say). Main thread only; the watched
// values may be destroyed before the bridge.

namespace corvel::editor {

class PublishedRepaintBridge final : public QObject {
public:
    explicit PublishedRepaintBridge(std::function<void()> flush, QObject* parent = nullptr);
    ~PublishedRepaintBridge() override;

    template <typename T>
    void watch(const Published<T>& value, std::function<void()> onChange = {}) {
        subscriptions_.push_back(value.subscribe([this, onChange = std::move(onChange)](const T&) {
            if (onChange) onChange();
            schedule();
        }));
    }

    // Asks for one flush at the next turn of the event loop, unless one is already on its way.
    void schedule();
    bool isPending() const { return pending_; }
    // How many flushes ran: what a view did in answer to the changes.
    int flushCount() const { return flushCount_; }

private:
    std::function<void()> flush_;
    std::vector<Subscription> subscriptions_;
    bool pending_ = false;
    int flushCount_ = 0;
};

}  // namespace corvel::editor
