#include "classlib/ui/Controls.h"

#include <QHeaderView>
#include <QMouseEvent>

namespace cls::ui {

void TClickTracker::Press(const QMouseEvent& event) {
  pressed_ = event.button() == Qt::LeftButton;
}

bool TClickTracker::Release(const QMouseEvent& event, const QRect& area) {
  const bool click =
      pressed_ && event.button() == Qt::LeftButton && area.contains(event.position().toPoint());
  pressed_ = false;
  return click;
}

TLabel::TLabel(const QString& caption, QWidget* parent) : QLabel(caption, parent) {
  setMouseTracking(true);  // moves without a button held are reported too
}

void TLabel::SetUnderlined(bool on) {
  QFont f = font();
  if (f.underline() == on) return;
  f.setUnderline(on);
  setFont(f);
}

void TLabel::Click() {
  if (OnClick) OnClick();
}

void TLabel::mousePressEvent(QMouseEvent* event) {
  click_.Press(*event);
  QLabel::mousePressEvent(event);
}

void TLabel::mouseReleaseEvent(QMouseEvent* event) {
  const bool click = click_.Release(*event, rect());
  QLabel::mouseReleaseEvent(event);
  if (click) Click();
}

void TLabel::mouseMoveEvent(QMouseEvent* event) {
  QLabel::mouseMoveEvent(event);
  if (OnMouseMove) OnMouseMove();
}

TImage::TImage(QWidget* parent) : QLabel(parent) {
  setMouseTracking(true);
}

void TImage::SetPicture(const QPixmap& picture) {
  setPixmap(picture);
  resize(picture.size() / picture.devicePixelRatio());
}

void TImage::mouseMoveEvent(QMouseEvent* event) {
  QLabel::mouseMoveEvent(event);
  if (OnMouseMove) OnMouseMove();
}

TStatusBar::TStatusBar(std::initializer_list<int> panelWidths, QWidget* parent)
    : QStatusBar(parent) {
  setSizeGripEnabled(false);
  int index = 0;
  const int last = static_cast<int>(panelWidths.size()) - 1;
  for (const int width : panelWidths) {
    auto* panel = new QLabel(this);
    panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    panel->setFixedWidth(width);
    // The last panel is stretched over what is left of the bar.
    addWidget(panel, index == last ? 1 : 0);
    panels_.append(panel);
    ++index;
  }
}

void TStatusBar::SetPanelText(int panel, const QString& text) {
  if (panel < 0 || panel >= panels_.size()) return;
  panels_[panel]->setText(text);
}

QString TStatusBar::PanelText(int panel) const {
  if (panel < 0 || panel >= panels_.size()) return {};
  return panels_[panel]->text();
}

TListView::TListView(std::initializer_list<Column> columns, QWidget* parent) : QTreeWidget(parent) {
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);
  setSortingEnabled(false);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setColumnCount(static_cast<int>(columns.size()));
  QStringList captions;
  int index = 0;
  for (const Column& c : columns) {
    captions << c.Caption;
    alignments_ << c.Alignment;
    if (c.Width >= 0) setColumnWidth(index, c.Width);
    ++index;
  }
  setHeaderLabels(captions);
  header()->setSectionsMovable(false);
  header()->setStretchLastSection(false);
  for (int i = 0; i < alignments_.size(); ++i) {
    headerItem()->setTextAlignment(i, alignments_[i] | Qt::AlignVCenter);
  }
}

int TListView::AddItem(const QString& caption, const QStringList& subItems) {
  auto* item = new QTreeWidgetItem(this);
  for (int i = 0; i < columnCount(); ++i) {
    item->setTextAlignment(i, alignments_[i] | Qt::AlignVCenter);
  }
  item->setText(0, caption);
  for (int i = 0; i < subItems.size() && i + 1 < columnCount(); ++i)
    item->setText(i + 1, subItems[i]);
  return topLevelItemCount() - 1;
}

QString TListView::Text(int row, int column) const {
  const QTreeWidgetItem* item = topLevelItem(row);
  if (item == nullptr || column < 0 || column >= columnCount()) return {};
  return item->text(column);
}

void TListView::SetText(int row, int column, const QString& text) {
  QTreeWidgetItem* item = topLevelItem(row);
  if (item == nullptr || column < 0 || column >= columnCount()) return;
  if (item->text(column) != text) item->setText(column, text);
}

}  // namespace cls::ui
