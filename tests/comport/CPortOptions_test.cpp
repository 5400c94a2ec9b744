#include <gtest/gtest.h>

#include "comport/CPort.h"

namespace comport {
namespace {

TEST(ComFlowControl, TheSummaryFollowsTheFourFieldsItIsMadeOf) {
  TComFlowControl f;
  EXPECT_EQ(f.FlowControl(), TFlowControl::fcNone);
  f.SetFlowControl(TFlowControl::fcHardware);
  EXPECT_EQ(f.FlowControl(), TFlowControl::fcHardware);
  EXPECT_EQ(f.ControlRTS(), TRTSFlowControl::rtsHandshake);
  EXPECT_TRUE(f.OutCTSFlow());
  f.SetOutDSRFlow(true);  // plays no part in the summary
  EXPECT_EQ(f.FlowControl(), TFlowControl::fcHardware);
  f.SetXonXoffOut(true);
  EXPECT_EQ(f.FlowControl(), TFlowControl::fcCustom);
  f.SetFlowControl(TFlowControl::fcCustom);  // changes nothing
  EXPECT_TRUE(f.XonXoffOut());
  EXPECT_TRUE(f.OutCTSFlow());
  f.SetFlowControl(TFlowControl::fcSoftware);
  EXPECT_EQ(f.FlowControl(), TFlowControl::fcSoftware);
  EXPECT_FALSE(f.OutCTSFlow());
  EXPECT_EQ(f.ControlRTS(), TRTSFlowControl::rtsDisable);
  EXPECT_TRUE(f.OutDSRFlow());  // not one of the four
  f.SetFlowControl(TFlowControl::fcNone);
  EXPECT_EQ(f.FlowControl(), TFlowControl::fcNone);
}

TEST(ComBuffer, OddSizesAreLoweredAndOthersKept) {
  TComBuffer b;
  b.SetInputSize(1025);
  EXPECT_EQ(b.InputSize(), 1024);
  b.SetOutputSize(1);
  EXPECT_EQ(b.OutputSize(), 0);
  b.SetInputSize(-3);
  EXPECT_EQ(b.InputSize(), -3);
  b.SetInputSize(0);
  EXPECT_EQ(b.InputSize(), 0);
}

TEST(ComOptions, AssignCopiesValuesOfTheSameClassAndRefusesOthers) {
  TComTimeouts a, b;
  a.SetReadInterval(5);
  a.SetWriteTotalConstant(77);
  b.Assign(a);
  EXPECT_EQ(b.ReadInterval(), 5);
  EXPECT_EQ(b.WriteTotalConstant(), 77);
  EXPECT_EQ(b.WriteTotalMultiplier(), 100);

  TComParity p;
  try {
    p.Assign(a);
    FAIL() << "assigned time-outs to a parity";
  } catch (const cls::Exception& e) {
    EXPECT_STREQ(e.what(), "Cannot assign a TComTimeouts to a TComParity");
  }
}

}  // namespace
}  // namespace comport
