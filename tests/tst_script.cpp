#include "listener/listener.h"
#include "net/link.h"
#include "script/script_runner.h"
#include "support/loopback.h"
#include "support/program_fixture.h"

#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QUdpSocket>

using namespace Qt::Literals::StringLiterals;

namespace {

// A link that keeps what the script sends and whether it closed it.
class FakeLink final : public Link {
public:
    QString farAddress() const override { return u"127.0.0.1"_s; }
    int farPort() const override { return 4000; }
    int nearPort() const override { return 5000; }
    bool datagrams() const override { return false; }
    Phase phase() const override { return open ? Phase::Open : Phase::Closed; }
    QString failure() const override { return {}; }
    bool send(const QByteArray &bytes) override {
        sent += bytes;
        return true;
    }
    qint64 bytesSent() const override { return sent.size(); }
    QString chunkSecurity() const override { return {}; }

    QByteArray sent;
    bool open = true;
    int closes = 0;
};

struct Note {
    QString text;
    bool error = false;
};

} // namespace

class tst_Script : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    ScriptRunner m_runner;
    QList<Note> m_notes;

    QString write(const QByteArray &source, const QString &name = u"test.js"_s) {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return {};
        file.write(source);
        return path;
    }
    bool load(const QByteArray &source) {
        m_notes.clear();
        return m_runner.load(write(source));
    }
    QStringList notes(bool errorsOnly = false) const {
        QStringList texts;
        for (const Note &note : m_notes)
            if (note.error || !errorsOnly)
                texts.append(note.text);
        return texts;
    }
    bool receive(FakeLink &link, const QByteArray &data) {
        return m_runner.receive(link, data, {nullptr, [&link] { ++link.closes; }});
    }

