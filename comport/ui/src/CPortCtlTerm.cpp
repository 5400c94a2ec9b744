#include "comport/CPortCtlTerm.h"

#include <QFontDatabase>
#include <QFontDialog>
#include <QFontInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <exception>

#include "classlib/Stream.h"
#include "comport/CPortTrmSet.h"

namespace comport {

namespace {

using EC = TEscapeCode;

constexpr char kBS = 8;
constexpr char kTab = 9;
constexpr char kLF = 10;
constexpr char kFF = 12;
constexpr char kCR = 13;
constexpr int32_t kDefaultFontSize = 9;
constexpr int kDefaultWidth = 400;
constexpr int kDefaultHeight = 250;
constexpr char kDesignText[] = "ComPort Library";

QColor ToQColor(TColor c) {
  return QColor(static_cast<int>(c & 0xFF), static_cast<int>((c >> 8) & 0xFF),
                static_cast<int>((c >> 16) & 0xFF));
}

// A key handler must not let an exception into Qt's event loop; a failed port write is
// reported on stderr, as the class library reports what a queued call raises.
template <typename F>
void Reporting(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "terminal: %s\n", e.what());
  }
}

}  // namespace

QFont DefaultFont() {
  QFont font(QStringLiteral("Fixedsys"), kDefaultFontSize);
  if (QFontInfo(font).family() != font.family() || !QFontInfo(font).fixedPitch()) {
    font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(kDefaultFontSize);
  }
  return font;
}

// Hides the caret while the terminal changes, shows it again and repaints what changed at the
// end of the scope (also when an exception leaves it).
class TCustomComTerminal::Update {
 public:
  explicit Update(TCustomComTerminal& t) : t_(t) { t_.HideCaret(); }
  ~Update() {
    t_.ShowCaret();
    t_.Flush();
  }
  Update(const Update&) = delete;
  Update& operator=(const Update&) = delete;

 private:
  TCustomComTerminal& t_;
};

TCustomComTerminal::TCustomComTerminal(QWidget* parent)
    : QAbstractScrollArea(parent), buffer_(this) {
  link_.OnRxBuf = TRxBufEvent::Of<&TCustomComTerminal::RxBuf>(this);
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_InputMethodEnabled, false);
  viewport()->setAutoFillBackground(false);
  setFont(DefaultFont());
  CalculateMetrics();
  ApplyFrame();
  ApplyScrollBars();
  resize(kDefaultWidth, kDefaultHeight);
  CreateEscapeCodes();
  buffer_.Init();
  UpdateScrollRange();
}

TCustomComTerminal::~TCustomComTerminal() {
  Reporting([&] { SetComPort(nullptr); });
}

void TCustomComTerminal::SetDesigning(bool designing) {
  if (designing == designing_) return;
  designing_ = designing;
  // Designing has no parser; run time makes the one of the current emulation again.
  if (designing_) {
    escapeCodes_.reset();
  } else if (!loading_) {
    CreateEscapeCodes();
  }
  viewport()->update();
}

void TCustomComTerminal::Loaded() {
  loading_ = false;
  CreateEscapeCodes();
  if (!designing_) {
    buffer_.Init();
    caretPos_ = savedCaretPos_ = QPoint(1, 1);
  }
  UpdateScrollRange();
  viewport()->update();
}

// --- properties ---

void TCustomComTerminal::SetAltColor(TColor value) {
  altColor_ = value;
  if (designing_) viewport()->update();
}

void TCustomComTerminal::SetBorderStyle(TBorderStyle value) {
  if (value == borderStyle_) return;
  borderStyle_ = value;
  ApplyFrame();
}

void TCustomComTerminal::SetColor(TColor value) {
  color_ = value;
  viewport()->update();
}

void TCustomComTerminal::SetFontColor(TColor value) {
  fontColor_ = value;
  viewport()->update();
}

