#include "classlib/ui/TrayIcon.h"

#include <QMenu>
#include <QSystemTrayIcon>

#include "classlib/ui/Application.h"

namespace cls::ui {

TTrayIcon::TTrayIcon(QObject* owner) : QObject(owner), icon_(new QSystemTrayIcon(this)) {
  // The context menu itself is opened by Qt on the right button; only the restore is ours.
  QObject::connect(icon_, &QSystemTrayIcon::activated, this,
                   [this](QSystemTrayIcon::ActivationReason reason) {
                     if (reason == QSystemTrayIcon::DoubleClick) Restore();
                   });
}

TTrayIcon::~TTrayIcon() = default;

void TTrayIcon::SetIcon(const QIcon& icon) {
  icon_->setIcon(icon);
}
QIcon TTrayIcon::Icon() const {
  return icon_->icon();
}
void TTrayIcon::SetHint(const QString& hint) {
  icon_->setToolTip(hint);
}
QString TTrayIcon::Hint() const {
  return icon_->toolTip();
}
void TTrayIcon::SetPopupMenu(QMenu* menu) {
  icon_->setContextMenu(menu);
}
QMenu* TTrayIcon::PopupMenu() const {
  return icon_->contextMenu();
}
void TTrayIcon::SetVisible(bool visible) {
  visible_ = visible;
  // Without a display there is no notification area; Qt would look for one all the same and
  // complain that its platform offers no way to watch for it.
  if (!HeadlessPlatform()) icon_->setVisible(visible);
}
bool TTrayIcon::Visible() const {
  return visible_;
}

void TTrayIcon::Restore() {
  if (OnRestore) OnRestore();
}

}  // namespace cls::ui
