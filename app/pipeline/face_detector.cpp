// BlazeFace (the "back camera" network) over several views of each frame.
//
// Per pass: the pass's window (a rectangle in frame pixels that may reach past the frame's edges)
// is scaled into the network's input, and what lies outside the frame is filled with the frame
// mirrored at its edge. A face cut by the edge then shows its mirror image beyond it, which gives
// the network the other half of the face, or the eyes above a face cut at the brows, that it
// needs; on the labelled set this took faces cut 20 to 50 % by an edge from 91 to 99 % covered
// (the false boxes it adds along the edges mostly lie beyond them; see minShareInside). The picture
// is converted to RGB in [-1, 1] and passed as one NHWC tensor. The network scores anchors on two
// grids (stride 16 with 2 anchors per cell, stride 32 with 6) and regresses, relative to each
// anchor's centre and in input pixels, a box and six keypoints. Anchors above the threshold are
// mapped back through the window into the frame and cut to it, and the candidates of every pass are
// merged by weighted non-maximum suppression.
//
// Each pass keeps only the face sizes it sees well: the large pass's small faces and the tiles'
// large ones are mostly parts of faces or texture, and the other passes see those sizes better.
//
// A weak face is looked at again, closer: a square around it, twice its size, is given to a small
// network of its own, where the face fills half the input instead of a few dozen pixels. A real
// face scores well there; a patch of texture that looked like a face from afar mostly does not,
// and is dropped. The verdict is kept for a few frames, so that a box that stays in place is not
// checked on every frame.
//
// Yaw: the keypoints are projected on the axis from the right eye to the left eye, which removes
// the head's roll. Seen along that axis the head is a cylinder with the ears at -90 and +90
// degrees, so the nose's offset from the ears' midpoint, divided by half the ears' spread, is the
// sine over the cosine of the turn. Turning to the subject's own left moves the nose towards the
// left ear, which gives a positive yaw.
#include "app/pipeline/face_detector.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <limits>
#include <map>
#include <mutex>
#include <system_error>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "app/pipeline/onnx_graph.h"
#include "media/data_paths.h"
#include "media/dispatch.h"
#include "media/log.h"

