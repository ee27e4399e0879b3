// The demo's helper program.
//   ostrawen_demo game-dir <dir>            makes a stand-in game directory with the four archives
//   ostrawen_demo screenshot <file.png>     waits until the screen shows a settled window, then saves
//                                           the part of the screen that is not background: the window
#include "app/demo/demo_game_files.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QThread>

#include <cstdio>
#include <string>

namespace {

// The rectangle of pixels that differ from the screen's background (its top-left pixel); empty when
// the screen shows nothing yet.
QRect DrawnArea(const QImage& image) {
    const QRgb background = image.pixel(0, 0);
    int left = image.width(), top = image.height(), right = -1, bottom = -1;
    for (int y = 0; y < image.height(); ++y) {
        const auto* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if (line[x] != background) {
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
    }
    return right < 0 ? QRect() : QRect(QPoint(left, top), QPoint(right, bottom));
}

int Screenshot(int argc, char** argv, const char* outFile) {
    QGuiApplication app(argc, argv);
    QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        std::fprintf(stderr, "ostrawen_demo: no screen\n");
        return 1;
    }
    // Waits for a picture that stays the same over two looks, so the window has finished drawing.
    QElapsedTimer timer;
    timer.start();
    QImage previous;
    while (timer.elapsed() < 30000) {
        QThread::msleep(400);
        app.processEvents();
        const QImage now = screen->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
        const QRect area = now.isNull() ? QRect() : DrawnArea(now);
        if (area.isValid() && now == previous) {
            if (!now.copy(area).save(QString::fromLocal8Bit(outFile), "PNG")) {
                std::fprintf(stderr, "ostrawen_demo: cannot write %s\n", outFile);
                return 1;
            }
            return 0;
        }
        previous = now;
    }
    std::fprintf(stderr, "ostrawen_demo: no window appeared on the screen\n");
    return 1;
}

int Usage() {
    std::fprintf(stderr, "usage: ostrawen_demo game-dir <dir>\n       ostrawen_demo screenshot <file.png>\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        return Usage();
    }
    const std::string command = argv[1];
    if (command == "game-dir") {
        std::string error;
        if (!demo::MakeGameDirectory(std::filesystem::path(argv[2]), error)) {
            std::fprintf(stderr, "ostrawen_demo: %s\n", error.c_str());
            return 1;
        }
        return 0;
    }
    if (command == "screenshot") {
        int qtArgc = 1;
        return Screenshot(qtArgc, argv, argv[2]);
    }
    return Usage();
}
