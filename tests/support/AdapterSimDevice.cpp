// dral_adapter_sim_device: the adapter simulator as a simulated USB adapter in the device
// directory, as an adapter on a serial line (a pseudo-terminal) or behind a USB network adapter
// (a TCP listener), run beside a server by a test, a benchmark or a person. See Usage() below.
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/AdapterDeviceFront.h"
#include "testsupport/AdapterPtyFront.h"
#include "testsupport/AdapterSimulator.h"
#include "testsupport/AdapterTcpFront.h"

namespace {

using dral_test::AdapterDeviceFront;
using dral_test::AdapterPtyFront;
using dral_test::AdapterSimulator;
using dral_test::Bytes;
using Clock = std::chrono::steady_clock;
namespace sim = dral_test::sim;

constexpr const char* kUsage = R"(Usage: dral_adapter_sim_device [options]

Serves a simulated vehicle-network adapter as a USB device in the device directory, where the
server's USB links find it, on a serial line or on TCP. Prints "ready <entry path>" once the entry
exists.

  --usb                  a device of the USB driver class, a stream socket (default)
  --winusb               a device of the WinUSB class, a seqpacket socket
  --ftdi                 an FTDI device of the fake D2XX library (serial number: the name), a
                         stream socket in its folder (the server loads the fake library)
  --pty                  an adapter on a serial line: the slave of a pseudo-terminal, which the
                         server opens as its serial port ("ready /dev/pts/N"); bytes to the host
                         leave at the line rate. List the slave in the serial-port list
                         (SERIALCOMM) of the server's registry, or name it as its DevicePort.
  --baud RATE            (--pty) the adapter's line rate at the start: 9600, 19200, 38400,
                         57600 or 115200 (default 115200); the server's scan finds it and asks
                         for the highest rate
  --pty-link PATH        (--pty) publish the slave as a symbolic link PATH (PATH.2, PATH.3, ...
                         for the pseudo-terminals after a hang-up), which is printed instead of
                         the slave's name: a name that no other pseudo-terminal ever takes over
  --tcp ADDRESS          an adapter behind a USB network adapter: listens on ADDRESS at the
                         Ethernet link's port 44779 ("ready ADDRESS:44779"), one host at a
                         time; set the server's EthernetEnabled and AdapterIPAddressHistory01
  --device-dir DIR       the device directory (default $DRAL_DEVICE_DIR, else /dev/dral)
  --name NAME            the entry's name in the class folder (default adapter0)
  --version A.B.C.D.E.F  the six version bytes the adapter reports (default 0.0.2.5.0.0;
                         C is the major, D the minor version)
  --flags N              the adapter flags of the version reply (default 0)
  --transmit-answer none|accept|refuse
                         how the adapter answers CAN, J1939 and J1708 transmits (default none)
  --emit-can-rate HZ     CAN frames per second the adapter sends (channel 1, id 0x18FF0010)
  --emit-j1939-rate HZ   J1939 frames per second (PGN 0xFEF1 from source address 0x00)
  --emit-j1708-rate HZ   J1708 messages per second (MID 0x80, road speed)
  --emit-count N         stop each kind of traffic after N messages (default: no limit)
  --no-record            do not keep what the host sends (long runs at high rates)
  --verbose              print host connections and every message the adapter receives
  --control              read commands from standard input, one per line (below); the end of
                         the input stops the program
  --exit-with-parent     stop when the parent process ends
  --help                 this text

Signals: SIGINT, SIGTERM, SIGHUP stop the program (the entry is removed). SIGUSR1 unplugs the
device (removes the entry, closes the host's connection); SIGUSR2 plugs it in again. On a serial
line, unplugging hangs the line up (the server's open port sees a hang-up) and plugging in opens
a new pseudo-terminal under a name not used before, printed as "plugged in: <path>".

Commands (--control; numbers and bytes in hex, byte strings without blanks). Each command is
answered with one line starting with "ok" or "error":
  can CH ID [DATA]       send a CAN frame (CH: channel bits, 11 = channel 1 extended id)
  j1939 CH ID [DATA]     send a J1939 frame (ID: the 29-bit identifier)
  j1708 MSG [HEADER]     send a J1708 message (MID first; the checksum is appended)
  frame PAYLOAD          send one frame of the payload (message type first)
  raw BYTES              send bytes as they are
  unplug | plug          remove the device / plug it in again
  path                   "ok <entry path>" (on a serial line: the slave's name now)
  count TYPE             "ok N": messages of TYPE received from the host
  messages TYPE          "ok N", then N lines "msg TYPE DATA" (the host's messages of TYPE)
  wait TYPE N MS         wait up to MS milliseconds until N messages of TYPE were received
  clear                  forget what was received
  status                 "ok" and counters: plugged, connected, connections, bytes, ...
                         (on a serial line: rate, host-rate, baud-requests, bytes, ...)
  version A.B.C.D.E.F [FLAGS] | transmit-answer none|accept|refuse | silent 0|1
  emit can|j1939|j1708 HZ
                         change the rate of generated traffic (0 stops it)
  quit                   stop the program
)";

constexpr uint32_t kEmitCanId = 0x18FF0010;
constexpr uint8_t kEmitCanChannel = 0x11;  // channel 1, extended identifier
constexpr uint32_t kEmitJ1939Id = 6u << 26 | 0xFEF1u << 8 | 0x00;
constexpr uint8_t kEmitJ1939Channel = 0x01;
constexpr uint8_t kEmitJ1708Mid = 0x80;
constexpr uint8_t kEmitJ1708Pid = 0x54;
// A schedule that has fallen further behind than this starts afresh instead of bursting.
constexpr auto kMaxLag = std::chrono::seconds(1);
constexpr auto kIdleTick = std::chrono::milliseconds(100);
constexpr int kMaxWaitMs = 60000;

std::mutex outputMutex;  // guards stdout

void Print(const std::string& line) {
  std::lock_guard<std::mutex> lock(outputMutex);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string Hex(const uint8_t* p, size_t n, const char* separator = " ") {
  std::string out;
  char b[4];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02X", p[i]);
    if (i) out += separator;
    out += b;
  }
  return out;
}

std::string HexNumber(uint64_t v, int width) {
  char b[24];
  std::snprintf(b, sizeof b, "0x%0*llX", width, static_cast<unsigned long long>(v));
  return b;
}

std::optional<uint64_t> ParseNumber(const std::string& text, int base, uint64_t max) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const unsigned long long v = std::strtoull(text.c_str(), &end, base);
  if (errno != 0 || *end != '\0' || v > max || text[0] == '-') return std::nullopt;
  return v;
}

std::optional<Bytes> ParseBytes(const std::string& text) {
  if (text.size() % 2 != 0) return std::nullopt;
  Bytes out;
  for (size_t i = 0; i < text.size(); i += 2) {
    const auto v = ParseNumber(text.substr(i, 2), 16, 0xFF);
    if (!v) return std::nullopt;
    out.push_back(static_cast<uint8_t>(*v));
  }
  return out;
}

std::optional<std::array<uint8_t, 6>> ParseVersion(const std::string& text) {
  std::array<uint8_t, 6> out{};
  std::stringstream in(text);
  std::string part;
  size_t i = 0;
  while (std::getline(in, part, '.')) {
    const auto v = ParseNumber(part, 0, 0xFF);
    if (!v || i >= out.size()) return std::nullopt;
    out[i++] = static_cast<uint8_t>(*v);
  }
  if (i != out.size()) return std::nullopt;
  return out;
}

std::optional<dral_test::TransmitAnswer> ParseAnswer(const std::string& text) {
  if (text == "none") return dral_test::TransmitAnswer::None;
  if (text == "accept") return dral_test::TransmitAnswer::Accept;
  if (text == "refuse") return dral_test::TransmitAnswer::Refuse;
  return std::nullopt;
}

uint32_t Le32(const Bytes& d, size_t at) {
  return static_cast<uint32_t>(d[at]) | static_cast<uint32_t>(d[at + 1]) << 8 |
         static_cast<uint32_t>(d[at + 2]) << 16 | static_cast<uint32_t>(d[at + 3]) << 24;
}

// Turns the host's messages into lines for a person. The server's periodic status requests and
// its repeated channel switches are shown once, so the traffic stays readable.
class Narrator {
 public:
  // The line for `m`, or "" when it repeats what was shown already.
  std::string Describe(const dral_test::AdapterMessage& m) {
    const Bytes& d = m.Data;
    std::string line = "adapter <- host: ";
    switch (m.Type) {
      case sim::kVersionRequest:
        return line + "version request";
      case sim::kStatusRequest:
        if (++statusRequests_ > 1) return "";
        return line + "status request (the server repeats it every 500 ms; not shown again)";
      case sim::kChannelControl:
        if (d.size() >= 2) {
          auto& last = channels_[d[0] & 3];
          if (last == d[1]) return "";
          last = d[1];
          return line + "channel " + std::to_string(d[0]) + (d[1] ? " on" : " off");
        }
        break;
      case sim::kCanFilter:
        return line + "CAN filter command [" + Hex(d.data(), d.size()) + "]";
      case sim::kJ1939Filter:
        return line + "J1939 filter command [" + Hex(d.data(), d.size()) + "]";
      case sim::kJ1708Filter:
        return line + "J1708 filter command [" + Hex(d.data(), d.size()) + "]";
      case sim::kCanFrame:
        if (d.size() < 5) break;
        return line + "CAN   channel bits " + HexNumber(d[0], 2) + " id " +
               HexNumber(Le32(d, 1), 8) + " data [" + Hex(d.data() + 5, d.size() - 5) + "]";
      case sim::kJ1939Frame: {
        if (d.size() < 5) break;
        const uint32_t id = Le32(d, 1);
        const uint32_t pf = id >> 16 & 0xFF;
        const uint32_t pgn = (id >> 8 & 0x3FFFF) & (pf >= 240 ? 0x3FFFF : 0x3FF00);
        line += "J1939 channel bits " + HexNumber(d[0], 2) + " PGN " + HexNumber(pgn, 4) + " SA " +
                HexNumber(id & 0xFF, 2) + " priority " + std::to_string(id >> 26 & 7);
        if (pf < 240) line += " DA " + HexNumber(id >> 8 & 0xFF, 2);
        return line + " data [" + Hex(d.data() + 5, d.size() - 5) + "]";
      }
      case sim::kJ1708Frame:
        if (d.size() < 3) break;
        return line + "J1708 [" + Hex(d.data() + 3, d.size() - 3) + "] (checksum last)";
      default:
        break;
    }
    return line + "type " + HexNumber(m.Type, 2) + " [" + Hex(d.data(), d.size()) + "]";
  }

 private:
  int statusRequests_ = 0;
  std::array<int, 4> channels_{-1, -1, -1, -1};
};

struct Options {
  dral_test::DeviceFrontOptions Front;
  bool Pty = false;
  dral_test::PtyFrontOptions PtyFront;
  std::string PtyLink;
  std::string Tcp;  // the address to listen on; empty: no TCP front
  std::array<uint8_t, 6> Version{0, 0, 2, 5, 0, 0};
  uint16_t Flags = 0;
  dral_test::TransmitAnswer Answer = dral_test::TransmitAnswer::None;
  double CanRate = 0, J1939Rate = 0, J1708Rate = 0;
  uint64_t EmitCount = 0;
  bool Record = true;
  bool Verbose = false;
  bool Control = false;
  bool ExitWithParent = false;
};

// Parses the command line; exits with status 2 (usage) on an error.
Options ParseOptions(int argc, char** argv) {
  Options o;
  auto fail = [](const std::string& why) {
    std::fprintf(stderr, "dral_adapter_sim_device: %s (--help for usage)\n", why.c_str());
    std::exit(2);
  };
  auto rate = [&](const std::string& text) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (*end != '\0' || !(v >= 0) || v > 1e6) fail("bad rate " + text);
    return v;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) fail(a + " needs a value");
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (a == "--usb") {
      o.Front.Kind = dral_test::DeviceFrontKind::UsbDriver;
    } else if (a == "--winusb") {
      o.Front.Kind = dral_test::DeviceFrontKind::WinUsb;
    } else if (a == "--ftdi") {
      o.Front.Kind = dral_test::DeviceFrontKind::Ftdi;
    } else if (a == "--pty") {
      o.Pty = true;
    } else if (a == "--baud") {
      const auto v = ParseNumber(value(), 10, 115200);
      bool known = false;
      for (uint8_t k = 0; v && dral_test::SimBaudRateOfIndex(k) != 0; ++k) {
        known = known || dral_test::SimBaudRateOfIndex(k) == *v;
      }
      if (!known) fail("bad baud rate (9600, 19200, 38400, 57600 or 115200)");
      o.PtyFront.BaudRate = static_cast<uint32_t>(*v);
    } else if (a == "--pty-link") {
      o.PtyLink = value();
      if (o.PtyLink.empty()) fail("bad link path");
    } else if (a == "--tcp") {
      o.Tcp = value();
      if (o.Tcp.empty()) fail("bad address");
    } else if (a == "--device-dir") {
      o.Front.DeviceDirectory = value();
    } else if (a == "--name") {
      o.Front.Name = value();
      if (o.Front.Name.empty() || o.Front.Name.find('/') != std::string::npos) fail("bad name");
    } else if (a == "--version") {
      const auto v = ParseVersion(value());
      if (!v) fail("bad version (six numbers A.B.C.D.E.F)");
      o.Version = *v;
    } else if (a == "--flags") {
      const auto v = ParseNumber(value(), 0, 0xFFFF);
      if (!v) fail("bad flags");
      o.Flags = static_cast<uint16_t>(*v);
    } else if (a == "--transmit-answer") {
      const auto v = ParseAnswer(value());
      if (!v) fail("bad transmit answer");
      o.Answer = *v;
    } else if (a == "--emit-can-rate") {
      o.CanRate = rate(value());
    } else if (a == "--emit-j1939-rate") {
      o.J1939Rate = rate(value());
    } else if (a == "--emit-j1708-rate") {
      o.J1708Rate = rate(value());
    } else if (a == "--emit-count") {
      const auto v = ParseNumber(value(), 10, UINT64_MAX);
      if (!v) fail("bad count");
      o.EmitCount = *v;
    } else if (a == "--no-record") {
      o.Record = false;
    } else if (a == "--verbose") {
      o.Verbose = true;
    } else if (a == "--control") {
      o.Control = true;
    } else if (a == "--exit-with-parent") {
      o.ExitWithParent = true;
    } else {
      fail("unknown option " + a);
    }
  }
  // A serial line carries its bytes at its rate.
  o.PtyFront.PaceAtLineRate = true;
  return o;
}

// Periodic traffic from the adapter: three independent fixed-rate schedules on one thread.
class Emitter {
 public:
  enum Kind { Can, J1939, J1708, kKinds };

