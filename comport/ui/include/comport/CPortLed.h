// `TComLed`: a small lamp that shows one signal of a port (the connection, CTS, DSR, RLSD,
// ring, receive or transmit activity) lit or dark, drawn from the two images of its kind or
// from images the user supplies.
//
// It listens to the port through its own link. Threads: every member belongs to the GUI thread
// (the main thread of the Synchronize queue). The link handlers may be called on the port's
// event thread (direct dispatch); they then touch no widget or timer there but queue the
// change, with its value copied, to the GUI thread, where it is dropped when the lamp has gone
// meanwhile.
#pragma once

#include <QPixmap>
#include <QTimer>
#include <QWidget>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "comport/CPort.h"

namespace comport {

enum class TComLedSignal : uint8_t { lsConn, lsCTS, lsDSR, lsRLSD, lsRing, lsRx, lsTx };
enum class TLedKind : uint8_t {
  lkRedLight,
  lkGreenLight,
  lkBlueLight,
  lkYellowLight,
  lkPurpleLight,
  lkBulb,
  lkCustom
};
enum class TLedState : uint8_t { lsOff, lsOn };

// The lamp images of the program, 15 x 15 with a transparent background: "LEDREDON",
// "LEDREDOFF", ... "LEDBULBON", "LEDBULBOFF". An unknown name gives a null image.
QPixmap LedResource(const std::string& name);

class TComLed : public QWidget, public TComPortObserver {
 public:
  using TLedStateEvent = std::function<void(TComLed* sender, TLedState state)>;

  static constexpr int kDefaultSize = 25;
  static constexpr int kDefaultRingDuration = 1000;

  explicit TComLed(QWidget* parent = nullptr);
  // Unbinds the port (unregisters the link); queued changes for this lamp are dropped.
  ~TComLed() override;

  // --- component state (design time and streaming) ---
  void SetDesigning(bool designing) { designing_ = designing; }
  bool Designing() const { return designing_; }
  void BeginLoad() { loading_ = true; }
  void Loaded() { loading_ = false; }
  bool Loading() const { return loading_; }

  TCustomComPort* ComPort() const { return comPort_; }
  // Binds the port and shows its current state: the signal's state while it is open, dark
  // while it is closed (not while designing or loading). No port: dark.
  void SetComPort(TCustomComPort* port);
  // The bound port is going away: unbind it (dark).
  void Notification(TCustomComPort* removed) override;

  TComLedSignal LedSignal() const { return ledSignal_; }
  // Listens to the new signal and, with a port bound, shows its current state.
  void SetLedSignal(TComLedSignal value);
  TLedKind Kind() const { return kind_; }
  void SetKind(TLedKind value);
  TLedState State() const { return state_; }
  // Raises EComPort 19 while a port is bound (the port decides the state then).
  void SetState(TLedState value);

  // The images by state. Setting one is ignored unless Kind is lkCustom; an image without an
  // alpha channel takes the colour of its bottom-left pixel as transparent.
  QPixmap Glyph(TLedState index) const { return glyphs_[Index(index)]; }
  void SetGlyph(TLedState index, const QPixmap& bitmap);
  QPixmap GlyphOn() const { return Glyph(TLedState::lsOn); }
  void SetGlyphOn(const QPixmap& bitmap) { SetGlyph(TLedState::lsOn, bitmap); }
  QPixmap GlyphOff() const { return Glyph(TLedState::lsOff); }
  void SetGlyphOff(const QPixmap& bitmap) { SetGlyph(TLedState::lsOff, bitmap); }
  // The images are stored with a form only for user images.
  bool StoredGlyph() const { return kind_ == TLedKind::lkCustom; }

  // How long a ring lights the lamp, in ms.
  int RingDuration() const { return ringTimer_.interval(); }
  void SetRingDuration(int ms) { ringTimer_.setInterval(ms); }

  // Raised on every state assignment (not while loading), with the new state.
  TLedStateEvent OnChange;

  QSize sizeHint() const override { return {kDefaultSize, kDefaultSize}; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;
  virtual void DoChange(TLedState state);

 private:
  static size_t Index(TLedState s) { return static_cast<size_t>(s); }
  // Link handlers (any thread) and the ring timer.
  void SignalChange(TCustomComPort* sender, bool onOff);
  void RingDetect(TCustomComPort* sender);
  void DoTimer();
  // Runs `change` on the GUI thread: at once when called there, else queued.
  void OnGuiThread(std::function<void(TComLed&)> change);

  void SetStateInternal(TLedState state);
  // The state the bound port shows for the signal now (read from the port).
  TLedState PortState();
  bool IsStateOn();
  void SelectLedBitmap(TLedKind kind);
  void BitmapNeeded();
  const QPixmap& BitmapToDraw() const;
  QPoint CalcBitmapPos() const;

  TCustomComPort* comPort_ = nullptr;  // not owned
  TComLedSignal ledSignal_ = TComLedSignal::lsConn;
  TLedKind kind_ = TLedKind::lkRedLight;
  TLedState state_ = TLedState::lsOff;
  std::array<QPixmap, 2> glyphs_;  // by TLedState
  std::unique_ptr<TComLink> link_;
  QTimer ringTimer_;
  bool designing_ = false;
  bool loading_ = false;
  // Changes queued from another thread hold a weak reference; they find it expired once the
  // lamp is destroyed.
  std::shared_ptr<TComLed*> alive_;
};

}  // namespace comport
