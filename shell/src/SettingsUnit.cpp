#include "shell/SettingsUnit.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <algorithm>
#include <exception>
#include <functional>
#include <vector>

#include "classlib/Registry.h"
#include "classlib/exception.h"
#include "links/Enumcom.h"
#include "links/ScanSettings.h"
#include "plat/process.h"
#include "server/HuxMgr.h"

namespace dral {
namespace {

constexpr const char* kSettingsKey = TScanSettings::kKey;
constexpr const char* kHistoryFormat = "%s%.2d";

constexpr const char* kBaudRates[] = {"9600", "19200", "38400", "57600", "115200"};

constexpr const char* kComPage = "COM Ports";
constexpr const char* kEthernetPage = "Ethernet";
constexpr const char* kComNote =
    "NOTE: changes will take affect after closing all programs connected to the DRAL Server.";
constexpr const char* kEthernetNote =
    "NOTE: restart your RP1210 applications after making changes to these settings.";
constexpr const char* kBaudRateHint = "The highest baud rate used to communicate with the Fendrel.";
constexpr const char* kPortListHint = "Select the COM port to start scanning for the Fendrel.";
constexpr const char* kScanAllHint = "All COM ports will be scanned for the Fendrel.";
constexpr const char* kScanOneHint =
    "Only the port selected in the list below will be scanned for the Fendrel.";
constexpr const char* kScanDisableHint = "All serial port activity will be disabled.";

// Form geometry.
constexpr int kClientWidth = 340;
constexpr int kClientHeight = 312;
constexpr int kPageWidth = 324;
constexpr int kPageHeight = 258;
constexpr int kButtonWidth = 80;
constexpr int kButtonHeight = 27;
constexpr int kButtonTop = 274;

QLabel* MakeLabel(const QString& caption, QWidget* parent, int x, int y, int w, int h) {
  auto* label = new QLabel(caption, parent);
  label->setGeometry(x, y, w, h);
  return label;
}

// A registry action whose failure is skipped, as every write of the dialog is.
void Try(const std::function<void()>& action) {
  try {
    action();
  } catch (const std::exception&) {
    // Skipped; the dialog tells nobody.
  }
}

std::string HistoryName(const char* prefix, int number) {
  return cls::Format(kHistoryFormat, prefix, number);
}

}  // namespace

TSettingsDlg::TSettingsDlg(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowCloseButtonHint) {
  BuildComponents();
  FormCreate();
}

TSettingsDlg::~TSettingsDlg() = default;

void TSettingsDlg::BuildComponents() {
  setWindowTitle(kCaption);
  setFixedSize(kClientWidth, kClientHeight);

  PageControl1 = new QTabWidget(this);
  PageControl1->setGeometry(8, 8, kPageWidth, kPageHeight);
  TabComPorts = new QWidget;
  TabEthernet = new QWidget;
  PageControl1->addTab(TabComPorts, kComPage);
  PageControl1->addTab(TabEthernet, kEthernetPage);

  // "COM Ports"
  Label1 = MakeLabel("Maximum Baud Rate", TabComPorts, 10, 10, 200, 20);
  cbBaudRate = new QComboBox(TabComPorts);
  cbBaudRate->setGeometry(10, 30, 120, 26);
  for (const char* rate : kBaudRates) cbBaudRate->addItem(rate);
  cbBaudRate->setToolTip(kBaudRateHint);
  rbScanAll = new QRadioButton("Scan all COM ports", TabComPorts);
  rbScanAll->setGeometry(10, 64, 290, 22);
  rbScanAll->setToolTip(kScanAllHint);
  rbScanOne = new QRadioButton("Scan only first port", TabComPorts);
  rbScanOne->setGeometry(10, 86, 290, 22);
  rbScanOne->setToolTip(kScanOneHint);
  rbScanDisable = new QRadioButton("Disable all COM port activity", TabComPorts);
  rbScanDisable->setGeometry(10, 108, 290, 22);
  rbScanDisable->setToolTip(kScanDisableHint);
  Label2 = MakeLabel("Scan this COM port first", TabComPorts, 10, 138, 200, 20);
  cbPortList = new QComboBox(TabComPorts);
  cbPortList->setGeometry(10, 158, 296, 26);
  cbPortList->setToolTip(kPortListHint);
  Label3 = MakeLabel(kComNote, TabComPorts, 10, 186, 296, 40);
  Label3->setWordWrap(true);

  // "Ethernet"
  Label4 = MakeLabel("IPv4 Address", TabEthernet, 10, 10, 200, 20);
  cbIPAddress = new QComboBox(TabEthernet);
  cbIPAddress->setGeometry(10, 30, 180, 26);
  cbIPAddress->setEditable(true);
  cbIPAddress->setInsertPolicy(QComboBox::NoInsert);  // OK puts the typed address first
  cbEthernetEnable = new QCheckBox("Enable Ethernet based adapters", TabEthernet);
  cbEthernetEnable->setGeometry(10, 66, 290, 22);
  HelpLabel = MakeLabel("Network Configuration", TabEthernet, 10, 110, 180, 20);
  btnHelp = new QPushButton("Help", TabEthernet);
  btnHelp->setGeometry(196, 106, kButtonWidth, kButtonHeight);
  Label5 = MakeLabel(kEthernetNote, TabEthernet, 10, 186, 296, 40);
  Label5->setWordWrap(true);

  btnDefaults = new QPushButton("Defaults", this);
  btnDefaults->setGeometry(8, kButtonTop, kButtonWidth, kButtonHeight);
  btnOK = new QPushButton("OK", this);
  btnOK->setGeometry(kClientWidth - 2 * (kButtonWidth + 8), kButtonTop, kButtonWidth,
                     kButtonHeight);
  btnCancel = new QPushButton("Cancel", this);
  btnCancel->setGeometry(kClientWidth - (kButtonWidth + 8), kButtonTop, kButtonWidth,
                         kButtonHeight);

  // The form names no default button, so Enter presses none; Qt would otherwise make the first
  // button in focus order (Help) the default. Escape is Cancel's: the dialog's reject.
  for (QPushButton* button : {btnHelp, btnDefaults, btnOK, btnCancel})
    button->setAutoDefault(false);

  QObject::connect(btnOK, &QPushButton::clicked, this, [this] {
    btnOKClick();
    accept();
  });
  QObject::connect(btnCancel, &QPushButton::clicked, this, &QDialog::reject);
  QObject::connect(btnDefaults, &QPushButton::clicked, this, [this] { btnDefaultsClick(); });
  QObject::connect(btnHelp, &QPushButton::clicked, this, [this] { btnHelpClick(); });
}

void TSettingsDlg::LoadSettings() {
  DevicePort.clear();
  AutoPortScan = true;
  MaxBaudRate = kDefaultMaxBaudRate;
  SerialPortDisabled = false;
  EthernetEnabled = false;
  NetworkHelp.clear();
  Try([this] {
    cls::TRegistry reg;
    reg.SetRootKey(cls::HKEY_CURRENT_USER);
    if (!reg.OpenKey(kSettingsKey, true)) return;
    DevicePort = cls::ReadStringIfPresent(reg, TScanSettings::kDevicePort).value_or("");
    AutoPortScan = cls::ReadIntegerIfPresent(reg, TScanSettings::kAutoPortScan).value_or(1) != 0;
    MaxBaudRate = cls::ReadIntegerIfPresent(reg, TScanSettings::kMaxBaudRate)
                      .value_or(kDefaultMaxBaudRate);
    SerialPortDisabled =
        cls::ReadIntegerIfPresent(reg, TScanSettings::kSerialPortDisabled).value_or(0) != 0;
    EthernetEnabled =
        cls::ReadIntegerIfPresent(reg, THuxMgr::kEthernetEnabledValue).value_or(0) != 0;
  });
  Try([this] {
    cls::TRegistry reg;
    reg.SetRootKey(cls::HKEY_LOCAL_MACHINE);
    if (reg.OpenKeyReadOnly(kSettingsKey)) {
      NetworkHelp = cls::ReadStringIfPresent(reg, kNetworkHelpValue).value_or("");
    }
  });
}

void TSettingsDlg::SaveSettings() {
  cls::TRegistry reg;
  reg.SetRootKey(cls::HKEY_CURRENT_USER);
  bool open = false;
  Try([&] { open = reg.OpenKey(kSettingsKey, true); });
  if (!open) return;
  Try([&] { reg.WriteString(TScanSettings::kDevicePort, DevicePort); });
  Try([&] { reg.WriteBool(TScanSettings::kAutoPortScan, AutoPortScan); });
  Try([&] { reg.WriteInteger(TScanSettings::kMaxBaudRate, MaxBaudRate); });
  Try([&] { reg.WriteBool(TScanSettings::kSerialPortDisabled, SerialPortDisabled); });
  Try([&] { reg.WriteBool(THuxMgr::kEthernetEnabledValue, EthernetEnabled); });
}

bool TSettingsDlg::HelpFileExists() const {
  return !NetworkHelp.empty() && plat::IsExistingFile(NetworkHelp);
}

void TSettingsDlg::FormCreate() {
  LoadSettings();

  cbPortList->clear();
  std::vector<TComPortEntry> ports;
  EnumerateComPorts(&ports);
  for (const TComPortEntry& port : ports) cbPortList->addItem(QString::fromStdString(port.Name));

  (AutoPortScan ? rbScanAll : rbScanOne)->setChecked(true);
  if (SerialPortDisabled) rbScanDisable->setChecked(true);

  cbPortList->setCurrentIndex(
      DevicePort.empty() ? -1 : cbPortList->findText(QString::fromStdString(DevicePort)));
  cbBaudRate->setCurrentIndex(cbBaudRate->findText(QString::number(MaxBaudRate)));
  cbEthernetEnable->setChecked(EthernetEnabled);
  LoadAddressHistory(cbIPAddress, THuxMgr::kAddressHistoryPrefix);
  PageControl1->setCurrentIndex(0);

  const bool help = HelpFileExists();
  HelpLabel->setVisible(help);
  btnHelp->setVisible(help);

  shownScanAll_ = rbScanAll->isChecked();
  shownScanDisable_ = rbScanDisable->isChecked();
  defaultsPressed_ = false;
}

void TSettingsDlg::btnOKClick() {
  // The stored port stays unless the user chose another one or pressed Defaults: a port that
  // is not plugged in now is missing from the list, and an OK must not forget it.
  const int portIndex = cbPortList->currentIndex();
  std::string port = DevicePort;
  if (portIndex >= 0) {
    port = cbPortList->itemText(portIndex).toStdString();
  } else if (defaultsPressed_) {
    port.clear();
  }
  const int baudIndex = cbBaudRate->currentIndex();
  const int32_t rate = baudIndex >= 0 ? cbBaudRate->itemText(baudIndex).toInt() : MaxBaudRate;

  if (rbScanAll->isChecked() != shownScanAll_ || rbScanDisable->isChecked() != shownScanDisable_ ||
      port != DevicePort || rate != MaxBaudRate ||
      cbEthernetEnable->isChecked() != EthernetEnabled) {
    AutoPortScan = rbScanAll->isChecked();
    SerialPortDisabled = rbScanDisable->isChecked();
    DevicePort = port;
    MaxBaudRate = rate;
    EthernetEnabled = cbEthernetEnable->isChecked();
    SaveSettings();
  }

  // Stored without surrounding blanks: the Ethernet link connects to the value as it is.
  const QString address = cbIPAddress->currentText().trimmed();
  if (!address.isEmpty()) PushAddress(cbIPAddress, address);
  SaveAddressHistory(cbIPAddress, THuxMgr::kAddressHistoryPrefix);
}

void TSettingsDlg::btnDefaultsClick() {
  rbScanAll->setChecked(true);
  cbPortList->setCurrentIndex(-1);
  cbBaudRate->setCurrentIndex(cbBaudRate->findText(QString::number(kDefaultMaxBaudRate)));
  defaultsPressed_ = true;
}

void TSettingsDlg::btnHelpClick() {
  if (!HelpFileExists()) return;
  int error = 0;
  (void)plat::OpenFileWithDesktop(NetworkHelp, &error);  // nothing to tell the user
}

void TSettingsDlg::LoadAddressHistory(QComboBox* box, const char* prefix) {
  box->clear();
  Try([&] {
    cls::TRegistry reg;
    reg.SetRootKey(cls::HKEY_CURRENT_USER);
    if (!reg.OpenKey(kSettingsKey, true)) return;
    for (int n = 1; n <= kAddressHistoryLength; ++n) {
      const std::string address = cls::ReadStringIfPresent(reg, HistoryName(prefix, n)).value_or("");
      if (!address.empty()) box->addItem(QString::fromStdString(address));
    }
  });
  if (box->count() > 0) box->setCurrentIndex(0);
}

void TSettingsDlg::SaveAddressHistory(QComboBox* box, const char* prefix) {
  cls::TRegistry reg;
  reg.SetRootKey(cls::HKEY_CURRENT_USER);
  bool open = false;
  Try([&] { open = reg.OpenKey(kSettingsKey, true); });
  if (!open) return;
  const int count = std::min(box->count(), kAddressHistoryLength);
  for (int i = 0; i < count; ++i) {
    Try([&] { reg.WriteString(HistoryName(prefix, i + 1), box->itemText(i).toStdString()); });
  }
}

void TSettingsDlg::PushAddress(QComboBox* box, const QString& text) {
  const int index = box->findText(text);
  if (index > 0) {
    box->removeItem(index);
    box->insertItem(0, text);
  } else if (index < 0) {
    box->insertItem(0, text);
  }
  box->setCurrentIndex(0);
}

}  // namespace dral
