#include "app/app_model.hpp"

#include <vector>

#include <gtest/gtest.h>

#include "app/orvanta_voduve_corvel_app.hpp"

namespace corvel::app {
namespace {

using Section = AppModel::Section;

TEST(AppModelTest, StartsOnSetupAndTellsObserversOnlyOfRealChangesAfterTheyHappen) {
    const auto model = OrvantaVoduveCorvelApp::makeAppModel();
    EXPECT_EQ(model->selectedSection(), Section::setup);

    std::vector<Section> told;
    QObject::connect(model.get(), &AppModel::selectedSectionChanged, [&](Section section) {
        EXPECT_EQ(model->selectedSection(), section);  // already changed when observers hear of it
        told.push_back(section);
    });
    model->setSelectedSection(Section::setup);
    model->setSelectedSection(Section::beatloom);
    model->setSelectedSection(Section::beatloom);
    model->setSelectedSection(Section::diagnostics);
    EXPECT_EQ(told, (std::vector<Section>{Section::beatloom, Section::diagnostics}));
    EXPECT_EQ(model->selectedSection(), Section::diagnostics);
}

}  // namespace
}  // namespace corvel::app
