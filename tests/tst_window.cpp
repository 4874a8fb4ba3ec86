#include "app/received_data_box.h"
#include "support/window_fixture.h"

#include <QCheckBox>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

constexpr int CompactHeight = 512, FullHeight = 835, ClientWidth = 652;

static QString caption(QObject *control) {
    return control->property(control->inherits("QPlainTextEdit") ? "plainText" : "text").toString();
}

class TstWindow : public QObject {
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

    void controls_presentByNameAndKind() {
        // Each line: a kind, then every control of that kind.
        // clang-format off
        QStringList kinds{
            "QLabel lblListenPort lblListenTCP lblStatus(0) lblStatus(1) lblStatus(2) Label6 Label2 "
            "Label1 Label5 lblSendIP lblSendState Label3 Label4",
            "QPushButton btnConnect btnDisconnect Command1 btnLogLocation btnClearSendData btnSendData",
            "QRadioButton optTCP(0) optTCP(1) optReceiveType(0) optReceiveType(1)",
            "QCheckBox chkLogData chkEnableAutoRespond", "QFrame Frame4", "ReceivedDataBox txtNetData",
            "QPlainTextEdit txtSendData", "QTimer tmrMain tmrSendState", "SocketArray listenSock",
            "SocketControl sendSock", "QLineEdit txtListenPort txtLogPath txtSendIP"};
        for (int i = 0; i < 7; ++i)
            kinds.last() += QStringLiteral(" txtWatchString(%1) txtResponseString(%1)").arg(i);
        for (const QString &line : kinds) {
            const QStringList names = line.split(' ');
            for (const QString &name : names.mid(1)) {
                // Elements of a socket array carry the array's name; count the array once.
                auto found = window().findChildren<QObject *>(name);
                found.removeIf([&](QObject *o) { return o->parent()->objectName() == name; });
                QVERIFY2(found.size() == 1 && found[0]->inherits(qPrintable(names[0])),
                         qPrintable(name));
            }
        }
        const QList<std::pair<const char *, QString>> captions{
            {"btnConnect", "Start"}, {"btnDisconnect", "Stop"}, {"Command1", "Clear Data"},
            {"optReceiveType(1)",
             "HTTP Requests (Auto-Reply to GET/PUT with 404 msg. and reset connection)"},
            {"chkLogData", "Log Received Data To Text File"}, {"btnLogLocation", "..."},
            {"lblSendIP", "Client Mode Send IP Address:"}, {"btnSendData", "Send Data"},
            {"txtSendIP", "192.168.1.100"}, {"txtListenPort", "7000"},
            {"chkEnableAutoRespond", "Enable AutoRespond"}, {"lblSendState", "0"}};
        // clang-format on
        for (const auto &[control, text] : captions)
            QCOMPARE(caption(window().findChild<QObject *>(control)), text);
        QCOMPARE(window().windowTitle(), QStringLiteral("KVX Sendrel"));
        for (int size : {16, 32, 48, 256})
            QVERIFY(window().windowIcon().availableSizes().contains(QSize(size, size)));
    }

    void start_valuesAndCompactLayout() {
        const ProgramState &s = window().state();
        QCOMPARE(QStringList({s.LastDataTime, s.LastRemoteIP, s.LastListenError}),
                 QStringList({"None", "None", ""}));
        QVERIFY(s.AppendWindowMs == 1000 && s.LastReceiveTick == 0);
        QVERIFY(c().optTCP[0]->isChecked() && c().optReceiveType[0]->isChecked());
        QVERIFY(!c().chkLogData->checkState() && !c().chkEnableAutoRespond->checkState());
        for (QTimer *timer : {c().tmrMain, c().tmrSendState})
            QVERIFY(timer->isActive() && timer->interval() == 100);
        checkLayout(false);
    }

    void optionGroups_areIndependent() {
        c().optTCP[1]->click();
        QVERIFY(!c().optTCP[0]->isChecked() && c().optReceiveType[0]->isChecked());
        c().optReceiveType[1]->click();
        QVERIFY(!c().optReceiveType[0]->isChecked() && c().optTCP[1]->isChecked());
        c().optTCP[0]->setChecked(true);
        QVERIFY(!c().optTCP[1]->isChecked() && c().optReceiveType[1]->isChecked());
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
        QTest::newRow("no tilde, log") << "txtLogPath" << "x" << false << "x";
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
};

QTEST_MAIN(TstWindow)
#include "tst_window.moc"
