// SPDX-License-Identifier: MIT
// The virtual scanner: command set, exchange state machine, fault injection.

#include "torvane_sim/virtual_scanner.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>

#include "image_render.h"
#include "scanner_tables.h"
#include "torvane_protocol/byte_order.h"
#include "torvane_protocol/supported_devices.h"

namespace torvane::sim {

using protocol::readBigEndian16;
using protocol::readBigEndian32;
using protocol::writeBigEndian16;
using protocol::writeBigEndian32;

namespace {

// Operation codes and data types the scanner knows.
enum : uint8_t {
	kOpRequestSense = 0x03,
	kOpInquiry = 0x12,
	kOpReserveUnit = 0x16,
	kOpReleaseUnit = 0x17,
	kOpScan = 0x1B,
	kOpSetWindow = 0x24,
	kOpRead10 = 0x28,
	kOpSend10 = 0x2A,
};

enum : uint8_t {
	kReadImage = 0x00,
	kReadWindow = 0x60,
	kReadCalibration = 0x62,
	kReadNvm = 0x69,
	kSendGamma = 0x81,
	kSendNvm = 0x85,
	kSendPowerSave = 0xA2,
	kSendPowerOff = 0xA9,
};

constexpr uint16_t kReadQualifier = 0x0A0D;
constexpr size_t kMaxLogRecords = 65536;
constexpr size_t kMaxQueuedPresses = 16;
constexpr uint32_t kCalibrationPixels = 2580;

// Sense of the commands the scanner refuses (key, ASC, ASCQ).
struct Refusal {
	uint8_t key, asc, ascq;
};
constexpr Refusal kInvalidOperation{ 0x05, 0x20, 0x00 };
constexpr Refusal kInvalidFieldInBlock{ 0x05, 0x24, 0x00 };
constexpr Refusal kParameterListLength{ 0x05, 0x1A, 0x00 };
constexpr Refusal kParameterValueInvalid{ 0x05, 0x26, 0x02 };
constexpr Refusal kCommandSequence{ 0x05, 0x2C, 0x00 };
constexpr Refusal kInternalFailure{ 0x04, 0x44, 0x00 };

uint32_t length24(const std::array<uint8_t, 10> &block)
{
	return static_cast<uint32_t>(block[6]) << 16 | static_cast<uint32_t>(block[7]) << 8 | block[8];
}

std::shared_ptr<const std::vector<uint8_t>> bytesOf(std::vector<uint8_t> bytes)
{
	return std::make_shared<const std::vector<uint8_t>>(std::move(bytes));
}

// `source` cut or zero-padded to `length`.
std::vector<uint8_t> padded(const uint8_t *source, size_t available, uint32_t length)
{
	std::vector<uint8_t> bytes(length, 0);
	std::memcpy(bytes.data(), source, std::min<size_t>(available, length));
	return bytes;
}

bool writeFileAtomically(const std::string &path, const NvmData &data, std::string *error)
{
	const std::string temporary = path + ".tmp";
	{
		std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
		file.write(reinterpret_cast<const char *>(data.data()), data.size());
		file.close();
		if (!file) {
			if (error)
				*error = "cannot write " + temporary;
			std::remove(temporary.c_str());
			return false;
		}
	}
	if (std::rename(temporary.c_str(), path.c_str()) != 0) {
		if (error)
			*error = "cannot replace " + path + ": " + std::strerror(errno);
		std::remove(temporary.c_str());
		return false;
	}
	return true;
}

} // namespace

const ModelTraits &traitsOf(Model model)
{
	for (const ModelTraits &traits : kModelTraits)
		if (traits.model == model)
			return traits;
	return kModelTraits[0];
}

const char *modelName(Model model)
{
	return traitsOf(model).name;
}

std::optional<Model> modelFromName(std::string_view name)
{
	for (const ModelTraits &traits : kModelTraits) {
		const std::string_view known(traits.name);
		if (known.size() == name.size() &&
		    std::equal(known.begin(), known.end(), name.begin(),
			       [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) ==
							   std::toupper(static_cast<unsigned char>(b)); }))
			return traits.model;
	}
	return std::nullopt;
}

SenseData makeSense(uint8_t key, uint8_t asc, uint8_t ascq)
{
	SenseData sense{};
	sense[0] = 0x70;
	sense[2] = key & 0x0F;
	sense[7] = kSenseLength - 8;
	sense[12] = asc;
	sense[13] = ascq;
	return sense;
}