void TCustomComTerminal::SetSize(int32_t* field, int32_t value, int32_t low, int32_t high) {
  value = std::clamp(value, low, high);
  if (value == *field) return;
  *field = value;
  updateGeometry();
  UpdateScrollRange();
  if (loading_ || designing_) return;
  // A new size starts a new screen: the caret goes home, as on a VT100.
  buffer_.Init();
  caretPos_ = savedCaretPos_ = QPoint(1, 1);
  MoveCaret(1, 1);
  viewport()->update();
}

void TCustomComTerminal::SetColumns(int32_t value) {
  SetSize(&columns_, value, kMinTermColumns, kMaxTermColumns);
}

void TCustomComTerminal::SetRows(int32_t value) {
  SetSize(&rows_, value, kMinTermRows, kMaxTermRows);
}

void TCustomComTerminal::SetComPort(TCustomComPort* port) {
  BindLink(link_, *this, comPort_, port);
}

void TCustomComTerminal::Notification(TCustomComPort* removed) {
  if (removed != nullptr && removed == comPort_) SetComPort(nullptr);
}

bool TCustomComTerminal::Connected() const {
  return comPort_ != nullptr && comPort_->Connected();
}

void TCustomComTerminal::SetConnected(bool value) {
  if (comPort_ != nullptr) comPort_->SetConnected(value);
}

void TCustomComTerminal::SetEmulation(TTermEmulation value) {
  if (value == emulation_) return;
  emulation_ = value;
  if (loading_) return;
  escapeCodes_.reset();
  CreateEscapeCodes();
}

void TCustomComTerminal::SetCaret(TTermCaret value) {
  if (value == caret_) return;
  caret_ = value;
  if (hasFocus()) {
    DestroyTerminalCaret();
    InitCaret();
  }
}

void TCustomComTerminal::SetScrollBars(TScrollStyle value) {
  if (value == scrollBars_) return;
  scrollBars_ = value;
  ApplyScrollBars();
  UpdateScrollRange();
}

void TCustomComTerminal::SetSmoothScroll(bool value) {
  smoothScroll_ = value;
  horizontalScrollBar()->setTracking(value);
  verticalScrollBar()->setTracking(value);
}

void TCustomComTerminal::ApplyFrame() {
  // A sunken panel stands for the class library's 3D client edge.
  if (borderStyle_ == TBorderStyle::bsSingle) {
    setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  } else {
    setFrameStyle(QFrame::NoFrame);
  }
}

