// Traffic through the serial link, end to end: the adapter simulator on a serial line (a
// pseudo-terminal whose bytes to the host leave at the line rate, 8N1) in this process,
// DRALServer as its own process and one connection of libDRAL.so.
//
// Measured (a plain timed run; the quantities are rates and times):
//   adapter -> application: J1939 frames/s at 115200 baud against the line's ceiling (11,520
//     bytes/s over the bytes of one frame on the line), for typical frames and for frames whose
//     data is all 0x7E (each such byte goes on the line twice);
//   application -> adapter: the same frames the other way (the simulator takes the host's bytes
//     as they come, so this is the server's write path, not the line);
//   time from the server's start to the link up by scan: adapter at 115200 or 9600, listed
//     first or last of 16 ports (the 15 others absent devices, or lines on which nobody answers).
//
//   bench_serial [--frames N] [--no-scan] [--no-traffic]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DRAL.h"
#include "WholeRoad.h"
#include "testsupport/AdapterSimulator.h"
#include "testsupport/PtyPair.h"
#include "testsupport/test_util.h"

namespace {

using Clock = std::chrono::steady_clock;
using bench::InChild;
using dral_test::Bytes;

constexpr uint32_t kLineRate = 115200;
constexpr double kLineBytesPerSecond = kLineRate / 10.0;  // start, 8 data, stop
constexpr uint32_t kJ1939Id = 6u << 26 | 0xFEF1u << 8 | 0x00;
constexpr uint8_t kChannel1 = 0x01;
constexpr int kPorts = 16;
constexpr auto kDrainIdle = std::chrono::milliseconds(1500);

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// The bytes a J1939 frame of `data` takes on the line.
size_t LineBytes(const Bytes& data) {
  Bytes payload = {dral_test::sim::kJ1939Frame,          kChannel1,
                   static_cast<uint8_t>(kJ1939Id),       static_cast<uint8_t>(kJ1939Id >> 8),
                   static_cast<uint8_t>(kJ1939Id >> 16), static_cast<uint8_t>(kJ1939Id >> 24)};
  payload.insert(payload.end(), data.begin(), data.end());
  return dral_test::EncodeFrame(payload).size();
}

// Waits for the link to come up on `h`; the time since the server's start, or a negative value.
double AwaitLinkUp(bench::WholeRoad& road, DRAL_Handle h) {
  const bool up = dral_test::WaitUntil(
      [&] { return road.Lib().GetStatus(h) == (DRAL_OK | DRAL_LINK_CONNECTED); },
      bench::WholeRoad::kLinkUpMs * 2);
  return up ? Seconds(Clock::now() - road.ServerStarted()) : -1;
}

void LinkUpCase(const char* what, uint32_t rate, int others, bool silentOthers) {
  bench::WholeRoad road("serialscan");
  std::vector<std::unique_ptr<dral_test::PtyPair>> silent;
  std::vector<std::string> before;
  for (int i = 0; i < others; ++i) {
    if (silentOthers) {
      silent.push_back(std::make_unique<dral_test::PtyPair>());
      before.push_back(silent.back()->SlavePath());
    } else {
      before.push_back(road.AbsentPort(i));
    }
  }
  dral_test::PtyFrontOptions line;
  line.BaudRate = rate;
  line.PaceAtLineRate = true;
  std::string error;
  std::vector<DRAL_Handle> handles;
  double seconds = -1;
  if (road.StartSerial(line, before, error)) {
    const DRAL_Handle h = road.Lib().Connect();
    if (h != 0) handles.push_back(h);
    seconds = h != 0 ? AwaitLinkUp(road, h) : -1;
  }
  const uint32_t finalRate = road.Line().BaudRate();
  // The baud indexes the adapter was asked for at its own rate: a handshake shows twice, a
  // step-up once; more shows a pass that was repeated.
  std::string asked;
  for (uint8_t i : road.Line().RequestedIndexes()) asked += std::to_string(i);
  road.Stop(handles);
  if (seconds < 0) {
    std::printf("  %-52s  no link (%s)\n", what, error.c_str());
  } else {
    std::printf("  %-52s  %6.2f s  (line then at %u baud; requests seen: %s)\n", what, seconds,
                finalRate, asked.c_str());
  }
  std::fflush(stdout);
}

// Drains the connection, counting J1939 frames and noting when the first and the last came.
class Drain {
 public:
  Drain(const dral_test::DralApi& lib, DRAL_Handle h)
      : lib_(lib), h_(h), thread_([this] { Run(); }) {}
  ~Drain() {
    stop_.store(true);
    thread_.join();
  }
  Drain(const Drain&) = delete;
  Drain& operator=(const Drain&) = delete;

