#include "components/Led.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>

#include "Palette.h"
#include "classlib/ui/Components.h"

namespace dral {
namespace {

constexpr int kDefaultSize = 16;
// The highlight spans 4/16 to 7/16 of the width and of the height.
constexpr int kHighlightFrom = 4;
constexpr int kHighlightTo = 7;
constexpr int kHighlightParts = 16;

// The rectangle from (left, top) up to, not including, (right, bottom): filled with the brush
// and outlined with the pen inside that area.
void Rectangle(QPainter& canvas, int left, int top, int right, int bottom) {
  if (right <= left || bottom <= top) return;
  canvas.drawRect(QRect(left, top, right - left - 1, bottom - top - 1));
}

// The ellipse inscribed in that rectangle.
void Ellipse(QPainter& canvas, int left, int top, int right, int bottom) {
  if (right <= left || bottom <= top) return;
  canvas.drawEllipse(QRect(left, top, right - left - 1, bottom - top - 1));
}

void SetPenAndBrush(QPainter& canvas, const QColor& pen, const QColor& brush) {
  canvas.setPen(QPen(pen, 0, Qt::SolidLine));  // cosmetic: one pixel wide
  canvas.setBrush(brush);
}

}  // namespace

TLED::TLED(QWidget* owner)
    : QWidget(owner),
      active_(Qt::red),
      inActive_(QColor(0x80, 0x00, 0x00)),
      background_(QApplication::palette().color(QPalette::Button)) {
  resize(kDefaultSize, kDefaultSize);
}

TLED::~TLED() = default;

template <typename T>
void TLED::Change(T& field, const T& value) {
  if (field == value) return;
  field = value;
  update();
}

void TLED::SetState(bool value) { Change(state_, value); }
void TLED::SetActiveColor(const QColor& value) { Change(active_, value); }
void TLED::SetInActiveColor(const QColor& value) { Change(inActive_, value); }
void TLED::SetBackgroundColor(const QColor& value) { Change(background_, value); }
void TLED::SetLEDShape(TLEDShape value) { Change(ledShape_, value); }

void TLED::Click() {
  if (OnClick) OnClick(this);
}

void TLED::DrawLED(QPainter& canvas) const {
  const int w = width();
  const int h = height();
  canvas.setRenderHint(QPainter::Antialiasing, false);  // pixel for pixel
  SetPenAndBrush(canvas, background_, background_);
  Rectangle(canvas, 0, 0, w, h);
  SetPenAndBrush(canvas, Qt::black, state_ ? active_ : inActive_);
  if (ledShape_ == tlsquare) {
    Rectangle(canvas, 0, 0, w, h);
  } else {
    Ellipse(canvas, 0, 0, w, h);
  }
  SetPenAndBrush(canvas, Qt::white, Qt::white);
  Rectangle(canvas, w * kHighlightFrom / kHighlightParts, h * kHighlightFrom / kHighlightParts,
            w * kHighlightTo / kHighlightParts, h * kHighlightTo / kHighlightParts);
  canvas.setBrush(Qt::NoBrush);
}

void TLED::Paint() {
  if (width() <= 0 || height() <= 0) return;
  if (bitmap_.size() != size()) bitmap_ = QImage(size(), QImage::Format_RGB32);
  {
    QPainter canvas(&bitmap_);
    DrawLED(canvas);
  }
  QPainter(this).drawImage(rect(), bitmap_);
}

void TLED::paintEvent(QPaintEvent*) { Paint(); }

void TLED::mousePressEvent(QMouseEvent* event) {
  click_.Press(*event);
  QWidget::mousePressEvent(event);
}

void TLED::mouseReleaseEvent(QMouseEvent* event) {
  const bool click = click_.Release(*event, rect());
  QWidget::mouseReleaseEvent(event);
  if (click) Click();
}

namespace Led {
void Register() {
  cls::ui::RegisterComponents(kPalettePage,
                              {{"TLED", [](QWidget* owner) { return new TLED(owner); }}});
}
}  // namespace Led

}  // namespace dral
