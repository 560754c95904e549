// SPDX-License-Identifier: MIT
// Fuzz target: sense data as any scanner may send them, decoded into the
// driver error code the front end reads.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "driver/driver_state.h"
#include "transport/transport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	using namespace torvane;
	// A short reply leaves the rest of the 22 bytes zero.
	const auto sense = std::make_unique<uint8_t[]>(transport::kSenseDataSize);
	const size_t used = size < transport::kSenseDataSize ? size : transport::kSenseDataSize;
	std::memcpy(sense.get(), data, used);
	const int32_t code = transport::senseToErrorCode(sense.get());

	// The register the status calls hand over gets the same code.
	std::memcpy(driver::driverState.SenseData, sense.get(), transport::kSenseDataSize);
	transport::DecodeSense();
	if (driver::driverState.LastErrorCode != code)
		std::abort();
	// A response code other than current or vendor-specific is the code itself.
	const int responseCode = sense[0] & 0x7F;
	if (responseCode != 0x70 && responseCode != 0x7F && code != responseCode)
		std::abort();
	return 0;
}
