// OutlineButton: the buttons over the preview (start/pause, camera, Hide All Faces). White
// 12-pixel medium text (or a white glyph) on black at 25 % opacity, 50 % while pressed, with a
// white 1-pixel outline inside its rectangle; 26 pixels high, 10 pixels of padding left and right,
// as wide as its content. The whole rectangle takes clicks. GUI thread only.
#pragma once

#include <QAbstractButton>

namespace orlenta {

class OutlineButton final : public QAbstractButton {
public:
    static constexpr int kHeight = 26;
    static constexpr int kHorizontalPadding = 10;

    explicit OutlineButton(const QString& text, QWidget* parent = nullptr);
    // A button whose label is the camera glyph.
    static OutlineButton* cameraButton(QWidget* parent = nullptr);

    // Changes the text and refits the width.
    void setLabel(const QString& text);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override { return sizeHint(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool cameraGlyph_ = false;
};

} // namespace orlenta
