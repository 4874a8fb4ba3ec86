// One way of a relay under named faults, without sockets: what each kind does to pieces, and a
// change of the faults while pieces wait.
#include "listener/relay_way.h"
#include "support/fault_lines.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>

namespace {

// A way whose deliveries are kept, each with the time it came, in ms since the start.
struct Way {
    QList<QByteArray> got;
    QList<qint64> at;
    QElapsedTimer clock;
    RelayWay way;
    explicit Way(bool datagrams)
        : way(
            datagrams,
            [this](const QByteArray &data) {
                got.append(data);
                at.append(clock.elapsed());
            },
            nullptr) {
        clock.start();
    }
    QByteArray joined() const {
        QByteArray all;
        for (const QByteArray &piece : got)
            all += piece;
        return all;
    }
};

int bitsApart(const QByteArray &a, const QByteArray &b) {
    int bits = 0;
    for (qsizetype i = 0; i < std::min(a.size(), b.size()); ++i)
        bits += qPopulationCount(quint8(a[i] ^ b[i]));
    return bits;
}

} // namespace

class TestFaultStages : public QObject {
    Q_OBJECT

private slots:
    // Shares over 10,000 datagrams within 3 points (over six standard deviations), and the
    // acts counted for each datagram the fault touched.
    void datagramShares_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<double>("delivered"); // per datagram sent
        QTest::newRow("loss") << "name=l type=loss percent=30" << 0.70;
        QTest::newRow("toxicity") << "name=l type=loss toxicity=0.5 percent=100" << 0.50;
        QTest::newRow("bursts") << "name=l type=loss p=5 r=50" << 1.0 - 5.0 / 55.0;
        QTest::newRow("duplicate") << "name=d type=duplicate percent=20" << 1.20;
        QTest::newRow("corrupt") << "name=c type=corrupt percent=100" << 1.0;
    }
    void datagramShares() {
        QFETCH(QString, line);
        QFETCH(double, delivered);
        constexpr int Sent = 10000;
        Way w(true);
        w.way.setFaults({}, {faultOf(line)});
        int droppedAtOnce = 0;
        int lossRuns = 0;
        bool lastLost = false;
        for (int i = 0; i < Sent; ++i) {
            const qsizetype before = w.got.size();
            if (!w.way.push(QByteArray::number(i).rightJustified(8, '0')))
                ++droppedAtOnce;
            const bool lost = w.got.size() == before;
            lossRuns += lost && !lastLost;
            lastLost = lost;
        }
        QVERIFY2(std::abs(double(w.got.size()) / Sent - delivered) < 0.03,
                 qPrintable(QString::number(w.got.size())));
        QMap<QString, qint64> acts;
        w.way.takeActs(acts);
        const qint64 touched = std::abs(w.got.size() - Sent);
        if (line.contains(u"corrupt")) {
            QCOMPARE(acts.value(u"c"_qs), Sent);
            for (int i = 0; i < Sent; ++i)
                QCOMPARE(bitsApart(w.got[i], QByteArray::number(i).rightJustified(8, '0')), 1);
        } else {
            QCOMPARE(acts.value(acts.firstKey()), touched);
        }
        if (line.contains(u"loss"))
            QCOMPARE(droppedAtOnce, Sent - w.got.size());
        if (line.contains(u"p=5")) // bursts of 1/r = 2 on average
            QVERIFY(double(touched) / lossRuns > 1.6 && double(touched) / lossRuns < 2.5);
    }

    // Slices of the average size give or take the variation, none but the last shorter, the
    // bytes whole and in order.
    void slicesAndOrder() {
        Way w(false);
        w.way.setFaults({}, {faultOf(u"name=s type=slicer average_size=100 size_variation=20 "
                                     "delay=0"_qs)});
        QByteArray sent;
        for (int i = 0; i < 40; ++i) {
            const QByteArray piece(250 + i, char('a' + i % 26));
            sent += piece;
            w.way.push(piece);
        }
        QTRY_COMPARE(w.joined(), sent);
        int shortOnes = 0;
        for (const QByteArray &slice : std::as_const(w.got)) {
            QVERIFY(slice.size() <= 120);
            shortOnes += slice.size() < 80;
        }
        QVERIFY(shortOnes <= 40); // at most one per piece, its last
    }

    // Each piece waits its latency give or take the jitter, never less than the smallest
    // latency; two latencies stacked add up. Each piece waits alone, so its own delay is seen.
    void latencyStacked_data() {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<int>("leastMs");
        QTest::newRow("jitter") << QStringList{u"name=a type=latency latency=60 jitter=40"_qs}
                                << 20;
        QTest::newRow("two") << QStringList{u"name=a type=latency latency=30"_qs,
                                            u"name=b type=latency latency=40"_qs}
                             << 70;
    }
    void latencyStacked() {
        QFETCH(QStringList, lines);
        QFETCH(int, leastMs);
        Way w(false);
        w.way.setFaults({}, faultsOf(lines));
        for (int i = 0; i < 20; ++i) {
            const qint64 sentAt = w.clock.elapsed();
            w.way.push(QByteArray(1, char('a' + i)));
            QTRY_COMPARE(w.got.size(), i + 1);
            // Half a millisecond early at most, and the clock counts whole ones.
            QVERIFY2(w.at[i] - sentAt >= leastMs - 1,
                     qPrintable(QString::number(w.at[i] - sentAt)));
        }
    }

    // A fault taken away, or changed, while bytes wait in it: they pass on to the faults after
    // it, nothing lost and in order; what stays keeps waiting.
    void changedWhileWaiting_data() {
        QTest::addColumn<QStringList>("before");
        QTest::addColumn<QStringList>("after");
        QTest::addColumn<bool>("allAtOnce");
        const QString hole = u"name=h type=timeout timeout=0"_qs;
        const QString slow = u"name=s type=latency latency=60000"_qs;
        const QString rate = u"name=r type=bandwidth rate=1"_qs;
        QTest::newRow("black hole taken away") << QStringList{hole} << QStringList{} << true;
        QTest::newRow("first of two away") << QStringList{slow, hole} << QStringList{hole} << false;
        QTest::newRow("last of two away") << QStringList{hole, rate} << QStringList{hole} << false;
        QTest::newRow("latency shortened")
            << QStringList{slow} << QStringList{u"name=s type=latency latency=10"_qs} << true;
        QTest::newRow("slicer taken away mid piece")
            << QStringList{u"name=s type=slicer average_size=100 size_variation=0 delay=20000"_qs}
            << QStringList{} << true;
        QTest::newRow("rate raised")
            << QStringList{rate, slow} << QStringList{u"name=r type=bandwidth rate=100000"_qs}
            << true;
    }
    void changedWhileWaiting() {
        QFETCH(QStringList, before);
        QFETCH(QStringList, after);
        QFETCH(bool, allAtOnce);
        Way w(false);
        w.way.setFaults({}, faultsOf(before));
        QByteArray sent;
        for (int i = 0; i < 20; ++i) {
            const QByteArray piece(1000, char('a' + i));
            sent += piece;
            w.way.push(piece);
        }
        QTest::qWait(50);
        const QByteArray early = w.joined();
        QVERIFY(w.way.held() > 0);
        w.way.setFaults({}, faultsOf(after));
        if (allAtOnce) {
            QTRY_COMPARE(w.joined(), sent);
            QCOMPARE(w.way.held(), 0);
        } else {
            QTest::qWait(100);
            QVERIFY(sent.startsWith(w.joined()));
            QCOMPARE(w.way.held() + w.joined().size(), sent.size() + 20 * RelayWay::PieceOverhead);
            w.way.setFaults({}, {});
            QTRY_COMPARE(w.joined(), sent);
        }
        QVERIFY(w.joined().startsWith(early));
    }

    // Slices are cut as they go: a piece waiting to be sliced byte by byte costs its bytes and
    // one piece's overhead, not one per slice.
    void slicesCostTheirBytes() {
        Way w(false);
        w.way.setFaults({}, {faultOf(u"name=s type=slicer average_size=1 size_variation=0 "
                                     "delay=1000000"_qs)});
        w.way.push(QByteArray(256 << 10, 'x'));
        QCOMPARE(w.joined(), QByteArray("x"));
        QCOMPARE(w.way.held(), (256 << 10) - 1 + RelayWay::PieceOverhead);
    }

    // A bandwidth in KB/s of 1000 bytes: 50,000 bytes at 100 KB/s take at least what is left
    // after the first twentieth of a second's burst.
    void bandwidthPaced() {
        Way w(false);
        w.way.setFaults({}, {faultOf(u"name=b type=bandwidth rate=100"_qs)});
        const QByteArray sent(50000, 'b');
        w.way.push(sent);
        QTRY_COMPARE(w.joined(), sent);
        QVERIFY2(w.at.last() >= 450, qPrintable(QString::number(w.at.last())));
    }

    // A limit lets exactly its bytes pass, the last piece cut to it, then ends the way by name.
    void limitEndsTheWay() {
        Way w(false);
        QSignalSpy ended(&w.way, &RelayWay::endedBy);
        w.way.setFaults({}, {faultOf(u"name=cap type=limit_data bytes=1000"_qs)});
        w.way.push(QByteArray(600, 'a'));
        w.way.push(QByteArray(600, 'b'));
        w.way.push(QByteArray(600, 'c'));
        QCOMPARE(w.joined(), QByteArray(600, 'a') + QByteArray(400, 'b'));
        QTRY_COMPARE(ended.size(), 1);
        QCOMPARE(ended.at(0).at(0).toString(), u"cap"_qs);
        QCOMPARE(ended.at(0).at(1).toString(), u"limit 1000 bytes"_qs);
    }

    // What the capture will say of a datagram: each fault that will touch it, by name.
    void judgedAhead() {
        Way w(true);
        w.way.setFaults({}, faultsOf({u"name=lat type=latency latency=5"_qs,
                                      u"name=gone type=loss percent=100"_qs}));
        WayPiece piece{QByteArray("x"), {}};
        QCOMPARE(w.way.judge(piece), u"lat: latency 5 ms; gone: dropped by loss"_qs);
        QVERIFY(w.way.push(std::move(piece)));
        QTest::qWait(30);
        QVERIFY(w.got.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestFaultStages)
#include "tst_fault_stages.moc"
