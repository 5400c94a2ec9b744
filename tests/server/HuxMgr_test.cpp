#include "server/HuxMgr.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "classlib/Registry.h"
#include "plat/named_mutex.h"
#include "testsupport/AdapterSimulator.h"
#include "testsupport/SimConduit.h"
#include "testsupport/test_env.h"

namespace dral {
namespace {

using dral_test::AdapterSimulator;
using dral_test::Bytes;
using dral_test::OfType;
using dral_test::SimConduit;
using dral_test::SimLinkControl;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const Bytes kVersionRequestFrame{0x7E, 0xA5, 0x04, 0xFC, 0x7E, 0xA6};
const Bytes kStatusRequestFrame{0x7E, 0xA5, 0x06, 0xFA, 0x7E, 0xA6};

int64_t MsBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration_cast<milliseconds>(b - a).count();
}

// Rows in the order their Open was called, and the rows whose factory ran, in that order.
class CallLog {
 public:
  void Add(int row) {
    std::lock_guard<std::mutex> lock(mutex_);
    rows_.push_back(row);
    at_.push_back(Clock::now());
    cv_.notify_all();
  }
  std::vector<int> Rows() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rows_;
  }
  std::vector<Clock::time_point> Times() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return at_;
  }
  bool WaitForSize(size_t n, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, milliseconds(timeoutMs), [&] { return rows_.size() >= n; });
  }

 private:
  mutable std::mutex mutex_;  // guards rows_ and at_
  mutable std::condition_variable cv_;
  std::vector<int> rows_;
  std::vector<Clock::time_point> at_;
};

// The Logging choice each row's link was last given; kNever when it was never given one.
constexpr int kNever = -1;
using LoggingSeen = std::array<std::atomic<int>, kLinkRows>;

// A link that never finds a device; it logs every Open with its row and arguments, and the
// Logging choice it is given.
class ProbeConduit final : public TConduit {
 public:
  ProbeConduit(int row, CallLog& log, std::vector<std::string>* args, std::mutex* argsMutex,
               LoggingSeen& logging)
      : row_(row), log_(log), args_(args), argsMutex_(argsMutex), logging_(logging) {}
  bool Open(std::string openArg1, std::string openArg2) override {
    if (args_ != nullptr) {
      std::lock_guard<std::mutex> lock(*argsMutex_);
      args_->push_back(openArg1 + "|" + openArg2);
    }
    log_.Add(row_);
    return false;
  }
  void Close() override {}
  bool IsOpen() override { return false; }
  void SetReceiveHandler(ReceiveHandler) override {}
  int Write(const uint8_t*, int) override { return 0; }
  std::string PortName() override { return "probe"; }
  std::string PortInfo() override { return "probe"; }
  void SetLogging(bool on) override { logging_[row_].store(on ? 1 : 0); }

 private:
  int row_;
  CallLog& log_;
  std::vector<std::string>* args_;
  std::mutex* argsMutex_;
  LoggingSeen& logging_;
};

// What the manager's handlers saw.
class HandlerLog {
 public:
  void OnLinkChanged(uint8_t up) {
    std::lock_guard<std::mutex> lock(mutex_);
    links_.push_back({up, Clock::now()});
    cv_.notify_all();
  }
  void OnAdapterMessage(HuxMessage& m) {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back({m.Type, Bytes(m.Data, m.Data + m.Length)});
    cv_.notify_all();
  }
  // The time of the `nth` (1-based) link event with this `up` value.
  std::optional<Clock::time_point> WaitLinkEvent(uint8_t up, int nth, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<Clock::time_point> at;
    cv_.wait_for(lock, milliseconds(timeoutMs), [&] {
      int seen = 0;
      for (const auto& e : links_) {
        if (e.first == up && ++seen == nth) {
          at = e.second;
          return true;
        }
      }
      return false;
    });
    return at;
  }
  // `done` is called with the log's lock released.
  bool WaitUntil(const std::function<bool()>& done, int timeoutMs) {
    const auto deadline = Clock::now() + milliseconds(timeoutMs);
    while (!done()) {
      if (Clock::now() >= deadline) return false;
      std::unique_lock<std::mutex> lock(mutex_);
      cv_.wait_for(lock, milliseconds(10));  // short slices: a wake-up may slip in before it
    }
    return true;
  }
  bool WaitMessages(size_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, milliseconds(timeoutMs), [&] { return messages_.size() >= n; });
  }
  std::vector<std::pair<uint8_t, Bytes>> Messages() {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
  }
  std::vector<uint8_t> LinkEvents() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<uint8_t> out;
    for (const auto& e : links_) out.push_back(e.first);
    return out;
  }

 private:
  std::mutex mutex_;  // guards links_ and messages_
  std::condition_variable cv_;
  std::vector<std::pair<uint8_t, Clock::time_point>> links_;
  std::vector<std::pair<uint8_t, Bytes>> messages_;
};