  Emitter(AdapterSimulator& adapter, const Options& o) : adapter_(adapter), limit_(o.EmitCount) {
    SetRate(Can, o.CanRate);
    SetRate(J1939, o.J1939Rate);
    SetRate(J1708, o.J1708Rate);
    thread_ = std::thread([this] { Run(); });
  }
  ~Emitter() {
    stop_.store(true);
    thread_.join();
  }
  Emitter(const Emitter&) = delete;
  Emitter& operator=(const Emitter&) = delete;

  void SetRate(Kind kind, double hz) { rate_[kind].store(hz); }
  uint64_t Emitted(Kind kind) const { return emitted_[kind].load(); }

 private:
  void Emit(Kind kind, uint32_t n) {
    const auto c = [n](int shift) { return static_cast<uint8_t>(n >> shift); };
    switch (kind) {
      case Can:
        adapter_.InjectCan(kEmitCanChannel, kEmitCanId,
                           {c(0), c(8), c(16), c(24), 0xA5, 0x5A, 0, 0});
        break;
      case J1939:
        adapter_.InjectJ1939(kEmitJ1939Channel, kEmitJ1939Id,
                             {0xFF, c(0), c(8), 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
        break;
      case J1708:
        adapter_.InjectJ1708({kEmitJ1708Mid, kEmitJ1708Pid, c(0)});
        break;
      default:
        break;
    }
  }

  void Run() {
    std::array<std::optional<Clock::time_point>, kKinds> next;
    std::array<double, kKinds> scheduledRate{};
    while (!stop_.load()) {
      const auto now = Clock::now();
      auto wake = now + kIdleTick;
      for (int k = 0; k < kKinds; ++k) {
        const double hz = rate_[k].load();
        const bool done = limit_ != 0 && emitted_[k].load() >= limit_;
        if (hz <= 0 || done) {
          next[k].reset();
          continue;
        }
        const auto period =
            std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / hz));
        if (!next[k] || scheduledRate[k] != hz || *next[k] < now - kMaxLag) next[k] = now;
        scheduledRate[k] = hz;
        while (*next[k] <= now && !(limit_ != 0 && emitted_[k].load() >= limit_)) {
          Emit(static_cast<Kind>(k), static_cast<uint32_t>(emitted_[k].fetch_add(1)));
          *next[k] += period;
        }
        wake = std::min(wake, *next[k]);
      }
      std::this_thread::sleep_until(wake);
    }
  }

