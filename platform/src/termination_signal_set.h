// The signals that ask a program to end: held back by TerminationSignalHold (process.h) and
// caught by TerminationSignals (termination_signals.h). Private to the platform library.
#pragma once

#include <signal.h>

namespace plat {

inline constexpr int kTerminationSignals[] = {SIGTERM, SIGINT, SIGHUP};

}  // namespace plat
