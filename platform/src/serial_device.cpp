// The serial device on Linux: termios2 for the line settings, poll for the time-outs.
//
// <termios.h> is not included: its struct termios differs from the kernel's, and termios2 (any
// rate through BOTHER) exists only in the kernel's headers. Flushing and flow control use the
// ioctls that tcflush and tcflow stand for.
#include "plat/serial_device.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

#include "plat/tick.h"

namespace plat {
namespace {

// Line-state events have no poll event of their own: a wait for them looks this often.
constexpr int kLineSampleMs = 10;
// A wait with no bound of its own still wakes this often, so no poll is ever unbounded.
constexpr int kMaxPollSliceMs = 1000;
// A rate the driver rounds by more than this (in percent) counts as not settable.
constexpr uint64_t kRateTolerancePercent = 3;

uint64_t NowMs() { return MicrosecondCount() / 1000; }

int Ioctl(int fd, unsigned long request, void* arg) {
  int r;
  do r = ::ioctl(fd, request, arg);
  while (r < 0 && errno == EINTR);
  return r < 0 ? errno : 0;
}

int IoctlValue(int fd, unsigned long request, long value) {
  int r;
  do r = ::ioctl(fd, request, value);
  while (r < 0 && errno == EINTR);
  return r < 0 ? errno : 0;
}

// The errors of a device that has no modem lines or error counts (a pseudo-terminal).
bool NoSuchFeature(int err) { return err == ENOTTY || err == EINVAL; }

// Waits in poll for `fds`, at most `timeoutMs` (clamped to one slice); EINTR counts as a wake-up
// (the caller looks again). Returns false only for a failed poll.
bool PollSome(pollfd* fds, nfds_t count, uint64_t timeoutMs) {
  const int ms = static_cast<int>(std::min<uint64_t>(timeoutMs, kMaxPollSliceMs));
  const int r = ::poll(fds, count, ms);
  return r >= 0 || errno == EINTR;
}

bool Readable(int fd) {
  if (fd < 0) return false;
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

// Milliseconds from `now` to `deadline`, 0 once passed.
uint64_t Remaining(uint64_t now, uint64_t deadline) { return deadline > now ? deadline - now : 0; }

constexpr uint64_t kNoDeadline = ~uint64_t{0};

// The total time-out of a transfer of `count` bytes, kNoDeadline when unused.
uint64_t TotalDeadline(uint64_t start, uint32_t multiplier, uint32_t constant, uint32_t count) {
  if (multiplier == 0 && constant == 0) return kNoDeadline;
  return start + uint64_t{multiplier} * count + constant;
}

int CurrentErrno(int fallback) { return errno != 0 ? errno : fallback; }

}  // namespace

std::string SerialDevice::DevicePath(std::string_view portName) {
  if (portName.empty()) return {};
  if (portName.front() == '/') return std::string(portName);
  // Port names ignore case: "Com1" and "com1" are COM1.
  if (portName.size() > 3 && strncasecmp(portName.data(), "COM", 3) == 0) {
    const std::string_view digits = portName.substr(3);
    if (std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      if (digits.size() > 6) return {};
      const long n = std::stol(std::string(digits));
      if (n < 1) return {};
      return "/dev/ttyS" + std::to_string(n - 1);
    }
  }
  return "/dev/" + std::string(portName);
}

SerialDevice::SerialDevice() = default;

SerialDevice::~SerialDevice() { Close(); }

int SerialDevice::Open(std::string_view portName) {
  std::unique_lock<std::shared_mutex> lock(lock_);
  if (fd_) return EISCONN;
  const std::string path = DevicePath(portName);
  if (path.empty()) return ENOENT;
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  if (!fd) return errno;
  if (!::isatty(fd.Get())) return ENOTTY;
  // The flock also keeps out a second opener with the privilege to pass TIOCEXCL.
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? EBUSY : errno;
  if (const int err = Ioctl(fd.Get(), TIOCEXCL, nullptr)) return err;

  termios2 tio{};
  if (const int err = Ioctl(fd.Get(), TCGETS2, &tio)) return err;
  // Raw bytes both ways, no echo, no signals; CLOCAL so nothing waits for carrier.
  tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF |
                   IXANY | IGNPAR | INPCK);
  tio.c_oflag &= ~OPOST;
  tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  if (const int err = Ioctl(fd.Get(), TCSETS2, &tio)) return err;

  UniqueFd abortFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!abortFd) return errno;
  {
    std::lock_guard<std::mutex> state(stateMutex_);
    abort_ = std::make_shared<UniqueFd>(std::move(abortFd));
    haveCounts_ = false;
    discardNull_ = false;
    evtChar_ = 0;
  }
  fd_ = std::move(fd);
  LineCounts counts;
  std::lock_guard<std::mutex> state(stateMutex_);
  haveCounts_ = ReadCountsLocked(&counts);
  counts_ = counts;
  return 0;
}

