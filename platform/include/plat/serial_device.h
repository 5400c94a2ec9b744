// A serial port (a tty device) with the communications functions of the port library: line
// settings from a device control block, COMMTIMEOUTS-style read and write time-outs, queue and
// line-error status, modem lines, escape functions, purge and the wait for comm events.
//
// Port names: a device path ("/dev/ttyUSB0"), a name under /dev ("ttyUSB0"), or "COMn" in any
// case ("Com1"), which is /dev/ttyS{n-1}. The device is opened non-blocking, without becoming the controlling terminal,
// close-on-exec and exclusively (TIOCEXCL plus an exclusive flock): a port that another process
// or object holds is an open failure (EBUSY). CLOCAL is set at once, so no call ever waits for
// carrier.
//
// Errors are errno values (0 is success); the port library reports them as the system code of
// its exceptions. A setting that termios cannot express is EINVAL, never a silent success. A
// device that hung up (POLLHUP, EIO) is EIO; SIGHUP never reaches the process through this
// layer because the device is never a controlling terminal.
//
// Threads: every member may be called from any thread. Reads, writes and waits hold the port's
// lock shared; Close takes it exclusively after waking them through a cancel eventfd, so Close
// never races an I/O call on the descriptor and returns promptly (a waiting call fails with
// ECANCELED). Writes that stay pending go on on the device's own write thread, made for the
// first of them and stopped and joined by Close, which cancels what is still queued. EINTR is
// retried inside.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <thread>

#include "plat/poll_event.h"
#include "plat/unique_fd.h"

