#include "adapters/qt/ui/SorvaneSearchPanel.h"

#include "adapters/qt/ui/Appearance.h"
#include "adapters/qt/ui/PanelClickWatcher.h"
#include "adapters/qt/ui/PanelCommandRow.h"
#include "adapters/qt/ui/PanelHistoryDelegate.h"
#include "adapters/qt/ui/PanelHistoryModel.h"
#include "adapters/qt/ui/PanelStyle.h"
#include "adapters/qt/ui/TaskBarHints.h"

#include <QApplication>
#include <QCursor>
#include <QEasingCurve>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStackedWidget>
#include <QTimer>
#include <QVariantAnimation>
#include <QVBoxLayout>
#include <QWindow>

#include <algorithm>

namespace sorvane {

using namespace panelstyle;

namespace {

// The magnifying glass before the search field.
class SearchGlyph final : public QWidget {
public:
    explicit SearchGlyph(QWidget* parent) : QWidget(parent) { setFixedSize(16, 16); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(kSecondary, 1.6, Qt::SolidLine, Qt::RoundCap));
        p.drawEllipse(QRectF(1.5, 1.5, 9.5, 9.5));
        p.drawLine(QPointF(9.8, 9.8), QPointF(14.2, 14.2));
    }
};

QLabel* label(QWidget* parent, const QFont& font, QColor Colours::*colour) {
    auto* l = new QLabel(parent);
    l->setTextFormat(Qt::PlainText); // texts come from the user's clipboard
    l->setFont(font);
    appearance::tint(l, QPalette::WindowText, colour);
    return l;
}

QString listStyleSheet() {
    return QStringLiteral(
               "QListView { background: transparent; border: none; padding-top: 4px; }"
               "QScrollBar:vertical { background: transparent; width: 8px; margin: 2px; }"
               "QScrollBar::handle:vertical { background: %1; border-radius: 2px; min-height: 24px; }"
               "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
               "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: none; }")
        .arg(shownColours.scrollHandle.name(QColor::HexArgb));
}

} // namespace

