// SPDX-License-Identifier: MIT
// Fuzz target: the 128-byte NVM record as any scanner may send it, with the
// caller's records the checks compare it with: byte order, the test words,
// the init-text check, the fresh record of InitializeNVM, SetNVRAMValue's
// placing, and torvane-scan --nvm-read's text.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <fuzzer/FuzzedDataProvider.h>

#include "nvm/nvm_record.h"
#include "record_text.h"

namespace {

// memcpy from an empty vector's null data is undefined: copy only bytes.
void copyBytes(uint8_t *to, const std::vector<uint8_t> &from)
{
	if (!from.empty())
		std::memcpy(to, from.data(), from.size());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	using namespace torvane::nvm;
	FuzzedDataProvider input(data, size);
	NvmBytes wire{};
	const std::vector<uint8_t> stored = input.ConsumeBytes<uint8_t>(kNvmRecordSize);
	copyBytes(wire.data(), stored);

	NvmBytes host = wire;
	toHostOrder(host);
	NvmBytes back = host;
	toWireOrder(back);
	if (back != wire)
		std::abort();
	(void)hasTestWords(host);

	// The caller's 55-byte record, any size field, any text (heap-exact).
	const auto init = std::make_unique<uint8_t[]>(kInitRecordUsed);
	const std::vector<uint8_t> callerRecord = input.ConsumeBytes<uint8_t>(kInitRecordUsed);
	std::memset(init.get(), 0, kInitRecordUsed);
	copyBytes(init.get(), callerRecord);
	(void)initTextMatches(init.get() + kInitRecordText, host);
	const torvane::platform::LocalTime date{ input.ConsumeIntegral<uint16_t>(), input.ConsumeIntegral<uint16_t>(),
						 input.ConsumeIntegral<uint16_t>(), 0, 0, 0 };
	const NvmBytes fresh = buildInitRecord(init.get(), host, date);
	if (std::memcmp(fresh.data() + kCarriedWords, host.data() + kCarriedWords, kCarriedWordsSize) != 0)
		std::abort();

	// SetNVRAMValue: any kind, any size, the data exactly as long as it says.
	const uint16_t kindNumber = input.ConsumeIntegral<uint16_t>();
	const std::vector<uint8_t> value = input.ConsumeRemainingBytes<uint8_t>();
	if (const NvmValueKind *kind = nvmValueKind(kindNumber)) {
		const auto exact = std::make_unique<uint8_t[]>(value.size() + 1);
		copyBytes(exact.get(), value);
		const uint32_t length = static_cast<uint32_t>(value.size());
		if (valueFits(*kind, exact.get(), length)) {
			NvmBytes record = host;
			placeValue(record, *kind, exact.get(), length);
		}
	} else if (kindNumber <= 10) {
		std::abort();
	}

	NvmRecord record{};
	std::memcpy(&record, host.data(), sizeof(record));
	(void)torvane::scan::describeNvmRecord(record);
	return 0;
}