std::shared_lock<std::shared_mutex> SerialDevice::LockForUse() const {
  // While a Close waits for the lock no new call takes it: a thread that reads in a loop would
  // otherwise keep the (reader-preferring) lock from the closer.
  if (closing_.load(std::memory_order_acquire)) return {};
  std::shared_lock<std::shared_mutex> lock(lock_);
  if (closing_.load(std::memory_order_acquire)) return {};
  return lock;
}

void SerialDevice::Close() {
  closing_.store(true, std::memory_order_release);
  cancel_.Set();  // wakes every wait; they leave and release the shared lock
  // The write thread cancels what is queued and ends. It is joined outside writerMutex_, which
  // a start takes under writeMutex_, which the thread needs to end. A start racing the close
  // makes no new thread once closing_ is set (QueueWriteLocked), so this join is the last.
  std::thread writer;
  {
    std::lock_guard<std::mutex> slot(writerMutex_);
    writer = std::move(writer_);
  }
  if (writer.joinable()) writer.join();
  {
    std::lock_guard<std::mutex> writes(writeMutex_);
    FinishAllWritesLocked(ECANCELED);
  }
  std::unique_lock<std::shared_mutex> lock(lock_);
  {
    std::lock_guard<std::mutex> state(stateMutex_);
    if (abort_) {
      const uint64_t one = 1;
      [[maybe_unused]] const ssize_t n = ::write(abort_->Get(), &one, sizeof one);
      abort_.reset();
    }
  }
  fd_.Reset();
  cancel_.Reset();
  closing_.store(false, std::memory_order_release);
}

bool SerialDevice::IsOpen() const {
  std::shared_lock<std::shared_mutex> lock(lock_);
  return static_cast<bool>(fd_);
}

int SerialDevice::SetState(const Dcb& dcb) {
  if (dcb.BaudRate == 0 || dcb.ByteSize < 5 || dcb.ByteSize > 8) return EINVAL;
  const uint32_t flags = dcb.Flags;
  const uint32_t dtr = flags & kDcbDtrControlMask;
  const uint32_t rts = flags & kDcbRtsControlMask;
  const bool ctsFlow = (flags & kDcbOutxCtsFlow) != 0;
  // termios has one switch for both directions of RTS/CTS flow control and none for DSR/DTR
  // flow control, DSR sensitivity or RTS toggling.
  if (dtr == kDcbDtrHandshake || rts == kDcbRtsToggle) return EINVAL;
  if ((rts == kDcbRtsHandshake) != ctsFlow) return EINVAL;
  if (flags & (kDcbOutxDsrFlow | kDcbDsrSensitivity)) return EINVAL;
  const bool check = (flags & kDcbParity) != 0;
  const bool replace = check && (flags & kDcbErrorChar) != 0;
  // A byte with a parity or framing error reads as NUL with INPCK; no other character.
  if (replace && dcb.ErrorChar != 0) return EINVAL;

  tcflag_t cflag = CLOCAL | CREAD | HUPCL | BOTHER | (BOTHER << IBSHIFT);
  switch (dcb.ByteSize) {
    case 5: cflag |= CS5; break;
    case 6: cflag |= CS6; break;
    case 7: cflag |= CS7; break;
    default: cflag |= CS8; break;
  }
  switch (dcb.Parity) {
    case kNoParity: break;
    case kOddParity: cflag |= PARENB | PARODD; break;
    case kEvenParity: cflag |= PARENB; break;
    case kMarkParity: cflag |= PARENB | PARODD | CMSPAR; break;
    case kSpaceParity: cflag |= PARENB | CMSPAR; break;
    default: return EINVAL;
  }
  switch (dcb.StopBits) {
    case kOneStopBit: break;
    case kOne5StopBits:
      // The UART sends 1.5 stop bits for CSTOPB with 5 data bits, and only then.
      if (dcb.ByteSize != 5) return EINVAL;
      cflag |= CSTOPB;
      break;
    case kTwoStopBits: cflag |= CSTOPB; break;
    default: return EINVAL;
  }
  if (ctsFlow) cflag |= CRTSCTS;

  const auto lock = LockForUse();
  if (!lock || !fd_) return EBADF;
  const int fd = fd_.Get();
  termios2 tio{};
  if (const int err = Ioctl(fd, TCGETS2, &tio)) return err;
  tio.c_cflag = cflag;
  tio.c_ispeed = dcb.BaudRate;
  tio.c_ospeed = dcb.BaudRate;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK | ISTRIP);
  if (flags & kDcbOutX) tio.c_iflag |= IXON;
  if (flags & kDcbInX) tio.c_iflag |= IXOFF;
  if (replace) tio.c_iflag |= INPCK;
  tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
  tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
  if (const int err = Ioctl(fd, TCSETS2, &tio)) return err;

  // TCSETS2 succeeds even where the driver kept some settings: read back what it took.
  termios2 got{};
  if (const int err = Ioctl(fd, TCGETS2, &got)) return err;
  constexpr tcflag_t kLineBits = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS;
  if ((got.c_cflag & kLineBits) != (cflag & kLineBits)) return EINVAL;
  const uint64_t want = dcb.BaudRate;
  const uint64_t have = got.c_ospeed;
  const uint64_t diff = have > want ? have - want : want - have;
  if (diff * 100 > want * kRateTolerancePercent) return EINVAL;

  // DTR and RTS are lines the kernel leaves to us unless RTS is handshaking.
  const int dtrBit = TIOCM_DTR, rtsBit = TIOCM_RTS;
  int err = Ioctl(fd, dtr == kDcbDtrEnable ? TIOCMBIS : TIOCMBIC, const_cast<int*>(&dtrBit));
  if (err != 0 && !NoSuchFeature(err)) return err;
  if (rts != kDcbRtsHandshake) {
    err = Ioctl(fd, rts == kDcbRtsEnable ? TIOCMBIS : TIOCMBIC, const_cast<int*>(&rtsBit));
    if (err != 0 && !NoSuchFeature(err)) return err;
  }
  std::lock_guard<std::mutex> state(stateMutex_);
  baud_ = dcb.BaudRate;
  discardNull_ = (flags & kDcbNull) != 0;
  evtChar_ = dcb.EvtChar;
  return 0;
}

