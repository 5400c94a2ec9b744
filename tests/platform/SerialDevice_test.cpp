#include "plat/serial_device.h"

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "testsupport/PtyPair.h"
#include "testsupport/test_env.h"
#include "testsupport/test_util.h"

namespace plat {
namespace {

using dral_test::MsSince;
using dral_test::PtyPair;
using Clock = std::chrono::steady_clock;

Dcb Dcb8N1(uint32_t rate) {
  Dcb d;
  d.DCBlength = sizeof(Dcb);
  d.BaudRate = rate;
  d.Flags = kDcbBinary;
  d.ByteSize = 8;
  d.XonChar = 17;
  d.XoffChar = 19;
  return d;
}

CommTimeouts ReadAtOnce() { return {kMaxDword, 0, 0, 100, 1000}; }
CommTimeouts ReadForever() { return {0, 0, 0, 0, 0}; }

class SerialDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(device_.Open(pty_.SlavePath()), 0);
    ASSERT_EQ(device_.SetState(Dcb8N1(9600)), 0);
    ASSERT_EQ(device_.SetTimeouts(ReadAtOnce()), 0);
    ASSERT_EQ(device_.SetupComm(1024, 1024), 0);
  }
  dral_test::Watchdog watchdog_{30};
  PtyPair pty_;
  SerialDevice device_;
};

