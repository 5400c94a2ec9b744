// The serial-port component: `TCustomComPort` / `TComPort`, their option objects, `EComPort` and
// `TAsync`.
//
// The port owns one serial device (plat::SerialDevice), keeps the line settings as properties,
// applies them to the device while it is open, and offers blocking and overlapped reads and
// writes, line-signal control and queue inspection. Every failed device call raises `EComPort`
// with the library code and the system error (errno) as `WinCode`.
//
// Threads: settings, Open and the notifications belong to one thread (the owner). Read, Write,
// the overlapped operations on a `TAsync` of the calling thread, the queue and line queries and
// WaitForEvent may run on other threads at the same time (while the owner changes no setting);
// Close from the owner wakes a read, write or wait in progress on another thread, which then
// fails (code 3 or 2; a wait returns no events) instead of touching a closed descriptor.
#pragma once

#include <atomic>
#include <cstdint>
#include <condition_variable>
#include <exception>
#include <initializer_list>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "classlib/Closure.h"
#include "classlib/Stream.h"
#include "classlib/Strings.h"
#include "classlib/ThreadSafety.h"
#include "classlib/exception.h"
#include "classlib/thread.h"
#include "plat/poll_event.h"
#include "plat/serial_device.h"

namespace cls {
class TIniFile;
class TRegistry;
}  // namespace cls

namespace comport {

// A set of up to 16 members of an enumeration, one bit per ordinal.
template <typename E>
class EnumSet {
 public:
  constexpr EnumSet() = default;
  constexpr EnumSet(std::initializer_list<E> members) {
    for (E m : members) bits_ |= Bit(m);
  }
  static constexpr EnumSet FromBits(uint16_t bits) {
    EnumSet s;
    s.bits_ = bits;
    return s;
  }
  constexpr bool Contains(E m) const { return (bits_ & Bit(m)) != 0; }
  constexpr void Include(E m) { bits_ |= Bit(m); }
  constexpr void Exclude(E m) { bits_ &= static_cast<uint16_t>(~Bit(m)); }
  constexpr bool Empty() const { return bits_ == 0; }
  constexpr uint16_t Bits() const { return bits_; }
  friend constexpr bool operator==(EnumSet a, EnumSet b) { return a.bits_ == b.bits_; }

