// Traffic through the USB driver link (or the FTDI or the Ethernet link), end to end: the adapter
// simulator serves a simulated USB adapter (a stream socket in the device directory, or a TCP
// listener) in this process, DRALServer runs as its own process and 16 connections of
// libDRAL.so, loaded with dlopen, stand for the applications.
//
// Measured (a plain timed run, not Google Benchmark: the quantities are rates and losses):
//   adapter -> applications: latency (median, 99th percentile) from the adapter's send to
//     DRAL_GetMessage; sustained frames/s to every connection at fixed rates, with losses.
//   application -> adapter: latency from DRAL_PutMessage to the adapter's parse; sustained
//     frames/s from 16 connections, with refusals (ring full) and losses.
// Every CAN frame carries a sequence number and the time it was sent (microseconds since the
// start) in its 8 data bytes. Each application counts what it lost, got twice and got out of
// order; the server's CPU time (user + system, from /proc) is reported per second of each run.
//
//   bench_usb [--apps N] [--seconds S] [--rates HZ,HZ,...] [--channels 1|2] [--hog]
//             [--latency-only] [--receive-only] [--link usb|ftdi|tcp]
//   --channels 2  alternates the adapter's frames between CAN1 and CAN2 (both buses loaded)
//   --hog         runs one busy thread per core at nice 0 in a child process meanwhile
//   --latency-only  measures the adapter -> applications latency and stops
//   --receive-only  leaves out the application -> adapter measurements
//   --link ftdi   the adapter is an FTDI device of the fake D2XX library, which the server loads
//                 (its FTDI link polls the device every millisecond); default: the USB driver link
//   --link tcp    the adapter listens on a loopback address of this run's own at the Ethernet
//                 link's port, set as the server's adapter address; first measured: the time from
//                 the server's start to the link up, and the search through the rows before the
//                 Ethernet link in the link table
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DRAL.h"
#include "WholeRoad.h"
#include "links/FtdiConduit.h"
#include "links/SerialConduit.h"
#include "links/UsbConduit.h"
#include "links/WinUsbConduit.h"
#include "testsupport/AdapterTcpFront.h"
#include "testsupport/AdapterSimulator.h"
#include "testsupport/DralApi.h"
#include "testsupport/test_util.h"

namespace {

using Clock = std::chrono::steady_clock;
using dral_test::Bytes;
using dral_test::DralApi;
using dral_test::WaitUntil;

constexpr uint32_t kAdapterCanId = 0x18FF0020;  // adapter -> applications
constexpr uint32_t kAppCanId = 0x18FF0021;      // applications -> adapter
constexpr uint8_t kChannel1Extended = 0x11;
constexpr uint8_t kChannel2Extended = 0x12;
constexpr uint8_t kCanFrame = 0x20;
constexpr double kLatencyRate = 500;  // frames/s while measuring latency: no queueing
constexpr int kLatencyFrames = 1000;
// After the last frame is sent, a run waits this long without progress before it counts losses.
constexpr auto kDrainIdle = std::chrono::milliseconds(1500);
// An application's poll of DRAL_GetMessage when nothing is queued: fine while measuring latency,
// coarse while measuring throughput (the connection queues what arrives meanwhile).
constexpr auto kReceivePoll = std::chrono::microseconds(100);
constexpr auto kIdlePoll = std::chrono::milliseconds(1);
// The server writes its drop counts at most once a second.
constexpr auto kDropReportWait = std::chrono::milliseconds(1200);

const Clock::time_point kStart = Clock::now();

uint32_t MicrosNow() {
  return static_cast<uint32_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - kStart).count());
}

void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Calls `send(i)` for i = 0..count-1 at `rate` per second (0: as fast as it goes).
void Paced(double rate, uint64_t count, const std::function<void(uint64_t)>& send) {
  const auto begin = Clock::now();
  for (uint64_t i = 0; i < count; ++i) {
    if (rate > 0) {
      std::this_thread::sleep_until(begin + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(i / rate)));
    }
    send(i);
  }
}

struct Percentiles {
  double Median = 0, P99 = 0, Max = 0;
  size_t Samples = 0;
};

Percentiles Summarise(std::vector<uint32_t> us) {
  Percentiles p;
  p.Samples = us.size();
  if (us.empty()) return p;
  std::sort(us.begin(), us.end());
  auto at = [&](double q) {
    return us[std::min(us.size() - 1, static_cast<size_t>(q * us.size()))] / 1000.0;
  };
  p.Median = at(0.5);
  p.P99 = at(0.99);
  p.Max = us.back() / 1000.0;
  return p;
}

