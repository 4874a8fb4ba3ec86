#include "sender/sequence_run.h"

#include "net/socket_control.h"
#include "respond/answer_template.h"
#include "runtime/clock.h"
#include "runtime/shown_text.h"

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
    Connection *link = linkFor(target, why);
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
