#pragma once

#include <QLabel>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <array>
#include <functional>

#include "app/app_model.hpp"

namespace corvel::theme {
class OrvantaNavigationButton;
}

namespace corvel::app {

// Where the section bar's link leads. The maker's site, under a placeholder address until
// the real one is settled.
inline constexpr const char* kWebSiteURL = "https://orvanta.example";
inline constexpr const char* kWebSiteLabel = "orvanta.example";

// The bar across the top of the window: brand, the three section buttons and the web link.
// It shows the wide row when its ideal width fits and otherwise the compact row, which
// leaves out the edition word "Corvel" and the link.
class SectionBar : public QWidget {
    Q_OBJECT

public:
    explicit SectionBar(std::function<void(AppModel::Section)> select, QWidget* parent = nullptr);

    void setSelectedSection(AppModel::Section section);
    theme::OrvantaNavigationButton* button(AppModel::Section section) const;
    const std::array<theme::OrvantaNavigationButton*, 3>& buttons() const { return buttons_; }
    QLabel* brandWord() const { return brandWord_; }
    QLabel* editionWord() const { return editionWord_; }
    QWidget* webLink() const { return webLink_; }

    bool showsWideRow() const { return wide_; }
    int idealWidth(bool wideRow) const;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void chooseRow();

    std::array<theme::OrvantaNavigationButton*, 3> buttons_{};
    QWidget* badge_ = nullptr;
    QWidget* brand_ = nullptr;
    QLabel* brandWord_ = nullptr;
    QLabel* editionWord_ = nullptr;
    QWidget* divider_ = nullptr;
    QWidget* webLink_ = nullptr;
    bool wide_ = true;
};

// The window's whole content: the themed background, the section bar, a divider and the
// selected section's screen. A section's screen is built when the section is selected and
// discarded when another one is; only the application model outlives it.
class RootView : public QWidget {
    Q_OBJECT

public:
    explicit RootView(AppModel& appModel, QWidget* parent = nullptr);

    AppModel& appModel() const { return appModel_; }
    SectionBar* sectionBar() const { return sectionBar_; }
    QWidget* sectionContent() const { return content_; }

    void selectSection(AppModel::Section section);
    // After every change of the section: leaving for any section but the tempo editor stops
    // the tempo editor's preview.
    void sectionChanged(AppModel::Section section);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void showSectionContent(AppModel::Section section);

    AppModel& appModel_;
    SectionBar* sectionBar_ = nullptr;
    QWidget* contentHost_ = nullptr;
    QPointer<QWidget> content_;
};

}  // namespace corvel::app