// One application connection and the thread that drains it. It counts the adapter's frames of
// the current run (sequence numbers from `first`) and, in a latency run, keeps each frame's
// latency.
class Receiver {
 public:
  Receiver(const DralApi& lib, DRAL_Handle h) : lib_(lib), handle_(h), thread_([this] { Run(); }) {}
  ~Receiver() {
    stop_.store(true);
    thread_.join();
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  void StartRun(uint32_t first, uint64_t count, bool keepLatency) {
    std::lock_guard<std::mutex> lock(mutex_);
    first_ = first;
    seen_.assign(count, false);
    keepLatency_ = keepLatency;
    fine_.store(keepLatency);
    latencies_.clear();
    received_.store(0);
    reordered_.store(0);
    duplicates_.store(0);
    last_ = first - 1;
  }
  uint64_t Received() const { return received_.load(); }
  // Frames that came after a frame with a higher sequence number (gaps from losses are not
  // counted here).
  uint64_t Reordered() const { return reordered_.load(); }
  uint64_t Duplicates() const { return duplicates_.load(); }
  std::vector<uint32_t> Latencies() {
    std::lock_guard<std::mutex> lock(mutex_);
    return latencies_;
  }
  // Which frames of the run arrived (index = sequence number - first).
  std::vector<bool> Seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

 private:
  void Run() {
    uint8_t m[DRAL_MAX_MESSAGE_LENGTH];
    while (!stop_.load()) {
      const uint32_t n = lib_.GetMessage(handle_, m, sizeof m);
      if (n == 0) {
        // Fine polling only where it shows in the numbers; otherwise leave the CPU to the server.
        std::this_thread::sleep_for(fine_.load() ? kReceivePoll : kIdlePoll);
        continue;
      }
      if (n != 13 || (m[0] != DRAL_PROTOCOL_CAN1 && m[0] != DRAL_PROTOCOL_CAN2) ||
          GetU32(m + 1) != kAdapterCanId) {
        continue;
      }
      const uint32_t now = MicrosNow();
      const uint32_t seq = GetU32(m + 5);
      std::lock_guard<std::mutex> lock(mutex_);
      if (seq - first_ >= seen_.size()) continue;  // from an earlier run
      if (seen_[seq - first_]) {
        duplicates_.fetch_add(1);
        continue;
      }
      seen_[seq - first_] = true;
      if (static_cast<int32_t>(seq - last_) < 0) reordered_.fetch_add(1);
      last_ = seq;
      received_.fetch_add(1);
      if (keepLatency_) latencies_.push_back(now - GetU32(m + 9));
    }
  }

  const DralApi& lib_;
  const DRAL_Handle handle_;
  std::mutex mutex_;  // guards first_, last_, keepLatency_, latencies_
  uint32_t first_ = 0;
  uint32_t last_ = 0;
  bool keepLatency_ = false;
  std::vector<uint32_t> latencies_;
  std::vector<bool> seen_;
  std::atomic<uint64_t> received_{0};
  std::atomic<uint64_t> reordered_{0};
  std::atomic<uint64_t> duplicates_{0};
  std::atomic<bool> fine_{false};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Options {
  int Apps = 16;
  double Seconds = 5;
  std::vector<double> Rates{7634, 15268};
  int Channels = 1;
  bool Hog = false;
  bool LatencyOnly = false;
  bool ReceiveOnly = false;
  enum class Link { Usb, Ftdi, Tcp } Kind = Link::Usb;
};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// The mean time of one Open of each link the link manager tries before the Ethernet link (rows
// 1-4: USB, FTDI, WinUSB, serial), with the arguments it gives them, here in this process with
// the run's environment (no device for any of them). Milliseconds per call.
std::vector<std::pair<const char*, double>> OpenCostsBeforeTcp() {
  constexpr int kCalls = 50;
  std::vector<std::pair<const char*, double>> out;
  auto time = [&](const char* name, dral::TConduit& link, const char* arg1) {
    const auto begin = Clock::now();
    for (int i = 0; i < kCalls; ++i) link.Open(arg1, "");
    out.emplace_back(name, Ms(Clock::now() - begin) / kCalls);
    link.Close();
  };
  dral::TUsbConduit usb;
  time("USB driver", usb, "");
  dral::TFtdiConduit ftdi;
  time("FTDI", ftdi, "827586");
  dral::TWinUsbConduit winUsb;
  time("WinUSB", winUsb, "");
  dral::TSerialConduit serial;
  time("serial", serial, "");
  return out;
}

// One start of the server with the adapter listening on TCP: from the server's start to its
// claim of the channel, to the connection the Ethernet link made, and to the link up (the
// version request at the adapter); then the cost of the other links' Opens.
void TcpLinkUpCase() {
  bench::WholeRoad road("tcplinkup");
  std::string error;
  std::vector<DRAL_Handle> handles;
  const bool started = road.StartTcp(dral_test::OwnLoopbackAddress(getpid()), error, true);
  const bool up =
      started && road.Adapter().WaitForCount(dral_test::OfType(dral_test::sim::kVersionRequest),
                                             1, bench::WholeRoad::kLinkUpMs);
  if (!up) {
    road.Stop(handles);
    std::printf("  no link (%s)\n", error.empty() ? "no version request" : error.c_str());
    return;
  }
  const auto start = road.ServerStarted();
  const auto request =
      road.Adapter().Messages(dral_test::OfType(dral_test::sim::kVersionRequest)).front().At;
  const auto accepted = road.Tcp().LastAcceptAt();
  const auto costs = OpenCostsBeforeTcp();
  road.Stop(handles);
  std::printf("  server up %6.1f ms, connected %6.1f ms, link up %6.1f ms (%.1f ms after the "
              "connection); Open of the rows before:",
              Ms(road.ServerUp() - start), Ms(accepted - start), Ms(request - start),
              Ms(request - accepted));
  for (const auto& [name, ms] : costs) std::printf(" %s %.3f ms", name, ms);
  std::printf("\n");
}

void TcpLinkUp(int rounds) {
  std::printf(
      "From the server's start to the link up over TCP (%d starts; the link manager tries one "
      "row of its table per %u ms step: USB, FTDI, WinUSB, serial, then the Ethernet link, whose "
      "first Open only asks for the connection and whose next Open, one pass later, finds it):\n",
      rounds, 10u);
  for (int i = 0; i < rounds; ++i) bench::InChild(TcpLinkUpCase);
  std::printf("\n");
}

// CPU time (user + system) of a process so far, in seconds; 0 when it cannot be read.
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string s;
  std::getline(stat, s);
  const auto close = s.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream rest(s.substr(close + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  // Fields 3..13 precede utime (14) and stime (15).
  for (int i = 3; i <= 13 && rest >> field; ++i) {
  }
  rest >> utime >> stime;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// One busy thread per core at nice 0, in a child process of its own, until it is killed or
// this process ends. Started before this process makes any thread.
pid_t StartHog() {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  setpriority(PRIO_PROCESS, 0, 0);
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::thread> spinners;
  for (unsigned i = 0; i < cores; ++i) {
    spinners.emplace_back([] {
      volatile uint64_t x = 0;
      for (;;) x = x + 1;
    });
  }
  for (auto& t : spinners) t.join();
  _exit(0);
}

class Bench {
 public:
  explicit Bench(Options o) : options_(std::move(o)) {}

  int Run() {
    std::string error;
    if (!SetUp(error)) {
      std::fprintf(stderr, "bench_usb: %s\n", error.c_str());
      TearDown();
      return 1;
    }
    std::printf(
        "DRALServer pid %d, %d connections, %s link over %s, %d CAN channel%s%s\n\n",
        road_.Server(), options_.Apps, LinkName(), road_.LinkPath().c_str(), options_.Channels,
        options_.Channels > 1 ? "s" : "", options_.Hog ? ", CPU hog on every core" : "");

    AdapterToApplicationsLatency();
    if (options_.LatencyOnly) return TearDown() ? 0 : 1;
    bool goalMet = true;
    for (double rate : options_.Rates) goalMet &= AdapterToApplications(rate);
    if (!options_.ReceiveOnly) {
      SetCanFilters(DRAL_FILTER_BLOCK_ALL);  // no copies to the other connections from here on
      ApplicationToAdapterLatency();
      ApplicationsToAdapter(7600);
      ApplicationsToAdapter(0);
    }
    std::printf(
        "\ngoal (adapter -> %d applications at every rate: no loss, no duplicate, no "
        "reorder): %s\n",
        options_.Apps, goalMet ? "met" : "NOT met");
    return TearDown() ? 0 : 1;
  }

 private:
  const char* LinkName() const {
    switch (options_.Kind) {
      case Options::Link::Ftdi:
        return "FTDI";
      case Options::Link::Tcp:
        return "Ethernet (TCP)";
      default:
        return "USB driver";
    }
  }

  bool SetUp(std::string& error) {
    bool started = false;
    if (options_.Kind == Options::Link::Tcp) {
      started = road_.StartTcp(dral_test::OwnLoopbackAddress(getpid()), error);
    } else {
      started = road_.Start(error, options_.Kind == Options::Link::Ftdi
                                       ? dral_test::DeviceFrontKind::Ftdi
                                       : dral_test::DeviceFrontKind::UsbDriver);
    }
    if (!started || !road_.Connect(options_.Apps, handles_, error)) return false;
    if (!SetCanFilters(DRAL_FILTER_PASS_ALL)) return error = "DRAL_ConfigFilter failed", false;
    for (DRAL_Handle h : handles_) receivers_.push_back(std::make_unique<Receiver>(lib_, h));
    return true;
  }

  bool TearDown() {
    receivers_.clear();
    return road_.Stop(handles_);
  }

  bool SetCanFilters(uint8_t operation) {
    bool ok = true;
    for (DRAL_Handle h : handles_) {
      for (uint8_t protocol : {DRAL_PROTOCOL_CAN1, DRAL_PROTOCOL_CAN2}) {
        DralFilter f{};
        f.Operation = operation;
        f.Protocol = protocol;
        ok &= lib_.ConfigFilter(h, &f) == DRAL_OK;
      }
    }
    return ok;
  }

  void InjectCan(uint32_t seq) {
    Bytes data(8);
    PutU32(data.data(), seq);
    PutU32(data.data() + 4, MicrosNow());
    const bool second = options_.Channels > 1 && (seq & 1u) != 0;
    adapter_.InjectCan(second ? kChannel2Extended : kChannel1Extended, kAdapterCanId, data);
  }

  // Sends `count` frames at `rate` and waits until every connection has them all or nothing
  // has moved for kDrainIdle. Returns the seconds from the first frame to the last delivery.
  double AdapterRun(double rate, uint64_t count, bool keepLatency) {
    const uint32_t first = nextSeq_;
    nextSeq_ += static_cast<uint32_t>(count);
    for (auto& r : receivers_) r->StartRun(first, count, keepLatency);
    const auto begin = Clock::now();
    Paced(rate, count, [&](uint64_t i) { InjectCan(first + static_cast<uint32_t>(i)); });
    uint64_t lastTotal = 0;
    auto lastMove = Clock::now();
    auto lastDelivery = Clock::now();
    for (;;) {
      uint64_t total = 0;
      for (auto& r : receivers_) total += r->Received();
      if (total != lastTotal) {
        lastTotal = total;
        lastMove = lastDelivery = Clock::now();
      }
      if (total >= count * receivers_.size() || Clock::now() - lastMove > kDrainIdle) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return std::chrono::duration<double>(lastDelivery - begin).count();
  }

  void AdapterToApplicationsLatency() {
    AdapterRun(kLatencyRate, kLatencyFrames, true);
    std::vector<uint32_t> all;
    for (auto& r : receivers_) {
      const auto l = r->Latencies();
      all.insert(all.end(), l.begin(), l.end());
    }
    const auto p = Summarise(all);
    std::printf(
        "adapter -> %d applications latency at %.0f frames/s: median %.3f ms, 99th %.3f ms, "
        "max %.3f ms (%zu of %zu samples)\n",
        options_.Apps, kLatencyRate, p.Median, p.P99, p.Max, p.Samples,
        static_cast<size_t>(kLatencyFrames) * receivers_.size());
  }

  bool AdapterToApplications(double rate) {
    const uint64_t count = static_cast<uint64_t>(rate * options_.Seconds);
    const uint64_t overflowBefore = road_.DeviceOverflowed();
    const auto dropsBefore = road_.ServerDrops();
    const double cpuBefore = ProcessCpuSeconds(road_.Server());
    const auto begin = Clock::now();
    const double seconds = AdapterRun(rate, count, false);
    const double cpu = ProcessCpuSeconds(road_.Server()) - cpuBefore;
    const double wall = std::chrono::duration<double>(Clock::now() - begin).count();
    uint64_t lost = 0, minimum = UINT64_MAX, reordered = 0, duplicates = 0;
    // A frame that no application got was lost before the server fanned it out.
    std::vector<int> seenBy(count, 0);
    for (auto& r : receivers_) {
      const uint64_t got = std::min<uint64_t>(r->Received(), count);
      lost += count - got;
      minimum = std::min(minimum, got);
      reordered += r->Reordered();
      duplicates += r->Duplicates();
      const auto seen = r->Seen();
      for (uint64_t i = 0; i < count && i < seen.size(); ++i) seenBy[i] += seen[i] ? 1 : 0;
    }
    const auto lostByAll = std::count(seenBy.begin(), seenBy.end(), 0);
    // The server reports its drops at most once a second: wait for the report of this run.
    if (lost != 0) std::this_thread::sleep_for(kDropReportWait);
    const auto dropsAfter = road_.ServerDrops();
    std::printf(
        "adapter -> %d applications at %.0f frames/s for %.1f s: %llu frames sent, each "
        "application got >= %llu (%.0f frames/s), lost %llu in total (%lld by every "
        "application), %llu duplicates, %llu reordered; server CPU %.1f %% of a core; server "
        "drops: %llu receive ring full, %llu client ring full%s\n",
        options_.Apps, rate, options_.Seconds, static_cast<unsigned long long>(count),
        static_cast<unsigned long long>(minimum), minimum / std::max(seconds, 1e-9),
        static_cast<unsigned long long>(lost), static_cast<long long>(lostByAll),
        static_cast<unsigned long long>(duplicates), static_cast<unsigned long long>(reordered),
        100.0 * cpu / std::max(wall, 1e-9),
        static_cast<unsigned long long>(dropsAfter.first - dropsBefore.first),
        static_cast<unsigned long long>(dropsAfter.second - dropsBefore.second),
        road_.DeviceOverflowed() != overflowBefore ? " (the simulated device overflowed)" : "");
    return lost == 0 && duplicates == 0 && reordered == 0;
  }

  Bytes AppFrame(uint32_t seq) const {
    Bytes m = {DRAL_PROTOCOL_CAN1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    PutU32(m.data() + 1, kAppCanId);
    PutU32(m.data() + 5, seq);
    PutU32(m.data() + 9, MicrosNow());
    return m;
  }

  void ApplicationToAdapterLatency() {
    adapter_.ClearRecords();
    adapter_.SetRecording(true);
    const DRAL_Handle h = handles_.front();
    Paced(kLatencyRate, kLatencyFrames, [&](uint64_t i) {
      const Bytes m = AppFrame(static_cast<uint32_t>(i));
      lib_.PutMessage(h, m.data(), static_cast<uint16_t>(m.size()));
    });
    adapter_.WaitForCount(dral_test::OfType(kCanFrame), kLatencyFrames, 3000);
    adapter_.SetRecording(false);
    std::vector<uint32_t> us;
    for (const auto& m : adapter_.Messages(dral_test::OfType(kCanFrame))) {
      if (m.Data.size() != 13) continue;
      const auto at = static_cast<uint32_t>(
          std::chrono::duration_cast<std::chrono::microseconds>(m.At - kStart).count());
      us.push_back(at - GetU32(m.Data.data() + 9));
    }
    adapter_.ClearRecords();
    const auto p = Summarise(us);
    std::printf(
        "application -> adapter latency at %.0f frames/s: median %.3f ms, 99th %.3f ms, "
        "max %.3f ms (%zu of %d frames arrived)\n",
        kLatencyRate, p.Median, p.P99, p.Max, p.Samples, kLatencyFrames);
  }

  // All connections send together, `rate` frames/s in total (0: each as fast as it is taken).
  void ApplicationsToAdapter(double rate) {
    const uint64_t before = adapter_.FramesFromHost();
    const double seconds = options_.Seconds;
    std::atomic<uint64_t> accepted{0}, refused{0};
    const auto begin = Clock::now();
    std::vector<std::thread> senders;
    for (DRAL_Handle h : handles_) {
      senders.emplace_back([&, h] {
        const auto until = begin + std::chrono::duration_cast<Clock::duration>(
                                       std::chrono::duration<double>(seconds));
        const double each = rate / static_cast<double>(handles_.size());
        const uint64_t count = rate > 0 ? static_cast<uint64_t>(each * seconds) : UINT64_MAX;
        uint32_t seq = 0;
        for (uint64_t i = 0; i < count && Clock::now() < until; ++i) {
          if (rate > 0) {
            std::this_thread::sleep_until(begin + std::chrono::duration_cast<Clock::duration>(
                                                      std::chrono::duration<double>(i / each)));
          }
          const Bytes m = AppFrame(seq);
          if (lib_.PutMessage(h, m.data(), static_cast<uint16_t>(m.size())) == DRAL_OK) {
            accepted.fetch_add(1);
            ++seq;
          } else {
            refused.fetch_add(1);
            std::this_thread::sleep_for(kReceivePoll);  // the ring is full: let the server drain it
          }
        }
      });
    }
    for (auto& t : senders) t.join();
    // Frames still on their way: wait until the adapter's count stops moving.
    uint64_t last = adapter_.FramesFromHost();
    auto lastMove = Clock::now();
    auto lastArrival = Clock::now();
    while (adapter_.FramesFromHost() - before < accepted.load() &&
           Clock::now() - lastMove < kDrainIdle) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      const uint64_t now = adapter_.FramesFromHost();
      if (now != last) {
        last = now;
        lastMove = lastArrival = Clock::now();
      }
    }
    // The adapter also counts the server's status requests (one per 500 ms); they are few.
    const uint64_t arrived = adapter_.FramesFromHost() - before;
    const double span = std::chrono::duration<double>(lastArrival - begin).count();
    const uint64_t lost = accepted.load() > arrived ? accepted.load() - arrived : 0;
    std::printf(
        "%d applications -> adapter %s for %.1f s: %llu frames taken, %llu refused (ring "
        "full, retried), %llu frames at the adapter (%.0f frames/s), lost %llu\n",
        options_.Apps,
        rate > 0 ? (std::to_string(static_cast<int>(rate)) + " frames/s").c_str()
                 : "as fast as taken",
        seconds, static_cast<unsigned long long>(accepted.load()),
        static_cast<unsigned long long>(refused.load()), static_cast<unsigned long long>(arrived),
        arrived / std::max(span, 1e-9), static_cast<unsigned long long>(lost));
  }

  Options options_;
  bench::WholeRoad road_{"usbbench"};
  dral_test::AdapterSimulator& adapter_ = road_.Adapter();
  const DralApi& lib_ = road_.Lib();
  std::vector<DRAL_Handle> handles_;
  std::vector<std::unique_ptr<Receiver>> receivers_;
  uint32_t nextSeq_ = 1;
};

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--apps" && v) {
      o.Apps = std::clamp(std::atoi(v), 1, 16);
    } else if (a == "--seconds" && v) {
      o.Seconds = std::clamp(std::atof(v), 0.5, 600.0);
    } else if (a == "--rates" && v) {
      o.Rates.clear();
      std::stringstream in(v);
      for (std::string r; std::getline(in, r, ',');) o.Rates.push_back(std::atof(r.c_str()));
    } else if (a == "--channels" && v) {
      o.Channels = std::clamp(std::atoi(v), 1, 2);
    } else if (a == "--hog") {
      o.Hog = true;
      continue;
    } else if (a == "--latency-only") {
      o.LatencyOnly = true;
      continue;
    } else if (a == "--receive-only") {
      o.ReceiveOnly = true;
      continue;
    } else if (a == "--link" && v && std::string(v) == "usb") {
      o.Kind = Options::Link::Usb;
    } else if (a == "--link" && v && std::string(v) == "ftdi") {
      o.Kind = Options::Link::Ftdi;
    } else if (a == "--link" && v && std::string(v) == "tcp") {
      o.Kind = Options::Link::Tcp;
    } else {
      std::fprintf(stderr,
                   "usage: bench_usb [--apps N] [--seconds S] [--rates HZ,HZ,...] "
                   "[--channels 1|2] [--hog] [--latency-only] [--receive-only] "
                   "[--link usb|ftdi|tcp]\n");
      std::exit(2);
    }
    ++i;
  }
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  const Options options = ParseOptions(argc, argv);
  // Each start in a child of its own, before this process makes any thread.
  if (options.Kind == Options::Link::Tcp) TcpLinkUp(5);
  const pid_t hog = options.Hog ? StartHog() : -1;
  Bench bench(options);
  const int rc = bench.Run();
  if (hog > 0) {
    kill(hog, SIGKILL);
    waitpid(hog, nullptr, 0);
  }
  return rc;
}
