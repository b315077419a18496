#pragma once

#include <QObject>

#include <functional>

namespace corvel::app {

// The one model the whole run shares: which section the window shows, and the long-lived
// objects of the tempo editor, so that a loaded song survives visits to other sections.
// Main thread only.
class AppModel : public QObject {
    Q_OBJECT

public:
    enum class Section { setup, beatloom, diagnostics };
    Q_ENUM(Section)

    explicit AppModel(QObject* parent = nullptr);

    Section selectedSection() const { return selectedSection_; }
    // Tells observers after a change; setting the section already selected changes nothing.
    void setSelectedSection(Section section);

    // The tempo editor's session and its view state join the model here, created once with
    // the model and never replaced. Until they exist, leaving the tempo editor asks for the
    // preview stop through this hook; the session will stop a running click preview and leave
    // the locator where playback had reached. Empty: nothing to stop.
    std::function<void()> stopBeatloomPreview;

signals:
    void selectedSectionChanged(corvel::app::AppModel::Section section);

private:
    Section selectedSection_ = Section::setup;
};

}  // namespace corvel::app
