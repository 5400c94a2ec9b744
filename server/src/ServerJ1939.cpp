// The TDralServer members of J1939 network management: the clients' address claims and the
// records of what each client holds, the re-send of all claims on a global request, and the
// routing of requests, acknowledgements, transport frames and claims between the adapter and
// the clients.
//
// The claimed-address records live in the clients' slots, where any process may write; every
// address read from them is checked, and a record counts only for the holder of the slot it was
// stored for. The server writes them under the channel mutex only.
#include <array>
#include <cstring>

#include "channel/Codec.h"
#include "plat/debug.h"
#include "plat/tick.h"
#include "server/Filters.h"
#include "server/ServerObj.h"

namespace dral {
namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

constexpr uint8_t ChannelBitOf(int ch) {
  return ch == 0 ? kChannelBit1 : kChannelBit2;
}

// Table index of a frame's channel: channel 1 when bit 0 is set, else channel 2.
int ChannelIndex(uint8_t channelBits) {
  return (channelBits & kChannelBit1) != 0 ? 0 : 1;
}

// An RTS for a PDU2 group is matched a second time as a PDU1 message to the RTS's destination
// (PDU format 0x02), so a client that filters by destination gets it.
constexpr uint32_t kPgnFields = 0x00FFFF00;
constexpr uint32_t kRtsSecondMatchFormat = 0x02;

// A table that lets anything through: block-listed, or pass-listed with entries.
bool FilterOpen(const IdFilterTable& table) {
  return table.Mode.load(kRelaxed) == FilterBlockListed || ListedCount(table) != 0;
}

}  // namespace

bool TDralServer::HandleNetworkManagement(int slot, HuxMessage& m) {
  if (m.Length < sizeof(J1939FrameHeader)) return true;  // no identifier: dropped
  const uint8_t pf = m.Data[offsetof(J1939FrameHeader, PduFormat)];
  switch (pf) {
    case j1939::kPfAcknowledgement:
    case j1939::kPfRequest:
    case j1939::kPfTransportData:
    case j1939::kPfTransportControl: {
      m.Type = MsgJ1939Frame;
      if (!Send(m)) return false;  // stays at the head; peeked again by a later pass
      canTxCount_.fetch_add(1, kRelaxed);
      const bool usable = ChannelUsable(m.Data[0]);
      if (J1939RawMode() == 0) {
        m.Type = MsgJ1939Control;
        DeliverNetworkManagement(m, slot);
      } else if (usable) {
        DeliverJ1939(m, slot);
      }
      // A request for the claims that went out this way wants them as much as a plain frame.
      if (usable) CheckGlobalRequest(m);
      return true;
    }
    case j1939::kPfAddressClaimed:
      return ClaimAddress(slot, m);
    default:
      // Nothing the server routes: taken off the ring, so later requests are not held up.
      plat::OutputDebugString("J1939 network management request with an unknown format: dropped");
      return true;
  }
}

