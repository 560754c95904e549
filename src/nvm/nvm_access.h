// SPDX-License-Identifier: MIT
// Reading and writing the NVM record on the scanner, and the maintenance
// functions built on them.
#pragma once

#include <cstdint>

#include "nvm/nvm_record.h"

namespace torvane::nvm {

// NVM read of 128 bytes into `record`, converted to host order (also after a
// failed transfer, whatever arrived). 1 for status 0. Takes no lock.
int ReadNvmRecord(NvmBytes &record);

// NVM write of a wire-order copy of `record` with qualifier 0x0014. 1 for
// status 0. Takes no lock.
int WriteNvmRecord(const NvmBytes &record);

// NVM write with the given qualifier under the device lock of its own.
int SendNvmRecord(const NvmBytes &record, uint16_t qualifier);

// The work of ReadNVMData under the lock its caller holds: the record is
// cleared, read and converted.
int readNvmData(NvmBytes &record);

// The maintenance functions. None holds the lock across a call: each read
// goes through ReadNVMData, each write takes the lock for itself, so another
// process may use the scanner between them.

// A fresh record with the caller's text and today's date, keeping the six
// carried words. `init` points to the caller's 55-byte NvmInitRecord.
int initializeNvm(const uint8_t *init);

// Writes the six test words, reads them back and writes the saved record
// back. A read-back that differs leaves 2999.
int testNvm();

// Compares the caller's text with the stored one; a difference leaves 2999.
// The result is that of the read.
int checkNvmData(const uint8_t *init);

// Writes the whole record or one value of it with the qualifier of `kind`.
int setNvramValue(const void *data, uint32_t size, uint16_t kind);

} // namespace torvane::nvm
