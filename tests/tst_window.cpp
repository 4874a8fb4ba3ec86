#include "listener/listener.h"
#include "listener/receive_handler.h"
#include "program/status_texts.h"
#include "support/window_fixture.h"
#include "window/received_data_box.h"

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

constexpr int CompactHeight = 512, FullHeight = 835, ClientWidth = 652;

static QString caption(QObject *control) {
    return control->property(control->inherits("QPlainTextEdit") ? "plainText" : "text").toString();
}

class tst_Window : public QObject {
    Q_OBJECT

    std::unique_ptr<WindowFixture> m_fixture;
    Controls &c() { return m_fixture->controls(); }
    MainWindow &window() { return m_fixture->window(); }

    void checkLayout(bool full) {
        QCOMPARE(window().size(), QSize(ClientWidth, full ? FullHeight : CompactHeight));
        QCOMPARE(c().txtNetData->height(), full ? 228 : 368);
        const auto shown = window().findChildren<QWidget *>(
            QRegularExpression("^(Label[345]|txtSendData|btn(Clear)?SendData|chkEnableAutoRespond|"
                               "txt(Watch|Response)String.*)$"));
        QCOMPARE(shown.size(), 21);
        for (QWidget *control : shown)
            QVERIFY2(control->isHidden() == !full, qPrintable(control->objectName()));
        // The send address stays, below the compact window's edge.
        QVERIFY(!c().txtSendIP->isHidden() && (full || c().txtSendIP->y() >= CompactHeight));
    }

private slots:
    void init() { m_fixture = std::make_unique<WindowFixture>(); }
    void cleanup() { m_fixture.reset(); }

    // Exact captions, title and icon sizes; the two option groups stay apart (same parent).
    void start_captionsValuesAndCompactLayout() {
        // clang-format off
        const QList<std::pair<QObject *, QString>> captions{
            {c().btnConnect, "Start"}, {c().btnDisconnect, "Stop"}, {c().Command1, "Clear Data"},
            {c().optReceiveType[1],
             "HTTP Requests (Auto-Reply to GET/PUT with 404 msg. and reset connection)"},
            {c().chkLogData, "Log Received Data To Text File"}, {c().btnLogLocation, "..."},
            {c().lblSendIP, "Client Mode Send IP Address:"}, {c().btnSendData, "Send Data"},
            {c().txtSendIP, "192.168.1.100"}, {c().txtListenPort, "7000"},
            {c().chkEnableAutoRespond, "Enable AutoRespond"}, {c().lblSendState, "0"}};
        // clang-format on
        for (const auto &[control, text] : captions)
            QCOMPARE(caption(control), text);
        QCOMPARE(window().windowTitle(), QStringLiteral("KVX Sendrel"));
        for (int size : {16, 32, 48, 256})
            QVERIFY(window().windowIcon().availableSizes().contains(QSize(size, size)));
        const LastReceived &s = window().program().lastReceived();
        QVERIFY(!s.dataTime.isValid());
        QCOMPARE(QStringList({s.remoteIP, window().program().listener().lastError()}),
                 QStringList({"None", ""}));
        QVERIFY(AppendWindowMs == 1000 && s.tick == 0);
        QVERIFY(c().optTCP[0]->isChecked() && c().optReceiveType[0]->isChecked());
        QVERIFY(!c().chkLogData->checkState() && !c().chkEnableAutoRespond->checkState());
        for (QTimer *timer : {&window().program().tmrMain(), &window().program().tmrSendState()})
            QVERIFY(timer->isActive() && timer->interval() == 100);
        checkLayout(false);

        // A choice that cannot be changed while listening looks it.
        Control &text = *window().form().optReceiveType[0];
        text.setEnabled(false);
        const QPalette look = c().optReceiveType[0]->palette();
        QVERIFY(look.color(QPalette::Disabled, QPalette::WindowText)
                != look.color(QPalette::Active, QPalette::WindowText));
        text.setEnabled(true);

        c().optTCP[1]->click();
        QVERIFY(!c().optTCP[0]->isChecked() && c().optReceiveType[0]->isChecked());
        c().optReceiveType[1]->click();
        QVERIFY(!c().optReceiveType[0]->isChecked() && c().optTCP[1]->isChecked());
    }