WindowSettings WindowSettings::decode(std::span<const uint8_t, kWindowLength> block)
{
	WindowSettings window;
	std::copy(block.begin(), block.end(), window.block.begin());
	const uint8_t *d = block.data() + 8; // the window descriptor
	window.xResolution = readBigEndian16(d + 2);
	window.yResolution = readBigEndian16(d + 4);
	window.upperLeftX = readBigEndian32(d + 6);
	window.upperLeftY = readBigEndian32(d + 10);
	window.width = readBigEndian32(d + 14);
	window.length = readBigEndian32(d + 18);
	window.composition = d[25];
	window.bitsPerChannel = d[26];
	window.halftonePattern = readBigEndian16(d + 27);
	window.paperLength = readBigEndian16(d + 34);
	window.modeFlags = d[42];
	window.bytesPerLine = static_cast<uint32_t>(d[59]) << 16 | readBigEndian16(d + 45);
	window.lineCount = static_cast<uint32_t>(d[60]) << 16 | readBigEndian16(d + 47);
	window.redExposure = readBigEndian16(d + 51);
	window.greenExposure = readBigEndian16(d + 53);
	window.blueExposure = readBigEndian16(d + 55);
	window.backgroundLines = d[61];
	window.pagesThisJob = d[62];
	window.ultrasonicIntensity = d[64];
	return window;
}

// --- Fault rules --------------------------------------------------------------

namespace {

FaultRule ruleOf(FaultKind kind, uint8_t operationCode)
{
	FaultRule rule;
	rule.kind = kind;
	rule.operationCode = operationCode;
	return rule;
}

} // namespace

FaultRule FaultRule::checkCondition(uint8_t operationCode, const SenseData &sense)
{
	FaultRule rule = ruleOf(FaultKind::CheckCondition, operationCode);
	rule.sense = sense;
	rule.status = kStatusCheckCondition;
	return rule;
}

FaultRule FaultRule::checkCondition(uint8_t operationCode, uint8_t key, uint8_t asc, uint8_t ascq)
{
	return checkCondition(operationCode, makeSense(key, asc, ascq));
}

FaultRule FaultRule::statusByte(uint8_t operationCode, uint8_t status)
{
	FaultRule rule = ruleOf(FaultKind::Status, operationCode);
	rule.status = status;
	return rule;
}

FaultRule FaultRule::failBlockWrite(uint8_t operationCode)
{
	return ruleOf(FaultKind::FailBlockWrite, operationCode);
}

FaultRule FaultRule::failDataPhase(uint8_t operationCode)
{
	return ruleOf(FaultKind::FailDataPhase, operationCode);
}

FaultRule FaultRule::failStatusRead(uint8_t operationCode)
{
	return ruleOf(FaultKind::FailStatusRead, operationCode);
}

FaultRule FaultRule::shortReads(uint8_t operationCode, uint32_t maxBytes)
{
	FaultRule rule = ruleOf(FaultKind::ShortRead, operationCode);
	rule.maxBytes = std::max<uint32_t>(maxBytes, 1);
	return rule;
}

FaultRule FaultRule::emptyReads(uint8_t operationCode)
{
	return ruleOf(FaultKind::EmptyRead, operationCode);
}

FaultRule FaultRule::stallRead(uint8_t operationCode)
{
	return ruleOf(FaultKind::StallRead, operationCode);
}

FaultRule &FaultRule::forDataType(uint8_t type)
{
	dataType = type;
	return *this;
}

FaultRule &FaultRule::times(int n)
{
	count = n;
	return *this;
}

FaultRule &FaultRule::always()
{
	count = kAlways;
	return *this;
}

// --- The scanner --------------------------------------------------------------

class VirtualScanner::Private
{
public:
	explicit Private(Model model);

	enum class Phase {
		Idle,
		DataOut,
		DataIn,
		Status
	};

	// The exchange in progress (one per scanner).
	struct Exchange {
		Phase phase = Phase::Idle;
		uint64_t serial = 0;
		uint64_t owner = 0;
		uint64_t logSequence = 0;
		std::array<uint8_t, 10> block{};
		uint32_t expectedOut = 0;
		std::vector<uint8_t> received;
		std::shared_ptr<const std::vector<uint8_t>> inBuffer;
		size_t inOffset = 0;
		uint32_t inLength = 0;
		uint32_t inSent = 0;
		bool imageData = false;
		uint8_t status = kStatusGood;
		// Faults that fired for this command.
		bool forcedStatus = false;
		bool failData = false;
		bool failStatus = false;
		bool stalled = false;
		uint32_t readLimit = 0;
	};

	struct ArmedFault {
		int id;
		FaultRule rule;
	};

	struct ConnectionState {
		uint64_t stalledOn = 0; // serial of the exchange a stalled read waits on
	};

	// Everything below is guarded by `mutex`.
	mutable std::mutex mutex;
	Model model;
	UsbIdentity identity;
	InquiryData inquiry;
	NvmData nvm;
	std::string nvmFile;
	int lastNvmQualifier = -1;
	std::optional<WindowSettings> window;
	std::array<std::optional<GammaData>, 3> gamma;
	std::optional<uint16_t> powerSave;
	std::optional<uint16_t> powerOff;
	std::optional<std::array<uint32_t, 3>> timeouts;
	bool reserved = false;
	bool scanning = false;
	int lastRelease = -1;

	std::unique_ptr<DocumentSource> document;
	uint64_t documentGeneration = 0;
	bool usesFeeder = false;
	Feeder feeder;
	// The image of the last render, and what it was rendered for.
	std::shared_ptr<const std::vector<uint8_t>> rendered;
	std::array<uint8_t, kWindowLength> renderedWindow{};
	uint64_t renderedGeneration = 0;
	// The image of the running scan.
	std::shared_ptr<const std::vector<uint8_t>> scanImage;
	uint64_t scanPosition = 0;
	uint64_t imageSent = 0;
	uint64_t dataRate = kUsbDataRate;