  AdapterSimulator& adapter_;
  const uint64_t limit_;
  std::array<std::atomic<double>, kKinds> rate_{};
  std::array<std::atomic<uint64_t>, kKinds> emitted_{};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The way the host reaches the adapter: a USB device in the device directory or a serial line.
class Front {
 public:
  virtual ~Front() = default;
  // True when the host can reach the adapter afterwards; else Failure() says why.
  virtual bool Plug() = 0;
  virtual void Unplug() = 0;
  virtual std::string Path() const = 0;
  virtual std::string Failure() const = 0;
  virtual bool Connected() const = 0;
  // "name=value" counters of the front, separated by blanks: those before and after the
  // adapter's own in the status line.
  virtual std::string CountersBefore() const = 0;
  virtual std::string CountersAfter() const = 0;
};

class UsbFront final : public Front {
 public:
  UsbFront(AdapterSimulator& adapter, const dral_test::DeviceFrontOptions& options)
      : front_(adapter, options) {}
  bool Plug() override { return front_.Plug(); }
  void Unplug() override { front_.Unplug(); }
  std::string Path() const override { return front_.Path(); }
  std::string Failure() const override { return std::strerror(front_.Error()); }
  bool Connected() const override { return front_.Connected(); }
  std::string CountersBefore() const override {
    std::ostringstream s;
    s << "connected=" << front_.Connected() << " connections=" << front_.Connections()
      << " describes=" << front_.Describes();
    return s.str();
  }
  std::string CountersAfter() const override {
    std::ostringstream s;
    s << "bytes-from-host=" << front_.BytesFromHost() << " bytes-to-host=" << front_.BytesToHost()
      << " overflowed=" << front_.BytesOverflowed()
      << " without-host=" << front_.BytesWithoutHost();
    return s.str();
  }