 private:
  static constexpr uint16_t Bit(E m) { return static_cast<uint16_t>(1u << static_cast<unsigned>(m)); }
  uint16_t bits_ = 0;
};

enum class TBaudRate : uint8_t {
  brCustom, br110, br300, br600, br1200, br2400, br4800, br9600, br14400, br19200, br38400,
  br56000, br57600, br115200, br128000, br256000
};
enum class TStopBits : uint8_t { sbOneStopBit, sbOne5StopBits, sbTwoStopBits };
enum class TDataBits : uint8_t { dbFive, dbSix, dbSeven, dbEight };
enum class TSyncMethod : uint8_t { smThreadSync, smWindowSync, smNone };
enum class TComSignal : uint8_t { csCTS, csDSR, csRing, csRLSD };
using TComSignals = EnumSet<TComSignal>;
enum class TComError : uint8_t { ceFrame, ceRxParity, ceOverrun, ceBreak, ceIO, ceMode, ceRxOver, ceTxFull };
using TComErrors = EnumSet<TComError>;
enum class TStoredProp : uint8_t { spBasic, spFlowControl, spBuffer, spTimeouts, spParity, spOthers };
using TStoredProps = EnumSet<TStoredProp>;
enum class TOperationKind : uint8_t { okWrite, okRead };
enum class TComEvent : uint8_t {
  evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD, evRx80Full
};
using TComEvents = EnumSet<TComEvent>;
enum class TComLinkEvent : uint8_t { leConn, leCTS, leDSR, leRLSD, leRing, leRx, leTx, leTxEmpty, leRxFlag };
enum class TParityBits : uint8_t { prNone, prOdd, prEven, prMark, prSpace };
enum class TDTRFlowControl : uint8_t { dtrDisable, dtrEnable, dtrHandshake };
enum class TRTSFlowControl : uint8_t { rtsDisable, rtsEnable, rtsHandshake, rtsToggle };
enum class TFlowControl : uint8_t { fcHardware, fcSoftware, fcNone, fcCustom };

inline constexpr TComEvents kAllComEvents{
    TComEvent::evRxChar, TComEvent::evTxEmpty, TComEvent::evRxFlag, TComEvent::evRing,
    TComEvent::evBreak,  TComEvent::evCTS,     TComEvent::evDSR,    TComEvent::evError,
    TComEvent::evRLSD,   TComEvent::evRx80Full};

// The comm-event mask of a set of events and back; mask bits of no event are ignored.
uint32_t EventsToInt(TComEvents events);
TComEvents IntToEvents(uint32_t mask);

// The bits per second of a rate (0 for brCustom).
uint32_t BaudRateToInt(TBaudRate rate);

// Text forms of the line settings: the table text of the value, and back. The inverse compares
// ignoring case with the exact length and gives the default (9600, one stop bit, eight data bits,
// no parity, custom flow control) for a text outside the table.
std::string BaudRateToStr(TBaudRate value);
std::string StopBitsToStr(TStopBits value);
std::string DataBitsToStr(TDataBits value);
std::string ParityToStr(TParityBits value);
std::string FlowControlToStr(TFlowControl value);
TBaudRate StrToBaudRate(const std::string& text);
TStopBits StrToStopBits(const std::string& text);
TDataBits StrToDataBits(const std::string& text);
TParityBits StrToParity(const std::string& text);
TFlowControl StrToFlowControl(const std::string& text);

// Replaces `list` with the serial ports the machine lists, sorted ignoring case. Code 23 with the
// registry error when the list cannot be read; `list` is then unchanged.
void EnumComPorts(cls::TStrings& list);

// Library codes of `EComPort`.
enum ComPortError : int32_t {
  CError_OpenFailed = 1, CError_WriteFailed, CError_ReadFailed, CError_InvalidAsync,
  CError_PurgeFailed, CError_AsyncCheck, CError_SetStateFailed, CError_TimeoutsFailed,
  CError_SetupComFailed, CError_ClearComFailed, CError_ModemStatFailed, CError_EscapeComFailed,
  CError_TransmitFailed, CError_ConnChangeProp, CError_EnumPortsFailed, CError_StoreFailed,
  CError_LoadFailed, CError_RegFailed, CError_LedStateFailed, CError_ThreadCreated,
  CError_WaitFailed, CError_HasLink, CError_RegError
};

class EComPort : public cls::Exception {
 public:
  // The table text alone; WinCode -1.
  explicit EComPort(int32_t code);
  // The table text followed by " (win error code: <winCode>)".
  EComPort(int32_t code, int32_t winCode);

  int32_t WinCode() const { return winCode_; }
  int32_t Code() const { return code_; }
  // The table text of a code ("" outside 1..23).
  static const char* Text(int32_t code);

