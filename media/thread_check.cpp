#include "media/thread_check.h"

#include <cstdio>
#include <cstdlib>
#include <pthread.h>

#include "media/dispatch.h"

namespace orlenta {

void threadCheckFailed(const char* expected, const char* function, const char* file, int line) {
    // Straight to standard error rather than through the log: the process ends next, and the
    // message must reach the developer whatever the journal does with it.
    char name[16] = "?";
    pthread_getname_np(pthread_self(), name, sizeof name);
    std::fprintf(stderr, "%s:%d: %s called on thread \"%s\", expected on %s\n", file, line,
                 function, name, expected);
    std::fflush(stderr);
    std::abort();
}

#if ORLENTA_THREAD_CHECKS
bool QueueBinding::check() const {
    return queue_ && queue_->isCurrent();
}
#endif

} // namespace orlenta
