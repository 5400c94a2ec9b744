// Input for widgets of tests that run on Qt's offscreen platform: a key, a mouse move, a left
// click, the pointer entering and leaving. Each event is delivered at once (sendEvent).
#pragma once

#include <QApplication>
#include <QEnterEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QWidget>

namespace dral_test {

inline void Key(QWidget* target, int key, const QString& text = {}) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
  QApplication::sendEvent(target, &press);
}

inline void MouseMove(QWidget* target) {
  const QPointF at(2, 2);
  QMouseEvent move(QEvent::MouseMove, at, target->mapToGlobal(at), Qt::NoButton, Qt::NoButton,
                   Qt::NoModifier);
  QApplication::sendEvent(target, &move);
}

inline void Click(QWidget* target) {
  const QPointF at(2, 2);
  const QPointF global = target->mapToGlobal(at);
  QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QMouseEvent release(QEvent::MouseButtonRelease, at, global, Qt::LeftButton, Qt::NoButton,
                      Qt::NoModifier);
  QApplication::sendEvent(target, &press);
  QApplication::sendEvent(target, &release);
}

inline void Enter(QWidget* target) {
  const QPointF at(2, 2);
  QEnterEvent enter(at, at, target->mapToGlobal(at));
  QApplication::sendEvent(target, &enter);
}

inline void Leave(QWidget* target) {
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(target, &leave);
}

}  // namespace dral_test
