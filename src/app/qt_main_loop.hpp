#pragma once

#include <memory>
#include <unordered_map>

#include "platform/main_loop.hpp"

class QObject;
class QTimer;

namespace corvel::app {

// The main loop on Qt's event loop: posted tasks are queued events, timers are QTimers.
// Create and destroy it on the main thread; tasks still queued when it goes are dropped.
class QtMainLoop final : public platform::MainLoop {
public:
    QtMainLoop();
    ~QtMainLoop() override;
    QtMainLoop(const QtMainLoop&) = delete;
    QtMainLoop& operator=(const QtMainLoop&) = delete;

    void post(Task task) override;
    TimerId startRepeatingTimer(Duration interval, Tick tick) override;
    TimerId startOneShotTimer(Duration delay, Task fire) override;
    void cancelTimer(TimerId timer) override;

private:
    QTimer* makeTimer(Duration interval, bool singleShot);
    void forget(TimerId timer);

    // Lives on the main thread; posted tasks and timers hang off it, so they end with it.
    std::unique_ptr<QObject> context_;
    std::unordered_map<TimerId, QTimer*> timers_;
    TimerId lastTimer_ = 0;
};

}  // namespace corvel::app
