// Observation handles for views: a view watches the pipeline's and the installer's observable
// properties while it exists, and stops when it is destroyed (the shared objects outlive it).
// GUI thread only.
#pragma once

#include <functional>
#include <vector>

#include "media/observable.h"

namespace orlenta {

class Observations {
public:
    Observations() = default;
    Observations(const Observations&) = delete;
    Observations& operator=(const Observations&) = delete;
    ~Observations() {
        for (auto& remove : removals_)
            remove();
    }

    // Calls onChange (without the value) after every assignment of the property.
    template <typename T, typename Owner>
    void watch(Observable<T, Owner>& property, std::function<void()> onChange) {
        size_t token =
            property.addObserver([onChange = std::move(onChange)](const T&) { onChange(); });
        removals_.push_back([&property, token] { property.removeObserver(token); });
    }

private:
    std::vector<std::function<void()>> removals_;
};

} // namespace orlenta