private slots:
    void initTestCase() {
        m_runner.setNotes([this](const QString &text, bool error) {
            m_notes.append({text, error});
        });
    }
    void init() {
        m_runner.setTimeLimit(ScriptRunner::DefaultTimeLimitMs);
        m_runner.setMemoryLimit(ScriptRunner::DefaultMemoryLimit);
    }

    void receive_helpers_data() {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("chunk");
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<bool>("handled");
        QTest::newRow("text") << "l.send(d.text().toUpperCase());"_ba
                              << "abc"_ba
                              << "ABC"_ba << false;
        QTest::newRow("hex of the chunk") << "l.send(d.hex());"_ba
                                          << "\x01\xab"_ba
                                          << "01 AB"_ba << false;
        QTest::newRow("hex of text") << "l.send(hex('Hi'));"_ba
                                     << "x"_ba
                                     << "48 69"_ba << false;
        QTest::newRow("at, from either end") << "l.send([d.at(0) + 1, d.at(-1), d.length]);"_ba
                                             << "\x01\x02\x07"_ba
                                             << "\x02\x07\x03"_ba << false;
        QTest::newRow("fromHex") << "l.send(fromHex('48 69 21'));"_ba
                                 << "x"_ba
                                 << "Hi!"_ba << false;
        QTest::newRow("fromHex bytes have helpers") << "l.send(fromHex('4869').text());"_ba
                                                    << "x"_ba
                                                    << "Hi"_ba << false;
        QTest::newRow("crc16modbus low byte first")
            << "const c = crc16modbus(d); l.send([c & 0xff, c >> 8]);"_ba
            << "123456789"_ba
            << "\x37\x4b"_ba << false;
        QTest::newRow("checksum by name") << "l.send(String(checksum('crc32', d)));"_ba
                                          << "123456789"_ba
                                          << "3421780262"_ba << false;
        QTest::newRow("unknown checksum") << "l.send(String(checksum('CRC99', d)));"_ba
                                          << "1"_ba
                                          << "NaN"_ba << false;
        QTest::newRow("a typed array slice") << "l.send(d.subarray(1, 3));"_ba
                                             << "abcd"_ba
                                             << "bc"_ba << false;
        QTest::newRow("the link's ends")
            << "l.send(l.farAddress + ':' + l.farPort + '>' + l.nearPort + ' ' + l.datagrams);"_ba
            << "x"_ba
            << "127.0.0.1:4000>5000 false"_ba << false;
        QTest::newRow("handled") << "l.send('a'); return 'handled';"_ba
                                 << "x"_ba
                                 << "a"_ba << true;
        QTest::newRow("any other answer") << "return 'Handled';"_ba
                                          << "x"_ba
                                          << ""_ba << false;
        QTest::newRow("nothing in reach")
            << "l.send([typeof require, typeof XMLHttpRequest, typeof Qt, typeof console, "
               "typeof print, typeof readFile].join());"_ba
            << "x"_ba
            << "undefined,undefined,undefined,undefined,undefined,undefined"_ba << false;
    }
    void receive_helpers() {
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, chunk);
        QFETCH(QByteArray, sent);
        QFETCH(bool, handled);
        QVERIFY(load("function onReceive(l, d) {\n" + body + "\n}\n"));
        FakeLink link;
        QCOMPARE(receive(link, chunk), handled);
        QCOMPARE(link.sent, sent);
        QCOMPARE(notes(true), QStringList());
    }

    // The script keeps its own state, and sees a link as the same object from call to call.
    void state_keptBetweenCalls() {
        QVERIFY(load("let n = 0, first = null;\n"
                     "function onReceive(l, d) { first = first || l; n += d.length;\n"
                     "  l.send(String(n) + (first === l)); log('got ' + d.text()); }\n"));
        FakeLink link;
        receive(link, "ab");
        receive(link, "cde");
        QCOMPARE(link.sent, "2true5true"_ba);
        QCOMPARE(notes(), (QStringList{u"Script: got ab"_s, u"Script: got cde"_s}));
    }

    void connectCloseAndTimer() {
        QVERIFY(load("let kept;\n"
                     "function onConnect(l) { kept = l; l.send('hi'); setTimer(1); }\n"
                     "function onTimer() { kept.send('tick'); }\n"
                     "function onClose(l) { log('closed ' + l.open); l.close(); }\n"));
        FakeLink link;
        m_runner.connected(link, {nullptr, [&link] { ++link.closes; }});
        QCOMPARE(link.sent, "hi"_ba);
        QTRY_COMPARE(link.sent, "hitick"_ba);
        link.open = false;
        m_runner.closed(link);
        QCOMPARE(notes(), QStringList{u"Script: closed false"_s});
        QCOMPARE(link.closes, 1);
        // A link gone stays in the script's hands, reaching nothing.
        QVERIFY(receive(link, "x") == false);
    }

    void close_byTheScript() {
        QVERIFY(load("function onReceive(l) { l.close(); l.close(); return l.send('late'); }"));
        FakeLink link;
        receive(link, "x");
        QCOMPARE(link.closes, 1);
        QCOMPARE(link.sent, QByteArray());
    }

    void loopForever_interruptedAndTheNextCallRuns() {
        m_runner.setTimeLimit(20);
        QVERIFY(load("function onReceive(l, d) { if (d.text() === 'loop') for (;;) {}\n"
                     "  l.send('ok'); }"));
        FakeLink link;
        QCOMPARE(receive(link, "loop"), false);
        QCOMPARE(m_runner.interruptions(), 1);
        QCOMPARE(notes(true).size(), 1);
        QVERIFY2(
            notes(true).constFirst().endsWith(u"onReceive ran past 20 ms and was interrupted"_s),
            qPrintable(notes(true).constFirst()));
        receive(link, "x");
        QCOMPARE(link.sent, "ok"_ba);
        QVERIFY(m_runner.isLoaded());
    }

    void loopAtLoad_refused() {
        m_runner.setTimeLimit(20);
        QVERIFY(!load("while (true) {}"));
        QVERIFY(m_runner.lastError().contains(u"the top level ran past 20 ms"_s));
        QVERIFY(!m_runner.isLoaded());
    }

    void allocateWithoutEnd_stopped() {
        m_runner.setTimeLimit(60000);
        m_runner.setMemoryLimit(qint64(64) << 20);
        QVERIFY(load("const kept = [];\n"
                     "function onReceive() { for (;;) kept.push(new Array(100000).fill(1.5)); }"));
        FakeLink link;
        receive(link, "x");
        QVERIFY(!m_runner.isLoaded());
        QCOMPARE(notes(true).size(), 1);
        QVERIFY2(
            notes(true).constFirst().contains(u"stopped: onReceive grew the program past 64 MiB"_s),
            qPrintable(notes(true).constFirst()));
        QCOMPARE(receive(link, "x"), false);
    }

    void errors_fileLineOncePerKind() {
        QVERIFY(load("function onReceive(l, d) {\n"
                     "    if (d.text() === 'a') throw new Error('bad a');\n"
                     "    undefinedCall();\n"
                     "}\n"));
        FakeLink link;
        for (const QByteArray &chunk : {"a"_ba, "a"_ba, "b"_ba, "a"_ba, "b"_ba})
            receive(link, chunk);
        const QString file = m_dir.filePath(u"test.js"_s);
        QCOMPARE(
            notes(true),
            (QStringList{
                u"Script error: %1:2: Error: bad a"_s.arg(file),
                u"Script error: %1:3: ReferenceError: undefinedCall is not defined"_s.arg(file)}));
    }

    void syntaxError_refusedWithItsLine() {
        QVERIFY(!load("let a = 1;\nlet b = ;\nlet c = 2;\n"));
        QVERIFY2(m_runner.lastError().startsWith(
                     u"Script error: %1:2: SyntaxError"_s.arg(m_dir.filePath(u"test.js"_s))),
                 qPrintable(m_runner.lastError()));
        QVERIFY(!m_runner.isLoaded());
    }

    // Neither a module nor a file: an import is no part of a plain script, even through eval.
    void moduleImport_readsNoFile() {
        write("export const s = 'secret';", u"secret.mjs"_s);
        QVERIFY(!load("import { s } from './secret.mjs';\n"));
        QVERIFY2(m_runner.lastError().contains(u"SyntaxError"_s), qPrintable(m_runner.lastError()));
        QVERIFY(load(
            "function onReceive(l) { try { eval(\"import('./secret.mjs')\"); l.send('ran'); }\n"
            "  catch (e) { l.send(e.name); } }"));
        FakeLink link;
        receive(link, "x");
        QCOMPARE(link.sent, "SyntaxError"_ba);
    }

    void modbusExample_data() {
        QTest::addColumn<QByteArrayList>("chunks");
        QTest::addColumn<QByteArray>("sent");
        const QByteArray read01 = "\x01\x03\x00\x00\x00\x02\xc4\x0b"_ba;
        const QByteArray registers01 = "\x01\x03\x04\x00\x00\x00\x01\x3b\xf3"_ba;
        const QByteArray write5 = "\x01\x06\x00\x05\x12\x34\x94\xbc"_ba;
        const QByteArray several = "\x01\x10\x00\x62\x00\x02\x04\xab\xcd\x00\x01\x04\x45"_ba;
        QTest::newRow("read") << QByteArrayList{read01} << registers01;
        QTest::newRow("write, then read it back")
            << QByteArrayList{write5, "\x01\x03\x00\x04\x00\x03\x44\x0a"_ba}
            << write5 + "\x01\x03\x06\x00\x04\x12\x34\x00\x06\x14\x01"_ba;
        QTest::newRow("write several, split, then read")
            << QByteArrayList{several.left(5), several.mid(5),
                              "\x01\x03\x00\x62\x00\x02\x65\xd5"_ba}
            << "\x01\x10\x00\x62\x00\x02\xe0\x16\x01\x03\x04\xab\xcd\x00\x01\x8a\x28"_ba;
        QTest::newRow("two in one chunk")
            << QByteArrayList{read01 + read01} << registers01 + registers01;
        QTest::newRow("past the last register")
            << QByteArrayList{"\x01\x03\x00\x63\x00\x02\x34\x15"_ba} << "\x01\x83\x02\xc0\xf1"_ba;
        QTest::newRow("unknown function")
            << QByteArrayList{"\x01\x04\x00\x00\x00\x01\x31\xca"_ba} << "\x01\x84\x01\x82\xc0"_ba;
        QTest::newRow("another unit's")
            << QByteArrayList{"\x02\x03\x00\x00\x00\x01\x84\x39"_ba, read01} << registers01;
        QTest::newRow("wrong crc dropped")
            << QByteArrayList{"\x01\x03\x00\x00\x00\x02\xc4\x0c"_ba, read01} << registers01;
    }
    void modbusExample() {
        QFETCH(QByteArrayList, chunks);
        QFETCH(QByteArray, sent);
        m_notes.clear();
        QVERIFY(m_runner.load(QStringLiteral(SENDREL_EXAMPLES "/modbus_server.js")));
        FakeLink link;
        for (const QByteArray &chunk : chunks)
            QVERIFY(receive(link, chunk));
        QCOMPARE(link.sent.toHex(' '), sent.toHex(' '));
        QCOMPARE(notes(true), QStringList());
    }

    // The listener's road: the script answers before the pairs, "handled" keeps them from the
    // chunk, a loop does not stop the next chunk's answer, and it hears the peer come and go.
    void listener_scriptBeforePairs() {
        ProgramFixture fixture;
        Form &form = fixture.form();
        const quint16 port = startListener(form, true);
        answerPingWithPong(form);
        const QString path = write("let calls = 0;\n"
                                   "function onConnect(l) { l.send('hello;'); }\n"
                                   "function onReceive(l, d) { log('call ' + ++calls);\n"
                                   "  if (calls === 1) return 'handled';\n"
                                   "  if (calls === 2) for (;;) {}\n"
                                   "  l.send('[s]'); }\n"
                                   "function onClose(l) { log('bye ' + l.farPort); }\n");
        QCOMPARE(fixture.program().loadScript(path, 20), QString());
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(peer.bytesAvailable(), qint64(6));
        QCOMPARE(peer.readAll(), "hello;"_ba);
        for (int call = 1; call <= 3; ++call) {
            peer.write("ping");
            QTRY_VERIFY(form.txtNetData.text().contains(u"Script: call %1"_s.arg(call)));
        }
        QVERIFY(form.txtNetData.text().contains(u"onReceive ran past 20 ms"_s));
        QTRY_COMPARE(peer.bytesAvailable(), qint64(6 + 9));
        QCOMPARE(peer.readAll(), "pong\r\n[s]pong\r\n"_ba);
        const int localPort = peer.localPort();
        peer.disconnectFromHost();
        QTRY_VERIFY(form.txtNetData.text().contains(u"Script: bye %1"_s.arg(localPort)));
    }

    // One datagram link, many senders: each answer goes to, and names, the one that sent.
    void listener_datagramsAnsweredToEachSender() {
        ProgramFixture fixture;
        const quint16 port = startListener(fixture.form(), false);
        const QString path = write("function onReceive(l, d) { l.send(d.text() + l.farPort); }");
        QCOMPARE(fixture.program().loadScript(path, 50), QString());
        QUdpSocket first, second;
        for (QUdpSocket *sender : {&first, &second}) {
            QVERIFY(sender->bind(QHostAddress::LocalHost, 0));
            sender->writeDatagram("from ", QHostAddress::LocalHost, port);
            QTRY_VERIFY(sender->hasPendingDatagrams());
            QCOMPARE(sender->receiveDatagram().data(),
                     "from " + QByteArray::number(sender->localPort()));
        }
    }
};

QTEST_GUILESS_MAIN(tst_Script)
#include "tst_script.moc"
