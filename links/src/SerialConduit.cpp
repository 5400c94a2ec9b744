#include "links/SerialConduit.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <iterator>
#include <utility>

#include "links/Enumcom.h"
#include "plat/tick.h"

namespace dral {
namespace {

constexpr uint8_t kHighestBaudIndex = TSerialPort::kBaudIndexes - 1;

constexpr uint8_t kFrameStart0 = 0x7E, kFrameStart1 = 0xA5, kFrameEnd1 = 0xA6;
constexpr uint8_t kMsgSetBaudRate = 0x03;
constexpr int kFrameHeaderSize = 2;   // 7E A5
constexpr int kFrameTrailerSize = 3;  // checksum, 7E A6
constexpr int kShortestFrame = 6;

bool UsablePortName(const std::string& name) {
  return !name.empty() && name != TDetectionThread::kUsbPortName;
}

}  // namespace

// ---- TDetectionThread ---------------------------------------------------------------------------

TDetectionThread::TDetectionThread(TSerialPort& port) : cls::TThread(true), port_(port) {
  LoadScanSettings();
  cls::MutexLock lock(listMutex_);
  previousPort_ = settings_.PreviousPort;
}

TDetectionThread::~TDetectionThread() {
  Terminate();
  WaitFor();  // every wait of the scan is cut short by Terminate
}

void TDetectionThread::LoadScanSettings() { settings_.Load(); }

std::vector<std::string> TDetectionThread::PortList() const {
  cls::MutexLock lock(listMutex_);
  return portList_;
}

std::string TDetectionThread::PreviousPort() const {
  cls::MutexLock lock(listMutex_);
  return previousPort_;
}

void TDetectionThread::BuildPortList() {
  std::vector<std::string> list;
  // A disabled serial link touches no device, not even to look for one.
  if (!settings_.SerialPortDisabled) {
    if (UsablePortName(settings_.DevicePort)) list.push_back(settings_.DevicePort);
    const std::string previous = PreviousPort();
    if (UsablePortName(previous)) list.push_back(previous);
    if (settings_.AutoPortScan) {
      std::vector<TComPortEntry> ports;
      EnumerateComPorts(&ports);
      for (const TComPortEntry& entry : ports) {
        if (UsablePortName(entry.Name)) list.push_back(entry.Name);
      }
    }
  }
  cls::MutexLock lock(listMutex_);
  portList_ = std::move(list);
}

void TDetectionThread::ResetScan() {
  found_.store(false, std::memory_order_release);
  passEnded_.store(false, std::memory_order_release);
  restart_.store(true, std::memory_order_release);
}

bool TDetectionThread::Pause(uint32_t ms) {
  const uint32_t start = plat::GetTickCount();
  while (!Terminated()) {
    const uint32_t spent = plat::GetTickCount() - start;
    if (spent >= ms) return true;
    plat::Sleep(std::min(ms - spent, kWaitSliceMs));
  }
  return false;
}

void TDetectionThread::Execute() {
  while (!Terminated()) {
    if (restart_.exchange(false, std::memory_order_acq_rel)) {
      // Each pass looks at the ports as they are now.
      scanIndex_ = 0;
      BuildPortList();
      passes_.fetch_add(1, std::memory_order_relaxed);
    }
    if (found_.load(std::memory_order_acquire) || passEnded_.load(std::memory_order_acquire)) {
      // Rest, but take up a restart at once.
      const uint32_t start = plat::GetTickCount();
      while (!Terminated() && !restart_.load(std::memory_order_acquire) &&
             !plat::TickElapsed(start, kRestSliceMs)) {
        plat::Sleep(kWaitSliceMs);
      }
      continue;
    }
    std::string name;
    {
      cls::MutexLock lock(listMutex_);
      if (scanIndex_ < portList_.size()) name = portList_[scanIndex_];
    }
    if (name.empty()) {
      passEnded_.store(true, std::memory_order_release);
      continue;
    }
    const bool ok = ProbePort(name, settings_.AutoBaud, settings_.MaxBaudIndex,
                              settings_.FixedBaudIndex);
    if (Terminated()) break;
    if (restart_.load(std::memory_order_acquire)) {
      // Closed while probing: the new pass starts from a closed port.
      port_.SetConnected(false);
    } else if (ok) {
      {
        cls::MutexLock lock(listMutex_);
        previousPort_ = port_.ComPortName();
      }
      SavePreviousPort();
      found_.store(true, std::memory_order_release);
    } else {
      ++scanIndex_;
    }
  }
}

void TDetectionThread::SavePreviousPort() {
  const std::string previous = PreviousPort();
  if (!previous.empty()) TScanSettings::SavePreviousPort(previous);
}

bool TDetectionThread::ProbePort(const std::string& name, bool autoBaud, uint8_t max,
                                 uint8_t fixed) {
  port_.SetConnected(false);
  port_.SetBaudIndex(autoBaud ? max : fixed);
  port_.SetPortName(name);
  port_.SetConnected(true);
  // The scan has no windows, so there is no message queue to serve while it waits.
  if (!Pause(kOpenSettleMs)) return false;
  const bool ok = port_.Connected() && FindBaudRate(autoBaud, fixed);
  if (!ok) {
    port_.SetConnected(false);
    return false;
  }
  // Ask for the rates above the one found, highest first; never for a lower one.
  const uint8_t found = port_.BaudIndex();
  if (autoBaud && found < max) {
    for (uint8_t index = max; index > found && !Terminated(); --index) {
      if (ChangeBaudRate(index)) break;
    }
  }
  return port_.Connected();
}

bool TDetectionThread::FindBaudRate(bool autoBaud, uint8_t fixed) {
  if (!autoBaud) {
    port_.SetBaudIndex(fixed);
    port_.PurgeInput();
    if (!Pause(kFixedSettleMs)) return false;
    return Handshake(fixed);
  }
  for (int index = kHighestBaudIndex; index >= 0; --index) {
    const uint32_t start = plat::GetTickCount();
    port_.SetBaudIndex(static_cast<uint8_t>(index));
    port_.PurgeInput();
    if (!Pause(kRateSettleMs)) return false;
    if (Handshake(static_cast<uint8_t>(index))) return true;
    if (Terminated() || plat::GetTickCount() - start > kTryLimitMs) return false;
  }
  return false;
}

void TDetectionThread::ProbeFrame(uint8_t index, uint8_t (&frame)[kProbeFrameSize]) {
  const uint8_t sum = static_cast<uint8_t>(kMsgSetBaudRate + index);
  const uint8_t bytes[kProbeFrameSize] = {kFrameStart0, kFrameStart1, kMsgSetBaudRate, index,
                                          static_cast<uint8_t>(0u - sum), kFrameStart0,
                                          kFrameEnd1};
  std::memcpy(frame, bytes, sizeof bytes);
}

bool TDetectionThread::SendFrame(uint8_t* buf, int count) {
  if (buf == nullptr || count < kShortestFrame) return false;
  uint8_t sum = 0;
  for (int i = kFrameHeaderSize; i <= count - kFrameTrailerSize - 1; ++i) {
    sum = static_cast<uint8_t>(sum + buf[i]);
  }
  buf[count - kFrameTrailerSize] = static_cast<uint8_t>(0u - sum);
  return port_.Write(buf, count) == count;
}

void TDetectionThread::ArmMatch() {
  cls::MutexLock lock(matchMutex_);
  scanPos_ = 0;
  replyLength_ = 0;
  repliesSeen_.store(0, std::memory_order_relaxed);
  matchState_.store(MatchWaiting, std::memory_order_release);
}

void TDetectionThread::DisarmMatch() {
  cls::MutexLock lock(matchMutex_);
  matchState_.store(MatchIdle, std::memory_order_release);
}

bool TDetectionThread::WaitForReplies(uint32_t ms, uint32_t replies) {
  const uint32_t start = plat::GetTickCount();
  for (;;) {
    if (repliesSeen_.load(std::memory_order_acquire) >= replies) return true;
    if (Terminated() || plat::GetTickCount() - start >= ms) return false;
    plat::Sleep(kWaitSliceMs);
  }
}

bool TDetectionThread::Handshake(uint8_t index) {
  const uint32_t start = plat::GetTickCount();
  ArmMatch();
  uint8_t frame[kProbeFrameSize];
  ProbeFrame(index, frame);
  SendFrame(frame, kProbeFrameSize);
  bool seen = false;
  if (plat::GetTickCount() - start < kTryLimitMs) {
    plat::Sleep(kResendGapMs);
    SendFrame(frame, kProbeFrameSize);
    seen = WaitForReplies(kReplyWaitMs, 1);
    // The adapter answers both probes: let the second answer come before the next request,
    // so it can never pass for the answer to that one. It is given as long as the first: a
    // busy machine delays both alike.
    if (seen) WaitForReplies(kReplyWaitMs, 2);
  }
  DisarmMatch();
  port_.PurgeInput();
  return seen;
}

bool TDetectionThread::ChangeBaudRate(uint8_t index) {
  if (!Pause(kStepUpDelayMs)) return false;
  ArmMatch();
  uint8_t frame[kProbeFrameSize];
  ProbeFrame(index, frame);
  SendFrame(frame, kProbeFrameSize);
  const bool seen = WaitForReplies(kReplyWaitMs, 1);
  DisarmMatch();
  if (!seen) return false;
  // The adapter answered at the old rate and has switched.
  port_.SetBaudIndex(index);
  port_.PurgeInput();
  Pause(kStepUpSettleMs);
  return true;
}

void TDetectionThread::MatchReply(const uint8_t* buf, int len) {
  if (buf == nullptr || len <= 0) return;
  if (matchState_.load(std::memory_order_acquire) == MatchIdle) return;
  cls::MutexLock lock(matchMutex_);
  if (matchState_.load(std::memory_order_relaxed) == MatchIdle) return;
  if (len >= kReplyBufferSize - replyLength_) return;  // does not fit: dropped whole
  std::memcpy(replyBuffer_ + replyLength_, buf, static_cast<size_t>(len));
  replyLength_ += len;
  while (scanPos_ < replyLength_ && replyLength_ - scanPos_ >= kProbeReplySize) {
    if (replyBuffer_[scanPos_] == kProbeReply[0] &&
        std::memcmp(replyBuffer_ + scanPos_, kProbeReply, kProbeReplySize) == 0) {
      matchState_.store(MatchSeen, std::memory_order_release);
      repliesSeen_.fetch_add(1, std::memory_order_acq_rel);
      scanPos_ += kProbeReplySize;
    } else {
      ++scanPos_;
    }
  }
}

// ---- TSerialConduit -----------------------------------------------------------------------------

TSerialConduit::TSerialConduit()
    : serialPort_(std::make_unique<TSerialPort>(true)),
      detector_(std::make_unique<TDetectionThread>(*serialPort_)) {
  serialPort_->ReceiveHandler.Set(ReceiveHandler::Of<&TSerialConduit::OnSerialReceive>(this));
  serialPort_->Start();
  try {
    detector_->Start();
  } catch (...) {
    serialPort_->Terminate();
    serialPort_->WaitFor();
    throw;
  }
}

TSerialConduit::~TSerialConduit() {
  // The scan first (it drives the port), then the reader (it calls into the scan).
  detector_->Terminate();
  detector_->WaitFor();
  serialPort_->Terminate();
  serialPort_->WaitFor();
  serialPort_.reset();
  detector_.reset();
}

bool TSerialConduit::Open(std::string /*openArg1*/, std::string /*openArg2*/) {
  if (detector_->IsDetected()) {
    if (serialPort_->Connected()) return true;
    // The port found has closed (hung up) before the link was taken: look again.
    detector_->ResetScan();
    return false;
  }
  if (detector_->PassEnded()) detector_->ResetScan();
  return false;
}

void TSerialConduit::Close() {
  handler_.Clear();
  serialPort_->SetConnected(false);
  detector_->ResetScan();
}

bool TSerialConduit::IsOpen() { return serialPort_->Connected(); }

void TSerialConduit::SetReceiveHandler(ReceiveHandler handler) { handler_.Set(handler); }

int TSerialConduit::Write(const uint8_t* buf, int len) { return serialPort_->Write(buf, len); }

std::string TSerialConduit::PortInfo() {
  if (!serialPort_->Connected()) return "";
  return serialPort_->ComPortName() + " : " + TSerialPort::BaudText(serialPort_->BaudIndex());
}

void TSerialConduit::SetLogging(bool on) {
  serialPort_->ServerLogging.store(on, std::memory_order_relaxed);
}

void TSerialConduit::OnSerialReceive(const uint8_t* buf, int len) {
  handler_.Call(buf, len);
  detector_->MatchReply(buf, len);
}

}  // namespace dral
