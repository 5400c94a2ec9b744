// Client receive filters: table edits, matching and merge, as pure functions over the tables.
// The server applies them in ServerFilters.cpp.
#include "server/Filters.h"

#include <algorithm>

namespace dral {
namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

// A table's Count is published with release after the entries it covers are written, so a
// reader that loads it with acquire sees those entries.
void AppendEntryLocked(IdFilterTable& table, uint16_t count, const IdEntry& entry) {
  table.Entries[count].Mask.store(entry.Mask, kRelaxed);
  table.Entries[count].Value.store(entry.Value, kRelaxed);
  table.Count.store(static_cast<uint16_t>(count + 1), std::memory_order_release);
}

void AppendMidLocked(MidFilterTable& table, uint16_t count, uint8_t mid) {
  table.Mids[count].store(mid, kRelaxed);
  table.Count.store(static_cast<uint16_t>(count + 1), std::memory_order_release);
}

IdEntry EntryAt(const IdFilterTable& table, int i) {
  return {table.Entries[i].Mask.load(kRelaxed), table.Entries[i].Value.load(kRelaxed)};
}

constexpr FilterEditResult kEditOk{true, FilterErrNone};
FilterEditResult Failed(IdFilterKind kind, FilterError j1939Code) {
  // CAN failures carry no error code; only J1939 tells the client why.
  return {false, kind == IdFilterKind::J1939 ? static_cast<uint8_t>(j1939Code)
                                             : static_cast<uint8_t>(FilterErrNone)};
}

AdapterCommand ChannelSwitch(uint8_t channel, uint8_t on) {
  AdapterCommand c{MsgChannelControl, 2, {}};
  c.Data[0] = channel;
  c.Data[1] = on;
  return c;
}

AdapterCommand IdEditCommand(uint8_t type, const IdFilterRequest& edit) {
  AdapterCommand c{type, 0, {}};
  c.Length = static_cast<uint8_t>(EncodeIdFilterEdit(edit, c.Data.data()));
  return c;
}

AdapterCommand MidEditCommand(const MidFilterRequest& edit) {
  AdapterCommand c{MsgJ1708Filter, 0, {}};
  c.Length = static_cast<uint8_t>(EncodeMidFilterEdit(edit, c.Data.data()));
  return c;
}

}  // namespace

IdEntry NormaliseIdEntry(IdFilterKind kind, uint32_t mask, uint32_t value, bool extended) {
  if (kind == IdFilterKind::J1939) return {mask, value & mask};
  // Bit 31 of a CAN entry's Value marks an extended identifier: set by the flag, or kept when
  // the request's Mask and Value both carry it (no 11- or 29-bit identifier uses that bit).
  return {mask | kIdBit31, (value & mask) | (extended ? kIdBit31 : 0u)};
}

uint16_t ListedCount(const IdFilterTable& table) {
  return std::min<uint16_t>(table.Count.load(std::memory_order_acquire), kIdFilterEntries);
}

uint16_t ListedCount(const MidFilterTable& table) {
  return std::min<uint16_t>(table.Count.load(std::memory_order_acquire), kMidFilterEntries);
}

void ClearFilterTable(IdFilterTable& table) {
  table.Count.store(0, kRelaxed);
  table.Mode.store(FilterPassListed, kRelaxed);
}

void ClearFilterTable(MidFilterTable& table) {
  table.Count.store(0, kRelaxed);
  table.Mode.store(FilterPassListed, kRelaxed);
}

