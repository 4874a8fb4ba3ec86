#include "sender/sequence_run.h"

#include "model/received_entries.h"
#include "net/socket_control.h"
#include "respond/answer_template.h"
#include "runtime/clock.h"
#include "runtime/shown_text.h"

#include <memory>
#include <utility>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr qsizetype ShownBytes = LongestShown;

// What arrived, for the line of a failed step: text where it is text, hex pairs otherwise.
QString shown(const QByteArray &bytes) {
    if (bytes.isEmpty())
        return u"nothing"_s;
    const QByteArray head = bytes.left(ShownBytes);
    const QString text = QString::fromUtf8(head);
    const bool isText = !text.contains(QChar::ReplacementCharacter)
                        && std::none_of(head.begin(), head.end(), [](char c) {
                               return quint8(c) < 0x20 && c != '\r' && c != '\n' && c != '\t';
                           });
    QString result = isText ? u"\""_s
                                  + QString(text)
                                        .replace(u"\r"_s, u"\\r"_s)
                                        .replace(u"\n"_s, u"\\n"_s)
                                        .replace(u"\t"_s, u"\\t"_s)
                                  + u'"'
                            : u"hex "_s + QString::fromLatin1(head.toHex(' '));
    if (bytes.size() > head.size())
        result += u" (%1 bytes in all)"_s.arg(bytes.size());
    return result;
}

// A TCP connection is made; a UDP socket is bound and knows its peer's address.
bool linkReady(const SocketControl &sock, bool tcp) {
    return tcp ? sock.State() == SocketControl::Connected
               : sock.State() == SocketControl::Open && !sock.RemoteAddress().isNull();
}

} // namespace

SequenceRun::SequenceRun(Setup setup, QObject *parent)
    : QObject(parent), m_setup(std::move(setup)) {
    if (!m_setup.entry.isSequence()) {
        // One packet: a sequence of its one send.
        const PacketEntry packet = m_setup.entry;
        SequenceStep send;
        send.packet = m_setup.entry.name;
        m_setup.entry.steps = {send};
        m_setup.entry.repeat = 1;
        auto find = m_setup.find;
        m_setup.find = [packet, find](const QString &name) {
            return name == packet.name ? &packet : find ? find(name) : nullptr;
        };
    }
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        if (m_waiting) {
            fail(u"timed out after %1 ms; %2"_s.arg(m_waiting->ms).arg(arrivedInstead()));
            return;
        }
        ++m_step;
        runSteps();
    });
}

SequenceRun::~SequenceRun() {
    for (auto &[name, link] : m_links) {
        if (link.socket)
            link.socket->Close();
    }
}

void SequenceRun::start() {
    m_running = true;
    m_announced = {-1, -1};
    m_step = 0;
    m_pass = 0;
    runSteps();
}

// Stopped from outside, every step so far passed: a sequence repeated until stopped ends so.
void SequenceRun::stop() {
    if (m_running)
        finish(true, u"Stopped at step %1; the steps before it passed."_s.arg(stepName()));
}

QString SequenceRun::stepName() const {
    const SequenceStep &step = m_setup.entry.steps.value(m_step);
    const QString pass = m_setup.entry.repeat == 1 ? QString() : u" of pass %1"_s.arg(m_pass + 1);
    return u"%1%2 (%3)"_s.arg(m_step + 1).arg(pass, step.toText());
}

// The last step that passed: "after step 3", or "after step 3 of pass 2" for a repeated run.
QString SequenceRun::stepsPassed() const {
    int step = m_step;
    int pass = m_pass;
    if (step == 0 && pass > 0) {
        step = int(stepCount());
        --pass;
    }
    if (step == 0)
        return u"during step 1"_s;
    const QString of = m_setup.entry.repeat == 1 ? QString() : u" of pass %1"_s.arg(pass + 1);
    return u"after step %1%2"_s.arg(step).arg(of);
}