SorvaneSearchPanel::SorvaneSearchPanel(QSize size, QWidget* parent)
    : QWidget(parent, Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint) {
    // A utility window that pops up over the others and takes the keyboard; no
    // task button, no place in pagers or the window switcher.
    keepOutOfTaskBars(this);
    setFixedSize(size);
    setWindowTitle(QStringLiteral("Sorvane"));
    setFocusPolicy(Qt::StrongFocus);

    appearance::tint(this, QPalette::Window, &Colours::background);
    appearance::tint(this, QPalette::Base, &Colours::background);
    appearance::tint(this, QPalette::Text, &Colours::primary);
    appearance::tint(this, QPalette::WindowText, &Colours::primary);
    appearance::tint(this, QPalette::PlaceholderText, &Colours::tertiary);
    appearance::tint(this, QPalette::Highlight, &Colours::selected);
    appearance::tint(this, QPalette::HighlightedText, &Colours::onSelected);

    auto* root = new QVBoxLayout(this);
    root->setContentsMargins(1, 1, 1, 1); // inside the border
    root->setSpacing(0);

    // Search bar.
    auto* bar = new QWidget(this);
    auto* barLayout = new QHBoxLayout(bar);
    barLayout->setContentsMargins(kHorizontalPadding, 8, kHorizontalPadding, 8);
    barLayout->setSpacing(8);
    barLayout->addWidget(new SearchGlyph(bar));
    m_search = new QLineEdit(bar);
    m_search->setFrame(false);
    m_search->setFont(pixelFont(15));
    m_search->setPlaceholderText(QStringLiteral("Type to search\u2026"));
    m_search->setAccessibleName(QStringLiteral("Search clippings"));
    m_search->setStyleSheet(QStringLiteral("QLineEdit { background: transparent; border: none; padding: 2px 0; }"));
    // Its style sheet keeps the field from taking the panel's palette again
    // once it has been shown: it gets its colours itself.
    appearance::tint(m_search, QPalette::Text, &Colours::primary);
    appearance::tint(m_search, QPalette::PlaceholderText, &Colours::placeholder);
    m_search->installEventFilter(this);
    barLayout->addWidget(m_search, 1);
    root->addWidget(bar);
    root->addWidget(appearance::divider(this));

    m_toast = label(this, pixelFont(11, QFont::Medium), &Colours::green);
    m_toast->setAlignment(Qt::AlignCenter);
    m_toast->setContentsMargins(0, 3, 0, 3);
    m_toast->hide();
    root->addWidget(m_toast);
    m_toastTimer = new QTimer(this);
    m_toastTimer->setSingleShot(true);
    m_toastTimer->setTimerType(Qt::PreciseTimer);
    connect(m_toastTimer, &QTimer::timeout, m_toast, &QWidget::hide);

    // Body: the list, or a line saying why it is empty.
    m_body = new QStackedWidget(this);
    m_model = new PanelHistoryModel(this);
    m_delegate = new PanelHistoryDelegate(m_state, *m_model, this);
    m_list = new QListView(m_body);
    m_list->setModel(m_model);
    m_list->setItemDelegate(m_delegate);
    m_list->setUniformItemSizes(true);
    m_list->setSelectionMode(QAbstractItemView::NoSelection);
    m_list->setFocusPolicy(Qt::NoFocus);
    m_list->setFrameShape(QFrame::NoFrame);
    m_list->setMouseTracking(true);
    m_list->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_list->viewport()->installEventFilter(this);
    m_scroll = new QVariantAnimation(this);
    m_scroll->setDuration(kScrollMs);
    m_scroll->setEasingCurve(QEasingCurve::InOutQuad);
    connect(m_scroll, &QVariantAnimation::valueChanged, this,
            [this](const QVariant& value) { m_list->verticalScrollBar()->setValue(value.toInt()); });
    m_list->viewport()->setAutoFillBackground(false);
    m_body->addWidget(m_list);
    m_empty = label(m_body, pixelFont(13), &Colours::secondary);
    m_empty->setAlignment(Qt::AlignCenter);
    m_empty->setWordWrap(true);
    m_empty->setContentsMargins(kHorizontalPadding, 0, kHorizontalPadding, 0);
    m_body->addWidget(m_empty);
    root->addWidget(m_body, 1);
    root->addWidget(appearance::divider(this));

    auto* commands = new QWidget(this);
    m_commands = new QVBoxLayout(commands);
    m_commands->setContentsMargins(0, 4, 0, 4);
    m_commands->setSpacing(0);
    root->addWidget(commands);
    root->addWidget(appearance::divider(this, {0, 2, 0, 2}));

    auto* footer = new QWidget(this);
    auto* footerLayout = new QHBoxLayout(footer);
    footerLayout->setContentsMargins(kHorizontalPadding, 4, kHorizontalPadding, 6);
    m_footerLeft = label(footer, pixelFont(11), &Colours::tertiary);
    m_footerRight = label(footer, pixelFont(11), &Colours::tertiary);
    footerLayout->addWidget(m_footerLeft);
    footerLayout->addStretch(1);
    footerLayout->addWidget(m_footerRight);
    root->addWidget(footer);

    connect(m_search, &QLineEdit::textChanged, this,
            [this](const QString& text) { m_state.setQuery(text.toStdString()); });
    m_state.addObserver([this] { refresh(); });
    // The rows and the glyph read their colours as they paint: a change of
    // scheme only needs them painted again.
    appearance::follow(this, [this] {
        m_list->setStyleSheet(listStyleSheet());
        m_list->viewport()->update();
        update();
    });
    m_clicks = new PanelClickWatcher(*this, [this] {
        m_hiddenByClickAt = std::chrono::steady_clock::now();
        hidePanel();
    });
    refresh();
}

SorvaneSearchPanel::~SorvaneSearchPanel() = default;

void SorvaneSearchPanel::showPanel(std::vector<PanelItemDef> items, PanelFlags flags, OnSelect onSelect) {
    m_itemsChanged = true;
    m_state.setItems(std::move(items));
    m_state.setFlags(flags.isPhoneConnected, flags.autoPaste, flags.syncPaused);
    m_state.onSelect = std::move(onSelect);
    showAtDefaultPosition();
}

void SorvaneSearchPanel::updatePanel(std::vector<PanelItemDef> items, PanelFlags flags) {
    m_itemsChanged = true;
    m_state.setItems(std::move(items));
    m_state.setFlags(flags.isPhoneConnected, flags.autoPaste, flags.syncPaused);
}

void SorvaneSearchPanel::hidePanel() {
    hide();
}

bool SorvaneSearchPanel::isPanelVisible() const {
    return isVisible();
}

void SorvaneSearchPanel::showAtDefaultPosition() {
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect area = screen->availableGeometry();
    move(area.x() + (area.width() - width()) / 2, area.y());

    // Nothing counts as hovered until the pointer moves over a row.
    m_delegate->setHoveredId(std::nullopt);
    m_lastMouse = {-1, -1};
    m_state.resetForShow();
    m_toastTimer->stop();
    m_toast->hide();
    m_scroll->stop();
    m_list->scrollToTop();
    show();
    raise();
    activateWindow();
    m_search->setFocus(Qt::ActiveWindowFocusReason);
    // Hiding deactivates the widget, but the platform may still count its
    // window as the focus window and then reports no change when it is shown
    // again: the widget would stay inactive, without a focused search field.
    QTimer::singleShot(0, this, [this] {
        if (!isVisible() || isActiveWindow())
            return;
        if (windowHandle() && windowHandle()->isActive())
            QApplication::setActiveWindow(this);
        else
            activateWindow();
        m_search->setFocus(Qt::ActiveWindowFocusReason);
    });
}

