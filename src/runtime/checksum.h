#pragma once

#include <QByteArrayView>
#include <QStringView>

#include <array>
#include <span>

// The checksums a packet can carry: two plain ones and the CRCs of one parametrised, table-driven
// engine. Each CRC is named by its catalogue parameters (width, polynomial, initial value,
// reflection, final XOR) and answers the catalogue's check value for the nine bytes "123456789".
class Checksum {
public:
    enum class Engine : quint8 { Sum, Xor, Crc };

    // A catalogue entry; `check` is the value over "123456789".
    struct Parameters {
        const char16_t *name;
        Engine engine;
        int width; // bits: 8, 16 or 32
        quint32 polynomial;
        quint32 init;
        bool reflected; // input and output alike
        quint32 xorOut;
        bool littleEndian; // the byte order it is sent in unless a suffix says otherwise
        quint32 check;
    };

    // The entry named exactly `name` (SUM8, XOR8, CRC8, CRC16MODBUS, ...); null for none.
    static const Checksum *byName(QStringView name);
    // Every entry, in catalogue order.
    static std::span<const Checksum> catalogue();

    quint32 compute(QByteArrayView bytes) const;
    const Parameters &parameters() const { return m_parameters; }
    int bytes() const { return m_parameters.width / 8; }

    constexpr Checksum(const Parameters &parameters, const std::array<quint32, 256> &table)
        : m_parameters(parameters), m_table(table) {}

private:
    Parameters m_parameters;
    std::array<quint32, 256> m_table;
};
