#include "adapters/qt/ui/PairView.h"

#include "adapters/qt/ui/AccessibleControl.h"
#include "adapters/qt/ui/Appearance.h"
#include "adapters/qt/ui/OrdinaryWindow.h"
#include "adapters/qt/ui/PanelStyle.h"
#include "base/Log.h"

#include <QFontDatabase>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>
#include <QVBoxLayout>

#include <qrencode.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>

namespace sorvane {

using namespace panelstyle;

namespace {

constexpr int kQuietZone = 4;
constexpr double kQRCornerRadius = 8;

struct QRcodeDeleter {
    void operator()(QRcode* code) const { QRcode_free(code); }
};

// Draws the module image on white in a rounded frame, each module the same
// whole number of device pixels, so the code stays sharp at any scale. It
// reads as a picture with a name of its own.
class QRCodeView final : public QWidget, public AccessibleControl {
public:
    QRCodeView(QImage modules, QWidget* parent)
        : QWidget(parent), AccessibleControl(QAccessible::Graphic), m_modules(std::move(modules)) {
        setFixedSize(PairView::kQRSide, PairView::kQRSide);
        setAccessibleName(QStringLiteral("QR code for pairing"));
        setAccessibleDescription(QStringLiteral("Scan it with the Sorvane Android app"));
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath frame;
        frame.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), kQRCornerRadius,
                             kQRCornerRadius);
        p.fillPath(frame, Qt::white);
        p.setPen(QPen(kDivider, 1));
        p.drawPath(frame);

        // The quiet zone is wider than the corner radius at every scale, so
        // the frame never cuts a module.
        p.setRenderHint(QPainter::Antialiasing, false);
        p.setRenderHint(QPainter::SmoothPixmapTransform, false);
        const double ratio = devicePixelRatioF();
        const int sideDevice = static_cast<int>(std::floor(width() * ratio));
        const int modules = m_modules.width();
        const int perModule = sideDevice / modules;
        if (perModule >= 1) {
            const int drawn = perModule * modules;
            const int offset = (sideDevice - drawn) / 2;
            p.drawImage(QRectF(offset / ratio, offset / ratio, drawn / ratio, drawn / ratio),
                        m_modules);
        } else {
            p.drawImage(QRectF(rect()), m_modules);
        }
    }

private:
    QImage m_modules;
};

QLabel* textLabel(QWidget* parent, const QString& text, const QFont& font, QColor Colours::*colour) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    label->setAlignment(Qt::AlignHCenter);
    appearance::tint(label, QPalette::WindowText, colour);
    return label;
}

QFont codeFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleHint(QFont::Monospace);
    font.setPixelSize(22);
    font.setBold(true);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 4);
    return font;
}

} // namespace

std::optional<QImage> PairView::generateQR(const std::string& text) {
    if (text.size() > static_cast<size_t>(INT_MAX)) {
        logLine("Sorvane: cannot draw the pairing QR code: " + std::to_string(text.size()) +
                " bytes is too long");
        return std::nullopt;
    }
    // Byte mode on the exact bytes: no NUL-terminated string, so nothing after
    // an embedded NUL is lost, and a text too long for version 40 fails rather
    // than being cut.
    errno = 0;
    std::unique_ptr<QRcode, QRcodeDeleter> code(
        QRcode_encodeData(static_cast<int>(text.size()),
                          reinterpret_cast<const unsigned char*>(text.data()), 0, QR_ECLEVEL_M));
    if (!code) {
        const int error = errno;
        const std::string why = error == ERANGE ? std::string("too long for a QR code")
                                : error != 0    ? std::string(std::strerror(error))
                                                : std::string("the encoder failed");
        logLine("Sorvane: cannot draw the pairing QR code (" + std::to_string(text.size()) +
                " bytes): " + why);
        return std::nullopt;
    }
    const int width = code->width;
    const int side = width + 2 * kQuietZone;
    QImage image(side, side, QImage::Format_Grayscale8);
    image.fill(255);
    for (int y = 0; y < width; ++y) {
        uchar* row = image.scanLine(y + kQuietZone) + kQuietZone;
        const unsigned char* modules =
            code->data + static_cast<size_t>(y) * static_cast<size_t>(width);
        for (int x = 0; x < width; ++x)
            row[x] = (modules[x] & 1) ? 0 : 255; // bit 0: dark module
    }
    return image;
}

