// PreviewArea: the main window's 16:9 picture area (485 x 273 pixels; the logical height is
// 272.8125, Qt rounds it up to whole pixels) and what lies over the picture, from bottom to top:
// the face marks (while not paused), the counter label at the top left, the start/pause and
// camera buttons at the bottom right, "Hide All Faces" at the bottom left (while not paused and
// a face is shown) and, while paused, the "Video paused" message in the centre.
//
// The area keeps no state: every change of the pipeline's faceMarks, paused or style refreshes
// what shows. GUI thread only.
#pragma once

#include <memory>
#include <vector>

#include <QWidget>

#include "app/pipeline/camera_pipeline.h"
#include "app/ui/observers.h"

class QLabel;

namespace orlenta {

class FaceMarksView;
class OutlineButton;
class PreviewLayer;
class PreviewView;

// The counter's text: "PAUSED"; "FACES HIDDEN · n" while no face is shown; otherwise
// "h HIDDEN · s SHOWN".
QString counterText(const std::vector<FaceMark>& marks, bool paused);
// Whether "Hide All Faces" is offered.
bool showsHideAll(const std::vector<FaceMark>& marks, bool paused);

class PreviewArea final : public QWidget {
public:
    PreviewArea(CameraPipeline& pipeline, std::shared_ptr<PreviewLayer> layer,
                QWidget* parent = nullptr);

    // The pieces, for the window and for tests.
    FaceMarksView* faceMarksView() const { return marks_; }
    QLabel* counterLabel() const { return counter_; }
    OutlineButton* startPauseButton() const { return startPause_; }
    OutlineButton* cameraButton() const { return camera_; }
    OutlineButton* hideAllButton() const { return hideAll_; }
    QWidget* pausedMessage() const { return pausedMessage_; }

    // Opens the camera menu at the given global position (the camera button's action).
    void openCameraMenu(QPoint at);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void refresh();
    void placeOverlays();

    CameraPipeline& pipeline_;
    PreviewView* preview_;
    FaceMarksView* marks_;
    QLabel* counter_;
    QWidget* controls_;
    OutlineButton* startPause_;
    OutlineButton* camera_;
    OutlineButton* hideAll_;
    QWidget* pausedMessage_;
    Observations observations_;
};

} // namespace orlenta
