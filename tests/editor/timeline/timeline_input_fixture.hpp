#pragma once

#include <QCoreApplication>
#include <QMouseEvent>
#include <QWheelEvent>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "editor/beatloom_editor_ui_state.hpp"
#include "editor/timeline/beatloom_timeline_viewport.hpp"
#include "editor/timeline/timeline_pointer.hpp"
#include "session/session_fixture.hpp"

namespace corvel::editor::testing {

// A 1000 px timeline over the session's 20 s song at 120 BPM (a beat every 0.5 s), driven with
// the mouse events the screen would send.
class TimelineInputTest : public session::testing::SessionTest {
protected:
    TimelineInputTest() {
        loadResult({corvel::testing::tempoPoint(0, 120)});
        viewport_ = std::make_unique<BeatloomTimelineViewport>(model, model.previewPlayer(), ui);
        viewport_->resize(1000, viewport_->height());
        model.viewportState.set({0, 4, 1000});  // 250 px per second
    }

    BeatloomTimelineViewport& viewport() { return *viewport_; }
    TimelinePointerInput& input() { return viewport_->pointerInput(); }
    double waveformY() const { return viewport_->geometry().waveformTop() + 100; }
    double markerLaneY() const { return viewport_->geometry().rulerHeight + 20; }

    void mouse(QEvent::Type type, QPointF at, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        const Qt::MouseButton button = type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton;
        const Qt::MouseButtons buttons = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
        QMouseEvent event(type, at, viewport_->mapToGlobal(at), button, buttons, modifiers);
        QCoreApplication::sendEvent(viewport_.get(), &event);
    }
    void press(QPointF at, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        mouse(QEvent::MouseButtonPress, at, modifiers);
    }
    void moveTo(QPointF at, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        mouse(QEvent::MouseMove, at, modifiers);
    }
    void release(QPointF at) { mouse(QEvent::MouseButtonRelease, at); }
    void drag(QPointF from, const std::vector<QPointF>& path, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        press(from, modifiers);
        for (const auto& at : path) moveTo(at, modifiers);
        release(path.empty() ? from : path.back());
    }
    bool wheel(QPoint angle, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QWheelEvent event(QPointF(500, 300), viewport_->mapToGlobal(QPointF(500, 300)), QPoint(), angle, Qt::NoButton,
                          modifiers, Qt::NoScrollPhase, false);
        event.setAccepted(false);
        QCoreApplication::sendEvent(viewport_.get(), &event);
        return event.isAccepted();
    }

    std::vector<std::string> undoNames() const {
        std::vector<std::string> names;
        for (const auto& entry : model.editHistory().undoEntries()) names.push_back(entry.actionName);
        return names;
    }

    BeatloomEditorUIState ui;
    std::unique_ptr<BeatloomTimelineViewport> viewport_;
};

}  // namespace corvel::editor::testing
