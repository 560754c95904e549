// SPDX-License-Identifier: MIT
// The virtual scanner: one simulated Torvane scanner, its command set, its
// state, its document, its push buttons and its fault injection.
//
// The scanner speaks the device side of the exchange: a 10-byte command
// block written, a data phase in one direction, one status byte read back
// (0 GOOD, 2 CHECK CONDITION, then REQUEST SENSE returns 22 bytes of fixed
// format sense data). It keeps one exchange state per scanner, not per
// connection, so REQUEST SENSE may come on a second connection.
//
// Behaviour chosen for the simulated device (what a driver may rely on):
// - A command that fails (CHECK CONDITION, another status, or a command the
//   scanner refuses) still runs its data phase: a data-in command delivers
//   its full length in zero bytes, a data-out command accepts its data; then
//   the status byte follows. A failed command has no effect.
// - Refused commands and their sense (key/ASC/ASCQ): unknown operation code
//   05/20/00; a READ(10) without the 0x0A0D qualifier or with an unknown data
//   type, a gamma qualifier above 2, an NVM write qualifier outside
//   0x11..0x14 05/24/00; a data-out length the data type does not take (gamma
//   512, NVM 128, timers 2, SET WINDOW at least 79) 05/1A/00; a window with a
//   resolution of 0 or an image above 1 GiB 05/26/02; an image data read with
//   no window set or before SCAN 05/2C/00 (command sequence error).
// - An image data read asking for more bytes than the image still holds
//   delivers what is left followed by zero bytes up to the asked length, then
//   CHECK CONDITION with sense key NO SENSE, the EOM and ILI bits set in
//   byte 2 (0x60) and the missing byte count in the information field
//   (bytes 3 to 6, big-endian).
// - REQUEST SENSE returns the sense of the last CHECK CONDITION once, then
//   "no sense" (0x70, key 0); any other command that completes GOOD also
//   clears it. INQUIRY and REQUEST SENSE deliver exactly their allocation
//   length (byte 4), zero-padded beyond 160 or 22 bytes.
// - Image samples: 8 bits per channel = one byte; 16 bits per channel = two
//   bytes, big-endian, the 8-bit value repeated (0xAB gives 0xAB 0xAB); 1 bit
//   per pixel = grey thresholded at 128, most significant bit first, a set bit
//   is black. Grey without a channel is the luminance (77 R + 150 G + 29 B +
//   128) >> 8. Pixels right of the page and rows below it are white (the lid).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "torvane_protocol/control_codes.h"
#include "torvane_sim/document.h"
#include "torvane_sim/feeder.h"

namespace torvane::sim {

enum class Model {
	RM735, // two push buttons, legal-length scan area
	KT918, // no push buttons, A4-length scan area
};

const char *modelName(Model model);
// "RM735" / "KT918" (case-insensitive); nullopt for anything else.
std::optional<Model> modelFromName(std::string_view name);

// The 8-byte USB device descriptor of the device control request 0x80002018.
using UsbIdentity = protocol::DeviceDescriptor;

inline constexpr size_t kInquiryLength = 160;
inline constexpr size_t kSenseLength = 22;
inline constexpr size_t kNvmLength = 128;
inline constexpr size_t kWindowLength = 79;
inline constexpr size_t kGammaLength = 512;
inline constexpr size_t kButtonReportLength = protocol::kDeviceEventLength;

using InquiryData = std::array<uint8_t, kInquiryLength>;
using SenseData = std::array<uint8_t, kSenseLength>;
using NvmData = std::array<uint8_t, kNvmLength>;
using GammaData = std::array<uint8_t, kGammaLength>;

// Fixed-format sense data: response code 0x70, the key in byte 2, additional
// length 14 in byte 7, ASC and ASCQ in bytes 12 and 13.
SenseData makeSense(uint8_t key, uint8_t asc, uint8_t ascq);

// Status bytes.
inline constexpr uint8_t kStatusGood = 0;
inline constexpr uint8_t kStatusCheckCondition = 2;
inline constexpr uint8_t kStatusBusy = 8;

// The last window received with SET WINDOW: the 79 bytes as sent, and the
// fields decoded from them (descriptor offsets in the comments).
struct WindowSettings {
	std::array<uint8_t, kWindowLength> block{};
	uint16_t xResolution = 0;	 // 2-3
	uint16_t yResolution = 0;	 // 4-5
	uint32_t upperLeftX = 0;	 // 6-9, 1/1200 inch
	uint32_t upperLeftY = 0;	 // 10-13, 1/1200 inch
	uint32_t width = 0;		 // 14-17, 1/1200 inch
	uint32_t length = 0;		 // 18-21, 1/1200 inch
	uint8_t composition = 0;	 // 25: 0 line art, 1 halftone, 2 grey, 5 colour
	uint8_t bitsPerChannel = 0;	 // 26
	uint16_t halftonePattern = 0;	 // 27-28
	uint16_t paperLength = 0;	 // 34-35
	uint8_t modeFlags = 0;		 // 42; bits 3-5: channel code, 1/2/3 = red/green/blue
	uint32_t bytesPerLine = 0;	 // 45-46 low 16 bits, 59 bits 16-23
	uint32_t lineCount = 0;		 // 47-48 low 16 bits, 60 bits 16-23
	uint16_t redExposure = 0;	 // 51-52
	uint16_t greenExposure = 0;	 // 53-54
	uint16_t blueExposure = 0;	 // 55-56
	uint8_t backgroundLines = 0;	 // 61
	uint8_t pagesThisJob = 0;	 // 62
	uint8_t ultrasonicIntensity = 0; // 64

