#include "components/Led.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QImage>
#include <QPainter>

#include "classlib/ui/Components.h"
#include "testsupport/QtInput.h"
#include "testsupport/test_env.h"
#include "testsupport/test_util.h"

namespace {

using LedTest = dral_test::IsolatedTest;

const QColor kBackground(0, 0, 255);
const QColor kWhite(Qt::white);

QImage Draw(const dral::TLED& led) {
  QImage image(led.size(), QImage::Format_RGB32);
  image.fill(Qt::green);
  QPainter canvas(&image);
  led.DrawLED(canvas);
  EXPECT_EQ(canvas.brush().style(), Qt::NoBrush);
  return image;
}

// Counts the paint events of a widget.
class PaintCounter : public QObject {
 public:
  int Paints = 0;
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint) ++Paints;
    return false;
  }
};

TEST_F(LedTest, StartsAsADarkRedRoundLampOf16By16) {
  dral::TLED led;
  EXPECT_EQ(led.size(), QSize(16, 16));
  EXPECT_FALSE(led.State());
  EXPECT_EQ(led.Active(), QColor(255, 0, 0));
  EXPECT_EQ(led.InActive(), QColor(128, 0, 0));
  EXPECT_EQ(led.LedShape(), dral::tlcircle);
}

TEST_F(LedTest, TheHighlightOfA16By16LampRunsFrom4UpTo7) {
  dral::TLED led;
  led.SetBackgroundColor(kBackground);
  const QImage image = Draw(led);
  for (int y = 4; y < 7; ++y) {
    for (int x = 4; x < 7; ++x) EXPECT_EQ(image.pixelColor(x, y), kWhite) << x << "," << y;
  }
  for (const QPoint p : {QPoint(7, 7), QPoint(3, 3), QPoint(7, 4), QPoint(4, 7), QPoint(10, 10)})
    EXPECT_EQ(image.pixelColor(p), led.InActive()) << p.x() << "," << p.y();
  EXPECT_EQ(image.pixelColor(0, 0), kBackground);  // outside the circle
  EXPECT_EQ(image.pixelColor(15, 15), kBackground);
  EXPECT_EQ(image.pixelColor(0, 8), QColor(Qt::black));  // its outline
  EXPECT_EQ(image.pixelColor(15, 8), QColor(Qt::black));

  led.SetState(true);
  led.SetLEDShape(dral::tlsquare);
  const QImage lit = Draw(led);
  EXPECT_EQ(lit.pixelColor(0, 0), QColor(Qt::black));
  EXPECT_EQ(lit.pixelColor(15, 15), QColor(Qt::black));
  EXPECT_EQ(lit.pixelColor(1, 1), led.Active());
  EXPECT_EQ(lit.pixelColor(14, 14), led.Active());
  EXPECT_EQ(lit.pixelColor(6, 6), kWhite);
  EXPECT_EQ(lit.pixelColor(7, 7), led.Active());
}

TEST_F(LedTest, TheHighlightScalesWithTheControlAndThePaintShowsTheDrawing) {
  dral::TLED led;
  led.resize(40, 24);  // 10..17 across, 6..10 down
  led.SetBackgroundColor(kBackground);
  const QImage image = led.grab().toImage();  // through Paint and its bitmap
  ASSERT_EQ(image.size(), QSize(40, 24));
  EXPECT_EQ(image.pixelColor(10, 6), kWhite);
  EXPECT_EQ(image.pixelColor(16, 9), kWhite);
  EXPECT_EQ(image.pixelColor(17, 9), led.InActive());
  EXPECT_EQ(image.pixelColor(16, 10), led.InActive());
  EXPECT_EQ(image.pixelColor(9, 6), led.InActive());
  EXPECT_EQ(image.pixelColor(0, 0), kBackground);
  EXPECT_EQ(image, Draw(led).convertToFormat(image.format()));
}

TEST_F(LedTest, OnlyAChangedValueRepaints) {
  dral::TLED led;
  PaintCounter counter;
  led.installEventFilter(&counter);
  led.show();
  ASSERT_TRUE(dral_test::WaitUntil([&] {
    QCoreApplication::processEvents();
    return counter.Paints > 0;
  }));
  const int before = counter.Paints;
  led.SetState(false);
  led.SetActiveColor(led.Active());
  led.SetInActiveColor(led.InActive());
  led.SetBackgroundColor(led.Background());
  led.SetLEDShape(dral::tlcircle);
  QCoreApplication::processEvents();
  QCoreApplication::processEvents();
  EXPECT_EQ(counter.Paints, before);

  led.SetState(true);
  ASSERT_TRUE(dral_test::WaitUntil([&] {
    QCoreApplication::processEvents();
    return counter.Paints > before;
  }));
  EXPECT_TRUE(led.State());
  led.removeEventFilter(&counter);
}

TEST_F(LedTest, AClickCallsOnClickWithTheLamp) {
  dral::TLED led;
  QObject* sender = nullptr;
  int clicks = 0;
  dral_test::Click(&led);  // no handler: nothing happens
  led.OnClick = [&](QObject* s) {
    sender = s;
    ++clicks;
  };
  dral_test::Click(&led);
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(sender, &led);
}

TEST_F(LedTest, RegisterPutsTheLampOnTheTrevikPage) {
  dral::Led::Register();
  dral::Led::Register();  // once on the page however often it is registered
  int found = 0;
  for (const auto& c : cls::ui::PaletteClasses("Trevik")) {
    if (c.ClassName != "TLED") continue;
    ++found;
    QWidget form;
    QWidget* made = c.Create(&form);
    EXPECT_NE(dynamic_cast<dral::TLED*>(made), nullptr);
    EXPECT_EQ(made->parent(), &form);
  }
  EXPECT_EQ(found, 1);
}

}  // namespace