// An adapter message handler that holds the manager's pass at the first message of its type
// until the test opens it (or lets that many through), so the ring of received frames fills up
// behind that message.
class GatedHandler {
 public:
  explicit GatedHandler(uint8_t type) : type_(type) {}
  void OnAdapterMessage(HuxMessage& m) {
    if (m.Type != type_) return;
    std::unique_lock<std::mutex> lock(mutex_);
    const uint32_t mine = ++seen_;
    cv_.notify_all();
    cv_.wait_for(lock, milliseconds(10000), [&] { return open_ || mine <= letThrough_; });
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    cv_.notify_all();
  }
  // The first `n` messages of the type go on; the gate holds the next one.
  void LetThrough(uint32_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    letThrough_ = n;
    cv_.notify_all();
  }
  bool WaitSeen(uint32_t n, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, milliseconds(timeoutMs), [&] { return seen_ >= n; });
  }
  uint32_t Seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }

 private:
  const uint8_t type_;
  std::mutex mutex_;  // guards seen_, letThrough_ and open_
  std::condition_variable cv_;
  uint32_t seen_ = 0;
  uint32_t letThrough_ = 0;
  bool open_ = false;
};

// `count` transport results numbered 0, 1, ... as the adapter's bytes of one burst.
Bytes NumberedBurst(uint32_t count) {
  Bytes burst;
  for (uint32_t n = 0; n < count; ++n) {
    const Bytes frame = dral_test::EncodeFrame(
        {MsgTransportResult, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)});
    burst.insert(burst.end(), frame.begin(), frame.end());
  }
  return burst;
}

class HuxMgrTest : public dral_test::IsolatedTest {
 protected:
  ~HuxMgrTest() override { mgr_.reset(); }  // the links refer to the members below

  static void WriteSettings(std::optional<bool> serialDisabled, std::optional<bool> ethernet,
                            std::optional<std::string> address) {
    cls::TRegistry reg;
    reg.SetRootKey(cls::HKEY_CURRENT_USER);
    ASSERT_TRUE(reg.OpenKey(THuxMgr::kSettingsKey, true));
    if (serialDisabled) reg.WriteBool(THuxMgr::kSerialPortDisabledValue, *serialDisabled);
    if (ethernet) reg.WriteBool(THuxMgr::kEthernetEnabledValue, *ethernet);
    if (address) reg.WriteString("AdapterIPAddressHistory01", *address);
  }

  ConduitFactory Probe(int row) {
    return [this, row] {
      created_.Add(row);
      return std::make_unique<ProbeConduit>(row, opens_, &openArgs_, &openArgsMutex_, linkLogging_);
    };
  }
  ConduitFactory Sim() {
    return [this] { return std::make_unique<SimConduit>(adapter_, control_); };
  }
  // Every row a probe except those given.
  LinkFactoryTable Probes() {
    LinkFactoryTable t;
    for (int row = 1; row < kLinkRows; ++row) t[row] = Probe(row);
    return t;
  }

  void StartManager(LinkFactoryTable table) {
    mgr_ = std::make_unique<THuxMgr>(true, std::move(table));
    mgr_->LinkChangedHandler.Set(LinkChangedClosure::Of<&HandlerLog::OnLinkChanged>(&handlers_));
    mgr_->AdapterMessageHandler.Set(
        AdapterMessageClosure::Of<&HandlerLog::OnAdapterMessage>(&handlers_));
    mgr_->Start();
  }

  // Connects over the simulator in `row`; returns the time of the link-up report.
  Clock::time_point ConnectOver(int row) {
    LinkFactoryTable table;
    table[row] = Sim();
    StartManager(std::move(table));
    auto up = handlers_.WaitLinkEvent(1, 1, 3000);
    EXPECT_TRUE(up.has_value()) << "no link came up";
    return up.value_or(Clock::now());
  }