 private:
  int32_t winCode_;
  int32_t code_;
};

// One overlapped operation. `Transfer` stands for the OVERLAPPED record and its event; a write's
// private copy of its bytes (`Data`/`Size`) is the transfer's WriteData().
struct TAsync {
  TOperationKind Kind = TOperationKind::okWrite;
  plat::SerialTransfer Transfer;
};
using PAsync = TAsync*;

class TCustomComPort;

// Handlers of the port and of its links; Sender is always the port.
using TNotifyEvent = cls::Closure<void(TCustomComPort* sender)>;
using TComSignalEvent = cls::Closure<void(TCustomComPort* sender, bool onOff)>;
using TRxBufEvent = cls::Closure<void(TCustomComPort* sender, const void* buffer, int32_t count)>;
using TRxCharEvent = cls::Closure<void(TCustomComPort* sender, int32_t count)>;
using TComErrorEvent = cls::Closure<void(TCustomComPort* sender, TComErrors errors)>;

// The handler slots through which another component listens to a port without taking its event
// properties. The owner fills the slots before it registers the link, unregisters it before it
// changes a slot or frees it, and frees it; the port never owns a link.
class TComLink {
 public:
  TComSignalEvent OnConn;
  TRxBufEvent OnRxBuf;
  TRxBufEvent OnTxBuf;
  TNotifyEvent OnTxEmpty;
  TNotifyEvent OnRxFlag;
  TComSignalEvent OnCTSChange;
  TComSignalEvent OnDSRChange;
  TComSignalEvent OnRLSDChange;
  TNotifyEvent OnRing;
  TComSignalEvent OnTx;
  TComSignalEvent OnRx;
};

class TComThread;

// ---- Settings storage: store types and the text forms of its values ----

enum class TStoreType : uint8_t { stRegistry, stIniFile };

// "Yes" / "No"; only the text "yes" in any case reads as true.
std::string YesNoText(bool value);
bool YesNoValue(const std::string& text);
// A character of code 33..127 as itself, any other as "#" and its decimal code ("#13").
std::string CharToText(char ch);
// "" gives 0; "#" followed by an integer gives its low 8 bits ("#300" gives 44), by anything
// else 0; any other text gives its first character ("#" alone gives "#").
char TextToChar(const std::string& text);
// "Disable", "Enable", "Handshake" (and "Toggle" for RTS); names compare without case, and an
// unknown name gives Disable.
std::string RTSToText(TRTSFlowControl value);
std::string DTRToText(TDTRFlowControl value);
TRTSFlowControl TextToRTS(const std::string& text);
TDTRFlowControl TextToDTR(const std::string& text);

// ---- end of settings storage ----

// A stream over a port, for code that reads and writes streams: Read and Write are the port's
// blocking Read and Write, with their byte counts and their failures (EComPort). The stream has
// no position and no size: Seek from any origin gives 0. The port is not owned and must outlive
// the stream.
class TComStream : public cls::TStream {
 public:
  explicit TComStream(TCustomComPort& port) : port_(&port) {}
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int64_t Seek(int64_t offset, cls::TSeekOrigin origin) override;

 private:
  TCustomComPort* port_;
};

// A component that refers to a port (the packet framer, the lamp, the selector controls) and must
// let go of it before the port is destroyed: the port's destructor calls Notification on each
// one registered through FreeNotification, after closing (the class library's free notification).
class TComPortObserver {
 public:
  virtual void Notification(TCustomComPort* removed) = 0;

 protected:
  ~TComPortObserver() = default;
};

// Stand-in for the class library's persistent base of the option objects: Assign copies from a
// source of the same class, and anything else is the class library's assign error.
class TComOption {
 public:
  TComOption() = default;
  TComOption(const TComOption&) = delete;
  TComOption& operator=(const TComOption&) = delete;
  virtual ~TComOption() = default;

  // source.AssignTo(*this); raises cls::Exception "Cannot assign a <source> to a <this>" when
  // the classes differ.
  void Assign(const TComOption& source);
  void SetComPort(TCustomComPort* port) { port_ = port; }
  TCustomComPort* ComPort() const { return port_; }
  virtual const char* ClassName() const = 0;

