#pragma once

#include "model/sockets.h"
#include "settings/packet_book.h"

#include <QHash>
#include <QObject>
#include <QStringList>

#include <memory>
#include <optional>

class Clock;
class Configuration;
class Form;
struct ListenerState;
class SequenceRun;

// The saved packets and sequences: the packet file, each packet's send counter (%SEQ%), the pins
// of Alt+1..Alt+9 and the one run under way.
class Packets final : public QObject {
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Packets)

public:
    static constexpr int PinCount = 9;

    // `configuration` holds the client TLS options that verify tls targets.
    Packets(Form &form, Sockets sockets, const Clock &clock, const Configuration &configuration);
    ~Packets() override;

    // Reads the packet file; loadProblem() says why a file that exists could not be read.
    bool load(const QString &path);
    const QString &loadProblem() const { return m_loadProblem; }
    PacketBook &book() { return m_book; }
    // Saves the book after an edit; the problem, when that failed, or nothing.
    QString save();

    // Sends a packet or runs a sequence, stopping a run under way; false, with `why`, for a name
    // the book does not hold.
    bool run(const QString &name, const std::optional<PacketTarget> &to = std::nullopt,
             QString *why = nullptr);
    void stop();
    bool running() const;
    // Whether the last run's connections still hand bytes to the system.
    bool delivering() const;

    // A packet (not yet in the book) of what the send box would send, to where it would go: the
    // listener's TCP peer while one can be sent to, else the send address and port.
    PacketEntry sendBoxPacket(bool hex, bool toPeer, const ListenerState &listener) const;
    // A packet of received bytes: text with tokens where they are text, hex pairs otherwise.
    static PacketEntry bytesPacket(QByteArrayView bytes);
    // The command line that does what `name` does with this file; with --tls and the client TLS
    // options when it sends to a tls target.
    QString commandLine(const QString &name) const;

    // Names pinned to Alt+1..Alt+9, by position (empty: none), as the packet file keeps them
    // (the first of two with one pin wins).
    QStringList pins() const;
    // Pins `name` to Alt+slot+1, taking the pin from the one that had it; save() keeps it.
    void pin(const QString &name, int slot);

signals:
    void stepStarted(const QString &name, int step, int pass, const QString &text);
    void finished(const QString &name, bool passed, const QString &result);
    void bookChanged();
    // What delivering() answers may have changed.
    void deliveryProgressed();

private:
    Form &m_form;
    Sockets m_sockets;
    const Clock &m_clock;
    const Configuration &m_configuration;
    PacketBook m_book;
    QHash<QString, qint64> m_counters;
    QString m_loadProblem;
    std::unique_ptr<SequenceRun> m_run;
};