FilterEditResult EditIdFilterTable(IdFilterTable& table, IdFilterKind kind, uint8_t op,
                                   uint32_t mask, uint32_t value, bool extended) {
  const IdEntry entry = NormaliseIdEntry(kind, mask, value, extended);
  const bool blockListed = table.Mode.load(kRelaxed) == FilterBlockListed;
  const uint16_t count = ListedCount(table);
  switch (op & kFilterOpMask) {
    case FilterOpPass:
      if (blockListed && kind == IdFilterKind::J1939) {
        // J1939: the first pass entry replaces the block list.
        table.Count.store(0, kRelaxed);
        table.Mode.store(FilterPassListed, kRelaxed);
        AppendEntryLocked(table, 0, entry);
        return kEditOk;
      }
      if (count >= kIdFilterEntries) return Failed(kind, FilterErrListFull);
      // CAN: the listed block entries are kept, and now pass.
      if (blockListed) table.Mode.store(FilterPassListed, kRelaxed);
      AppendEntryLocked(table, count, entry);
      return kEditOk;

    case FilterOpBlock:
      if (blockListed) {
        if (count >= kIdFilterEntries) return Failed(kind, FilterErrBlockListFull);
        AppendEntryLocked(table, count, entry);
        return kEditOk;
      }
      for (int i = 0; i < count; ++i) {
        if (EntryAt(table, i) != entry) continue;
        for (int j = i + 1; j < count; ++j) {
          const IdEntry next = EntryAt(table, j);
          table.Entries[j - 1].Mask.store(next.Mask, kRelaxed);
          table.Entries[j - 1].Value.store(next.Value, kRelaxed);
        }
        table.Count.store(static_cast<uint16_t>(count - 1), std::memory_order_release);
        return kEditOk;
      }
      return Failed(kind, FilterErrNotFound);

    case FilterOpPassAll:
      table.Count.store(0, kRelaxed);
      table.Mode.store(FilterBlockListed, kRelaxed);
      return kEditOk;

    default:  // FilterOpBlockAll
      ClearFilterTable(table);
      return kEditOk;
  }
}

FilterEditResult EditMidFilterTable(MidFilterTable& table, uint8_t op, uint8_t mid) {
  const bool blockListed = table.Mode.load(kRelaxed) == FilterBlockListed;
  const uint16_t count = ListedCount(table);
  constexpr FilterEditResult kFailed{false, FilterErrNone};
  switch (op & kFilterOpMask) {
    case FilterOpPass:
    case FilterOpBlock: {
      const bool add = (op & kFilterOpMask) == FilterOpPass || blockListed;
      if (add) {
        if (count >= kMidFilterEntries) return kFailed;
        // A pass MID in block mode turns the table to pass mode; the listed MIDs now pass.
        if (blockListed && (op & kFilterOpMask) == FilterOpPass) {
          table.Mode.store(FilterPassListed, kRelaxed);
        }
        AppendMidLocked(table, count, mid);
        return kEditOk;
      }
      for (int i = 0; i < count; ++i) {
        if (table.Mids[i].load(kRelaxed) != mid) continue;
        for (int j = i + 1; j < count; ++j) {
          table.Mids[j - 1].store(table.Mids[j].load(kRelaxed), kRelaxed);
        }
        table.Count.store(static_cast<uint16_t>(count - 1), std::memory_order_release);
        return kEditOk;
      }
      return kFailed;
    }
    case FilterOpPassAll:
      table.Count.store(0, kRelaxed);
      table.Mode.store(FilterBlockListed, kRelaxed);
      return kEditOk;
    default:  // FilterOpBlockAll
      ClearFilterTable(table);
      return kEditOk;
  }
}

bool MatchJ1939Table(const IdFilterTable& table, uint32_t id) {
  const uint16_t count = ListedCount(table);
  const bool pdu2 = ((id >> kJ1939PduFormatShift) & 0xFFu) >= kPdu2FirstFormat;
  for (int i = 0; i < count; ++i) {
    const uint32_t mask = table.Entries[i].Mask.load(kRelaxed);
    // Bit 31 of a J1939 mask restricts the entry to PDU1 (addressed) identifiers.
    if ((mask & kIdBit31) != 0 && pdu2) continue;
    if ((id & mask) == table.Entries[i].Value.load(kRelaxed)) return true;
  }
  return false;
}

bool MatchCanTable(const IdFilterTable& table, uint32_t id) {
  const uint16_t count = ListedCount(table);
  for (int i = 0; i < count; ++i) {
    if ((id & table.Entries[i].Mask.load(kRelaxed)) == table.Entries[i].Value.load(kRelaxed)) {
      return true;
    }
  }
  return false;
}

bool MidTablePasses(const MidFilterTable& table, uint8_t mid) {
  const uint16_t count = ListedCount(table);
  bool listed = false;
  for (int i = 0; i < count && !listed; ++i) listed = table.Mids[i].load(kRelaxed) == mid;
  return ModePasses(table.Mode.load(kRelaxed), listed);
}

namespace {

// Mode and Count of every active table, read once so that the counting and the sending of one
// merge agree even when a client process changes its table meanwhile.
template <typename Table>
struct MergeCensus {
  struct Row {
    const Table* table;
    bool blockListed;
    uint16_t count;
  };
  std::array<Row, kSlotCount> rows{};
  size_t size = 0;
  int blocking = 0, passing = 0;
  unsigned blockEntries = 0, passEntries = 0;

