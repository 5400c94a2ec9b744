#include "server/Datalink.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "testsupport/test_env.h"

namespace dral {
namespace {

using Bytes = std::vector<uint8_t>;

// Collects what a datalink delivers.
struct Sink {
  std::vector<Bytes> frames;
  std::vector<const uint8_t*> pointers;  // where each payload was delivered
  int errors = 0;

  void OnFrame(const uint8_t* payload, int n) {
    frames.emplace_back(payload, payload + n);
    pointers.push_back(payload);
  }
  void OnError() { ++errors; }

  void Attach(TDatalink& link) {
    link.FrameHandler = FrameClosure::Of<&Sink::OnFrame>(this);
    link.ErrorHandler = FrameErrorClosure::Of<&Sink::OnError>(this);
  }
};

Bytes Build(const Bytes& payload) {
  Bytes out(static_cast<size_t>(TDatalink::MaxFrameLength(static_cast<int>(payload.size()))));
  int length = -1;
  const uint8_t none = 0;  // an empty vector's data() may be null, which BuildFrame refuses
  const uint8_t* bytes = payload.empty() ? &none : payload.data();
  EXPECT_TRUE(TDatalink::BuildFrame(bytes, static_cast<int>(payload.size()), &length, out.data()));
  out.resize(static_cast<size_t>(length));
  return out;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

class DatalinkTest : public dral_test::IsolatedTest {
 protected:
  void SetUp() override { sink_.Attach(link_); }
  void Feed(const Bytes& bytes) { link_.Receive(bytes.data(), static_cast<int>(bytes.size())); }

  TDatalink link_;
  Sink sink_;
};

TEST(DatalinkBuild, WrapsPayloadWithChecksumAndDoublesEveryFlagByte) {
  EXPECT_EQ(Build({0x04}), (Bytes{0x7E, 0xA5, 0x04, 0xFC, 0x7E, 0xA6}));
  EXPECT_EQ(Build({0x06}), (Bytes{0x7E, 0xA5, 0x06, 0xFA, 0x7E, 0xA6}));
  // Sum 0x82: the checksum is 0x7E and goes out doubled.
  EXPECT_EQ(Build({0x80, 0x02}), (Bytes{0x7E, 0xA5, 0x80, 0x02, 0x7E, 0x7E, 0x7E, 0xA6}));
  // A 0x7E payload byte is doubled but counted once in the sum.
  EXPECT_EQ(Build({0x7E, 0x01}), (Bytes{0x7E, 0xA5, 0x7E, 0x7E, 0x01, 0x81, 0x7E, 0xA6}));
}

TEST(DatalinkBuild, LongestFrameDoublesEveryByteAndMissingBuffersAreRefused) {
  // 127 bytes of 0x7E sum to 0x82, so the checksum is 0x7E too.
  EXPECT_EQ(Build(Bytes(127, 0x7E)).size(), static_cast<size_t>(TDatalink::MaxFrameLength(127)));
  uint8_t out[16];
  const uint8_t payload[1] = {4};
  int length = 99;
  EXPECT_FALSE(TDatalink::BuildFrame(nullptr, 1, &length, out));
  EXPECT_EQ(length, 0);
  length = 99;
  EXPECT_FALSE(TDatalink::BuildFrame(payload, 1, &length, nullptr));
  EXPECT_EQ(length, 0);
}

TEST_F(DatalinkTest, ExtraFlagsAndNoiseBeforeTheStartAreSkipped) {
  Feed({0x00, 0x41, 0x7E, 0x7E, 0x7E, 0xA5, 0x04, 0xFC, 0x7E, 0xA6});
  Feed({0x7E, 0x41, 0xA5, 0x13});  // 7E then something else: back to idle, A5 alone starts nothing
  Feed(Build({0x06}));
  ASSERT_EQ(sink_.frames.size(), 2u);
  EXPECT_EQ(sink_.frames[0], Bytes{0x04});
  EXPECT_EQ(sink_.frames[1], Bytes{0x06});
  EXPECT_EQ(sink_.errors, 0);
}

TEST_F(DatalinkTest, FlagFollowedByAnythingElseInsideAFrameIsOneErrorAndTheParserRecovers) {
  Feed({0x7E, 0xA5, 0x01, 0x7E, 0x41, 0x02, 0x03, 0x7E, 0xA6});
  EXPECT_EQ(sink_.errors, 1);
  EXPECT_TRUE(sink_.frames.empty());
  EXPECT_EQ(link_.State(), TDatalink::StateIdle);
  Feed(Build({0x30, 0x01}));
  ASSERT_EQ(sink_.frames.size(), 1u);
  EXPECT_EQ(sink_.frames[0], (Bytes{0x30, 0x01}));
}

TEST_F(DatalinkTest, WrongChecksumCountsOneErrorAndDeliversNothing) {
  Bytes frame = Build({0x30, 0x01, 0x02});
  frame[3] ^= 0x01;
  Feed(frame);
  EXPECT_EQ(sink_.errors, 1);
  EXPECT_TRUE(sink_.frames.empty());
}

TEST_F(DatalinkTest, FrameWithoutATypeByteIsAnErrorAndDeliversNothing) {
  Feed({0x7E, 0xA5, 0x00, 0x7E, 0xA6});  // a checksum only
  Feed({0x7E, 0xA5, 0x7E, 0xA6});        // nothing at all
  EXPECT_EQ(sink_.errors, 2);
  EXPECT_TRUE(sink_.frames.empty());
}

TEST_F(DatalinkTest, LongestPayloadIsDeliveredAndOneByteMoreIsDroppedWithoutAnError) {
  Bytes longest(TDatalink::kMaxPayload, 0x11);
  longest[0] = 0x30;
  Bytes tooLong(TDatalink::kMaxPayload + 1, 0x11);
  // Fed one way and then the other: byte by byte and in one block take different paths.
  for (const bool byteWise : {false, true}) {
    TDatalink link;
    Sink sink;
    sink.Attach(link);
    const Bytes stream = Concat({Build(tooLong), Build(longest), Build(tooLong), Build({0x04})});
    if (byteWise) {
      for (uint8_t b : stream) link.ParseByte(b);
    } else {
      link.Receive(stream.data(), static_cast<int>(stream.size()));
    }
    ASSERT_EQ(sink.frames.size(), 2u) << "byteWise " << byteWise;
    EXPECT_EQ(sink.frames[0], longest);
    EXPECT_EQ(sink.frames[1], Bytes{0x04});
    EXPECT_EQ(sink.errors, 0);
  }
}

TEST_F(DatalinkTest, DeliveredBytesStayUntouchedForNineFurtherFrames) {
  Feed(Build({0x05, 0xAA, 0xBB}));
  for (int i = 0; i < TDatalink::kBufferCount - 1; ++i) Feed(Build({0x07, 0x11, 0x22, 0x33}));
  ASSERT_EQ(sink_.frames.size(), static_cast<size_t>(TDatalink::kBufferCount));
  const uint8_t* first = sink_.pointers[0];
  EXPECT_EQ(Bytes(first, first + 3), (Bytes{0x05, 0xAA, 0xBB}));
  // The tenth further frame reuses the first buffer.
  Feed(Build({0x09}));
  EXPECT_EQ(sink_.pointers.back(), first);
}

// Random payloads of every length the message record allows, rich in 0x7E, built into one
// stream and fed in random blocks: each payload comes back exactly once, in order, except
// those the parser must refuse (no Type byte: an error; longer than kMaxPayload: dropped).
TEST_F(DatalinkTest, RandomPayloadsRoundTripThroughBuildAndParse) {
  std::mt19937 rng(20240611);
  std::vector<Bytes> sent;
  Bytes stream;
  int expectedErrors = 0;
  std::vector<Bytes> expected;
  for (int i = 0; i < 400; ++i) {
    size_t n = std::uniform_int_distribution<size_t>(0, 1 + kHuxMaxData)(rng);
    if (i % 7 == 0) n = std::uniform_int_distribution<size_t>(0, 3)(rng);
    Bytes payload(n);
    const int flagPercent = std::uniform_int_distribution<int>(0, 100)(rng);
    for (auto& b : payload) {
      b = std::uniform_int_distribution<int>(0, 99)(rng) < flagPercent
              ? TDatalink::kFlag
              : static_cast<uint8_t>(std::uniform_int_distribution<int>(0, 255)(rng));
    }
    const Bytes frame = Build(payload);
    EXPECT_GE(frame.size(), n + 5);
    EXPECT_LE(frame.size(), 2 * n + 6);
    stream.insert(stream.end(), frame.begin(), frame.end());
    if (n == 0) {
      ++expectedErrors;
    } else if (n <= static_cast<size_t>(TDatalink::kMaxPayload)) {
      expected.push_back(payload);
    }
  }
  for (size_t pos = 0; pos < stream.size();) {
    const size_t block =
        std::min(stream.size() - pos, std::uniform_int_distribution<size_t>(1, 700)(rng));
    link_.Receive(stream.data() + pos, static_cast<int>(block));
    pos += block;
  }
  EXPECT_EQ(sink_.errors, expectedErrors);
  ASSERT_EQ(sink_.frames.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(sink_.frames[i], expected[i]) << i;
}

// ---------------------------------------------------------------------------------------------

Bytes Payload(uint8_t type, uint8_t tag, size_t dataBytes) {
  Bytes p(1 + dataBytes, tag);
  p[0] = type;
  return p;
}

TEST(ReceivedFrameRing, HoldsAtMostOneRecordLessThanItsSizeInArrivalOrder) {
  auto ring = std::make_unique<TReceivedFrameRing>();
  EXPECT_TRUE(ring->Empty());
  EXPECT_EQ(ring->Front(), nullptr);
  ring->Pop();  // nothing to drop
  for (uint32_t i = 0; i < TReceivedFrameRing::kRecords - 1; ++i) {
    const Bytes p = Payload(0x30, static_cast<uint8_t>(i), 4);
    ASSERT_TRUE(ring->PushPayload(i, p.data(), static_cast<int>(p.size()))) << i;
  }
  const Bytes extra = Payload(0x30, 0xEE, 4);
  EXPECT_FALSE(ring->PushPayload(999, extra.data(), static_cast<int>(extra.size())));
  EXPECT_EQ(ring->Count(), TReceivedFrameRing::kRecords - 1);

  for (uint32_t i = 0; i < 3; ++i) {
    ReceivedFrame* f = ring->Front();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->Tick, i);
    EXPECT_EQ(f->Message.Type, 0x30);
    EXPECT_EQ(f->Message.Length, 4);
    EXPECT_EQ(f->Message.Data[3], static_cast<uint8_t>(i));
    ring->Pop();
  }
  // Room again; the new record goes behind the older ones, across the wrap.
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(ring->PushPayload(500, extra.data(), 5));
  EXPECT_FALSE(ring->PushPayload(501, extra.data(), 5));
  ring->Clear();
  EXPECT_TRUE(ring->Empty());
  EXPECT_EQ(ring->Count(), 0u);
}

// One receive thread pushes while the consumer drains: every record arrives once, whole and
// in order (ThreadSanitizer checks the index hand-off).
TEST(ReceivedFrameRing, ProducerAndConsumerThreadsHandOverEveryRecordIntact) {
  dral_test::Watchdog watchdog(30);
  auto ring = std::make_unique<TReceivedFrameRing>();
  constexpr uint32_t kCount = 20000;
  std::atomic<bool> stop{false};
  std::thread producer([&] {
    for (uint32_t i = 0; i < kCount && !stop.load();) {
      uint8_t p[9] = {0x30};
      PutU32(p + 1, i);
      PutU32(p + 5, ~i);
      if (ring->PushPayload(i, p, sizeof p)) {
        ++i;
      } else {
        std::this_thread::yield();
      }
    }
  });
  uint32_t next = 0;
  while (next < kCount) {
    ReceivedFrame* f = ring->Front();
    if (f == nullptr) {
      std::this_thread::yield();
      continue;
    }
    const bool intact = f->Tick == next && f->Message.Length == 8 &&
                        GetU32(f->Message.Data) == next && GetU32(f->Message.Data + 4) == ~next;
    if (!intact) {
      ADD_FAILURE() << "record " << next << " damaged or out of order";
      break;
    }
    ring->Pop();
    ++next;
  }
  stop = true;
  producer.join();
  EXPECT_EQ(next, kCount);
  EXPECT_TRUE(ring->Empty());
}

}  // namespace
}  // namespace dral