  bool SendRetrying(const HuxMessage& m, int timeoutMs) {
    const auto deadline = Clock::now() + milliseconds(timeoutMs);
    while (!mgr_->SendMessage(m)) {
      if (Clock::now() > deadline) return false;
      std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
  }

  AdapterSimulator adapter_;
  SimLinkControl control_;
  CallLog opens_;
  CallLog created_;
  std::mutex openArgsMutex_;  // guards openArgs_
  std::vector<std::string> openArgs_;
  LoggingSeen linkLogging_{};
  HandlerLog handlers_;
  std::unique_ptr<THuxMgr> mgr_;  // last: goes first
};

// --- search -------------------------------------------------------------------------------------

struct SearchCase {
  const char* name;
  std::optional<bool> serialDisabled;
  std::optional<bool> ethernet;
  std::vector<int> cycle;  // rows tried in one round
};

void PrintTo(const SearchCase& c, std::ostream* os) {
  *os << c.name;
}

class HuxMgrSearch : public HuxMgrTest, public ::testing::WithParamInterface<SearchCase> {};

TEST_P(HuxMgrSearch, TriesEnabledRowsInTableOrderOneRowPerStep) {
  const SearchCase& c = GetParam();
  if (c.serialDisabled || c.ethernet) WriteSettings(c.serialDisabled, c.ethernet, std::nullopt);
  StartManager(Probes());
  const size_t rounds = 3;
  ASSERT_TRUE(opens_.WaitForSize(rounds * c.cycle.size(), 5000));
  mgr_.reset();

  // Every link is built, enabled or not, serial first.
  EXPECT_EQ(created_.Rows(), (std::vector<int>{4, 1, 2, 3, 5}));
  const auto rows = opens_.Rows();
  for (size_t i = 0; i < rounds * c.cycle.size(); ++i) {
    ASSERT_EQ(rows[i], c.cycle[i % c.cycle.size()]) << "Open call " << i;
  }
  // Skipped rows and the empty row cost a 10 ms step each: one round is six steps.
  const auto times = opens_.Times();
  const int64_t round = MsBetween(times[0], times[c.cycle.size()]);
  EXPECT_GE(round, 55);
  EXPECT_LT(round, 1000);
}

INSTANTIATE_TEST_SUITE_P(
    Settings, HuxMgrSearch,
    ::testing::Values(SearchCase{"Defaults", std::nullopt, std::nullopt, {1, 2, 3, 4}},
                      SearchCase{"SerialOffEthernetOff", true, false, {1, 2, 3}},
                      SearchCase{"SerialOnEthernetOn", false, true, {1, 2, 3, 4, 5}},
                      SearchCase{"SerialOffEthernetOn", true, true, {1, 2, 3, 5}}),
    [](const ::testing::TestParamInfo<SearchCase>& p) { return p.param.name; });

TEST_F(HuxMgrTest, LinksGetTheirOpenArgumentsAndTcpTakesHistory01OrEmptyText) {
  auto tcpArgs = [this] {
    std::lock_guard<std::mutex> lock(openArgsMutex_);
    std::map<std::string, int> seen;
    for (const auto& a : openArgs_) seen[a]++;
    return seen;
  };
  WriteSettings(true, true, std::nullopt);  // no AdapterIPAddressHistory01
  StartManager(Probes());
  ASSERT_TRUE(opens_.WaitForSize(6, 3000));
  mgr_.reset();
  auto seen = tcpArgs();
  EXPECT_TRUE(seen.count("827586|")) << "FTDI gets its baud rate";
  EXPECT_TRUE(seen.count("|")) << "USB, WinUSB and TCP (no address) get empty texts";
  EXPECT_EQ(seen.size(), 2u);

  {
    std::lock_guard<std::mutex> lock(openArgsMutex_);
    openArgs_.clear();
  }
  WriteSettings(std::nullopt, std::nullopt, std::string("10.20.30.40"));
  StartManager(Probes());
  ASSERT_TRUE(opens_.WaitForSize(6 + 8, 3000));
  mgr_.reset();
  EXPECT_TRUE(tcpArgs().count("10.20.30.40|"));
}

TEST_F(HuxMgrTest, RowWhoseConstructorThrowsStaysEmptyAndTheOthersAreTried) {
  int usbAttempts = 0;  // factories run on the manager's thread; read after it has ended
  LinkFactoryTable table = Probes();
  table[LinkRowUsb] = [&usbAttempts]() -> std::unique_ptr<TConduit> {
    ++usbAttempts;
    throw std::runtime_error("no driver");
  };
  table[LinkRowWinUsb] = [] { return std::unique_ptr<TConduit>(); };  // built nothing
  StartManager(std::move(table));
  ASSERT_TRUE(opens_.WaitForSize(6, 3000));
  mgr_.reset();
  EXPECT_EQ(usbAttempts, 1);
  const auto rows = opens_.Rows();
  for (size_t i = 0; i < 6; ++i) EXPECT_EQ(rows[i], (i % 2 == 0 ? 2 : 4)) << i;
}

TEST_F(HuxMgrTest, InstalledLinkFactoriesServeManagersBuiltWithoutATable) {
  LinkFactories::Clear();
  LinkFactories::Install(LinkRowWinUsb, Sim());
  mgr_ = std::make_unique<THuxMgr>(true);
  LinkFactories::Clear();  // the manager keeps its own copy
  mgr_->LinkChangedHandler.Set(LinkChangedClosure::Of<&HandlerLog::OnLinkChanged>(&handlers_));
  EXPECT_EQ(mgr_->State(), LinkStopped);
  mgr_->Start();
  ASSERT_TRUE(handlers_.WaitLinkEvent(1, 1, 3000).has_value());
  EXPECT_EQ(mgr_->CurrentIndex(), LinkRowWinUsb);
  EXPECT_EQ(control_.DebugLevelSeen.load(), kLinkDebugLevel);
}

TEST_F(HuxMgrTest, LoggingChoiceReachesLinksBuiltLaterAndEveryLinkTheManagerHas) {
  for (auto& seen : linkLogging_) seen.store(kNever);
  mgr_ = std::make_unique<THuxMgr>(true, Probes());
  mgr_->SetLogging(1);  // before the thread has built any link
  mgr_->Start();
  ASSERT_TRUE(opens_.WaitForSize(1, 3000));  // the links are built before the first Open
  for (int row = LinkRowUsb; row < kLinkRows; ++row) EXPECT_EQ(linkLogging_[row].load(), 1) << row;

  mgr_->SetLogging(0);
  EXPECT_EQ(mgr_->Logging(), 0);
  for (int row = LinkRowUsb; row < kLinkRows; ++row) EXPECT_EQ(linkLogging_[row].load(), 0) << row;
  EXPECT_EQ(linkLogging_[LinkRowNone].load(), kNever);
}

// --- connected --------------------------------------------------------------------------------

TEST_F(HuxMgrTest, LinkUpSendsVersionRequestFirstThenAStatusRequestEvery500Ms) {
  adapter_.SetVersion({1, 2, 3, 4, 5, 6}, 0x0201);
  const auto up = ConnectOver(LinkRowWinUsb);
  EXPECT_EQ(mgr_->State(), LinkConnected);
  EXPECT_EQ(mgr_->CurrentIndex(), LinkRowWinUsb);
  std::string name, info;
  mgr_->PortName(name);
  mgr_->PortInfo(info);
  EXPECT_EQ(name, SimConduit::kPortName);
  EXPECT_EQ(info, SimConduit::kPortInfo);

  ASSERT_TRUE(adapter_.WaitForCount(OfType(dral_test::sim::kStatusRequest), 7, 8000));
  const auto polls = adapter_.Messages(OfType(dral_test::sim::kStatusRequest));
  EXPECT_GE(MsBetween(up, polls[0].At), 400);
  // A single gap may stretch under load, so the middle gap is held to the interval: a poll
  // that slipped to 600 ms (or came at 400) would show there.
  std::vector<int64_t> gaps;
  for (size_t i = 1; i < polls.size(); ++i) {
    gaps.push_back(MsBetween(polls[i - 1].At, polls[i].At));
    EXPECT_GE(gaps.back(), 400) << i;
  }
  std::sort(gaps.begin(), gaps.end());
  EXPECT_GE(gaps[gaps.size() / 2], 480) << "median gap";
  EXPECT_LT(gaps[gaps.size() / 2], 560) << "median gap";
  // On the wire: the version request, then nothing but whole status requests.
  const Bytes wire = adapter_.BytesFromHost();
  ASSERT_GE(wire.size(), kVersionRequestFrame.size());
  EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 6), kVersionRequestFrame);
  for (size_t at = 6; at + 6 <= wire.size(); at += 6) {
    ASSERT_EQ(Bytes(wire.begin() + static_cast<std::ptrdiff_t>(at),
                    wire.begin() + static_cast<std::ptrdiff_t>(at) + 6),
              kStatusRequestFrame)
        << "at byte " << at;
  }
  EXPECT_EQ(adapter_.FrameErrors(), 0u);

  // The replies reach the request server's handler with their lengths rebuilt.
  ASSERT_TRUE(handlers_.WaitMessages(2, 2000));
  const auto msgs = handlers_.Messages();
  EXPECT_EQ(msgs[0].first, MsgVersionReply);
  EXPECT_EQ(msgs[0].second, (Bytes{1, 2, 3, 4, 5, 6, 0x01, 0x02}));
  EXPECT_EQ(msgs[1].first, MsgStatusReply);
  EXPECT_EQ(msgs[1].second.size(), sizeof(AdapterStatusReply));
  EXPECT_EQ(control_.HandlerSets.load(), 1);
  EXPECT_EQ(mgr_->FrameErrors(), 0u);
  EXPECT_GE(mgr_->FramesReceived(), 2u);
  EXPECT_TRUE(mgr_->DataArrived());
}