PairView::PairView(std::string qrPayload, const std::array<uint8_t, 32>& identityPub,
                   WallClock clock, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      m_qrPayload(std::move(qrPayload)), m_state(identityPub, std::move(clock)) {
    setWindowTitle(QStringLiteral("Pair New Device"));
    // Light or dark as the desktop asks; the QR code keeps its white ground
    // either way, for the camera.
    appearance::tint(this, QPalette::Window, &Colours::background);
    setAutoFillBackground(true);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 16, 20, 16);
    column->setSpacing(12);

    column->addSpacing(8);
    if (std::optional<QImage> modules = generateQR(m_qrPayload)) {
        m_qr = new QRCodeView(std::move(*modules), this);
        column->addWidget(m_qr, 0, Qt::AlignHCenter);
    } else {
        // In a frame of the code's width, so it reads as the code's place
        // rather than as a second caption.
        m_qrFailure = textLabel(this, QStringLiteral("Failed to generate QR code"), pixelFont(13),
                                &Colours::secondary);
        m_qrFailure->setAlignment(Qt::AlignCenter);
        m_qrFailure->setFixedSize(kQRSide, 64);
        appearance::follow(m_qrFailure, [label = m_qrFailure] {
            label->setStyleSheet(QStringLiteral("QLabel { background: %1; border: 1px solid %2; border-radius: 8px; }")
                                     .arg(shownColours.card.name(QColor::HexArgb),
                                          shownColours.divider.name(QColor::HexArgb)));
        });
        column->addWidget(m_qrFailure, 0, Qt::AlignHCenter);
    }

    auto* caption =
        textLabel(this, QStringLiteral("Scan this QR code with the Sorvane Android app"),
                  pixelFont(13), &Colours::secondary);
    caption->setWordWrap(true);
    column->addWidget(caption);

    auto* dividerBox = new QWidget(this);
    auto* dividerLayout = new QVBoxLayout(dividerBox);
    dividerLayout->setContentsMargins(20, 0, 20, 0);
    auto* line = new QWidget(dividerBox);
    line->setFixedHeight(1);
    line->setAutoFillBackground(true);
    appearance::tint(line, QPalette::Window, &Colours::divider);
    dividerLayout->addWidget(line);
    column->addWidget(dividerBox);

    auto* codeColumn = new QVBoxLayout;
    codeColumn->setSpacing(4);
    codeColumn->addWidget(
        textLabel(this, QStringLiteral("Can't scan? Enter this code:"), pixelFont(11), &Colours::tertiary));
    m_code = textLabel(this, QString(), codeFont(), &Colours::code);
    // The spacing also follows the last digit; an equal indent on the left
    // keeps the digits centred.
    m_code->setContentsMargins(4, 0, 0, 0);
    m_code->setMinimumHeight(m_code->fontMetrics().height()); // also without a code
    m_code->setAccessibleDescription(QStringLiteral("Pairing code"));
    codeColumn->addWidget(m_code);
    m_countdown = textLabel(this, QString(), pixelFont(10), &Colours::tertiary);
    codeColumn->addWidget(m_countdown);
    column->addLayout(codeColumn);
    showCountdown();

    setFixedWidth(kWidth);
    setFixedHeight(column->totalHeightForWidth(kWidth));

    m_timer = new QTimer(this);
    m_timer->setSingleShot(true);
    m_timer->setTimerType(Qt::PreciseTimer);
    connect(m_timer, &QTimer::timeout, this, [this] { tick(); });
}

PairView::~PairView() = default;

void PairView::keyPressEvent(QKeyEvent* event) {
    if (isCloseWindowShortcut(*event)) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

void PairView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    m_state.refresh();
    showCountdown();
    scheduleTick();
}

void PairView::hideEvent(QHideEvent* event) {
    m_timer->stop();
    QWidget::hideEvent(event);
}

void PairView::tick() {
    m_state.tick();
    showCountdown();
    scheduleTick();
}

void PairView::scheduleTick() {
    // Just after the clock's next whole second, so the countdown moves with
    // the clock and a late tick cannot leave a second out.
    m_timer->start(static_cast<int>(m_state.untilNextSecond().count()) + 2);
}

void PairView::showCountdown() {
    m_code->setText(QString::fromStdString(m_state.code()));
    m_countdown->setText(QString::fromStdString(m_state.countdownText()));
}

} // namespace sorvane
