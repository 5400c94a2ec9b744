// Sustained traffic through the whole system, with its real programs: the adapter simulator
// streams sequence-numbered CAN, J1939 and J1708 frames to two applications while one of them
// streams frames of its own to the adapter, each way at about 1000 frames/s, far below what the
// rings hold. Every frame must arrive in order and exactly once wherever a filter passes it: the
// adapter's at both applications, the application's at the adapter and, as the server's copy, at
// the other application.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "E2eHarness.h"
#include "testsupport/test_env.h"

namespace {

using namespace e2e;
using dral_test::Role;

constexpr uint32_t kFramesPerKind = 1000;
// One frame of each of the three kinds per period: about 1000 frames/s each way.
constexpr int kPeriodMs = 3;
constexpr const char* kAdapterRateHz = "333.3";

constexpr int kLinkUpMs = 20000;    // library load, server start and link up
constexpr int kStepMs = 10000;      // one step of the other side
constexpr int kStreamMs = 12000;    // from "go" until a side has every frame (3 s of traffic)
constexpr int kGraceMs = 200;       // after the last frame: time for a duplicate to show up

constexpr uint8_t kCanFrame = 0x20;
constexpr uint8_t kJ1939Frame = 0x30;
constexpr uint8_t kJ1708Frame = 0x40;

// What the simulator program generates (--emit-*-rate, emit): frame n of each kind carries n.
constexpr uint32_t kAdapterCanId = 0x18FF0010;
constexpr uint16_t kAdapterPgn = 0xFEF1;
constexpr uint8_t kAdapterSource = 0x00;
constexpr uint8_t kAdapterMid = 0x80;
constexpr uint8_t kAdapterPid = 0x54;

// What application A sends.
constexpr uint32_t kAppCanId = 0x18FF0021;
constexpr uint16_t kAppPgn = 0xFEF2;
constexpr uint8_t kAppSource = 0x21;
constexpr uint8_t kAppPriority = 6;
constexpr uint8_t kAppMid = 0xAC;
constexpr uint8_t kAppJ1708Header = 0x00;
constexpr uint8_t kReceivedJ1708Header = 0xFF;

uint8_t Byte(uint32_t n, int i) { return static_cast<uint8_t>(n >> (8 * i)); }

Bytes AppCan(uint32_t n) { return CanMessage(kAppCanId, {Byte(n, 0), Byte(n, 1), 0xC5}); }
Bytes AppJ1939(uint32_t n) {
  return J1939Message(kAppPgn, kAppSource, kAppPriority,
                      {Byte(n, 0), Byte(n, 1), 1, 2, 3, 4, 5, 6});
}
Bytes AppJ1708Body(uint32_t n) { return {kAppMid, Byte(n, 0), Byte(n, 1)}; }
Bytes AppJ1708(uint32_t n) {
  Bytes m = {DRAL_PROTOCOL_J1708, kAppJ1708Header};
  const Bytes body = AppJ1708Body(n);
  m.insert(m.end(), body.begin(), body.end());
  return m;
}

Bytes AdapterCan(uint32_t n) {
  return CanMessage(kAdapterCanId,
                    {Byte(n, 0), Byte(n, 1), Byte(n, 2), Byte(n, 3), 0xA5, 0x5A, 0, 0});
}
Bytes AdapterJ1939(uint32_t n) {
  return J1939Message(kAdapterPgn, kAdapterSource, 6,
                      {0xFF, Byte(n, 0), Byte(n, 1), 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
}
Bytes AdapterJ1708Body(uint32_t n) { return {kAdapterMid, kAdapterPid, Byte(n, 0)}; }

// `got` from `offset` on is the J1708 message `body`, with or without its checksum byte after
// it: whether a length counts the checksum is not what this test is about.
bool IsJ1708Body(const Bytes& got, size_t offset, const Bytes& body) {
  if (got.size() < offset + body.size()) return false;
  if (!std::equal(body.begin(), body.end(), got.begin() + static_cast<long>(offset))) return false;
  const size_t rest = got.size() - offset - body.size();
  return rest == 0 || (rest == 1 && got.back() == J1708Checksum(body));
}
bool IsReceivedJ1708(const Bytes& got, const Bytes& body) {
  return got.size() >= 2 && got[0] == DRAL_PROTOCOL_J1708 && got[1] == kReceivedJ1708Header &&
         IsJ1708Body(got, 2, body);
}

// ---- the streams as the applications receive them -------------------------------------------

enum Stream {
  FromAdapterCan,
  FromAdapterJ1939,
  FromAdapterJ1708,
  FromACan,
  FromAJ1939,
  FromAJ1708,
  kStreams
};
const char* const kStreamNames[kStreams] = {"adapter CAN", "adapter J1939", "adapter J1708",
                                            "A's CAN",     "A's J1939",     "A's J1708"};

bool IsFrame(int stream, uint32_t n, const Bytes& got) {
  switch (stream) {
    case FromAdapterCan:
      return got == AdapterCan(n);
    case FromAdapterJ1939:
      return got == AdapterJ1939(n);
    case FromAdapterJ1708:
      return IsReceivedJ1708(got, AdapterJ1708Body(n));
    case FromACan:
      return got == AppCan(n);
    case FromAJ1939:
      return got == AppJ1939(n);
    case FromAJ1708:
      return IsReceivedJ1708(got, AppJ1708Body(n));
    default:
      return false;
  }
}

uint32_t Le32(const Bytes& m, size_t at) {
  return static_cast<uint32_t>(m[at] | m[at + 1] << 8 | m[at + 2] << 16 | m[at + 3] << 24);
}

// The stream a received message belongs to, by its identifier, PGN and source, or MID alone;
// none for anything else.
std::optional<Stream> StreamOf(const Bytes& m) {
  if (m.size() >= 5 && m[0] == DRAL_PROTOCOL_CAN1) {
    if (Le32(m, 1) == kAdapterCanId) return FromAdapterCan;
    if (Le32(m, 1) == kAppCanId) return FromACan;
  } else if (m.size() >= 7 && m[0] == DRAL_PROTOCOL_J1939_CAN1) {
    const uint16_t pgn = static_cast<uint16_t>(m[2] << 8 | m[1]);
    if (pgn == kAdapterPgn && m[5] == kAdapterSource) return FromAdapterJ1939;
    if (pgn == kAppPgn && m[5] == kAppSource) return FromAJ1939;
  } else if (m.size() >= 3 && m[0] == DRAL_PROTOCOL_J1708) {
    if (m[2] == kAdapterMid) return FromAdapterJ1708;
    if (m[2] == kAppMid) return FromAJ1708;
  }
  return std::nullopt;
}

// Everything one application received, sorted into the streams.
struct Received {
  std::array<std::vector<Bytes>, kStreams> Streams;
  std::vector<Bytes> Others;  // neither a stream's frame nor a raw message (filter replies)

  // Takes every message the connection has queued.
  void Drain(const Api& api, DRAL_Handle h) {
    uint8_t buffer[DRAL_MAX_MESSAGE_LENGTH];
    for (uint32_t n; (n = api.GetMessage(h, buffer, sizeof buffer)) != 0;) {
      const Bytes m(buffer, buffer + n);
      if (m[0] == DRAL_PROTOCOL_RAW) continue;
      if (const auto stream = StreamOf(m)) {
        Streams[*stream].push_back(m);
      } else {
        Others.push_back(m);
      }
    }
  }
  bool Complete(const std::vector<Stream>& wanted) const {
    return std::all_of(wanted.begin(), wanted.end(),
                       [&](Stream s) { return Streams[s].size() >= kFramesPerKind; });
  }
};

// Frames 0..kFramesPerKind-1 of `stream`, each once and in order, are what `got` holds.
void ExpectWholeStream(const std::string& where, int stream, const std::vector<Bytes>& got,
                       const std::function<bool(uint32_t, const Bytes&)>& isFrame) {
  const size_t n = std::min<size_t>(got.size(), kFramesPerKind);
  for (size_t i = 0; i < n; ++i) {
    if (!isFrame(static_cast<uint32_t>(i), got[i])) {
      ADD_FAILURE() << where << ", " << kStreamNames[stream] << ": frame " << i << " is "
                    << HexOf(got[i]);
      break;
    }
  }
  EXPECT_EQ(got.size(), kFramesPerKind) << where << ", " << kStreamNames[stream];
}

void ExpectReceived(const std::string& where, const Received& r,
                    const std::vector<Stream>& wanted) {
  for (int s = 0; s < kStreams; ++s) {
    if (std::find(wanted.begin(), wanted.end(), s) != wanted.end()) {
      ExpectWholeStream(where, s, r.Streams[s],
                        [s](uint32_t n, const Bytes& got) { return IsFrame(s, n, got); });
    } else {
      EXPECT_TRUE(r.Streams[s].empty()) << where << " got " << r.Streams[s].size() << " of "
                                        << kStreamNames[s] << ", which its filter blocks";
    }
  }
  EXPECT_TRUE(r.Others.empty()) << where << " got " << r.Others.size()
                                << " unexpected messages, the first " << HexOf(r.Others.front());
}

// ---- the test --------------------------------------------------------------------------------

class SustainedTest : public SystemFixture {
 protected:
  // --- application side ---

  // Loads the library, connects, waits until the adapter's channels are up and sets the filters.
  DRAL_Handle Open(Api& api, const std::vector<DralFilter>& filters) {
    api = Load();
    if (!api.module) return 0;
    const DRAL_Handle h = api.Connect();
    EXPECT_NE(h, 0u);
    if (h == 0) return 0;
    const bool up = WaitLinkState(api, h, DRAL_LINK_CONNECTED, kLinkUpMs) &&
                    WaitChannelAvailable(api, h, kStepMs);
    EXPECT_TRUE(up) << std::hex << api.GetStatus(h);
    for (const DralFilter& f : filters) EXPECT_EQ(Filter(api, h, f), DRAL_OK);
    return up ? h : 0;
  }
  void Close(Api& api, DRAL_Handle h) {
    EXPECT_EQ(api.Disconnect(h), DRAL_OK);
    Unload(api);
  }

  // --- test process side ---

};

// A's filters pass exactly the adapter's three streams.
std::vector<DralFilter> FiltersOfA() {
  DralFilter can{};
  can.Operation = DRAL_FILTER_PASS;
  can.Protocol = DRAL_PROTOCOL_CAN1;
  can.Data.Can = {0x1FFFFFFF, kAdapterCanId};
  DralFilter j1939{};
  j1939.Operation = DRAL_FILTER_PASS;
  j1939.Protocol = DRAL_PROTOCOL_J1939_CAN1;
  j1939.Data.J1939 = {DRAL_J1939_FILTER_PGN, Byte(kAdapterPgn, 0), Byte(kAdapterPgn, 1), 0, 0, 0,
                      0};
  DralFilter j1708{};
  j1708.Operation = DRAL_FILTER_PASS;
  j1708.Protocol = DRAL_PROTOCOL_J1708;
  j1708.Data.Mid = kAdapterMid;
  return {can, j1939, j1708};
}

TEST_F(SustainedTest, NoFrameIsLostDuplicatedOrReorderedAtASteadyThousandFramesASecond) {
  if (Role() == "a") {
    Api api;
    const DRAL_Handle h = Open(api, FiltersOfA());
    ASSERT_NE(h, 0u);
    Mark("a-ready");
    ASSERT_TRUE(AwaitMark("go", kStepMs));

    // Sends on schedule and receives meanwhile, on this one thread. A put the ring refuses is
    // tried again in the next round: a refusal is reported to the sender, not a loss.
    const std::vector<Stream> wanted = {FromAdapterCan, FromAdapterJ1939, FromAdapterJ1708};
    const std::array<std::function<Bytes(uint32_t)>, 3> make = {AppCan, AppJ1939, AppJ1708};
    std::array<uint32_t, 3> sent{};
    int refused = 0;
    Received r;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(kStreamMs);
    auto allSent = [&] {
      return std::all_of(sent.begin(), sent.end(), [](uint32_t n) { return n == kFramesPerKind; });
    };
    while (!(allSent() && r.Complete(wanted)) && Clock::now() < deadline) {
      const auto elapsed =
          std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
      const auto due = std::min<uint32_t>(kFramesPerKind,
                                          static_cast<uint32_t>(elapsed / kPeriodMs + 1));
      for (size_t k = 0; k < make.size(); ++k) {
        while (sent[k] < due) {
          if (Put(api, h, make[k](sent[k])) != DRAL_OK) {
            ++refused;
            break;
          }
          ++sent[k];
        }
      }
      r.Drain(api, h);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kGraceMs));
    r.Drain(api, h);
    std::printf("A: %.0f ms, %d puts refused and retried\n",
                std::chrono::duration<double, std::milli>(Clock::now() - start).count(), refused);
    EXPECT_TRUE(allSent()) << sent[0] << " " << sent[1] << " " << sent[2];
    ExpectReceived("A", r, wanted);
    Mark("a-done");
    ASSERT_TRUE(AwaitMark("finish", kStepMs));
    Close(api, h);
    return;
  }

  if (Role() == "b") {
    Api api;
    const DRAL_Handle h = Open(api, {PassAll(DRAL_PROTOCOL_CAN1),
                                     PassAll(DRAL_PROTOCOL_J1939_CAN1),
                                     PassAll(DRAL_PROTOCOL_J1708)});
    ASSERT_NE(h, 0u);
    Mark("b-ready");
    ASSERT_TRUE(AwaitMark("go", kStepMs));
    const std::vector<Stream> wanted = {FromAdapterCan, FromAdapterJ1939, FromAdapterJ1708,
                                        FromACan,       FromAJ1939,       FromAJ1708};
    Received r;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kStreamMs);
    while (!r.Complete(wanted) && Clock::now() < deadline) {
      r.Drain(api, h);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kGraceMs));
    r.Drain(api, h);
    ExpectReceived("B", r, wanted);
    Mark("b-done");
    ASSERT_TRUE(AwaitMark("finish", kStepMs));
    Close(api, h);
    return;
  }

