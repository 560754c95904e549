// SPDX-License-Identifier: MIT
// Fuzz target: the read-back of the window after SET WINDOW, through the
// whole command exchange over a USB device file. The input scripts every
// reply of the scanner: how many bytes each bulk-in transfer carries and
// which (data phase, status byte, and the sense data and status of REQUEST
// SENSE after a CHECK CONDITION). A script that ends fails the next transfer,
// as a scanner that goes away does.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "driver/driver_state.h"
#include "fuzz_driver.h"
#include "platform/fake_usb.h"
#include "transport/commands.h"
#include "transport/transport.h"

namespace {

class ScriptedScanner : public fake_usb::Peer
{
public:
	void load(const uint8_t *data, size_t size)
	{
		data_ = data;
		size_ = size;
	}

	bool write(const uint8_t *, uint32_t length, uint32_t *accepted) override
	{
		*accepted = length;
		return true;
	}

	// Each reply: one byte of length (at most what was asked), then its bytes.
	Read read(uint8_t *data, uint32_t max, uint32_t *got) override
	{
		if (size_ == 0)
			return Read::Failed;
		uint32_t length = *data_++;
		--size_;
		length = length < max ? length : max;
		length = length < size_ ? length : static_cast<uint32_t>(size_);
		std::memcpy(data, data_, length);
		data_ += length;
		size_ -= length;
		*got = length;
		return Read::Done;
	}

	bool report(uint8_t *, uint32_t, uint32_t *) override { return false; }

private:
	const uint8_t *data_ = nullptr;
	size_t size_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	using namespace torvane;
	static const std::shared_ptr<ScriptedScanner> scanner = [] {
		unsetenv("TORVANE_DEVICE_DIR");
		fuzz::attachDriverOnce();
		auto peer = std::make_shared<ScriptedScanner>();
		fake_usb::Device device;
		device.peer = peer;
		fake_usb::attach({ device });
		return peer;
	}();
	scanner->load(data, size);
	// The stand-in records the time-out of every transfer: over millions of
	// runs that record alone would fill the memory.
	fake_usb::with(0, [](fake_usb::Device &device) { device.bulkTimeouts.clear(); });
	transport::setDevicePath("\\\\.\\usbscan0");
	driver::driverState.LastErrorCode = 0;

	// Exactly the 32 bytes the driver reads back into.
	const auto readBack = std::make_unique<uint8_t[]>(transport::kWindowReadBackLength);
	const transport::CommandBlock block =
		transport::read10Block(transport::kReadWindow, transport::kWindowReadBackLength);
	transport::SendCommand(block.data(), readBack.get(), transport::kWindowReadBackLength, 0);
	return 0;
}