	SenseData sense = makeSense(0, 0, 0);
	bool hasSense = false;

	std::deque<std::pair<std::array<uint8_t, 8>, uint32_t>> presses;

	std::deque<CommandRecord> log;
	uint64_t logBase = 0; // sequence number of log.front()

	std::vector<ArmedFault> faults;
	int nextFaultId = 1;

	uint64_t nextConnection = 1;
	std::map<uint64_t, ConnectionState> connections;
	Exchange exchange;
	uint64_t nextSerial = 1;

	// Listeners have a lock of their own: they are called without `mutex`.
	std::mutex listenerMutex;
	std::map<int, std::shared_ptr<std::function<void()>>> listeners;
	int nextListener = 1;

	void notify();

	CommandRecord *record(uint64_t sequence);
	uint64_t appendRecord(CommandRecord record);
	void abandonExchange();
	void finishExchange();

	std::optional<FaultRule> fire(FaultKind kind, const std::array<uint8_t, 10> &block, bool consume = true);
	bool matches(const FaultRule &rule, const std::array<uint8_t, 10> &block) const;

	WriteReply startCommand(uint64_t connection, std::span<const uint8_t> bytes);
	void refuse(const Refusal &refusal);
	void failWith(uint8_t status, const SenseData *sense);
	void runDataInCommand();
	void runDataOutCommand();
	void runNoDataCommand();
	void readImage(uint32_t length);
	bool renderFor(const WindowSettings &settings, std::shared_ptr<const std::vector<uint8_t>> &image);
	bool storeNvm(const uint8_t *data);
	bool feedSheet();
};

VirtualScanner::Private::Private(Model modelValue)
	: model(modelValue), inquiry(VirtualScanner::defaultInquiry(modelValue)),
	  nvm(VirtualScanner::defaultNvm(modelValue)), document(std::make_unique<TestChart>())
{
	identity.vendorId = protocol::kSupportedVendorId;
	identity.productId = traitsOf(modelValue).productId;
	identity.release = kDeviceRelease;
	identity.language = kLanguage;
}

void VirtualScanner::Private::notify()
{
	std::vector<std::shared_ptr<std::function<void()>>> copies;
	{
		std::lock_guard<std::mutex> guard(listenerMutex);
		for (auto &entry : listeners)
			copies.push_back(entry.second);
	}
	for (auto &listener : copies)
		(*listener)();
}

CommandRecord *VirtualScanner::Private::record(uint64_t sequence)
{
	if (sequence < logBase || sequence - logBase >= log.size())
		return nullptr;
	return &log[sequence - logBase];
}

uint64_t VirtualScanner::Private::appendRecord(CommandRecord entry)
{
	if (log.size() >= kMaxLogRecords) {
		log.pop_front();
		++logBase;
	}
	log.push_back(std::move(entry));
	return logBase + log.size() - 1;
}

void VirtualScanner::Private::abandonExchange()
{
	if (exchange.phase == Phase::Idle)
		return;
	if (CommandRecord *entry = record(exchange.logSequence))
		entry->abandoned = true;
	exchange = Exchange{};
}

void VirtualScanner::Private::finishExchange()
{
	exchange = Exchange{};
}

bool VirtualScanner::Private::matches(const FaultRule &rule, const std::array<uint8_t, 10> &block) const
{
	return rule.count != 0 && rule.operationCode == block[0] && (!rule.dataType || *rule.dataType == block[2]);
}

// The oldest armed rule of `kind` that matches `block`; it fires (its count
// goes down) when `consume` is set.
std::optional<FaultRule> VirtualScanner::Private::fire(FaultKind kind, const std::array<uint8_t, 10> &block,
						       bool consume)
{
	for (auto it = faults.begin(); it != faults.end(); ++it) {
		if (it->rule.kind != kind || !matches(it->rule, block))
			continue;
		FaultRule fired = it->rule;
		if (consume && it->rule.count > 0 && --it->rule.count == 0)
			faults.erase(it);
		return fired;
	}
	return std::nullopt;
}

void VirtualScanner::Private::failWith(uint8_t status, const SenseData *failSense)
{
	exchange.status = status;
	if (status == kStatusCheckCondition && failSense) {
		sense = *failSense;
		hasSense = true;
	}
}

void VirtualScanner::Private::refuse(const Refusal &refusal)
{
	const SenseData refusalSense = makeSense(refusal.key, refusal.asc, refusal.ascq);
	failWith(kStatusCheckCondition, &refusalSense);
}

