// SPDX-License-Identifier: MIT
// A SANE front end for the fault campaign, on the torvane backend alone (its
// caller sets a private SANE_CONFIG_DIR that lists only that backend).
//
//   sane_campaign_client start-on-signal   opens the scanner, prints
//                                   "opened", calls sane_start on SIGUSR1
//                                   and prints "start STATUS" (the status's
//                                   words).
//   sane_campaign_client images SECONDS SETTING [HASH [PAUSE]]   whole
//                                   frames of setting 0 or 1 for SECONDS
//                                   (0: one frame), PAUSE ms apart, each
//                                   from its own sane_open;
//                                   prints the counts of completed, refused
//                                   (DEVICE_BUSY) and failed frames, the
//                                   hash of the last one, and counts as
//                                   wrong every completed frame whose hash
//                                   is not HASH.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <signal.h>
#include <unistd.h>

#include <sane/sane.h>
#include <sane/saneopts.h>

#include "campaign_common.h"

namespace {

int optionIndex(SANE_Handle handle, const char *name)
{
	for (int i = 1; const SANE_Option_Descriptor *d = sane_get_option_descriptor(handle, i); ++i)
		if (d->name && std::strcmp(d->name, name) == 0)
			return i;
	return -1;
}

bool set(SANE_Handle handle, const char *name, void *value)
{
	return sane_control_option(handle, optionIndex(handle, name), SANE_ACTION_SET_VALUE, value, nullptr) ==
	       SANE_STATUS_GOOD;
}

// Setting 0: grey, 100 dpi, an inch by half an inch from (5 mm, 10 mm);
// setting 1: colour, 75 dpi, 30 by 20 mm from the corner.
bool chooseSetting(SANE_Handle handle, int setting)
{
	char mode[16];
	std::snprintf(mode, sizeof(mode), "%s", setting == 0 ? SANE_VALUE_SCAN_MODE_GRAY : SANE_VALUE_SCAN_MODE_COLOR);
	SANE_Word dpi = setting == 0 ? 100 : 75;
	SANE_Word left = SANE_FIX(setting == 0 ? 5.0 : 0.0), top = SANE_FIX(setting == 0 ? 10.0 : 0.0);
	SANE_Word right = left + SANE_FIX(setting == 0 ? 25.4 : 30.0);
	SANE_Word bottom = top + SANE_FIX(setting == 0 ? 12.7 : 20.0);
	return set(handle, SANE_NAME_SCAN_MODE, mode) && set(handle, SANE_NAME_SCAN_RESOLUTION, &dpi) &&
	       set(handle, SANE_NAME_SCAN_TL_X, &left) && set(handle, SANE_NAME_SCAN_TL_Y, &top) &&
	       set(handle, SANE_NAME_SCAN_BR_X, &right) && set(handle, SANE_NAME_SCAN_BR_Y, &bottom);
}

// One frame from its own sane_open: 1 complete, 0 refused, -1 failed.
int frame(int setting, std::vector<unsigned char> &image)
{
	SANE_Handle handle = nullptr;
	const SANE_Status opened = sane_open("", &handle);
	if (opened != SANE_STATUS_GOOD)
		return opened == SANE_STATUS_DEVICE_BUSY ? 0 : -1;
	int outcome = -1;
	SANE_Status status = chooseSetting(handle, setting) ? sane_start(handle) : SANE_STATUS_INVAL;
	if (status == SANE_STATUS_DEVICE_BUSY)
		outcome = 0;
	image.clear();
	unsigned char piece[32768];
	SANE_Int length = 0;
	while (status == SANE_STATUS_GOOD) {
		status = sane_read(handle, piece, sizeof(piece), &length);
		if (status == SANE_STATUS_GOOD)
			image.insert(image.end(), piece, piece + length);
	}
	if (status == SANE_STATUS_EOF)
		outcome = 1;
	sane_cancel(handle);
	sane_close(handle);
	return outcome;
}

int runImages(int seconds, int setting, const char *expected, int pauseMs)
{
	std::vector<unsigned char> image;
	return torvane::test::countImages(seconds, expected, pauseMs, image,
					  [setting](std::vector<unsigned char> &out) { return frame(setting, out); });
}

int runStartOnSignal()
{
	sigset_t go;
	sigemptyset(&go);
	sigaddset(&go, SIGUSR1);
	pthread_sigmask(SIG_BLOCK, &go, nullptr);
	SANE_Handle handle = nullptr;
	const SANE_Status opened = sane_open("", &handle);
	std::printf("opened %s\n", sane_strstatus(opened));
	if (opened != SANE_STATUS_GOOD)
		return 1;
	int received = 0;
	sigwait(&go, &received);
	const SANE_Status started = sane_start(handle);
	std::printf("start %s\n", sane_strstatus(started));
	sane_cancel(handle);
	sane_close(handle);
	return 0;
}

} // namespace

int main(int argc, char **argv)
{
	setvbuf(stdout, nullptr, _IOLBF, 0);
	if (sane_init(nullptr, nullptr) != SANE_STATUS_GOOD)
		return 5;
	const std::string command = argc > 1 ? argv[1] : "";
	int result = 1;
	if (command == "images" && argc >= 4 && argc <= 6)
		result = runImages(std::atoi(argv[2]), std::atoi(argv[3]), argc >= 5 ? argv[4] : nullptr,
				   argc == 6 ? std::atoi(argv[5]) : 0);
	else if (command == "start-on-signal" && argc == 2)
		result = runStartOnSignal();
	else
		std::fprintf(stderr, "usage: sane_campaign_client start-on-signal | images SECONDS SETTING [HASH [PAUSE]]\n");
	sane_exit();
	return result;
}
