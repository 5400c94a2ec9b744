// The port's lamp: state from the link's signals, the ring timer, the lamp images and painting.
#include "comport/CPortLed.h"

#include <QBitmap>
#include <QEvent>
#include <QPainter>
#include <QRadialGradient>
#include <map>
#include <utility>

#include "classlib/synchronize.h"

namespace comport {
namespace {

constexpr int kLampSize = 15;

struct LampColours {
  const char* OnName;
  const char* OffName;
  QRgb On;
  QRgb Off;
};

// The five coloured lamps, in TLedKind order; the bulb is drawn on its own.
constexpr LampColours kLamps[] = {
    {"LEDREDON", "LEDREDOFF", qRgb(0xff, 0x2a, 0x1f), qRgb(0x66, 0x10, 0x0c)},
    {"LEDGREENON", "LEDGREENOFF", qRgb(0x2e, 0xe6, 0x3c), qRgb(0x0d, 0x55, 0x16)},
    {"LEDBLUEON", "LEDBLUEOFF", qRgb(0x38, 0x7c, 0xff), qRgb(0x10, 0x24, 0x5e)},
    {"LEDYELLOWON", "LEDYELLOWOFF", qRgb(0xff, 0xe0, 0x2a), qRgb(0x66, 0x58, 0x0e)},
    {"LEDPURPLEON", "LEDPURPLEOFF", qRgb(0xc4, 0x3c, 0xff), qRgb(0x48, 0x14, 0x66)},
};
constexpr const char* kBulbOn = "LEDBULBON";
constexpr const char* kBulbOff = "LEDBULBOFF";
const QColor kRim(0x2b, 0x2b, 0x2b);

QImage NewLamp() {
  QImage image(kLampSize, kLampSize, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  return image;
}

// A round lamp: a dark rim, the body shaded from a highlight at the upper left, and on a lit
// lamp a small bright spot.
QImage DrawLamp(QRgb body, bool lit) {
  QImage image = NewLamp();
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const QColor base(body);
  QRadialGradient shade(QPointF(5.5, 5.0), 8.0);
  shade.setColorAt(0.0, lit ? base.lighter(160) : base.lighter(125));
  shade.setColorAt(1.0, lit ? base : base.darker(130));
  p.setPen(QPen(kRim, 1.0));
  p.setBrush(shade);
  p.drawEllipse(QPointF(7.5, 7.5), 6.5, 6.5);
  if (lit) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 210));
    p.drawEllipse(QPointF(5.2, 4.8), 1.8, 1.4);
  }
  return image;
}

// A bulb: a round glass over a threaded base; lit it glows yellow, dark it is grey.
QImage DrawBulb(bool lit) {
  QImage image = NewLamp();
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  const QColor glass = lit ? QColor(0xff, 0xf0, 0x6a) : QColor(0xb4, 0xb4, 0xb4);
  QRadialGradient shade(QPointF(6.0, 4.5), 6.5);
  shade.setColorAt(0.0, lit ? QColor(Qt::white) : glass.lighter(125));
  shade.setColorAt(1.0, lit ? glass : glass.darker(125));
  p.setPen(QPen(kRim, 1.0));
  p.setBrush(shade);
  p.drawEllipse(QPointF(7.5, 6.0), 5.0, 5.0);
  p.setRenderHint(QPainter::Antialiasing, false);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0x70, 0x70, 0x70));
  p.drawRect(5, 11, 5, 3);
  p.setBrush(QColor(0xc8, 0xc8, 0xc8));
  p.drawRect(5, 12, 5, 1);
  p.setBrush(kRim);
  p.drawRect(6, 14, 3, 1);
  return image;
}

const std::map<std::string, QImage>& Resources() {
  static const std::map<std::string, QImage> images = [] {
    std::map<std::string, QImage> m;
    for (const LampColours& lamp : kLamps) {
      m.emplace(lamp.OnName, DrawLamp(lamp.On, true));
      m.emplace(lamp.OffName, DrawLamp(lamp.Off, false));
    }
    m.emplace(kBulbOn, DrawBulb(true));
    m.emplace(kBulbOff, DrawBulb(false));
    return m;
  }();
  return images;
}

