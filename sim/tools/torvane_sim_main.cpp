// SPDX-License-Identifier: MIT
// torvane-sim: serves simulated Torvane scanners as device files until stopped.

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <getopt.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "feeder_commands.h"
#include "torvane_sim/document.h"
#include "torvane_sim/fault_text.h"
#include "torvane_sim/sim_server.h"
#include "torvane_sim/tcp_listener.h"
#include "torvane_sim/virtual_scanner.h"

using namespace torvane::sim;

namespace {

constexpr const char *kUsage = R"(Usage: torvane-sim [OPTION]...
Serves a simulated Torvane scanner as the device file DIR/usbscanN (a Unix
stream socket) until it is stopped with SIGINT or SIGTERM, or with "quit" or
the end of input on stdin. Prints one line when ready:
  torvane-sim: MODEL ready at DIR/usbscanN

Options:
  -d, --dir DIR             device directory (default: $TORVANE_DEVICE_DIR)
  -m, --model MODEL         RM735 (default; two push buttons) or KT918
  -n, --number N            device number N, the file DIR/usbscanN (default 0)
      --tcp PORT            serve the scanners on 127.0.0.1:PORT too (0: a
                            free port), for the Wine kernel driver; prints
                            torvane-sim: serving on 127.0.0.1:PORT
      --also N              serve one more scanner of the same model as
                            usbscanN (repeatable; faults and events apply to
                            the first scanner only)
      --vendor ID           USB vendor id presented (default 0x2F1A)
      --product ID          USB product id presented (default: the model's;
                            another id makes an unsupported device)
  -D, --document FILE       the page to scan: a PNG or binary PNM (P5/P6)
                            file, or "chart" for the built-in test chart
                            (default). A file is as large as its pixels at
                            its own resolution (PNG pHYs, else 300 dpi).
      --feeder FILE         a sheet in the document feeder (repeatable, in
                            order; a folder adds its PNG/PNM files in name
                            order; "chart" allowed): each scan takes the next
                            sheet and an empty feeder refuses to scan
      --nvm FILE            keep the 128-byte NVM record in FILE: loaded at
                            start (created when missing), saved on every write
      --full-speed          deliver image data as fast as possible
      --rate BYTES          image data rate in bytes per second (default
                            40000000, about a USB 2.0 bulk pipe)
  -f, --fault RULE          inject a fault (repeatable); see FAULT RULES
      --press-after MS:BYTES
                            press a button MS milliseconds after start: the
                            interrupt pipe delivers BYTES (hex, e.g. 05 or
                            07,04; at most 8 bytes) (repeatable)
      --unplug-after MS     unplug the scanner MS milliseconds after start
      --replug-after MS:N   plug it in again as usbscanN MS milliseconds
                            after start
      --ignore-stdin        read no commands from stdin (stdin that is
                            /dev/null or closed is ignored anyway)
  -q, --quiet               print nothing but errors and the ready line
  -h, --help                show this help and exit

FAULT RULES
  KIND,op=N[,type=N][,count=N|always][,sense=K/ASC/ASCQ][,status=N][,bytes=N]
  KIND is one of
    check        CHECK CONDITION with the sense data given (sense=05/24/00, or
                 all 22 bytes as 44 hex digits); the next REQUEST SENSE
                 returns them (op=0x03 makes REQUEST SENSE itself fail)
    status       another status byte (status=N, default 8 BUSY)
    fail-block   the write of the command block fails
    fail-data    the data phase fails (first data read, or the data write)
    fail-status  the read of the status byte fails
    short        each data read of the command carries at most bytes=N bytes
    empty        one data read is answered with no bytes (count= of them)
    stall        the image read reply is withheld until "release", "clear"
                 or the driver closes the connection
  op is the operation code, type the data type (byte 2 of the block); count
  is how many commands the rule strikes (default 1). Numbers are decimal or
  0x hexadecimal. Examples:
    --fault check,op=0x12,sense=02/04/01
    --fault status,op=0x2A,type=0x81,status=8
    --fault short,op=0x28,type=0,bytes=4096,count=always
    --fault stall,op=0x28,type=0

COMMANDS ON STDIN (one per line)
  press BYTES      press a button (hex bytes, e.g. press 05)
  unplug           unplug the scanner
  replug N         plug it in (again) as usbscanN
  fault RULE       add a fault rule
  clear            remove all fault rules and release stalled reads
  release          release stalled reads
  fullspeed on|off image data as fast as possible, or at the default rate
  log              print the commands received so far
  status           print the scanner's state
  load FILE...     put sheets (files, folders, chart) into the feeder
  empty            take every sheet out of the feeder
  jam [N]          the Nth sheet from now (default the next) jams
  double-feed N    the Nth sheet from now goes in with the one behind it
                   (reported when the window's double-feed sensor is on)
  quit             stop

Exit status: 0 after a clean stop, 1 on a start-up error, 2 on bad usage.
)";

struct TimedEvent {
	std::chrono::milliseconds at;
	enum class Kind {
		Press,
		Unplug,
		Replug
	} kind;
	std::vector<uint8_t> bytes;
	unsigned int number = 0;
};

struct Options {
	std::string directory = SimServer::defaultDirectory();
	Model model = Model::RM735;
	unsigned int number = 0;
	std::vector<unsigned int> extra;
	std::optional<uint16_t> tcpPort;
	std::optional<uint16_t> vendor;
	std::optional<uint16_t> product;
	std::string document = "chart";
	std::vector<std::string> feeder;
	std::string nvmFile;
	std::optional<uint64_t> rate;
	std::vector<FaultRule> faults;
	std::vector<TimedEvent> events;
	bool ignoreStdin = false;
	bool quiet = false;
};

[[noreturn]] void usageError(const std::string &message)
{
	std::fprintf(stderr, "torvane-sim: %s\nTry 'torvane-sim --help'.\n", message.c_str());
	std::exit(2);
}

unsigned int deviceNumber(const char *text)
{
	auto number = parseNumber(text, 126);
	if (!number)
		usageError(std::string("bad device number: ") + text);
	return *number;
}

// "MS:REST" split at the first colon.
std::pair<std::chrono::milliseconds, std::string> timed(const char *text)
{
	const std::string value(text);
	const size_t colon = value.find(':');
	auto ms = parseNumber(value.substr(0, colon));
	if (!ms || colon == std::string::npos)
		usageError("expected MS:VALUE, got " + value);
	return { std::chrono::milliseconds(*ms), value.substr(colon + 1) };
}

// Option codes of the long options without a letter.
enum {
	kAlso = 256,
	kVendor,
	kProduct,
	kNvm,
	kFullSpeed,
	kRate,
	kPressAfter,
	kUnplugAfter,
	kReplugAfter,
	kIgnoreStdin,
	kTcp,
	kFeeder,
};

constexpr option kLongOptions[] = {
	{ "dir", required_argument, nullptr, 'd' },
	{ "model", required_argument, nullptr, 'm' },
	{ "number", required_argument, nullptr, 'n' },
	{ "also", required_argument, nullptr, kAlso },
	{ "tcp", required_argument, nullptr, kTcp },
	{ "vendor", required_argument, nullptr, kVendor },
	{ "product", required_argument, nullptr, kProduct },
	{ "document", required_argument, nullptr, 'D' },
	{ "feeder", required_argument, nullptr, kFeeder },
	{ "nvm", required_argument, nullptr, kNvm },
	{ "full-speed", no_argument, nullptr, kFullSpeed },
	{ "rate", required_argument, nullptr, kRate },
	{ "fault", required_argument, nullptr, 'f' },
	{ "press-after", required_argument, nullptr, kPressAfter },
	{ "unplug-after", required_argument, nullptr, kUnplugAfter },
	{ "replug-after", required_argument, nullptr, kReplugAfter },
	{ "ignore-stdin", no_argument, nullptr, kIgnoreStdin },
	{ "quiet", no_argument, nullptr, 'q' },
	{ "help", no_argument, nullptr, 'h' },
	{ nullptr, 0, nullptr, 0 },
};

// Each apply step takes the options of its group and says whether `code`
// was one of them; a bad value ends the program with usageError.

// Where the scanner is served and what it says it is.
bool applyDeviceOption(int code, const char *value, Options *options)
{
	switch (code) {
	case 'd':
		options->directory = value;
		return true;
	case 'm': {
		auto model = modelFromName(value);
		if (!model)
			usageError(std::string("unknown model: ") + value);
		options->model = *model;
		return true;
	}
	case 'n':
		options->number = deviceNumber(value);
		return true;
	case kAlso:
		options->extra.push_back(deviceNumber(value));
		return true;
	case kTcp: {
		auto port = parseNumber(value, 0xFFFF);
		if (!port)
			usageError(std::string("bad TCP port: ") + value);
		options->tcpPort = static_cast<uint16_t>(*port);
		return true;
	}
	case kVendor:
	case kProduct: {
		auto id = parseNumber(value, 0xFFFF);
		if (!id)
			usageError(std::string("bad USB id: ") + value);
		(code == kVendor ? options->vendor : options->product) = static_cast<uint16_t>(*id);
		return true;
	}
	}
	return false;
}

// What the scanner scans and keeps, how fast, and the faults it makes.
bool applyScannerOption(int code, const char *value, Options *options)
{
	switch (code) {
	case 'D':
		options->document = value;
		return true;
	case kFeeder:
		options->feeder.push_back(value);
		return true;
	case kNvm:
		options->nvmFile = value;
		return true;
	case kFullSpeed:
		options->rate = 0;
		return true;
	case kRate: {
		auto rate = parseNumber(value);
		if (!rate)
			usageError(std::string("bad rate: ") + value);
		options->rate = *rate;
		return true;
	}
	case 'f': {
		std::string error;
		auto rule = parseFaultRule(value, &error);
		if (!rule)
			usageError(error);
		options->faults.push_back(*rule);
		return true;
	}
	}
	return false;
}

// Button presses, unplugs and replugs at given times.
bool applyEventOption(int code, const char *value, Options *options)
{
	switch (code) {
	case kPressAfter: {
		auto [at, text] = timed(value);
		auto bytes = parseHexBytes(text);
		if (!bytes || bytes->empty() || bytes->size() > kButtonReportLength)
			usageError("bad button bytes: " + text);
		options->events.push_back({ at, TimedEvent::Kind::Press, *bytes, 0 });
		return true;
	}
	case kUnplugAfter: {
		auto ms = parseNumber(value);
		if (!ms)
			usageError(std::string("bad time: ") + value);
		options->events.push_back({ std::chrono::milliseconds(*ms), TimedEvent::Kind::Unplug, {}, 0 });
		return true;
	}
	case kReplugAfter: {
		auto [at, text] = timed(value);
		options->events.push_back({ at, TimedEvent::Kind::Replug, {}, deviceNumber(text.c_str()) });
		return true;
	}
	}
	return false;
}

// The program's own options; --help and an unknown option end it.
void applyProgramOption(int code, Options *options)
{
	switch (code) {
	case kIgnoreStdin:
		options->ignoreStdin = true;
		break;
	case 'q':
		options->quiet = true;
		break;
	case 'h':
		std::fputs(kUsage, stdout);
		std::exit(0);
	default:
		std::fputs("Try 'torvane-sim --help'.\n", stderr);
		std::exit(2);
	}
}

Options parseOptions(int argc, char **argv)
{
	Options options;
	int c;
	while ((c = getopt_long(argc, argv, "d:m:n:D:f:qh", kLongOptions, nullptr)) != -1) {
		if (!applyDeviceOption(c, optarg, &options) && !applyScannerOption(c, optarg, &options) &&
		    !applyEventOption(c, optarg, &options))
			applyProgramOption(c, &options);
	}
	if (optind < argc)
		usageError(std::string("unexpected argument: ") + argv[optind]);
	if (options.directory.empty())
		usageError("no device directory: give --dir or set TORVANE_DEVICE_DIR");
	// Events run in the order of their times.
	std::stable_sort(options.events.begin(), options.events.end(),
			 [](const TimedEvent &a, const TimedEvent &b) { return a.at < b.at; });
	return options;
}

std::string hexBytes(const uint8_t *bytes, size_t length)
{
	std::string text;
	char piece[4];
	for (size_t i = 0; i < length; ++i) {
		std::snprintf(piece, sizeof(piece), i ? " %02X" : "%02X", bytes[i]);
		text += piece;
	}
	return text;
}

// Stdin that is closed or /dev/null carries no commands: a program started
// in the background must not stop at once.
bool stdinCarriesCommands()
{
	struct stat status {};
	if (::fstat(STDIN_FILENO, &status) != 0)
		return false;
	return !(S_ISCHR(status.st_mode) && !::isatty(STDIN_FILENO));
}

class SimProgram
{
public:
	explicit SimProgram(Options options) : options_(std::move(options)), server_(options_.directory) {}

