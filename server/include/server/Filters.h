// Client receive filters: the edit rules of the ID tables (CAN, J1939) and of the MID table
// (J1708), the matching rules, and the merge of all clients' tables into the few commands the
// adapter's own filter takes.
//
// The tables live in the shared channel block and are read without the channel mutex by the
// thread that routes adapter traffic while the server pass edits them; every field is an atomic,
// accessed relaxed. A reader may see an edit half done (an entry of the old list or of the new);
// it never reads outside the table, because every Count read from shared memory is clamped to
// the table's capacity (a client process may have written anything there).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "channel/ChannelBlock.h"
#include "channel/Codec.h"
#include "channel/Vocabulary.h"

namespace dral {

enum class IdFilterKind : uint8_t { J1939, Can };

constexpr uint32_t kIdBit31 = 0x80000000u;  // CAN tables: extended identifier; J1939: PDU1 only
constexpr uint32_t kJ1939PduFormatShift = 16;

// Result of one table edit: Ok, or the ErrorCode its failure reply carries.
struct FilterEditResult {
  bool Ok;
  uint8_t ErrorCode;  // FilterError; always FilterErrNone for CAN and MID tables
};

// One entry by value (the table's entries are atomics).
struct IdEntry {
  uint32_t Mask;
  uint32_t Value;
  bool operator==(const IdEntry&) const = default;
};

// The entry as a table stores it: Value ANDed with Mask; for CAN, Mask bit 31 always set and
// Value bit 31 set for an extended identifier (the flag, or bit 31 in both Mask and Value). Adds and removes both compare in this
// form, so an entry can be removed with the same request that added it.
IdEntry NormaliseIdEntry(IdFilterKind kind, uint32_t mask, uint32_t value, bool extended);

// Applies `op` (FilterOp) with one entry to `table`. Never changes the table when it fails.
FilterEditResult EditIdFilterTable(IdFilterTable& table, IdFilterKind kind, uint8_t op,
                                   uint32_t mask, uint32_t value, bool extended);
FilterEditResult EditMidFilterTable(MidFilterTable& table, uint8_t op, uint8_t mid);

// Mode and Count := 0 (passes nothing, lists nothing).
void ClearFilterTable(IdFilterTable& table);
void ClearFilterTable(MidFilterTable& table);

// Count of listed entries, clamped to the table's capacity.
uint16_t ListedCount(const IdFilterTable& table);
uint16_t ListedCount(const MidFilterTable& table);

// The identifier as the tables see it. J1939: Data[1..4] little-endian. CAN: the same with bit
// 31 set for an extended identifier. `data` must hold at least 5 bytes.
inline uint32_t J1939FilterId(const uint8_t* data) {
  return GetU32(data + 1);
}
inline uint32_t CanFilterId(const uint8_t* data) {
  return GetU32(data + 1) | ((data[0] & kExtendedIdBit) != 0 ? kIdBit31 : 0u);
}

// The J1939 tables see a whole J1939 message for the adapter's transport (MsgJ1939Transport,
// laid out as kJ1939TransportFixed says) by the identifier its frames carry on the bus: the
// destination is the PDU specific of a PDU1 group. `data` must hold at least
// kJ1939TransportFixed bytes.
inline uint32_t J1939TransportFilterId(const uint8_t* data) {
  const uint8_t pf = data[4];
  const uint8_t ps = IsPdu2(pf) ? data[3] : data[2];
  return static_cast<uint32_t>(data[1] | ps << 8 | pf << 16) |
         static_cast<uint32_t>(data[5]) << 24;
}

// True when some listed entry matches `id`. J1939: an entry whose Mask has bit 31 set only
// matches PDU1 identifiers (PDU format below 0xF0); otherwise (id AND Mask) = Value.
bool MatchJ1939Table(const IdFilterTable& table, uint32_t id);
bool MatchCanTable(const IdFilterTable& table, uint32_t id);

// Whether a client takes the frame: (block-listed and no entry matches) or (pass-listed and an
// entry matches).
inline bool ModePasses(uint8_t mode, bool matched) {
  return mode == FilterBlockListed ? !matched : matched;
}
inline bool J1939TablePasses(const IdFilterTable& table, uint32_t id) {
  return ModePasses(table.Mode.load(std::memory_order_relaxed), MatchJ1939Table(table, id));
}
inline bool CanTablePasses(const IdFilterTable& table, uint32_t id) {
  return ModePasses(table.Mode.load(std::memory_order_relaxed), MatchCanTable(table, id));
}
bool MidTablePasses(const MidFilterTable& table, uint8_t mid);

// Shortest frames whose handling reads a whole header: a CAN or J1939 frame's channel byte and
// identifier, a J1708 frame's header and MID. Shorter ones are dropped.
constexpr uint16_t kIdFrameMinLength = sizeof(CanFrameHeader);
constexpr uint16_t kJ1708MinLength = sizeof(J1708FrameHeader) + 1;

// The 9-bit length of J1708FrameData (bit 8 in bit 7 of Data[0], bits 0-7 in Data[2]), raised
// or lowered by one. `data` must hold at least the 3-byte header.
inline void RaiseJ1708Length(uint8_t* data) {
  if (data[2] == 0xFF) {
    data[2] = 0;
    data[0] |= kJ1708LengthBit8;
  } else {
    ++data[2];
  }
}
inline void LowerJ1708Length(uint8_t* data) {
  if (data[2] == 0 && (data[0] & kJ1708LengthBit8) != 0) {
    data[2] = 0xFF;
    data[0] &= static_cast<uint8_t>(~kJ1708LengthBit8);
  } else {
    --data[2];
  }
}

// ---------------------------------------------------------------------------------------------
// Merge into adapter commands.

// The adapter's list never holds more than this many entries; more, and it passes everything
// and the server filters per client.
constexpr uint16_t kAdapterFilterEntries = 15;

// One command for the adapter: a HuxMessage of at most 9 data bytes.
struct AdapterCommand {
  uint8_t Type;
  uint8_t Length;
  std::array<uint8_t, sizeof(IdFilterEdit)> Data;
};

// A merge's commands in sending order: at most a channel switch, one bare operation and 15
// entries.
struct AdapterCommandList {
  static constexpr size_t kCapacity = 2 + kAdapterFilterEntries;
  std::array<AdapterCommand, kCapacity> Commands;
  size_t Size = 0;
  void Add(const AdapterCommand& c) { Commands[Size++] = c; }
  const AdapterCommand* begin() const { return Commands.data(); }
  const AdapterCommand* end() const { return Commands.data() + Size; }
};

// The commands that make the adapter's filter of one CAN or J1939 channel (`channelBit` 1 or 2)
// the union of the tables of the active clients (`active`, one per active slot).
AdapterCommandList MergeIdFilters(IdFilterKind kind, uint8_t channelBit,
                                  std::span<const IdFilterTable* const> active);

// The same for the J1708 channel. `j1708Available`: the J1708 channel's status has
// StatusAvailable; without it, and with active clients, nothing is sent at all.
AdapterCommandList MergeMidFilters(std::span<const MidFilterTable* const> active,
                                   bool j1708Available);

}  // namespace dral