namespace plat {

inline constexpr uint32_t kMaxDword = 0xFFFFFFFFu;

// The device control block, laid out as the port library builds it (28 bytes).
struct Dcb {
  uint32_t DCBlength = 0;
  uint32_t BaudRate = 0;
  uint32_t Flags = 0;  // kDcb* bits below
  uint16_t wReserved = 0;
  uint16_t XonLim = 0;
  uint16_t XoffLim = 0;
  uint8_t ByteSize = 0;
  uint8_t Parity = 0;    // kNoParity..kSpaceParity
  uint8_t StopBits = 0;  // kOneStopBit, kOne5StopBits, kTwoStopBits
  char XonChar = 0;
  char XoffChar = 0;
  char ErrorChar = 0;
  char EofChar = 0;
  char EvtChar = 0;
  uint16_t wReserved1 = 0;
};
static_assert(sizeof(Dcb) == 28);

inline constexpr uint32_t kDcbBinary = 0x1;
inline constexpr uint32_t kDcbParity = 0x2;
inline constexpr uint32_t kDcbOutxCtsFlow = 0x4;
inline constexpr uint32_t kDcbOutxDsrFlow = 0x8;
inline constexpr uint32_t kDcbDtrControlMask = 0x30;
inline constexpr uint32_t kDcbDtrEnable = 0x10;
inline constexpr uint32_t kDcbDtrHandshake = 0x20;
inline constexpr uint32_t kDcbDsrSensitivity = 0x40;
inline constexpr uint32_t kDcbTxContinueOnXoff = 0x80;
inline constexpr uint32_t kDcbOutX = 0x100;
inline constexpr uint32_t kDcbInX = 0x200;
inline constexpr uint32_t kDcbErrorChar = 0x400;
inline constexpr uint32_t kDcbNull = 0x800;
inline constexpr uint32_t kDcbRtsControlMask = 0x3000;
inline constexpr uint32_t kDcbRtsEnable = 0x1000;
inline constexpr uint32_t kDcbRtsHandshake = 0x2000;
inline constexpr uint32_t kDcbRtsToggle = 0x3000;
inline constexpr uint32_t kDcbAbortOnError = 0x4000;

inline constexpr uint8_t kNoParity = 0, kOddParity = 1, kEvenParity = 2, kMarkParity = 3,
                         kSpaceParity = 4;
inline constexpr uint8_t kOneStopBit = 0, kOne5StopBits = 1, kTwoStopBits = 2;

// Read and write time-outs in milliseconds, as COMMTIMEOUTS. Reads: ReadInterval kMaxDword with
// both read totals 0 returns at once with what is queued; ReadInterval kMaxDword with the
// multiplier kMaxDword and 0 < constant < kMaxDword returns what is queued, or waits up to the
// constant for the first byte; otherwise a read ends when the count arrived, when the total
// (multiplier * count + constant, unused when both are 0) ran out, or when more than the interval
// (unused when 0) passed between two bytes after the first. Writes end when all bytes left the
// output queue or the total ran out (unused when both are 0).
struct CommTimeouts {
  uint32_t ReadIntervalTimeout = 0;
  uint32_t ReadTotalTimeoutMultiplier = 0;
  uint32_t ReadTotalTimeoutConstant = 0;
  uint32_t WriteTotalTimeoutMultiplier = 0;
  uint32_t WriteTotalTimeoutConstant = 0;
};

// Queue status (ClearCommError's COMSTAT): the status byte and the queue counts.
struct ComStat {
  uint32_t Flags = 0;  // kComStat* bits
  uint32_t InQue = 0;
  uint32_t OutQue = 0;
};
inline constexpr uint32_t kComStatCtsHold = 0x01, kComStatDsrHold = 0x02,
                          kComStatRlsdHold = 0x04, kComStatXoffHold = 0x08,
                          kComStatXoffSent = 0x10, kComStatEof = 0x20, kComStatTxim = 0x40;

// Line errors since the previous ClearCommError.
inline constexpr uint32_t kCeRxOver = 0x0001, kCeOverrun = 0x0002, kCeRxParity = 0x0004,
                          kCeFrame = 0x0008, kCeBreak = 0x0010, kCeTxFull = 0x0100,
                          kCeIoe = 0x0400, kCeMode = 0x8000;

// Modem status lines.
inline constexpr uint32_t kMsCtsOn = 0x10, kMsDsrOn = 0x20, kMsRingOn = 0x40, kMsRlsdOn = 0x80;

// Comm events (the EV_* mask).
inline constexpr uint32_t kEvRxChar = 0x0001, kEvRxFlag = 0x0002, kEvTxEmpty = 0x0004,
                          kEvCts = 0x0008, kEvDsr = 0x0010, kEvRlsd = 0x0020,
                          kEvBreak = 0x0040, kEvErr = 0x0080, kEvRing = 0x0100,
                          kEvRx80Full = 0x0400;

// Purge flags.
inline constexpr uint32_t kPurgeTxAbort = 0x1, kPurgeRxAbort = 0x2, kPurgeTxClear = 0x4,
                          kPurgeRxClear = 0x8;

enum class EscapeFunction { SetXoff, SetXon, SetRts, ClrRts, SetDtr, ClrDtr, SetBreak, ClrBreak };

class SerialDevice;

// One read or write timed as CommTimeouts say; started by SerialDevice::StartRead/StartWrite,
// so an operation can stay pending between calls (the port library's overlapped I/O).
//
// A pending write goes on by itself, on the device's write thread, whatever its owner waits
// for meanwhile (a read, an event, nothing), until it finished, failed or was cancelled; the
// device's pending writes leave in the order they were started, and a write's time-out runs
// from the moment it is the first of them. Continue waits for it. A write keeps its own copy of
// the bytes: nothing reads the caller's buffer after StartWrite returned. Destroying or
// restarting a write that is still pending cancels the rest of it.
//
// A pending read goes on while its owner waits in Continue; it stores into the buffer given to
// StartRead, which must stay valid until the transfer finished.
//
// The owner's thread calls the members; the device's write thread touches a pending write only
// under the device's lock, and the accessors may be read at any time.
class SerialTransfer {
 public:
  SerialTransfer() = default;
  ~SerialTransfer();
  SerialTransfer(const SerialTransfer&) = delete;
  SerialTransfer& operator=(const SerialTransfer&) = delete;

  bool Started() const { return started_; }
  bool Finished() const { return finished_.load(std::memory_order_acquire); }
  // Bytes transferred: read into the buffer, or (a write) gone out of the output queue.
  uint32_t Bytes() const { return done_.load(std::memory_order_acquire); }
  // errno of a failed transfer, 0 otherwise.
  int Error() const { return error_.load(std::memory_order_acquire); }
  bool IsWrite() const { return write_; }
  // A write's own copy of its bytes (empty for a read).
  const std::string& WriteData() const { return data_; }

