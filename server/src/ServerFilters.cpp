// The TDralServer members that apply the clients' filter edits and answer them, send the merged
// filters to the adapter, and deliver frames to the clients by their filters. The tables' rules
// are the pure functions of Filters.h.
#include <array>
#include <span>

#include "channel/Codec.h"
#include "server/Filters.h"
#include "server/ServerObj.h"

namespace dral {
namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

// A J1708 frame needs more than this to hold MID, data and checksum.
constexpr uint16_t kJ1708ShortestChecked = 5;

// Table index of a frame's channel: CAN1 / J1939 channel 1 when bit 0 is set, else channel 2.
int ChannelIndex(uint8_t channelBits) {
  return (channelBits & kChannelBit1) != 0 ? 0 : 1;
}

}  // namespace

void TDralServer::EditJ1939Filter(int slot, const HuxMessage& request) {
  EditIdFilter(slot, request, IdFilterKind::J1939);
}

void TDralServer::EditCanFilter(int slot, const HuxMessage& request) {
  EditIdFilter(slot, request, IdFilterKind::Can);
}

void TDralServer::EditIdFilter(int slot, const HuxMessage& request, IdFilterKind kind) {
  cls::MutexLock lock(filterMutex_);
  const IdFilterRequest edit = DecodeIdFilterEdit(ViewOf(request));
  if (edit.Channels == 0) {
    // No channel named: nothing to edit, but the client waits for an answer.
    PutReply(slot, request.Type, false, FilterErrNone);
    return;
  }
  ClientSlot& s = *channel_->Slot(slot);
  for (int ch = 0; ch < 2; ++ch) {
    if ((edit.Channels & (1u << ch)) == 0) continue;
    if (!edit.Complete) {
      PutReply(slot, request.Type, false, FilterErrNone);
      continue;
    }
    IdFilterTable& table = kind == IdFilterKind::J1939 ? s.J1939Filter[ch] : s.CanFilter[ch];
    const FilterEditResult result =
        EditIdFilterTable(table, kind, edit.Op, edit.Mask, edit.Value, edit.Extended);
    PutReply(slot, request.Type, result.Ok, result.ErrorCode);
    if (result.Ok) SyncIdFilterLocked(kind, ch);
  }
}

void TDralServer::EditJ1708Filter(int slot, const HuxMessage& request) {
  cls::MutexLock lock(filterMutex_);
  const MidFilterRequest edit = DecodeMidFilterEdit(ViewOf(request));
  if (!edit.Complete) {
    PutReply(slot, request.Type, false, FilterErrNone);
    return;
  }
  const FilterEditResult result =
      EditMidFilterTable(channel_->Slot(slot)->J1708Filter, edit.Op, edit.Mid);
  PutReply(slot, request.Type, result.Ok, result.ErrorCode);
  if (result.Ok) SyncJ1708FilterLocked();
}

void TDralServer::SyncJ1939Filter(int channel) {
  cls::MutexLock lock(filterMutex_);
  SyncIdFilterLocked(IdFilterKind::J1939, channel);
}

void TDralServer::SyncCanFilter(int channel) {
  cls::MutexLock lock(filterMutex_);
  SyncIdFilterLocked(IdFilterKind::Can, channel);
}

void TDralServer::SyncJ1708Filter() {
  cls::MutexLock lock(filterMutex_);
  SyncJ1708FilterLocked();
}

void TDralServer::SyncIdFilterLocked(IdFilterKind kind, int channel) {
  if (channel < 0 || channel > 1) return;
  std::array<const IdFilterTable*, kSlotCount> active{};
  size_t n = 0;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    ClientSlot& s = *channel_->Slot(slot);
    IdFilterTable& table =
        kind == IdFilterKind::J1939 ? s.J1939Filter[channel] : s.CanFilter[channel];
    if (IsSlotActive(slot)) {
      active[n++] = &table;
    } else {
      ClearFilterTable(table);  // a freed slot never contributes
    }
  }
  const uint8_t channelBit = channel == 0 ? kChannelBit1 : kChannelBit2;
  NoteMergeResult(MergeBit(kind, channel),
                  SendCommands(MergeIdFilters(kind, channelBit, std::span(active.data(), n))));
}

void TDralServer::SyncJ1708FilterLocked() {
  std::array<const MidFilterTable*, kSlotCount> active{};
  size_t n = 0;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    MidFilterTable& table = channel_->Slot(slot)->J1708Filter;
    if (IsSlotActive(slot)) {
      active[n++] = &table;
    } else {
      ClearFilterTable(table);
    }
  }
  const bool available = (block_->Header.J1708Status.load(kRelaxed) & StatusAvailable) != 0;
  NoteMergeResult(kMergeJ1708,
                  SendCommands(MergeMidFilters(std::span(active.data(), n), available)));
}

void TDralServer::DeliverJ1939(const HuxMessage& m, int excludedSlot) {
  const bool whole = m.Type == MsgJ1939Transport;
  if (m.Length < (whole ? kJ1939TransportFixed : kIdFrameMinLength)) return;
  const int ch = ChannelIndex(m.Data[0]);
  const uint32_t id = whole ? J1939TransportFilterId(m.Data) : J1939FilterId(m.Data);
  DeliverWhere(m, excludedSlot,
               [&](const ClientSlot& slot) { return J1939TablePasses(slot.J1939Filter[ch], id); });
}

void TDralServer::DeliverCan(const HuxMessage& m, int excludedSlot) {
  if (m.Length < kIdFrameMinLength) return;
  const int ch = ChannelIndex(m.Data[0]);
  const uint32_t id = CanFilterId(m.Data);
  DeliverWhere(m, excludedSlot,
               [&](const ClientSlot& slot) { return CanTablePasses(slot.CanFilter[ch], id); });
}

void TDralServer::DeliverJ1708(HuxMessage& m, int excludedSlot) {
  if (m.Length < kJ1708MinLength) return;  // no MID to filter by
  if (J1708RawMode() != 0) {
    RaiseJ1708Length(m.Data);  // raw clients count the checksum in the length
  } else if (m.Length <= kJ1708ShortestChecked) {
    return;
  } else if (excludedSlot == kNoSlot) {
    uint8_t sum = 0;
    for (uint16_t i = sizeof(J1708FrameHeader); i < m.Length; ++i) sum += m.Data[i];
    if (sum != 0) return;  // bad checksum: reaches nobody
  } else {
    LowerJ1708Length(m.Data);  // the checksum the server appended is not counted
  }
  const uint8_t mid = m.Data[sizeof(J1708FrameHeader)];
  DeliverWhere(m, excludedSlot,
               [&](const ClientSlot& slot) { return MidTablePasses(slot.J1708Filter, mid); });
}

}  // namespace dral
