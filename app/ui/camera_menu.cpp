#include "app/ui/camera_menu.h"

#include <memory>

#include <QAction>
#include <QPointer>

namespace orlenta {
namespace {

QPointer<QMenu>& slot() {
    static QPointer<QMenu> menu;
    return menu;
}

} // namespace

void CameraMenu::choose(QAction* item) {
    if (!item)
        return;
    QVariant data = item->data();
    if (data.typeId() != QMetaType::QString)
        return;
    if (onSelect_)
        onSelect_(data.toString().toStdString());
}

QMenu* CameraMenu::build(const std::vector<CaptureDevice>& cameras,
                         const std::string& selectedCameraID, OnSelect onSelect) {
    releaseCurrent();
    auto* menu = new QMenu();
    menu->setAttribute(Qt::WA_DeleteOnClose, false);
    auto* target = new CameraMenu(std::move(onSelect), menu);
    if (cameras.empty()) {
        QAction* placeholder = menu->addAction(QString::fromUtf8(kNoCamerasTitle));
        placeholder->setEnabled(false);
    }
    for (const CaptureDevice& camera : cameras) {
        QAction* item = menu->addAction(QString::fromStdString(camera.localizedName));
        item->setData(QString::fromStdString(camera.uniqueID));
        item->setCheckable(true);
        item->setChecked(camera.uniqueID == selectedCameraID);
        QObject::connect(item, &QAction::triggered, target,
                         [target, item] { target->choose(item); });
    }
    slot() = menu;
    return menu;
}

QMenu* CameraMenu::popUp(const std::vector<CaptureDevice>& cameras,
                         const std::string& selectedCameraID, OnSelect onSelect, QPoint at) {
    QMenu* menu = build(cameras, selectedCameraID, std::move(onSelect));
    menu->popup(at);
    return menu;
}

QMenu* CameraMenu::current() {
    return slot().data();
}

void CameraMenu::releaseCurrent() {
    QPointer<QMenu>& menu = slot();
    if (!menu)
        return;
    // A menu that is still on screen (or delivering its action) goes once control returns to the
    // event loop.
    if (menu->isVisible())
        menu->deleteLater();
    else
        delete menu.data();
    menu = nullptr;
}

} // namespace orlenta
