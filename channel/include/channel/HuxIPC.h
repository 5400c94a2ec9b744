// The client channel: the named ChannelBlock, its mutex and events, the message rings of the
// client slots, slot allocation and the single-instance probe. Built into the server and into
// the client library.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "channel/ChannelBlock.h"
#include "channel/Vocabulary.h"
#include "classlib/ThreadSafety.h"
#include "plat/event.h"
#include "plat/liveness_lock.h"
#include "plat/named_mutex.h"
#include "plat/shared_memory.h"

namespace dral {

// Names of the channel's objects. The mapping is tried as kGlobalPrefix + name first, then as
// kLocalPrefix + name; the mutex and the events exist only under "Global\".
inline constexpr const char* kGlobalPrefix = "Global\\";
inline constexpr const char* kLocalPrefix = "Local\\";
inline constexpr const char* kChannelName = "DRAL_Driver";
inline constexpr const char* kChannelMutexName = "Global\\DRAL_Driver_Mutex";
inline constexpr const char* kChannelEventName = "Global\\DRAL_Driver_Event";
inline constexpr const char* kServerEventSuffix = " Server";
inline constexpr const char* kClientEventSuffix = " Client";

// Liveness locks (plat::LivenessLock): the server holds kServerLockName for its whole life, a
// client queue holds its slot's lock while the slot is taken, and every process counted in
// AttachCount holds a lock named kAttachLockPrefix + a name of its own.
inline constexpr const char* kServerLockName = "Global\\DRAL_Driver_Alive Server";
inline constexpr const char* kSlotLockPrefix = "Global\\DRAL_Driver_Alive Slot";
inline constexpr const char* kAttachLockPrefix = "Global\\DRAL_Driver_Alive Attached ";
inline constexpr const char* kJoiningLockPrefix = "Global\\DRAL_Driver_Alive Joining ";

// Every channel operation waits this long for the channel mutex, then fails.
inline constexpr uint32_t kChannelLockTimeoutMs = 1000;
// Bytes the single-instance probe maps: only ServerWindow.
inline constexpr uint32_t kProbeSize = sizeof(uint32_t);

inline constexpr const char* kSharedMemoryErrorFormat = "Error creating shared memory %s (%d)";
inline constexpr const char* kMaxMessageLengthText = "Max message length exceeded.";

// "Global\DRAL_Driver_Event Server" and "Global\DRAL_Driver_Event Client<n>" (n in decimal).
std::string ServerEventName();
std::string ClientEventName(int slot);
// kSlotLockPrefix + n in decimal.
std::string SlotLockName(int slot);

// The value a server writes into ServerWindow: its own process id.
uint32_t OwnServerWindow();

// One named shared mapping, "Global\" + name or, when that cannot be opened, "Local\" + name.
// Throws cls::Exception("Error creating shared memory <name> (<errno>)") when neither can.
// `initialize`, when given, runs on the zeroed view of a mapping that this call creates, before
// any other process can map it (see plat::SharedMemory).
class TIPCMem {
 public:
  TIPCMem(const std::string& name, uint32_t size,
          const plat::SharedMemory::Initializer& initialize = nullptr);
  ~TIPCMem() = default;  // unmaps and closes
  TIPCMem(const TIPCMem&) = delete;
  TIPCMem& operator=(const TIPCMem&) = delete;

  const std::string& Name() const { return name_; }  // without prefix
  uint32_t Size() const { return size_; }
  bool Created() const { return created_; }  // this call created the mapping
  void* View() const { return view_; }

