#include "adapters/qt/ui/AboutView.h"

#include "adapters/qt/ui/AccessibleControl.h"
#include "adapters/qt/ui/Appearance.h"
#include "adapters/qt/ui/OrdinaryWindow.h"
#include "adapters/qt/ui/PanelStyle.h"
#include "adapters/qt/ui/SorvaneStatusItem.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDate>
#include <QDesktopServices>
#include <QGraphicsDropShadowEffect>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QSvgRenderer>
#include <QVBoxLayout>

#include <cmath>
#include <functional>
#include <utility>

// The build's own facts, from CMake (the project's version and the cache
// variables SORVANE_WEBSITE_URL and SORVANE_SUPPORT_EMAIL).
#ifndef SORVANE_VERSION
#define SORVANE_VERSION "0.1.0"
#endif
#ifndef SORVANE_WEBSITE_URL
#define SORVANE_WEBSITE_URL "https://sorvane.org"
#endif
#ifndef SORVANE_SUPPORT_EMAIL
#define SORVANE_SUPPORT_EMAIL "support@sorvane.org"
#endif

// Resources of a static library are registered only when something refers to
// them; this must be called outside any namespace.
static void initAboutIconResources() { Q_INIT_RESOURCE(sorvane_icons); }

namespace sorvane {

using namespace panelstyle;

namespace {

constexpr int kSidePadding = 20;
constexpr int kIconSide = 84;
constexpr double kIconRadius = 18;
constexpr double kCardRadius = 10;
constexpr int kCardPaddingH = 14;
constexpr int kCardPaddingV = 6;
constexpr int kRowPaddingV = 8;
constexpr int kSymbolSide = 16;

QLabel* textLabel(QWidget* parent, const QString& text, const QFont& font, QColor Colours::*colour,
                  Qt::Alignment alignment = Qt::AlignHCenter) {
    auto* label = new QLabel(text, parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    label->setAlignment(alignment);
    appearance::tint(label, QPalette::WindowText, colour);
    return label;
}

// The application's icon, as the tray set it for every window, clipped to a
// rounded square.
class AppIconView final : public QWidget {
public:
    explicit AppIconView(QWidget* parent) : QWidget(parent) {
        setFixedSize(kIconSide, kIconSide);
        auto* shadow = new QGraphicsDropShadowEffect(this);
        shadow->setColor(QColor(0, 0, 0, 51)); // 0.2
        shadow->setBlurRadius(14);
        shadow->setOffset(0, 3);
        setGraphicsEffect(shadow);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        const double ratio = devicePixelRatioF();
        const int device = static_cast<int>(std::ceil(kIconSide * ratio));
        QPixmap pixmap;
        const QIcon icon = QApplication::windowIcon();
        if (!icon.isNull())
            pixmap = icon.pixmap(QSize(kIconSide, kIconSide), ratio);
        if (pixmap.isNull()) // before the tray set it: the same drawing
            pixmap = QPixmap::fromImage(SorvaneStatusItem::renderApplicationIcon(device));
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        QPainterPath clip;
        clip.addRoundedRect(QRectF(rect()), kIconRadius, kIconRadius);
        p.setClipPath(clip);
        p.drawPixmap(QRectF(rect()), pixmap, QRectF(pixmap.rect()));
    }
};

// One of our black SVG symbols, drawn in `colour` of the shown scheme.
class SymbolView final : public QWidget {
public:
    SymbolView(QString resource, QColor Colours::*colour, QWidget* parent)
        : QWidget(parent), m_resource(std::move(resource)), m_colour(colour) {
        setFixedSize(kSymbolSide, kSymbolSide);
        appearance::follow(this, [this] { update(); });
    }

protected:
    void paintEvent(QPaintEvent*) override {
        const double ratio = devicePixelRatioF();
        const int device = static_cast<int>(std::ceil(kSymbolSide * ratio));
        QImage image(device, device, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QSvgRenderer svg(m_resource);
        {
            QPainter ip(&image);
            ip.setRenderHint(QPainter::Antialiasing);
            if (svg.isValid()) {
                svg.render(&ip, QRectF(0, 0, device, device));
            } else {
                // Without the resource: a plain ring says "a link" well enough.
                ip.setPen(QPen(Qt::black, 1.6 * ratio));
                ip.drawEllipse(QRectF(2, 2, device - 4, device - 4).adjusted(ratio, ratio, -ratio, -ratio));
            }
            ip.setCompositionMode(QPainter::CompositionMode_SourceIn);
            ip.fillRect(image.rect(), shownColours.*m_colour);
        }
        image.setDevicePixelRatio(ratio);
        QPainter(this).drawImage(QPointF(0, 0), image);
    }

private:
    const QString m_resource;
    QColor Colours::*m_colour;
};

// The small arrow that says a row leads out of the program, drawn rather than
// taken from a font that may lack it.
class OutArrow final : public QWidget {
public:
    explicit OutArrow(QWidget* parent) : QWidget(parent) {
        setFixedSize(10, 10);
        appearance::follow(this, [this] { update(); });
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(shownColours.tertiary, 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.drawLine(QPointF(1.5, 8.5), QPointF(8.5, 1.5));
        p.drawPolyline(QPolygonF({QPointF(3.2, 1.5), QPointF(8.5, 1.5), QPointF(8.5, 6.8)}));
    }
};

// A rounded box on the window's ground, with a faint outline; its rows go in
// layout().
class Card final : public QWidget {
public:
    Card(int paddingH, QWidget* parent) : QWidget(parent) {
        auto* rows = new QVBoxLayout(this);
        rows->setContentsMargins(paddingH, kCardPaddingV, paddingH, kCardPaddingV);
        rows->setSpacing(0);
        appearance::follow(this, [this] { update(); });
    }

    QVBoxLayout* rows() const { return static_cast<QVBoxLayout*>(layout()); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QColor outline = shownColours.secondary;
        outline.setAlphaF(0.12f);
        QPainterPath box;
        box.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), kCardRadius, kCardRadius);
        p.fillPath(box, shownColours.card);
        p.setPen(QPen(outline, 1));
        p.drawPath(box);
    }
};

// A row of a card that opens something: a symbol, its label and the arrow. It
// takes the focus with Tab or a click and opens on a click, Return or Space;
// it reads as a link named by its label, which the press action opens.
class LinkRow final : public QWidget, public AccessibleControl {
public:
    LinkRow(const QString& symbol, const QString& text, std::function<void()> onActivate,
            QWidget* parent)
        : QWidget(parent), AccessibleControl(QAccessible::Link, [this] { m_onActivate(); }),
          m_onActivate(std::move(onActivate)) {
        setFocusPolicy(Qt::StrongFocus);
        setCursor(Qt::PointingHandCursor);
        setAccessibleName(text);
        setAttribute(Qt::WA_Hover);
        auto* row = new QHBoxLayout(this);
        row->setContentsMargins(kCardPaddingH, kRowPaddingV, kCardPaddingH, kRowPaddingV);
        row->setSpacing(10);
        row->addWidget(new SymbolView(symbol, &Colours::accent, this));
        row->addWidget(textLabel(this, text, menuFont(), &Colours::primary, Qt::AlignLeft | Qt::AlignVCenter));
        row->addStretch(1);
        row->addWidget(new OutArrow(this));
        // The row takes the clicks, not its parts.
        for (QWidget* part : findChildren<QWidget*>())
            part->setAttribute(Qt::WA_TransparentForMouseEvents);
        appearance::follow(this, [this] { update(); });
    }

protected:
    void paintEvent(QPaintEvent*) override {
        const bool hovered = underMouse();
        if (!hovered && !m_pressed && !hasFocus())
            return;
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        // Inside the card's rounded corners.
        const QRectF area = QRectF(rect()).adjusted(4.5, 1.5, -4.5, -1.5);
        if (hovered || m_pressed) {
            QColor ground = shownColours.divider;
            if (m_pressed)
                ground.setAlphaF(std::min(1.0f, ground.alphaF() * 2));
            p.setPen(Qt::NoPen);
            p.setBrush(ground);
            p.drawRoundedRect(area, kCornerRadius, kCornerRadius);
        }
        if (hasFocus()) {
            QColor ring = shownColours.accent;
            ring.setAlphaF(0.8f);
            p.setPen(QPen(ring, 2));
            p.setBrush(Qt::NoBrush);
            p.drawRoundedRect(area.adjusted(0.5, 0.5, -0.5, -0.5), kCornerRadius, kCornerRadius);
        }
    }

    void mousePressEvent(QMouseEvent* event) override {
        if (event->button() != Qt::LeftButton)
            return QWidget::mousePressEvent(event);
        m_pressed = true;
        update();
    }

    void mouseReleaseEvent(QMouseEvent* event) override {
        if (event->button() != Qt::LeftButton || !m_pressed)
            return QWidget::mouseReleaseEvent(event);
        m_pressed = false;
        update();
        // Let go outside the row: no click.
        if (rect().contains(event->position().toPoint()))
            m_onActivate();
    }

    void keyPressEvent(QKeyEvent* event) override {
        const bool plain = (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
        if (plain && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter ||
                      event->key() == Qt::Key_Space)) {
            m_onActivate();
            return;
        }
        QWidget::keyPressEvent(event);
    }

    void focusInEvent(QFocusEvent* event) override {
        QWidget::focusInEvent(event);
        update();
    }
    void focusOutEvent(QFocusEvent* event) override {
        QWidget::focusOutEvent(event);
        update();
    }

private:
    std::function<void()> m_onActivate;
    bool m_pressed = false;
};

// "DETAILS" over a card: small, semibold, upper-case.
QLabel* sectionTitle(QWidget* parent, const QString& title) {
    QFont font = menuFontSmall(QFont::DemiBold);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 0.4);
    auto* label = textLabel(parent, title.toUpper(), font, &Colours::secondary, Qt::AlignLeft);
    label->setContentsMargins(4, 0, 0, 0);
    return label;
}

QWidget* detailRow(QWidget* parent, const QString& name, const QString& value) {
    auto* box = new QWidget(parent);
    auto* row = new QHBoxLayout(box);
    row->setContentsMargins(0, kRowPaddingV, 0, kRowPaddingV);
    row->addWidget(textLabel(box, name, menuFont(), &Colours::secondary, Qt::AlignLeft | Qt::AlignVCenter));
    row->addStretch(1);
    row->addWidget(textLabel(box, value, pixelFont(13, QFont::Medium), &Colours::primary,
                             Qt::AlignRight | Qt::AlignVCenter));
    return box;
}

void openUrl(const QUrl& url) {
    QDesktopServices::openUrl(url);
}

// "© <year> Sorvane · Made with care by the Sorvane developers", the credit a
// link to the web site; the same words in plain text when there is no site to
// link to.
QLabel* footer(QWidget* parent, const QUrl& website) {
    const QString lead = QStringLiteral("\u00a9 %1 Sorvane \u00b7 Made with care by ")
                             .arg(QDate::currentDate().year());
    const QString credit = QStringLiteral("the Sorvane developers");
    auto* label = textLabel(parent, lead + credit, menuFontSmall(), &Colours::tertiary);
    if (!website.isValid() || website.isRelative())
        return label;
    label->setTextFormat(Qt::RichText);
    label->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    label->setOpenExternalLinks(false);
    QObject::connect(label, &QLabel::linkActivated, label,
                     [](const QString& link) { openUrl(QUrl(link)); });
    // The link's colour is written into the text, so the text is redone when
    // the scheme changes.
    appearance::follow(label, [label, lead, credit, website] {
        label->setText(QStringLiteral("%1<a href=\"%2\" style=\"color: %3; text-decoration: none;\">%4</a>")
                           .arg(lead.toHtmlEscaped(),
                                website.toString(QUrl::FullyEncoded).toHtmlEscaped(),
                                shownColours.secondary.name(), credit.toHtmlEscaped()));
    });
    return label;
}

} // namespace

AboutFacts AboutFacts::ofThisBuild() {
    QString version = QCoreApplication::applicationVersion();
    if (version.isEmpty())
        version = QStringLiteral(SORVANE_VERSION);
    return {version, QUrl(QStringLiteral(SORVANE_WEBSITE_URL)), QStringLiteral(SORVANE_SUPPORT_EMAIL)};
}

QUrl AboutFacts::reportIssueUrl() const {
    return QUrl(QStringLiteral("mailto:") + supportEmail + QStringLiteral("?subject=Sorvane%20issue"));
}

AboutView::AboutView(AboutFacts facts, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint),
      m_facts(std::move(facts)) {
    initAboutIconResources();
    setWindowTitle(QStringLiteral("About Sorvane"));
    appearance::tint(this, QPalette::Window, &Colours::background);
    setAutoFillBackground(true);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(kSidePadding, 36, kSidePadding, 20);
    column->setSpacing(0);

    column->addWidget(new AppIconView(this), 0, Qt::AlignHCenter);
    column->addSpacing(14);
    column->addWidget(textLabel(this, QStringLiteral("Sorvane"), pixelFont(22, QFont::Bold), &Colours::primary));
    column->addSpacing(2);
    column->addWidget(textLabel(this, QStringLiteral("Version ") + m_facts.version, menuFontSmall(),
                                &Colours::secondary));
    column->addSpacing(14);
    for (const QString& line :
         {QStringLiteral("End-to-end encrypted clipboard sync between Android and macOS over BLE."),
          QStringLiteral("No cloud, no account \u2014 devices talk directly.")}) {
        QLabel* label = textLabel(this, line, menuFont(), &Colours::primary);
        label->setWordWrap(true);
        column->addWidget(label);
        column->addSpacing(4);
    }

    column->addSpacing(20);
    column->addWidget(sectionTitle(this, QStringLiteral("Details")));
    column->addSpacing(6);
    auto* details = new Card(kCardPaddingH, this);
    details->rows()->addWidget(detailRow(details, QStringLiteral("Transport"), QStringLiteral("Bluetooth LE")));
    details->rows()->addWidget(appearance::divider(details));
    details->rows()->addWidget(detailRow(details, QStringLiteral("Encryption"), QStringLiteral("AES-256-GCM")));
    details->rows()->addWidget(appearance::divider(details));
    details->rows()->addWidget(detailRow(details, QStringLiteral("Storage"), QStringLiteral("Local only")));
    column->addWidget(details);

    column->addSpacing(20);
    column->addWidget(sectionTitle(this, QStringLiteral("Links")));
    column->addSpacing(6);
    // The rows reach the card's sides, so their highlight can; their content
    // keeps the card's padding.
    auto* links = new Card(0, this);
    const QUrl website = m_facts.website;
    const QUrl report = m_facts.reportIssueUrl();
    links->rows()->addWidget(new LinkRow(QStringLiteral(":/sorvane/about/globe.svg"),
                                         QStringLiteral("Visit website"), [website] { openUrl(website); },
                                         links));
    links->rows()->addWidget(appearance::divider(links, {kCardPaddingH, 0, kCardPaddingH, 0}));
    links->rows()->addWidget(new LinkRow(QStringLiteral(":/sorvane/about/envelope.svg"),
                                         QStringLiteral("Report an issue"), [report] { openUrl(report); },
                                         links));
    column->addWidget(links);

    column->addStretch(1);
    column->addWidget(footer(this, m_facts.website));

    setFixedSize(kWidth, kHeight);
    // The window holds the focus until the user moves it (Tab): Return or Space
    // in a window just opened opens nothing.
    setFocusPolicy(Qt::ClickFocus);
    setFocus(Qt::OtherFocusReason);
}

AboutView::~AboutView() = default;

void AboutView::keyPressEvent(QKeyEvent* event) {
    if (isCloseWindowShortcut(*event)) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace sorvane