TEST_F(HuxMgrTest, AVersionRequestTheTransmitRingRefusesAtLinkUpStillGoesOutFirst) {
  // Another thread holds the transmit ring's mutex while the link comes up: the Clear and the
  // version request of the link-up are refused, as when a write in progress defers the Clear.
  auto ringMutex = [] {
    int error = 0;
    return plat::NamedMutex::Open(THuxTxThread::kMutexName, &error,
                                  plat::ObjectAccess::OwnerOnly);
  }();
  ASSERT_NE(ringMutex, nullptr);
  std::mutex m;
  std::condition_variable cv;
  enum { kIdle, kLockWanted, kLocked, kUnlockWanted } step = kIdle;
  std::thread holder([&] {
    std::unique_lock<std::mutex> lock(m);
    cv.wait(lock, [&] { return step != kIdle; });
    if (step != kLockWanted) return;  // the link never came up
    EXPECT_TRUE(plat::Owned(ringMutex->Lock(2000)));
    step = kLocked;
    cv.notify_all();
    cv.wait(lock, [&] { return step == kUnlockWanted; });
    ringMutex->Unlock();
  });
  control_.OpenHook = [&] {
    std::unique_lock<std::mutex> lock(m);
    if (step != kIdle) return;
    step = kLockWanted;
    cv.notify_all();
    cv.wait(lock, [&] { return step == kLocked; });
  };
  ConnectOver(LinkRowUsb);
  {
    std::lock_guard<std::mutex> lock(m);
    step = kUnlockWanted;
    cv.notify_all();
  }
  holder.join();
  ASSERT_TRUE(adapter_.WaitForMessage(OfType(dral_test::sim::kVersionRequest), 3000).has_value());
  ASSERT_TRUE(adapter_.WaitForCount(OfType(dral_test::sim::kStatusRequest), 1, 3000));
  const Bytes wire = adapter_.BytesFromHost();
  EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 6), kVersionRequestFrame);
  EXPECT_EQ(adapter_.Count(OfType(dral_test::sim::kVersionRequest)), 1u);
}

