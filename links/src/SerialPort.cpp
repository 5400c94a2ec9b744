#include "links/SerialPort.h"

#include <algorithm>
#include <cerrno>
#include <exception>

#include "classlib/Logger.h"
#include "plat/tick.h"

namespace dral {
namespace {

using comport::TBaudRate;

constexpr TBaudRate kBaudRates[TSerialPort::kBaudIndexes] = {
    TBaudRate::br9600, TBaudRate::br19200, TBaudRate::br38400, TBaudRate::br57600,
    TBaudRate::br115200};
constexpr const char* kBaudTexts[TSerialPort::kBaudIndexes] = {"9600", "19200", "38400",
                                                               "57600", "115200"};

// The errors of a device that is gone: the port is useless until it is opened again.
bool IsHangUp(int32_t error) {
  return error == EIO || error == ENXIO || error == ENODEV;
}

// Raises reinitialising_ for the life of a Reconnect, also when a step raises.
class ReinitialisingScope {
 public:
  explicit ReinitialisingScope(std::atomic<bool>& flag) : flag_(flag) {
    flag_.store(true, std::memory_order_release);
  }
  ~ReinitialisingScope() { flag_.store(false, std::memory_order_release); }
  ReinitialisingScope(const ReinitialisingScope&) = delete;
  ReinitialisingScope& operator=(const ReinitialisingScope&) = delete;