 private:
  AdapterDeviceFront front_;
};

// Plugged in while the pseudo-terminal is open; the host cannot be seen coming and going.
// With a link path, each pseudo-terminal is published under a link name of its own, removed at
// the hang-up: a host that remembers an old name never meets a pseudo-terminal of somebody else
// that took over the slave's number.
class PtyFront final : public Front {
 public:
  PtyFront(AdapterSimulator& adapter, const dral_test::PtyFrontOptions& options, std::string link)
      : front_(adapter, options), link_(std::move(link)) {}
  ~PtyFront() override { RemoveLink(); }
  bool Plug() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!front_.Return()) return false;
    if (link_.empty() || !linkPath_.empty()) return true;
    const std::string path = link_ + (++links_ > 1 ? "." + std::to_string(links_) : "");
    unlink(path.c_str());
    if (symlink(front_.SlavePath().c_str(), path.c_str()) != 0) {
      failure_ = "cannot link " + path + ": " + std::strerror(errno);
      return false;
    }
    linkPath_ = path;
    return true;
  }
  void Unplug() override {
    RemoveLink();
    front_.HangUp();
  }
  std::string Path() const override {
    if (link_.empty()) return front_.SlavePath();
    std::lock_guard<std::mutex> lock(mutex_);
    return linkPath_;
  }
  std::string Failure() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
  }
  bool Connected() const override { return false; }
  std::string CountersBefore() const override {
    std::ostringstream s;
    s << "rate=" << front_.BaudRate() << " host-rate=" << front_.HostBaudRate()
      << " baud-requests=" << front_.BaudRequests() << " rate-changes=" << front_.RateChanges();
    return s.str();
  }
  std::string CountersAfter() const override {
    std::ostringstream s;
    s << "bytes-from-host=" << front_.BytesFromHost() << " bytes-to-host=" << front_.BytesToHost()
      << " at-wrong-rate=" << front_.BytesAtWrongRate();
    return s.str();
  }

 private:
  void RemoveLink() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!linkPath_.empty()) unlink(linkPath_.c_str());
    linkPath_.clear();
  }

  AdapterPtyFront front_;
  const std::string link_;
  mutable std::mutex mutex_;  // guards links_, failure_, linkPath_
  int links_ = 0;             // links made so far
  std::string failure_ = "cannot open a pseudo-terminal";
  std::string linkPath_;
};

