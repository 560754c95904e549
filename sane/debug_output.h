// SPDX-License-Identifier: MIT
// Debug messages of the backend on standard error, their level set with
// SANE_DEBUG_TORVANE as for every SANE backend (1 errors, 3 calls, 5 details).
#pragma once

#include <cstdint>
#include <string>

#include <sane/sane.h>

namespace torvane::sane {

inline constexpr int kDebugError = 1;
inline constexpr int kDebugVersion = 1;
inline constexpr int kDebugWarning = 2;
inline constexpr int kDebugCall = 3;
inline constexpr int kDebugDetail = 5;

// Reads SANE_DEBUG_TORVANE; called by sane_init.
void readDebugLevel();

// "[torvane] " + the message, when `level` is not above SANE_DEBUG_TORVANE.
void debugLog(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Names for the messages: "get", "set" or "set automatically"; the status's
// name and text ("SANE_STATUS_EOF (End of file reached)"); the driver error's
// code and name ("156 TORVANE_ERROR_DISCONNECTED").
const char *actionName(SANE_Action action);
std::string statusText(SANE_Status status);
std::string driverErrorText(int32_t code);
// An option's name (option 0, whose standard name is empty, as "num-options")
// and its value as the front end reads it: "300 dpi", "210 mm", "yes", "Gray",
// "256 values".
std::string optionName(const SANE_Option_Descriptor &descriptor);
std::string optionValue(const SANE_Option_Descriptor &descriptor, const void *value);

} // namespace torvane::sane
