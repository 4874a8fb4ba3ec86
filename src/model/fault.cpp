#include "model/fault.h"

#include "runtime/leading_number.h"

#include <QLocale>
#include <QSet>
#include <QStringList>

#include <cmath>

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr qint64 MaxMs = 3'600'000;
constexpr qint64 MaxMicroseconds = MaxMs * 1000;
constexpr qint64 MaxKBPerSecond = qint64(1) << 30;
constexpr qint64 MaxSliceBytes = 1 << 20;

bool goodName(const QString &name) {
    if (name.isEmpty() || name.size() > Fault::MaxNameLength)
        return false;
    for (const QChar c : name) {
        if (!(c.isLetterOrNumber() && c.unicode() < 128) && c != u'_' && c != u'-' && c != u'.')
            return false;
    }
    return true;
}

} // namespace

const QList<FaultKindInfo> &faultKinds() {
    static const QList<FaultKindInfo> kinds = {
        {FaultKind::Latency,
         "latency",
         true,
         true,
         {{"latency", MaxMs, "ms"}, {"jitter", MaxMs, "ms"}}},
        {FaultKind::Bandwidth, "bandwidth", true, true, {{"rate", MaxKBPerSecond, "KB/s"}}},
        {FaultKind::Slicer,
         "slicer",
         true,
         true,
         {{"average_size", MaxSliceBytes, "bytes"},
          {"size_variation", MaxSliceBytes, "bytes"},
          {"delay", MaxMicroseconds, "µs"}}},
        {FaultKind::Timeout, "timeout", true, true, {{"timeout", MaxMs, "ms"}}},
        {FaultKind::Down, "down", true, true, {}},
        {FaultKind::SlowClose, "slow_close", true, false, {{"delay", MaxMs, "ms"}}},
        {FaultKind::ResetPeer, "reset_peer", true, false, {{"timeout", MaxMs, "ms"}}},
        {FaultKind::LimitData,
         "limit_data",
         true,
         false,
         {{"bytes", std::numeric_limits<qint64>::max() / 2, "bytes"}}},
        {FaultKind::Loss,
         "loss",
         false,
         true,
         {{"percent", 100, "%"}, {"correlation", 100, "%"}, {"p", 100, "%"}, {"r", 100, "%"}}},
        {FaultKind::Duplicate, "duplicate", false, true, {{"percent", 100, "%"}}},
        {FaultKind::Reorder,
         "reorder",
         false,
         true,
         {{"percent", 100, "%"}, {"delay", MaxMs, "ms"}}},
        {FaultKind::Corrupt, "corrupt", false, true, {{"percent", 100, "%"}}},
    };
    return kinds;
}

const FaultKindInfo &faultKindInfo(FaultKind kind) {
    return faultKinds().at(int(kind));
}

std::optional<FaultKind> faultKindFromName(QStringView name) {
    for (const FaultKindInfo &info : faultKinds()) {
        if (name == QLatin1StringView(info.name))
            return info.kind;
    }
    return std::nullopt;
}

qint64 Fault::value(QStringView attribute) const {
    const QList<FaultAttribute> &attributes = faultKindInfo(kind).attributes;
    for (qsizetype i = 0; i < attributes.size(); ++i) {
        if (attribute == QLatin1StringView(attributes[i].name))
            return values[size_t(i)];
    }
    return 0;
}

bool Fault::setValue(QStringView attribute, qint64 value) {
    const QList<FaultAttribute> &attributes = faultKindInfo(kind).attributes;
    for (qsizetype i = 0; i < attributes.size(); ++i) {
        if (attribute == QLatin1StringView(attributes[i].name)) {
            values[size_t(i)] = value;
            return true;
        }
    }
    return false;
}

