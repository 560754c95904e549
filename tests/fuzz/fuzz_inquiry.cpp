// SPDX-License-Identifier: MIT
// Fuzz target: inquiry data as any scanner may send them, decoded into both
// ability records, the button set-up and the model check, and shown by
// torvane-scan --info.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ability/ability_records.h"
#include "ability/capability_words.h"
#include "ability/inquiry.h"
#include "ability/model_name.h"
#include "driver/driver_state.h"
#include "panel/button_report.h"
#include "record_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	using namespace torvane;
	// Exactly 160 bytes on the heap, so that any read past them is caught; a
	// short reply leaves the rest zero, as the driver's cleared buffer does.
	const auto inquiry = std::make_unique<uint8_t[]>(ability::kInquirySize);
	std::memcpy(inquiry.get(), data, size < ability::kInquirySize ? size : ability::kInquirySize);

	ScannerAbility basic{};
	ability::InquiryToScannerAbility(inquiry.get(), &basic);
	ScannerAbilityEx extended{};
	ability::InquiryToScannerAbilityEx(inquiry.get(), &extended);
	const driver::DriverState &state = driver::driverState;
	if (state.maxReadBlock != ability::kMaxReadBlock || extended.ScanWidth != state.scannerWidth)
		std::abort();
	(void)ability::decodeCapabilityWords(inquiry.get());
	(void)ability::matchModelName(inquiry.get() + ability::kInquiryProductId, "/usr/lib/RM735.so");

	const ButtonSetup setup = panel::buttonSetupFrom(inquiry.get());
	if (setup.HasButtons == 0 && setup.ButtonCount != 0)
		std::abort();

	// The front end prints the records as text: every field bounded.
	const std::string text = scan::describeAbilities(basic, extended) + scan::describeScannerLine(extended);
	(void)text;
	return 0;
}
