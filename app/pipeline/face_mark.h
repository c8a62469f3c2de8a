// FaceMark: one face as the user interface sees it.
#pragma once

#include <cstdint>

#include "media/geometry.h"

namespace orlenta {

// rect is in mark space: 0..1 of the output frame, origin top-left, y down. Equality is exact on
// all three fields, so an unchanged list of marks can be recognised and not republished.
struct FaceMark {
    int64_t id = 0;
    Rect rect;
    bool shown = false;
    friend bool operator==(const FaceMark&, const FaceMark&) = default;
};

} // namespace orlenta
