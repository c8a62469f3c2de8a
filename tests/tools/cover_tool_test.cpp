// orlenta-cover: its parts that decide things on their own (the face log line, the temporary
// output file, the look back), and the built program end to end on real files, as a user runs it.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include <gst/app/gstappsink.h>
#include <gst/app/gstappsrc.h>
#include <gst/gst.h>
#include <gst/pbutils/pbutils.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include "app/pipeline/face_detector.h"
#include "tests/testing/pipewire_session.h"
#include "tools/orlenta_cover/cover_job.h"
#include "tools/orlenta_cover/cover_report.h"
#include "tools/orlenta_cover/temporary_output.h"

namespace orlenta {
namespace {

namespace fs = std::filesystem;
const fs::path kDemoClip = fs::path(ORLENTA_SOURCE_DIR) / "demo" / "orlenta-demo.webm";
const fs::path kAstronaut = fs::path(ORLENTA_SOURCE_DIR) / "tests" / "data" / "astronaut.png";
constexpr int kOutputWidth = 1280;
constexpr int kOutputHeight = 720;

struct ToolResult {
    int status = -1; // exit status, or 128 + signal
    std::string err; // standard output and error together
    long lines() const { return std::count(err.begin(), err.end(), '\n'); }
};

fs::path scratch; // the suite's folder, for the tool's output

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs the program with its output captured; with interruptWhen, sends it SIGINT as soon as that
// reads true (polled while the program runs), so that the signal never lands before the program
// has set up its handling, however slow the machine.
ToolResult runTool(std::vector<std::string> arguments,
                   const std::function<bool()>& interruptWhen = {}) {
    arguments.insert(arguments.begin(), ORLENTA_COVER_PROGRAM);
    const fs::path log = scratch / "output.txt";
    testing::ChildProcess tool(arguments, log.string());
    if (interruptWhen &&
        testing::waitUntil([&] { return interruptWhen() || tool.waitForExit(0) >= 0; }, 120))
        tool.signal(SIGINT);
    ToolResult result{tool.waitForExit(300), tool.output()};
    fs::remove(log);
    return result;
}

struct DecodedVideo {
    std::vector<cv::Mat> frames; // BGR
    std::vector<double> times;   // seconds
};

DecodedVideo readVideo(const fs::path& path) {
    DecodedVideo video;
    const std::string description = "filesrc location=\"" + path.string() +
                                    "\" ! decodebin ! videoconvert ! video/x-raw,format=BGR ! "
                                    "appsink name=sink sync=false";
    GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
    if (!pipeline)
        return video;
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    while (GstSample* sample = gst_app_sink_pull_sample(GST_APP_SINK(sink))) {
        int width = 0, height = 0;
        gst_structure_get(gst_caps_get_structure(gst_sample_get_caps(sample), 0), "width",
                          G_TYPE_INT, &width, "height", G_TYPE_INT, &height, nullptr);
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        GstMapInfo map;
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            video.frames.push_back(
                cv::Mat(height, width, CV_8UC3, map.data, map.size / static_cast<size_t>(height))
                    .clone());
            video.times.push_back(static_cast<double>(GST_BUFFER_PTS(buffer)) / GST_SECOND);
            gst_buffer_unmap(buffer, &map);
        }
        gst_sample_unref(sample);
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    return video;
}

struct LoggedFace {
    int64_t id = 0;
    cv::Rect pixels; // in the frame, clipped to it
    bool shown = false;
};
struct LoggedFrame {
    int64_t frame = -1;
    double time = -1;
    std::vector<LoggedFace> faces;
};

// The face log written by --faces, one line a frame in its fixed layout (no JSON library needed).
std::vector<LoggedFrame> readFaceLog(const fs::path& path) {
    std::vector<LoggedFrame> frames;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);) {
        LoggedFrame& frame = frames.emplace_back();
        long long index = 0;
        int used = 0;
        std::sscanf(line.c_str(), "{\"frame\": %lld, \"time\": %lf, \"faces\": [%n", &index,
                    &frame.time, &used);
        frame.frame = index;
        const char* rest = line.c_str() + used;
        long long id = 0;
        int x = 0, y = 0, w = 0, h = 0, length = 0;
        char shown[6] = {};
        while (used > 0 && *rest == '{' &&
               std::sscanf(rest,
                           "{\"id\": %lld, \"rect\": [%*f, %*f, %*f, %*f], \"pixels\": [%d, %d, "
                           "%d, %d], \"shown\": %5[a-z]}%n",
                           &id, &x, &y, &w, &h, shown, &length) == 6) {
            frame.faces.push_back(
                {id, cv::Rect(x, y, w, h) & cv::Rect(0, 0, kOutputWidth, kOutputHeight),
                 std::strcmp(shown, "true") == 0});
            rest += length;
            rest += std::strncmp(rest, ", ", 2) == 0 ? 2 : 0;
        }
        EXPECT_TRUE(used > 0 && std::strcmp(rest, "]}") == 0) << "not a face log line: " << line;
    }
    return frames;
}

