// The terminal setup dialog: `TComTrmSetForm` and `EditComTerminal`, which shows the terminal's
// text and screen options and applies them when the user presses OK. Main thread only.
#pragma once

#include <QDialog>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;

namespace comport {

class TCustomComTerminal;

// The defaults of a size that does not convert.
inline constexpr int32_t kSetupDefaultColumns = 80;
inline constexpr int32_t kSetupDefaultRows = 24;

class TComTrmSetForm : public QDialog {
 public:
  TComTrmSetForm();

  QGroupBox* GroupBox1;
  QCheckBox* CheckBox1;  // LocalEcho
  QCheckBox* CheckBox2;  // SendLF
  QCheckBox* CheckBox3;  // WrapLines
  QCheckBox* CheckBox4;  // Force7Bit
  QCheckBox* CheckBox5;  // AppendLF
  QGroupBox* GroupBox2;
  QComboBox* ComboBox1;  // Caret
  QComboBox* ComboBox2;  // Emulation
  QComboBox* ComboBox3;  // ArrowKeys
  QLineEdit* Edit1;      // Columns
  QLineEdit* Edit2;      // Rows
  QPushButton* Button1;  // OK
  QPushButton* Button2;  // Cancel
};

// Shows the dialog modally for `terminal` and applies the choices on OK. A caret the list has
// no entry for (tcNone) shows no item and is kept unless the user picks one.
void EditComTerminal(TCustomComTerminal& terminal);

}  // namespace comport
