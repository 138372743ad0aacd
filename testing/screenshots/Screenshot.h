// What the screenshot tools share: the output folder from the command line and
// saving a window's picture into it. Run them on a real X server
// (scripts/screenshots starts Xvfb).
#pragma once

#include <QDir>
#include <QString>
#include <QTest>
#include <QWidget>

#include <cstdio>
#include <optional>

namespace sorvane::testing {

// The folder named by the only argument, created; absent (usage printed) otherwise.
inline std::optional<QString> screenshotFolder(int argc, char** argv, const char* tool) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTDIR\n", tool);
        return std::nullopt;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(dir);
    return dir;
}

// Lets the window settle, then writes it to `dir`/`name`.png and prints the path.
inline bool saveScreenshot(QWidget& window, const QString& dir, const char* name) {
    QTest::qWait(150);
    const QString path = dir + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png");
    if (!window.grab().save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

} // namespace sorvane::testing