void SorvaneSearchPanel::refresh() {
    const bool reset = m_model->setRows(m_state.filteredHistory());

    const QString query = QString::fromStdString(m_state.query());
    if (m_search->text() != query) {
        const QSignalBlocker block(m_search);
        m_search->setText(query);
    }

    const bool empty = m_model->rowCount() == 0;
    if (empty) {
        // A whole document pasted into the field would take the label long to
        // wrap: show a few lines of it.
        QString shown = query.size() > kLongestShownQuery ? query.left(kLongestShownQuery) + QChar(0x2026) : query;
        const auto& items = m_state.items();
        const bool loading = std::any_of(items.begin(), items.end(),
                                         [](const PanelItemDef& i) { return i.id == kHistoryLoadingId; });
        m_empty->setText(loading          ? QStringLiteral("Loading the clipboard history\u2026")
                         : shown.isEmpty() ? QStringLiteral("No clippings yet")
                                           : QStringLiteral("No results for \"") + shown + QLatin1Char('"'));
    }
    m_body->setCurrentIndex(empty ? 1 : 0);

    m_footerLeft->setText(footerText());
    m_footerRight->setText(QString::number(m_state.historyItems().size()) + QStringLiteral(" clips"));

    if (m_itemsChanged) {
        m_itemsChanged = false;
        rebuildCommandRows();
        m_search->setFocus(Qt::OtherFocusReason);
    }

    if (const auto& target = m_state.scrollToId()) {
        const int row = m_model->rowOf(*target);
        if (row >= 0)
            scrollToRow(row);
        // A one-shot request: cleared once served, on a later turn.
        QTimer::singleShot(0, this, [this] { m_state.setScrollToId(std::nullopt); });
    } else if (reset) {
        const auto selected = m_state.selectedId();
        const int row = selected ? m_model->rowOf(*selected) : -1;
        if (row >= 0)
            m_list->scrollTo(m_model->index(row), QAbstractItemView::EnsureVisible);
        else
            m_list->scrollToTop();
    }
    m_list->viewport()->update();
}

void SorvaneSearchPanel::scrollToRow(int row) {
    const QModelIndex index = m_model->index(row);
    const QRect rect = m_list->visualRect(index);
    // Rows not laid out yet (just replaced) are placed without animation.
    if (!rect.isValid() || m_list->viewport()->height() <= 0) {
        m_scroll->stop();
        m_list->scrollTo(index, QAbstractItemView::EnsureVisible);
        return;
    }
    // Just far enough that the row shows whole, eased over a moment.
    QScrollBar* bar = m_list->verticalScrollBar();
    const int from = bar->value();
    int to = from;
    if (rect.top() < 0)
        to = from + rect.top();
    else if (rect.bottom() >= m_list->viewport()->height())
        to = from + rect.bottom() - m_list->viewport()->height() + 1;
    to = std::clamp(to, bar->minimum(), bar->maximum());
    m_scroll->stop();
    if (to == from)
        return;
    m_scroll->setStartValue(from);
    m_scroll->setEndValue(to);
    m_scroll->start();
}

QString SorvaneSearchPanel::footerText() const {
    QString text = QStringLiteral("\u21b5 ");
    text += m_state.autoPaste() ? QStringLiteral("paste") : QStringLiteral("copy");
    text += m_state.isPhoneConnected() && !m_state.syncPaused() ? QStringLiteral(" & send \u00b7 esc close")
                                                                 : QStringLiteral(" \u00b7 esc close");
    return text;
}

void SorvaneSearchPanel::rebuildCommandRows() {
    std::vector<PanelItemDef> commands;
    for (const PanelItemDef* item : m_state.actionItems())
        if (item->id != kHistoryLoadingId) // said where the entries go
            commands.push_back(*item);
    if (commands == m_shownCommands && !m_rows.empty())
        return;
    m_shownCommands = commands;
    // The row being clicked may be the one that led here: delete later.
    for (PanelCommandRow* row : m_rows) {
        row->hide();
        row->deleteLater();
    }
    m_rows.clear();
    for (const PanelItemDef& item : commands) {
        const std::string id = item.id;
        auto* row = new PanelCommandRow(item, [this, id] { m_state.select(id); }, this);
        m_commands->addWidget(row);
        m_rows.push_back(row);
    }
}