void TCustomComTerminal::ApplyScrollBars() {
  const bool h = scrollBars_ == TScrollStyle::ssHorizontal || scrollBars_ == TScrollStyle::ssBoth;
  const bool v = scrollBars_ == TScrollStyle::ssVertical || scrollBars_ == TScrollStyle::ssBoth;
  // A bar with an empty range hides, as a window's scroll bar does.
  setHorizontalScrollBarPolicy(h ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(v ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
  SetSmoothScroll(smoothScroll_);
}

// --- parser ---

void TCustomComTerminal::CreateEscapeCodes() {
  if (designing_) return;
  switch (emulation_) {
    case TTermEmulation::teVT100orANSI: escapeCodes_ = std::make_unique<TEscapeCodesVT100>(); break;
    case TTermEmulation::teVT52: escapeCodes_ = std::make_unique<TEscapeCodesVT52>(); break;
    case TTermEmulation::teNone:
      escapeCodes_.reset();
      DoGetEscapeCodes(escapeCodes_);
      break;
  }
}

void TCustomComTerminal::DoChar(char ch) {
  if (OnChar.IsSet()) OnChar(this, ch);
}

void TCustomComTerminal::DoGetEscapeCodes(std::unique_ptr<TEscapeCodes>& codes) {
  if (OnGetEscapeCodes.IsSet()) OnGetEscapeCodes(this, codes);
}

void TCustomComTerminal::DoStrRecieved(std::string& str) {
  if (OnStrRecieved.IsSet()) OnStrRecieved(this, str);
}

void TCustomComTerminal::DoUnhandledCode(TEscapeCode code, const std::string& codeData) {
  if (OnUnhandledCode.IsSet()) OnUnhandledCode(this, code, codeData);
}

// --- received data ---

void TCustomComTerminal::RxBuf(TCustomComPort* sender, const void* buffer, int32_t count) {
  if (buffer == nullptr || count <= 0) return;
  std::string str(static_cast<const char*>(buffer), static_cast<size_t>(count));
  if (QThread::currentThread() != thread()) {
    // Dispatched on another thread (smNone): a copy goes to the window's thread; it is dropped
    // when the terminal is gone by then. What it raises there (a failed reply to the port, a
    // handler) must not enter Qt's event loop.
    QMetaObject::invokeMethod(
        this,
        [this, sender, str] {
          Reporting([&] { RxBuf(sender, str.data(), static_cast<int32_t>(str.size())); });
        },
        Qt::QueuedConnection);
    return;
  }
  if (force7Bit_) {
    for (char& c : str) c = static_cast<char>(c & 0x7F);
  }
  if (appendLF_) {
    std::string withLF;
    withLF.reserve(str.size() + str.size() / 8);
    for (char c : str) {
      withLF += c;
      if (c == kCR) withLF += kLF;
    }
    str.swap(withLF);
  }
  StringReceived(str);
}

void TCustomComTerminal::StringReceived(std::string& str) {
  DoStrRecieved(str);
  WriteStr(str);
}

void TCustomComTerminal::WriteStr(const std::string& str) {
  Write(str.data(), static_cast<int32_t>(str.size()));
}

void TCustomComTerminal::Write(const void* buffer, int32_t count) {
  if (buffer == nullptr || count <= 0) return;
  const Update update(*this);
  const char* bytes = static_cast<const char*>(buffer);
  for (int32_t i = 0; i < count; ++i) {
    if (!escapeCodes_) {
      PutChar(bytes[i]);
      continue;
    }
    TEscapeCodes& codes = *escapeCodes_;
    switch (codes.ProcessChar(bytes[i])) {
      case TEscapeResult::erChar:
        PutChar(codes.Character());
        break;
      case TEscapeResult::erCode:
        if (!PutEscapeCode(codes.Code(), &codes.Params())) {
          // The handler gets copies: setting Emulation in it frees the parser (and its data).
          const TEscapeCode code = codes.Code();
          const std::string codeData = codes.Data();
          DoUnhandledCode(code, codeData);
        }
        // A handler may have replaced the parser.
        if (escapeCodes_) escapeCodes_->Params().clear();
        break;
      case TEscapeResult::erNothing:
        break;
    }
  }
}

void TCustomComTerminal::WriteEscCode(TEscapeCode code, TEscapeParams* params) {
  if (!escapeCodes_) return;
  const Update update(*this);
  PutEscapeCode(code, params);
}

void TCustomComTerminal::PutChar(char ch) {
  switch (ch) {
    case kBS: AdvanceCaret(TAdvanceCaret::acBackspace); break;
    case kTab: AdvanceCaret(TAdvanceCaret::acTab); break;
    case kLF:
    case kFF: AdvanceCaret(TAdvanceCaret::acLineFeed); break;
    case kCR: AdvanceCaret(TAdvanceCaret::acReturn); break;
    default:
      if (static_cast<uint8_t>(ch) >= 32) {
        TComTermChar cell = GetCharAttr();
        cell.Ch = ch;
        buffer_.SetChar(caretPos_.x(), caretPos_.y(), cell);
        InvalidatePortion({caretPos_.x(), caretPos_.y(), caretPos_.x(), caretPos_.y()});
        AdvanceCaret(TAdvanceCaret::acChar);
      }
      break;
  }
  DoChar(ch);
}

TComTermChar TCustomComTerminal::GetCharAttr() const {
  TComTermChar cell;
  // The text colour first, then inverse swaps it with the background (bold inverse included).
  cell.FrontColor = attr_.Bold ? altColor_ : fontColor_;
  cell.BackColor = color_;
  if (attr_.Inverse) std::swap(cell.FrontColor, cell.BackColor);
  cell.Underline = attr_.Underline;
  return cell;
}

void TCustomComTerminal::AdvanceCaret(TAdvanceCaret kind) {
  const int32_t x = caretPos_.x();
  const int32_t y = caretPos_.y();
  switch (kind) {
    case TAdvanceCaret::acChar:
      if (x < columns_) {
        MoveCaret(x + 1, y);
      } else if (wrapLines_) {
        if (y >= rows_) {
          buffer_.ScrollDown();
          MoveCaret(1, y);
        } else {
          MoveCaret(1, y + 1);
        }
      }
      break;
    case TAdvanceCaret::acReturn:
      MoveCaret(1, y);
      break;
    case TAdvanceCaret::acLineFeed:
      if (y >= rows_) {
        buffer_.ScrollDown();
      } else {
        MoveCaret(x, y + 1);
      }
      break;
    case TAdvanceCaret::acReverseLineFeed:
      if (y <= 1) {
        buffer_.ScrollUp();
      } else {
        MoveCaret(x, y - 1);
      }
      break;
    case TAdvanceCaret::acTab: {
      const int32_t n = buffer_.NextTab(x + 1);
      if (n > 0) MoveCaret(n, y);
      break;
    }
    case TAdvanceCaret::acBackspace:
      MoveCaret(x - 1, y);
      break;
  }
}

void TCustomComTerminal::MoveCaret(int32_t x, int32_t y) {
  x = std::clamp(x, 1, columns_);
  y = std::clamp(y, 1, rows_);
  if (caretCreated_ && QPoint(x, y) != caretPos_) dirty_ |= CaretRect();
  caretPos_ = QPoint(x, y);
  if (caretCreated_) dirty_ |= CaretRect();
}

bool TCustomComTerminal::PutEscapeCode(TEscapeCode code, TEscapeParams* params) {
  const int32_t p1 = TEscapeCodes::GetParam(1, params);
  const int32_t p2 = TEscapeCodes::GetParam(2, params);
  const int32_t x = caretPos_.x();
  const int32_t y = caretPos_.y();
  TEscapeParams own;
  TEscapeParams& reply = params != nullptr ? *params : own;
  switch (code) {
    case EC::ecCursorUp:
    case EC::ecAppCursorUp: MoveCaret(x, y - p1); break;
    case EC::ecCursorDown:
    case EC::ecAppCursorDown: MoveCaret(x, y + p1); break;
    case EC::ecCursorLeft:
    case EC::ecAppCursorLeft: MoveCaret(x - p1, y); break;
    case EC::ecCursorRight:
    case EC::ecAppCursorRight: MoveCaret(x + p1, y); break;
    case EC::ecCursorHome:
    case EC::ecCursorMove: MoveCaret(p2, p1); break;
    case EC::ecReverseLineFeed: AdvanceCaret(TAdvanceCaret::acReverseLineFeed); break;
    case EC::ecEraseLineFrom: buffer_.EraseLine(x, y); break;
    case EC::ecEraseScreenFrom: buffer_.EraseScreen(x, y); break;
    case EC::ecEraseLine:
      buffer_.EraseLine(1, y);
      MoveCaret(1, y);
      break;
    case EC::ecEraseScreen:
      buffer_.EraseScreen(1, 1);
      MoveCaret(1, 1);
      break;
    case EC::ecSetTab: buffer_.SetTab(x, true); break;
    case EC::ecClearTab: buffer_.SetTab(x, false); break;
    case EC::ecClearAllTabs: buffer_.ClearAllTabs(); break;
    case EC::ecIdentify:
      reply = {"2"};
      SendCodeNoEcho(EC::ecIdentResponse, &reply);
      break;
    case EC::ecQueryDevice: SendCodeNoEcho(EC::ecReportDeviceOK, nullptr); break;
    case EC::ecQueryCursorPos:
      reply = {std::to_string(y), std::to_string(x)};
      SendCodeNoEcho(EC::ecReportCursorPos, &reply);
      break;
    case EC::ecAttributes: SetAttributes(params); break;
    case EC::ecSetMode: SetMode(params, true); break;
    case EC::ecResetMode: SetMode(params, false); break;
    case EC::ecReset:
      reply = {"0"};
      SetAttributes(&reply);
      break;
    case EC::ecSaveCaretAndAttr:
      SaveCaretPos();
      SaveAttr();
      break;
    case EC::ecRestoreCaretAndAttr:
      RestoreCaretPos();
      RestoreAttr();
      break;
    case EC::ecSaveCaret: SaveCaretPos(); break;
    case EC::ecRestoreCaret: RestoreCaretPos(); break;
    case EC::ecTest: PerformTest('E'); break;
    default: return false;
  }
  return true;
}

void TCustomComTerminal::SetAttributes(const TEscapeParams* params) {
  if (params == nullptr || params->empty()) {
    attr_ = TTermAttributes{};
    return;
  }
  for (size_t i = 0; i < params->size(); ++i) {
    // An empty item is the default 0 here (ESC [ ; 1 m resets, then bold).
    const int32_t value =
        (*params)[i].empty() ? 0 : TEscapeCodes::GetParam(static_cast<int32_t>(i + 1), params);
    switch (value) {
      case 0: attr_ = TTermAttributes{}; break;
      case 1: attr_.Bold = true; break;
      case 4: attr_.Underline = true; break;
      case 7: attr_.Inverse = true; break;
      case 21: attr_.Bold = false; break;
      case 24: attr_.Underline = false; break;
      case 27: attr_.Inverse = false; break;
      default: break;
    }
  }
}

void TCustomComTerminal::SetMode(const TEscapeParams* params, bool on) {
  if (params == nullptr || params->empty()) return;
  const std::string& mode = (*params)[0];
  if (mode == "?1") {
    appCursorKeys_ = on;
  } else if (mode == "7" || mode == "?7") {  // "?7" is the DEC form of the wrap mode
    wrapLines_ = on;
  } else if (mode == "?3") {
    SetColumns(on ? 132 : 80);
  }
}

void TCustomComTerminal::PerformTest(char ch) {
  const TComTermChar cell{ch, fontColor_, color_, false};
  for (int32_t y = 1; y <= buffer_.Rows(); ++y) {
    for (int32_t x = 1; x <= buffer_.Columns(); ++x) buffer_.SetChar(x, y, cell);
  }
  dirty_ = viewport()->rect();
}

// --- sending ---

void TCustomComTerminal::SendChar(char ch) {
  if (!Connected()) return;
  comPort_->WriteStr(std::string(1, ch));
  if (localEcho_) {
    const Update update(*this);
    PutChar(ch);
  }
  if (ch == kCR && sendLF_) SendChar(kLF);
}

void TCustomComTerminal::SendCode(TEscapeCode code, TEscapeParams* params) {
  if (!Connected() || !escapeCodes_) return;
  const std::string str = escapeCodes_->EscCodeToStr(code, params);
  if (!str.empty()) comPort_->WriteStr(str);
  if (localEcho_) {
    const Update update(*this);
    PutEscapeCode(code, params);
  }
}

void TCustomComTerminal::SendCodeNoEcho(TEscapeCode code, TEscapeParams* params) {
  if (!Connected() || !escapeCodes_) return;
  const std::string str = escapeCodes_->EscCodeToStr(code, params);
  if (!str.empty()) comPort_->WriteStr(str);
}

// --- keyboard and mouse ---

void TCustomComTerminal::KeyDown(int key) {
  EC code;
  switch (key) {
    case Qt::Key_Home: code = EC::ecCursorHome; break;
    case Qt::Key_Left: code = EC::ecCursorLeft; break;
    case Qt::Key_Up: code = EC::ecCursorUp; break;
    case Qt::Key_Right: code = EC::ecCursorRight; break;
    case Qt::Key_Down: code = EC::ecCursorDown; break;
    default: return;
  }
  if (appCursorKeys_) {
    switch (code) {
      case EC::ecCursorUp: SendCode(EC::ecAppCursorUp, nullptr); break;
      case EC::ecCursorDown: SendCode(EC::ecAppCursorDown, nullptr); break;
      case EC::ecCursorLeft: SendCode(EC::ecAppCursorLeft, nullptr); break;
      case EC::ecCursorRight: SendCode(EC::ecAppCursorRight, nullptr); break;
      default: break;
    }
  } else if (arrowKeys_ == TArrowKeys::akWindows) {
    const Update update(*this);
    PutEscapeCode(code, nullptr);
  } else {
    SendCode(code, nullptr);
  }
}

void TCustomComTerminal::KeyPress(char key) {
  SendChar(key);
}

void TCustomComTerminal::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Home:
    case Qt::Key_Left:
    case Qt::Key_Up:
    case Qt::Key_Right:
    case Qt::Key_Down:
      Reporting([&] { KeyDown(event->key()); });
      return;
    default:
      break;
  }
  // Without WantTab the Tab key moves the focus when another widget can take it, and goes
  // nowhere otherwise. Other keys without text do nothing: the view never scrolls by a key.
  if ((event->key() == Qt::Key_Tab || event->key() == Qt::Key_Backtab) && !wantTab_) return;
  const QString text = event->text();
  if (text.isEmpty()) return;
  for (const QChar c : text) {
    if (c.unicode() <= 0xFF) Reporting([&] { KeyPress(static_cast<char>(c.unicode())); });
  }
}