 private:
  friend class SerialDevice;
  void Reset() {
    started_ = write_ = draining_ = false;
    finished_.store(false, std::memory_order_relaxed);
    error_.store(0, std::memory_order_relaxed);
    buffer_ = nullptr;
    data_.clear();
    count_ = discarded_ = 0;
    done_.store(0, std::memory_order_relaxed);
    startMs_ = lastByteMs_ = 0;
    timeouts_ = {};
    abort_.reset();
    device_ = nullptr;
  }
  bool started_ = false;
  std::atomic<bool> finished_{false};  // stored last, with release: the other fields are final
  bool write_ = false;
  bool draining_ = false;  // a write whose bytes are all in the driver, waiting for them to leave
  std::atomic<int> error_{0};
  uint8_t* buffer_ = nullptr;
  std::string data_;
  uint32_t count_ = 0;
  std::atomic<uint32_t> done_{0};  // read: bytes stored; write: bytes handed to the driver
  uint32_t discarded_ = 0;  // read: NUL bytes taken from the driver and dropped
  uint64_t startMs_ = 0;   // monotonic
  uint64_t lastByteMs_ = 0;
  CommTimeouts timeouts_{};
  std::shared_ptr<UniqueFd> abort_;  // the purge generation the transfer started in
  SerialDevice* device_ = nullptr;   // a write queued on the device's write thread (owner's)
};

class SerialDevice {
 public:
  SerialDevice();
  ~SerialDevice();  // closes
  SerialDevice(const SerialDevice&) = delete;
  SerialDevice& operator=(const SerialDevice&) = delete;

  // The device path of a port name ("COM3" -> "/dev/ttyS2", "ttyUSB0" -> "/dev/ttyUSB0").
  // Empty for an empty name or "COM" with a number that is not 1 or more.
  static std::string DevicePath(std::string_view portName);

  // Opens the port; EBUSY when it is held elsewhere, ENOENT when there is no such device,
  // ENOTTY when it is not a terminal, EISCONN when this object is already open. The descriptor
  // may be any number, 0 included.
  int Open(std::string_view portName);
  // Wakes every call waiting on the port (they fail with ECANCELED), waits for them to leave,
  // then closes the descriptor. Idempotent; never fails.
  void Close();
  bool IsOpen() const;

  // Applies the line settings. EINVAL for what termios cannot express: a rate of 0, a byte
  // size outside 5..8, 1.5 stop bits with more than 5 data bits, an unknown parity, DTR
  // handshake, RTS toggle, RTS handshake without CTS flow or the other way round, DSR flow or
  // DSR sensitivity. XON/XOFF characters, parity checking and error-character replacement (only
  // with character 0, as termios marks errors with NUL) are mapped as far as termios goes; see
  // the implementation. NUL bytes (DiscardNull) are dropped by the reads, as termios cannot: the
  // queue counts of ClearCommError include them.
  int SetState(const Dcb& dcb);
  int SetTimeouts(const CommTimeouts& timeouts);
  CommTimeouts GetTimeouts() const;
  // Stores the queue sizes (the tty queues have fixed sizes); EINVAL for 0.
  int SetupComm(uint32_t inputSize, uint32_t outputSize);
  uint32_t InputQueueSize() const;

  // Queue counts and the line errors counted since the previous call. Where the device keeps no
  // error counts (a pseudo-terminal) no errors are reported.
  int ClearCommError(uint32_t* errors, ComStat* stat);
  // Modem lines; a device without modem lines (a pseudo-terminal) reports all lines off.
  int GetModemStatus(uint32_t* status);
  // DTR/RTS changes on a device without modem lines succeed and change nothing.
  int Escape(EscapeFunction function);
  int Purge(uint32_t flags);
  // Sends one character ahead of queued output (as far as the tty allows: written at once).
  int TransmitChar(char c);

