// TDralClient: one application connection. It owns the client-mode THuxQueue that holds a slot
// of the channel block and the TClientThread serving that slot, turns application messages into
// server records (channel/Codec.h), runs filter requests and reads status from the channel
// header.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>

#include "DRAL.h"
#include "channel/Codec.h"
#include "channel/HuxIPC.h"
#include "classlib/ThreadSafety.h"
#include "client/ClientThread.h"

namespace dral {

// ---- Client-side channel operations ---------------------------------------------------------

// Wakes the server: pulses ServerEvent.
void SignalServer(THuxQueue& queue);
// The generation of the queue's ClientEvent (0 without one). Read it before draining the ring
// and pass it to WaitForClientEvent, so a record put after the drain is never waited through.
uint32_t ClientEventGeneration(THuxQueue& queue);
// Waits up to `ms` for the queue's ClientEvent to be pulsed after the generation `seen` was
// read (returns at once when it already was). True only when it was signalled in time.
bool WaitForClientEvent(THuxQueue& queue, uint32_t seen, uint32_t ms);

// ---- Time limits ----------------------------------------------------------------------------

inline constexpr uint32_t kFilterReplyTimeoutMs = 1000;
inline constexpr uint32_t kFilterReplyPollMs = 5;
// Filter requests of one connection run one at a time; a second waits at most this long.
inline constexpr uint32_t kFilterTurnTimeoutMs = 3000;
// Disconnect waits for the receive thread to end, and says so in the debug output each time
// this much passed without. Its loop ends within one pass: a 10 ms wait plus at most two
// channel-mutex waits (kChannelLockTimeoutMs each).
inline constexpr uint32_t kThreadStopTimeoutMs = 5000;
// A connection that has had an address-lost callback gives up waiting for its receive thread
// after this long (one pass at most, so only a callback holds the thread up longer) and leaves
// it to end on its own.
inline constexpr uint32_t kThreadGiveUpMs = 2000;
// An address claim waits this long for a contest, looking every kClaimPollMs.
inline constexpr uint32_t kClaimWaitMs = 250;
inline constexpr uint32_t kClaimPollMs = 20;
// A multi-packet send to a busy destination asks once more after this long.
inline constexpr uint32_t kTransportBusyRetryMs = 25;

class TDralClient {
 public:
  TDralClient() = default;
  ~TDralClient();  // disconnects when connected
  TDralClient(const TDralClient&) = delete;
  TDralClient& operator=(const TDralClient&) = delete;

  // Takes the lowest free slot and starts the receive thread. True when connected (also when
  // it already was); false when no slot was free or anything failed.
  bool Connect();
  // Sends a block-all edit for each filter kind used (J1939, CAN, J1708), stops the receive
  // thread and frees the slot. Waits for calls running on other threads to finish first; calls
  // made afterwards answer as unconnected. True when no longer connected. Called on the receive
  // thread itself it does nothing and returns false (the thread cannot wait for itself).
  // The receive thread is waited for until it has ended (see kThreadStopTimeoutMs), unless an
  // address-lost callback was ever set: then for kThreadGiveUpMs at most, after which the
  // thread is left running (ThreadLeftRunning) with the queue it uses, whose slot stays taken
  // until the thread has ended and this object is freed. The code the thread runs must stay
  // loaded meanwhile: the library pins itself before it sets a callback.
  bool Disconnect();
  bool Connected() const { return connected_.load(std::memory_order_acquire); }

  // Puts a record into the slot's ToServer ring and pulses the server, whether or not the put
  // worked. False when not connected or the ring had no room (or the mutex timed out).
  bool Send(const HuxMessage& message);

  // Application messages; the length ranges are checked by the caller (DRAL_PutMessage) and
  // again here. Result codes as DRAL_PutMessage.
  uint32_t PutCan(const uint8_t* message, uint16_t length);
  uint32_t PutJ1939(const uint8_t* message, uint16_t length);
  uint32_t PutJ1708(const uint8_t* message, uint16_t length);
  uint32_t PutRaw(const uint8_t* message, uint16_t length);
  // Multi-packet J1939 send (length 16..1792): starts a TTransportThread and returns DRAL_OK,
  // or DRAL_ERR_NO_ADDRESS (to one node from an address this connection does not hold on that
  // channel), DRAL_ERR_TRANSPORT_BUSY (a send to the same destination is unfinished 25 ms
  // later), DRAL_ERR_SEND_FAILED. The outcome of the transfer is not reported.
  uint32_t StartTransport(const uint8_t* message, uint16_t length);
  // True when an unfinished send of the process (any connection) goes to `destination`.
  static bool IsTransportBusy(uint8_t destination);