 private:
  std::string name_;
  uint32_t size_;
  bool created_ = false;
  void* view_ = nullptr;
  std::unique_ptr<plat::SharedMemory> mapping_;
};

// The channel as one process sees it: the block, the channel mutex, the server event and, in
// client mode, one client slot with its event.
//
// Construction opens (or creates and initialises) the block, the mutex and the server event;
// a failure of any raises the silent cls::EAbort. A client-mode queue then takes the lowest free
// slot (with empty rings and filter tables, its TakeSerial advanced) and opens that slot's
// event; SlotIndex() is -1 when none was free (the caller checks).
// It holds the slot's liveness lock from before it sets the slot's mask bit until after it has
// cleared it, so a server can tell a slot of a dead holder (FreeDeadSlots); a slot whose lock
// another process holds is passed over. A slot whose mask bit is set while its lock is free
// counts as free: its dead holder's slot is freed as FreeDeadSlots frees it and then taken, so
// a connect never fails for slots of processes that died since the server's last reclaim. A server-mode queue writes `serverWindow` into
// ServerWindow. The destructor releases the slot (or clears ServerWindow) and closes
// everything; a slot whose release cannot get the mutex is left to the server as dead.
//
// Threads: all members may be called from any thread at the same time. Each ring has one
// reader (the server reads ToServer, the connection's receive thread ToClient); Peek and Remove
// must be called only by that reader. Any number of threads and processes may Put.
//
// Every ring operation takes the channel mutex once, waiting up to kChannelLockTimeoutMs; when
// it is not obtained the operation fails as documented. The mutex is recursive per thread, so
// an operation may run while the calling thread holds a TChannelLock. The mutex is taken only
// through TChannelLock; for the thread-safety analysis the queue stands for its channel mutex.
class CAPABILITY("channel mutex") THuxQueue {
 public:
  explicit THuxQueue(bool clientMode, uint32_t serverWindow = OwnServerWindow());
  ~THuxQueue();
  THuxQueue(const THuxQueue&) = delete;
  THuxQueue& operator=(const THuxQueue&) = delete;

  bool ClientMode() const { return clientMode_; }
  int16_t SlotIndex() const { return slotIndex_; }
  ChannelBlock* Block() const { return block_; }
  const TIPCMem& Mem() const { return *mem_; }

  // Slot n for n in 0..15, else null.
  ClientSlot* Slot(int n) const;

  // Appends `message` to `ring`. False when an argument is null, message->Length exceeds
  // kHuxMaxData, the mutex was not obtained, or the ring lacks room (then it is unchanged).
  // A damaged ring (see RingPutLocked below) is emptied first. Waking the reader is the
  // caller's business.
  bool Put(MessageRing* ring, const HuxMessage* message);
  // Copies the oldest record into `message` without removing it. False when an argument is
  // null, the mutex was not obtained, or the ring holds no valid record. A record longer than
  // kHuxMaxData cannot have come from Put: it is dropped (with the debug text
  // kMaxMessageLengthText) and the next record is looked at; a length that runs past the
  // written bytes means the ring is damaged, and it is emptied. Never writes past `message`.
  bool Peek(MessageRing* ring, HuxMessage* message);
  // Drops the oldest record; nothing when `ring` is null, the mutex was not obtained, or the
  // ring is empty.
  void Remove(MessageRing* ring);
  // The ring's record count; 0 when `ring` is null or the mutex was not obtained. A Count that
  // does not match the records held marks the ring damaged: it is emptied and 0 returned.
  uint16_t Count(MessageRing* ring);

  // Server side: frees every slot whose mask bit is set while its liveness lock is free (the
  // holder died): rings, filter tables and claimed addresses are reset and the bit cleared,
  // under the mutex. Returns the mask of the slots freed.
  uint16_t FreeDeadSlots();
  // Server side: takes back the AttachCount share of every counted process that died without
  // taking it back itself (see TAttachCount), under the mutex. Returns the shares taken back.
  int TakeBackDeadAttachCounts();

  plat::NamedMutex& Mutex() const { return *mutex_; }
  plat::NamedEvent& ServerEvent() const { return *serverEvent_; }
  plat::NamedEvent* ClientEvent() const { return clientEvent_.get(); }  // null in server mode

 private:
  // Takes slot n under the channel mutex with the slot's liveness lock; false when the mutex is
  // not obtained in time, the slot is taken, or its lock is held by someone else.
  bool TakeSlot(int n);
  void ReleaseSlot();

