// orlenta-cover: covers every face of a video or image file with the app's own frame pipeline.
// See cover_job.h for how a run goes and cover_options.h for the command line.

#include <csignal>
#include <cstdlib>
#include <pthread.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <opencv2/core/utils/logger.hpp>

#include "tools/orlenta_cover/cover_job.h"

namespace {

// Signals that end a run early. They are blocked in every thread and taken by one thread that
// waits for them, so the run can stop in an orderly way and remove its temporary files.
sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGUSR1); // only to end the waiting thread itself
    return set;
}

void waitForSignals() {
    const sigset_t set = stopSignals();
    bool interrupted = false;
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0 || signal == SIGUSR1)
            return;
        if (interrupted)
            _exit(orlenta::kExitInterrupted); // asked twice: the user wants out now
        interrupted = true;
        orlenta::requestCoverInterrupt();
    }
}

// The decoding libraries report damaged input on standard error in their own words; the tool
// reports it once in its own. A user who asks for their messages still gets them.
void quietLibraries() {
    if (!std::getenv("OPENCV_FFMPEG_DEBUG") && !std::getenv("OPENCV_FFMPEG_LOGLEVEL"))
        setenv("OPENCV_FFMPEG_LOGLEVEL", "-8", 0); // AV_LOG_QUIET
    if (!std::getenv("OPENCV_LOG_LEVEL"))
        cv::utils::logging::setLogLevel(cv::utils::logging::LOG_LEVEL_SILENT);
}

} // namespace

int main(int argc, char** argv) {
    quietLibraries();
    std::signal(SIGPIPE, SIG_IGN);
    const sigset_t set = stopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread signals(waitForSignals);

    const std::vector<std::string> arguments(argv + 1, argv + argc);
    const int status = orlenta::runCoverTool(arguments);

    pthread_kill(signals.native_handle(), SIGUSR1);
    signals.join();
    return status;
}
