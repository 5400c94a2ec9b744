#include "comport/CPortTrmSet.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <charconv>
#include <string>

#include "comport/CPortCtlTerm.h"

namespace comport {

namespace {

constexpr int kClientWidth = 295;
constexpr int kClientHeight = 287;
constexpr double kFontPoints = 7.5;

// A decimal integer (optional sign, surrounding blanks allowed), or `fallback`.
int32_t StrToIntDef(const QString& text, int32_t fallback) {
  const std::string s = text.trimmed().toStdString();
  const char* first = s.data();
  if (!s.empty() && s[0] == '+') ++first;
  int32_t value = 0;
  const auto [end, error] = std::from_chars(first, s.data() + s.size(), value);
  return error == std::errc() && end == s.data() + s.size() && first != end ? value : fallback;
}

QCheckBox* Check(QWidget* parent, const char* caption, int y) {
  auto* box = new QCheckBox(QString::fromLatin1(caption), parent);
  box->setGeometry(8, y, 269, 17);
  return box;
}

QComboBox* List(QWidget* parent, const char* label, QStringList items, int y) {
  auto* caption = new QLabel(QString::fromLatin1(label), parent);
  caption->setGeometry(12, y + 3, 70, 15);
  auto* box = new QComboBox(parent);
  box->addItems(items);
  box->setGeometry(88, y, 179, 21);
  return box;
}

QLineEdit* Edit(QWidget* parent, const char* label, int x, int y) {
  auto* caption = new QLabel(QString::fromLatin1(label), parent);
  caption->setGeometry(x, y + 3, 52, 15);
  auto* edit = new QLineEdit(parent);
  edit->setGeometry(x + 52, y, 65, 21);
  return edit;
}

}  // namespace

TComTrmSetForm::TComTrmSetForm() {
  setWindowTitle(QStringLiteral("Setup"));
  setFixedSize(kClientWidth, kClientHeight);
  // The application's sans-serif font at 7.5 points stands for "MS Sans Serif" (8 points), so the
  // captions fit the form's fixed client area.
  QFont formFont = font();
  formFont.setPointSizeF(kFontPoints);
  setFont(formFont);
  GroupBox1 = new QGroupBox(QStringLiteral(" ASCII Settings "), this);
  GroupBox1->setGeometry(8, 4, 279, 124);
  CheckBox1 = Check(GroupBox1, "Echo typed charachters locally", 20);
  CheckBox2 = Check(GroupBox1, "Send line feeds with carriage return", 40);
  CheckBox3 = Check(GroupBox1, "Wrap lines that exceed terminal width", 60);
  CheckBox4 = Check(GroupBox1, "Force incoming data to 7 bit ASCII", 80);
  CheckBox5 = Check(GroupBox1, "Append line feeds to incoming carriage return", 100);
  GroupBox2 = new QGroupBox(QStringLiteral(" Terminal Settings "), this);
  GroupBox2->setGeometry(8, 132, 279, 118);
  ComboBox1 = List(GroupBox2, "Caret", {"Block", "Underline"}, 18);
  ComboBox2 = List(GroupBox2, "Emulation", {"ANSI/VT100", "VT52", "None"}, 44);
  ComboBox3 = List(GroupBox2, "Cursor keys", {"Act as terminal keys", "Act as windows keys"}, 70);
  Edit1 = Edit(GroupBox2, "Columns", 12, 94);
  Edit2 = Edit(GroupBox2, "Rows", 150, 94);
  Button1 = new QPushButton(QStringLiteral("OK"), this);
  Button1->setGeometry(128, 256, 75, 25);
  Button1->setDefault(true);
  Button2 = new QPushButton(QStringLiteral("Cancel"), this);
  Button2->setGeometry(212, 256, 75, 25);
  connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
  connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
  for (QWidget* w : std::initializer_list<QWidget*>{CheckBox1, CheckBox2, CheckBox3, CheckBox4,
                                                    CheckBox5, ComboBox1, ComboBox2, ComboBox3,
                                                    Edit1, Edit2, Button1, Button2}) {
    w->setFocusPolicy(Qt::StrongFocus);
  }
  setTabOrder(CheckBox1, CheckBox2);
  setTabOrder(CheckBox2, CheckBox3);
  setTabOrder(CheckBox3, CheckBox4);
  setTabOrder(CheckBox4, CheckBox5);
  setTabOrder(CheckBox5, ComboBox1);
  setTabOrder(ComboBox1, ComboBox2);
  setTabOrder(ComboBox2, ComboBox3);
  setTabOrder(ComboBox3, Edit1);
  setTabOrder(Edit1, Edit2);
  setTabOrder(Edit2, Button1);
  setTabOrder(Button1, Button2);
}

void EditComTerminal(TCustomComTerminal& terminal) {
  TComTrmSetForm form;  // no owner; freed on every way out
  form.CheckBox1->setChecked(terminal.LocalEcho());
  form.CheckBox2->setChecked(terminal.SendLF());
  form.CheckBox3->setChecked(terminal.WrapLines());
  form.CheckBox4->setChecked(terminal.Force7Bit());
  form.CheckBox5->setChecked(terminal.AppendLF());
  // tcNone has no item: the list shows none.
  const int caret = static_cast<int>(terminal.Caret());
  form.ComboBox1->setCurrentIndex(caret < form.ComboBox1->count() ? caret : -1);
  form.ComboBox2->setCurrentIndex(static_cast<int>(terminal.Emulation()));
  form.ComboBox3->setCurrentIndex(static_cast<int>(terminal.ArrowKeys()));
  form.Edit1->setText(QString::number(terminal.Columns()));
  form.Edit2->setText(QString::number(terminal.Rows()));
  if (form.exec() != QDialog::Accepted) return;

  terminal.SetLocalEcho(form.CheckBox1->isChecked());
  terminal.SetSendLF(form.CheckBox2->isChecked());
  terminal.SetWrapLines(form.CheckBox3->isChecked());
  terminal.SetForce7Bit(form.CheckBox4->isChecked());
  terminal.SetAppendLF(form.CheckBox5->isChecked());
  if (form.ComboBox1->currentIndex() >= 0) {
    terminal.SetCaret(static_cast<TTermCaret>(form.ComboBox1->currentIndex()));
  }
  if (form.ComboBox2->currentIndex() >= 0) {
    terminal.SetEmulation(static_cast<TTermEmulation>(form.ComboBox2->currentIndex()));
  }
  terminal.SetColumns(StrToIntDef(form.Edit1->text(), kSetupDefaultColumns));
  terminal.SetRows(StrToIntDef(form.Edit2->text(), kSetupDefaultRows));
  if (form.ComboBox3->currentIndex() >= 0) {
    terminal.SetArrowKeys(static_cast<TArrowKeys>(form.ComboBox3->currentIndex()));
  }
}

}  // namespace comport