QString SequenceRun::arrivedInstead() const {
    const qint64 dropped = m_lastLink ? m_lastLink->dropped : 0;
    return u"arrived instead: %1%2"_s.arg(
        shown(m_lastLink ? m_lastLink->held : QByteArray()),
        dropped > 0 ? u" (and %1 older bytes, dropped)"_s.arg(dropped) : QString());
}

// Steps that end at once run in this loop; a wait, an expect still waiting or a connection under
// way returns to the event loop, which calls this again.
void SequenceRun::runSteps() {
    if (m_inSteps)
        return;
    m_inSteps = true;
    while (m_running) {
        if (m_step == stepCount()) {
            ++m_pass;
            m_step = 0;
            if (m_setup.entry.repeat != 0 && m_pass >= m_setup.entry.repeat) {
                finish(true, u"Passed: %1 steps."_s.arg(stepCount() * m_pass));
                break;
            }
        }
        const SequenceStep &step = m_setup.entry.steps[m_step];
        // A send that waited for its connection goes on without starting again.
        if (std::exchange(m_announced, std::pair(m_step, m_pass)) != std::pair(m_step, m_pass))
            emit stepStarted(m_step, m_pass, step.toText());
        if (!runStep(step))
            break;
        ++m_step;
    }
    m_inSteps = false;
}

bool SequenceRun::runStep(const SequenceStep &step) {
    switch (step.kind) {
    case SequenceStep::Kind::Send:
        return send(step.packet);
    case SequenceStep::Kind::Wait:
        m_timer.start(step.ms);
        return false;
    case SequenceStep::Kind::Expect:
        break;
    }
    if (!m_lastLink) {
        fail(u"no send before it"_s);
        return false;
    }
    ResponseRule rule;
    rule.mode = step.mode;
    rule.watch = step.text;
    if (const RuleCheck check = m_matcher.setRule(0, rule); !check.ok()) {
        fail(check.watchError);
        return false;
    }
    m_waiting = step;
    if (checkExpect())
        return true;
    if (!m_lastLink->closed.isEmpty()) {
        fail(m_lastLink->closed + u"; "_s + arrivedInstead());
        return false;
    }
    m_timer.start(step.ms);
    return false;
}

// Whether what the last send's connection holds matches the expect under way; a match takes the
// held bytes and keeps its groups for the steps after it.
bool SequenceRun::checkExpect() {
    Captures captures{};
    if (!m_waiting || !m_matcher.matchesRule(0, m_lastLink->held, captures))
        return false;
    for (std::size_t i = 0; i < captures.size(); ++i)
        m_captures[i] = captures[i].toByteArray();
    m_lastLink->held.clear();
    m_waiting.reset();
    m_timer.stop();
    return true;
}

bool SequenceRun::send(const QString &name) {
    const PacketEntry *packet = m_setup.find ? m_setup.find(name) : nullptr;
    if (!packet || packet->isSequence()) {
        fail(u"there is no packet named %1"_s.arg(name));
        return false;
    }
    const PacketTarget target = m_setup.to.value_or(packet->to);
    QString why;
    Link *link = linkFor(target, why);
    if (!link) {
        if (!why.isEmpty())
            fail(why);
        return false; // or it goes on once connected
    }
    QString error;
    const AnswerTemplate data = AnswerTemplate::compile(packet->data, packet->hex, &error);
    if (!error.isEmpty()) {
        fail(error);
        return false;
    }
    Captures captures{};
    for (std::size_t i = 0; i < captures.size(); ++i)
        captures[i] = m_captures[i];
    qint64 &counter = (*m_setup.counters)[name];
    const QDateTime now = m_setup.clock ? m_setup.clock->now() : QDateTime::currentDateTime();
    const QByteArray bytes = data.expand(captures, {now, target.text(), {}}, ++counter);
    SocketControl *sock = link->socket ? link->socket.data() : m_setup.peer();
    const bool sent = !sock ? false
                      : target.kind == PacketTarget::Kind::Udp
                          ? sock->SendDatagramTo(bytes, sock->RemoteAddress(), quint16(target.port))
                          : sock->SendData(bytes);
    if (!sent) {
        fail(u"%1 was not sent: %2"_s.arg(name, sock ? sock->LastSendError() : u"no peer"_s));
        return false;
    }
    // What arrived before this send answers no part of it.
    link->held.clear();
    link->dropped = 0;
    m_lastLink = link;
    return true;
}