  void Reset() { count_.store(0); }
  uint64_t Count() const { return count_.load(); }
  Clock::time_point First() const { return Clock::time_point(Clock::duration(first_.load())); }
  Clock::time_point Last() const { return Clock::time_point(Clock::duration(last_.load())); }

 private:
  void Run() {
    uint8_t m[DRAL_MAX_MESSAGE_LENGTH];
    while (!stop_.load()) {
      const uint32_t n = lib_.GetMessage(h_, m, sizeof m);
      if (n == 0) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        continue;
      }
      if (m[0] != DRAL_PROTOCOL_J1939_CAN1) continue;
      const auto now = Clock::now().time_since_epoch().count();
      if (count_.fetch_add(1) == 0) first_.store(now);
      last_.store(now);
    }
  }

  const dral_test::DralApi& lib_;
  const DRAL_Handle h_;
  std::atomic<uint64_t> count_{0};
  std::atomic<Clock::rep> first_{0};
  std::atomic<Clock::rep> last_{0};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

void ToApplication(bench::WholeRoad& road, Drain& drain, const char* what, const Bytes& data,
                   int frames) {
  drain.Reset();
  const uint64_t bytesBefore = road.Line().BytesToHost();
  for (int i = 0; i < frames; ++i) road.Adapter().InjectJ1939(kChannel1, kJ1939Id, data);
  uint64_t seen = 0;
  auto progress = Clock::now();
  while (drain.Count() < static_cast<uint64_t>(frames) && Clock::now() - progress < kDrainIdle) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (drain.Count() != seen) {
      seen = drain.Count();
      progress = Clock::now();
    }
  }
  const uint64_t got = drain.Count();
  const double span = Seconds(drain.Last() - drain.First());
  const double rate = got > 1 && span > 0 ? (got - 1) / span : 0;
  const size_t wire = LineBytes(data);
  const double ceiling = kLineBytesPerSecond / static_cast<double>(wire);
  std::printf(
      "  adapter -> application, %-22s %2zu bytes/frame: %7.1f frames/s of %6.1f "
      "(%5.1f %%), %llu of %d arrived, %llu bytes on the line\n",
      what, wire, rate, ceiling, 100 * rate / ceiling, static_cast<unsigned long long>(got), frames,
      static_cast<unsigned long long>(road.Line().BytesToHost() - bytesBefore));
}