WriteReply VirtualScanner::Private::startCommand(uint64_t connection, std::span<const uint8_t> bytes)
{
	if (bytes.size() != 10)
		return { 1, 0 };

	Exchange next;
	std::copy(bytes.begin(), bytes.end(), next.block.begin());
	const auto &block = next.block;

	CommandRecord entry;
	entry.block = block;
	entry.connection = connection;

	if (fire(FaultKind::FailBlockWrite, block)) {
		entry.abandoned = true;
		appendRecord(std::move(entry));
		return { 1, 0 };
	}

	// The data phase the block announces.
	switch (block[0]) {
	case kOpRequestSense:
	case kOpInquiry:
		next.inLength = block[4];
		break;
	case kOpRead10:
		next.inLength = length24(block);
		break;
	case kOpSetWindow:
	case kOpSend10:
		next.expectedOut = length24(block);
		break;
	default:
		break;
	}
	entry.dataInLength = next.inLength;

	next.serial = nextSerial++;
	next.owner = connection;
	next.logSequence = appendRecord(std::move(entry));
	exchange = std::move(next);

	// Any command but REQUEST SENSE ends the life of the last sense.
	if (block[0] != kOpRequestSense)
		hasSense = false;

	if (auto rule = fire(FaultKind::CheckCondition, block)) {
		exchange.forcedStatus = true;
		failWith(kStatusCheckCondition, &rule->sense);
	} else if (auto other = fire(FaultKind::Status, block)) {
		exchange.forcedStatus = true;
		failWith(other->status, nullptr);
	}

	const bool hasData = exchange.inLength > 0 || exchange.expectedOut > 0;
	if (hasData && fire(FaultKind::FailDataPhase, block))
		exchange.failData = true;
	if (fire(FaultKind::FailStatusRead, block))
		exchange.failStatus = true;
	if (exchange.inLength > 0) {
		if (auto rule = fire(FaultKind::ShortRead, block))
			exchange.readLimit = rule->maxBytes;
		if (fire(FaultKind::StallRead, block))
			exchange.stalled = true;
	}

	if (exchange.inLength > 0) {
		runDataInCommand();
		exchange.phase = Phase::DataIn;
	} else if (exchange.expectedOut > 0) {
		exchange.phase = Phase::DataOut;
	} else {
		runNoDataCommand();
		exchange.phase = Phase::Status;
	}
	return { 0, 10 };
}

// Fills the data-in buffer of the command (zeros when it has failed).
void VirtualScanner::Private::runDataInCommand()
{
	const auto &block = exchange.block;
	const uint32_t length = exchange.inLength;
	auto zeros = [&] { exchange.inBuffer = bytesOf(std::vector<uint8_t>(length, 0)); };

	if (exchange.forcedStatus) {
		zeros();
		return;
	}

	switch (block[0]) {
	case kOpRequestSense: {
		const SenseData current = hasSense ? sense : makeSense(0, 0, 0);
		exchange.inBuffer = bytesOf(padded(current.data(), current.size(), length));
		hasSense = false;
		return;
	}
	case kOpInquiry:
		exchange.inBuffer = bytesOf(padded(inquiry.data(), inquiry.size(), length));
		return;
	case kOpRead10:
		break;
	default:
		zeros();
		return;
	}

	if (readBigEndian16(&block[4]) != kReadQualifier) {
		zeros();
		refuse(kInvalidFieldInBlock);
		return;
	}
	switch (block[2]) {
	case kReadImage:
		readImage(length);
		return;
	case kReadWindow:
		if (window)
			exchange.inBuffer = bytesOf(padded(window->block.data(), window->block.size(), length));
		else
			zeros();
		return;
	case kReadCalibration:
		exchange.inBuffer = bytesOf(VirtualScanner::calibrationData(length));
		return;
	case kReadNvm:
		exchange.inBuffer = bytesOf(padded(nvm.data(), nvm.size(), length));
		return;
	default:
		zeros();
		refuse(kInvalidFieldInBlock);
		return;
	}
}

void VirtualScanner::Private::readImage(uint32_t length)
{
	exchange.imageData = true;
	if (!scanning || !scanImage) {
		exchange.inBuffer = bytesOf(std::vector<uint8_t>(length, 0));
		refuse(kCommandSequence);
		return;
	}
	const uint64_t remaining = scanImage->size() - scanPosition;
	if (length <= remaining) {
		// The common case: a slice of the pre-rendered image, no copy.
		exchange.inBuffer = scanImage;
		exchange.inOffset = scanPosition;
		scanPosition += length;
		return;
	}
	// Past the end: what is left, zeros, then end of medium with the residue.
	std::vector<uint8_t> bytes(length, 0);
	std::memcpy(bytes.data(), scanImage->data() + scanPosition, remaining);
	scanPosition = scanImage->size();
	exchange.inBuffer = bytesOf(std::move(bytes));
	SenseData endOfMedium = makeSense(0, 0, 0);
	endOfMedium[0] |= 0x80; // the information field is valid
	endOfMedium[2] |= 0x60; // EOM, ILI
	writeBigEndian32(&endOfMedium[3], static_cast<uint32_t>(length - remaining));
	failWith(kStatusCheckCondition, &endOfMedium);
}

