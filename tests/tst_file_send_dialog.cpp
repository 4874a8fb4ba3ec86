#include "sender/file_send.h"
#include "support/file_bytes.h"
#include "support/program_fixture.h"
#include "window/file_send_dialog.h"

#include <QtNetwork>
#include <QtTest>
#include <QtWidgets>

#include <sys/stat.h>

// The progress dialog of "Send File...": how far, a stall, the end of a file whose size is not
// known, and Cancel.
class tst_FileSendDialog : public QObject {
    Q_OBJECT

    std::unique_ptr<ProgramFixture> m_f;
    Form &c() { return m_f->form(); }
    FileSend &fileSend() { return m_f->program().fileSend(); }

private slots:
    void init() {
        m_f = std::make_unique<ProgramFixture>();
        c().txtSendIP.setText(QStringLiteral("127.0.0.1"));
        c().optTCP[0]->setValue(1);
    }
    void cleanup() { m_f.reset(); }

    // A peer that takes nothing: the label says so, and Cancel ends the send with what went.
    void stallThenCancel() {
        const QString path = m_f->folder() + "/big";
        QVERIFY(writeBytes(path, QByteArray(32 << 20, 'z')));
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        server.pauseAccepting();
        c().txtListenPort.setText(QString::number(server.serverPort()));
        QWidget window;
        const QPointer<QProgressDialog> dialog = followFileSend(&window, fileSend(), path);
        QVERIFY(dialog);
        QCOMPARE(dialog->labelText(), "Sending big");
        QTRY_COMPARE_WITH_TIMEOUT(dialog->labelText(), "Stalled: no progress for 1 s", 30000);
        QVERIFY(dialog->value() > 0 && dialog->value() < dialog->maximum());
        dialog->findChild<QPushButton *>()->click();
        QTRY_VERIFY(!dialog);
        QVERIFY2(c().lblStatus[2]->Text().contains(" - Cancelled, ")
                     && c().lblStatus[2]->Text().endsWith(" of 33554432 Bytes Sent"),
                 qPrintable(c().lblStatus[2]->Text()));
    }

    // A FIFO's size is known only at its end: the bar shows only that bytes go, the label how
    // many; the dialog goes with the send.
    void unknownTotal() {
        const QString path = m_f->folder() + "/fifo";
        QVERIFY(::mkfifo(QFile::encodeName(path).constData(), 0600) == 0);
        QProcess writer;
        writer.start("sh", {"-c", "head -c 300000 /dev/zero > \"$0\"", path});
        QVERIFY(writer.waitForStarted());
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        c().txtListenPort.setText(QString::number(server.serverPort()));
        QWidget window;
        const QPointer<QProgressDialog> dialog = followFileSend(&window, fileSend(), path);
        QVERIFY(dialog);
        QStringList labels;
        connect(&fileSend(), &FileSend::progress, this, [&] {
            QTimer::singleShot(0, this, [&] {
                if (dialog && dialog->maximum() == 0)
                    labels << dialog->labelText();
            });
        });
        QTRY_VERIFY_WITH_TIMEOUT(!dialog, 30000);
        QVERIFY(fileSend().result().sent());
        QVERIFY2(!labels.isEmpty() && labels.last().startsWith("Sending fifo: "),
                 qPrintable(labels.join('|')));
        QVERIFY(!followFileSend(&window, fileSend(), m_f->folder() + "/none"));
        QCOMPARE(m_f->messages.size(), 1);
        writer.waitForFinished();
    }
};

QTEST_MAIN(tst_FileSendDialog)
#include "tst_file_send_dialog.moc"
