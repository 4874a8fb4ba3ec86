#pragma once

// What a screen reader meets in a LineView: a read-only multi-line text whose lines, words and
// characters it reads as they arrived, with the caret and the selection. Installed once, by the
// first LineView.
void installLineViewAccess();