	// Channel code of the mode flags (bits 3-5).
	uint8_t channelCode() const { return static_cast<uint8_t>((modeFlags >> 3) & 7); }
	// Decodes a 79-byte block (8-byte header, 71-byte descriptor).
	static WindowSettings decode(std::span<const uint8_t, kWindowLength> block);
};

// Where a fault strikes. Every rule matches an operation code, and when
// dataType is set also byte 2 of the block (the READ(10)/SEND(10) data type).
enum class FaultKind {
	CheckCondition, // status 2 with `sense`, which the next REQUEST SENSE returns
	Status,		// another status byte (`status`, e.g. 8 BUSY), no sense
	FailBlockWrite, // the WRITE of the block fails (result 1); nothing starts
	FailDataPhase,	// the first data READ or the data WRITE fails; exchange dropped
	FailStatusRead, // the READ of the status byte fails; exchange dropped
	ShortRead,	// every data READ of the command delivers at most `maxBytes`
	EmptyRead,	// one data READ is answered with count 0 (result 0)
	StallRead,	// the first data READ is withheld until releaseStalls(),
			// clearFaults() or the connection closes
};

// A fault rule fires `count` times (kAlways: for ever). A firing is one
// command, except EmptyRead, where it is one READ reply. When several rules of
// one kind match a command, the oldest fires.
struct FaultRule {
	static constexpr int kAlways = -1;

	FaultKind kind = FaultKind::CheckCondition;
	uint8_t operationCode = 0;
	std::optional<uint8_t> dataType;
	int count = 1;
	SenseData sense{};
	uint8_t status = kStatusBusy;
	uint32_t maxBytes = 1;

	static FaultRule checkCondition(uint8_t operationCode, const SenseData &sense);
	static FaultRule checkCondition(uint8_t operationCode, uint8_t key, uint8_t asc, uint8_t ascq);
	static FaultRule statusByte(uint8_t operationCode, uint8_t status);
	static FaultRule failBlockWrite(uint8_t operationCode);
	static FaultRule failDataPhase(uint8_t operationCode);
	static FaultRule failStatusRead(uint8_t operationCode);
	static FaultRule shortReads(uint8_t operationCode, uint32_t maxBytes);
	static FaultRule emptyReads(uint8_t operationCode);
	static FaultRule stallRead(uint8_t operationCode);

