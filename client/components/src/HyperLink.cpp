#include "components/HyperLink.h"

#include <QApplication>
#include <QEnterEvent>
#include <QFont>
#include <QPalette>

#include "Palette.h"
#include "classlib/ui/Components.h"
#include "plat/process.h"

namespace dral {
namespace {

// Underline alone, or no style at all.
void SetFontStyle(QWidget& control, bool underline) {
  QFont font = control.font();
  font.setBold(false);
  font.setItalic(false);
  font.setStrikeOut(false);
  font.setUnderline(underline);
  control.setFont(font);
}

}  // namespace

THyperLink::THyperLink(QWidget* owner) : cls::ui::TLabel(QString(), owner) {
  setCursor(Qt::PointingHandCursor);
  QPalette colours = palette();
  colours.setColor(QPalette::WindowText, QApplication::palette().color(QPalette::Highlight));
  setPalette(colours);
}

THyperLink::~THyperLink() = default;

void THyperLink::SetURL(const QString& text) {
  url_ = text.trimmed();
  setToolTip(url_);
}

bool THyperLink::FileExists() const {
  return !url_.isEmpty() && plat::IsExistingFile(url_.toStdString());
}

void THyperLink::Click() {
  cls::ui::TLabel::Click();
  if (!FileExists()) return;
  int error = 0;
  (void)plat::OpenFileWithDesktop(url_.toStdString(), &error);  // nothing to tell the user
}

void THyperLink::CMMouseEnter() {
  if (FileExists()) SetFontStyle(*this, true);
}

void THyperLink::CMMouseLeave() { SetFontStyle(*this, false); }

void THyperLink::Dispatch(uint32_t message) {
  switch (message) {
    case CM_MOUSEENTER:
      CMMouseEnter();
      break;
    case CM_MOUSELEAVE:
      CMMouseLeave();
      break;
    default:
      break;
  }
}

void THyperLink::enterEvent(QEnterEvent* event) {
  cls::ui::TLabel::enterEvent(event);
  Dispatch(CM_MOUSEENTER);
}

void THyperLink::leaveEvent(QEvent* event) {
  cls::ui::TLabel::leaveEvent(event);
  Dispatch(CM_MOUSELEAVE);
}

namespace HyperLink {
void Register() {
  cls::ui::RegisterComponents(kPalettePage,
                              {{"THyperLink", [](QWidget* owner) { return new THyperLink(owner); }}});
}
}  // namespace HyperLink

}  // namespace dral
