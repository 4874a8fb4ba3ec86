#pragma once

#include <QByteArray>
#include <QList>
#include <QStringView>

#include <optional>

class Checksum;

// A field whose bytes are known only when the whole packet is: a checksum over the bytes before
// it (from the start or the last %[%), a length of the bytes after it (up to the next %]% or the
// end), a counter, or one of the two markers, which stand for no bytes.
struct ComputedField {
    enum class Kind : quint8 { Checksum, Length, Start, End, CounterText, CounterBytes };
    Kind kind = Kind::Start;
    const Checksum *checksum = nullptr;
    int size = 0; // bytes, for a checksum, a length or counter bytes
    bool littleEndian = false;
};

// The token that begins `text` (a '%'), such as %CRC16MODBUS%, %CRC32_BE%, %LEN16LE%, %SEQ8%,
// %[%; with the token's length. Nothing when no computed field begins there.
struct ComputedFieldToken {
    ComputedField field;
    qsizetype length = 0;
};
std::optional<ComputedFieldToken> computedFieldAt(QStringView text);

// Bytes and computed fields in their order; finish() fills the fields in. `counter` is what
// %SEQ% and the counter bytes stand for.
class FieldAssembly {
public:
    explicit FieldAssembly(qint64 counter) : m_counter(counter) {}

    void append(QByteArrayView bytes) { m_bytes += bytes; }
    void append(const ComputedField &field);
    QByteArray finish() &&;

private:
    struct Placed {
        ComputedField field;
        qsizetype at = 0;
    };
    qint64 m_counter;
    QByteArray m_bytes;
    QList<Placed> m_fields; // markers too, in order
};

// `value`'s low `size` bytes, most significant first unless `littleEndian`.
QByteArray fixedWidth(quint64 value, int size, bool littleEndian);
