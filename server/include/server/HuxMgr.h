// THuxMgr: the link manager. A thread that finds the adapter over one of its links, keeps one
// link to it, feeds every frame it receives to the request server and watches the link.
//
// Link table (rows tried in index order 1, 2, 3, 4, 5, 0, 1, ... one row every 10 ms):
//   0 none   1 USB   2 FTDI ("827586")   3 WinUSB   4 serial (unless SerialPortDisabled)
//   5 TCP (only when EthernetEnabled; OpenArg1 = the address from AdapterIPAddressHistory01)
// The links are created when the thread starts, through the row's ConduitFactory (see
// LinkFactories); a row without a factory, or whose factory throws, stays empty and is never
// called.
//
// On link up the manager sends a version request (retried on each pass until the transmit ring
// takes it). While connected it hands each received message to AdapterMessageHandler (at most
// one ring's worth per pass, then AdapterBatchEndHandler once), sends a status request every
// 500 ms and drops the link when IsOpen turns false or no frame has arrived for 12000 ms
// (LinkChangedHandler(1) on link up, (0) on link loss). Between passes it waits at most
// kConnectedSleepMs for the receive thread to queue a frame, so a frame on a quiet bus is handed
// on at once; after a pass that handed frames on, the next starts no sooner than
// kBusyPassSpacingUs after it began (unless the pass left more than a ring's worth).
// A frame that finds the received-frame ring full waits (up to kFullRingWaitMs, while a link is
// up) for this thread to make room (it gets in as soon as the pass has taken a frame, also while
// the pass still hands on later ones), so a burst larger than the ring is slowed down, not lost;
// only a frame that still finds no room is dropped and counted (FramesDropped). Dropping the
// link and shutting down end every such wait at once, before the receive handler is detached.
//
// Threads:
//  - Execute, AdapterMessageHandler and LinkChangedHandler: this thread.
//  - OnFrame, OnFrameError: the open link's receive thread (through the frame codec).
//  - WriteToLink: the transmit thread.
//  - SendMessage, Send, SendFrame, SendTogether: any thread, several at once (each builds its
//    frames in storage of its own call; the transmit ring serialises the enqueue).
//  - PortName, PortInfo, StartSearch, SetLogging and the counters: any thread (the main form).
//
// Lifetime: the constructor creates the frame codec and starts the transmit thread; the links
// live from the start of Execute to its end. The destructor terminates this thread and waits for
// it, so the owner simply deletes the object (after Start or without ever starting it).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "channel/Vocabulary.h"
#include "classlib/Closure.h"
#include "classlib/ThreadSafety.h"
#include "classlib/thread.h"
#include "links/Conduit.h"
#include "plat/event.h"
#include "server/Datalink.h"
#include "server/HuxTxThread.h"

namespace dral {

// Rows of the link table.
enum LinkRow : int {
  LinkRowNone = 0,
  LinkRowUsb = 1,
  LinkRowFtdi = 2,
  LinkRowWinUsb = 3,
  LinkRowSerial = 4,
  LinkRowTcp = 5,
};
constexpr int kLinkRows = 6;

// Creates the link of one row. May throw: the row then stays empty. Called on the link
// manager's thread when it starts.
using ConduitFactory = std::function<std::unique_ptr<TConduit>()>;

// One factory per row (row 0 is never used). An empty factory leaves its row empty.
using LinkFactoryTable = std::array<ConduitFactory, kLinkRows>;

// The process-wide table of link factories that a THuxMgr built without its own table uses.
// The program fills it before it creates the server; a row whose link does not exist on this
// build stays empty. Safe from any thread; a THuxMgr takes a copy when it is constructed.
class LinkFactories {
 public:
  static void Install(LinkRow row, ConduitFactory factory);
  static void Remove(LinkRow row);
  static void Clear();
  static LinkFactoryTable Snapshot();
};

// AdapterMessageHandler(data, message): one message from the adapter.
using AdapterMessageClosure = cls::Closure<void(HuxMessage& message)>;
// LinkChangedHandler(data, up): 1 when a link came up, 0 when it was lost.
using LinkChangedClosure = cls::Closure<void(uint8_t up)>;
// AdapterBatchEndHandler(data): the pass has handed on every message it took from the ring.
using AdapterBatchEndClosure = cls::Closure<void()>;

class THuxMgr : public cls::TThread {
 public:
  // Registry settings (HKEY_CURRENT_USER).
  static constexpr const char* kSettingsKey = "\\SOFTWARE\\Trevik\\DRAL";
  static constexpr const char* kSerialPortDisabledValue = "SerialPortDisabled";
  static constexpr const char* kEthernetEnabledValue = "EthernetEnabled";
  static constexpr const char* kAddressHistoryPrefix = "AdapterIPAddressHistory";
  static constexpr int kAddressHistoryCurrent = 1;  // "...01" holds the latest address
  static constexpr const char* kDefaultAdapterAddress = "192.168.110.129";
  static constexpr const char* kFtdiBaudRate = "827586";

