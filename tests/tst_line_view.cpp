#include "window/line_view.h"

#include <QAccessible>
#include <QApplication>
#include <QTest>

namespace {

// A view large enough for its text, in a font whose characters are a good many pixels wide, so a
// click lands where the test means it to.
struct ShownView {
    LineView view;
    explicit ShownView(const QString &text) {
        QFont font = view.font();
        font.setPixelSize(40);
        view.setFont(font);
        view.resize(900, 400);
        view.setText(text);
    }
    QAccessibleTextInterface *read() {
        QAccessibleInterface *shown = QAccessible::queryAccessibleInterface(&view);
        return shown ? shown->textInterface() : nullptr;
    }
};

using Keys = QList<QKeyCombination>;

} // namespace

class tst_LineView : public QObject {
    Q_OBJECT

private slots:
    void click_caretAtTheNearerSide_data() {
        QTest::addColumn<qsizetype>("character");
        QTest::addColumn<qreal>("across"); // share of the character's width
        QTest::addColumn<int>("rowsDown");
        QTest::addColumn<qsizetype>("caret");
        QTest::newRow("a quarter in: before it") << qsizetype(2) << 0.25 << 0 << qsizetype(2);
        QTest::newRow("three quarters in: after it") << qsizetype(2) << 0.75 << 0 << qsizetype(3);
        QTest::newRow("last character, three quarters in")
            << qsizetype(4) << 0.75 << 0 << qsizetype(5);
        QTest::newRow("below the shorter line: its end")
            << qsizetype(4) << 0.25 << 1 << qsizetype(8);
        QTest::newRow("below the last line: the last line")
            << qsizetype(0) << 0.75 << 3 << qsizetype(7);
    }
    // A click puts the caret on whichever side of the character under it is nearer.
    void click_caretAtTheNearerSide() {
        QFETCH(qsizetype, character);
        QFETCH(qreal, across);
        QFETCH(int, rowsDown);
        QFETCH(qsizetype, caret);
        ShownView shown(QStringLiteral("wwwww\nww"));
        const QRect at = shown.view.characterRect(character);
        QVERIFY(at.width() >= 8);
        const QPoint point(at.left() + int(at.width() * across),
                           at.center().y() + rowsDown * at.height());
        QTest::mouseClick(shown.view.viewport(), Qt::LeftButton, {}, point);
        QCOMPARE(shown.view.caret(), caret);
        QCOMPARE(shown.view.selectedText(), QString());
    }