TEST(SerialDevicePath, PortNamesMapToDevicePaths) {
  EXPECT_EQ(SerialDevice::DevicePath("COM1"), "/dev/ttyS0");
  EXPECT_EQ(SerialDevice::DevicePath("COM12"), "/dev/ttyS11");
  EXPECT_EQ(SerialDevice::DevicePath("Com1"), "/dev/ttyS0");  // port names ignore case
  EXPECT_EQ(SerialDevice::DevicePath("cOM3"), "/dev/ttyS2");
  EXPECT_EQ(SerialDevice::DevicePath("ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(SerialDevice::DevicePath("/dev/serial/by-id/x"), "/dev/serial/by-id/x");
  EXPECT_EQ(SerialDevice::DevicePath("COM0"), "");
  EXPECT_EQ(SerialDevice::DevicePath(""), "");
}

TEST(SerialDeviceOpen, FailsForMissingDevicesAndFilesThatAreNoTerminal) {
  SerialDevice device;
  EXPECT_EQ(device.Open("/dev/dral-no-such-tty"), ENOENT);
  EXPECT_EQ(device.Open("/dev/null"), ENOTTY);
  EXPECT_FALSE(device.IsOpen());
}

TEST_F(SerialDeviceTest, APortThatIsOpenElsewhereIsBusy) {
  SerialDevice second;
  EXPECT_EQ(second.Open(pty_.SlavePath()), EBUSY);
  EXPECT_EQ(device_.Open(pty_.SlavePath()), EISCONN);
  device_.Close();
  EXPECT_EQ(second.Open(pty_.SlavePath()), 0);
}

TEST_F(SerialDeviceTest, LineSettingsReachTheDeviceAtAnyRate) {
  Dcb d = Dcb8N1(250000);
  d.StopBits = kTwoStopBits;
  d.Flags |= kDcbOutX | kDcbInX;
  d.XonChar = 0x01;
  d.XoffChar = 0x02;
  ASSERT_EQ(device_.SetState(d), 0);
  const termios2 t = pty_.SlaveSettings();
  EXPECT_EQ(t.c_ospeed, 250000u);
  EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(BOTHER));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_TRUE(t.c_cflag & CSTOPB);
  EXPECT_TRUE(t.c_cflag & CLOCAL);
  EXPECT_TRUE((t.c_iflag & IXON) && (t.c_iflag & IXOFF));
  EXPECT_EQ(t.c_cc[VSTART], 0x01);
  EXPECT_EQ(t.c_cc[VSTOP], 0x02);

  d = Dcb8N1(115200);
  d.Flags |= kDcbOutxCtsFlow | kDcbRtsHandshake;
  ASSERT_EQ(device_.SetState(d), 0);
  const termios2 u = pty_.SlaveSettings();
  EXPECT_EQ(u.c_ospeed, 115200u);
  EXPECT_TRUE(u.c_cflag & CRTSCTS);
  EXPECT_FALSE(u.c_cflag & CSTOPB);
  EXPECT_FALSE(u.c_iflag & IXON);
}

TEST_F(SerialDeviceTest, AFramingTheDriverDoesNotTakeIsAnErrorNotASilentSuccess) {
  // A pseudo-terminal always frames 8 bits without parity: it keeps neither of these.
  Dcb d = Dcb8N1(9600);
  d.Parity = kMarkParity;
  EXPECT_EQ(device_.SetState(d), EINVAL);
  d = Dcb8N1(9600);
  d.ByteSize = 7;
  EXPECT_EQ(device_.SetState(d), EINVAL);
}

TEST_F(SerialDeviceTest, SettingsTermiosCannotExpressAreRefusedAndChangeNothing) {
  ASSERT_EQ(device_.SetState(Dcb8N1(57600)), 0);
  Dcb d = Dcb8N1(0);
  EXPECT_EQ(device_.SetState(d), EINVAL);
  d = Dcb8N1(9600);
  d.Flags |= kDcbOutxDsrFlow;
  EXPECT_EQ(device_.SetState(d), EINVAL);
  d = Dcb8N1(9600);
  d.Flags |= kDcbRtsToggle;
  EXPECT_EQ(device_.SetState(d), EINVAL);
  d = Dcb8N1(9600);
  d.Flags |= kDcbOutxCtsFlow;  // CTS flow without RTS handshake
  EXPECT_EQ(device_.SetState(d), EINVAL);
  d = Dcb8N1(9600);
  d.StopBits = kOne5StopBits;  // only with 5 data bits
  EXPECT_EQ(device_.SetState(d), EINVAL);
  d = Dcb8N1(9600);
  d.Flags |= kDcbParity | kDcbErrorChar;
  d.ErrorChar = '?';
  EXPECT_EQ(device_.SetState(d), EINVAL);
  EXPECT_EQ(pty_.SlaveSettings().c_ospeed, 57600u);
}

TEST_F(SerialDeviceTest, ReadAtOnceReturnsWhatIsQueuedWithoutWaiting) {
  char buf[64];
  uint32_t done = 99;
  auto start = Clock::now();
  ASSERT_EQ(device_.Read(buf, sizeof buf, &done), 0);
  EXPECT_EQ(done, 0u);
  EXPECT_LT(MsSince(start), 500);

  pty_.Write("hello");
  ASSERT_TRUE(dral_test::WaitUntil([&] {
    ComStat s;
    return device_.ClearCommError(nullptr, &s) == 0 && s.InQue == 5;
  }));
  ASSERT_EQ(device_.Read(buf, sizeof buf, &done), 0);
  EXPECT_EQ(std::string(buf, done), "hello");
}

TEST_F(SerialDeviceTest, ReadWaitsForTheTotalTimeOutAndKeepsWhatCame) {
  ASSERT_EQ(device_.SetTimeouts({0, 0, 300, 0, 0}), 0);
  pty_.Write("ab");
  char buf[16];
  uint32_t done = 0;
  const auto start = Clock::now();
  ASSERT_EQ(device_.Read(buf, sizeof buf, &done), 0);
  const double ms = MsSince(start);
  EXPECT_EQ(std::string(buf, done), "ab");
  EXPECT_GE(ms, 280);
  EXPECT_LT(ms, 3000);
}

TEST_F(SerialDeviceTest, FirstByteModeReturnsAsSoonAsDataCame) {
  ASSERT_EQ(device_.SetTimeouts({kMaxDword, kMaxDword, 5000, 0, 0}), 0);
  std::thread far([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    pty_.Write("x");
  });
  char buf[16];
  uint32_t done = 0;
  const auto start = Clock::now();
  ASSERT_EQ(device_.Read(buf, sizeof buf, &done), 0);
  far.join();
  EXPECT_EQ(done, 1u);
  EXPECT_LT(MsSince(start), 3000);
}

TEST_F(SerialDeviceTest, CloseWakesAReadBlockedInAnotherThread) {
  ASSERT_EQ(device_.SetTimeouts(ReadForever()), 0);
  int result = 0;
  std::thread reader([&] {
    char buf[16];
    uint32_t done = 0;
    result = device_.Read(buf, sizeof buf, &done);
  });
  // The reader is inside the wait once the port is quiet for a while; Close must work either
  // way (before the read starts it fails with EBADF, inside with ECANCELED).
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto start = Clock::now();
  device_.Close();
  reader.join();
  EXPECT_LT(MsSince(start), 2000);
  EXPECT_TRUE(result == ECANCELED || result == EBADF) << result;
  EXPECT_FALSE(device_.IsOpen());
}

TEST_F(SerialDeviceTest, AnAbortingPurgeEndsPendingTransfersButNotLaterOnes) {
  ASSERT_EQ(device_.SetTimeouts(ReadForever()), 0);
  char buf[4];
  SerialTransfer t;
  ASSERT_EQ(device_.StartRead(t, buf, sizeof buf), 0);
  EXPECT_EQ(device_.Continue(t, 0), EINPROGRESS);
  ASSERT_EQ(device_.Purge(kPurgeRxAbort), 0);
  EXPECT_EQ(device_.Continue(t, 1000), ECANCELED);

  pty_.Write("abcd");
  uint32_t done = 0;
  ASSERT_EQ(device_.Read(buf, sizeof buf, &done), 0);
  EXPECT_EQ(std::string(buf, done), "abcd");
}

TEST_F(SerialDeviceTest, AHangUpEndsAReadWithTheBytesItHadAndFailsTheNext) {
  ASSERT_EQ(device_.SetTimeouts(ReadForever()), 0);
  pty_.Write("ok");
  char buf[16];
  SerialTransfer t;
  ASSERT_EQ(device_.StartRead(t, buf, sizeof buf), 0);
  ASSERT_TRUE(dral_test::WaitUntil([&] {
    return device_.Continue(t, 10) == EINPROGRESS && t.Bytes() == 2;
  }));
  pty_.HangUp();
  EXPECT_EQ(device_.Continue(t, 5000), 0);
  EXPECT_EQ(std::string(buf, t.Bytes()), "ok");
  uint32_t done = 0;
  EXPECT_EQ(device_.Read(buf, sizeof buf, &done), EIO);
  EXPECT_EQ(done, 0u);
}

TEST_F(SerialDeviceTest, APseudoTerminalReportsNoLinesAndNoErrors) {
  uint32_t status = 1;
  EXPECT_EQ(device_.GetModemStatus(&status), 0);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(device_.Escape(EscapeFunction::SetDtr), 0);
  EXPECT_EQ(device_.Escape(EscapeFunction::ClrRts), 0);
  pty_.Write("abc");
  ASSERT_TRUE(dral_test::WaitUntil([&] {
    ComStat s;
    return device_.ClearCommError(nullptr, &s) == 0 && s.InQue == 3;
  }));
  uint32_t errors = 1;
  ComStat s;
  EXPECT_EQ(device_.ClearCommError(&errors, &s), 0);
  EXPECT_EQ(errors, 0u);
  // Looking at the queue takes nothing from it.
  char buf[8];
  uint32_t done = 0;
  ASSERT_EQ(device_.Read(buf, sizeof buf, &done), 0);
  EXPECT_EQ(std::string(buf, done), "abc");
}

TEST_F(SerialDeviceTest, DiscardNullDropsNulBytesFromWhatIsRead) {
  Dcb d = Dcb8N1(9600);
  d.Flags |= kDcbNull;
  ASSERT_EQ(device_.SetState(d), 0);
  pty_.Write(std::string("a\0b\0\0c", 6));
  ASSERT_EQ(device_.SetTimeouts({0, 0, 2000, 0, 0}), 0);
  char buf[3];
  uint32_t done = 0;
  ASSERT_EQ(device_.Read(buf, sizeof buf, &done), 0);
  EXPECT_EQ(std::string(buf, done), "abc");
}

TEST_F(SerialDeviceTest, AReadNeverWaitsForTheNulBytesItDropped) {
  // The queue counts the NUL bytes: a read of that count gets fewer bytes and ends at once.
  Dcb d = Dcb8N1(9600);
  d.Flags |= kDcbNull;
  ASSERT_EQ(device_.SetState(d), 0);
  ASSERT_EQ(device_.SetTimeouts({0, 0, 3000, 0, 0}), 0);
  pty_.Write(std::string("a\0b", 3));
  ASSERT_TRUE(dral_test::WaitUntil([&] {
    ComStat s;
    return device_.ClearCommError(nullptr, &s) == 0 && s.InQue == 3;
  }));
  char buf[3];
  uint32_t done = 0;
  const auto start = Clock::now();
  ASSERT_EQ(device_.Read(buf, sizeof buf, &done), 0);
  EXPECT_LT(MsSince(start), 1500);
  EXPECT_EQ(std::string(buf, done), "ab");
}

TEST_F(SerialDeviceTest, APendingWriteGoesOnWhileItsOwnerWaitsForARead) {
  // The far end answers once it has the whole message; the owner waits only for the answer.
  ASSERT_EQ(device_.SetTimeouts({0, 0, 8000, 0, 0}), 0);
  const std::string message(256 * 1024, 'w');
  std::string arrived;
  std::thread far([&] {
    arrived = pty_.ReadExactly(message.size(), 15000);
    if (arrived.size() == message.size()) pty_.Write("ok");
  });
  SerialTransfer write;
  ASSERT_EQ(device_.StartWrite(write, message.data(), static_cast<uint32_t>(message.size())), 0);
  EXPECT_FALSE(write.Finished()) << "larger than the pseudo-terminal's buffer";
  SerialTransfer read;
  char answer[2];
  ASSERT_EQ(device_.StartRead(read, answer, sizeof answer), 0);
  EXPECT_EQ(device_.Continue(read, kMaxDword), 0);
  EXPECT_EQ(std::string(answer, read.Bytes()), "ok");
  EXPECT_EQ(device_.Continue(write, 5000), 0);
  EXPECT_EQ(write.Bytes(), message.size());
  far.join();
  EXPECT_EQ(arrived.size(), message.size());
}

TEST_F(SerialDeviceTest, PendingWritesLeaveInOrderAndCloseCancelsTheRest) {
  const std::string first(256 * 1024, '1');
  SerialTransfer a, b;
  ASSERT_EQ(device_.StartWrite(a, first.data(), static_cast<uint32_t>(first.size())), 0);
  ASSERT_EQ(device_.StartWrite(b, "22", 2), 0);
  const std::string arrived = pty_.ReadExactly(first.size() + 2, 15000);
  EXPECT_EQ(arrived.size(), first.size() + 2);
  EXPECT_EQ(arrived.find('2'), first.size()) << "the second write went ahead";
  EXPECT_EQ(device_.Continue(b, 5000), 0);
  EXPECT_EQ(a.Bytes(), first.size());

  SerialTransfer stuck;  // the far end reads no more: it stays pending until the close
  ASSERT_EQ(device_.StartWrite(stuck, first.data(), static_cast<uint32_t>(first.size())), 0);
  ASSERT_FALSE(stuck.Finished());
  device_.Close();
  EXPECT_TRUE(stuck.Finished());
  EXPECT_EQ(device_.Continue(stuck, 0), ECANCELED);
}

// A queued write's time-out runs from its turn, also when the write before it leaves by being
// forgotten rather than by finishing.
TEST_F(SerialDeviceTest, AWriteWhoseTurnComesByAForgottenOneGetsItsWholeTimeOut) {
  constexpr uint32_t kTimeOutMs = 3000;
  const std::string first(256 * 1024, '1');
  auto a = std::make_unique<SerialTransfer>();
  ASSERT_EQ(device_.SetTimeouts({kMaxDword, 0, 0, 0, 0}), 0);  // the first never times out
  ASSERT_EQ(device_.StartWrite(*a, first.data(), static_cast<uint32_t>(first.size())), 0);
  ASSERT_FALSE(a->Finished()) << "larger than the pseudo-terminal's buffer";
  ASSERT_EQ(device_.SetTimeouts({kMaxDword, 0, 0, 0, kTimeOutMs}), 0);
  SerialTransfer b;
  ASSERT_EQ(device_.StartWrite(b, "22", 2), 0);
  // Longer than the second's time-out from its start: only a time-out from its turn is left.
  std::this_thread::sleep_for(std::chrono::milliseconds(kTimeOutMs + 100));
  const uint32_t sent = a->Bytes();  // the far end reads nothing: no more goes out
  a.reset();                         // forgotten: the second write's turn
  EXPECT_EQ(device_.Continue(b, 500), EINPROGRESS) << "timed out from its start";
  const std::string arrived = pty_.ReadExactly(sent + 2, 5000);
  EXPECT_EQ(device_.Continue(b, 5000), 0);
  EXPECT_EQ(b.Bytes(), 2u);
  EXPECT_EQ(arrived.substr(arrived.size() - 2), "22");
}

TEST_F(SerialDeviceTest, AWriteThatRunsOutOfTimeCountsWhatTheFarEndCanRead) {
  // The far end reads nothing: the pty's queue fills and the write times out.
  ASSERT_EQ(device_.SetTimeouts({kMaxDword, 0, 0, 0, 200}), 0);
  const std::string data(1 << 20, 'w');
  uint32_t done = 0;
  const auto start = Clock::now();
  ASSERT_EQ(device_.Write(data.data(), static_cast<uint32_t>(data.size()), &done), 0);
  EXPECT_GE(MsSince(start), 180);
  EXPECT_GT(done, 0u);
  EXPECT_LT(done, data.size());
  EXPECT_EQ(pty_.ReadExactly(done + 1, 1000).size(), done);
}

TEST_F(SerialDeviceTest, WaitCommEventEndsOnDataOnTimeOutAndOnTheStopEvent) {
  uint32_t occurred = 1;
  auto start = Clock::now();
  ASSERT_EQ(device_.WaitCommEvent(kEvRxChar | kEvCts, &occurred, nullptr, 200), 0);
  EXPECT_EQ(occurred, 0u);
  EXPECT_GE(MsSince(start), 180);

  PollEvent stop;
  stop.Set();
  start = Clock::now();
  ASSERT_EQ(device_.WaitCommEvent(kEvRxChar, &occurred, &stop, 5000), 0);
  EXPECT_EQ(occurred, 0u);
  EXPECT_LT(MsSince(start), 2000);

  std::thread far([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    pty_.Write("z");
  });
  ASSERT_EQ(device_.WaitCommEvent(kEvRxChar, &occurred, nullptr, 5000), 0);
  far.join();
  EXPECT_EQ(occurred, kEvRxChar);
}

// The event thread keeps one watch between its waits: bytes left queued are not news again (or
// the thread would spin while the application has not read them), new bytes and a drained
// write are, and the event character shows once a read took it.
TEST_F(SerialDeviceTest, AKeptWatchReportsChangesOnceAndTheEventCharacterOnceRead) {
  SerialDevice::EventWatch watch;
  const uint32_t mask = kEvRxChar | kEvRxFlag | kEvTxEmpty | kEvRx80Full;
  Dcb dcb = Dcb8N1(9600);
  dcb.EvtChar = '\n';
  ASSERT_EQ(device_.SetState(dcb), 0);
  ASSERT_EQ(device_.SetupComm(10, 10), 0);  // 8 queued bytes fill it to 80 %
  uint32_t occurred = 0;
  const auto queued = [&](uint32_t count) {
    return dral_test::WaitUntil([&] {
      ComStat stat;
      return device_.ClearCommError(nullptr, &stat) == 0 && stat.InQue == count;
    });
  };
  pty_.Write("ab\n");
  ASSERT_TRUE(queued(3));
  ASSERT_EQ(device_.WaitCommEvent(mask, &occurred, nullptr, 5000, watch), 0);
  EXPECT_EQ(occurred, kEvRxChar);
  ASSERT_EQ(device_.WaitCommEvent(mask, &occurred, nullptr, 100, watch), 0);
  EXPECT_EQ(occurred, 0u) << "queued bytes were reported twice";

  pty_.Write("cdefg");
  ASSERT_TRUE(queued(8));
  ASSERT_EQ(device_.WaitCommEvent(mask, &occurred, nullptr, 5000, watch), 0);
  EXPECT_EQ(occurred, kEvRxChar | kEvRx80Full);

  char buf[16];
  uint32_t done = 0;
  ASSERT_EQ(device_.Read(buf, sizeof buf, &done), 0);
  ASSERT_EQ(done, 8u);
  ASSERT_EQ(device_.WaitCommEvent(mask, &occurred, nullptr, 5000, watch), 0);
  EXPECT_EQ(occurred, kEvRxFlag);

  // A refill to the same count after a read is news, and so is a write that left.
  pty_.Write("x");
  ASSERT_EQ(device_.WaitCommEvent(mask, &occurred, nullptr, 5000, watch), 0);
  EXPECT_EQ(occurred, kEvRxChar);
  ASSERT_EQ(device_.Write("out", 3, &done), 0);
  ASSERT_EQ(device_.WaitCommEvent(mask, &occurred, nullptr, 5000, watch), 0);
  EXPECT_EQ(occurred, kEvTxEmpty);
  EXPECT_EQ(pty_.ReadExactly(3, 1000), "out");

  // A pseudo-terminal has no modem lines nor error counts: those never come.
  ASSERT_EQ(device_.WaitCommEvent(kEvCts | kEvDsr | kEvRlsd | kEvRing | kEvBreak | kEvErr,
                                  &occurred, nullptr, 100, watch),
            0);
  EXPECT_EQ(occurred, 0u);
  pty_.HangUp();
  EXPECT_EQ(device_.WaitCommEvent(mask, &occurred, nullptr, 5000, watch), EIO);
}

}  // namespace
}  // namespace plat