  // Timing (ms).
  static constexpr uint32_t kStartDelayMs = 10;  // before the first step
  static constexpr uint32_t kSearchStepMs = 10;  // one table row per step
  static constexpr uint32_t kStoppedSleepMs = 20;
  static constexpr uint32_t kStoppedHoldMs = 500;     // LinkStopped turns into LinkSearching
  static constexpr uint32_t kConnectedSleepMs = 1;    // longest wait between connected passes
  static constexpr uint32_t kStatusPollMs = 500;      // status request interval
  static constexpr uint32_t kSilenceLimitMs = 12000;  // no frame for this long drops the link
  // After a pass that handed on frames the next one starts no sooner than this (from the start
  // of that pass): on a busy bus each pass then takes several frames, and each client is woken
  // once for all of them. A frame on a quiet bus still finds the manager waiting, and goes on
  // at once.
  static constexpr uint32_t kBusyPassSpacingUs = 500;
  static constexpr uint32_t kTxStopTimeoutMs = 2000;  // waiting for the transmit thread to end

  // Builds the manager with the process-wide LinkFactories.
  explicit THuxMgr(bool createSuspended = true);
  // Builds the manager with its own link factories (tests, tools).
  THuxMgr(bool createSuspended, LinkFactoryTable factories);
  ~THuxMgr() override;

  // Sends Length + 1 bytes from Type. True when the whole frame was queued.
  bool SendMessage(const HuxMessage& message);
  // False when the message's frame is longer than the transmit ring can ever hold (many 0x7E
  // bytes are doubled), so no later try can send it. Pure; any thread.
  static bool FitsTransmitRing(const HuxMessage& message);
  // Sends a raw payload (Type first).
  bool Send(const uint8_t* payload, int n);
  // Queues the frames of all `payloads` (each Type first) as one piece: all of them, in order
  // and with no other frame between them, or none. True when queued (each counted as sent); no
  // payloads is true. False when the ring refused them, or when together they exceed the ring.
  bool SendTogether(std::span<const std::span<const uint8_t>> payloads);
  // Frames the payload and queues the frame. True when all its bytes were queued (counted as
  // sent); false when the ring refused it (nothing counted) or, once the transmit thread has
  // ended, false with a frame error counted.
  bool SendFrame(const uint8_t* payload, int n);

  // The transmit thread's write handler: the current link's Write while it is open, else 0.
  int WriteToLink(const uint8_t* bytes, int n);

  // Passes the Logging choice to every link (TConduit::SetLogging), and to each link created
  // later when this thread starts.
  void SetLogging(uint8_t on);
  uint8_t Logging() const { return logging_.load(std::memory_order_relaxed); }

  // Ends the 500 ms hold of LinkStopped at once.
  void StartSearch();

  // The current link's texts while it is open, else "".
  void PortName(std::string& out);
  void PortInfo(std::string& out);

  // Reads SerialPortDisabled, EthernetEnabled and AdapterIPAddressHistory01; a missing or
  // unreadable value takes its default (false, false, "").
  void LoadLinkSettings();
  bool SerialPortDisabled() const;
  bool EthernetEnabled() const;
  std::string AdapterIPAddress() const;

  // The open link's receive handler: parses one block of bytes through the frame codec, then
  // pulses the manager once when the block queued a frame.
  void OnReceive(const uint8_t* bytes, int n);
  // The frame codec's handlers (open link's receive thread, inside OnReceive). OnFrame queues
  // the frame and leaves the pulse to the end of the block (or pulses itself before it waits
  // for room in a full ring).
  void OnFrame(const uint8_t* payload, int n);
  void OnFrameError();

  // The received-frame ring: pushed by OnFrame, drained by this thread.
  ReceivedFrame* RxQueueFront() { return rxQueue_.Front(); }
  void RxQueuePop() { rxQueue_.Pop(); }