 protected:
  // Copies every value field into `dest` when it is of the same class (and re-applies nothing);
  // otherwise raises the assign error.
  virtual void AssignTo(TComOption& dest) const;
  TCustomComPort* port_ = nullptr;  // not owned; null for a free-standing copy
};

class TComTimeouts final : public TComOption {
 public:
  int32_t ReadInterval() const { return readInterval_; }
  int32_t ReadTotalMultiplier() const { return readTotalMultiplier_; }
  int32_t ReadTotalConstant() const { return readTotalConstant_; }
  int32_t WriteTotalMultiplier() const { return writeTotalMultiplier_; }
  int32_t WriteTotalConstant() const { return writeTotalConstant_; }
  void SetReadInterval(int32_t value);
  void SetReadTotalMultiplier(int32_t value);
  void SetReadTotalConstant(int32_t value);
  void SetWriteTotalMultiplier(int32_t value);
  void SetWriteTotalConstant(int32_t value);
  const char* ClassName() const override { return "TComTimeouts"; }

 protected:
  void AssignTo(TComOption& dest) const override;

 private:
  void Set(int32_t* field, int32_t value);
  int32_t readInterval_ = -1;
  int32_t readTotalMultiplier_ = 0;
  int32_t readTotalConstant_ = 0;
  int32_t writeTotalMultiplier_ = 100;
  int32_t writeTotalConstant_ = 1000;
};

class TComFlowControl final : public TComOption {
 public:
  bool OutCTSFlow() const { return outCTSFlow_; }
  bool OutDSRFlow() const { return outDSRFlow_; }
  TDTRFlowControl ControlDTR() const { return controlDTR_; }
  TRTSFlowControl ControlRTS() const { return controlRTS_; }
  bool XonXoffOut() const { return xonXoffOut_; }
  bool XonXoffIn() const { return xonXoffIn_; }
  bool DSRSensitivity() const { return dsrSensitivity_; }
  bool TxContinueOnXoff() const { return txContinueOnXoff_; }
  char XonChar() const { return xonChar_; }
  char XoffChar() const { return xoffChar_; }
  // The summary of ControlRTS, OutCTSFlow, XonXoffIn and XonXoffOut (not stored).
  TFlowControl FlowControl() const;

  void SetOutCTSFlow(bool value);
  void SetOutDSRFlow(bool value);
  void SetControlDTR(TDTRFlowControl value);
  void SetControlRTS(TRTSFlowControl value);
  void SetXonXoffOut(bool value);
  void SetXonXoffIn(bool value);
  void SetDSRSensitivity(bool value);
  void SetTxContinueOnXoff(bool value);
  void SetXonChar(char value);
  void SetXoffChar(char value);
  // fcCustom changes nothing; the others set the four summary fields. Always re-applies.
  void SetFlowControl(TFlowControl value);
  const char* ClassName() const override { return "TComFlowControl"; }

 protected:
  void AssignTo(TComOption& dest) const override;

 private:
  template <typename T>
  void Set(T* field, T value);
  void Apply();
  bool outCTSFlow_ = false;
  bool outDSRFlow_ = false;
  TDTRFlowControl controlDTR_ = TDTRFlowControl::dtrDisable;
  TRTSFlowControl controlRTS_ = TRTSFlowControl::rtsDisable;
  bool xonXoffOut_ = false;
  bool xonXoffIn_ = false;
  bool dsrSensitivity_ = false;
  bool txContinueOnXoff_ = false;
  char xonChar_ = 17;
  char xoffChar_ = 19;
};

class TComParity final : public TComOption {
 public:
  TParityBits Bits() const { return bits_; }
  bool Check() const { return check_; }
  bool Replace() const { return replace_; }
  char ReplaceChar() const { return replaceChar_; }
  void SetBits(TParityBits value);
  void SetCheck(bool value);
  void SetReplace(bool value);
  void SetReplaceChar(char value);
  const char* ClassName() const override { return "TComParity"; }

 protected:
  void AssignTo(TComOption& dest) const override;

 private:
  template <typename T>
  void Set(T* field, T value);
  TParityBits bits_ = TParityBits::prNone;
  bool check_ = false;
  bool replace_ = false;
  char replaceChar_ = 0;
};

class TComBuffer final : public TComOption {
 public:
  int32_t InputSize() const { return inputSize_; }
  int32_t OutputSize() const { return outputSize_; }
  // An odd size of 1 or more is lowered by one.
  void SetInputSize(int32_t value);
  void SetOutputSize(int32_t value);
  const char* ClassName() const override { return "TComBuffer"; }

