// A real TDralServer over the channel, with the adapter simulator behind its link manager (the
// USB row of the link table holds the simulator's in-process link), and client connections made
// as the client library makes them: client-mode queues that take slots in the same block.
//
// The wait thread is not started unless a test asks: the test runs each server pass itself,
// so "what one pass does" is exact. Adapter traffic arrives on the link manager's thread; tests
// wait for it with bounded waits.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "channel/HuxIPC.h"
#include "server/HuxMgr.h"
#include "server/ServerObj.h"
#include "testsupport/AdapterSimulator.h"
#include "testsupport/SimConduit.h"
#include "testsupport/TestClient.h"
#include "testsupport/test_env.h"
#include "testsupport/test_util.h"

namespace dral_test {

using dral::HuxMessage;

// A CAN or J1939 filter edit (Length 9): channel bits with the op, mask, value.
inline Bytes IdEdit(uint8_t channelBits, uint8_t op, uint32_t mask, uint32_t value) {
  Bytes d{static_cast<uint8_t>(channelBits | op << dral::kFilterOpShift)};
  const Bytes m = Le32(mask), v = Le32(value);
  d.insert(d.end(), m.begin(), m.end());
  d.insert(d.end(), v.begin(), v.end());
  return d;
}

// CAN or J1939 frame data: channel bits, identifier, payload.
inline Bytes IdFrame(uint8_t channelBits, uint32_t id, const Bytes& payload = {1, 2, 3}) {
  Bytes d{channelBits};
  const Bytes i = Le32(id);
  d.insert(d.end(), i.begin(), i.end());
  d.insert(d.end(), payload.begin(), payload.end());
  return d;
}

class ServerTest : public IsolatedTest {
 protected:
  void TearDown() override {
    server_.reset();  // before the simulator and the link control it uses
  }

  // Starts the server without waiting for anything.
  void StartServerAsync(bool waitThread = false,
                        uint32_t roundTimeoutMs = dral::TWaitThread::kRoundTimeoutMs) {
    dral::TDralServer::Options options;
    options.RoundTimeoutMs = roundTimeoutMs;
    dral::LinkFactoryTable links{};
    links[dral::LinkRowUsb] = [this] { return std::make_unique<SimConduit>(adapter_, link_); };
    options.Links = links;
    options.StartWaitThread = waitThread;
    server_ = std::make_unique<dral::TDralServer>(options);
  }

  // Starts the server and waits until the link is up and the link-up merges have reached the
  // adapter; then reports CAN1, CAN2 and J1708 as available and forgets what was recorded.
  void StartServer(bool waitThread = false,
                   uint32_t roundTimeoutMs = dral::TWaitThread::kRoundTimeoutMs) {
    StartServerAsync(waitThread, roundTimeoutMs);
    ASSERT_TRUE(adapter_.WaitForMessage(OfType(sim::kJ1708Filter), 5000)) << "link did not come up";
    linkUpFrames_ = AdapterFrames(
        {sim::kChannelControl, sim::kCanFilter, sim::kJ1939Filter, sim::kJ1708Filter}, 6);
    SetStatus(0x01, 0x01, 0x01);
    adapter_.ClearRecords();
  }

  // Sends a status reply with these status bytes and waits until the header shows them.
  void SetStatus(uint8_t can1, uint8_t can2, uint8_t j1708) {
    SimStatus s;
    s.Can1Status = can1;
    s.Can2Status = can2;
    s.J1708Status = j1708;
    adapter_.SetStatus(s);  // the periodic status poll then keeps them
    adapter_.InjectMessage(sim::kStatusReply, SerializeStatus(s));
    auto& h = server_->Channel().Block()->Header;
    ASSERT_TRUE(WaitUntil([&] {
      return (h.Can1Status.load() & 0x7F) == can1 && h.Can2Status.load() == can2 &&
             (h.J1708Status.load() & 0x7F) == j1708;
    }));
  }

  void Pass() { server_->ProcessClientQueues(); }

  // Waits until every frame the server has queued so far has reached the adapter, then
  // forgets what it recorded. (A quiet spell is no proof under load: the sender may just not
  // have run.)
  void Settle() {
    const dral::THuxMgr& link = server_->LinkManager();
    EXPECT_TRUE(WaitUntil([&] { return adapter_.FramesFromHost() >= link.FramesSent(); }))
        << "queued frames did not arrive";
    adapter_.ClearRecords();
  }

  // The messages of the given types that the adapter received, in order.
  std::vector<AdapterMessage> AdapterGot(std::initializer_list<uint8_t> types) {
    return adapter_.Messages([types](const AdapterMessage& m) {
      for (uint8_t t : types) {
        if (m.Type == t) return true;
      }
      return false;
    });
  }

  // Waits until the adapter holds `count` messages of the given types, then returns them as
  // (type, data) pairs.
  std::vector<std::pair<uint8_t, Bytes>> AdapterFrames(std::initializer_list<uint8_t> types,
                                                       size_t count) {
    const std::vector<uint8_t> wanted(types);
    auto match = [wanted](const AdapterMessage& m) {
      for (uint8_t t : wanted) {
        if (m.Type == t) return true;
      }
      return false;
    };
    EXPECT_TRUE(adapter_.WaitForCount(match, count, 5000));
    std::vector<std::pair<uint8_t, Bytes>> out;
    for (const auto& m : adapter_.Messages(match)) out.emplace_back(m.Type, m.Data);
    return out;
  }

  AdapterSimulator adapter_;
  SimLinkControl link_;
  // The filter commands the adapter received when the link came up.
  std::vector<std::pair<uint8_t, Bytes>> linkUpFrames_;
  std::unique_ptr<dral::TDralServer> server_;
};

}  // namespace dral_test
