// SPDX-License-Identifier: MIT
// Exports of the non-volatile memory: ReadNVMData, WriteNVMData,
// InitializeNVM, TestNVM, CheckNVMData and SetNVRAMValue.

#include <cstring>

#include "torvane/torvane.h"

#include "exports/export_helpers.h"
#include "exports/export_lines.h"
#include "nvm/nvm_access.h"

using namespace torvane;

namespace {

const uint8_t *bytesOf(const NvmInitRecord *init)
{
	return reinterpret_cast<const uint8_t *>(init);
}

} // namespace

extern "C" {

// A refused lock leaves the caller's record as it was.
TORVANE_API int ReadNVMData(NvmRecord *record)
{
	if (!record)
		return exports::refuseBadArgument(exports::kReadNVMDataLines);
	return driver::runLocked(exports::kReadNVMDataLines, [&] {
		nvm::NvmBytes bytes;
		const int result = nvm::readNvmData(bytes);
		std::memcpy(record, bytes.data(), bytes.size());
		return result;
	});
}

TORVANE_API int WriteNVMData(const NvmRecord *record)
{
	if (!record)
		return exports::refuseBadArgument(exports::kWriteNVMDataLines);
	return driver::runLocked(exports::kWriteNVMDataLines, [&] {
		nvm::NvmBytes bytes;
		std::memcpy(bytes.data(), record, bytes.size());
		return nvm::WriteNvmRecord(bytes);
	});
}

TORVANE_API int InitializeNVM(const NvmInitRecord *init)
{
	if (!init)
		return exports::refuseBadArgument(exports::kInitializeNVMLines);
	return exports::runWithLines(exports::kInitializeNVMLines, [&] { return nvm::initializeNvm(bytesOf(init)); });
}

TORVANE_API int TestNVM(void)
{
	return exports::runWithLines(exports::kTestNVMLines, [] { return nvm::testNvm(); });
}

TORVANE_API int CheckNVMData(const NvmInitRecord *init)
{
	if (!init)
		return exports::refuseBadArgument(exports::kCheckNVMDataLines);
	return exports::runWithLines(exports::kCheckNVMDataLines, [&] { return nvm::checkNvmData(bytesOf(init)); });
}

TORVANE_API int SetNVRAMValue(const unsigned char *data, uint32_t size, uint16_t kind)
{
	return exports::runWithLines(exports::kSetNVRAMValueLines, [&] { return nvm::setNvramValue(data, size, kind); });
}

} // extern "C"