// The mean over the colour channels of |a - b|.
double meanDifference(const cv::Mat& a, const cv::Mat& b) {
    cv::Mat difference;
    cv::absdiff(a, b, difference);
    const cv::Scalar mean = cv::mean(difference);
    return (mean[0] + mean[1] + mean[2]) / 3;
}

// The middle half of a face's rectangle: inside the covering ellipse of every style.
cv::Rect core(const cv::Rect& r) {
    return {r.x + r.width / 4, r.y + r.height / 4, r.width / 2, r.height / 2};
}

// The astronaut's face from the brows to the chin in astronaut.png.
const cv::Rect2d kFace(185, 95, 85, 90);

// A grey frame with astronaut.png scaled by `scale` and placed with the face's top-left corner at
// `at`, never quite black (so that black means covered); faceIn says where the face lands.
cv::Mat placeAstronaut(cv::Size size, double scale, cv::Point2d at) {
    cv::Mat picture = cv::imread(kAstronaut.string(), cv::IMREAD_COLOR);
    EXPECT_FALSE(picture.empty());
    cv::max(picture, cv::Scalar::all(1), picture);
    cv::Mat frame(size, CV_8UC3, cv::Scalar(120, 125, 130));
    const cv::Mat affine = (cv::Mat_<double>(2, 3) << scale, 0, at.x - kFace.x * scale, 0, scale,
                            at.y - kFace.y * scale);
    cv::warpAffine(picture, frame, affine, size, cv::INTER_LINEAR, cv::BORDER_TRANSPARENT);
    return frame;
}
cv::Rect faceIn(double scale, cv::Point2d at) {
    return {cv::Point(int(at.x), int(at.y)),
            cv::Size(int(kFace.width * scale), int(kFace.height * scale))};
}

class CoverToolTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string pattern = (fs::temp_directory_path() / "orlenta-cover-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        scratch = pattern;
        gst_init(nullptr, nullptr);
        makeExcerpt();
    }

    // A two-second cut of the demo clip that still has all of it: every fourth frame, so the
    // zoom, the two faces side by side and the face crossing the frame are all there. MJPEG in
    // AVI, which OpenCV writes itself, quickly, and whose header counts the frames. Made once
    // per build (each test runs in a process of its own) and again when the clip changes.
    static void makeExcerpt() {
        std::error_code ec;
        if (fs::exists(excerpt()) &&
            fs::last_write_time(excerpt(), ec) >= fs::last_write_time(kDemoClip, ec))
            return;
        const fs::path partial = scratch / "excerpt.avi";
        cv::VideoCapture demo(kDemoClip.string(), cv::CAP_FFMPEG);
        ASSERT_TRUE(demo.isOpened()) << kDemoClip;
        cv::VideoWriter writer(partial.string(), cv::CAP_OPENCV_MJPEG,
                               cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30,
                               cv::Size(kOutputWidth, kOutputHeight));
        ASSERT_TRUE(writer.isOpened());
        cv::Mat frame;
        for (int index = 0; demo.read(frame); ++index)
            if (index % 4 == 0)
                writer.write(frame);
        writer.release();
        // Tests running side by side may each make one; the rename makes either complete.
        fs::create_directories(excerpt().parent_path());
        fs::rename(partial, excerpt(), ec);
        ASSERT_FALSE(ec) << ec.message();
    }
    static void TearDownTestSuite() { fs::remove_all(scratch); }

    void SetUp() override {
        const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        // Every test but the refusals needs the face model.
        if (defaultFaceModelPath().empty() && !name.starts_with("Refuses"))
            GTEST_SKIP() << "no face model installed (scripts/fetch-model)";
        dir_ = scratch / name;
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    static fs::path excerpt() {
        return fs::path(ORLENTA_BINARY_DIR) / "tests" / "tools" / "demo-excerpt.avi";
    }

    std::set<std::string> listing() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_))
            names.insert(entry.path().filename().string());
        return names;
    }

    // A failed run: the given status, exactly one line on stderr naming the tool, the input
    // unchanged, and no file created in the working folder (output or temporary).
    void expectRefused(const std::vector<std::string>& arguments, const fs::path& input, int status,
                       const std::string& mentioning) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        const bool inputIsFile = fs::is_regular_file(input);
        const std::string before = inputIsFile ? readFile(input) : "";
        const std::set<std::string> filesBefore = listing();
        const ToolResult result = runTool(arguments);
        EXPECT_EQ(result.status, status) << result.err;
        ASSERT_EQ(result.lines(), 1) << result.err;
        EXPECT_EQ(result.err.rfind("orlenta-cover: ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(mentioning), std::string::npos) << result.err;
        EXPECT_EQ(listing(), filesBefore);
        EXPECT_TRUE(!inputIsFile || readFile(input) == before);
    }

    fs::path dir_;
};

