#include "adapters/qt/ui/PreferencesWindow.h"

#include "adapters/qt/ui/AccessibleControl.h"
#include "adapters/qt/ui/Appearance.h"
#include "adapters/qt/ui/HotKeyKeys.h"
#include "adapters/qt/ui/OrdinaryWindow.h"
#include "adapters/qt/ui/PanelStyle.h"
#include "adapters/qt/ui/SorvaneStatusItem.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QComboBox>
#include <QGraphicsOpacityEffect>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <cmath>

#ifndef SORVANE_VERSION
#define SORVANE_VERSION ""
#endif
#ifndef SORVANE_WEBSITE_URL
#define SORVANE_WEBSITE_URL "https://sorvane.org"
#endif

namespace sorvane {

using namespace panelstyle;

QString applicationVersionText() {
    const QString version = QStringLiteral(SORVANE_VERSION);
    return version.isEmpty() ? QStringLiteral("0.1.0") : version;
}

QString websiteHost() {
    return QUrl(QStringLiteral(SORVANE_WEBSITE_URL)).host();
}

namespace {

const QColor kOrange{0xff, 0x95, 0x00};
// Orange for small text: darker on the light cards, where kOrange reads at
// barely 2:1; about 4.5:1 in either scheme.
QColor noteOrange() {
    return appearance::colorScheme() == ColorScheme::dark ? kOrange : QColor(0xa8, 0x55, 0x00);
}
const QColor kRed{0xe5, 0x39, 0x35};

QColor withAlpha(QColor colour, double alpha) {
    colour.setAlphaF(static_cast<float>(colour.alphaF() * alpha));
    return colour;
}

// Dims a widget to `opacity` and turns its input off, or back.
void dim(QWidget* widget, bool dimmed, double opacity) {
    auto* effect = qobject_cast<QGraphicsOpacityEffect*>(widget->graphicsEffect());
    if (!effect) {
        effect = new QGraphicsOpacityEffect(widget);
        widget->setGraphicsEffect(effect);
    }
    effect->setOpacity(dimmed ? opacity : 1.0);
    effect->setEnabled(dimmed);
    widget->setEnabled(!dimmed);
}

QLabel* label(const QString& text, const QFont& font, QColor Colours::*colour, QWidget* parent) {
    auto* l = new QLabel(text, parent);
    l->setTextFormat(Qt::PlainText);
    l->setFont(font);
    appearance::tint(l, QPalette::WindowText, colour);
    return l;
}

QLabel* wrapped(const QString& text, QWidget* parent) {
    QLabel* l = label(text, pixelFont(11), &Colours::secondary, parent);
    l->setWordWrap(true);
    return l;
}

// A switch: a rounded track with a knob, green when on.
class Switch final : public QAbstractButton {
public:
    explicit Switch(const QString& name, QWidget* parent) : QAbstractButton(parent) {
        setCheckable(true);
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::StrongFocus);
        setFixedSize(38, 22);
        setAccessibleName(name);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        const QRectF track = QRectF(rect()).adjusted(1, 1, -1, -1);
        p.setPen(Qt::NoPen);
        p.setBrush(isChecked() ? shownColours.green : withAlpha(shownColours.secondary, 0.35));
        p.drawRoundedRect(track, track.height() / 2, track.height() / 2);
        const double knob = track.height() - 4;
        const double x = isChecked() ? track.right() - 2 - knob : track.left() + 2;
        p.setBrush(Qt::white);
        p.drawEllipse(QRectF(x, track.top() + 2, knob, knob));
        if (hasFocus()) {
            p.setBrush(Qt::NoBrush);
            p.setPen(QPen(withAlpha(shownColours.accent, 0.6), 2));
            p.drawRoundedRect(track.adjusted(-0.5, -0.5, 0.5, 0.5), track.height() / 2, track.height() / 2);
        }
    }
};

// The tab bar's icons, drawn so they follow the text colour.
void drawTabSymbol(QPainter& p, PrefsTab tab, const QRectF& box, const QColor& colour) {
    p.save();
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(colour, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    const QPointF c = box.center();
    const double r = box.width() / 2 - 1;
    switch (tab) {
    case PrefsTab::sync: { // two opposed arrows
        const double y1 = c.y() - r * 0.4, y2 = c.y() + r * 0.4;
        p.drawLine(QPointF(c.x() - r, y1), QPointF(c.x() + r, y1));
        p.drawLine(QPointF(c.x() + r, y1), QPointF(c.x() + r * 0.5, y1 - r * 0.4));
        p.drawLine(QPointF(c.x() - r, y2), QPointF(c.x() + r, y2));
        p.drawLine(QPointF(c.x() - r, y2), QPointF(c.x() - r * 0.5, y2 + r * 0.4));
        break;
    }
    case PrefsTab::general: { // a gear
        for (int i = 0; i < 8; ++i) {
            const double a = i * M_PI / 4;
            p.drawLine(QPointF(c.x() + std::cos(a) * r * 0.62, c.y() + std::sin(a) * r * 0.62),
                       QPointF(c.x() + std::cos(a) * r, c.y() + std::sin(a) * r));
        }
        p.drawEllipse(c, r * 0.62, r * 0.62);
        p.drawEllipse(c, r * 0.25, r * 0.25);
        break;
    }
    case PrefsTab::security: { // a shield with a lock's keyhole
        QPainterPath shield;
        shield.moveTo(c.x(), c.y() - r);
        shield.lineTo(c.x() + r * 0.8, c.y() - r * 0.65);
        shield.cubicTo(c.x() + r * 0.8, c.y() + r * 0.2, c.x() + r * 0.4, c.y() + r * 0.7, c.x(), c.y() + r);
        shield.cubicTo(c.x() - r * 0.4, c.y() + r * 0.7, c.x() - r * 0.8, c.y() + r * 0.2, c.x() - r * 0.8,
                       c.y() - r * 0.65);
        shield.closeSubpath();
        p.drawPath(shield);
        p.drawEllipse(QPointF(c.x(), c.y() - r * 0.1), r * 0.18, r * 0.18);
        p.drawLine(QPointF(c.x(), c.y() + r * 0.08), QPointF(c.x(), c.y() + r * 0.4));
        break;
    }
    case PrefsTab::help: { // a question mark in a circle
        p.drawEllipse(c, r, r);
        QFont f = pixelFont(static_cast<int>(r * 1.3), QFont::DemiBold);
        p.setFont(f);
        p.drawText(box, Qt::AlignCenter, QStringLiteral("?"));
        break;
    }
    }
    p.restore();
}

// Read as a page tab, checked while its page is shown; pressing it shows the page.
class TabBarButton final : public QAbstractButton, public AccessibleControl {
public:
    TabBarButton(PrefsTab tab, QWidget* parent)
        : QAbstractButton(parent), AccessibleControl(QAccessible::PageTab, [this] { click(); }), m_tab(tab) {
        setCheckable(true);
        setFixedSize(68, 50);
        setFocusPolicy(Qt::TabFocus);
        setCursor(Qt::PointingHandCursor);
        setText(QString::fromUtf8(title(tab).data(), static_cast<qsizetype>(title(tab).size())));
        setAccessibleName(text());
    }

    void addAccessibleState(QAccessible::State& state) const override {
        state.checkable = true;
        state.checked = isChecked();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        if (isChecked()) {
            p.setPen(Qt::NoPen);
            p.setBrush(withAlpha(shownColours.secondary, 0.15));
            p.drawRoundedRect(QRectF(rect()), 8, 8);
        }
        const QColor colour = isChecked() ? shownColours.primary : shownColours.secondary;
        drawTabSymbol(p, m_tab, QRectF(width() / 2.0 - 10, 7, 20, 20), colour);
        p.setPen(colour);
        p.setFont(pixelFont(11));
        p.drawText(QRectF(0, 31, width(), 16), Qt::AlignHCenter | Qt::AlignTop, text());
    }

private:
    PrefsTab m_tab;
};

// A titled card: the title in small capitals above a rounded, lightly filled box.
class GroupBox final : public QWidget {
public:
    GroupBox(const QString& title, QWidget* parent) : QWidget(parent) {
        auto* outer = new QVBoxLayout(this);
        outer->setContentsMargins(0, 0, 0, 0);
        outer->setSpacing(6);
        QLabel* heading = label(title.toUpper(), pixelFont(10, QFont::DemiBold), &Colours::secondary, this);
        heading->setContentsMargins(4, 0, 0, 0);
        outer->addWidget(heading);
        m_card = new Card(this);
        rows = new QVBoxLayout(m_card);
        rows->setContentsMargins(16, 0, 16, 0);
        rows->setSpacing(0);
        outer->addWidget(m_card);
    }
    QVBoxLayout* rows;
    QWidget* card() const { return m_card; }

private:
    class Card final : public QWidget {
    public:
        using QWidget::QWidget;

    protected:
        void paintEvent(QPaintEvent*) override {
            QPainter p(this);
            p.setRenderHint(QPainter::Antialiasing);
            p.setPen(QPen(shownColours.divider, 1));
            p.setBrush(withAlpha(shownColours.secondary, 0.12));
            p.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 10, 10);
        }
    };
    QWidget* m_card;
};


// A badge such as "BETA": bold small text on a tint of its colour.
class Badge final : public QLabel {
public:
    Badge(const QString& text, QColor colour, QWidget* parent) : QLabel(text, parent), m_colour(colour) {
        setFont(pixelFont(9, QFont::Bold));
        setContentsMargins(5, 1, 5, 1);
        QPalette pal = palette();
        pal.setColor(QPalette::WindowText, colour);
        setPalette(pal);
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    }

protected:
    void paintEvent(QPaintEvent* event) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(withAlpha(m_colour, 0.15));
        p.drawRoundedRect(QRectF(rect()), 4, 4);
        p.end();
        QLabel::paintEvent(event);
    }

private:
    QColor m_colour;
};

