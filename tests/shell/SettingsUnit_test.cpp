#include "shell/SettingsUnit.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
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
using shell_test::kSettingsKey;

const std::vector<std::string> kPorts = {"/dev/ttySIM0", "/dev/ttySIM1"};

std::optional<int32_t> UserInteger(const char* name) {
  cls::TRegistry reg;
  reg.OpenKeyReadOnly(kSettingsKey);
  return cls::ReadIntegerIfPresent(reg, name);
}

std::vector<std::string> UserValueNames() {
  cls::TRegistry reg;
  std::vector<std::string> names;
  if (reg.OpenKeyReadOnly(kSettingsKey)) reg.GetValueNames(names);
  return names;
}

std::string HistoryName(int n) { return cls::Format("AdapterIPAddressHistory%.2d", n); }
std::string History(int n) { return ReadUserString(kSettingsKey, HistoryName(n)); }

class SettingsTest : public dral_test::IsolatedTest {
 protected:
  // The port list comes from the test's registry: the machine's own ports are never probed.
  SettingsTest() { dral_test::SetSerialCommPorts(kPorts); }

  static void SetHistory(const std::vector<std::string>& addresses) {
    for (size_t i = 0; i < addresses.size(); ++i)
      WriteUserString(kSettingsKey, HistoryName(static_cast<int>(i + 1)), addresses[i]);
  }
  static void SetHelp(const std::string& path) {
    cls::TRegistry reg;
    reg.SetRootKey(cls::HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey(kSettingsKey, true));
    reg.WriteString("NetworkHelp", path);
  }
  // Opens the dialog, lets `edit` work on it and presses OK.
  static void Ok(const std::function<void(TSettingsDlg&)>& edit = {}) {
    TSettingsDlg dlg;
    if (edit) edit(dlg);
    dlg.btnOK->click();
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
  }
};

TEST_F(SettingsTest, AnEmptyRegistryShowsTheDefaultsAndAPlainOkStoresNothing) {
  Ok([](TSettingsDlg& dlg) {
    EXPECT_EQ(dlg.windowTitle(), "DRAL Settings");
    EXPECT_EQ(dlg.PageControl1->currentIndex(), 0);
    EXPECT_TRUE(dlg.rbScanAll->isChecked());
    EXPECT_EQ(dlg.cbPortList->count(), 2);
    EXPECT_EQ(dlg.cbPortList->currentIndex(), -1);
    EXPECT_EQ(dlg.cbBaudRate->currentText(), "57600");
    EXPECT_FALSE(dlg.cbEthernetEnable->isChecked());
    EXPECT_EQ(dlg.cbIPAddress->count(), 0);
    EXPECT_TRUE(dlg.btnHelp->isHidden());
    EXPECT_TRUE(dlg.HelpLabel->isHidden());
  });
  EXPECT_TRUE(UserValueNames().empty());
}

TEST_F(SettingsTest, AStoredRateThatIsNoneOfTheFiveShowsNoChoiceAndStaysStored) {
  WriteUserInteger(kSettingsKey, "MaxBaudRate", 4800);
  Ok([](TSettingsDlg& dlg) {
    EXPECT_EQ(dlg.cbBaudRate->currentIndex(), -1);
    dlg.cbEthernetEnable->setChecked(true);  // a change: the five values are written
  });
  EXPECT_EQ(UserInteger("MaxBaudRate"), 4800);
  EXPECT_EQ(UserInteger("EthernetEnabled"), 1);
  EXPECT_EQ(UserInteger("AutoPortScan"), 1);
}

