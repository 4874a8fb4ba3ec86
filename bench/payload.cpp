#include "payload.h"

#include <cstring>

std::uint64_t Payload::word(std::uint64_t index) const {
    // splitmix64 of the word's counter: any word can be made without its predecessors.
    std::uint64_t z = m_seed + (index + 1) * 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

void Payload::fill(std::uint64_t offset, char *out, std::size_t count) const {
    while (count > 0) {
        const std::uint64_t value = word(offset / 8);
        const std::size_t skip = offset % 8;
        const std::size_t take = count < 8 - skip ? count : 8 - skip;
        unsigned char bytes[8];
        std::memcpy(bytes, &value, sizeof bytes);
        if (!m_lineBreaks) {
            for (unsigned char &byte : bytes) {
                if (byte == '\n' || byte == '\r')
                    byte |= 0x40;
            }
        }
        std::memcpy(out, bytes + skip, take);
        out += take;
        offset += take;
        count -= take;
    }
}

void StreamHash::add(const char *data, std::size_t count) {
    std::uint64_t hash = m_hash;
    for (std::size_t i = 0; i < count; ++i) {
        hash ^= static_cast<unsigned char>(data[i]);
        hash *= 0x100000001b3ULL;
    }
    m_hash = hash;
}

void PayloadComparison::add(const char *data, std::size_t count) {
    m_hash.add(data, count);
    char expected[4096];
    std::size_t done = 0;
    while (done < count && m_firstDifference < 0) {
        const std::size_t piece = count - done < sizeof expected ? count - done : sizeof expected;
        m_payload.fill(m_received + done, expected, piece);
        if (std::memcmp(expected, data + done, piece) != 0) {
            std::size_t at = 0;
            while (expected[at] == data[done + at])
                ++at;
            m_firstDifference = static_cast<std::int64_t>(m_received + done + at);
        }
        done += piece;
    }
    m_received += count;
}