// Renders (or reuses) the raw image of `settings` from the document.
bool VirtualScanner::Private::renderFor(const WindowSettings &settings,
					std::shared_ptr<const std::vector<uint8_t>> &image)
{
	if (imageSizeOf(settings) > kMaxImageBytes)
		return false;
	if (!rendered || renderedWindow != settings.block || renderedGeneration != documentGeneration) {
		rendered = bytesOf(renderImage(settings, *document));
		renderedWindow = settings.block;
		renderedGeneration = documentGeneration;
	}
	image = rendered;
	return true;
}

bool VirtualScanner::Private::storeNvm(const uint8_t *data)
{
	std::copy(data, data + kNvmLength, nvm.begin());
	return nvmFile.empty() || writeFileAtomically(nvmFile, nvm, nullptr);
}

// Carries out a data-out command once all its data has arrived.
void VirtualScanner::Private::runDataOutCommand()
{
	if (exchange.forcedStatus)
		return;
	const auto &block = exchange.block;
	const std::vector<uint8_t> &data = exchange.received;

	if (block[0] == kOpSetWindow) {
		if (data.size() < kWindowLength) {
			refuse(kParameterListLength);
			return;
		}
		WindowSettings settings = WindowSettings::decode(std::span<const uint8_t, kWindowLength>(data.data(), kWindowLength));
		if (settings.xResolution == 0 || settings.yResolution == 0 || imageSizeOf(settings) > kMaxImageBytes) {
			refuse(kParameterValueInvalid);
			return;
		}
		window = settings;
		return;
	}
	if (block[0] != kOpSend10)
		return;

	const uint16_t qualifier = readBigEndian16(&block[4]);
	switch (block[2]) {
	case kSendGamma:
		if (qualifier > 2)
			refuse(kInvalidFieldInBlock);
		else if (data.size() != kGammaLength)
			refuse(kParameterListLength);
		else
			std::copy(data.begin(), data.end(), gamma[qualifier].emplace().begin());
		return;
	case kSendNvm:
		if (qualifier < 0x11 || qualifier > 0x14) {
			refuse(kInvalidFieldInBlock);
		} else if (data.size() != kNvmLength) {
			refuse(kParameterListLength);
		} else {
			lastNvmQualifier = qualifier;
			if (!storeNvm(data.data()))
				refuse(kInternalFailure);
		}
		return;
	case kSendPowerSave:
	case kSendPowerOff:
		if (data.size() != 2) {
			refuse(kParameterListLength);
			return;
		}
		(block[2] == kSendPowerSave ? powerSave : powerOff) = readBigEndian16(data.data());
		return;
	default:
		refuse(kInvalidFieldInBlock);
		return;
	}
}

// Pulls the sheet of this scan cycle into place of the document; false, with
// the feeder's sense, when there is none to scan.
bool VirtualScanner::Private::feedSheet()
{
	Feeder::Pull pulled = feeder.pull(window->ultrasonicIntensity != 0);
	auto refuseWith = [this](const FeederSense &why) {
		refuse(Refusal{ why.key, why.asc, why.ascq });
		return false;
	};
	switch (pulled.result) {
	case Feeder::Result::Sheet:
		break;
	case Feeder::Result::Empty:
		return refuseWith(kFeederEmptySense);
	case Feeder::Result::Jam:
		return refuseWith(kPaperJamSense);
	case Feeder::Result::DoubleFeed:
		return refuseWith(kDoubleFeedSense);
	}
	document = std::move(pulled.sheet);
	++documentGeneration;
	return true;
}

void VirtualScanner::Private::runNoDataCommand()
{
	if (exchange.forcedStatus)
		return;
	const auto &block = exchange.block;
	switch (block[0]) {
	case kOpReserveUnit:
		reserved = true;
		return;
	case kOpReleaseUnit:
		reserved = false;
		scanning = false;
		scanImage.reset();
		lastRelease = block[5];
		return;
	case kOpScan:
		if (!window) {
			refuse(kCommandSequence);
			return;
		}
		if (usesFeeder && !feedSheet())
			return;
		if (!renderFor(*window, scanImage)) {
			refuse(kParameterValueInvalid);
			return;
		}
		scanning = true;
		scanPosition = 0;
		imageSent = 0;
		return;
	default:
		refuse(kInvalidOperation);
		return;
	}
}

// --- Public interface ---------------------------------------------------------

VirtualScanner::VirtualScanner(Model model)
	: d_(std::make_unique<Private>(model))
{
}

VirtualScanner::~VirtualScanner() = default;

Model VirtualScanner::model() const
{
	return d_->model;
}

UsbIdentity VirtualScanner::usbIdentity() const
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	return d_->identity;
}

void VirtualScanner::setUsbIdentity(const UsbIdentity &identity)
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	d_->identity = identity;
}

InquiryData VirtualScanner::defaultInquiry(Model model)
{
	const ModelTraits &traits = traitsOf(model);
	InquiryData data{};
	for (const InquiryByte &entry : kCommonInquiry)
		data[entry.offset] = entry.value;
	std::memcpy(&data[8], kVendor, 8);
	std::memcpy(&data[16], traits.name, std::strlen(traits.name));
	std::memcpy(&data[32], kRevision, 4);
	data[36] = static_cast<uint8_t>(traits.kindCode << 4);
	data[39] = traits.flags39;
	data[50] = traits.flags50;
	writeBigEndian16(&data[83], traits.scanLength);
	writeBigEndian16(&data[87], traits.word87);
	data[92] = traits.buttons;
	return data;
}

