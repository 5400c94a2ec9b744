#include "server/WaitThread.h"

#include "plat/tick.h"

namespace dral {

TWaitThread::TWaitThread(bool createSuspended, plat::Event* event)
    : cls::TThread(true), event_(event) {
  if (!createSuspended) Start();
}

TWaitThread::~TWaitThread() {
  // Stop here, not in the base destructor: Execute must not run on a half-destroyed object.
  Terminate();
  if (Started()) WaitFor();
}

void TWaitThread::Execute() {
  while (!Terminated() && event_ != nullptr) {
    // Signalled and timed out alike run the round; a wait that fails outright must not turn
    // the loop into a spin, so it is replaced by a sleep of the same length.
    if (event_->Wait(kRoundTimeoutMs) == plat::WaitResult::Failed) plat::Sleep(kRoundTimeoutMs);
    if (RoundHandler.IsSet()) RoundHandler();
  }
}

}  // namespace dral
