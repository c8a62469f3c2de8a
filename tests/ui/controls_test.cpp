// The camera menu, the style control and the virtual camera panel.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "app/ui/camera_menu.h"
#include "app/ui/style_control.h"
#include "app/ui/virtual_camera_panel.h"
#include "media/observable_testing.h"
#include "tests/ui/ui_harness.h"

namespace orlenta {
namespace {

CaptureDevice camera(std::string id, std::string name) {
    CaptureDevice device;
    device.uniqueID = std::move(id);
    device.localizedName = std::move(name);
    return device;
}

TEST(CameraMenu, ItemsChecksPlaceholderAndChoice) {
    test::application();
    // Two cameras of one name stay two items; only the selected one is checked; an item chooses
    // its camera by identifier. With no cameras, one disabled placeholder.
    std::string chosen;
    auto record = [&](const std::string& id) { chosen = id; };
    QMenu* menu =
        CameraMenu::build({camera("usb:1", "Webcam"), camera("usb:2", "Webcam")}, "usb:2", record);
    ASSERT_EQ(menu->actions().size(), 2);
    EXPECT_EQ(menu->actions()[0]->text(), QStringLiteral("Webcam"));
    EXPECT_FALSE(menu->actions()[0]->isChecked());
    EXPECT_TRUE(menu->actions()[1]->isChecked());
    menu->actions()[0]->trigger();
    EXPECT_EQ(chosen, "usb:1");
    QMenu* empty = CameraMenu::popUp({}, "", record, QPoint(20, 20));
    ASSERT_EQ(empty->actions().size(), 1);
    EXPECT_FALSE(empty->actions()[0]->isEnabled());
    CameraMenu::releaseCurrent();
}

TEST(StyleControl, OneCallPerChoiceOfTheUserOnly) {
    test::application();
    StyleControl control;
    std::vector<CoverStyle> calls;
    control.setOnChange([&](CoverStyle style) { calls.push_back(style); });
    EXPECT_EQ(control.selectedStyle(), CoverStyle::blur);
    control.setStyle(CoverStyle::box);
    EXPECT_TRUE(control.segment(2)->isChecked());
    EXPECT_TRUE(calls.empty());
    control.show();
    QTest::mouseClick(control.segment(1), Qt::LeftButton);
    EXPECT_EQ(calls, std::vector<CoverStyle>{CoverStyle::pixelate});
    EXPECT_EQ(control.selectedStyle(), CoverStyle::pixelate);
    EXPECT_FALSE(control.segment(2)->isChecked());
}

TEST(VirtualCameraPanel, RulesInPriorityOrder) {
    test::UiHarness h;
    bool quit = false;
    VirtualCameraPanel panel(*h.pipeline, *h.installer, [&] { quit = true; });
    panel.show();
    EXPECT_EQ(panel.rule(), PanelRule::install);
    EXPECT_FALSE(panel.messageLabel()->isVisibleTo(&panel));

    QTest::mouseClick(panel.actionButton(), Qt::LeftButton);
    EXPECT_EQ(h.installer->message.get(), "Installing\u2026");
    EXPECT_TRUE(panel.messageLabel()->isVisibleTo(&panel));
    EXPECT_EQ(panel.messageLabel()->text(), QStringLiteral("Installing\u2026"));
    auto activation = h.service->lastRequest(ExtensionRequest::Kind::activation);
    ASSERT_NE(activation, nullptr);

    // While the desktop asks for the administrator's password: no button, a busy indicator. The
    // missing-module line shows under any rule.
    MemoryExtensionService::answerNeedsUserApproval(activation);
    h.main.runPending();
    EXPECT_EQ(panel.rule(), PanelRule::approval);
    EXPECT_TRUE(panel.busyIndicator()->isVisibleTo(&panel));
    EXPECT_FALSE(panel.actionButton()->isVisibleTo(&panel));
    EXPECT_FALSE(panel.loopbackLabel()->isVisibleTo(&panel));
    ObservableTesting::set(h.installer->loopbackModuleMissing, true);
    EXPECT_TRUE(panel.loopbackLabel()->isVisibleTo(&panel));
    MemoryExtensionService::answerFinish(activation, kExtensionResultCompleted);
    h.main.runPending();
    EXPECT_EQ(panel.rule(), PanelRule::connecting);
    EXPECT_TRUE(panel.busyIndicator()->isVisibleTo(&panel));
    EXPECT_FALSE(panel.actionButton()->isVisibleTo(&panel));

    h.main.advance(kConnectWaitSeconds + 0.5);
    EXPECT_EQ(panel.rule(), PanelRule::restart);
    EXPECT_EQ(panel.actionButton()->text(), QStringLiteral("Quit"));
    QTest::mouseClick(panel.actionButton(), Qt::LeftButton);
    EXPECT_TRUE(quit);

    ObservableTesting::set(h.pipeline->virtualCameraConnected, true);
    EXPECT_EQ(panel.rule(), PanelRule::ready);
    EXPECT_EQ(panel.actionButton()->text(), QStringLiteral("Reinstall"));
    size_t before = h.service->requests().size();
    QTest::mouseClick(panel.actionButton(), Qt::LeftButton);
    EXPECT_EQ(h.service->requests().size(), before + 1);
    EXPECT_EQ(h.service->requests().back()->kind(), ExtensionRequest::Kind::activation);
}

} // namespace
} // namespace orlenta
