// The preview area over a real pipeline: counter texts, Hide All Faces, clicks on marks and the
// paused state.
#include <gtest/gtest.h>

#include <QLabel>
#include <QTest>

#include "app/ui/face_marks_view.h"
#include "app/ui/outline_button.h"
#include "app/ui/preview_area.h"
#include "tests/ui/ui_harness.h"

namespace orlenta {
namespace {

using test::UiHarness;

std::vector<bool> shownFlags(const CameraPipeline& pipeline) {
    std::vector<bool> flags;
    for (const FaceMark& m : pipeline.faceMarks.get())
        flags.push_back(m.shown);
    return flags;
}

TEST(PreviewArea, ClickShowsAFaceHideAllHidesEveryFaceAndPauseShowsTheMessage) {
    UiHarness h;
    PreviewArea area(*h.pipeline, h.layer);
    area.show();
    h.processFrame();
    EXPECT_EQ(area.counterLabel()->text(), QStringLiteral("FACES HIDDEN \u00B7 0"));
    EXPECT_FALSE(area.hideAllButton()->isVisibleTo(&area));
    // A click where there is no face changes nothing.
    QTest::mouseClick(area.faceMarksView(), Qt::LeftButton, {}, QPoint(240, 130));
    h.settle();
    EXPECT_TRUE(h.pipeline->faceMarks.get().empty());

    h.setFaces(
        {QRectF(0.1, 0.2, 0.15, 0.3), QRectF(0.4, 0.2, 0.15, 0.3), QRectF(0.7, 0.2, 0.15, 0.3)});
    ASSERT_TRUE(h.processUntilMarks(3));
    EXPECT_EQ(area.counterLabel()->text(), QStringLiteral("FACES HIDDEN \u00B7 3"));
    EXPECT_FALSE(area.hideAllButton()->isVisibleTo(&area));

    const FaceMark& middle = h.pipeline->faceMarks.get()[1];
    QPoint centre(static_cast<int>((middle.rect.x + middle.rect.width / 2) * kPreviewWidth),
                  static_cast<int>((middle.rect.y + middle.rect.height / 2) * kPreviewHeight));
    QTest::mouseClick(area.faceMarksView(), Qt::LeftButton, {}, centre);
    ASSERT_TRUE(h.main.runUntil([&] { return area.hideAllButton()->isVisibleTo(&area); }));
    EXPECT_EQ(area.counterLabel()->text(), QStringLiteral("2 HIDDEN \u00B7 1 SHOWN"));
    EXPECT_EQ(shownFlags(*h.pipeline), (std::vector<bool>{false, true, false}));

    QTest::mouseClick(area.hideAllButton(), Qt::LeftButton);
    ASSERT_TRUE(h.main.runUntil([&] { return !area.hideAllButton()->isVisibleTo(&area); }));
    EXPECT_EQ(area.counterLabel()->text(), QStringLiteral("FACES HIDDEN \u00B7 3"));

    // Paused: no marks, no picture, the message.
    EXPECT_EQ(area.startPauseButton()->text(), QStringLiteral("Pause Camera"));
    EXPECT_FALSE(area.pausedMessage()->isVisibleTo(&area));
    EXPECT_NE(h.layer->currentSample(), nullptr);

    QTest::mouseClick(area.startPauseButton(), Qt::LeftButton);
    h.settle();
    EXPECT_TRUE(h.pipeline->paused.get());
    EXPECT_EQ(area.counterLabel()->text(), QStringLiteral("PAUSED"));
    EXPECT_EQ(area.startPauseButton()->text(), QStringLiteral("Start Camera"));
    EXPECT_FALSE(area.faceMarksView()->isVisibleTo(&area));
    EXPECT_FALSE(area.hideAllButton()->isVisibleTo(&area));
    EXPECT_TRUE(area.pausedMessage()->isVisibleTo(&area));
    EXPECT_TRUE(h.pipeline->faceMarks.get().empty());
    EXPECT_EQ(h.layer->currentSample(), nullptr);
    EXPECT_EQ(area.grab().toImage().pixelColor(5, 150), QColor(Qt::black));

    QTest::mouseClick(area.startPauseButton(), Qt::LeftButton);
    h.settle();
    EXPECT_FALSE(h.pipeline->paused.get());
    EXPECT_EQ(area.startPauseButton()->text(), QStringLiteral("Pause Camera"));
    EXPECT_FALSE(area.pausedMessage()->isVisibleTo(&area));
}

} // namespace
} // namespace orlenta