TEST_F(CoverToolTest, CoversEveryFrameOfAVideoAndLogsItsFaces) {
    // The box style into MP4 (the blur into WebM is the same path; the pictures test the styles).
    const std::string input = readFile(excerpt());
    const fs::path output = dir_ / "covered.mp4";
    const fs::path faces = dir_ / "faces.jsonl";
    const ToolResult result =
        runTool({"--faces", faces.string(), "--style", "box", excerpt().string(), output.string()});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_TRUE(readFile(excerpt()) == input);
    // Not a terminal: no progress bar, only the summary.
    ASSERT_EQ(result.lines(), 1) << result.err;
    EXPECT_NE(result.err.find("60 frames"), std::string::npos) << result.err;
    EXPECT_EQ(listing(), (std::set<std::string>{output.filename(), "faces.jsonl"}));

    const DecodedVideo video = readVideo(output);
    const std::vector<LoggedFrame> log = readFaceLog(faces);
    ASSERT_EQ(video.frames.size(), 60u);
    ASSERT_EQ(log.size(), 60u);
    size_t checkedFaces = 0;
    std::set<int64_t> ids;
    for (size_t i = 0; i < log.size(); ++i) {
        SCOPED_TRACE("frame " + std::to_string(i));
        ASSERT_EQ(video.frames[i].size(), cv::Size(kOutputWidth, kOutputHeight));
        EXPECT_EQ(log[i].frame, static_cast<int64_t>(i));
        EXPECT_NEAR(log[i].time, static_cast<double>(i) / 30, 0.002);
        EXPECT_NEAR(video.times[i] - video.times[0], static_cast<double>(i) / 30, 0.002);
        for (const LoggedFace& face : log[i].faces) {
            ids.insert(face.id);
            EXPECT_FALSE(face.shown);
            const cv::Rect inner = core(face.pixels);
            if (inner.area() < 400)
                continue; // mostly outside the frame
            const cv::Scalar mean = cv::mean(video.frames[i](inner));
            EXPECT_LT(std::max({mean[0], mean[1], mean[2]}), 12.0) << face.id << face.pixels;
            ++checkedFaces;
        }
    }
    // The astronaut is in every frame and the photographer beside her for a while.
    EXPECT_GE(checkedFaces, log.size());
    EXPECT_GE(ids.size(), 2u);
}