namespace orlenta {

namespace {

constexpr std::size_t keypointCount = 6;
constexpr int regressorDepth = 4 + 2 * static_cast<int>(keypointCount);
constexpr float nmsIoU = 0.3f;
constexpr float logitLimit = 100.0f;
constexpr const char* modelFileName = "face_detection_back_448x256.onnx";

struct InputSize {
    int width;
    int height;
};
// The networks' input sizes: the whole frame and the tiles, and the large-face pass. Both are
// small enough that the network's first, largest layers stay near the processor's caches; at
// 448 x 256 the whole pass took almost twice as long.
constexpr InputSize wideInput{384, 224};
constexpr InputSize largeInput{320, 192};
// The closer look at a weak face.
constexpr InputSize closeInput{128, 128};
constexpr std::size_t closeNetwork = 2;

// Boxes with less of their area inside the frame are dropped: most are a mirrored texture in the
// margin that looks like a face. On the labelled set this took the close-ups with a false cover
// from 29 to 24 of 210 and missed no face cut up to half by an edge; at 0.45 such faces began to
// be missed.
constexpr float minShareInside = 0.35f;
// The large pass's margin around the frame, as a share of the frame's width and height on each
// side; the frame then fills 0.8 of the input's width.
constexpr double largeMargin = 0.125;
// A tile's width as a share of the frame's width, and how far the outer tiles reach past the
// frame's edges, as a share of the frame's width and height.
constexpr double tileWidth = 0.6;
constexpr double tileMargin = 0.025;
// Face widths, as a share of the frame's width, that the large pass and the tiles report.
constexpr double largePassMinFace = 0.08;
constexpr double tileMaxFace = 0.06;
// From this width on (a share of the frame's width) a face of the whole pass must score higher to
// count: the large pass sees such faces with the context around them and scores them high,
// while the whole pass's weak large boxes are mostly texture or parts of a face.
constexpr double largeFaceWidth = 0.1;
constexpr float largeFaceExtraScore = 0.2f;
// Near a large face the network finds weak boxes on its hair, ears and the things beside it. A
// box scoring below weakScore is dropped when its centre lies within nearFace widths of a face
// at least largerBy times wider that scores sureScore or more.
constexpr float weakScore = 0.45f;
constexpr float sureScore = 0.7f;
constexpr double largerBy = 2.5;
constexpr double nearFace = 1.5;
// A face scoring below closeLookBelow is looked at again in a square closeLookContext times its
// longer side, and kept when that view finds a face of about its size centred in it that scores
// closeLookScore or more. A face reaching past the frame's top edge needs only to be found there
// at the detector's own threshold: cut at the brows, its closer view holds its own mirror image
// above it and scores lower. On the labelled set this took the close-ups with a false cover from
// 24 to 9 of 210 (faces of 300 px or more: 13 to 4 of 176) and missed no face.
constexpr float closeLookBelow = 0.5f;
constexpr float closeLookContext = 2.0f;
constexpr float closeLookScore = 0.5f;
// At most this many new closer looks a frame (about 2 ms each); beyond them a weak face is kept.
// In video a verdict holds for closeLookFrames frames for the same box at about the same score.
constexpr int closeLooksPerFrame = 2;
constexpr std::size_t closeLookFrames = 8;

struct AnchorGrid {
    int stride;
    int anchorsPerCell;
};
constexpr AnchorGrid anchorGrids[] = {{16, 2}, {32, 6}};
constexpr std::size_t gridCount = std::size(anchorGrids);
// The outputs in the order the networks report them: each grid's scores, then its regressors.
const std::vector<std::string> outputNames = {"Identity:0", "Identity_2:0", "Identity_1:0",
                                              "Identity_3:0"};

// One face in frame pixels (y down).
struct Candidate {
    float score = 0;
    cv::Rect2f box;
    std::array<cv::Point2f, keypointCount> keypoints{};
    cv::Rect2f found; // the box as the network gave it, before it was cut to the frame
};

float iou(const cv::Rect2f& a, const cv::Rect2f& b) {
    const float overlap = (a & b).area();
    const float total = a.area() + b.area() - overlap;
    return total > 0 ? overlap / total : 0;
}

// The score-weighted mean of each cluster of overlapping candidates, reported with the score of
// its best member. Candidates must be sorted by descending score.
std::vector<Candidate> weightedNms(const std::vector<Candidate>& sorted) {
    std::vector<Candidate> merged;
    std::vector<bool> taken(sorted.size(), false);
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        if (taken[i])
            continue;
        const Candidate& best = sorted[i];
        float weight = 0;
        float x0 = 0, y0 = 0, x1 = 0, y1 = 0;
        std::array<cv::Point2f, keypointCount> keypoints{};
        for (std::size_t j = i; j < sorted.size(); ++j) {
            if (taken[j] || (j != i && iou(best.box, sorted[j].box) <= nmsIoU))
                continue;
            taken[j] = true;
            const Candidate& c = sorted[j];
            weight += c.score;
            x0 += c.score * c.box.x;
            y0 += c.score * c.box.y;
            x1 += c.score * (c.box.x + c.box.width);
            y1 += c.score * (c.box.y + c.box.height);
            for (std::size_t k = 0; k < keypointCount; ++k)
                keypoints[k] += c.score * c.keypoints[k];
        }
        Candidate out;
        out.score = best.score;
        out.found = best.found;
        out.box = cv::Rect2f(x0 / weight, y0 / weight, (x1 - x0) / weight, (y1 - y0) / weight);
        for (std::size_t k = 0; k < keypointCount; ++k)
            out.keypoints[k] = keypoints[k] / weight;
        merged.push_back(out);
    }
    return merged;
}

std::optional<double> yawFromKeypoints(const std::array<cv::Point2d, keypointCount>& k) {
    const auto at = [&](FaceKeypoint which) { return k[static_cast<std::size_t>(which)]; };
    const cv::Point2d eyeAxis = at(FaceKeypoint::leftEye) - at(FaceKeypoint::rightEye);
    const double eyeDistance = std::hypot(eyeAxis.x, eyeAxis.y);
    if (!(eyeDistance > 1e-6))
        return std::nullopt;
    const cv::Point2d u = eyeAxis / eyeDistance;
    const double rightEar = u.dot(at(FaceKeypoint::rightEar));
    const double leftEar = u.dot(at(FaceKeypoint::leftEar));
    const double halfSpread = (leftEar - rightEar) / 2;
    // Ears in the wrong order along the eye axis: the keypoints are not a head seen from the front
    // or side, and no turn can be read from them.
    if (!(halfSpread > 1e-6))
        return std::nullopt;
    const double yaw =
        std::atan((u.dot(at(FaceKeypoint::noseTip)) - (rightEar + leftEar) / 2) / halfSpread);
    if (!std::isfinite(yaw))
        return std::nullopt;
    return yaw;
}

std::string oneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

void setError(std::string* error, const std::string& message) {
    if (error)
        *error = message;
}

// A view of the frame for one network: `window` (frame pixels, y down, may reach past the frame)
// is scaled into the network's whole input.
struct Pass {
    const char* name;
    std::size_t network; // index into the detector's networks
    cv::Rect2d window;
    double minFace = 0; // widths of faces kept, in frame pixels
    double maxFace = std::numeric_limits<double>::infinity();
    bool strictOnLargeFaces = false;
    float extraScore = 0; // above the detector's threshold, for every face of this pass
};

// The window of `aspect` (width / height) centred on the frame that holds it with `margin` of its
// width and height to spare on every side.
cv::Rect2d centredWindow(cv::Size frame, double aspect, double margin) {
    double width = frame.width * (1 + 2 * margin);
    double height = frame.height * (1 + 2 * margin);
    if (width / height < aspect)
        width = height * aspect;
    else
        height = width / aspect;
    return {(frame.width - width) / 2, (frame.height - height) / 2, width, height};
}

std::vector<Pass> planPasses(cv::Size frame) {
    const double wideAspect = static_cast<double>(wideInput.width) / wideInput.height;
    const double largeAspect = static_cast<double>(largeInput.width) / largeInput.height;
    std::vector<Pass> passes;
    Pass whole{"whole", 0, centredWindow(frame, wideAspect, 0)};
    whole.strictOnLargeFaces = true;
    passes.push_back(whole);
    Pass large{"large", 1, centredWindow(frame, largeAspect, largeMargin)};
    large.minFace = largePassMinFace * frame.width;
    passes.push_back(large);
    // Four tiles of the wide input's shape, overlapping in the middle, the outer ones reaching a
    // little past the frame's edges.
    const double width = std::max(tileWidth * frame.width, tileWidth * frame.height * wideAspect);
    const double height = width / wideAspect;
    const double marginX = tileMargin * frame.width;
    const double marginY = tileMargin * frame.height;
    const double xs[] = {-marginX, frame.width + marginX - width};
    const double ys[] = {-marginY, frame.height + marginY - height};
    static const char* const names[] = {"tile top-left", "tile top-right", "tile bottom-left",
                                        "tile bottom-right"};
    for (int i = 0; i < 4; ++i) {
        Pass tile{names[i], 0, {xs[i % 2], ys[i / 2], width, height}};
        tile.maxFace = tileMaxFace * frame.width;
        // The tiles see texture at almost twice the whole pass's resolution, and their weak boxes
        // are mostly that; faces of their sizes score higher.
        tile.extraScore = 0.15f;
        passes.push_back(tile);
    }
    return passes;
}

constexpr std::size_t firstTile = 2;
constexpr std::size_t tileCount = 4;

// One thread's share of the work: its networks (indexed like Pass::network) and scratch images.
struct PassRunner {
    std::vector<std::unique_ptr<FaceNetwork>> networks;
    cv::Mat resized;
    cv::Mat rgb;
    cv::Mat scaled;
    std::vector<Candidate> found;
    std::vector<DetectionPassCost> costs;
    bool ok = true;
};

class BlazeFaceDetector final : public FaceDetector {
public:
    // One runner per thread; with two, the second runs the tiles on a queue of its own while the
    // calling thread runs the other passes. Whole passes on separate threads keep both cores
    // busy without the per-operator hand-offs of a shared thread pool, which stall whenever the
    // other core is taken by another program.
    BlazeFaceDetector(std::vector<PassRunner> runners, const FaceDetectorOptions& options)
        : runners_(std::move(runners)), scoreThreshold_(options.scoreThreshold),
          everyTile_(options.everyTileEachFrame) {
        if (runners_.size() > 1)
            worker_ = std::make_unique<SerialQueue>("example.orlenta.camera.detect");
    }