int SerialDevice::SetTimeouts(const CommTimeouts& timeouts) {
  const auto lock = LockForUse();
  if (!lock || !fd_) return EBADF;
  std::lock_guard<std::mutex> state(stateMutex_);
  timeouts_ = timeouts;
  return 0;
}

CommTimeouts SerialDevice::GetTimeouts() const {
  std::lock_guard<std::mutex> state(stateMutex_);
  return timeouts_;
}

int SerialDevice::SetupComm(uint32_t inputSize, uint32_t outputSize) {
  if (inputSize == 0 || outputSize == 0) return EINVAL;
  const auto lock = LockForUse();
  if (!lock || !fd_) return EBADF;
  std::lock_guard<std::mutex> state(stateMutex_);
  inputSize_ = inputSize;
  outputSize_ = outputSize;
  return 0;
}

uint32_t SerialDevice::InputQueueSize() const {
  std::lock_guard<std::mutex> state(stateMutex_);
  return inputSize_;
}

bool SerialDevice::ReadCountsLocked(LineCounts* counts) {
  serial_icounter_struct ic{};
  if (Ioctl(fd_.Get(), TIOCGICOUNT, &ic) != 0) return false;
  counts->Frame = ic.frame;
  counts->Overrun = ic.overrun;
  counts->Parity = ic.parity;
  counts->Brk = ic.brk;
  counts->BufOverrun = ic.buf_overrun;
  counts->Cts = ic.cts;
  counts->Dsr = ic.dsr;
  counts->Rng = ic.rng;
  counts->Dcd = ic.dcd;
  return true;
}

int SerialDevice::ClearCommError(uint32_t* errors, ComStat* stat) {
  const auto lock = LockForUse();
  if (!lock || !fd_) return EBADF;
  const int fd = fd_.Get();
  int in = 0, out = 0;
  if (const int err = Ioctl(fd, FIONREAD, &in)) return err;
  if (const int err = Ioctl(fd, TIOCOUTQ, &out)) return err;
  ComStat s;
  s.InQue = static_cast<uint32_t>(std::max(in, 0));
  s.OutQue = static_cast<uint32_t>(std::max(out, 0));
  termios2 tio{};
  int lines = 0;
  // Output held back by flow control: CTS low with RTS/CTS flow and bytes waiting.
  if (s.OutQue > 0 && Ioctl(fd, TCGETS2, &tio) == 0 && (tio.c_cflag & CRTSCTS) &&
      Ioctl(fd, TIOCMGET, &lines) == 0 && !(lines & TIOCM_CTS))
    s.Flags |= kComStatCtsHold;

  uint32_t e = 0;
  LineCounts now;
  std::lock_guard<std::mutex> state(stateMutex_);
  if (ReadCountsLocked(&now)) {
    if (haveCounts_) {
      if (now.Frame != counts_.Frame) e |= kCeFrame;
      if (now.Overrun != counts_.Overrun) e |= kCeOverrun;
      if (now.Parity != counts_.Parity) e |= kCeRxParity;
      if (now.Brk != counts_.Brk) e |= kCeBreak;
      if (now.BufOverrun != counts_.BufOverrun) e |= kCeRxOver;
    }
    counts_ = now;
    haveCounts_ = true;
  }
  if (errors) *errors = e;
  if (stat) *stat = s;
  return 0;
}

