#include "shell/Artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace dral {
namespace {

const QColor kNavy(0x1d, 0x3f, 0x6e);
const QColor kTeal(0x2a, 0x9d, 0x8f);
const QColor kAmber(0xe9, 0xa2, 0x3b);
const QColor kMist(0xe8, 0xef, 0xf6);
const QColor kSteel(0x9a, 0xac, 0xc0);

constexpr int kPictureWidth = 800;
constexpr int kPictureHeight = 400;

// One control unit on the bus: a rounded box with a row of pins and a stub down (or up) to
// the bus line at `busY`.
void DrawNode(QPainter& p, const QRectF& box, double busY, const QColor& accent) {
  const double stubX = box.center().x();
  const double from = busY < box.top() ? box.top() : box.bottom();
  p.setPen(QPen(kNavy, 3));
  p.drawLine(QPointF(stubX, from), QPointF(stubX, busY));
  p.setPen(QPen(kNavy, 2));
  p.setBrush(Qt::white);
  p.drawRoundedRect(box, 8, 8);
  p.setPen(Qt::NoPen);
  p.setBrush(accent);
  p.drawRoundedRect(QRectF(box.left() + 10, box.top() + 10, box.width() - 20, 8), 3, 3);
  p.setBrush(kSteel);
  for (int i = 0; i < 3; ++i) {
    p.drawEllipse(QPointF(box.left() + 16 + i * 12, box.bottom() - 12), 3, 3);
  }
}

}  // namespace

QIcon ProgramIcon() {
  QIcon icon;
  for (const int size : {16, 24, 32, 48, 64}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    p.setPen(Qt::NoPen);
    p.setBrush(kNavy);
    p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
    // The bus: two lines, and two nodes on stubs.
    p.setPen(QPen(kTeal, 5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(10, 40), QPointF(54, 40));
    p.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(10, 48), QPointF(54, 48));
    p.setPen(QPen(Qt::white, 4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(22, 22), QPointF(22, 40));
    p.drawLine(QPointF(42, 22), QPointF(42, 40));
    p.setPen(Qt::NoPen);
    p.setBrush(kAmber);
    p.drawEllipse(QPointF(22, 18), 8, 8);
    p.drawEllipse(QPointF(42, 18), 8, 8);
    p.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

QPixmap AboutPicture() {
  QPixmap picture(kPictureWidth, kPictureHeight);
  picture.fill(Qt::white);
  QPainter p(&picture);
  p.setRenderHint(QPainter::Antialiasing);

  // Backdrop: a pale panel behind the texts, an accent edge on the left, a band at the foot.
  p.setPen(Qt::NoPen);
  p.setBrush(kMist);
  p.drawRect(QRectF(0, 0, 410, 360));
  QLinearGradient edge(0, 0, 0, kPictureHeight);
  edge.setColorAt(0, kNavy);
  edge.setColorAt(1, kTeal);
  p.setBrush(edge);
  p.drawRect(QRectF(0, 0, 14, kPictureHeight));
  QLinearGradient foot(0, 0, kPictureWidth, 0);
  foot.setColorAt(0, kNavy);
  foot.setColorAt(0.6, kTeal);
  foot.setColorAt(1, kAmber);
  p.setBrush(foot);
  p.drawRect(QRectF(0, 360, kPictureWidth, 40));

  // A computer with three applications.
  const QRectF screen(560, 36, 180, 112);
  p.setPen(QPen(kNavy, 3));
  p.setBrush(Qt::white);
  p.drawRoundedRect(screen, 10, 10);
  p.setPen(Qt::NoPen);
  p.setBrush(kNavy);
  p.drawRect(QRectF(636, 148, 28, 14));
  p.drawRoundedRect(QRectF(606, 160, 88, 8), 4, 4);
  const QColor apps[] = {kTeal, kAmber, kSteel};
  for (int i = 0; i < 3; ++i) {
    const QRectF window(574 + i * 54, 52, 44, 78);
    p.setBrush(kMist);
    p.drawRoundedRect(window, 5, 5);
    p.setBrush(apps[i]);
    p.drawRoundedRect(QRectF(window.left(), window.top(), window.width(), 12), 5, 5);
  }

  // The cable to the adapter, and the adapter with its lights.
  QPainterPath cable;
  cable.moveTo(650, 168);
  cable.cubicTo(650, 190, 572, 182, 572, 214);
  p.setPen(QPen(kNavy, 4, Qt::SolidLine, Qt::RoundCap));
  p.setBrush(Qt::NoBrush);
  p.drawPath(cable);
  const QRectF adapter(512, 214, 120, 44);
  p.setPen(QPen(kNavy, 3));
  p.setBrush(kNavy);
  p.drawRoundedRect(adapter, 10, 10);
  p.setPen(Qt::NoPen);
  const QColor lights[] = {kAmber, kTeal, Qt::white};
  for (int i = 0; i < 3; ++i) {
    p.setBrush(lights[i]);
    p.drawEllipse(QPointF(adapter.left() + 24 + i * 20, adapter.center().y()), 5, 5);
  }

  // The vehicle network: two bus lines with terminators, the adapter and four units on it.
  const double busHigh = 300;
  const double busLow = 312;
  p.setPen(QPen(kTeal, 5, Qt::SolidLine, Qt::FlatCap));
  p.drawLine(QPointF(440, busHigh), QPointF(784, busHigh));
  p.setPen(QPen(kNavy, 5, Qt::SolidLine, Qt::FlatCap));
  p.drawLine(QPointF(440, busLow), QPointF(784, busLow));
  p.setPen(Qt::NoPen);
  p.setBrush(kNavy);
  p.drawRoundedRect(QRectF(428, busHigh - 10, 12, 34), 3, 3);
  p.drawRoundedRect(QRectF(784, busHigh - 10, 12, 34), 3, 3);
  p.setPen(QPen(kNavy, 3));
  p.drawLine(QPointF(adapter.center().x(), adapter.bottom()),
             QPointF(adapter.center().x(), busHigh));
  DrawNode(p, QRectF(444, 214, 56, 52), busHigh, kTeal);
  DrawNode(p, QRectF(650, 214, 64, 52), busHigh, kAmber);
  DrawNode(p, QRectF(716, 214, 64, 52), busHigh, kSteel);
  DrawNode(p, QRectF(596, 322, 64, 36), busLow, kTeal);
  p.end();
  return picture;
}

}  // namespace dral