  // Starts a transfer and moves it on once without waiting. Returns 0 when the transfer
  // finished or is pending (see Finished), else the errno of a failed start. A write that
  // stays pending goes on on the device's write thread (see SerialTransfer).
  int StartRead(SerialTransfer& t, void* buffer, uint32_t count);
  int StartWrite(SerialTransfer& t, const void* data, uint32_t count);
  // Waits at most `waitMs` (kMaxDword: until it finishes) for `t` to finish, moving a read on
  // meanwhile. Returns 0 when it finished with success, EINPROGRESS when it is still pending,
  // else the errno it failed with (ECANCELED: closed or purged with an abort; EIO: hung up).
  // A write that ran out of time counts the bytes that left the output queue and flushes the
  // rest. A read with DiscardNull (SetState) counts the NUL bytes it dropped towards its count:
  // it takes what is queued, but never waits for more bytes than it was asked for.
  int Continue(SerialTransfer& t, uint32_t waitMs);
  // Blocking forms: start and wait until finished.
  int Read(void* buffer, uint32_t count, uint32_t* done);
  int Write(const void* data, uint32_t count, uint32_t* done);

  // Waits up to `timeoutMs` (kMaxDword: no bound but Close and `stop`) for one of the events
  // in `mask`; *occurred gets those seen (0 after a time-out, the stop event, or Close, which
  // also returns 0). A device that hung up is EIO. Events are changes against what `watch` saw
  // before (a fresh watch counts the present state as new):
  //  - kEvRxChar: bytes arrived (bytes taken by reads plus bytes queued grew); kEvRx80Full: the
  //    queue rose to 80 % of the stored input size. A fresh watch reports bytes already queued.
  //  - kEvTxEmpty: the output queue ran empty after a write of this object (or after bytes it
  //    found queued when fresh).
  //  - kEvRxFlag: a read of this object took the event character (SetState's EvtChar): the tty
  //    offers no look at queued bytes without taking them, so nobody reading means no event.
  //  - kEvCts, kEvDsr, kEvRlsd, kEvRing: a modem line changed; kEvBreak, kEvErr: the driver's
  //    break or error counts changed. Devices without modem lines or counts (a pseudo-terminal)
  //    never report these.
  // Received data into an empty queue wakes the wait at once, and so does a read of this object
  // while bytes are queued (poll would report queued bytes without end); everything else is
  // sampled every few milliseconds, and the driver's interrupt counts catch a line pulse
  // shorter than that. `stop` (may be
  // null) is polled together with the descriptor.
  class EventWatch;
  int WaitCommEvent(uint32_t mask, uint32_t* occurred, const PollEvent* stop, uint32_t timeoutMs);
  int WaitCommEvent(uint32_t mask, uint32_t* occurred, const PollEvent* stop, uint32_t timeoutMs,
                    EventWatch& watch);

 private:
  struct LineCounts {
    int Frame = 0, Overrun = 0, Parity = 0, Brk = 0, BufOverrun = 0;
    int Cts = 0, Dsr = 0, Rng = 0, Dcd = 0;
  };

 public:
  // What one waiter has seen of the device, kept between its waits so that a change between
  // two waits is reported by the next one. One per waiting thread; not shared.
  class EventWatch {
   private:
    friend class SerialDevice;
    bool primed_ = false;
    uint64_t arrived_ = 0;  // bytes taken by reads plus bytes queued, as last seen
    uint64_t rxEpoch_ = 0;  // input purges seen
    bool full_ = false;
    uint64_t writes_ = 0;
    bool outPending_ = false;  // bytes went out since the queue was last seen empty
    uint64_t flags_ = 0;
    bool haveLines_ = false;
    int lines_ = 0;
    bool haveCounts_ = false;
    LineCounts counts_{};
  };

 private:
  // Sets the watch's baseline from the device as it is now (queued input counts as new).
  void PrimeLocked(EventWatch& watch);
  // The events in `mask` since the watch's baseline; moves the baseline on. `queued` gets the
  // input queue's count.
  uint32_t SampleLocked(uint32_t mask, EventWatch& watch, int* queued);
  int Start(SerialTransfer& t, void* readBuffer, const void* writeData, uint32_t count);
  int ContinueReadLocked(SerialTransfer& t, uint32_t waitMs);
  int StepReadLocked(SerialTransfer& t);