TEST_F(HuxMgrTest, ReceivedTrafficReachesTheHandlerInOrderAndBadFramesAreCounted) {
  ConnectOver(LinkRowUsb);
  ASSERT_TRUE(handlers_.WaitMessages(1, 2000));  // version reply
  control_.MaxBlock.store(3);                    // frames split across reads
  adapter_.InjectCan(0x11, 0x18FEF100, {0x7E, 2, 3});
  adapter_.InjectBytes({0x00, 0x41, 0x7E, 0x41});        // line noise outside a frame
  adapter_.InjectBytes({0x7E, 0xA5, 0x01, 0x7E, 0x41});  // 7E then neither 7E nor A6
  Bytes bad = dral_test::EncodeFrame({0x20, 1, 0, 0, 0, 0});
  bad[3] ^= 0x01;  // wrong checksum now
  adapter_.InjectBytes(bad);
  adapter_.InjectJ1939(0x02, 0x18EAFF00, {0x00, 0xEE, 0x00});
  adapter_.InjectJ1708({0x80, 0x7E});
  adapter_.InjectFrame({MsgAdapterData09});          // Length 0
  adapter_.InjectFrame({MsgTransportResult, 0x4A});  // sum 0x82: the checksum is 7E, sent twice
  auto traffic = [this] {
    std::vector<std::pair<uint8_t, Bytes>> out;
    for (const auto& m : handlers_.Messages()) {
      if (m.first != MsgVersionReply && m.first != MsgStatusReply) out.push_back(m);
    }
    return out;
  };
  ASSERT_TRUE(handlers_.WaitUntil([&] { return traffic().size() >= 5; }, 3000));
  const auto got = traffic();
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0], (std::pair<uint8_t, Bytes>{0x20, {0x11, 0x00, 0xF1, 0xFE, 0x18, 0x7E, 2, 3}}));
  EXPECT_EQ(got[1],
            (std::pair<uint8_t, Bytes>{0x30, {0x02, 0x00, 0xFF, 0xEA, 0x18, 0x00, 0xEE, 0x00}}));
  const uint8_t j1708Checksum = static_cast<uint8_t>(0 - (0x80 + 0x7E));
  EXPECT_EQ(got[2], (std::pair<uint8_t, Bytes>{0x40, {0x00, 0x00, 2, 0x80, 0x7E, j1708Checksum}}));
  EXPECT_EQ(got[3], (std::pair<uint8_t, Bytes>{MsgAdapterData09, {}}));
  EXPECT_EQ(got[4], (std::pair<uint8_t, Bytes>{MsgTransportResult, {0x4A}}));
  EXPECT_EQ(mgr_->FrameErrors(), 2u) << "the bad escape and the bad checksum";
}

