#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QHash>
#include <QHostAddress>
#include <QString>

// One captured chunk: who sent it to whom, over TCP or UDP, when, and a comment (for example that
// it was answered) or none.
struct CapturedChunk {
    QHostAddress from;
    quint16 fromPort = 0;
    QHostAddress to;
    quint16 toPort = 0;
    bool tcp = true;
    QByteArray data;
    QDateTime arrival;
    QString comment;
};

// Chunks as a pcapng capture that Wireshark and tshark read: each chunk one packet (a TCP chunk
// larger than an IP packet holds several segments; a datagram is always one) with made-up Ethernet,
// IPv4 or IPv6 and TCP or UDP headers carrying the real addresses and ports, TCP sequence numbers
// running on per direction, and the arrival time. An IPv4 end talking to an IPv6 one is written as
// ::ffff:a.b.c.d.
class ReceivedEntries;
struct ReceivedChunk;

// A received chunk as it is captured, with `data` (what is kept of it): its ends, TCP or UDP, its
// arrival. The end it came to, when the chunk does not name it, is `own` (the address the listener
// is bound to) or, for a listener on all addresses, loopback for a loopback sender and else the
// unspecified address.
CapturedChunk capturedChunk(const ReceivedChunk &chunk, QByteArray data,
                            const QHostAddress &own = {});
// The received chunks held as a pcapng capture.
QByteArray captureOf(const ReceivedEntries &entries);

class PcapngWriter {
public:
    PcapngWriter() = default;
    Q_DISABLE_COPY_MOVE(PcapngWriter)

    // The file anew with its header; false with error() saying why.
    bool open(const QString &path);
    bool isOpen() const { return m_file.isOpen(); }
    // Written through to the file, so a reader sees each packet as it comes; false with error()
    // saying why, and the capture closes.
    bool write(const CapturedChunk &chunk);
    void close() { m_file.close(); }
    QString error() const { return m_error; }

    // The blocks without a file: the header, then one chunk's packets.
    static QByteArray header();
    QByteArray packets(const CapturedChunk &chunk);

private:
    bool writeWhole(const QByteArray &bytes);

    QFile m_file;
    QString m_error;
    // The next sequence number of each direction of each TCP conversation.
    QHash<QByteArray, quint32> m_sequence;
};