    // Runs every network on a blank input and checks that every output has the expected size.
    bool selfTest(std::string* error) {
        for (PassRunner& runner : runners_)
            for (const auto& network : runner.networks)
                if (!checkNetwork(*network, error))
                    return false;
        return true;
    }

    std::optional<std::vector<FaceObservation>> detect(const cv::Mat& bgra) override {
        costs_.clear();
        if (bgra.empty() || bgra.type() != CV_8UC4 || bgra.dims != 2)
            return std::nullopt;
        try {
            if (bgra.size() != frameSize_) {
                frameSize_ = bgra.size();
                passes_ = planPasses(frameSize_);
                closeLooks_.clear();
            }
            // Video: the whole pass on every frame; beside it the large pass on even frames and
            // one tile on odd ones, so each tile comes round every eighth frame. A still
            // picture: every pass.
            std::vector<const Pass*> own{&passes_[0]}, tiles;
            if (everyTile_) {
                own.push_back(&passes_[1]);
                for (std::size_t i = firstTile; i < passes_.size(); ++i)
                    tiles.push_back(&passes_[i]);
            } else if (frameCount_ % 2 == 0) {
                tiles.push_back(&passes_[1]);
            } else {
                tiles.push_back(&passes_[firstTile + (frameCount_ / 2) % tileCount]);
            }
            ++frameCount_;

            PassRunner& mine = runners_.front();
            PassRunner& other = runners_.back();
            std::promise<void> done;
            if (worker_) {
                worker_->async([&] {
                    runPasses(bgra, tiles, other);
                    done.set_value();
                });
            } else {
                own.insert(own.end(), tiles.begin(), tiles.end());
            }
            runPasses(bgra, own, mine);
            if (worker_)
                done.get_future().wait();

            candidates_.clear();
            for (PassRunner& runner : runners_) {
                if (!runner.ok)
                    return std::nullopt;
                candidates_.insert(candidates_.end(), runner.found.begin(), runner.found.end());
                costs_.insert(costs_.end(), runner.costs.begin(), runner.costs.end());
            }
            return observations(bgra);
        } catch (const std::exception&) {
            // cv::Exception from OpenCV, or an allocation failure.
            return std::nullopt;
        }
    }

