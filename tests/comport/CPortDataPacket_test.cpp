#include "comport/CPortDataPacket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "testsupport/PtyPair.h"
#include "testsupport/test_util.h"

namespace comport {
namespace {

// Records what the framer reports, in order: "P:<packet>" and "D:<discarded>".
class Recorder {
 public:
  explicit Recorder(TComDataPacket& framer) {
    framer.OnPacket = TComDataPacket::TComStrEvent::Of<&Recorder::Packet>(this);
    framer.OnDiscard = TComDataPacket::TComStrEvent::Of<&Recorder::Discard>(this);
  }
  std::vector<std::string> Events;

 private:
  void Packet(TComDataPacket*, const std::string& s) { Events.push_back("P:" + s); }
  void Discard(TComDataPacket*, const std::string& s) { Events.push_back("D:" + s); }
};

using Events = std::vector<std::string>;

TEST(ComDataPacket, WithoutAStopRuleEachChunkIsOnePacketWhateverTheStartString) {
  TComDataPacket framer;
  Recorder rec(framer);
  framer.SetStartString("AB");
  framer.AddData("xxAB12");
  framer.AddData("yy");
  EXPECT_EQ(rec.Events, (Events{"P:xxAB12", "P:yy"}));
}

TEST(ComDataPacket, MarkersAreCutOffAndBytesBeforeTheStartAreDiscarded) {
  TComDataPacket framer;
  Recorder rec(framer);
  framer.SetStartString("AB");
  framer.SetStopString("CD");
  framer.AddData("xxABhelloCDyy");
  EXPECT_EQ(rec.Events, (Events{"D:xx", "P:hello"}));
  // yy waits for a start and goes with whatever precedes it.
  framer.AddData("zABokCD");
  EXPECT_EQ(rec.Events, (Events{"D:xx", "P:hello", "D:yyz", "P:ok"}));
  framer.SetIncludeStrings(true);
  framer.AddData("xxABhelloCDyy");
  EXPECT_EQ(rec.Events.back(), "P:ABhelloCD");
}

TEST(ComDataPacket, CaseInsensitiveMarkersMatchButThePacketKeepsItsCase) {
  TComDataPacket framer;
  Recorder rec(framer);
  framer.SetCaseInsensitive(true);
  framer.SetStartString("ab");
  framer.SetStopString("cd");
  framer.AddData("-ABHeLLoCd");
  EXPECT_EQ(rec.Events, (Events{"D:-", "P:HeLLo"}));
}

TEST(ComDataPacket, FixedSizeCutsConsecutivePacketsFromOneChunk) {
  TComDataPacket framer;
  Recorder rec(framer);
  framer.SetSize(4);
  framer.AddData("abcdefghij");
  EXPECT_EQ(rec.Events, (Events{"P:abcd", "P:efgh"}));
  framer.AddData("kl");
  EXPECT_EQ(rec.Events.back(), "P:ijkl");
}

TEST(ComDataPacket, SizeCountsFromTheFirstByteOfTheStartString) {
  TComDataPacket framer;
  Recorder rec(framer);
  framer.SetStartString("S");
  framer.SetSize(3);
  framer.AddData("xSab");
  EXPECT_EQ(rec.Events, (Events{"D:x", "P:ab"}));
}

TEST(ComDataPacket, TheBufferIsDiscardedWhenItReachesMaxBufferSize) {
  TComDataPacket framer;
  Recorder rec(framer);
  framer.SetStartString("S");
  framer.SetStopString("E");
  framer.AddData(std::string(1023, 'x'));
  EXPECT_TRUE(rec.Events.empty());
  framer.AddData("y");
  ASSERT_EQ(rec.Events.size(), 1u);
  EXPECT_EQ(rec.Events[0], "D:" + std::string(1023, 'x') + "y");
  framer.AddData("SaE");
  EXPECT_EQ(rec.Events.back(), "P:a");
}

TEST(ComDataPacket, APacketLargerThanMaxBufferSizeIsStillDelivered) {
  TComDataPacket framer;
  Recorder rec(framer);
  framer.SetMaxBufferSize(8);
  framer.SetSize(20);
  framer.AddData(std::string(12, 'a'));
  EXPECT_TRUE(rec.Events.empty());
  framer.AddData(std::string(8, 'b'));
  EXPECT_EQ(rec.Events, (Events{"P:" + std::string(12, 'a') + std::string(8, 'b')}));
}

TEST(ComDataPacket, ChangingAMarkerDiscardsTheBufferButNotWhileLoading) {
  TComDataPacket framer;
  Recorder rec(framer);
  framer.SetStopString("E");
  framer.AddData("abc");
  framer.SetStartString("S");
  EXPECT_EQ(rec.Events, (Events{"D:abc"}));
  framer.AddData("def");
  framer.BeginLoad();
  framer.SetStartString("T");
  framer.SetSize(5);
  framer.Loaded();
  EXPECT_EQ(rec.Events, (Events{"D:abc"}));
  framer.SetCaseInsensitive(true);
  EXPECT_EQ(rec.Events, (Events{"D:abc", "D:def"}));
}

// A stop handler that answers with a fixed position, whatever the buffer holds.
struct FixedStop {
  int32_t Pos;
  int Calls = 0;
  void Stop(TComDataPacket*, const std::string&, int32_t& pos) {
    ++Calls;
    pos = Pos;
  }
};

TEST(ComDataPacket, AStopPositionOnAnEmptyBufferEndsTheLoop) {
  TComDataPacket framer;
  Recorder rec(framer);
  FixedStop stop{1};
  framer.OnCustomStop = TComDataPacket::TCustPacketEvent::Of<&FixedStop::Stop>(&stop);
  framer.AddData("abc");
  EXPECT_EQ(rec.Events, (Events{"P:a", "P:b", "P:c"}));
  EXPECT_EQ(stop.Calls, 3);
}

TEST(ComDataPacket, AStopPositionPastTheEndMeansNotYet) {
  TComDataPacket framer;
  Recorder rec(framer);
  FixedStop stop{5};
  framer.OnCustomStop = TComDataPacket::TCustPacketEvent::Of<&FixedStop::Stop>(&stop);
  framer.AddData("abc");
  EXPECT_TRUE(rec.Events.empty());
  framer.AddData("defg");
  EXPECT_EQ(rec.Events, (Events{"P:abcde"}));
  stop.Pos = 0;
  framer.AddData("h");
  EXPECT_EQ(rec.Events.size(), 1u);
}

TEST(ComDataPacket, ACustomStartDiscardsWhatPrecedesIt) {
  TComDataPacket framer;
  Recorder rec(framer);
  framer.SetSize(2);
  struct Start {
    static void At3(void*, TComDataPacket*, const std::string&, int32_t& pos) { pos = 3; }
  };
  framer.OnCustomStart = TComDataPacket::TCustPacketEvent{&Start::At3, nullptr};
  framer.AddData("xyab");
  EXPECT_EQ(rec.Events, (Events{"D:xy", "P:ab"}));
  // A start past the end waits.
  framer.AddData("q");
  EXPECT_EQ(rec.Events.size(), 2u);
}

TEST(ComDataPacket, ManyPacketsInOneChunkDoNotDeepenTheStack) {
  TComDataPacket framer;
  int packets = 0;
  struct Count {
    static void Packet(void* n, TComDataPacket*, const std::string&) { ++*static_cast<int*>(n); }
  };
  framer.OnPacket = TComDataPacket::TComStrEvent{&Count::Packet, &packets};
  framer.SetSize(1);
  framer.SetMaxBufferSize(0);
  framer.AddData(std::string(100'000, 'z'));
  EXPECT_EQ(packets, 100'000);
}

// Counts packets of "ab"; a pass still busy after 5 s gives up instead of running on.
struct SlowPassGuard {
  int Packets = 0;
  std::chrono::steady_clock::time_point Start = std::chrono::steady_clock::now();
  void Packet(TComDataPacket*, const std::string& str) {
    ASSERT_EQ(str, "ab");
    if (++Packets % 1024 == 0 && std::chrono::steady_clock::now() - Start > std::chrono::seconds(5))
      throw std::runtime_error("the framer is too slow");
  }
};

TEST(ComDataPacket, ManyPacketsInOneChunkCostTimeInProportionToTheChunk) {
  // Half a million small packets in one chunk. Copying the rest of the buffer for every packet
  // took about half a minute for them; in proportion to the chunk it takes milliseconds.
  constexpr int kPackets = 512 * 1024;
  for (const bool markers : {false, true}) {
    SCOPED_TRACE(markers ? "start and stop strings" : "fixed size");
    TComDataPacket framer;
    SlowPassGuard counter;
    framer.OnPacket = TComDataPacket::TComStrEvent::Of<&SlowPassGuard::Packet>(&counter);
    framer.SetIncludeStrings(false);
    framer.SetMaxBufferSize(0);
    std::string data;
    data.reserve(4 * kPackets);
    if (markers) {
      framer.SetStartString("S");
      framer.SetStopString("E");
      for (int i = 0; i < kPackets; ++i) data += "SabE";
    } else {
      framer.SetSize(2);
      for (int i = 0; i < kPackets; ++i) data += "ab";
    }
    EXPECT_NO_THROW(framer.AddData(data));
    EXPECT_EQ(counter.Packets, kPackets);
  }
}

TEST(ComDataPacket, AFailingHandlerStillEmptiesTheBufferAndAppliesTheLimit) {
  TComDataPacket framer;
  struct Throw {
    static void Raise(void*, TComDataPacket*, const std::string&) {
      throw std::runtime_error("handler");
    }
  };
  framer.OnDiscard = TComDataPacket::TComStrEvent{&Throw::Raise, nullptr};
  framer.SetStopString("E");
  framer.SetMaxBufferSize(4);
  framer.AddData("abc");
  EXPECT_THROW(framer.AddData("d"), std::runtime_error);
  // The buffer was emptied: a packet now starts afresh.
  std::string got;
  struct Keep {
    static void Packet(void* s, TComDataPacket*, const std::string& p) {
      *static_cast<std::string*>(s) = p;
    }
  };
  framer.OnPacket = TComDataPacket::TComStrEvent{&Keep::Packet, &got};
  framer.AddData("xE");
  EXPECT_EQ(got, "x");
}

// A port whose received-data notification the test raises, as the event thread would.
class RxPort : public TComPort {
 public:
  using TCustomComPort::CallRxChar;
};

TEST(ComDataPacket, ABoundPortHandsOverWhatItReadsUntilThePortGoes) {
  dral_test::PtyPair pty;
  auto port = std::make_unique<RxPort>();
  port->SetPort(pty.SlavePath());
  port->SetEvents({});
  port->Open();
  TComDataPacket framer;
  Recorder rec(framer);
  framer.SetStopString("\n");
  framer.SetComPort(port.get());
  EXPECT_FALSE(port->TriggersOnRxChar()) << "the port reads for the framer";
  pty.Write("one\ntw");
  ASSERT_TRUE(dral_test::WaitUntil([&] { return port->InputCount() == 6; }));
  port->CallRxChar();
  EXPECT_EQ(rec.Events, (Events{"P:one"}));
  port.reset();
  EXPECT_EQ(framer.ComPort(), nullptr);
}

}  // namespace
}  // namespace comport
