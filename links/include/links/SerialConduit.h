// TSerialConduit: the link over a serial port, with the scan that finds the adapter on it.
//
// TDetectionThread walks a list of serial ports, opens each in turn, finds the baud rate at
// which the adapter answers a set-baud handshake (ProbeFrame, answered by ProbeReply), raises
// the rate as far as the adapter accepts, and remembers the port in the registry
// (PreviousPort). The link manager polls Open while it searches; Open reports true once the scan
// has found the adapter and the port is open.
//
// The pass. Each pass builds its port list afresh: DevicePort, PreviousPort (each unless empty
// or "USB"), then, with AutoPortScan, the ports of EnumerateComPorts; entries named "USB" are
// skipped. So an adapter that comes back under another name (a USB serial adapter re-plugged)
// is found by the next pass. States: scanning; pass ended (rests until Open or Close starts a
// new pass); found (rests with the port open until Close). Open during a pass leaves it alone;
// Open after a pass ended, or after the found port closed (a hang-up), starts a new one. With
// SerialPortDisabled set the scan opens and writes no serial device at all.
//
// The handshake. Probes are matched against the bytes the serial thread receives (MatchReply),
// across reads and behind other bytes. After every wait the match state is cleared, and the
// input is purged after every rate change and after a handshake (once its second reply came or
// the reply wait ran out), so a late reply to one probe never counts as the answer to the next:
// only a reply to the step-up request itself switches the rate. The step-up asks for the rates
// above the one found, from MaxBaudRate down, and never lowers the rate.
//
// Threads: the scan thread runs every TDetectionThread operation but MatchReply, which runs on
// the serial port thread; Open, Close, IsOpen and SetReceiveHandler run on the link manager's
// thread, Write on the transmit thread, PortName and PortInfo on the main thread. The scan's
// reply buffer is shared by the scan thread and the serial thread under matchMutex_.
//
// Lifetime: the constructor starts the serial port thread and the scan thread; the destructor
// stops and joins the scan thread, then the serial port thread, and then frees both.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "classlib/ThreadSafety.h"
#include "classlib/thread.h"
#include "links/Conduit.h"
#include "links/ScanSettings.h"
#include "links/SerialPort.h"

namespace dral {

class TDetectionThread : public cls::TThread {
 public:
  enum : uint8_t { MatchIdle = 0, MatchWaiting = 1, MatchSeen = 2 };

  static constexpr int kReplyBufferSize = 1024;
  static constexpr int kProbeFrameSize = 7;
  static constexpr int kProbeReplySize = 8;
  static constexpr uint8_t kProbeReply[kProbeReplySize] = {0x7E, 0xA5, 0x01, 0x03,
                                                          0x01, 0xFB, 0x7E, 0xA6};
  static constexpr const char* kUsbPortName = "USB";

  // Timing (ms).
  static constexpr uint32_t kRestSliceMs = 250;     // while found or the pass has ended
  static constexpr uint32_t kOpenSettleMs = 50;     // after opening a port
  static constexpr uint32_t kFixedSettleMs = 50;    // after setting the fixed rate
  static constexpr uint32_t kRateSettleMs = 25;     // after each rate of the search
  static constexpr uint32_t kTryLimitMs = 3000;     // a try that took longer ends the search
  static constexpr uint32_t kResendGapMs = 2;       // between the two probes of a handshake
  // For the reply after the (last) probe, and for a handshake's second reply after its first.
  static constexpr uint32_t kReplyWaitMs = 250;
  static constexpr uint32_t kWaitSliceMs = 10;
  static constexpr uint32_t kStepUpDelayMs = 10;    // before a step-up request
  static constexpr uint32_t kStepUpSettleMs = 20;   // after the port re-opened at the new rate

  // Created suspended; `port` outlives the thread. Reads the settings.
  explicit TDetectionThread(TSerialPort& port);
  ~TDetectionThread() override;  // terminates and joins

