#include "channel/HuxIPC.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "classlib/exception.h"
#include "plat/debug.h"
#include "plat/process.h"

namespace dral {
namespace {

static_assert((kRingBufferSize & (kRingBufferSize - 1)) == 0, "ring positions wrap by masking");
constexpr uint16_t kRingMask = kRingBufferSize - 1;

constexpr uint8_t kInitialVersionByte = 0xFF;
// AttachCount is unsigned 16-bit: a count above this can only be a step below 0, and becomes 0.
constexpr uint16_t kAttachCountCeiling = 65000;
constexpr const char* kAbandonedText = "Channel mutex abandoned by its owner; block checked.";
// The most records a sound ring can hold (each has at least its header). Bounds every walk.
constexpr uint16_t kMaxRingRecords = kRingBufferSize / kHuxRecordHeader;

// Every access below to ring indices, counts and slot fields happens under the channel mutex,
// which orders them. The indices are still stored with release and loaded with acquire: they
// hand the Buffer bytes between writer and reader, also to the reader's copy outside the lock.
// Any local process can write the block without the mutex, so each value is loaded once,
// checked, and only the checked copy is used.
constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr auto kAcquire = std::memory_order_acquire;
constexpr auto kRelease = std::memory_order_release;

uint16_t Wrap(uint32_t position) { return static_cast<uint16_t>(position & kRingMask); }

// Bytes between ReadIndex and WriteIndex.
uint16_t UsedBytes(uint16_t readIndex, uint16_t writeIndex) {
  return Wrap(static_cast<uint32_t>(writeIndex) + kRingBufferSize - readIndex);
}

uint16_t RecordLength(const MessageRing& ring, uint16_t position) {
  return static_cast<uint16_t>(ring.Buffer[position] | ring.Buffer[Wrap(position + 1u)] << 8);
}

// Copies `n` bytes into the ring from `position` on, wrapping at the end of Buffer; returns the
// position after the last byte. `position` lies in Buffer and `n` is below kRingBufferSize.
uint16_t CopyIn(MessageRing& ring, uint16_t position, const uint8_t* src, uint32_t n) {
  const uint32_t first = std::min<uint32_t>(n, kRingBufferSize - position);
  std::memcpy(ring.Buffer + position, src, first);
  std::memcpy(ring.Buffer, src + first, n - first);
  return Wrap(position + n);
}

void CopyOut(const MessageRing& ring, uint16_t position, uint8_t* dst, uint32_t n) {
  const uint32_t first = std::min<uint32_t>(n, kRingBufferSize - position);
  std::memcpy(dst, ring.Buffer + position, first);
  std::memcpy(dst + first, ring.Buffer, n - first);
}

// True when the record at ReadIndex fits into the written bytes; a ring where it does not can
// only have been written by something other than Put.
bool HeadIsSound(const MessageRing& ring, uint16_t readIndex, uint16_t writeIndex,
                 uint16_t* length) {
  *length = RecordLength(ring, readIndex);
  return static_cast<uint32_t>(*length) + kHuxRecordHeader <= UsedBytes(readIndex, writeIndex);
}

// A Count that Put and Remove can have left: 0 exactly when the ring is empty, and no more
// records than headers fit into the bytes held.
bool CountFits(uint16_t count, uint16_t usedBytes) {
  return (count == 0) == (usedBytes == 0) &&
         static_cast<uint32_t>(count) * kHuxRecordHeader <= usedBytes;
}

// Indices and Count of a ring as loaded once under the mutex.
struct RingState {
  uint16_t Read;
  uint16_t Write;
  uint16_t Count;
};

// Empties a ring that no Put and Remove can have left, with one debug text. ReadIndex moves to
// WriteIndex when that lies in Buffer; otherwise both start again at 0. Returns the new state.
RingState DiscardDamagedRingLocked(MessageRing& ring, uint16_t writeIndex) {
  plat::OutputDebugString(kDamagedRingText);
  if (writeIndex >= kRingBufferSize) {
    writeIndex = 0;
    ring.WriteIndex.store(writeIndex, kRelease);
  }
  ring.ReadIndex.store(writeIndex, kRelease);
  ring.Count.store(0, kRelaxed);
  return {writeIndex, writeIndex, 0};
}

// The ring's state, checked: indices inside Buffer and a Count that fits the bytes held. A ring
// that fails the check is emptied first.
RingState CheckedStateLocked(MessageRing& ring) {
  const RingState state{ring.ReadIndex.load(kAcquire), ring.WriteIndex.load(kAcquire),
                        ring.Count.load(kRelaxed)};
  if (state.Read < kRingBufferSize && state.Write < kRingBufferSize &&
      CountFits(state.Count, UsedBytes(state.Read, state.Write))) {
    return state;
  }
  return DiscardDamagedRingLocked(ring, state.Write);
}

void DropHeadLocked(MessageRing& ring, const RingState& state, uint16_t length) {
  ring.ReadIndex.store(Wrap(state.Read + kHuxRecordHeader + length), kRelease);
  ring.Count.store(static_cast<uint16_t>(state.Count - 1), kRelaxed);  // Count >= 1: CountFits
}

void ResetRingLocked(MessageRing& ring) {
  ring.ReadIndex.store(0, kRelease);
  ring.WriteIndex.store(0, kRelease);
  ring.Count.store(0, kRelaxed);
}

// The number of sound records between ReadIndex and WriteIndex; -1 when the indices lie
// outside Buffer or a record runs past the written bytes.
int WalkRecordsLocked(const MessageRing& ring, uint16_t readIndex, uint16_t writeIndex) {
  if (readIndex >= kRingBufferSize || writeIndex >= kRingBufferSize) return -1;
  uint16_t position = readIndex;
  int records = 0;
  // Each step moves at least one header closer to writeIndex, so the walk ends.
  while (position != writeIndex) {
    uint16_t length = 0;
    if (!HeadIsSound(ring, position, writeIndex, &length)) return -1;
    position = Wrap(position + kHuxRecordHeader + length);
    ++records;
  }
  return records;
}

// Sets Count to the number of records between ReadIndex and WriteIndex; a damaged ring is
// emptied.
void RecountLocked(MessageRing& ring) {
  const uint16_t writeIndex = ring.WriteIndex.load(kAcquire);
  const int records = WalkRecordsLocked(ring, ring.ReadIndex.load(kAcquire), writeIndex);
  if (records < 0) {
    DiscardDamagedRingLocked(ring, writeIndex);
    return;
  }
  ring.Count.store(static_cast<uint16_t>(records), kRelaxed);
}

template <typename Table>
void ClearFilterTableLocked(Table& table) {
  table.Mode.store(FilterPassListed, kRelaxed);
  table.Count.store(0, kRelaxed);
}

void ResetClaimedAddressesLocked(ClientSlot& slot) {
  for (ClaimedAddress& claimed : slot.Claimed) {
    claimed.Address.store(kNoAddress, kRelaxed);
    for (auto& b : claimed.Name) b.store(kNoNameByte, kRelaxed);
  }
}

// Runs on the zeroed view of a block that this process creates, before any other process can
// map it, so no opener ever sees (or takes a slot in) an uninitialised block.
int InitialiseBlock(void* view) {
  auto& block = *static_cast<ChannelBlock*>(view);
  ChannelHeader& h = block.Header;
  h.ServerWindow.store(0, kRelaxed);
  h.AttachCount.store(0, kRelaxed);
  h.SlotMask.store(0, kRelaxed);
  h.LinkState.store(LinkNoServer, kRelaxed);
  for (auto& b : h.AdapterVersion) b.store(kInitialVersionByte, kRelaxed);
  h.Can1Status.store(0, kRelaxed);
  h.Can2Status.store(0, kRelaxed);
  h.J1708Status.store(0, kRelaxed);
  h.OtherStatus.store(0, kRelaxed);
  h.AdapterFlags.store(0, kRelaxed);
  for (int n = 0; n < kSlotCount; ++n) {
    ReleaseSlotLocked(block, n);
    // The CAN filters stay as the mapping delivers them; the server clears them for free slots.
    ResetClaimedAddressesLocked(block.Slots[n]);
  }
  return 0;
}

// Every hold of the channel mutex starts here, so an abandoned mutex always gets the block
// repaired before anyone works on it.
void RepairWhenAbandoned(const plat::NamedMutexLock& hold, ChannelBlock& block) {
  if (!hold.Abandoned()) return;
  plat::OutputDebugString(kAbandonedText);
  RepairBlockLocked(block);
}

// The channel mutex for a scope, as TChannelLock holds it, for a block opened without a queue.
class BlockLock {
 public:
  BlockLock(plat::NamedMutex& mutex, ChannelBlock& block, uint32_t milliseconds)
      : hold_(mutex, milliseconds) {
    RepairWhenAbandoned(hold_, block);
  }
  bool Owned() const { return hold_.Owned(); }

