// SPDX-License-Identifier: MIT
// Virtual scanners behind \\.\usbscanN, inside the test program.

#include "support/sim_device_calls.h"

#include <algorithm>
#include <cstring>
#include <span>

namespace torvane::wintest {

namespace {

constexpr DWORD kStallWaitSliceMs = 5;

class ScannerConnection : public FakeConnection
{
public:
	ScannerConnection(sim::VirtualScanner &scanner, HANDLE wake)
		: scanner_(scanner), wake_(wake), id_(scanner.openConnection())
	{
	}
	~ScannerConnection() override { scanner_.closeConnection(id_); }

	bool write(const uint8_t *data, DWORD length, DWORD *written) override
	{
		const sim::WriteReply reply = scanner_.write(id_, std::span<const uint8_t>(data, length));
		*written = std::min<DWORD>(reply.count, length);
		return reply.result == 0;
	}

	// A withheld reply is asked for again after every wake-up of the scanner
	// (and now and then regardless), as the socket server does. The wait is
	// a Win32 wait, so that a forced end of the reading thread leaves no
	// lock behind.
	bool read(uint8_t *data, DWORD length, DWORD *got) override
	{
		sim::ReadReply reply = scanner_.read(id_, length);
		while (reply.stalled) {
			WaitForSingleObject(wake_, kStallWaitSliceMs);
			reply = scanner_.read(id_, length);
		}
		const DWORD count = std::min<DWORD>(reply.length, length);
		if (count > 0)
			std::memcpy(data, reply.data(), count);
		*got = count;
		return reply.result == 0;
	}

	bool control(DWORD code, const uint8_t *in, DWORD inLength, uint8_t *out, DWORD outLength,
		     DWORD *returned) override
	{
		const sim::ControlReply reply =
			scanner_.control(id_, code, std::span<const uint8_t>(in, in ? inLength : 0));
		const DWORD count = std::min<DWORD>(static_cast<DWORD>(reply.output.size()), out ? outLength : 0);
		if (count > 0)
			std::memcpy(out, reply.output.data(), count);
		*returned = count;
		return reply.result == 0;
	}

	int pollEvent(uint8_t report[8]) override
	{
		std::array<uint8_t, sim::kButtonReportLength> press{};
		uint32_t count = 0;
		if (!scanner_.takeButtonPress(press, count))
			return kNotYet;
		count = std::min<uint32_t>(count, 8);
		std::memcpy(report, press.data(), count);
		return static_cast<int>(count);
	}

private:
	sim::VirtualScanner &scanner_;
	HANDLE wake_;
	uint64_t id_;
};

} // namespace

VirtualScannerSet::VirtualScannerSet() : wake_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

VirtualScannerSet::~VirtualScannerSet()
{
	for (const auto &[scanner, id] : listeners_)
		scanner->removeWakeListener(id);
	CloseHandle(wake_);
}

void VirtualScannerSet::plug(int number, sim::VirtualScanner &scanner)
{
	std::lock_guard<std::mutex> guard(mutex_);
	scanners_[number] = &scanner;
	if (!listeners_.count(&scanner)) {
		HANDLE wake = wake_;
		listeners_[&scanner] = scanner.addWakeListener([wake] { SetEvent(wake); });
	}
}

void VirtualScannerSet::unplug(int number)
{
	std::lock_guard<std::mutex> guard(mutex_);
	scanners_.erase(number);
}

std::unique_ptr<FakeConnection> VirtualScannerSet::open(const std::string &name)
{
	static const std::string prefix = "\\\\.\\usbscan";
	if (name.compare(0, prefix.size(), prefix) != 0 || name.size() == prefix.size() ||
	    name.find_first_not_of("0123456789", prefix.size()) != std::string::npos || name.size() > prefix.size() + 3)
		return nullptr;
	const int number = std::stoi(name.substr(prefix.size()));
	std::lock_guard<std::mutex> guard(mutex_);
	auto it = scanners_.find(number);
	if (it == scanners_.end())
		return nullptr;
	return std::make_unique<ScannerConnection>(*it->second, wake_);
}

} // namespace torvane::wintest