bool TDralServer::ClaimAddress(int slot, HuxMessage& m) {
  if (slot < 0 || slot >= kSlotCount) return true;
  if (m.Length < j1939::kAddressClaimLength ||
      m.Data[offsetof(J1939FrameHeader, SourceAddress)] > j1939::kMaxClaimableAddress) {
    // No NAME, or the null or global address: not a claim anybody may hold.
    plat::OutputDebugString("Address claim without a NAME or for address 254 or 255: refused");
    return true;
  }
  TChannelLock hold(*channel_, kChannelLockTimeoutMs);
  if (!hold.Owned()) return false;
  ResetStaleClaimsLocked();
  const uint8_t address = m.Data[offsetof(J1939FrameHeader, SourceAddress)];
  const uint8_t bits = m.Data[0] & kChannelBitsMask;
  const uint8_t* name = m.Data + j1939::kClaimName;

  // The clashes are found before the claim changes anything, but told only after it is stored
  // and sent (see the header).
  struct Clash {
    uint8_t ChannelBit;
    uint8_t Name[j1939::kNameBytes];
  };
  std::array<Clash, 2 * kSlotCount> clashes{};
  size_t clashCount = 0;
  for (int other = 0; other < kSlotCount; ++other) {
    if (other == slot || !IsSlotActive(other)) continue;
    for (int ch = 0; ch < 2; ++ch) {
      if ((bits & ChannelBitOf(ch)) == 0 || HeldAddressLocked(other, ch) != address) continue;
      Clash& c = clashes[clashCount++];
      c.ChannelBit = ChannelBitOf(ch);
      for (size_t i = 0; i < j1939::kNameBytes; ++i)
        c.Name[i] = block_->Slots[other].Claimed[ch].Name[i].load(kRelaxed);
    }
  }

  HuxMessage frame = m;
  frame.Type = MsgJ1939Frame;
  frame.Length = j1939::kAddressClaimLength;
  ClaimedAddress* records = block_->Slots[slot].Claimed;
  for (int ch = 0; ch < 2; ++ch) {
    if ((bits & ChannelBitOf(ch)) == 0) continue;
    frame.Data[0] = ChannelBitOf(ch);
    // NAME first: a reader that finds the address finds the NAME that goes with it.
    for (size_t i = 0; i < j1939::kNameBytes; ++i) records[ch].Name[i].store(name[i], kRelaxed);
    records[ch].Address.store(address, std::memory_order_release);
    if (!Send(frame)) return false;  // repeated whole by a later pass; nothing told yet
    canTxCount_.fetch_add(1, kRelaxed);
  }

  for (size_t i = 0; i < clashCount; ++i) {
    HuxMessage notice{};
    EncodeClashNotice(clashes[i].ChannelBit, m, clashes[i].Name, notice);
    Deliver(slot, notice);
  }
  return true;
}

void TDralServer::CheckGlobalRequest(const HuxMessage& m) {
  if (!IsAddressClaimRequest(ViewOf(m))) return;
  resendChannels_ |= m.Data[0] & kChannelBitsMask;
  resendDueTick_ = plat::GetTickCount() + kClaimResendDelayMs;
}

void TDralServer::ResendPendingClaims() {
  if (resendChannels_ == 0) return;
  // Waited for here, with the channel mutex free, rather than inside the request's dispatch.
  const auto left = static_cast<int32_t>(resendDueTick_ - plat::GetTickCount());
  if (left > 0) plat::Sleep(std::min<uint32_t>(static_cast<uint32_t>(left), kClaimResendDelayMs));
  const uint8_t channels = resendChannels_;
  resendChannels_ = 0;
  ResendAddressClaims(channels);
}

void TDralServer::AnswerClaimRequestFromBus(const HuxMessage& m) {
  if (!RequestsAddressClaims(ViewOf(m))) return;
  ResendAddressClaims(m.Data[0] & kChannelBitsMask,
                      m.Data[offsetof(J1939FrameHeader, PduSpecific)]);
}

void TDralServer::ResendAddressClaims(uint8_t channelBits, uint8_t onlyAddress) {
  TChannelLock hold(*channel_, kChannelLockTimeoutMs);
  if (!hold.Owned()) return;
  ResetStaleClaimsLocked();
  HuxMessage frame{};
  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (!IsSlotActive(slot)) continue;
    for (int ch = 0; ch < 2; ++ch) {
      if ((channelBits & ChannelBitOf(ch)) == 0) continue;
      const uint8_t address = HeldAddressLocked(slot, ch);
      if (address == j1939::kNullAddress) continue;
      if (onlyAddress != j1939::kGlobalAddress && address != onlyAddress) continue;
      uint8_t name[j1939::kNameBytes];
      for (size_t i = 0; i < j1939::kNameBytes; ++i)
        name[i] = block_->Slots[slot].Claimed[ch].Name[i].load(kRelaxed);
      EncodeAddressClaim(MsgJ1939Frame, ChannelBitOf(ch), address, name, frame);
      Send(frame);  // counted whether or not the link manager took it
      canTxCount_.fetch_add(1, kRelaxed);
    }
  }
}

void TDralServer::RouteNetworkManagement(HuxMessage& m) {
  DeliverNetworkManagement(m, kNoSlot);
}

