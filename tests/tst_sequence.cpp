// Saved sequences run by the command line against a headless responder: every step passes and a
// reply's group is sent on, or the run stops at the step that timed out, with the exit status.
#include "net/certificate_files.h"
#include "support/child_program.h"
#include "support/file_bytes.h"
#include "support/loopback.h"

#include <QtTest>

using namespace Qt::Literals::StringLiterals;

class tst_Sequence : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

private slots:
    void sequence_data() {
        QTest::addColumn<bool>("tcp");
        QTest::addColumn<QString>("last"); // the data of the third step's packet
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("err");
        const QString timedOut = u"Step 4 (expect contains ack within 300) failed: timed out after "
                                 "300 ms; arrived instead: nothing"_s;
        for (const bool tcp : {true, false}) {
            const QString protocol = tcp ? u"tcp "_s : u"udp "_s;
            QTest::newRow(qPrintable(protocol + u"passes"_s))
                << tcp << u"id %1"_s << 0 << QString();
            QTest::newRow(qPrintable(protocol + u"times out at step 4"_s))
                << tcp << u"id 7"_s << 1 << timedOut;
        }
    }
    void sequence() {
        QFETCH(bool, tcp);
        QFETCH(QString, last);
        QFETCH(int, exitCode);
        QFETCH(QString, err);
        const quint16 port = freeLoopbackPort(tcp);
        ChildProgram responder(m_dir.path(),
                               {u"--headless"_s, u"--port"_s, QString::number(port),
                                tcp ? u"--tcp"_s : u"--udp"_s, u"--settings"_s, u"none.ini"_s,
                                u"--respond-regex"_s, u"ping (\\d+)=pong %1"_s,
                                u"--respond-contains"_s, u"id 42=ack"_s});
        QTRY_VERIFY_WITH_TIMEOUT(responder.err.contains("data on port "), 30000);
        const QString to =
            (tcp ? u"tcp 127.0.0.1:"_s : u"udp 127.0.0.1:"_s) + QString::number(port);
        const QString file = u"[ping]\ndata = ping 42\nto = "_s + to + u"\n[id]\ndata = "_s + last
                             + u"\nto = "_s + to
                             + u"\n[check]\nstep1 = send ping\nstep2 = expect regex pong (\\d+) "
                               "within 5000\nstep3 = send id\nstep4 = expect contains ack within "_s
                             + (exitCode == 0 ? u"5000"_s : u"300"_s);
        QVERIFY(writeBytes(m_dir.filePath(u"p.ini"_s), file.toUtf8()));
        ChildProgram run(m_dir.path(), {u"--sequence"_s, u"check"_s, u"--packets"_s, u"p.ini"_s,
                                        u"--settings"_s, u"none.ini"_s});
        QVERIFY2(run.endsWith(exitCode), run.err);
        QVERIFY2(run.err.contains(err.toUtf8()), run.err);
    }

    // A tls packet is verified with the command line's client options: a wrong pin sends nothing.
    void secureSequence() {
        const MadeCertificate made = makeSelfSignedCertificate(m_dir.filePath(u"c"_s), u"test"_s);
        for (const QString &pin : {made.fingerprint, QString(64, u'0')}) {
            const QString port = QString::number(freeLoopbackPort(true));
            const QString responds = u"--headless --settings none.ini --port %1 --tls --cert %2 "
                                     "--key %3 --respond-contains ping=pong"_s;
            ChildProgram responder(m_dir.path(), ChildProgram::shell(responds.arg(
                                                     port, made.certificateFile, made.keyFile)));
            QTRY_VERIFY_WITH_TIMEOUT(responder.err.contains("data on port "), 30000);
            const QString file = u"[p]\ndata = ping\nto = tcp 127.0.0.1:%1\ntls = yes\n[s]\n"
                                 "step1 = send p\nstep2 = expect contains pong within 5000\n"_s;
            QVERIFY(writeBytes(m_dir.filePath(u"t.ini"_s), file.arg(port).toUtf8()));
            ChildProgram run(m_dir.path(), ChildProgram::shell(u"--sequence s --packets t.ini "
                                                               "--settings none.ini --tls --pin "_s
                                                               + pin));
            const QString failed = u"Step 1 (send p) failed: tcp 127.0.0.1:%1 tls: TLS handshake"_s;
            QVERIFY2(run.endsWith(pin == made.fingerprint ? 0 : 1), run.err);
            QVERIFY2(pin == made.fingerprint || run.err.contains(failed.arg(port).toUtf8()),
                     run.err);
        }
    }

    // Usage errors end with 2 before anything runs; a name the file lacks with 1.
    void exitCodes_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("err");
        QTest::newRow("with --send") << QStringList{u"--sequence"_s, u"a"_s, u"--send"_s, u"x"_s}
                                     << 2 << u"exclude --headless and --send"_s;
        QTest::newRow("--to with a sequence")
            << QStringList{u"--sequence"_s, u"a"_s, u"--to"_s, u"h:1"_s} << 2
            << u"--to works only with --send or --packet"_s;
        QTest::newRow("two at once")
            << QStringList{u"--packet"_s, u"a"_s, u"--list-packets"_s} << 2 << u"each other"_s;
        QTest::newRow("no such sequence") << QStringList{u"--sequence"_s, u"none"_s} << 1
                                          << u"There is no sequence named none."_s;
        QTest::newRow("refused") << QStringList{u"--packet"_s, u"x"_s, u"--to"_s,
                                                u"127.0.0.1:%1"_s.arg(freeLoopbackPort(true))}
                                 << 1 << u"Step 1 (send x) failed: tcp 127.0.0.1:"_s;
        QTest::newRow("no send before") << QStringList{u"--sequence"_s, u"s"_s} << 1
                                        << u"Step 1 (expect contains y within 100) failed: no "
                                           "send before it"_s;
    }
    void exitCodes() {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, err);
        QVERIFY(writeBytes(m_dir.filePath(u"e.ini"_s),
                           "[x]\ndata = x\n[s]\nstep1 = expect contains y within 100\n"));
        ChildProgram run(
            m_dir.path(),
            arguments + QStringList{u"--settings"_s, u"none.ini"_s, u"--packets"_s, u"e.ini"_s});
        QVERIFY2(run.endsWith(exitCode), run.err);
        QVERIFY2(run.err.contains(err.toUtf8()), run.err);
    }
};

QTEST_GUILESS_MAIN(tst_Sequence)
#include "tst_sequence.moc"