    std::vector<DetectionPassCost> lastPassCosts() const override { return costs_; }

private:
    static bool checkNetwork(FaceNetwork& network, std::string* error) {
        const std::string size =
            std::to_string(network.inputWidth()) + "x" + std::to_string(network.inputHeight());
        if (!network.run()) {
            setError(error, "the network does not run on a " + size + " input");
            return false;
        }
        for (std::size_t g = 0; g < gridCount; ++g) {
            const AnchorGrid& grid = anchorGrids[g];
            const auto anchors = static_cast<std::size_t>((network.inputWidth() / grid.stride) *
                                                          (network.inputHeight() / grid.stride) *
                                                          grid.anchorsPerCell);
            const std::size_t counts[] = {anchors, anchors * regressorDepth};
            for (std::size_t o = 0; o < 2; ++o) {
                if (network.outputSize(2 * g + o) != counts[o]) {
                    setError(error,
                             "the network's outputs do not have the expected shapes at " + size);
                    return false;
                }
                const float* values = network.output(2 * g + o);
                if (!std::all_of(values, values + counts[o],
                                 [](float v) { return std::isfinite(v); })) {
                    setError(error, "the network gives non-finite values on a blank input");
                    return false;
                }
            }
        }
        return true;
    }

    // Runs the passes on one runner's networks; never throws (a failure clears runner.ok).
    void runPasses(const cv::Mat& bgra, const std::vector<const Pass*>& passes,
                   PassRunner& runner) const {
        runner.found.clear();
        runner.costs.clear();
        runner.ok = true;
        try {
            for (const Pass* pass : passes) {
                const auto start = std::chrono::steady_clock::now();
                if (!runPass(bgra, *pass, runner)) {
                    runner.ok = false;
                    return;
                }
                runner.costs.push_back({pass->name, std::chrono::duration<double, std::milli>(
                                                        std::chrono::steady_clock::now() - start)
                                                        .count()});
            }
        } catch (const std::exception&) {
            runner.ok = false;
        }
    }