TEST_F(HuxMgrTest, WithTheReceiveRingFullAFurtherFrameIsCountedAsReceivedAndAsDropped) {
  // Never started: only this test drains the ring of received frames, as the manager's thread
  // would, so the ring holds exactly what OnFrame let in.
  mgr_ = std::make_unique<THuxMgr>(true, LinkFactoryTable{});
  constexpr uint32_t kHeld = TReceivedFrameRing::kRecords - 1;
  auto frame = [this](uint32_t n) {
    const uint8_t payload[] = {MsgCanFrame, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8)};
    mgr_->OnFrame(payload, sizeof payload);
  };
  for (uint32_t n = 0; n < kHeld; ++n) frame(n);
  EXPECT_EQ(mgr_->FramesDropped(), 0u);
  frame(kHeld);
  EXPECT_EQ(mgr_->FramesReceived(), kHeld + 1);
  EXPECT_EQ(mgr_->FramesDropped(), 1u);
  EXPECT_TRUE(mgr_->DataArrived());

  auto drain = [this] {
    std::vector<uint32_t> handedOn;
    for (uint32_t i = 0; i <= TReceivedFrameRing::kRecords; ++i) {  // bounded: a ring's worth
      const ReceivedFrame* f = mgr_->RxQueueFront();
      if (f == nullptr) break;
      EXPECT_EQ(f->Message.Type, MsgCanFrame);
      EXPECT_EQ(f->Message.Length, 2);
      handedOn.push_back(f->Message.Data[0] | f->Message.Data[1] << 8);
      mgr_->RxQueuePop();
    }
    return handedOn;
  };
  std::vector<uint32_t> first(kHeld);
  for (uint32_t n = 0; n < kHeld; ++n) first[n] = n;
  EXPECT_EQ(drain(), first) << "the oldest 199 in order; the last one is gone";

  // Once drained the ring takes frames again.
  frame(kHeld + 1);
  EXPECT_EQ(mgr_->FramesReceived(), kHeld + 2);
  EXPECT_EQ(mgr_->FramesDropped(), 1u);
  EXPECT_EQ(drain(), (std::vector<uint32_t>{kHeld + 1}));
}

TEST_F(HuxMgrTest, ABurstOfSeveralRingsWorthInOneBlockIsHandedOnWholeAndInOrder) {
  ConnectOver(LinkRowUsb);
  ASSERT_TRUE(handlers_.WaitMessages(1, 2000));  // version reply
  constexpr uint32_t kBurst = 3 * TReceivedFrameRing::kRecords;
  adapter_.InjectBytes(NumberedBurst(kBurst));
  auto numbers = [this] {
    std::vector<uint32_t> out;
    for (const auto& m : handlers_.Messages())
      if (m.first == MsgTransportResult && m.second.size() == 2)
        out.push_back(m.second[0] | m.second[1] << 8);
    return out;
  };
  ASSERT_TRUE(handlers_.WaitUntil([&] { return numbers().size() >= kBurst; }, 10000))
      << numbers().size() << " handed on, " << mgr_->FramesDropped() << " dropped";
  std::vector<uint32_t> expected(kBurst);
  for (uint32_t n = 0; n < kBurst; ++n) expected[n] = n;
  EXPECT_EQ(numbers(), expected);
  EXPECT_EQ(mgr_->FramesDropped(), 0u);
}

// The pass that holds the first frame of a burst lets the ring fill behind it; the frame after
// the ring's last record waits for room.
class HuxMgrFullRingTest : public HuxMgrTest {
 protected:
  void FillRingAndHoldThePass(uint32_t burstFrames,
                              uint32_t fullRingWaitMs = THuxMgr::kFullRingWaitMs) {
    ConnectOver(LinkRowUsb);
    mgr_->SetFullRingWait(fullRingWaitMs);
    ASSERT_TRUE(handlers_.WaitMessages(1, 2000));  // version reply
    adapter_.SetSilent(true);                      // no status replies among the counted frames
    mgr_->AdapterMessageHandler.Set(
        AdapterMessageClosure::Of<&GatedHandler::OnAdapterMessage>(&gate_));
    before_ = mgr_->FramesReceived();
    adapter_.InjectBytes(NumberedBurst(burstFrames));
    // A burst is handed on as fast as the machine allows: the bounds only catch a hang.
    ASSERT_TRUE(gate_.WaitSeen(1, 10000)) << "the pass did not start";
    // The held frame stays in the ring until its handler returns: the ring's records are all
    // taken, and the frame counted last waits for room. (The version reply may still have been
    // in the ring when the burst filled it, and left it in the pass that now holds.)
    ASSERT_TRUE(WaitCounted(TReceivedFrameRing::kRecords)) << Counted() << " counted";
  }
  uint32_t Counted() const { return mgr_->FramesReceived() - before_; }
  bool WaitCounted(uint32_t n) {
    return handlers_.WaitUntil([&] { return Counted() >= n; }, 10000);
  }

  GatedHandler gate_{MsgTransportResult};
  uint32_t before_ = 0;
};

TEST_F(HuxMgrFullRingTest, AFrameWaitingForRoomGetsInAsSoonAsAPassTakesFramesFromTheRing) {
  // Far longer than the test waits: the frame gets in only when the pass that took the ring's
  // frames tells the receive thread there is room.
  FillRingAndHoldThePass(TReceivedFrameRing::kRecords, 600000);
  gate_.Open();
  EXPECT_TRUE(gate_.WaitSeen(TReceivedFrameRing::kRecords, 5000)) << gate_.Seen() << " handed on";
  EXPECT_EQ(mgr_->FramesDropped(), 0u);
}

