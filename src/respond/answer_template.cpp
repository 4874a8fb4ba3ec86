#include "respond/answer_template.h"

#include "runtime/computed_fields.h"
#include "runtime/hex_text.h"
#include "runtime/tokens.h"

#include <array>

namespace {

using Kind = AnswerTemplate::Kind;

struct Token {
    qsizetype length = 0; // 0: no token begins here
    Kind kind = Kind::Bytes;
    QByteArray bytes;
    int capture = 0;
    ComputedField field;
};

struct Named {
    QStringView text;
    Kind kind;
    QByteArrayView bytes;
};

// Longest first where one begins like another ("%CRLF%" before "%CR%").
constexpr std::array<Named, 8> NamedTokens{{{u"%CRLF%", Kind::Bytes, "\r\n"},
                                            {u"%CR%", Kind::Bytes, "\r"},
                                            {u"%LF%", Kind::Bytes, "\n"},
                                            {u"%TAB%", Kind::Bytes, "\t"},
                                            {u"%DATE%", Kind::Date, {}},
                                            {u"%TIME%", Kind::Time, {}},
                                            {u"%COUNTER%", Kind::Counter, {}},
                                            {u"%PEER%", Kind::Peer, {}}}};

// The token that begins at `at`, a '%'.
Token tokenAt(QStringView text, qsizetype at) {
    const QStringView rest = text.sliced(at);
    for (const Named &named : NamedTokens) {
        if (rest.startsWith(named.text))
            return {named.text.size(), named.kind, named.bytes.toByteArray(), 0, {}};
    }
    if (rest.size() >= 5 && rest[1] == u'x' && rest[4] == u'%') {
        const int high = hexValue(rest[2]);
        const int low = hexValue(rest[3]);
        if (high >= 0 && low >= 0)
            return {5, Kind::Bytes, QByteArray(1, char(high << 4 | low)), 0, {}};
    }
    if (const std::optional<ComputedFieldToken> computed = computedFieldAt(rest))
        return {computed->length, Kind::Field, {}, 0, computed->field};
    if (rest.size() >= 2 && rest[1] >= u'0' && rest[1] <= u'9')
        return {2, Kind::Capture, {}, rest[1].unicode() - u'0', {}};
    return {};
}

} // namespace

void AnswerTemplate::appendBytes(const QByteArray &bytes) {
    if (bytes.isEmpty())
        return;
    if (!m_parts.isEmpty() && m_parts.constLast().kind == Kind::Bytes)
        m_parts.last().bytes += bytes;
    else
        m_parts.append({Kind::Bytes, 0, bytes, {}});
}

AnswerTemplate AnswerTemplate::compile(const QString &text, bool hex, QString *error) {
    AnswerTemplate compiled;
    // Replaced first in a text response, so they mean exactly what they mean in an exact pair.
    const QString source = hex ? text : expandTokens(text);
    // The text with every token blanked out: where a hex part fails, reading this up to the end
    // of that part names the failing character by its position in the whole text.
    QString masked = source;
    qsizetype literalStart = 0;
    const auto flushLiteral = [&](qsizetype end) {
        const QStringView literal = QStringView(source).sliced(literalStart, end - literalStart);
        if (!hex) {
            compiled.appendBytes(literal.toUtf8());
            return true;
        }
        const HexText pairs = bytesFromHexText(literal.toString());
        if (pairs.error.isEmpty()) {
            compiled.appendBytes(pairs.bytes);
            return true;
        }
        if (error)
            *error = bytesFromHexText(masked.left(end)).error;
        return false;
    };

    for (qsizetype at = 0; at < source.size(); ++at) {
        if (source[at] != u'%')
            continue;
        const Token token = tokenAt(source, at);
        if (token.length == 0)
            continue;
        if (!flushLiteral(at))
            return {};
        masked.replace(at, token.length, QString(token.length, u' '));
        if (token.kind == Kind::Bytes)
            compiled.appendBytes(token.bytes);
        else
            compiled.m_parts.append({token.kind, token.capture, {}, token.field});
        compiled.m_hasFields = compiled.m_hasFields || token.kind == Kind::Field;
        at += token.length - 1;
        literalStart = at + 1;
    }
    if (!flushLiteral(source.size()))
        return {};
    return compiled;
}

QByteArray AnswerTemplate::expand(const Captures &captures, const AnswerContext &context,
                                  qint64 counter) const {
    if (m_hasFields)
        return expandWithFields(captures, context, counter);
    QByteArray answer;
    for (const Part &part : m_parts)
        answer += partBytes(part, captures, context, counter);
    return answer;
}

QByteArray AnswerTemplate::expandWithFields(const Captures &captures, const AnswerContext &context,
                                            qint64 counter) const {
    FieldAssembly assembly(counter);
    for (const Part &part : m_parts) {
        if (part.kind == Kind::Field)
            assembly.append(part.field);
        else
            assembly.append(partBytes(part, captures, context, counter));
    }
    return std::move(assembly).finish();
}

QByteArray AnswerTemplate::partBytes(const Part &part, const Captures &captures,
                                     const AnswerContext &context, qint64 counter) {
    switch (part.kind) {
    case Kind::Bytes:
        return part.bytes;
    case Kind::Capture:
        return captures[std::size_t(part.capture)].toByteArray();
    case Kind::Date:
        return context.now.toString(QStringLiteral("yyyy-MM-dd")).toLatin1();
    case Kind::Time:
        return context.now.toString(QStringLiteral("HH:mm:ss.zzz")).toLatin1();
    case Kind::Counter:
        return QByteArray::number(counter);
    case Kind::Peer:
        return context.peer.toUtf8();
    case Kind::Field:
        break;
    }
    return {};
}
