// The serial link against the adapter simulator on a pseudo-terminal: the scan finds the adapter,
// settles the baud rate, and hunts again after a hang-up.
#include "links/SerialConduit.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "LinkTestUtil.h"
#include "plat/tick.h"
#include "server/HuxMgr.h"
#include "testsupport/AdapterPtyFront.h"
#include "testsupport/AdapterSimulator.h"
#include "testsupport/test_env.h"
#include "testsupport/test_util.h"

namespace dral {
namespace {

using dral_test::AdapterPtyFront;
using dral_test::AdapterSimulator;
using dral_test::Bytes;
using dral_test::PtyFrontOptions;
using dral_test::Received;
using dral_test::WaitUntil;

// A scan of one port over all five rates takes about 1.5 s; a loaded machine may stretch it.
constexpr int kFindMs = 15000;

void WriteScanString(const char* name, const std::string& value) {
  dral_test::WriteUserString(TScanSettings::kKey, name, value);
}

void WriteScanInteger(const char* name, int32_t value) {
  dral_test::WriteUserInteger(TScanSettings::kKey, name, value);
}

std::string ReadScanString(const char* name) {
  return dral_test::ReadUserString(TScanSettings::kKey, name);
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The rate requests the adapter heard: whole handshakes (two probes each) at baud index `found`,
// then the step-up requests `stepUps`. A handshake whose answer a busy machine delays past the
// scan's reply wait is asked again by the next pass, so there may be more than one handshake;
// every one of them is at `found`, as the probes at other rates go unheard.
void ExpectRequests(uint8_t found, const std::vector<uint8_t>& stepUps,
                    const std::vector<uint8_t>& heard) {
  ASSERT_GE(heard.size(), 2 + stepUps.size()) << ::testing::PrintToString(heard);
  const size_t probes = heard.size() - stepUps.size();
  EXPECT_EQ(probes % 2, 0u) << ::testing::PrintToString(heard);
  EXPECT_EQ(std::vector<uint8_t>(heard.begin(), heard.begin() + static_cast<long>(probes)),
            std::vector<uint8_t>(probes, found));
  EXPECT_EQ(std::vector<uint8_t>(heard.begin() + static_cast<long>(probes), heard.end()), stepUps);
}

class SerialConduitTest : public dral_test::IsolatedTest {
 protected:
  // An adapter at `rate` on a pseudo-terminal that the serial-port list names.
  void StartAdapter(uint32_t rate) {
    PtyFrontOptions options;
    options.BaudRate = rate;
    front_ = std::make_unique<AdapterPtyFront>(adapter_, options);
    dral_test::SetSerialCommPorts({front_->SlavePath()});
  }

  bool WaitForLink(TSerialConduit& link) {
    return WaitUntil([&] { return link.Open("", ""); }, kFindMs);
  }

  // The link carries frames both ways: a CAN frame from the adapter reaches the handler and a
  // version request from the host reaches the adapter.
  void ExpectTraffic(TSerialConduit& link) {
    Received received;
    link.SetReceiveHandler(received.Handler());
    adapter_.InjectCan(0x11, 0x18FF0010, {1, 2, 3, 4});
    const Bytes frame = dral_test::EncodeFrame({dral_test::sim::kCanFrame, 0x11, 0x10, 0x00, 0xFF,
                                                0x18, 1, 2, 3, 4});
    ASSERT_TRUE(received.WaitForBytes(frame.size(), 5000));
    EXPECT_EQ(received.Bytes(), frame);
    const Bytes request = dral_test::EncodeFrame({dral_test::sim::kVersionRequest});
    EXPECT_EQ(link.Write(request.data(), static_cast<int>(request.size())),
              static_cast<int>(request.size()));
    EXPECT_TRUE(adapter_.WaitForMessage(dral_test::OfType(dral_test::sim::kVersionRequest), 5000));
    link.SetReceiveHandler(ReceiveHandler{});
  }

  AdapterSimulator adapter_;
  std::unique_ptr<AdapterPtyFront> front_;
};

TEST_F(SerialConduitTest, AdapterAt38400IsFoundAndSteppedUpTo115200) {
  StartAdapter(38400);
  TSerialConduit link;
  ASSERT_TRUE(WaitForLink(link));

  // 115200 and 57600 went unheard; 38400 answered both probes; then the step-up to index 4.
  ExpectRequests(2, {4}, front_->RequestedIndexes());
  EXPECT_EQ(front_->BaudRate(), 115200u);
  EXPECT_EQ(front_->HostBaudRate(), 115200u);
  EXPECT_GT(front_->BytesAtWrongRate(), 0u);
  EXPECT_TRUE(link.IsOpen());
  EXPECT_EQ(link.PortInfo(), front_->SlavePath() + " : 115200");
  EXPECT_EQ(link.PortName(), "Serial Device");
  EXPECT_EQ(ReadScanString(TScanSettings::kPreviousPort), front_->SlavePath());
  ExpectTraffic(link);
}

TEST_F(SerialConduitTest, FixedBaudRateTriesOnlyThatRateAndNoStepUp) {
  WriteScanInteger(TScanSettings::kFixedBaudRate, 57600);
  StartAdapter(57600);
  TSerialConduit link;
  ASSERT_TRUE(WaitForLink(link));
  ExpectRequests(3, {}, front_->RequestedIndexes());
  EXPECT_EQ(front_->HostBaudRate(), 57600u);
  EXPECT_TRUE(EndsWith(link.PortInfo(), " : 57600"));
}

TEST_F(SerialConduitTest, FixedBaudRateMissesAnAdapterAtAnotherRate) {
  WriteScanInteger(TScanSettings::kFixedBaudRate, 57600);
  StartAdapter(115200);
  TSerialConduit link;
  ASSERT_TRUE(WaitUntil([&] { return link.Detector()->PassEnded(); }, kFindMs));
  EXPECT_FALSE(link.IsOpen());
  EXPECT_TRUE(front_->RequestedIndexes().empty());
  EXPECT_GT(front_->BytesAtWrongRate(), 0u);  // the probes went out, at 57600 only
  EXPECT_EQ(link.Detector()->Passes(), 1u);   // and the pass rests without Open
}

TEST_F(SerialConduitTest, MaxBaudRateLimitsTheStepUp) {
  WriteScanInteger(TScanSettings::kMaxBaudRate, 38400);
  StartAdapter(19200);
  TSerialConduit link;
  ASSERT_TRUE(WaitForLink(link));
  ExpectRequests(1, {2}, front_->RequestedIndexes());
  EXPECT_EQ(front_->HostBaudRate(), 38400u);
  EXPECT_EQ(front_->BaudRate(), 38400u);
}

TEST_F(SerialConduitTest, RefusedStepUpKeepsTheRateFoundAndNeverAsksForALowerOne) {
  StartAdapter(38400);
  front_->SetRefuseStepUp(true);
  // The replies come in two pieces, so the answer to a handshake's second probe arrives late,
  // well after its first answer was seen.
  front_->SetSplitReplies(true);
  TSerialConduit link;
  ASSERT_TRUE(WaitForLink(link));
  ExpectRequests(2, {4, 3}, front_->RequestedIndexes());
  EXPECT_EQ(front_->BaudRate(), 38400u);
  EXPECT_EQ(front_->HostBaudRate(), 38400u);
  ExpectTraffic(link);
}

TEST_F(SerialConduitTest, ReplySplitAcrossReadsAndBehindNoiseIsRecognised) {
  StartAdapter(115200);
  front_->SetSplitReplies(true);
  // Noise that starts like a reply and breaks off.
  front_->SetReplyNoise({0x00, 0x7E, 0xA5, 0x01, 0x03, 0x55, 0x7E});
  TSerialConduit link;
  ASSERT_TRUE(WaitForLink(link));
  ExpectRequests(4, {}, front_->RequestedIndexes());
  EXPECT_EQ(front_->HostBaudRate(), 115200u);
  ExpectTraffic(link);
}

TEST(DetectionThreadMatch, ReplyIsFoundAcrossChunksAfterOtherBytesAndNotWhileIdle) {
  TSerialPort port(true);
  dral_test::IsolatedEnv env;
  TDetectionThread detector(port);  // never started
  const uint8_t* reply = TDetectionThread::kProbeReply;

  detector.MatchReply(reply, 8);  // not armed: ignored
  detector.ArmMatch();
  EXPECT_EQ(detector.RepliesSeen(), 0u);

  const uint8_t noise[] = {0x7E, 0xA5, 0x01, 0x03, 0x7E};
  detector.MatchReply(noise, sizeof noise);
  detector.MatchReply(reply, 3);
  EXPECT_EQ(detector.MatchState(), TDetectionThread::MatchWaiting);
  detector.MatchReply(reply + 3, 5);
  EXPECT_EQ(detector.MatchState(), TDetectionThread::MatchSeen);
  EXPECT_EQ(detector.RepliesSeen(), 1u);

  // A chunk that does not fit the rest of the buffer is dropped whole.
  detector.ArmMatch();
  std::vector<uint8_t> big(TDetectionThread::kReplyBufferSize, 0x11);
  std::copy(reply, reply + 8, big.begin());
  detector.MatchReply(big.data(), static_cast<int>(big.size()));
  EXPECT_EQ(detector.RepliesSeen(), 0u);
  detector.MatchReply(reply, 8);
  EXPECT_EQ(detector.RepliesSeen(), 1u);
  detector.DisarmMatch();
  detector.MatchReply(reply, 8);
  EXPECT_EQ(detector.RepliesSeen(), 1u);
}

TEST_F(SerialConduitTest, UsbEntriesAreSkipped) {
  StartAdapter(115200);
  WriteScanString(TScanSettings::kDevicePort, "USB");
  WriteScanString(TScanSettings::kPreviousPort, "USB");
  dral_test::SetSerialCommPorts({"USB", front_->SlavePath(), "USB"});
  TSerialConduit link;
  ASSERT_TRUE(WaitForLink(link));
  EXPECT_EQ(link.Detector()->PortList(), std::vector<std::string>{front_->SlavePath()});
}

TEST_F(SerialConduitTest, ListOfDeviceAndPreviousPortWithoutScanRestsWhenEmpty) {
  StartAdapter(115200);
  WriteScanString(TScanSettings::kDevicePort, "USB");
  WriteScanInteger(TScanSettings::kAutoPortScan, 0);
  TSerialConduit link;
  ASSERT_TRUE(WaitUntil([&] { return link.Detector()->PassEnded(); }, kFindMs));
  EXPECT_TRUE(link.Detector()->PortList().empty());
  EXPECT_EQ(front_->BytesFromHost(), 0u);
}

TEST_F(SerialConduitTest, DisabledSerialLinkOpensAndWritesNoDevice) {
  StartAdapter(115200);
  WriteScanInteger(TScanSettings::kSerialPortDisabled, 1);
  WriteScanString(TScanSettings::kDevicePort, front_->SlavePath());
  TSerialConduit link;
  ASSERT_TRUE(WaitUntil([&] { return link.Detector()->PassEnded(); }, kFindMs));
  EXPECT_TRUE(link.Detector()->PortList().empty());
  EXPECT_FALSE(link.Open("", ""));  // starts another pass, just as empty
  ASSERT_TRUE(WaitUntil([&] { return link.Detector()->Passes() == 2 &&
                                     link.Detector()->PassEnded(); }, kFindMs));
  EXPECT_EQ(front_->BytesFromHost(), 0u);
  EXPECT_EQ(front_->HostBaudRate(), 115200u);  // as the front set it: nobody changed the line
}

TEST_F(SerialConduitTest, OpenDuringAPassDoesNotRestartItButAfterItStartsANewOne) {
  StartAdapter(115200);
  adapter_.SetSilent(true);  // the pass takes its full time and fails
  TSerialConduit link;
  ASSERT_TRUE(WaitUntil([&] { return link.Detector()->Passes() == 1; }, 5000));
  while (!link.Detector()->PassEnded()) {
    ASSERT_FALSE(link.Open("", ""));
    ASSERT_EQ(link.Detector()->Passes(), 1u);
    plat::Sleep(10);
  }
  EXPECT_EQ(link.Detector()->Passes(), 1u);
  EXPECT_FALSE(link.Open("", ""));
  EXPECT_TRUE(WaitUntil([&] { return link.Detector()->Passes() == 2; }, 5000));
}

TEST_F(SerialConduitTest, APortFoundThatHangsUpBeforeTheLinkIsTakenIsLookedForAgain) {
  StartAdapter(115200);
  TSerialConduit link;
  ASSERT_TRUE(WaitUntil([&] { return link.Detector()->IsDetected(); }, kFindMs));
  front_->HangUp();
  ASSERT_TRUE(WaitUntil([&] { return !link.IsOpen(); }, 5000));
  ASSERT_TRUE(front_->Return());
  dral_test::SetSerialCommPorts({front_->SlavePath()});
  EXPECT_FALSE(link.Open("", ""));  // the found port is gone: a new pass
  ASSERT_TRUE(WaitUntil([&] { return link.Detector()->Passes() == 2; }, 5000));
  ASSERT_TRUE(WaitForLink(link));
  EXPECT_EQ(link.PortInfo(), front_->SlavePath() + " : 115200");
}

TEST_F(SerialConduitTest, HangUpLosesTheLinkAndTheAdapterIsFoundAgainUnderANewName) {
  StartAdapter(115200);
  LinkFactoryTable table;
  table[LinkRowSerial] = [] { return std::make_unique<TSerialConduit>(); };
  THuxMgr manager(true, std::move(table));
  manager.Start();
  ASSERT_TRUE(WaitUntil([&] { return manager.CurrentIndex() == LinkRowSerial; }, kFindMs));
  const std::string first = front_->SlavePath();
  std::string info;
  manager.PortInfo(info);
  EXPECT_EQ(info, first + " : 115200");

  front_->HangUp();
  ASSERT_TRUE(WaitUntil([&] { return manager.CurrentIndex() == LinkRowNone; }, 5000));
  ASSERT_TRUE(front_->Return());
  const std::string second = front_->SlavePath();
  ASSERT_NE(second, first);
  dral_test::SetSerialCommPorts({second});

  ASSERT_TRUE(WaitUntil([&] { return manager.CurrentIndex() == LinkRowSerial; }, kFindMs));
  manager.PortInfo(info);
  EXPECT_EQ(info, second + " : 115200");
  // The link carries traffic again: the manager's version request reaches the adapter.
  adapter_.ClearRecords();
  EXPECT_TRUE(adapter_.WaitForMessage(dral_test::OfType(dral_test::sim::kStatusRequest), 5000));
}

}  // namespace
}  // namespace dral