bool TCustomComTerminal::focusNextPrevChild(bool next) {
  // With WantTab the Tab key reaches keyPressEvent instead of moving the focus.
  return wantTab_ ? false : QAbstractScrollArea::focusNextPrevChild(next);
}

void TCustomComTerminal::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && (focusPolicy() & Qt::TabFocus) && isEnabled()) {
    setFocus(Qt::MouseFocusReason);
  }
  QAbstractScrollArea::mousePressEvent(event);
}

// --- caret ---

void TCustomComTerminal::CreateTerminalCaret() {
  switch (caret_) {
    case TTermCaret::tcBlock: caretHeight_ = fontHeight_; break;
    case TTermCaret::tcUnderline: caretHeight_ = std::max(fontHeight_ / 8, 1); break;
    case TTermCaret::tcNone: caretHeight_ = 0; break;
  }
  caretCreated_ = caretHeight_ > 0;
  caretHidden_ = 1;  // a new caret is hidden until shown
}

void TCustomComTerminal::DestroyTerminalCaret() {
  if (caretCreated_) dirty_ |= CaretRect();
  caretCreated_ = false;
  Flush();
}

void TCustomComTerminal::InitCaret() {
  CreateTerminalCaret();
  MoveCaret(caretPos_.x(), caretPos_.y());
  ShowCaret();
  Flush();
}

