// The serial-port component: opening and closing, applying settings, queues, lines and I/O.
#include "comport/CPort.h"

#include <algorithm>
#include "comport/CPortThread.h"

#include <exception>
#include <functional>

namespace comport {
namespace {

constexpr const char* kErrorTexts[] = {
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
};
constexpr int32_t kErrorCount = static_cast<int32_t>(std::size(kErrorTexts));
static_assert(kErrorCount == CError_RegError);

constexpr const char* kWinCodeSuffix = " (win error code: %d)";

// Event and mask bit, in the set's order.
constexpr struct {
  TComEvent Event;
  uint32_t Bit;
} kEventBits[] = {
    {TComEvent::evRxChar, plat::kEvRxChar}, {TComEvent::evTxEmpty, plat::kEvTxEmpty},
    {TComEvent::evRxFlag, plat::kEvRxFlag}, {TComEvent::evRing, plat::kEvRing},
    {TComEvent::evBreak, plat::kEvBreak},   {TComEvent::evCTS, plat::kEvCts},
    {TComEvent::evDSR, plat::kEvDsr},       {TComEvent::evError, plat::kEvErr},
    {TComEvent::evRLSD, plat::kEvRlsd},     {TComEvent::evRx80Full, plat::kEvRx80Full},
};

constexpr uint32_t kBaudRates[] = {0,     110,   300,   600,    1200,   2400,   4800,  9600,
                                   14400, 19200, 38400, 56000, 57600, 115200, 128000, 256000};

// The ReadStr/WriteStr byte counts are int32; a larger request is cut to what fits.
uint32_t Count(int32_t count) { return count > 0 ? static_cast<uint32_t>(count) : 0; }

void Check(int err, int32_t code) {
  if (err != 0) throw EComPort(code, err);
}

}  // namespace

// --- EComPort ---

const char* EComPort::Text(int32_t code) {
  return code >= 1 && code <= kErrorCount ? kErrorTexts[code - 1] : "";
}

EComPort::EComPort(int32_t code) : cls::Exception(Text(code)), winCode_(-1), code_(code) {}

EComPort::EComPort(int32_t code, int32_t winCode)
    : cls::Exception(std::string(Text(code)) + cls::Format(kWinCodeSuffix, winCode)),
      winCode_(winCode),
      code_(code) {}

// --- conversions ---

uint32_t EventsToInt(TComEvents events) {
  uint32_t mask = 0;
  for (const auto& e : kEventBits)
    if (events.Contains(e.Event)) mask |= e.Bit;
  return mask;
}

TComEvents IntToEvents(uint32_t mask) {
  TComEvents events;
  for (const auto& e : kEventBits)
    if (mask & e.Bit) events.Include(e.Event);
  return events;
}

uint32_t BaudRateToInt(TBaudRate rate) {
  const auto i = static_cast<size_t>(rate);
  return i < std::size(kBaudRates) ? kBaudRates[i] : 0;
}

// --- construction ---

namespace {
TCustomComPort::SetupDialogHook gSetupDialogHook = nullptr;  // set once at start-up
}  // namespace

TCustomComPort::TCustomComPort() {
  parity_.SetComPort(this);
  flowControl_.SetComPort(this);
  timeouts_.SetComPort(this);
  buffer_.SetComPort(this);
}

TCustomComPort::~TCustomComPort() {
  try {
    Close();
  } catch (...) {
    // Close has released the device whatever failed; a destructor reports nothing.
  }
  device_.Close();
  // An observer lets go of the port in its Notification, which may remove others as well.
  while (!observers_.empty()) {
    TComPortObserver* observer = observers_.front();
    observers_.erase(observers_.begin());
    try {
      observer->Notification(this);
    } catch (...) {
      // A destructor reports nothing; the observer has let go of the port all the same.
    }
  }
}

void TCustomComPort::FreeNotification(TComPortObserver* observer) {
  if (observer == nullptr) return;
  if (std::find(observers_.begin(), observers_.end(), observer) == observers_.end()) {
    observers_.push_back(observer);
  }
}

void TCustomComPort::RemoveFreeNotification(TComPortObserver* observer) {
  std::erase(observers_, observer);
}

void BindLink(TComLink& link, TComPortObserver& observer, TCustomComPort*& bound,
              TCustomComPort* port) {
  if (port == bound) return;
  if (bound != nullptr) {
    TCustomComPort* old = bound;
    bound = nullptr;
    old->RemoveFreeNotification(&observer);
    old->UnRegisterLink(&link);
  }
  if (port != nullptr) {
    port->RegisterLink(&link);
    bound = port;
    port->FreeNotification(&observer);
  }
}

void TCustomComPort::Loaded() {
  loading_ = false;
  if (connected_.load() && !designing_) {
    connected_.store(false, std::memory_order_release);
    try {
      Open();
    } catch (const std::exception& e) {
      if (OnLoadedOpenFailed.IsSet()) OnLoadedOpenFailed(e);
    }
  }
}

// --- handle ---

void TCustomComPort::CreateHandle() { Check(device_.Open(port_), CError_OpenFailed); }

void TCustomComPort::DestroyHandle() { device_.Close(); }

// --- opening and closing ---

void TCustomComPort::Open() {
  if (Connected() || designing_) return;
  CallBeforeOpen();
  CreateHandle();
  connected_.store(true, std::memory_order_release);
  try {
    SetupComPort();
  } catch (...) {
    DestroyHandle();
    connected_.store(false, std::memory_order_release);
    throw;
  }
  if (events_.Empty()) {
    threadCreated_.store(false, std::memory_order_release);
  } else {
    CreateEventThread();
  }
  CallAfterOpen();
}

void TCustomComPort::Close() {
  if (!Connected() || designing_) return;
  // The event thread waits for the batch that this handler is part of; waiting for the thread
  // here would never end.
  if (eventThread_ && eventThread_->InBatchOnThisThread())
    throw cls::Exception("A port cannot be closed by a handler of its own event thread");
  // Every step runs even when one before it failed: the device is always released and
  // Connected cleared; the first failure is raised afterwards.
  std::exception_ptr failure;
  auto step = [&failure](auto&& action) {
    try {
      action();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  };
  step([this] { CallBeforeClose(); });
  step([this] { AbortAllAsync(); });
  if (ThreadCreated()) {
    step([this] { DestroyEventThread(); });
    threadCreated_.store(false, std::memory_order_release);
  }
  DestroyHandle();
  connected_.store(false, std::memory_order_release);
  step([this] { CallAfterClose(); });
  if (failure) std::rethrow_exception(failure);
}

void TCustomComPort::SetConnected(bool value) {
  if (designing_ || loading_) {
    connected_.store(value, std::memory_order_release);
    return;
  }
  if (value == Connected()) return;
  if (value)
    Open();
  else
    Close();
}

void TCustomComPort::CreateEventThread() {
  auto thread = std::make_unique<TComThread>(this);
  thread->Start();
  eventThread_ = std::move(thread);
  threadCreated_.store(true, std::memory_order_release);
}

void TCustomComPort::DestroyEventThread() { eventThread_.reset(); }

// --- applying settings ---

bool TCustomComPort::CanApply() const {
  return Connected() && updateCount_ == 0 && !designing_ && !loading_;
}

void TCustomComPort::SetupComPort() {
  ApplyBuffer();
  ApplyDCB();
  ApplyTimeouts();
}

void TCustomComPort::ApplyBuffer() {
  if (!CanApply()) return;
  Check(device_.SetupComm(static_cast<uint32_t>(buffer_.InputSize()),
                          static_cast<uint32_t>(buffer_.OutputSize())),
        CError_SetupComFailed);
}

void TCustomComPort::ApplyTimeouts() {
  if (!CanApply()) return;
  // -1 passes as kMaxDword.
  plat::CommTimeouts t;
  t.ReadIntervalTimeout = static_cast<uint32_t>(timeouts_.ReadInterval());
  t.ReadTotalTimeoutMultiplier = static_cast<uint32_t>(timeouts_.ReadTotalMultiplier());
  t.ReadTotalTimeoutConstant = static_cast<uint32_t>(timeouts_.ReadTotalConstant());
  t.WriteTotalTimeoutMultiplier = static_cast<uint32_t>(timeouts_.WriteTotalMultiplier());
  t.WriteTotalTimeoutConstant = static_cast<uint32_t>(timeouts_.WriteTotalConstant());
  Check(device_.SetTimeouts(t), CError_TimeoutsFailed);
}

void TCustomComPort::ApplyDCB() {
  if (!CanApply()) return;
  Check(device_.SetState(BuildDCB()), CError_SetStateFailed);
}

plat::Dcb TCustomComPort::BuildDCB() const {
  plat::Dcb dcb;
  dcb.DCBlength = sizeof(plat::Dcb);
  dcb.XonLim = static_cast<uint16_t>(buffer_.InputSize() / 4);
  dcb.XoffLim = dcb.XonLim;
  dcb.EvtChar = eventChar_;
  dcb.XonChar = flowControl_.XonChar();
  dcb.XoffChar = flowControl_.XoffChar();

  uint32_t flags = plat::kDcbBinary;
  if (discardNull_) flags |= plat::kDcbNull;
  if (flowControl_.OutCTSFlow()) flags |= plat::kDcbOutxCtsFlow;
  if (flowControl_.OutDSRFlow()) flags |= plat::kDcbOutxDsrFlow;
  switch (flowControl_.ControlDTR()) {
    case TDTRFlowControl::dtrDisable: break;
    case TDTRFlowControl::dtrEnable: flags |= plat::kDcbDtrEnable; break;
    case TDTRFlowControl::dtrHandshake: flags |= plat::kDcbDtrHandshake; break;
  }
  switch (flowControl_.ControlRTS()) {
    case TRTSFlowControl::rtsDisable: break;
    case TRTSFlowControl::rtsEnable: flags |= plat::kDcbRtsEnable; break;
    case TRTSFlowControl::rtsHandshake: flags |= plat::kDcbRtsHandshake; break;
    case TRTSFlowControl::rtsToggle: flags |= plat::kDcbRtsToggle; break;
  }
  if (flowControl_.XonXoffOut()) flags |= plat::kDcbOutX;
  if (flowControl_.XonXoffIn()) flags |= plat::kDcbInX;
  if (flowControl_.DSRSensitivity()) flags |= plat::kDcbDsrSensitivity;
  if (flowControl_.TxContinueOnXoff()) flags |= plat::kDcbTxContinueOnXoff;

  dcb.Parity = static_cast<uint8_t>(parity_.Bits());
  dcb.StopBits = static_cast<uint8_t>(stopBits_);
  dcb.ByteSize = static_cast<uint8_t>(5 + static_cast<int>(dataBits_));
  dcb.BaudRate = baudRate_ == TBaudRate::brCustom ? static_cast<uint32_t>(customBaudRate_)
                                                  : BaudRateToInt(baudRate_);
  if (parity_.Check()) {
    flags |= plat::kDcbParity;
    if (parity_.Replace()) {
      flags |= plat::kDcbErrorChar;
      dcb.ErrorChar = parity_.ReplaceChar();
    }
  }
  dcb.Flags = flags;
  return dcb;
}

void TCustomComPort::BeginUpdate() { ++updateCount_; }

void TCustomComPort::EndUpdate() {
  if (updateCount_ <= 0) return;
  if (--updateCount_ == 0) SetupComPort();
}

// --- setters ---

template <typename T>
void TCustomComPort::SetDCBField(T* field, T value) {
  if (*field == value) return;
  *field = value;
  ApplyDCB();
}

void TCustomComPort::SetBaudRate(TBaudRate value) { SetDCBField(&baudRate_, value); }

void TCustomComPort::SetCustomBaudRate(int32_t value) { SetDCBField(&customBaudRate_, value); }

void TCustomComPort::SetDataBits(TDataBits value) { SetDCBField(&dataBits_, value); }

void TCustomComPort::SetStopBits(TStopBits value) { SetDCBField(&stopBits_, value); }

void TCustomComPort::SetDiscardNull(bool value) { SetDCBField(&discardNull_, value); }

void TCustomComPort::SetEventChar(char value) { SetDCBField(&eventChar_, value); }

void TCustomComPort::SetParity(const TComParity& value) {
  parity_.Assign(value);
  ApplyDCB();
}

void TCustomComPort::SetFlowControl(const TComFlowControl& value) {
  flowControl_.Assign(value);
  ApplyDCB();
}

void TCustomComPort::SetTimeouts(const TComTimeouts& value) {
  timeouts_.Assign(value);
  ApplyTimeouts();
}

void TCustomComPort::SetBuffer(const TComBuffer& value) {
  buffer_.Assign(value);
  ApplyBuffer();
}

void TCustomComPort::SetPort(const std::string& value) {
  if (value == port_) return;
  port_ = value;
  if (Connected() && !designing_ && !loading_) {
    Close();
    Open();
  }
}

void TCustomComPort::SetSyncMethod(TSyncMethod value) {
  if (value == syncMethod_) return;
  if (Connected() && !designing_ && !loading_) throw EComPort(CError_ConnChangeProp);
  syncMethod_ = value;
}

void TCustomComPort::SetEventThreadPriority(cls::TThreadPriority value) {
  if (value == eventThreadPriority_) return;
  if (Connected() && !designing_ && !loading_) throw EComPort(CError_ConnChangeProp);
  eventThreadPriority_ = value;
}

void TCustomComPort::SetTriggersOnRxChar(bool value) {
  if (linkListens_) throw EComPort(CError_HasLink);
  triggersOnRxChar_ = value;
}

// --- queues and lines ---

int32_t TCustomComPort::InputCount() {
  plat::ComStat stat;
  Check(device_.ClearCommError(nullptr, &stat), CError_ClearComFailed);
  return static_cast<int32_t>(stat.InQue);
}

int32_t TCustomComPort::OutputCount() {
  plat::ComStat stat;
  Check(device_.ClearCommError(nullptr, &stat), CError_ClearComFailed);
  return static_cast<int32_t>(stat.OutQue);
}

uint8_t TCustomComPort::StateFlags() {
  plat::ComStat stat;
  Check(device_.ClearCommError(nullptr, &stat), CError_ClearComFailed);
  return static_cast<uint8_t>(stat.Flags & 0xFF);
}

TComErrors TCustomComPort::LastErrors() {
  uint32_t e = 0;
  Check(device_.ClearCommError(&e, nullptr), CError_ClearComFailed);
  TComErrors errors;
  if (e & plat::kCeFrame) errors.Include(TComError::ceFrame);
  if ((e & plat::kCeRxParity) && parity_.Check()) errors.Include(TComError::ceRxParity);
  if (e & plat::kCeOverrun) errors.Include(TComError::ceOverrun);
  if (e & plat::kCeRxOver) errors.Include(TComError::ceRxOver);
  if (e & plat::kCeTxFull) errors.Include(TComError::ceTxFull);
  if (e & plat::kCeBreak) errors.Include(TComError::ceBreak);
  if (e & plat::kCeIoe) errors.Include(TComError::ceIO);
  if (e & plat::kCeMode) errors.Include(TComError::ceMode);
  return errors;
}

TComSignals TCustomComPort::Signals() {
  uint32_t s = 0;
  Check(device_.GetModemStatus(&s), CError_ModemStatFailed);
  TComSignals signals;
  if (s & plat::kMsCtsOn) signals.Include(TComSignal::csCTS);
  if (s & plat::kMsDsrOn) signals.Include(TComSignal::csDSR);
  if (s & plat::kMsRingOn) signals.Include(TComSignal::csRing);
  if (s & plat::kMsRlsdOn) signals.Include(TComSignal::csRLSD);
  return signals;
}

void TCustomComPort::SetBreak(bool on) {
  using F = plat::EscapeFunction;
  Check(device_.Escape(on ? F::SetBreak : F::ClrBreak), CError_EscapeComFailed);
}

void TCustomComPort::SetDTR(bool on) {
  using F = plat::EscapeFunction;
  Check(device_.Escape(on ? F::SetDtr : F::ClrDtr), CError_EscapeComFailed);
}

void TCustomComPort::SetRTS(bool on) {
  using F = plat::EscapeFunction;
  Check(device_.Escape(on ? F::SetRts : F::ClrRts), CError_EscapeComFailed);
}

void TCustomComPort::SetXonXoff(bool on) {
  using F = plat::EscapeFunction;
  Check(device_.Escape(on ? F::SetXon : F::SetXoff), CError_EscapeComFailed);
}

void TCustomComPort::ClearBuffer(bool input, bool output) {
  uint32_t flags = 0;
  if (input) flags |= plat::kPurgeRxClear;
  if (output) flags |= plat::kPurgeTxClear;
  Check(device_.Purge(flags), CError_PurgeFailed);
}

void TCustomComPort::AbortAllAsync() {
  Check(device_.Purge(plat::kPurgeTxAbort | plat::kPurgeRxAbort), CError_PurgeFailed);
}

void TCustomComPort::TransmitChar(char ch) {
  Check(device_.TransmitChar(ch), CError_TransmitFailed);
}

void TCustomComPort::SetSetupDialogHook(SetupDialogHook hook) { gSetupDialogHook = hook; }

void TCustomComPort::ShowSetupDialog() {
  if (gSetupDialogHook) gSetupDialogHook(*this);
}

// --- overlapped I/O ---

void TCustomComPort::InitAsync(PAsync& async) { async = new TAsync; }

void TCustomComPort::DoneAsync(PAsync& async) {
  delete async;
  async = nullptr;
}

int32_t TCustomComPort::WriteAsync(const void* buffer, int32_t count, PAsync& async) {
  if (async == nullptr) throw EComPort(CError_InvalidAsync);
  async->Kind = TOperationKind::okWrite;
  Check(device_.StartWrite(async->Transfer, buffer, Count(count)), CError_WriteFailed);
  SendSignalToLink(TComLinkEvent::leTx, true);
  return async->Transfer.Finished() ? static_cast<int32_t>(async->Transfer.Bytes()) : 0;
}

int32_t TCustomComPort::ReadAsync(void* buffer, int32_t count, PAsync& async) {
  if (async == nullptr) throw EComPort(CError_InvalidAsync);
  async->Kind = TOperationKind::okRead;
  Check(device_.StartRead(async->Transfer, buffer, Count(count)), CError_ReadFailed);
  return async->Transfer.Finished() ? static_cast<int32_t>(async->Transfer.Bytes()) : 0;
}

int32_t TCustomComPort::WaitForAsync(PAsync& async) {
  if (async == nullptr) throw EComPort(CError_InvalidAsync);
  plat::SerialTransfer& t = async->Transfer;
  if (!t.Started()) return 0;
  const bool write = async->Kind == TOperationKind::okWrite;
  Check(device_.Continue(t, plat::kMaxDword), write ? CError_WriteFailed : CError_ReadFailed);
  const auto bytes = static_cast<int32_t>(t.Bytes());
  if (AnyLinks()) {
    if (!write && InputCount() == 0)
      SendSignalToLink(TComLinkEvent::leRx, false);
    else if (write)
      // The links see the bytes that were sent, not all that were asked for.
      TxNotifyLink(t.WriteData().data(), bytes);
  }
  return bytes;
}

bool TCustomComPort::IsAsyncCompleted(PAsync async) {
  if (async == nullptr) throw EComPort(CError_InvalidAsync);
  if (!async->Transfer.Started()) return true;
  const int err = device_.Continue(async->Transfer, 0);
  if (err == EINPROGRESS) return false;
  Check(err, CError_AsyncCheck);
  return true;
}

int32_t TCustomComPort::Blocking(const std::function<void(PAsync&)>& start) {
  PAsync async = nullptr;
  InitAsync(async);
  // The record goes on every path, also when a step raised.
  struct Done {
    PAsync& Async;
    ~Done() { DoneAsync(Async); }
  } done{async};
  start(async);
  return WaitForAsync(async);
}

int32_t TCustomComPort::Write(const void* buffer, int32_t count) {
  return Blocking([&](PAsync& async) { WriteAsync(buffer, count, async); });
}

int32_t TCustomComPort::Read(void* buffer, int32_t count) {
  return Blocking([&](PAsync& async) { ReadAsync(buffer, count, async); });
}

int32_t TCustomComPort::WriteStrAsync(const std::string& str, PAsync& async) {
  if (str.empty()) return 0;
  return WriteAsync(str.data(), static_cast<int32_t>(std::min<size_t>(str.size(), INT32_MAX)),
                    async);
}

int32_t TCustomComPort::WriteStr(const std::string& str) {
  if (str.empty()) return 0;
  return Write(str.data(), static_cast<int32_t>(std::min<size_t>(str.size(), INT32_MAX)));
}

int32_t TCustomComPort::ReadStrAsync(std::string& str, int32_t count, PAsync& async) {
  str.assign(Count(count), '\0');
  if (count <= 0) return 0;
  return ReadAsync(str.data(), count, async);
}

int32_t TCustomComPort::ReadStr(std::string& str, int32_t count) {
  const int32_t result = Blocking([&](PAsync& async) { ReadStrAsync(str, count, async); });
  str.resize(Count(result));
  return result;
}

// --- events without the event thread ---

void TCustomComPort::WaitForEvent(TComEvents& events, const plat::PollEvent* stop,
                                  int32_t timeoutMs) {
  if (ThreadCreated()) throw EComPort(CError_ThreadCreated);
  uint32_t occurred = 0;
  const uint32_t wait = timeoutMs < 0 ? plat::kMaxDword : static_cast<uint32_t>(timeoutMs);
  Check(device_.WaitCommEvent(EventsToInt(events), &occurred, stop, wait), CError_WaitFailed);
  events = IntToEvents(occurred);
}

}  // namespace comport
