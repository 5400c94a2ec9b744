#include "server/HuxMgr.h"

#include <exception>
#include <utility>

#include "classlib/Registry.h"
#include "classlib/exception.h"
#include "plat/debug.h"
#include "plat/tick.h"

namespace dral {
namespace {

// The process-wide factory table behind LinkFactories.
struct FactoryRegistry {
  cls::Mutex mutex;
  LinkFactoryTable table GUARDED_BY(mutex);
};

FactoryRegistry& Factories() {
  static FactoryRegistry registry;
  return registry;
}

bool ValidRow(LinkRow row) {
  return row > LinkRowNone && row < kLinkRows;
}

// The order in which the links are constructed when the thread starts.
constexpr LinkRow kCreationOrder[] = {LinkRowSerial, LinkRowUsb, LinkRowFtdi, LinkRowWinUsb,
                                      LinkRowTcp};

}  // namespace

void LinkFactories::Install(LinkRow row, ConduitFactory factory) {
  if (!ValidRow(row)) return;
  cls::MutexLock lock(Factories().mutex);
  Factories().table[row] = std::move(factory);
}

void LinkFactories::Remove(LinkRow row) {
  Install(row, ConduitFactory{});
}

void LinkFactories::Clear() {
  cls::MutexLock lock(Factories().mutex);
  Factories().table = LinkFactoryTable{};
}

LinkFactoryTable LinkFactories::Snapshot() {
  cls::MutexLock lock(Factories().mutex);
  return Factories().table;
}

THuxMgr::THuxMgr(bool createSuspended) : THuxMgr(createSuspended, LinkFactories::Snapshot()) {}

THuxMgr::THuxMgr(bool createSuspended, LinkFactoryTable factories)
    : cls::TThread(true), factories_(std::move(factories)) {
  factories_[LinkRowNone] = nullptr;  // row 0 never holds a link
  const uint32_t now = plat::GetTickCount();
  lastPollTick_ = now;
  stoppedTick_.store(now);
  adapterIPAddress_ = kDefaultAdapterAddress;

  datalink_ = std::make_unique<TDatalink>();
  datalink_->FrameHandler = FrameClosure::Of<&THuxMgr::OnFrame>(this);
  datalink_->ErrorHandler = FrameErrorClosure::Of<&THuxMgr::OnFrameError>(this);

  txThread_ = std::make_unique<THuxTxThread>(true);
  txThread_->WriteHandler.Set(WriteClosure::Of<&THuxMgr::WriteToLink>(this));
  txRunning_.store(true, std::memory_order_release);
  txThread_->Start();

  if (!createSuspended) Start();
}

THuxMgr::~THuxMgr() {
  // Execute must be over before any member goes; its passes are short, so this wait ends.
  Terminate();
  WaitFor();
  // Without Execute (never started) the transmit thread still runs and calls WriteToLink.
  txRunning_.store(false, std::memory_order_release);
  txThread_->WriteHandler.Clear();
  txThread_.reset();
  for (auto& row : links_) row.Conduit.reset();  // only when Execute never ran its own clean-up
}

void THuxMgr::LoadLinkSettings() {
  bool serialDisabled = false;
  bool ethernet = false;
  std::string address;
  cls::TRegistry reg;
  reg.SetRootKey(cls::HKEY_CURRENT_USER);
  if (reg.OpenKeyReadOnly(kSettingsKey)) {
    // Each value has its own guard: one unreadable value leaves the others.
    try {
      serialDisabled = reg.ReadBool(kSerialPortDisabledValue);
    } catch (const std::exception&) {
      serialDisabled = false;
    }
    try {
      ethernet = reg.ReadBool(kEthernetEnabledValue);
    } catch (const std::exception&) {
      ethernet = false;
    }
    try {
      address =
          reg.ReadString(cls::Format("%s%.2d", kAddressHistoryPrefix, kAddressHistoryCurrent));
    } catch (const std::exception&) {
      address.clear();
    }
  }
  cls::MutexLock lock(settingsMutex_);
  serialPortDisabled_ = serialDisabled;
  ethernetEnabled_ = ethernet;
  adapterIPAddress_ = address;
}

bool THuxMgr::SerialPortDisabled() const {
  cls::MutexLock lock(settingsMutex_);
  return serialPortDisabled_;
}

bool THuxMgr::EthernetEnabled() const {
  cls::MutexLock lock(settingsMutex_);
  return ethernetEnabled_;
}

std::string THuxMgr::AdapterIPAddress() const {
  cls::MutexLock lock(settingsMutex_);
  return adapterIPAddress_;
}

void THuxMgr::CreateLinks() {
  for (LinkRow row : kCreationOrder) {
    TConduitList& record = links_[row];
    record.OpenArg2.clear();
    switch (row) {
      case LinkRowSerial:
        record.Enabled = SerialPortDisabled() ? 0 : 1;
        break;
      case LinkRowFtdi:
        record.Enabled = 1;
        record.OpenArg1 = kFtdiBaudRate;
        break;
      case LinkRowTcp:
        record.Enabled = EthernetEnabled() ? 1 : 0;
        record.OpenArg1 = AdapterIPAddress();
        break;
      default:
        record.Enabled = 1;
        break;
    }
    if (!factories_[row]) continue;  // no such link on this build
    try {
      std::unique_ptr<TConduit> link = factories_[row]();
      if (link) {
        link->DebugLevel.store(kLinkDebugLevel);
        // Under the lock, so a Logging change made meanwhile reaches the new link too.
        cls::MutexLock lock(linkMutex_);
        link->SetLogging(logging_.load(std::memory_order_relaxed) != 0);
        record.Conduit = std::move(link);
      }
    } catch (const std::exception& e) {
      plat::OutputDebugString(
          cls::Format("link %d not available: %s", static_cast<int>(row), e.what()));
    } catch (...) {
      plat::OutputDebugString(cls::Format("link %d not available", static_cast<int>(row)));
    }
  }
}

void THuxMgr::Execute() {
  linkState_.store(LinkSearching);
  // The links, their threads and the transmit thread are released however the loop ends.
  struct ShutdownGuard {
    THuxMgr* mgr;
    ~ShutdownGuard() { mgr->Shutdown(); }
  } guard{this};
  LoadLinkSettings();
  CreateLinks();

  plat::Sleep(kStartDelayMs);
  int searchIndex = LinkRowNone;
  while (!Terminated()) {
    switch (State()) {
      case LinkStopped:
        plat::Sleep(kStoppedSleepMs);
        if (plat::TickElapsed(stoppedTick_.load(), kStoppedHoldMs)) {
          linkState_.store(LinkSearching);
        }
        break;
      case LinkConnected: {
        // Read before the pass looks at the ring: a frame queued after that ends the wait.
        const uint32_t seen = rxEvent_.Generation();
        const uint64_t passStart = plat::MicrosecondCount();
        const uint32_t handed = ConnectedPass();
        // A pass that stopped at its limit left more than one ring's worth: the next pass
        // takes the rest at once.
        if (handed >= TReceivedFrameRing::kRecords) break;
        if (handed != 0) {
          // Busy bus: the spacing comes before the wait, and also when frames came during the
          // pass, so the next pass takes everything that arrived meanwhile (one wake-up per
          // client for all of it) and the receive thread's pulses find nobody to wake.
          const uint64_t since = plat::MicrosecondCount() - passStart;
          if (since < kBusyPassSpacingUs) {
            plat::SleepMicroseconds(static_cast<uint32_t>(kBusyPassSpacingUs - since));
          }
          if (!rxQueue_.Empty()) break;
        }
        rxEvent_.WaitForChange(seen, kConnectedSleepMs);
        break;
      }
      default:
        SearchStep(searchIndex);
        plat::Sleep(kSearchStepMs);
        break;
    }
  }
}

void THuxMgr::SearchStep(int& searchIndex) {
  searchIndex = (searchIndex + 1) % kLinkRows;
  TConduitList& record = links_[searchIndex];
  if (record.Conduit == nullptr || record.Enabled == 0) return;
  record.LastTryTick = plat::GetTickCount();
  bool opened = false;
  try {
    opened = record.Conduit->Open(record.OpenArg1, record.OpenArg2);
  } catch (const std::exception& e) {
    // A link that fails loudly costs one step like one that says no.
    plat::OutputDebugString(cls::Format("link %d open failed: %s", searchIndex, e.what()));
  }
  if (!opened) return;

  // Frames queued while no link was open were meant for no adapter; the version request is the
  // first thing a new link carries.
  txThread_->Clear();
  const uint32_t now = plat::GetTickCount();
  lastReceiveTick_ = now;
  lastPollTick_ = now;
  linkState_.store(LinkConnected);
  currentIndex_.store(searchIndex, std::memory_order_release);
  rxWaitAllowed_.store(true, std::memory_order_release);
  record.Conduit->SetReceiveHandler(ReceiveHandler::Of<&THuxMgr::OnReceive>(this));
  // The ring may refuse the request (its mutex busy, or the Clear above deferred by a write in
  // progress so the old bytes still fill it): it stays owed and goes out on a later pass.
  versionRequestOwed_ = !SendVersionRequest();
  LinkChangedHandler.Call(1);
}

uint32_t THuxMgr::ConnectedPass() {
  // At most one ring's worth per pass, so a flood cannot starve the poll and the checks below.
  uint32_t handed = 0;
  for (; handed < TReceivedFrameRing::kRecords; ++handed) {
    ReceivedFrame* frame = rxQueue_.Front();
    if (frame == nullptr) break;
    AdapterMessageHandler.Call(frame->Message);
    rxQueue_.Pop();
    // The room goes to a frame waiting for it at once, not at the end of the pass: the handler
    // of the next frame may take long. Nobody waiting costs two atomic operations.
    rxSpaceEvent_.Pulse();
    lastReceiveTick_ = plat::GetTickCount();
  }
  if (handed != 0) AdapterBatchEndHandler.Call();

  if (versionRequestOwed_) versionRequestOwed_ = !SendVersionRequest();

  // Ticks compare by unsigned difference, which stays right across the wrap of the count.
  const uint32_t now = plat::GetTickCount();
  // No status request overtakes the owed version request.
  if (!versionRequestOwed_ && now - lastPollTick_ >= kStatusPollMs) {
    const uint8_t request = MsgStatusRequest;
    Send(&request, 1);
    lastPollTick_ = now;
  }
  TConduit* link = links_[currentIndex_.load(std::memory_order_relaxed)].Conduit.get();
  if (link == nullptr || !link->IsOpen() || now - lastReceiveTick_ >= kSilenceLimitMs) DropLink();
  return handed;
}

bool THuxMgr::SendVersionRequest() {
  const uint8_t request = MsgVersionRequest;
  return Send(&request, 1);
}

void THuxMgr::EndFullRingWaits() {
  // A frame waiting for room gives up at once, and so do the frames after it: nobody drains the
  // ring any more, and the receive call in progress must end before the link's handler can be
  // detached.
  rxWaitAllowed_.store(false, std::memory_order_release);
  rxSpaceEvent_.Pulse();
}

void THuxMgr::DropLink() {
  versionRequestOwed_ = false;
  EndFullRingWaits();
  txThread_->Clear();
  if (TConduit* link = links_[currentIndex_.load(std::memory_order_relaxed)].Conduit.get()) {
    link->SetReceiveHandler(ReceiveHandler{});
    link->Close();
  }
  currentIndex_.store(LinkRowNone, std::memory_order_release);
  linkState_.store(LinkSearching);
  LinkChangedHandler.Call(0);
}

void THuxMgr::Shutdown() {
  EndFullRingWaits();
  if (TConduit* link = links_[currentIndex_.load(std::memory_order_relaxed)].Conduit.get()) {
    try {
      link->SetReceiveHandler(ReceiveHandler{});
      link->Close();
    } catch (const std::exception& e) {
      plat::OutputDebugString(cls::Format("link close failed: %s", e.what()));
    }
  }
  // The transmit thread object lives on until the destructor, so a sender racing with the end
  // of this thread never touches a freed ring; it only finds its frame refused.
  txRunning_.store(false, std::memory_order_release);
  txThread_->WriteHandler.Clear();  // returns once no WriteToLink runs: the links are free to go
  txThread_->Terminate();
  if (!txThread_->WaitFor(kTxStopTimeoutMs)) {
    plat::OutputDebugString("transmit thread did not end in time");
  }
  rxQueue_.Clear();
  cls::MutexLock lock(linkMutex_);
  currentIndex_.store(LinkRowNone, std::memory_order_release);
  for (auto& row : links_) row.Conduit.reset();  // a link stops and joins its own threads
}

bool THuxMgr::SendMessage(const HuxMessage& message) {
  if (message.Length > kHuxMaxData) {
    frameErrors_.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  return SendFrame(&message.Type, message.Length + 1);
}

bool THuxMgr::FitsTransmitRing(const HuxMessage& message) {
  if (message.Length > kHuxMaxData) return false;
  const int n = message.Length + 1;
  if (TDatalink::MaxFrameLength(n) < THuxTxThread::kRingSize) return true;
  uint8_t frame[TDatalink::kMaxFrameLength];
  int length = 0;
  TDatalink::BuildFrame(&message.Type, n, &length, frame);
  return length < THuxTxThread::kRingSize;
}

bool THuxMgr::Send(const uint8_t* payload, int n) {
  return SendFrame(payload, n);
}

bool THuxMgr::SendFrame(const uint8_t* payload, int n) {
  constexpr int kMaxPayload = 1 + kHuxMaxData;
  if (!txRunning_.load(std::memory_order_acquire) || payload == nullptr || n < 1 ||
      n > kMaxPayload) {
    frameErrors_.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  // Storage of this call: several threads send at once.
  uint8_t frame[TDatalink::MaxFrameLength(kMaxPayload)];
  int length = 0;
  if (!TDatalink::BuildFrame(payload, n, &length, frame)) {
    frameErrors_.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  if (txThread_->Enqueue(frame, length) != length) return false;
  framesSent_.fetch_add(1, std::memory_order_relaxed);
  return true;
}

bool THuxMgr::SendTogether(std::span<const std::span<const uint8_t>> payloads) {
  if (payloads.empty()) return true;
  if (!txRunning_.load(std::memory_order_acquire)) {
    frameErrors_.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  // Storage of this call: several threads send at once. What does not fit here would never fit
  // the ring either.
  uint8_t frames[THuxTxThread::kRingSize];
  int length = 0;
  for (const std::span<const uint8_t> payload : payloads) {
    const int n = static_cast<int>(payload.size());
    if (n < 1 || n > 1 + kHuxMaxData ||
        length + TDatalink::MaxFrameLength(n) > THuxTxThread::kRingSize) {
      frameErrors_.fetch_add(1, std::memory_order_relaxed);
      return false;
    }
    int frameLength = 0;
    if (!TDatalink::BuildFrame(payload.data(), n, &frameLength, frames + length)) {
      frameErrors_.fetch_add(1, std::memory_order_relaxed);
      return false;
    }
    length += frameLength;
  }
  if (txThread_->Enqueue(frames, length) != length) return false;
  framesSent_.fetch_add(static_cast<uint32_t>(payloads.size()), std::memory_order_relaxed);
  return true;
}

int THuxMgr::WriteToLink(const uint8_t* bytes, int n) {
  const int index = currentIndex_.load(std::memory_order_acquire);
  if (index == LinkRowNone) return 0;
  TConduit* link = links_[index].Conduit.get();
  if (link == nullptr || !link->IsOpen()) return 0;
  return link->Write(bytes, n);
}

void THuxMgr::SetLogging(uint8_t on) {
  cls::MutexLock lock(linkMutex_);
  logging_.store(on, std::memory_order_relaxed);
  for (auto& row : links_) {
    if (row.Conduit) row.Conduit->SetLogging(on != 0);
  }
}

void THuxMgr::StartSearch() {
  if (State() == LinkStopped) {
    // "Long ago": the hold is over at the next look, also right after the tick count wraps.
    stoppedTick_.store(plat::GetTickCount() - kStoppedHoldMs);
  }
}

void THuxMgr::PortName(std::string& out) {
  out.clear();
  cls::MutexLock lock(linkMutex_);
  const int index = currentIndex_.load(std::memory_order_acquire);
  if (index == LinkRowNone) return;
  TConduit* link = links_[index].Conduit.get();
  if (link != nullptr && link->IsOpen()) out = link->PortName();
}

void THuxMgr::PortInfo(std::string& out) {
  out.clear();
  cls::MutexLock lock(linkMutex_);
  const int index = currentIndex_.load(std::memory_order_acquire);
  if (index == LinkRowNone) return;
  TConduit* link = links_[index].Conduit.get();
  if (link != nullptr && link->IsOpen()) out = link->PortInfo();
}

void THuxMgr::OnReceive(const uint8_t* bytes, int n) {
  datalink_->Receive(bytes, n);
  // One pulse for all the frames of the block: a pulse per frame would make a wake-up call per
  // frame while the woken manager is still counted as waiting, and would start its pass before
  // the block is parsed, splitting the block over two passes (two wake-ups per client).
  if (pulseOwed_.exchange(false, std::memory_order_relaxed)) rxEvent_.Pulse();
}

void THuxMgr::OnFrame(const uint8_t* payload, int n) {
  rxFlag_.store(1, std::memory_order_relaxed);
  framesReceived_.fetch_add(1, std::memory_order_relaxed);
  if (payload == nullptr || n < 1) return;
  const uint32_t tick = plat::GetTickCount();
  for (;;) {
    // Read before the push: room made after a refused push ends the wait below.
    const uint32_t seen = rxSpaceEvent_.Generation();
    if (rxQueue_.PushPayload(tick, payload, n)) break;
    const uint32_t waited = plat::GetTickCount() - tick;
    const uint32_t limit = fullRingWaitMs_.load(std::memory_order_relaxed);
    if (!rxWaitAllowed_.load(std::memory_order_acquire) || waited >= limit) {
      framesDropped_.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    rxEvent_.Pulse();  // the frames before this one must be taken to make room
    rxSpaceEvent_.WaitForChange(seen, limit - waited);
  }
  pulseOwed_.store(true, std::memory_order_relaxed);
}

void THuxMgr::OnFrameError() {
  frameErrors_.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace dral
