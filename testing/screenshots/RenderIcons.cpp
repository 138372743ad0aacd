// Writes the tray symbols and the application icon as PNG files, for looking at
// them: sorvane-render-icons <folder>. Each symbol at 16, 22 and 64 pixels in
// black, plus one contact sheet (icons.png) with every symbol at those sizes,
// magnified without smoothing, on a light and a dark panel and in the pulse
// yellow; the application icon at 256 and 32 pixels, and at 256 on grey.
#include "adapters/qt/ui/SorvaneStatusItem.h"
#include "ui/TrayIconChoice.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>

#include <cstdio>

using sorvane::SorvaneStatusItem;

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: sorvane-render-icons <folder>\n");
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.mkpath(QStringLiteral("."))) {
        std::fprintf(stderr, "cannot create %s\n", argv[1]);
        return 1;
    }

    const int sizes[] = {16, 22, 64};
    const int zoom[] = {4, 3, 1}; // each cell 64 px wide
    const int cell = 72;
    const QColor panels[][2] = {
        {QColor(0xf2, 0xf2, 0xf2), QColor(0x23, 0x26, 0x29)}, // light panel, dark text
        {QColor(0x23, 0x26, 0x29), QColor(0xfc, 0xfc, 0xfc)}, // dark panel, light text
        {QColor(0x23, 0x26, 0x29), SorvaneStatusItem::pulseColour()},
    };
    QImage sheet(cell * 9, cell * static_cast<int>(sorvane::allTrayIconChoices.size()),
                 QImage::Format_ARGB32_Premultiplied);
    sheet.fill(Qt::white);
    QPainter painter(&sheet);
    int row = 0;
    for (auto choice : sorvane::allTrayIconChoices) {
        const std::string name(sorvane::symbolName(choice));
        for (int i = 0; i < 3; ++i) {
            QImage img = SorvaneStatusItem::renderSymbol(name, Qt::black, sizes[i]);
            img.save(dir.filePath(QString::fromStdString(name) + QStringLiteral("-%1.png").arg(sizes[i])));
        }
        int col = 0;
        for (const auto& panel : panels) {
            for (int i = 0; i < 3; ++i, ++col) {
                const QRect box(col * cell, row * cell, cell, cell);
                painter.fillRect(box, panel[0]);
                const QImage img = SorvaneStatusItem::renderSymbol(name, panel[1], sizes[i]);
                const QImage big = img.scaled(sizes[i] * zoom[i], sizes[i] * zoom[i]);
                painter.drawImage(box.center() - QPoint(big.width() / 2, big.height() / 2), big);
            }
        }
        ++row;
    }
    painter.end();
    sheet.save(dir.filePath(QStringLiteral("icons.png")));

    SorvaneStatusItem::renderApplicationIcon(256).save(dir.filePath(QStringLiteral("org.sorvane.app-256.png")));
    SorvaneStatusItem::renderApplicationIcon(32).save(dir.filePath(QStringLiteral("org.sorvane.app-32.png")));
    // The white square only shows against a background.
    QImage onGrey(256, 256, QImage::Format_ARGB32_Premultiplied);
    onGrey.fill(QColor(0x80, 0x80, 0x80));
    QPainter(&onGrey).drawImage(0, 0, SorvaneStatusItem::renderApplicationIcon(256));
    onGrey.save(dir.filePath(QStringLiteral("org.sorvane.app-on-grey.png")));
    std::printf("wrote %s\n", qPrintable(dir.absolutePath()));
    return 0;
}