 protected:
  void AssignTo(TComOption& dest) const override;

 private:
  void Set(int32_t* field, int32_t value);
  int32_t inputSize_ = 1024;
  int32_t outputSize_ = 1024;
};

class TCustomComPort {
 public:
  using TNotifyEvent = comport::TNotifyEvent;
  // The setup dialog, installed by the unit that provides it; unset: ShowSetupDialog does nothing.
  using SetupDialogHook = void (*)(TCustomComPort& port);

  TCustomComPort();
  // Closes the port (never throws; a failure on the way still releases the device).
  virtual ~TCustomComPort();
  TCustomComPort(const TCustomComPort&) = delete;
  TCustomComPort& operator=(const TCustomComPort&) = delete;

  // --- component state (design time and streaming) ---
  void SetDesigning(bool designing) { designing_ = designing; }
  bool Designing() const { return designing_; }
  // Streaming: BeginLoad marks the component as being loaded; Loaded ends it and opens the port
  // when Connected was streamed in as true. An open failure does not propagate: it is handed
  // to OnLoadedOpenFailed when set (the application's exception handler), else dropped.
  void BeginLoad() { loading_ = true; }
  virtual void Loaded();
  bool Loading() const { return loading_; }

  // --- opening and closing ---
  void Open();
  void Close();
  bool Connected() const { return connected_.load(std::memory_order_acquire); }
  void SetConnected(bool value);

  void BeginUpdate();
  void EndUpdate();

  // --- settings ---
  TBaudRate BaudRate() const { return baudRate_; }
  void SetBaudRate(TBaudRate value);
  int32_t CustomBaudRate() const { return customBaudRate_; }
  void SetCustomBaudRate(int32_t value);
  const std::string& Port() const { return port_; }
  void SetPort(const std::string& value);
  TStopBits StopBits() const { return stopBits_; }
  void SetStopBits(TStopBits value);
  TDataBits DataBits() const { return dataBits_; }
  void SetDataBits(TDataBits value);
  bool DiscardNull() const { return discardNull_; }
  void SetDiscardNull(bool value);
  char EventChar() const { return eventChar_; }
  void SetEventChar(char value);
  // Read and written directly (no re-apply): the events the event thread waits for.
  TComEvents Events() const { return events_; }
  void SetEvents(TComEvents value) { events_ = value; }
  TComBuffer& Buffer() { return buffer_; }
  TComParity& Parity() { return parity_; }
  TComTimeouts& Timeouts() { return timeouts_; }
  TComFlowControl& FlowControl() { return flowControl_; }
  const TComBuffer& Buffer() const { return buffer_; }
  const TComParity& Parity() const { return parity_; }
  const TComTimeouts& Timeouts() const { return timeouts_; }
  const TComFlowControl& FlowControl() const { return flowControl_; }
  void SetBuffer(const TComBuffer& value);
  void SetParity(const TComParity& value);
  void SetTimeouts(const TComTimeouts& value);
  void SetFlowControl(const TComFlowControl& value);
  TSyncMethod SyncMethod() const { return syncMethod_; }
  void SetSyncMethod(TSyncMethod value);
  cls::TThreadPriority EventThreadPriority() const { return eventThreadPriority_; }
  void SetEventThreadPriority(cls::TThreadPriority value);
  TStoredProps StoredProps() const { return storedProps_; }
  void SetStoredProps(TStoredProps value) { storedProps_ = value; }
  bool TriggersOnRxChar() const { return triggersOnRxChar_ && !linkListens_; }
  void SetTriggersOnRxChar(bool value);

