#include "comport/CPortCtlTerm.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QKeyEvent>
#include <QScrollBar>
#include <memory>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "TerminalTestUtil.h"
#include "classlib/Stream.h"
#include "testsupport/PtyPair.h"
#include "testsupport/QtInput.h"
#include "testsupport/test_env.h"

namespace comport {
namespace {

using comport_test::Shoot;
using comport_test::TestTerminal;
using comport_test::WaitServing;
using dral_test::PtyPair;

constexpr TColor kWhite = 0xFFFFFF;
constexpr TColor kBlack = 0x000000;
constexpr TColor kGrey = 0xA6A6A6;

class TerminalTest : public ::testing::Test {
 protected:
  QPoint Caret() const { return t_.CaretPos(); }
  dral_test::Watchdog watchdog_{30};
  TestTerminal t_;
};

TEST_F(TerminalTest, ATerminalMadeInCodeIsUsableAtOnce) {
  ASSERT_NE(t_.EscapeCodes(), nullptr);
  EXPECT_EQ(t_.Buffer().Columns(), 80);
  EXPECT_EQ(t_.Buffer().Rows(), 24);
  t_.WriteStr("\033[2;3Hhi");
  EXPECT_EQ(t_.Row(2), "  hi");
}

TEST_F(TerminalTest, TheLastColumnIsOverwrittenWithoutWrapAndWrapsAndScrollsWithIt) {
  t_.WriteStr(std::string(80, 'a') + "Z");
  EXPECT_EQ(t_.Row(1), std::string(79, 'a') + "Z");
  EXPECT_EQ(Caret(), QPoint(80, 1));
  t_.ClearScreen();
  t_.SetWrapLines(true);
  t_.WriteStr("top\033[24;80HXY");
  EXPECT_EQ(t_.Row(1), "");  // "top" went up and out
  EXPECT_EQ(t_.Row(23), std::string(79, ' ') + "X");
  EXPECT_EQ(t_.Row(24), "Y");
  EXPECT_EQ(Caret(), QPoint(2, 24));
}

TEST_F(TerminalTest, LineFeedOnTheLastRowScrollsAndCarriageReturnNever) {
  t_.WriteStr("first\033[24;7Hlast\n");
  EXPECT_EQ(Caret(), QPoint(11, 24));
  EXPECT_EQ(t_.Row(23), "      last");
  EXPECT_EQ(t_.Buffer().GetLastLine(), 23);
  t_.WriteStr("\r\r");
  EXPECT_EQ(Caret(), QPoint(1, 24));
  EXPECT_EQ(t_.Row(23), "      last");
}

TEST_F(TerminalTest, CaretMovesStayOnTheScreen) {
  t_.WriteStr("\033[1;75H\t");
  EXPECT_EQ(Caret(), QPoint(75, 1));
  t_.WriteStr("\033[5;10H");
  EXPECT_EQ(Caret(), QPoint(10, 5));
  t_.WriteStr("\033[99;999H");
  EXPECT_EQ(Caret(), QPoint(80, 24));
  t_.WriteStr("\033[9999A\033[9999D\b\b");
  EXPECT_EQ(Caret(), QPoint(1, 1));
  t_.WriteStr("x");
  EXPECT_EQ(t_.Row(1), "x");
  t_.WriteStr("\033[3;4H\0337\033[24;80H\0338\033[6n");
  EXPECT_EQ(Caret(), QPoint(4, 3));
}

TEST_F(TerminalTest, ColumnModeClearsTheScreenAndHomesTheCaret) {
  t_.WriteStr("text\033[?3h");
  EXPECT_EQ(t_.Columns(), 132);
  EXPECT_EQ(t_.Buffer().Columns(), 132);
  EXPECT_EQ(t_.Buffer().GetLastLine(), 0);
  t_.WriteStr("\033[1;120H\0337\033[?3l");
  EXPECT_EQ(t_.Columns(), 80);
  EXPECT_EQ(Caret(), QPoint(1, 1));
  t_.WriteStr("\0338ok");  // the saved caret was homed as well
  EXPECT_EQ(t_.Row(1), "ok");
}

TEST_F(TerminalTest, AttributesColourTheCells) {
  t_.WriteStr("\033[1;4mB\033[mN\033[7mI\033[1;7mX\033[;4mU");
  const TComTermChar bold = t_.Buffer().GetChar(1, 1);
  EXPECT_EQ(bold.FrontColor, kGrey);
  EXPECT_EQ(bold.BackColor, kBlack);
  EXPECT_TRUE(bold.Underline);
  const TComTermChar normal = t_.Buffer().GetChar(2, 1);
  EXPECT_EQ(normal.FrontColor, kWhite);
  EXPECT_FALSE(normal.Underline);
  const TComTermChar inverse = t_.Buffer().GetChar(3, 1);
  EXPECT_EQ(inverse.FrontColor, kBlack);
  EXPECT_EQ(inverse.BackColor, kWhite);
  // Bold picks the text colour, inverse then swaps it with the background.
  const TComTermChar boldInverse = t_.Buffer().GetChar(4, 1);
  EXPECT_EQ(boldInverse.FrontColor, kBlack);
  EXPECT_EQ(boldInverse.BackColor, kGrey);
  // An empty item resets: only underline is left.
  const TComTermChar underline = t_.Buffer().GetChar(5, 1);
  EXPECT_EQ(underline.FrontColor, kWhite);
  EXPECT_TRUE(underline.Underline);
}

TEST_F(TerminalTest, ReceivedDataGoesThroughAppendLFAndTheStringHandler) {
  std::string seen;
  struct Spy {
    std::string* seen;
    void OnStr(TCustomComTerminal*, std::string& s) {
      *seen += s;
      if (s == "secret") s = "public";
    }
  } spy{&seen};
  t_.OnStrRecieved = TCustomComTerminal::TStrRecvEvent::Of<&Spy::OnStr>(&spy);
  t_.SetAppendLF(true);
  t_.Receive("a\r\nb\r");
  EXPECT_EQ(seen, "a\r\n\nb\r\n");
  EXPECT_EQ(t_.Row(3), "b");
  t_.Receive("secret");
  EXPECT_EQ(t_.Row(4), "public");
  t_.SetForce7Bit(true);
  t_.Receive("\xc1");
  EXPECT_EQ(t_.Buffer().GetChar(7, 4).Ch, 'A');
}

TEST_F(TerminalTest, DataReceivedOnAnotherThreadIsShownOnTheWindowThread) {
  std::thread([&] { t_.Receive("from the event thread"); }).join();
  EXPECT_EQ(t_.Row(1), "");
  EXPECT_TRUE(WaitServing([&] { return t_.Row(1) == "from the event thread"; }));
}

TEST_F(TerminalTest, AFailureWithDataFromAnotherThreadStaysOutOfTheEventLoop) {
  struct Spy {
    void OnStr(TCustomComTerminal*, std::string& s) {
      if (s == "bad") throw std::runtime_error("handler failed");
    }
  } spy;
  t_.OnStrRecieved = TCustomComTerminal::TStrRecvEvent::Of<&Spy::OnStr>(&spy);
  std::thread([&] {
    t_.Receive("bad");
    t_.Receive("good");
  }).join();
  EXPECT_TRUE(WaitServing([&] { return t_.Row(1) == "good"; }));
}

TEST_F(TerminalTest, UnknownCodesReachTheHandlerWithTheirCharacters) {
  struct Spy {
    std::vector<std::string> data;
    void OnCode(TCustomComTerminal*, TEscapeCode code, const std::string& d) {
      if (code == TEscapeCode::ecUnknown) data.push_back(d);
    }
  } spy;
  t_.OnUnhandledCode = TCustomComTerminal::TUnhandledEvent::Of<&Spy::OnCode>(&spy);
  t_.WriteStr("\033[4@A\033[25JB");
  EXPECT_EQ(spy.data, (std::vector<std::string>{"[4@", "[25J"}));
  EXPECT_EQ(t_.Row(1), "AB");
}

TEST_F(TerminalTest, AnUnhandledCodeHandlerMayReplaceTheParserAndStillReadTheCode) {
  // The handler's natural reaction to a code: switching the emulation, which frees the parser
  // that found it. The data it was given stays valid.
  struct Switcher {
    TestTerminal* terminal;
    std::vector<std::string> data;
    void OnCode(TCustomComTerminal*, TEscapeCode, const std::string& d) {
      terminal->SetEmulation(TTermEmulation::teVT52);
      data.push_back(d);
    }
  } switcher{&t_, {}};
  t_.OnUnhandledCode = TCustomComTerminal::TUnhandledEvent::Of<&Switcher::OnCode>(&switcher);
  const std::string code = "[1;2;3;4;5;6;7;8;9;10;11;12;13@";
  t_.WriteStr("\033" + code + "A\033Y%%B");  // ESC Y moves a VT52 to row and column '%' - 31
  EXPECT_EQ(switcher.data, (std::vector<std::string>{code}));
  EXPECT_EQ(t_.Row(1), "A");
  EXPECT_EQ(t_.Row(6), "     B");
}

TEST_F(TerminalTest, DesignModeDropsTheParserAndRunTimeMakesItAgain) {
  t_.SetDesigning(true);
  EXPECT_EQ(t_.EscapeCodes(), nullptr);
  t_.SetDesigning(false);
  ASSERT_NE(t_.EscapeCodes(), nullptr);
  t_.WriteStr("\033[2;3Hhi");
  EXPECT_EQ(t_.Row(2), "  hi");
}

TEST_F(TerminalTest, KeysWithoutTextDoNothing) {
  t_.resize(200, 120);  // a view smaller than the screen: the scroll bars have a range
  t_.show();
  ASSERT_GT(t_.verticalScrollBar()->maximum(), 0);
  for (const int key : {Qt::Key_PageDown, Qt::Key_End, Qt::Key_F1}) dral_test::Key(&t_, key);
  EXPECT_EQ(t_.verticalScrollBar()->value(), 0);
  EXPECT_EQ(t_.TopLeft(), QPoint(1, 1));
}

TEST_F(TerminalTest, SaveToStreamWritesTheRowsAndLoadReadsOnlyToTheEnd) {
  t_.WriteStr("AB\r\n\r\nC");
  cls::TMemoryStream out;
  t_.SaveToStream(out);
  EXPECT_EQ(std::string(out.Memory().begin(), out.Memory().end()), "AB\r\n\r\nC");
  t_.ClearScreen();
  cls::TMemoryStream in;
  in.Write("xy\033z", 4);
  in.SetPosition(2);
  t_.LoadFromStream(in);
  // The ESC is no sequence here: control characters other than the four are dropped.
  EXPECT_EQ(t_.Row(1), "z");
  EXPECT_EQ(in.Position(), in.Size());
  TestTerminal empty;
  cls::TMemoryStream none;
  empty.SaveToStream(none);
  EXPECT_EQ(none.Size(), 0);
}

TEST_F(TerminalTest, ANonFixedPitchFontGivesWayToTheFixedFamily) {
  QFont proportional = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  proportional.setUnderline(true);
  t_.setFont(proportional);
  EXPECT_FALSE(t_.font().underline());
  if (!QFontInfo(proportional).fixedPitch()) {
    EXPECT_EQ(t_.font().family(), DefaultFont().family());
  }
  EXPECT_GE(t_.FontWidth(), 1);
  EXPECT_GE(t_.FontHeight(), 1);
}

// A terminal on an open port: what it sends arrives at the far end of a pseudo-terminal.
class TerminalOnPortTest : public TerminalTest {
 protected:
  TerminalOnPortTest() {
    port_.SetPort(pty_.SlavePath());
    port_.SetEvents({});
    port_.Open();
    t_.SetComPort(&port_);
  }
  ~TerminalOnPortTest() override { t_.SetComPort(nullptr); }
  void Key(int key) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(&t_, &press);
  }
  PtyPair pty_;
  TComPort port_;
};

TEST_F(TerminalOnPortTest, RepliesToReportsReachThePort) {
  t_.WriteStr("\033[5;10H\033[6n");
  EXPECT_EQ(pty_.ReadExactly(7, 2000), "\033[5;10R");
  t_.WriteStr("\033[c");
  EXPECT_EQ(pty_.ReadExactly(7, 2000), "\033[?1;2c");
  t_.WriteStr("\033[5n");
  EXPECT_EQ(pty_.ReadExactly(4, 2000), "\033[0n");
}

TEST_F(TerminalOnPortTest, ArrowKeysSendOrMoveByMode) {
  Key(Qt::Key_Up);
  EXPECT_EQ(pty_.ReadExactly(3, 2000), "\033[A");
  t_.SetArrowKeys(TArrowKeys::akWindows);
  t_.WriteStr("\033[5;5H");
  Key(Qt::Key_Left);
  Key(Qt::Key_Down);
  EXPECT_EQ(Caret(), QPoint(4, 6));
  EXPECT_EQ(pty_.Read(16, 100), "");
  t_.WriteStr("\033[?1h");  // application cursor keys: sent whatever ArrowKeys says
  Key(Qt::Key_Up);
  Key(Qt::Key_Home);
  EXPECT_EQ(pty_.Read(16, 1000), "\033OA");
  EXPECT_EQ(Caret(), QPoint(4, 6));
}

TEST_F(TerminalOnPortTest, TabIsSentOnlyWithWantTab) {
  // No other widget can take the focus: without WantTab the key still goes nowhere.
  dral_test::Key(&t_, Qt::Key_Tab, "\t");
  dral_test::Key(&t_, Qt::Key_A, "a");
  EXPECT_EQ(pty_.ReadExactly(1, 2000), "a");
  t_.SetWantTab(true);
  dral_test::Key(&t_, Qt::Key_Tab, "\t");
  EXPECT_EQ(pty_.ReadExactly(1, 2000), "\t");
}

TEST_F(TerminalOnPortTest, TypedCharactersAreSentAndEchoedWithLineFeeds) {
  t_.SetLocalEcho(true);
  t_.SetSendLF(true);
  QKeyEvent a(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
  QApplication::sendEvent(&t_, &a);
  QKeyEvent ret(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r");
  QApplication::sendEvent(&t_, &ret);
  EXPECT_EQ(pty_.ReadExactly(3, 2000), "a\r\n");
  EXPECT_EQ(t_.Row(1), "a");
  EXPECT_EQ(Caret(), QPoint(1, 2));
}

TEST_F(TerminalTest, FreeingTheBoundPortUnbindsTheTerminal) {
  PtyPair pty;
  auto port = std::make_unique<TComPort>();
  port->SetPort(pty.SlavePath());
  port->SetEvents({});
  port->Open();
  t_.SetComPort(port.get());
  port.reset();
  EXPECT_EQ(t_.ComPort(), nullptr);
  EXPECT_FALSE(t_.Connected());
  t_.SendChar('a');  // no port: nothing is sent
}

// Raises the port's received-data dispatch on the caller's thread, as the event thread's
// synchronised dispatch does on the main thread.
class DispatchingPort : public TComPort {
 public:
  using TCustomComPort::CallRxChar;
};

TEST(TerminalOnPseudoTerminal, ShowsWhatThePeerWrites) {
  dral_test::Watchdog watchdog(30);
  PtyPair pty;
  DispatchingPort port;
  port.SetPort(pty.SlavePath());
  port.SetEvents({});
  port.Open();
  TestTerminal t;
  t.SetComPort(&port);
  t.show();
  t.setFocus();
  pty.Write("\033[2J\033[1;1HHello from the peer\r\n\033[1;4mbold underlined\033[m and "
            "\033[7minverse\033[m\r\n\tTab");
  ASSERT_TRUE(WaitServing([&] {
    if (port.InputCount() > 0) port.CallRxChar();
    return t.Row(3) == "        Tab";
  }));
  EXPECT_EQ(t.Row(1), "Hello from the peer");
  EXPECT_EQ(t.Row(2), "bold underlined and inverse");
  const QImage image = Shoot(t, "Terminal.png");
  EXPECT_FALSE(image.isNull());
  t.SetComPort(nullptr);
}

// The same through the port's own event thread and its synchronised dispatch.
TEST(TerminalOnPseudoTerminal, ShowsWhatThePeerWritesThroughTheEventThread) {
  dral_test::Watchdog watchdog(30);
  PtyPair pty;
  TComPort port;
  port.SetPort(pty.SlavePath());
  port.SetSyncMethod(TSyncMethod::smThreadSync);
  port.SetEvents({TComEvent::evRxChar});
  TestTerminal t;
  t.SetComPort(&port);
  port.Open();
  pty.Write("line one\r\nline two");
  EXPECT_TRUE(WaitServing([&] { return t.Row(2) == "line two"; }));
  EXPECT_EQ(t.Row(1), "line one");
  port.Close();
  t.SetComPort(nullptr);
}

}  // namespace
}  // namespace comport