 private:
  plat::NamedMutexLock hold_;
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Ring and slot work under the channel mutex

bool RingPutLocked(MessageRing& ring, const HuxMessage& message) {
  // Checked first, so every operation on a damaged ring leaves it sound, a refused one too.
  const RingState state = CheckedStateLocked(ring);
  if (message.Length > kHuxMaxData) return false;
  const uint32_t freeSpace = kRingBufferSize - UsedBytes(state.Read, state.Write);
  const uint32_t recordSize = kHuxRecordHeader + message.Length;
  if (freeSpace <= recordSize) return false;  // one byte stays free: a full ring never looks empty
  const uint8_t header[kHuxRecordHeader] = {static_cast<uint8_t>(message.Length & 0xFF),
                                            static_cast<uint8_t>(message.Length >> 8),
                                            message.Type};
  uint16_t position = CopyIn(ring, state.Write, header, kHuxRecordHeader);
  position = CopyIn(ring, position, message.Data, message.Length);
  ring.WriteIndex.store(position, kRelease);
  ring.Count.store(static_cast<uint16_t>(state.Count + 1), kRelaxed);
  return true;
}

bool RingPeekLocked(MessageRing& ring, uint16_t* position, uint16_t* length) {
  // Each over-long record dropped moves ReadIndex on; the bound only matters when another
  // process keeps rewriting the indices meanwhile.
  for (uint16_t step = 0; step < kMaxRingRecords; ++step) {
    const RingState state = CheckedStateLocked(ring);
    if (state.Read == state.Write) return false;
    if (!HeadIsSound(ring, state.Read, state.Write, length)) {
      DiscardDamagedRingLocked(ring, state.Write);
      return false;
    }
    if (*length <= kHuxMaxData) {
      *position = state.Read;
      return true;
    }
    plat::OutputDebugString(kMaxMessageLengthText);
    DropHeadLocked(ring, state, *length);
  }
  DiscardDamagedRingLocked(ring, ring.WriteIndex.load(kAcquire));
  return false;
}

void RingCopyRecord(const MessageRing& ring, uint16_t position, uint16_t length,
                    HuxMessage* message) {
  position = Wrap(position);
  length = std::min(length, kHuxMaxData);
  uint8_t type = 0;
  CopyOut(ring, Wrap(position + 2u), &type, 1);
  CopyOut(ring, Wrap(position + kHuxRecordHeader), message->Data, length);
  message->Length = length;
  message->Type = type;
}

void RingRemoveLocked(MessageRing& ring) {
  const RingState state = CheckedStateLocked(ring);
  if (state.Read == state.Write) return;
  uint16_t length = 0;
  if (HeadIsSound(ring, state.Read, state.Write, &length)) {
    DropHeadLocked(ring, state, length);
  } else {
    DiscardDamagedRingLocked(ring, state.Write);
  }
}

uint16_t RingCountLocked(MessageRing& ring) {
  const RingState state = CheckedStateLocked(ring);
  if (WalkRecordsLocked(ring, state.Read, state.Write) != state.Count) {
    DiscardDamagedRingLocked(ring, state.Write);
    return 0;
  }
  return state.Count;
}

bool TakeSlotLocked(ChannelBlock& block, int n) {
  if (n < 0 || n >= kSlotCount) return false;
  const auto bit = static_cast<uint16_t>(1u << n);
  if (block.Header.SlotMask.load(kRelaxed) & bit) return false;
  // The new holder starts with empty filters and rings and no claimed address, whatever the
  // slot kept: the release leaves the CAN tables to the server's next merge and the claims to
  // the library, and a holder that died leaves all of them. Cleared while the slot still counts as free, so no delivery to the new holder uses
  // old entries, and nothing put for the old holder is left for the new one.
  ClientSlot& slot = block.Slots[n];
  for (IdFilterTable& table : slot.J1939Filter) ClearFilterTableLocked(table);
  ClearFilterTableLocked(slot.J1708Filter);
  for (IdFilterTable& table : slot.CanFilter) ClearFilterTableLocked(table);
  ResetRingLocked(slot.ToServer);
  ResetRingLocked(slot.ToClient);
  ResetClaimedAddressesLocked(slot);  // the release leaves them to the library that held them
  slot.TakeSerial.fetch_add(1, kRelaxed);
  // Mask bit first, SlotId second: a holder dying in between leaves a state RepairBlockLocked
  // recognises.
  block.Header.SlotMask.fetch_or(bit, kRelaxed);
  slot.SlotId.store(static_cast<int16_t>(n), kRelaxed);
  return true;
}

// The reverse of taking the slot, with the mask bit cleared last.
void ReleaseSlotLocked(ChannelBlock& block, int n) {
  if (n < 0 || n >= kSlotCount) return;
  ClientSlot& slot = block.Slots[n];
  slot.SlotId.store(kFreeSlot, kRelaxed);
  ResetRingLocked(slot.ToServer);
  ResetRingLocked(slot.ToClient);
  for (IdFilterTable& table : slot.J1939Filter) ClearFilterTableLocked(table);
  ClearFilterTableLocked(slot.J1708Filter);
  const auto bit = static_cast<uint16_t>(1u << n);
  block.Header.SlotMask.fetch_and(static_cast<uint16_t>(~bit), kRelaxed);
}

// Frees slot n of a holder that died: all it would have left behind, as if it had disconnected
// and the server had merged the filters. The remembered command is the server's own business.
void FreeDeadSlotLocked(ChannelBlock& block, int n) {
  if (n < 0 || n >= kSlotCount) return;
  ClientSlot& slot = block.Slots[n];
  for (IdFilterTable& table : slot.CanFilter) ClearFilterTableLocked(table);
  ResetClaimedAddressesLocked(slot);
  ReleaseSlotLocked(block, n);
}

// The previous owner of the channel mutex died inside one of the short operations above. Each
// of them publishes its work with single stores in an order that leaves at most these traces: a
// slot half taken or half freed (mask bit set, SlotId not the slot's number), and a ring Count
// that missed its last step. Finish freeing such a slot (its owner is the dead process) and
// recount the rings.
void RepairBlockLocked(ChannelBlock& block) {
  const uint16_t mask = block.Header.SlotMask.load(kRelaxed);
  for (int n = 0; n < kSlotCount; ++n) {
    ClientSlot& slot = block.Slots[n];
    if ((mask & (1u << n)) && slot.SlotId.load(kRelaxed) != n) ReleaseSlotLocked(block, n);
    RecountLocked(slot.ToServer);
    RecountLocked(slot.ToClient);
  }
}

std::string ServerEventName() { return std::string(kChannelEventName) + kServerEventSuffix; }

std::string ClientEventName(int slot) {
  return std::string(kChannelEventName) + kClientEventSuffix + std::to_string(slot);
}

std::string SlotLockName(int slot) { return kSlotLockPrefix + std::to_string(slot); }

uint32_t OwnServerWindow() { return plat::CurrentProcessId(); }

// ---------------------------------------------------------------------------------------------
// TIPCMem

TIPCMem::TIPCMem(const std::string& name, uint32_t size,
                 const plat::SharedMemory::Initializer& initialize)
    : name_(name), size_(size) {
  int error = 0;
  for (const char* prefix : {kGlobalPrefix, kLocalPrefix}) {
    const std::string fullName = prefix + name;
    mapping_ = initialize ? plat::SharedMemory::Open(fullName, size, &error, initialize)
                          : plat::SharedMemory::Open(fullName, size, &error);
    if (mapping_) break;
  }
  if (!mapping_) throw cls::Exception(cls::Format(kSharedMemoryErrorFormat, name.c_str(), error));
  created_ = mapping_->Created();
  view_ = mapping_->View();
}

// ---------------------------------------------------------------------------------------------
// THuxQueue

THuxQueue::THuxQueue(bool clientMode, uint32_t serverWindow) : clientMode_(clientMode) {
  try {
    mem_ = std::make_unique<TIPCMem>(kChannelName, static_cast<uint32_t>(sizeof(ChannelBlock)),
                                     InitialiseBlock);
  } catch (...) {
    throw cls::EAbort();
  }
  block_ = static_cast<ChannelBlock*>(mem_->View());

  int error = 0;
  mutex_ = plat::NamedMutex::Open(kChannelMutexName, &error);
  if (!mutex_) throw cls::EAbort();
  serverEvent_ = plat::NamedEvent::Open(ServerEventName(), &error);
  if (!serverEvent_) throw cls::EAbort();

  if (!clientMode_) {
    TChannelLock hold(*this, kChannelLockTimeoutMs);
    if (hold.Owned()) block_->Header.ServerWindow.store(serverWindow, kRelease);
    return;
  }

  for (int n = 0; n < kSlotCount; ++n) {
    if (!TakeSlot(n)) continue;  // a time-out skips this slot number
    clientEvent_ = plat::NamedEvent::Open(ClientEventName(n), &error);
    if (!clientEvent_) {
      ReleaseSlot();  // the destructor does not run for a failed construction
      throw cls::EAbort();
    }
    return;
  }
}

THuxQueue::~THuxQueue() {
  if (clientMode_) {
    ReleaseSlot();
    return;
  }
  TChannelLock hold(*this, kChannelLockTimeoutMs);
  if (hold.Owned()) block_->Header.ServerWindow.store(0, kRelease);
}

bool THuxQueue::TakeSlot(int n) {
  TChannelLock hold(*this, kChannelLockTimeoutMs);
  if (!hold.Owned()) return false;
  // Held before the mask bit is set, so a slot whose bit is set and whose lock is free has a
  // dead holder. A lock that someone still holds makes the slot count as taken.
  int error = 0;
  slotLock_ = plat::LivenessLock::TryAcquire(SlotLockName(n), &error);
  if (!slotLock_) return false;
  // A dead holder's slot is freed here as the server's reclaim would free it, so a connect
  // never waits for the reclaim; the server sees the new holder by its TakeSerial.
  const auto bit = static_cast<uint16_t>(1u << n);
  if (block_->Header.SlotMask.load(kRelaxed) & bit) FreeDeadSlotLocked(*block_, n);
  if (!TakeSlotLocked(*block_, n)) {
    slotLock_.reset();
    return false;
  }
  slotIndex_ = static_cast<int16_t>(n);
  return true;
}

void THuxQueue::ReleaseSlot() {
  if (slotIndex_ < 0 || slotIndex_ >= kSlotCount) return;
  TChannelLock hold(*this, kChannelLockTimeoutMs);
  if (!hold.Owned()) {
    // Without the mutex the slot cannot be freed here; with its lock gone the server frees it
    // as a dead holder's.
    slotLock_.reset();
    return;
  }
  // The slot's CAN filters and claimed addresses are left for the server and the library.
  ReleaseSlotLocked(*block_, slotIndex_);
  slotLock_.reset();  // after the mask bit is clear
  slotIndex_ = kFreeSlot;
}

uint16_t THuxQueue::FreeDeadSlots() {
  TChannelLock hold(*this, kChannelLockTimeoutMs);
  if (!hold.Owned()) return 0;
  const uint16_t mask = block_->Header.SlotMask.load(kRelaxed);
  uint16_t freed = 0;
  for (int n = 0; n < kSlotCount; ++n) {
    const auto bit = static_cast<uint16_t>(1u << n);
    if ((mask & bit) == 0 || plat::LivenessLock::IsHeld(SlotLockName(n))) continue;
    FreeDeadSlotLocked(*block_, n);
    freed |= bit;
  }
  return freed;
}

int THuxQueue::TakeBackDeadAttachCounts() {
  // Listed outside the mutex: a lock that appears meanwhile is alive, one that goes meanwhile
  // is not found by Remove below.
  const std::vector<std::string> joining = plat::LivenessLock::List(kJoiningLockPrefix);
  const std::vector<std::string> attached = plat::LivenessLock::List(kAttachLockPrefix);
  if (joining.empty() && attached.empty()) return 0;
  TChannelLock hold(*this, kChannelLockTimeoutMs);
  if (!hold.Owned()) return 0;
  // A joining lock never stood for a share: its process died before it was counted.
  for (const std::string& name : joining) {
    if (!plat::LivenessLock::IsHeld(name)) plat::LivenessLock::Remove(name);
  }
  int taken = 0;
  for (const std::string& name : attached) {
    if (plat::LivenessLock::IsHeld(name) || !plat::LivenessLock::Remove(name)) continue;
    auto& count = block_->Header.AttachCount;
    const uint16_t old = count.load(kRelaxed);
    count.store(old == 0 ? 0 : static_cast<uint16_t>(old - 1), kRelaxed);
    ++taken;
  }
  return taken;
}

ClientSlot* THuxQueue::Slot(int n) const {
  if (n < 0 || n >= kSlotCount) return nullptr;
  return &block_->Slots[n];
}

bool THuxQueue::Put(MessageRing* ring, const HuxMessage* message) {
  if (!ring || !message || message->Length > kHuxMaxData) return false;
  TChannelLock hold(*this, kChannelLockTimeoutMs);
  return hold.Owned() && RingPutLocked(*ring, *message);
}

bool THuxQueue::Peek(MessageRing* ring, HuxMessage* message) {
  if (!ring || !message) return false;
  uint16_t position = 0;
  uint16_t length = 0;
  {
    TChannelLock hold(*this, kChannelLockTimeoutMs);
    if (!hold.Owned() || !RingPeekLocked(*ring, &position, &length)) return false;
  }
  // Outside the lock: only this reader moves ReadIndex, and writers never touch bytes that
  // have not been removed, so the record stays as it is while it is copied. (A process that
  // writes the block at will can change the bytes, but not where they are copied from.)
  RingCopyRecord(*ring, position, length, message);
  return true;
}

void THuxQueue::Remove(MessageRing* ring) {
  if (!ring) return;
  TChannelLock hold(*this, kChannelLockTimeoutMs);
  if (hold.Owned()) RingRemoveLocked(*ring);
}

uint16_t THuxQueue::Count(MessageRing* ring) {
  if (!ring) return 0;
  TChannelLock hold(*this, kChannelLockTimeoutMs);
  return hold.Owned() ? RingCountLocked(*ring) : 0;
}

TChannelLock::TChannelLock(THuxQueue& queue, uint32_t milliseconds)
    : hold_(queue.Mutex(), milliseconds) {
  RepairWhenAbandoned(hold_, *queue.Block());
}

// ---------------------------------------------------------------------------------------------

namespace {

// The channel block when one exists; never creates it (see AdjustAttachCount). Throws the
// exception of TIPCMem when there is none.
std::unique_ptr<TIPCMem> OpenExistingBlock() {
  const plat::SharedMemory::Initializer refuse = [](void*) { return ENOENT; };
  return std::make_unique<TIPCMem>(kChannelName, static_cast<uint32_t>(sizeof(ChannelBlock)),
                                   refuse);
}

void AdjustAttachCountLocked(ChannelBlock& block, int delta) {
  auto& count = block.Header.AttachCount;
  uint16_t old = count.load(kRelaxed);
  uint16_t next = 0;
  do {
    next = static_cast<uint16_t>(old + delta);
    if (next > kAttachCountCeiling) next = 0;
  } while (!count.compare_exchange_weak(old, next, kRelaxed));
  if (delta > 0) block.Header.AttachSerial.fetch_add(1, kRelaxed);
}

// Runs `step` under the channel mutex of `block`; false when the mutex is not obtained.
template <typename Step>
bool UnderChannelMutex(ChannelBlock& block, Step&& step) {
  int error = 0;
  auto mutex = plat::NamedMutex::Open(kChannelMutexName, &error);
  if (!mutex) return false;
  const BlockLock hold(*mutex, block, kChannelLockTimeoutMs);
  if (!hold.Owned()) return false;
  step();
  return true;
}

bool AdjustAttachCountOf(ChannelBlock& block, int delta) {
  return UnderChannelMutex(block, [&] { AdjustAttachCountLocked(block, delta); });
}

// A name for this process's attach lock that no other lock file has (a dead process of the
// same id may have left one).
std::string AttachLockSuffix(uint32_t attempt) {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return std::to_string(plat::CurrentProcessId()) + "-" +
         std::to_string(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()) +
         "-" + std::to_string(attempt);
}

// Counts this process in `block` under a new attach lock (null when none could be made: the
// process is then counted without one, as it would have been without liveness locks).
bool CountWithLockLocked(ChannelBlock& block, std::unique_ptr<plat::LivenessLock>& lock) {
  constexpr uint32_t kNameAttempts = 4;
  std::string suffix;
  for (uint32_t attempt = 0; attempt < kNameAttempts && !lock; ++attempt) {
    suffix = AttachLockSuffix(attempt);
    int error = 0;
    lock = plat::LivenessLock::Create(kJoiningLockPrefix + suffix, &error);
  }
  AdjustAttachCountLocked(block, +1);
  if (lock) {
    int error = 0;
    // Renamed after the count: a lock of the final name always stands for a share in it.
    if (!lock->Rename(kAttachLockPrefix + suffix, &error)) lock.reset();
  }
  return true;
}

}  // namespace

bool AdjustAttachCount(int delta) {
  try {
    const auto mem = OpenExistingBlock();
    return AdjustAttachCountOf(*static_cast<ChannelBlock*>(mem->View()), delta);
  } catch (...) {
    // The count is advisory (the server's auto-close); the library works without it.
    return false;
  }
}

bool TAttachCount::Attach() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (detached_) return false;
  if (counted_) return true;
  try {
    auto mem = OpenExistingBlock();
    auto& block = *static_cast<ChannelBlock*>(mem->View());
    if (!UnderChannelMutex(block, [&] { CountWithLockLocked(block, lock_); })) return false;
    counted_ = std::move(mem);
    return true;
  } catch (...) {
    return false;  // no block yet: a later call counts
  }
}

void TAttachCount::Detach() {
  std::lock_guard<std::mutex> lock(mutex_);
  detached_ = true;
  if (!counted_) return;
  try {
    auto& block = *static_cast<ChannelBlock*>(counted_->View());
    UnderChannelMutex(block, [&] {
      // In a fork's child the lock, and the share it stands for, are the parent's.
      const bool ours = !lock_ || lock_->Owned();
      // The lock (and its name) goes first: a share without a lock is never taken back twice.
      lock_.reset();
      if (ours) AdjustAttachCountLocked(block, -1);
    });
  } catch (...) {
    // Not taken back: the server stays up longer than needed, never shorter.
  }
  lock_.reset();
  counted_.reset();
}

bool TAttachCount::Attached() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counted_ != nullptr;
}

std::unique_ptr<TServerLock> TServerLock::Claim() {
  std::unique_ptr<TServerLock> claim(new TServerLock);
  claim->mem_ = std::make_unique<TIPCMem>(
      kChannelName, static_cast<uint32_t>(sizeof(ChannelBlock)), InitialiseBlock);
  auto& block = *static_cast<ChannelBlock*>(claim->mem_->View());
  int error = 0;
  auto mutex = plat::NamedMutex::Open(kChannelMutexName, &error);
  if (!mutex) throw cls::Exception(cls::Format(kSharedMemoryErrorFormat, kChannelMutexName, error));
  {
    // Without the mutex nothing can be emptied safely; the lock is taken all the same.
    const BlockLock hold(*mutex, block, kChannelLockTimeoutMs);
    claim->lock_ = plat::LivenessLock::TryAcquire(kServerLockName, &error);
    if (claim->lock_ && hold.Owned()) {
      for (ClientSlot& slot : block.Slots) ResetRingLocked(slot.ToServer);
      block.Header.ServerWindow.store(OwnServerWindow(), kRelease);
    }
  }
  if (claim->lock_) return claim;
  if (error == EWOULDBLOCK) return nullptr;
  throw cls::Exception(cls::Format(kSharedMemoryErrorFormat, kServerLockName, error));
}

bool IsServerAlive() { return plat::LivenessLock::IsHeld(kServerLockName); }

bool IsServerRunning(uint32_t& window) {
  window = 0;
  if (!IsServerAlive()) return false;
  // The window is read only from an existing block: a probe must never leave a block that a
  // starting queue would find but not initialise.
  bool absent = false;
  const plat::SharedMemory::Initializer refuse = [&absent](void*) {
    absent = true;
    return ENOENT;
  };
  std::unique_ptr<TIPCMem> mem;
  try {
    mem = std::make_unique<TIPCMem>(kChannelName, kProbeSize, refuse);
  } catch (const cls::Exception&) {
    if (absent) return true;  // a server about to end, or one that is creating the block
    throw;
  }
  const auto* serverWindow = static_cast<const Shared<uint32_t>*>(mem->View());
  window = serverWindow->load(std::memory_order_acquire);
  return true;
}

}  // namespace dral
