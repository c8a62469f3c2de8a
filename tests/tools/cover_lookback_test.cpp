// A video's faces are covered from the frame they come into view, even where the detector finds
// them only some frames later (a small face waits for its quarter of the frame).
#include <filesystem>
#include <gtest/gtest.h>
#include <unistd.h>

#include <opencv2/videoio.hpp>

#include "tools/orlenta_cover/cover_job.h"

namespace orlenta {
namespace {

namespace fs = std::filesystem;

// Finds one face in the middle of every frame from the tenth on, and none before.
class LateDetector final : public FaceDetector {
public:
    std::optional<std::vector<FaceObservation>> detect(const cv::Mat&) override {
        if (calls_++ < 9)
            return std::vector<FaceObservation>{};
        FaceObservation face;
        face.boundingBox = {0.4, 0.4, 0.2, 0.2};
        face.confidence = 0.9f;
        return std::vector<FaceObservation>{face};
    }

private:
    int calls_ = 0;
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
    for (size_t i = 0; i < centre.size(); ++i) {
        if (i >= 2)
            EXPECT_LT(centre[i], 40) << "frame " << i << " is covered";
        else
            EXPECT_GT(centre[i], 100) << "frame " << i << " lies before the look back";
    }
}

} // namespace
} // namespace orlenta
