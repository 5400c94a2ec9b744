// TLED: an indicator lamp for application forms, round or square, lit in one colour and dark in
// another, with a white highlight. Nothing in the system creates one; applications place it on
// their forms (palette page "Trevik", see Register). Main thread only.
#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>
#include <functional>

#include "classlib/ui/Controls.h"

class QPainter;

namespace dral {

enum TLEDShape { tlcircle, tlsquare };

class TLED : public QWidget {
 public:
  // 16 x 16, dark (State false), round, red when lit, maroon when dark, on the button face
  // colour of the application's palette.
  explicit TLED(QWidget* owner = nullptr);
  ~TLED() override;

  // Each setter stores the value and repaints, only when it differs from the stored one.
  bool State() const { return state_; }
  void SetState(bool value);
  QColor Active() const { return active_; }
  void SetActiveColor(const QColor& value);
  QColor InActive() const { return inActive_; }
  void SetInActiveColor(const QColor& value);
  QColor Background() const { return background_; }
  void SetBackgroundColor(const QColor& value);
  TLEDShape LedShape() const { return ledShape_; }
  void SetLEDShape(TLEDShape value);

  // Called with the lamp on a click (left button pressed and released over it).
  std::function<void(QObject* sender)> OnClick;
  virtual void Click();

  // Draws the lamp at the control's size onto `canvas`, pixel for pixel: the background, the
  // lamp (its outline black) and a white highlight from (W * 4 / 16, H * 4 / 16) up to, not
  // including, (W * 7 / 16, H * 7 / 16). Leaves the canvas with no brush.
  void DrawLED(QPainter& canvas) const;

 protected:
  // Draws the lamp into the off-screen bitmap and copies that onto the control.
  virtual void Paint();
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  template <typename T>
  void Change(T& field, const T& value);

  QImage bitmap_;  // the off-screen picture, sized to the control when painting
  bool state_ = false;
  QColor active_;
  QColor inActive_;
  QColor background_;
  TLEDShape ledShape_ = tlcircle;
  cls::ui::TClickTracker click_;
};

namespace Led {
// Puts TLED on the palette page "Trevik".
void Register();
}  // namespace Led

}  // namespace dral
