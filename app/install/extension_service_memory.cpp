#include "app/install/extension_service_memory.h"

#include <utility>

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

void MemoryExtensionService::answerFoundProperties(const std::shared_ptr<ExtensionRequest>& request,
                                                   std::vector<ExtensionProperties> properties) {
    request->executor().post([request, properties = std::move(properties)] {
        if (auto delegate = request->delegate())
            delegate->requestFoundProperties(*request, properties);
    });
}

void MemoryExtensionService::answerFinish(const std::shared_ptr<ExtensionRequest>& request,
                                          int result) {
    request->executor().post([request, result] {
        if (auto delegate = request->delegate())
            delegate->requestDidFinish(*request, result);
    });
}

void MemoryExtensionService::answerFail(const std::shared_ptr<ExtensionRequest>& request,
                                        ExtensionError error) {
    request->executor().post([request, error = std::move(error)] {
        if (auto delegate = request->delegate())
            delegate->requestDidFail(*request, error);
    });
}

} // namespace orlenta
