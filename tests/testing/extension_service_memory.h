// An ExtensionService in memory, for tests: it records every submitted request and answers only
// when the test tells it to. Answers go through the request's executor like those of the real
// services, so a ManualExecutor decides when they arrive.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "app/install/extension_installer.h"

namespace orlenta {

class MemoryExtensionService final : public ExtensionService {
public:
    void submitRequest(std::shared_ptr<ExtensionRequest> request) override;
    std::string name() const override { return "memory"; }

    // Every request submitted so far, oldest first.
    std::vector<std::shared_ptr<ExtensionRequest>> requests() const;
    // The newest submitted request of that kind; null when there is none.
    std::shared_ptr<ExtensionRequest> lastRequest(ExtensionRequest::Kind kind) const;

    // Posts one answer to the request's executor; the delegate (if it still exists) gets it
    // there.
    static void answerNeedsUserApproval(const std::shared_ptr<ExtensionRequest>& request);
    static void answerFinish(const std::shared_ptr<ExtensionRequest>& request, int result);
    static void answerFail(const std::shared_ptr<ExtensionRequest>& request, ExtensionError error);

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<ExtensionRequest>> requests_;
};

} // namespace orlenta