// Writes a WebM clip of the given frames (BGR) at the given times (seconds), with a tone that
// runs `soundSeconds`.
bool writeClip(const fs::path& path, const std::vector<cv::Mat>& frames,
               const std::vector<double>& times, double soundSeconds) {
    const std::string description =
        "appsrc name=video format=time caps=video/x-raw,format=BGR,framerate=0/1,width=" +
        std::to_string(frames[0].cols) + ",height=" + std::to_string(frames[0].rows) +
        " ! videoconvert ! vp8enc deadline=1 ! webmmux name=mux ! filesink location=\"" +
        path.string() + "\" audiotestsrc num-buffers=" +
        std::to_string(static_cast<int>(soundSeconds * 44100 / 1024)) +
        " ! audioconvert ! vorbisenc ! mux.";
    GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
    if (!pipeline)
        return false;
    GstElement* source = gst_bin_get_by_name(GST_BIN(pipeline), "video");
    for (size_t i = 0; i < frames.size(); ++i) {
        const cv::Mat& frame = frames[i];
        GstBuffer* buffer = gst_buffer_new_memdup(frame.data, frame.total() * frame.elemSize());
        GST_BUFFER_PTS(buffer) = static_cast<GstClockTime>(times[i] * GST_SECOND);
        gst_app_src_push_buffer(GST_APP_SRC(source), buffer);
    }
    gst_app_src_end_of_stream(GST_APP_SRC(source));
    gst_object_unref(source);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstMessage* message = gst_bus_timed_pop_filtered(
        GST_ELEMENT_BUS(pipeline), 60 * GST_SECOND,
        static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    const bool ok = message && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
    gst_clear_message(&message);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    return ok;
}

// The length of a file's sound track in seconds; 0 when it has none.
double soundSeconds(const fs::path& path) {
    GstDiscoverer* discoverer = gst_discoverer_new(10 * GST_SECOND, nullptr);
    const std::string uri = "file://" + fs::absolute(path).string();
    GstDiscovererInfo* info = gst_discoverer_discover_uri(discoverer, uri.c_str(), nullptr);
    double seconds = 0;
    if (info) {
        GList* sounds = gst_discoverer_info_get_audio_streams(info);
        if (sounds)
            seconds = static_cast<double>(gst_discoverer_info_get_duration(info)) / GST_SECOND;
        gst_discoverer_stream_info_list_free(sounds);
        gst_object_unref(info);
    }
    gst_object_unref(discoverer);
    return seconds;
}

TEST_F(CoverToolTest, KeepsSizeSoundAndTimingOfAVideo) {
    struct Case {
        std::string name;
        cv::Size size;
        double scale;   // of the picture
        cv::Point2d at; // where the face's top-left corner lands
        std::string output;
    };
    // A 1080p clip, and a portrait one whose face lies where filling a wide frame would have
    // cut it off. Frames at irregular times; the sound runs half a second past the picture.
    const std::vector<Case> cases = {
        {"wide", {1920, 1080}, 2.0, {1500, 700}, "wide-covered.webm"},
        {"portrait", {720, 1280}, 2.5, {300, 1000}, "portrait-covered.mkv"},
    };
    const std::vector<double> times = {0, 0.04, 0.07, 0.15, 0.2, 0.3, 0.31, 0.45, 0.5, 0.6};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<cv::Mat> frames; // the face moving a little
        for (size_t i = 0; i < times.size(); ++i)
            frames.push_back(
                placeAstronaut(c.size, c.scale, c.at + cv::Point2d(4.0 * double(i), 0)));
        const fs::path input = dir_ / (c.name + ".webm");
        ASSERT_TRUE(writeClip(input, frames, times, 1.1));
        const fs::path output = dir_ / c.output;
        const ToolResult result = runTool({"--style", "box", input.string(), output.string()});
        ASSERT_EQ(result.status, 0) << result.err;
        EXPECT_NE(result.err.find("audio track (Vorbis) is copied"), std::string::npos)
            << result.err;

        const DecodedVideo covered = readVideo(output);
        ASSERT_EQ(covered.frames.size(), frames.size());
        EXPECT_NEAR(soundSeconds(output), soundSeconds(input), 0.05);
        EXPECT_GT(soundSeconds(output), 1.0);
        for (size_t i = 0; i < frames.size(); ++i) {
            SCOPED_TRACE("frame " + std::to_string(i));
            EXPECT_NEAR(covered.times[i], times[i], 0.002);
            ASSERT_EQ(covered.frames[i].size(), c.size);
            const cv::Rect truth = faceIn(c.scale, c.at + cv::Point2d(4.0 * double(i), 0));
            // Black after lossy encoding: near black, not exactly.
            const cv::Scalar mean = cv::mean(covered.frames[i](truth));
            EXPECT_LT(std::max({mean[0], mean[1], mean[2]}), 12.0) << truth;
            // Away from the face the picture is the input's, give or take the encoder.
            const cv::Rect corner(0, 0, 64, 64);
            EXPECT_LT(meanDifference(frames[i](corner), covered.frames[i](corner)), 8.0);
        }
    }
}

