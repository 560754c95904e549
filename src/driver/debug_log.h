// SPDX-License-Identifier: MIT
// The debug log: numbered-level text lines appended to files in SAVEPATH.
#pragma once

#include <cstdint>

namespace torvane::driver {

inline constexpr const char *kMainLog = "quorDll.txt";
inline constexpr const char *kParamLog = "quorParam.txt";
inline constexpr const char *kGammaLog = "quorGammatable.txt";
inline constexpr const char *kVarLog = "quorvar.txt";

// Appends "\r\n" and then `length` bytes of `message` to `fileName` in the
// SAVEPATH folder when `level` is not above DebugLevel. SAVEPATH is read
// afresh for every line. Returns 1 when the line was written or suppressed by
// its level, 0 when the file could not be opened or written (or SAVEPATH is
// missing, or the path would not fit 260 bytes: the line is dropped).
int WriteDebugLog(const char *fileName, const char *message, uint32_t length, uint32_t level);

// Formats one line (at most 259 characters) in a buffer of the calling thread
// and writes it. Nothing is formatted when the level is above DebugLevel.
void logLine(const char *fileName, uint32_t level, const char *format, ...)
	__attribute__((format(printf, 3, 4)));

// True when a line of `level` would be written.
bool logEnabled(uint32_t level);

} // namespace torvane::driver