  // The write side: pending writes in a queue that the write thread moves on. The *Locked
  // members below expect writeMutex_ held, and those that step a write the port's lock too.
  friend class SerialTransfer;
  // Queues a started write that did not finish at once; false when no write thread could be
  // made or a close has begun (the write then failed).
  bool QueueWriteLocked(SerialTransfer& t);
  // Waits for a write to finish (see Continue).
  int WaitWrite(SerialTransfer& t, uint32_t waitMs);
  // Takes a pending write out of the queue, cancelled (its owner destroys or restarts it).
  void Forget(SerialTransfer& t);
  // The write thread: moves the first queued write on until Close.
  void RunWrites();
  // What the write thread's next poll waits for.
  struct WritePoll {
    short Events = 0;      // for the descriptor; -1 fd when nothing is queued
    bool Queued = false;
    uint64_t Until = 0;    // monotonic ms
    int AbortFd = -1;
  };
  // Finishes the cancelled writes, moves the first one on (without waiting) and says what to
  // wait for next; `hungUp`: the last poll found the device hung up.
  WritePoll AdvanceWritesLocked(uint64_t now, bool hungUp);
  // Moves one write on without waiting: true once it finished (see FinishWriteLocked).
  bool StepWriteLocked(SerialTransfer& t, uint64_t now, short* events, uint64_t* until);
  // Publishes the end of a write; the device does not touch it afterwards.
  void FinishWriteLocked(SerialTransfer& t, int err);
  void FinishAllWritesLocked(int err);
  bool ReadCountsLocked(LineCounts* counts);
  // The shared lock for one call; not locked (fails the call) while a Close is under way.
  std::shared_lock<std::shared_mutex> LockForUse() const;

  // Held shared by every call that uses fd_, exclusively by Open and Close. Close first sets
  // closing_ and cancel_, so waiting calls leave and the exclusive lock comes promptly.
  mutable std::shared_mutex lock_;
  UniqueFd fd_;          // guarded by lock_
  PollEvent cancel_;     // set while closing; every wait polls it
  std::atomic<bool> closing_{false};  // a Close is under way: no new call takes lock_
  mutable std::mutex stateMutex_;  // guards the fields below
  CommTimeouts timeouts_{};
  uint32_t baud_ = 9600;      // of the last SetState: paces the wait for the output to drain
  bool discardNull_ = false;  // drop NUL bytes from what is read
  uint32_t inputSize_ = 0, outputSize_ = 0;
  bool haveCounts_ = false;  // baseline of the line-error counts known
  LineCounts counts_{};
  std::shared_ptr<UniqueFd> abort_;  // eventfd of the current purge generation
  char evtChar_ = 0;                 // reads count it for kEvRxFlag
  // Counted for the event waits (atomic: bumped by readers and writers on any thread).
  std::atomic<uint64_t> taken_{0};    // bytes taken from the input by reads
  std::atomic<uint64_t> rxEpoch_{0};  // input purges
  std::atomic<uint64_t> writes_{0};   // writes that handed bytes to the driver
  std::atomic<uint64_t> flags_{0};    // reads that took the event character
  // Set after a read took bytes or a purge dropped them: a wait that saw bytes queued (and so
  // cannot poll for data) learns that the queue may have run empty.
  PollEvent inputTaken_;

  // The write thread, made for the first write that stays pending and joined by Close (which
  // cancels what is still queued).
  std::mutex writerMutex_;  // guards writer_ (start and join)
  std::thread writer_;
  std::mutex writeMutex_;  // guards writeQueue_ and the queued transfers
  std::condition_variable writeFinished_;  // a queued write finished
  std::deque<SerialTransfer*> writeQueue_;  // in start order
  // The write whose turn it is: its time-out runs from when it became the first in the queue,
  // however the one before it left (done, timed out, cancelled, forgotten, hung up).
  const SerialTransfer* turn_ = nullptr;
  PollEvent writeQueued_;  // wakes the write thread for a new or forgotten write
};

}  // namespace plat
