#include "app/qt_main_loop.hpp"

#include <QMetaObject>
#include <QObject>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <climits>

namespace corvel::app {
namespace {

// Qt timers count whole milliseconds in an int; a fraction rounds to the nearest one.
int timerMilliseconds(platform::MainLoop::Duration duration) {
    if (duration <= platform::MainLoop::Duration::zero()) return 0;
    const auto ms = std::chrono::round<std::chrono::milliseconds>(duration).count();
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

}  // namespace

QtMainLoop::QtMainLoop() : context_(std::make_unique<QObject>()) {}

QtMainLoop::~QtMainLoop() = default;

void QtMainLoop::post(Task task) {
    QMetaObject::invokeMethod(context_.get(), std::move(task), Qt::QueuedConnection);
}

QTimer* QtMainLoop::makeTimer(Duration interval, bool singleShot) {
    auto* timer = new QTimer(context_.get());
    timer->setTimerType(Qt::PreciseTimer);
    timer->setSingleShot(singleShot);
    timer->setInterval(timerMilliseconds(interval));
    return timer;
}

QtMainLoop::TimerId QtMainLoop::startRepeatingTimer(Duration interval, Tick tick) {
    const TimerId id = ++lastTimer_;
    QTimer* timer = makeTimer(interval, false);
    QObject::connect(timer, &QTimer::timeout, timer, [this, id, tick = std::move(tick)]() {
        if (!tick()) cancelTimer(id);
    });
    timers_.emplace(id, timer);
    timer->start();
    return id;
}

QtMainLoop::TimerId QtMainLoop::startOneShotTimer(Duration delay, Task fire) {
    const TimerId id = ++lastTimer_;
    QTimer* timer = makeTimer(delay, true);
    QObject::connect(timer, &QTimer::timeout, timer, [this, id, fire = std::move(fire)]() {
        // Forgotten first, so that cancelling it from inside the task does nothing.
        Task task = fire;
        forget(id);
        task();
    });
    timers_.emplace(id, timer);
    timer->start();
    return id;
}

void QtMainLoop::cancelTimer(TimerId timer) { forget(timer); }

void QtMainLoop::forget(TimerId id) {
    const auto found = timers_.find(id);
    if (found == timers_.end()) return;
    QTimer* timer = found->second;
    timers_.erase(found);
    timer->stop();
    // The timer may be the one whose signal is running right now.
    timer->deleteLater();
}

}  // namespace corvel::app
