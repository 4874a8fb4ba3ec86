#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QtGlobal>

#include <memory>

struct mmsghdr;
struct iovec;
struct sockaddr_storage;

// Datagrams taken from a UDP descriptor many to a system call, each whole, with its sender
// addressed as Qt addresses it. The buffers are made at the first read that finds more than one
// datagram waiting and are only touched as far as datagrams fill them.
class DatagramBatch {
public:
    static constexpr int Capacity = 32;
    // The largest UDP payload, so that no datagram is cut.
    static constexpr qsizetype SlotBytes = 65536;

    DatagramBatch();
    ~DatagramBatch();
    DatagramBatch(const DatagramBatch &) = delete;
    DatagramBatch &operator=(const DatagramBatch &) = delete;

    // Reads what waits, without waiting, up to Capacity datagrams: how many were read (0 when
    // none waits), or -1 with errno set.
    int read(qintptr descriptor);
    int size() const { return m_count; }
    QByteArray data(int index) const;
    QHostAddress sender(int index) const;
    quint16 senderPort(int index) const;

private:
    void prepare();

    std::unique_ptr<char[]> m_slots;
    std::unique_ptr<iovec[]> m_pieces;
    std::unique_ptr<mmsghdr[]> m_messages;
    std::unique_ptr<sockaddr_storage[]> m_senders;
    int m_count = 0;
};
