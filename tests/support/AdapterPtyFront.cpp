#include "testsupport/AdapterPtyFront.h"

// termios2 comes from the kernel's header; <termios.h> must stay out of this file.
#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

#include "classlib/Registry.h"
#include "plat/registry.h"

namespace dral_test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPollMs = 50;
constexpr int kNoHostPollMs = 2;
constexpr size_t kReadChunk = 4096;
// Paced output leaves in slices of at most this much line time.
constexpr auto kPaceSlice = std::chrono::milliseconds(2);
constexpr auto kPaceCatchUp = std::chrono::milliseconds(10);
constexpr uint32_t kBitsPerByte = 10;  // start, eight data bits, stop
constexpr int kMaxNameTries = 64;

constexpr uint32_t kRates[] = {9600, 19200, 38400, 57600, 115200};

std::chrono::nanoseconds LineTime(size_t bytes, uint32_t rate) {
  if (rate == 0) return {};
  return std::chrono::nanoseconds(static_cast<int64_t>(bytes) * kBitsPerByte * 1'000'000'000 /
                                  rate);
}

// The whole bytes the line carries in `span`.
size_t LineBytes(Clock::duration span, uint32_t rate) {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(span).count();
  return ns <= 0 ? 0 : static_cast<size_t>(ns * rate / kBitsPerByte / 1'000'000'000);
}

}  // namespace

uint32_t SimBaudRateOfIndex(uint8_t index) {
  return index < std::size(kRates) ? kRates[index] : 0;
}

AdapterPtyFront::AdapterPtyFront(AdapterSimulator& adapter, PtyFrontOptions options)
    : adapter_(adapter), options_(options), rate_(options.BaudRate) {
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  {
    std::lock_guard<std::mutex> lock(ptyMutex_);
    if (wakeFd_ < 0 || !OpenPtyLocked()) {
      if (wakeFd_ >= 0) close(wakeFd_);
      throw std::runtime_error("cannot open a pseudo-terminal");
    }
  }
  adapter_.Attach(this);
  thread_ = std::thread([this] { Run(); });
}

AdapterPtyFront::~AdapterPtyFront() {
  adapter_.Detach(this);  // waits for a SendToHost in progress
  stop_.store(true);
  Wake();
  thread_.join();
  std::lock_guard<std::mutex> lock(ptyMutex_);
  ClosePtyLocked();
  close(wakeFd_);
}

bool AdapterPtyFront::OpenPtyLocked() {
  // Pseudo-terminals opened only to skip names used before; closed once a fresh one is found.
  std::vector<int> skipped;
  bool opened = false;
  for (int i = 0; i < kMaxNameTries && !opened; ++i) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master < 0) break;
    char name[128] = {};
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name)) {
      close(master);
      break;
    }
    if (usedNames_.count(name) != 0) {
      skipped.push_back(master);
      continue;
    }
    // The adapter's rate as the line's starting rate, raw: a port that never sets the line
    // still meets a sane terminal. (The settings stay with the pseudo-terminal while the master
    // is open, whoever opens the slave.)
    const int slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0) {
      close(master);
      break;
    }
    termios2 t{};
    if (ioctl(slave, TCGETS2, &t) == 0) {
      t.c_iflag = 0;
      t.c_oflag = 0;
      t.c_lflag = 0;
      t.c_cflag = static_cast<tcflag_t>((t.c_cflag & ~(CBAUD | CSIZE | PARENB)) | BOTHER | CS8 |
                                        CREAD | CLOCAL);
      t.c_ispeed = t.c_ospeed = rate_.load();
      ioctl(slave, TCSETS2, &t);
    }
    close(slave);
    masterFd_ = master;
    usedNames_.insert(name);
    slavePath_ = PublishLocked(name);
    opened = true;
  }
  for (int fd : skipped) close(fd);
  return opened;
}

// In a test's own device folder the slave is published under a link name of the front's own,
// removed before the master closes: a host that remembers the name (a scan's previous port)
// never meets the pseudo-terminal of another test that took over the slave's number.
std::string AdapterPtyFront::PublishLocked(const std::string& slave) {
  const char* dir = std::getenv("DRAL_DEVICE_DIR");
  if (dir == nullptr || *dir == '\0') return slave;
  const std::string link = std::string(dir) + "/pty-line-" + std::to_string(getpid()) + "-" +
                           std::to_string(reinterpret_cast<uintptr_t>(this)) + "-" +
                           std::to_string(++links_);
  if (symlink(slave.c_str(), link.c_str()) != 0) return slave;
  linkPath_ = link;
  return link;
}

void AdapterPtyFront::ClosePtyLocked() {
  if (!linkPath_.empty()) unlink(linkPath_.c_str());
  linkPath_.clear();
  if (masterFd_ >= 0) close(masterFd_);
  masterFd_ = -1;
  slavePath_.clear();
}

std::string AdapterPtyFront::SlavePath() const {
  std::lock_guard<std::mutex> lock(ptyMutex_);
  return slavePath_;
}

