#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <unistd.h>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "app/pipeline/face_detector.h"

namespace orlenta {
namespace {

namespace fs = std::filesystem;

constexpr double degree = M_PI / 180;

// In astronaut.png (512 x 512, top-left origin), by eye: the face from the hairline to the chin and
// from cheek to cheek.
const cv::Rect2d astronautFace(175, 72, 102, 110);
// In camera.png: the photographer's face in profile, turned towards image-right.
const cv::Rect2d cameraFace(180, 95, 75, 100);
// Where the pictures are placed in a 1280 x 720 frame unless a test says otherwise.
const cv::Size kFrame(1280, 720);
const cv::Point kAt(384, 104);

cv::Mat loadPicture(const std::string& name) {
    const cv::Mat bgr =
        cv::imread(std::string(ORLENTA_SOURCE_DIR) + "/tests/data/" + name, cv::IMREAD_COLOR);
    cv::Mat bgra;
    if (!bgr.empty())
        cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
    return bgra;
}

// A frame of the given size in a plain grey, with the picture scaled by `scale` and its top-left
// corner at `at` (which may lie outside the frame: the picture is cut by the frame's edge).
cv::Mat frameWith(const cv::Mat& picture, cv::Size frame, cv::Point at, double scale = 1) {
    cv::Mat out(frame, CV_8UC4, cv::Scalar(120, 125, 130, 255));
    cv::Mat scaled;
    cv::resize(picture, scaled, cv::Size(), scale, scale, cv::INTER_AREA);
    const cv::Rect placed = cv::Rect(at, scaled.size()) & cv::Rect(cv::Point(), frame);
    scaled(placed - at).copyTo(out(placed));
    return out;
}

// A rectangle in a frame's pixels (top-left origin) as the detector reports it: normalized, origin
// bottom-left.
Rect expectedBox(const cv::Rect2d& r, cv::Point at, double scale, cv::Size frame) {
    const double h = r.height * scale;
    return {(at.x + r.x * scale) / frame.width, 1 - (at.y + r.y * scale + h) / frame.height,
            r.width * scale / frame.width, h / frame.height};
}

const Rect kAstronautBox = expectedBox(astronautFace, kAt, 1, kFrame);

double iou(const Rect& a, const Rect& b) {
    const Rect overlap = a.intersection(b);
    if (overlap.isNull())
        return 0;
    const double common = overlap.width * overlap.height;
    return common / (a.width * a.height + b.width * b.height - common);
}

class FaceDetectorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        modelPath = defaultFaceModelPath();
        if (modelPath.empty())
            return;
        std::string error;
        // Every pass on every frame, so that results depend on the frame alone.
        FaceDetectorOptions options;
        options.everyTileEachFrame = true;
        options.engine = FaceEngine::xnnpack;
        detector = loadFaceDetector(modelPath, &error, options).release();
        loadError = error;
        astronaut = loadPicture("astronaut.png");
    }
    static void TearDownTestSuite() {
        delete detector;
        detector = nullptr;
    }

    void SetUp() override {
        if (modelPath.empty())
            GTEST_SKIP() << "the face model is not installed; run scripts/fetch-model";
        ASSERT_NE(detector, nullptr) << loadError;
        ASSERT_FALSE(astronaut.empty());
    }

    // The most confident face, which must be the only face overlapping `expected`, and at most
    // `maxOthers` faces elsewhere (the recall-first passes find a few weak ones on the suit, the
    // flag and the camera).
    static FaceObservation onlyFaceNear(const cv::Mat& frame, const Rect& expected,
                                        std::size_t maxOthers = 3) {
        const auto faces = detector->detect(frame);
        EXPECT_TRUE(faces.has_value());
        if (!faces || faces->empty()) {
            ADD_FAILURE() << "no face found";
            return {};
        }
        for (const FaceObservation& f : *faces)
            EXPECT_TRUE(Rect(0, 0, 1, 1).contains(f.boundingBox) && !f.boundingBox.isEmpty());
        const FaceObservation& best = faces->front();
        EXPECT_GT(iou(best.boundingBox, expected), 0.5);
        EXPECT_GE(best.confidence, 0.5f);
        for (std::size_t i = 1; i < faces->size(); ++i) {
            EXPECT_LE(iou((*faces)[i].boundingBox, best.boundingBox), 0.3)
                << "overlapping boxes survived suppression";
            EXPECT_LE((*faces)[i].confidence, best.confidence);
        }
        EXPECT_LE(faces->size(), 1 + maxOthers);
        return best;
    }

