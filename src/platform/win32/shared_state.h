// SPDX-License-Identifier: MIT
// Win32: names of the machine-wide objects behind the device lock.
#pragma once

namespace torvane::platform {

inline constexpr const char *kDeviceEventName = "Global\\TQX5800";
// A 32-bit process on 64-bit Windows uses its own event.
inline constexpr const char *kDeviceEventNameWow64 = "Global\\TQX5800_x64";

// The event name for the answer of IsWow64Process: the second name only when
// the function exists, the call succeeded and the answer is exactly TRUE.
const char *deviceEventNameFor(bool queried, int answer);

// The name of the exchange lock that goes with an event name.
inline constexpr const char *kExchangeSuffix = "_exchange";

} // namespace torvane::platform
