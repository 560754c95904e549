// SPDX-License-Identifier: MIT
// The command transport: discovery of the scanner among the still-image
// device files, and one exchange of a 10-byte command block, its data phase
// and its status byte, with REQUEST SENSE after a CHECK CONDITION.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "driver/driver_state.h"

namespace torvane::transport {

// The device file of the scanner found last, "\\.\usbscanN"; empty at load.
// Discovery may run in any thread (also the acquisition thread), so the name
// is read and written through these two functions only.
using driver::kDevicePathSize;
std::string devicePath();
void setDevicePath(const char *path);

// Sense data of the last REQUEST SENSE: driverState.SenseData.
using driver::kSenseDataSize;

// Status bytes.
inline constexpr uint8_t kStatusGood = 0;
inline constexpr uint8_t kStatusCheckCondition = 2;

// Walks \\.\usbscan0 .. \\.\usbscan126 and keeps the first supported device
// in DevicePath. 1 when found; 0 (LastErrorCode 129) when not. Takes no lock.
int FindScanner();

// The device file found has vanished: LastErrorCode becomes 156 (and every
// failure after it, driver::setLastError), until a scanner is found or its
// device file opened again.
void noticeDeviceGone();

// One exchange: opens DevicePath (rediscovering once when it cannot be
// opened: 155, or 156 when the scanner FindScanner found is gone and no
// other is there), writes the 10-byte block, reads `lengthIn` bytes into
// `buffer` or writes `lengthOut` bytes from it, reads the status byte. 1 for
// status 0. Status 2 runs REQUEST SENSE, which sets LastErrorCode. A failed
// transfer whose device file no longer opens is a disconnect (156).
int SendCommand(const uint8_t block[10], void *buffer, uint32_t lengthIn, uint32_t lengthOut);

// A data-in phase that delivers no bytes this many times in a row fails the
// exchange instead of spinning.
inline constexpr int kMaxEmptyReads = 8;

// SEND(10) with the given data type code and qualifier, `length` bytes out.
int SendDataBlock(const void *data, uint32_t length, uint8_t dataType, uint16_t qualifier);

// Reads sense data into SenseData and decodes it. Called by the exchange only.
int RequestSense();

// Sets LastErrorCode from SenseData. Always 1.
int DecodeSense();

// The driver error code that sense data translate to (DecodeSense's rule).
int32_t senseToErrorCode(const uint8_t sense[kSenseDataSize]);

} // namespace torvane::transport
