#include <gtest/gtest.h>

#include <string>

#include "comport/CPort.h"
#include "testsupport/PtyPair.h"
#include "testsupport/test_env.h"

namespace comport {
namespace {

TEST(ComStream, ReadsAndWritesThePortAndHasNoPosition) {
  dral_test::Watchdog watchdog(30);
  dral_test::PtyPair pty;
  TComPort port;
  port.SetEvents({});
  port.SetPort(pty.SlavePath());
  TComStream stream(port);
  char byte = 0;
  EXPECT_THROW(stream.Read(&byte, 1), EComPort);  // a closed port
  port.Open();

  EXPECT_EQ(stream.Write("ping", 4), 4);
  EXPECT_EQ(pty.ReadExactly(4, 2000), "ping");
  pty.Write("pong");
  port.Timeouts().SetReadTotalConstant(2000);  // wait for the bytes instead of polling
  port.Timeouts().SetReadInterval(100);
  char in[8] = {};
  EXPECT_EQ(stream.Read(in, 4), 4);
  EXPECT_EQ(std::string(in, 4), "pong");

  for (auto origin :
       {cls::TSeekOrigin::soBeginning, cls::TSeekOrigin::soCurrent, cls::TSeekOrigin::soEnd}) {
    EXPECT_EQ(stream.Seek(10, origin), 0);
  }
  EXPECT_EQ(stream.Position(), 0);
  EXPECT_EQ(stream.Size(), 0);
}

}  // namespace
}  // namespace comport
