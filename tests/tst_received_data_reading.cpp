#include "support/shown_data.h"
#include "window/shown_lines.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>

// Reading what arrived on screen: finding, moving, selecting and copying.
class TstReceivedDataReading : public QObject {
    Q_OBJECT

private slots:
    // Case is ignored; a text that is not there leaves the last match selected.
    void find_nextPreviousAndNotFound() {
        ShownData box;
        box.setText("alpha beta\nALPHA gamma alpha");
        QTRY_COMPARE(box.shown(), box.text());
        menuEntry(box.view, "&Find...")->trigger();
        auto *dialog = box.view.findChild<QDialog *>();
        QVERIFY(dialog && dialog->isVisible());
        const auto click = [dialog](const QString &text) {
            for (QPushButton *button : dialog->findChildren<QPushButton *>())
                if (button->text() == text)
                    button->click();
        };
        const auto selected = [&box] {
            return std::pair(box.view.selectionStart(), box.view.selectedText());
        };
        dialog->findChild<QLineEdit *>()->setText("alpha");
        click("Find &Next");
        QCOMPARE(selected(), std::pair(qsizetype(0), QStringLiteral("alpha")));
        click("Find &Next");
        click("Find &Next");
        QCOMPARE(selected(), std::pair(qsizetype(23), QStringLiteral("alpha")));
        click("Find &Previous");
        QCOMPARE(selected(), std::pair(qsizetype(11), QStringLiteral("ALPHA")));
        dialog->findChild<QLineEdit *>()->setText("delta");
        click("Find &Next");
        QCOMPARE(selected(), std::pair(qsizetype(11), QStringLiteral("ALPHA")));
        const QList<QLabel *> labels = dialog->findChildren<QLabel *>();
        QVERIFY(std::any_of(labels.begin(), labels.end(),
                            [](const QLabel *label) { return label->text() == "Not found"; }));
    }

    void view_catchesUpWithText() {
        ShownData box;
        box.setText(QString(Kept, u'x'));
        QTRY_COMPARE(box.shown(), box.text());
        box.appendText(QStringLiteral("\r\nyy"));
        QTRY_COMPARE(box.rows(), QString(Kept, u'x') + "\nyy");
        for (int i = 0; i < 30; ++i) {
            box.appendText(numbered(i * 5000, 5000) + u'\n');
            QTest::qWait(i % 7 ? 0 : 30); // let some refreshes land between the appends
        }
        QTRY_COMPARE(box.shown(), box.text());
        box.setText(QString());
        QTRY_COMPARE(box.shown(), QString());
        QCOMPARE(box.text(), QString());
    }

    // A line, of a few thousand characters or of hundreds of thousands, is one row while it
    // grows across refreshes and once it ends, and a screen reader reads it as one line.
    void longLine_oneRowAndReadWhole_data() {
        QTest::addColumn<qsizetype>("length");
        QTest::newRow("5,003 characters") << qsizetype(5003);
        QTest::newRow("300,000 characters") << qsizetype(300000);
    }
    void longLine_oneRowAndReadWhole() {
        QFETCH(qsizetype, length);
        ShownData box;
        box.view.resize(400, 200);
        const QString line = numbered(0, int(length / 4)).left(length);
        box.setText(line.chopped(2003));
        QTRY_COMPARE(box.shown().size(), length - 2003);
        box.appendText(line.last(2003));
        QTRY_COMPARE(box.shown(), line);
        QAccessibleTextInterface *read =
            QAccessible::queryAccessibleInterface(&box.view)->textInterface();
        QVERIFY(read);
        for (const QString &next : {QString(), QStringLiteral("\nnext")}) {
            box.appendText(next);
            QTRY_VERIFY(box.shown().endsWith(next));
            QCOMPARE(box.rows(), line + next);
            QCOMPARE(box.view.characterRect(length - 1).top(), box.view.characterRect(0).top());
            QVERIFY(box.view.horizontalScrollBar()->maximum() > 0);
            int start = -1, end = -1;
            QCOMPARE(read->textAtOffset(int(length / 2), QAccessible::LineBoundary, &start, &end),
                     box.text().left(length + (next.isEmpty() ? 0 : 1)));
            QCOMPARE(std::pair(start, end), std::pair(0, int(length) + (next.isEmpty() ? 0 : 1)));
            QCOMPARE(read->text(0, read->characterCount()), box.text());
        }
    }