  TNotifyEvent OnAfterOpen, OnAfterClose, OnBeforeOpen, OnBeforeClose;
  TRxCharEvent OnRxChar;
  TRxBufEvent OnRxBuf;
  TNotifyEvent OnTxEmpty, OnBreak, OnRing;
  TComSignalEvent OnCTSChange, OnDSRChange, OnRLSDChange;
  TNotifyEvent OnRxFlag;
  TComErrorEvent OnError;
  TNotifyEvent OnRx80Full;
  cls::Closure<void(const std::exception& failure)> OnLoadedOpenFailed;
  // The application's exception handler for the event thread's dispatch: what a notification
  // raised, and a failed wait (code 21), which ends the thread. Called on the main thread; unset,
  // the message goes to stderr.
  cls::Closure<void(const std::exception& failure)> OnException;

  // ---- Settings storage ----
  // The component's name: the ini section and the registry key that hold its settings.
  const std::string& Name() const { return name_; }
  void SetName(const std::string& value) { name_ = value; }
  // Writes the groups of StoredProps to the ini file `storeTo` (section Name) or to the registry
  // key `storeTo`\Name, whose first segment names the root ("HKEY_LOCAL_MACHINE" or
  // "HKEY_CURRENT_USER" in any case; any other name stands for HKEY_CURRENT_USER) and is never
  // part of the key. Any failure raises code 16, also a registry path without a key after its
  // root segment, which writes nothing.
  void StoreSettings(TStoreType storeType, const std::string& storeTo);
  // Reads the groups of StoredProps back through the property setters, between BeginUpdate and
  // EndUpdate, so an open device is set up once at the end. A key missing from the ini file, or
  // a string value missing from the registry key, keeps the current value; a missing registry
  // integer fails. Any failure raises code 17 and keeps the values read before it; the set-up
  // at the end still runs, and a failure of it then gives way to code 17. A registry path
  // without a key fails before anything is read.
  void LoadSettings(TStoreType storeType, const std::string& loadFrom);

 protected:
  // One pass over the groups of StoredProps each, in the order of the key table; the registry
  // passes work on the key the caller has opened.
  virtual void StoreRegistry(cls::TRegistry& reg);
  virtual void StoreIniFile(cls::TIniFile& ini);
  virtual void LoadRegistry(cls::TRegistry& reg);
  virtual void LoadIniFile(cls::TIniFile& ini);

 private:
  std::string name_;

 public:
  // ---- end of settings storage ----

  // The device control block that ApplyDCB hands to the device, from the current settings.
  plat::Dcb BuildDCB() const;

  // --- queues and lines (raise EComPort with errno) ---
  int32_t InputCount();
  int32_t OutputCount();
  uint8_t StateFlags();
  TComErrors LastErrors();
  TComSignals Signals();
  void SetBreak(bool on);
  void SetDTR(bool on);
  void SetRTS(bool on);
  void SetXonXoff(bool on);
  void ClearBuffer(bool input, bool output);
  void AbortAllAsync();
  void TransmitChar(char ch);
  void ShowSetupDialog();
  static void SetSetupDialogHook(SetupDialogHook hook);

  // --- overlapped I/O (a null record raises code 4) ---
  static void InitAsync(PAsync& async);
  static void DoneAsync(PAsync& async);
  // Starts a write of a private copy of the bytes; returns the count written when it finished
  // at once, else 0 (pending). Nothing reads `buffer` after the call.
  int32_t WriteAsync(const void* buffer, int32_t count, PAsync& async);
  // Starts a read into `buffer` (valid until the read finished); returns the count read when it
  // finished at once, else 0.
  int32_t ReadAsync(void* buffer, int32_t count, PAsync& async);
  // Waits for the operation to finish; returns the bytes transferred (0 for a record that never
  // started one). A failure raises code 2 (write) or 3 (read) with the errno.
  int32_t WaitForAsync(PAsync& async);
  // Moves the operation on without waiting; true when it finished (with success or failure).
  bool IsAsyncCompleted(PAsync async);
  int32_t Write(const void* buffer, int32_t count);
  int32_t Read(void* buffer, int32_t count);
  int32_t WriteStrAsync(const std::string& str, PAsync& async);
  int32_t WriteStr(const std::string& str);
  int32_t ReadStrAsync(std::string& str, int32_t count, PAsync& async);
  int32_t ReadStr(std::string& str, int32_t count);