QString qs(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace

// Builds the tabs' rows into the window's lists.
class PreferencesWindow::Builder {
public:
    explicit Builder(PreferencesWindow& window) : w(window) {}

    QWidget* page() {
        auto* area = new QScrollArea;
        area->setFrameShape(QFrame::NoFrame);
        area->setWidgetResizable(true);
        area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        auto* content = new QWidget;
        content->setAutoFillBackground(false);
        area->viewport()->setAutoFillBackground(false);
        column = new QVBoxLayout(content);
        column->setContentsMargins(24, 20, 24, 20);
        column->setSpacing(18);
        area->setWidget(content);
        return area;
    }
    void end() { column->addStretch(1); }

    GroupBox* group(const QString& title) {
        auto* box = new GroupBox(title, column->parentWidget());
        column->addWidget(box);
        return box;
    }

    // A row: title (and subtitle) on the left, `trailing` on the right.
    QWidget* row(GroupBox* box, const QString& title, QLabel** subtitleOut, const QString& subtitle,
                 QWidget* trailing, bool divider, const QString& badge = {}) {
        auto* rowWidget = new QWidget(box->card());
        auto* h = new QHBoxLayout(rowWidget);
        h->setContentsMargins(0, 10, 0, 10);
        h->setSpacing(12);
        auto* texts = new QVBoxLayout;
        texts->setSpacing(2);
        auto* titleLine = new QHBoxLayout;
        titleLine->setSpacing(6);
        titleLine->addWidget(label(title, pixelFont(13), &Colours::primary, rowWidget));
        if (!badge.isEmpty())
            titleLine->addWidget(new Badge(badge, kOrange, rowWidget));
        titleLine->addStretch(1);
        texts->addLayout(titleLine);
        if (!subtitle.isEmpty() || subtitleOut) {
            QLabel* sub = wrapped(subtitle, rowWidget);
            texts->addWidget(sub);
            if (subtitleOut)
                *subtitleOut = sub;
        }
        h->addLayout(texts, 1);
        if (trailing) {
            trailing->setParent(rowWidget);
            h->addWidget(trailing, 0, Qt::AlignVCenter);
        }
        box->rows->addWidget(rowWidget);
        if (divider)
            box->rows->addWidget(appearance::divider(box->card()));
        w.m_rows.emplace_back(title, rowWidget);
        return rowWidget;
    }

    QWidget* toggleRow(GroupBox* box, const QString& title, const QString& subtitle, bool divider,
                       std::function<void(bool)> onToggle, const QString& badge = {}, QLabel** subtitleOut = nullptr) {
        auto* sw = new Switch(title, nullptr);
        QObject::connect(sw, &QAbstractButton::toggled, &w, [window = &w, onToggle = std::move(onToggle)](bool on) {
            if (!window->m_refreshing)
                onToggle(on);
        });
        w.m_toggles.emplace_back(title, sw);
        return row(box, title, subtitleOut, subtitle, sw, divider, badge);
    }

    PreferencesWindow& w;
    QVBoxLayout* column = nullptr;
};

PreferencesWindow::PreferencesWindow(PrefsState& state, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::WindowMinimizeButtonHint | Qt::CustomizeWindowHint),
      m_state(state) {
    setWindowTitle(QStringLiteral("Sorvane Preferences"));
    setFixedSize(kWidth, kHeight);
    setAutoFillBackground(true);
    appearance::tint(this, QPalette::Window, &Colours::background);
    appearance::tint(this, QPalette::Base, &Colours::background);
    appearance::tint(this, QPalette::WindowText, &Colours::primary);
    appearance::tint(this, QPalette::ButtonText, &Colours::primary);
    appearance::tint(this, QPalette::Text, &Colours::primary);
    appearance::tint(this, QPalette::Button, &Colours::card);

    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 8, 0, 0);
    outer->setSpacing(0);

    auto* bar = new QHBoxLayout;
    bar->setSpacing(4);
    bar->addStretch(1);
    for (PrefsTab tab : allPrefsTabs) {
        auto* button = new TabBarButton(tab, this);
        connect(button, &QAbstractButton::clicked, this, [this, tab] { selectTab(tab); });
        bar->addWidget(button);
        m_tabButtons.emplace_back(tab, button);
    }
    bar->addStretch(1);
    outer->addLayout(bar);
    outer->addSpacing(8);
    outer->addWidget(appearance::divider(this));

    m_pages = new QStackedWidget(this);
    outer->addWidget(m_pages, 1);
    Builder b(*this);

    // Sync.
    m_pages->addWidget(b.page());
    GroupBox* sync = b.group(QStringLiteral("Sync"));
    b.toggleRow(sync, QStringLiteral("Clipboard sync"),
                QStringLiteral("Master switch. When off, no data flows in either direction. BLE stays connected. "
                               "Manual sends (\u2708 in history) still work. Also toggleable from the tray "
                               "panel (Ctrl+P)."),
                true, [this](bool on) { m_state.setSyncEnabled(on); });
    b.toggleRow(sync, QStringLiteral("Auto-apply phone clipboards"),
                QStringLiteral("Clipboards received from the phone immediately overwrite this Mac's clipboard. "
                               "When off, they appear in history but don't replace your current clipboard."),
                true, [this](bool on) { m_state.setAutoApply(on); });
    b.toggleRow(sync, QStringLiteral("Auto-send clipboards"),
                QStringLiteral("\u26a0 Every clipboard change on this Mac is automatically sent to the phone "
                               "\u2014 including passwords and OTPs. Manual sends always work regardless of this "
                               "setting."),
                false, [this](bool on) { m_state.setAutoPush(on); }, QStringLiteral("BETA"));

    GroupBox* history = b.group(QStringLiteral("History"));
    {
        auto* block = new QWidget(history->card());
        auto* v = new QVBoxLayout(block);
        v->setContentsMargins(0, 10, 0, 10);
        v->setSpacing(2);
        v->addWidget(label(QStringLiteral("Maximum clippings to save"), pixelFont(13), &Colours::primary, block));
        v->addWidget(wrapped(QStringLiteral("Older clippings are removed when this limit is reached."), block));
        v->addSpacing(6);
        auto* segments = new QHBoxLayout;
        segments->setSpacing(0);
        m_limitGroup = new QButtonGroup(this);
        m_limitGroup->setExclusive(true);
        for (size_t i = 0; i < historyLimitChoices.size(); ++i) {
            const int64_t limit = historyLimitChoices[i];
            auto* segment = new QPushButton(QString::number(limit), block);
            segment->setCheckable(true);
            segment->setFixedHeight(24);
            segment->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
            segment->setAccessibleName(QStringLiteral("Keep %1 clippings").arg(limit));
            segment->setCursor(Qt::PointingHandCursor);
            m_limitGroup->addButton(segment);
            segments->addWidget(segment);
            m_segments.emplace_back(limit, segment);
            connect(segment, &QPushButton::clicked, this, [this, limit] { m_state.chooseMaxHistory(limit); });
        }
        v->addLayout(segments);
        appearance::follow(block, [this] {
            const QString css = QStringLiteral(
                "QPushButton { border: 1px solid %1; background: %2; color: %3; padding: 0px; }"
                "QPushButton:checked { background: %4; color: %5; border-color: %4; }")
                .arg(shownColours.divider.name(QColor::HexArgb), shownColours.card.name(),
                     shownColours.primary.name(), shownColours.selected.name(), shownColours.onSelected.name());
            for (auto& [value, button] : m_segments)
                button->setStyleSheet(css);
        });
        history->rows->addWidget(block);
        m_rows.emplace_back(QStringLiteral("Maximum clippings to save"), block);
        history->rows->addWidget(appearance::divider(history->card()));
        m_clearHistory = new QPushButton(QStringLiteral("\U0001F5D1  Clear all history"), history->card());
        m_clearHistory->setText(QStringLiteral("Clear all history"));
        m_clearHistory->setIcon(QIcon::fromTheme(QStringLiteral("user-trash")));
        m_clearHistory->setFlat(true);
        m_clearHistory->setCursor(Qt::PointingHandCursor);
        m_clearHistory->setFont(pixelFont(13));
        QPalette red = m_clearHistory->palette();
        red.setColor(QPalette::ButtonText, kRed);
        m_clearHistory->setPalette(red);
        m_clearHistory->setStyleSheet(QStringLiteral("QPushButton { color: #e53935; text-align: left; "
                                                     "padding: 10px 0px; border: none; }"));
        connect(m_clearHistory, &QPushButton::clicked, this, [this] { m_state.clearHistory(); });
        history->rows->addWidget(m_clearHistory);
    }
    b.end();

    // General.
    m_pages->addWidget(b.page());
    GroupBox* startup = b.group(QStringLiteral("Startup"));
    b.toggleRow(startup, QStringLiteral("Launch at login"), QString(), false,
                [this](bool on) { m_state.setLaunchAtLogin(on); }, {}, &m_launchSubtitle);

    GroupBox* look = b.group(QStringLiteral("Appearance"));
    m_trayIcon = new QComboBox;
    m_trayIcon->setFixedWidth(200);
    m_trayIcon->setAccessibleName(QStringLiteral("Tray icon"));
    for (TrayIconChoice choice : allTrayIconChoices) {
        const QImage symbol = SorvaneStatusItem::renderSymbol(symbolName(choice), kPrimary, 32);
        m_trayIcon->addItem(QIcon(QPixmap::fromImage(symbol)), qs(label(choice)), static_cast<int>(choice));
    }
    connect(m_trayIcon, &QComboBox::activated, this, [this](int index) {
        m_state.setTrayIcon(static_cast<TrayIconChoice>(m_trayIcon->itemData(index).toInt()));
    });
    b.row(look, QStringLiteral("Tray icon"), nullptr, QStringLiteral("The symbol shown in the tray."), m_trayIcon,
          false);

    GroupBox* shortcuts = b.group(QStringLiteral("Shortcuts"));
    m_hotKey = new QPushButton;
    m_hotKey->setMinimumWidth(120);
    m_hotKey->setFont(pixelFont(13, QFont::Medium));
    m_hotKey->setAccessibleName(QStringLiteral("Global shortcut"));
    m_hotKey->installEventFilter(this);
    connect(m_hotKey, &QPushButton::clicked, this, [this] {
        if (m_state.isRecordingHotKey) {
            m_state.stopRecordingHotKey();
        } else {
            m_state.startRecordingHotKey();
            QTimer::singleShot(0, m_hotKey, [button = m_hotKey] { button->setFocus(Qt::OtherFocusReason); });
        }
    });
    b.row(shortcuts, QStringLiteral("Global shortcut"), nullptr, QStringLiteral("Opens the Sorvane panel from anywhere."),
          m_hotKey, false);
    // Where the desktop does not bind the shortcut: why, and the way round it.
    m_hotKeyNote = new QLabel(shortcuts->card());
    m_hotKeyNote->setTextFormat(Qt::PlainText);
    m_hotKeyNote->setFont(pixelFont(11));
    m_hotKeyNote->setWordWrap(true);
    m_hotKeyNote->setContentsMargins(0, 0, 0, 8);
    appearance::follow(m_hotKeyNote, [note = m_hotKeyNote] {
        QPalette palette = note->palette();
        palette.setColor(QPalette::WindowText, noteOrange());
        note->setPalette(palette);
    });
    m_hotKeyNote->setAccessibleName(QStringLiteral("Global shortcut note"));
    m_hotKeyNote->hide();
    shortcuts->rows->addWidget(m_hotKeyNote);
    shortcuts->rows->addWidget(appearance::divider(shortcuts->card()));
    b.toggleRow(shortcuts, QStringLiteral("Auto-paste after selecting"),
                QStringLiteral("When you pick an item from the panel, simulate Ctrl+V into the previous app. "
                               "Requires Accessibility permission."),
                false, [this](bool on) { m_state.setAutoPaste(on); });

    GroupBox* updates = b.group(QStringLiteral("Updates"));
    b.toggleRow(updates, QStringLiteral("Automatically check for updates"),
                QStringLiteral("Automatically check once a day in the background. Manual check via the tray "
                               "always works regardless of this setting."),
                true, [this](bool on) { m_state.setAutoUpdateCheck(on); });
    m_checkNow = new QPushButton(QStringLiteral("Check Now"));
    connect(m_checkNow, &QPushButton::clicked, this, [this] { m_state.checkForUpdates(); });
    b.row(updates, QStringLiteral("Check for updates now"), nullptr,
          QStringLiteral("Running Sorvane %1 \u00b7 checks %2 for a newer build.")
              .arg(applicationVersionText(), websiteHost()),
          m_checkNow, false);
    b.end();

    // Security.
    m_pages->addWidget(b.page());
    GroupBox* identity = b.group(QStringLiteral("Identity fingerprint"));
    {
        QLabel* why = wrapped(QStringLiteral("Tap the status pill on the paired phone's home screen to open the "
                                             "Connection drawer. The codes below should match what you see there "
                                             "\u2014 that's proof this connection is end-to-end encrypted to the "
                                             "device you expect, not a look-alike."),
                              identity->card());
        why->setContentsMargins(4, 14, 4, 4);
        identity->rows->addWidget(why);
        auto fingerprint = [&](const QString& name, QLabel** value) {
            auto* line = new QWidget(identity->card());
            auto* h = new QHBoxLayout(line);
            h->setContentsMargins(0, 10, 0, 10);
            QLabel* caption = label(name, pixelFont(13), &Colours::secondary, line);
            caption->setFixedWidth(110);
            h->addWidget(caption, 0, Qt::AlignBaseline);
            *value = label(QString(), pixelFont(13, QFont::Medium), &Colours::primary, line);
            (*value)->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
            (*value)->setAccessibleName(name);
            h->addWidget(*value, 1, Qt::AlignBaseline);
            identity->rows->addWidget(line);
            m_rows.emplace_back(name, line);
            return line;
        };
        fingerprint(QStringLiteral("Your Mac"), &m_localFingerprint);
        m_localDivider = appearance::divider(identity->card());
        identity->rows->addWidget(m_localDivider);
        m_peerRow = fingerprint(QStringLiteral("Paired phone"), &m_peerFingerprint);
    }
    b.end();

    // Help.
    m_pages->addWidget(b.page());
    struct Entry {
        const char* icon;
        const char* title;
        const char* text;
    };
    auto helpGroup = [&](const QString& name, std::initializer_list<Entry> entries) {
        GroupBox* box = b.group(name);
        size_t k = 0;
        for (const Entry& entry : entries) {
            auto* section = new QWidget(box->card());
            auto* h = new QHBoxLayout(section);
            h->setContentsMargins(0, 8, 0, 8);
            h->setSpacing(10);
            QLabel* icon = label(QString::fromUtf8(entry.icon), pixelFont(14), &Colours::secondary, section);
            icon->setFixedSize(20, 20);
            icon->setAlignment(Qt::AlignCenter);
            h->addWidget(icon, 0, Qt::AlignTop);
            auto* texts = new QVBoxLayout;
            texts->setSpacing(2);
            texts->addWidget(label(QString::fromUtf8(entry.title), pixelFont(13, QFont::DemiBold), &Colours::primary,
                                   section));
            QLabel* text = label(QString::fromUtf8(entry.text), pixelFont(12), &Colours::secondary, section);
            text->setWordWrap(true);
            texts->addWidget(text);
            h->addLayout(texts, 1);
            box->rows->addWidget(section);
            m_rows.emplace_back(QString::fromUtf8(entry.title), section);
            if (++k < entries.size())
                box->rows->addWidget(appearance::divider(box->card()));
        }
    };
    helpGroup(QStringLiteral("Essentials"),
              {{"\u2328", "Open the panel",
                "Click the Sorvane icon in the tray, or press the global shortcut (default Shift+Super+V)."},
               {"\u21b5", "Copy + paste from history",
                "Select a history item and press Return \u2014 Sorvane copies it and (with Auto-paste on) pastes "
                "it into the previous app."},
               {"\u2708", "Send to phone manually",
                "Click \u2708 next to any history item. Manual sends always go through, even when sync is paused "
                "or Auto-send is off."}});
    helpGroup(QStringLiteral("Setup"),
              {{"\u25a6", "Pair with phone",
                "Panel menu \u2192 Pair. Scan the QR with the Sorvane Android app, or enter the 6-digit code shown "
                "on the phone. Codes rotate every minute."},
               {"\u267f", "Accessibility permission",
                "Auto-paste simulates a Ctrl+V keystroke, which requires Accessibility. Grant it in your desktop's "
                "settings \u2192 add Sorvane."}});
    helpGroup(QStringLiteral("Privacy"),
              {{"\u2016", "Pause sync for sensitive moments",
                "Toggle Clipboard sync off (Sync tab) or press Ctrl+P from the panel. Useful for meetings, screen "
                "shares, or handling passwords. Manual sends still work."}});
    b.end();

    m_observer = m_state.observe([this] { refresh(); });
    appearance::follow(this, [this] { update(); });
    selectTab(PrefsTab::sync);
    refresh();
}