TEST_F(HuxMgrFullRingTest, AFrameWaitingForRoomGetsInWhileThePassThatMadeRoomHoldsALaterFrame) {
  FillRingAndHoldThePass(TReceivedFrameRing::kRecords + 1, 600000);
  gate_.LetThrough(1);  // the first frame leaves the ring; the pass holds at the second
  ASSERT_TRUE(gate_.WaitSeen(2, 10000));
  // The waiting frame takes the room and the last one is counted and waits in its turn.
  EXPECT_TRUE(WaitCounted(TReceivedFrameRing::kRecords + 1)) << Counted() << " counted";
  gate_.Open();
  EXPECT_TRUE(gate_.WaitSeen(TReceivedFrameRing::kRecords + 1, 5000)) << gate_.Seen();
  EXPECT_EQ(mgr_->FramesDropped(), 0u);
}

TEST_F(HuxMgrFullRingTest, ShutdownEndsTheWaitsForRoomAtOnceWhileBlocksKeepComing) {
  // Blocks of 1000 frames, back to back. Once the manager no longer takes frames, each frame
  // of the block that finds the ring full would wait its 100 ms, and the detach of the receive
  // handler waits for the receive call in progress.
  constexpr uint32_t kBlockFrames = 1000;
  control_.MaxBlock.store(kBlockFrames * 8);
  FillRingAndHoldThePass(5 * kBlockFrames);
  const auto stop = Clock::now();
  mgr_->Terminate();
  gate_.Open();
  EXPECT_TRUE(mgr_->WaitFor(2000)) << "the manager did not end";
  EXPECT_LT(MsBetween(stop, Clock::now()), 2000);
  EXPECT_EQ(control_.HandlerClears.load(), 1);
}

TEST_F(HuxMgrTest, AdapterAnswersToTransmitsReachTheHandler) {
  adapter_.SetTransmitAnswer(dral_test::TransmitAnswer::Accept);
  adapter_.RefuseNextTransmits(1);
  ConnectOver(LinkRowUsb);
  HuxMessage j1708{};
  j1708.Type = MsgJ1708Frame;
  j1708.Length = 5;
  ASSERT_TRUE(mgr_->SendMessage(j1708));
  ASSERT_TRUE(mgr_->SendMessage(j1708));
  auto replies = [this] {
    std::vector<Bytes> out;
    for (const auto& m : handlers_.Messages()) {
      if (m.first == MsgReply) out.push_back(m.second);
    }
    return out;
  };
  ASSERT_TRUE(handlers_.WaitUntil([&] { return replies().size() >= 2; }, 3000));
  EXPECT_EQ(replies(),
            (std::vector<Bytes>{{MsgJ1708Frame, ReplyFailed}, {MsgJ1708Frame, ReplyOk}}));
}

TEST_F(HuxMgrTest, SilentAdapterIsDroppedTwelveSecondsAfterLinkUp) {
  adapter_.SetSilent(true);
  const auto up = ConnectOver(LinkRowFtdi);
  control_.OpenResult.store(false);  // no reconnect after the drop
  const auto down = handlers_.WaitLinkEvent(0, 1, 16000);
  ASSERT_TRUE(down.has_value());
  const int64_t silence = MsBetween(up, *down);
  EXPECT_GE(silence, 11900);
  EXPECT_LT(silence, 13500);

  EXPECT_EQ(mgr_->State(), LinkSearching);
  EXPECT_EQ(mgr_->CurrentIndex(), LinkRowNone);
  EXPECT_EQ(control_.HandlerClears.load(), 1);
  EXPECT_EQ(control_.CloseCalls.load(), 1);
  std::string name = "x";
  mgr_->PortName(name);
  EXPECT_EQ(name, "");
  // The polls went on all the while.
  EXPECT_GE(adapter_.Count(OfType(dral_test::sim::kStatusRequest)), 20u);
  EXPECT_EQ(handlers_.LinkEvents(), (std::vector<uint8_t>{1, 0}));
}