  explicit MergeCensus(std::span<const Table* const> active) {
    for (const Table* t : active) {
      if (size == rows.size()) break;
      const Row row{t, t->Mode.load(kRelaxed) == FilterBlockListed, ListedCount(*t)};
      rows[size++] = row;
      if (row.blockListed) {
        ++blocking;
        blockEntries += row.count;
      } else {
        ++passing;
        passEntries += row.count;
      }
    }
  }

  // Which of the four outcomes applies, and so which entries go to the adapter.
  enum class Plan { BlockAllOnly, PassListed, BlockListed, PassAllOnly };
  Plan Decide() const {
    if (blocking == 0 && passEntries == 0) return Plan::BlockAllOnly;
    if (blocking == 0 && passEntries <= kAdapterFilterEntries) return Plan::PassListed;
    if (passing == 0 && blockEntries >= 1 && blockEntries <= kAdapterFilterEntries) {
      return Plan::BlockListed;
    }
    return Plan::PassAllOnly;
  }
};

}  // namespace

AdapterCommandList MergeIdFilters(IdFilterKind kind, uint8_t channelBit,
                                  std::span<const IdFilterTable* const> active) {
  const MergeCensus<IdFilterTable> census(active);
  const uint8_t type = kind == IdFilterKind::J1939 ? MsgJ1939Filter : MsgCanFilter;
  AdapterCommandList list;
  if (census.size > 0) list.Add(ChannelSwitch(channelBit, kChannelOn));

  using Plan = MergeCensus<IdFilterTable>::Plan;
  const Plan plan = census.Decide();
  const bool listed = plan == Plan::PassListed || plan == Plan::BlockListed;
  IdFilterRequest bare;
  bare.Channels = channelBit;
  bare.Op = plan == Plan::BlockAllOnly || plan == Plan::PassListed ? FilterOpBlockAll
                                                                   : FilterOpPassAll;
  list.Add(IdEditCommand(type, bare));
  if (!listed) return list;
  for (size_t r = 0; r < census.size; ++r) {
    const auto& row = census.rows[r];
    if (row.blockListed != (plan == Plan::BlockListed)) continue;
    for (int i = 0; i < row.count && list.Size < list.Commands.size(); ++i) {
      const IdEntry e = EntryAt(*row.table, i);
      IdFilterRequest edit;
      edit.Channels = channelBit;
      edit.Op = plan == Plan::PassListed ? FilterOpPass : FilterOpBlock;
      edit.Mask = e.Mask;
      edit.Value = e.Value;
      if (kind == IdFilterKind::Can) {
        // The adapter takes the extended flag in the channel byte, not in bit 31.
        edit.Extended = (e.Value & kIdBit31) != 0;
        edit.Mask &= ~kIdBit31;
        edit.Value &= ~kIdBit31;
      }
      list.Add(IdEditCommand(type, edit));
    }
  }
  return list;
}

AdapterCommandList MergeMidFilters(std::span<const MidFilterTable* const> active,
                                   bool j1708Available) {
  const MergeCensus<MidFilterTable> census(active);
  AdapterCommandList list;
  if (census.size > 0) {
    if (!j1708Available) return list;
    list.Add(ChannelSwitch(ChannelJ1708, kChannelOn));
  } else {
    list.Add(ChannelSwitch(ChannelJ1708, kChannelOff));
  }

  using Plan = MergeCensus<MidFilterTable>::Plan;
  const Plan plan = census.Decide();
  MidFilterRequest bare;
  bare.Op = plan == Plan::BlockAllOnly ? FilterOpBlockAll : FilterOpPassAll;
  list.Add(MidEditCommand(bare));
  if (plan != Plan::PassListed && plan != Plan::BlockListed) return list;
  for (size_t r = 0; r < census.size; ++r) {
    const auto& row = census.rows[r];
    if (row.blockListed != (plan == Plan::BlockListed)) continue;
    for (int i = 0; i < row.count && list.Size < list.Commands.size(); ++i) {
      MidFilterRequest edit;
      edit.Op = plan == Plan::PassListed ? FilterOpPass : FilterOpBlock;
      edit.Mid = row.table->Mids[i].load(kRelaxed);
      list.Add(MidEditCommand(edit));
    }
  }
  return list;
}

}  // namespace dral
