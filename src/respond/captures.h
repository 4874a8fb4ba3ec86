#pragma once

#include <QByteArrayView>

#include <array>

// What %0 (the whole match) to %9 stand for in an answer: views into the chunk being answered,
// empty for a group that took no part in the match.
using Captures = std::array<QByteArrayView, 10>;
