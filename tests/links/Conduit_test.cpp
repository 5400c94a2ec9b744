#include "links/Conduit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "testsupport/test_env.h"
#include "testsupport/test_util.h"

namespace dral {
namespace {

using dral_test::WaitUntil;

// A link whose receive thread delivers a block of bytes to the installed handler over and over,
// from construction until destruction, as the real links' receive threads do.
class LoopbackConduit : public TConduit {
 public:
  LoopbackConduit() : thread_([this] { ReceiveLoop(); }) {}
  ~LoopbackConduit() override {
    stop_ = true;
    thread_.join();
  }
  bool Open(std::string, std::string) override { return open_ = true; }
  void Close() override { open_ = false; }
  bool IsOpen() override { return open_; }
  void SetReceiveHandler(ReceiveHandler handler) override { handler_.Set(handler); }
  int Write(const uint8_t*, int len) override { return open_ ? len : 0; }
  std::string PortName() override { return "Loopback"; }
  std::string PortInfo() override { return ""; }

  std::atomic<uint64_t> Blocks{0};  // blocks read, delivered or not

 private:
  void ReceiveLoop() {
    uint8_t buf[16] = {};
    while (!stop_) {
      buf[0] = static_cast<uint8_t>(Blocks.load());
      handler_.Call(buf, static_cast<int>(sizeof buf));
      Blocks.fetch_add(1);
      std::this_thread::yield();
    }
  }

  ReceiveHandlerSlot handler_;
  std::atomic<bool> open_{false};
  std::atomic<bool> stop_{false};
  std::thread thread_;  // last: starts after the fields it uses
};

struct Receiver {
  explicit Receiver(char kind) : Kind(kind) {}
  const char Kind;
  std::atomic<uint64_t> Calls{0};
  std::atomic<int> Inside{0};
  std::atomic<bool> Mixed{false};  // called through the code of another receiver
};

template <char kKind>
void Receive(void* data, const uint8_t*, int len) {
  auto* r = static_cast<Receiver*>(data);
  if (r->Kind != kKind || len != 16) r->Mixed = true;
  r->Inside.fetch_add(1);
  r->Calls.fetch_add(1);
  r->Inside.fetch_sub(1);
}

class ConduitTest : public dral_test::IsolatedTest {};

// The link manager swaps and detaches handlers while the receive thread calls them: a call
// never pairs one handler's code with another's object, and once the detach returns the old
// object may go (AddressSanitizer reports a call that still reaches it).
TEST_F(ConduitTest, HandlerSwapNeverMixesCodeAndObjectAndDetachWaitsForTheRunningCall) {
  LoopbackConduit link;
  auto a = std::make_unique<Receiver>('A');
  auto b = std::make_unique<Receiver>('B');
  const ReceiveHandler toA{&Receive<'A'>, a.get()};
  const ReceiveHandler toB{&Receive<'B'>, b.get()};
  for (int i = 0; i < 2000; ++i) {
    Receiver& now = i % 2 == 0 ? *a : *b;
    const uint64_t before = now.Calls.load();
    link.SetReceiveHandler(i % 2 == 0 ? toA : toB);
    // Mostly swap as fast as possible; now and then make sure the new handler is reached.
    if (i % 100 < 2) {
      ASSERT_TRUE(WaitUntil([&] { return now.Calls.load() > before; }));
    }
  }
  link.SetReceiveHandler(ReceiveHandler{});
  EXPECT_EQ(a->Inside.load(), 0);
  EXPECT_EQ(b->Inside.load(), 0);
  EXPECT_FALSE(a->Mixed.load());
  EXPECT_FALSE(b->Mixed.load());
  EXPECT_GT(a->Calls.load(), 0u);
  EXPECT_GT(b->Calls.load(), 0u);
  a.reset();
  b.reset();
  const uint64_t seen = link.Blocks.load();
  ASSERT_TRUE(WaitUntil([&] { return link.Blocks.load() > seen + 10; }));
}

TEST_F(ConduitTest, HandlerWithoutCodeIsNeverCalledAndItsBytesAreDropped) {
  LoopbackConduit link;
  Receiver r('A');
  link.SetReceiveHandler(ReceiveHandler{nullptr, &r});
  const uint64_t seen = link.Blocks.load();
  ASSERT_TRUE(WaitUntil([&] { return link.Blocks.load() > seen + 50; }));
  EXPECT_EQ(r.Calls.load(), 0u);
}

// A handler may detach itself from inside its own call on the receive thread: that neither
// dead-locks nor lets another call through.
TEST_F(ConduitTest, HandlerThatDetachesItselfIsNotCalledAgain) {
  LoopbackConduit link;
  struct SelfDetacher {
    TConduit* Link;
    std::atomic<int> Calls{0};
    void OnBytes(const uint8_t*, int) {
      Calls.fetch_add(1);
      Link->SetReceiveHandler(ReceiveHandler{});
    }
  } self{&link};
  link.SetReceiveHandler(ReceiveHandler::Of<&SelfDetacher::OnBytes>(&self));
  ASSERT_TRUE(WaitUntil([&] { return self.Calls.load() > 0; }));
  const uint64_t seen = link.Blocks.load();
  ASSERT_TRUE(WaitUntil([&] { return link.Blocks.load() > seen + 50; }));
  EXPECT_EQ(self.Calls.load(), 1);
}

}  // namespace
}  // namespace dral