int SerialDevice::GetModemStatus(uint32_t* status) {
  const auto lock = LockForUse();
  if (!lock || !fd_) return EBADF;
  int lines = 0;
  const int err = Ioctl(fd_.Get(), TIOCMGET, &lines);
  if (err != 0 && !NoSuchFeature(err)) return err;
  uint32_t s = 0;
  if (err == 0) {
    if (lines & TIOCM_CTS) s |= kMsCtsOn;
    if (lines & TIOCM_DSR) s |= kMsDsrOn;
    if (lines & TIOCM_RNG) s |= kMsRingOn;
    if (lines & TIOCM_CAR) s |= kMsRlsdOn;
  }
  *status = s;
  return 0;
}

int SerialDevice::Escape(EscapeFunction function) {
  const auto lock = LockForUse();
  if (!lock || !fd_) return EBADF;
  const int fd = fd_.Get();
  int bit = 0;
  unsigned long request = 0;
  switch (function) {
    case EscapeFunction::SetXoff: return IoctlValue(fd, TCXONC, TCOOFF);
    case EscapeFunction::SetXon: return IoctlValue(fd, TCXONC, TCOON);
    case EscapeFunction::SetBreak: return Ioctl(fd, TIOCSBRK, nullptr);
    case EscapeFunction::ClrBreak: return Ioctl(fd, TIOCCBRK, nullptr);
    case EscapeFunction::SetRts: bit = TIOCM_RTS, request = TIOCMBIS; break;
    case EscapeFunction::ClrRts: bit = TIOCM_RTS, request = TIOCMBIC; break;
    case EscapeFunction::SetDtr: bit = TIOCM_DTR, request = TIOCMBIS; break;
    case EscapeFunction::ClrDtr: bit = TIOCM_DTR, request = TIOCMBIC; break;
  }
  const int err = Ioctl(fd, request, &bit);
  return NoSuchFeature(err) ? 0 : err;
}

int SerialDevice::Purge(uint32_t flags) {
  const auto lock = LockForUse();
  if (!lock || !fd_) return EBADF;
  const int fd = fd_.Get();
  if (flags & (kPurgeTxAbort | kPurgeRxAbort)) {
    // Every transfer started so far holds the current generation's eventfd: setting it ends
    // them, and later transfers get a fresh one.
    UniqueFd next(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!next) return errno;
    std::lock_guard<std::mutex> state(stateMutex_);
    const uint64_t one = 1;
    if (abort_) [[maybe_unused]] const ssize_t n = ::write(abort_->Get(), &one, sizeof one);
    abort_ = std::make_shared<UniqueFd>(std::move(next));
  }
  // An aborted write leaves nothing of itself in the output queue.
  if (flags & (kPurgeTxClear | kPurgeTxAbort))
    if (const int err = IoctlValue(fd, TCFLSH, TCOFLUSH)) return err;
  if (flags & kPurgeRxClear) {
    if (const int err = IoctlValue(fd, TCFLSH, TCIFLUSH)) return err;
    // The event waits count what is queued from here on as new.
    rxEpoch_.fetch_add(1, std::memory_order_acq_rel);
    inputTaken_.Set();
  }
  return 0;
}

int SerialDevice::TransmitChar(char c) {
  const auto lock = LockForUse();
  if (!lock || !fd_) return EBADF;
  ssize_t n;
  do n = ::write(fd_.Get(), &c, 1);
  while (n < 0 && errno == EINTR);
  if (n == 1) {
    writes_.fetch_add(1, std::memory_order_acq_rel);
    return 0;
  }
  return n < 0 ? errno : EAGAIN;
}

SerialTransfer::~SerialTransfer() {
  if (device_ != nullptr && !Finished()) device_->Forget(*this);
}

int SerialDevice::Start(SerialTransfer& t, void* readBuffer, const void* writeData,
                        uint32_t count) {
  // A write still pending gives way to the new transfer.
  if (t.device_ != nullptr && !t.Finished()) t.device_->Forget(t);
  const auto lock = LockForUse();
  if (!lock || !fd_) return EBADF;
  t.Reset();
  t.started_ = true;
  t.write_ = writeData != nullptr;
  if (t.write_) t.data_.assign(static_cast<const char*>(writeData), count);
  t.buffer_ = static_cast<uint8_t*>(readBuffer);
  t.count_ = count;
  {
    std::lock_guard<std::mutex> state(stateMutex_);
    t.timeouts_ = timeouts_;
    t.abort_ = abort_;
  }
  t.startMs_ = NowMs();
  if (!t.write_) {
    const int err = ContinueReadLocked(t, 0);
    return err == EINPROGRESS ? 0 : err;
  }
  std::lock_guard<std::mutex> writes(writeMutex_);
  // Writes leave in order: with others pending this one waits its turn.
  short events = 0;
  uint64_t until = 0;
  if (writeQueue_.empty() && StepWriteLocked(t, t.startMs_, &events, &until)) return t.Error();
  if (!QueueWriteLocked(t)) return t.Error();
  return 0;
}

