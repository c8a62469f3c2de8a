#include "tests/testing/extension_service_memory.h"

#include <utility>

#include "app/install/service_support.h"

namespace orlenta {

void MemoryExtensionService::submitRequest(std::shared_ptr<ExtensionRequest> request) {
    if (!request)
        return;
    const std::lock_guard lock(mutex_);
    requests_.push_back(std::move(request));
}

std::vector<std::shared_ptr<ExtensionRequest>> MemoryExtensionService::requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
}

std::shared_ptr<ExtensionRequest>
MemoryExtensionService::lastRequest(ExtensionRequest::Kind kind) const {
    const std::lock_guard lock(mutex_);
    for (auto it = requests_.rbegin(); it != requests_.rend(); ++it)
        if ((*it)->kind() == kind)
            return *it;
    return nullptr;
}

void MemoryExtensionService::answerNeedsUserApproval(
    const std::shared_ptr<ExtensionRequest>& request) {
    request->executor().post([request] {
        if (auto delegate = request->delegate())
            delegate->requestNeedsUserApproval(*request);
    });
}

void MemoryExtensionService::answerFinish(const std::shared_ptr<ExtensionRequest>& request,
                                          int result) {
    install_support::postFinish(request, result);
}

void MemoryExtensionService::answerFail(const std::shared_ptr<ExtensionRequest>& request,
                                        ExtensionError error) {
    install_support::postFail(request, std::move(error));
}

} // namespace orlenta