// Listening while plugged in; unplugging closes the host's connection and stops listening.
class TcpFront final : public Front {
 public:
  TcpFront(AdapterSimulator& adapter, std::string address)
      : adapter_(adapter), address_(std::move(address)) {}
  bool Plug() override {
    std::lock_guard<std::mutex> lock(mutex_);
    try {
      if (!front_) front_ = std::make_unique<dral_test::AdapterTcpFront>(adapter_, address_);
    } catch (const std::exception& e) {
      failure_ = e.what();
    }
    return front_ != nullptr;
  }
  void Unplug() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (front_) accepted_ += front_->Accepted();
    front_.reset();
  }
  std::string Path() const override {
    return address_ + ":" + std::to_string(dral_test::AdapterTcpFront::kDefaultPort);
  }
  std::string Failure() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return failure_;
  }
  bool Connected() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return front_ && front_->PeerConnected();
  }
  std::string CountersBefore() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return "connected=" + std::to_string(front_ && front_->PeerConnected()) +
           " connections=" + std::to_string(accepted_ + (front_ ? front_->Accepted() : 0));
  }
  std::string CountersAfter() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return "peer=" + (front_ ? front_->PeerAddress() : std::string());
  }

 private:
  AdapterSimulator& adapter_;
  const std::string address_;
  mutable std::mutex mutex_;  // guards front_, accepted_, failure_
  std::unique_ptr<dral_test::AdapterTcpFront> front_;
  int accepted_ = 0;  // connections of the fronts before the current one
  std::string failure_;
};