PreferencesWindow::~PreferencesWindow() {
    m_state.unobserve(m_observer);
}

void PreferencesWindow::selectTab(PrefsTab tab) {
    m_tab = tab;
    m_pages->setCurrentIndex(static_cast<int>(tab));
    for (auto& [t, button] : m_tabButtons)
        button->setChecked(t == tab);
    setWindowTitle(qs(title(tab)));
}

QAbstractButton* PreferencesWindow::tabButton(PrefsTab tab) const {
    for (const auto& [t, button] : m_tabButtons)
        if (t == tab)
            return button;
    return nullptr;
}

QAbstractButton* PreferencesWindow::toggle(const QString& title) const {
    for (const auto& [name, button] : m_toggles)
        if (name == title)
            return button;
    return nullptr;
}

QWidget* PreferencesWindow::row(const QString& title) const {
    for (const auto& [name, widget] : m_rows)
        if (name == title)
            return widget;
    return nullptr;
}

QAbstractButton* PreferencesWindow::limitSegment(int64_t limit) const {
    for (const auto& [value, button] : m_segments)
        if (value == limit)
            return button;
    return nullptr;
}

QLabel* PreferencesWindow::fingerprintLabel(const QString& name) const {
    if (name == QStringLiteral("Your Mac"))
        return m_localFingerprint;
    if (name == QStringLiteral("Paired phone"))
        return m_peerFingerprint;
    return nullptr;
}