InquiryData VirtualScanner::inquiry() const
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	return d_->inquiry;
}

void VirtualScanner::setInquiry(const InquiryData &inquiry)
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	d_->inquiry = inquiry;
}

void VirtualScanner::editInquiry(const std::function<void(InquiryData &)> &edit)
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	edit(d_->inquiry);
}

NvmData VirtualScanner::defaultNvm(Model model)
{
	const ModelTraits &traits = traitsOf(model);
	NvmData data{};
	writeBigEndian32(&data[0x00], 12345); // pages scanned
	writeBigEndian32(&data[0x04], 500);
	writeBigEndian32(&data[0x0C], 7);
	for (int i = 0; i < 6; ++i) // the carried words
		writeBigEndian16(&data[0x10 + 2 * i], static_cast<uint16_t>(0x0102 + 0x0202 * i));
	writeBigEndian16(&data[0x1C], 3); // initialised 14 March 2024
	writeBigEndian16(&data[0x1E], 14);
	writeBigEndian16(&data[0x20], 2024);
	data[0x2C] = 0x01;
	const std::string text = std::string("TORVANE ") + traits.name;
	std::memcpy(&data[0x2E], text.data(), text.size());
	writeBigEndian16(&data[0x46], 0x0102);
	writeBigEndian32(&data[0x49], 256);
	std::memcpy(&data[0x56], traits.serial, std::strlen(traits.serial));
	std::memcpy(&data[0x66], "FW 1.03 2024-03", 15);
	data[0x76] = 0x02;
	return data;
}

NvmData VirtualScanner::nvm() const
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	return d_->nvm;
}

void VirtualScanner::setNvm(const NvmData &nvm)
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	d_->nvm = nvm;
}

bool VirtualScanner::setNvmFile(const std::string &path, std::string *error)
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	std::ifstream file(path, std::ios::binary);
	if (file) {
		std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
		if (bytes.size() != kNvmLength) {
			if (error)
				*error = path + " does not hold a 128-byte NVM record";
			return false;
		}
		std::copy(bytes.begin(), bytes.end(), d_->nvm.begin());
	} else if (!writeFileAtomically(path, d_->nvm, error)) {
		return false;
	}
	d_->nvmFile = path;
	return true;
}

int VirtualScanner::lastNvmQualifier() const
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	return d_->lastNvmQualifier;
}

std::optional<WindowSettings> VirtualScanner::window() const
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	return d_->window;
}

std::optional<GammaData> VirtualScanner::gammaTable(unsigned int qualifier) const
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	if (qualifier >= d_->gamma.size())
		return std::nullopt;
	return d_->gamma[qualifier];
}

std::optional<uint16_t> VirtualScanner::powerSaveTime() const
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	return d_->powerSave;
}

std::optional<uint16_t> VirtualScanner::powerOffTime() const
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	return d_->powerOff;
}

bool VirtualScanner::reserved() const
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	return d_->reserved;
}

bool VirtualScanner::scanning() const
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	return d_->scanning;
}

int VirtualScanner::lastReleaseMode() const
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	return d_->lastRelease;
}

uint64_t VirtualScanner::imageBytesSent() const
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	return d_->imageSent;
}

std::optional<std::array<uint32_t, 3>> VirtualScanner::timeouts() const
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	return d_->timeouts;
}

std::vector<uint8_t> VirtualScanner::calibrationData(uint32_t length)
{
	std::vector<uint8_t> data(length, 0);
	for (uint32_t i = 0; i + 1 < length; i += 2) {
		const uint32_t sample = i / 2;
		const uint32_t pixel = sample % kCalibrationPixels;
		const uint32_t row = sample / kCalibrationPixels;
		writeBigEndian16(&data[i], static_cast<uint16_t>(0x0C00 + ((pixel * 37 + row * 11) & 0x3FF)));
	}
	return data;
}

void VirtualScanner::powerCycle()
{
	{
		std::lock_guard<std::mutex> guard(d_->mutex);
		d_->abandonExchange();
		d_->window.reset();
		d_->gamma = {};
		d_->powerSave.reset();
		d_->powerOff.reset();
		d_->timeouts.reset();
		d_->reserved = false;
		d_->scanning = false;
		d_->scanImage.reset();
		d_->scanPosition = 0;
		d_->imageSent = 0;
		d_->hasSense = false;
		d_->presses.clear();
	}
	d_->notify();
}

void VirtualScanner::setDocument(std::unique_ptr<DocumentSource> document)
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	d_->document = document ? std::move(document) : std::make_unique<TestChart>();
	++d_->documentGeneration;
}

std::string VirtualScanner::documentDescription() const
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	return d_->document->description();
}

std::vector<uint8_t> VirtualScanner::rawImage()
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	std::shared_ptr<const std::vector<uint8_t>> image;
	if (!d_->window || !d_->renderFor(*d_->window, image))
		return {};
	return *image;
}