  LinkState State() const { return static_cast<LinkState>(linkState_.load()); }
  int CurrentIndex() const { return currentIndex_.load(std::memory_order_acquire); }
  uint32_t FramesReceived() const { return framesReceived_.load(std::memory_order_relaxed); }
  uint32_t FramesSent() const { return framesSent_.load(std::memory_order_relaxed); }
  uint32_t FrameErrors() const { return frameErrors_.load(std::memory_order_relaxed); }
  // How long a frame waits for room in a full received-frame ring before it is dropped.
  static constexpr uint32_t kFullRingWaitMs = 100;
  // Replaces kFullRingWaitMs for the frames that start waiting from now on (tests and tools
  // that need a wait longer than any scheduling delay). Any thread.
  void SetFullRingWait(uint32_t ms) { fullRingWaitMs_.store(ms, std::memory_order_relaxed); }
  // Checked frames lost because the received-frame ring stayed full.
  uint32_t FramesDropped() const { return framesDropped_.load(std::memory_order_relaxed); }
  // Set by every parsed frame; nothing in the server clears it.
  bool DataArrived() const { return rxFlag_.load(std::memory_order_relaxed) != 0; }

  // Installed by the request server, normally before Start; may be replaced at any time.
  cls::AtomicClosure<void(HuxMessage& message)> AdapterMessageHandler;
  cls::AtomicClosure<void(uint8_t up)> LinkChangedHandler;
  // Called after a pass that handed on at least one message (the receiver may finish work it
  // gathered over the batch, such as waking its clients once).
  cls::AtomicClosure<void()> AdapterBatchEndHandler;

 protected:
  void Execute() override;

 private:
  void CreateLinks();
  void SearchStep(int& searchIndex);
  // Returns the number of messages handed on.
  uint32_t ConnectedPass();
  bool SendVersionRequest();
  // Ends every wait of a frame for room in the ring, at once and for good (until the next link
  // comes up): called before the link's receive handler is detached.
  void EndFullRingWaits();
  void DropLink();
  void Shutdown();

  LinkFactoryTable factories_;

  std::atomic<uint8_t> rxFlag_{0};
  std::atomic<uint16_t> linkState_{LinkStopped};
  std::atomic<uint8_t> logging_{0};
  std::atomic<uint32_t> framesReceived_{0};
  std::atomic<uint32_t> framesSent_{0};
  std::atomic<uint32_t> frameErrors_{0};
  std::atomic<uint32_t> framesDropped_{0};
  // Ticks; lastReceive_ and lastPoll_ belong to this thread, stoppedTick_ is also written by
  // StartSearch.
  uint32_t lastReceiveTick_ = 0;
  uint32_t lastPollTick_ = 0;
  std::atomic<uint32_t> stoppedTick_{0};
  // The link-up version request was refused by the transmit ring; this thread retries it on
  // every connected pass until it is queued.
  bool versionRequestOwed_ = false;

  mutable cls::Mutex settingsMutex_;
  std::string adapterIPAddress_ GUARDED_BY(settingsMutex_);
  bool serialPortDisabled_ GUARDED_BY(settingsMutex_) = false;
  bool ethernetEnabled_ GUARDED_BY(settingsMutex_) = false;

  // Rows are filled by CreateLinks before any index can name them and emptied by Shutdown
  // after the transmit thread has ended, both under linkMutex_.
  TConduitList links_[kLinkRows];
  std::atomic<int> currentIndex_{LinkRowNone};  // 0: no link
  // Guards the lifetime of the links against PortName, PortInfo and SetLogging, and logging_'s
  // hand-over to new links. (Not an annotation on links_: the transmit thread reads the row that
  // currentIndex_ names without it, which the order of start and shutdown makes safe.)
  cls::Mutex linkMutex_;

  TReceivedFrameRing rxQueue_;
  // Pulsed by OnReceive after a block that queued frames; the connected passes wait for its
  // generation to change.
  plat::LocalEvent rxEvent_;
  // Set by OnFrame when it queued a frame that no pulse has announced yet.
  std::atomic<bool> pulseOwed_{false};
  // Pulsed by this thread after each frame it takes from the ring; OnFrame waits for it while
  // the ring is full and rxWaitAllowed_ is set (from link up until the link is dropped).
  plat::LocalEvent rxSpaceEvent_;
  std::atomic<bool> rxWaitAllowed_{false};
  std::atomic<uint32_t> fullRingWaitMs_{kFullRingWaitMs};
  std::unique_ptr<TDatalink> datalink_;
  std::unique_ptr<THuxTxThread> txThread_;
  // False once the transmit thread has been told to end: frames are refused from then on.
  std::atomic<bool> txRunning_{false};
};

}  // namespace dral
