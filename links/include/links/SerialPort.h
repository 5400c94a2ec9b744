// TSerialPort: the thread that owns the one serial port through which the server may reach the
// adapter. It reads whatever arrives (at most kReadSize bytes per read) and hands it to its
// receive handler, writes on behalf of its callers, and lets its owner change the port name and
// the baud rate while it runs, re-opening the port as needed.
//
// Threads:
//  - Execute and the receive handler: this thread.
//  - Write: any thread (the scan thread during the scan, the transmit thread afterwards).
//  - SetConnected, Reconnect, SetBaudIndex, SetPortName, PurgeInput: any thread (the scan thread
//    and the link manager's thread); they take turns on configMutex_, so two of them never
//    interleave their close and open steps.
//  - Connected, BaudIndex, ComPortName: any thread.
// The port core's own lock keeps a close from racing a read or a write in progress: a read or
// write that meets a closed port fails and returns 0.
//
// Hang-up: a read that finds the device hung up (a USB serial adapter pulled, a pseudo-terminal
// whose other side went) closes the port, so Connected turns false and the owner sees the link
// lost. The thread itself runs on; nothing a read or a write raises ever ends it.
//
// Lifetime: created suspended; the owner installs the receive handler and starts it. The
// destructor terminates and joins the thread, then closes and frees the port: the port lives as
// long as this object, so a caller's Write or SetConnected never meets a freed port.
//
// Logging: the texts below go to LogFile ("DRALLog.txt" in the current directory) while
// LogEnabled or ServerLogging is set.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "classlib/ThreadSafety.h"
#include "classlib/thread.h"
#include "comport/CPort.h"
#include "links/Conduit.h"

namespace dral {

class TSerialPort : public cls::TThread {
 public:
  static constexpr const char* kLogFileName = "DRALLog.txt";
  static constexpr const char* kDefaultPortName = "COM1";
  static constexpr int kReadSize = 64;              // largest block one read delivers
  static constexpr uint8_t kBaudIndexes = 5;        // 9600, 19200, 38400, 57600, 115200
  static constexpr uint32_t kClosedSleepMs = 10;    // while the port is closed or re-opening
  static constexpr uint32_t kIdleSleepMs = 2;       // after a read that found nothing
  static constexpr uint32_t kFailureSleepMs = 10;   // after a pass that raised

  explicit TSerialPort(bool createSuspended = true);
  ~TSerialPort() override;

  // Reads up to `max` (at most kReadSize) bytes when the port is connected and hands them to
  // the receive handler; returns the count, 0 when nothing was read.
  int ReadPort(int max);
  // Writes the bytes; returns the count the port reports, 0 when the write failed.
  int Write(const uint8_t* buf, int len);
  // Opens or closes the port. An open that fails leaves the port closed.
  void SetConnected(bool open);
  // Applies ComPortName and BaudIndex, closing and re-opening an open port.
  void Reconnect();
  // Nothing when `index` is the current one.
  void SetBaudIndex(uint8_t index);
  // Nothing when `name` equals the current name (exact comparison).
  void SetPortName(const std::string& name);
  // Drops the bytes received and not yet read (bytes sent at an old rate, late replies).
  void PurgeInput();

  bool Connected() const;
  uint8_t BaudIndex() const { return baudIndex_.load(std::memory_order_acquire); }
  std::string ComPortName() const;
  bool Reinitialising() const { return reinitialising_.load(std::memory_order_acquire); }
  // Hang-ups seen by the reader (each closed the port).
  uint32_t HangUps() const { return hangUps_.load(std::memory_order_relaxed); }

  // The baud index table; an index out of range gives br9600 and "?".
  static comport::TBaudRate BaudRateOf(uint8_t index);
  static std::string BaudText(uint8_t index);

  // Called with every received block; set before Start (and replaceable at any time).
  ReceiveHandlerSlot ReceiveHandler;
  const std::string LogFile = kLogFileName;
  std::atomic<bool> LogEnabled{false};
  // The server's Logging choice (the link's SetLogging).
  std::atomic<bool> ServerLogging{false};

 protected:
  void Execute() override;

 private:
  bool LogActive() const;
  void Log(const std::string& text) const;
  void SetConnectedLocked(bool open) REQUIRES(configMutex_);
  void ReconnectLocked() REQUIRES(configMutex_);
  // The reader found the device hung up: closes the port unless it was re-opened meanwhile.
  void OnHangUp(uint32_t openSerial);

  const std::unique_ptr<comport::TComPort> comPort_;  // lives as long as this object
  mutable cls::Mutex configMutex_;  // serialises the configuration calls; guards comPortName_
  std::string comPortName_ GUARDED_BY(configMutex_) = kDefaultPortName;
  std::atomic<uint8_t> baudIndex_{0};
  std::atomic<bool> reinitialising_{false};
  // Counts the port's opens, so a hang-up seen on one open never closes a later one.
  std::atomic<uint32_t> openSerial_{0};
  std::atomic<uint32_t> hangUps_{0};
  uint8_t buffer_[kReadSize] = {};  // this thread; reused by every read
};

}  // namespace dral