void ToAdapter(bench::WholeRoad& road, DRAL_Handle h, const char* what, const Bytes& data,
               int frames) {
  Bytes m = {DRAL_PROTOCOL_J1939_CAN1, 0xF1, 0xFE, 0x00, 6, 0x21, 0xFF};
  m.insert(m.end(), data.begin(), data.end());
  const uint64_t before = road.Adapter().FramesFromHost();
  const auto start = Clock::now();
  uint64_t refused = 0;
  for (int i = 0; i < frames;) {
    if (road.Lib().PutMessage(h, m.data(), static_cast<uint16_t>(m.size())) == DRAL_OK) {
      ++i;
    } else {
      ++refused;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  }
  uint64_t seen = 0;
  auto progress = Clock::now();
  auto last = progress;
  while (road.Adapter().FramesFromHost() - before < static_cast<uint64_t>(frames) &&
         Clock::now() - progress < kDrainIdle) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const uint64_t now = road.Adapter().FramesFromHost() - before;
    if (now != seen) {
      seen = now;
      progress = last = Clock::now();
    }
  }
  const uint64_t got = road.Adapter().FramesFromHost() - before;
  const double span = Seconds(last - start);
  const size_t wire = LineBytes(data);
  std::printf(
      "  application -> adapter, %-22s %2zu bytes/frame: %7.1f frames/s (%5.1f %% of "
      "the line), %llu of %d arrived, %llu refusals (ring full)\n",
      what, wire, got / span, 100 * got / span * static_cast<double>(wire) / kLineBytesPerSecond,
      static_cast<unsigned long long>(got), frames, static_cast<unsigned long long>(refused));
}

void Traffic(int frames) {
  bench::WholeRoad road("serialbench");
  dral_test::PtyFrontOptions line;
  line.BaudRate = kLineRate;
  line.PaceAtLineRate = true;
  std::string error;
  std::vector<DRAL_Handle> handles;
  if (!road.StartSerial(line, {}, error) || !road.Connect(1, handles, error)) {
    std::printf("  no link: %s\n", error.c_str());
    road.Stop(handles);
    return;
  }
  const DRAL_Handle h = handles.front();
  DralFilter all{};
  all.Operation = DRAL_FILTER_PASS_ALL;
  all.Protocol = DRAL_PROTOCOL_J1939_CAN1;
  road.Lib().ConfigFilter(h, &all);
  const Bytes typical = {0xFF, 0x12, 0x34, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const Bytes flags(8, 0x7E);
  {
    Drain drain(road.Lib(), h);
    ToApplication(road, drain, "typical J1939", typical, frames);
    ToApplication(road, drain, "J1939 data all 0x7E", flags, frames / 2);
  }
  ToAdapter(road, h, "typical J1939", typical, frames);
  ToAdapter(road, h, "J1939 data all 0x7E", flags, frames / 2);
  road.Stop(handles);
}

}  // namespace

int main(int argc, char** argv) {
  int frames = 2000;
  bool scan = true, traffic = true;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--frames") && i + 1 < argc) {
      frames = std::max(10, std::atoi(argv[++i]));
    } else if (!std::strcmp(argv[i], "--no-scan")) {
      scan = false;
    } else if (!std::strcmp(argv[i], "--no-traffic")) {
      traffic = false;
    } else {
      std::fprintf(stderr, "usage: bench_serial [--frames N] [--no-scan] [--no-traffic]\n");
      return 2;
    }
  }
  // Every run in a process of its own, before this process starts any thread.
  if (traffic) {
    std::printf("Serial link at %u baud on a pseudo-terminal (ceiling %.0f bytes/s):\n", kLineRate,
                kLineBytesPerSecond);
    InChild([frames] { Traffic(frames); });
  }
  if (scan) {
    std::printf("From the server's start to the link up by scan:\n");
    InChild([] { LinkUpCase("adapter at 115200, the only port", 115200, 0, false); });
    InChild([] { LinkUpCase("adapter at 9600, the only port", 9600, 0, false); });
    InChild(
        [] { LinkUpCase("adapter at 115200, last of 16 (15 absent)", 115200, kPorts - 1, false); });
    InChild([] { LinkUpCase("adapter at 9600, last of 16 (15 absent)", 9600, kPorts - 1, false); });
    InChild([] {
      LinkUpCase("adapter at 115200, last of 16 (15 silent lines)", 115200, kPorts - 1, true);
    });
    InChild([] {
      LinkUpCase("adapter at 9600, last of 16 (15 silent lines)", 9600, kPorts - 1, true);
    });
  }
  return 0;
}