void PreferencesWindow::refresh() {
    m_refreshing = true;
    auto set = [this](const char* title, bool on) {
        if (QAbstractButton* button = toggle(QString::fromUtf8(title)))
            button->setChecked(on);
    };
    set("Clipboard sync", !m_state.syncPaused);
    set("Auto-apply phone clipboards", m_state.autoApply);
    set("Auto-send clipboards", m_state.autoPush);
    set("Auto-paste after selecting", m_state.autoPaste);
    set("Automatically check for updates", m_state.autoUpdateCheck);
    set("Launch at login", m_state.launchAtLogin);
    dim(row(QStringLiteral("Auto-apply phone clipboards")), m_state.syncPaused, 0.45);
    dim(row(QStringLiteral("Auto-send clipboards")), m_state.syncPaused, 0.45);

    const bool installed = m_state.platform.installedInApplications && m_state.platform.installedInApplications();
    m_launchSubtitle->setText(installed ? QStringLiteral("Start Sorvane automatically when you log in.")
                                        : QStringLiteral("Install Sorvane in ~/Applications/ to enable this."));
    dim(row(QStringLiteral("Launch at login")), !installed, 0.5);

    // The picker shows the limit; one not among its segments selects none.
    QAbstractButton* segment = limitSegment(m_state.maxHistory);
    if (segment) {
        segment->setChecked(true);
    } else {
        m_limitGroup->setExclusive(false);
        for (auto& [value, button] : m_segments)
            button->setChecked(false);
        m_limitGroup->setExclusive(true);
    }

    m_hotKey->setText(QString::fromStdString(m_state.hotKeyDisplay));
    QPalette pal = m_hotKey->palette();
    pal.setColor(QPalette::ButtonText, m_state.isRecordingHotKey ? kOrange : shownColours.primary);
    m_hotKey->setPalette(pal);
    m_hotKeyNote->setText(QString::fromStdString(m_state.hotKeyNote.value_or("")));
    m_hotKeyNote->setVisible(m_state.hotKeyNote.has_value());

    const int index = m_trayIcon->findData(static_cast<int>(m_state.trayIcon));
    if (index >= 0)
        m_trayIcon->setCurrentIndex(index);

    m_localFingerprint->setText(QString::fromStdString(m_state.localFingerprint));
    m_peerRow->setVisible(m_state.peerFingerprint.has_value());
    m_localDivider->setVisible(m_state.peerFingerprint.has_value());
    m_peerFingerprint->setText(QString::fromStdString(m_state.peerFingerprint.value_or("")));
    m_refreshing = false;
}