QString checkFault(const Fault &fault, bool datagrams) {
    const FaultKindInfo &info = faultKindInfo(fault.kind);
    if (!goodName(fault.name))
        return u"a fault's name is 1 to %1 letters, digits, '_', '-' or '.'"_s.arg(
            Fault::MaxNameLength);
    if (datagrams ? !info.datagrams : !info.streams)
        return u"%1: %2 works only over %3"_s.arg(fault.name, QLatin1StringView(info.name),
                                                  datagrams ? u"TCP"_s : u"UDP"_s);
    if (!(fault.toxicity >= 0.0 && fault.toxicity <= 1.0))
        return u"%1: toxicity is from 0 to 1"_s.arg(fault.name);
    for (qsizetype i = 0; i < info.attributes.size(); ++i) {
        const qint64 value = fault.values[size_t(i)];
        if (value < 0 || value > info.attributes[i].most)
            return u"%1: %2 is from 0 to %3"_s.arg(fault.name,
                                                   QLatin1StringView(info.attributes[i].name),
                                                   QString::number(info.attributes[i].most));
    }
    if (fault.kind == FaultKind::Slicer
        && (fault.value(u"average_size") == 0
            || fault.value(u"size_variation") >= fault.value(u"average_size")))
        return u"%1: a slice's average_size is above 0 and above its size_variation"_s.arg(
            fault.name);
    if (!fault.after.watch.isEmpty() && fault.after.mode == MatchMode::Exact
        && fault.after.watch.contains(u'\n'))
        return u"%1: an exact watch is one line"_s.arg(fault.name);
    return {};
}

QString checkFaults(const QList<Fault> &faults, bool datagrams) {
    if (faults.size() > Fault::MaxFaults)
        return u"at most %1 faults"_s.arg(Fault::MaxFaults);
    QSet<QString> names;
    for (const Fault &fault : faults) {
        if (const QString problem = checkFault(fault, datagrams); !problem.isEmpty())
            return problem;
        if (names.contains(fault.name))
            return u"%1: a second fault of that name"_s.arg(fault.name);
        names.insert(fault.name);
    }
    return {};
}

QString faultActionText(const Fault &fault) {
    const auto v = [&fault](const char16_t *name) { return fault.value(name); };
    switch (fault.kind) {
    case FaultKind::Latency:
        return v(u"jitter") > 0 ? u"latency %1 ms ± %2"_s.arg(v(u"latency")).arg(v(u"jitter"))
                                : u"latency %1 ms"_s.arg(v(u"latency"));
    case FaultKind::Bandwidth:
        return u"bandwidth %1 KB/s"_s.arg(v(u"rate"));
    case FaultKind::Slicer:
        return u"slicer %1 ± %2 bytes, %3 µs apart"_s.arg(v(u"average_size"))
            .arg(v(u"size_variation"))
            .arg(v(u"delay"));
    case FaultKind::Timeout:
        return v(u"timeout") > 0 ? u"timeout %1 ms"_s.arg(v(u"timeout")) : u"black hole"_s;
    case FaultKind::Down:
        return u"down"_s;
    case FaultKind::SlowClose:
        return u"slow close %1 ms"_s.arg(v(u"delay"));
    case FaultKind::ResetPeer:
        return u"reset after %1 ms"_s.arg(v(u"timeout"));
    case FaultKind::LimitData:
        return u"limit %1 bytes"_s.arg(v(u"bytes"));
    case FaultKind::Loss:
        return v(u"p") > 0 ? u"loss (Gilbert-Elliott p %1 %, r %2 %)"_s.arg(v(u"p")).arg(v(u"r"))
               : v(u"correlation") > 0
                   ? u"loss %1 %, correlation %2 %"_s.arg(v(u"percent")).arg(v(u"correlation"))
                   : u"loss %1 %"_s.arg(v(u"percent"));
    case FaultKind::Duplicate:
        return u"duplicate %1 %"_s.arg(v(u"percent"));
    case FaultKind::Reorder:
        return u"reorder %1 % by %2 ms"_s.arg(v(u"percent")).arg(v(u"delay"));
    case FaultKind::Corrupt:
        return u"corrupt %1 %"_s.arg(v(u"percent"));
    }
    return {};
}