int SerialDevice::StartRead(SerialTransfer& t, void* buffer, uint32_t count) {
  return Start(t, buffer, nullptr, count);
}

int SerialDevice::StartWrite(SerialTransfer& t, const void* data, uint32_t count) {
  // A write of nothing still needs a non-null source to count as a write.
  static const char kNothing = 0;
  return Start(t, nullptr, data != nullptr ? data : &kNothing, count);
}

int SerialDevice::Continue(SerialTransfer& t, uint32_t waitMs) {
  if (!t.started_) return EINVAL;
  if (t.Finished()) return t.Error();
  if (t.write_) return WaitWrite(t, waitMs);
  const auto lock = LockForUse();
  if (!lock || !fd_) {
    t.error_.store(ECANCELED, std::memory_order_relaxed);
    t.finished_.store(true, std::memory_order_release);
    return ECANCELED;
  }
  return ContinueReadLocked(t, waitMs);
}

int SerialDevice::Read(void* buffer, uint32_t count, uint32_t* done) {
  SerialTransfer t;
  int err = StartRead(t, buffer, count);
  if (err == 0 && !t.Finished()) err = Continue(t, kMaxDword);
  *done = t.Bytes();
  return err;
}

int SerialDevice::Write(const void* data, uint32_t count, uint32_t* done) {
  SerialTransfer t;
  int err = StartWrite(t, data, count);
  if (err == 0 && !t.Finished()) err = Continue(t, kMaxDword);
  *done = t.Bytes();
  return err;
}

int SerialDevice::StepReadLocked(SerialTransfer& t) {
  bool discardNull;
  char evtChar;
  {
    std::lock_guard<std::mutex> state(stateMutex_);
    discardNull = discardNull_;
    evtChar = evtChar_;
  }
  uint32_t done = t.done_.load(std::memory_order_relaxed);
  while (done < t.count_) {
    const ssize_t n = ::read(fd_.Get(), t.buffer_ + done, t.count_ - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) break;
      return errno;
    }
    // A raw, non-blocking tty reads 0 bytes only once it hung up.
    if (n == 0) return EIO;
    uint8_t* const first = t.buffer_ + done;
    uint8_t* last = first + n;
    taken_.fetch_add(static_cast<uint64_t>(n), std::memory_order_acq_rel);
    if (std::memchr(first, static_cast<unsigned char>(evtChar), static_cast<size_t>(n)))
      flags_.fetch_add(1, std::memory_order_acq_rel);
    inputTaken_.Set();
    // termios cannot drop NUL bytes itself.
    if (discardNull) last = std::remove(first, last, uint8_t{0});
    if (last != first) t.lastByteMs_ = NowMs();
    t.discarded_ += static_cast<uint32_t>(n - (last - first));
    done += static_cast<uint32_t>(last - first);
    t.done_.store(done, std::memory_order_release);
  }
  return 0;
}

