// Measures how many faces the product covers, on labelled pictures, through the app's cover path:
// the detector (every pass, tiles in turn as in live video), the tracker and the covering
// renderer in the box style, each case shown as eight frames of a 30 fps video (one turn of the
// tiles) and judged on the last.
//
// Cases are made from a development set of photographs with face boxes (a folder holding
// voc-faces/boxes.txt, "file x y width height" per face) by exact transforms of the boxes, and
// from the shipped astronaut picture:
//   - close-ups: a 16:9 window around one face, so that the face is 15 to 60 % of its width,
//     scaled to 1280 x 720;
//   - cut: the same window placed so that 20, 35 or 50 % of the face lies outside one edge (each
//     of the four), the face 15 or 30 % of the window's width;
//   - small and medium: whole pictures scaled so that their faces are about 32, 60 or 115 px wide,
//     packed side by side into 1280 x 720 frames.
// A face counts as covered when at least 70 % of the part of its box inside the frame is
// covered. A false cover is a covered rectangle that touches no labelled face.
//
// Usage: bench_eval_detection [development set folder (default: ../shared/devset beside the
// source tree)] [model file]

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "app/pipeline/cover_renderer.h"
#include "app/pipeline/face_detector.h"
#include "app/tracking/face_tracker.h"

namespace {

constexpr int frameWidth = 1280;
constexpr int frameHeight = 720;
constexpr int framesPerCase = 8;
constexpr double coveredShare = 0.7;

struct Picture {
    std::string name;
    cv::Mat bgra;
    std::vector<cv::Rect2d> faces;
};

struct Case {
    std::string kind; // "close-up", "cut", "whole"
    cv::Mat frame;
    std::vector<cv::Rect2d> faces; // in frame pixels, y down; may reach past the frame
    int subject = -1;              // the face the case was made around; -1: every face counts
};

struct Tally {
    int covered = 0;
    int total = 0;
    void add(bool c) {
        covered += c;
        ++total;
    }
    std::string text() const {
        char buffer[64];
        if (total == 0)
            return "-";
        std::snprintf(buffer, sizeof buffer, "%5.1f %% (%d of %d)", 100.0 * covered / total,
                      covered, total);
        return buffer;
    }
};

cv::Mat toBgra(const cv::Mat& bgr) {
    cv::Mat bgra;
    cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
    // No pure black in the input, so that every black pixel of a box-covered output is a cover.
    cv::max(bgra, cv::Scalar(1, 1, 1, 255), bgra);
    return bgra;
}

std::vector<Picture> loadDevset(const std::string& folder) {
    std::map<std::string, Picture> byName;
    std::ifstream boxes(folder + "/voc-faces/boxes.txt");
    std::string line;
    while (std::getline(boxes, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream fields(line);
        std::string file;
        double x, y, w, h;
        if (!(fields >> file >> x >> y >> w >> h))
            continue;
        Picture& p = byName[file];
        if (p.bgra.empty()) {
            const cv::Mat bgr = cv::imread(folder + "/voc-faces/" + file, cv::IMREAD_COLOR);
            if (bgr.empty())
                continue;
            p.name = file;
            p.bgra = toBgra(bgr);
        }
        p.faces.emplace_back(x, y, w, h);
    }
    std::vector<Picture> pictures;
    for (auto& [name, p] : byName)
        if (!p.bgra.empty())
            pictures.push_back(std::move(p));
    return pictures;
}

// The 1280 x 720 frame showing `window` of the picture (which must lie inside it), with the
// picture's faces mapped into it.
Case windowCase(const Picture& p, const cv::Rect2d& window, const std::string& kind, int subject) {
    Case c;
    c.kind = kind;
    const double scale = frameWidth / window.width;
    cv::Mat affine =
        (cv::Mat_<double>(2, 3) << scale, 0, -window.x * scale, 0, scale, -window.y * scale);
    cv::warpAffine(p.bgra, c.frame, affine, cv::Size(frameWidth, frameHeight), cv::INTER_LINEAR,
                   cv::BORDER_REPLICATE);
    for (std::size_t i = 0; i < p.faces.size(); ++i) {
        const cv::Rect2d& f = p.faces[i];
        const cv::Rect2d mapped((f.x - window.x) * scale, (f.y - window.y) * scale, f.width * scale,
                                f.height * scale);
        if ((mapped & cv::Rect2d(0, 0, frameWidth, frameHeight)).area() <= 0)
            continue;
        if (static_cast<int>(i) == subject)
            c.subject = static_cast<int>(c.faces.size());
        c.faces.push_back(mapped);
    }
    return c;
}

bool inside(const cv::Rect2d& r, const cv::Mat& picture) {
    return r.x >= 0 && r.y >= 0 && r.br().x <= picture.cols && r.br().y <= picture.rows;
}

std::vector<Case> makeCases(const std::vector<Picture>& pictures) {
    std::vector<Case> cases;
    const double aspect = static_cast<double>(frameHeight) / frameWidth;
    for (const Picture& p : pictures) {
        for (std::size_t i = 0; i < p.faces.size(); ++i) {
            const cv::Rect2d& f = p.faces[i];
            const cv::Point2d centre = (f.tl() + f.br()) * 0.5;
            // Close-ups: the window moved as little as needed to stay inside the picture.
            for (const double share : {0.15, 0.25, 0.35, 0.45, 0.6}) {
                const double w = f.width / share;
                cv::Rect2d window(centre.x - w / 2, centre.y - w * aspect / 2, w, w * aspect);
                window.x = std::clamp(window.x, 0.0, p.bgra.cols - window.width);
                window.y = std::clamp(window.y, 0.0, p.bgra.rows - window.height);
                if (inside(window, p.bgra))
                    cases.push_back(windowCase(p, window, "close-up", static_cast<int>(i)));
            }
            // Cut by each edge.
            for (const double share : {0.15, 0.3}) {
                const double w = f.width / share;
                const double h = w * aspect;
                for (const double cut : {0.2, 0.35, 0.5}) {
                    const cv::Rect2d windows[] = {
                        {f.x + cut * f.width, centre.y - h / 2, w, h},            // left edge
                        {f.br().x - cut * f.width - w, centre.y - h / 2, w, h},   // right edge
                        {centre.x - w / 2, f.y + cut * f.height, w, h},           // top edge
                        {centre.x - w / 2, f.br().y - cut * f.height - h, w, h}}; // bottom edge
                    const char* const edges[] = {"cut left", "cut right", "cut top", "cut bottom"};
                    for (int e = 0; e < 4; ++e)
                        if (inside(windows[e], p.bgra))
                            cases.push_back(
                                windowCase(p, windows[e], edges[e], static_cast<int>(i)));
                }
            }
        }
    }
    // Whole pictures at three face sizes, packed in rows.
    for (const double faceWidth : {32.0, 60.0, 115.0}) {
        Case c;
        const auto startFrame = [&] {
            c = Case{"whole",
                     cv::Mat(frameHeight, frameWidth, CV_8UC4, cv::Scalar(110, 115, 120, 255)),
                     {},
                     -1};
        };
        startFrame();
        int x = 0, y = 0, rowHeight = 0;
        for (const Picture& p : pictures) {
            std::vector<double> widths;
            for (const auto& f : p.faces)
                widths.push_back(f.width);
            std::nth_element(widths.begin(), widths.begin() + widths.size() / 2, widths.end());
            const double scale = faceWidth / widths[widths.size() / 2];
            cv::Mat scaled;
            cv::resize(p.bgra, scaled, cv::Size(), scale, scale, cv::INTER_AREA);
            if (scaled.cols > frameWidth || scaled.rows > frameHeight) {
                const cv::Rect keep(0, 0, std::min(scaled.cols, frameWidth),
                                    std::min(scaled.rows, frameHeight));
                scaled = scaled(keep).clone();
            }
            if (x + scaled.cols > frameWidth) {
                x = 0;
                y += rowHeight;
                rowHeight = 0;
            }
            if (y + scaled.rows > frameHeight) {
                cases.push_back(c);
                startFrame();
                x = y = rowHeight = 0;
            }
            scaled.copyTo(c.frame(cv::Rect(x, y, scaled.cols, scaled.rows)));
            for (const auto& f : p.faces) {
                const cv::Rect2d mapped(x + f.x * scale, y + f.y * scale, f.width * scale,
                                        f.height * scale);
                if ((mapped & cv::Rect2d(0, 0, scaled.cols + x, scaled.rows + y)).area() >=
                    mapped.area() * 0.99)
                    c.faces.push_back(mapped);
            }
            x += scaled.cols;
            rowHeight = std::max(rowHeight, scaled.rows);
        }
        cases.push_back(c);
    }
    return cases;
}

// Close-ups of the shipped astronaut picture, sharper than the development set's.
std::vector<Case> astronautCases() {
    std::vector<Case> cases;
    const cv::Mat bgr =
        cv::imread(std::string(ORLENTA_SOURCE_DIR) + "/tests/data/astronaut.png", cv::IMREAD_COLOR);
    if (bgr.empty())
        return cases;
    Picture p{"astronaut.png", toBgra(bgr), {cv::Rect2d(180, 85, 95, 95)}};
    const cv::Rect2d& f = p.faces[0];
    for (const double share : {0.3, 0.4, 0.5, 0.6}) {
        const double w = f.width / share;
        cv::Rect2d window(f.x + f.width / 2 - w / 2, f.y + f.height / 2 - w * 9 / 32, w,
                          w * 9 / 16);
        window.x = std::clamp(window.x, 0.0, p.bgra.cols - window.width);
        window.y = std::clamp(window.y, 0.0, p.bgra.rows - window.height);
        if (inside(window, p.bgra))
            cases.push_back(windowCase(p, window, "close-up", 0));
    }
    return cases;
}

std::string band(double width) {
    if (width < 25)
        return "under 25 px";
    if (width < 40)
        return "25-40 px";
    if (width < 80)
        return "40-80 px";
    if (width < 160)
        return "80-160 px";
    if (width < 400)
        return "160-400 px";
    return "over 400 px";
}

} // namespace

int main(int argc, char** argv) {
    const std::string devset =
        argc > 1 ? argv[1] : std::string(ORLENTA_SOURCE_DIR) + "/../shared/devset";
    const std::string model = argc > 2 ? argv[2] : orlenta::defaultFaceModelPath();
    // A case number as the third argument prints that case's covers and writes its output to
    // eval-case.png and its input with covers and true faces outlined to eval-input.png, to look
    // at a miss or a false cover.
    const long debugCase = argc > 3 ? std::atol(argv[3]) : -1;
    const std::size_t sampleEvery = argc > 4 ? std::max(1, std::atoi(argv[4])) : 1;
    const std::vector<Picture> pictures = loadDevset(devset);
    if (pictures.empty()) {
        std::fprintf(stderr, "bench_eval_detection: no labelled pictures in %s/voc-faces\n",
                     devset.c_str());
        return 1;
    }
    std::string error;
    auto detector = orlenta::loadFaceDetector(model, &error);
    if (!detector) {
        std::fprintf(stderr, "bench_eval_detection: %s\n", error.c_str());
        return 1;
    }
    std::vector<Case> cases = makeCases(pictures);
    for (Case& c : astronautCases())
        cases.push_back(std::move(c));

    std::map<std::string, Tally> byBand, byKind;
    std::map<std::string, Tally> falseByKind; // "covered" counts frames with a false cover
    std::map<std::string, std::vector<std::string>> misses;
    std::map<std::string, std::vector<std::size_t>> falseCases;
    cv::Mat output(frameHeight, frameWidth, CV_8UC4);
    for (std::size_t n = 0; n < cases.size(); ++n) {
        const Case& c = cases[n];
        if ((debugCase >= 0 && debugCase != static_cast<long>(n)) || n % sampleEvery != 0)
            continue;
        orlenta::FaceTracker tracker;
        std::vector<orlenta::Rect> hidden;
        for (int f = 0; f < framesPerCase; ++f) {
            const auto observations = detector->detect(c.frame);
            std::vector<orlenta::Detection> detections;
            if (observations && debugCase >= 0 && f == framesPerCase - 1)
                for (const auto& o : *observations)
                    std::printf(
                        "detected %.0f,%.0f %.0fx%.0f score %.2f\n", o.boundingBox.x * frameWidth,
                        (1 - o.boundingBox.maxY()) * frameHeight, o.boundingBox.width * frameWidth,
                        o.boundingBox.height * frameHeight, double(o.confidence));
            if (observations)
                for (const auto& o : *observations)
                    detections.push_back(
                        {{o.boundingBox.x * frameWidth, o.boundingBox.y * frameHeight,
                          o.boundingBox.width * frameWidth, o.boundingBox.height * frameHeight},
                         o.yaw.value_or(0)});
            hidden.clear();
            for (const auto& face : tracker.update(detections, f / 30.0))
                if (!face.shown)
                    hidden.push_back(face.rect);
        }
        orlenta::coverFaces(c.frame, hidden, orlenta::CoverStyle::box, output);
        if (debugCase == static_cast<long>(n)) {
            for (const auto& r : hidden)
                std::printf("hidden %.0f,%.0f %.0fx%.0f\n", r.x, frameHeight - r.y - r.height,
                            r.width, r.height);
            for (const auto& f : c.faces)
                std::printf("true %.0f,%.0f %.0fx%.0f\n", f.x, f.y, f.width, f.height);
            cv::imwrite("eval-case.png", output);
            // The input with the covers outlined in red and the true faces in green.
            cv::Mat marked = c.frame.clone();
            for (const auto& r : hidden)
                cv::rectangle(marked,
                              cv::Rect2d(r.x, frameHeight - r.y - r.height, r.width, r.height),
                              cv::Scalar(0, 0, 255, 255), 3);
            for (const auto& f : c.faces)
                cv::rectangle(marked, f, cv::Scalar(0, 255, 0, 255), 2);
            cv::imwrite("eval-input.png", marked);
        }

        const cv::Rect2d frame(0, 0, frameWidth, frameHeight);
        for (std::size_t i = 0; i < c.faces.size(); ++i) {
            const cv::Rect visible = c.faces[i] & frame;
            if (visible.area() <= 0)
                continue;
            cv::Mat blackMask;
            cv::inRange(output(visible), cv::Scalar(0, 0, 0, 0), cv::Scalar(0, 0, 0, 255),
                        blackMask);
            const bool covered =
                cv::countNonZero(blackMask) >= coveredShare * static_cast<double>(visible.area());
            const bool isSubject = static_cast<int>(i) == c.subject;
            const double visibleShare = visible.area() / c.faces[i].area();
            if (c.subject < 0 || isSubject) {
                byKind[c.kind].add(covered);
                if (c.kind.rfind("cut", 0) == 0)
                    byKind["cut, every edge"].add(covered);
            }
            if (visibleShare > 0.95)
                byBand[band(c.faces[i].width)].add(covered);
            if (!covered && (c.subject < 0 || isSubject) && misses[c.kind].size() < 6) {
                char text[96];
                std::snprintf(text, sizeof text, "case %zu face %.0f px at %.0f,%.0f", n,
                              c.faces[i].width, c.faces[i].x, c.faces[i].y);
                misses[c.kind].push_back(text);
            }
        }
        bool falseCover = false;
        for (const orlenta::Rect& r : hidden) {
            // Hidden rects are in output pixels with the origin at the bottom.
            const cv::Rect2d box(r.x, frameHeight - r.y - r.height, r.width, r.height);
            bool touches = false;
            for (const cv::Rect2d& face : c.faces)
                touches = touches || (box & face).area() > 0;
            falseCover = falseCover || !touches;
            if (!touches && debugCase >= 0)
                std::printf("false %s case %zu: %.0fx%.0f at %.0f,%.0f\n", c.kind.c_str(), n,
                            box.width, box.height, box.x, box.y);
        }
        const std::string falseKind = c.kind.rfind("cut", 0) == 0 ? "cut" : c.kind;
        falseByKind[falseKind].add(falseCover);
        // Close-ups also by the subject's width: the widest windows hold the most background.
        if (c.kind == "close-up" && c.subject >= 0)
            falseByKind[c.faces[c.subject].width < 300 ? "close-up, face under 300 px"
                                                       : "close-up, face 300 px or more"]
                .add(falseCover);
        if (falseCover && falseCases[falseKind].size() < 8)
            falseCases[falseKind].push_back(n);
    }

    std::printf("%zu cases from %zu pictures, %d frames each, box style\n\n", cases.size(),
                pictures.size(), framesPerCase);
    std::printf("faces covered, by width in the frame (faces wholly inside it)\n");
    for (const char* b :
         {"under 25 px", "25-40 px", "40-80 px", "80-160 px", "160-400 px", "over 400 px"})
        if (byBand.count(b))
            std::printf("  %-14s %s\n", b, byBand[b].text().c_str());
    std::printf("\nfaces covered, by case\n");
    for (auto& [kind, tally] : byKind)
        std::printf("  %-14s %s\n", kind.c_str(), tally.text().c_str());
    std::printf("\nframes with a false cover, by case\n");
    for (auto& [kind, tally] : falseByKind)
        std::printf("  %-14s %s\n", kind.c_str(), tally.text().c_str());
    for (auto& [kind, list] : falseCases) {
        std::printf("\nsome cases with a false cover (%s):", kind.c_str());
        for (const std::size_t n : list)
            std::printf(" %zu", n);
        std::printf("\n");
    }
    for (auto& [kind, list] : misses) {
        std::printf("\nsome misses (%s):", kind.c_str());
        for (const std::string& m : list)
            std::printf(" [%s]", m.c_str());
        std::printf("\n");
    }
    return 0;
}
