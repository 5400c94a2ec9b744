// Layout of the shared channel block through which the server and every client process meet.
// Every field that more than one thread or process touches is a lock-free atomic of the field's
// own width, so the byte layout is the plain little-endian layout.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace dral {

template <typename T>
using Shared = std::atomic<T>;
static_assert(sizeof(Shared<uint8_t>) == 1 && Shared<uint8_t>::is_always_lock_free);
static_assert(sizeof(Shared<uint16_t>) == 2 && Shared<uint16_t>::is_always_lock_free);
static_assert(sizeof(Shared<int16_t>) == 2 && Shared<int16_t>::is_always_lock_free);
static_assert(sizeof(Shared<uint32_t>) == 4 && Shared<uint32_t>::is_always_lock_free);

constexpr int kSlotCount = 16;
constexpr uint16_t kRingBufferSize = 8192;
constexpr uint16_t kRingMaxRecordData = kRingBufferSize - 3 - 1;  // 8188: one byte stays free
constexpr int kIdFilterEntries = 64;
constexpr int kMidFilterEntries = 256;
constexpr uint8_t kNoAddress = 0xFE;
constexpr uint8_t kNoNameByte = 0xFF;
constexpr int16_t kFreeSlot = -1;

// A ring of HuxMessage records. Indices and Count change only under the channel mutex; the
// buffer bytes are handed over by those index changes.
struct MessageRing {
  Shared<uint16_t> ReadIndex;
  Shared<uint16_t> WriteIndex;
  uint8_t Buffer[kRingBufferSize];
  Shared<uint16_t> Count;
};
static_assert(sizeof(MessageRing) == 8198);
static_assert(offsetof(MessageRing, WriteIndex) == 2);
static_assert(offsetof(MessageRing, Buffer) == 4);
static_assert(offsetof(MessageRing, Count) == 8196);

struct IdFilterEntry {
  Shared<uint32_t> Mask;
  Shared<uint32_t> Value;  // stored ANDed with Mask
};
static_assert(sizeof(IdFilterEntry) == 8);

// Receive filter of one CAN or J1939 channel.
struct IdFilterTable {
  Shared<uint8_t> Mode;  // FilterMode
  uint8_t Pad;
  Shared<uint16_t> Count;  // 0..64
  IdFilterEntry Entries[kIdFilterEntries];
};
static_assert(sizeof(IdFilterTable) == 516);
static_assert(offsetof(IdFilterTable, Count) == 2);
static_assert(offsetof(IdFilterTable, Entries) == 4);

// Receive filter of the J1708 channel.
struct MidFilterTable {
  Shared<uint8_t> Mode;  // FilterMode
  uint8_t Pad;
  Shared<uint16_t> Count;  // 0..256
  Shared<uint8_t> Mids[kMidFilterEntries];
};
static_assert(sizeof(MidFilterTable) == 260);
static_assert(offsetof(MidFilterTable, Count) == 2);
static_assert(offsetof(MidFilterTable, Mids) == 4);

// FilterMode.
enum FilterMode : uint8_t {
  FilterPassListed = 0,   // only what the list names passes; empty passes nothing
  FilterBlockListed = 1,  // everything but what the list names passes; empty passes all
};

// A J1939 address held on one channel.
struct ClaimedAddress {
  Shared<uint8_t> Address;  // kNoAddress when none is held
  Shared<uint8_t> Name[8];  // J1939 NAME of the claim; 0xFF x 8 = none
};
static_assert(sizeof(ClaimedAddress) == 9);
static_assert(offsetof(ClaimedAddress, Name) == 1);

struct ClientSlot {
  Shared<int16_t> SlotId;  // kFreeSlot, or the slot's own number while taken
  MessageRing ToServer;
  MessageRing ToClient;
  // Advanced by every take of the slot (wraps), in bytes the layout leaves reserved: tells one
  // holder of the slot from the next (the server ties what it remembers of a holder to it).
  // Zero in a new block.
  Shared<uint16_t> TakeSerial;
  IdFilterTable J1939Filter[2];
  MidFilterTable J1708Filter;
  IdFilterTable CanFilter[2];
  ClaimedAddress Claimed[2];
  uint8_t Reserved2[2];
};
static_assert(sizeof(ClientSlot) == 18744);
static_assert(offsetof(ClientSlot, ToServer) == 2);
static_assert(offsetof(ClientSlot, ToClient) == 8200);
static_assert(offsetof(ClientSlot, TakeSerial) == 16398);
static_assert(offsetof(ClientSlot, J1939Filter) == 16400);
static_assert(offsetof(ClientSlot, J1939Filter) + sizeof(IdFilterTable) == 16916);
static_assert(offsetof(ClientSlot, J1708Filter) == 17432);
static_assert(offsetof(ClientSlot, CanFilter) == 17692);
static_assert(offsetof(ClientSlot, CanFilter) + sizeof(IdFilterTable) == 18208);
static_assert(offsetof(ClientSlot, Claimed) == 18724);
static_assert(offsetof(ClientSlot, Claimed) + sizeof(ClaimedAddress) == 18733);
static_assert(offsetof(ClientSlot, Reserved2) == 18742);

struct ChannelHeader {
  Shared<uint32_t> ServerWindow;  // the server's process id, for display (see TServerLock)
  Shared<uint16_t> AttachCount;
  Shared<uint16_t> SlotMask;   // bit n set = slot n taken
  Shared<uint16_t> LinkState;  // LinkState
  Shared<uint8_t> AdapterVersion[6];
  Shared<uint8_t> Can1Status;
  Shared<uint8_t> Can2Status;
  Shared<uint8_t> J1708Status;
  Shared<uint8_t> OtherStatus;
  Shared<uint16_t> AdapterFlags;
  // Advanced by every attach, never lowered (wraps): lets the server see a process that loaded
  // and unloaded the library between two of its looks at AttachCount. Zero in a new block.
  Shared<uint16_t> AttachSerial;
  uint8_t Reserved[4];
};
static_assert(sizeof(ChannelHeader) == 28);
static_assert(offsetof(ChannelHeader, AttachCount) == 4);
static_assert(offsetof(ChannelHeader, SlotMask) == 6);
static_assert(offsetof(ChannelHeader, LinkState) == 8);
static_assert(offsetof(ChannelHeader, AdapterVersion) == 10);
static_assert(offsetof(ChannelHeader, Can1Status) == 16);
static_assert(offsetof(ChannelHeader, Can2Status) == 17);
static_assert(offsetof(ChannelHeader, J1708Status) == 18);
static_assert(offsetof(ChannelHeader, OtherStatus) == 19);
static_assert(offsetof(ChannelHeader, AdapterFlags) == 20);
static_assert(offsetof(ChannelHeader, AttachSerial) == 22);
static_assert(offsetof(ChannelHeader, Reserved) == 24);

struct ChannelBlock {
  ChannelHeader Header;
  ClientSlot Slots[kSlotCount];
};
static_assert(sizeof(ChannelBlock) == 299932);
static_assert(offsetof(ChannelBlock, Slots) == 28);

}  // namespace dral
