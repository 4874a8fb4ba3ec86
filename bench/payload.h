#pragma once

#include <cstddef>
#include <cstdint>

// A deterministic pseudo-random byte stream that can be produced from any offset, so the sender
// never holds the whole payload and the checker can tell exactly where a byte went wrong.
// Without line breaks, LF and CR become 'J' and 'M': one line however long the stream.
class Payload {
public:
    explicit Payload(std::uint64_t seed, bool lineBreaks = true)
        : m_seed(seed), m_lineBreaks(lineBreaks) {}

    // Writes the `count` bytes that start at `offset` of the stream.
    void fill(std::uint64_t offset, char *out, std::size_t count) const;

private:
    std::uint64_t word(std::uint64_t index) const;

    std::uint64_t m_seed;
    bool m_lineBreaks;
};

// FNV-1a over a byte stream fed in pieces of any size.
class StreamHash {
public:
    void add(const char *data, std::size_t count);
    std::uint64_t value() const { return m_hash; }

private:
    std::uint64_t m_hash = 0xcbf29ce484222325ULL;
};

// Follows a received stream against the payload: its hash, and where it first differs.
class PayloadComparison {
public:
    explicit PayloadComparison(const Payload &payload) : m_payload(payload) {}

    void add(const char *data, std::size_t count);
    std::uint64_t received() const { return m_received; }
    std::uint64_t hash() const { return m_hash.value(); }
    // -1 while every byte so far matched.
    std::int64_t firstDifference() const { return m_firstDifference; }

private:
    Payload m_payload;
    StreamHash m_hash;
    std::uint64_t m_received = 0;
    std::int64_t m_firstDifference = -1;
};
