// Writes the application icon as PNG files for the icon theme, drawn as the
// program draws it: sorvane-render-app-icon <folder> <size>... writes
// <folder>/<size>x<size>/apps/org.sorvane.app.png for each size.
#include "adapters/qt/ui/SorvaneStatusItem.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: sorvane-render-app-icon <folder> <size>...\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    int qtArgc = 1;
    QGuiApplication app(qtArgc, argv);
    const QDir root(QString::fromLocal8Bit(argv[1]));
    for (int i = 2; i < argc; ++i) {
        const int side = std::atoi(argv[i]);
        if (side <= 0 || side > 1024) {
            std::fprintf(stderr, "sorvane-render-app-icon: not a size: %s\n", argv[i]);
            return 2;
        }
        const QString folder = QStringLiteral("%1x%1/apps").arg(side);
        const QString file = root.filePath(folder + QStringLiteral("/org.sorvane.app.png"));
        if (!root.mkpath(folder) || !sorvane::SorvaneStatusItem::renderApplicationIcon(side).save(file)) {
            std::fprintf(stderr, "sorvane-render-app-icon: cannot write %s\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
