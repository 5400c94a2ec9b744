// The terminal control: `TCustomComTerminal` (published as `TComTerminal`), a character-cell
// terminal on Qt Widgets that shows what a serial port receives and sends what the user types.
//
// It listens to its port through a `TComLink` whose received-data handler is `RxBuf`, keeps its
// cells in a `TComTermBuffer` and decodes escape sequences with a `TEscapeCodes` parser (VT100,
// VT52, none, or one supplied by OnGetEscapeCodes).
//
// Received bytes are untrusted: every caret move is clamped to the screen, a size change homes
// the caret, and painting reads only cells inside the buffer.
//
// Threads: the terminal is a widget and belongs to the thread that runs its window (the main
// thread); every member runs there. The one exception is the link's received-data handler: a
// port dispatching with smNone calls it on its event thread, and it then hands a copy of the
// bytes to the window's thread (smThreadSync and smWindowSync deliver there already).
#pragma once

#include <QAbstractScrollArea>
#include <QFont>
#include <QPoint>
#include <QRect>
#include <cstdint>
#include <memory>
#include <string>

#include "classlib/Closure.h"
#include "comport/CPort.h"
#include "comport/CPortEsc.h"
#include "comport/CPortTermBuffer.h"

namespace cls {
class TStream;
}

namespace comport {

enum class TArrowKeys : uint8_t { akTerminal, akWindows };
enum class TTermEmulation : uint8_t { teVT100orANSI, teVT52, teNone };
enum class TTermCaret : uint8_t { tcBlock, tcUnderline, tcNone };
enum class TAdvanceCaret : uint8_t { acChar, acReturn, acLineFeed, acReverseLineFeed, acTab, acBackspace };
enum class TBorderStyle : uint8_t { bsNone, bsSingle };
enum class TScrollStyle : uint8_t { ssNone, ssHorizontal, ssVertical, ssBoth };

// The attributes of the characters the terminal writes.
struct TTermAttributes {
  bool Inverse = false;
  bool Bold = false;
  bool Underline = false;
};

inline constexpr int32_t kMinTermColumns = 2;
inline constexpr int32_t kMaxTermColumns = 256;
inline constexpr int32_t kMinTermRows = 2;
inline constexpr int32_t kMaxTermRows = 100;

// The unit's default font: "Fixedsys" 9 where the system has it as a fixed-pitch font, else the
// system's fixed-pitch font at 9 points. Its colour is white.
QFont DefaultFont();
inline constexpr TColor kDefaultFontColor = 0xFFFFFF;

class TCustomComTerminal : public QAbstractScrollArea,
                           protected TComTermBufferOwner,
                           public TComPortObserver {
 public:
  using TChScreenEvent = cls::Closure<void(TCustomComTerminal* sender, char ch)>;
  // The handler may put a parser into `codes`; the terminal owns it then.
  using TEscapeEvent = cls::Closure<void(TCustomComTerminal* sender, std::unique_ptr<TEscapeCodes>& codes)>;
  using TStrRecvEvent = cls::Closure<void(TCustomComTerminal* sender, std::string& str)>;
  using TUnhandledEvent =
      cls::Closure<void(TCustomComTerminal* sender, TEscapeCode code, const std::string& data)>;

  // A terminal created in code is usable at once: it has its parser and an initialised buffer.
  explicit TCustomComTerminal(QWidget* parent = nullptr);
  // Unregisters from the port.
  ~TCustomComTerminal() override;

  // --- component state (design time and streaming) ---
  // Designing drops the parser (the design-time sample is painted); back at run time the
  // parser of the current emulation is made again.
  void SetDesigning(bool designing);
  bool Designing() const { return designing_; }
  void BeginLoad() { loading_ = true; }
  // End of loading: a new parser and, at run time, an initialised buffer.
  virtual void Loaded();

  // --- properties ---
  TColor AltColor() const { return altColor_; }
  void SetAltColor(TColor value);
  bool AppendLF() const { return appendLF_; }
  void SetAppendLF(bool value) { appendLF_ = value; }
  TArrowKeys ArrowKeys() const { return arrowKeys_; }
  void SetArrowKeys(TArrowKeys value) { arrowKeys_ = value; }
  TBorderStyle BorderStyle() const { return borderStyle_; }
  void SetBorderStyle(TBorderStyle value);
  // The background, and the text colour of inverse characters.
  TColor Color() const { return color_; }
  void SetColor(TColor value);
  // The font's colour: the text colour of normal characters.
  TColor FontColor() const { return fontColor_; }
  void SetFontColor(TColor value);
  int32_t Columns() const override { return columns_; }
  void SetColumns(int32_t value);
  int32_t Rows() const override { return rows_; }
  void SetRows(int32_t value);
  TCustomComPort* ComPort() const { return comPort_; }
  // Unregisters the link from the old port and registers it with the new one (null: none),
  // asking the new one for a removal notice.
  void SetComPort(TCustomComPort* port);
  // The bound port is going away: the terminal lets go of it (ComPort becomes null).
  void Notification(TCustomComPort* removed) override;
  bool Connected() const;
  void SetConnected(bool value);
  TTermEmulation Emulation() const { return emulation_; }
  void SetEmulation(TTermEmulation value);
  TTermCaret Caret() const { return caret_; }
  void SetCaret(TTermCaret value);
  // Received data is cut to 7 bits (the high bit cleared) before anything else sees it.
  bool Force7Bit() const { return force7Bit_; }
  void SetForce7Bit(bool value) { force7Bit_ = value; }
  bool LocalEcho() const { return localEcho_; }
  void SetLocalEcho(bool value) { localEcho_ = value; }
  TScrollStyle ScrollBars() const { return scrollBars_; }
  void SetScrollBars(TScrollStyle value);
  bool SendLF() const { return sendLF_; }
  void SetSendLF(bool value) { sendLF_ = value; }
  bool SmoothScroll() const { return smoothScroll_; }
  void SetSmoothScroll(bool value);
  bool WantTab() const { return wantTab_; }
  void SetWantTab(bool value) { wantTab_ = value; }
  bool WrapLines() const { return wrapLines_; }
  void SetWrapLines(bool value) { wrapLines_ = value; }

  TChScreenEvent OnChar;
  TEscapeEvent OnGetEscapeCodes;
  TStrRecvEvent OnStrRecieved;
  TUnhandledEvent OnUnhandledCode;

  // --- state for callers and tests ---
  QPoint CaretPos() const { return caretPos_; }
  QPoint TopLeft() const { return topLeft_; }
  TTermAttributes Attributes() const { return attr_; }
  bool AppCursorKeys() const { return appCursorKeys_; }
  bool CaretCreated() const { return caretCreated_; }
  int32_t FontWidth() const { return fontWidth_; }
  int32_t FontHeight() const { return fontHeight_; }
  const TComTermBuffer& Buffer() const { return buffer_; }
  TEscapeCodes* EscapeCodes() const { return escapeCodes_.get(); }

  // --- operations ---
  // Empties the screen, caret to (1, 1), repaints.
  void ClearScreen();
  // Clamps to the screen and places the caret.
  void MoveCaret(int32_t x, int32_t y);
  // Shows the bytes as if received (decoded by the parser when there is one).
  void Write(const void* buffer, int32_t count);
  void WriteStr(const std::string& str);
  // Performs `code` on the screen (when there is a parser).
  void WriteEscCode(TEscapeCode code, TEscapeParams* params);
  // Puts the bytes from the stream's position to its end on the screen, undecoded.
  void LoadFromStream(cls::TStream& stream);
  // The screen's text: each row up to its last character (inner empty cells as blanks), rows
  // separated by CR LF; nothing for an empty screen.
  void SaveToStream(cls::TStream& stream);
  // A font dialog restricted to fixed-pitch fonts; OK assigns the font.
  void SelectFont();
  // The terminal setup dialog (EditComTerminal).
  void ShowSetupDialog();

  QSize sizeHint() const override;

 protected:
  // --- hooks ---
  virtual void DoChar(char ch);
  virtual void DoGetEscapeCodes(std::unique_ptr<TEscapeCodes>& codes);
  virtual void DoStrRecieved(std::string& str);
  virtual void DoUnhandledCode(TEscapeCode code, const std::string& codeData);

  // --- the terminal's steps ---
  void PutChar(char ch);
  // True when the code was performed; `params` may be null (codes with a reply then use a
  // list of their own).
  bool PutEscapeCode(TEscapeCode code, TEscapeParams* params);
  void AdvanceCaret(TAdvanceCaret kind);
  void SendChar(char ch);
  void SendCode(TEscapeCode code, TEscapeParams* params);
  void SendCodeNoEcho(TEscapeCode code, TEscapeParams* params);
  void StringReceived(std::string& str);
  // The link's received-data handler; any thread (see above).
  void RxBuf(TCustomComPort* sender, const void* buffer, int32_t count);
  TComTermChar GetCharAttr() const;
  void SetAttributes(const TEscapeParams* params);
  void SetMode(const TEscapeParams* params, bool on);
  void PerformTest(char ch);
  void SaveCaretPos() { savedCaretPos_ = caretPos_; }
  void RestoreCaretPos() { MoveCaret(savedCaretPos_.x(), savedCaretPos_.y()); }
  void SaveAttr() { savedAttr_ = attr_; }
  void RestoreAttr() { attr_ = savedAttr_; }
  void CreateEscapeCodes();
  // Reads the font's cell size; true when the font is fixed-pitch.
  bool CalculateMetrics();
  void CreateTerminalCaret();
  void DestroyTerminalCaret();
  void InitCaret();
  void HideCaret();
  void ShowCaret();
  void UpdateScrollRange();
  void UpdateScrollPos();

  // --- buffer owner ---
  void BufferScrolled(int32_t dy) override;
  void InvalidatePortion(const TCellRect& cells) override;

  // --- window ---
  void paintEvent(QPaintEvent* event) override;
  void PaintTerminal(QPainter& painter, TCellRect rect);
  void DrawChar(QPainter& painter, int32_t c, int32_t r, const TComTermChar& cell);
  void PaintDesign(QPainter& painter);
  void keyPressEvent(QKeyEvent* event) override;
  bool focusNextPrevChild(bool next) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  void changeEvent(QEvent* event) override;

  // The class library's KeyDown and KeyPress of the terminal.
  void KeyDown(int key);
  void KeyPress(char key);

 private:
  // Hides the caret for a scope and repaints what changed meanwhile when it ends.
  class Update;
  void ApplyFrame();
  void ApplyScrollBars();
  // Repaints the window cells that the pending changes touched.
  void Flush();
  QRect CaretRect() const;
  void SetSize(int32_t* field, int32_t value, int32_t low, int32_t high);

  TComLink link_;
  TComTermBuffer buffer_;
  std::unique_ptr<TEscapeCodes> escapeCodes_;
  TCustomComPort* comPort_ = nullptr;  // not owned

  int32_t fontHeight_ = 1;
  int32_t fontWidth_ = 1;
  int32_t fontAscent_ = 0;
  QPoint caretPos_{1, 1};
  QPoint savedCaretPos_{1, 1};
  QPoint topLeft_{1, 1};
  bool caretCreated_ = false;
  int32_t caretHeight_ = 0;
  int32_t caretHidden_ = 0;  // HideCaret calls not yet undone by ShowCaret
  TTermAttributes attr_;
  TTermAttributes savedAttr_;
  bool appCursorKeys_ = false;
  QRect dirty_;  // pixels to repaint at the next Flush
  bool adjustingFont_ = false;

  TColor altColor_ = 0xA6A6A6;
  TColor color_ = 0x000000;
  TColor fontColor_ = kDefaultFontColor;
  bool appendLF_ = false;
  TArrowKeys arrowKeys_ = TArrowKeys::akTerminal;
  TBorderStyle borderStyle_ = TBorderStyle::bsSingle;
  int32_t columns_ = 80;
  int32_t rows_ = 24;
  TTermEmulation emulation_ = TTermEmulation::teVT100orANSI;
  TTermCaret caret_ = TTermCaret::tcBlock;
  bool force7Bit_ = false;
  bool localEcho_ = false;
  TScrollStyle scrollBars_ = TScrollStyle::ssBoth;
  bool sendLF_ = false;
  bool smoothScroll_ = false;
  bool wantTab_ = false;
  bool wrapLines_ = false;
  bool designing_ = false;
  bool loading_ = false;
};

// Publishes the properties; nothing of its own.
class TComTerminal : public TCustomComTerminal {
 public:
  using TCustomComTerminal::TCustomComTerminal;
};

}  // namespace comport