	int run();

private:
	bool setUp();
	void note(const std::string &message);
	bool command(const std::string &line);
	void runEvent(const TimedEvent &event);
	void press(const std::vector<uint8_t> &bytes);
	void unplug();
	void replug(unsigned int number);
	void printLog();
	void printStatus();

	Options options_;
	SimServer server_;
	TcpListener tcpListener_{ server_ };
	std::shared_ptr<VirtualScanner> scanner_;
	std::optional<unsigned int> plugged_;
	unsigned int lastNumber_ = 0;
};

void SimProgram::note(const std::string &message)
{
	if (!options_.quiet) {
		std::printf("torvane-sim: %s\n", message.c_str());
		std::fflush(stdout);
	}
}

bool SimProgram::setUp()
{
	auto makeScanner = [this]() -> std::shared_ptr<VirtualScanner> {
		auto scanner = std::make_shared<VirtualScanner>(options_.model);
		UsbIdentity identity = scanner->usbIdentity();
		if (options_.vendor)
			identity.vendorId = *options_.vendor;
		if (options_.product)
			identity.productId = *options_.product;
		scanner->setUsbIdentity(identity);
		if (options_.rate)
			scanner->setDataRate(*options_.rate);
		std::string error;
		auto document = loadDocument(options_.document, &error);
		if (!document) {
			std::fprintf(stderr, "torvane-sim: %s\n", error.c_str());
			return nullptr;
		}
		scanner->setDocument(std::move(document));
		if (!options_.feeder.empty() && !loadFeederSheets(*scanner, options_.feeder, &error)) {
			std::fprintf(stderr, "torvane-sim: %s\n", error.c_str());
			return nullptr;
		}
		return scanner;
	};

	scanner_ = makeScanner();
	if (!scanner_)
		return false;
	std::string error;
	if (!options_.nvmFile.empty() && !scanner_->setNvmFile(options_.nvmFile, &error)) {
		std::fprintf(stderr, "torvane-sim: %s\n", error.c_str());
		return false;
	}
	for (const FaultRule &rule : options_.faults)
		scanner_->addFault(rule);
	if (!server_.plug(scanner_, options_.number, &error)) {
		std::fprintf(stderr, "torvane-sim: %s\n", error.c_str());
		return false;
	}
	plugged_ = options_.number;
	lastNumber_ = options_.number;
	for (unsigned int number : options_.extra) {
		auto extra = makeScanner();
		if (!extra || !server_.plug(extra, number, &error)) {
			if (extra)
				std::fprintf(stderr, "torvane-sim: %s\n", error.c_str());
			return false;
		}
	}
	if (options_.tcpPort) {
		if (!tcpListener_.listen(*options_.tcpPort, &error)) {
			std::fprintf(stderr, "torvane-sim: %s\n", error.c_str());
			return false;
		}
		std::printf("torvane-sim: serving on 127.0.0.1:%u\n", static_cast<unsigned int>(tcpListener_.port()));
	}
	note("document: " + scanner_->documentDescription());
	if (scanner_->usesFeeder())
		note("feeder: " + std::to_string(scanner_->sheetsInFeeder()) + " sheets");
	for (unsigned int number : server_.numbers())
		std::printf("torvane-sim: %s ready at %s\n", modelName(options_.model), server_.socketPath(number).c_str());
	std::fflush(stdout);
	return true;
}

void SimProgram::press(const std::vector<uint8_t> &bytes)
{
	scanner_->pressButton(bytes);
	note("button pressed: " + hexBytes(bytes.data(), bytes.size()));
}

void SimProgram::unplug()
{
	if (!plugged_) {
		note("not plugged in");
		return;
	}
	server_.unplug(*plugged_);
	note("unplugged usbscan" + std::to_string(*plugged_));
	plugged_.reset();
}

void SimProgram::replug(unsigned int number)
{
	if (plugged_)
		server_.unplug(*plugged_);
	plugged_.reset();
	std::string error;
	if (!server_.plug(scanner_, number, &error)) {
		std::fprintf(stderr, "torvane-sim: %s\n", error.c_str());
		return;
	}
	plugged_ = number;
	lastNumber_ = number;
	note("plugged in at " + server_.socketPath(number));
}

void SimProgram::runEvent(const TimedEvent &event)
{
	switch (event.kind) {
	case TimedEvent::Kind::Press:
		press(event.bytes);
		break;
	case TimedEvent::Kind::Unplug:
		unplug();
		break;
	case TimedEvent::Kind::Replug:
		replug(event.number);
		break;
	}
}

void SimProgram::printLog()
{
	for (const CommandRecord &entry : scanner_->commandLog()) {
		std::string line = hexBytes(entry.block.data(), entry.block.size());
		if (!entry.dataOut.empty())
			line += " out=" + std::to_string(entry.dataOut.size());
		if (entry.dataInLength)
			line += " in=" + std::to_string(entry.dataInSent) + "/" + std::to_string(entry.dataInLength);
		line += entry.status >= 0 ? " status=" + std::to_string(entry.status) : std::string(" no status");
		if (entry.abandoned)
			line += " abandoned";
		std::printf("%s\n", line.c_str());
	}
	std::fflush(stdout);
}

void SimProgram::printStatus()
{
	const auto window = scanner_->window();
	std::printf("plugged: %s\nreserved: %d scanning: %d image bytes sent: %llu\n",
		    plugged_ ? server_.socketPath(*plugged_).c_str() : "no", scanner_->reserved(), scanner_->scanning(),
		    static_cast<unsigned long long>(scanner_->imageBytesSent()));
	if (window)
		std::printf("window: %u dpi, composition %u, %u bits, %u bytes x %u lines\n", window->xResolution,
			    window->composition, window->bitsPerChannel, window->bytesPerLine, window->lineCount);
	std::printf("faults armed: %zu, presses queued: %zu\n", scanner_->faults().size(), scanner_->queuedPresses());
	std::fflush(stdout);
}

// One stdin command; false to stop.
bool SimProgram::command(const std::string &line)
{
	const size_t start = line.find_first_not_of(" \t\r");
	if (start == std::string::npos)
		return true;
	const std::string trimmed = line.substr(start, line.find_last_not_of(" \t\r") - start + 1);
	const size_t space = trimmed.find(' ');
	const std::string verb = trimmed.substr(0, space);
	const std::string argument =
		space == std::string::npos ? std::string() : trimmed.substr(trimmed.find_first_not_of(' ', space));

	if (verb == "quit" || verb == "exit")
		return false;
	if (verb == "press") {
		auto bytes = parseHexBytes(argument);
		if (!bytes || bytes->empty() || bytes->size() > kButtonReportLength)
			std::fprintf(stderr, "torvane-sim: press wants 1 to 8 hex bytes\n");
		else
			press(*bytes);
	} else if (verb == "unplug") {
		unplug();
	} else if (verb == "replug") {
		auto number = argument.empty() ? std::optional<uint32_t>(lastNumber_) : parseNumber(argument, 126);
		if (!number)
			std::fprintf(stderr, "torvane-sim: replug wants a device number\n");
		else
			replug(*number);
	} else if (verb == "fault") {
		std::string error;
		auto rule = parseFaultRule(argument, &error);
		if (!rule) {
			std::fprintf(stderr, "torvane-sim: %s\n", error.c_str());
		} else {
			scanner_->addFault(*rule);
			note("fault added: " + argument);
		}
	} else if (verb == "clear") {
		scanner_->clearFaults();
		note("faults cleared");
	} else if (verb == "release") {
		scanner_->releaseStalls();
		note("stalls released");
	} else if (verb == "fullspeed") {
		scanner_->setFullSpeed(argument != "off");
		note(argument != "off" ? "full speed" : "USB speed");
	} else if (verb == "log") {
		printLog();
	} else if (verb == "status") {
		printStatus();
	} else if (runFeederCommand(*scanner_, verb, argument, [this](const std::string &text) { note(text); })) {
	} else {
		std::fprintf(stderr, "torvane-sim: unknown command: %s\n", verb.c_str());
	}
	return true;
}

int SimProgram::run()
{
	// Signals arrive through a descriptor; every thread inherits the mask.
	sigset_t signals;
	sigemptyset(&signals);
	sigaddset(&signals, SIGINT);
	sigaddset(&signals, SIGTERM);
	sigaddset(&signals, SIGHUP);
	pthread_sigmask(SIG_BLOCK, &signals, nullptr);
	std::signal(SIGPIPE, SIG_IGN);
	const int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC);
	if (signalFd < 0) {
		std::perror("torvane-sim: signalfd");
		return 1;
	}

