// Captures as tshark reads them back with every checksum checked: each datagram one packet
// whatever its size, a stream's chunk in the largest segments an IP packet holds.
#include "log/pcapng_writer.h"
#include "support/tshark.h"

#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

using namespace Qt::Literals::StringLiterals;

namespace {

const QStringList Checked{u"-o"_s, u"tcp.check_checksum:TRUE"_s,
                          u"-o"_s, u"udp.check_checksum:TRUE"_s,
                          u"-o"_s, u"ip.check_checksum:TRUE"_s};
// tshark's word for a checksum that is right.
const QString Good = u"1"_s;

// Bytes that differ from their neighbours, none of them 0, so a byte left out of a sum shows.
QByteArray pattern(qsizetype size, int seed) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i)
        bytes[i] = char(1 + (i * 7 + seed) % 251);
    return bytes;
}

CapturedChunk chunk(bool tcp, bool v6, QByteArray data) {
    const QHostAddress from(v6 ? u"2001:db8::1"_s : u"192.0.2.1"_s);
    const QHostAddress to(v6 ? u"2001:db8::2"_s : u"192.0.2.2"_s);
    return {from, 40001, to, 40002, tcp, std::move(data), QDateTime::currentDateTimeUtc(), {}};
}

} // namespace

class tst_Pcapng : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString written(const QByteArray &capture) {
        const QString path = m_dir.filePath(u"c.pcapng"_s);
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(capture) != capture.size())
            return {};
        return path;
    }

private slots:
    void initTestCase() {
        if (!hasTshark())
            QSKIP("tshark is not installed");
    }

    // Each chunk's payload per packet, and every packet's checksums right.
    void readBack_data() {
        QTest::addColumn<bool>("tcp");
        QTest::addColumn<bool>("v6");
        QTest::addColumn<QList<int>>("chunks");
        QTest::addColumn<QList<int>>("packets");
        QTest::newRow("UDP IPv4, odd lengths")
            << false << false << QList{1, 3, 65507} << QList{1, 3, 65507};
        QTest::newRow("UDP IPv6, the IPv4 most and its own")
            << false << true << QList{65507, 65527} << QList{65507, 65527};
        QTest::newRow("UDP IPv4, more than a packet holds")
            << false << false << QList{65508} << QList{65507};
        QTest::newRow("TCP IPv4, 100,000 bytes")
            << true << false << QList{100000, 3} << QList{65495, 34505, 3};
        QTest::newRow("TCP IPv6, 100,000 bytes")
            << true << true << QList{100000, 65515} << QList{65515, 34485, 65515};
    }
    void readBack() {
        QFETCH(bool, tcp);
        QFETCH(bool, v6);
        QFETCH(QList<int>, chunks);
        QFETCH(QList<int>, packets);
        PcapngWriter writer;
        QByteArray capture = PcapngWriter::header();
        QByteArray expected; // what the packets carry
        for (qsizetype i = 0; i < chunks.size(); ++i) {
            const QByteArray data = pattern(chunks[i], int(i));
            expected += tcp ? data : data.left(packets[i]);
            capture += writer.packets(chunk(tcp, v6, data));
        }
        const QString kind = tcp ? u"tcp"_s : u"udp"_s;
        const QStringList lines =
            tsharkFields(written(capture),
                         {tcp ? u"tcp.len"_s : u"udp.length"_s, kind + u".checksum.status"_s,
                          v6 ? u"ipv6.plen"_s : u"ip.checksum.status"_s, kind + u".payload"_s},
                         Checked);
        QCOMPARE(lines.size(), packets.size());
        QByteArray payloads;
        for (qsizetype i = 0; i < lines.size(); ++i) {
            const QStringList fields = lines[i].split(u'\t');
            QCOMPARE(fields.size(), 4);
            const int header = tcp ? 0 : 8;
            QCOMPARE(fields[0], QString::number(packets[i] + header));
            QCOMPARE(fields[1], Good);
            QCOMPARE(fields[2], v6 ? QString::number(packets[i] + (tcp ? 20 : 8)) : Good);
            payloads += QByteArray::fromHex(fields[3].toLatin1());
        }
        QCOMPARE(payloads, expected);
    }

    // A datagram whose sum comes to 0 says so with 0xFFFF, 0 meaning it has no checksum.
    void udpSumOfZero_data() {
        QTest::addColumn<bool>("v6");
        QTest::newRow("IPv4") << false;
        QTest::newRow("IPv6") << true;
    }
    void udpSumOfZero() {
        QFETCH(bool, v6);
        QByteArray data = pattern(100, 5) + QByteArray(2, '\0') + pattern(9, 9);
        // The checksum of the datagram with two bytes at 0, put in those two bytes, brings the
        // sum to 0.
        const qsizetype at = PcapngWriter::header().size() + 28 + 14 + (v6 ? 40 : 20) + 6;
        PcapngWriter writer;
        const QByteArray first = PcapngWriter::header() + writer.packets(chunk(false, v6, data));
        data.replace(100, 2, first.mid(at, 2));
        const QByteArray capture = PcapngWriter::header() + writer.packets(chunk(false, v6, data));
        QCOMPARE(capture.mid(at, 2), QByteArray("\xff\xff"));
        QCOMPARE(tsharkFields(written(capture), {u"udp.checksum.status"_s}, Checked),
                 QStringList{Good});
    }
};

QTEST_GUILESS_MAIN(tst_Pcapng)
#include "tst_pcapng.moc"