    static inline std::string modelPath;
    static inline std::string loadError;
    static inline FaceDetector* detector = nullptr;
    static inline cv::Mat astronaut;
};

TEST_F(FaceDetectorTest, FindsTheAstronautInFramesOfAnySizeAndNothingInOtherFrames) {
    // Plain frames give none, whatever their size, however degenerate.
    for (const cv::Size size :
         {kFrame, cv::Size(1, 1), cv::Size(1, 720), cv::Size(5000, 2), cv::Size(2, 3)})
        for (const double level : {0.0, 128.0, 255.0}) {
            const auto faces = detector->detect(cv::Mat(size, CV_8UC4, cv::Scalar::all(level)));
            EXPECT_TRUE(faces && faces->empty())
                << size.width << "x" << size.height << " " << level;
        }
    // Frames that are not BGRA pictures give no answer at all (so the caller covers everything);
    // the detector keeps working after them.
    const int dims[] = {2, 720, 1280};
    for (const cv::Mat& bad : {cv::Mat(), cv::Mat(720, 1280, CV_8UC3, cv::Scalar::all(0)),
                               cv::Mat(720, 1280, CV_8UC1, cv::Scalar::all(0)),
                               cv::Mat(720, 1280, CV_32FC4, cv::Scalar::all(0)),
                               cv::Mat(0, 1280, CV_8UC4), cv::Mat(3, dims, CV_8UC4)})
        EXPECT_FALSE(detector->detect(bad).has_value()) << bad.type() << " " << bad.rows;

    struct Case {
        cv::Size frame;
        cv::Point at;
        double scale;
    };
    // 4:3 and portrait frames are letterboxed with padding at the sides; a small frame is scaled
    // up, a large one down; faces near and cut by every edge check the offsets; a close-up (the
    // face over half the frame's width, its chin cut off) and faces cut at the brows and by a
    // third at the side.
    const Case cases[] = {
        {kFrame, kAt, 1.0},
        {{640, 480}, {60, 0}, 0.9},
        {{720, 1280}, {100, 300}, 1.0},
        {{400, 300}, {100, 20}, 0.5},
        {{1920, 1080}, {1300, 500}, 1.1},
        {kFrame, {0, 0}, 1.0},
        {kFrame, {760, 200}, 1.0},
        {kFrame, {-200, -85}, 1.0},
        {kFrame, {1020, 580}, 1.0},
        {kFrame, {-975, -504}, 7.0},
        {kFrame, {-25, -242}, 2.5},
        {kFrame, {-527, 70}, 2.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.frame.width) + "x" + std::to_string(c.frame.height) + " at " +
                     std::to_string(c.at.x) + ", " + std::to_string(c.at.y));
        const Rect truth = expectedBox(astronautFace, c.at, c.scale, c.frame);
        onlyFaceNear(frameWith(astronaut, c.frame, c.at, c.scale),
                     truth.intersection({0, 0, 1, 1}));
    }
}

TEST_F(FaceDetectorTest, AFaceInProfileHasALargeYawEitherWay) {
    // The cover box widens with the yaw's size: the photographer, turned towards image-right and
    // mirrored, has a large one; the nearly frontal astronaut a small one.
    const cv::Mat turned = frameWith(loadPicture("camera.png"), kFrame, kAt);
    cv::Mat mirrored;
    cv::flip(turned, mirrored, 1);
    const Rect box = expectedBox(cameraFace, kAt, 1, kFrame);
    const Rect flipped{1 - box.maxX(), box.y, box.width, box.height};
    EXPECT_GT(std::abs(onlyFaceNear(turned, box).yaw.value_or(0)), 25 * degree);
    EXPECT_GT(std::abs(onlyFaceNear(mirrored, flipped).yaw.value_or(0)), 25 * degree);
    const cv::Mat frontal = frameWith(astronaut, kFrame, kAt);
    EXPECT_LT(std::abs(onlyFaceNear(frontal, kAstronautBox).yaw.value_or(1)), 20 * degree);
}