    void keys_moveByWord_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<qsizetype>("from");
        QTest::addColumn<Keys>("keys");
        QTest::addColumn<qsizetype>("caret");
        QTest::addColumn<QString>("selected");
        const QKeyCombination left(Qt::ControlModifier, Qt::Key_Left);
        const QKeyCombination right(Qt::ControlModifier, Qt::Key_Right);
        const QKeyCombination shiftLeft(Qt::ControlModifier | Qt::ShiftModifier, Qt::Key_Left);
        const QString ab = QStringLiteral("alpha beta");
        QTest::newRow("back from the end")
            << ab << qsizetype(10) << Keys{left} << qsizetype(6) << "";
        QTest::newRow("back twice")
            << ab << qsizetype(10) << Keys{left, left} << qsizetype(0) << "";
        QTest::newRow("on from the start")
            << ab << qsizetype(0) << Keys{right} << qsizetype(6) << "";
        QTest::newRow("on from inside a word")
            << ab << qsizetype(7) << Keys{right} << qsizetype(10) << "";
        QTest::newRow("back selecting")
            << ab << qsizetype(10) << Keys{shiftLeft} << qsizetype(6) << "beta";
        QTest::newRow("digits and _ are of the word, signs are not")
            << QStringLiteral("x_1 + y2") << qsizetype(0) << Keys{right} << qsizetype(6) << "";
        QTest::newRow("back across a line break")
            << QStringLiteral("one\r\ntwo") << qsizetype(5) << Keys{left} << qsizetype(0) << "";
    }
    void keys_moveByWord() {
        QFETCH(QString, text);
        QFETCH(qsizetype, from);
        QFETCH(Keys, keys);
        QFETCH(qsizetype, caret);
        QFETCH(QString, selected);
        ShownView shown(text);
        shown.view.select(from, from);
        for (const QKeyCombination key : keys)
            QTest::keyClick(&shown.view, key.key(), key.keyboardModifiers());
        QCOMPARE(shown.view.caret(), caret);
        QCOMPARE(shown.view.selectedText(), selected);
    }

    // A double click selects the word under it; between words, nothing.
    void doubleClick_selectsTheWord() {
        ShownView shown(QStringLiteral("one two_2, three"));
        const QRect inTwo = shown.view.characterRect(5);
        QTest::mouseDClick(shown.view.viewport(), Qt::LeftButton, {}, inTwo.center());
        QCOMPARE(shown.view.selectedText(), QStringLiteral("two_2"));
    }

    void reader_linesAndWords_data() {
        QTest::addColumn<int>("offset");
        QTest::addColumn<int>("boundary"); // QAccessible::TextBoundaryType
        QTest::addColumn<int>("which");    // -1 before, 0 at, 1 after the offset
        QTest::addColumn<QString>("read");
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("end");
        const int line = QAccessible::LineBoundary, word = QAccessible::WordBoundary;
        // "first line\r\n" 0-12, "second word\n" 12-24, "last" 24-28
        QTest::newRow("line at, with its CR LF") << 3 << line << 0 << "first line\r\n" << 0 << 12;
        QTest::newRow("line at, inside its CR LF") << 11 << line << 0 << "first line\r\n"
                                                   << 0 << 12;
        QTest::newRow("line at, the last") << 26 << line << 0 << "last" << 24 << 28;
        QTest::newRow("line at, the very end") << 28 << line << 0 << "last" << 24 << 28;
        QTest::newRow("line before") << 15 << line << -1 << "first line\r\n" << 0 << 12;
        QTest::newRow("line before the first") << 3 << line << -1 << "" << -1 << -1;
        QTest::newRow("line after") << 3 << line << 1 << "second word\n" << 12 << 24;
        QTest::newRow("line after the last") << 26 << line << 1 << "" << -1 << -1;
        QTest::newRow("word at") << 14 << word << 0 << "second" << 12 << 18;
        QTest::newRow("word at, the last") << 25 << word << 0 << "last" << 24 << 28;
    }
    // A screen reader meets the lines as they arrived, each with its own line break.
    void reader_linesAndWords() {
        QFETCH(int, offset);
        QFETCH(int, boundary);
        QFETCH(int, which);
        QFETCH(QString, read);
        QFETCH(int, start);
        QFETCH(int, end);
        ShownView shown(QStringLiteral("first line\r\nsecond word\nlast"));
        QAccessibleTextInterface *reader = shown.read();
        QVERIFY(reader);
        const auto type = QAccessible::TextBoundaryType(boundary);
        int from = -2, to = -2;
        const QString got = which < 0   ? reader->textBeforeOffset(offset, type, &from, &to)
                            : which > 0 ? reader->textAfterOffset(offset, type, &from, &to)
                                        : reader->textAtOffset(offset, type, &from, &to);
        QCOMPARE(got, read);
        QCOMPARE(std::pair(from, to), std::pair(start, end));
    }

    // What it is, the text, the caret and the selection, both ways.
    void reader_caretAndSelection() {
        const QString text = QStringLiteral("ab\r\ncd\ref");
        ShownView shown(text);
        QAccessibleInterface *shownTo = QAccessible::queryAccessibleInterface(&shown.view);
        QVERIFY(shownTo);
        QCOMPARE(shownTo->role(), QAccessible::EditableText);
        const QAccessible::State state = shownTo->state();
        QVERIFY(state.readOnly && state.multiLine && state.selectableText);
        QCOMPARE(shownTo->text(QAccessible::Value), text);
        QAccessibleTextInterface *reader = shown.read();
        QCOMPARE(reader->characterCount(), text.size());
        QCOMPARE(reader->text(2, 6), QStringLiteral("\r\ncd"));
        QCOMPARE(reader->selectionCount(), 0);

        shown.view.select(7, 4);
        int start = -1, end = -1;
        reader->selection(0, &start, &end);
        QCOMPARE(std::tuple(reader->selectionCount(), start, end, reader->cursorPosition()),
                 std::tuple(1, 4, 7, 4));
        reader->selection(1, &start, &end);
        QCOMPARE(std::pair(start, end), std::pair(0, 0));

        reader->setSelection(0, 1, 5);
        QCOMPARE(shown.view.selectedText(), QStringLiteral("b\r\nc"));
        reader->removeSelection(0);
        QCOMPARE(std::pair(shown.view.selectedText(), shown.view.caret()),
                 std::pair(QString(), qsizetype(5)));
        reader->addSelection(8, 9);
        QCOMPARE(shown.view.selectedText(), QStringLiteral("f"));
        reader->setCursorPosition(2);
        QCOMPARE(std::tuple(shown.view.caret(), reader->selectionCount(), reader->cursorPosition()),
                 std::tuple(qsizetype(2), 0, 2));
        reader->attributes(3, &start, &end);
        QCOMPARE(std::pair(start, end), std::pair(0, int(text.size())));
    }

    // A character's box is on screen where the view shows it, and its middle leads back to it;
    // a point outside the view is no character.
    void reader_characterPlaces() {
        ShownView shown(QStringLiteral("wide\nrows"));
        shown.view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&shown.view));
        QAccessibleTextInterface *reader = shown.read();
        QWidget *viewport = shown.view.viewport();
        for (int offset : {0, 2, 6}) {
            const QRect inView = shown.view.characterRect(offset);
            const QRect onScreen = reader->characterRect(offset);
            QCOMPARE(onScreen, QRect(viewport->mapToGlobal(inView.topLeft()), inView.size()));
            QCOMPARE(reader->offsetAtPoint(onScreen.topLeft() + QPoint(2, onScreen.height() / 2)),
                     offset);
        }
        QCOMPARE(reader->offsetAtPoint(viewport->mapToGlobal(QPoint(-5, 5))), -1);
        // What it asks to see is scrolled into the view.
        shown.view.setText(QString(40, u'w') + QStringLiteral("\nrow").repeated(60));
        shown.view.resize(300, 200);
        reader->scrollToSubstring(220, 223);
        QVERIFY(viewport->rect().contains(shown.view.characterRect(220)));
        QCOMPARE(reader->offsetAtPoint(viewport->mapToGlobal(QPoint(5, viewport->height() + 5))),
                 -1);
    }
};

QTEST_MAIN(tst_LineView)
#include "tst_line_view.moc"
