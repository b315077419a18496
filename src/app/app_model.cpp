#include "app/app_model.hpp"

#include "app/main_thread.hpp"

namespace corvel::app {

AppModel::AppModel(QObject* parent) : QObject(parent) { requireMainThread(); }

void AppModel::setSelectedSection(Section section) {
    requireMainThread();
    if (section == selectedSection_) return;
    selectedSection_ = section;
    emit selectedSectionChanged(section);
}

}  // namespace corvel::app