void TCustomComTerminal::HideCaret() {
  if (!caretCreated_) return;
  if (caretHidden_++ == 0) dirty_ |= CaretRect();
}

void TCustomComTerminal::ShowCaret() {
  if (!caretCreated_ || caretHidden_ == 0) return;
  if (--caretHidden_ == 0) dirty_ |= CaretRect();
}

QRect TCustomComTerminal::CaretRect() const {
  const int x = (caretPos_.x() - topLeft_.x()) * fontWidth_;
  const int y = (caretPos_.y() - topLeft_.y() + 1) * fontHeight_ - caretHeight_;
  return QRect(x, y, fontWidth_, caretHeight_);
}

void TCustomComTerminal::focusInEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusInEvent(event);
  InitCaret();
}

void TCustomComTerminal::focusOutEvent(QFocusEvent* event) {
  DestroyTerminalCaret();
  QAbstractScrollArea::focusOutEvent(event);
}

// --- painting ---

void TCustomComTerminal::BufferScrolled(int32_t /*dy*/) {
  // The backing store makes every Qt widget double-buffered: repaint the whole screen.
  dirty_ = viewport()->rect();
}

void TCustomComTerminal::InvalidatePortion(const TCellRect& cells) {
  const int left = std::max((cells.Left - topLeft_.x()) * fontWidth_, 0);
  const int right = std::max((cells.Right - topLeft_.x() + 1) * fontWidth_, 0);
  const int top = std::max((cells.Top - topLeft_.y()) * fontHeight_, 0);
  const int bottom = std::max((cells.Bottom - topLeft_.y() + 1) * fontHeight_, 0);
  if (right > left && bottom > top) dirty_ |= QRect(left, top, right - left, bottom - top);
}