    void tilde_data() {
        QTest::addColumn<QString>("target"); // empty: nothing focused
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("full");
        QTest::addColumn<QString>("text"); // how the target's text begins afterwards

        // A "~" before the number shows it reached the box: the port rule then reads 0.
        // clang-format off
        QTest::newRow("port box") << "txtListenPort" << "~" << true << "0";
        QTest::newRow("log folder") << "txtLogPath" << "~" << true << "~";
        QTest::newRow("button") << "Command1" << "~" << true << "";
        QTest::newRow("nothing focused") << "" << "~" << true << QString();
        QTest::newRow("after others") << "txtListenPort" << "`^ab~" << true << "0";
        QTest::newRow("no tilde") << "txtListenPort" << "`^ab" << false << "0";
        // The send text box exists only in the full layout, which a "~" never leaves.
        QTest::newRow("send text") << "txtSendData" << "a~b" << true << "a~b";
        // clang-format on
    }

    void tilde() {
        QFETCH(QString, target);
        QFETCH(QString, typed);
        QFETCH(bool, full);
        QFETCH(QString, text);

        if (target == "txtSendData")
            m_fixture->showFullLayout();
        QWidget *control = window().findChild<QWidget *>(target.isEmpty() ? "txtLogPath" : target);
        QVERIFY(m_fixture->showWithFocus(control));
        QTest::keyClick(control, Qt::Key_Home);
        if (target.isEmpty()) {
            control->clearFocus();
            control = &window();
        }
        QTest::keyClicks(control, typed);
        QVERIFY2(caption(control).startsWith(text), qPrintable(caption(control)));
        checkLayout(full);
    }

    // Ctrl+Return (main or keypad) clicks Send Data from the send box; Return breaks the line.
    void ctrlReturn_sends() {
        m_fixture->showFullLayout();
        QVERIFY(m_fixture->showWithFocus(c().txtSendData));
        Control &sendData = window().form().btnSendData;
        sendData.disconnect(&window().program()); // nothing is sent; only the clicks are counted
        QSignalSpy clicks(&sendData, &Control::clicked);
        sendData.setEnabled(false);
        QTest::keyClick(c().txtSendData, Qt::Key_Return, Qt::ControlModifier);
        QCOMPARE(clicks.size(), 0);
        sendData.setEnabled(true);
        QTest::keyClicks(c().txtSendData, QStringLiteral("a"));
        QTest::keyClick(c().txtSendData, Qt::Key_Return, Qt::ControlModifier);
        QTest::keyClick(c().txtSendData, Qt::Key_Enter, Qt::ControlModifier | Qt::KeypadModifier);
        QTRY_COMPARE(clicks.size(), 2);
        QTest::keyClick(c().txtSendData, Qt::Key_Return);
        QCOMPARE(c().txtSendData->toPlainText(), QStringLiteral("a\n"));
    }

