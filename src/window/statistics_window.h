#pragma once

#include <QDialog>
#include <QMap>
#include <QPointer>

#include <array>

class QFormLayout;
class QLabel;
class QPushButton;
class TrafficCounters;
struct TrafficSnapshot;

// "Statistics...": the traffic counters in a small window beside the main one, not modal,
// refreshed as the counters are sampled (once a second). "Reset" zeroes them. Each value is a
// selectable label named like its caption, so a screen reader reaches it with Tab and it can be
// copied. After the fixed rows, "Fault NAME:" tells how often each named fault of the relay
// acted, a row for each that did.
class StatisticsWindow final : public QDialog {
    Q_OBJECT

public:
    StatisticsWindow(TrafficCounters &counters, QWidget *parent);

    // Shows the window, or brings it to the front when it is open already.
    void start();

    // "1,234,567" and "1.2 MB/s", as the window shows counts and rates.
    static QString countText(qint64 count);
    static QString rateText(qint64 bytesPerSecond);

private:
    enum Row {
        ConnectedSince,
        ReceivedBytes,
        ReceivedChunks,
        SentReplies,
        SentSends,
        SentHttp,
        Rate,
        PeakRate,
        PairAnswers,
        RuleAnswers,
        LogWritten,
        LogFailed,
        Refused,
        LastRefused,
        DroppedAnswers,
        UnsentBytes,
        DroppedPeers,
        SystemDrops,
        RowCount
    };
    void refresh();
    void showFaultActs(const QMap<QString, qint64> &acts);

    QPointer<TrafficCounters> m_counters;
    QFormLayout *m_fields = nullptr;
    std::array<QLabel *, RowCount> m_values{};
    QMap<QString, QLabel *> m_faultActs; // by the fault's name, as the rows are ordered
    QPushButton *m_reset = nullptr;
    QPushButton *m_close = nullptr;
};