void TCustomComTerminal::Flush() {
  if (dirty_.isEmpty()) return;
  viewport()->update(dirty_);
  dirty_ = QRect();
}

void TCustomComTerminal::paintEvent(QPaintEvent* event) {
  QPainter painter(viewport());
  painter.setFont(font());
  painter.fillRect(event->rect(), ToQColor(color_));
  if (designing_) {
    PaintDesign(painter);
    return;
  }
  const QRect clip = event->rect();
  TCellRect cells;
  cells.Left = clip.left() / fontWidth_ + 1;
  cells.Right = std::min(clip.right() / fontWidth_ + 1, columns_);
  cells.Top = clip.top() / fontHeight_ + 1;
  cells.Bottom = std::min(clip.bottom() / fontHeight_ + 1, rows_);
  PaintTerminal(painter, cells);
  if (caretCreated_ && caretHidden_ == 0) {
    painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
    painter.fillRect(CaretRect(), Qt::white);
  }
}

void TCustomComTerminal::PaintTerminal(QPainter& painter, TCellRect rect) {
  // Only window cells that show a buffer cell are painted.
  rect.Right = std::min(rect.Right, buffer_.Columns() - topLeft_.x() + 1);
  rect.Bottom = std::min(rect.Bottom, buffer_.Rows() - topLeft_.y() + 1);
  for (int32_t r = std::max(rect.Top, 1); r <= rect.Bottom; ++r) {
    for (int32_t c = std::max(rect.Left, 1); c <= rect.Right; ++c) {
      const TComTermChar cell = buffer_.GetChar(c + topLeft_.x() - 1, r + topLeft_.y() - 1);
      if (cell.Ch != 0) DrawChar(painter, c, r, cell);
    }
  }
}

