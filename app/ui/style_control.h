// StyleControl: the three-segment control that chooses how hidden faces are covered. Segments in
// fixed order: Blur, Pixelate, Box (the order of allCoverStyles), exactly one selected, equal
// widths, stretching to the width it is given.
//
// setStyle() moves the selection without calling onChange; a click on a segment calls onChange
// once with that segment's style. GUI thread only.
#pragma once

#include <functional>

#include <QWidget>

#include "app/pipeline/cover_style.h"

class QAbstractButton;
class QButtonGroup;

namespace orlenta {

class StyleControl final : public QWidget {
public:
    using OnChange = std::function<void(CoverStyle)>;

    explicit StyleControl(QWidget* parent = nullptr);

    void setStyle(CoverStyle style);
    CoverStyle selectedStyle() const;
    void setOnChange(OnChange onChange) { onChange_ = std::move(onChange); }
    // The segment button at an index (0..2), for tests and accessibility.
    QAbstractButton* segment(int index) const;

private:
    void changed(int index);

    QButtonGroup* group_;
    OnChange onChange_;
};

} // namespace orlenta