  // Waits up to `timeoutMs` (-1: no bound) for one of `events`; `stop` (may be null) ends the
  // wait early. On return `events` holds the events seen (empty after a time-out or stop).
  // Code 20 while the event thread exists, 21 when the wait failed.
  void WaitForEvent(TComEvents& events, const plat::PollEvent* stop, int32_t timeoutMs);

  // --- links ---
  // Appends / removes a link; a link already (or not) in the list raises code 18 and changes
  // nothing. Any thread may call them. A link registered while the port's events are handed on
  // is first served by the next notification; one unregistered then is not called afterwards:
  // a call from another thread returns only when no notification still uses the link (code 18
  // after 10 s, the link then removed all the same), one from inside a handler takes effect at
  // once.
  void RegisterLink(TComLink* link);
  void UnRegisterLink(TComLink* link);
  // True when some registered link has OnRxBuf set.
  bool HasLink() const;

  // --- free notification (the owner's thread) ---
  // `observer` hears of the port's destruction (once, however often it registered) until it is
  // removed; removing an unknown observer does nothing.
  void FreeNotification(TComPortObserver* observer);
  void RemoveFreeNotification(TComPortObserver* observer);

 protected:
  // The option objects re-apply their group through the Apply operations.
  friend class TComTimeouts;
  friend class TComFlowControl;
  friend class TComParity;
  friend class TComBuffer;

  virtual void CreateHandle();
  virtual void DestroyHandle();
  virtual void SetupComPort();
  virtual void ApplyDCB();
  virtual void ApplyTimeouts();
  virtual void ApplyBuffer();

  // The event thread's start and end (CPortThread.h); the end stops it and waits for it.
  virtual void CreateEventThread();
  virtual void DestroyEventThread();
  bool ThreadCreated() const { return threadCreated_.load(std::memory_order_acquire); }

  // Notification layer: the Call operations tell the links (in registration order), then raise
  // the port's own event through the Do operations. The event thread calls them on the thread
  // that SyncMethod selects; Open and Close on the caller's.
  friend class TComThread;
  friend class TComWindow;
  // The notification window's handler: for message WM_USER + 1 while Connected, runs the Call
  // operation of the one event whose mask bit is `wParam`; what it raises goes to OnException.
  virtual void WindowMethod(uint32_t message, uint32_t wParam);
  // Runs the Call operation of `event`.
  void CallComEvent(TComEvent event);
  // Hands what the dispatch raised to OnException; unset, raises it again.
  void HandleDispatchException(const std::exception_ptr& failure);
  virtual void CallBeforeOpen();
  virtual void CallAfterOpen();
  virtual void CallBeforeClose();
  virtual void CallAfterClose();
  // Hands received data on: with TriggersOnRxChar, OnRxChar with the waiting count; otherwise
  // the port reads once and OnRxBuf (port, then each link) gets the bytes read.
  virtual void CallRxChar();
  virtual void CallRxFlag();
  virtual void CallTxEmpty();
  virtual void CallBreak();
  virtual void CallRing();
  virtual void CallCTSChange();
  virtual void CallDSRChange();
  virtual void CallRLSDChange();
  virtual void CallError();
  virtual void CallRx80Full();
  virtual void DoAfterClose();
  virtual void DoAfterOpen();
  virtual void DoBeforeClose();
  virtual void DoBeforeOpen();
  virtual void DoRxChar(int32_t count);
  virtual void DoRxBuf(const void* buffer, int32_t count);
  virtual void DoTxEmpty();
  virtual void DoBreak();
  virtual void DoRing();
  virtual void DoRxFlag();
  virtual void DoCTSChange(bool onOff);
  virtual void DoDSRChange(bool onOff);
  virtual void DoError(TComErrors errors);
  virtual void DoRLSDChange(bool onOff);
  virtual void DoRx80Full();
  // Each link's slot for a signal event (leConn, leCTS, leDSR, leRLSD, leRx, leTx; others do
  // nothing), for a notice (leRing, leTxEmpty, leRxFlag), and OnTxBuf with written data.
  void SendSignalToLink(TComLinkEvent event, bool onOff);
  void NotifyLink(TComLinkEvent event);
  void TxNotifyLink(const void* buffer, int32_t count);
  // Opening: the current CTS, DSR and RLSD to links and port; closing: all three off, unread.
  void CheckSignals(bool open);

