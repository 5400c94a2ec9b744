#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "classlib/Registry.h"
#include "comport/CPort.h"
#include "testsupport/PtyPair.h"
#include "testsupport/test_env.h"
#include "testsupport/test_util.h"

namespace comport {
namespace {

using dral_test::ReadFile;
using dral_test::WriteFile;

const TStoredProps kAllGroups{TStoredProp::spBasic,  TStoredProp::spFlowControl,
                              TStoredProp::spBuffer, TStoredProp::spTimeouts,
                              TStoredProp::spParity, TStoredProp::spOthers};

// Counts the set-ups that reach the device.
class CountingPort : public TComPort {
 public:
  int DcbApplied = 0;

 protected:
  void ApplyDCB() override {
    if (CanApply()) ++DcbApplied;
    TComPort::ApplyDCB();
  }
};

template <typename F>
int32_t CodeRaised(F&& action) {
  try {
    action();
  } catch (const EComPort& e) {
    return e.Code();
  }
  ADD_FAILURE() << "no EComPort";
  return 0;
}

// Every stored setting away from its default.
void SetEverything(TCustomComPort& p) {
  p.SetPort("/dev/ttyUSB3");
  p.SetBaudRate(TBaudRate::brCustom);
  p.SetCustomBaudRate(250000);
  p.SetStopBits(TStopBits::sbTwoStopBits);
  p.SetDataBits(TDataBits::dbSeven);
  p.Parity().SetBits(TParityBits::prMark);
  p.SetEventChar(';');
  p.SetDiscardNull(true);
  p.Parity().SetCheck(true);
  p.Parity().SetReplace(true);
  p.Parity().SetReplaceChar('#');
  p.Buffer().SetOutputSize(2048);
  p.Buffer().SetInputSize(4096);
  p.Timeouts().SetReadInterval(5);
  p.Timeouts().SetReadTotalConstant(6);
  p.Timeouts().SetReadTotalMultiplier(7);
  p.Timeouts().SetWriteTotalConstant(8);
  p.Timeouts().SetWriteTotalMultiplier(9);
  TComFlowControl& f = p.FlowControl();
  f.SetControlRTS(TRTSFlowControl::rtsToggle);
  f.SetControlDTR(TDTRFlowControl::dtrHandshake);
  f.SetDSRSensitivity(true);
  f.SetOutCTSFlow(true);
  f.SetOutDSRFlow(true);
  f.SetTxContinueOnXoff(true);
  f.SetXonXoffIn(true);
  f.SetXonXoffOut(false);
  f.SetXoffChar('\x93');
  f.SetXonChar(' ');
}

// Every setting of the port as its ini store writes it (all groups), with the count of keys.
std::string AllSettings(TCustomComPort& p, const std::string& file) {
  const TStoredProps before = p.StoredProps();
  p.SetStoredProps(kAllGroups);
  p.StoreSettings(TStoreType::stIniFile, file);
  p.SetStoredProps(before);
  const std::string text = ReadFile(file);
  return std::to_string(std::count(text.begin(), text.end(), '=')) + " keys\n" + text;
}

class SettingsTest : public dral_test::IsolatedTest {
 protected:
  SettingsTest() {
    port_.SetName("ComPort1");
    port_.SetEvents({});
  }
  std::string ini_ = env_.TempDir() + "/port.ini";
  TComPort port_;
};

TEST(SettingsText, CharactersAndYesNoHaveTheirStoredForms) {
  EXPECT_EQ(CharToText(17), "#17");
  EXPECT_EQ(CharToText('A'), "A");
  EXPECT_EQ(CharToText('\x7F'), "\x7F");
  EXPECT_EQ(CharToText('\x80'), "#128");
  EXPECT_EQ(CharToText(' '), "#32");
  EXPECT_EQ(TextToChar(""), 0);
  EXPECT_EQ(TextToChar("#300"), 44);
  EXPECT_EQ(TextToChar("#200"), '\xC8');
  EXPECT_EQ(TextToChar("#"), '#');
  EXPECT_EQ(TextToChar("#x"), 0);
  EXPECT_EQ(TextToChar("AB"), 'A');
  for (int code = 0; code < 256; ++code) {
    EXPECT_EQ(TextToChar(CharToText(static_cast<char>(code))), static_cast<char>(code)) << code;
  }
  EXPECT_EQ(YesNoText(true), "Yes");
  EXPECT_EQ(YesNoText(false), "No");
  for (const char* yes : {"yes", "YES", "Yes"}) EXPECT_TRUE(YesNoValue(yes)) << yes;
  for (const char* no : {"Y", "true", "1", "", "Yes "}) EXPECT_FALSE(YesNoValue(no)) << no;
  EXPECT_EQ(TextToRTS("toggle"), TRTSFlowControl::rtsToggle);
  EXPECT_EQ(TextToRTS("Toggle "), TRTSFlowControl::rtsDisable);
  EXPECT_EQ(TextToDTR("HANDSHAKE"), TDTRFlowControl::dtrHandshake);
  EXPECT_EQ(TextToDTR("Toggle"), TDTRFlowControl::dtrDisable);
  EXPECT_EQ(RTSToText(TRTSFlowControl::rtsEnable), "Enable");
  EXPECT_EQ(DTRToText(TDTRFlowControl::dtrHandshake), "Handshake");
}

TEST_F(SettingsTest, TheBasicIniStoreWritesExactlySixKeysInOrder) {
  port_.SetPort("/dev/ttyUSB0");
  port_.SetBaudRate(TBaudRate::br19200);
  port_.StoreSettings(TStoreType::stIniFile, ini_);
  EXPECT_EQ(ReadFile(ini_),
            "[ComPort1]\nPort=/dev/ttyUSB0\nBaudRate=19200\nStopBits=1\nDataBits=8\n"
            "Parity=None\nFlowControl=None\n");
}

TEST_F(SettingsTest, EverySettingRoundTripsThroughTheIniFileAndTheRegistry) {
  SetEverything(port_);
  port_.SetStoredProps(kAllGroups);
  for (const auto& [type, place] : {std::pair{TStoreType::stIniFile, ini_},
                                    std::pair{TStoreType::stRegistry, std::string("x\\Lab")}}) {
    port_.StoreSettings(type, place);
    TComPort loaded;
    loaded.SetName("ComPort1");
    loaded.SetStoredProps(kAllGroups);
    loaded.LoadSettings(type, place);
    EXPECT_EQ(AllSettings(loaded, ini_ + ".loaded"), AllSettings(port_, ini_ + ".stored"));
  }
  EXPECT_EQ(AllSettings(port_, ini_).substr(0, 8), "29 keys\n");
  EXPECT_NE(ReadFile(ini_).find("\nEventChar=;\n"), std::string::npos);
}

TEST_F(SettingsTest, AnIniLoadKeepsWhatIsMissingAndTakes9600ForAMissingCustomRate) {
  port_.SetCustomBaudRate(250000);
  port_.FlowControl().SetOutDSRFlow(true);
  port_.SetStoredProps(kAllGroups);
  WriteFile(ini_,
            "[ComPort1]\nBaudRate=custom\nFlowControl=Software\n"
            "FlowControl.OutCTSFlow=Yes\nFlowControl.XonXoffIn=no\n");
  port_.LoadSettings(TStoreType::stIniFile, ini_);
  EXPECT_EQ(port_.BaudRate(), TBaudRate::brCustom);
  EXPECT_EQ(port_.CustomBaudRate(), 9600);
  EXPECT_EQ(port_.Port(), "COM1");
  EXPECT_TRUE(port_.FlowControl().OutDSRFlow());
  // The single fields come after the summary and win.
  EXPECT_TRUE(port_.FlowControl().OutCTSFlow());
  EXPECT_FALSE(port_.FlowControl().XonXoffIn());
  EXPECT_TRUE(port_.FlowControl().XonXoffOut());
}

TEST_F(SettingsTest, TheFirstRegistryPathSegmentIsTheRootAndNeverPartOfTheKey) {
  port_.StoreSettings(TStoreType::stRegistry, "SOFTWARE\\Lab");
  cls::TRegistry user;
  ASSERT_TRUE(user.OpenKeyReadOnly("Lab\\ComPort1"));
  EXPECT_EQ(user.ReadString("Port"), "COM1");
  EXPECT_FALSE(user.KeyExists("SOFTWARE\\Lab"));

  port_.SetPort("COM7");
  port_.StoreSettings(TStoreType::stRegistry, "hkey_local_machine\\Software\\Lab\\");
  cls::TRegistry machine;
  machine.SetRootKey(cls::HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(machine.OpenKeyReadOnly("Software\\Lab\\ComPort1"));
  EXPECT_EQ(machine.ReadString("Port"), "COM7");
}

TEST_F(SettingsTest, ARegistryPathWithoutAKeyFailsAndTouchesNoKey) {
  port_.SetStoredProps(kAllGroups);
  for (const char* path : {"HKEY_CURRENT_USER\\", "HKEY_LOCAL_MACHINE\\\\", "NoSeparator"}) {
    EXPECT_EQ(CodeRaised([&] { port_.StoreSettings(TStoreType::stRegistry, path); }),
              CError_StoreFailed)
        << path;
    EXPECT_EQ(CodeRaised([&] { port_.LoadSettings(TStoreType::stRegistry, path); }),
              CError_LoadFailed)
        << path;
  }
  EXPECT_EQ(port_.Port(), "COM1");
  EXPECT_EQ(port_.FlowControl().FlowControl(), TFlowControl::fcNone);
  EXPECT_EQ(ReadFile(plat::HiveFilePath(plat::Hive::CurrentUser)), "");
  EXPECT_EQ(ReadFile(plat::HiveFilePath(plat::Hive::LocalMachine)), "");
}

TEST_F(SettingsTest, AMissingRegistryStringKeepsTheSettingAndAMissingIntegerFails) {
  cls::TRegistry reg;
  ASSERT_TRUE(reg.OpenKey("Lab\\ComPort1", true));
  reg.WriteString("BaudRate", "57600");
  port_.SetPort("/dev/ttyUSB0");
  port_.SetDataBits(TDataBits::dbSeven);
  port_.LoadSettings(TStoreType::stRegistry, "HKEY_CURRENT_USER\\Lab");
  EXPECT_EQ(port_.Port(), "/dev/ttyUSB0");
  EXPECT_EQ(port_.BaudRate(), TBaudRate::br57600);
  EXPECT_EQ(port_.DataBits(), TDataBits::dbSeven);

  reg.WriteString("Port", "COM2");
  reg.WriteString("BaudRate", "Custom");  // and no CustomBaudRate
  EXPECT_EQ(
      CodeRaised([&] { port_.LoadSettings(TStoreType::stRegistry, "HKEY_CURRENT_USER\\Lab"); }),
      CError_LoadFailed);
  EXPECT_EQ(port_.Port(), "COM2");  // read before the failure: stays
  EXPECT_EQ(port_.BaudRate(), TBaudRate::brCustom);
}

TEST(SettingsOnAnOpenPort, TheDeviceIsSetUpOnceAndALoadFailureIsNotHiddenByTheSetUp) {
  dral_test::IsolatedEnv env;
  dral_test::Watchdog watchdog(30);
  dral_test::PtyPair pty;
  const std::string ini = env.TempDir() + "/port.ini";
  CountingPort port;
  port.SetName("P");
  port.SetEvents({});
  port.SetPort(pty.SlavePath());
  port.Open();
  port.DcbApplied = 0;
  WriteFile(ini, "[P]\nBaudRate=57600\nStopBits=2\nDataBits=8\nFlowControl=None\n");
  port.LoadSettings(TStoreType::stIniFile, ini);
  EXPECT_EQ(port.DcbApplied, 1);
  EXPECT_EQ(port.StopBits(), TStopBits::sbTwoStopBits);

  // A pseudo-terminal refuses parity: the set-up at the end fails, after a failed load too.
  cls::TRegistry reg;
  ASSERT_TRUE(reg.OpenKey("Lab\\P", true));
  reg.WriteString("Parity", "Odd");
  port.SetStoredProps({TStoredProp::spBasic, TStoredProp::spBuffer});
  EXPECT_EQ(CodeRaised([&] { port.LoadSettings(TStoreType::stRegistry, "x\\Lab"); }),
            CError_LoadFailed);
  port.SetStoredProps({TStoredProp::spBasic});
  EXPECT_EQ(CodeRaised([&] { port.LoadSettings(TStoreType::stRegistry, "x\\Lab"); }),
            CError_SetStateFailed);
  port.Parity().SetBits(TParityBits::prNone);  // applies at once: no update is left open
  EXPECT_EQ(port.DcbApplied, 4);
}

}  // namespace
}  // namespace comport
