#pragma once

#include <QByteArray>

// `bytes` in the canonical hex layout: per 16 bytes an 8-digit offset, two blanks, the bytes
// as lower-case hex pairs (an extra blank after the eighth), two blanks and |ASCII| with '.'
// for anything unprintable; then a line with the total length. Every line ends with "\n".
// No run of equal lines is collapsed: every byte stays visible. `bytes` may be the tail of a
// longer run that begins `firstOffset` bytes earlier (a multiple of 16): the offsets and the
// length then count from that beginning.
QByteArray hexDump(const QByteArray &bytes, qsizetype firstOffset = 0);