	if (!setUp()) {
		::close(signalFd);
		return 1;
	}

	const auto started = std::chrono::steady_clock::now();
	size_t nextEvent = 0;
	bool readStdin = !options_.ignoreStdin && stdinCarriesCommands();
	std::string pending;
	bool running = true;

	while (running) {
		int timeout = -1;
		const auto now = std::chrono::steady_clock::now();
		while (nextEvent < options_.events.size() && started + options_.events[nextEvent].at <= now)
			runEvent(options_.events[nextEvent++]);
		if (nextEvent < options_.events.size()) {
			const auto left = std::chrono::ceil<std::chrono::milliseconds>(
				started + options_.events[nextEvent].at - now);
			timeout = static_cast<int>(std::max<int64_t>(left.count(), 0));
		}

		pollfd entries[2] = { { signalFd, POLLIN, 0 }, { readStdin ? STDIN_FILENO : -1, POLLIN, 0 } };
		const int ready = ::poll(entries, 2, timeout);
		if (ready < 0 && errno != EINTR)
			break;
		if (ready <= 0)
			continue;
		if (entries[0].revents & POLLIN) {
			signalfd_siginfo info{};
			[[maybe_unused]] ssize_t n = ::read(signalFd, &info, sizeof(info));
			note(std::string("stopping on ") + strsignal(static_cast<int>(info.ssi_signo)));
			break;
		}
		if (entries[1].revents & (POLLIN | POLLHUP | POLLERR)) {
			char buffer[1024];
			const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof(buffer));
			if (n < 0 && errno == EINTR)
				continue;
			if (n <= 0) {
				note("end of input, stopping");
				break;
			}
			pending.append(buffer, static_cast<size_t>(n));
			for (size_t end; running && (end = pending.find('\n')) != std::string::npos;) {
				running = command(pending.substr(0, end));
				pending.erase(0, end + 1);
			}
		}
	}

	server_.stop();
	::close(signalFd);
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	SimProgram program(parseOptions(argc, argv));
	return program.run();
}