int SerialDevice::ContinueReadLocked(SerialTransfer& t, uint32_t waitMs) {
  const uint64_t waitUntil = waitMs == kMaxDword ? kNoDeadline : NowMs() + waitMs;
  const CommTimeouts& to = t.timeouts_;
  const bool immediate = to.ReadIntervalTimeout == kMaxDword &&
                         to.ReadTotalTimeoutMultiplier == 0 && to.ReadTotalTimeoutConstant == 0;
  const bool firstByte = to.ReadIntervalTimeout == kMaxDword &&
                         to.ReadTotalTimeoutMultiplier == kMaxDword &&
                         to.ReadTotalTimeoutConstant > 0 &&
                         to.ReadTotalTimeoutConstant < kMaxDword;
  const uint64_t readDeadline =
      firstByte ? t.startMs_ + to.ReadTotalTimeoutConstant
                : TotalDeadline(t.startMs_, to.ReadTotalTimeoutMultiplier,
                                to.ReadTotalTimeoutConstant, t.count_);
  const uint64_t interval = (to.ReadIntervalTimeout == 0 || to.ReadIntervalTimeout == kMaxDword)
                                ? kNoDeadline
                                : to.ReadIntervalTimeout;
  const int abortFd = t.abort_ ? t.abort_->Get() : -1;
  auto finish = [&t](int err) {
    t.error_.store(err, std::memory_order_relaxed);
    t.finished_.store(true, std::memory_order_release);
    return err;
  };

  bool hungUp = false;  // the last poll reported a hang-up
  for (;;) {
    if (cancel_.IsSet() || !t.abort_ || Readable(abortFd)) return finish(ECANCELED);
    const uint64_t now = NowMs();
    const uint32_t before = t.Bytes();
    // Bytes read before a hang-up are delivered; the next read reports the hang-up.
    if (const int err = StepReadLocked(t)) return finish(t.Bytes() > 0 ? 0 : err);
    const uint32_t done = t.Bytes();
    if (hungUp && done == before) return finish(done > 0 ? 0 : EIO);
    // What is queued has been taken; dropped NUL bytes count towards the count, so a read
    // never waits for the bytes it discarded.
    if (done + t.discarded_ >= t.count_ || immediate) return finish(0);
    if (firstByte && done > 0) return finish(0);
    if (now >= readDeadline) return finish(0);
    if (done > 0 && interval != kNoDeadline && now >= t.lastByteMs_ + interval) return finish(0);
    uint64_t opDeadline = readDeadline;
    if (done > 0 && interval != kNoDeadline)
      opDeadline = std::min(opDeadline, t.lastByteMs_ + interval);
    if (now >= waitUntil) return EINPROGRESS;
    pollfd fds[3] = {{fd_.Get(), POLLIN, 0}, {cancel_.Fd(), POLLIN, 0}, {abortFd, POLLIN, 0}};
    const uint64_t until = std::min(opDeadline, waitUntil);
    if (!PollSome(fds, 3, Remaining(now, until))) return finish(CurrentErrno(EIO));
    // A hung-up device keeps reporting POLLHUP; the next step's read fails with EIO.
    hungUp = (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  }
}

// --- the write thread ---

bool SerialDevice::QueueWriteLocked(SerialTransfer& t) {
  {
    std::lock_guard<std::mutex> writer(writerMutex_);
    // A start that raced a close and comes after it took the thread would make one that ends
    // at once and, never joined, stands for a running one after the port opens again: no
    // write of that open would move. It is cancelled as the close cancels queued writes.
    if (closing_.load(std::memory_order_acquire)) {
      FinishWriteLocked(t, ECANCELED);
      return false;
    }
    if (!writer_.joinable()) {
      try {
        writer_ = std::thread([this] { RunWrites(); });
      } catch (const std::system_error& e) {
        FinishWriteLocked(t, e.code().value() != 0 ? e.code().value() : EAGAIN);
        return false;
      }
    }
  }
  t.device_ = this;
  if (writeQueue_.empty()) turn_ = &t;  // its turn began with its start
  writeQueue_.push_back(&t);
  writeQueued_.Set();
  return true;
}

int SerialDevice::WaitWrite(SerialTransfer& t, uint32_t waitMs) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  std::unique_lock<std::mutex> writes(writeMutex_);
  // Close cancels every queued write, so an unbounded wait ends with the port; it still looks
  // again every slice.
  while (!t.Finished()) {
    const auto slice = std::chrono::steady_clock::now() + std::chrono::milliseconds(kMaxPollSliceMs);
    if (waitMs == kMaxDword) {
      writeFinished_.wait_until(writes, slice);
    } else if (writeFinished_.wait_until(writes, std::min(slice, until)) ==
                   std::cv_status::timeout &&
               std::chrono::steady_clock::now() >= until) {
      return t.Finished() ? t.Error() : EINPROGRESS;
    }
  }
  return t.Error();
}

void SerialDevice::Forget(SerialTransfer& t) {
  std::lock_guard<std::mutex> writes(writeMutex_);
  const auto it = std::find(writeQueue_.begin(), writeQueue_.end(), &t);
  if (it == writeQueue_.end()) return;
  writeQueue_.erase(it);
  FinishWriteLocked(t, ECANCELED);
  writeQueued_.Set();  // the first write may have changed
}

void SerialDevice::FinishWriteLocked(SerialTransfer& t, int err) {
  t.error_.store(err, std::memory_order_relaxed);
  t.finished_.store(true, std::memory_order_release);
  writeFinished_.notify_all();
}

void SerialDevice::FinishAllWritesLocked(int err) {
  for (SerialTransfer* t : writeQueue_) FinishWriteLocked(*t, err);
  writeQueue_.clear();
}

