#include "shell/SettingsUnit.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTimer>
#include <optional>
#include <string>
#include <vector>

#include "MainFormFixture.h"
#include "classlib/Registry.h"
#include "testsupport/AdapterPtyFront.h"
#include "testsupport/FakeDesktop.h"
#include "testsupport/QtInput.h"

namespace {

using dral::TSettingsDlg;
using dral_test::ReadUserString;
using dral_test::WriteUserInteger;
using dral_test::WriteUserString;

constexpr const char* kKey = "\\SOFTWARE\\Trevik\\DRAL";
const std::vector<std::string> kPorts = {"/dev/ttySIM0", "/dev/ttySIM1", "/dev/ttySIM2"};

std::optional<int32_t> UserInteger(const char* name) {
  cls::TRegistry reg;
  if (!reg.OpenKeyReadOnly(kKey)) return std::nullopt;
  return cls::ReadIntegerIfPresent(reg, name);
}

std::vector<std::string> UserValueNames() {
  cls::TRegistry reg;
  std::vector<std::string> names;
  if (reg.OpenKeyReadOnly(kKey)) reg.GetValueNames(names);
  return names;
}

std::string History(int n) {
  return ReadUserString(kKey, cls::Format("AdapterIPAddressHistory%.2d", n));
}

void SetHistory(const std::vector<std::string>& addresses) {
  for (size_t i = 0; i < addresses.size(); ++i) {
    WriteUserString(kKey, cls::Format("AdapterIPAddressHistory%.2d", static_cast<int>(i + 1)),
                    addresses[i]);
  }
}

void SetHelpFile(const std::string& path) {
  cls::TRegistry reg;
  reg.SetRootKey(cls::HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(reg.OpenKey(kKey, true));
  reg.WriteString("NetworkHelp", path);
}

class SettingsTest : public dral_test::IsolatedTest {
 protected:
  // The port list comes from the test's registry: the machine's own ports are never probed.
  SettingsTest() { dral_test::SetSerialCommPorts(kPorts); }

  static void Ok(TSettingsDlg& dlg) { dlg.btnOK->click(); }
  static void TypeAddress(TSettingsDlg& dlg, const QString& text) {
    dlg.cbIPAddress->setEditText(text);
  }
};

TEST_F(SettingsTest, AnEmptyRegistryShowsTheDefaultsAndOkStoresNothing) {
  TSettingsDlg dlg;
  EXPECT_EQ(dlg.windowTitle(), "DRAL Settings");
  EXPECT_EQ(dlg.PageControl1->tabText(0), "COM Ports");
  EXPECT_EQ(dlg.PageControl1->tabText(1), "Ethernet");
  EXPECT_EQ(dlg.PageControl1->currentIndex(), 0);
  EXPECT_EQ(dlg.cbBaudRate->toolTip(), "The highest baud rate used to communicate with the Fendrel.");
  EXPECT_EQ(dlg.rbScanOne->toolTip(),
            "Only the port selected in the list below will be scanned for the Fendrel.");
  EXPECT_TRUE(dlg.rbScanAll->isChecked());
  EXPECT_EQ(dlg.cbPortList->count(), 3);
  EXPECT_EQ(dlg.cbPortList->currentIndex(), -1);
  EXPECT_EQ(dlg.cbBaudRate->currentText(), "57600");
  EXPECT_FALSE(dlg.cbEthernetEnable->isChecked());
  EXPECT_EQ(dlg.cbIPAddress->count(), 0);
  EXPECT_TRUE(dlg.btnHelp->isHidden());
  EXPECT_TRUE(dlg.HelpLabel->isHidden());

  Ok(dlg);
  EXPECT_EQ(dlg.result(), QDialog::Accepted);
  EXPECT_TRUE(UserValueNames().empty());
}

TEST_F(SettingsTest, AStoredRateThatIsNoneOfTheFiveShowsNoChoiceAndStaysStored) {
  WriteUserInteger(kKey, "MaxBaudRate", 4800);
  TSettingsDlg dlg;
  EXPECT_EQ(dlg.cbBaudRate->currentIndex(), -1);
  dlg.cbEthernetEnable->setChecked(true);  // a change, so the five values are written
  Ok(dlg);
  EXPECT_EQ(UserInteger("MaxBaudRate"), 4800);
  EXPECT_EQ(UserInteger("EthernetEnabled"), 1);
  EXPECT_EQ(UserInteger("AutoPortScan"), 1);
  EXPECT_EQ(UserInteger("SerialPortDisabled"), 0);
}

TEST_F(SettingsTest, TheStoredPortStaysUnlessAnotherIsChosenOrDefaultsArePressed) {
  WriteUserString(kKey, "DevicePort", "/dev/ttyUNPLUGGED");
  {
    TSettingsDlg dlg;  // the adapter is not plugged in: its port is not listed
    EXPECT_EQ(dlg.cbPortList->currentIndex(), -1);
    dlg.cbBaudRate->setCurrentIndex(dlg.cbBaudRate->findText("115200"));
    Ok(dlg);
    EXPECT_EQ(ReadUserString(kKey, "DevicePort"), "/dev/ttyUNPLUGGED");
    EXPECT_EQ(UserInteger("MaxBaudRate"), 115200);
  }
  {
    TSettingsDlg dlg;
    dral_test::Key(dlg.cbPortList, Qt::Key_Down);  // the user picks a port
    Ok(dlg);
    EXPECT_EQ(ReadUserString(kKey, "DevicePort"), kPorts[0]);
  }
  {
    TSettingsDlg dlg;
    EXPECT_EQ(dlg.cbPortList->currentText().toStdString(), kPorts[0]);
    dlg.rbScanOne->setChecked(true);
    dlg.btnDefaults->click();
    EXPECT_TRUE(dlg.rbScanAll->isChecked());
    EXPECT_EQ(dlg.cbPortList->currentIndex(), -1);
    EXPECT_EQ(dlg.cbBaudRate->currentText(), "57600");
    EXPECT_EQ(UserInteger("MaxBaudRate"), 115200);  // nothing stored before OK
    Ok(dlg);
    EXPECT_EQ(ReadUserString(kKey, "DevicePort"), "");
    EXPECT_EQ(UserInteger("MaxBaudRate"), 57600);
    EXPECT_EQ(UserInteger("AutoPortScan"), 1);
  }
}

TEST_F(SettingsTest, DisabledSerialActivityShowsAsSuchAndAPlainOkKeepsTheStoredChoice) {
  WriteUserInteger(kKey, "AutoPortScan", 1);
  WriteUserInteger(kKey, "SerialPortDisabled", 1);
  {
    TSettingsDlg dlg;
    EXPECT_TRUE(dlg.rbScanDisable->isChecked());
    EXPECT_FALSE(dlg.rbScanAll->isChecked());
    Ok(dlg);
    EXPECT_EQ(UserInteger("AutoPortScan"), 1);
    EXPECT_EQ(UserValueNames().size(), 2u);
  }
  TSettingsDlg dlg;
  dlg.rbScanOne->setChecked(true);
  Ok(dlg);
  EXPECT_EQ(UserInteger("AutoPortScan"), 0);
  EXPECT_EQ(UserInteger("SerialPortDisabled"), 0);
}

TEST_F(SettingsTest, ATypedAddressGoesFirstWithoutBlanksAndTheOthersKeepTheirOrder) {
  SetHistory({"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"});
  TSettingsDlg dlg;
  EXPECT_EQ(dlg.cbIPAddress->currentText(), "10.0.0.1");
  TypeAddress(dlg, "  10.0.0.3 ");
  Ok(dlg);
  EXPECT_EQ(History(1), "10.0.0.3");
  EXPECT_EQ(History(2), "10.0.0.1");
  EXPECT_EQ(History(3), "10.0.0.2");
  EXPECT_EQ(History(4), "10.0.0.4");
  EXPECT_EQ(History(5), "");
}

TEST_F(SettingsTest, ABlankAddressOnlyRewritesTheHistoryInItsOrder) {
  // A gap closes up; the value numbered beyond the list's length stays as it was.
  WriteUserString(kKey, "AdapterIPAddressHistory01", "10.0.0.1");
  WriteUserString(kKey, "AdapterIPAddressHistory03", "10.0.0.3");
  TSettingsDlg dlg;
  TypeAddress(dlg, "   ");
  Ok(dlg);
  EXPECT_EQ(History(1), "10.0.0.1");
  EXPECT_EQ(History(2), "10.0.0.3");
  EXPECT_EQ(History(3), "10.0.0.3");
  EXPECT_EQ(UserValueNames().size(), 3u);
}

TEST_F(SettingsTest, SeventeenAddressesLeaveTheLastSixteenNewestFirst) {
  for (int n = 1; n <= 17; ++n) {
    TSettingsDlg dlg;
    TypeAddress(dlg, QString("192.168.1.%1").arg(n));
    Ok(dlg);
  }
  for (int n = 1; n <= 16; ++n) EXPECT_EQ(History(n), cls::Format("192.168.1.%d", 18 - n)) << n;
  EXPECT_EQ(History(17), "");
  TSettingsDlg dlg;
  EXPECT_EQ(dlg.cbIPAddress->count(), 16);
}

TEST_F(SettingsTest, CancelWritesNothing) {
  SetHistory({"10.0.0.1"});
  TSettingsDlg dlg;
  dlg.rbScanDisable->setChecked(true);
  dlg.cbBaudRate->setCurrentIndex(0);
  dlg.cbEthernetEnable->setChecked(true);
  TypeAddress(dlg, "10.9.9.9");
  dlg.btnDefaults->click();
  dlg.btnCancel->click();
  EXPECT_EQ(dlg.result(), QDialog::Rejected);
  EXPECT_EQ(UserValueNames(), std::vector<std::string>{"AdapterIPAddressHistory01"});
  EXPECT_EQ(History(1), "10.0.0.1");
}

TEST_F(SettingsTest, HelpShowsOnlyForAnExistingFileAndOpensIt) {
  const std::string help = env_.TempDir() + "/network help.pdf";
  SetHelpFile(help);
  {
    TSettingsDlg dlg;  // not there
    EXPECT_TRUE(dlg.btnHelp->isHidden());
    EXPECT_TRUE(dlg.HelpLabel->isHidden());
  }
  SetHelpFile(env_.TempDir());  // a folder is no help file
  {
    TSettingsDlg dlg;
    EXPECT_TRUE(dlg.btnHelp->isHidden());
  }
  dral_test::WriteFile(help, "help");
  SetHelpFile(help);
  dral_test::FakeDesktopOpener desktop(env_.TempDir() + "/desktop");
  TSettingsDlg dlg;
  EXPECT_FALSE(dlg.btnHelp->isHidden());
  EXPECT_EQ(dlg.HelpLabel->text(), "Network Configuration");
  EXPECT_EQ(dlg.btnHelp->text(), "Help");
  dlg.btnHelp->click();
  ASSERT_TRUE(desktop.WaitForCalls(1));
  EXPECT_EQ(desktop.Calls(), (std::vector<std::vector<std::string>>{{help}}));
}

using SettingsFromMainFormTest = shell_test::MainFormTest;

TEST_F(SettingsFromMainFormTest, OptionsOpensTheDialogModallyAndEndsIt) {
  dral_test::SetSerialCommPorts(kPorts);
  auto& form = MakeForm();
  QString seen;
  QTimer poll;
  poll.setInterval(2);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* dlg = dynamic_cast<TSettingsDlg*>(QApplication::activeModalWidget());
    if (dlg == nullptr) return;
    poll.stop();
    seen = dlg->windowTitle();
    EXPECT_EQ(dlg->parentWidget(), &form);
    dlg->btnCancel->click();
  });
  poll.start();
  QTimer::singleShot(10000, [] {
    if (auto* w = QApplication::activeModalWidget()) w->close();  // never opened: end the test
  });
  form.btnSettings->click();
  EXPECT_EQ(seen, "DRAL Settings");
  EXPECT_TRUE(form.findChildren<TSettingsDlg*>().isEmpty());
}

}  // namespace
