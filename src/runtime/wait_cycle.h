#pragma once

#include <functional>

// How long one cycle of a counted wait sleeps.
inline constexpr int WaitCycleMs = 50;

// A counted wait on the window's thread: each cycle runs `check` (which may refresh a display
// and answers whether the awaited state was reached), then processes pending events twice and
// sleeps 50 ms. A limit of n gives at most n + 1 cycles. Returns true when `check` ended it.
bool runWaitCycles(int limit, const std::function<bool()> &check = {});
