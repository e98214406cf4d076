// Bounded text helpers for the fixed-capacity fields. They lean on nothing
// but the C library, so every layer, the platform backends included, may
// use them.
#pragma once

#include <cstddef>

// Copies `source` into `destination` (capacity counts the terminator). The
// result is always terminated; returns false when `source` did not fit, and
// then `destination` holds as much of it as fits.
bool copy_text(char* destination, std::size_t capacity, const char* source);

// Appends `source` to the text already in `destination`, with the contract of
// copy_text.
bool append_text(char* destination, std::size_t capacity, const char* source);