TEST_F(HuxMgrTest, LinkThatClosesIsDroppedAtOnceAndItsQueuedFramesNeverReachTheNextLink) {
  LinkFactoryTable table = Probes();
  table[LinkRowUsb] = Sim();
  control_.OpenHook = [this] { opens_.Add(LinkRowUsb); };
  StartManager(std::move(table));
  ASSERT_TRUE(handlers_.WaitLinkEvent(1, 1, 3000).has_value());
  ASSERT_TRUE(adapter_.WaitForMessage(OfType(dral_test::sim::kVersionRequest), 2000).has_value());

  HuxMessage can{};
  can.Type = MsgCanFrame;
  can.Length = 6;
  control_.WriteLimit.store(0);  // the link takes nothing: the frame stays queued
  ASSERT_TRUE(mgr_->SendMessage(can));
  control_.OpenResult.store(false);
  const size_t opensBefore = opens_.Rows().size();
  control_.LinkUp.store(false);
  const auto lost = Clock::now();
  const auto down = handlers_.WaitLinkEvent(0, 1, 2000);
  ASSERT_TRUE(down.has_value());
  EXPECT_LT(MsBetween(lost, *down), 500);
  EXPECT_EQ(control_.CloseCalls.load(), 1);
  EXPECT_EQ(control_.HandlerClears.load(), 1);
  // The search goes on with the row after the lost one.
  ASSERT_TRUE(opens_.WaitForSize(opensBefore + 2, 2000));
  EXPECT_EQ(opens_.Rows()[opensBefore], LinkRowFtdi);
  EXPECT_EQ(opens_.Rows()[opensBefore + 1], LinkRowWinUsb);

  ASSERT_TRUE(mgr_->SendMessage(can));  // queued while no link is open
  adapter_.ClearRecords();
  control_.WriteLimit.store(-1);
  control_.LinkUp.store(true);
  control_.OpenResult.store(true);
  ASSERT_TRUE(handlers_.WaitLinkEvent(1, 2, 3000).has_value());
  ASSERT_TRUE(adapter_.WaitForMessage(OfType(dral_test::sim::kVersionRequest), 2000).has_value());
  ASSERT_TRUE(mgr_->SendMessage(can));
  ASSERT_TRUE(adapter_.WaitForMessage(OfType(MsgCanFrame), 2000).has_value());
  const Bytes wire = adapter_.BytesFromHost();
  EXPECT_EQ(Bytes(wire.begin(), wire.begin() + 6), kVersionRequestFrame);
  EXPECT_EQ(adapter_.Count(OfType(MsgCanFrame)), 1u);
}

TEST_F(HuxMgrTest, SendersOnThreeThreadsNeverInterleaveFrames) {
  ConnectOver(LinkRowSerial);
  control_.MaxBlock.store(7);
  constexpr int kSenders = 3;
  constexpr uint32_t kPerSender = 300;
  std::atomic<int> failures{0};
  std::vector<std::thread> senders;
  for (int s = 0; s < kSenders; ++s) {
    senders.emplace_back([this, s, &failures] {
      HuxMessage m{};
      m.Type = MsgAdapterCommand00;
      for (uint32_t seq = 0; seq < kPerSender; ++seq) {
        // Sender, sequence number, then 0x7E filler of varying length (escaped on the wire).
        m.Length = static_cast<uint16_t>(5 + seq % 40);
        m.Data[0] = static_cast<uint8_t>(s);
        PutU32(m.Data + 1, seq);
        std::fill(m.Data + 5, m.Data + m.Length, 0x7E);
        if (!SendRetrying(m, 5000)) {
          failures.fetch_add(1);
          return;
        }
      }
    });
  }
  for (auto& t : senders) t.join();
  ASSERT_EQ(failures.load(), 0);
  ASSERT_TRUE(adapter_.WaitForCount(OfType(MsgAdapterCommand00), kSenders * kPerSender, 10000));

  EXPECT_EQ(adapter_.FrameErrors(), 0u);
  std::vector<uint32_t> next(kSenders, 0);
  for (const auto& m : adapter_.Messages(OfType(MsgAdapterCommand00))) {
    ASSERT_GE(m.Data.size(), 5u);
    const int s = m.Data[0];
    ASSERT_LT(s, kSenders);
    const uint32_t seq = GetU32(m.Data.data() + 1);
    ASSERT_EQ(seq, next[s]) << "sender " << s;
    ASSERT_EQ(m.Data.size(), 5 + seq % 40);
    ASSERT_TRUE(std::all_of(m.Data.begin() + 5, m.Data.end(), [](uint8_t b) { return b == 0x7E; }));
    ++next[s];
  }
  EXPECT_GE(mgr_->FramesSent(), kSenders * kPerSender + 1);
}

// --- lifecycle ----------------------------------------------------------------------------------

TEST_F(HuxMgrTest, ManagerWhoseThreadEndedRefusesFramesAndCountsAnError) {
  ConnectOver(LinkRowUsb);
  const uint8_t poll = MsgStatusRequest;
  EXPECT_TRUE(mgr_->Send(&poll, 1));
  mgr_->Terminate();
  ASSERT_TRUE(mgr_->WaitFor(3000));
  EXPECT_EQ(control_.Destroyed.load(), 1) << "the links go with the thread";
  const uint32_t errors = mgr_->FrameErrors();
  EXPECT_FALSE(mgr_->Send(&poll, 1));
  EXPECT_EQ(mgr_->FrameErrors(), errors + 1);
  std::string name = "x";
  mgr_->PortName(name);
  EXPECT_EQ(name, "");
}

TEST_F(HuxMgrTest, ManagerNeverStartedGoesCleanly) {
  mgr_ = std::make_unique<THuxMgr>(true, LinkFactoryTable{});
  EXPECT_EQ(mgr_->State(), LinkStopped);
  const uint8_t poll = MsgStatusRequest;
  EXPECT_TRUE(mgr_->Send(&poll, 1));  // queued: the transmit thread runs from construction
  EXPECT_EQ(mgr_->FramesSent(), 1u);
  mgr_.reset();
}

}  // namespace
}  // namespace dral
