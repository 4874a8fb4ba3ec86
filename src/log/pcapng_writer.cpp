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
// What one IP packet can carry.
constexpr qsizetype MostPayload = 65535 - 40 - TcpHeaderSize;

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
    const QByteArray start = header();
    if (m_file.write(start) != start.size()) {
        m_error = m_file.errorString();
        m_file.close();
        return false;
    }
    return true;
}

bool PcapngWriter::write(const CapturedChunk &chunk) {
    if (!m_file.isOpen())
        return false;
    const QByteArray blocks = packets(chunk);
    if (m_file.write(blocks) != blocks.size()) {
        m_error = m_file.errorString();
        m_file.close();
        return false;
    }
    return true;
}

QByteArray PcapngWriter::packets(const CapturedChunk &chunk) {
    const bool v6 = !isIPv4(chunk.from) || !isIPv4(chunk.to);
    const QByteArray from = addressBytes(chunk.from, v6);
    const QByteArray to = addressBytes(chunk.to, v6);
    const QByteArray flow =
        from + to + QByteArray::number(chunk.fromPort) + u':' + QByteArray::number(chunk.toPort);
    const QByteArray back =
        to + from + QByteArray::number(chunk.toPort) + u':' + QByteArray::number(chunk.fromPort);
    const qint64 micros = chunk.arrival.toMSecsSinceEpoch() * 1000;
    QByteArray out;
    qsizetype offset = 0;
    do {
        const qsizetype size = std::min(MostPayload, chunk.data.size() - offset);
        const char *payload = chunk.data.constData() + offset;
        // The transport header, its checksum over the pseudo-header.
        QByteArray transport;
        putNet(transport, chunk.fromPort);
        putNet(transport, chunk.toPort);
        if (chunk.tcp) {
            quint32 &sequence = m_sequence[flow];
            if (sequence == 0)
                sequence = 1;
            const quint32 acknowledged = std::max<quint32>(1, m_sequence.value(back));
            putNet(transport, sequence);
            putNet(transport, acknowledged);
            putNet<quint16>(transport, 0x5018); // 20-byte header, PSH and ACK
            putNet<quint16>(transport, 65535);
            putNet<quint16>(transport, 0);
            putNet<quint16>(transport, 0);
            sequence += quint32(size);
        } else {
            putNet(transport, quint16(UdpHeaderSize + size));
            putNet<quint16>(transport, 0);
        }
        const auto transportLength = quint32(transport.size() + size);
        quint32 sum = sumWords(from.constData(), from.size());
        sum = sumWords(to.constData(), to.size(), sum);
        sum += (chunk.tcp ? 6 : 17) + (transportLength & 0xffff) + (transportLength >> 16);
        sum = sumWords(transport.constData(), transport.size(), sum);
        quint16 check = foldSum(sumWords(payload, size, sum));
        if (!chunk.tcp && check == 0)
            check = 0xffff;
        const int checkAt = chunk.tcp ? 16 : 6;
        qToBigEndian(check, transport.data() + checkAt);

        QByteArray frame;
        frame += QByteArray::fromHex("020000000002020000000001");
        putNet<quint16>(frame, v6 ? 0x86DD : 0x0800);
        if (v6) {
            putNet<quint32>(frame, 0x60000000);
            putNet(frame, quint16(transportLength));
            frame.append(char(chunk.tcp ? 6 : 17));
            frame.append(char(64));
            frame += from + to;
        } else {
            QByteArray ip;
            putNet<quint16>(ip, 0x4500);
            putNet(ip, quint16(20 + transportLength));
            putNet<quint16>(ip, 0);
            putNet<quint16>(ip, 0x4000); // don't fragment
            ip.append(char(64));
            ip.append(char(chunk.tcp ? 6 : 17));
            putNet<quint16>(ip, 0);
            ip += from + to;
            qToBigEndian(foldSum(sumWords(ip.constData(), ip.size())), ip.data() + 10);
            frame += ip;
        }
        frame += transport;
        frame.append(payload, size);

        QByteArray body;
        put<quint32>(body, 0);
        put(body, quint32(quint64(micros) >> 32));
        put(body, quint32(micros));
        put(body, quint32(frame.size()));
        put(body, quint32(frame.size()));
        body += frame;
        pad(body);
        if (!chunk.comment.isEmpty()) {
            const QByteArray comment = chunk.comment.toUtf8().left(65000);
            put(body, CommentOption);
            put(body, quint16(comment.size()));
            body += comment;
            pad(body);
            put<quint32>(body, 0); // end of options
        }
        out += block(EnhancedPacketBlock, body);
        offset += size;
    } while (offset < chunk.data.size());
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