void SerialDevice::RunWrites() {
  bool hungUp = false;
  for (;;) {
    const auto lock = LockForUse();
    if (!lock || !fd_ || cancel_.IsSet()) break;
    const int fd = fd_.Get();
    WritePoll next;
    {
      std::lock_guard<std::mutex> writes(writeMutex_);
      writeQueued_.Reset();  // before the look at the queue: a later start sets it again
      next = AdvanceWritesLocked(NowMs(), hungUp);
    }
    const uint64_t now = NowMs();
    pollfd fds[4] = {{next.Queued ? fd : -1, next.Events, 0},
                     {cancel_.Fd(), POLLIN, 0},
                     {writeQueued_.Fd(), POLLIN, 0},
                     {next.AbortFd, POLLIN, 0}};
    if (!PollSome(fds, 4, next.Queued ? Remaining(now, next.Until) : kMaxPollSliceMs)) {
      std::lock_guard<std::mutex> writes(writeMutex_);
      FinishAllWritesLocked(CurrentErrno(EIO));
      continue;
    }
    hungUp = (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
  }
  std::lock_guard<std::mutex> writes(writeMutex_);
  FinishAllWritesLocked(ECANCELED);
}

SerialDevice::WritePoll SerialDevice::AdvanceWritesLocked(uint64_t now, bool hungUp) {
  WritePoll next;
  // Cancelled writes leave at once, wherever they are in the queue.
  for (auto it = writeQueue_.begin(); it != writeQueue_.end();) {
    SerialTransfer& t = **it;
    if (!t.abort_ || Readable(t.abort_->Get())) {
      it = writeQueue_.erase(it);
      FinishWriteLocked(t, ECANCELED);
    } else {
      ++it;
    }
  }
  while (!writeQueue_.empty()) {
    SerialTransfer& t = *writeQueue_.front();
    if (&t != turn_) {
      turn_ = &t;
      t.startMs_ = now;  // the time-out runs from its turn
    }
    if (hungUp && t.draining_) {
      // A draining write makes no call that could fail: the hang-up ends it here.
      writeQueue_.pop_front();
      FinishWriteLocked(t, EIO);
      continue;
    }
    if (!StepWriteLocked(t, now, &next.Events, &next.Until)) {
      next.Queued = true;
      next.AbortFd = t.abort_->Get();
      return next;
    }
    writeQueue_.pop_front();
    hungUp = false;
  }
  return next;
}

bool SerialDevice::StepWriteLocked(SerialTransfer& t, uint64_t now, short* events,
                                   uint64_t* until) {
  const CommTimeouts& to = t.timeouts_;
  const uint64_t total = TotalDeadline(t.startMs_, to.WriteTotalTimeoutMultiplier,
                                       to.WriteTotalTimeoutConstant, t.count_);
  const int fd = fd_.Get();
  uint32_t done = t.done_.load(std::memory_order_relaxed);
  while (!t.draining_ && done < t.count_) {
    const ssize_t n = ::write(fd, t.data_.data() + done, t.count_ - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) break;
      FinishWriteLocked(t, errno);
      return true;
    }
    if (n > 0) writes_.fetch_add(1, std::memory_order_acq_rel);
    done += static_cast<uint32_t>(n);
    t.done_.store(done, std::memory_order_release);
  }
  if (!t.draining_ && done < t.count_) {
    if (now < total) {
      *events = POLLOUT;
      *until = total;
      return false;
    }
    // The driver took no more within the time-out: count what left, flush the rest.
  }
  t.draining_ = true;
  int out = 0;
  if (Ioctl(fd, TIOCOUTQ, &out) != 0 || out <= 0) {
    FinishWriteLocked(t, 0);
    return true;
  }
  if (now >= total) {
    // Out of time: what is still queued never leaves.
    const uint32_t queued = std::min(static_cast<uint32_t>(out), done);
    t.done_.store(done - queued, std::memory_order_release);
    IoctlValue(fd, TCFLSH, TCOFLUSH);
    FinishWriteLocked(t, 0);
    return true;
  }
  // No poll event tells that the output queue ran empty: look again after about the time
  // the queued bytes take on the line (10 bits a byte).
  uint32_t baud;
  {
    std::lock_guard<std::mutex> state(stateMutex_);
    baud = std::max<uint32_t>(baud_, 1);
  }
  const uint64_t lineMs = uint64_t(std::max(out, 1)) * 10000 / baud;
  *events = 0;
  *until = std::min(total, now + std::clamp<uint64_t>(lineMs, 1, kLineSampleMs));
  return false;
}

int SerialDevice::WaitCommEvent(uint32_t mask, uint32_t* occurred, const PollEvent* stop,
                                uint32_t timeoutMs) {
  EventWatch fresh;
  return WaitCommEvent(mask, occurred, stop, timeoutMs, fresh);
}

void SerialDevice::PrimeLocked(EventWatch& w) {
  const int fd = fd_.Get();
  w.primed_ = true;
  w.rxEpoch_ = rxEpoch_.load(std::memory_order_acquire);
  w.arrived_ = taken_.load(std::memory_order_acquire);  // what is queued counts as new
  w.full_ = false;
  w.writes_ = writes_.load(std::memory_order_acquire);
  int out = 0;
  w.outPending_ = Ioctl(fd, TIOCOUTQ, &out) == 0 && out > 0;
  w.flags_ = flags_.load(std::memory_order_acquire);
  w.haveLines_ = Ioctl(fd, TIOCMGET, &w.lines_) == 0;
  w.haveCounts_ = ReadCountsLocked(&w.counts_);
}