void TCustomComTerminal::DrawChar(QPainter& painter, int32_t c, int32_t r, const TComTermChar& cell) {
  const int x = (c - 1) * fontWidth_;
  const int y = (r - 1) * fontHeight_;
  painter.fillRect(QRect(x, y, fontWidth_, fontHeight_), ToQColor(cell.BackColor));
  QFont f = painter.font();
  if (f.underline() != cell.Underline) {
    f.setUnderline(cell.Underline);
    painter.setFont(f);
  }
  painter.setPen(ToQColor(cell.FrontColor));
  painter.drawText(x, y + fontAscent_, QString(QChar(static_cast<uint8_t>(cell.Ch))));
}

void TCustomComTerminal::PaintDesign(QPainter& painter) {
  painter.setPen(ToQColor(fontColor_));
  painter.drawText(0, fontAscent_, QString::fromLatin1(kDesignText));
  painter.setPen(ToQColor(altColor_));
  painter.drawText(0, fontHeight_ + fontAscent_, QString::fromLatin1(kDesignText));
  painter.setCompositionMode(QPainter::RasterOp_SourceXorDestination);
  painter.fillRect(QRect(0, 0, fontWidth_, 2 * fontHeight_), Qt::white);
}

// --- fonts, size and scrolling ---

bool TCustomComTerminal::CalculateMetrics() {
  const QFontMetrics metrics(font());
  fontHeight_ = std::max(metrics.height(), 1);
  fontWidth_ = std::max(metrics.horizontalAdvance(QLatin1Char('M')), 1);
  fontAscent_ = metrics.ascent();
  return QFontInfo(font()).fixedPitch();
}

