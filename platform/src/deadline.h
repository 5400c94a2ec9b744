// Absolute deadlines on the monotonic clock, for the waits that take one (futex, clocklock,
// clock_nanosleep): a wait resumed after EINTR or a spurious wake-up keeps its first deadline.
// Private to the platform library.
#pragma once

#include <time.h>

#include <cstdint>

namespace plat {

// CLOCK_MONOTONIC now plus `ns` nanoseconds.
timespec DeadlineAfterNanoseconds(uint64_t ns);

// CLOCK_MONOTONIC now plus `timeoutMs` milliseconds.
timespec DeadlineAfter(uint32_t timeoutMs);

// True once CLOCK_MONOTONIC has reached `deadline`.
bool DeadlinePassed(const timespec& deadline);

}  // namespace plat