// The program's state shared by the main thread and the command reader.
struct Device {
  AdapterSimulator& Adapter;
  Front& Line;
  Emitter& Traffic;
  std::atomic<bool> Quit{false};
  std::atomic<bool> Plugged{false};
};

std::string Status(const Device& d) {
  std::ostringstream s;
  s << "ok plugged=" << d.Plugged.load() << " " << d.Line.CountersBefore()
    << " frames-from-host=" << d.Adapter.FramesFromHost()
    << " frame-errors=" << d.Adapter.FrameErrors() << " " << d.Line.CountersAfter()
    << " emitted-can=" << d.Traffic.Emitted(Emitter::Can)
    << " emitted-j1939=" << d.Traffic.Emitted(Emitter::J1939)
    << " emitted-j1708=" << d.Traffic.Emitted(Emitter::J1708);
  return s.str();
}

bool Plug(Device& d, bool verbose) {
  const bool ok = d.Line.Plug();
  d.Plugged.store(ok);
  if (verbose) Print(ok ? "plugged in: " + d.Line.Path() : "cannot plug in: " + d.Line.Failure());
  return ok;
}

void Unplug(Device& d, bool verbose) {
  const std::string path = d.Line.Path();
  d.Line.Unplug();
  d.Plugged.store(false);
  if (verbose) Print("unplugged: " + path);
}