    bool runPass(const cv::Mat& bgra, const Pass& pass, PassRunner& runner) const {
        FaceNetwork& network = *runner.networks[pass.network];
        const int inW = network.inputWidth();
        const int inH = network.inputHeight();
        const double scaleX = inW / pass.window.width;
        const double scaleY = inH / pass.window.height;
        // The part of the frame inside the window, and where it lands in the input.
        const cv::Rect2d visible = pass.window & cv::Rect2d(0, 0, bgra.cols, bgra.rows);
        cv::Mat input(inH, inW, CV_32FC3, network.input());
        if (visible.width <= 0 || visible.height <= 0) {
            input.setTo(0);
            return network.run();
        }
        const int x0 = std::clamp(
            static_cast<int>(std::lround((visible.x - pass.window.x) * scaleX)), 0, inW - 1);
        const int y0 = std::clamp(
            static_cast<int>(std::lround((visible.y - pass.window.y) * scaleY)), 0, inH - 1);
        const int x1 = std::clamp(
            static_cast<int>(std::lround((visible.br().x - pass.window.x) * scaleX)), x0 + 1, inW);
        const int y1 = std::clamp(
            static_cast<int>(std::lround((visible.br().y - pass.window.y) * scaleY)), y0 + 1, inH);
        const cv::Rect target(x0, y0, x1 - x0, y1 - y0);
        // Whole source pixels: the frame part is cut at pixel edges, and the mapping back uses
        // exactly the part that was scaled.
        const cv::Rect source(cv::Point(static_cast<int>(std::floor(visible.x)),
                                        static_cast<int>(std::floor(visible.y))),
                              cv::Point(static_cast<int>(std::ceil(visible.br().x)),
                                        static_cast<int>(std::ceil(visible.br().y))));
        cv::resize(bgra(source), runner.resized, target.size(), 0, 0, cv::INTER_LINEAR);
        cv::cvtColor(runner.resized, runner.rgb, cv::COLOR_BGRA2RGB);
        if (target.size() == input.size()) {
            runner.rgb.convertTo(input, CV_32F, 1.0 / 127.5, -1.0);
        } else {
            // The input keeps its memory: it already has the size and type the border makes.
            runner.rgb.convertTo(runner.scaled, CV_32F, 1.0 / 127.5, -1.0);
            cv::copyMakeBorder(runner.scaled, input, y0, inH - y1, x0, inW - x1,
                               cv::BORDER_REFLECT);
            if (input.data != static_cast<void*>(network.input()))
                return false;
        }
        if (!network.run())
            return false;

        // Input pixels to frame pixels, per axis.
        const double backX = static_cast<double>(source.width) / target.width;
        const double backY = static_cast<double>(source.height) / target.height;
        const auto toFrame = [&](float x, float y) {
            return cv::Point2f(static_cast<float>(source.x + (x - double(target.x)) * backX),
                               static_cast<float>(source.y + (y - double(target.y)) * backY));
        };
        for (std::size_t g = 0; g < gridCount; ++g)
            collectCandidates(anchorGrids[g], inW, inH, network.output(2 * g),
                              network.output(2 * g + 1), pass, bgra.cols, toFrame, runner.found);
        return true;
    }

    template <typename ToFrame>
    void collectCandidates(const AnchorGrid& grid, int inputWidth, int inputHeight,
                           const float* scores, const float* regressors, const Pass& pass,
                           double frameWidth, const ToFrame& toFrame,
                           std::vector<Candidate>& found) const {
        const int cellsX = inputWidth / grid.stride;
        const int anchors = cellsX * (inputHeight / grid.stride) * grid.anchorsPerCell;
        for (int i = 0; i < anchors; ++i) {
            const float logit = std::clamp(scores[i], -logitLimit, logitLimit);
            const float score = 1.0f / (1.0f + std::exp(-logit));
            // Also drops a NaN score.
            if (!(score >= scoreThreshold_))
                continue;
            const float* r = regressors + static_cast<std::ptrdiff_t>(i) * regressorDepth;
            if (!std::all_of(r, r + regressorDepth, [](float v) { return std::isfinite(v); }))
                continue;
            if (!(r[2] > 0) || !(r[3] > 0))
                continue;
            const int cell = i / grid.anchorsPerCell;
            const auto stride = static_cast<float>(grid.stride);
            const float ax = (static_cast<float>(cell % cellsX) + 0.5f) * stride;
            const float ay = (static_cast<float>(cell / cellsX) + 0.5f) * stride;
            Candidate c;
            c.score = score;
            const cv::Point2f topLeft = toFrame(ax + r[0] - r[2] / 2, ay + r[1] - r[3] / 2);
            const cv::Point2f bottomRight = toFrame(ax + r[0] + r[2] / 2, ay + r[1] + r[3] / 2);
            c.box = cv::Rect2f(topLeft, bottomRight);
            if (c.box.width < pass.minFace || c.box.width > pass.maxFace)
                continue;
            if (pass.strictOnLargeFaces && c.box.width >= largeFaceWidth * frameWidth &&
                score < scoreThreshold_ + largeFaceExtraScore)
                continue;
            if (score < scoreThreshold_ + pass.extraScore)
                continue;
            for (std::size_t k = 0; k < keypointCount; ++k)
                c.keypoints[k] = toFrame(ax + r[4 + 2 * k], ay + r[5 + 2 * k]);
            found.push_back(c);
        }
    }

