// Simulated devices for the device layer and the USB links: entries in the device directory
// that are UNIX sockets served by the test.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace dral_test {

// A listening, non-blocking UNIX socket of `type` (SOCK_STREAM or SOCK_SEQPACKET) at `path`; an
// old entry there is replaced. A path too long for a socket address is bound through its
// folder's descriptor, as the device layer reaches it. -1 with errno set on failure.
int ListenUnixSocket(const std::string& path, int type);

// A listening UNIX socket (stream or seqpacket) at `path` whose connections the test accepts
// and drives itself, without a thread: a device of the USB driver link, or a raw peer for the
// overlapped-I/O tests. Every wait is bounded by the caller's time-out.
class SimSocketDevice {
 public:
  explicit SimSocketDevice(std::string path, int type = SOCK_STREAM);
  ~SimSocketDevice();  // closes every descriptor and removes the entry
  SimSocketDevice(const SimSocketDevice&) = delete;
  SimSocketDevice& operator=(const SimSocketDevice&) = delete;

  bool Listening() const { return listenFd_ >= 0; }
  const std::string& Path() const { return path_; }

  // Accepts the next connection (waits up to `timeoutMs`); it becomes Peer(), replacing (and
  // closing) an earlier one. False on time-out.
  bool Accept(int timeoutMs);
  int Peer() const { return peerFd_; }
  // Writes all of `data` to the peer (waits up to `timeoutMs` for room). False on failure.
  bool Send(const std::vector<uint8_t>& data, int timeoutMs = 2000);
  // Reads what the peer has (up to `max` bytes; one packet for seqpacket), waiting up to
  // `timeoutMs`. Empty on time-out, end of stream or error.
  std::vector<uint8_t> Receive(size_t max, int timeoutMs);
  // Closes the peer connection: the host sees a hang-up.
  void HangUp();
  // Removes the entry from the device directory (the listener stays open).
  void Remove();

 private:
  std::string path_;
  int listenFd_ = -1;
  int peerFd_ = -1;
};

// A device of the WinUSB class: a seqpacket socket at `path` served by a thread of its own,
// speaking the library's simulation protocol (plat/winusb_sim_protocol.h). It answers each
// describe request with its interface and endpoint descriptors, queues the OUT transfers the
// host writes and sends IN transfers on request. One host at a time: a new connection
// replaces the previous one (which is closed).
class SimWinUsbDevice {
 public:
  struct Endpoint {
    uint8_t Address;     // bit 0x80: IN
    uint8_t Attributes;  // transfer type in bits 0-1: 2 bulk, 3 interrupt
    uint16_t MaxPacketSize;
    uint8_t Interval;
  };
  struct Options {
    std::vector<Endpoint> Endpoints{{0x81, 2, 64, 0}, {0x02, 2, 64, 0}};
    uint8_t InterfaceNumber = 0;
    bool AnswerDescribe = true;  // false: a device that never describes itself
  };
  struct Transfer {
    uint8_t Endpoint;
    std::vector<uint8_t> Data;
  };

  explicit SimWinUsbDevice(std::string path);
  SimWinUsbDevice(std::string path, Options options);
  ~SimWinUsbDevice();  // stops and joins the thread, closes everything, removes the entry
  SimWinUsbDevice(const SimWinUsbDevice&) = delete;
  SimWinUsbDevice& operator=(const SimWinUsbDevice&) = delete;

  bool Listening() const { return listenFd_ >= 0; }
  const std::string& Path() const { return path_; }

  // The description packet the device answers with (header included).
  std::vector<uint8_t> DescriptionPacket() const;

  // Number of describe requests answered (or, with AnswerDescribe false, received).
  int DescribeCount() const { return describes_.load(); }
  int ConnectionCount() const { return connections_.load(); }
  bool Connected() const { return connected_.load(); }

  // Sends one IN transfer on `endpoint` to the host. False when no host is connected or the
  // socket is full.
  bool SendIn(uint8_t endpoint, const std::vector<uint8_t>& data);
  // Sends a packet as given (protocol edge cases).
  bool SendRaw(const std::vector<uint8_t>& packet);
  // The oldest OUT transfer not yet taken, waiting up to `timeoutMs`.
  std::optional<Transfer> ReceiveOut(int timeoutMs);
  // Closes the host's connection (a hang-up); the device keeps listening.
  void HangUp();

 private:
  void Run();
  void HandlePacketLocked(const uint8_t* p, size_t n);
  void Wake();

  const std::string path_;
  const Options options_;
  int listenFd_ = -1;
  int wakeFd_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<bool> hangUp_{false};
  std::atomic<int> describes_{0};
  std::atomic<int> connections_{0};
  std::atomic<bool> connected_{false};

  mutable std::mutex mutex_;  // guards clientFd_ (closed only by the thread) and out_
  std::condition_variable outReady_;
  int clientFd_ = -1;
  std::deque<Transfer> out_;
  std::thread thread_;
};

}  // namespace dral_test