// Runs one command line; returns the reply (several lines for "messages").
std::string Execute(Device& d, const std::string& line, bool verbose) {
  std::istringstream in(line);
  std::vector<std::string> w;
  for (std::string word; in >> word;) w.push_back(word);
  if (w.empty()) return "error empty command";
  const std::string& cmd = w[0];
  auto arg = [&](size_t i) { return i < w.size() ? w[i] : std::string(); };
  auto bytesArg = [&](size_t i) {
    return i < w.size() ? ParseBytes(w[i]) : std::optional<Bytes>(Bytes{});
  };
  auto typeArg = [&](size_t i) { return ParseNumber(arg(i), 16, 0xFF); };

  if (cmd == "can" || cmd == "j1939") {
    const auto ch = ParseNumber(arg(1), 16, 0xFF);
    const auto id = ParseNumber(arg(2), 16, 0xFFFFFFFF);
    const auto data = bytesArg(3);
    if (!ch || !id || !data || w.size() > 4) return "error usage: " + cmd + " CH ID [DATA]";
    if (cmd == "can") {
      d.Adapter.InjectCan(static_cast<uint8_t>(*ch), static_cast<uint32_t>(*id), *data);
    } else {
      d.Adapter.InjectJ1939(static_cast<uint8_t>(*ch), static_cast<uint32_t>(*id), *data);
    }
    return "ok";
  }
  if (cmd == "j1708") {
    const auto msg = ParseBytes(arg(1));
    const auto header = w.size() > 2 ? ParseNumber(arg(2), 16, 0xFF) : std::optional<uint64_t>(0);
    if (!msg || msg->empty() || !header || w.size() > 3) return "error usage: j1708 MSG [HEADER]";
    d.Adapter.InjectJ1708(*msg, true, static_cast<uint8_t>(*header));
    return "ok";
  }
  if (cmd == "frame" || cmd == "raw") {
    const auto data = ParseBytes(arg(1));
    if (!data || data->empty() || w.size() != 2) return "error usage: " + cmd + " BYTES";
    if (cmd == "frame") {
      d.Adapter.InjectFrame(*data);
    } else {
      d.Adapter.InjectBytes(*data);
    }
    return "ok";
  }
  if (cmd == "unplug") {
    Unplug(d, verbose);
    return "ok";
  }
  if (cmd == "plug") {
    return Plug(d, verbose) ? "ok" : "error cannot plug in (" + d.Line.Failure() + ")";
  }
  if (cmd == "path" && w.size() == 1) return "ok " + d.Line.Path();
  if (cmd == "count" || cmd == "messages") {
    const auto type = typeArg(1);
    if (!type || w.size() != 2) return "error usage: " + cmd + " TYPE";
    const auto messages = d.Adapter.Messages(dral_test::OfType(static_cast<uint8_t>(*type)));
    std::string reply = "ok " + std::to_string(messages.size());
    if (cmd == "messages") {
      for (const auto& m : messages) {
        reply += "\nmsg " + Hex(&m.Type, 1) + " " + Hex(m.Data.data(), m.Data.size(), "");
      }
    }
    return reply;
  }
  if (cmd == "wait") {
    const auto type = typeArg(1);
    const auto count = ParseNumber(arg(2), 10, 1u << 30);
    const auto ms = ParseNumber(arg(3), 10, kMaxWaitMs);
    if (!type || !count || !ms || w.size() != 4) return "error usage: wait TYPE N MS";
    const auto match = dral_test::OfType(static_cast<uint8_t>(*type));
    const bool ok = d.Adapter.WaitForCount(match, *count, static_cast<uint32_t>(*ms));
    return (ok ? "ok " : "error timeout ") + std::to_string(d.Adapter.Count(match));
  }
  if (cmd == "clear" && w.size() == 1) {
    d.Adapter.ClearRecords();
    return "ok";
  }
  if (cmd == "status" && w.size() == 1) return Status(d);
  if (cmd == "version") {
    const auto v = ParseVersion(arg(1));
    const auto flags = w.size() > 2 ? ParseNumber(arg(2), 16, 0xFFFF) : std::optional<uint64_t>(0);
    if (!v || !flags || w.size() > 3) return "error usage: version A.B.C.D.E.F [FLAGS]";
    d.Adapter.SetVersion(*v, static_cast<uint16_t>(*flags));
    return "ok";
  }
  if (cmd == "transmit-answer") {
    const auto a = ParseAnswer(arg(1));
    if (!a || w.size() != 2) return "error usage: transmit-answer none|accept|refuse";
    d.Adapter.SetTransmitAnswer(*a);
    return "ok";
  }
  if (cmd == "silent" && w.size() == 2 && (w[1] == "0" || w[1] == "1")) {
    d.Adapter.SetSilent(w[1] == "1");
    return "ok";
  }
  if (cmd == "emit" && w.size() == 3) {
    char* end = nullptr;
    const double hz = std::strtod(w[2].c_str(), &end);
    if (*end != '\0' || !(hz >= 0) || hz > 1e6) return "error bad rate";
    if (w[1] == "can") {
      d.Traffic.SetRate(Emitter::Can, hz);
    } else if (w[1] == "j1939") {
      d.Traffic.SetRate(Emitter::J1939, hz);
    } else if (w[1] == "j1708") {
      d.Traffic.SetRate(Emitter::J1708, hz);
    } else {
      return "error usage: emit can|j1939|j1708 HZ";
    }
    return "ok";
  }
  if (cmd == "quit" && w.size() == 1) {
    d.Quit.store(true);
    return "ok";
  }
  return "error unknown command: " + line;
}

