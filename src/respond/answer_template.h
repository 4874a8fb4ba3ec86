#pragma once

#include "respond/captures.h"
#include "runtime/computed_fields.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <span>

// What an answer may draw on besides the chunk, as the receive path knows it.
struct AnswerContext {
    // %DATE% and %TIME%: the chunk's arrival, read from the program's clock once per chunk.
    QDateTime now;
    // %PEER%: the peer's address and port, "address:port".
    QString peer;
    // %COUNTER%: per rule index, the answers that rule has sent since Start; the token stands for
    // that number plus one. A rule beyond the end counts 0.
    std::span<const qint64> answersSent;
};

// A response compiled once into literal bytes and the tokens that are filled in per answer:
// %0 to %9, %DATE% (yyyy-MM-dd), %TIME% (HH:mm:ss.zzz), %COUNTER%, %PEER%, %xHH% (one byte) and
// %CR%, %LF%, %CRLF%, %TAB%. In a text response %CR% %LF% %CRLF% %TAB% are first replaced exactly
// as in an exact pair, and the text goes out as UTF-8. In a hex response the text between tokens
// is hex pairs (as "Send as Hex" reads them) and every token stands for its bytes where it
// stands: "06 %1 %CR%" is 0x06, group 1's bytes, 0x0D. A '%' that begins no token is itself.
// Computed fields (see ComputedField: checksums, lengths, %SEQ%, markers) are filled in once the
// rest of the answer is known; %SEQ% stands for the same number as %COUNTER%.
class AnswerTemplate {
public:
    // What a part of the answer is: fixed bytes, or what the receive path fills in.
    enum class Kind : quint8 { Bytes, Capture, Date, Time, Counter, Peer, Field };

    // `error` receives why a hex response cannot be read, with the character position in `text`.
    static AnswerTemplate compile(const QString &text, bool hex, QString *error);

    QByteArray expand(const Captures &captures, const AnswerContext &context, qint64 counter) const;

private:
    struct Part {
        Kind kind = Kind::Bytes;
        int capture = 0;
        QByteArray bytes;
        ComputedField field;
    };
    void appendBytes(const QByteArray &bytes);
    QByteArray expandWithFields(const Captures &captures, const AnswerContext &context,
                                qint64 counter) const;
    static QByteArray partBytes(const Part &part, const Captures &captures,
                                const AnswerContext &context, qint64 counter);

    QList<Part> m_parts;
    bool m_hasFields = false;
};
