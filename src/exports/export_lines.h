// SPDX-License-Identifier: MIT
// The entry and exit lines of the exported functions, one row per function,
// exactly as they appear in quorDll.txt.
#pragma once

#include "driver/call_pattern.h"

namespace torvane::exports {

using driver::CallLines;

inline constexpr CallLines kInitializeDriverLines{ "In   %d : InitializeDriver :", "Out  %d : InitializeDriver :" };
inline constexpr CallLines kTerminateDriverLines{ "In   %d : TerminateDriver :", "Out  %d : TerminateDriver :" };
inline constexpr CallLines kInitializeScannerLines{ "In   %d : InitializeScanner :", "Out  %d : InitializeScanner : " };
inline constexpr CallLines kGetScannerAbilityLines{ "In   %d : GetScannerAbility :", "Out  %d : GetScannerAbility : " };
inline constexpr CallLines kGetScannerAbilityExLines{ "In   %d : GetScannerAbilityEx :", "Out  %d : GetScannerAbilityEx :" };
inline constexpr CallLines kGetScannerStatusLines{ "In   %d : GetScannerStatus :", "Out  %d : GetScannerStatus :" };
// The exit line also carries the error code handed over: "Out  %d : GetScannerStatusEx : %d".
inline constexpr CallLines kGetScannerStatusExLines{ "In   %d : GetScannerStatusEx :", "Out  %d : GetScannerStatusEx : %d" };
inline constexpr CallLines kGetLightStatusLines{ "In   %d : GetLightStatus :", "Out  %d : GetLightStatus :" };
inline constexpr CallLines kSetGammaTableLines{ "In   %d : SetGammaTable :", "Out  %d : SetGammaTable :" };
inline constexpr CallLines kSetScanParameterLines{ "In   %d : SetScanParameter :", "Out  %d : SetScanParameter :" };
inline constexpr CallLines kStartScanLines{ "In   %d : StartScan :", "Out  %d : StartScan :" };
// The exit line also carries the length delivered: "Out  %d : ReadScan : %d".
inline constexpr CallLines kReadScanLines{ "In   %d : ReadScan :", "Out  %d : ReadScan : %d" };
inline constexpr CallLines kStopScanLines{ "In   %d : StopScan :", "Out  %d : StopScan :" };
inline constexpr CallLines kSetPowerSaveTimeLines{ "In   %d : SetPowerSaveTime :", "Out  %d : SetPowerSaveTime :" };
inline constexpr CallLines kSendPowerOffTimeLines{ "In   %d : SendPowerOffTime :", "Out  %d : SendPowerOffTime :" };
inline constexpr CallLines kInitialButtonLines{ "InitialButton In:: %d", "InitialButton Out:: %d" };
inline constexpr CallLines kReadPushButtonLines{ "ReadPushButton In:: %d", "ReadPushButton Out:: %d" };
inline constexpr CallLines kReadNVMDataLines{ "In   %d : ReadNVMData :", "Out  %d : ReadNVMData :" };
inline constexpr CallLines kWriteNVMDataLines{ "In   %d : WriteNVMData :", "Out  %d : WriteNVMData :" };
inline constexpr CallLines kInitializeNVMLines{ "InitializeNVM In:: %d", "InitializeNVM Out:: %d" };
inline constexpr CallLines kTestNVMLines{ "TestNVM In:: %d", "TestNVM Out:: %d" };
inline constexpr CallLines kCheckNVMDataLines{ "CheckNVMData In:: %d", "CheckNVMData Out:: %d" };
inline constexpr CallLines kSetNVRAMValueLines{ "In   %d : SetNVRAMValue :", "Out  %d : SetNVRAMValue :" };

} // namespace torvane::exports
