#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "comport/CPort.h"
#include "testsupport/PtyPair.h"
#include "testsupport/test_env.h"
#include "testsupport/test_util.h"

namespace comport {
namespace {

using dral_test::PtyPair;

// A port whose notification layer the tests drive directly.
class LinkedPort : public TComPort {
 public:
  using TCustomComPort::CallError;
  using TCustomComPort::CallRxChar;
};

// Writes every notification it gets into one log, tagged with its name.
class Recorder {
 public:
  Recorder(std::vector<std::string>& log, std::string name) : log_(log), name_(std::move(name)) {}

  void Signal(TCustomComPort*, bool on) { log_.push_back(name_ + (on ? " on" : " off")); }
  void Notify(TCustomComPort*) { log_.push_back(name_); }
  void Buffer(TCustomComPort*, const void* data, int32_t count) {
    log_.push_back(name_ + " " + std::string(static_cast<const char*>(data), count));
  }
  void Chars(TCustomComPort*, int32_t count) { log_.push_back(name_ + " " + std::to_string(count)); }

  TComSignalEvent SignalEvent() { return TComSignalEvent::Of<&Recorder::Signal>(this); }
  TNotifyEvent NotifyEvent() { return TNotifyEvent::Of<&Recorder::Notify>(this); }
  TRxBufEvent BufferEvent() { return TRxBufEvent::Of<&Recorder::Buffer>(this); }

 private:
  std::vector<std::string>& log_;
  std::string name_;
};

class ComLinkTest : public ::testing::Test {
 protected:
  ComLinkTest() {
    port_.SetPort(pty_.SlavePath());
    port_.SetEvents({});
  }
  void OpenWithInput(const std::string& bytes) {
    port_.Open();
    pty_.Write(bytes);
    ASSERT_TRUE(dral_test::WaitUntil(
        [&] { return port_.InputCount() == static_cast<int32_t>(bytes.size()); }, 5000));
  }
  static int32_t Code(const std::function<void()>& action) {
    try {
      action();
    } catch (const EComPort& e) {
      return e.Code();
    }
    return 0;
  }

