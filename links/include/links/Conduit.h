// TConduit: the one interface through which the link manager reaches the adapter, whatever the
// physical way (USB driver, WinUSB, FTDI, serial port, TCP).
//
// Threads (what the link manager relies on):
//  - Open, Close, IsOpen and SetReceiveHandler are called on the link manager's thread only.
//  - Write is called on the transmit thread, at most kMaxWriteChunk bytes per call, and only
//    while IsOpen() was true just before.
//  - PortName and PortInfo are called on the main thread.
//  - SetLogging is called on any thread (the main form's Logging choice).
//  - The receive handler is called on the link's own receive thread, once per block of bytes
//    that one read returned; the block's buffer is reused by the next read.
// A link keeps its receive handler in a ReceiveHandlerSlot: SetReceiveHandler(ReceiveHandler{})
// detaches and returns only when no call through the old handler is still running, so the
// link manager may close the link and let the old handler's object go right after it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "classlib/Closure.h"

namespace dral {

// The receive handler: handler(data, buf, len), 1 <= len; must consume or copy the bytes.
using ReceiveHandler = cls::Closure<void(const uint8_t* buf, int len)>;

// What a link keeps its receive handler in (see AtomicClosure for the swap guarantee).
using ReceiveHandlerSlot = cls::AtomicClosure<void(const uint8_t* buf, int len)>;

// The transmit thread hands a link at most this many bytes per Write call.
constexpr int kMaxWriteChunk = 512;

// The link manager sets every link's DebugLevel to this right after constructing it.
constexpr uint8_t kLinkDebugLevel = 4;

class TConduit {
 public:
  TConduit();
  virtual ~TConduit();  // a subclass stops and joins its own threads first
  TConduit(const TConduit&) = delete;
  TConduit& operator=(const TConduit&) = delete;

  // true: the link is connected now; bytes written from now on reach the adapter and received
  // bytes reach the installed handler. Never blocks waiting for a device.
  virtual bool Open(std::string openArg1, std::string openArg2) = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() = 0;
  // Installs `handler`; an unset one detaches. See ReceiveHandlerSlot for the guarantee.
  virtual void SetReceiveHandler(ReceiveHandler handler) = 0;
  // Returns the number of bytes the link accepted (0..len); 0 when not connected. A link
  // returns exactly what it accepted: the caller keeps the rest for the next call.
  virtual int Write(const uint8_t* buf, int len) = 0;
  virtual std::string PortName() = 0;  // the link's device name
  virtual std::string PortInfo() = 0;  // the link's details text
  // The server's Logging choice: a link with a log file writes it while this is on (off after
  // construction). A link without one ignores it.
  virtual void SetLogging(bool /*on*/) {}

  // Trace level: 0 after construction. A receive thread may read it while the link manager
  // sets it, hence atomic; threads that want it get a pointer to it.
  std::atomic<uint8_t> DebugLevel{0};
};

// One row of the link manager's link table.
struct TConduitList {
  std::unique_ptr<TConduit> Conduit;  // null: no link in this row
  std::string OpenArg1;               // first argument of Open
  std::string OpenArg2;               // second argument of Open
  uint8_t Enabled = 0;                // 0: Open is never called
  uint32_t LastTryTick = 0;           // tick (ms) of the last Open call
};

}  // namespace dral
