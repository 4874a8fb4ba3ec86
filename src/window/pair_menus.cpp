#include "window/pair_menus.h"

#include "listener/pair_rules.h"
#include "model/form.h"

#include <QActionGroup>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QTimer>

#include <memory>

namespace {

constexpr std::array<MatchMode, 6> Modes{MatchMode::Exact, MatchMode::Contains, MatchMode::Starts,
                                         MatchMode::Ends,  MatchMode::Regex,    MatchMode::Hex};

// The tag's words: the mode's name and what else differs, short enough for the box's end.
QString tagText(const PairOptions &options) {
    if (options == PairOptions())
        return {};
    const QString mode = matchModeName(options.mode);
    QStringList parts{mode.isEmpty() ? QStringLiteral("exact") : mode};
    if (options.responseHex)
        parts << QStringLiteral("hex out");
    if (!options.lineEnd)
        parts << QStringLiteral("no CR LF");
    if (options.delayMs > 0)
        parts << QStringLiteral("%1 ms").arg(options.delayMs);
    return parts.join(u' ');
}

} // namespace

PairMenus::PairMenus(Form &form, Configuration &configuration, const Controls &controls,
                     QWidget *window)
    : QObject(window), m_form(form), m_configuration(configuration), m_window(window),
      m_watch(controls.txtWatchString), m_response(controls.txtResponseString) {
    for (int pair = 0; pair < PairCount; ++pair) {
        QLineEdit *watch = m_watch[pair];
        watch->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(watch, &QWidget::customContextMenuRequested, this,
                [this, pair](const QPoint &at) { showWatchMenu(pair, at); });
        m_response[pair]->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(m_response[pair], &QWidget::customContextMenuRequested, this,
                [this, pair](const QPoint &at) { showResponseMenu(pair, at); });

        auto *tag = new QLabel(watch);
        tag->setObjectName(QStringLiteral("pairTag%1").arg(pair));
        tag->setAttribute(Qt::WA_TransparentForMouseEvents);
        tag->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        QFont small = tag->font();
        small.setPointSizeF(small.pointSizeF() * 0.85);
        small.setItalic(true);
        tag->setFont(small);
        tag->setForegroundRole(QPalette::PlaceholderText);
        tag->hide();
        m_tags[pair] = tag;
        showTag(pair);
    }
    connect(&configuration, &Configuration::pairOptionsChanged, this, &PairMenus::showTag);
}

// Qt's own editing entries, then the pair's additions.
void PairMenus::showWatchMenu(int pair, const QPoint &at) {
    QLineEdit *box = m_watch[pair];
    const std::unique_ptr<QMenu> menu(box->createStandardContextMenu());
    menu->setObjectName(QStringLiteral("watchBoxMenu"));
    menu->addSeparator();
    QMenu *match = menu->addMenu(QStringLiteral("&Match"));
    auto *group = new QActionGroup(match);
    for (const MatchMode mode : Modes) {
        QAction *action = match->addAction(matchModeCaption(mode));
        action->setCheckable(true);
        action->setChecked(m_configuration.pairOptions(pair).mode == mode);
        group->addAction(action);
        connect(action, &QAction::triggered, this, [this, pair, mode] {
            PairOptions options = m_configuration.pairOptions(pair);
            options.mode = mode;
            m_configuration.setPairOptions(pair, options);
        });
    }
    menu->exec(box->mapToGlobal(at));
}

void PairMenus::showResponseMenu(int pair, const QPoint &at) {
    QLineEdit *box = m_response[pair];
    const std::unique_ptr<QMenu> menu(box->createStandardContextMenu());
    menu->setObjectName(QStringLiteral("responseBoxMenu"));
    menu->addSeparator();
    const PairOptions options = m_configuration.pairOptions(pair);
    const auto addSwitch = [&](const QString &caption, bool on, bool PairOptions::*field) {
        QAction *action = menu->addAction(caption);
        action->setCheckable(true);
        action->setChecked(on);
        connect(action, &QAction::toggled, this, [this, pair, field](bool checked) {
            PairOptions changed = m_configuration.pairOptions(pair);
            changed.*field = checked;
            m_configuration.setPairOptions(pair, changed);
        });
    };
    addSwitch(QStringLiteral("Response as &Hex"), options.responseHex, &PairOptions::responseHex);
    addSwitch(QStringLiteral("Add &Line End (CR LF)"), options.lineEnd, &PairOptions::lineEnd);
    QAction *delay = menu->addAction(options.delayMs > 0
                                         ? QStringLiteral("&Delay (%1 ms)...").arg(options.delayMs)
                                         : QStringLiteral("&Delay..."));
    // Asked once the menu is closed, so the dialog is not run inside the menu's own loop.
    connect(delay, &QAction::triggered, this,
            [this, pair] { QTimer::singleShot(0, this, [this, pair] { askDelay(pair); }); });
    menu->exec(box->mapToGlobal(at));
}

void PairMenus::askDelay(int pair) {
    const QString name = QStringLiteral("Delay of Response String %1").arg(pair + 1);
    // On the heap and guarded: closing the window while it is open deletes it.
    const QPointer<QInputDialog> dialog = new QInputDialog(m_window);
    dialog->setObjectName(QStringLiteral("delayDialog"));
    dialog->setWindowTitle(name);
    dialog->setAccessibleName(name);
    dialog->setLabelText(QStringLiteral("Wait before answering, in milliseconds (0 to %1):")
                             .arg(ResponseRule::MaxDelayMs));
    dialog->setInputMode(QInputDialog::IntInput);
    dialog->setIntRange(0, ResponseRule::MaxDelayMs);
    dialog->setIntStep(100);
    dialog->setIntValue(m_configuration.pairOptions(pair).delayMs);
    const bool accepted = dialog->exec() == QDialog::Accepted;
    if (!dialog)
        return;
    if (accepted) {
        PairOptions options = m_configuration.pairOptions(pair);
        options.delayMs = dialog->intValue();
        m_configuration.setPairOptions(pair, options);
    }
    dialog->deleteLater();
}

void PairMenus::showTag(int pair) {
    QLineEdit *box = m_watch[pair];
    QLabel *tag = m_tags[pair];
    const QString text = tagText(m_configuration.pairOptions(pair));
    tag->setText(text);
    tag->setVisible(!text.isEmpty());
    if (text.isEmpty()) {
        box->setTextMargins(0, 0, 0, 0);
        return;
    }
    const int width = tag->fontMetrics().horizontalAdvance(text) + 6;
    tag->setGeometry(box->width() - width - 3, 0, width, box->height());
    box->setTextMargins(0, 0, width, 0);
}
