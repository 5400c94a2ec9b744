#include "comport/CPortSelect.h"

#include <gtest/gtest.h>

#include <memory>

#include "ComportUiTestUtil.h"
#include "testsupport/AdapterPtyFront.h"
#include "testsupport/test_env.h"

namespace comport {
namespace {

using comport_test::TestPort;
using dral_test::PtyPair;

class ComSelectTest : public dral_test::IsolatedTest {
 protected:
  // The user picks `text` from the list.
  static void Pick(TComComboBox& combo, const char* text) {
    combo.SetText(text);
    ASSERT_EQ(combo.Text(), text);
    combo.Change();
  }
  PtyPair pty_;
};

TEST_F(ComSelectTest, AParityListWithoutAPortShowsTheFiveNamesWithTheFirstSelected) {
  TComComboBox combo;
  combo.SetComProperty(TComProperty::cpParity);
  ASSERT_EQ(combo.count(), 5);
  EXPECT_EQ(combo.itemText(0), "None");
  EXPECT_EQ(combo.itemText(4), "Space");
  EXPECT_EQ(combo.currentIndex(), 0);
  combo.SetComProperty(TComProperty::cpBaudRate);
  EXPECT_EQ(combo.count(), 16);
  EXPECT_EQ(combo.itemText(0), "Custom");
  combo.SetComProperty(TComProperty::cpNone);
  EXPECT_EQ(combo.count(), 0);
  EXPECT_EQ(combo.Text(), "");
}

TEST_F(ComSelectTest, BindingAPortSelectsItsValue) {
  TestPort port(pty_);
  port.SetBaudRate(TBaudRate::br19200);
  TComComboBox combo;
  combo.SetComProperty(TComProperty::cpBaudRate);
  combo.SetComPort(&port);
  EXPECT_EQ(combo.Text(), "19200");
  EXPECT_EQ(combo.Select().BaudRate(), TBaudRate::br19200);
}

TEST_F(ComSelectTest, WithoutAutoApplyAPickReachesThePortOnlyOnApply) {
  TestPort port(pty_);
  TComComboBox combo;
  combo.SetComProperty(TComProperty::cpStopBits);
  combo.SetComPort(&port);
  int changes = 0;
  combo.OnChange = [&] { ++changes; };
  Pick(combo, "2");
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(combo.Select().StopBits(), TStopBits::sbTwoStopBits);
  EXPECT_EQ(port.StopBits(), TStopBits::sbOneStopBit);
  combo.ApplySettings();
  EXPECT_EQ(port.StopBits(), TStopBits::sbTwoStopBits);

  combo.SetAutoApply(true);
  Pick(combo, "1.5");
  EXPECT_EQ(port.StopBits(), TStopBits::sbOne5StopBits);
}

TEST_F(ComSelectTest, APortNameMissingFromTheListIsKept) {
  dral_test::SetSerialCommPorts({"/dev/ttyDRALA", "/dev/ttyDRALB"});
  TestPort port(pty_);
  TComComboBox combo;
  combo.SetComProperty(TComProperty::cpPort);
  ASSERT_EQ(combo.count(), 2);
  combo.SetComPort(&port);
  EXPECT_EQ(combo.currentIndex(), -1);
  combo.ApplySettings();
  EXPECT_EQ(port.Port(), pty_.SlavePath());
  // A listed name is selected whatever its case.
  port.SetPort("/DEV/TTYDRALB");
  combo.UpdateSettings();
  EXPECT_EQ(combo.currentIndex(), 1);
  EXPECT_EQ(combo.Select().PortName(), "/dev/ttyDRALB");
}

TEST_F(ComSelectTest, FreeingTheBoundPortUnbindsEveryControlAndSelectsTheFirstItem) {
  auto port = std::make_unique<TestPort>(pty_);
  port->SetDataBits(TDataBits::dbSeven);
  TComComboBox combo;
  combo.SetComProperty(TComProperty::cpDataBits);
  combo.SetComPort(port.get());
  TComRadioGroup group;
  group.SetComProperty(TComProperty::cpFlowControl);
  group.SetComPort(port.get());
  ASSERT_EQ(combo.Text(), "7");
  ASSERT_EQ(group.ItemIndex(), 2);  // "None"
  port.reset();
  EXPECT_EQ(combo.ComPort(), nullptr);
  EXPECT_EQ(combo.currentIndex(), 0);
  EXPECT_EQ(group.ComPort(), nullptr);
  EXPECT_EQ(group.ItemIndex(), 0);
}

TEST_F(ComSelectTest, ARadioGroupPassesOnlyANewlyCheckedButton) {
  TestPort port(pty_);
  TComRadioGroup group;
  group.SetComProperty(TComProperty::cpParity);
  group.SetComPort(&port);
  group.SetAutoApply(true);
  ASSERT_EQ(group.Count(), 5);
  ASSERT_EQ(group.ItemIndex(), 0);
  int clicks = 0;
  group.OnClick = [&] { ++clicks; };
  // The selector's value differs from the port's: a click on the checked button writes nothing.
  port.Parity().SetBits(TParityBits::prOdd);
  group.Click();
  EXPECT_EQ(port.Parity().Bits(), TParityBits::prOdd);
  group.SetItemIndex(2);
  group.Click();
  EXPECT_EQ(port.Parity().Bits(), TParityBits::prEven);
  EXPECT_EQ(clicks, 2);
}

}  // namespace
}  // namespace comport