void VirtualScanner::loadFeeder(std::vector<std::unique_ptr<DocumentSource>> sheets)
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	d_->usesFeeder = true;
	d_->feeder.load(std::move(sheets));
}

void VirtualScanner::emptyFeeder()
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	d_->usesFeeder = true;
	d_->feeder.empty();
}

void VirtualScanner::jamFeederAt(size_t n)
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	d_->feeder.jamAt(n);
}

void VirtualScanner::doubleFeedAt(size_t n)
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	d_->feeder.doubleFeedAt(n);
}

size_t VirtualScanner::sheetsInFeeder() const
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	return d_->feeder.sheets();
}

bool VirtualScanner::usesFeeder() const
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	return d_->usesFeeder;
}

void VirtualScanner::setDataRate(uint64_t bytesPerSecond)
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	d_->dataRate = bytesPerSecond;
}

uint64_t VirtualScanner::dataRate() const
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	return d_->dataRate;
}

void VirtualScanner::setFullSpeed(bool fullSpeed)
{
	setDataRate(fullSpeed ? 0 : kUsbDataRate);
}

bool VirtualScanner::pressButton(std::span<const uint8_t> bytes)
{
	if (bytes.empty() || bytes.size() > kButtonReportLength)
		return false;
	{
		std::lock_guard<std::mutex> guard(d_->mutex);
		std::array<uint8_t, 8> report{};
		std::copy(bytes.begin(), bytes.end(), report.begin());
		if (d_->presses.size() >= kMaxQueuedPresses)
			d_->presses.pop_front();
		d_->presses.emplace_back(report, static_cast<uint32_t>(bytes.size()));
	}
	d_->notify();
	return true;
}

size_t VirtualScanner::queuedPresses() const
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	return d_->presses.size();
}

bool VirtualScanner::takeButtonPress(std::array<uint8_t, kButtonReportLength> &report, uint32_t &count)
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	if (d_->presses.empty())
		return false;
	report = d_->presses.front().first;
	count = d_->presses.front().second;
	d_->presses.pop_front();
	return true;
}

std::vector<CommandRecord> VirtualScanner::commandLog() const
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	return { d_->log.begin(), d_->log.end() };
}

void VirtualScanner::clearCommandLog()
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	d_->logBase += d_->log.size();
	d_->log.clear();
}

int VirtualScanner::addFault(const FaultRule &rule)
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	const int id = d_->nextFaultId++;
	if (rule.count != 0)
		d_->faults.push_back({ id, rule });
	return id;
}

void VirtualScanner::removeFault(int id)
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	std::erase_if(d_->faults, [id](const Private::ArmedFault &fault) { return fault.id == id; });
}

void VirtualScanner::clearFaults()
{
	{
		std::lock_guard<std::mutex> guard(d_->mutex);
		d_->faults.clear();
		d_->exchange.stalled = false;
	}
	d_->notify();
}

void VirtualScanner::releaseStalls()
{
	{
		std::lock_guard<std::mutex> guard(d_->mutex);
		d_->exchange.stalled = false;
	}
	d_->notify();
}

std::vector<FaultRule> VirtualScanner::faults() const
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	std::vector<FaultRule> rules;
	for (const auto &fault : d_->faults)
		rules.push_back(fault.rule);
	return rules;
}

uint64_t VirtualScanner::openConnection()
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	const uint64_t id = d_->nextConnection++;
	d_->connections[id] = {};
	return id;
}

void VirtualScanner::closeConnection(uint64_t connection)
{
	bool abandoned = false;
	{
		std::lock_guard<std::mutex> guard(d_->mutex);
		d_->connections.erase(connection);
		if (d_->exchange.phase != Private::Phase::Idle && d_->exchange.owner == connection) {
			d_->abandonExchange();
			abandoned = true;
		}
	}
	if (abandoned)
		d_->notify();
}

WriteReply VirtualScanner::write(uint64_t connection, std::span<const uint8_t> bytes)
{
	bool abandoned = false;
	WriteReply reply;
	{
		std::lock_guard<std::mutex> guard(d_->mutex);
		Private::Exchange &exchange = d_->exchange;
		switch (exchange.phase) {
		case Private::Phase::Idle:
			return d_->startCommand(connection, bytes);
		case Private::Phase::DataOut: {
			if (exchange.failData) {
				d_->abandonExchange();
				return { 1, 0 };
			}
			const size_t wanted = exchange.expectedOut - exchange.received.size();
			const size_t taken = std::min(wanted, bytes.size());
			exchange.received.insert(exchange.received.end(), bytes.begin(), bytes.begin() + taken);
			if (CommandRecord *entry = d_->record(exchange.logSequence))
				entry->dataOut = exchange.received;
			if (exchange.received.size() == exchange.expectedOut) {
				d_->runDataOutCommand();
				exchange.phase = Private::Phase::Status;
			}
			return { 0, static_cast<uint32_t>(taken) };
		}
		case Private::Phase::DataIn:
		case Private::Phase::Status:
			// The host has given up on the exchange: a new block starts over.
			if (bytes.size() != 10)
				return { 1, 0 };
			d_->abandonExchange();
			abandoned = true;
			reply = d_->startCommand(connection, bytes);
			break;
		}
	}
	if (abandoned)
		d_->notify();
	return reply;
}

