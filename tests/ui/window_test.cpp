// The application object, its main window and the settings window.
#include <gtest/gtest.h>

#include <QAction>
#include <QLabel>
#include <QMainWindow>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include "app/ui/content_view.h"
#include "app/ui/orlenta_camera_app.h"
#include "app/ui/outline_button.h"
#include "app/ui/preview_area.h"
#include "app/ui/settings_window.h"
#include "app/ui/style_control.h"
#include "app/ui/virtual_camera_panel.h"
#include "media/observable_testing.h"
#include "tests/ui/ui_harness.h"

namespace orlenta {
namespace {

TEST(OrlentaCameraApp, StartUpLayoutAndTheVideoMenu) {
    test::UiHarness h;
    OrlentaCameraApp app(h.pipeline, h.installer, h.layer);
    EXPECT_EQ(h.installer->statusRequest(), nullptr);
    app.show();
    h.settle();
    // Shown: the pipeline watches the virtual camera and the installer asked for the status.
    EXPECT_NE(h.installer->statusRequest(), nullptr);
    EXPECT_EQ(h.main.activeTimerCount(), 1u);

    // The access warning only when access is denied or restricted.
    ContentView* content = app.contentView();
    for (auto [status, warns] : {std::pair{AuthorizationStatus::restricted, true},
                                 std::pair{AuthorizationStatus::denied, true},
                                 std::pair{AuthorizationStatus::authorized, false}}) {
        ObservableTesting::set(h.pipeline->cameraAccess, status);
        EXPECT_EQ(content->accessWarning()->isVisibleTo(content), warns);
    }

    // Ctrl+P does what the start/pause button does.
    EXPECT_EQ(app.pauseAction()->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_P));
    app.pauseAction()->trigger();
    EXPECT_TRUE(h.pipeline->paused.get());
    EXPECT_EQ(content->previewArea()->startPauseButton()->text(), QStringLiteral("Start Camera"));
    app.pauseAction()->trigger();
    EXPECT_FALSE(h.pipeline->paused.get());

    // The style control sets the pipeline's style and follows it.
    h.pipeline->setStyle(CoverStyle::box);
    EXPECT_EQ(content->styleControl()->selectedStyle(), CoverStyle::box);

    // Connecting clears the installer's waiting flags and removes the panel from the window.
    EXPECT_TRUE(content->panel()->isVisibleTo(content));
    ObservableTesting::set(h.installer->finishing, true);
    ObservableTesting::set(h.installer->needsRestart, true);
    app.openSettings();
    EXPECT_EQ(app.settingsWindow()->panel()->rule(), PanelRule::restart);
    ObservableTesting::set(h.pipeline->virtualCameraConnected, true);
    EXPECT_FALSE(h.installer->finishing.get());
    EXPECT_FALSE(h.installer->needsRestart.get());
    EXPECT_FALSE(content->panel()->isVisibleTo(content));
    EXPECT_EQ(app.settingsWindow()->panel()->rule(), PanelRule::ready);
}

TEST(SettingsWindow, UninstallRowAndConfirmation) {
    test::UiHarness h;
    SettingsWindow settings(*h.pipeline, *h.installer, [] {});
    settings.show();
    EXPECT_FALSE(settings.uninstallRow()->isVisibleTo(&settings));
    ObservableTesting::set(h.pipeline->virtualCameraConnected, true);
    EXPECT_TRUE(settings.uninstallRow()->isVisibleTo(&settings));

    // Cancelled: nothing is removed.
    QTest::mouseClick(settings.uninstallButton(), Qt::LeftButton);
    ASSERT_TRUE(settings.confirmUninstall());
    settings.confirmation()->button(QMessageBox::Cancel)->click();
    h.settle();
    EXPECT_FALSE(settings.confirmUninstall());
    EXPECT_EQ(h.service->lastRequest(ExtensionRequest::Kind::deactivation), nullptr);

    // Confirmed: uninstall() runs once.
    settings.askToUninstall();
    ASSERT_TRUE(settings.confirmUninstall());
    QAbstractButton* uninstall = nullptr;
    for (QAbstractButton* button : settings.confirmation()->buttons())
        if (settings.confirmation()->buttonRole(button) == QMessageBox::DestructiveRole)
            uninstall = button;
    ASSERT_NE(uninstall, nullptr);
    uninstall->click();
    h.settle();
    EXPECT_FALSE(settings.confirmUninstall());
    EXPECT_NE(h.service->lastRequest(ExtensionRequest::Kind::deactivation), nullptr);
    EXPECT_EQ(h.installer->message.get(), "Removing\u2026");
    EXPECT_TRUE(h.installer->removing());
}

} // namespace
} // namespace orlenta