uint32_t SerialDevice::SampleLocked(uint32_t mask, EventWatch& w, int* queued) {
  const int fd = fd_.Get();
  uint32_t ev = 0;
  uint32_t inputSize;
  {
    std::lock_guard<std::mutex> state(stateMutex_);
    inputSize = inputSize_;
  }
  // Input: bytes taken plus bytes queued only grow, unless a purge dropped some. Taken is read
  // before the queue, so a read in between can only make the sum look smaller, never larger.
  const uint64_t epoch = rxEpoch_.load(std::memory_order_acquire);
  if (epoch != w.rxEpoch_) {
    w.rxEpoch_ = epoch;
    w.arrived_ = taken_.load(std::memory_order_acquire);
    w.full_ = false;
  }
  const uint64_t taken = taken_.load(std::memory_order_acquire);
  int in = 0;
  Ioctl(fd, FIONREAD, &in);
  in = std::max(in, 0);
  *queued = in;
  const uint64_t arrived = taken + static_cast<uint64_t>(in);
  if (arrived > w.arrived_) {
    w.arrived_ = arrived;
    ev |= kEvRxChar;
  }
  const bool full = inputSize > 0 && uint64_t(in) * 10 >= uint64_t(inputSize) * 8;
  if (full && !w.full_) ev |= kEvRx80Full;
  w.full_ = full;

  const uint64_t writes = writes_.load(std::memory_order_acquire);
  if (writes != w.writes_) {
    w.writes_ = writes;
    w.outPending_ = true;
  }
  int out = 0;
  if (Ioctl(fd, TIOCOUTQ, &out) == 0) {
    if (out > 0) {
      w.outPending_ = true;
    } else if (w.outPending_) {
      w.outPending_ = false;
      ev |= kEvTxEmpty;
    }
  }
  const uint64_t flags = flags_.load(std::memory_order_acquire);
  if (flags != w.flags_) {
    w.flags_ = flags;
    ev |= kEvRxFlag;
  }

  int lines = 0;
  if (w.haveLines_ && Ioctl(fd, TIOCMGET, &lines) == 0) {
    const int changed = lines ^ w.lines_;
    w.lines_ = lines;
    if (changed & TIOCM_CTS) ev |= kEvCts;
    if (changed & TIOCM_DSR) ev |= kEvDsr;
    if (changed & TIOCM_CAR) ev |= kEvRlsd;
    if (changed & TIOCM_RNG) ev |= kEvRing;
  }
  LineCounts c;
  if (w.haveCounts_ && ReadCountsLocked(&c)) {
    const LineCounts& c0 = w.counts_;
    if (c.Cts != c0.Cts) ev |= kEvCts;
    if (c.Dsr != c0.Dsr) ev |= kEvDsr;
    if (c.Dcd != c0.Dcd) ev |= kEvRlsd;
    if (c.Rng != c0.Rng) ev |= kEvRing;
    if (c.Brk != c0.Brk) ev |= kEvBreak;
    if (c.Frame != c0.Frame || c.Overrun != c0.Overrun || c.Parity != c0.Parity ||
        c.BufOverrun != c0.BufOverrun)
      ev |= kEvErr;
    w.counts_ = c;
  }
  // Changes outside the mask are not kept for later, as the comm mask would not record them.
  return ev & mask;
}

int SerialDevice::WaitCommEvent(uint32_t mask, uint32_t* occurred, const PollEvent* stop,
                                uint32_t timeoutMs, EventWatch& watch) {
  *occurred = 0;
  const auto lock = LockForUse();
  if (!lock || !fd_) return EBADF;
  const int fd = fd_.Get();
  const uint64_t start = NowMs();
  const uint64_t until = timeoutMs == kMaxDword ? kNoDeadline : start + timeoutMs;
  constexpr uint32_t kSampledEvents = kEvTxEmpty | kEvRxFlag | kEvCts | kEvDsr | kEvRlsd |
                                      kEvBreak | kEvErr | kEvRing | kEvRx80Full;
  if (!watch.primed_) PrimeLocked(watch);

  for (;;) {
    if (cancel_.IsSet() || (stop && stop->IsSet())) return 0;
    inputTaken_.Reset();  // before the sample: a read after it sets it again
    int queued = 0;
    const uint32_t ev = SampleLocked(mask, watch, &queued);
    if (ev != 0) {
      *occurred = ev;
      return 0;
    }
    const uint64_t now = NowMs();
    if (now >= until) return 0;
    uint64_t wait = Remaining(now, until);
    // poll tells of data only while the queue is empty: queued bytes keep it readable.
    const bool rxWake = (mask & kEvRxChar) && queued == 0;
    if ((mask & kSampledEvents) || ((mask & kEvRxChar) && !rxWake))
      wait = std::min<uint64_t>(wait, kLineSampleMs);
    const bool takenWake = (mask & (kEvRxChar | kEvRx80Full)) && queued > 0;
    pollfd fds[4] = {{fd, static_cast<short>(rxWake ? POLLIN : 0), 0},
                     {cancel_.Fd(), POLLIN, 0},
                     {stop ? stop->Fd() : -1, POLLIN, 0},
                     {takenWake ? inputTaken_.Fd() : -1, POLLIN, 0}};
    if (!PollSome(fds, 4, wait)) return CurrentErrno(EIO);
    if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) return EIO;
  }
}

}  // namespace plat