// A socket aimed at `target` and opened (a TCP connect begun; UDP bound, its host looked up);
// nothing, with `why`, when it cannot be.
SocketControl *SequenceRun::openSocket(const PacketTarget &target, const QString &key,
                                       QString &why) {
    const bool tcp = target.kind == PacketTarget::Kind::Tcp;
    std::shared_ptr<const TlsContext> tls;
    if (target.tls) {
        TlsOptions options = m_setup.clientTls;
        options.enabled = true;
        tls = TlsContext::load(options, TlsContext::Role::Client, why);
        if (!tls) {
            why = u"%1 could not be opened: %2"_s.arg(key, why);
            return nullptr;
        }
    }
    auto *sock = new SocketControl(this);
    sock->setProtocol(tcp ? SocketControl::TcpProtocol : SocketControl::UdpProtocol);
    sock->setRemoteHost(target.host);
    sock->setRemotePort(target.port);
    sock->setTls(tls);
    const bool opened =
        tcp ? sock->Connect()
            : sock->setLocalPort(0) && sock->Bind()
                  && (!QHostAddress(target.host).isNull() || sock->LookUpRemoteHost());
    if (!opened) {
        why = u"%1 could not be opened: %2"_s.arg(key, sock->LastFailure().description);
        delete sock;
        return nullptr;
    }
    return sock;
}

// What the connection of `key` brings: its answers, its progress, its close and its errors.
void SequenceRun::follow(SocketControl *sock, const QString &key, bool tcp, int port) {
    connect(sock, &SocketControl::DataArrival, this, [this, sock, key, tcp, port] {
        const QByteArray bytes = sock->GetData();
        // A datagram from anyone but the target answers nothing of this run.
        if (!tcp
            && (sock->PeerPort() != port
                || !QHostAddress(sock->RemoteHostIP())
                        .isEqual(sock->RemoteAddress(), QHostAddress::ConvertV4MappedToIPv4)))
            return;
        if (const auto at = m_links.find(key); at != m_links.end())
            arrived(at->second, bytes);
    });
    connect(sock, &SocketControl::BytesWritten, this, &SequenceRun::deliveryProgressed);
    connect(sock, &SocketControl::DeliveryEnded, this, &SequenceRun::deliveryProgressed);
    connect(sock, &SocketControl::PeerClosed, this, [this, key] {
        if (const auto at = m_links.find(key); at != m_links.end() && m_running)
            closed(at->second);
    });
    connect(sock, &SocketControl::Error, this, [this, key](int number, const QString &description) {
        // Number 0: a failed TLS handshake, which says it all in words.
        if (m_running)
            fail(number == 0 ? u"%1: %2"_s.arg(key, description)
                             : u"%1: %2 - %3"_s.arg(key).arg(number).arg(description));
    });
}

// The connection of `target`, made at its first send. Nothing, with `why`, when it cannot be had;
// nothing and no `why` while it is being opened (the steps go on once it is).
SequenceRun::Link *SequenceRun::linkFor(const PacketTarget &target, QString &why) {
    if (target.kind == PacketTarget::Kind::None) {
        why = u"the packet has no target (to = ...)"_s;
        return nullptr;
    }
    if (target.kind == PacketTarget::Kind::Peer) {
        const SocketControl *peer = m_setup.peer ? m_setup.peer() : nullptr;
        if (!peer || peer->State() != SocketControl::Connected) {
            why = u"no TCP peer is connected to the listener"_s;
            return nullptr;
        }
        return &m_links[target.text()];
    }
    const QString key = target.label();
    auto found = m_links.find(key);
    if (found == m_links.end()) {
        SocketControl *sock = openSocket(target, key, why);
        if (!sock)
            return nullptr;
        follow(sock, key, target.kind == PacketTarget::Kind::Tcp, target.port);
        Link link;
        link.socket = sock;
        found = m_links.emplace(key, std::move(link)).first;
    }
    SocketControl *sock = found->second.socket;
    if (linkReady(*sock, target.kind == PacketTarget::Kind::Tcp))
        return &found->second;
    awaitOpen(sock, key, target.kind == PacketTarget::Kind::Tcp);
    return nullptr;
}

