#include "window/statistics_window.h"

#include "model/traffic_counters.h"
#include "runtime/date_time_text.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

namespace {

// Captions in the order of the rows; a value's accessible name is its caption without the
// colon.
constexpr const char *Captions[] = {"Connected since:",
                                    "Bytes received:",
                                    "Chunks received:",
                                    "Bytes sent as replies:",
                                    "Bytes sent by Send Data:",
                                    "Bytes sent as HTTP 404:",
                                    "Receive rate:",
                                    "Peak receive rate:",
                                    "Answers by pair 1 to 7:",
                                    "Answers by further rules:",
                                    "Log entries written:",
                                    "Log entries failed:",
                                    "Refused while connected:",
                                    "Last refused:",
                                    "Delayed answers dropped:",
                                    "Bytes lost with their peer:",
                                    "Peers closed for not reading:",
                                    "Datagrams dropped by the system:"};

QLabel *valueLabel(const QString &caption, QWidget *parent) {
    auto *value = new QLabel(parent);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    value->setAccessibleName(caption.chopped(1));
    return value;
}

} // namespace

StatisticsWindow::StatisticsWindow(TrafficCounters &counters, QWidget *parent)
    : QDialog(parent), m_counters(&counters) {
    static_assert(std::size(Captions) == RowCount);
    setWindowTitle(QStringLiteral("Statistics"));
    setObjectName(QStringLiteral("statisticsWindow"));
    setAccessibleName(QStringLiteral("Statistics"));
    setModal(false);

    auto *fields = m_fields = new QFormLayout;
    QWidget *previous = nullptr;
    for (int row = 0; row < RowCount; ++row) {
        const QString caption = QString::fromLatin1(Captions[row]);
        QLabel *value = valueLabel(caption, this);
        fields->addRow(caption, value);
        m_values[std::size_t(row)] = value;
        if (previous)
            setTabOrder(previous, value);
        previous = value;
    }

    auto *buttons = new QDialogButtonBox(this);
    m_reset = buttons->addButton(QStringLiteral("&Reset"), QDialogButtonBox::ResetRole);
    m_reset->setAccessibleName(QStringLiteral("Reset the counters"));
    m_close = buttons->addButton(QStringLiteral("&Close"), QDialogButtonBox::RejectRole);
    m_close->setAccessibleName(QStringLiteral("Close"));
    // Enter in a value must not reset the counters.
    m_reset->setAutoDefault(false);
    m_close->setAutoDefault(false);
    setTabOrder(previous, m_reset);
    setTabOrder(m_reset, m_close);
    connect(m_reset, &QPushButton::clicked, this, [this] {
        if (m_counters)
            m_counters->reset();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(&counters, &TrafficCounters::sampled, this, [this] {
        if (isVisible())
            refresh();
    });

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(fields);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    refresh();
}

void StatisticsWindow::start() {
    refresh();
    show();
    raise();
    activateWindow();
}

QString StatisticsWindow::countText(qint64 count) {
    QLocale locale;
    locale.setNumberOptions(locale.numberOptions() & ~QLocale::OmitGroupSeparator);
    return locale.toString(count);
}

QString StatisticsWindow::rateText(qint64 bytesPerSecond) {
    return QLocale().formattedDataSize(bytesPerSecond, 1, QLocale::DataSizeSIFormat)
           + QStringLiteral("/s");
}

void StatisticsWindow::refresh() {
    if (!m_counters)
        return;
    const TrafficSnapshot s = m_counters->snapshot();
    const auto show = [this](Row row, const QString &text) {
        m_values[std::size_t(row)]->setText(text);
    };
    show(ConnectedSince, s.connectedSince.isValid() ? dateTimeText(s.connectedSince)
                                                    : QStringLiteral("Not connected"));
    show(ReceivedBytes, countText(s.receivedBytes));
    show(ReceivedChunks, countText(s.receivedChunks));
    show(SentReplies, countText(s.sentReplyBytes));
    show(SentSends, countText(s.sentSendBytes));
    show(SentHttp, countText(s.sentHttpBytes));
    show(Rate, rateText(s.rate));
    show(PeakRate, rateText(s.peakRate));
    QStringList answers;
    for (const qint64 count : s.pairAnswers)
        answers.append(countText(count));
    show(PairAnswers, answers.join(QStringLiteral(" / ")));
    show(RuleAnswers, countText(s.ruleAnswers));
    show(LogWritten, countText(s.logWritten));
    show(LogFailed, countText(s.logFailed));
    show(Refused, countText(s.refused));
    show(LastRefused, s.lastRefused.isEmpty() ? QStringLiteral("None") : s.lastRefused);
    show(DroppedAnswers, countText(s.droppedAnswers));
    show(UnsentBytes, countText(s.unsentBytes));
    show(DroppedPeers, countText(s.droppedPeers));
    show(SystemDrops,
         s.udpListening ? countText(s.udpDroppedBySystem) : QStringLiteral("No UDP listener"));
    showFaultActs(s.faultActs);
}

void StatisticsWindow::showFaultActs(const QMap<QString, qint64> &acts) {
    bool added = false;
    for (auto row = m_faultActs.begin(); row != m_faultActs.end();) {
        if (acts.value(row.key()) > 0) {
            ++row;
            continue;
        }
        m_fields->removeRow(row.value()); // a reset, or a fault gone
        row = m_faultActs.erase(row);
    }
    for (auto act = acts.cbegin(); act != acts.cend(); ++act) {
        if (act.value() <= 0)
            continue;
        QLabel *&value = m_faultActs[act.key()];
        if (!value) {
            const QString caption = QStringLiteral("Fault %1:").arg(act.key());
            value = valueLabel(caption, this);
            const auto at = m_faultActs.find(act.key());
            m_fields->insertRow(int(RowCount + std::distance(m_faultActs.begin(), at)), caption,
                                value);
            added = true;
        }
        value->setText(countText(act.value()));
    }
    if (!added)
        return;
    QWidget *previous = m_values.back();
    for (QLabel *value : std::as_const(m_faultActs)) {
        setTabOrder(previous, value);
        previous = value;
    }
    setTabOrder(previous, m_reset);
}
