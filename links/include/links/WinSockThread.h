// The Ethernet link's socket side. The adapter shows up on the host as a USB network adapter
// (RNDIS) and listens on a TCP port; the host connects as a client.
//
//  - TWinSockThread owns the socket and makes the connection attempts: while a connection is
//    requested it tries every kRetrySleepMs, and before each attempt to the adapter's subnet
//    (WantSetup) it makes sure that the host side of the adapter's interface has an address in
//    that subnet (ConfigureRndisAddress), adding kHostAddress itself or, without the rights to,
//    starting the network set-up tool (RunAddressTool).
//  - TWinSockRxThread receives and hands every block to its receive handler. It lives as long as
//    a connection stands.
//
// After the peer closes (or the connection fails) the receive thread ends and notes it: Send
// then accepts nothing, while Connected stays true until the owner disconnects; the link
// manager drops a link that stays silent for its silence limit.
//
// Threads. RequestConnect, Disconnect and SetReceiveHandler run on the owner's thread, Send on
// the transmit thread, the attempts on the socket thread, the handler on the receive thread.
// linkMutex_ is held by a connection attempt and by Disconnect; a Disconnect asks an attempt in
// progress to give up (it checks every kConnectSliceMs), so it never waits for the system's
// connect time-out. rxMutex_ guards the receive thread's pointer.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <functional>
#include <string>

#include "classlib/ThreadSafety.h"
#include "classlib/thread.h"
#include "links/Conduit.h"
#include "plat/unique_fd.h"

namespace dral {

class TWinSockRxThread : public cls::TThread {
 public:
  static constexpr int kBufferSize = 4096;
  static constexpr uint32_t kReceiveSliceMs = 20;  // a receive checks for Terminate this often
  static constexpr uint32_t kReadPauseMs = 1;      // after a read that did not fill the buffer

  // Created suspended; `socket` stays the owner's and outlives the thread.
  explicit TWinSockRxThread(int socket);
  ~TWinSockRxThread() override;  // terminates and joins

  const int Socket;
  ReceiveHandlerSlot Handler;  // none at the start
  // The connection ended (the peer closed it, or it failed).
  std::atomic<bool> Ended{false};

 protected:
  void Execute() override;

 private:
  uint8_t Buffer[kBufferSize] = {};
};

class TWinSockThread : public cls::TThread {
 public:
  enum : uint8_t { ConnIdle = 0, ConnRequested = 1, ConnConnected = 2 };

  static constexpr uint32_t kRetrySleepMs = 10;
  static constexpr uint32_t kConnectSliceMs = 10;
  static constexpr const char* kSubnetText = "192.168.11.";
  static constexpr const char* kHostAddress = "192.168.11.21";
  static constexpr const char* kHostMask = "255.255.255.0";
  static constexpr const char* kAdapterDescription = "USB Ethernet/RNDIS Gadget";
  static constexpr const char* kAdapterDescriptionAlt = "Remote NDIS Compatible DLA";

  explicit TWinSockThread(bool createSuspended = true);
  ~TWinSockThread() override;  // terminates and joins (the thread disconnects at its end)

  // Asks for a connection to `address`:`port` (network order); a request for another target
  // disconnects first. Returns Connected. Never blocks for an attempt.
  bool RequestConnect(uint32_t address, uint16_t port, bool setup);
  // One attempt to the requested target on the calling thread (the socket thread).
  bool Connect();
  // Ends the connection or the attempt in progress; back to ConnIdle.
  void Disconnect();
  void SetReceiveHandler(ReceiveHandler handler);
  // Sends up to `len` bytes without waiting; returns the count taken, 0 when not connected,
  // when the connection has ended or on failure.
  int Send(const uint8_t* buf, int len);
  std::string PeerAddress();
  bool ConfigureRndisAddress();
  bool AddAdapterAddress(uint32_t index, uint32_t address, uint32_t mask);

  uint8_t ConnectState() const { return state_.load(); }
  bool Connected() const { return connected_.load(); }
  // The receive side has seen the end of the connection.
  bool PeerClosed();
  // Diagnostics: connection attempts and address set-ups made so far.
  uint32_t Attempts() const { return attempts_.load(); }
  uint32_t Setups() const { return setups_.load(); }

 protected:
  void Execute() override;

 private:
  // Order: linkMutex_, then rxMutex_, then sendMutex_.
  cls::Mutex linkMutex_;
  cls::Mutex sendMutex_;  // held by a send (which never waits) and while the socket changes
  plat::UniqueFd socket_ GUARDED_BY(sendMutex_);
  std::string peerText_ GUARDED_BY(sendMutex_);
  cls::Mutex rxMutex_;
  std::unique_ptr<TWinSockRxThread> rxThread_ GUARDED_BY(rxMutex_);
  ReceiveHandler handler_ GUARDED_BY(rxMutex_);

  std::atomic<uint32_t> targetAddress_{0};
  std::atomic<uint16_t> targetPort_{0};
  std::atomic<uint8_t> state_{ConnIdle};
  std::atomic<bool> connected_{false};
  std::atomic<bool> wantSetup_{true};
  std::atomic<bool> cancel_{false};  // a Disconnect waits for the attempt in progress
  std::atomic<uint32_t> attempts_{0};
  std::atomic<uint32_t> setups_{0};
};

// Starts the network set-up tool with "/S" and waits for it (see kToolWaitMs); when it may not
// be started without administrator rights, starts it elevated instead, without waiting. The
// tool is the setting InitTool, else kToolName, found as plat::ResolveProgramPath finds a
// program; it runs in the folder of a path with a folder, else in this process's directory.
// `stop` (when set) ends the wait early.
void RunAddressTool(const std::function<bool()>& stop = {});

constexpr const char* kToolName = "Korvu.exe";
constexpr uint32_t kToolWaitMs = 180000;

}  // namespace dral