  plat::SerialDevice& Device() { return device_; }
  // True when Apply operations may reach the device.
  bool CanApply() const;

 private:
  // InitAsync, `start`, WaitForAsync, DoneAsync (always): the blocking form of an operation.
  int32_t Blocking(const std::function<void(PAsync&)>& start);
  // Stores a changed value of the device control block and re-applies it.
  template <typename T>
  void SetDCBField(T* field, T value);
  // Calls `serve` for each registered link, in order, skipping links unregistered meanwhile.
  void ForEachLink(const std::function<void(TComLink&)>& serve);
  bool AnyLinks() const;
  bool HasLinkLocked() const REQUIRES(linksLock_);

  plat::SerialDevice device_;
  std::unique_ptr<TComThread> eventThread_;  // while open with a non-empty Events
  std::atomic<bool> threadCreated_{false};  // read by WaitForEvent on any thread
  int32_t updateCount_ = 0;
  std::atomic<bool> triggersOnRxChar_{true};  // read by the event thread
  cls::TThreadPriority eventThreadPriority_ = cls::TThreadPriority::tpNormal;
  mutable cls::Mutex linksLock_;
  std::condition_variable_any walkEnded_;  // a walk over the links ended
  std::vector<TComLink*> links_ GUARDED_BY(linksLock_);  // registration order
  struct Walker {
    uint64_t Ticket;  // in the order the walks began
    std::thread::id Thread;
  };
  std::vector<Walker> walkers_ GUARDED_BY(linksLock_);  // the walks over the links under way
  uint64_t walkTickets_ GUARDED_BY(linksLock_) = 0;     // the next walk's ticket
  std::atomic<bool> linkListens_{false};  // HasLink() as of the last registration change
  std::atomic<bool> connected_{false};
  std::vector<TComPortObserver*> observers_;  // told of the destruction; owner's thread only
  bool designing_ = false;
  bool loading_ = false;
  TBaudRate baudRate_ = TBaudRate::br9600;
  int32_t customBaudRate_ = 9600;
  std::string port_ = "COM1";
  TStopBits stopBits_ = TStopBits::sbOneStopBit;
  TDataBits dataBits_ = TDataBits::dbEight;
  bool discardNull_ = false;
  char eventChar_ = 0;
  TComEvents events_ = kAllComEvents;
  TComBuffer buffer_;
  TComParity parity_;
  TComTimeouts timeouts_;
  TComFlowControl flowControl_;
  TSyncMethod syncMethod_ = TSyncMethod::smThreadSync;
  TStoredProps storedProps_{TStoredProp::spBasic};
};

// Moves `link` and the free notification of `observer` from the port `bound` to `port` (either
// may be null) and stores `port` in `bound`: the step with which a component that listens
// through a link changes its port. A failed registration with `port` leaves `bound` null.
void BindLink(TComLink& link, TComPortObserver& observer, TCustomComPort*& bound,
              TCustomComPort* port);

// Publishes the properties; nothing of its own.
class TComPort : public TCustomComPort {};

}  // namespace comport
