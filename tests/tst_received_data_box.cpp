#include "form/received_data_box.h"

#include <QTest>
#include <QTextDocument>

constexpr qsizetype Kept = ReceivedDataBox::MinimumKept;

static QString numbered(int from, int count) {
    QString text;
    for (int i = from; i < from + count; ++i)
        text += QString::number(i) + u';';
    return text;
}

class TstReceivedDataBox : public QObject {
    Q_OBJECT

private slots:
    void appendAndReplace_keepEveryCharacter() {
        const QString nul(1, QChar(0));
        ReceivedDataBox box;
        box.appendText("ab");
        box.appendText(QString());
        box.appendText("c\r\n" + nul);
        QCOMPARE(box.text(), "abc\r\n" + nul);
        box.setText("new");
        box.appendText(nul + "x");
        QCOMPARE(box.text(), "new" + nul + "x");
    }

    void bound_keepsNewestText() {
        ReceivedDataBox box;
        QString all;
        for (int i = 0; all.size() < 5 * Kept; i += 1000) {
            all += numbered(i, 1000);
            box.appendText(numbered(i, 1000));
            QVERIFY(box.text().size() <= 2 * Kept);
        }
        QVERIFY(box.text().size() >= Kept && all.endsWith(box.text()));

        // A chunk several times the bound leaves its tail, less half a surrogate pair.
        const QString chunk = QStringLiteral("x\U0001F600").repeated(Kept);
        for (bool replace : {false, true}) {
            replace ? box.setText(chunk) : box.appendText(chunk);
            QVERIFY(box.text().size() >= Kept - 1 && chunk.endsWith(box.text())
                    && !box.text().front().isLowSurrogate());
        }
    }

    void receivedBytes_decodedAsUtf8_onlyTheVisibleTail() {
        ReceivedDataBox box;
        box.setText("old");
        box.appendUtf8("a\xc3");
        box.appendText("!"); // keeps its place after the bytes received before it
        box.appendUtf8("\xbc\xff");
        QCOMPARE(box.text(), QStringLiteral("olda\uFFFD!\uFFFD\uFFFD"));

        // A flood of bytes keeps its newest text and never starts inside a character.
        const QByteArray euro = "\xe2\x82\xac";
        for (const QByteArray &chunk : {euro.repeated(Kept), QByteArray(4 * Kept, 'z') + euro}) {
            box.setUtf8("x");
            box.appendUtf8(chunk);
            const QString shown = box.text();
            QVERIFY(shown.size() >= Kept && shown.size() <= 2 * Kept);
            QVERIFY(QString::fromUtf8(chunk).endsWith(shown));
        }
        for (int i = 0; i < 200; ++i)
            box.appendUtf8(QByteArray(Kept / 10, char('a' + i % 26)));
        QCOMPARE(box.text().right(Kept / 10), QString(Kept / 10, QChar(u'a' + 199 % 26)));
    }

    void splitCharacter_shownWhole_data() {
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<QByteArray>("second");
        QTest::addColumn<bool>("replace");
        QTest::addColumn<QString>("shown");
        QTest::newRow("2-byte") << QByteArray("caf\xc3") << QByteArray("\xa9 ok") << false
                                << QStringLiteral("caf\u00e9 ok");
        QTest::newRow("3-byte") << QByteArray("\xe2\x82") << QByteArray("\xac") << false
                                << QStringLiteral("\u20ac");
        QTest::newRow("4-byte") << QByteArray("\xf0") << QByteArray("\x9f\x98\x80!") << false
                                << QStringLiteral("\U0001F600!");
        QTest::newRow("then replaced") << QByteArray("caf\xc3") << QByteArray("\xa9 ok") << true
                                       << QStringLiteral("\uFFFD ok");
    }
    void splitCharacter_shownWhole() {
        QFETCH(QByteArray, first);
        QFETCH(QByteArray, second);
        QFETCH(bool, replace);
        QFETCH(QString, shown);
        ReceivedDataBox box;
        box.setUtf8(first);
        QVERIFY(!box.text().contains(QChar::ReplacementCharacter));
        replace ? box.setUtf8(second) : box.appendUtf8(second);
        QCOMPARE(box.text(), shown);
        QTRY_COMPARE(box.toPlainText(), shown);
    }

    // Long lines are shown in pieces, so only the characters must agree with the text.
    void view_catchesUpWithText() {
        ReceivedDataBox box;
        box.setText(QString(Kept, u'x'));
        box.appendText(QStringLiteral("\nyy"));
        QTRY_VERIFY(box.toPlainText().endsWith(u'y'));
        QVERIFY(box.document()->blockCount() > 2);
        QCOMPARE(box.toPlainText().remove(u'\n'), box.text().remove(u'\n'));
        for (int i = 0; i < 30; ++i) {
            box.appendText(numbered(i * 5000, 5000) + u'\n');
            QTest::qWait(i % 7 ? 0 : 30); // let some refreshes land between the appends
        }
        QTRY_COMPARE(box.toPlainText().remove(u'\n'), box.text().remove(u'\n'));
        box.setText(QString());
        QTRY_COMPARE(box.toPlainText(), QString());
        QCOMPARE(box.text(), QString());
        QCOMPARE(box.findChildren<QTextDocument *>().size(), 1); // replaced views are not kept
    }
};

QTEST_MAIN(TstReceivedDataBox)
#include "tst_received_data_box.moc"