uint32_t AdapterPtyFront::HostBaudRate() const {
  std::lock_guard<std::mutex> lock(ptyMutex_);
  if (masterFd_ < 0) return 0;
  // On the master, the terminal requests read the slave's settings.
  termios2 t{};
  if (ioctl(masterFd_, TCGETS2, &t) != 0) return 0;
  return t.c_ospeed;
}

bool AdapterPtyFront::HostAtRate() const { return HostBaudRate() == rate_.load(); }

void AdapterPtyFront::SetReplyNoise(Bytes noise) {
  std::lock_guard<std::mutex> lock(pendingMutex_);
  replyNoise_ = std::move(noise);
}

std::vector<uint8_t> AdapterPtyFront::RequestedIndexes() const {
  std::lock_guard<std::mutex> lock(pendingMutex_);
  return requested_;
}

void AdapterPtyFront::HangUp() {
  {
    std::lock_guard<std::mutex> lock(ptyMutex_);
    ClosePtyLocked();
  }
  std::lock_guard<std::mutex> lock(pendingMutex_);
  pending_.clear();
  pendingBytes_ = 0;
}

bool AdapterPtyFront::Return() {
  bool opened = false;
  {
    std::lock_guard<std::mutex> lock(ptyMutex_);
    opened = masterFd_ >= 0 || OpenPtyLocked();
  }
  Wake();
  return opened;
}

void AdapterPtyFront::Wake() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = write(wakeFd_, &one, sizeof one);
}

void AdapterPtyFront::SendToHost(const uint8_t* bytes, size_t n) {
  Queue(Piece{Bytes(bytes, bytes + n)});
}

void AdapterPtyFront::Queue(Piece piece) {
  {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    if (pendingBytes_ + piece.Data.size() > options_.MaxPendingBytes) return;
    pendingBytes_ += piece.Data.size();
    pending_.push_back(std::move(piece));
  }
  Wake();
}

void AdapterPtyFront::Run() {
  bool noHost = false;
  while (!stop_.load()) {
    int master = -1;
    {
      std::lock_guard<std::mutex> lock(ptyMutex_);
      master = masterFd_;
    }
    bool hasPending = false;
    auto nextDue = Clock::now() + std::chrono::milliseconds(kPollMs);
    {
      std::lock_guard<std::mutex> lock(pendingMutex_);
      hasPending = !pending_.empty();
      if (hasPending) nextDue = std::max(pending_.front().NotBefore, lineFreeAt_);
    }
    const auto now = Clock::now();
    int timeout = kPollMs;
    bool wantOut = false;
    if (hasPending && master >= 0) {
      if (nextDue <= now) {
        wantOut = true;
      } else {
        timeout = static_cast<int>(
            std::chrono::ceil<std::chrono::milliseconds>(nextDue - now).count());
        timeout = std::clamp(timeout, 1, kPollMs);
      }
    }
    // While no host has the slave open the master reports a hang-up on every poll; it is then
    // left out and looked at again after kNoHostPollMs.
    const bool watchMaster = master >= 0 && !noHost;
    pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {watchMaster ? master : -1, POLLIN, 0}};
    if (wantOut) fds[1].events |= POLLOUT;
    if (noHost) timeout = std::min(timeout, kNoHostPollMs);
    if (poll(fds, 2, timeout) < 0) continue;
    noHost = (fds[1].revents & POLLHUP) != 0 && (fds[1].revents & POLLIN) == 0;
    if (fds[0].revents & POLLIN) {
      uint64_t count = 0;
      [[maybe_unused]] const ssize_t r = read(wakeFd_, &count, sizeof count);
    }
    if (master < 0 || noHost) {
      if (noHost && wantOut) DropPending();  // nobody listens on the line
      continue;
    }
    // The descriptor may have been closed (HangUp) since it was taken; both steps take the lock
    // again and use the descriptor only while it is still the front's.
    if (fds[1].revents & POLLIN) ReadFromHost();
    if (wantOut || (fds[1].revents & POLLOUT)) WritePending();
  }
}

void AdapterPtyFront::ReadFromHost() {
  uint8_t buffer[kReadChunk];
  ssize_t n = 0;
  {
    std::lock_guard<std::mutex> lock(ptyMutex_);
    if (masterFd_ < 0) return;
    n = read(masterFd_, buffer, sizeof buffer);
  }
  if (n <= 0) return;
  bytesFromHost_.fetch_add(static_cast<uint64_t>(n));
  if (!HostAtRate()) {
    bytesAtWrongRate_.fetch_add(static_cast<uint64_t>(n));
    return;
  }
  FrameParser::Result parsed;
  parser_.Feed(buffer, static_cast<size_t>(n), parsed);
  HandleFrames(parsed);
  adapter_.FromHost(buffer, static_cast<size_t>(n));
}