  // DRAL_GetMessage: the oldest received message, or 0 (never blocks for long).
  uint16_t GetMessage(uint8_t* buffer, uint16_t size);

  // Filter requests: send the edit and wait up to kFilterReplyTimeoutMs for the reply.
  uint32_t SetCanFilter(const uint8_t* data, uint8_t operation, bool standardId, uint8_t channel);
  uint32_t SetJ1939Filter(const uint8_t* data, uint8_t operation, uint8_t channel);
  uint32_t SetJ1708Filter(const uint8_t* data, uint8_t operation);

  // Status from the channel header. False when not connected (nothing written). While no
  // server holds the channel (IsServerAlive) the link state is LinkNoServer, whatever the
  // header kept from a server that died.
  bool GetStatus(uint16_t& linkState) const;
  bool GetAdapterVersion(uint8_t* buffer) const;
  bool GetAdapterStatus(uint8_t* buffer) const;
  bool SetAddressLostCallback(DRAL_AddressLostCallback callback);
  // True while a receive thread that Disconnect gave up on still runs (its callback has not
  // returned). Freeing this object then leaves the thread and its queue allocated for good.
  bool ThreadLeftRunning() const;

  // Sends the address-claimed message for `address` on protocol 2 or 5 and waits
  // kClaimWaitMs for a contest: DRAL_OK when the address is still held then,
  // DRAL_ERR_ADDRESS_RANGE above 253, DRAL_ERR_CLAIM_FAILED when not connected, another
  // protocol, the put failed, or the address was lost during the wait.
  uint32_t ClaimAddress(uint8_t protocol, uint8_t address, const uint8_t* name);
  // Gives the address of protocol 2 or 5 up: no longer held or defended; nothing is sent.
  void ReleaseAddress(uint8_t protocol);

  // True when called on this connection's receive thread (from its callback).
  bool OnReceiveThread() const;
  // The slot taken, or -1.
  int SlotIndex() const;

 private:
  uint16_t LinkStateLocked() const REQUIRES_SHARED(stateLock_);  // connected
  uint32_t SendEncoded(bool encoded, const HuxMessage& message);
  uint32_t RequestFilter(const HuxMessage& request, std::atomic<bool>& usedFlag);
  bool SendLocked(const HuxMessage& message) REQUIRES_SHARED(stateLock_);

  // Held shared by every operation that uses queue_, slot_ or thread_, and exclusively while
  // Connect and Disconnect change them, so that a disconnect on one thread never frees what a
  // call on another is using.
  mutable cls::SharedMutex stateLock_;
  std::unique_ptr<THuxQueue> queue_ GUARDED_BY(stateLock_);
  ClientSlot* slot_ GUARDED_BY(stateLock_) = nullptr;
  std::unique_ptr<TClientThread> thread_ GUARDED_BY(stateLock_);
  std::atomic<bool> connected_{false};
  // An address-lost callback was set once: the receive thread may be held up in application
  // code, so Disconnect waits for it only so long.
  std::atomic<bool> callbackSet_{false};
  // The receive thread Disconnect gave up on, and its queue (freed after it).
  std::unique_ptr<THuxQueue> leftQueue_ GUARDED_BY(stateLock_);
  std::unique_ptr<TClientThread> leftThread_ GUARDED_BY(stateLock_);

  std::atomic<bool> j1939FilterUsed_{false};
  std::atomic<bool> j1708FilterUsed_{false};
  std::atomic<bool> canFilterUsed_{false};

  // One filter request at a time: the reply hand-off has room for one.
  cls::Mutex filterTurnMutex_;
  std::condition_variable_any filterTurnFree_;
  bool filterBusy_ GUARDED_BY(filterTurnMutex_) = false;
};

}  // namespace dral
