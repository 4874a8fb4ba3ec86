// What the window leaves alone: a status monitor's stop that it does not hold, a stored port it
// does not complain about, and the dialogs that save only what they changed.
#include "listener/listener.h"
#include "net/socket_array.h"
#include "net/socket_control.h"
#include "support/file_bytes.h"
#include "support/loopback.h"
#include "support/when_shown.h"
#include "support/window_fixture.h"
#include "window/network_options_dialog.h"
#include "window/tls_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>

#include <memory>

using namespace Qt::StringLiterals;

class tst_Conformance : public QObject {
    Q_OBJECT

    std::unique_ptr<WindowFixture> m_fixture;
    Program &program() { return m_fixture->window().program(); }
    Form &form() { return m_fixture->form(); }
    SocketControl *element(int index) { return program().sockets().listenSock->element(index); }

    // Opens the dialog `fromEnd` places from the end of the port box's menu, lets `edit` work on
    // it and presses OK.
    template <typename Dialog> void acceptDialog(int fromEnd, std::function<void(Dialog *)> edit) {
        whenShown<QMenu>(this, [fromEnd](QMenu *menu) {
            menu->setActiveAction(menu->actions().at(menu->actions().size() - fromEnd));
            QTest::keyClick(menu, Qt::Key_Return);
        });
        bool shown = false;
        whenShown<Dialog>(this, [&shown, edit](Dialog *dialog) {
            edit(dialog);
            shown = true;
            dialog->template findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
        });
        emit m_fixture->controls().txtListenPort->customContextMenuRequested({2, 2});
        QVERIFY(shown);
    }

private slots:
    void init() { m_fixture = std::make_unique<WindowFixture>(); }
    void cleanup() { m_fixture.reset(); }

    // A socket gone bad is stopped by the status monitor; its error text stands for one tick,
    // then the idle text takes its place, with no Stop pressed.
    void monitorStop_errorForOneTick_data() {
        QTest::addColumn<bool>("tcp");
        QTest::newRow("TCP, connection slot bound as UDP") << true;
        QTest::newRow("UDP, listener listening as TCP") << false;
    }
    void monitorStop_errorForOneTick() {
        QFETCH(bool, tcp);
        startListener(form(), tcp);
        QVERIFY(program().listener().state().open());
        QStringList seen; // the short status line after each tick
        connect(&program().tmrMain(), &QTimer::timeout, this,
                [&] { seen.append(form().lblStatus[0]->Text()); });
        SocketControl *bad = element(0);
        if (tcp) {
            program().sockets().listenSock->Load(1);
            bad = element(1);
            bad->setProtocol(SocketControl::UdpProtocol);
        } else {
            bad->Close();
            bad->setProtocol(SocketControl::TcpProtocol);
        }
        bad->setLocalPort(0);
        QVERIFY(tcp ? bad->Bind() : bad->Listen());
        QTRY_VERIFY_WITH_TIMEOUT(seen.size() >= 2 && seen.contains(u"Connection Error"_s), 20000);
        QTRY_VERIFY(seen.size() >= seen.indexOf(u"Connection Error"_s) + 3);
        const qsizetype stop = seen.indexOf(u"Connection Error"_s);
        QCOMPARE(seen.mid(stop, 3),
                 QStringList({u"Connection Error"_s, u"Not Connected"_s, u"Not Connected"_s}));
        QCOMPARE(element(0)->State(), SocketControl::Closed);
        QVERIFY(form().btnConnect.Visible());
    }

    // The port box keeps any stored number and the window says nothing of it; only a Start tells
    // a number no port can have. The command line refuses the same values.
    void storedPort_boundary_data() {
        QTest::addColumn<QString>("port");
        QTest::addColumn<bool>("refused"); // by the command line; a Start fails
        QTest::newRow("0") << u"0"_s << false;
        QTest::newRow("65535") << u"65535"_s << false;
        QTest::newRow("65536") << u"65536"_s << true;
        QTest::newRow("-1") << u"-1"_s << true;
    }
    void storedPort_boundary() {
        QFETCH(QString, port);
        QFETCH(bool, refused);
        QVERIFY(writeBytes(m_fixture->settingsFile(), "[Settings]\r\nPort=" + port.toLatin1()));
        m_fixture->reopen(false);
        QCOMPARE(form().txtListenPort.Text(), port);
        QVERIFY2(m_fixture->problems.isEmpty(), qPrintable(m_fixture->problems.join(u'\n')));
        const QList<BadSetting> &bad = program().badSettings();
        QCOMPARE(bad.size(), refused ? 1 : 0);
        if (!refused)
            return;
        QCOMPARE(bad[0].key, u"Port"_s);
        form().btnConnect.Click();
        QVERIFY(!program().listener().state().open());
        QCOMPARE(form().lblStatus[0]->Text(),
                 u"Error while attempting connection.\r\nPort may already be in use"_s);
    }

    // A dialog's OK stores the keys it changed, in the file's own order and format, and nothing
    // else: not the port, switch or pair options the window holds unsaved, and nothing at all
    // when nothing changed.
    void dialogOk_savesOnlyWhatChanged_data() {
        QTest::addColumn<bool>("network"); // else the TLS dialog
        QTest::addColumn<bool>("change");
        QTest::addColumn<QByteArray>("added");
        QTest::newRow("network, nothing changed") << true << false << QByteArray();
        QTest::newRow("network, broadcast") << true << true << "AllowBroadcast=1\r\n"_ba;
        QTest::newRow("TLS, nothing changed") << false << false << QByteArray();
        QTest::newRow("TLS, ALPN") << false << true << "TlsSendAlpn=h2\r\n"_ba;
    }
    void dialogOk_savesOnlyWhatChanged() {
        QFETCH(bool, network);
        QFETCH(bool, change);
        QFETCH(QByteArray, added);
        const QByteArray settings =
            "[Settings]\n; kept\nport=7100\nCreateLog=1\nWatchString0=ping\nResponseDelay0=100\n";
        const QByteArray other = "[Other]\nx=1\n";
        QVERIFY(writeBytes(m_fixture->settingsFile(), settings + other));
        m_fixture->reopen(false);
        form().txtListenPort.setText(u"7200"_s);
        form().chkLogData.setValue(0);
        program().configuration().setPairOptions(0, {});
        if (network) {
            acceptDialog<NetworkOptionsDialog>(1, [change](NetworkOptionsDialog *dialog) {
                dialog->findChild<QCheckBox *>("allowBroadcast")->setChecked(change);
            });
        } else {
            acceptDialog<TlsDialog>(2, [change](TlsDialog *dialog) {
                dialog->findChild<QLineEdit *>("tlsAlpn")->setText(change ? "h2" : "");
            });
        }
        QCOMPARE(fileBytes(m_fixture->settingsFile()), settings + added + other);
    }
};

QTEST_MAIN(tst_Conformance)
#include "tst_conformance.moc"
