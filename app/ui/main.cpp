// orlenta-camera: the desktop app. `--demo` offers the bundled demo clip as a camera.
#include <cstdio>
#include <cstring>
#include <string>

#include <QApplication>
#include <QMessageBox>

#include "app/ui/orlenta_camera_app.h"
#include "app/ui/qt_executor.h"

namespace {

void printUsage(FILE* to) {
    std::fputs("Usage: orlenta-camera [--demo] [--install]\n"
               "Shows your camera with every face covered and offers the covered picture to\n"
               "other apps as the camera \"Orlenta Camera\".\n\n"
               "  --demo    also offer the bundled demo clip as a camera (listed first)\n"
               "  --install start the virtual camera (install its daemon) right away\n"
               "  --help    show this text\n",
               to);
}

} // namespace

int main(int argc, char** argv) {
    orlenta::AppOptions options;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--demo") == 0) {
            options.demo = true;
        } else if (std::strcmp(argv[i], "--install") == 0) {
            options.installExtension = true;
        } else if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            printUsage(stdout);
            return 0;
        } else if (argv[i][0] == '-' && argv[i][1] == '-') {
            std::fprintf(stderr, "orlenta-camera: unknown option '%s'\n", argv[i]);
            printUsage(stderr);
            return 2;
        }
        // Anything else is left for Qt (-platform, -display ...), which removed its own already.
    }

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("orlenta-camera"));
    QApplication::setApplicationDisplayName(QStringLiteral("Orlenta Camera"));
    QGuiApplication::setDesktopFileName(QStringLiteral("orlenta-camera"));

    int status = 0;
    {
        orlenta::QtExecutor mainExecutor;
        std::string error;
        std::string warnings;
        std::unique_ptr<orlenta::OrlentaCameraApp> app =
            orlenta::OrlentaCameraApp::create(mainExecutor, options, &error, &warnings);
        if (!warnings.empty())
            std::fprintf(stderr, "orlenta-camera: %s", warnings.c_str());
        if (!app) {
            std::fprintf(stderr, "orlenta-camera: %s\n", error.c_str());
            QMessageBox::critical(nullptr, QStringLiteral("Orlenta Camera"),
                                  QStringLiteral("Orlenta Camera cannot start: ") +
                                      QString::fromStdString(error));
            return 1;
        }
        app->show();
        status = QApplication::exec();
    }
    return status;
}