void AdapterPtyFront::HandleFrames(const FrameParser::Result& frames) {
  for (const Bytes& payload : frames.Frames) {
    if (payload.size() != 2 || payload[0] != kSetBaudRate) continue;
    const uint8_t index = payload[1];
    {
      std::lock_guard<std::mutex> lock(pendingMutex_);
      requested_.push_back(index);
    }
    if (adapter_.Silent()) continue;
    const uint32_t wanted = SimBaudRateOfIndex(index);
    const bool refuse = wanted == 0 || (refuseStepUp_.load() && wanted > rate_.load());
    baudRequests_.fetch_add(1);
    Bytes noise;
    {
      std::lock_guard<std::mutex> lock(pendingMutex_);
      noise = replyNoise_;
    }
    Bytes reply = EncodeFrame({sim::kReply, kSetBaudRate,
                               refuse ? sim::kReplyRefused : sim::kReplyOk});
    reply.insert(reply.begin(), noise.begin(), noise.end());
    const uint32_t switchTo = refuse ? 0 : wanted;
    if (splitReplies_.load()) {
      const auto half = reply.begin() + static_cast<std::ptrdiff_t>(reply.size() / 2);
      Queue(Piece{Bytes(reply.begin(), half)});
      Queue(Piece{Bytes(half, reply.end()), switchTo,
                  Clock::now() + std::chrono::milliseconds(kSplitGapMs)});
    } else {
      Queue(Piece{std::move(reply), switchTo});
    }
  }
}

void AdapterPtyFront::WritePending() {
  const bool hostAtRate = HostAtRate();
  std::lock_guard<std::mutex> pendingLock(pendingMutex_);
  while (!pending_.empty()) {
    Piece& piece = pending_.front();
    const auto now = Clock::now();
    if (piece.NotBefore > now || lineFreeAt_ > now) return;
    const uint32_t rate = rate_.load();
    size_t take = piece.Data.size();
    if (options_.PaceAtLineRate) {
      // The line keeps its own schedule: a wake-up that comes late (the poll counts in whole
      // milliseconds, the scheduler adds its own delay) sends what the line would have carried
      // meanwhile, so the bytes leave at the line rate on average. Behind by more than
      // kPaceCatchUp, the line counts as having been idle and starts afresh.
      if (lineFreeAt_ + kPaceCatchUp < now) lineFreeAt_ = now;
      take = std::min(take, std::max<size_t>(1, LineBytes(now + kPaceSlice - lineFreeAt_, rate)));
    }
    ssize_t sent = 0;
    if (hostAtRate) {
      std::lock_guard<std::mutex> lock(ptyMutex_);
      if (masterFd_ < 0) return;
      sent = write(masterFd_, piece.Data.data(), take);
      if (sent < 0 && errno == EAGAIN) return;  // the host's input is full: POLLOUT comes
      if (sent < 0) sent = static_cast<ssize_t>(take);  // no host: lost on the line
      bytesToHost_.fetch_add(static_cast<uint64_t>(sent));
    } else {
      sent = static_cast<ssize_t>(take);  // lost on the line
      bytesAtWrongRate_.fetch_add(take);
    }
    if (options_.PaceAtLineRate) lineFreeAt_ += LineTime(static_cast<size_t>(sent), rate);
    piece.Data.erase(piece.Data.begin(), piece.Data.begin() + sent);
    pendingBytes_ -= static_cast<size_t>(sent);
    if (!piece.Data.empty()) continue;
    if (piece.SwitchTo != 0) {
      rate_.store(piece.SwitchTo);
      rateChanges_.fetch_add(1);
    }
    pending_.pop_front();
  }
}

void AdapterPtyFront::DropPending() {
  std::lock_guard<std::mutex> lock(pendingMutex_);
  // A rate switch still waiting behind its reply takes effect: the adapter has said yes.
  for (const Piece& piece : pending_) {
    if (piece.SwitchTo != 0) {
      rate_.store(piece.SwitchTo);
      rateChanges_.fetch_add(1);
    }
  }
  pending_.clear();
  pendingBytes_ = 0;
}

void SetSerialCommPorts(const std::vector<std::string>& ports) {
  cls::TRegistry reg;
  reg.SetRootKey(cls::HKEY_LOCAL_MACHINE);
  if (!reg.OpenKey(std::string(plat::kSerialCommKey), true)) return;
  std::vector<std::string> names;
  reg.GetValueNames(names);
  for (const auto& name : names) reg.DeleteValue(name);
  for (size_t i = 0; i < ports.size(); ++i) {
    reg.WriteString("\\Device\\SimSerial" + std::to_string(i), ports[i]);
  }
}

void WriteUserString(const std::string& key, const std::string& name, const std::string& value) {
  cls::TRegistry reg;
  if (reg.OpenKey(key, true)) reg.WriteString(name, value);
}

void WriteUserInteger(const std::string& key, const std::string& name, int32_t value) {
  cls::TRegistry reg;
  if (reg.OpenKey(key, true)) reg.WriteInteger(name, value);
}

std::string ReadUserString(const std::string& key, const std::string& name) {
  cls::TRegistry reg;
  return reg.OpenKey(key, false) ? reg.ReadString(name) : std::string();
}

}  // namespace dral_test