bool PreferencesWindow::recordKey(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        m_state.stopRecordingHotKey();
        return true;
    }
    // A modifier alone, or a key outside the shortcut table, keeps recording.
    if (const auto keyCode = hotKeyCodeForKeyEvent(*event))
        m_state.captureHotKey({*keyCode, carbonModifiers(event->modifiers())});
    return true; // while recording, no key does anything else
}

bool PreferencesWindow::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_hotKey && m_state.isRecordingHotKey) {
        if (event->type() == QEvent::KeyPress)
            return recordKey(static_cast<QKeyEvent*>(event));
        if (event->type() == QEvent::ShortcutOverride) {
            event->accept(); // Ctrl+W and the like are recorded, not run
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void PreferencesWindow::keyPressEvent(QKeyEvent* event) {
    if (isCloseWindowShortcut(*event)) {
        close();
        return;
    }
    QWidget::keyPressEvent(event);
}

SorvanePreferences::SorvanePreferences(PrefsState& state) : m_state(state) {}

SorvanePreferences::~SorvanePreferences() = default;

void SorvanePreferences::show() {
    if (m_window && m_window->isVisible()) {
        bringToFront(m_window.get());
        return;
    }
    m_window = std::make_unique<PreferencesWindow>(m_state);
    showCentredUnderPointer(m_window.get());
}

} // namespace sorvane
