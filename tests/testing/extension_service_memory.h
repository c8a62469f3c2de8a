// An ExtensionService in memory, for tests: it records every submitted request and answers only
// when the test tells it to. Answers go through the request's executor like those of the real
// services, so a ManualExecutor decides when they arrive.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "app/install/extension_installer.h"
#include "app/install/service_support.h"

namespace orlenta {

class MemoryExtensionService final : public ExtensionService {
public:
    void submitRequest(std::shared_ptr<ExtensionRequest> request) override {
        const std::lock_guard lock(mutex_);
        if (request)
            requests_.push_back(std::move(request));
    }
    std::string name() const override { return "memory"; }

    // Every request submitted so far, oldest first.
    std::vector<std::shared_ptr<ExtensionRequest>> requests() const {
        const std::lock_guard lock(mutex_);
        return requests_;
    }
    // The newest submitted request of that kind; null when there is none.
    std::shared_ptr<ExtensionRequest> lastRequest(ExtensionRequest::Kind kind) const {
        const std::lock_guard lock(mutex_);
        for (auto it = requests_.rbegin(); it != requests_.rend(); ++it)
            if ((*it)->kind() == kind)
                return *it;
        return nullptr;
    }

    // Posts one answer to the request's executor; the delegate (if it still exists) gets it
    // there.
    static void answerNeedsUserApproval(const std::shared_ptr<ExtensionRequest>& request) {
        request->executor().post([request] {
            if (auto delegate = request->delegate())
                delegate->requestNeedsUserApproval(*request);
        });
    }
    static void answerFinish(const std::shared_ptr<ExtensionRequest>& request, int result) {
        install_support::postFinish(request, result);
    }
    static void answerFail(const std::shared_ptr<ExtensionRequest>& request, ExtensionError error) {
        install_support::postFail(request, std::move(error));
    }

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<ExtensionRequest>> requests_;
};

} // namespace orlenta
