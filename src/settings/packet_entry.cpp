#include "settings/packet_entry.h"

#include "runtime/host_port.h"
#include "runtime/leading_number.h"
#include "runtime/shown_text.h"

using namespace Qt::Literals::StringLiterals;

namespace {

void setError(QString *to, const QString &error) {
    if (to)
        *to = error;
}

std::optional<int> milliseconds(QStringView text) {
    const std::optional<qint64> ms = decimalNumber(text.trimmed(), SequenceStep::MaxMs);
    return ms ? std::optional<int>(int(*ms)) : std::nullopt;
}

} // namespace

QString PacketTarget::text() const {
    switch (kind) {
    case Kind::None:
        return {};
    case Kind::Peer:
        return u"peer"_s;
    case Kind::Tcp:
        return u"tcp "_s + joinHostPort(host, port);
    case Kind::Udp:
        return u"udp "_s + joinHostPort(host, port);
    }
    return {};
}

QString PacketTarget::label() const {
    return tls ? text() + u" tls"_s : text();
}

std::optional<PacketTarget> PacketTarget::fromText(QStringView text, QString *error) {
    text = text.trimmed();
    PacketTarget target;
    if (text.isEmpty())
        return target;
    if (text.compare(u"peer", Qt::CaseInsensitive) == 0) {
        target.kind = Kind::Peer;
        return target;
    }
    const qsizetype blank = text.indexOf(u' ');
    const QStringView kind = text.first(qMax<qsizetype>(blank, 0));
    if (kind.compare(u"tcp", Qt::CaseInsensitive) == 0)
        target.kind = Kind::Tcp;
    else if (kind.compare(u"udp", Qt::CaseInsensitive) == 0)
        target.kind = Kind::Udp;
    if (target.kind == Kind::None
        || !splitHostPort(text.sliced(blank + 1).trimmed().toString(), target.host, target.port)) {
        setError(error, u"'to' needs tcp HOST:PORT, udp HOST:PORT or peer, not '%1'"_s.arg(
                            shownValue(text)));
        return std::nullopt;
    }
    return target;
}

QString SequenceStep::toText() const {
    switch (kind) {
    case Kind::Send:
        return u"send "_s + packet;
    case Kind::Wait:
        return u"wait "_s + QString::number(ms);
    case Kind::Expect:
        return u"expect "_s + (mode == MatchMode::Exact ? u"exact"_s : matchModeName(mode)) + u' '
               + text + u" within "_s + QString::number(ms);
    }
    return {};
}

std::optional<SequenceStep> SequenceStep::fromText(QStringView text, QString *error) {
    text = text.trimmed();
    const qsizetype blank = text.indexOf(u' ');
    const QStringView verb = blank < 0 ? text : text.first(blank);
    QStringView rest = blank < 0 ? QStringView() : text.sliced(blank + 1).trimmed();
    SequenceStep step;
    if (verb == u"send" && !rest.isEmpty()) {
        step.packet = rest.toString();
        return step;
    }
    if (verb == u"wait") {
        step.kind = Kind::Wait;
        if (const std::optional<int> ms = milliseconds(rest)) {
            step.ms = *ms;
            return step;
        }
    }
    if (verb == u"expect") {
        step.kind = Kind::Expect;
        const qsizetype modeEnd = rest.indexOf(u' ');
        const std::optional<MatchMode> mode =
            modeEnd < 0 ? std::nullopt : matchModeFromName(rest.first(modeEnd));
        rest = modeEnd < 0 ? QStringView() : rest.sliced(modeEnd + 1).trimmed();
        step.ms = DefaultWithinMs;
        const qsizetype within = rest.lastIndexOf(u" within ");
        std::optional<int> ms =
            within < 0 ? std::optional<int>(step.ms) : milliseconds(rest.sliced(within + 8));
        if (within >= 0)
            rest = rest.first(within).trimmed();
        if (mode && ms && !rest.isEmpty()) {
            step.mode = *mode;
            step.ms = *ms;
            step.text = rest.toString();
            return step;
        }
    }
    setError(error, u"a step is send PACKET, wait MS or expect MODE TEXT within MS, not '%1'"_s.arg(
                        shownValue(text)));
    return std::nullopt;
}

QString PacketEntry::preview() const {
    if (isSequence()) {
        QStringList texts;
        for (const SequenceStep &step : steps)
            texts.append(step.toText());
        return texts.join(u"; "_s);
    }
    return hex ? u"hex "_s + data : data;
}

bool validPacketName(const QString &name) {
    return !name.isEmpty() && name == name.trimmed() && !name.contains(u']')
           && !name.contains(u'\n') && !name.contains(u'\r');
}
