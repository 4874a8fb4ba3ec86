#include "sender/packets.h"

#include "model/configuration.h"
#include "model/form.h"
#include "sender/send_target.h"
#include "sender/sequence_run.h"

Packets::Packets(Form &form, Sockets sockets, const Clock &clock,
                 const Configuration &configuration)
    : m_form(form), m_sockets(sockets), m_clock(clock), m_configuration(configuration) {
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
    SequenceRun::Setup setup{*entry,
                             [this](const QString &packet) { return m_book.find(packet); },
                             to,
                             [this] { return peerElement(m_sockets.listenSock); },
                             &m_counters,
                             &m_clock,
                             m_configuration.clientTls()};
    m_run = std::make_unique<SequenceRun>(std::move(setup));
    connect(m_run.get(), &SequenceRun::stepStarted, this,
            [this, name](int step, int pass, const QString &text) {
                emit stepStarted(name, step, pass, text);
            });
    connect(
        m_run.get(), &SequenceRun::finished, this,
        [this, name](bool passed, const QString &result) { emit finished(name, passed, result); });
    connect(m_run.get(), &SequenceRun::deliveryProgressed, this, &Packets::deliveryProgressed);
    m_run->start();
    return true;
}

void Packets::stop() {
    if (m_run)
        m_run->stop();
    // A run is deleted only from the event loop: it may be inside one of its own signals.
    if (m_run) {
        m_run.release()->deleteLater();
        emit deliveryProgressed();
    }
}

bool Packets::running() const {
    return m_run && m_run->running();
}

bool Packets::delivering() const {
    return m_run && m_run->delivering();
}

PacketEntry Packets::sendBoxPacket(bool hex, bool toPeer, const ListenerState &listener) const {
    PacketEntry entry;
    entry.hex = hex;
    entry.data = QString(m_form.txtSendData.Text()).replace(u'\n', QStringLiteral("%CRLF%"));
    if (toPeer) {
        entry.to.kind = PacketTarget::Kind::Peer;
    } else if (const std::optional<int> port = clientPort(m_form)) {
        const bool tcp = sendsTcp(m_form, listener);
        entry.to = {tcp ? PacketTarget::Kind::Tcp : PacketTarget::Kind::Udp, clientHost(m_form),
                    *port, tcp && m_configuration.clientTls().enabled};
    }
    return entry;
}

PacketEntry Packets::bytesPacket(QByteArrayView bytes) {
    PacketEntry entry;
    const QString text = QString::fromUtf8(bytes);
    const bool isText =
        text.toUtf8() == bytes && std::none_of(text.begin(), text.end(), [](QChar c) {
            return c.unicode() < 0x20 && c != u'\r' && c != u'\n' && c != u'\t';
        });
    // A '%' that could begin a token is kept as its byte.
    entry.hex = !isText || text.contains(u'%');
    entry.data = entry.hex ? QString::fromLatin1(bytes.toByteArray().toHex(' ').toUpper())
                           : QString(text)
                                 .replace(QStringLiteral("\r\n"), QStringLiteral("%CRLF%"))
                                 .replace(u'\r', QStringLiteral("%CR%"))
                                 .replace(u'\n', QStringLiteral("%LF%"))
                                 .replace(u'\t', QStringLiteral("%TAB%"));
    return entry;
}

QString Packets::commandLine(const QString &name) const {
    const auto quoted = [](QString text) {
        return u'\'' + text.replace(u'\'', QStringLiteral("'\\''")) + u'\'';
    };
    const PacketEntry *entry = m_book.find(name);
    const bool sequence = entry && entry->isSequence();
    QString line = QStringLiteral("sendrel %1 %2 --packets %3")
                       .arg(sequence ? QStringLiteral("--sequence") : QStringLiteral("--packet"),
                            quoted(name), quoted(m_book.path()));
    // The window verifies with its own client options, which the command line then needs too.
    bool secure = entry && entry->to.tls;
    for (const SequenceStep &step : entry ? entry->steps : QList<SequenceStep>()) {
        const PacketEntry *packet = m_book.find(step.packet);
        secure = secure || (step.kind == SequenceStep::Kind::Send && packet && packet->to.tls);
    }
    if (!secure)
        return line;
    const TlsOptions &tls = m_configuration.clientTls();
    line += QStringLiteral(" --tls");
    if (!tls.caFile.isEmpty())
        line += QStringLiteral(" --ca ") + quoted(tls.caFile);
    if (tls.insecure)
        line += QStringLiteral(" --insecure");
    else if (!tls.pin.isEmpty())
        line += QStringLiteral(" --pin ") + pinText(tls.pin);
    if (!tls.alpn.isEmpty())
        line += QStringLiteral(" --alpn ") + quoted(alpnText(tls.alpn));
    return line;
}

QStringList Packets::pins() const {
    QStringList pins(PinCount);
    for (const PacketEntry &entry : m_book.entries()) {
        if (entry.pin > 0 && pins[entry.pin - 1].isEmpty())
            pins[entry.pin - 1] = entry.name;
    }
    return pins;
}

void Packets::pin(const QString &name, int slot) {
    if (slot < 0 || slot >= PinCount)
        return;
    for (PacketEntry entry : m_book.entries()) {
        const int pin = entry.name == name ? slot + 1 : entry.pin == slot + 1 ? 0 : entry.pin;
        if (pin != entry.pin) {
            entry.pin = pin;
            m_book.put(entry);
        }
    }
}
