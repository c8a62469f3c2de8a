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
    std::vector<std::string> chosen;
    auto record = [&](const std::string& id) { chosen.push_back(id); };

    std::vector<CaptureDevice> cameras{camera("usb:1", "Webcam"), camera("usb:2", "Webcam"),
                                       camera("lid", "Built-in")};
    QMenu* menu = CameraMenu::build(cameras, "usb:2", record);
    ASSERT_EQ(menu->actions().size(), 3);
    EXPECT_EQ(menu->actions()[0]->text(), QStringLiteral("Webcam"));
    EXPECT_EQ(menu->actions()[1]->text(), QStringLiteral("Webcam"));
    EXPECT_EQ(menu->actions()[2]->text(), QStringLiteral("Built-in"));
    EXPECT_FALSE(menu->actions()[0]->isChecked());
    EXPECT_TRUE(menu->actions()[1]->isChecked());
    EXPECT_FALSE(menu->actions()[2]->isChecked());
    menu->actions()[0]->trigger();
    EXPECT_EQ(chosen, std::vector<std::string>{"usb:1"});
    EXPECT_EQ(CameraMenu::current(), menu);

    // No selection yet: nothing checked. Building again replaces the slot's menu.
    QMenu* unselected = CameraMenu::build(cameras, "", record);
    EXPECT_EQ(CameraMenu::current(), unselected);
    for (QAction* item : unselected->actions())
        EXPECT_FALSE(item->isChecked());

    QMenu* empty = CameraMenu::popUp({}, "", record, QPoint(20, 20));
    ASSERT_EQ(empty->actions().size(), 1);
    EXPECT_EQ(empty->actions()[0]->text(), QStringLiteral("No cameras found"));
    EXPECT_FALSE(empty->actions()[0]->isEnabled());
    EXPECT_TRUE(empty->isVisible());

    // An item without a text identifier is ignored.
    CameraMenu target(record);
    QAction odd;
    odd.setData(42);
    target.choose(&odd);
    target.choose(nullptr);
    EXPECT_EQ(chosen.size(), 1u);
    CameraMenu::releaseCurrent();
    EXPECT_EQ(CameraMenu::current(), nullptr);
}

TEST(CameraMenu, ChoosingFromThePreviewSelectsOnlyANewCamera) {
    test::UiHarness h;
    ObservableTesting::set(h.pipeline->cameras, {camera("a", "First"), camera("b", "Second")});
    ObservableTesting::set(h.pipeline->selectedCameraID, "b");
    size_t assignments = h.pipeline->selectedCameraID.assignmentCount();
    QMenu* menu =
        CameraMenu::build(h.pipeline->cameras.get(), h.pipeline->selectedCameraID.get(),
                          [&](const std::string& id) { h.pipeline->setSelectedCameraID(id); });
    menu->actions()[1]->trigger();
    EXPECT_EQ(h.pipeline->selectedCameraID.assignmentCount(), assignments);
    menu->actions()[0]->trigger();
    EXPECT_EQ(h.pipeline->selectedCameraID.get(), "a");
    CameraMenu::releaseCurrent();
}

TEST(StyleControl, SegmentsSelectionAndOneCallPerChoice) {
    test::application();
    StyleControl control;
    std::vector<CoverStyle> calls;
    control.setOnChange([&](CoverStyle style) { calls.push_back(style); });
    EXPECT_EQ(control.segment(0)->text(), QStringLiteral("Blur"));
    EXPECT_EQ(control.segment(1)->text(), QStringLiteral("Pixelate"));
    EXPECT_EQ(control.segment(2)->text(), QStringLiteral("Box"));
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
    EXPECT_EQ(panelRule(true, true, true, true), PanelRule::ready);
    EXPECT_EQ(panelRule(false, true, true, true), PanelRule::restart);
    EXPECT_EQ(panelRule(false, false, true, true), PanelRule::connecting);
    EXPECT_EQ(panelRule(false, false, false, true), PanelRule::approval);
    EXPECT_EQ(panelRule(false, false, false, false), PanelRule::install);

    test::UiHarness h;
    bool quit = false;
    VirtualCameraPanel panel(*h.pipeline, *h.installer, [&] { quit = true; });
    panel.show();
    EXPECT_EQ(panel.statusLabel()->text(),
              QStringLiteral("Install the virtual camera to use Orlenta in other apps"));
    EXPECT_EQ(panel.actionButton()->text(), QStringLiteral("Install"));
    EXPECT_FALSE(panel.messageLabel()->isVisibleTo(&panel));

    QTest::mouseClick(panel.actionButton(), Qt::LeftButton);
    EXPECT_EQ(h.installer->message.get(), "Installing\u2026");
    EXPECT_TRUE(panel.messageLabel()->isVisibleTo(&panel));
    EXPECT_EQ(panel.messageLabel()->text(), QStringLiteral("Installing\u2026"));
    auto activation = h.service->lastRequest(ExtensionRequest::Kind::activation);
    ASSERT_NE(activation, nullptr);

    MemoryExtensionService::answerNeedsUserApproval(activation);
    h.main.runPending();
    EXPECT_EQ(panel.rule(), PanelRule::approval);
    EXPECT_EQ(panel.statusLabel()->text(),
              QStringLiteral("The virtual camera needs an administrator\u2019s approval before "
                             "other apps can use it"));
    EXPECT_EQ(panel.actionButton()->text(), QStringLiteral("Approve\u2026"));
    EXPECT_FALSE(panel.messageLabel()->isVisibleTo(&panel));

    // Approval pending while the activation completes: connecting wins.
    ObservableTesting::set(h.installer->needsApproval, true);
    MemoryExtensionService::answerFinish(activation, kExtensionResultCompleted);
    h.main.runPending();
    ObservableTesting::set(h.installer->needsApproval, true);
    EXPECT_EQ(panel.rule(), PanelRule::connecting);
    EXPECT_EQ(panel.statusLabel()->text(),
              QStringLiteral("Connecting to the virtual camera\u2026"));
    EXPECT_TRUE(panel.busyIndicator()->isVisibleTo(&panel));
    EXPECT_FALSE(panel.actionButton()->isVisibleTo(&panel));

    h.main.advance(kConnectWaitSeconds + 0.5);
    EXPECT_EQ(panel.rule(), PanelRule::restart);
    EXPECT_EQ(panel.actionButton()->text(), QStringLiteral("Quit"));
    QTest::mouseClick(panel.actionButton(), Qt::LeftButton);
    EXPECT_TRUE(quit);

    ObservableTesting::set(h.pipeline->virtualCameraConnected, true);
    EXPECT_EQ(panel.rule(), PanelRule::ready);
    EXPECT_EQ(panel.statusLabel()->text(), QStringLiteral("Virtual camera: ready"));
    EXPECT_EQ(panel.actionButton()->text(), QStringLiteral("Reinstall"));
    size_t before = h.service->requests().size();
    QTest::mouseClick(panel.actionButton(), Qt::LeftButton);
    EXPECT_EQ(h.service->requests().size(), before + 1);
    EXPECT_EQ(h.service->requests().back()->kind(), ExtensionRequest::Kind::activation);
}

} // namespace
} // namespace orlenta