// Looks whether a connection still opening is ready at first and at each change of its state,
// until the connect time is up; the steps go on once it is, or the run fails saying why it is not
// (a target that closed it says so at the first look). Each look comes from the event loop, after
// the change's own event (an error, the peer's close) has been handled.
void SequenceRun::awaitOpen(SocketControl *sock, const QString &key, bool tcp) {
    auto *waiter = new QObject(this);
    auto done = std::make_shared<bool>(false);
    auto look = [this, waiter, done, sock = QPointer(sock), key, tcp](bool expired) {
        if (*done)
            return;
        if (!m_running || !sock) {
            *done = true;
            waiter->deleteLater();
            return;
        }
        const bool isReady = linkReady(*sock, tcp);
        const bool failed = sock->State() == SocketControl::Failed
                            || sock->State() == SocketControl::Closing
                            || (!tcp && sock->State() == SocketControl::Open && !isReady);
        if (!isReady && !failed && !expired)
            return;
        *done = true;
        waiter->deleteLater();
        const auto link = m_links.find(key);
        if (isReady)
            runSteps();
        else if (m_running && !sock->SecureFailure().isEmpty())
            fail(sock->SecureFailure());
        else if (m_running && link != m_links.end() && !link->second.closed.isEmpty())
            fail(link->second.closed);
        else if (m_running)
            fail(u"%1 could not be reached"_s.arg(key));
    };
    connect(
        sock, &SocketControl::StateChanged, waiter, [look] { look(false); }, Qt::QueuedConnection);
    QTimer::singleShot(0, waiter, [look] { look(false); });
    QTimer::singleShot(ConnectTimeoutMs, Qt::PreciseTimer, waiter, [look] { look(true); });
}

bool SequenceRun::delivering() const {
    return std::any_of(m_links.begin(), m_links.end(), [](const auto &named) {
        const SocketControl *sock = named.second.socket;
        return sock && (sock->Delivering() > 0 || sock->BytesToWrite() > 0);
    });
}

void SequenceRun::peerChunk(const ReceivedChunk &chunk) {
    if (const auto at = m_links.find(u"peer"_s); at != m_links.end())
        arrived(at->second, chunk.data);
}

void SequenceRun::arrived(Link &link, QByteArrayView bytes) {
    link.held += bytes;
    if (link.held.size() > MaxHeld) {
        link.dropped += link.held.size() - MaxHeld;
        link.held.remove(0, link.held.size() - MaxHeld);
    }
    if (m_running && m_waiting && &link == m_lastLink && checkExpect()) {
        ++m_step;
        runSteps();
    }
}

// Nothing more comes from a target that closed: the expect waiting on it fails now, and a later
// step that needs it says why it cannot go on.
void SequenceRun::closed(Link &link) {
    link.closed = u"the target closed the connection "_s + stepsPassed();
    if (m_waiting && &link == m_lastLink)
        fail(link.closed + u"; "_s + arrivedInstead());
}

void SequenceRun::fail(const QString &why) {
    finish(false, u"Step %1 failed: %2"_s.arg(stepName(), why));
}

void SequenceRun::finish(bool passed, const QString &result) {
    m_running = false;
    m_passed = passed;
    m_result = result;
    m_timer.stop();
    m_waiting.reset();
    for (auto &[name, link] : m_links) {
        if (link.socket)
            link.socket->Close();
    }
    emit finished(passed, result);
}