  std::unique_ptr<TIPCMem> mem_;
  bool clientMode_;
  int16_t slotIndex_ = kFreeSlot;
  // Declared in opening order, so they close in the reverse: client event, server event,
  // mutex, mapping.
  std::unique_ptr<plat::NamedMutex> mutex_;
  std::unique_ptr<plat::NamedEvent> serverEvent_;
  std::unique_ptr<plat::NamedEvent> clientEvent_;
  std::unique_ptr<plat::LivenessLock> slotLock_;  // held while the slot is taken
  ChannelBlock* block_ = nullptr;
};

// Holds the channel mutex of `queue` for a scope. Every holder of the channel mutex takes it
// through here (or, for a block opened without a queue, the same way inside HuxIPC.cpp), so a
// mutex whose previous owner died holding it always gets the block checked and repaired
// (RepairBlockLocked, with a debug text) before anyone works on it.
//
// Waits up to `milliseconds`. Owned() tells whether the mutex was obtained, also when its
// previous owner died holding it; only then is it released at the end of the scope, on every
// exit path. A hold that is not owned leaves the mutex as it was. The mutex is recursive per
// thread. Used by one thread; the queue must outlive the hold.
//
// The thread-safety analysis counts the queue as held for the whole scope: it cannot see the
// time-out, so code under a hold checks Owned() before it relies on the mutex.
class SCOPED_CAPABILITY TChannelLock {
 public:
  TChannelLock(THuxQueue& queue, uint32_t milliseconds) ACQUIRE(queue);
  ~TChannelLock() RELEASE() = default;
  TChannelLock(const TChannelLock&) = delete;
  TChannelLock& operator=(const TChannelLock&) = delete;
  bool Owned() const { return hold_.Owned(); }

 private:
  plat::NamedMutexLock hold_;
};

// Adds `delta` (+1 when a process loads the library, -1 when it unloads it) to the header's
// AttachCount under the channel mutex; a count that would go below 0 becomes 0. An attach also
// advances AttachSerial. The mutex is
// taken as THuxQueue::Lock takes it, so a block left half-changed by a dead owner is repaired
// first. Never creates the block: when none exists there is no server and no connection to
// count for, and a block made here would be one that a queue starting meanwhile finds but does
// not initialise. True when the count was changed; false when no block exists, it cannot be
// opened, or the mutex is not obtained within kChannelLockTimeoutMs. Never throws. Any thread
// may call it.
bool AdjustAttachCount(int delta);

// The one +1 that a process with the library loaded adds to AttachCount, made at most once and
// taken back at most once, from the same block. A process that loads while no block exists is
// not counted then; Attach is called again once a block exists for it (the library does so at
// each successful connect, whose queue has just opened or created the block). From the count
// on, the block stays mapped here until Detach: it cannot end (and a new one start again at 0)
// while the count stands in it, so a count is never taken back from a block that never held
// it.
//
// A counted process holds a liveness lock named kAttachLockPrefix + "<pid>-<n>"; the server
// takes back the share of a process whose lock is free (it died without Detach). The lock is
// made under a kJoiningLockPrefix name and renamed after the count, under the channel mutex,
// so a lock of the final name always stands for a share in the count. (A process killed
// between the two steps leaves its share in the count: the server then stays up rather than
// close under a live application.) In a child made by fork() the share stays the parent's:
// Detach there takes nothing back.
//
// Threads: every member may be called from any thread; the calls are serialised. Never throws.
class TAttachCount {
 public:
  TAttachCount() = default;
  ~TAttachCount() = default;  // unmaps without taking the count back: call Detach first
  TAttachCount(const TAttachCount&) = delete;
  TAttachCount& operator=(const TAttachCount&) = delete;

  // Adds this process's +1 unless it is counted already or Detach has been called; needs an
  // existing block (none is created) and the channel mutex within kChannelLockTimeoutMs. True
  // when the process is counted, by this call or an earlier one.
  bool Attach();
  // Takes back the +1 that Attach made, if any, and unmaps the block. Final: a later Attach
  // counts nothing.
  void Detach();
  bool Attached() const;

