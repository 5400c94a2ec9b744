#include "comport/CPortLed.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "ComportUiTestUtil.h"
#include "classlib/synchronize.h"
#include "testsupport/test_env.h"
#include "testsupport/test_util.h"

namespace comport {
namespace {

using comport_test::Render;
using comport_test::TestPort;
using dral_test::MsSince;
using dral_test::PtyPair;
using dral_test::WaitUntil;

QImage Resource(const char* name) {
  return LedResource(name).toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

// The 15 x 15 image drawn at `pos` in the lamp's rendering.
QImage Drawn(TComLed& led, QPoint pos = {5, 5}) {
  return Render(led).copy(QRect(pos, QSize(15, 15)));
}

bool AllTransparent(const QImage& image) {
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      if (qAlpha(image.pixel(x, y)) != 0) return false;
    }
  }
  return true;
}

class ComLedTest : public dral_test::IsolatedTest {
 protected:
  // Records every OnChange.
  void Watch(TComLed& led) {
    led.OnChange = [this](TComLed*, TLedState s) { changes_.push_back(s); };
  }
  PtyPair pty_;
  std::vector<TLedState> changes_;
};

TEST_F(ComLedTest, ANewLampIsDarkRedCentredAndLightsWhenSetOn) {
  TComLed led;
  Watch(led);
  EXPECT_EQ(led.size(), QSize(25, 25));
  EXPECT_EQ(led.State(), TLedState::lsOff);
  EXPECT_EQ(Drawn(led), Resource("LEDREDOFF"));
  led.SetState(TLedState::lsOn);
  EXPECT_EQ(Drawn(led), Resource("LEDREDON"));
  EXPECT_EQ(changes_, std::vector<TLedState>{TLedState::lsOn});
  // Every assignment is reported, also one that changes nothing.
  led.SetState(TLedState::lsOn);
  EXPECT_EQ(changes_.size(), 2u);
}

TEST_F(ComLedTest, ADisabledLampShowsTheOffImage) {
  TComLed led;
  led.SetKind(TLedKind::lkGreenLight);
  led.SetState(TLedState::lsOn);
  led.setEnabled(false);
  EXPECT_EQ(Drawn(led), Resource("LEDGREENOFF"));
  led.setEnabled(true);
  EXPECT_EQ(Drawn(led), Resource("LEDGREENON"));
}

TEST_F(ComLedTest, UserImagesCountOnlyForTheCustomKind) {
  TComLed led;
  QPixmap big(40, 40);
  big.fill(Qt::blue);
  {
    // The bottom-left pixel's colour is the transparent one.
    QPainter p(&big);
    p.fillRect(0, 0, 1, 1, Qt::red);
  }
  led.SetGlyphOn(big);
  EXPECT_TRUE(led.GlyphOn().isNull());
  led.SetKind(TLedKind::lkCustom);
  led.SetState(TLedState::lsOn);
  EXPECT_TRUE(AllTransparent(Render(led))) << "no images, nothing drawn";
  led.SetGlyphOn(big);
  led.SetGlyphOff(big);
  // Larger than the control: drawn from the top-left corner, the blue background left out.
  const QImage drawn = Render(led);
  EXPECT_EQ(drawn.pixel(0, 0), qRgb(255, 0, 0));
  EXPECT_EQ(qAlpha(drawn.pixel(10, 10)), 0);
  // Back to a colour: its own images again.
  led.SetKind(TLedKind::lkBulb);
  EXPECT_EQ(Drawn(led), Resource("LEDBULBON"));
}

TEST_F(ComLedTest, TheStateBelongsToTheBoundPort) {
  TestPort port(pty_);
  TComLed led;
  led.SetState(TLedState::lsOn);
  // A closed port shows a dark lamp.
  led.SetComPort(&port);
  EXPECT_EQ(led.State(), TLedState::lsOff);
  try {
    led.SetState(TLedState::lsOn);
    FAIL() << "no exception";
  } catch (const EComPort& e) {
    EXPECT_EQ(e.Code(), CError_LedStateFailed);
  }
  EXPECT_EQ(led.State(), TLedState::lsOff);
}

TEST_F(ComLedTest, TheConnectionLampFollowsOpenAndClose) {
  TestPort port(pty_);
  port.Open();
  TComLed led;
  Watch(led);
  led.SetComPort(&port);
  EXPECT_EQ(led.State(), TLedState::lsOn) << "an open port lights the lamp at once";
  port.Close();
  EXPECT_EQ(led.State(), TLedState::lsOff);
  port.Open();
  EXPECT_EQ(led.State(), TLedState::lsOn);
  // Another signal is read from the port at once: a pseudo-terminal has no modem lines.
  led.SetLedSignal(TComLedSignal::lsCTS);
  EXPECT_EQ(led.State(), TLedState::lsOff);
  port.SendSignalToLink(TComLinkEvent::leConn, false);
  port.SendSignalToLink(TComLinkEvent::leCTS, true);
  EXPECT_EQ(led.State(), TLedState::lsOn);
  EXPECT_EQ(changes_.back(), TLedState::lsOn);
}

TEST_F(ComLedTest, ARingLightsTheLampForRingDuration) {
  TestPort port(pty_);
  TComLed led;
  led.SetLedSignal(TComLedSignal::lsRing);
  led.SetRingDuration(300);
  led.SetComPort(&port);
  const auto start = std::chrono::steady_clock::now();
  port.CallRing();
  EXPECT_EQ(led.State(), TLedState::lsOn);
  ASSERT_TRUE(WaitUntil([&] {
    QApplication::processEvents();
    return led.State() == TLedState::lsOff;
  }));
  EXPECT_GE(MsSince(start), 250);
  EXPECT_LT(MsSince(start), 2000);
}

TEST_F(ComLedTest, SignalsFromTheEventThreadReachTheLampOnTheGuiThread) {
  TestPort port(pty_);
  auto led = std::make_unique<TComLed>();
  led->SetComPort(&port);
  std::thread([&] { port.SendSignalToLink(TComLinkEvent::leConn, true); }).join();
  EXPECT_EQ(led->State(), TLedState::lsOff) << "nothing touched off the GUI thread";
  cls::CheckSynchronize();
  EXPECT_EQ(led->State(), TLedState::lsOn);
  // A change still queued when the lamp goes is dropped.
  std::thread([&] { port.SendSignalToLink(TComLinkEvent::leConn, false); }).join();
  led.reset();
  EXPECT_EQ(cls::CheckSynchronize(), 1);
}

TEST_F(ComLedTest, FreeingTheBoundPortDarkensAndUnbindsTheLamp) {
  auto port = std::make_unique<TestPort>(pty_);
  port->Open();
  TComLed led;
  led.SetComPort(port.get());
  ASSERT_EQ(led.State(), TLedState::lsOn);
  port.reset();
  EXPECT_EQ(led.ComPort(), nullptr);
  EXPECT_EQ(led.State(), TLedState::lsOff);
  led.SetState(TLedState::lsOn);
}

TEST_F(ComLedTest, ScreenshotOfEveryKindDarkAndLit) {
  QWidget row;
  auto* layout = new QHBoxLayout(&row);
  layout->setContentsMargins(4, 4, 4, 4);
  const TLedKind kinds[] = {TLedKind::lkRedLight,    TLedKind::lkGreenLight,  TLedKind::lkBlueLight,
                            TLedKind::lkYellowLight, TLedKind::lkPurpleLight, TLedKind::lkBulb};
  for (TLedKind kind : kinds) {
    for (TLedState state : {TLedState::lsOff, TLedState::lsOn}) {
      auto* led = new TComLed(&row);
      led->setFixedSize(25, 25);
      led->SetKind(kind);
      led->SetState(state);
      layout->addWidget(led);
    }
  }
  row.adjustSize();
  const QImage image = comport_test::Shoot(row, "ComLed.png");
  EXPECT_GE(image.width(), 12 * 25);
}

}  // namespace
}  // namespace comport
