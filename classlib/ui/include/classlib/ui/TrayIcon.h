// TTrayIcon: an icon in the desktop's notification area with a hint, a popup menu and a way
// back to the program's window. A double click on the icon restores (runs OnRestore); the popup
// menu opens on the right button. Built on QSystemTrayIcon; without a notification area (or
// without a display) the icon keeps its state and simply shows nowhere. Main thread only.
#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <functional>

class QMenu;
class QSystemTrayIcon;

namespace cls::ui {

class TTrayIcon : public QObject {
 public:
  explicit TTrayIcon(QObject* owner = nullptr);
  ~TTrayIcon() override;

  void SetIcon(const QIcon& icon);
  QIcon Icon() const;
  void SetHint(const QString& hint);
  QString Hint() const;
  // The menu is not owned; it must outlive the icon or be removed first.
  void SetPopupMenu(QMenu* menu);
  QMenu* PopupMenu() const;
  void SetVisible(bool visible);
  bool Visible() const;

  // Runs OnRestore, as a double click on the icon does.
  void Restore();
  std::function<void()> OnRestore;

 private:
  QSystemTrayIcon* icon_;  // child of this object
  bool visible_ = false;   // the property; Qt's icon is shown only where there is a display
};

}  // namespace cls::ui