	// Chaining: FaultRule::stallRead(0x28).forDataType(0x00).times(2)
	FaultRule &forDataType(uint8_t type);
	FaultRule &times(int n);
	FaultRule &always();
};

// One command as the scanner saw it.
struct CommandRecord {
	std::array<uint8_t, 10> block{};
	std::vector<uint8_t> dataOut; // the data-out bytes received
	uint32_t dataInLength = 0;    // the data-in length the command asks for
	uint32_t dataInSent = 0;      // data-in bytes delivered so far
	int status = -1;	      // status byte sent; -1 when none was (yet)
	bool abandoned = false;	      // the exchange ended before its status was read
	uint64_t connection = 0;

	uint8_t operationCode() const { return block[0]; }
	uint8_t dataType() const { return block[2]; }
};

// Replies of the wire-level device interface (one per request).
struct WriteReply {
	uint32_t result = 0; // 0 success
	uint32_t count = 0;  // bytes accepted
};

// Data of a READ reply: `length` bytes at `offset` of a buffer kept alive by
// the reply, so a server can send it without copying or locking.
struct ReadReply {
	bool stalled = false;	// no reply yet: ask again after a wake-up
	bool imageData = false; // the bytes are image data (paced by the data rate)
	uint32_t result = 0;
	std::shared_ptr<const std::vector<uint8_t>> buffer;
	size_t offset = 0;
	uint32_t length = 0;

	const uint8_t *data() const { return buffer ? buffer->data() + offset : nullptr; }
};

struct ControlReply {
	uint32_t result = 0;
	std::vector<uint8_t> output;
};

// Outcome of a whole in-process exchange (exchange()).
struct ExchangeResult {
	bool transferred = false; // every transfer succeeded and a status came back
	int status = -1;
	std::vector<uint8_t> dataIn;
};

class VirtualScanner
{
public:
	// Default image data rate: about what a USB 2.0 bulk pipe moves.
	static constexpr uint64_t kUsbDataRate = 40'000'000;

	explicit VirtualScanner(Model model = Model::RM735);
	~VirtualScanner();
	VirtualScanner(const VirtualScanner &) = delete;
	VirtualScanner &operator=(const VirtualScanner &) = delete;

	// --- Identity -----------------------------------------------------------

	Model model() const;
	// Vendor 0x2F1A and the model's product id by default; any value may be
	// set (an unsupported device for discovery tests).
	UsbIdentity usbIdentity() const;
	void setUsbIdentity(const UsbIdentity &identity);

	// The 160 inquiry bytes the scanner answers INQUIRY with.
	static InquiryData defaultInquiry(Model model);
	InquiryData inquiry() const;
	void setInquiry(const InquiryData &inquiry);
	// Changes the inquiry bytes in place, under the scanner's lock:
	// scanner.editInquiry([](InquiryData &d) { d[50] &= ~0x40; });
	void editInquiry(const std::function<void(InquiryData &)> &edit);

	// --- Non-volatile memory (wire order, as READ(10) 0x69 delivers it) --------

	static NvmData defaultNvm(Model model);
	NvmData nvm() const;
	void setNvm(const NvmData &nvm);
	// Keeps the NVM in `path`: loaded now when the file exists (it must hold
	// 128 bytes), written after every NVM write (and now, when it does not
	// exist). Returns false with a message when it cannot be read or written.
	bool setNvmFile(const std::string &path, std::string *error = nullptr);
	// Qualifier of the last accepted NVM write (0x11..0x14), -1 before any.
	int lastNvmQualifier() const;

	// --- Settings received ----------------------------------------------------

	std::optional<WindowSettings> window() const;
	// Gamma table last sent with qualifier 0, 1 or 2 (512 bytes as sent).
	std::optional<GammaData> gammaTable(unsigned int qualifier) const;
	std::optional<uint16_t> powerSaveTime() const;
	std::optional<uint16_t> powerOffTime() const;
	bool reserved() const;
	bool scanning() const; // between SCAN and RELEASE UNIT
	// Byte 5 of the last RELEASE UNIT, -1 before any.
	int lastReleaseMode() const;
	// Image bytes delivered since the last SCAN.
	uint64_t imageBytesSent() const;
	// Device control 0x8000202C: the three time-outs last set, if any.
	std::optional<std::array<uint32_t, 3>> timeouts() const;

