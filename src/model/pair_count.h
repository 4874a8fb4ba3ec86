#pragma once

// How many watch and response pairs the auto-respond section has.
inline constexpr int PairCount = 7;