    // Whether a weak candidate is a face on a closer look (see closeLookBelow). Runs on the
    // calling thread's runner once every pass is done.
    bool closeLookFindsFace(const Candidate& c, const cv::Mat& bgra, int& looksLeft) {
        PassRunner& runner = runners_.front();
        if (c.score >= closeLookBelow)
            return true;
        const cv::Rect2f& box = c.found;
        // A verdict holds for the same box again, unless it now scores clearly higher.
        for (const CloseLook& look : closeLooks_)
            if (iou(look.box, box) > 0.7f && c.score <= look.score + 0.05f)
                return look.face;
        if (looksLeft <= 0)
            return true;
        --looksLeft;
        const float side = closeLookContext * std::max(box.width, box.height);
        const cv::Point2f centre = (box.tl() + box.br()) * 0.5f;
        const Pass look{"closer look", closeNetwork,
                        cv::Rect2d(centre.x - side / 2, centre.y - side / 2, side, side)};
        const auto start = std::chrono::steady_clock::now();
        runner.found.clear();
        // A network that fails here keeps the face; the next frame's passes report the failure.
        if (!runPass(bgra, look, runner))
            return true;
        const float need = box.y < 0 ? scoreThreshold_ : closeLookScore;
        bool face = false;
        for (const Candidate& f : runner.found) {
            const cv::Point2f at = (f.box.tl() + f.box.br()) * 0.5f;
            face = face || (f.score >= need && box.contains(at) && f.box.width > 0.5f * box.width &&
                            f.box.width < 2.0f * box.width);
        }
        costs_.push_back({look.name, std::chrono::duration<double, std::milli>(
                                         std::chrono::steady_clock::now() - start)
                                         .count()});
        closeLooks_.push_back({box, c.score, face, frameCount_});
        return face;
    }

    std::vector<FaceObservation> observations(const cv::Mat& bgra) {
        const cv::Size frame = bgra.size();
        // Boxes are cut to the frame before they are merged: a face cut by the edge is also found
        // with its mirror image in the margin, as a box that reaches past the edge, and only the
        // parts inside the frame tell whether two boxes are the same face. A box mostly beyond
        // the edge is dropped (see minShareInside).
        const cv::Rect2f inside(0, 0, static_cast<float>(frame.width),
                                static_cast<float>(frame.height));
        for (Candidate& c : candidates_) {
            const float whole = c.box.area();
            c.found = c.box;
            c.box &= inside;
            if (c.box.area() < minShareInside * whole)
                c.box = cv::Rect2f();
        }
        std::erase_if(candidates_, [](const Candidate& c) { return c.box.empty(); });
        std::stable_sort(candidates_.begin(), candidates_.end(),
                         [](const Candidate& a, const Candidate& b) { return a.score > b.score; });
        const double width = frame.width;
        const double height = frame.height;
        const std::vector<Candidate> merged = weightedNms(candidates_);
        const auto besideLargeFace = [&](const Candidate& c) {
            if (c.score >= weakScore)
                return false;
            const cv::Point2f centre = (c.box.tl() + c.box.br()) * 0.5f;
            for (const Candidate& other : merged) {
                if (other.score < sureScore || other.box.width < largerBy * c.box.width)
                    continue;
                const cv::Point2f d = centre - (other.box.tl() + other.box.br()) * 0.5f;
                if (std::hypot(d.x, d.y) <= nearFace * other.box.width)
                    return true;
            }
            return false;
        };
        std::vector<FaceObservation> faces;
        // Video frames share verdicts; still pictures are each looked at afresh.
        std::erase_if(closeLooks_, [&](const CloseLook& look) {
            return everyTile_ || frameCount_ - look.frame >= closeLookFrames;
        });
        int looksLeft = closeLooksPerFrame;
        for (const Candidate& c : merged) {
            if (besideLargeFace(c) || !closeLookFindsFace(c, bgra, looksLeft))
                continue;
            const double x0 = std::clamp<double>(c.box.x, 0.0, width);
            const double y0 = std::clamp<double>(c.box.y, 0.0, height);
            const double x1 = std::clamp<double>(c.box.x + c.box.width, 0.0, width);
            const double y1 = std::clamp<double>(c.box.y + c.box.height, 0.0, height);
            if (!(x1 > x0) || !(y1 > y0))
                continue;

            FaceObservation face;
            face.boundingBox = {x0 / width, 1 - y1 / height, (x1 - x0) / width, (y1 - y0) / height};
            face.confidence = c.score;
            std::array<cv::Point2d, keypointCount> keypoints;
            for (std::size_t k = 0; k < keypointCount; ++k) {
                keypoints[k] = c.keypoints[k];
                face.keypoints[k] = {keypoints[k].x / width, 1 - keypoints[k].y / height};
            }
            face.yaw = yawFromKeypoints(keypoints);
            faces.push_back(face);
        }
        return faces;
    }