TEST_F(CoverToolTest, CoversImagesIntoAFolderWhereTheFacesTrulyAreAndNamesTheOneThatFails) {
    // The covered pixels, not the reported boxes: the astronaut's face from the brows to the
    // chin (in astronaut.png) filled into 16:9 so that the top edge runs across the forehead,
    // leaning in (60 % of the width), and cut 35 % by the left, right and bottom edges. (A face
    // cut at the top below the brows is a known miss: the network needs the eyes.)
    const double s = 2.5;
    const std::map<std::string, std::pair<double, cv::Point2d>> cases = {
        {"filled", {s, {437, -5}}},
        {"close-up", {768 / kFace.width, {256, 60}}},
        {"cut-left", {s, {-0.35 * s * kFace.width, 250}}},
        {"cut-right", {s, {kOutputWidth - 0.65 * s * kFace.width, 250}}},
        {"cut-bottom", {s, {500, kOutputHeight - 0.65 * s * kFace.height}}},
    };
    // Beside them astronaut.png itself, a JPEG copy of it and an input that fails.
    const cv::Mat expected = cv::imread(kAstronaut.string(), cv::IMREAD_COLOR);
    const fs::path second = dir_ / "second.jpg";
    cv::imwrite(second.string(), expected);
    std::vector<std::string> arguments = {"--style", "box", "-o", (dir_ / "out").string()};
    for (const fs::path& input : {kAstronaut, dir_ / "absent.png", second})
        arguments.push_back(input.string());
    for (const auto& [name, place] : cases) {
        const auto& [scale, at] = place;
        arguments.push_back((dir_ / (name + ".png")).string());
        ASSERT_TRUE(cv::imwrite(arguments.back(),
                                placeAstronaut({kOutputWidth, kOutputHeight}, scale, at)));
    }
    // The input that fails is named, the others still run, and the status says that one failed.
    const ToolResult result = runTool(arguments);
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_NE(result.err.find("absent.png': "), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("covered 7 of 8 files; 1 failed"), std::string::npos) << result.err;
    for (const auto& [name, place] : cases) {
        const auto& [scale, at] = place;
        const cv::Mat covered = cv::imread((dir_ / "out" / (name + ".png")).string());
        ASSERT_FALSE(covered.empty()) << name;
        const cv::Rect truth = faceIn(scale, at) & cv::Rect(0, 0, covered.cols, covered.rows);
        // Every pixel from the brows to the chin: a cover that sits a little off leaves a band of
        // the face visible.
        cv::Mat black;
        cv::inRange(covered(truth), cv::Scalar::all(0), cv::Scalar::all(0), black);
        EXPECT_EQ(cv::countNonZero(black), truth.area()) << name << " " << truth;
    }
    // Each picture is written under its own name and keeps its size, the face covered and the
    // background's corner as it was.
    const cv::Rect face = core(kFace);
    const cv::Rect corner(0, 0, 64, 64);
    for (const fs::path& name : {kAstronaut.filename(), second.filename()}) {
        const cv::Mat written = cv::imread((dir_ / "out" / name).string(), cv::IMREAD_COLOR);
        ASSERT_EQ(written.size(), expected.size()) << name;
        EXPECT_GT(meanDifference(expected(face), written(face)), 4.0) << name;
        EXPECT_LT(meanDifference(expected(corner), written(corner)), 4.0) << name;
    }
}

