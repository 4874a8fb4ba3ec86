#include "log/pcapng_writer.h"

#include "model/received_entries.h"

#include <QtEndian>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

constexpr quint32 SectionHeaderBlock = 0x0A0D0D0A;
constexpr quint32 InterfaceBlock = 1;
constexpr quint32 EnhancedPacketBlock = 6;
constexpr quint16 LinkTypeEthernet = 1;
constexpr quint16 CommentOption = 1;
constexpr int EthernetSize = 14;
constexpr int TcpHeaderSize = 20;
constexpr int UdpHeaderSize = 8;

// What one packet carries past its headers: an IPv4 packet holds 65,535 bytes with its own
// header, an IPv6 payload 65,535 bytes after it.
qsizetype mostPayload(bool v6, bool tcp) {
    return 65535 - (v6 ? 0 : 20) - (tcp ? TcpHeaderSize : UdpHeaderSize);
}

// Host order in the blocks (the byte-order magic tells readers), network order in the packet.
template <typename T> void put(QByteArray &out, T value) {
    out.append(reinterpret_cast<const char *>(&value), sizeof value);
}
template <typename T> void putNet(QByteArray &out, T value) {
    put(out, qToBigEndian(value));
}
void pad(QByteArray &out) {
    while (out.size() % 4 != 0)
        out.append('\0');
}

QByteArray block(quint32 type, const QByteArray &body) {
    QByteArray out;
    const auto length = quint32(12 + body.size());
    put(out, type);
    put(out, length);
    out += body;
    put(out, length);
    return out;
}

quint32 sumWords(const char *data, qsizetype size, quint32 sum = 0) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(data);
    for (qsizetype i = 0; i + 1 < size; i += 2)
        sum += quint32(bytes[i] << 8 | bytes[i + 1]);
    if (size % 2 != 0)
        sum += quint32(bytes[size - 1] << 8);
    return sum;
}

quint16 foldSum(quint32 sum) {
    while (sum >> 16)
        sum = (sum & 0xffff) + (sum >> 16);
    return quint16(~sum);
}

QByteArray addressBytes(const QHostAddress &address, bool v6) {
    if (!v6) {
        QByteArray out;
        putNet(out, address.toIPv4Address());
        return out;
    }
    bool isIPv4 = false;
    const quint32 ipv4 = address.toIPv4Address(&isIPv4);
    const Q_IPV6ADDR bytes =
        isIPv4 ? QHostAddress(QStringLiteral("::ffff:%1").arg(QHostAddress(ipv4).toString()))
                     .toIPv6Address()
               : address.toIPv6Address();
    return QByteArray(reinterpret_cast<const char *>(bytes.c), 16);
}

bool isIPv4(const QHostAddress &address) {
    bool ipv4 = false;
    address.toIPv4Address(&ipv4);
    return ipv4;
}

// A chunk's ends as its packets carry them.
struct Ends {
    QByteArray from;
    QByteArray to;
    quint16 fromPort = 0;
    quint16 toPort = 0;
    bool tcp = true;

    QByteArray flow(bool back = false) const {
        const auto port = [](quint16 number) { return QByteArray::number(number); };
        return back ? to + from + port(toPort) + ':' + port(fromPort)
                    : from + to + port(fromPort) + ':' + port(toPort);
    }
};

// Sequence numbers run on per direction; each segment acknowledges what came the other way.
QByteArray tcpHeader(const Ends &ends, QHash<QByteArray, quint32> &sequences, qsizetype size) {
    QByteArray header;
    putNet(header, ends.fromPort);
    putNet(header, ends.toPort);
    quint32 &sequence = sequences[ends.flow()];
    if (sequence == 0)
        sequence = 1;
    putNet(header, sequence);
    putNet(header, std::max<quint32>(1, sequences.value(ends.flow(true))));
    putNet<quint16>(header, 0x5018); // 20-byte header, PSH and ACK
    putNet<quint16>(header, 65535);
    putNet<quint32>(header, 0); // checksum and urgent pointer
    sequence += quint32(size);
    return header;
}

QByteArray udpHeader(const Ends &ends, QByteArrayView payload) {
    QByteArray header;
    putNet(header, ends.fromPort);
    putNet(header, ends.toPort);
    putNet(header, quint16(UdpHeaderSize + payload.size()));
    putNet<quint16>(header, 0);
    return header;
}

// The transport checksum over the pseudo-header, the header and the payload; a UDP sum of 0 is
// sent as 0xFFFF, 0 meaning none.
void checksum(QByteArray &transport, const Ends &ends, QByteArrayView payload) {
    const auto length = quint32(transport.size() + payload.size());
    quint32 sum = sumWords(ends.from.constData(), ends.from.size());
    sum = sumWords(ends.to.constData(), ends.to.size(), sum);
    sum += (ends.tcp ? 6 : 17) + (length & 0xffff) + (length >> 16);
    sum = sumWords(transport.constData(), transport.size(), sum);
    quint16 check = foldSum(sumWords(payload.constData(), payload.size(), sum));
    if (!ends.tcp && check == 0)
        check = 0xffff;
    qToBigEndian(check, transport.data() + (ends.tcp ? 16 : 6));
}

