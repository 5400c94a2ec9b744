// The few controls whose class-library behaviour Qt Widgets lacks: labels and images that
// report clicks and mouse moves, a status bar of fixed-width panels, and a report-style list
// view with per-column alignment. Everything else is used from Qt directly. Main thread only.
#pragma once

#include <QLabel>
#include <QList>
#include <QStatusBar>
#include <QString>
#include <QTreeWidget>
#include <functional>
#include <initializer_list>

namespace cls::ui {

// Tells a click (left button pressed and released inside the control) from the mouse events of
// a control.
class TClickTracker {
 public:
  void Press(const QMouseEvent& event);
  // True when this release ends a click on a control of `area`.
  bool Release(const QMouseEvent& event, const QRect& area);

 private:
  bool pressed_ = false;
};

// A label that reports a left click (press and release inside it) and every mouse move over
// it, with or without a button held.
class TLabel : public QLabel {
 public:
  explicit TLabel(const QString& caption, QWidget* parent = nullptr);

  std::function<void()> OnClick;
  // Runs on a click: calls OnClick when set. A derived label adds to it.
  virtual void Click();
  std::function<void()> OnMouseMove;

  // The font's underline, the one style the programs switch.
  void SetUnderlined(bool on);
  bool Underlined() const { return font().underline(); }

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  TClickTracker click_;
};

// A picture, sized to it, that reports mouse moves.
class TImage : public QLabel {
 public:
  explicit TImage(QWidget* parent = nullptr);
  void SetPicture(const QPixmap& picture);  // resizes the control to the picture

  std::function<void()> OnMouseMove;

 protected:
  void mouseMoveEvent(QMouseEvent* event) override;
};

// A status bar made of sunken panels of fixed widths (the last one takes what is left), each
// showing one text. No size grip.
class TStatusBar : public QStatusBar {
 public:
  TStatusBar(std::initializer_list<int> panelWidths, QWidget* parent = nullptr);
  int PanelCount() const { return static_cast<int>(panels_.size()); }
  // Out-of-range panels are ignored (set) or read as "" (get).
  void SetPanelText(int panel, const QString& text);
  QString PanelText(int panel) const;

 private:
  QList<QLabel*> panels_;  // children of the bar
};

// A list view in report style: a header of columns, one row per item, caption in column 0 and
// sub-items in the others; not editable, not sortable, whole rows selected.
class TListView : public QTreeWidget {
 public:
  struct Column {
    QString Caption;
    int Width = -1;  // -1: Qt's default
    Qt::Alignment Alignment = Qt::AlignLeft;
  };
  TListView(std::initializer_list<Column> columns, QWidget* parent = nullptr);

  // Appends a row; missing sub-items are empty. Returns its index.
  int AddItem(const QString& caption, const QStringList& subItems = {});
  int RowCount() const { return topLevelItemCount(); }
  // Column 0 is the caption. Out-of-range cells are ignored (set) or read as "" (get).
  QString Text(int row, int column) const;
  void SetText(int row, int column, const QString& text);

 private:
  QList<Qt::Alignment> alignments_;
};

}  // namespace cls::ui