  std::string error;
  ASSERT_TRUE(adapter_.Start(DRAL_SIM_DEVICE_PROGRAM,
                             {"--usb", "--emit-count", std::to_string(kFramesPerKind)}, error))
      << error;
  for (const char* role : {"a", "b"}) {
    StartApplication(role);
    ASSERT_TRUE(AwaitApplication(std::string(role) + "-ready", kLinkUpMs));
  }
  pid_t server = -1;
  for (pid_t pid : ChildProcesses()) {
    if (ProcessName(pid) == "DRALServer") server = pid;
  }
  ASSERT_GT(server, 0) << "no DRALServer process";

  ASSERT_EQ(adapter_.Command("clear"), "ok");
  Mark("go");
  for (const char* kind : {"can", "j1939", "j1708"}) {
    ASSERT_EQ(adapter_.Command(std::string("emit ") + kind + " " + kAdapterRateHz), "ok");
  }
  ASSERT_TRUE(AwaitApplication("a-done", kStreamMs + kStepMs));
  ASSERT_TRUE(AwaitApplication("b-done", kStreamMs + kStepMs));

  // A's frames as the adapter received them (every one had reached B as a copy by now).
  struct AtAdapter {
    uint8_t Type;
    Stream Kind;
    std::function<bool(uint32_t, const Bytes&)> IsFrame;
  };
  const AtAdapter atAdapter[] = {
      {kCanFrame, FromACan,
       [](uint32_t n, const Bytes& d) {
         return d == Bytes{0x11, Byte(kAppCanId, 0), Byte(kAppCanId, 1), Byte(kAppCanId, 2),
                           Byte(kAppCanId, 3), Byte(n, 0), Byte(n, 1), 0xC5};
       }},
      {kJ1939Frame, FromAJ1939,
       [](uint32_t n, const Bytes& d) {
         const uint32_t id = uint32_t{kAppPriority} << 26 | uint32_t{kAppPgn} << 8 | kAppSource;
         return d == Bytes{0x01, Byte(id, 0), Byte(id, 1), Byte(id, 2), Byte(id, 3), Byte(n, 0),
                           Byte(n, 1), 1, 2, 3, 4, 5, 6};
       }},
      {kJ1708Frame, FromAJ1708,
       [](uint32_t n, const Bytes& d) {
         // Flags and 9-bit length, header, then the message (the length is not looked at).
         return d.size() >= 3 && d[1] == kAppJ1708Header && IsJ1708Body(d, 3, AppJ1708Body(n));
       }},
  };
  for (const AtAdapter& a : atAdapter) {
    EXPECT_TRUE(adapter_.WaitFor(a.Type, static_cast<int>(kFramesPerKind), kStepMs))
        << kStreamNames[a.Kind];
    ExpectWholeStream("the adapter", a.Kind, adapter_.Messages(a.Type), a.IsFrame);
  }

  Mark("finish");
  EXPECT_EQ(ApplicationExit("a"), 0);
  EXPECT_EQ(ApplicationExit("b"), 0);
  // The server's own end (about 3 s after the last application) is tested elsewhere.
  ASSERT_EQ(kill(server, SIGTERM), 0);
  EXPECT_EQ(WaitExit(server, kStepMs), 0);
  EXPECT_EQ(adapter_.Stop(kStepMs), 0);
}

}  // namespace
