#include "app/received_data_box.h"
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "support/window_fixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {

constexpr int CompactHeight = 512;
constexpr int FullHeight = 835;
constexpr int ClientWidth = 652;

bool isFull(MainWindow &window) {
    return window.height() == FullHeight && !window.controls().txtSendData->isHidden();
}

QList<QWidget *> sendAndRespond(const Controls &c) {
    QList<QWidget *> list;
    list << c.Label5 << c.txtSendData << c.btnClearSendData << c.btnSendData
         << c.chkEnableAutoRespond << c.Label3 << c.Label4;
    for (size_t i = 0; i < c.txtWatchString.size(); ++i)
        list << c.txtWatchString[i] << c.txtResponseString[i];
    return list;
}

QString caption(QObject *control) {
    if (auto *label = qobject_cast<QLabel *>(control))
        return label->text();
    if (auto *button = qobject_cast<QAbstractButton *>(control))
        return button->text();
    if (auto *edit = qobject_cast<QLineEdit *>(control))
        return edit->text();
    if (auto *box = qobject_cast<ReceivedDataBox *>(control))
        return box->text();
    if (auto *edit = qobject_cast<QPlainTextEdit *>(control))
        return edit->toPlainText();
    return QString();
}

} // namespace

class TstWindow : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<WindowFixture> m_fixture;
    Controls &c() { return m_fixture->controls(); }
    MainWindow &window() { return m_fixture->window(); }

private slots:
    void init() { m_fixture = std::make_unique<WindowFixture>(); }
    void cleanup() { m_fixture.reset(); }

    void controls_allPresentByName();
    void control_designValues_data();
    void control_designValues();
    void window_caption_flags_icon();
    void windowIcon_hasEverySize();
    void tabOrder_followsTabPositions();
    void optionGroups_areIndependent();
    void checkBox_click_neverTurnsGrey();
    void start_compactLayout();
    void start_programValues();
    void timersAndSockets_readyAtStart();
    void tilde_data();
    void tilde();
    void tildeInSendData_fullLayout_staysInText();
    void tilde_nothingFocused_switchesToFull();
    void savedPort_goesThroughPortRule();
    void close_writesSettings();
};

void TstWindow::controls_allPresentByName() {
    QStringList names{"lblListenPort",
                      "txtListenPort",
                      "lblListenTCP",
                      "Frame4",
                      "optTCP(0)",
                      "optTCP(1)",
                      "btnConnect",
                      "btnDisconnect",
                      "lblStatus(0)",
                      "Command1",
                      "Label6",
                      "optReceiveType(0)",
                      "optReceiveType(1)",
                      "chkLogData",
                      "Label2",
                      "txtLogPath",
                      "btnLogLocation",
                      "Label1",
                      "lblStatus(1)",
                      "txtNetData",
                      "lblStatus(2)",
                      "Label5",
                      "txtSendData",
                      "lblSendIP",
                      "txtSendIP",
                      "lblSendState",
                      "btnClearSendData",
                      "btnSendData",
                      "chkEnableAutoRespond",
                      "Label3",
                      "Label4",
                      "tmrMain",
                      "tmrSendState",
                      "listenSock",
                      "sendSock"};
    for (int i = 0; i < 7; ++i) {
        names << QStringLiteral("txtWatchString(%1)").arg(i)
              << QStringLiteral("txtResponseString(%1)").arg(i);
    }
    QCOMPARE(names.size(), 49);
    for (const QString &name : names) {
        // Elements of a socket array carry the array's name; count the array once.
        auto found = window().findChildren<QObject *>(name);
        found.removeIf([&](QObject *o) { return o->parent()->objectName() == name; });
        QVERIFY2(found.size() == 1, qPrintable(name));
    }
}