TEST_F(CoverToolTest, RefusesBadInputsWithOneLineAndLeavesNothing) {
    const fs::path out = dir_ / "out.webm";
    expectRefused({(dir_ / "missing.webm").string(), out.string()}, {}, 1, "No such file");
    expectRefused({dir_.string(), out.string()}, {}, 1, "directory");

    const fs::path text = dir_ / "notes.webm";
    std::ofstream(text) << "this is not a video\n";
    expectRefused({text.string(), out.string()}, text, 1, "notes.webm");

    // A clip whose start is overwritten.
    std::string damaged = readFile(kDemoClip);
    for (size_t i = 0; i < 8000; ++i)
        damaged[i] = static_cast<char>((i * 7919) % 251);
    const fs::path garbled = dir_ / "garbled.webm";
    std::ofstream(garbled, std::ios::binary) << damaged;
    expectRefused({garbled.string(), out.string()}, garbled, 1, "garbled.webm");

    // A JPEG cut off in its picture data decodes (grey below the cut) but is refused.
    std::vector<uchar> jpeg;
    cv::imencode(".jpg", cv::imread(kAstronaut.string(), cv::IMREAD_COLOR), jpeg);
    const fs::path cut = dir_ / "cut.jpg";
    std::ofstream(cut, std::ios::binary)
        .write(reinterpret_cast<const char*>(jpeg.data()),
               static_cast<std::streamsize>(jpeg.size() * 3 / 5));
    expectRefused({cut.string(), (dir_ / "out.png").string()}, cut, 1, "truncated");

    // Command-line mistakes: status 2, and no file is even opened. An image in, a video out is
    // one too.
    expectRefused({kAstronaut.string(), (dir_ / "x.webm").string()}, kAstronaut, 2, "image");
    expectRefused({"--bogus", excerpt().string(), out.string()}, excerpt(), 2, "--bogus");
    // Writing over the input is refused whatever the name.
    const fs::path copy = dir_ / "copy.webm";
    fs::copy_file(kDemoClip, copy);
    expectRefused({copy.string(), (dir_ / "." / "copy.webm").string()}, copy, 2, "INPUT");

    // Nowhere to write.
    expectRefused({excerpt().string(), (dir_ / "no" / "such" / "dir" / "out.webm").string()},
                  excerpt(), 1, "No such file");

    // Without a usable model nothing is written.
    const fs::path notAModel = dir_ / "model.onnx";
    std::ofstream(notAModel) << "not a network";
    expectRefused({"--model", notAModel.string(), excerpt().string(), out.string()}, notAModel, 1,
                  notAModel.string());

    // A failed run keeps the old output: the excerpt cut in half opens and plays, then stops short
    // of the length its header gives, found only after half the frames were covered and encoded.
    if (defaultFaceModelPath().empty())
        GTEST_SKIP() << "the rest needs the face model (scripts/fetch-model)";
    const std::string whole = readFile(excerpt());
    const fs::path truncated = dir_ / "truncated.avi";
    std::ofstream(truncated, std::ios::binary) << whole.substr(0, whole.size() / 2);
    const fs::path faces = dir_ / "faces.jsonl";
    std::ofstream(out) << "previous output";
    std::ofstream(faces) << "previous faces";
    expectRefused({"--faces", faces.string(), truncated.string(), out.string()}, truncated, 1,
                  "truncated");
    EXPECT_EQ(readFile(out), "previous output");
    EXPECT_EQ(readFile(faces), "previous faces");
}

TEST_F(CoverToolTest, InterruptRemovesTheTemporaryFiles) {
    // The whole demo clip takes several seconds; the interrupt comes once the temporary output
    // files exist, well before the end.
    const fs::path output = dir_ / "out.webm";
    const ToolResult result =
        runTool({kDemoClip.string(), output.string(), "--faces", (dir_ / "f.jsonl").string()},
                [&] { return listing().size() >= 2; });
    EXPECT_EQ(result.status, 130) << result.err;
    ASSERT_EQ(result.lines(), 1) << result.err;
    EXPECT_NE(result.err.find("interrupted"), std::string::npos);
    EXPECT_TRUE(listing().empty());
}

TEST(CoverFaceLog, WritesFrameSharesAndPixelsAsJson) {
    // Frame pixels are y-up: a face at the bottom-left corner is at the bottom of the log's
    // top-down rectangles; pixel rectangles are rounded outwards.
    const std::vector<TrackedFace> faces = {{7, {0, 0, 360, 640}, false},
                                            {9, {180.5, 960, 72, 128}, true}};
    EXPECT_EQ(faceLogLine(3, 0.1, faces, 720, 1280),
              "{\"frame\": 3, \"time\": 0.1, \"faces\": ["
              "{\"id\": 7, \"rect\": [0, 0.5, 0.5, 0.5], \"pixels\": [0, 640, 360, 640], "
              "\"shown\": false}, "
              "{\"id\": 9, \"rect\": [0.250694, 0.15, 0.1, 0.1], \"pixels\": [180, 192, 73, 128], "
              "\"shown\": true}]}");
    // JSON has no NaN.
    EXPECT_EQ(faceLogLine(1, std::nan(""), {}, 720, 1280),
              "{\"frame\": 1, \"time\": null, \"faces\": []}");
}

