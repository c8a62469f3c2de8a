// The parts of orlenta-cover that decide things on their own: the face log line, the temporary
// output file, and the look back that covers a face in the frames before the detector found it
// (a small face waits for its quarter of the frame).
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

#include <opencv2/videoio.hpp>

#include "tools/orlenta_cover/cover_job.h"
#include "tools/orlenta_cover/cover_report.h"
#include "tools/orlenta_cover/temporary_output.h"

namespace orlenta {
namespace {

namespace fs = std::filesystem;

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

std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
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
    EXPECT_EQ(contents(target), "old");
    ASSERT_TRUE(output->commit(&error)) << error;
    EXPECT_EQ(contents(target), "new");
    struct stat info {};
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u); // the replaced file's mode carries over
    output.reset();
    EXPECT_EQ(entries(), 1);

    // Not committed: the target stays as it was and nothing is left behind.
    output = TemporaryOutput::create(target, &error);
    ASSERT_TRUE(output) << error;
    ASSERT_EQ(::write(output->fd(), "half", 4), 4);
    output.reset();
    EXPECT_EQ(contents(target), "new");
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

    cv::VideoCapture capture(output.string(), cv::CAP_FFMPEG);
    std::vector<int> centre;
    for (cv::Mat frame; capture.read(frame);)
        centre.push_back(frame.at<cv::Vec3b>(120, 160)[1]);
    fs::remove_all(dir);
    ASSERT_EQ(centre.size(), 16u);
    // Frames 2 on are covered; the two before lie before the look back.
    for (size_t i = 0; i < centre.size(); ++i)
        EXPECT_TRUE(i >= 2 ? centre[i] < 40 : centre[i] > 100)
            << "frame " << i << ": " << centre[i];
}

} // namespace
} // namespace orlenta
