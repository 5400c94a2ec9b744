#include "comport/CPort.h"

#include <cerrno>
#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "testsupport/PtyPair.h"
#include "testsupport/UartDouble.h"
#include "testsupport/test_env.h"
#include "testsupport/test_util.h"

namespace comport {
namespace {

using dral_test::MsSince;
using dral_test::PtyPair;
using Clock = std::chrono::steady_clock;

// Counts the Apply operations that reach the device.
class CountingPort : public TComPort {
 public:
  int DcbApplied = 0;
  int TimeoutsApplied = 0;
  int BufferApplied = 0;
  using TCustomComPort::Device;

 protected:
  void ApplyDCB() override {
    if (CanApply()) ++DcbApplied;
    TComPort::ApplyDCB();
  }
  void ApplyTimeouts() override {
    if (CanApply()) ++TimeoutsApplied;
    TComPort::ApplyTimeouts();
  }
  void ApplyBuffer() override {
    if (CanApply()) ++BufferApplied;
    TComPort::ApplyBuffer();
  }
};

class ComPortTest : public ::testing::Test {
 protected:
  ComPortTest() {
    port_.SetPort(pty_.SlavePath());
    port_.SetEvents({});
  }
  // True when another port object can open the test's device now (it is not held).
  bool DeviceIsFree() {
    TComPort other;
    other.SetPort(pty_.SlavePath());
    other.SetEvents({});
    try {
      other.Open();
    } catch (const EComPort& e) {
      ADD_FAILURE() << e.what();
      return false;
    }
    return true;
  }
  void OpenAndResetCounts() {
    port_.Open();
    port_.DcbApplied = port_.TimeoutsApplied = port_.BufferApplied = 0;
  }
  // Runs `action`, which must raise EComPort, and returns the exception.
  template <typename F>
  static EComPort Raised(F&& action) {
    try {
      action();
    } catch (const EComPort& e) {
      return e;
    }
    ADD_FAILURE() << "no EComPort";
    return EComPort(0);
  }