    void settings_savedOnCloseAndPortRuleOnLoad() {
        c().txtListenPort->setText(QStringLiteral("8123"));
        m_fixture->reopen();
        QCOMPARE(c().txtListenPort->text(), QStringLiteral("8123"));

        QFile file(m_fixture->settingsFile());
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("[Settings]\nPort=8080x\n") > 0);
        file.close();
        m_fixture->reopen(false);
        QCOMPARE(c().txtListenPort->text(), QStringLiteral("8080"));
    }

    // Every control that takes the focus has a name; the blank option buttons say which is which.
    void accessibleNames_everyFocusableControl() {
        m_fixture->showFullLayout();
        const auto accessible = [](QWidget *widget, QAccessible::Text text) {
            return QAccessible::queryAccessibleInterface(widget)->text(text);
        };
        int focusable = 0;
        for (QWidget *widget : window().findChildren<QWidget *>()) {
            if (widget->focusPolicy() & Qt::TabFocus) {
                ++focusable;
                QVERIFY2(!accessible(widget, QAccessible::Name).isEmpty(),
                         qPrintable(widget->objectName()));
            }
        }
        QCOMPARE(focusable, 31);
        // clang-format off
        const QList<std::pair<QWidget *, QString>> names{
            {c().txtListenPort, "Port"}, {c().Frame4, "TCP/UDP"}, {c().optTCP[0], "TCP"},
            {c().optTCP[1], "UDP"},
            {c().txtLogPath, "Log Text File Save Location"}, {c().txtNetData, "Data Received"},
            {c().txtSendData, "Data To Send"}, {c().txtSendIP, "Client Mode Send IP Address"},
            {c().txtWatchString[0], "Watch String 1"},
            {c().txtResponseString[6], "Response String 7"}};
        const QList<std::pair<QWidget *, QString>> tips{
            {c().optTCP[0], "TCP"}, {c().optTCP[1], "UDP"},
            {c().btnLogLocation, "Choose the log folder"}};
        // clang-format on
        for (const auto &[widget, name] : names)
            QCOMPARE(accessible(widget, QAccessible::Name), name);
        for (const auto &[widget, tip] : tips)
            QCOMPARE(widget->toolTip(), tip);
        // The send address is named by its caption, as it changes.
        window().form().lblSendIP.setCaption(NoPeerSendCaption);
        QCOMPARE(accessible(c().txtSendIP, QAccessible::Name), NoPeerSendCaption);
        // The log folder box says why it is red.
        window().form().txtLogPath.setToolTip("not logged");
        QCOMPARE(accessible(c().txtLogPath, QAccessible::Description), "not logged");
    }

    // Tab and Shift+Tab go round every control once, in and out of the send box too (an option
    // group is one stop, at its chosen button; the arrow keys choose another); a tab pasted into
    // the send box stays.
    void tabOrder_visitsEveryControlOnce() {
        m_fixture->showFullLayout();
        QStringList order{"btnConnect", "txtListenPort",  "optTCP(0)",
                          "txtNetData", "Command1",       "chkLogData",
                          "txtLogPath", "btnLogLocation", "chkEnableAutoRespond"};
        for (int i = 0; i < PairCount; ++i)
            order << QStringLiteral("txtWatchString(%1)").arg(i)
                  << QStringLiteral("txtResponseString(%1)").arg(i);
        order << QStringList{"txtSendData", "btnSendData", "btnClearSendData", "optReceiveType(0)",
                             "txtSendIP"};
        QStringList backward = order;
        std::reverse(backward.begin() + 1, backward.end());
        QVERIFY(m_fixture->showWithFocus(c().btnConnect));
        for (const QStringList &expected : {order, backward}) {
            QStringList visited;
            do {
                visited << QApplication::focusWidget()->objectName();
                QTest::keyClick(QApplication::focusWidget(),
                                expected == order ? Qt::Key_Tab : Qt::Key_Backtab,
                                expected == order ? Qt::NoModifier : Qt::ShiftModifier);
            } while (visited.size() <= order.size()
                     && QApplication::focusWidget() != c().btnConnect);
            QCOMPARE(visited.join(u' '), expected.join(u' '));
        }
        QCOMPARE(c().txtSendData->toPlainText(), QString());
        c().optTCP[0]->setFocus();
        QTest::keyClick(c().optTCP[0], Qt::Key_Right);
        QVERIFY(c().optTCP[1]->hasFocus() && window().form().optTCP[1]->isOn());
        QApplication::clipboard()->setText("a\tb");
        c().txtSendData->paste();
        QCOMPARE(window().form().txtSendData.Text(), "a\tb");
    }
};

QTEST_MAIN(tst_Window)
#include "tst_window.moc"
