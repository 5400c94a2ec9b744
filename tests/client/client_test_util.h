// Helpers of the client library tests: server records, marker files that pace a parent and its
// child processes, bounded polling, and a fake server that answers a connection's requests.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "channel/HuxIPC.h"

namespace client_test {

inline dral::HuxMessage Record(uint8_t type, std::initializer_list<uint8_t> data) {
  dral::HuxMessage m{};
  m.Type = type;
  m.Length = static_cast<uint16_t>(data.size());
  std::copy(data.begin(), data.end(), m.Data);
  return m;
}

inline dral::HuxMessage Record(uint8_t type, const std::vector<uint8_t>& data) {
  dral::HuxMessage m{};
  m.Type = type;
  m.Length = static_cast<uint16_t>(data.size());
  std::memcpy(m.Data, data.data(), data.size());
  return m;
}

inline std::vector<uint8_t> DataOf(const dral::HuxMessage& m) {
  return std::vector<uint8_t>(m.Data, m.Data + m.Length);
}

inline void Touch(const std::string& path) {
  std::ofstream(path) << "x";
}
inline bool Exists(const std::string& path) {
  return std::filesystem::exists(path);
}

// Polls `condition` every millisecond until it holds or `timeoutMs` passed.
inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline double MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

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