// Reads commands from standard input until its end or until the program stops.
void CommandReader(Device& d, bool verbose) {
  std::string buffer;
  char chunk[4096];
  while (!d.Quit.load()) {
    pollfd p{STDIN_FILENO, POLLIN, 0};
    const int r = poll(&p, 1, static_cast<int>(kIdleTick.count()));
    if (r < 0 && errno != EINTR) break;
    if (r <= 0) continue;
    const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;  // end of input
    buffer.append(chunk, static_cast<size_t>(n));
    for (size_t eol; (eol = buffer.find('\n')) != std::string::npos;) {
      std::string line = buffer.substr(0, eol);
      buffer.erase(0, eol + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.find_first_not_of(" \t") == std::string::npos) continue;
      Print(Execute(d, line, verbose));
    }
  }
  d.Quit.store(true);
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);

  // Signals are taken synchronously by the main thread; every thread started below inherits
  // the mask.
  sigset_t signals;
  sigemptyset(&signals);
  for (int s : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2}) sigaddset(&signals, s);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  if (options.ExitWithParent) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() == 1) return 0;  // the parent is gone already
  }

  AdapterSimulator adapter;
  adapter.SetVersion(options.Version, options.Flags);
  adapter.SetTransmitAnswer(options.Answer);
  adapter.SetRecording(options.Record);
  std::unique_ptr<Front> front;
  try {
    if (options.Pty) {
      front = std::make_unique<PtyFront>(adapter, options.PtyFront, options.PtyLink);
    } else if (!options.Tcp.empty()) {
      front = std::make_unique<TcpFront>(adapter, options.Tcp);
    } else {
      front = std::make_unique<UsbFront>(adapter, options.Front);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "dral_adapter_sim_device: %s\n", e.what());
    return 1;
  }
  Emitter traffic(adapter, options);
  Device device{adapter, *front, traffic};

  if (!front->Plug()) {
    std::fprintf(stderr, "dral_adapter_sim_device: cannot create %s: %s\n", front->Path().c_str(),
                 front->Failure().c_str());
    return 1;
  }
  device.Plugged.store(true);
  Print("ready " + front->Path());

  std::thread reader;
  if (options.Control) reader = std::thread([&] { CommandReader(device, options.Verbose); });

  bool connected = false;
  size_t printed = 0;
  Narrator narrator;
  const timespec tick{0, static_cast<long>(std::chrono::nanoseconds(kIdleTick).count())};
  while (!device.Quit.load()) {
    const int s = sigtimedwait(&signals, nullptr, &tick);
    if (s == SIGUSR1) {
      Unplug(device, options.Verbose);
    } else if (s == SIGUSR2) {
      Plug(device, options.Verbose);
    } else if (s > 0) {
      device.Quit.store(true);
    }
    if (!options.Verbose) continue;
    if (front->Connected() != connected) {
      connected = !connected;
      Print(connected ? "host connected" : "host disconnected");
    }
    const auto messages = adapter.Messages();
    if (messages.size() < printed) printed = 0;  // the records were cleared
    for (; printed < messages.size(); ++printed) {
      const std::string line = narrator.Describe(messages[printed]);
      if (!line.empty()) Print(line);
    }
  }

  if (reader.joinable()) reader.join();
  front->Unplug();
  if (options.Verbose) {
    Print("stopped; " + Status(device).substr(3));
  }
  return 0;
}
