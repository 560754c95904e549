// SPDX-License-Identifier: MIT
// Image data throughput of the virtual scanner over its socket at full
// speed: READ(10) pieces of 524288 bytes, as the acquisition thread reads.

#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "torvane_sim/sim_server.h"
#include "torvane_sim/virtual_scanner.h"

namespace {

using torvane::sim::SimServer;
using torvane::sim::VirtualScanner;

constexpr uint32_t kPiece = 524288;

double processCpuSeconds()
{
	timespec now{};
	clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
	return static_cast<double>(now.tv_sec) + now.tv_nsec / 1e9;
}

class Client
{
public:
	explicit Client(const std::string &path)
	{
		sockaddr_un address{};
		address.sun_family = AF_UNIX;
		std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
		fd_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
		if (::connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
			::close(fd_);
			fd_ = -1;
		}
	}
	~Client()
	{
		if (fd_ >= 0)
			::close(fd_);
	}
	bool ok() const { return fd_ >= 0; }

	// One request; the reply's data (if any) goes to `data`. Returns count.
	int64_t request(uint32_t op, const uint8_t *payload, uint32_t length, uint8_t *data)
	{
		uint8_t header[8];
		std::memcpy(header, &op, 4);
		std::memcpy(header + 4, &length, 4);
		if (::send(fd_, header, 8, MSG_NOSIGNAL) != 8 ||
		    (length && ::send(fd_, payload, length, MSG_NOSIGNAL) != static_cast<ssize_t>(length)))
			return -1;
		uint8_t reply[8];
		if (!receive(reply, 8))
			return -1;
		uint32_t result, count;
		std::memcpy(&result, reply, 4);
		std::memcpy(&count, reply + 4, 4);
		if (result != 0)
			return -1;
		if (op != 1 && count && !receive(data, count))
			return -1;
		return count;
	}

	bool exchange(const uint8_t block[10], uint8_t *data, uint32_t length, const uint8_t *out = nullptr,
		      uint32_t outLength = 0)
	{
		if (request(1, block, 10, nullptr) != 10)
			return false;
		for (uint32_t got = 0; got < length;) {
			const uint32_t max = length - got;
			const int64_t n = request(2, reinterpret_cast<const uint8_t *>(&max), 4, data + got);
			if (n <= 0)
				return false;
			got += static_cast<uint32_t>(n);
		}
		if (outLength && request(1, out, outLength, nullptr) < 0)
			return false;
		const uint32_t one = 1;
		uint8_t status = 0xFF;
		return request(2, reinterpret_cast<const uint8_t *>(&one), 4, &status) == 1 && status == 0;
	}

private:
	bool receive(uint8_t *data, size_t length)
	{
		while (length) {
			const ssize_t n = ::recv(fd_, data, length, 0);
			if (n <= 0)
				return false;
			data += n;
			length -= static_cast<size_t>(n);
		}
		return true;
	}
	int fd_ = -1;
};

// A full-width colour window at 600 dpi, `lines` long.
std::vector<uint8_t> windowBlock(uint32_t lines)
{
	std::vector<uint8_t> block(79, 0);
	block[7] = 71;
	uint8_t *d = block.data() + 8;
	d[2] = d[4] = 0x02;
	d[3] = d[5] = 0x58;
	d[25] = 5;
	d[26] = 8;
	d[42] = 0x60;
	const uint32_t bytesPerLine = 5100 * 3;
	d[45] = static_cast<uint8_t>(bytesPerLine >> 8);
	d[46] = static_cast<uint8_t>(bytesPerLine);
	d[47] = static_cast<uint8_t>(lines >> 8);
	d[48] = static_cast<uint8_t>(lines);
	return block;
}

void fullSpeedImageRead(benchmark::State &state)
{
	const auto lines = static_cast<uint32_t>(state.range(0));
	const std::string directory = std::filesystem::temp_directory_path() / ("torvane-bench-" + std::to_string(::getpid()));
	auto scanner = std::make_shared<VirtualScanner>();
	scanner->setFullSpeed(true);
	uint64_t total = 0;
	{
		SimServer server(directory);
		server.plug(scanner, 0);
		const std::string path = server.socketPath(0);
		const std::vector<uint8_t> window = windowBlock(lines);
		const uint8_t setWindow[10] = { 0x24, 0, 0, 0, 0, 0, 0, 0, 79, 0 };
		const uint8_t scan[10] = { 0x1B, 0, 0, 0, 0, 0x80, 0, 0, 0, 0 };
		if (!Client(path).exchange(setWindow, nullptr, 0, window.data(), 79)) {
			state.SkipWithError("SET WINDOW failed");
			return;
		}
		const uint64_t imageBytes = 5100ull * 3 * lines;
		std::vector<uint8_t> buffer(kPiece);
		double processSeconds = 0;
		for (auto _ : state) {
			state.PauseTiming();
			Client(path).exchange(scan, nullptr, 0); // renders the page once
			const double cpuBefore = processCpuSeconds();
			state.ResumeTiming();
			for (uint64_t done = 0; done < imageBytes;) {
				const auto piece = static_cast<uint32_t>(std::min<uint64_t>(kPiece, imageBytes - done));
				const uint8_t read[10] = { 0x28, 0, 0, 0, 0x0A, 0x0D, static_cast<uint8_t>(piece >> 16),
							   static_cast<uint8_t>(piece >> 8), static_cast<uint8_t>(piece), 0 };
				// One connection per exchange, as the driver opens the device.
				if (!Client(path).exchange(read, buffer.data(), piece)) {
					state.SkipWithError("image read failed");
					return;
				}
				done += piece;
			}
			total += imageBytes;
			processSeconds += processCpuSeconds() - cpuBefore;
		}
		// Client and server together, per CPU second: on a machine shared
		// with other work the wall-clock rate says little about the server.
		state.counters["bytes_per_cpu_second"] = static_cast<double>(total) / processSeconds;
	}
	std::filesystem::remove_all(directory);
	state.SetBytesProcessed(static_cast<int64_t>(total));
}

} // namespace

// 1000 lines of 600 dpi colour (15.3 MB) and a whole legal page (64 MB).
BENCHMARK(fullSpeedImageRead)->Arg(1000)->Arg(4200)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
