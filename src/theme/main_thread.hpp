#pragma once

#include <QCoreApplication>
#include <QThread>

namespace corvel::theme {

// Views and the application model are built and changed on the main thread only; anything
// else is a programming error that stops the program here rather than corrupting the views.
inline void requireMainThread() {
    const QCoreApplication* application = QCoreApplication::instance();
    if (application == nullptr || QThread::currentThread() != application->thread()) {
        qFatal("Orvanta VODUVE Corvel: a view was built or changed off the main thread");
    }
}

}  // namespace corvel::theme
