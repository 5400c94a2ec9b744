// The serial port thread and the serial-port list, against a pseudo-terminal.
#include "links/SerialPort.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "LinkTestUtil.h"
#include "links/Enumcom.h"
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

// Records the size of every block the port hands on.
class BlockSizes {
 public:
  ReceiveHandler Handler() { return ReceiveHandler::Of<&BlockSizes::OnReceive>(this); }
  void OnReceive(const uint8_t* buf, int len) {
    received_.OnReceive(buf, len);
    int seen = largest_.load();
    while (len > seen && !largest_.compare_exchange_weak(seen, len)) {
    }
  }
  Received& Bytes() { return received_; }
  int Largest() const { return largest_.load(); }

 private:
  Received received_;
  std::atomic<int> largest_{0};
};

class SerialPortTest : public dral_test::IsolatedTest {
 protected:
  // An adapter at 9600, the port's rate after construction.
  void SetUp() override {
    PtyFrontOptions options;
    options.BaudRate = 9600;
    front_ = std::make_unique<AdapterPtyFront>(adapter_, options);
    port_.ReceiveHandler.Set(blocks_.Handler());
    port_.Start();
    port_.SetPortName(front_->SlavePath());
  }

  AdapterSimulator adapter_;
  std::unique_ptr<AdapterPtyFront> front_;
  BlockSizes blocks_;
  TSerialPort port_{true};
};

TEST_F(SerialPortTest, ReadsInBlocksOfAtMost64BytesAndWrites) {
  port_.SetConnected(true);
  ASSERT_TRUE(port_.Connected());
  EXPECT_EQ(front_->HostBaudRate(), 9600u);

  Bytes burst(1000);
  for (size_t i = 0; i < burst.size(); ++i) burst[i] = static_cast<uint8_t>(i * 7);
  adapter_.InjectBytes(burst);
  ASSERT_TRUE(blocks_.Bytes().WaitForBytes(burst.size(), 5000));
  EXPECT_EQ(blocks_.Bytes().Bytes(), burst);
  EXPECT_LE(blocks_.Largest(), TSerialPort::kReadSize);
  EXPECT_GT(blocks_.Bytes().Calls(), static_cast<int>(burst.size()) / TSerialPort::kReadSize - 1);

  const Bytes request = dral_test::EncodeFrame({dral_test::sim::kVersionRequest});
  EXPECT_EQ(port_.Write(request.data(), static_cast<int>(request.size())),
            static_cast<int>(request.size()));
  EXPECT_TRUE(adapter_.WaitForMessage(dral_test::OfType(dral_test::sim::kVersionRequest), 5000));
}

TEST_F(SerialPortTest, BaudIndexChangeReopensAtTheNewRateAndTheSameIndexLeavesThePortAlone) {
  port_.SetConnected(true);
  ASSERT_TRUE(port_.Connected());
  port_.SetBaudIndex(3);
  EXPECT_TRUE(port_.Connected());
  EXPECT_EQ(front_->HostBaudRate(), 57600u);
  EXPECT_EQ(port_.BaudIndex(), 3);

  // Changing the line behind the port's back shows whether the same index touches it again.
  front_->SetBaudRate(57600);
  port_.SetBaudIndex(3);
  EXPECT_EQ(front_->HostBaudRate(), 57600u);
  EXPECT_TRUE(port_.Connected());

  EXPECT_EQ(TSerialPort::BaudText(7), "?");
  EXPECT_EQ(TSerialPort::BaudRateOf(7), comport::TBaudRate::br9600);
  EXPECT_EQ(TSerialPort::BaudText(4), "115200");
}

TEST_F(SerialPortTest, HangUpClosesThePortAndTheThreadReadsOnAfterReopening) {
  port_.SetConnected(true);
  ASSERT_TRUE(port_.Connected());
  front_->HangUp();
  ASSERT_TRUE(WaitUntil([&] { return !port_.Connected(); }, 5000));
  EXPECT_EQ(port_.HangUps(), 1u);
  const uint8_t byte = 0x55;
  EXPECT_EQ(port_.Write(&byte, 1), 0);  // a write to a closed port takes nothing

  ASSERT_TRUE(front_->Return());
  port_.SetPortName(front_->SlavePath());
  port_.SetConnected(true);
  ASSERT_TRUE(port_.Connected());
  adapter_.InjectBytes({1, 2, 3});
  EXPECT_TRUE(blocks_.Bytes().WaitForBytes(3, 5000));
}

TEST_F(SerialPortTest, LogLinesGoToTheLogFileOnlyWhileEnabled) {
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(env_.TempDir());
  port_.SetConnected(true);
  EXPECT_FALSE(dral_test::Exists("DRALLog.txt"));
  port_.LogEnabled.store(true);
  port_.SetBaudIndex(1);
  const uint8_t bytes[] = {0xAB, 0xCD};
  port_.Write(bytes, 2);
  const std::string log = dral_test::ReadFile("DRALLog.txt");
  std::filesystem::current_path(cwd);
  EXPECT_NE(log.find("Changing baud rate from 9600 to 19200"), std::string::npos);
  EXPECT_NE(log.find("Disconnecting from " + front_->SlavePath()), std::string::npos);
  EXPECT_NE(log.find("Re-initializing the Com Port"), std::string::npos);
  EXPECT_NE(log.find("T 02 | AB CD"), std::string::npos);
}

class EnumcomTest : public dral_test::IsolatedTest {};

TEST_F(EnumcomTest, ListedPortsAreTakenInOrderWithoutProbing) {
  // Listed names need not exist: the list is taken as it is.
  dral_test::SetSerialCommPorts({"/dev/no-such-port", "COM40", "/dev/no-such-port"});
  std::vector<TComPortEntry> list{{"stale", 9}};
  EXPECT_EQ(EnumerateComPorts(&list), 3);
  EXPECT_EQ(list, (std::vector<TComPortEntry>{
                      {"/dev/no-such-port", 0}, {"COM40", 0}, {"/dev/no-such-port", 0}}));
  EXPECT_EQ(EnumerateComPorts(nullptr), 0);
}

}  // namespace
}  // namespace dral