void TDralServer::DeliverNetworkManagement(HuxMessage& m, int excludedSlot) {
  if (m.Length < sizeof(J1939FrameHeader)) return;
  const int ch = ChannelIndex(m.Data[0]);
  auto openFilter = [&](const ClientSlot& s) { return FilterOpen(s.J1939Filter[ch]); };
  switch (m.Data[offsetof(J1939FrameHeader, PduFormat)]) {
    case j1939::kPfTransportData:
      DeliverWhere(m, excludedSlot, openFilter);
      return;
    case j1939::kPfTransportControl: {
      if (m.Length <= j1939::kTpCmControl) return;
      const uint8_t control = m.Data[j1939::kTpCmControl];
      if (control == j1939::kTpCmCts || control == j1939::kTpCmEndOfMsgAck || control == j1939::kTpCmAbort) {
        DeliverWhere(m, excludedSlot, openFilter);
        return;
      }
      if (control != j1939::kTpCmRts && control != j1939::kTpCmBam) return;
      if (m.Length < j1939::kTpCmLength) return;  // no PGN to route by
      const uint32_t id = AnnouncedIdentifier(m.Data);
      const bool secondMatch = control == j1939::kTpCmRts && IsPdu2(m.Data[j1939::kTpCmPgn + 1]);
      const uint32_t asPdu1 = (id & ~kPgnFields) | kRtsSecondMatchFormat << 16 |
                              static_cast<uint32_t>(m.Data[offsetof(J1939FrameHeader, PduSpecific)])
                                  << 8;
      DeliverWhere(m, excludedSlot, [&](const ClientSlot& s) {
        const IdFilterTable& table = s.J1939Filter[ch];
        const bool matched =
            MatchJ1939Table(table, id) || (secondMatch && MatchJ1939Table(table, asPdu1));
        return ModePasses(table.Mode.load(kRelaxed), matched);
      });
      return;
    }
    case j1939::kPfAddressClaimed: {
      if (m.Length < j1939::kAddressClaimLength) return;  // a claim without a NAME reaches nobody
      const uint8_t channels = m.Data[0] & kChannelBitsMask;
      const uint8_t destination = m.Data[offsetof(J1939FrameHeader, PduSpecific)];
      {
        TChannelLock hold(*channel_, kChannelLockTimeoutMs);
        if (hold.Owned()) {
          ResetStaleClaimsLocked();
          for (int slot = 0; slot < kSlotCount; ++slot) {
            if (slot == excludedSlot || !IsSlotActive(slot)) continue;
            for (int c = 0; c < 2; ++c) {
              if ((channels & ChannelBitOf(c)) == 0) continue;
              const uint8_t held = HeldAddressLocked(slot, c);
              if (held == j1939::kNullAddress) continue;
              if (destination == j1939::kGlobalAddress || destination == held) {
                Deliver(slot, m);
                break;  // once per client, whatever the channel bits say
              }
            }
          }
        }
      }
      m.Type = MsgJ1939Frame;
      DeliverJ1939(m, excludedSlot);
      return;
    }
    default:
      return;  // requests and acknowledgements reach no client
  }
}

uint8_t TDralServer::HeldAddressLocked(int slot, int ch) {
  if (claimHolder_[slot] != HolderOf(slot)) return j1939::kNullAddress;
  const uint8_t address = block_->Slots[slot].Claimed[ch].Address.load(std::memory_order_acquire);
  return address <= j1939::kMaxClaimableAddress ? address : j1939::kNullAddress;
}

void TDralServer::ResetClaimsLocked(int slot) {
  for (ClaimedAddress& record : block_->Slots[slot].Claimed)
    record.Address.store(kNoAddress, kRelaxed);
}

void TDralServer::ResetStaleClaimsLocked() {
  for (int slot = 0; slot < kSlotCount; ++slot) {
    const uint32_t holder = HolderOf(slot);
    if (IsSlotActive(slot) && claimHolder_[slot] == holder) continue;
    // A free slot holds nothing; a slot taken again since its record was stored holds nothing
    // of its earlier holder's.
    ResetClaimsLocked(slot);
    claimHolder_[slot] = holder;
  }
}

}  // namespace dral
