// THyperLink: a label that opens a file with the desktop's default application when clicked,
// and underlines itself while the pointer is over it and the file exists. Nothing in the
// system creates one; applications place it on their forms (palette page "Trevik", see
// Register). Main thread only.
#pragma once

#include <QString>
#include <cstdint>

#include "classlib/ui/Controls.h"

namespace dral {

class THyperLink : public cls::ui::TLabel {
 public:
  // The messages of the pointer entering and leaving the control.
  static constexpr uint32_t CM_MOUSEENTER = 0xB013;
  static constexpr uint32_t CM_MOUSELEAVE = 0xB014;

  // No URL, pointing-hand cursor, text in the palette's highlight colour.
  explicit THyperLink(QWidget* owner = nullptr);
  ~THyperLink() override;

  QString URL() const { return url_; }
  // Stores the text without leading and trailing blanks, and shows it as the hint.
  void SetURL(const QString& text);

  // OnClick first; then, when URL names an existing file, that file is opened with the
  // desktop's default application (a failure to start it is dropped).
  void Click() override;

  // Underline alone while the URL names an existing file (other styles go); nothing otherwise.
  void CMMouseEnter();
  // Every font style goes.
  void CMMouseLeave();
  // CM_MOUSEENTER and CM_MOUSELEAVE go to their handlers; other messages are Qt's own events
  // and are not handled here.
  void Dispatch(uint32_t message);

 protected:
  void enterEvent(QEnterEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  bool FileExists() const;

  QString url_;
};

namespace HyperLink {
// Puts THyperLink on the palette page "Trevik".
void Register();
}  // namespace HyperLink

}  // namespace dral
