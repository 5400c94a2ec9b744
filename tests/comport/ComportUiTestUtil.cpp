#include "ComportUiTestUtil.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QPainter>

namespace comport_test {

QImage Render(QWidget& widget) {
  QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  widget.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
  return image;
}

QImage Shoot(QWidget& widget, const QString& name) {
  QDir().mkpath(DRAL_SCREENSHOT_DIR);
  const QImage image = widget.grab().toImage();
  EXPECT_TRUE(image.save(QString(DRAL_SCREENSHOT_DIR) + "/" + name)) << name.toStdString();
  return image;
}

}  // namespace comport_test