ReadReply VirtualScanner::read(uint64_t connection, uint32_t max)
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	Private::Exchange &exchange = d_->exchange;
	ReadReply reply;

	auto state = d_->connections.find(connection);
	if (state != d_->connections.end() && state->second.stalledOn != 0) {
		const uint64_t waitedOn = state->second.stalledOn;
		if (waitedOn != exchange.serial) {
			// The stalled exchange was dropped while this read waited.
			state->second.stalledOn = 0;
			reply.result = 1;
			return reply;
		}
	}

	switch (exchange.phase) {
	case Private::Phase::DataIn: {
		if (exchange.failData) {
			d_->abandonExchange();
			reply.result = 1;
			return reply;
		}
		if (exchange.stalled) {
			if (state != d_->connections.end())
				state->second.stalledOn = exchange.serial;
			reply.stalled = true;
			return reply;
		}
		if (state != d_->connections.end())
			state->second.stalledOn = 0;
		if (max == 0 || d_->fire(FaultKind::EmptyRead, exchange.block))
			return reply;
		uint32_t count = std::min(max, exchange.inLength - exchange.inSent);
		if (exchange.readLimit)
			count = std::min(count, exchange.readLimit);
		reply.buffer = exchange.inBuffer;
		reply.offset = exchange.inOffset + exchange.inSent;
		reply.length = count;
		reply.imageData = exchange.imageData;
		exchange.inSent += count;
		if (exchange.imageData)
			d_->imageSent += count;
		if (CommandRecord *entry = d_->record(exchange.logSequence))
			entry->dataInSent = exchange.inSent;
		if (exchange.inSent == exchange.inLength)
			exchange.phase = Private::Phase::Status;
		return reply;
	}
	case Private::Phase::Status: {
		if (exchange.failStatus) {
			d_->abandonExchange();
			reply.result = 1;
			return reply;
		}
		if (max == 0)
			return reply;
		reply.buffer = bytesOf({ exchange.status });
		reply.length = 1;
		if (CommandRecord *entry = d_->record(exchange.logSequence))
			entry->status = exchange.status;
		d_->finishExchange();
		return reply;
	}
	case Private::Phase::Idle:
	case Private::Phase::DataOut:
		break;
	}
	// Nothing to deliver: the pipe would time out.
	reply.result = 1;
	return reply;
}

ControlReply VirtualScanner::control(uint64_t, uint32_t code, std::span<const uint8_t> input)
{
	std::lock_guard<std::mutex> guard(d_->mutex);
	ControlReply reply;
	switch (code) {
	case protocol::kIoctlSetTimeout:
		if (input.size() != protocol::kTimeoutRecordLength) {
			reply.result = 1;
			break;
		}
		d_->timeouts = std::array<uint32_t, 3>{};
		for (size_t i = 0; i < 3; ++i)
			(*d_->timeouts)[i] = protocol::readLittleEndian32(&input[4 * i]);
		break;
	case protocol::kIoctlGetDeviceDescriptor: {
		const auto record = protocol::encodeDeviceDescriptor(d_->identity);
		reply.output.assign(record.begin(), record.end());
		break;
	}
	default:
		reply.result = 1;
		break;
	}
	return reply;
}

ExchangeResult VirtualScanner::exchange(std::span<const uint8_t, 10> block, std::span<const uint8_t> dataOut,
					uint32_t dataInLength)
{
	ExchangeResult result;
	const uint64_t connection = openConnection();
	auto finish = [&](bool transferred) {
		closeConnection(connection);
		result.transferred = transferred;
		return result;
	};
	if (write(connection, block).result != 0)
		return finish(false);
	// An empty read is asked again a bounded number of times, as a driver does.
	int emptyReplies = 0;
	while (result.dataIn.size() < dataInLength) {
		ReadReply reply = read(connection, dataInLength - static_cast<uint32_t>(result.dataIn.size()));
		if (reply.stalled || reply.result != 0)
			return finish(false);
		if (reply.length == 0 && ++emptyReplies > 100)
			return finish(false);
		result.dataIn.insert(result.dataIn.end(), reply.data(), reply.data() + reply.length);
	}
	if (!dataOut.empty()) {
		WriteReply reply = write(connection, dataOut);
		if (reply.result != 0)
			return finish(false);
	}
	ReadReply status = read(connection, 1);
	if (status.stalled || status.result != 0 || status.length != 1)
		return finish(false);
	result.status = status.data()[0];
	return finish(true);
}

int VirtualScanner::addWakeListener(std::function<void()> listener)
{
	std::lock_guard<std::mutex> guard(d_->listenerMutex);
	const int id = d_->nextListener++;
	d_->listeners[id] = std::make_shared<std::function<void()>>(std::move(listener));
	return id;
}

void VirtualScanner::removeWakeListener(int id)
{
	std::lock_guard<std::mutex> guard(d_->listenerMutex);
	d_->listeners.erase(id);
}

} // namespace torvane::sim