    std::vector<PassRunner> runners_;
    float scoreThreshold_;
    bool everyTile_;
    cv::Size frameSize_;
    std::vector<Pass> passes_;
    std::size_t frameCount_ = 0;
    std::vector<Candidate> candidates_;
    std::vector<DetectionPassCost> costs_;
    struct CloseLook {
        cv::Rect2f box;
        float score;
        bool face;
        std::size_t frame;
    };
    std::vector<CloseLook> closeLooks_; // the verdicts of the last closeLookFrames frames
    // Last, so that it is joined before the runners it works on go.
    std::unique_ptr<SerialQueue> worker_;
};

std::optional<std::vector<char>> readModelFile(const std::string& modelPath, std::string* error) {
    if (modelPath.empty()) {
        setError(error, "no face model path given (is the model installed? run scripts/setup)");
        return std::nullopt;
    }
    std::error_code ec;
    const auto status = std::filesystem::status(modelPath, ec);
    if (!std::filesystem::exists(status)) {
        setError(error, "face model " + modelPath + " not found (run scripts/fetch-model)");
        return std::nullopt;
    }
    if (!std::filesystem::is_regular_file(status)) {
        setError(error, "face model " + modelPath + " is not a regular file");
        return std::nullopt;
    }
    errno = 0;
    std::ifstream file(modelPath, std::ios::binary);
    std::vector<char> bytes;
    if (file)
        bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    if (!file && !file.eof()) {
        const int cause = errno;
        setError(error,
                 "cannot read face model " + modelPath +
                     (cause != 0 ? std::string(": ") + std::strerror(cause) : std::string()));
        return std::nullopt;
    }
    if (bytes.empty()) {
        setError(error, "face model " + modelPath + " is empty");
        return std::nullopt;
    }
    return bytes;
}

const Logger& detectorLog() {
    static const Logger log("example.orlenta.camera", "detector");
    return log;
}

// Makes one network of the given size; null with the reason in *error.
using NetworkMaker = std::function<std::unique_ptr<FaceNetwork>(InputSize, std::string*)>;

// The runners for `threads` threads (at most two), each with a network for each pass's input
// size; the calling thread's runner, which takes the closer looks, also has the closer look's.
std::vector<PassRunner> makeRunners(const NetworkMaker& make, int threads, std::string* error) {
    std::vector<PassRunner> runners(threads > 1 ? 2 : 1);
    for (std::size_t r = 0; r < runners.size(); ++r) {
        const std::vector<InputSize> sizes = r == 0 ? std::vector{wideInput, largeInput, closeInput}
                                                    : std::vector{wideInput, largeInput};
        for (const InputSize& size : sizes) {
            auto network = make(size, error);
            if (!network)
                return {};
            runners[r].networks.push_back(std::move(network));
        }
    }
    return runners;
}

std::vector<PassRunner> xnnpackRunners(const std::vector<char>& bytes, int threads,
                                       std::string* error) {
    const std::optional<OnnxGraph> graph = parseOnnxModel(bytes, error);
    if (!graph)
        return {};
    const std::shared_ptr<const XnnpackFaceModel> model = prepareXnnpackFaceModel(*graph, error);
    if (!model)
        return {};
    return makeRunners(
        [&](InputSize size, std::string* reason) {
            return makeXnnpackFaceNetwork(model, size.width, size.height, outputNames, 1, reason);
        },
        threads, error);
}

// OpenCV dnn runs a file only at the input size it was made for: it reads the rewritten copies
// beside the model file, one per input size, after checking that the model file itself is a
// network it can read.
std::vector<PassRunner> openCvRunners(const std::string& modelPath, const std::vector<char>& bytes,
                                      int threads, std::string* error) {
    std::string reason;
    if (!makeOpenCvFaceNetwork(bytes, 448, 256, outputNames, &reason)) {
        setError(error, "not a usable ONNX network: " + reason);
        return {};
    }
    std::map<int, std::vector<char>> sized; // by input width
    for (const InputSize& size : {wideInput, largeInput, closeInput}) {
        const std::filesystem::path path = std::filesystem::path(modelPath).parent_path() /
                                           ("face_detection_back_" + std::to_string(size.width) +
                                            "x" + std::to_string(size.height) + ".onnx");
        std::optional<std::vector<char>> file = readModelFile(path.string(), &reason);
        if (!file) {
            setError(error, "the networks for OpenCV dnn are missing: " + reason);
            return {};
        }
        sized[size.width] = std::move(*file);
    }
    std::vector<PassRunner> runners = makeRunners(
        [&](InputSize size, std::string* why) {
            return makeOpenCvFaceNetwork(sized[size.width], size.width, size.height, outputNames,
                                         why);
        },
        threads, &reason);
    if (runners.empty())
        setError(error, "not a usable ONNX network: " + reason);
    return runners;
}

std::unique_ptr<FaceDetector> loadBlazeFace(const std::string& modelPath, std::string* error,
                                            const FaceDetectorOptions& options) {
    if (!(options.scoreThreshold > 0 && options.scoreThreshold < 1)) {
        setError(error, "the face score threshold must be between 0 and 1");
        return nullptr;
    }
    if (options.threads < 1 || options.threads > 64) {
        setError(error, "the detector's thread count must be between 1 and 64");
        return nullptr;
    }
    const std::optional<std::vector<char>> bytes = readModelFile(modelPath, error);
    if (!bytes)
        return nullptr;

    std::string reason;
    std::vector<PassRunner> runners;
    if (options.engine != FaceEngine::opencv) {
        runners = xnnpackRunners(*bytes, options.threads, &reason);
        if (runners.empty() && options.engine == FaceEngine::xnnpack) {
            setError(error, "face model " + modelPath + " cannot run on XNNPACK: " + reason);
            return nullptr;
        }
    }
    if (runners.empty()) {
        const std::string xnnpackReason = reason;
        runners = openCvRunners(modelPath, *bytes, options.threads, &reason);
        if (runners.empty()) {
            setError(error, "face model " + modelPath + ": " + reason);
            return nullptr;
        }
        if (options.engine != FaceEngine::opencv) {
            // Said once per process: every later load would say the same.
            static std::once_flag said;
            std::call_once(said, [&] {
                detectorLog().error("Face detection runs on OpenCV dnn, because XNNPACK cannot "
                                    "run " +
                                    modelPath + ": " + xnnpackReason);
            });
        }
    }

    auto detector = std::make_unique<BlazeFaceDetector>(std::move(runners), options);
    if (!detector->selfTest(&reason)) {
        setError(error, "face model " + modelPath + ": " + reason);
        return nullptr;
    }
    return detector;
}

} // namespace

std::unique_ptr<FaceDetector> loadFaceDetector(const std::string& modelPath, std::string* error,
                                               const FaceDetectorOptions& options) {
    try {
        return loadBlazeFace(modelPath, error, options);
    } catch (const std::exception& e) {
        // Out of memory, or an OpenCV failure outside the checks above.
        setError(error, "face model " + modelPath + " could not be loaded: " + oneLine(e.what()));
        return nullptr;
    }
}

std::string defaultFaceModelPath() {
    std::vector<std::string> candidates;
    for (const std::string& folder : installedDataDirectories())
        candidates.push_back(folder + "/models/blazeface/" + modelFileName);
    candidates.push_back(std::string(ORLENTA_MODEL_SOURCE_DIR) + "/blazeface/" + modelFileName);
    for (const std::string& path : candidates) {
        std::error_code ec;
        if (std::filesystem::is_regular_file(path, ec))
            return path;
    }
    return {};
}

} // namespace orlenta
