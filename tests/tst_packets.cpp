#include "model/received_entries.h"
#include "respond/answer_template.h"
#include "runtime/checksum.h"
#include "sender/packets.h"
#include "sender/sender.h"
#include "settings/packet_book.h"
#include "support/file_bytes.h"
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

// A file as scripts write it: comments, a bad section between good ones, keys in any case.
const QString Written = u"; saved packets\n"
                        "[ping]\n"
                        "data = ping%CRLF%\n"
                        "to = tcp 127.0.0.1:7000          ; a comment\n"
                        "\n"
                        "[broken]\n"
                        "data = x\n"
                        "to = ftp somewhere\n"
                        "[Ping]\n"
                        "HEX = yes\n"
                        "data = \" 01 03 %CRC16MODBUS%\"\n"
                        "to = peer\n"
                        "; after Ping\n"
                        "[login]\n"
                        "step1 = send ping\n"
                        "step3 = wait 100\n"
                        "step2 = expect contains pong %1 within 2000\n"
                        "repeat = 0\n"
                        "[ping]\n"
                        "data = again\n"
                        "[orphan]\n"
                        "step1 = send nothing\n"
                        "[secure]\ntls = Yes\ndata = s\nto = tcp localhost:7001\n"
                        "[tls udp]\nto = udp 127.0.0.1:9\ntls = yes ; needs tcp\ndata = u\n"
                        "[tls what]\ndata = w\ntls = maybe\n"
                        "[empty]\n"_s;

QByteArray expanded(const QString &text, bool hex = false, qint64 counter = 1) {
    QString error;
    const AnswerTemplate compiled = AnswerTemplate::compile(text, hex, &error);
    [&] { QVERIFY2(error.isEmpty(), qPrintable(error)); }();
    return compiled.expand({}, {}, counter);
}

} // namespace

class tst_Packets : public QObject {
    Q_OBJECT

private slots:
    void checkValues() {
        for (const Checksum &checksum : Checksum::catalogue())
            QCOMPARE(checksum.compute("123456789"), checksum.parameters().check);
    }

