// TSettingsDlg: edits the user's link settings in the registry (HKEY_CURRENT_USER
// "\SOFTWARE\Trevik\DRAL"): where and how fast the serial scan looks for the adapter, or no
// serial activity at all, whether the Ethernet link is on, and the history of adapter addresses
// (the newest is the one the Ethernet link uses). It only writes the registry; the link manager
// and the serial scan read the values themselves the next time they start.
//
// The dialog loads everything when it is created (FormCreate). OK writes the five link values
// only when the user changed something on the COM page or the Ethernet box, and always
// rewrites the address history; Cancel writes nothing; every registry failure is silent (a read
// takes its default, a failed write is skipped). Main thread only.
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <string>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QRadioButton;
class QTabWidget;
class QWidget;

namespace dral {

class TSettingsDlg : public QDialog {
 public:
  // Builds the form and runs FormCreate.
  explicit TSettingsDlg(QWidget* owner = nullptr);
  ~TSettingsDlg() override;

  // --- components -------------------------------------------------------------------------------
  QTabWidget* PageControl1;
  QWidget* TabComPorts;
  QWidget* TabEthernet;
  QLabel* Label1;  // "Maximum Baud Rate"
  QLabel* Label2;  // "Scan this COM port first"
  QLabel* Label3;  // the COM page's note
  QComboBox* cbBaudRate;
  QComboBox* cbPortList;
  QRadioButton* rbScanAll;
  QRadioButton* rbScanOne;
  QRadioButton* rbScanDisable;
  QLabel* Label4;  // "IPv4 Address"
  QLabel* Label5;  // the Ethernet page's note
  QComboBox* cbIPAddress;
  QCheckBox* cbEthernetEnable;
  QLabel* HelpLabel;
  QPushButton* btnHelp;
  QPushButton* btnOK;
  QPushButton* btnCancel;
  QPushButton* btnDefaults;

  // --- the settings as loaded -------------------------------------------------------------------
  std::string DevicePort;
  bool AutoPortScan = true;
  int32_t MaxBaudRate = 0;
  bool SerialPortDisabled = false;
  bool EthernetEnabled = false;
  std::string NetworkHelp;  // HKEY_LOCAL_MACHINE: the path of the network help file

  // --- events -----------------------------------------------------------------------------------
  // Loads the settings and shows them; the first page is shown; Help and its label only when
  // NetworkHelp names an existing file.
  void FormCreate();
  // Stores what changed (see the header comment), then the address history: the typed address,
  // without surrounding blanks, goes first unless it is blank.
  void btnOKClick();
  // Scan all ports, no port chosen, 57600; the Ethernet page keeps what it shows. Nothing is
  // stored until OK; OK then also clears the stored port.
  void btnDefaultsClick();
  // Opens the network help file with the desktop's default application.
  void btnHelpClick();

  // --- registry ---------------------------------------------------------------------------------
  void LoadSettings();
  void SaveSettings();
  // The values <prefix>01 ... <prefix>16 that are not empty, in order; the first is selected.
  void LoadAddressHistory(QComboBox* box, const char* prefix);
  // Items 1 ... 16 of the box as <prefix>01 ...; stored values beyond the list's length stay.
  void SaveAddressHistory(QComboBox* box, const char* prefix);
  // Moves `text` to the top of the box's items (inserting it when missing) and selects it.
  void PushAddress(QComboBox* box, const QString& text);

  // --- texts ------------------------------------------------------------------------------------
  static constexpr const char* kCaption = "DRAL Settings";
  static constexpr const char* kNetworkHelpValue = "NetworkHelp";
  static constexpr int32_t kDefaultMaxBaudRate = 57600;
  static constexpr int kAddressHistoryLength = 16;

 private:
  void BuildComponents();
  bool HelpFileExists() const;

  // What the COM page showed when the dialog opened: OK compares with it, so an OK that
  // changes nothing stores nothing.
  bool shownScanAll_ = false;
  bool shownScanDisable_ = false;
  bool defaultsPressed_ = false;
};

}  // namespace dral