// The on and off resource names of a kind; null for lkCustom.
std::pair<const char*, const char*> ResourceNames(TLedKind kind) {
  const auto k = static_cast<size_t>(kind);
  if (k < std::size(kLamps)) return {kLamps[k].OnName, kLamps[k].OffName};
  if (kind == TLedKind::lkBulb) return {kBulbOn, kBulbOff};
  return {nullptr, nullptr};
}

}  // namespace

QPixmap LedResource(const std::string& name) {
  const auto& images = Resources();
  const auto it = images.find(name);
  return it == images.end() ? QPixmap() : QPixmap::fromImage(it->second);
}

TComLed::TComLed(QWidget* parent)
    : QWidget(parent),
      link_(std::make_unique<TComLink>()),
      alive_(std::make_shared<TComLed*>(this)) {
  resize(kDefaultSize, kDefaultSize);
  link_->OnConn = TComSignalEvent::Of<&TComLed::SignalChange>(this);
  ringTimer_.setInterval(kDefaultRingDuration);
  QObject::connect(&ringTimer_, &QTimer::timeout, this, [this] { DoTimer(); });
}

TComLed::~TComLed() {
  ringTimer_.stop();
  try {
    SetComPort(nullptr);
  } catch (const std::exception&) {
    // The link was not registered with the port any more; nothing is left to undo.
  }
  alive_.reset();
}

void TComLed::SetComPort(TCustomComPort* port) {
  if (port == comPort_) return;
  BindLink(*link_, *this, comPort_, port);
  if (port == nullptr) {
    SetStateInternal(TLedState::lsOff);
  } else if (!designing_ && !loading_) {
    SetStateInternal(PortState());
  }
}

void TComLed::Notification(TCustomComPort* removed) {
  if (removed != nullptr && removed == comPort_) SetComPort(nullptr);
}

void TComLed::SetLedSignal(TComLedSignal value) {
  if (value == ledSignal_) return;
  ledSignal_ = value;
  // The slots of a registered link do not change under the port's notifications.
  if (comPort_ != nullptr) comPort_->UnRegisterLink(link_.get());
  TComLink& l = *link_;
  l.OnConn = {};
  l.OnCTSChange = {};
  l.OnDSRChange = {};
  l.OnRLSDChange = {};
  l.OnRing = {};
  l.OnTx = {};
  l.OnRx = {};
  const auto signal = TComSignalEvent::Of<&TComLed::SignalChange>(this);
  switch (value) {
    case TComLedSignal::lsConn:
      l.OnConn = signal;
      break;
    case TComLedSignal::lsCTS:
      l.OnCTSChange = signal;
      break;
    case TComLedSignal::lsDSR:
      l.OnDSRChange = signal;
      break;
    case TComLedSignal::lsRLSD:
      l.OnRLSDChange = signal;
      break;
    case TComLedSignal::lsRing:
      l.OnRing = TNotifyEvent::Of<&TComLed::RingDetect>(this);
      break;
    case TComLedSignal::lsRx:
      l.OnRx = signal;
      break;
    case TComLedSignal::lsTx:
      l.OnTx = signal;
      break;
  }
  if (comPort_ != nullptr) comPort_->RegisterLink(link_.get());
  // The lamp shows the new signal from now on, not the old one's last state.
  if (comPort_ != nullptr && !designing_ && !loading_) SetStateInternal(PortState());
}

void TComLed::SetKind(TLedKind value) {
  if (value == kind_) return;
  kind_ = value;
  SelectLedBitmap(value);
  update();
}

void TComLed::SetState(TLedState value) {
  if (comPort_ != nullptr) throw EComPort(CError_LedStateFailed);
  SetStateInternal(value);
}

void TComLed::SetStateInternal(TLedState state) {
  state_ = state;
  if (!loading_) DoChange(state);
  update();
}

