// SPDX-License-Identifier: MIT
// The USB identities of the supported scanners: one vendor, fourteen
// products. The driver looks for them; the simulated scanner is one of them.
#pragma once

#include <array>
#include <cstdint>

namespace torvane::protocol {

inline constexpr uint16_t kSupportedVendorId = 0x2F1A;

struct SupportedProduct {
	uint16_t productId;
	const char *model;
};

inline constexpr std::array<SupportedProduct, 14> kSupportedProducts = { {
	{ 0x0735, "RM735" },
	{ 0x0918, "KT918" },
	{ 0x0736, "RM736" },
	{ 0x0737, "RM737" },
	{ 0x0740, "RM740" },
	{ 0x0745, "RM745" },
	{ 0x0750, "RM750" },
	{ 0x0910, "KT910" },
	{ 0x0912, "KT912" },
	{ 0x0920, "KT920" },
	{ 0x0925, "KT925" },
	{ 0x0930, "KT930" },
	{ 0x0940, "KT940" },
	{ 0x0950, "KT950" },
} };

constexpr bool isSupportedDevice(uint16_t vendorId, uint16_t productId)
{
	if (vendorId != kSupportedVendorId)
		return false;
	for (const auto &product : kSupportedProducts)
		if (product.productId == productId)
			return true;
	return false;
}

} // namespace torvane::protocol