TEST_F(FaceDetectorTest, EnginesAgreeAndResultsDependOnlyOnTheFrame) {
    // XNNPACK (the fixture's detector) and OpenCV dnn give the same faces within rounding.
    std::string error;
    FaceDetectorOptions options;
    options.everyTileEachFrame = true;
    options.engine = FaceEngine::opencv;
    const auto reference = loadFaceDetector(modelPath, &error, options);
    ASSERT_NE(reference, nullptr) << error;
    const cv::Mat frame = frameWith(astronaut, kFrame, kAt);
    const cv::Mat frames[] = {frame, frameWith(loadPicture("camera.png"), kFrame, {800, 300}),
                              frameWith(astronaut, {640, 480}, {20, 10}, 0.3)};
    std::optional<std::vector<FaceObservation>> first;
    for (const cv::Mat& f : frames) {
        const auto a = reference->detect(f);
        const auto b = detector->detect(f);
        ASSERT_TRUE(a && b);
        if (!first)
            first = b;
        ASSERT_EQ(a->size(), b->size());
        for (std::size_t i = 0; i < a->size(); ++i) {
            EXPECT_NEAR((*a)[i].confidence, (*b)[i].confidence, 1e-3);
            const Rect& p = (*a)[i].boundingBox;
            const Rect& q = (*b)[i].boundingBox;
            EXPECT_LT(std::max({std::abs(p.x - q.x), std::abs(p.y - q.y),
                                std::abs(p.width - q.width), std::abs(p.height - q.height)}),
                      1e-3);
        }
    }
    // After frames of other shapes (whose padding differs), the same pixels as a view into a
    // larger, non-continuous buffer give exactly the first answer.
    cv::Mat larger(900, 1500, CV_8UC4, cv::Scalar(0, 0, 255, 255));
    frame.copyTo(larger(cv::Rect(100, 50, 1280, 720)));
    const auto again = detector->detect(larger(cv::Rect(100, 50, 1280, 720)));
    ASSERT_TRUE(again);
    ASSERT_EQ(again->size(), first->size());
    for (std::size_t i = 0; i < first->size(); ++i) {
        EXPECT_EQ((*again)[i].boundingBox, (*first)[i].boundingBox);
        EXPECT_EQ((*again)[i].confidence, (*first)[i].confidence);
    }
}

TEST(FaceModelLoadTest, BrokenAndForeignModelFilesAreRefusedWithOneLine) {
    const fs::path dir =
        fs::temp_directory_path() / ("orlenta-detect-test-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::ofstream(dir / "empty.onnx");
    // Half of the real model (when installed; else an empty file).
    std::ifstream model(defaultFaceModelPath(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(model), {}};
    std::ofstream(dir / "truncated.onnx", std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    // A well-formed ONNX file of another network (one Softmax).
    const auto field = [](int number, const std::string& payload) {
        return std::string(1, static_cast<char>(number << 3 | 2)) +
               static_cast<char>(payload.size()) + payload;
    };
    const std::string node = field(1, "x") + field(2, "y") + field(4, "Softmax");
    std::ofstream(dir / "other.onnx", std::ios::binary)
        << field(7, field(1, node) + field(11, field(1, "x")) + field(12, field(1, "y")));
    const std::pair<fs::path, std::string> refused[] = {{"", "no face model"},
                                                        {dir / "absent.onnx", "not found"},
                                                        {dir, "not a regular file"},
                                                        {dir / "empty.onnx", "is empty"},
                                                        {dir / "other.onnx", "face model"},
                                                        {dir / "truncated.onnx", "face model"}};
    for (const auto& [path, mention] : refused) {
        std::string error;
        EXPECT_EQ(loadFaceDetector(path, &error), nullptr) << path;
        EXPECT_EQ(error.find('\n'), std::string::npos) << error;
        EXPECT_NE(error.find(mention), std::string::npos) << error;
        EXPECT_EQ(loadFaceDetector(path, nullptr), nullptr); // no reason wanted
    }
    // XNNPACK names what it cannot run.
    std::string error;
    FaceDetectorOptions xnnpack;
    xnnpack.engine = FaceEngine::xnnpack;
    EXPECT_EQ(loadFaceDetector(dir / "other.onnx", &error, xnnpack), nullptr);
    EXPECT_NE(error.find("unsupported Softmax operator"), std::string::npos) << error;
    fs::remove_all(dir);
}

} // namespace
} // namespace orlenta
