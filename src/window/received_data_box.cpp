#include "window/received_data_box.h"

#include "model/received_data.h"
#include "window/received_data_actions.h"
#include "window/text_zoom.h"

#include <QContextMenuEvent>
#include <QElapsedTimer>
#include <QFontDatabase>
#include <QMenu>
#include <QTimer>

#include <algorithm>
#include <memory>

namespace {

// A chunk after a quiet spell shows at once; while data keeps coming the view changes only a
// few times a second (each change costs a repaint and an accessibility notification), and a slow
// view less often still.
constexpr int QuickestRefreshMs = 20;
constexpr int SteadyRefreshMs = 250;
constexpr int SlowestRefreshMs = 1000;
constexpr int RefreshCostShare = 10; // the gap is at least this many times a refresh's cost

} // namespace

// What the view holds of the data, and when it looks again.
struct ReceivedDataBox::Private {
    qsizetype waitingShown = 0; // replacement marks at the end for a character not yet whole
    QTimer refresh;
    QElapsedTimer sinceRefresh;
    int refreshGap = SteadyRefreshMs; // the least time from one refresh to the next
    qint64 refreshCost = 0;           // ms the last refresh took
    qint64 paintCost = 0;             // ms the costliest repaint since then took
    QFont textFont;               // the box's own font, while the hex view shows a fixed-pitch one
    QFont shownFont;              // the font the box itself set last
    QFont systemFixed, evenFixed; // the system's fixed font, and the one shown for it (a search)
    int zoom = 100;
};

ReceivedDataBox::ReceivedDataBox(ReceivedData &data, QWidget *parent)
    : LineView(parent), m_data(data), d(new Private) {
    d->refresh.setSingleShot(true);
    connect(&d->refresh, &QTimer::timeout, this, &ReceivedDataBox::refreshView);
    m_actions = new ReceivedDataActions(this);
    connect(&data, &ReceivedData::contentChanged, this, [this] { scheduleRefresh(); });
    // A replacement comes after a pause or from the operator, never in a flood: shown at once.
    connect(&data, &ReceivedData::replaced, this, [this] { scheduleRefresh(Urgency::Soon); });
    connect(&data, &ReceivedData::optionsChanged, this, &ReceivedDataBox::showOptions);
    d->textFont = d->shownFont = font();
    showFont();
    if (data.options().hex || data.options().timeStamps)
        showOptions();
}

ReceivedDataBox::~ReceivedDataBox() {
    delete d;
}

void ReceivedDataBox::showOptions() {
    showFont();
    m_actions->showOptions(m_data.options());
    scheduleRefresh(Urgency::Soon);
}

void ReceivedDataBox::setZoom(int percent) {
    d->zoom = percent;
    showFont();
}

// The box's own font, or in the hex view, whose dump columns line up only where every character
// takes one advance, a font that has it (the system's fixed font may not); either at the zoom.
// Shaping only where a script needs it to be legible: received data shows each character as
// itself (no ligatures).
void ReceivedDataBox::showFont() {
    if (font() != d->shownFont) // set by someone else: the box's own font
        d->textFont = font();
    const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    if (m_data.options().hex && (fixed != d->systemFixed || d->evenFixed.family().isEmpty())) {
        d->systemFixed = fixed;
        d->evenFixed = evenFont(fixed);
    }
    QFont shown = m_data.options().hex ? d->evenFixed : d->textFont;
    if (d->textFont.pointSizeF() > 0)
        shown.setPointSizeF(d->textFont.pointSizeF() * d->zoom / 100);
    shown.setStyleStrategy(QFont::StyleStrategy(shown.styleStrategy() | QFont::PreferNoShaping));
    setFont(shown);
    d->shownFont = font();
}

void ReceivedDataBox::setSaveDialog(SaveDialog dialog) {
    m_actions->setSaveDialog(std::move(dialog));
}

// Qt's own entries, then the box's.
void ReceivedDataBox::contextMenuEvent(QContextMenuEvent *event) {
    const std::unique_ptr<QMenu> menu(createStandardContextMenu());
    m_actions->addTo(menu.get());
    const qsizetype fromEnd = text().size() - offsetAt(event->pos());
    const std::optional<QByteArray> chunk = m_data.chunkShownAt(fromEnd);
    QAction *saveChunk = menu->addAction(QStringLiteral("Save Chunk as Pac&ket..."));
    saveChunk->setEnabled(chunk.has_value());
    if (menu->exec(event->globalPos()) == saveChunk)
        emit chunkPacketRequested(*chunk);
}

// Shift+F10 opens the menu as the Menu key does.
void ReceivedDataBox::keyPressEvent(QKeyEvent *event) {
    if (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier) {
        const QPoint at = caretRect().center();
        QContextMenuEvent menuEvent(QContextMenuEvent::Keyboard, at, viewport()->mapToGlobal(at));
        contextMenuEvent(&menuEvent);
        return;
    }
    LineView::keyPressEvent(event);
}

void ReceivedDataBox::scheduleRefresh(Urgency urgency) {
    const qint64 since = d->sinceRefresh.isValid() ? d->sinceRefresh.elapsed() : d->refreshGap;
    const int delay = urgency == Urgency::Soon
                          ? QuickestRefreshMs
                          : int(std::max<qint64>(QuickestRefreshMs, d->refreshGap - since));
    if (!d->refresh.isActive() || d->refresh.remainingTime() > delay)
        d->refresh.start(delay);
}

void ReceivedDataBox::refreshView() {
    QElapsedTimer cost;
    cost.start();
    const ReceivedData::ViewUpdate update = m_data.takeViewUpdate();
    // A screen reader hears one insertion a refresh: the marks of a character not yet whole go
    // with the text before them, and a text shown afresh needs no marks taken off first.
    const QString shown = update.waiting.isEmpty() ? update.text : update.text + update.waiting;
    if (update.afresh) {
        setText(shown);
    } else {
        chopText(d->waitingShown);
        appendText(shown);
    }
    d->waitingShown = update.waiting.size();
    d->sinceRefresh.start();
    d->refreshCost = cost.elapsed();
    d->paintCost = 0;
    paceRefreshes();
}

// While data keeps coming, the view (its refresh and the repaint after it) takes a small share
// of the time, however slow it is.
void ReceivedDataBox::paceRefreshes() {
    d->refreshGap = int(std::clamp<qint64>(RefreshCostShare * (d->refreshCost + d->paintCost),
                                           SteadyRefreshMs, SlowestRefreshMs));
}

void ReceivedDataBox::paintEvent(QPaintEvent *event) {
    QElapsedTimer cost;
    cost.start();
    LineView::paintEvent(event);
    d->paintCost = std::max(d->paintCost, cost.elapsed());
    paceRefreshes();
}
