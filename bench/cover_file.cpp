// orlenta-cover's throughput on video files: the demo clip at its own 1280 x 720 and scaled to
// 1920 x 1080 (made here with GStreamer, with a sine tone as its sound track), each covered into
// WebM as the tool does. Prints the frames per second and, per stage, the processor time a frame
// costs and its share, read from the time of each thread grouped by the thread's name (decode:
// the demuxer and decoder threads; detect: the detecting thread and the detector's helpers;
// cover: the writing thread; encode: the converter and the encoder; other: the rest). With 2
// cores, "cpu fps" is the rate the processor time allows when both cores are free; the measured
// fps also shows how busy the machine was with other work.
//
// Usage: bench_cover_file [frames] (default 240: the whole clip)

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <pthread.h>
#include <sstream>
#include <string>
#include <unistd.h>

#include <gst/gst.h>

#include "app/pipeline/face_detector.h"
#include "tools/orlenta_cover/cover_job.h"

namespace {

namespace fs = std::filesystem;

const fs::path kDemoClip = fs::path(ORLENTA_SOURCE_DIR) / "demo" / "orlenta-demo.webm";

// Makes the input: the demo clip's first `frames` frames at the given size, VP8 with a Vorbis
// tone in WebM.
bool makeInput(const fs::path& path, int width, int height, int frames) {
    const std::string description =
        "filesrc location=\"" + kDemoClip.string() +
        "\" ! decodebin ! videoconvert ! videoscale ! video/x-raw,width=" + std::to_string(width) +
        ",height=" + std::to_string(height) +
        " ! identity eos-after=" + std::to_string(frames + 1) +
        " ! vp8enc deadline=1 cpu-used=8 target-bitrate=" + std::to_string(width * height * 3) +
        " ! mux. audiotestsrc num-buffers=" + std::to_string(frames * 1470 / 1024 + 1) +
        " ! audioconvert ! vorbisenc ! mux. webmmux name=mux ! filesink location=\"" +
        path.string() + "\"";
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    if (!pipeline) {
        std::fprintf(stderr, "cannot make the input: %s\n", error ? error->message : "?");
        return false;
    }
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* message = gst_bus_timed_pop_filtered(
        bus, GST_CLOCK_TIME_NONE, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    const bool ok = message && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
    if (message)
        gst_message_unref(message);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    return ok;
}

// The stage a thread's work counts for, by the thread's name.
std::string stageOf(const std::string& name) {
    if (name.starts_with("decode") || name.find("demux") != std::string::npos ||
        name.starts_with("parsebin"))
        return "decode";
    if (name.starts_with("cover-detect") || name.starts_with("example.orlenta"))
        return "detect";
    if (name.starts_with("cover-write"))
        return "cover";
    if (name.starts_with("encode"))
        return "encode";
    return "other";
}

struct ThreadTime {
    std::string stage;
    double seconds = 0;
};

// Processor seconds of each living thread of this process, by thread id.
std::map<std::string, ThreadTime> threadTimes() {
    std::map<std::string, ThreadTime> threads;
    const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
    for (const auto& task : fs::directory_iterator("/proc/self/task")) {
        std::ifstream in(task.path() / "stat");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t open = text.find('(');
        const size_t close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos)
            continue;
        std::istringstream rest(text.substr(close + 2));
        std::string field;
        double utime = 0, stime = 0;
        for (int i = 3; i <= 15 && rest >> field; ++i) {
            if (i == 14)
                utime = std::atof(field.c_str());
            if (i == 15)
                stime = std::atof(field.c_str());
        }
        threads[task.path().filename().string()] = {
            stageOf(text.substr(open + 1, close - open - 1)), (utime + stime) / tick};
    }
    return threads;
}

double processSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

bool runCase(const char* name, int width, int height, int frames, const fs::path& folder) {
    const fs::path input = folder / (std::string(name) + ".webm");
    const fs::path output = folder / (std::string(name) + "-covered.webm");
    if (!makeInput(input, width, height, frames))
        return false;
    // The detector's helper threads take the name of the thread that makes them.
    pthread_setname_np(pthread_self(), "cover-detect");
    std::string error;
    std::unique_ptr<orlenta::FaceDetector> detector = orlenta::loadCoverFaceModel({}, &error);
    pthread_setname_np(pthread_self(), "bench");
    if (!detector) {
        std::fprintf(stderr, "no face model: %s\n", error.c_str());
        return false;
    }
    const std::map<std::string, ThreadTime> before = threadTimes();
    const double cpuBefore = processSeconds();
    std::map<std::string, ThreadTime> after;
    const orlenta::VideoCoverResult result =
        orlenta::coverVideoFile(input, output, std::move(detector), orlenta::CoverStyle::blur,
                                [&] { after = threadTimes(); });
    const double cpu = processSeconds() - cpuBefore;
    if (!result.failure.empty()) {
        std::fprintf(stderr, "%s: %s\n", name, result.failure.c_str());
        return false;
    }
    const double n = static_cast<double>(result.frames);
    std::printf("%s %dx%d: %lld frames in %.2f s = %.1f fps; %.1f ms processor time a frame "
                "= %.1f cpu fps on 2 cores\n",
                name, width, height, static_cast<long long>(result.frames), result.seconds,
                n / result.seconds, cpu * 1000 / n, n / (cpu / 2));
    // Each thread's time during the run, by stage (threads that ended before the run did are
    // in the total only).
    std::map<std::string, double> stages;
    double total = 0;
    for (const auto& [id, thread] : after) {
        const auto earlier = before.find(id);
        const double used =
            thread.seconds - (earlier != before.end() ? earlier->second.seconds : 0);
        stages[thread.stage] += used;
        total += used;
    }
    for (const auto& [stage, used] : stages)
        std::printf("  %-7s %6.1f ms a frame  %5.1f %%\n", stage.c_str(), used * 1000 / n,
                    total > 0 ? 100 * used / total : 0);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    gst_init(&argc, &argv);
    const int frames = argc > 1 ? std::max(10, std::atoi(argv[1])) : 240;
    std::string pattern = (fs::temp_directory_path() / "bench-cover-file-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        return 1;
    const fs::path folder = pattern;
    bool ok =
        runCase("720p", 1280, 720, frames, folder) && runCase("1080p", 1920, 1080, frames, folder);
    fs::remove_all(folder);
    return ok ? 0 : 1;
}
