#include "app/qt_background_runner.hpp"

#include <QThreadPool>

namespace corvel::app {

QtBackgroundRunner::QtBackgroundRunner() : pool_(std::make_unique<QThreadPool>()) {}

QtBackgroundRunner::~QtBackgroundRunner() { pool_->waitForDone(); }

void QtBackgroundRunner::run(Job job) { pool_->start(std::move(job)); }

}  // namespace corvel::app