TEST(TemporaryOutput, ReplacesTheTargetOnlyOnCommit) {
    std::string pattern = (fs::temp_directory_path() / "orlenta-cover-parts-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    const auto entries = [&] { return std::distance(fs::directory_iterator(dir), {}); };
    const fs::path target = dir / "out.webm";
    std::ofstream(target) << "old";
    ::chmod(target.c_str(), 0640);

    std::string error;
    auto output = TemporaryOutput::create(target, &error);
    ASSERT_TRUE(output) << error;
    EXPECT_EQ(output->path().parent_path(), dir);
    EXPECT_EQ(output->path().extension(), ".webm");
    ASSERT_EQ(::write(output->fd(), "new", 3), 3);
    EXPECT_EQ(readFile(target), "old");
    ASSERT_TRUE(output->commit(&error)) << error;
    EXPECT_EQ(readFile(target), "new");
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u); // the replaced file's mode carries over
    output.reset();
    EXPECT_EQ(entries(), 1);

    // A killed run's leftover (old, unlocked) goes when the next run starts in the folder; the
    // file of a run still going (locked), the user's own hidden files and fresh files stay.
    const auto old = fs::file_time_type::clock::now() - std::chrono::minutes(1);
    const fs::path leftover = dir / ".out.orlenta-Ab12Cd.webm";
    const fs::path mine = dir / ".notes";
    const fs::path fresh = dir / ".clip.orlenta-Ef34Gh.mp4";
    for (const fs::path& file : {leftover, mine, fresh})
        std::ofstream(file) << "x";
    fs::last_write_time(leftover, old);
    fs::last_write_time(mine, old);
    auto running = TemporaryOutput::create(dir / "other.webm", &error);
    ASSERT_TRUE(running) << error;
    fs::last_write_time(running->path(), old);
    output = TemporaryOutput::create(target, &error);
    ASSERT_TRUE(output) << error;
    EXPECT_FALSE(fs::exists(leftover));
    EXPECT_TRUE(fs::exists(mine));
    EXPECT_TRUE(fs::exists(fresh));
    EXPECT_TRUE(fs::exists(running->path()));
    running.reset();
    output.reset();
    fs::remove_all(dir);
}

// Finds one face in the middle of every frame from the tenth on, and none before.
struct LateDetector final : FaceDetector {
    int calls = 0;
    std::optional<std::vector<FaceObservation>> detect(const cv::Mat&) override {
        if (calls++ < 9)
            return std::vector<FaceObservation>{};
        return std::vector<FaceObservation>{{{0.4, 0.4, 0.2, 0.2}, 0.9f, {}}};
    }
};

TEST(CoverLookback, AFaceFoundLateIsCoveredInTheSevenFramesBefore) {
    std::string pattern = (fs::temp_directory_path() / "orlenta-lookback-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    const fs::path input = dir / "in.avi";
    const fs::path output = dir / "out.mkv";
    {
        cv::VideoWriter writer(input.string(), cv::CAP_OPENCV_MJPEG,
                               cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), 30, cv::Size(320, 240));
        ASSERT_TRUE(writer.isOpened());
        const cv::Mat grey(240, 320, CV_8UC3, cv::Scalar(128, 128, 128));
        for (int i = 0; i < 16; ++i)
            writer.write(grey);
    }
    const VideoCoverResult result =
        coverVideoFile(input, output, std::make_unique<LateDetector>(), CoverStyle::box, {});
    ASSERT_EQ(result.failure, "");

    const std::vector<cv::Mat> frames = readVideo(output).frames;
    fs::remove_all(dir);
    ASSERT_EQ(frames.size(), 16u);
    // Frames 2 on are covered; the two before lie before the look back.
    for (size_t i = 0; i < frames.size(); ++i) {
        const int centre = frames[i].at<cv::Vec3b>(120, 160)[1];
        EXPECT_TRUE(i >= 2 ? centre < 40 : centre > 100) << "frame " << i << ": " << centre;
    }
}

} // namespace
} // namespace orlenta
