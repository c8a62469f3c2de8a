// CoverStyle: how a hidden face is covered.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace orlenta {

enum class CoverStyle { blur, pixelate, box };

inline constexpr std::array<CoverStyle, 3> allCoverStyles{CoverStyle::blur, CoverStyle::pixelate,
                                                          CoverStyle::box};

// "Blur", "Pixelate", "Box".
constexpr std::string_view label(CoverStyle style) {
    switch (style) {
    case CoverStyle::blur:
        return "Blur";
    case CoverStyle::pixelate:
        return "Pixelate";
    case CoverStyle::box:
        return "Box";
    }
    return "Blur";
}

// The style whose label is exactly the text; absent for any other text.
constexpr std::optional<CoverStyle> coverStyleFromLabel(std::string_view text) {
    for (CoverStyle style : allCoverStyles)
        if (label(style) == text)
            return style;
    return std::nullopt;
}

} // namespace orlenta
