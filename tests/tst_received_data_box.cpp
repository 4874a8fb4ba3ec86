#include "app/received_data_box.h"

#include <QTest>

namespace {

constexpr qsizetype Kept = ReceivedDataBox::MinimumKept;

QString numbered(int from, int count) {
    QString text;
    for (int i = from; i < from + count; ++i)
        text += QString::number(i) + u';';
    return text;
}

} // namespace

class TstReceivedDataBox : public QObject {
    Q_OBJECT

private slots:
    void appendAndReplace_data();
    void appendAndReplace();
    void append_beyondBound_keepsNewestText();
    void append_hugeChunk_keepsItsTail();
    void setText_hugeText_keepsItsTail();
    void trim_neverSplitsSurrogatePair();
    void view_catchesUpWithText();
    void view_afterTrim_mirrorsText();
    void view_longLine_isShownInPieces();
};

void TstReceivedDataBox::appendAndReplace_data() {
    QTest::addColumn<QStringList>("steps"); // "=x" replaces with x, "+x" appends x
    QTest::addColumn<QString>("text");

    QTest::newRow("append to empty") << QStringList{"+abc"} << "abc";
    QTest::newRow("append joins without separator") << QStringList{"+ab", "+cd", "+e"} << "abcde";
    QTest::newRow("replace") << QStringList{"+old", "=new"} << "new";
    QTest::newRow("append after replace") << QStringList{"=a", "+b"} << "ab";
    QTest::newRow("clear") << QStringList{"+data", "="} << "";
    QTest::newRow("empty append") << QStringList{"+x", "+"} << "x";
    QTest::newRow("line ends kept") << QStringList{"+a\r\n", "+\rb\n"} << "a\r\n\rb\n";
    QTest::newRow("NUL characters kept")
        << QStringList{QStringLiteral("+a") + QChar(0) + u'b', QStringLiteral("+") + QChar(0)}
        << QStringLiteral("a") + QChar(0) + u'b' + QChar(0);
}

void TstReceivedDataBox::appendAndReplace() {
    QFETCH(QStringList, steps);
    QFETCH(QString, text);
    ReceivedDataBox box;
    for (const QString &step : steps) {
        if (step.startsWith(u'='))
            box.setText(step.mid(1));
        else
            box.appendText(step.mid(1));
    }
    QCOMPARE(box.text(), text);
}

void TstReceivedDataBox::append_beyondBound_keepsNewestText() {
    ReceivedDataBox box;
    QString all;
    for (int i = 0; all.size() < 5 * Kept; i += 1000) {
        const QString chunk = numbered(i, 1000);
        all += chunk;
        box.appendText(chunk);
        QVERIFY(box.text().size() <= 2 * Kept);
    }
    const QString kept = box.text();
    QVERIFY(kept.size() >= Kept);
    QVERIFY(all.endsWith(kept));
}

void TstReceivedDataBox::append_hugeChunk_keepsItsTail() {
    ReceivedDataBox box;
    box.appendText(QStringLiteral("before"));
    const QString chunk = numbered(0, int(Kept)); // several times the bound
    box.appendText(chunk);
    QVERIFY(box.text().size() >= Kept);
    QVERIFY(box.text().size() <= 2 * Kept);
    QVERIFY(chunk.endsWith(box.text()));

    box.appendText(QStringLiteral("after"));
    QVERIFY(box.text().endsWith(chunk.right(100) + QStringLiteral("after")));
}

void TstReceivedDataBox::setText_hugeText_keepsItsTail() {
    ReceivedDataBox box;
    const QString text = numbered(0, int(Kept / 2));
    box.setText(text);
    QVERIFY(box.text().size() >= Kept);
    QVERIFY(text.endsWith(box.text()));
}

void TstReceivedDataBox::trim_neverSplitsSurrogatePair() {
    const QString pair = QStringLiteral("\U0001F600");
    for (qsizetype shift : {0, 1}) {
        ReceivedDataBox box;
        box.appendText(QString(shift, u'x') + pair.repeated(Kept));
        QVERIFY(!box.text().front().isLowSurrogate());
        QVERIFY(box.text().endsWith(pair));
    }
}

void TstReceivedDataBox::view_catchesUpWithText() {
    ReceivedDataBox box;
    box.appendText(QStringLiteral("first\n"));
    box.appendText(QStringLiteral("second"));
    QTRY_COMPARE(box.toPlainText(), QStringLiteral("first\nsecond"));
    box.setText(QStringLiteral("fresh"));
    box.appendText(QStringLiteral(" start"));
    QTRY_COMPARE(box.toPlainText(), QStringLiteral("fresh start"));
    box.setText(QString());
    QTRY_COMPARE(box.toPlainText(), QString());
}

void TstReceivedDataBox::view_afterTrim_mirrorsText() {
    ReceivedDataBox box;
    for (int i = 0; i < 30; ++i) {
        box.appendText(numbered(i * 5000, 5000) + u'\n');
        if (i % 7 == 0)
            QTest::qWait(30); // let some refreshes land between the appends
    }
    // Long lines are shown broken into shorter ones, so only the characters must agree.
    auto withoutBreaks = [](QString text) { return text.remove(u'\n'); };
    QTRY_COMPARE(withoutBreaks(box.toPlainText()), withoutBreaks(box.text()));
    QVERIFY(box.document()->characterCount() <= 2 * Kept + box.document()->blockCount() + 1);
}

void TstReceivedDataBox::view_longLine_isShownInPieces() {
    ReceivedDataBox box;
    const QString line(Kept, u'x');
    box.setText(line);
    box.appendText(QStringLiteral("yyyy"));
    QTRY_VERIFY(box.toPlainText().endsWith(u'y'));
    QVERIFY(box.document()->blockCount() > 1);
    QCOMPARE(box.toPlainText().remove(u'\n'), box.text());
    QCOMPARE(box.text().size(), Kept + 4);
}

QTEST_MAIN(TstReceivedDataBox)
#include "tst_received_data_box.moc"