TEST_F(SettingsTest, TheStoredPortStaysUnlessAnotherIsChosenOrDefaultsArePressed) {
  WriteUserString(kSettingsKey, "DevicePort", "/dev/ttyUNPLUGGED");  // not in the list
  Ok([](TSettingsDlg& dlg) { dlg.cbBaudRate->setCurrentIndex(4); });
  EXPECT_EQ(ReadUserString(kSettingsKey, "DevicePort"), "/dev/ttyUNPLUGGED");
  EXPECT_EQ(UserInteger("MaxBaudRate"), 115200);
  Ok([](TSettingsDlg& dlg) { dral_test::Key(dlg.cbPortList, Qt::Key_Down); });  // the user's pick
  EXPECT_EQ(ReadUserString(kSettingsKey, "DevicePort"), kPorts[0]);
  Ok([](TSettingsDlg& dlg) {
    dlg.rbScanOne->setChecked(true);
    dlg.btnDefaults->click();
    EXPECT_TRUE(dlg.rbScanAll->isChecked());
    EXPECT_EQ(dlg.cbPortList->currentIndex(), -1);
    EXPECT_EQ(dlg.cbBaudRate->currentText(), "57600");
  });
  EXPECT_EQ(ReadUserString(kSettingsKey, "DevicePort"), "");
  EXPECT_EQ(UserInteger("MaxBaudRate"), 57600);
}

TEST_F(SettingsTest, DisabledSerialActivityIsShownAndKeptByAPlainOk) {
  WriteUserInteger(kSettingsKey, "AutoPortScan", 1);
  WriteUserInteger(kSettingsKey, "SerialPortDisabled", 1);
  Ok([](TSettingsDlg& dlg) { EXPECT_TRUE(dlg.rbScanDisable->isChecked()); });
  EXPECT_EQ(UserInteger("AutoPortScan"), 1);
  EXPECT_EQ(UserValueNames().size(), 2u);
  Ok([](TSettingsDlg& dlg) { dlg.rbScanOne->setChecked(true); });
  EXPECT_EQ(UserInteger("AutoPortScan"), 0);
  EXPECT_EQ(UserInteger("SerialPortDisabled"), 0);
}

TEST_F(SettingsTest, ATypedAddressGoesFirstWithoutBlanksAndTheOthersKeepTheirOrder) {
  SetHistory({"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"});
  Ok([](TSettingsDlg& dlg) {
    EXPECT_EQ(dlg.cbIPAddress->currentText(), "10.0.0.1");
    dlg.cbIPAddress->setEditText("  10.0.0.3 ");
  });
  const std::vector<std::string> expected = {"10.0.0.3", "10.0.0.1", "10.0.0.2", "10.0.0.4", ""};
  for (int n = 1; n <= 5; ++n) EXPECT_EQ(History(n), expected[n - 1]) << n;
}

TEST_F(SettingsTest, ABlankAddressOnlyRewritesTheHistoryInItsOrder) {
  // The gap closes up; the value numbered beyond the list's length stays.
  WriteUserString(kSettingsKey, HistoryName(1), "10.0.0.1");
  WriteUserString(kSettingsKey, HistoryName(3), "10.0.0.3");
  Ok([](TSettingsDlg& dlg) { dlg.cbIPAddress->setEditText("   "); });
  EXPECT_EQ(History(1), "10.0.0.1");
  EXPECT_EQ(History(2), "10.0.0.3");
  EXPECT_EQ(History(3), "10.0.0.3");
  EXPECT_EQ(UserValueNames().size(), 3u);
}

TEST_F(SettingsTest, AFullHistoryOfSixteenAddressesLoadsAllSixteen) {
  std::vector<std::string> addresses;
  for (int n = 1; n <= 17; ++n) addresses.push_back(cls::Format("10.1.0.%d", n));
  SetHistory(addresses);  // the seventeenth is beyond the history
  TSettingsDlg dlg;
  ASSERT_EQ(dlg.cbIPAddress->count(), 16);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(dlg.cbIPAddress->itemText(i).toStdString(), addresses[i]);
}

TEST_F(SettingsTest, SeventeenAddressesLeaveTheLastSixteenNewestFirst) {
  for (int n = 1; n <= 17; ++n)
    Ok([n](TSettingsDlg& dlg) { dlg.cbIPAddress->setEditText(QString("192.168.1.%1").arg(n)); });
  for (int n = 1; n <= 16; ++n) EXPECT_EQ(History(n), cls::Format("192.168.1.%d", 18 - n)) << n;
  EXPECT_EQ(History(17), "");
}

