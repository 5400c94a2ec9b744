// The in-process front of the adapter simulator: a link (TConduit) whose far end is an
// AdapterSimulator. Bytes the host writes go straight to the model's parser; bytes from the model
// are queued and delivered to the installed receive handler by the link's own receive thread,
// in blocks of at most SimLinkControl::MaxBlock bytes, as a real link's reads would.
//
// The link attaches itself to the model when an Open succeeds and detaches on Close, so several
// links (rows of the link table) may share one model and only the open one talks to it.
//
// The link's behaviour is steered through a SimLinkControl that the test owns and that outlives
// the link (the link manager owns and deletes the link itself). The receive thread starts in the
// constructor and is stopped and joined by the destructor.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "links/Conduit.h"
#include "testsupport/AdapterSimulator.h"

namespace dral_test {

// Test-owned knobs and observations of one SimConduit. All members are safe from any thread.
class SimLinkControl {
 public:
  std::atomic<bool> OpenResult{true};  // what Open returns
  std::atomic<bool> LinkUp{true};      // false: IsOpen reports false (the device went away)
  std::atomic<int> WriteLimit{-1};     // bytes taken per Write: -1 all, 0 none, n at most n
  std::atomic<int> MaxBlock{512};      // largest block handed to the receive handler

  std::atomic<int> Constructed{0};
  std::atomic<int> Destroyed{0};
  std::atomic<int> OpenCalls{0};
  std::atomic<int> CloseCalls{0};
  std::atomic<int> HandlerSets{0};    // SetReceiveHandler with a handler
  std::atomic<int> HandlerClears{0};  // SetReceiveHandler without one
  std::atomic<uint64_t> BytesWritten{0};
  std::atomic<uint8_t> DebugLevelSeen{0};  // the link's DebugLevel at its first Open

  // Called on every Open, on the caller's thread; set it before the link is created.
  std::function<void()> OpenHook;

  void RecordOpen(const std::string& arg1, const std::string& arg2);
  std::vector<std::pair<std::string, std::string>> OpenArgs() const;

 private:
  mutable std::mutex mutex_;  // guards openArgs_
  std::vector<std::pair<std::string, std::string>> openArgs_;
};

class SimConduit final : public dral::TConduit, public AdapterTransport {
 public:
  SimConduit(AdapterSimulator& adapter, SimLinkControl& control);
  ~SimConduit() override;

  bool Open(std::string openArg1, std::string openArg2) override;
  void Close() override;
  bool IsOpen() override;
  void SetReceiveHandler(dral::ReceiveHandler handler) override;
  int Write(const uint8_t* buf, int len) override;
  std::string PortName() override { return kPortName; }
  std::string PortInfo() override { return kPortInfo; }

  void SendToHost(const uint8_t* bytes, size_t n) override;

  static constexpr const char* kPortName = "Simulated Adapter";
  static constexpr const char* kPortInfo = "in-process";

 private:
  void ReceiveLoop();

  AdapterSimulator& adapter_;
  SimLinkControl& control_;
  std::atomic<bool> open_{false};
  dral::ReceiveHandlerSlot handler_;

  std::mutex queueMutex_;  // guards queue_ and stop_
  std::condition_variable queued_;
  std::deque<uint8_t> queue_;
  bool stop_ = false;
  std::thread receiver_;
};

}  // namespace dral_test
