// The front of the adapter simulator that looks like an adapter behind a USB network adapter:
// it listens on a TCP address and port (127.0.0.1:44779 by default; port 0 takes a free one)
// and serves one host connection at a time, as the adapter does.
//
// ClosePeer closes the current connection (the host sees the end of the stream); the front
// listens on. Bytes for the host while none is connected are lost.
//
// Threads: one I/O thread accepts and reads; it starts in the constructor and is stopped and
// joined by the destructor. Every member may be called from any thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "testsupport/AdapterSimulator.h"

namespace dral_test {

class AdapterTcpFront final : public AdapterTransport {
 public:
  static constexpr uint16_t kDefaultPort = 44779;

  // Throws std::runtime_error when it cannot listen there (the port is busy, say).
  AdapterTcpFront(AdapterSimulator& adapter, const std::string& address = "127.0.0.1",
                  uint16_t port = kDefaultPort);
  ~AdapterTcpFront() override;
  AdapterTcpFront(const AdapterTcpFront&) = delete;
  AdapterTcpFront& operator=(const AdapterTcpFront&) = delete;

  uint16_t Port() const { return port_; }  // the port it listens on
  int Accepted() const { return accepted_.load(); }  // connections accepted so far
  bool PeerConnected() const { return peerConnected_.load(); }
  // The address the last accepted connection came from, dotted ("" before the first).
  std::string PeerAddress();
  // When the last connection was accepted (the clock's zero before the first).
  std::chrono::steady_clock::time_point LastAcceptAt();
  // Closes the current connection, if any.
  void ClosePeer();

  void SendToHost(const uint8_t* bytes, size_t n) override;

 private:
  void Run();

  AdapterSimulator& adapter_;
  int listenFd_ = -1;
  int wakeFd_ = -1;
  uint16_t port_ = 0;
  std::mutex peerMutex_;  // guards peerFd_
  int peerFd_ = -1;
  std::string peerAddress_;  // guarded by peerMutex_
  std::chrono::steady_clock::time_point acceptAt_{};  // guarded by peerMutex_
  std::atomic<int> accepted_{0};
  std::atomic<bool> peerConnected_{false};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// A loopback address of the process `pid` alone (the whole of 127/8 reaches the loopback
// interface on Linux): 127.128.0.1 and up, never 127.0.0.x, nor a .0 or .255 host part. Tests
// and benchmarks that run side by side each listen on their own at the link's fixed port.
std::string OwnLoopbackAddress(pid_t pid);

}  // namespace dral_test
