// The camera menu: a pop-up menu of the cameras that opens from the preview's camera button and
// selects the capture camera.
//
// It is rebuilt from the given list every time it opens and never changes while open: one item
// per camera in list order, titled with the camera's name and carrying its uniqueID, checked
// when that ID is exactly the selected one; with no cameras, one disabled "No cameras found"
// item. Choosing an item calls onSelect with the item's uniqueID. Cameras with equal names get
// an item each.
//
// One process-wide slot holds the most recently built menu (and its CameraMenu), so that it
// lives as long as it may be shown; building a new one releases the previous.
//
// Threads: GUI thread only. onSelect runs on the GUI thread as the menu closes.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <QMenu>
#include <QObject>

#include "app/capture/capture.h"

class QAction;

namespace orlenta {

class CameraMenu final : public QObject {
public:
    using OnSelect = std::function<void(const std::string& uniqueID)>;

    static constexpr const char* kNoCamerasTitle = "No cameras found";

    explicit CameraMenu(OnSelect onSelect, QObject* parent = nullptr)
        : QObject(parent), onSelect_(std::move(onSelect)) {}

    // An item's action: calls onSelect with the item's data when it is a text; otherwise does
    // nothing.
    void choose(QAction* item);

    // Builds the menu into the process-wide slot and returns it (owned by the slot).
    static QMenu* build(const std::vector<CaptureDevice>& cameras,
                        const std::string& selectedCameraID, OnSelect onSelect);
    // Builds the menu and pops it up at the given global position without waiting for it.
    static QMenu* popUp(const std::vector<CaptureDevice>& cameras,
                        const std::string& selectedCameraID, OnSelect onSelect, QPoint at);
    // The menu in the slot; null when none was built (or it was released).
    static QMenu* current();
    // Releases the slot's menu (the app calls it before the application object goes).
    static void releaseCurrent();

private:
    OnSelect onSelect_;
};

} // namespace orlenta
