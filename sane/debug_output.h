// SPDX-License-Identifier: MIT
// Debug messages of the backend on standard error, their level set with
// SANE_DEBUG_TORVANE as for every SANE backend (1 errors, 3 calls, 5 details).
#pragma once

namespace torvane::sane {

inline constexpr int kDebugError = 1;
inline constexpr int kDebugWarning = 2;
inline constexpr int kDebugCall = 3;
inline constexpr int kDebugDetail = 5;

// Reads SANE_DEBUG_TORVANE; called by sane_init.
void readDebugLevel();

// "[torvane] " + the message, when `level` is not above SANE_DEBUG_TORVANE.
void debugLog(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

} // namespace torvane::sane
