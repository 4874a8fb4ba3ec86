#include "runtime/computed_fields.h"

#include "runtime/checksum.h"

#include <array>

namespace {

using Kind = ComputedField::Kind;

struct Named {
    QStringView name;
    ComputedField field;
};

constexpr std::array<Named, 10> NamedFields{{
    {u"[", {Kind::Start}},
    {u"]", {Kind::End}},
    {u"LEN8", {Kind::Length, nullptr, 1, false}},
    {u"LEN16BE", {Kind::Length, nullptr, 2, false}},
    {u"LEN16LE", {Kind::Length, nullptr, 2, true}},
    {u"LEN32BE", {Kind::Length, nullptr, 4, false}},
    {u"LEN32LE", {Kind::Length, nullptr, 4, true}},
    {u"SEQ", {Kind::CounterText}},
    {u"SEQ8", {Kind::CounterBytes, nullptr, 1, false}},
    {u"SEQ16BE", {Kind::CounterBytes, nullptr, 2, false}},
}};

// Longer than any name; a '%' further on closes no field.
constexpr qsizetype LongestName = 16;

std::optional<ComputedField> fieldNamed(QStringView name) {
    for (const Named &named : NamedFields) {
        if (name == named.name)
            return named.field;
    }
    // A checksum, with _BE or _LE on one of more than one byte.
    std::optional<bool> littleEndian;
    if (name.endsWith(u"_BE") || name.endsWith(u"_LE")) {
        littleEndian = name.endsWith(u"_LE");
        name.chop(3);
    }
    const Checksum *checksum = Checksum::byName(name);
    if (!checksum || (littleEndian && checksum->bytes() == 1))
        return std::nullopt;
    return ComputedField{Kind::Checksum, checksum, checksum->bytes(),
                         littleEndian.value_or(checksum->parameters().littleEndian)};
}

} // namespace

std::optional<ComputedFieldToken> computedFieldAt(QStringView text) {
    const qsizetype close = text.first(qMin(text.size(), LongestName + 2)).indexOf(u'%', 1);
    if (!text.startsWith(u'%') || close < 2)
        return std::nullopt;
    const std::optional<ComputedField> field = fieldNamed(text.sliced(1, close - 1));
    if (!field)
        return std::nullopt;
    return ComputedFieldToken{*field, close + 1};
}

QByteArray fixedWidth(quint64 value, int size, bool littleEndian) {
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[littleEndian ? i : size - 1 - i] = char(value >> (8 * i) & 0xFF);
    return bytes;
}

void FieldAssembly::append(const ComputedField &field) {
    switch (field.kind) {
    case Kind::CounterText:
        m_bytes += QByteArray::number(m_counter);
        return;
    case Kind::CounterBytes:
        m_bytes += fixedWidth(quint64(m_counter), field.size, field.littleEndian);
        return;
    case Kind::Checksum:
    case Kind::Length:
    case Kind::Start:
    case Kind::End:
        break;
    }
    m_fields.append({field, m_bytes.size()});
    m_bytes += QByteArray(field.size, '\0'); // filled in by finish()
}

// Lengths first, since they need only where things are; then the checksums in order, so each
// covers the lengths and checksums before it as they go out.
QByteArray FieldAssembly::finish() && {
    for (qsizetype i = 0; i < m_fields.size(); ++i) {
        const Placed &placed = m_fields[i];
        if (placed.field.kind != Kind::Length)
            continue;
        qsizetype end = m_bytes.size();
        for (qsizetype j = i + 1; j < m_fields.size(); ++j) {
            if (m_fields[j].field.kind == Kind::End) {
                end = m_fields[j].at;
                break;
            }
        }
        const qsizetype from = placed.at + placed.field.size;
        m_bytes.replace(
            placed.at, placed.field.size,
            fixedWidth(quint64(end - from), placed.field.size, placed.field.littleEndian));
    }
    qsizetype start = 0;
    for (const Placed &placed : std::as_const(m_fields)) {
        if (placed.field.kind == Kind::Start)
            start = placed.at;
        if (placed.field.kind != Kind::Checksum)
            continue;
        const quint32 value = placed.field.checksum->compute(
            QByteArrayView(m_bytes).sliced(start, placed.at - start));
        m_bytes.replace(placed.at, placed.field.size,
                        fixedWidth(value, placed.field.size, placed.field.littleEndian));
    }
    return std::move(m_bytes);
}