TEST_F(SettingsTest, CancelWritesNothing) {
  SetHistory({"10.0.0.1"});
  TSettingsDlg dlg;
  dlg.rbScanDisable->setChecked(true);
  dlg.cbEthernetEnable->setChecked(true);
  dlg.cbIPAddress->setEditText("10.9.9.9");
  dlg.btnDefaults->click();
  dlg.btnCancel->click();
  EXPECT_EQ(dlg.result(), QDialog::Rejected);
  EXPECT_EQ(UserValueNames(), std::vector<std::string>{HistoryName(1)});
}

TEST_F(SettingsTest, HelpShowsOnlyForAnExistingFileAndOpensIt) {
  const std::string help = env_.TempDir() + "/network help.pdf";
  for (const std::string& missing : {help, env_.TempDir()}) {  // none there; a folder
    SetHelp(missing);
    TSettingsDlg dlg;
    EXPECT_TRUE(dlg.btnHelp->isHidden());
    EXPECT_TRUE(dlg.HelpLabel->isHidden());
  }
  dral_test::WriteFile(help, "help");
  SetHelp(help);
  dral_test::FakeDesktopOpener desktop(env_.TempDir() + "/desktop");
  TSettingsDlg dlg;
  EXPECT_FALSE(dlg.btnHelp->isHidden());
  dlg.btnHelp->click();
  ASSERT_TRUE(desktop.WaitForCalls(1));
  EXPECT_EQ(desktop.Calls(), (std::vector<std::vector<std::string>>{{help}}));
}

TEST_F(SettingsTest, EnterPressesNoButtonAndEscapeCancels) {
  const std::string help = env_.TempDir() + "/help.pdf";
  dral_test::WriteFile(help, "help");
  SetHelp(help);

  TSettingsDlg dlg;
  int clicks = 0;
  for (QPushButton* button : {dlg.btnOK, dlg.btnCancel, dlg.btnDefaults, dlg.btnHelp})
    QObject::connect(button, &QPushButton::clicked, [&] { ++clicks; });
  dlg.show();
  dlg.PageControl1->setCurrentIndex(1);
  dlg.cbIPAddress->setFocus();
  dlg.cbIPAddress->setEditText("10.0.0.9");
  for (QWidget* target : std::vector<QWidget*>{dlg.cbIPAddress->lineEdit(), dlg.cbEthernetEnable}) {
    dral_test::Key(target, Qt::Key_Return);
    dral_test::Key(target, Qt::Key_Enter);
  }
  EXPECT_EQ(clicks, 0);
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_EQ(dlg.result(), 0);
  dral_test::Key(dlg.cbIPAddress->lineEdit(), Qt::Key_Escape);
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(dlg.result(), QDialog::Rejected);
  EXPECT_TRUE(UserValueNames().empty());
}

using SettingsFromMainFormTest = shell_test::MainFormTest;

TEST_F(SettingsFromMainFormTest, OptionsOpensTheDialogModallyAndEndsIt) {
  dral_test::SetSerialCommPorts(kPorts);
  auto& form = MakeForm();
  QString seen;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* dlg = dynamic_cast<TSettingsDlg*>(QApplication::activeModalWidget());
    if (dlg == nullptr) return;
    poll.stop();
    seen = dlg->windowTitle();
    dlg->btnCancel->click();
  });
  poll.start(2);
  form.btnSettings->click();  // the watchdog ends the test should the dialog never open
  EXPECT_EQ(seen, "DRAL Settings");
  EXPECT_TRUE(form.findChildren<TSettingsDlg*>().isEmpty());
}

TEST_F(SettingsFromMainFormTest, AnErrorWhileOptionsOpensTheDialogIsDropped) {
  auto& form = MakeForm();
  form.SettingsFail = true;
  EXPECT_NO_THROW(form.btnSettingsClick());
}

}  // namespace