  dral_test::Watchdog watchdog_{30};
  PtyPair pty_;
  LinkedPort port_;
  std::vector<std::string> log_;
};

TEST_F(ComLinkTest, RegistrationTwiceOrOfAStrangerFailsAndChangesNothing) {
  TComLink link, stranger;
  Recorder r(log_, "link");
  link.OnRxBuf = r.BufferEvent();
  port_.RegisterLink(&link);
  EXPECT_TRUE(port_.HasLink());
  EXPECT_FALSE(port_.TriggersOnRxChar());
  EXPECT_EQ(Code([&] { port_.RegisterLink(&link); }), CError_RegFailed);
  EXPECT_EQ(Code([&] { port_.UnRegisterLink(&stranger); }), CError_RegFailed);
  EXPECT_TRUE(port_.HasLink());
  port_.UnRegisterLink(&link);
  EXPECT_FALSE(port_.HasLink());
  EXPECT_TRUE(port_.TriggersOnRxChar());
  EXPECT_EQ(Code([&] { port_.UnRegisterLink(&link); }), CError_RegFailed);
}

TEST_F(ComLinkTest, WithoutBufferListenersTheCountIsReportedAndTheDataStays) {
  Recorder r(log_, "chars");
  port_.OnRxChar = TRxCharEvent::Of<&Recorder::Chars>(&r);
  OpenWithInput("12345");
  port_.CallRxChar();
  EXPECT_EQ(log_, (std::vector<std::string>{"chars 5"}));
  EXPECT_EQ(port_.InputCount(), 5);
}

TEST_F(ComLinkTest, OneReadServesThePortThenEachLinkInOrder) {
  Recorder portSide(log_, "port"), one(log_, "one"), two(log_, "two"), chars(log_, "chars");
  TComLink first, second, quiet;
  first.OnRxBuf = one.BufferEvent();
  second.OnRxBuf = two.BufferEvent();
  port_.OnRxBuf = portSide.BufferEvent();
  port_.OnRxChar = TRxCharEvent::Of<&Recorder::Chars>(&chars);
  port_.RegisterLink(&quiet);
  port_.RegisterLink(&first);
  port_.RegisterLink(&second);
  OpenWithInput("hello");
  port_.CallRxChar();
  EXPECT_EQ(log_, (std::vector<std::string>{"port hello", "one hello", "two hello"}));
  EXPECT_EQ(port_.InputCount(), 0);
  port_.Close();
  port_.UnRegisterLink(&first);
  port_.UnRegisterLink(&second);
  port_.UnRegisterLink(&quiet);
}

TEST_F(ComLinkTest, AShortReadHandsEachLinkExactlyTheBytesRead) {
  // The waiting count includes NUL bytes that the read then drops (DiscardNull).
  Recorder portSide(log_, "port"), one(log_, "one"), two(log_, "two");
  TComLink first, second;
  first.OnRxBuf = one.BufferEvent();
  second.OnRxBuf = two.BufferEvent();
  port_.OnRxBuf = portSide.BufferEvent();
  port_.RegisterLink(&first);
  port_.RegisterLink(&second);
  port_.SetDiscardNull(true);
  OpenWithInput(std::string("a\0b\0", 4));
  port_.CallRxChar();
  EXPECT_EQ(log_, (std::vector<std::string>{"port ab", "one ab", "two ab"}));
  port_.Close();
  port_.UnRegisterLink(&first);
  port_.UnRegisterLink(&second);
}

TEST_F(ComLinkTest, WithTheTriggerOffThePortReadsAloneAndNothingComesForEmptyInput) {
  Recorder portSide(log_, "port"), chars(log_, "chars");
  port_.OnRxBuf = portSide.BufferEvent();
  port_.OnRxChar = TRxCharEvent::Of<&Recorder::Chars>(&chars);
  port_.SetTriggersOnRxChar(false);
  port_.Open();
  port_.CallRxChar();  // nothing waiting: no handler at all
  EXPECT_TRUE(log_.empty());
  pty_.Write("xyz");
  ASSERT_TRUE(dral_test::WaitUntil([&] { return port_.InputCount() == 3; }, 5000));
  port_.CallRxChar();
  EXPECT_EQ(log_, (std::vector<std::string>{"port xyz"}));
}

TEST_F(ComLinkTest, ClosingTurnsTheLinesOffBeforeTheConnectionAndThePortEventsInBetween) {
  Recorder cts(log_, "link cts"), dsr(log_, "link dsr"), rlsd(log_, "link rlsd"),
      conn(log_, "link conn"), pcts(log_, "port cts"), pdsr(log_, "port dsr"),
      prlsd(log_, "port rlsd"), before(log_, "before close"), after(log_, "after close");
  TComLink link;
  link.OnCTSChange = cts.SignalEvent();
  link.OnDSRChange = dsr.SignalEvent();
  link.OnRLSDChange = rlsd.SignalEvent();
  link.OnConn = conn.SignalEvent();
  port_.OnCTSChange = pcts.SignalEvent();
  port_.OnDSRChange = pdsr.SignalEvent();
  port_.OnRLSDChange = prlsd.SignalEvent();
  port_.OnBeforeClose = before.NotifyEvent();
  port_.OnAfterClose = after.NotifyEvent();
  port_.RegisterLink(&link);
  port_.Open();
  // A pseudo-terminal has no modem lines: opening reports them off to both sides.
  EXPECT_EQ(log_, (std::vector<std::string>{"link conn on", "link cts off", "port cts off",
                                            "link dsr off", "port dsr off", "link rlsd off",
                                            "port rlsd off"}));
  log_.clear();
  port_.Close();
  EXPECT_EQ(log_, (std::vector<std::string>{"link cts off", "link dsr off", "link rlsd off",
                                            "port cts off", "port dsr off", "port rlsd off",
                                            "before close", "link conn off", "after close"}));
  port_.UnRegisterLink(&link);
}

TEST_F(ComLinkTest, ErrorsAreReportedOnlyWhenThereAreAny) {
  bool raised = false;
  struct Flag {
    bool* Raised;
    void On(TCustomComPort*, TComErrors) { *Raised = true; }
  } flag{&raised};
  port_.OnError = TComErrorEvent::Of<&Flag::On>(&flag);
  port_.Open();
  port_.CallError();
  EXPECT_FALSE(raised);
}

// A handler that unregisters a later link: the walk under way does not call it any more.
TEST_F(ComLinkTest, ALinkUnregisteredByAHandlerIsNotCalledByTheSameWalk) {
  TComLink first, second;
  Recorder two(log_, "two");
  struct Remover {
    TCustomComPort* Port;
    TComLink* Victim;
    std::vector<std::string>* Log;
    void Buffer(TCustomComPort*, const void*, int32_t) {
      Log->push_back("one");
      Port->UnRegisterLink(Victim);
    }
  } remover{&port_, &second, &log_};
  first.OnRxBuf = TRxBufEvent::Of<&Remover::Buffer>(&remover);
  second.OnRxBuf = two.BufferEvent();
  port_.RegisterLink(&first);
  port_.RegisterLink(&second);
  OpenWithInput("ab");
  port_.CallRxChar();
  EXPECT_EQ(log_, (std::vector<std::string>{"one"}));
  port_.Close();
  port_.UnRegisterLink(&first);
}

// Unregistering from another thread returns only after the handler using the link is done, so
// the owner may free the link right away.
TEST_F(ComLinkTest, UnregisteringWaitsForAHandlerStillRunningOnAnotherThread) {
  std::atomic<bool> entered{false}, unregistered{false}, seenUnregistered{false};
  struct Slow {
    std::atomic<bool>* Entered;
    std::atomic<bool>* Unregistered;
    std::atomic<bool>* SeenUnregistered;
    void Buffer(TCustomComPort*, const void*, int32_t) {
      Entered->store(true);
      // Stays in the handler a while: an unregistration that did not wait would end meanwhile.
      dral_test::WaitUntil([&] { return Unregistered->load(); }, 300);
      SeenUnregistered->store(Unregistered->load());
    }
  } slow{&entered, &unregistered, &seenUnregistered};
  TComLink link;
  link.OnRxBuf = TRxBufEvent::Of<&Slow::Buffer>(&slow);
  port_.RegisterLink(&link);
  OpenWithInput("z");
  std::thread reader([&] { port_.CallRxChar(); });
  ASSERT_TRUE(dral_test::WaitUntil([&] { return entered.load(); }, 5000));
  port_.UnRegisterLink(&link);
  unregistered.store(true);
  reader.join();
  EXPECT_FALSE(seenUnregistered.load());
}

}  // namespace
}  // namespace comport
