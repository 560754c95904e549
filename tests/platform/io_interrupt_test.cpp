// SPDX-License-Identifier: MIT
// The interrupt that lets StopScan end the acquisition thread's device I/O:
// what registers, what it reaches, and what may no longer open.

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "platform/posix/io_interrupt.h"

using namespace torvane::platform;

namespace {

class CountingIo : public InterruptibleIo
{
public:
	void interruptIo() override { ++interrupts; }
	int interrupts = 0;
};

TEST(IoInterrupt, ReachesTheDeviceFilesOpenOnItsThreadOnly)
{
	auto interrupt = createIoInterrupt();
	CountingIo before, during, gone, after;
	{
		InterruptRegistration registration;
		EXPECT_TRUE(registration.enrol(&before)); // no interrupt set: nothing to join
	}
	setThreadIoInterrupt(interrupt);
	EXPECT_EQ(currentIoInterrupt(), interrupt);
	InterruptRegistration duringRegistration;
	ASSERT_TRUE(duringRegistration.enrol(&during));
	{
		InterruptRegistration goneRegistration;
		ASSERT_TRUE(goneRegistration.enrol(&gone));
	}

	triggerIoInterrupt(*interrupt);
	EXPECT_EQ(before.interrupts, 0);
	EXPECT_EQ(during.interrupts, 1);
	EXPECT_EQ(gone.interrupts, 0); // closed before the interrupt: not touched

	// Once fired, nothing more opens on that thread.
	InterruptRegistration afterRegistration;
	EXPECT_FALSE(afterRegistration.enrol(&after));
	triggerIoInterrupt(*interrupt);
	EXPECT_EQ(during.interrupts, 2);
	EXPECT_EQ(after.interrupts, 0);

	setThreadIoInterrupt(nullptr);
	EXPECT_EQ(currentIoInterrupt(), nullptr);
}

} // namespace
