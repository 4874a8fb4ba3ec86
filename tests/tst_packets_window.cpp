#include "sender/packets.h"
#include "settings/packet_book.h"
#include "support/file_bytes.h"
#include "support/window_fixture.h"
#include "window/packet_dialog.h"
#include "window/packets_window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QNetworkDatagram>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTreeWidget>
#include <QUdpSocket>

using namespace Qt::Literals::StringLiterals;

namespace {

// A packet and a sequence the book holds; the sequence is pinned to Alt+3.
const QString Book = u"[ping]\ndata = x\npin = 2\n[run]\nstep1 = send ping\npin = 3\n"_s;

// The dialog's controls as the operator fills them: "name|data|hex|to|tls" for a packet,
// "name|steps|repeat" for a sequence (steps split by ';'); empty fields are left as they are.
void fill(PacketDialog &dialog, const QString &fields) {
    const QStringList field = fields.split(u'|');
    const auto text = [&](const char *name, int at) {
        if (!field.value(at).isEmpty())
            dialog.findChild<QLineEdit *>(QString::fromLatin1(name))->setText(field[at]);
    };
    text("packetName", 0);
    if (auto *steps = dialog.findChild<QPlainTextEdit *>(u"packetSteps"_s)) {
        if (!field.value(1).isEmpty())
            steps->setPlainText(QString(field[1]).replace(u';', u'\n'));
        if (!field.value(2).isEmpty())
            dialog.findChild<QSpinBox *>(u"packetRepeat"_s)->setValue(field[2].toInt());
        return;
    }
    text("packetData", 1);
    dialog.findChild<QCheckBox *>(u"packetHex"_s)->setChecked(field.value(2) == u"hex");
    text("packetTo", 3);
    dialog.findChild<QCheckBox *>(u"packetTls"_s)->setChecked(field.value(4) == u"tls");
}

// Fills the dialog opened on `opened` ("" for a new packet, "new sequence" for a new one) and
// presses OK: whether it closed, and what it said.
std::pair<bool, QString> edit(PacketBook &book, const QString &opened, const QString &fields) {
    PacketEntry entry;
    if (opened == u"new sequence")
        entry.steps.append(*SequenceStep::fromText(u"send ping", nullptr));
    else if (!opened.isEmpty())
        entry = *book.find(opened);
    const QString replacing = opened.startsWith(u"new") ? QString() : opened;
    PacketDialog dialog(book, entry, replacing, nullptr);
    fill(dialog, fields);
    dialog.findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
    return {dialog.result() == QDialog::Accepted,
            dialog.findChild<QLabel *>(u"packetError"_s)->text()};
}

} // namespace

// The Packets window without a mouse: Ctrl+P opens it, the arrows pick, Enter sends, Alt+N sends
// a pinned packet; every control has a name for screen readers.
class tst_PacketsWindow : public QObject {
    Q_OBJECT

private slots:
    void dialog_storesWhatWasFilled_data() {
        QTest::addColumn<QString>("opened");
        QTest::addColumn<QString>("fields");
        QTest::addColumn<QString>("stored"); // the book's section for what was filled
        QTest::newRow("new packet") << ""
                                    << "pong|a;b %CRLF%||udp 127.0.0.1:7|"
                                    << "[pong]\ndata = a;b %CRLF%\nto = udp 127.0.0.1:7\n";
        QTest::newRow("new hex packet, TLS") << ""
                                             << " hx |01 02|hex|tcp [::1]:9|tls"
                                             << "[hx]\nhex = yes\ndata = 01 02\n"
                                                "to = tcp [::1]:9\ntls = yes\n";
        QTest::newRow("edited, keeps its pin") << "ping"
                                               << "|y||peer|"
                                               << "[ping]\ndata = y\nto = peer\npin = 2\n";
        QTest::newRow("renamed") << "ping"
                                 << "pang||||"
                                 << "[pang]\ndata = x\npin = 2\n";
        QTest::newRow("new sequence") << "new sequence"
                                      << "seq|send ping;;wait 50|3"
                                      << "[seq]\nstep1 = send ping\nstep2 = wait 50\n"
                                         "repeat = 3\n";
        QTest::newRow("sequence edited") << "run"
                                         << "|expect contains ok within 9||"
                                         << "[run]\nstep1 = expect contains ok within 9\n"
                                            "pin = 3\n";
    }
    // OK puts what was filled into the book, in place of the entry the dialog was opened on.
    void dialog_storesWhatWasFilled() {
        QFETCH(QString, opened);
        QFETCH(QString, fields);
        QFETCH(QString, stored);
        PacketBook book;
        book.read(Book);
        QCOMPARE(edit(book, opened, fields), std::pair(true, QString()));
        const QString name = stored.section(u']', 0, 0).mid(1);
        QVERIFY(book.find(name));
        QCOMPARE(PacketBook::sectionText(*book.find(name)), stored);
        QCOMPARE(book.entries().size(), opened.startsWith(u"new") || opened.isEmpty() ? 3 : 2);
    }

    void dialog_refusesWithItsReason_data() {
        QTest::addColumn<QString>("opened");
        QTest::addColumn<QString>("fields");
        QTest::addColumn<QString>("why");
        QTest::newRow("name taken") << ""
                                    << "ping|z|||"
                                    << "A packet named ping is in the file already.";
        QTest::newRow("renamed onto another") << "ping"
                                              << "run||||"
                                              << "A packet named run is in the file already.";
        QTest::newRow("no name") << ""
                                 << " |z|||"
                                 << "A name is not empty, has no ']' and no blanks at its ends.";
        QTest::newRow("no target")
            << ""
            << "p|z||ftp host:1|"
            << "'to' needs tcp HOST:PORT, udp HOST:PORT or peer, not 'ftp host:1'";
        QTest::newRow("TLS to UDP") << ""
                                    << "p|z||udp 127.0.0.1:7|tls"
                                    << "TLS is for a packet sent to tcp HOST:PORT.";
        QTest::newRow("no steps") << "run"
                                  << "|;;||"
                                  << "A sequence needs at least one step.";
        QTest::newRow("no step") << "run"
                                 << "|send ping;jump 5||"
                                 << "a step is send PACKET, wait MS or expect MODE TEXT within MS, "
                                    "not 'jump 5'";
        QTest::newRow("sends no packet") << "run"
                                         << "|send run||"
                                         << "step 'send run' sends no packet of the file";
    }
    // What the book cannot take is said in the dialog, which stays open, the book as it was.
    void dialog_refusesWithItsReason() {
        QFETCH(QString, opened);
        QFETCH(QString, fields);
        QFETCH(QString, why);
        PacketBook book;
        book.read(Book);
        QCOMPARE(edit(book, opened, fields), std::pair(false, why));
        QCOMPARE(book.text(), Book);
    }

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
