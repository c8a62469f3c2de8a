// Write access to observable properties for tests that play the owner's part, e.g. to show a view
// the state the pipeline or the installer would be in. Production code never includes this.
#pragma once

#include <type_traits>
#include <utility>

#include "media/observable.h"

namespace orlenta {

class ObservableTesting {
public:
    template <typename T, typename Owner>
    static void set(Observable<T, Owner>& property, std::type_identity_t<T> value) {
        property.set(std::move(value));
    }
};

} // namespace orlenta
