#include "sender/packets.h"
#include "support/file_bytes.h"
#include "support/window_fixture.h"
#include "window/packets_window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QNetworkDatagram>
#include <QPlainTextEdit>
#include <QTest>
#include <QTreeWidget>
#include <QUdpSocket>

using namespace Qt::Literals::StringLiterals;

// The Packets window without a mouse: Ctrl+P opens it, the arrows pick, Enter sends, Alt+N sends
// a pinned packet; every control has a name for screen readers.
class tst_PacketsWindow : public QObject {
    Q_OBJECT

private slots:
    void drivenByKeys() {
        WindowFixture f;
        QUdpSocket peer;
        QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
        const QString to = u"to = udp 127.0.0.1:%1\n"_s.arg(peer.localPort());
        QVERIFY(writeBytes(QFileInfo(f.settingsFile()).dir().filePath(u"Sendrel_Packets.ini"_s),
                           (u"[first]\ndata = one\n"_s + to
                            + u"[second]\nhex = yes\n"
                              "data = 01 02 %SUM8%\n"_s
                            + to)
                               .toUtf8()));
        f.reopen(false);
        QVERIFY(f.showWithFocus(f.controls().txtListenPort));
        QTest::keyClick(f.controls().txtListenPort, Qt::Key_P, Qt::ControlModifier);
        auto *window = f.window().findChild<PacketsWindow *>();
        QVERIFY(window && window->isVisible());
        QTreeWidget *list = window->list();
        QCOMPARE(list->topLevelItemCount(), 2);
        for (QWidget *control : window->findChildren<QWidget *>()) {
            if (control->focusPolicy() != Qt::NoFocus)
                QVERIFY2(!control->accessibleName().isEmpty(), qPrintable(control->objectName()));
        }

        list->setFocus();
        QTest::keyClick(list, Qt::Key_Down);
        QTest::keyClick(list, Qt::Key_Return);
        QTRY_VERIFY(peer.hasPendingDatagrams());
        QCOMPARE(peer.receiveDatagram().data(), QByteArray("\x01\x02\x03"));

        f.window().program().packets().pin(u"first"_s, 2);
        QTest::keyClick(&f.window(), Qt::Key_3, Qt::AltModifier);
        QTRY_VERIFY(peer.hasPendingDatagrams());
        QCOMPARE(peer.receiveDatagram().data(), QByteArray("one"));
    }
};

QTEST_MAIN(tst_PacketsWindow)
#include "tst_packets_window.moc"