void TCustomComTerminal::changeEvent(QEvent* event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() != QEvent::FontChange || adjustingFont_) return;
  adjustingFont_ = true;
  QFont f = font();
  if (!QFontInfo(f).fixedPitch()) f.setFamily(DefaultFont().family());
  f.setUnderline(false);
  if (f != font()) setFont(f);
  adjustingFont_ = false;
  CalculateMetrics();
  updateGeometry();
  UpdateScrollRange();
  viewport()->update();
}

QSize TCustomComTerminal::sizeHint() const {
  const int border = 2 * frameWidth();
  return QSize(columns_ * fontWidth_ + border, rows_ * fontHeight_ + border);
}

void TCustomComTerminal::UpdateScrollRange() {
  if (scrollBars_ == TScrollStyle::ssNone) return;
  const bool h = scrollBars_ != TScrollStyle::ssVertical;
  const bool v = scrollBars_ != TScrollStyle::ssHorizontal;
  // The viewport as if no bar were shown, less the bars that the ranges will show.
  const QSize full = maximumViewportSize();
  int width = full.width();
  int height = full.height();
  int hRange = std::max(columns_ - width / fontWidth_, 0);
  if (h && hRange > 0) height -= horizontalScrollBar()->sizeHint().height();
  const int vRange = std::max(rows_ - std::max(height, 0) / fontHeight_, 0);
  if (v && vRange > 0) {
    width -= verticalScrollBar()->sizeHint().width();
    hRange = std::max(columns_ - std::max(width, 0) / fontWidth_, 0);
  }
  if (h) {
    horizontalScrollBar()->setRange(0, hRange);
    horizontalScrollBar()->setPageStep(std::max(width / fontWidth_, 1));
  }
  if (v) {
    verticalScrollBar()->setRange(0, vRange);
    verticalScrollBar()->setPageStep(std::max(height / fontHeight_, 1));
  }
  UpdateScrollPos();
}

void TCustomComTerminal::UpdateScrollPos() {
  const QPoint old = topLeft_;
  if (scrollBars_ != TScrollStyle::ssVertical && scrollBars_ != TScrollStyle::ssNone) {
    topLeft_.setX(horizontalScrollBar()->value() + 1);
  }
  if (scrollBars_ != TScrollStyle::ssHorizontal && scrollBars_ != TScrollStyle::ssNone) {
    topLeft_.setY(verticalScrollBar()->value() + 1);
  }
  if (topLeft_ != old) viewport()->update();
}

void TCustomComTerminal::scrollContentsBy(int /*dx*/, int /*dy*/) {
  UpdateScrollPos();
}

void TCustomComTerminal::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  UpdateScrollRange();
}

// --- screen operations ---

void TCustomComTerminal::ClearScreen() {
  buffer_.Init();
  MoveCaret(1, 1);
  viewport()->update();
}

void TCustomComTerminal::LoadFromStream(cls::TStream& stream) {
  const Update update(*this);
  char ch = 0;
  while (stream.Position() < stream.Size() && stream.Read(&ch, 1) == 1) PutChar(ch);
}

void TCustomComTerminal::SaveToStream(cls::TStream& stream) {
  const int32_t last = buffer_.GetLastLine();
  std::string text;
  for (int32_t y = 1; y <= last; ++y) {
    if (y > 1) text += "\r\n";
    const int32_t length = buffer_.GetLineLength(y);
    for (int32_t x = 1; x <= length; ++x) {
      const char ch = buffer_.GetChar(x, y).Ch;
      text += ch != 0 ? ch : ' ';
    }
  }
  if (!text.empty()) stream.Write(text.data(), static_cast<int32_t>(text.size()));
}

void TCustomComTerminal::SelectFont() {
  bool ok = false;
  const QFont chosen =
      QFontDialog::getFont(&ok, font(), this, QString(), QFontDialog::MonospacedFonts);
  if (ok) setFont(chosen);
}

void TCustomComTerminal::ShowSetupDialog() {
  EditComTerminal(*this);
}

}  // namespace comport