  dral_test::Watchdog watchdog_{30};
  PtyPair pty_;
  CountingPort port_;
};

TEST(ComPortError, TextsCarryTheSystemCodeWhenThereIsOne) {
  EXPECT_STREQ(EComPort(CError_OpenFailed, 2).what(), "Unable to open com port (win error code: 2)");
  EXPECT_EQ(EComPort(CError_OpenFailed, 2).WinCode(), 2);
  const EComPort plain(CError_ThreadCreated);
  EXPECT_STREQ(plain.what(), "Cannot wait for event if event thread is created");
  EXPECT_EQ(plain.WinCode(), -1);
  EXPECT_EQ(plain.Code(), 20);
  EXPECT_STREQ(EComPort::Text(23), "Registry error");
}

TEST(ComPortEvents, MaskConversionCoversTheTenEvents) {
  EXPECT_EQ(EventsToInt(kAllComEvents), 0x05FFu);
  EXPECT_EQ(IntToEvents(0x05FF), kAllComEvents);
  EXPECT_TRUE(IntToEvents(0x0200).Empty());
}

TEST_F(ComPortTest, OpeningAPortTwiceFailsWithTheOpenCodeAndLeavesTheFirstOpen) {
  port_.Open();
  port_.Open();  // already connected: nothing
  EXPECT_TRUE(port_.Connected());
  TComPort second;
  second.SetPort(pty_.SlavePath());
  const EComPort e = Raised([&] { second.Open(); });
  EXPECT_EQ(e.Code(), CError_OpenFailed);
  EXPECT_EQ(e.WinCode(), EBUSY);
  EXPECT_FALSE(second.Connected());
  EXPECT_TRUE(port_.Connected());
}

TEST_F(ComPortTest, AnUnknownPortNameRaisesTheOpenCodeWithTheSystemError) {
  port_.SetPort("/dev/dral-no-such-port");
  const EComPort e = Raised([&] { port_.Open(); });
  EXPECT_EQ(e.Code(), 1);
  EXPECT_EQ(e.WinCode(), ENOENT);
  EXPECT_EQ(e.Message(), cls::Format("Unable to open com port (win error code: %d)", ENOENT));
  EXPECT_FALSE(port_.Connected());
}

TEST_F(ComPortTest, AFailingApplyDuringOpenLeavesThePortClosedAndTheDeviceFree) {
  port_.SetBaudRate(TBaudRate::brCustom);
  port_.SetCustomBaudRate(0);
  const EComPort e = Raised([&] { port_.Open(); });
  EXPECT_EQ(e.Code(), CError_SetStateFailed);
  EXPECT_EQ(e.WinCode(), EINVAL);
  EXPECT_FALSE(port_.Connected());
  EXPECT_FALSE(port_.Device().IsOpen());
  EXPECT_TRUE(DeviceIsFree());
}

TEST_F(ComPortTest, OpenAppliesAllThreeGroupsAndTheDefaultsReachTheDevice) {
  port_.Open();
  EXPECT_EQ(port_.BufferApplied, 1);
  EXPECT_EQ(port_.DcbApplied, 1);
  EXPECT_EQ(port_.TimeoutsApplied, 1);
  EXPECT_EQ(pty_.SlaveSettings().c_ospeed, 9600u);
  const plat::CommTimeouts t = port_.Device().GetTimeouts();
  EXPECT_EQ(t.ReadIntervalTimeout, plat::kMaxDword);
  EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 100u);
  EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
  EXPECT_EQ(port_.Device().InputQueueSize(), 1024u);
}

TEST_F(ComPortTest, SettingsChangedBetweenBeginAndEndUpdateAreAppliedOnceAtTheEnd) {
  OpenAndResetCounts();
  port_.BeginUpdate();
  port_.BeginUpdate();
  port_.SetBaudRate(TBaudRate::br57600);
  port_.SetStopBits(TStopBits::sbTwoStopBits);
  port_.Timeouts().SetReadTotalConstant(10);
  port_.EndUpdate();
  EXPECT_EQ(port_.DcbApplied, 0);
  EXPECT_EQ(pty_.SlaveSettings().c_ospeed, 9600u);
  port_.EndUpdate();
  EXPECT_EQ(port_.DcbApplied, 1);
  EXPECT_EQ(port_.TimeoutsApplied, 1);
  EXPECT_EQ(port_.BufferApplied, 1);
  EXPECT_EQ(pty_.SlaveSettings().c_ospeed, 57600u);
  EXPECT_TRUE(pty_.SlaveSettings().c_cflag & CSTOPB);
  port_.EndUpdate();  // below zero: nothing
  EXPECT_EQ(port_.DcbApplied, 1);
}

TEST_F(ComPortTest, AnUnchangedValueTouchesNothingAndAChangedOneIsAppliedAtOnce) {
  OpenAndResetCounts();
  port_.SetBaudRate(TBaudRate::br9600);
  port_.Buffer().SetInputSize(1024);
  port_.Timeouts().SetReadInterval(-1);
  EXPECT_EQ(port_.DcbApplied + port_.BufferApplied + port_.TimeoutsApplied, 0);
  port_.SetBaudRate(TBaudRate::br19200);
  EXPECT_EQ(port_.DcbApplied, 1);
  EXPECT_EQ(pty_.SlaveSettings().c_ospeed, 19200u);
}

TEST_F(ComPortTest, ASetterOfAGroupedSettingReappliesItsGroupWhileOpen) {
  OpenAndResetCounts();
  port_.FlowControl().SetFlowControl(TFlowControl::fcSoftware);
  EXPECT_EQ(port_.DcbApplied, 1);
  EXPECT_TRUE(pty_.SlaveSettings().c_iflag & IXON);
  TComFlowControl none;
  port_.SetFlowControl(none);
  EXPECT_EQ(port_.DcbApplied, 2);
  EXPECT_FALSE(pty_.SlaveSettings().c_iflag & IXON);
  port_.Timeouts().SetReadInterval(0);
  EXPECT_EQ(port_.TimeoutsApplied, 1);
  EXPECT_EQ(port_.Device().GetTimeouts().ReadIntervalTimeout, 0u);
  port_.Buffer().SetInputSize(4097);
  EXPECT_EQ(port_.BufferApplied, 1);
  EXPECT_EQ(port_.Device().InputQueueSize(), 4096u);
  // A grouped setting the device cannot take raises the group's code.
  const EComPort e = Raised([&] { port_.FlowControl().SetOutDSRFlow(true); });
  EXPECT_EQ(e.Code(), CError_SetStateFailed);
}

TEST_F(ComPortTest, ACustomRateReachesTheDevice) {
  port_.SetBaudRate(TBaudRate::brCustom);
  port_.SetCustomBaudRate(250000);
  port_.Open();
  EXPECT_EQ(pty_.SlaveSettings().c_ospeed, 250000u);
}

TEST_F(ComPortTest, ReadWithNothingQueuedReturnsZeroAtOnceAndThenWhatCame) {
  port_.Open();
  char buf[64];
  const auto start = Clock::now();
  EXPECT_EQ(port_.Read(buf, sizeof buf), 0);
  EXPECT_LT(MsSince(start), 500);
  pty_.Write("abc");
  ASSERT_TRUE(dral_test::WaitUntil([&] { return port_.InputCount() == 3; }));
  std::string s;
  EXPECT_EQ(port_.ReadStr(s, 10), 3);
  EXPECT_EQ(s, "abc");
  EXPECT_EQ(port_.ReadStr(s, 0), 0);
  EXPECT_EQ(s, "");
  EXPECT_EQ(port_.WriteStr(""), 0);
}

TEST_F(ComPortTest, WrittenBytesArriveAtTheFarEnd) {
  port_.Open();
  EXPECT_EQ(port_.WriteStr("hello"), 5);
  EXPECT_EQ(pty_.ReadExactly(5, 2000), "hello");
}

TEST_F(ComPortTest, APendingWriteSendsItsOwnCopyNotTheCallersBuffer) {
  port_.Open();
  // More than the pseudo-terminal queues: the write stays pending until the far end reads.
  std::string data(256 * 1024, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  const std::string original = data;
  PAsync async = nullptr;
  TCustomComPort::InitAsync(async);
  EXPECT_EQ(port_.WriteAsync(data.data(), static_cast<int32_t>(data.size()), async), 0);
  EXPECT_FALSE(port_.IsAsyncCompleted(async));
  data.assign(data.size(), 'X');  // the caller reuses its buffer
  std::string received;
  std::thread far([&] { received = pty_.ReadExactly(original.size(), 10000); });
  EXPECT_EQ(port_.WaitForAsync(async), static_cast<int32_t>(original.size()));
  far.join();
  TCustomComPort::DoneAsync(async);
  EXPECT_EQ(async, nullptr);
  EXPECT_TRUE(received == original);
}

TEST_F(ComPortTest, OverlappedOperationsRefuseANullRecord) {
  port_.Open();
  PAsync none = nullptr;
  char b = 0;
  EXPECT_EQ(Raised([&] { port_.ReadAsync(&b, 1, none); }).Code(), CError_InvalidAsync);
  EXPECT_EQ(Raised([&] { port_.WaitForAsync(none); }).Code(), CError_InvalidAsync);
  PAsync fresh = nullptr;
  TCustomComPort::InitAsync(fresh);
  EXPECT_EQ(port_.WaitForAsync(fresh), 0);  // started nothing
  TCustomComPort::DoneAsync(fresh);
}

TEST_F(ComPortTest, WaitForEventReturnsNothingAfterItsTimeOutAndTheEventsThatCame) {
  port_.Open();
  TComEvents events{TComEvent::evRxChar};
  auto start = Clock::now();
  port_.WaitForEvent(events, nullptr, 200);
  EXPECT_TRUE(events.Empty());
  EXPECT_GE(MsSince(start), 180);
  EXPECT_LT(MsSince(start), 3000);

  plat::PollEvent stop;
  stop.Set();
  events = TComEvents{TComEvent::evRxChar};
  start = Clock::now();
  port_.WaitForEvent(events, &stop, -1);
  EXPECT_TRUE(events.Empty());
  EXPECT_LT(MsSince(start), 2000);

  pty_.Write("!");
  events = TComEvents{TComEvent::evRxChar, TComEvent::evCTS};
  port_.WaitForEvent(events, nullptr, 5000);
  EXPECT_EQ(events, TComEvents{TComEvent::evRxChar});
}

TEST_F(ComPortTest, WaitForEventIsRefusedWhileTheEventThreadExists) {
  port_.SetEvents(kAllComEvents);
  port_.Open();
  TComEvents events{TComEvent::evRxChar};
  EXPECT_EQ(Raised([&] { port_.WaitForEvent(events, nullptr, 10); }).Code(), CError_ThreadCreated);
}

TEST_F(ComPortTest, CloseWhileAnotherThreadIsBlockedInAReadReturnsPromptly) {
  port_.Timeouts().SetReadInterval(0);  // no time-out at all: the read waits for 8 bytes
  port_.Open();
  std::atomic<int> code{0};
  std::atomic<bool> started{false};
  std::thread reader([&] {
    char buf[8];
    started = true;
    try {
      port_.Read(buf, sizeof buf);
    } catch (const EComPort& e) {
      code = e.Code();
    }
  });
  ASSERT_TRUE(dral_test::WaitUntil([&] { return started.load(); }));
  // Mostly the read is inside its wait by now; a Close that comes first fails it the same way.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto start = Clock::now();
  port_.Close();
  reader.join();
  EXPECT_LT(MsSince(start), 2000);
  EXPECT_EQ(code.load(), CError_ReadFailed);
  EXPECT_FALSE(port_.Connected());
}

TEST_F(ComPortTest, CloseReleasesTheDeviceEvenWhenAStepBeforeFailed) {
  struct Thrower {
    void Fail(TCustomComPort*) { throw std::runtime_error("listener failed"); }
  } thrower;
  port_.Open();
  port_.OnBeforeClose = TCustomComPort::TNotifyEvent::Of<&Thrower::Fail>(&thrower);
  EXPECT_THROW(port_.Close(), std::runtime_error);
  EXPECT_FALSE(port_.Connected());
  EXPECT_FALSE(port_.Device().IsOpen());
  EXPECT_TRUE(DeviceIsFree());
  // The destructor closes without letting the same failure out.
  {
    TComPort doomed;
    doomed.SetPort(pty_.SlavePath());
    doomed.SetEvents({});
    doomed.Open();
    doomed.OnBeforeClose = TCustomComPort::TNotifyEvent::Of<&Thrower::Fail>(&thrower);
  }
  EXPECT_TRUE(DeviceIsFree());
}

TEST_F(ComPortTest, AHungUpDeviceFailsTheReadInsteadOfEndingTheProcess) {
  port_.Open();
  pty_.HangUp();
  char buf[8];
  const EComPort e = Raised([&] { port_.Read(buf, sizeof buf); });
  EXPECT_EQ(e.Code(), CError_ReadFailed);
  EXPECT_EQ(e.WinCode(), EIO);
}

TEST_F(ComPortTest, PropertiesOfTheEventThreadCannotChangeWhileOpen) {
  port_.Open();
  port_.SetSyncMethod(TSyncMethod::smThreadSync);  // unchanged: nothing
  EXPECT_EQ(Raised([&] { port_.SetSyncMethod(TSyncMethod::smNone); }).Code(), CError_ConnChangeProp);
  port_.Close();
  port_.SetSyncMethod(TSyncMethod::smNone);
  EXPECT_EQ(port_.SyncMethod(), TSyncMethod::smNone);
}

TEST_F(ComPortTest, ChangingThePortWhileOpenReopensOnTheNewDevice) {
  PtyPair other;
  port_.Open();
  port_.SetPort(other.SlavePath());
  EXPECT_TRUE(port_.Connected());
  EXPECT_EQ(port_.WriteStr("x"), 1);
  EXPECT_EQ(other.ReadExactly(1, 2000), "x");
  EXPECT_TRUE(DeviceIsFree());  // the old device was released
}

TEST_F(ComPortTest, LinesOfAPseudoTerminalReadAsOffAndErrorsAsNone) {
  port_.Open();
  EXPECT_TRUE(port_.Signals().Empty());
  EXPECT_TRUE(port_.LastErrors().Empty());
  EXPECT_NO_THROW(port_.SetDTR(true));
  EXPECT_NO_THROW(port_.SetRTS(false));
  EXPECT_NO_THROW(port_.ClearBuffer(true, true));
  EXPECT_EQ(port_.OutputCount(), 0);
}

// --- on a device that keeps framing and error counts ---

class ComPortOnUartTest : public ::testing::Test {
 protected:
  ComPortOnUartTest() {
    port_.SetPort(uart_.SlavePath());
    port_.SetEvents({});
    port_.Open();
  }
  dral_test::Watchdog watchdog_{30};
  dral_test::UartDouble uart_;
  TComPort port_;
};

TEST_F(ComPortOnUartTest, EachParitySetThroughThePortReachesTheLineAsItself) {
  constexpr tcflag_t kParityBits = PARENB | PARODD | CMSPAR;
  const struct {
    TParityBits bits;
    tcflag_t line;
  } cases[] = {{TParityBits::prOdd, PARENB | PARODD},
               {TParityBits::prEven, PARENB},
               {TParityBits::prMark, PARENB | PARODD | CMSPAR},
               {TParityBits::prSpace, PARENB | CMSPAR},
               {TParityBits::prNone, 0}};
  for (const auto& c : cases) {
    port_.Parity().SetBits(c.bits);
    EXPECT_EQ(uart_.Framing() & kParityBits, c.line) << ParityToStr(c.bits);
    EXPECT_EQ(uart_.Framing() & CSIZE, static_cast<tcflag_t>(CS8));
  }
}

TEST_F(ComPortOnUartTest, ParityErrorsAreReportedOnlyWhileTheParityIsChecked) {
  port_.Parity().SetBits(TParityBits::prEven);
  uart_.CountParityError();
  uart_.CountFrameError();
  EXPECT_EQ(port_.LastErrors(), TComErrors{TComError::ceFrame});
  port_.Parity().SetCheck(true);
  uart_.CountParityError();
  EXPECT_EQ(port_.LastErrors(), TComErrors{TComError::ceRxParity});
  EXPECT_TRUE(port_.LastErrors().Empty());
}

// --- the device control block ---

TEST(ComPortDcb, DefaultsGiveEightNoneOneBinaryWithoutFlowControl) {
  TComPort port;
  const plat::Dcb d = port.BuildDCB();
  EXPECT_EQ(d.DCBlength, 28u);
  EXPECT_EQ(d.BaudRate, 9600u);
  EXPECT_EQ(d.Flags, plat::kDcbBinary);
  EXPECT_EQ(d.ByteSize, 8);
  EXPECT_EQ(d.Parity, 0);
  EXPECT_EQ(d.StopBits, 0);
  EXPECT_EQ(d.XonLim, 256);
  EXPECT_EQ(d.XoffLim, 256);
  EXPECT_EQ(d.XonChar, 17);
  EXPECT_EQ(d.XoffChar, 19);
  EXPECT_EQ(d.ErrorChar, 0);
}

TEST(ComPortDcb, FlowControlSummariesSetTheirFlags) {
  TComPort port;
  port.FlowControl().SetFlowControl(TFlowControl::fcHardware);
  EXPECT_EQ(port.BuildDCB().Flags,
            plat::kDcbBinary | plat::kDcbOutxCtsFlow | plat::kDcbRtsHandshake);
  port.FlowControl().SetFlowControl(TFlowControl::fcSoftware);
  EXPECT_EQ(port.BuildDCB().Flags, plat::kDcbBinary | plat::kDcbOutX | plat::kDcbInX);
  port.FlowControl().SetFlowControl(TFlowControl::fcNone);
  EXPECT_EQ(port.BuildDCB().Flags, plat::kDcbBinary);
  port.FlowControl().SetControlDTR(TDTRFlowControl::dtrEnable);
  port.FlowControl().SetControlRTS(TRTSFlowControl::rtsToggle);
  port.FlowControl().SetDSRSensitivity(true);
  port.FlowControl().SetTxContinueOnXoff(true);
  port.FlowControl().SetOutDSRFlow(true);
  EXPECT_EQ(port.FlowControl().FlowControl(), TFlowControl::fcCustom);
  EXPECT_EQ(port.BuildDCB().Flags, plat::kDcbBinary | plat::kDcbDtrEnable | plat::kDcbRtsToggle |
                                       plat::kDcbDsrSensitivity | plat::kDcbTxContinueOnXoff |
                                       plat::kDcbOutxDsrFlow);
}

TEST(ComPortDcb, ParityReplacementNeedsChecking) {
  TComPort port;
  port.Parity().SetBits(TParityBits::prSpace);
  port.Parity().SetReplace(true);
  port.Parity().SetReplaceChar('?');
  plat::Dcb d = port.BuildDCB();
  EXPECT_EQ(d.Parity, 4);
  EXPECT_EQ(d.Flags & (plat::kDcbParity | plat::kDcbErrorChar), 0u);
  EXPECT_EQ(d.ErrorChar, 0);
  port.Parity().SetCheck(true);
  d = port.BuildDCB();
  EXPECT_EQ(d.Flags & (plat::kDcbParity | plat::kDcbErrorChar),
            plat::kDcbParity | plat::kDcbErrorChar);
  EXPECT_EQ(d.ErrorChar, '?');
}

TEST(ComPortDcb, RatesSizesAndCharactersComeFromTheirProperties) {
  TComPort port;
  port.SetBaudRate(TBaudRate::brCustom);
  port.SetCustomBaudRate(250000);
  port.SetDataBits(TDataBits::dbFive);
  port.SetStopBits(TStopBits::sbOne5StopBits);
  port.SetDiscardNull(true);
  port.SetEventChar('\n');
  port.Buffer().SetInputSize(4098);
  plat::Dcb d = port.BuildDCB();
  EXPECT_EQ(d.BaudRate, 250000u);
  EXPECT_EQ(d.ByteSize, 5);
  EXPECT_EQ(d.StopBits, 1);
  EXPECT_TRUE(d.Flags & plat::kDcbNull);
  EXPECT_EQ(d.EvtChar, '\n');
  EXPECT_EQ(d.XonLim, 1024);
  port.SetBaudRate(TBaudRate::br256000);
  EXPECT_EQ(port.BuildDCB().BaudRate, 256000u);
  port.SetBaudRate(TBaudRate::br110);
  EXPECT_EQ(port.BuildDCB().BaudRate, 110u);
}

}  // namespace
}  // namespace comport
