// The front of the adapter simulator that looks like an adapter on a serial port: the front
// holds the master side of a pseudo-terminal, and the host opens the slave (SlavePath(): a link
// to it in the test's own device folder, else its /dev/pts/N name) as its serial port.
//
// Line rate. The adapter listens and talks at one baud rate (BaudRate()). It understands the
// host only while the slave's line settings carry that same rate, as a UART at another rate would
// see only noise: bytes the host writes at another rate are dropped (counted in
// BytesAtWrongRate), and so are the adapter's own bytes while the host's rate differs. With
// PaceAtLineRate the bytes to the host leave at the line rate (ten bit times per byte, 8N1).
//
// Baud-rate requests. A MsgSetBaudRate (0x03, one byte: baud index 0..4 = 9600, 19200, 38400,
// 57600, 115200) is answered by the front itself, at the old rate, with MsgReply {0x03, 1}; once
// the reply has gone out the adapter switches to the asked rate. With RefuseStepUp set, a request
// for a higher rate than the current one is answered with MsgReply {0x03, 0} and the rate stays.
// A silent adapter (AdapterSimulator::SetSilent) answers nothing. ReplyNoise bytes go out before
// each such reply; with SplitReplies the reply leaves in two writes kSplitGapMs apart, so that the
// host reads it in two pieces. Every other message goes to the model.
//
// Hang-up. HangUp closes the master: the host's open slave sees a hang-up. Return opens a new
// pseudo-terminal whose slave name has not been used by this front before, as a USB serial
// adapter that comes back under a new name.
//
// The front reads the host's line settings through the master. While no host has the slave open,
// the adapter's bytes are lost, as on a line nobody listens to.
//
// Threads: one I/O thread owns the descriptors; it starts in the constructor and is stopped and
// joined by the destructor, which also closes the pseudo-terminal. Every member may be called
// from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/AdapterSimulator.h"

namespace dral_test {

struct PtyFrontOptions {
  uint32_t BaudRate = 115200;  // the adapter's rate at the start
  bool PaceAtLineRate = false;
  // Bytes for the host held while the host does not read; beyond this they are discarded.
  size_t MaxPendingBytes = size_t{1} << 20;
};

// The five rates of the baud index of MsgSetBaudRate; 0 for an index out of range.
uint32_t SimBaudRateOfIndex(uint8_t index);

class AdapterPtyFront final : public AdapterTransport {
 public:
  static constexpr uint8_t kSetBaudRate = 0x03;
  static constexpr int kSplitGapMs = 30;

  // Attaches to `adapter`, opens the pseudo-terminal and starts the I/O thread. Throws
  // std::runtime_error when no pseudo-terminal can be opened.
  AdapterPtyFront(AdapterSimulator& adapter, PtyFrontOptions options);
  ~AdapterPtyFront() override;
  AdapterPtyFront(const AdapterPtyFront&) = delete;
  AdapterPtyFront& operator=(const AdapterPtyFront&) = delete;

  // The slave's path ("" while hung up).
  std::string SlavePath() const;
  // The adapter's line rate now, and the rate the host's port is set to (0 while hung up).
  uint32_t BaudRate() const { return rate_.load(); }
  uint32_t HostBaudRate() const;
  void SetBaudRate(uint32_t rate) { rate_.store(rate); }

  void SetRefuseStepUp(bool refuse) { refuseStepUp_.store(refuse); }
  void SetReplyNoise(Bytes noise);
  void SetSplitReplies(bool split) { splitReplies_.store(split); }

  // Closes the pseudo-terminal (the host sees a hang-up). Nothing when hung up already.
  void HangUp();
  // Opens a new pseudo-terminal with a slave name not used before; true on success.
  bool Return();

  // Baud-rate requests answered (accepted or refused), and accepted ones.
  int BaudRequests() const { return baudRequests_.load(); }
  int RateChanges() const { return rateChanges_.load(); }
  // The indexes of all baud-rate requests seen at the adapter's rate, in order.
  std::vector<uint8_t> RequestedIndexes() const;
  uint64_t BytesFromHost() const { return bytesFromHost_.load(); }
  uint64_t BytesToHost() const { return bytesToHost_.load(); }
  uint64_t BytesAtWrongRate() const { return bytesAtWrongRate_.load(); }

  // AdapterTransport: queues the bytes for the host; never blocks on the host.
  void SendToHost(const uint8_t* bytes, size_t n) override;

 private:
  // A piece of the byte stream to the host; `SwitchTo` (when not 0) takes effect once the piece
  // has gone out, `NotBefore` holds the piece back until then.
  struct Piece {
    Bytes Data;
    uint32_t SwitchTo = 0;
    std::chrono::steady_clock::time_point NotBefore{};
  };

  bool OpenPtyLocked();
  void ClosePtyLocked();
  std::string PublishLocked(const std::string& slave);
  void Run();
  void ReadFromHost();
  void HandleFrames(const FrameParser::Result& frames);
  void WritePending();
  void DropPending();
  void Wake();
  void Queue(Piece piece);
  bool HostAtRate() const;

  AdapterSimulator& adapter_;
  const PtyFrontOptions options_;

  mutable std::mutex ptyMutex_;  // guards masterFd_, slavePath_, linkPath_, links_, usedNames_
  int masterFd_ = -1;
  std::string slavePath_;
  std::string linkPath_;  // the link SlavePath() names, when there is one
  uint32_t links_ = 0;
  std::set<std::string> usedNames_;

  int wakeFd_ = -1;
  FrameParser parser_;  // I/O thread
  std::chrono::steady_clock::time_point lineFreeAt_{};  // I/O thread: pacing

  mutable std::mutex pendingMutex_;  // guards pending_, pendingBytes_, replyNoise_, requested_
  std::deque<Piece> pending_;
  size_t pendingBytes_ = 0;
  Bytes replyNoise_;
  std::vector<uint8_t> requested_;

  std::atomic<uint32_t> rate_;
  std::atomic<bool> refuseStepUp_{false};
  std::atomic<bool> splitReplies_{false};
  std::atomic<bool> stop_{false};
  std::atomic<int> baudRequests_{0};
  std::atomic<int> rateChanges_{0};
  std::atomic<uint64_t> bytesFromHost_{0};
  std::atomic<uint64_t> bytesToHost_{0};
  std::atomic<uint64_t> bytesAtWrongRate_{0};

  std::thread thread_;
};

// Replaces the values of the serial-port list (HKEY_LOCAL_MACHINE "HARDWARE\DEVICEMAP\SERIALCOMM"
// in this test's own registry) with `ports`, in order; an empty list removes every value, so
// the list falls back to the machine's devices.
void SetSerialCommPorts(const std::vector<std::string>& ports);

// Values under an HKEY_CURRENT_USER key of this test's registry (the key is created). The
// readers give "" and `fallback` for a missing value.
void WriteUserString(const std::string& key, const std::string& name, const std::string& value);
void WriteUserInteger(const std::string& key, const std::string& name, int32_t value);
std::string ReadUserString(const std::string& key, const std::string& name);

}  // namespace dral_test