bool SorvaneSearchPanel::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_search && event->type() == QEvent::KeyPress)
        return handleKey(static_cast<QKeyEvent*>(event));
    if (watched == m_list->viewport())
        return handleListMouse(event);
    return QWidget::eventFilter(watched, event);
}

void SorvaneSearchPanel::keyPressEvent(QKeyEvent* event) {
    if (!handleKey(event))
        QWidget::keyPressEvent(event);
}

bool SorvaneSearchPanel::handleKey(QKeyEvent* event) {
    const bool ctrl = event->modifiers().testFlag(Qt::ControlModifier);
    switch (event->key()) {
    case Qt::Key_Return: // the keypad's Enter is left to the search field
        if (ctrl) {
            // Held down, the key repeats: one send per press. The delegate
            // answers with the toast saying what became of it.
            if (event->isAutoRepeat())
                return true;
            if (const auto action = m_state.resendAction())
                m_state.select(*action);
        } else if (const auto action = m_state.returnAction()) {
            m_state.select(*action);
            hidePanel();
        }
        return true;
    case Qt::Key_Escape:
        hidePanel();
        return true;
    case Qt::Key_Down:
        m_state.moveSelectionDown();
        return true;
    case Qt::Key_Up:
        m_state.moveSelectionUp();
        return true;
    default:
        break;
    }
    if (!ctrl)
        return false;
    const char* action = nullptr;
    switch (event->key()) {
    case Qt::Key_P:
        action = "toggle_pause";
        break;
    case Qt::Key_Comma:
        action = "preferences";
        break;
    case Qt::Key_I:
        action = "about";
        break;
    case Qt::Key_Q:
        action = "quit";
        break;
    default:
        return false;
    }
    m_state.select(action);
    return true;
}

bool SorvaneSearchPanel::handleListMouse(QEvent* event) {
    switch (event->type()) {
    case QEvent::MouseMove: {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        const QPoint at = mouse->position().toPoint();
        // Only a real move selects: a list scrolled under a still pointer does not.
        if (at == m_lastMouse)
            return false;
        m_lastMouse = at;
        const PanelItemDef* item = m_model->rowAt(m_list->indexAt(at).row());
        std::optional<std::string> id = item ? std::optional<std::string>(item->id) : std::nullopt;
        if (id != m_delegate->hoveredId()) {
            m_delegate->setHoveredId(id);
            if (id)
                m_state.setSelectedId(std::move(id));
            m_list->viewport()->update();
        }
        return false;
    }
    case QEvent::Leave:
        m_lastMouse = {-1, -1};
        m_delegate->setHoveredId(std::nullopt);
        m_list->viewport()->update();
        return false;
    case QEvent::MouseButtonPress: {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        m_pressedRow = mouse->button() == Qt::LeftButton ? m_list->indexAt(mouse->position().toPoint()).row() : -1;
        return true;
    }
    case QEvent::MouseButtonRelease: {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        const QPoint at = mouse->position().toPoint();
        const QModelIndex index = m_list->indexAt(at);
        const int pressed = std::exchange(m_pressedRow, -1);
        const PanelItemDef* item = m_model->rowAt(index.row());
        if (mouse->button() != Qt::LeftButton || !item || index.row() != pressed)
            return true;
        const std::string id = item->id; // the rows may be replaced by what follows
        if (m_delegate->sendVisible(index.row()) &&
            PanelHistoryDelegate::sendRect(m_list->visualRect(index)).contains(at))
            resend(id);
        else
            selectItem(id);
        return true;
    }
    case QEvent::MouseButtonDblClick:
        return true;
    default:
        return false;
    }
}

void SorvaneSearchPanel::selectItem(const std::string& id) {
    if (id.starts_with(kHistoryRowPrefix))
        m_state.select(std::string(kHistoryTapPrefix) + id.substr(kHistoryRowPrefix.size()));
    else
        m_state.select(id);
    QTimer::singleShot(0, this, [this] { hidePanel(); });
}

void SorvaneSearchPanel::resend(const std::string& id) {
    m_state.select(std::string(kResendPrefix) + id);
}

void SorvaneSearchPanel::showToast(const std::string& text) {
    if (isVisible())
        flash(QString::fromStdString(text));
}

void SorvaneSearchPanel::flash(const QString& text) {
    m_toast->setText(text);
    m_toast->show();
    m_toastTimer->start(kToastMs);
}

void SorvaneSearchPanel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), kBackground);
    p.setPen(kBorder);
    p.setBrush(Qt::NoBrush);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
}

} // namespace sorvane