QString faultLine(const Fault &fault) {
    const FaultKindInfo &info = faultKindInfo(fault.kind);
    QStringList parts{u"name="_s + fault.name, u"type="_s + QLatin1StringView(info.name),
                      fault.up ? u"stream=upstream"_s : u"stream=downstream"_s,
                      u"toxicity="_s
                          + QString::number(fault.toxicity, 'g', QLocale::FloatingPointShortest)};
    for (qsizetype i = 0; i < info.attributes.size(); ++i)
        parts.append(QLatin1StringView(info.attributes[i].name) + u'='
                     + QString::number(fault.values[size_t(i)]));
    if (!fault.enabled)
        parts.append(u"enabled=false"_s);
    if (!fault.after.watch.isEmpty()) {
        const QString mode = matchModeName(fault.after.mode);
        parts.append(u"after="_s + (mode.isEmpty() ? u"exact"_s : mode) + u':' + fault.after.watch);
    }
    return parts.join(u' ');
}

QString parseFault(const QString &line, Fault &fault) {
    Fault parsed;
    QString rest = line.trimmed();
    if (const qsizetype after = rest.indexOf(u"after="_s);
        after == 0 || (after > 0 && rest.at(after - 1) == u' ')) {
        const QString watch = rest.mid(after + 6);
        const qsizetype colon = watch.indexOf(u':');
        const std::optional<MatchMode> mode =
            colon < 0 ? std::nullopt : matchModeFromName(QStringView(watch).left(colon));
        if (!mode || colon + 1 >= watch.size())
            return u"after=MODE:WATCH, MODE one of exact, contains, starts, ends, regex, hex"_s;
        parsed.after.mode = *mode;
        parsed.after.watch = watch.mid(colon + 1);
        rest = rest.left(after).trimmed();
    }
    QStringList attributes;
    for (const QString &part : rest.split(u' ', Qt::SkipEmptyParts)) {
        const qsizetype equals = part.indexOf(u'=');
        if (equals <= 0)
            return u"'%1' is no NAME=VALUE"_s.arg(part.left(40));
        const QString key = part.left(equals);
        const QString value = part.mid(equals + 1);
        if (key == u"name")
            parsed.name = value;
        else if (key == u"type") {
            const std::optional<FaultKind> kind = faultKindFromName(value);
            if (!kind)
                return u"no fault type '%1'"_s.arg(value.left(40));
            parsed.kind = *kind;
        } else if (key == u"stream") {
            if (value != u"upstream" && value != u"downstream")
                return u"stream is upstream or downstream"_s;
            parsed.up = value == u"upstream";
        } else if (key == u"toxicity") {
            bool ok = false;
            parsed.toxicity = value.toDouble(&ok);
            if (!ok || std::isnan(parsed.toxicity))
                return u"toxicity is a number from 0 to 1"_s;
        } else if (key == u"enabled") {
            if (value != u"true" && value != u"false")
                return u"enabled is true or false"_s;
            parsed.enabled = value == u"true";
        } else
            attributes.append(part);
    }
    for (const QString &part : std::as_const(attributes)) {
        const qsizetype equals = part.indexOf(u'=');
        const QString key = part.left(equals);
        const std::optional<qint64> number =
            decimalNumber(QStringView(part).mid(equals + 1), std::numeric_limits<qint64>::max());
        if (!number)
            return u"%1 is a whole number"_s.arg(key.left(40));
        if (!parsed.setValue(key, *number))
            return u"%1 has no attribute '%2'"_s.arg(
                QLatin1StringView(faultKindInfo(parsed.kind).name), key.left(40));
    }
    if (parsed.name.isEmpty())
        return u"a fault needs name="_s;
    fault = parsed;
    return {};
}
