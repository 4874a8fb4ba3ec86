#include "sender/packets.h"

#include "model/form.h"
#include "sender/send_target.h"
#include "sender/sequence_run.h"

Packets::Packets(Form &form, Sockets sockets, const Clock &clock)
    : m_form(form), m_sockets(sockets), m_clock(clock), m_pins(PinCount) {
    connect(&m_form.txtNetData, &ReceivedData::chunkArrived, this,
            [this](const ReceivedChunk &chunk) {
                if (m_run)
                    m_run->peerChunk(chunk);
            });
}

Packets::~Packets() = default;

bool Packets::load(const QString &path) {
    m_loadProblem.clear();
    const bool loaded = m_book.load(path, &m_loadProblem);
    emit bookChanged();
    return loaded;
}

QString Packets::save() {
    QString problem;
    emit bookChanged();
    return m_book.save(&problem) ? QString() : problem;
}

bool Packets::run(const QString &name, const std::optional<PacketTarget> &to, QString *why) {
    const PacketEntry *entry = m_book.find(name);
    if (!entry) {
        if (why)
            *why = QStringLiteral("There is no packet or sequence named %1.").arg(name);
        return false;
    }
    stop();
    SequenceRun::Setup setup{
        *entry,      [this](const QString &packet) { return m_book.find(packet); },
        to,          [this] { return peerElement(m_sockets.listenSock); },
        &m_counters, &m_clock};
    m_run = std::make_unique<SequenceRun>(std::move(setup));
    connect(m_run.get(), &SequenceRun::stepStarted, this,
            [this, name](int step, int pass, const QString &text) {
                emit stepStarted(name, step, pass, text);
            });
    connect(
        m_run.get(), &SequenceRun::finished, this,
        [this, name](bool passed, const QString &result) { emit finished(name, passed, result); });
    m_run->start();
    return true;
}

void Packets::stop() {
    if (m_run)
        m_run->stop();
    // A run is deleted only from the event loop: it may be inside one of its own signals.
    if (m_run)
        m_run.release()->deleteLater();
}

bool Packets::running() const {
    return m_run && m_run->running();
}

bool Packets::delivering() const {
    return m_run && m_run->delivering();
}

void Packets::pin(const QString &name, int slot) {
    if (slot < 0 || slot >= PinCount)
        return;
    m_pins.removeAll(name);
    m_pins.resize(PinCount);
    m_pins[slot] = name;
}
