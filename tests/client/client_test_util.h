// Helpers of the client library tests: a fake server that answers a connection's requests, and
// the shared helpers (records, markers, bounded polling) under the names these tests use.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "channel/HuxIPC.h"
#include "testsupport/TestClient.h"
#include "testsupport/test_util.h"

namespace client_test {

using dral_test::DataOf;
using dral_test::Exists;
using dral_test::MsSince;
using dral_test::Touch;
using dral_test::WaitUntil;

// A server stand-in in the test process: a server-mode queue (its ServerWindow 0, so the probe
// still finds no server) and a thread that takes every record the clients put, remembers it
// and puts what `respond` returns into that client's ToClient ring (without a wake-up: the
// receive thread looks at its ring every 10 ms anyway).
class FakeServer {
 public:
  using Responder = std::function<std::vector<dral::HuxMessage>(const dral::HuxMessage&)>;

  explicit FakeServer(Responder respond = nullptr)
      : queue_(false, 0), respond_(std::move(respond)), thread_([this] { Run(); }) {}
  ~FakeServer() {
    stop_.store(true);
    thread_.join();
  }

  dral::THuxQueue& Queue() { return queue_; }

  std::vector<dral::HuxMessage> Received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

 private:
  void Run() {
    dral::HuxMessage m;
    while (!stop_.load()) {
      queue_.ServerEvent().Wait(5);
      const uint16_t mask = queue_.Block()->Header.SlotMask.load();
      for (int n = 0; n < dral::kSlotCount; ++n) {
        if (!(mask & (1u << n))) continue;
        dral::ClientSlot* slot = queue_.Slot(n);
        while (queue_.Peek(&slot->ToServer, &m)) {
          {
            std::lock_guard<std::mutex> lock(mutex_);
            received_.push_back(m);
          }
          if (respond_) {
            for (const auto& reply : respond_(m)) queue_.Put(&slot->ToClient, &reply);
          }
          queue_.Remove(&slot->ToServer);
        }
      }
    }
  }

  dral::THuxQueue queue_;
  Responder respond_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;  // guards received_
  std::vector<dral::HuxMessage> received_;
  std::thread thread_;
};

}  // namespace client_test