  bool IsDetected() const { return found_.load(std::memory_order_acquire); }
  // The scan has tried every port of its pass without success and rests.
  bool PassEnded() const { return passEnded_.load(std::memory_order_acquire); }
  // Starts a new pass from the first entry (with a fresh list) and forgets a found port. Any
  // thread; the scan thread takes it up when its current probe is over.
  void ResetScan();
  // Received bytes (the serial port thread).
  void MatchReply(const uint8_t* buf, int len);
  // Starts collecting received bytes for a reply (the buffer is cleared first), and stops it.
  // The scan's handshakes use them; any thread.
  void ArmMatch();
  void DisarmMatch();
  // Replies seen since the last ArmMatch.
  uint32_t RepliesSeen() const { return repliesSeen_.load(std::memory_order_acquire); }

  void LoadScanSettings();
  void SavePreviousPort();
  bool ProbePort(const std::string& name, bool autoBaud, uint8_t max, uint8_t fixed);
  bool FindBaudRate(bool autoBaud, uint8_t fixed);
  bool Handshake(uint8_t index);
  bool ChangeBaudRate(uint8_t index);
  // Completes the checksum at count - 3 and writes the frame; true when all of it was written.
  bool SendFrame(uint8_t* buf, int count);
  // The probe asking the adapter for baud index `index`.
  static void ProbeFrame(uint8_t index, uint8_t (&frame)[kProbeFrameSize]);

  // The settings read at construction, and the list of the current pass.
  const TScanSettings& Settings() const { return settings_; }
  std::vector<std::string> PortList() const;
  // PreviousPort as read at construction, then the port of the last success.
  std::string PreviousPort() const;
  // Passes started so far.
  uint32_t Passes() const { return passes_.load(std::memory_order_relaxed); }
  uint8_t MatchState() const { return matchState_.load(std::memory_order_acquire); }

 protected:
  void Execute() override;

 private:
  void BuildPortList();
  // Waits up to `ms` while the match is armed and has not seen `replies` replies; true when it
  // has. Ends early when the thread is told to terminate.
  bool WaitForReplies(uint32_t ms, uint32_t replies);
  // Sleeps `ms` in slices; false when the thread was told to terminate meanwhile.
  bool Pause(uint32_t ms);

  TSerialPort& port_;
  TScanSettings settings_;  // written by LoadScanSettings (constructor), then read only

  mutable cls::Mutex listMutex_;  // guards portList_ and previousPort_ (read by other threads)
  std::vector<std::string> portList_ GUARDED_BY(listMutex_);
  std::string previousPort_ GUARDED_BY(listMutex_);
  size_t scanIndex_ = 0;  // this thread

  // The hand-off with the serial thread: matchState_ says whether it may collect; the buffer
  // and positions are guarded by matchMutex_.
  std::atomic<uint8_t> matchState_{MatchIdle};
  mutable cls::Mutex matchMutex_;
  uint8_t replyBuffer_[kReplyBufferSize] GUARDED_BY(matchMutex_) = {};
  int scanPos_ GUARDED_BY(matchMutex_) = 0;
  int replyLength_ GUARDED_BY(matchMutex_) = 0;
  std::atomic<uint32_t> repliesSeen_{0};

  std::atomic<bool> found_{false};
  std::atomic<bool> passEnded_{false};
  std::atomic<bool> restart_{true};  // the first pass starts at once
  std::atomic<uint32_t> passes_{0};
};

class TSerialConduit : public TConduit {
 public:
  static constexpr const char* kPortName = "Serial Device";

  TSerialConduit();  // starts both threads; throws when one cannot be started
  ~TSerialConduit() override;

  // The arguments are not used. True once the scan has found the adapter and the port is open.
  bool Open(std::string openArg1, std::string openArg2) override;
  void Close() override;
  bool IsOpen() override;
  void SetReceiveHandler(ReceiveHandler handler) override;
  int Write(const uint8_t* buf, int len) override;
  std::string PortName() override { return kPortName; }
  // "<port> : <rate>" while the port is connected, else "".
  std::string PortInfo() override;
  void SetLogging(bool on) override;

  // The serial port thread's receive handler.
  void OnSerialReceive(const uint8_t* buf, int len);

  TSerialPort* SerialPort() const { return serialPort_.get(); }
  TDetectionThread* Detector() const { return detector_.get(); }

 private:
  std::unique_ptr<TSerialPort> serialPort_;
  std::unique_ptr<TDetectionThread> detector_;
  ReceiveHandlerSlot handler_;
};

}  // namespace dral
