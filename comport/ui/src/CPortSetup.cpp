// The setup form's layout and the modal edit of a port.
#include "comport/CPortSetup.h"

#include <QFont>
#include <QGuiApplication>
#include <QScreen>
#include <exception>
#include <memory>

namespace comport {
namespace {

constexpr const char* kLabelTexts[] = {"Port",      "Baud rate", "Data bits",
                                       "Stop bits", "Parity",    "Flow control"};
constexpr TComProperty kProperties[] = {TComProperty::cpPort,     TComProperty::cpBaudRate,
                                        TComProperty::cpDataBits, TComProperty::cpStopBits,
                                        TComProperty::cpParity,   TComProperty::cpFlowControl};
constexpr int kRowCount = 6;
constexpr int kLabelLeft = 8;
constexpr int kFirstLabelTop = 24;
constexpr int kComboLeft = 80;
constexpr int kFirstComboTop = 16;
constexpr int kRowStep = 24;
constexpr int kComboWidth = 129;
constexpr int kComboHeight = 21;

// Ends the update that EditComPort began, while a failure of the apply is on its way out: that
// failure is the one the caller hears of.
void EndUpdateQuietly(TCustomComPort& port) {
  try {
    port.EndUpdate();
  } catch (const std::exception&) {
  }
}

}  // namespace

TComSetupFrm::TComSetupFrm(QWidget* parent) : QDialog(parent) {
  setObjectName("ComSetupFrm");
  setWindowTitle("Setup");
  setFont(QFont("MS Sans Serif", 8));
  setFixedSize(kClientWidth, kClientHeight);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    move(screen->availableGeometry().center() - rect().center());
  }

  GroupBox1 = new QGroupBox(" Settings ", this);
  GroupBox1->setGeometry(8, 8, 217, 169);
  QLabel** labels[] = {&Label1, &Label2, &Label3, &Label4, &Label5, &Label6};
  TComComboBox** combos[] = {&Combo1, &Combo2, &Combo3, &Combo4, &Combo5, &Combo6};
  for (int i = 0; i < kRowCount; ++i) {
    QLabel* label = new QLabel(kLabelTexts[i], GroupBox1);
    label->move(kLabelLeft, kFirstLabelTop + i * kRowStep);
    label->adjustSize();
    *labels[i] = label;
    auto* combo = new TComComboBox(GroupBox1);
    combo->setGeometry(kComboLeft, kFirstComboTop + i * kRowStep, kComboWidth, kComboHeight);
    combo->SetComProperty(kProperties[i]);
    *combos[i] = combo;
    if (i > 0) QWidget::setTabOrder(*combos[i - 1], combo);
  }

  Button1 = new QPushButton("OK", this);
  Button1->setGeometry(70, 184, 75, 25);
  Button1->setDefault(true);
  QObject::connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
  Button2 = new QPushButton("Cancel", this);
  Button2->setGeometry(150, 184, 75, 25);
  QObject::connect(Button2, &QPushButton::clicked, this, &QDialog::reject);
}

void EditComPort(TCustomComPort* comPort) {
  if (comPort == nullptr) return;
  const auto form = std::make_unique<TComSetupFrm>();
  TComComboBox* const combos[] = {form->Combo1, form->Combo2, form->Combo3,
                                  form->Combo4, form->Combo5, form->Combo6};
  for (TComComboBox* combo : combos) combo->SetComPort(comPort);
  for (TComComboBox* combo : combos) combo->UpdateSettings();
  if (form->exec() != QDialog::Accepted) return;
  comPort->BeginUpdate();
  try {
    // A list without a selection (a port name that no enumeration found) writes nothing.
    for (TComComboBox* combo : combos) combo->ApplySettings();
  } catch (...) {
    EndUpdateQuietly(*comPort);
    throw;
  }
  comPort->EndUpdate();
}

void InstallSetupDialog() {
  TCustomComPort::SetSetupDialogHook([](TCustomComPort& port) { EditComPort(&port); });
}

}  // namespace comport