	// The calibration data read (type 0x62) delivers this deterministic
	// pattern for any length: 16-bit big-endian samples, sample i of pixel
	// i % 2580 in row i / 2580 being 0x0C00 + ((pixel * 37 + row * 11) & 0x3FF).
	static std::vector<uint8_t> calibrationData(uint32_t length);

	// Resets the volatile state as a power cycle does: window, gamma tables,
	// timers, reservation, scan, sense, exchange in progress, queued presses.
	// The NVM, inquiry, identity, document, faults and log stay.
	void powerCycle();

	// --- Document and image ---------------------------------------------------

	// The page on the glass; the test chart by default.
	void setDocument(std::unique_ptr<DocumentSource> document);
	std::string documentDescription() const;
	// The complete image (bytes per line x line count) the scanner sends for
	// the current window; empty without a window. The same bytes READ(10)
	// type 0x00 delivers after SCAN.
	std::vector<uint8_t> rawImage();

	// --- Document feeder (feeder.h) -------------------------------------------

	// Puts sheets into the feeder. From the first load on, every SCAN pulls
	// the next sheet and scans it in place of the document; SCAN with no
	// sheet, a jam or a double feed (when the window's double-feed sensor
	// strength, byte 64, is not zero) fails with the feeder's sense.
	// emptyFeeder() also turns the feeder on, with no paper in it.
	void loadFeeder(std::vector<std::unique_ptr<DocumentSource>> sheets);
	void emptyFeeder();
	void jamFeederAt(size_t n);
	void doubleFeedAt(size_t n);
	size_t sheetsInFeeder() const;
	bool usesFeeder() const;

	// Image data rate in bytes per second; 0 means as fast as possible.
	void setDataRate(uint64_t bytesPerSecond);
	uint64_t dataRate() const;
	void setFullSpeed(bool fullSpeed); // rate 0, or back to kUsbDataRate

	// --- Push buttons ---------------------------------------------------------

	// Queues a report of up to 8 bytes for the interrupt pipe; an outstanding
	// wait (device control 0x80002008) is answered with it. At most 16 presses
	// wait in the queue; the oldest is dropped beyond. Returns false for an
	// empty or too long report.
	bool pressButton(std::span<const uint8_t> bytes);
	size_t queuedPresses() const;
	// Takes the oldest queued press (what a wait is answered with).
	bool takeButtonPress(std::array<uint8_t, kButtonReportLength> &report, uint32_t &count);

	// --- Command log ----------------------------------------------------------

	std::vector<CommandRecord> commandLog() const;
	void clearCommandLog();

	// --- Fault injection ------------------------------------------------------

	// Returns an id for removeFault().
	int addFault(const FaultRule &rule);
	void removeFault(int id);
	// Removes every rule and releases stalled reads.
	void clearFaults();
	// Lets every withheld READ reply go (the rule that stalled it has fired).
	void releaseStalls();
	// Rules still armed (count not used up).
	std::vector<FaultRule> faults() const;

	// --- Wire-level device interface (used by SimServer) ----------------------
	// Each open of the device file is one connection. The exchange in progress
	// belongs to the connection that wrote its block; closing that connection
	// abandons it.

	uint64_t openConnection();
	void closeConnection(uint64_t connection);
	WriteReply write(uint64_t connection, std::span<const uint8_t> bytes);
	ReadReply read(uint64_t connection, uint32_t max);
	// 0x8000202C and 0x80002018; any other code fails (the wait on device
	// events is served by the caller through takeButtonPress()).
	ControlReply control(uint64_t connection, uint32_t code, std::span<const uint8_t> input);

	// A whole exchange in-process (block, data phase, status), as the driver
	// makes it, on a connection of its own. A stalled read is not waited for
	// (transferred is false).
	ExchangeResult exchange(std::span<const uint8_t, 10> block, std::span<const uint8_t> dataOut = {},
				uint32_t dataInLength = 0);

	// Called (without the scanner's lock held) when a press is queued or
	// stalls are released, so a server can wake its waiting connections.
	int addWakeListener(std::function<void()> listener);
	void removeWakeListener(int id);

private:
	class Private;
	std::unique_ptr<Private> d_;
};

} // namespace torvane::sim
