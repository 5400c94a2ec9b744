#include <gtest/gtest.h>

#include "classlib/Strings.h"
#include "comport/CPort.h"
#include "plat/registry.h"
#include "testsupport/test_env.h"

namespace comport {
namespace {

TEST(ComPortTexts, EveryValueRoundTripsThroughItsText) {
  for (int i = 0; i <= static_cast<int>(TBaudRate::br256000); ++i)
    EXPECT_EQ(StrToBaudRate(BaudRateToStr(static_cast<TBaudRate>(i))), static_cast<TBaudRate>(i));
  for (int i = 0; i <= static_cast<int>(TStopBits::sbTwoStopBits); ++i)
    EXPECT_EQ(StrToStopBits(StopBitsToStr(static_cast<TStopBits>(i))), static_cast<TStopBits>(i));
  for (int i = 0; i <= static_cast<int>(TDataBits::dbEight); ++i)
    EXPECT_EQ(StrToDataBits(DataBitsToStr(static_cast<TDataBits>(i))), static_cast<TDataBits>(i));
  for (int i = 0; i <= static_cast<int>(TParityBits::prSpace); ++i)
    EXPECT_EQ(StrToParity(ParityToStr(static_cast<TParityBits>(i))), static_cast<TParityBits>(i));
  for (int i = 0; i <= static_cast<int>(TFlowControl::fcCustom); ++i)
    EXPECT_EQ(StrToFlowControl(FlowControlToStr(static_cast<TFlowControl>(i))),
              static_cast<TFlowControl>(i));
}

TEST(ComPortTexts, TextsCompareIgnoringCaseWithExactLengthElseTheDefault) {
  EXPECT_EQ(StrToBaudRate("115200"), TBaudRate::br115200);
  EXPECT_EQ(StrToBaudRate("custom"), TBaudRate::brCustom);
  EXPECT_EQ(StrToBaudRate("76800"), TBaudRate::br9600);
  EXPECT_EQ(StrToBaudRate(""), TBaudRate::br9600);
  EXPECT_EQ(StrToBaudRate(" 115200"), TBaudRate::br9600);
  EXPECT_EQ(StrToParity("EVEN"), TParityBits::prEven);
  EXPECT_EQ(StrToStopBits("1.5"), TStopBits::sbOne5StopBits);
  EXPECT_EQ(StrToStopBits("1,5"), TStopBits::sbOneStopBit);
  EXPECT_EQ(StrToDataBits("9"), TDataBits::dbEight);
  EXPECT_EQ(StrToFlowControl("none"), TFlowControl::fcNone);
  EXPECT_EQ(StrToFlowControl("RTS/CTS"), TFlowControl::fcCustom);
}

class ComPortList : public dral_test::IsolatedTest {};

TEST_F(ComPortList, ListsThePortsSortedAndReplacesEarlierContents) {
  const auto key = plat::RegKey::Create(plat::Hive::LocalMachine, plat::kSerialCommKey);
  ASSERT_TRUE(key);
  key->WriteString("\\Device\\Serial3", "/dev/ttyUSB3");
  key->WriteString("\\Device\\Serial0", "/dev/ttyACM1");
  key->WriteDword("NotAPort", 7);
  key->WriteString("\\Device\\Serial1", "/dev/ttyUSB1");
  cls::TStringList list;
  list.Add("stale");
  EnumComPorts(list);
  EXPECT_EQ(list.Items(),
            (std::vector<std::string>{"/dev/ttyACM1", "/dev/ttyUSB1", "/dev/ttyUSB3"}));
}

}  // namespace
}  // namespace comport