    // The keys move and select across the line breaks that arrived, a CR LF as one.
    void keys_moveAndSelect_data() {
        QTest::addColumn<QList<QKeyCombination>>("keys");
        QTest::addColumn<QString>("selected");
        const auto shift = [](Qt::Key key) { return QKeyCombination(Qt::ShiftModifier, key); };
        const QKeyCombination home(Qt::ControlModifier, Qt::Key_Home);
        // clang-format off
        QTest::newRow("end of text, line start")
            << QList{QKeyCombination(Qt::ControlModifier, Qt::Key_End), shift(Qt::Key_Home)}
            << "ef";
        QTest::newRow("down from the start") << QList{home, shift(Qt::Key_Down)} << "ab\r\n";
        QTest::newRow("right past CR LF")
            << QList{home, QKeyCombination(Qt::Key_End), QKeyCombination(Qt::Key_Right),
                     shift(Qt::Key_Right)} << "c";
        QTest::newRow("left from a line start")
            << QList{home, QKeyCombination(Qt::Key_Down), shift(Qt::Key_Left)} << "\r\n";
        QTest::newRow("whole text")
            << QList{home, QKeyCombination(Qt::ShiftModifier | Qt::ControlModifier, Qt::Key_End)}
            << "ab\r\ncd\ref";
        // clang-format on
    }
    void keys_moveAndSelect() {
        QFETCH(QList<QKeyCombination>, keys);
        QFETCH(QString, selected);
        ShownData box;
        box.setText("ab\r\ncd\ref");
        QTRY_COMPARE(box.shown(), box.text());
        for (const QKeyCombination key : keys)
            QTest::keyClick(&box.view, key.key(), key.keyboardModifiers());
        QCOMPARE(box.view.selectedText(), selected);
        QTest::keyClick(&box.view, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), selected);
    }

    // A click and a Shift+click select between the places under them, in a box scrolled
    // sideways; below the end of a shorter line is its end.
    void mouse_clickAndShiftClickSelect() {
        ShownData box;
        box.view.resize(200, 100);
        box.setText(QString(300, u'w') + "\nsecond line");
        QTRY_COMPARE(box.shown(), box.text());
        box.view.scrollTo(295);
        const QRect at = box.view.characterRect(295);
        QTest::mouseClick(box.view.viewport(), Qt::LeftButton, {}, at.topLeft() + QPoint(1, 2));
        QTest::mouseClick(box.view.viewport(), Qt::LeftButton, Qt::ShiftModifier,
                          at.center() + QPoint(0, at.height()));
        QCOMPARE(box.view.selectedText(), QString(5, u'w') + "\nsecond line");
        // A click in the selection that drags nothing puts the caret there.
        box.view.scrollTo(297);
        QTest::mouseClick(box.view.viewport(), Qt::LeftButton, {},
                          box.view.characterRect(297).topLeft() + QPoint(1, 2));
        QCOMPARE(std::pair(box.view.caret(), box.view.selectedText()),
                 std::pair(qsizetype(297), QString()));
    }

    // Each place of a line leads back to its character, beyond the places kept, as in a view
    // built at once, also after the last characters were taken away.
    void places_leadBackToTheirCharacters_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qsizetype>("chopped");
        QTest::newRow("past two kept places")
            << QString(3 * ShownLines::Stride, u'w') << qsizetype(1);
        QTest::newRow("tabs and pairs")
            << QStringLiteral("a\tb\U0001F600c").repeated(60) << qsizetype(3);
        QTest::newRow("CR | LF, LF taken") << QStringLiteral("ab\r\ncd") << qsizetype(3);
        QTest::newRow("short lines") << numbered(0, 200).replace(u';', u'\n') << qsizetype(5);
    }
    void places_leadBackToTheirCharacters() {
        QFETCH(QString, text);
        QFETCH(qsizetype, chopped);
        ShownLines grown, atOnce;
        grown.append(QStringView(text).first(text.size() / 2));
        grown.append(QStringView(text).sliced(text.size() / 2));
        grown.chop(chopped);
        atOnce.append(text.chopped(chopped));
        QCOMPARE(grown.lineCount(), atOnce.lineCount());
        for (qsizetype line = 0; line < atOnce.lineCount(); ++line) {
            QCOMPARE(grown.lineStart(line), atOnce.lineStart(line));
            QCOMPARE(grown.lineWidth(line), atOnce.lineWidth(line));
            for (qsizetype at = atOnce.lineStart(line); at <= atOnce.lineEnd(line); ++at) {
                if (!text.at(at).isLowSurrogate())
                    QCOMPARE(grown.offsetAt(line, atOnce.xOf(at)), at);
            }
        }
    }

    // Copy and Find see the text as it arrived, in a line still growing.
    void copyAndFind_seeTheTextAsItArrived() {
        ShownData box;
        const QString line = QString(20000, u'x') + "Needle" + QString(2000, u'y');
        box.setText("next\r\n" + line);
        QTRY_COMPARE(box.shown(), box.text());
        box.view.selectAll();
        box.view.copy();
        QCOMPARE(QApplication::clipboard()->text(), box.text());
        menuEntry(box.view, "&Find...")->trigger();

        auto *wanted = box.view.findChild<QLineEdit *>();
        QVERIFY(wanted);
        // clang-format off
        const QList<std::tuple<QString, QString, QString>> finds{
            {"needle", "Find Next", "Needle"},
            {"t\r\nx", "Find Previous", "t\r\nx"},
            {"t\nx", "Find Next", "t\r\nx"}, // no match: the selection stays
            {"NEEDLE", "Find Next", "Needle"}};
        // clang-format on
        for (const auto &[text, entry, selection] : finds) {
            wanted->setText(text);
            menuEntry(box.view, entry)->trigger();
            box.view.copy();
            QCOMPARE(QApplication::clipboard()->text(), selection);
        }
    }
};

QTEST_MAIN(TstReceivedDataReading)
#include "tst_received_data_reading.moc"
