// SPDX-License-Identifier: MIT
// Ctrl-C and SIGTERM: mark the run as cancelled and tell the driver.

#include "cancel.h"

#include <atomic>
#include <csignal>

#include <pthread.h>

namespace torvane::scan {

namespace {

volatile std::sig_atomic_t cancelled = 0;
std::atomic<CancelFunction> cancelFunction{ nullptr };
static_assert(std::atomic<CancelFunction>::is_always_lock_free);

void onSignal(int)
{
	cancelled = 1;
	// DoCancel only stores a flag: safe in a signal handler.
	if (CancelFunction function = cancelFunction.load(std::memory_order_relaxed))
		function();
}

} // namespace

void installCancelHandlers()
{
	struct sigaction action {};
	action.sa_handler = onSignal;
	sigemptyset(&action.sa_mask);
	// The first signal asks for a clean stop; the default action of the
	// next one ends the program if the stop hangs.
	action.sa_flags = SA_RESETHAND | SA_RESTART;
	sigaction(SIGINT, &action, nullptr);
	sigaction(SIGTERM, &action, nullptr);
}

void setCancelFunction(CancelFunction function)
{
	cancelFunction.store(function, std::memory_order_relaxed);
}

bool cancelRequested()
{
	return cancelled != 0;
}

CancelSignalsBlocked::CancelSignalsBlocked()
{
	sigset_t blocked;
	sigemptyset(&blocked);
	sigaddset(&blocked, SIGINT);
	sigaddset(&blocked, SIGTERM);
	pthread_sigmask(SIG_BLOCK, &blocked, &previous_);
}

CancelSignalsBlocked::~CancelSignalsBlocked()
{
	pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

} // namespace torvane::scan
