// SPDX-License-Identifier: MIT
// The work of the ability and status exports, run by the exports under the
// call pattern.
#pragma once

#include <cstdint>

#include "torvane/torvane.h"

namespace torvane::ability {

// Clears the caller's record; GetScannerAbility does this before it takes the
// lock, so a refused call leaves the record all zero.
void prepareScannerAbility(ScannerAbility *record);
// Under the device lock: clears inquiryData, then INQUIRY into it, the NVM
// read, decoding. 1 only when both exchanges succeeded; the record is filled
// only then.
int readScannerAbility(ScannerAbility *record);

// Under the device lock: clears inquiryData, then INQUIRY, the NVM read,
// decoding and the two interface names. The caller's record is written only
// on success.
int readScannerAbilityEx(ScannerAbilityEx *record);

// Under the device lock: INQUIRY into modelInquiry (not cleared first) and the
// model check. 174 when the inquiry failed, 129 (replacing it) when the model
// does not match.
int initializeScanner();

// Hands over the last error code and clears it in one step; the three status
// bytes are always 0. Null pointers are skipped; the code is only cleared
// when there is a place to hand it to.
void takeScannerStatus(uint8_t *status1, uint8_t *status2, uint8_t *status3, uint8_t *errorCode);
int32_t takeScannerStatusEx(uint8_t *status1, uint8_t *status2, uint8_t *status3, int32_t *errorCode);

} // namespace torvane::ability
