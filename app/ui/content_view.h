// ContentView: the main window's content, 485 pixels wide. The preview area on top, then a
// column (16 pixels of padding, 14 between rows, left-aligned) of: the camera-access warning
// (only when access is denied or restricted), a warning while faces cannot be detected, the
// style control, and the VirtualCameraPanel (only while the virtual camera is not connected).
//
// onFirstShown runs once, when the content is first shown (the app starts the pipeline and asks
// the installer for its status then). GUI thread only.
#pragma once

#include <functional>
#include <memory>

#include <QWidget>

#include "app/install/extension_installer.h"
#include "app/pipeline/camera_pipeline.h"
#include "app/ui/observers.h"

class QLabel;

namespace orlenta {

class FaceMarksOverflow;
class PreviewArea;
class PreviewLayer;
class StyleControl;
class VirtualCameraPanel;

class ContentView final : public QWidget {
public:
    static constexpr int kWidth = 485;

    ContentView(CameraPipeline& pipeline, ExtensionInstaller& installer,
                std::shared_ptr<PreviewLayer> layer, std::function<void()> onQuit,
                QWidget* parent = nullptr);

    void setOnFirstShown(std::function<void()> onFirstShown) {
        onFirstShown_ = std::move(onFirstShown);
    }

    PreviewArea* previewArea() const { return preview_; }
    QLabel* accessWarning() const { return accessWarning_; }
    QLabel* detectionWarning() const { return detectionWarning_; }
    StyleControl* styleControl() const { return style_; }
    VirtualCameraPanel* panel() const { return panel_; }

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void refresh();

    CameraPipeline& pipeline_;
    PreviewArea* preview_;
    QLabel* accessWarning_;
    QLabel* detectionWarning_;
    StyleControl* style_;
    VirtualCameraPanel* panel_;
    FaceMarksOverflow* overflow_;
    std::function<void()> onFirstShown_;
    bool shown_ = false;
    Observations observations_;
};

} // namespace orlenta
