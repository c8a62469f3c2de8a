// The preview area over a real pipeline: counter texts, Hide All Faces, clicks on marks, the
// style's outline shapes and the paused state.
#include <gtest/gtest.h>

#include <QLabel>
#include <QMouseEvent>
#include <QTest>

#include "app/ui/face_marks_view.h"
#include "app/ui/outline_button.h"
#include "app/ui/preview_area.h"
#include "media/observable_testing.h"
#include "tests/ui/ui_harness.h"

namespace orlenta {
namespace {

using test::UiHarness;

// A left press at an exact point (QTest takes (0, 0) to mean the widget's centre).
void pressAt(QWidget* widget, QPointF at) {
    QMouseEvent press(QEvent::MouseButtonPress, at, widget->mapToGlobal(at), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(widget, &press);
}

FaceMark mark(int64_t id, bool shown) {
    return {id, Rect{0.1 * double(id), 0.1, 0.1, 0.2}, shown};
}

std::vector<bool> shownFlags(const CameraPipeline& pipeline) {
    std::vector<bool> flags;
    for (const FaceMark& m : pipeline.faceMarks.get())
        flags.push_back(m.shown);
    return flags;
}

TEST(Counter, TextsAndHideAllRule) {
    EXPECT_EQ(counterText({}, false), QStringLiteral("FACES HIDDEN \u00B7 0"));
    EXPECT_EQ(counterText({mark(1, false), mark(2, false), mark(3, false)}, false),
              QStringLiteral("FACES HIDDEN \u00B7 3"));
    EXPECT_EQ(counterText({mark(1, false), mark(2, true), mark(3, false)}, false),
              QStringLiteral("2 HIDDEN \u00B7 1 SHOWN"));
    EXPECT_EQ(counterText({mark(1, true)}, false), QStringLiteral("0 HIDDEN \u00B7 1 SHOWN"));
    EXPECT_EQ(counterText({mark(1, true)}, true), QStringLiteral("PAUSED"));

    EXPECT_FALSE(showsHideAll({}, false));
    EXPECT_FALSE(showsHideAll({mark(1, false), mark(2, false)}, false));
    EXPECT_TRUE(showsHideAll({mark(1, false), mark(2, true)}, false));
    EXPECT_FALSE(showsHideAll({mark(2, true)}, true));
}

TEST(PreviewArea, ClickShowsAFaceAndHideAllHidesEveryFace) {
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
}

TEST(FaceMarksView, ClicksInTheCornersReachTheFacesThere) {
    EXPECT_EQ(markPointForClick(QPointF(0, 0), QSizeF(kPreviewWidth, kPreviewHeight)),
              (Point{0, 0}));
    EXPECT_EQ(markPointForClick(QPointF(485, 273), QSizeF(kPreviewWidth, kPreviewHeight)),
              (Point{1, 1}));
    EXPECT_EQ(CameraPipeline::toOutputPixels({0, 0}), (Point{0, 720}));
    EXPECT_EQ(CameraPipeline::toOutputPixels({1, 1}), (Point{1280, 0}));

    UiHarness h;
    PreviewArea area(*h.pipeline, h.layer);
    area.show();
    // Faces touching the top-left and the bottom-right corners.
    h.setFaces({QRectF(0.0, 0.0, 0.2, 0.3), QRectF(0.8, 0.7, 0.2, 0.3)});
    ASSERT_TRUE(h.processUntilMarks(2));
    bool topLeftFirst = h.pipeline->faceMarks.get()[0].rect.x < 0.5;
    pressAt(area.faceMarksView(), QPointF(0, 0));
    ASSERT_TRUE(h.main.runUntil([&] { return area.hideAllButton()->isVisibleTo(&area); }));
    EXPECT_EQ(shownFlags(*h.pipeline), (std::vector<bool>{topLeftFirst, !topLeftFirst}));
    QTest::mouseClick(area.faceMarksView(), Qt::LeftButton, {},
                      QPoint(area.width() - 1, area.height() - 1));
    ASSERT_TRUE(h.main.runUntil([&] {
        auto flags = shownFlags(*h.pipeline);
        return flags == std::vector<bool>{true, true};
    }));
}

TEST(FaceMarksView, StyleChoosesEllipseOrRectangleAndLabelsSitBelow) {
    UiHarness h;
    FaceMarksView view(*h.pipeline);
    view.resize(485, 273);
    // A shown face: its outline is solid red, easy to find in the pixels.
    FaceMark face{7, Rect{0.2, 0.2, 0.4, 0.4}, true};
    ObservableTesting::set(h.pipeline->faceMarks, {face});
    MarkGeometry geometry = markGeometry(face, QSizeF(kPreviewWidth, kPreviewHeight));
    EXPECT_DOUBLE_EQ(geometry.label.bottom(), geometry.outline.bottom() + kLabelDrop);
    EXPECT_DOUBLE_EQ(geometry.label.center().x(), geometry.outline.center().x());

    // On the top edge, just right of the corner: on the rectangle, far from the ellipse.
    QPoint corner(static_cast<int>(geometry.outline.left() + 3),
                  static_cast<int>(geometry.outline.top()));
    QPoint topMiddle(static_cast<int>(geometry.outline.center().x()),
                     static_cast<int>(geometry.outline.top()));
    auto isRed = [](QColor c) { return c.red() > 200 && c.green() < 120 && c.blue() < 120; };
    for (CoverStyle style : allCoverStyles) {
        h.pipeline->setStyle(style);
        QImage image = view.grab().toImage();
        EXPECT_EQ(isRed(image.pixelColor(corner)) || isRed(image.pixelColor(corner + QPoint(0, 1))),
                  style == CoverStyle::box);
        EXPECT_TRUE(isRed(image.pixelColor(topMiddle)) ||
                    isRed(image.pixelColor(topMiddle + QPoint(0, 1))));
    }
    EXPECT_EQ(view.toolTip(), QStringLiteral("Click a face to show or hide it"));

    // A tiny face keeps a label of natural size, reaching below the preview when it must.
    FaceMark low{8, Rect{0.5, 0.97, 0.01, 0.03}, false};
    MarkGeometry lowGeometry = markGeometry(low, QSizeF(kPreviewWidth, kPreviewHeight));
    EXPECT_GT(lowGeometry.label.width(), lowGeometry.outline.width());
    EXPECT_GT(lowGeometry.label.bottom(), kPreviewHeight);
}

TEST(PreviewArea, PausedShowsNoMarksAndTheMessage) {
    UiHarness h;
    PreviewArea area(*h.pipeline, h.layer);
    area.show();
    h.setFaces({QRectF(0.1, 0.2, 0.15, 0.3)});
    ASSERT_TRUE(h.processUntilMarks(1));
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
    QImage image = area.grab().toImage();
    // The picture is gone: black behind the message.
    EXPECT_EQ(image.pixelColor(5, 150), QColor(Qt::black));

    QTest::mouseClick(area.startPauseButton(), Qt::LeftButton);
    h.settle();
    EXPECT_FALSE(h.pipeline->paused.get());
    EXPECT_EQ(area.startPauseButton()->text(), QStringLiteral("Pause Camera"));
    EXPECT_FALSE(area.pausedMessage()->isVisibleTo(&area));
}

} // namespace
} // namespace orlenta