// The Ethernet and IP headers in front of `transportLength` bytes.
QByteArray ipFrame(const Ends &ends, bool v6, quint32 transportLength) {
    QByteArray frame = QByteArray::fromHex("020000000002020000000001");
    putNet<quint16>(frame, v6 ? 0x86DD : 0x0800);
    const char protocol = char(ends.tcp ? 6 : 17);
    if (v6) {
        putNet<quint32>(frame, 0x60000000);
        putNet(frame, quint16(transportLength));
        frame.append(protocol);
        frame.append(char(64));
        return frame + ends.from + ends.to;
    }
    QByteArray ip;
    putNet<quint16>(ip, 0x4500);
    putNet(ip, quint16(20 + transportLength));
    putNet<quint16>(ip, 0);
    putNet<quint16>(ip, 0x4000); // don't fragment
    ip.append(char(64));
    ip.append(protocol);
    putNet<quint16>(ip, 0);
    ip += ends.from + ends.to;
    qToBigEndian(foldSum(sumWords(ip.constData(), ip.size())), ip.data() + 10);
    return frame + ip;
}

// One enhanced packet block; `cut` bytes of the packet were left out of it.
QByteArray packetBlock(const QByteArray &frame, qsizetype cut, qint64 micros,
                       const QString &comment) {
    QByteArray body;
    put<quint32>(body, 0);
    put(body, quint32(quint64(micros) >> 32));
    put(body, quint32(micros));
    put(body, quint32(frame.size()));
    put(body, quint32(frame.size() + cut));
    body += frame;
    pad(body);
    if (!comment.isEmpty()) {
        const QByteArray text = comment.toUtf8().left(65000);
        put(body, CommentOption);
        put(body, quint16(text.size()));
        body += text;
        pad(body);
        put<quint32>(body, 0); // end of options
    }
    return block(EnhancedPacketBlock, body);
}

} // namespace

QByteArray PcapngWriter::header() {
    QByteArray section;
    put<quint32>(section, 0x1A2B3C4D);
    put<quint16>(section, 1);
    put<quint16>(section, 0);
    put<qint64>(section, -1);
    QByteArray interface;
    put(interface, LinkTypeEthernet);
    put<quint16>(interface, 0);
    put<quint32>(interface, 0);
    return block(SectionHeaderBlock, section) + block(InterfaceBlock, interface);
}

bool PcapngWriter::open(const QString &path) {
    m_file.setFileName(path);
    m_sequence.clear();
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        m_error = m_file.errorString();
        return false;
    }
    return writeWhole(header());
}

bool PcapngWriter::write(const CapturedChunk &chunk) {
    if (!m_file.isOpen())
        return false;
    return writeWhole(packets(chunk));
}

// A short write closes the capture, keeping its reason.
bool PcapngWriter::writeWhole(const QByteArray &bytes) {
    if (m_file.write(bytes) != bytes.size()) {
        m_error = m_file.errorString();
        m_file.close();
        return false;
    }
    return true;
}

QByteArray PcapngWriter::packets(const CapturedChunk &chunk) {
    const bool v6 = !isIPv4(chunk.from) || !isIPv4(chunk.to);
    const Ends ends{addressBytes(chunk.from, v6), addressBytes(chunk.to, v6), chunk.fromPort,
                    chunk.toPort, chunk.tcp};
    const qint64 micros = chunk.arrival.toMSecsSinceEpoch() * 1000;
    const qsizetype most = mostPayload(v6, chunk.tcp);
    QByteArray out;
    qsizetype offset = 0;
    // A stream's chunk runs over as many segments as it needs; a datagram is one packet, cut
    // where no IP packet could hold more.
    do {
        const QByteArrayView payload =
            QByteArrayView(chunk.data).sliced(offset, std::min(most, chunk.data.size() - offset));
        QByteArray transport =
            chunk.tcp ? tcpHeader(ends, m_sequence, payload.size()) : udpHeader(ends, payload);
        checksum(transport, ends, payload);
        QByteArray frame = ipFrame(ends, v6, quint32(transport.size() + payload.size()));
        frame += transport;
        frame.append(payload);
        const qsizetype cut = chunk.tcp ? 0 : chunk.data.size() - payload.size();
        out += packetBlock(frame, cut, micros, chunk.comment);
        offset += payload.size();
    } while (chunk.tcp && offset < chunk.data.size());
    return out;
}

CapturedChunk capturedChunk(const ReceivedChunk &chunk, QByteArray data, const QHostAddress &own) {
    CapturedChunk captured{QHostAddress(chunk.peerAddress),
                           quint16(chunk.peerPort),
                           QHostAddress(chunk.toAddress),
                           quint16(chunk.toPort != 0 ? chunk.toPort : chunk.localPort),
                           !chunk.datagram,
                           std::move(data),
                           chunk.arrival,
                           {}};
    if (captured.to.isNull())
        captured.to = own;
    const bool ipv4 = captured.from.protocol() != QAbstractSocket::IPv6Protocol;
    if (captured.to.isNull() && captured.from.isLoopback())
        captured.to = ipv4 ? QHostAddress(QHostAddress::LocalHost)
                           : QHostAddress(QHostAddress::LocalHostIPv6);
    else if (captured.to.isNull())
        captured.to =
            ipv4 ? QHostAddress(QHostAddress::AnyIPv4) : QHostAddress(QHostAddress::AnyIPv6);
    if (captured.from.isNull())
        captured.from = captured.to;
    return captured;
}

QByteArray captureOf(const ReceivedEntries &entries) {
    PcapngWriter writer;
    QByteArray out = PcapngWriter::header();
    entries.forEachChunk([&](const ReceivedChunk &chunk, QByteArrayView kept) {
        out += writer.packets(capturedChunk(chunk, kept.toByteArray()));
    });
    return out;
}
