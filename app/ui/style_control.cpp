#include "app/ui/style_control.h"

#include <algorithm>

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QPushButton>

namespace orlenta {

StyleControl::StyleControl(QWidget* parent) : QWidget(parent), group_(new QButtonGroup(this)) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    group_->setExclusive(true);
    for (size_t i = 0; i < allCoverStyles.size(); ++i) {
        std::string_view text = label(allCoverStyles[i]);
        auto* button = new QPushButton(
            QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())), this);
        button->setCheckable(true);
        button->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        group_->addButton(button, static_cast<int>(i));
        layout->addWidget(button, 1);
    }
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    group_->button(0)->setChecked(true);
    connect(group_, &QButtonGroup::idClicked, this, [this](int index) { changed(index); });
}

void StyleControl::setStyle(CoverStyle style) {
    auto found = std::find(allCoverStyles.begin(), allCoverStyles.end(), style);
    int index = found == allCoverStyles.end()
                    ? 0
                    : static_cast<int>(std::distance(allCoverStyles.begin(), found));
    group_->button(index)->setChecked(true);
}

CoverStyle StyleControl::selectedStyle() const {
    int index = group_->checkedId();
    return index >= 0 && index < static_cast<int>(allCoverStyles.size())
               ? allCoverStyles[static_cast<size_t>(index)]
               : CoverStyle::blur;
}

QAbstractButton* StyleControl::segment(int index) const {
    return group_->button(index);
}

void StyleControl::changed(int index) {
    // Only the three segments exist; any other index is not a choice.
    if (index < 0 || index >= static_cast<int>(allCoverStyles.size()))
        return;
    if (onChange_)
        onChange_(allCoverStyles[static_cast<size_t>(index)]);
}

} // namespace orlenta
