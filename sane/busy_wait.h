// SPDX-License-Identifier: MIT
// How long sane_start waits for a scanner that another program's scan holds
// (the driver refuses it with TORVANE_ERROR_BUSY until that scan ends).
#pragma once

#include <chrono>
#include <string>

namespace torvane::sane {

inline constexpr std::chrono::seconds kDefaultBusyWait{ 60 };
// The longest wait torvane.conf may ask for: a day.
inline constexpr std::chrono::seconds kLongestBusyWait{ 86400 };

// The "busy-wait SECONDS" line of torvane.conf (0: never wait), read from the
// first folder of SANE_CONFIG_DIR that holds the file and then /etc/sane.d
// (where SANE_CONFIG_DIR is unset or ends with ':', as SANE reads it); only a
// regular file is read, its first 64 KiB. kDefaultBusyWait when no file or
// no valid line says otherwise.
std::chrono::milliseconds busyWaitLimit();

// The limit a torvane.conf text gives; `fallback` without a valid line.
std::chrono::milliseconds busyWaitFromConfig(const std::string &text, std::chrono::milliseconds fallback);

} // namespace torvane::sane
