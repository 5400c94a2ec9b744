// `TComDataPacket`: cuts the byte stream that a port receives into packets, by a start string,
// a stop string, a fixed size or positions chosen by the application's handlers, and reports
// the bytes outside packets as discarded.
//
// Bound to a port, it listens through its own link (`OnRxBuf`), so the port reads received data
// itself and hands it over as a buffer. Data can also be fed with AddData.
//
// Threads: RxBuf runs in the thread that dispatches the port's events (the event thread under
// direct dispatch); the handlers run there too. The owner must not call AddData, EmptyBuffer or
// a setter at the same time as a dispatch: there is no lock. Binding and unbinding a port
// belong to the thread that registers the port's links (while no dispatch runs).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "classlib/Closure.h"
#include "comport/CPort.h"

namespace comport {

class TComDataPacket : public TComPortObserver {
 public:
  using TComStrEvent = cls::Closure<void(TComDataPacket* sender, const std::string& str)>;
  // `pos` comes in as -1 ("use the markers"); a handler sets it to the 1-based position of a
  // packet's first byte (start) or last byte (stop), or to 0 for "not yet".
  using TCustPacketEvent =
      cls::Closure<void(TComDataPacket* sender, const std::string& str, int32_t& pos)>;

  static constexpr int32_t kDefaultMaxBufferSize = 1024;

  TComDataPacket();
  // Unbinds the port (unregisters the link).
  virtual ~TComDataPacket();
  TComDataPacket(const TComDataPacket&) = delete;
  TComDataPacket& operator=(const TComDataPacket&) = delete;

  // --- component state (streaming): setters do not empty the buffer while loading ---
  void BeginLoad() { loading_ = true; }
  void Loaded() { loading_ = false; }
  bool Loading() const { return loading_; }

  TCustomComPort* ComPort() const { return comPort_; }
  // Unregisters the link from the old port and registers it with the new one (null: none).
  void SetComPort(TCustomComPort* port);
  // The bound port is going away: unbind it.
  void Notification(TCustomComPort* removed) override;

  bool CaseInsensitive() const { return caseInsensitive_; }
  void SetCaseInsensitive(bool value);
  bool IncludeStrings() const { return includeStrings_; }
  void SetIncludeStrings(bool value) { includeStrings_ = value; }
  // 0 or less: no limit. The effective limit never lies below Size (see HandleBuffer).
  int32_t MaxBufferSize() const { return maxBufferSize_; }
  void SetMaxBufferSize(int32_t value) { maxBufferSize_ = value; }
  const std::string& StartString() const { return startString_; }
  void SetStartString(const std::string& value);
  const std::string& StopString() const { return stopString_; }
  void SetStopString(const std::string& value);
  int32_t Size() const { return size_; }
  void SetSize(int32_t value);

  TComStrEvent OnPacket;
  TComStrEvent OnDiscard;
  TCustPacketEvent OnCustomStart;
  TCustPacketEvent OnCustomStop;

  // Feeds data as if received. Without a stop rule (no Size, no StopString, no OnCustomStop)
  // each call is one packet, delivered at once and never buffered.
  void AddData(const std::string& str);
  // Reports the buffered bytes (if any) through OnDiscard and empties the buffer; the buffer is
  // empty afterwards also when the handler raised.
  void EmptyBuffer();

 protected:
  // Delivers every packet the buffer holds, discarding bytes before a start; then applies the
  // buffer limit (also when a handler raised, before the exception goes on).
  virtual void HandleBuffer();
  virtual void DoDiscard(const std::string& str);
  virtual void DoPacket(const std::string& str);
  // `str` is the buffer; it is valid until the buffer changes (AddData, EmptyBuffer).
  virtual void DoCustomStart(std::string_view str, int32_t& pos);
  virtual void DoCustomStop(std::string_view str, int32_t& pos);

 private:
  void RxBuf(TCustomComPort* sender, const void* buffer, int32_t count);
  bool ValidStop() const;
  // One pass of HandleBuffer: true when it delivered a packet.
  bool HandlePacket();
  // The start and stop searches of a pass; the stop search returns the packet's length, or 0.
  void FindStart();
  size_t FindStop();
  void StartPacketAt(size_t pos);
  // 1-based position of the first `marker` in `text` (ASCII case folded when CaseInsensitive);
  // 0 when absent or `marker` is empty.
  size_t Find(std::string_view marker, std::string_view text) const;
  // The buffered bytes not yet delivered or discarded, and their removal from the front.
  std::string_view Rest() const;
  void Consume(size_t count);
  void CheckIncludeStrings(std::string& str) const;
  void CheckBufferLimit();
  void Changed();

  std::unique_ptr<TComLink> link_;
  TCustomComPort* comPort_ = nullptr;  // not owned
  std::string startString_;
  std::string stopString_;
  int32_t maxBufferSize_ = kDefaultMaxBufferSize;
  int32_t size_ = 0;
  bool includeStrings_ = false;
  bool caseInsensitive_ = false;
  bool inPacket_ = false;  // a start was found and its end not yet; only with bytes buffered
  bool loading_ = false;
  std::string buffer_;  // the bytes from head_ on are the buffer; those before it are consumed
  size_t head_ = 0;
};

}  // namespace comport