 private:
  std::atomic<bool>& flag_;
};

}  // namespace

TSerialPort::TSerialPort(bool createSuspended)
    : cls::TThread(true), comPort_(std::make_unique<comport::TComPort>()) {
  comPort_->SetBaudRate(BaudRateOf(baudIndex_.load()));
  comPort_->SetDataBits(comport::TDataBits::dbEight);
  comPort_->Parity().SetBits(comport::TParityBits::prNone);
  comPort_->SetStopBits(comport::TStopBits::sbOneStopBit);
  comPort_->SetPort(kDefaultPortName);
  comPort_->SetSyncMethod(comport::TSyncMethod::smNone);
  comPort_->SetEvents(comport::TComEvents{});
  if (!createSuspended) Start();
}

TSerialPort::~TSerialPort() {
  Terminate();
  WaitFor();  // each pass is one short read or sleep
  cls::MutexLock lock(configMutex_);
  try {
    comPort_->Close();
  } catch (const std::exception&) {
    // The port object releases the device when it goes, whatever Close reported.
  }
}

comport::TBaudRate TSerialPort::BaudRateOf(uint8_t index) {
  return index < kBaudIndexes ? kBaudRates[index] : TBaudRate::br9600;
}

std::string TSerialPort::BaudText(uint8_t index) {
  return index < kBaudIndexes ? kBaudTexts[index] : "?";
}

bool TSerialPort::Connected() const { return comPort_->Connected(); }

std::string TSerialPort::ComPortName() const {
  cls::MutexLock lock(configMutex_);
  return comPortName_;
}

bool TSerialPort::LogActive() const {
  return LogEnabled.load(std::memory_order_relaxed) ||
         ServerLogging.load(std::memory_order_relaxed);
}

void TSerialPort::Log(const std::string& text) const { cls::AppendLog(text, LogFile); }

void TSerialPort::Execute() {
  while (!Terminated()) {
    // Nothing a pass raises ends the thread: the port's users go on using it.
    try {
      if (!comPort_->Connected() || reinitialising_.load(std::memory_order_acquire)) {
        plat::Sleep(kClosedSleepMs);
        continue;
      }
      plat::Sleep(ReadPort(kReadSize) > 0 ? 0 : kIdleSleepMs);
    } catch (const std::exception&) {
      plat::Sleep(kFailureSleepMs);
    }
  }
}

int TSerialPort::ReadPort(int max) {
  max = std::clamp(max, 0, kReadSize);
  if (max == 0 || !comPort_->Connected()) return 0;
  const uint32_t serial = openSerial_.load(std::memory_order_acquire);
  int count = 0;
  try {
    count = comPort_->Read(buffer_, max);
  } catch (const comport::EComPort& e) {
    if (LogActive()) Log("Exception occurred in ComPort->Read()");
    if (IsHangUp(e.WinCode())) OnHangUp(serial);
    return 0;
  } catch (const std::exception&) {
    if (LogActive()) Log("Exception occurred in ComPort->Read()");
    return 0;
  }
  if (count <= 0) return 0;
  count = std::min(count, max);
  ReceiveHandler.Call(buffer_, count);
  if (LogActive()) cls::LogHexDump(buffer_, static_cast<uint32_t>(count), true, LogFile);
  return count;
}

void TSerialPort::OnHangUp(uint32_t openSerial) {
  cls::MutexLock lock(configMutex_);
  // A port closed or re-opened since the read started is not the one that hung up.
  if (openSerial_.load(std::memory_order_acquire) != openSerial || !comPort_->Connected()) return;
  hangUps_.fetch_add(1, std::memory_order_relaxed);
  SetConnectedLocked(false);
}

int TSerialPort::Write(const uint8_t* buf, int len) {
  if (buf == nullptr || len <= 0) return 0;
  int written = 0;
  try {
    written = comPort_->Write(buf, len);
  } catch (const std::exception&) {
    if (LogActive()) Log("An exception occurred while writing to the serial port.");
    return 0;
  }
  written = std::clamp(written, 0, len);
  if (LogActive()) cls::LogHexDump(buf, static_cast<uint32_t>(written), false, LogFile);
  return written;
}

void TSerialPort::SetConnected(bool open) {
  cls::MutexLock lock(configMutex_);
  SetConnectedLocked(open);
}

void TSerialPort::SetConnectedLocked(bool open) {
  if (open) {
    if (LogActive()) Log("Connecting to " + comPortName_);
    try {
      comPort_->Open();
    } catch (const std::exception&) {
      if (LogActive()) Log("Exception occurred in ComPort->Open()");
    }
    if (comPort_->Connected()) openSerial_.fetch_add(1, std::memory_order_acq_rel);
  } else {
    try {
      comPort_->Close();
    } catch (const std::exception&) {
      // A close that failed on the way still leaves the reader to find the port unusable.
    }
    if (LogActive()) Log("Disconnecting from " + comPortName_);
  }
}

void TSerialPort::Reconnect() {
  cls::MutexLock lock(configMutex_);
  ReconnectLocked();
}

void TSerialPort::ReconnectLocked() {
  ReinitialisingScope scope(reinitialising_);
  const bool wasOpen = comPort_->Connected();
  if (wasOpen) SetConnectedLocked(false);
  try {
    comPort_->SetPort(comPortName_);
    comPort_->SetBaudRate(BaudRateOf(baudIndex_.load(std::memory_order_acquire)));
  } catch (const std::exception&) {
    // Settings of a closed port are only stored; the open below reports what fails.
  }
  if (LogActive()) Log("Re-initializing the Com Port");
  if (wasOpen) SetConnectedLocked(true);
}

void TSerialPort::SetBaudIndex(uint8_t index) {
  cls::MutexLock lock(configMutex_);
  const uint8_t old = baudIndex_.load(std::memory_order_acquire);
  if (index == old) return;
  if (LogActive()) Log("Changing baud rate from " + BaudText(old) + " to " + BaudText(index));
  baudIndex_.store(index, std::memory_order_release);
  ReconnectLocked();
}

void TSerialPort::SetPortName(const std::string& name) {
  cls::MutexLock lock(configMutex_);
  if (name == comPortName_) return;
  if (LogActive()) Log("Switching from " + comPortName_ + " to " + name);
  comPortName_ = name;
  ReconnectLocked();
}

void TSerialPort::PurgeInput() {
  cls::MutexLock lock(configMutex_);
  if (!comPort_->Connected()) return;
  try {
    comPort_->ClearBuffer(true, false);
  } catch (const std::exception&) {
    // A port that cannot purge has gone; the reader notices.
  }
}

}  // namespace dral
