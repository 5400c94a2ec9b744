#include "components/Led.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QImage>
#include <QPainter>

#include "classlib/ui/Components.h"
#include "components/HyperLink.h"
#include "testsupport/test_env.h"
#include "testsupport/test_util.h"

namespace {

using LedTest = dral_test::IsolatedTest;

const QColor kBackground(0, 0, 255);
const QColor kWhite(Qt::white);
const QColor kBlack(Qt::black);

QImage Draw(const dral::TLED& led) {
  QImage image(led.size(), QImage::Format_RGB32);
  QPainter canvas(&image);
  led.DrawLED(canvas);
  return image;
}

TEST_F(LedTest, TheHighlightOfA16By16LampRunsFrom4UpTo7) {
  dral::TLED led;
  ASSERT_EQ(led.size(), QSize(16, 16));
  led.SetBackgroundColor(kBackground);
  QImage image = Draw(led);
  for (int y = 4; y < 7; ++y) {
    for (int x = 4; x < 7; ++x) EXPECT_EQ(image.pixelColor(x, y), kWhite) << x << "," << y;
  }
  for (const QPoint p : {QPoint(7, 7), QPoint(3, 3), QPoint(7, 4), QPoint(4, 7)})
    EXPECT_EQ(image.pixelColor(p), QColor(128, 0, 0)) << p.x() << "," << p.y();  // dark
  EXPECT_EQ(image.pixelColor(0, 0), kBackground);  // outside the circle
  EXPECT_EQ(image.pixelColor(15, 8), kBlack);      // its outline

  led.SetState(true);
  led.SetLEDShape(dral::tlsquare);
  image = Draw(led);
  EXPECT_EQ(image.pixelColor(15, 15), kBlack);
  EXPECT_EQ(image.pixelColor(14, 14), QColor(255, 0, 0));  // lit
  EXPECT_EQ(image.pixelColor(7, 7), QColor(255, 0, 0));
}

TEST_F(LedTest, TheControlShowsItsDrawingAndTheHighlightScalesWithIt) {
  dral::TLED led;
  led.resize(40, 24);  // highlight 10..16 across, 6..9 down
  const QImage image = led.grab().toImage();
  ASSERT_EQ(image.size(), QSize(40, 24));
  EXPECT_EQ(image.pixelColor(10, 6), kWhite);
  EXPECT_EQ(image.pixelColor(16, 9), kWhite);
  EXPECT_NE(image.pixelColor(17, 9), kWhite);
  EXPECT_NE(image.pixelColor(16, 10), kWhite);
  EXPECT_EQ(image, Draw(led).convertToFormat(image.format()));
}

TEST_F(LedTest, OnlyAChangedValueRepaints) {
  struct PaintCounter : QObject {
    int Paints = 0;
    bool eventFilter(QObject*, QEvent* event) override {
      Paints += event->type() == QEvent::Paint;
      return false;
    }
  } counter;
  dral::TLED led;
  led.installEventFilter(&counter);
  led.show();
  const auto paintedAfter = [&](int n) {
    return dral_test::WaitUntil([&] {
      QCoreApplication::processEvents();
      return counter.Paints > n;
    });
  };
  ASSERT_TRUE(paintedAfter(0));
  const int before = counter.Paints;
  led.SetState(false);
  led.SetActiveColor(led.Active());
  led.SetBackgroundColor(led.Background());
  led.SetLEDShape(dral::tlcircle);
  QCoreApplication::processEvents();
  QCoreApplication::processEvents();
  EXPECT_EQ(counter.Paints, before);
  led.SetState(true);
  EXPECT_TRUE(paintedAfter(before));
  led.removeEventFilter(&counter);
}

TEST_F(LedTest, BothComponentsRegisterOnceOnTheTrevikPage) {
  for (int i = 0; i < 2; ++i) {
    dral::Led::Register();
    dral::HyperLink::Register();
  }
  const auto classes = cls::ui::PaletteClasses("Trevik");
  ASSERT_EQ(classes.size(), 2u);
  QWidget form;
  EXPECT_EQ(classes[0].ClassName, "TLED");
  EXPECT_NE(dynamic_cast<dral::TLED*>(classes[0].Create(&form)), nullptr);
  EXPECT_EQ(classes[1].ClassName, "THyperLink");
  EXPECT_NE(dynamic_cast<dral::THyperLink*>(classes[1].Create(&form)), nullptr);
  EXPECT_EQ(form.children().size(), 2);
}

}  // namespace
