// The port's setup dialog: `TComSetupFrm` holds six drop-down lists bound to one port (port,
// baud rate, data bits, stop bits, parity, flow control), and `EditComPort` shows it modally
// and applies the choices on OK. GUI thread only.
#pragma once

#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

#include "comport/CPort.h"
#include "comport/CPortSelect.h"

namespace comport {

class TComSetupFrm : public QDialog {
 public:
  static constexpr int kClientWidth = 231;
  static constexpr int kClientHeight = 216;

  // Every part is a child of the form; AutoApply is off on all six lists.
  explicit TComSetupFrm(QWidget* parent = nullptr);

  QGroupBox* GroupBox1;
  QLabel *Label1, *Label2, *Label3, *Label4, *Label5, *Label6;
  TComComboBox *Combo1, *Combo2, *Combo3, *Combo4, *Combo5, *Combo6;
  QPushButton* Button1;  // OK, the default button
  QPushButton* Button2;  // Cancel
};

// Shows the setup form for `comPort` (nothing for null). OK writes the lists that hold a
// selection to the port in one update (the device is set up once); Cancel writes nothing. The
// form is freed on every exit; a failure of the port while the choices are applied raises
// EComPort after the update has ended.
void EditComPort(TCustomComPort* comPort);

// Makes TCustomComPort::ShowSetupDialog show this dialog.
void InstallSetupDialog();

}  // namespace comport