    // What a text with fields puts on the wire after "123456789" (when it begins so), as hex.
    void fields_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("hex");
        // clang-format off
        const QList<std::pair<QString, QByteArray>> rows{
            {"123456789%SUM8%", "dd"}, {"123456789%XOR8%", "31"}, {"123456789%CRC8%", "f4"},
            {"123456789%CRC16MODBUS%", "374b"}, {"123456789%CRC16MODBUS_BE%", "4b37"},
            {"123456789%CRC16CCITT%", "29b1"}, {"123456789%CRC16CCITT_LE%", "b129"},
            {"123456789%CRC16XMODEM%", "31c3"}, {"123456789%CRC32%", "2639f4cb"},
            {"123456789%CRC32_BE%", "cbf43926"}, {"123456789%CRC32C%", "839206e3"},
            // a marker starts the covered bytes anew; a checksum covers the fields before it
            {"AB%[%123456789%CRC16XMODEM%", "4142313233343536373839" "31c3"}, {"\x01%SUM8%%SUM8%", "010102"},
            // no field: one byte has no order, an unknown or lower-case name is text
            {"%SUM8_LE%", "2553554d385f4c4525"}, {"%CRC16%", "25435243313625"},
            {"%crc8%", "256372633825"},
            // lengths run to the next %]% or the end, across the fields after them
            {"%LEN8%abc", "03616263"}, {"%LEN16BE%abc%]%z", "00036162637a"},
            {"%LEN16LE%a%CRC16XMODEM%", "030061" "25d7"}, {"%LEN32BE%", "00000000"},
            {"%LEN32LE%ab", "020000006162"}, {"%LEN8%%x00%", "0100"},
            {"%SEQ%-%SEQ8%%SEQ16BE%", "372d070007"},
        };
        // clang-format on
        for (const auto &[text, hex] : rows)
            QTest::newRow(qPrintable(text)) << text << hex;
    }
    void fields() {
        QFETCH(QString, text);
        QFETCH(QByteArray, hex);
        const QByteArray bytes = expanded(text, false, 7);
        QCOMPARE(bytes.mid(text.startsWith(u"123456789") ? 9 : 0).toHex(), hex);
    }

    // Lengths over their ranges: a field holds the low bytes of the count.
    void lengthRanges_data() {
        QTest::addColumn<QString>("field");
        QTest::addColumn<int>("count");
        QTest::addColumn<QByteArray>("hex");
        QTest::newRow("LEN8 255") << "LEN8" << 255 << QByteArray("ff");
        QTest::newRow("LEN8 256 wraps") << "LEN8" << 256 << QByteArray("00");
        QTest::newRow("LEN16BE 65535") << "LEN16BE" << 65535 << QByteArray("ffff");
        QTest::newRow("LEN16LE 258") << "LEN16LE" << 258 << QByteArray("0201");
        QTest::newRow("LEN32BE 65536") << "LEN32BE" << 65536 << QByteArray("00010000");
        QTest::newRow("LEN32LE 70000") << "LEN32LE" << 70000 << QByteArray("70110100");
    }
    void lengthRanges() {
        QFETCH(QString, field);
        QFETCH(int, count);
        QFETCH(QByteArray, hex);
        const QByteArray bytes = expanded(u"%%1%"_s.arg(field) + QString(count, u'x'));
        QCOMPARE(bytes.size(), count + hex.size() / 2);
        QCOMPARE(bytes.first(hex.size() / 2).toHex(), hex);
    }

    // Hex data takes the fields between its pairs.
    void hexWithFields() {
        QCOMPARE(expanded(u"01 03 00 00 00 0A %CRC16MODBUS%"_s, true).toHex(), "01030000000ac5cd");
    }

    // The send box sends a field's name as typed until Computed Fields is switched on.
    void sendBoxFieldsAreOptIn() {
        ProgramFixture f;
        QUdpSocket peer;
        QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
        f.form().optTCP[1]->setValue(1);
        f.form().txtSendIP.setText(u"127.0.0.1"_s);
        f.form().txtListenPort.setText(QString::number(peer.localPort()));
        for (const bool on : {false, true}) {
            f.program().sender().setComputedFields(on);
            f.form().txtSendData.setText(u"A\n%SUM8%"_s);
            f.form().btnSendData.Click();
            QTRY_VERIFY(peer.hasPendingDatagrams());
            QCOMPARE(peer.receiveDatagram().data(), on ? "A\r\nX" : "A\r\n%SUM8%");
        }
    }

    // "to = peer": the listener's TCP peer gets the packet, and its answer meets the expect.
    void peerTarget() {
        ProgramFixture f;
        QTcpSocket peer;
        peer.connectToHost(QHostAddress::LocalHost, startListener(f.form(), true));
        QTRY_VERIFY(f.program().sender().peerReachable());
        Packets &packets = f.program().packets();
        packets.book().read(u"[hi]\ndata = hi %SEQ%\nto = peer\n"
                            "[talk]\nstep1 = send hi\nstep2 = expect ends ho within 5000\n"_s);
        QSignalSpy finished(&packets, &Packets::finished);
        QVERIFY(packets.run(u"talk"_s));
        QVERIFY2(finished.isEmpty(), qPrintable(finished.value(0).value(2).toString()));
        QTRY_COMPARE(peer.bytesAvailable(), 4);
        QCOMPARE(peer.readAll(), "hi 1");
        QVERIFY2(finished.isEmpty(), qPrintable(finished.value(0).value(2).toString()));
        peer.write("ho");
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(finished[0][1].toBool(), true);
        // Copy as Command Line gives a run with a tls packet the window's client options.
        TlsOptions tls;
        tls.caFile = u"/c a"_s;
        f.program().configuration().setClientTls(tls);
        packets.book().read(u"[a]\ndata = a\nto = tcp h:1\ntls = yes\n[s]\nstep1 = send a\n"_s);
        QVERIFY(packets.commandLine(u"s"_s).endsWith(u"--tls --ca '/c a'"_s));
    }

    // "Save Chunk as Packet...": the chunk shown at a place counted from the end, as text where
    // it is text, hex pairs where not.
    void chunkUnderTheCursor() {
        ReceivedEntries entries(1024);
        entries.addChunk({"ab%", {}, {}, 0});
        entries.addNote(u"note"_s);
        entries.addChunk({"de\r\n", {}, {}, 0});
        const ShowOptions text;
        QCOMPARE(entries.chunkShownAt(0, text), QByteArray("de\r\n"));
        QCOMPARE(entries.chunkShownAt(1000, text), std::nullopt);
        const std::optional<QByteArray> first = entries.chunkShownAt(9, text);
        QCOMPARE(first, QByteArray("ab%"));
        QCOMPARE(Packets::bytesPacket("de\r\n\t").data, u"de%CRLF%%TAB%"_s);
        const PacketEntry hex = Packets::bytesPacket(*first);
        QVERIFY(hex.hex);
        QCOMPARE(hex.data, u"61 62 25"_s);
    }

    void fileReadsGoodSectionsAndReportsBadOnes() {
        PacketBook book;
        book.read(Written);
        QStringList names;
        for (const PacketEntry &entry : book.entries())
            names.append(entry.name);
        QCOMPARE(names, (QStringList{u"ping"_s, u"Ping"_s, u"login"_s, u"secure"_s}));
        QCOMPARE(
            book.problems(),
            (QStringList{u" line 8: [broken] 'to' needs tcp HOST:PORT, udp HOST:PORT"
                         " or peer, not 'ftp somewhere'"_s,
                         u" line 19: [ping] is named like the section on line 2"_s,
                         u" line 21: [orphan] step 'send nothing' sends no packet of the file"_s,
                         u" line 29: [tls udp] tls = yes is for a packet sent to tcp HOST:PORT"_s,
                         u" line 33: [tls what] tls is yes or no, not 'maybe'"_s,
                         u" line 34: [empty] has neither data nor steps"_s}));
        const PacketEntry *ping = book.find(u"Ping"_s);
        QVERIFY(ping && ping->hex);
        QCOMPARE(ping->data, u" 01 03 %CRC16MODBUS%"_s);
        QCOMPARE(ping->to.kind, PacketTarget::Kind::Peer);
        QCOMPARE(book.find(u"ping"_s)->to.text(), u"tcp 127.0.0.1:7000"_s);
        const PacketEntry *login = book.find(u"login"_s);
        QCOMPARE(login->repeat, 0);
        QCOMPARE(login->steps.size(), 3);
        QCOMPARE(login->steps[1].toText(), u"expect contains pong %1 within 2000"_s);
        QCOMPARE(login->steps[2].ms, 100);
    }

    // A section whose data could not be sent, or whose pin is none, is told with its line.
    void badSection_data() {
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("problem"); // empty: the section is taken
        QTest::newRow("data not hex") << u"[h]\nhex = yes\n\ndata = 0G 11\n"_s
                                      << u" line 4: [h] data is hex pairs and tokens, not '0G 11' "
                                         "(not valid hex at character 2: G)"_s;
        QTest::newRow("hex after the data")
            << u"[h]\ndata = 01 %CR% 2\nhex = yes\n"_s
            << u" line 2: [h] data is hex pairs and tokens, not '01 %CR% 2' (not valid hex at "
               "character 9: 2 has no second digit)"_s;
        const QString longHex = QString(300, u'a') + u'G';
        QTest::newRow("long data not hex")
            << u"[h]\nhex = yes\ndata = "_s + longHex + u'\n'
            << u" line 3: [h] data is hex pairs and tokens, not '"_s + longHex.left(200)
                   + u"... (301 bytes)' (not valid hex at character 301: G)"_s;
        QTest::newRow("hex with tokens") << u"[h]\nhex = yes\ndata = 01 %CR%%1 ff\n"_s << QString();
        QTest::newRow("text that is no hex") << u"[h]\nhex = no\ndata = 0G\n"_s << QString();
        QTest::newRow("pin 0") << u"[p]\ndata = x\npin = 0\n"_s
                               << u" line 3: [p] pin is a number from 1 to 9, not '0'"_s;
        QTest::newRow("pin 9") << u"[p]\ndata = x\npin = 9\n"_s << QString();
    }
    void badSection() {
        QFETCH(QString, section);
        QFETCH(QString, problem);
        PacketBook book;
        book.read(section);
        QCOMPARE(book.problems(), problem.isEmpty() ? QStringList() : QStringList{problem});
        QCOMPARE(book.entries().size(), problem.isEmpty() ? 1 : 0);
        // What the file may not hold, an edit may not put.
        PacketEntry entry;
        entry.name = u"e"_s;
        entry.hex = section.contains(u"hex = yes"_s);
        entry.data = section.section(u"data = "_s, 1).section(u'\n', 0, 0);
        QCOMPARE(book.put(entry), !entry.hex || problem.isEmpty());
    }

    // A file that is no text is not read, says so, and is never written over.
    void binaryFile() {
        QTemporaryDir dir;
        const QString path = dir.filePath(u"p.bin"_s);
        const QByteArray bytes("\x89PNG\r\n\x1a\n[x]\ndata = y\n\0\0\0\rIHDR", 29);
        QVERIFY(writeBytes(path, bytes));
        PacketBook book;
        QString problem;
        QVERIFY(!book.load(path, &problem));
        QCOMPARE(problem, u"it is binary, not text (byte 22 is 0)"_s);
        QVERIFY(book.entries().isEmpty());
        PacketEntry entry;
        entry.name = u"new"_s;
        entry.data = u"x"_s;
        QVERIFY(book.put(entry));
        QVERIFY(!book.save());
        QCOMPARE(fileBytes(path), bytes);
    }

    // An edit rewrites its own section only; what a section becomes reads back as it was.
    void roundTrip() {
        PacketBook book;
        book.read(Written);
        PacketEntry ping = *book.find(u"Ping"_s);
        QCOMPARE(PacketBook::sectionText(ping),
                 u"[Ping]\nhex = yes\ndata = \" 01 03 %CRC16MODBUS%\"\nto = peer\n"_s);
        QCOMPARE(PacketBook::sectionText(*book.find(u"secure"_s)),
                 u"[secure]\ndata = s\nto = tcp localhost:7001\ntls = yes\n"_s);
        ping.name = u"pong"_s;
        ping.to = {PacketTarget::Kind::Udp, u"::1"_s, 9};
        QVERIFY(book.put(ping, u"Ping"_s));
        QVERIFY(!book.put(ping, u"ping"_s)); // the name is taken
        QVERIFY(book.remove(u"empty"_s));
        PacketEntry copy = ping;
        copy.name = u"copy"_s;
        copy.pin = 4;
        copy.to.tls = true;
        QVERIFY(!book.put(copy)); // TLS is for tcp
        copy.to.tls = false;
        QVERIFY(book.put(copy));
        QString expected = Written;
        expected.replace(u"[Ping]\nHEX = yes\n"_s, u"[pong]\nhex = yes\n"_s)
            .replace(u"to = peer"_s, u"to = udp [::1]:9"_s)
            .replace(u"[empty]\n"_s, u"\n[copy]\nhex = yes\ndata = \" 01 03 %CRC16MODBUS%\""
                                     "\nto = udp [::1]:9\npin = 4\n"_s);
        QCOMPARE(book.text(), expected);
        PacketBook again;
        again.read(book.text());
        QCOMPARE(*again.find(u"pong"_s), ping);
        QCOMPARE(*again.find(u"copy"_s), copy);
        QCOMPARE(*again.find(u"login"_s), *book.find(u"login"_s));
    }

    // Written only when changed, and never half: a failed write leaves the old file.
    void saving() {
        QTemporaryDir dir;
        const QString path = PacketBook::besideSettings(dir.filePath(u"Sendrel_Settings.ini"_s));
        QCOMPARE(QFileInfo(path).fileName(), u"Sendrel_Packets.ini"_s);
        QVERIFY(writeBytes(path, Written.toUtf8()));
        const QDateTime written = QFileInfo(path).lastModified();
        PacketBook book;
        QVERIFY(book.load(path));
        QVERIFY(book.save());
        QCOMPARE(QFileInfo(path).lastModified(), written);
        QCOMPARE(fileBytes(path), Written.toUtf8());
        PacketEntry big;
        big.name = u"big"_s;
        big.data = QString(4096, u'x');
        QVERIFY(book.put(big));
        bool saved = true;
        QString problem;
        withFileSizeLimit(Written.size() + 100, [&] { saved = book.save(&problem); });
        QVERIFY(!saved);
        QVERIFY(!problem.isEmpty());
        QCOMPARE(fileBytes(path), Written.toUtf8());
        QVERIFY(book.save());
        PacketBook again;
        QVERIFY(again.load(path));
        QCOMPARE(again.find(u"big"_s)->data, big.data);
    }
};

QTEST_GUILESS_MAIN(tst_Packets)
#include "tst_packets.moc"
