// The received data's bounds, exactly at their edges.
#include "model/received_data.h"

#include <QTest>

namespace {

constexpr qsizetype Kept = ReceivedData::MinimumKept;
constexpr qsizetype Most = ReceivedData::MaximumKept;

// Text in which every tail is told apart from the others.
QString numbered(qsizetype size) {
    QString text;
    for (int i = 0; text.size() < size; ++i)
        text += QString::number(i) + u';';
    text.truncate(size);
    return text;
}

} // namespace

class tst_ReceivedData : public QObject {
    Q_OBJECT

private slots:
    // Notes, looked at after each: the shown text is cut back to its newest Kept characters
    // only once it grows past Most.
    void shownText_cutPastItsBound_data() {
        QTest::addColumn<QList<qsizetype>>("notes");
        QTest::addColumn<qsizetype>("shown");
        QTest::newRow("one note at the bound") << QList<qsizetype>{Most} << Most;
        QTest::newRow("one note past it") << QList<qsizetype>{Most + 1} << Kept;
        QTest::newRow("appended up to the bound") << QList<qsizetype>{Most - 1, 1} << Most;
        QTest::newRow("appended past it") << QList<qsizetype>{Most - 1, 2} << Kept;
    }
    void shownText_cutPastItsBound() {
        QFETCH(QList<qsizetype>, notes);
        QFETCH(qsizetype, shown);
        const QString all = numbered(Most + 1);
        ReceivedData data;
        qsizetype at = 0;
        for (qsizetype size : notes) {
            data.appendText(all.mid(at, size));
            at += size;
            QVERIFY(!data.text().isEmpty());
        }
        QCOMPARE(data.text(), all.left(at).right(shown));
    }

    // Entries go from the front while the rest still weigh three times what is shown, or
    // while there are more of them than characters shown.
    void entries_oldestDroppedAtTheBound_data() {
        QTest::addColumn<QList<qsizetype>>("chunks");
        QTest::addColumn<QList<qsizetype>>("kept");
        QTest::newRow("rest just short of the weight")
            << QList<qsizetype>{6, 6, 11} << QList<qsizetype>{6, 11};
        QTest::newRow("rest exactly at the weight")
            << QList<qsizetype>{6, 6, 12} << QList<qsizetype>{12};
        QTest::newRow("count at the bound")
            << QList<qsizetype>{1, 1, 1, 1} << QList<qsizetype>{1, 1, 1, 1};
        QTest::newRow("count past it")
            << QList<qsizetype>{1, 2, 1, 1, 1} << QList<qsizetype>{2, 1, 1, 1};
    }
    void entries_oldestDroppedAtTheBound() {
        QFETCH(QList<qsizetype>, chunks);
        QFETCH(QList<qsizetype>, kept);
        ReceivedEntries entries(4);
        QByteArray expected;
        for (int i = 0; i < chunks.size(); ++i) {
            const QByteArray bytes(chunks[i], char('a' + i));
            entries.addChunk({bytes, {}, {}, 0});
            if (i >= chunks.size() - kept.size())
                expected += bytes;
        }
        QCOMPARE(entries.receivedBytes(), expected);
        QCOMPARE(entries.end() - entries.begin(), qint64(kept.size()));
    }
};

QTEST_GUILESS_MAIN(tst_ReceivedData)
#include "tst_received_data.moc"