 private:
  mutable std::mutex mutex_;  // guards everything below
  bool detached_ = false;
  std::unique_ptr<TIPCMem> counted_;  // the block that holds this process's +1; null: none
  std::unique_ptr<plat::LivenessLock> lock_;  // stands for the +1; null when none could be made
};

// The work of THuxQueue's ring and slot operations, on a block whose channel mutex the caller
// holds (THuxQueue runs them under a TChannelLock; tests and the fuzz target run them on a block of
// their own). Every byte of the block may have been written by any local process, so none of
// them is trusted: a ring whose ReadIndex or WriteIndex lies outside Buffer, whose Count
// contradicts the bytes it holds, or whose oldest record runs past the written bytes is
// damaged, and the operation that meets it empties it (debug text kDamagedRingText) before it
// goes on. No operation reads or writes outside the ring, slot or block it is given, and each
// ends after a bounded number of steps whatever the bytes say.
inline constexpr const char* kDamagedRingText = "Damaged message ring emptied.";

// Put: false when message.Length exceeds kHuxMaxData or the ring lacks room.
bool RingPutLocked(MessageRing& ring, const HuxMessage& message);
// The oldest record of at most kHuxMaxData bytes: its position in Buffer and its length; longer
// records before it are dropped (debug text kMaxMessageLengthText). False when there is none.
bool RingPeekLocked(MessageRing& ring, uint16_t* position, uint16_t* length);
// Copies the record that RingPeekLocked found into `message`; needs no lock when the caller is
// the ring's only reader. `length` must not exceed kHuxMaxData.
void RingCopyRecord(const MessageRing& ring, uint16_t position, uint16_t length,
                    HuxMessage* message);
void RingRemoveLocked(MessageRing& ring);
// The ring's Count, checked against the records it holds.
uint16_t RingCountLocked(MessageRing& ring);
// Takes slot n (0..15) when its SlotMask bit is clear, with empty filter tables; false when the
// bit is set or n is out of range.
bool TakeSlotLocked(ChannelBlock& block, int n);
// Frees slot n (0..15): SlotId, both rings, the J1939 and J1708 filter tables, the mask bit.
void ReleaseSlotLocked(ChannelBlock& block, int n);
// Frees slot n (0..15) of a holder that died: also its CAN filter tables and claimed addresses.
void FreeDeadSlotLocked(ChannelBlock& block, int n);
// What Lock does after the previous owner died holding the mutex: frees slots left half taken
// or half freed and recounts every ring (emptying damaged ones).
void RepairBlockLocked(ChannelBlock& block);


// The one server of the channel: held by the server process for its whole life, from the very
// start of the program, and ended only by its end or death (see plat::LivenessLock).
//
// Claim opens (or creates) the block and, under the channel mutex, takes kServerLockName and
// then empties every ToServer ring and writes this process's id into ServerWindow. A request
// that waits in a ring when a server takes the channel was put while no server ran (or for a
// server that died): it is dropped rather than sent late as if fresh. A client that saw the
// server (IsServerRunning, IsServerAlive) puts after the claim, which holds the mutex until
// the rings are emptied, so its requests go.
class TServerLock {
 public:
  // Null when another server holds the channel. Throws cls::Exception when the block or the
  // lock cannot be made at all.
  static std::unique_ptr<TServerLock> Claim();
  ~TServerLock() = default;  // releases the lock
  TServerLock(const TServerLock&) = delete;
  TServerLock& operator=(const TServerLock&) = delete;

 private:
  TServerLock() = default;
  std::unique_ptr<TIPCMem> mem_;
  std::unique_ptr<plat::LivenessLock> lock_;
};

// True while a server holds the channel (TServerLock). Never throws; any thread may call it.
bool IsServerAlive();

// The single-instance probe: true when a server holds the channel (IsServerAlive, the fact
// TServerLock makes); `window` then receives ServerWindow, the server's process id for display
// (0 when the block is gone or the server is about to end), else 0. A dead server's lock is
// free at once, whatever its ServerWindow says. The probe never creates the block. Exceptions
// of TIPCMem pass to the caller.
bool IsServerRunning(uint32_t& window);

}  // namespace dral