void TComLed::DoChange(TLedState state) {
  if (OnChange) OnChange(this, state);
}

void TComLed::SetGlyph(TLedState index, const QPixmap& bitmap) {
  if (kind_ != TLedKind::lkCustom) return;
  QPixmap glyph = bitmap;
  if (!glyph.isNull() && !glyph.hasAlphaChannel()) {
    // Automatic transparency: the colour of the bottom-left pixel is the background.
    const QImage image = glyph.toImage();
    glyph.setMask(QBitmap::fromImage(
        image.createMaskFromColor(image.pixel(0, image.height() - 1), Qt::MaskInColor)));
  }
  glyphs_[Index(index)] = glyph;
  update();
}

TLedState TComLed::PortState() {
  return comPort_->Connected() && IsStateOn() ? TLedState::lsOn : TLedState::lsOff;
}

bool TComLed::IsStateOn() {
  if (comPort_ == nullptr) return false;
  switch (ledSignal_) {
    case TComLedSignal::lsConn:
      return comPort_->Connected();
    case TComLedSignal::lsCTS:
      return comPort_->Signals().Contains(TComSignal::csCTS);
    case TComLedSignal::lsDSR:
      return comPort_->Signals().Contains(TComSignal::csDSR);
    case TComLedSignal::lsRLSD:
      return comPort_->Signals().Contains(TComSignal::csRLSD);
    case TComLedSignal::lsRing:
    case TComLedSignal::lsRx:
    case TComLedSignal::lsTx:
      return false;
  }
  return false;
}

void TComLed::OnGuiThread(std::function<void(TComLed&)> change) {
  if (cls::IsMainThread()) {
    change(*this);
    return;
  }
  cls::QueueCall([alive = std::weak_ptr<TComLed*>(alive_), change = std::move(change)] {
    if (const auto led = alive.lock()) change(**led);
  });
}

void TComLed::SignalChange(TCustomComPort*, bool onOff) {
  OnGuiThread([state = onOff ? TLedState::lsOn : TLedState::lsOff](TComLed& led) {
    led.SetStateInternal(state);
    // Painted now rather than when the event loop comes round to it.
    led.repaint();
  });
}

void TComLed::RingDetect(TCustomComPort*) {
  OnGuiThread([](TComLed& led) {
    // A ring while lit does not prolong the light.
    if (!led.ringTimer_.isActive()) led.ringTimer_.start();
    led.SetStateInternal(TLedState::lsOn);
  });
}

void TComLed::DoTimer() {
  ringTimer_.stop();
  SetStateInternal(TLedState::lsOff);
}

void TComLed::SelectLedBitmap(TLedKind kind) {
  const auto [on, off] = ResourceNames(kind);
  if (on == nullptr) return;  // lkCustom: the user's images stay
  glyphs_[Index(TLedState::lsOn)] = LedResource(on);
  glyphs_[Index(TLedState::lsOff)] = LedResource(off);
}

void TComLed::BitmapNeeded() {
  if (glyphs_[0].isNull() || glyphs_[1].isNull()) SelectLedBitmap(kind_);
}

const QPixmap& TComLed::BitmapToDraw() const {
  return glyphs_[Index(isEnabled() ? state_ : TLedState::lsOff)];
}

QPoint TComLed::CalcBitmapPos() const {
  const QRect client = rect();
  const QPixmap& image = glyphs_[Index(state_)];
  return {client.left() + std::max(0, (client.width() - image.width()) / 2),
          client.top() + std::max(0, (client.height() - image.height()) / 2)};
}

void TComLed::paintEvent(QPaintEvent*) {
  BitmapNeeded();
  const QPixmap& image = BitmapToDraw();
  if (image.isNull()) return;
  QPainter p(this);
  p.drawPixmap(CalcBitmapPos(), image);
}

void TComLed::changeEvent(QEvent* event) {
  if (event->type() == QEvent::EnabledChange) update();
  QWidget::changeEvent(event);
}

}  // namespace comport