void TstWindow::control_designValues_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("text"); // null: not compared (filled at run time)
    QTest::addColumn<QRect>("geometry");

    QTest::newRow("port label") << "lblListenPort"
                                << "QLabel"
                                << "Port" << QRect(7, 6, 57, 14);
    QTest::newRow("port box") << "txtListenPort"
                              << "QLineEdit"
                              << "7000" << QRect(7, 17, 75, 19);
    QTest::newRow("frame") << "Frame4"
                           << "QFrame"
                           << "" << QRect(95, 18, 47, 21);
    QTest::newRow("TCP") << "optTCP(0)"
                         << "QRadioButton"
                         << " " << QRect(0, 0, 19, 19);
    QTest::newRow("UDP") << "optTCP(1)"
                         << "QRadioButton"
                         << "" << QRect(26, 0, 19, 19);
    QTest::newRow("start") << "btnConnect"
                           << "QPushButton"
                           << "Start" << QRect(152, 10, 132, 26);
    QTest::newRow("stop") << "btnDisconnect"
                          << "QPushButton"
                          << "Stop" << QRect(152, 10, 132, 26);
    QTest::newRow("status 0") << "lblStatus(0)"
                              << "QLabel" << QString() << QRect(282, 10, 257, 26);
    QTest::newRow("clear data") << "Command1"
                                << "QPushButton"
                                << "Clear Data" << QRect(544, 10, 99, 26);
    QTest::newRow("HTTP type")
        << "optReceiveType(1)"
        << "QRadioButton"
        << "HTTP Requests (Auto-Reply to GET/PUT with 404 msg. and reset connection)"
        << QRect(227, 56, 417, 13);
    QTest::newRow("log switch") << "chkLogData"
                                << "QCheckBox"
                                << "Log Received Data To Text File" << QRect(8, 94, 187, 15);
    QTest::newRow("log folder") << "txtLogPath"
                                << "QLineEdit" << QString() << QRect(195, 96, 426, 19);
    QTest::newRow("picker") << "btnLogLocation"
                            << "QPushButton"
                            << "..." << QRect(621, 96, 22, 19);
    QTest::newRow("received") << "txtNetData"
                              << "ReceivedDataBox"
                              << "" << QRect(8, 132, 634, 368);
    QTest::newRow("status 2") << "lblStatus(2)"
                              << "QLabel"
                              << "" << QRect(86, 363, 558, 14);
    QTest::newRow("send text") << "txtSendData"
                               << "QPlainTextEdit"
                               << "" << QRect(8, 376, 634, 249);
    QTest::newRow("send IP label") << "lblSendIP"
                                   << "QLabel"
                                   << "Client Mode Send IP Address:" << QRect(9, 631, 440, 16);
    QTest::newRow("send IP") << "txtSendIP"
                             << "QLineEdit"
                             << "192.168.1.100" << QRect(158, 628, 114, 19);
    QTest::newRow("send state") << "lblSendState"
                                << "QLabel"
                                << "0" << QRect(444, 636, 17, 21);
    QTest::newRow("send") << "btnSendData"
                          << "QPushButton"
                          << "Send Data" << QRect(555, 629, 86, 29);
    QTest::newRow("auto-respond") << "chkEnableAutoRespond"
                                  << "QCheckBox"
                                  << "Enable AutoRespond" << QRect(9, 657, 201, 16);
    QTest::newRow("response heading") << "Label4"
                                      << "QLabel"
                                      << "Response String" << QRect(328, 675, 153, 13);
    QTest::newRow("first watch") << "txtWatchString(0)"
                                 << "QLineEdit"
                                 << "" << QRect(6, 689, 319, 19);
    QTest::newRow("last response") << "txtResponseString(6)"
                                   << "QLineEdit"
                                   << "" << QRect(327, 809, 319, 19);
}

void TstWindow::control_designValues() {
    QFETCH(QString, name);
    QFETCH(QString, kind);
    QFETCH(QString, text);
    QFETCH(QRect, geometry);

    auto *control = window().findChild<QWidget *>(name);
    QVERIFY(control);
    QVERIFY2(control->inherits(qPrintable(kind)), control->metaObject()->className());
    if (!text.isNull())
        QCOMPARE(caption(control), text);
    QCOMPARE(control->geometry(), geometry);
}

