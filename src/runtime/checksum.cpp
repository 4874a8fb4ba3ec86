#include "runtime/checksum.h"

namespace {

using Engine = Checksum::Engine;

constexpr quint32 reflect(quint32 value, int width) {
    quint32 result = 0;
    for (int bit = 0; bit < width; ++bit, value >>= 1)
        result = result << 1 | (value & 1);
    return result;
}

constexpr quint32 mask(int width) {
    return width == 32 ? 0xFFFFFFFFu : (1u << width) - 1;
}

// One byte's step of the CRC: a reflected CRC shifts right with the reflected polynomial, a
// plain one shifts left with the register's top byte aligned to the byte.
constexpr std::array<quint32, 256> crcTable(int width, quint32 polynomial, bool reflected) {
    std::array<quint32, 256> table{};
    const quint32 top = 1u << (width - 1);
    const quint32 reflectedPolynomial = reflect(polynomial, width);
    for (quint32 byte = 0; byte < 256; ++byte) {
        quint32 crc = reflected ? byte : byte << (width - 8);
        for (int bit = 0; bit < 8; ++bit) {
            if (reflected)
                crc = (crc & 1) ? (crc >> 1) ^ reflectedPolynomial : crc >> 1;
            else
                crc = (crc & top) ? (crc << 1) ^ polynomial : crc << 1;
        }
        table[byte] = crc & mask(width);
    }
    return table;
}

constexpr Checksum entry(const Checksum::Parameters &p) {
    return Checksum(p, p.engine == Engine::Crc ? crcTable(p.width, p.polynomial, p.reflected)
                                               : std::array<quint32, 256>{});
}

// CRC-8 is CRC-8/SMBUS, CRC16CCITT is CRC-16/CCITT-FALSE, CRC32 is CRC-32/ISO-HDLC, CRC32C is
// CRC-32/ISCSI. Modbus sends its CRC low byte first, like the reflected CRC-32s.
constexpr std::array<Checksum, 8> Catalogue{
    entry({u"SUM8", Engine::Sum, 8, 0, 0, false, 0, false, 0xDD}),
    entry({u"XOR8", Engine::Xor, 8, 0, 0, false, 0, false, 0x31}),
    entry({u"CRC8", Engine::Crc, 8, 0x07, 0, false, 0, false, 0xF4}),
    entry({u"CRC16MODBUS", Engine::Crc, 16, 0x8005, 0xFFFF, true, 0, true, 0x4B37}),
    entry({u"CRC16CCITT", Engine::Crc, 16, 0x1021, 0xFFFF, false, 0, false, 0x29B1}),
    entry({u"CRC16XMODEM", Engine::Crc, 16, 0x1021, 0, false, 0, false, 0x31C3}),
    entry({u"CRC32", Engine::Crc, 32, 0x04C11DB7, 0xFFFFFFFF, true, 0xFFFFFFFF, true, 0xCBF43926}),
    entry({u"CRC32C", Engine::Crc, 32, 0x1EDC6F41, 0xFFFFFFFF, true, 0xFFFFFFFF, true, 0xE3069283}),
};

} // namespace

const Checksum *Checksum::byName(QStringView name) {
    for (const Checksum &checksum : Catalogue) {
        if (name == QStringView(checksum.m_parameters.name))
            return &checksum;
    }
    return nullptr;
}

std::span<const Checksum> Checksum::catalogue() {
    return Catalogue;
}

quint32 Checksum::compute(QByteArrayView bytes) const {
    const Parameters &p = m_parameters;
    quint32 value = 0;
    switch (p.engine) {
    case Engine::Sum:
        for (const char byte : bytes)
            value += quint8(byte);
        return value & 0xFF;
    case Engine::Xor:
        for (const char byte : bytes)
            value ^= quint8(byte);
        return value;
    case Engine::Crc:
        break;
    }
    const int shift = p.width - 8;
    value = p.reflected ? reflect(p.init, p.width) : p.init;
    for (const char byte : bytes) {
        if (p.reflected)
            value = m_table[(value ^ quint8(byte)) & 0xFF] ^ (value >> 8);
        else
            value = m_table[((value >> shift) ^ quint8(byte)) & 0xFF] ^ (value << 8);
    }
    return (value ^ p.xorOut) & mask(p.width);
}
