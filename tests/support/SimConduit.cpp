#include "testsupport/SimConduit.h"

#include <algorithm>
#include <chrono>

namespace dral_test {
namespace {

// The receive thread re-checks its stop flag at least this often.
constexpr auto kReceivePoll = std::chrono::milliseconds(20);

}  // namespace

void SimLinkControl::RecordOpen(const std::string& arg1, const std::string& arg2) {
  std::lock_guard<std::mutex> lock(mutex_);
  openArgs_.emplace_back(arg1, arg2);
}

std::vector<std::pair<std::string, std::string>> SimLinkControl::OpenArgs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return openArgs_;
}

SimConduit::SimConduit(AdapterSimulator& adapter, SimLinkControl& control)
    : adapter_(adapter), control_(control) {
  control_.Constructed.fetch_add(1);
  receiver_ = std::thread([this] { ReceiveLoop(); });
}

SimConduit::~SimConduit() {
  adapter_.Detach(this);  // waits for a SendToHost in progress
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    stop_ = true;
  }
  queued_.notify_all();
  receiver_.join();
  control_.Destroyed.fetch_add(1);
}

bool SimConduit::Open(std::string openArg1, std::string openArg2) {
  if (control_.OpenCalls.fetch_add(1) == 0) control_.DebugLevelSeen.store(DebugLevel.load());
  control_.RecordOpen(openArg1, openArg2);
  if (control_.OpenHook) control_.OpenHook();
  const bool ok = control_.OpenResult.load();
  if (ok) {
    // The adapter is plugged into the link that opened, so several links may share one model.
    adapter_.Attach(this);
    open_.store(true);
  }
  return ok;
}

void SimConduit::Close() {
  control_.CloseCalls.fetch_add(1);
  open_.store(false);
  adapter_.Detach(this);
}

bool SimConduit::IsOpen() {
  return open_.load() && control_.LinkUp.load();
}

void SimConduit::SetReceiveHandler(dral::ReceiveHandler handler) {
  (handler.IsSet() ? control_.HandlerSets : control_.HandlerClears).fetch_add(1);
  handler_.Set(handler);
}

int SimConduit::Write(const uint8_t* buf, int len) {
  if (!IsOpen() || buf == nullptr || len <= 0) return 0;
  const int limit = control_.WriteLimit.load();
  const int taken = limit < 0 ? len : std::min(len, limit);
  if (taken == 0) return 0;
  adapter_.FromHost(buf, static_cast<size_t>(taken));
  control_.BytesWritten.fetch_add(static_cast<uint64_t>(taken));
  return taken;
}

void SimConduit::SendToHost(const uint8_t* bytes, size_t n) {
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    queue_.insert(queue_.end(), bytes, bytes + n);
  }
  queued_.notify_one();
}

void SimConduit::ReceiveLoop() {
  std::vector<uint8_t> block;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(queueMutex_);
      queued_.wait_for(lock, kReceivePoll, [this] { return stop_ || !queue_.empty(); });
      if (stop_) return;
      const size_t n =
          std::min(queue_.size(), static_cast<size_t>(std::max(1, control_.MaxBlock.load())));
      block.assign(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
      queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
    }
    // Bytes that arrive while no handler is installed are lost, as on a real link.
    if (!block.empty()) handler_.Call(block.data(), static_cast<int>(block.size()));
  }
}

}  // namespace dral_test