void TstWindow::window_caption_flags_icon() {
    QCOMPARE(window().windowTitle(), QStringLiteral("KVX Sendrel"));
    QVERIFY(!(window().windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(window().windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(window().windowFlags() & Qt::WindowCloseButtonHint);
    QCOMPARE(window().minimumSize(), window().maximumSize());

    QVERIFY(c().btnConnect->font().bold());
    QCOMPARE(c().btnConnect->font().pointSizeF(), 14.25);
    for (QLabel *status : c().lblStatus)
        QCOMPARE(status->font().pointSizeF(), 6.75);
    QCOMPARE(c().Label6->font().pointSizeF(), 8.25);
    QVERIFY(c().txtNetData->isReadOnly());
    QCOMPARE(c().txtNetData->lineWrapMode(), QPlainTextEdit::NoWrap);
    QVERIFY(!c().txtSendData->isReadOnly());
    QCOMPARE(c().txtSendData->lineWrapMode(), QPlainTextEdit::NoWrap);
}

void TstWindow::windowIcon_hasEverySize() {
    const QList<QSize> sizes = window().windowIcon().availableSizes();
    for (int size : {16, 32, 48, 256})
        QVERIFY2(sizes.contains(QSize(size, size)), qPrintable(QString::number(size)));
}

void TstWindow::tabOrder_followsTabPositions() {
    QList<QWidget *> expected{c().btnConnect,     c().txtListenPort,       c().optTCP[0],
                              c().optTCP[1],      c().txtNetData,          c().Command1,
                              c().btnDisconnect,  c().chkLogData,          c().txtLogPath,
                              c().btnLogLocation, c().chkEnableAutoRespond};
    for (size_t i = 0; i < c().txtWatchString.size(); ++i)
        expected << c().txtWatchString[i] << c().txtResponseString[i];
    expected << c().txtSendData << c().btnSendData << c().btnClearSendData << c().optReceiveType[0]
             << c().optReceiveType[1] << c().txtSendIP;

    QList<QWidget *> chain;
    QWidget *w = c().btnConnect;
    do {
        if (expected.contains(w))
            chain << w;
        w = w->nextInFocusChain();
    } while (w != c().btnConnect);
    QCOMPARE(chain, expected);
}

void TstWindow::optionGroups_areIndependent() {
    c().optTCP[1]->click();
    QVERIFY(!c().optTCP[0]->isChecked());
    QVERIFY(c().optReceiveType[0]->isChecked());
    c().optReceiveType[1]->click();
    QVERIFY(!c().optReceiveType[0]->isChecked());
    QVERIFY(c().optTCP[1]->isChecked());
    c().optTCP[0]->setChecked(true);
    QVERIFY(!c().optTCP[1]->isChecked());
    QVERIFY(c().optReceiveType[1]->isChecked());
}

void TstWindow::checkBox_click_neverTurnsGrey() {
    QCheckBox *box = c().chkLogData;
    box->setCheckState(Qt::PartiallyChecked);
    QCOMPARE(box->checkState(), Qt::PartiallyChecked);
    box->click();
    QCOMPARE(box->checkState(), Qt::Checked);
    box->click();
    QCOMPARE(box->checkState(), Qt::Unchecked);
    box->click();
    QCOMPARE(box->checkState(), Qt::Checked);
}

void TstWindow::start_compactLayout() {
    QCOMPARE(window().size(), QSize(ClientWidth, CompactHeight));
    QCOMPARE(c().txtNetData->height(), 368);
    for (QWidget *control : sendAndRespond(c()))
        QVERIFY2(control->isHidden(), qPrintable(control->objectName()));
    for (QWidget *control :
         {static_cast<QWidget *>(c().lblSendIP), static_cast<QWidget *>(c().txtSendIP),
          static_cast<QWidget *>(c().lblSendState)}) {
        QVERIFY2(!control->isHidden(), qPrintable(control->objectName()));
        QVERIFY(control->y() >= CompactHeight);
    }
    QVERIFY(!c().btnConnect->isHidden());
    QVERIFY(c().btnDisconnect->isHidden());

    // The enlarged received-data box lies over the last-send line.
    QLabel *sendStatus = c().lblStatus[2];
    QWidget *top = window().childAt(sendStatus->geometry().center());
    QVERIFY(top == c().txtNetData || c().txtNetData->isAncestorOf(top));
}

void TstWindow::start_programValues() {
    const ProgramState &s = window().state();
    QCOMPARE(s.LastDataTime, QStringLiteral("None"));
    QCOMPARE(s.LastRemoteIP, QStringLiteral("None"));
    QCOMPARE(s.AppendWindowMs, 1000);
    QCOMPARE(s.LastReceiveTick, 0);
    QCOMPARE(s.LastListenError, QString());

    QCOMPARE(c().txtListenPort->text(), QStringLiteral("7000"));
    QVERIFY(c().optTCP[0]->isChecked());
    QVERIFY(c().optReceiveType[0]->isChecked());
    QCOMPARE(c().chkLogData->checkState(), Qt::Unchecked);
    QCOMPARE(c().chkEnableAutoRespond->checkState(), Qt::Unchecked);
    QCOMPARE(c().txtSendIP->text(), QStringLiteral("192.168.1.100"));
}

void TstWindow::timersAndSockets_readyAtStart() {
    for (QTimer *timer : {c().tmrMain, c().tmrSendState}) {
        QVERIFY(timer->isActive());
        QCOMPARE(timer->interval(), 100);
    }
    QCOMPARE(c().listenSock->Count(), 1);
    QCOMPARE(c().listenSock->element(0)->State(), int(SocketControl::Closed));
    QCOMPARE(c().sendSock->State(), int(SocketControl::Closed));
}

void TstWindow::tilde_data() {
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("full");
    QTest::addColumn<QString>("text"); // the target's text afterwards; null: not compared

    // A "~" before the number shows that the character reached the box: the port rule reads 0.
    QTest::newRow("tilde into port box") << "txtListenPort"
                                         << "~" << true << "0";
    QTest::newRow("tilde into log folder") << "txtLogPath"
                                           << "~" << true << QString();
    QTest::newRow("tilde on a button") << "Command1"
                                       << "~" << true << QString();
    QTest::newRow("other characters") << "txtListenPort"
                                      << "`^ab~" << true << "0";
    QTest::newRow("letters only") << "txtListenPort"
                                  << "`^ab" << false << "0";
    QTest::newRow("into log folder, no tilde") << "txtLogPath"
                                               << "x" << false << QString();
}

void TstWindow::tilde() {
    QFETCH(QString, target);
    QFETCH(QString, typed);
    QFETCH(bool, full);
    QFETCH(QString, text);

    auto *control = window().findChild<QWidget *>(target);
    QVERIFY(m_fixture->showWithFocus(control));
    if (auto *edit = qobject_cast<QLineEdit *>(control))
        edit->home(false);
    QTest::keyClicks(control, typed);
    if (!text.isNull())
        QCOMPARE(caption(control), text);
    QCOMPARE(isFull(window()), full);
    QCOMPARE(window().size(), QSize(ClientWidth, full ? FullHeight : CompactHeight));
    QCOMPARE(c().txtNetData->height(), full ? 228 : 368);
    for (QWidget *control : sendAndRespond(c()))
        QCOMPARE(control->isHidden(), !full);
}

void TstWindow::tildeInSendData_fullLayout_staysInText() {
    m_fixture->showFullLayout();
    QVERIFY(isFull(window()));
    QVERIFY(m_fixture->showWithFocus(c().txtSendData));
    QTest::keyClicks(c().txtSendData, QStringLiteral("a~b"));
    QCOMPARE(c().txtSendData->toPlainText(), QStringLiteral("a~b"));
    QVERIFY(isFull(window()));

    // Keys that type nothing never reach the handler, and nothing leads back.
    QTest::keyClick(c().txtSendData, Qt::Key_F1);
    QTest::keyClick(c().txtSendData, Qt::Key_Left);
    QVERIFY(isFull(window()));
}

void TstWindow::tilde_nothingFocused_switchesToFull() {
    QVERIFY(m_fixture->showWithFocus(c().txtLogPath));
    c().txtLogPath->clearFocus();
    QVERIFY(!QApplication::focusWidget());
    QTest::keyClick(&window(), '~');
    QVERIFY(isFull(window()));
}

void TstWindow::savedPort_goesThroughPortRule() {
    QFile file(m_fixture->settingsFile());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[Settings]\nPort=8080x\n");
    file.close();
    m_fixture->reopen(false);
    QCOMPARE(c().txtListenPort->text(), QStringLiteral("8080"));
}

void TstWindow::close_writesSettings() {
    QVERIFY(!QFile::exists(m_fixture->settingsFile()));
    c().txtListenPort->setText(QStringLiteral("8123"));
    window().close();
    QFile file(m_fixture->settingsFile());
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().contains("8123"));

    m_fixture->reopen();
    QCOMPARE(c().txtListenPort->text(), QStringLiteral("8123"));
}

QTEST_MAIN(TstWindow)
#include "tst_window.moc"
