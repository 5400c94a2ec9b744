// The port's notification layer: link registration and the Call operations, which tell the
// links and then raise the port's own events.
#include <algorithm>
#include <chrono>
#include <vector>

#include "comport/CPort.h"

namespace comport {
namespace {

// How long an unregistration from another thread waits for notifications still using the link.
constexpr auto kUnregisterWaitLimit = std::chrono::seconds(10);

}  // namespace

// --- registration ---

void TCustomComPort::RegisterLink(TComLink* link) {
  cls::MutexLock lock(linksLock_);
  if (link == nullptr || std::find(links_.begin(), links_.end(), link) != links_.end())
    throw EComPort(CError_RegFailed);
  links_.push_back(link);
  linkListens_.store(HasLinkLocked(), std::memory_order_release);
}

void TCustomComPort::UnRegisterLink(TComLink* link) {
  cls::MutexLock lock(linksLock_);
  const auto it = std::find(links_.begin(), links_.end(), link);
  if (it == links_.end()) throw EComPort(CError_RegFailed);
  links_.erase(it);
  linkListens_.store(HasLinkLocked(), std::memory_order_release);
  // Walks that began before the removal may still call the link; the caller frees it next. Walks
  // begun later skip it, and a walk of this very thread (a handler unregistering) checks the list
  // before each link.
  const uint64_t removedAt = walkTickets_;
  const auto self = std::this_thread::get_id();
  const auto earlierWalkOfAnother = [&]() REQUIRES(linksLock_) {
    return std::any_of(walkers_.begin(), walkers_.end(), [&](const Walker& w) {
      return w.Ticket < removedAt && w.Thread != self;
    });
  };
  const auto deadline = std::chrono::steady_clock::now() + kUnregisterWaitLimit;
  while (earlierWalkOfAnother()) {
    if (walkEnded_.wait_until(linksLock_, deadline) == std::cv_status::timeout &&
        earlierWalkOfAnother())
      throw EComPort(CError_RegFailed);
  }
}

bool TCustomComPort::HasLink() const {
  cls::MutexLock lock(linksLock_);
  return HasLinkLocked();
}

bool TCustomComPort::HasLinkLocked() const {
  return std::any_of(links_.begin(), links_.end(),
                     [](const TComLink* l) { return l->OnRxBuf.IsSet(); });
}

bool TCustomComPort::AnyLinks() const {
  cls::MutexLock lock(linksLock_);
  return !links_.empty();
}

void TCustomComPort::ForEachLink(const std::function<void(TComLink&)>& serve) {
  std::vector<TComLink*> snapshot;
  uint64_t ticket = 0;
  {
    cls::MutexLock lock(linksLock_);
    if (links_.empty()) return;
    snapshot = links_;
    ticket = walkTickets_++;
    walkers_.push_back(Walker{ticket, std::this_thread::get_id()});
  }
  struct WalkEnd {
    TCustomComPort& Port;
    uint64_t Ticket;
    ~WalkEnd() {
      cls::MutexLock lock(Port.linksLock_);
      std::erase_if(Port.walkers_, [this](const Walker& w) { return w.Ticket == Ticket; });
      Port.walkEnded_.notify_all();
    }
  } end{*this, ticket};
  for (TComLink* link : snapshot) {
    {
      cls::MutexLock lock(linksLock_);
      if (std::find(links_.begin(), links_.end(), link) == links_.end()) continue;
    }
    serve(*link);
  }
}

// --- links ---

void TCustomComPort::SendSignalToLink(TComLinkEvent event, bool onOff) {
  TComSignalEvent TComLink::*slot = nullptr;
  switch (event) {
    case TComLinkEvent::leConn: slot = &TComLink::OnConn; break;
    case TComLinkEvent::leCTS: slot = &TComLink::OnCTSChange; break;
    case TComLinkEvent::leDSR: slot = &TComLink::OnDSRChange; break;
    case TComLinkEvent::leRLSD: slot = &TComLink::OnRLSDChange; break;
    case TComLinkEvent::leRx: slot = &TComLink::OnRx; break;
    case TComLinkEvent::leTx: slot = &TComLink::OnTx; break;
    default: return;
  }
  ForEachLink([&](TComLink& link) {
    if ((link.*slot).IsSet()) (link.*slot)(this, onOff);
  });
}

void TCustomComPort::NotifyLink(TComLinkEvent event) {
  TNotifyEvent TComLink::*slot = nullptr;
  switch (event) {
    case TComLinkEvent::leRing: slot = &TComLink::OnRing; break;
    case TComLinkEvent::leTxEmpty: slot = &TComLink::OnTxEmpty; break;
    case TComLinkEvent::leRxFlag: slot = &TComLink::OnRxFlag; break;
    default: return;
  }
  ForEachLink([&](TComLink& link) {
    if ((link.*slot).IsSet()) (link.*slot)(this);
  });
}

void TCustomComPort::TxNotifyLink(const void* buffer, int32_t count) {
  ForEachLink([&](TComLink& link) {
    if (link.OnTxBuf.IsSet()) link.OnTxBuf(this, buffer, count);
  });
}

void TCustomComPort::CheckSignals(bool open) {
  if (open) {
    CallCTSChange();
    CallDSRChange();
    CallRLSDChange();
    return;
  }
  SendSignalToLink(TComLinkEvent::leCTS, false);
  SendSignalToLink(TComLinkEvent::leDSR, false);
  SendSignalToLink(TComLinkEvent::leRLSD, false);
  DoCTSChange(false);
  DoDSRChange(false);
  DoRLSDChange(false);
}

// --- Call operations ---

void TCustomComPort::CallBeforeOpen() { DoBeforeOpen(); }

void TCustomComPort::CallAfterOpen() {
  SendSignalToLink(TComLinkEvent::leConn, true);
  DoAfterOpen();
  CheckSignals(true);
}

void TCustomComPort::CallBeforeClose() {
  CheckSignals(false);
  DoBeforeClose();
}

void TCustomComPort::CallAfterClose() {
  SendSignalToLink(TComLinkEvent::leConn, false);
  DoAfterClose();
}

void TCustomComPort::CallRxChar() {
  int32_t count = InputCount();
  if (count <= 0) return;
  SendSignalToLink(TComLinkEvent::leRx, true);
  if (!TriggersOnRxChar()) {
    // One read serves the port and every link. The handlers get the count actually read, which
    // a short read makes smaller than the count waiting.
    std::vector<char> buffer;
    bool read = false;
    int32_t got = 0;
    const auto readOnce = [&] {
      buffer.resize(static_cast<size_t>(count));
      read = true;
      got = Read(buffer.data(), count);
      if (got > 0) DoRxBuf(buffer.data(), got);
    };
    ForEachLink([&](TComLink& link) {
      if (!link.OnRxBuf.IsSet()) return;
      if (!read) readOnce();
      if (got > 0) link.OnRxBuf(this, buffer.data(), got);
    });
    if (!read && !triggersOnRxChar_.load(std::memory_order_relaxed)) readOnce();
    if (read) count = 0;
  }
  if (count > 0) DoRxChar(count);
}

void TCustomComPort::CallRxFlag() {
  NotifyLink(TComLinkEvent::leRxFlag);
  DoRxFlag();
}

void TCustomComPort::CallTxEmpty() {
  SendSignalToLink(TComLinkEvent::leTx, false);
  NotifyLink(TComLinkEvent::leTxEmpty);
  DoTxEmpty();
}

void TCustomComPort::CallBreak() { DoBreak(); }

void TCustomComPort::CallRing() {
  NotifyLink(TComLinkEvent::leRing);
  DoRing();
}

void TCustomComPort::CallCTSChange() {
  const bool on = Signals().Contains(TComSignal::csCTS);
  SendSignalToLink(TComLinkEvent::leCTS, on);
  DoCTSChange(on);
}

void TCustomComPort::CallDSRChange() {
  const bool on = Signals().Contains(TComSignal::csDSR);
  SendSignalToLink(TComLinkEvent::leDSR, on);
  DoDSRChange(on);
}

void TCustomComPort::CallRLSDChange() {
  const bool on = Signals().Contains(TComSignal::csRLSD);
  SendSignalToLink(TComLinkEvent::leRLSD, on);
  DoRLSDChange(on);
}

void TCustomComPort::CallError() {
  const TComErrors errors = LastErrors();
  if (!errors.Empty()) DoError(errors);
}

void TCustomComPort::CallRx80Full() { DoRx80Full(); }

// --- Do operations ---

void TCustomComPort::DoAfterClose() {
  if (OnAfterClose.IsSet()) OnAfterClose(this);
}
void TCustomComPort::DoAfterOpen() {
  if (OnAfterOpen.IsSet()) OnAfterOpen(this);
}
void TCustomComPort::DoBeforeClose() {
  if (OnBeforeClose.IsSet()) OnBeforeClose(this);
}
void TCustomComPort::DoBeforeOpen() {
  if (OnBeforeOpen.IsSet()) OnBeforeOpen(this);
}
void TCustomComPort::DoRxChar(int32_t count) {
  if (OnRxChar.IsSet()) OnRxChar(this, count);
}
void TCustomComPort::DoRxBuf(const void* buffer, int32_t count) {
  if (OnRxBuf.IsSet()) OnRxBuf(this, buffer, count);
}
void TCustomComPort::DoTxEmpty() {
  if (OnTxEmpty.IsSet()) OnTxEmpty(this);
}
void TCustomComPort::DoBreak() {
  if (OnBreak.IsSet()) OnBreak(this);
}
void TCustomComPort::DoRing() {
  if (OnRing.IsSet()) OnRing(this);
}
void TCustomComPort::DoRxFlag() {
  if (OnRxFlag.IsSet()) OnRxFlag(this);
}
void TCustomComPort::DoCTSChange(bool onOff) {
  if (OnCTSChange.IsSet()) OnCTSChange(this, onOff);
}
void TCustomComPort::DoDSRChange(bool onOff) {
  if (OnDSRChange.IsSet()) OnDSRChange(this, onOff);
}
void TCustomComPort::DoError(TComErrors errors) {
  if (OnError.IsSet()) OnError(this, errors);
}
void TCustomComPort::DoRLSDChange(bool onOff) {
  if (OnRLSDChange.IsSet()) OnRLSDChange(this, onOff);
}
void TCustomComPort::DoRx80Full() {
  if (OnRx80Full.IsSet()) OnRx80Full(this);
}

}  // namespace comport
