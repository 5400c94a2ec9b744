// The terminal's escape-code parsers: `TEscapeCodes` and its two kinds, `TEscapeCodesVT52` and
// `TEscapeCodesVT100`. A parser turns received characters one at a time into plain characters
// and escape codes, and turns an escape code back into the characters a terminal of its kind
// sends.
//
// Received bytes are untrusted. The parsers follow the DEC grammar of the sequences they know:
// a control character (0x00..0x1F) inside a sequence acts at once and the sequence goes on, ESC
// starts the sequence again, CAN and SUB abandon it, DEL is ignored, and a control sequence
// (ESC [) ends at its final byte (0x40..0x7E), not only at a letter. A sequence longer than
// kMaxEscapeData characters or with more than kMaxEscapeParams parameters ends as ecUnknown at
// its final byte; a parameter reads as at most kMaxEscapeParam.
//
// Not thread-safe: a parser belongs to the thread that feeds it (the terminal's window thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace comport {

enum class TEscapeCode : uint8_t {
  ecUnknown, ecNotCompleted, ecCursorUp, ecCursorDown, ecCursorLeft, ecCursorRight,
  ecCursorHome, ecCursorMove, ecReverseLineFeed, ecAppCursorLeft, ecAppCursorRight,
  ecAppCursorUp, ecAppCursorDown, ecEraseLineFrom, ecEraseScreenFrom, ecEraseLine,
  ecEraseScreen, ecSetTab, ecClearTab, ecClearAllTabs, ecIdentify, ecIdentResponse,
  ecQueryDevice, ecReportDeviceOK, ecReportDeviceFailure, ecQueryCursorPos, ecReportCursorPos,
  ecAttributes, ecSetMode, ecResetMode, ecReset, ecSaveCaretAndAttr, ecRestoreCaretAndAttr,
  ecSaveCaret, ecRestoreCaret, ecTest
};

enum class TEscapeResult : uint8_t {
  erChar,    // a character is ready in Character()
  erCode,    // a sequence ended: Code(), Params(), Data()
  erNothing  // the character was taken into an unfinished sequence
};

// Parameters as decimal text, parameter 1 first (a DEC private parameter keeps its "?").
using TEscapeParams = std::vector<std::string>;

// Characters of one sequence kept in Data (ESC not counted); the rest up to the final byte is
// consumed and the sequence is unknown.
inline constexpr size_t kMaxEscapeData = 64;
// Parameters of one control sequence; more make the sequence unknown.
inline constexpr size_t kMaxEscapeParams = 16;
// The largest value a parameter reads as; larger numbers saturate.
inline constexpr int32_t kMaxEscapeParam = 9999;

class TEscapeCodes {
 public:
  TEscapeCodes() = default;
  virtual ~TEscapeCodes() = default;
  TEscapeCodes(const TEscapeCodes&) = delete;
  TEscapeCodes& operator=(const TEscapeCodes&) = delete;

  // Consumes one character. Never clears Params: the caller does after handling an erCode.
  virtual TEscapeResult ProcessChar(char ch) = 0;
  // The characters a terminal of this kind sends for `code`, parameters from `params` (may be
  // null); "" for a code the kind lacks.
  virtual std::string EscCodeToStr(TEscapeCode code, const TEscapeParams* params) const = 0;

  // Parameter `num` (1-based) as a number: 1 when the list is null or shorter, or the item is
  // not a decimal number (an empty item included); at most kMaxEscapeParam.
  static int32_t GetParam(int32_t num, const TEscapeParams* params);

  char Character() const { return character_; }
  TEscapeCode Code() const { return code_; }
  // The characters received after ESC in the current or last sequence (at most kMaxEscapeData).
  const std::string& Data() const { return data_; }
  TEscapeParams& Params() { return params_; }
  const TEscapeParams& Params() const { return params_; }
  bool InSequence() const { return inSequence_; }

 protected:
  // The common grammar: outside a sequence, ESC, CAN/SUB, C0 controls, DEL and the length cap.
  // Every other character of a sequence is appended to Data (while there is room) and Detect
  // is asked for the code; `overflow` tells it that Data was cut short.
  TEscapeResult Feed(char ch);
  virtual TEscapeCode Detect(uint8_t last, bool overflow) = 0;
  // Called when a sequence starts or ends (the VT100 kind leaves its control sequence).
  virtual void ResetSequence() {}

  std::string data_;
  TEscapeParams params_;

 private:
  char character_ = 0;
  TEscapeCode code_ = TEscapeCode::ecUnknown;
  bool inSequence_ = false;
  bool overflow_ = false;
};

class TEscapeCodesVT52 final : public TEscapeCodes {
 public:
  TEscapeResult ProcessChar(char ch) override { return Feed(ch); }
  std::string EscCodeToStr(TEscapeCode code, const TEscapeParams* params) const override;

 protected:
  TEscapeCode Detect(uint8_t last, bool overflow) override;
};

class TEscapeCodesVT100 final : public TEscapeCodes {
 public:
  TEscapeResult ProcessChar(char ch) override { return Feed(ch); }
  std::string EscCodeToStr(TEscapeCode code, const TEscapeParams* params) const override;
  bool InExtSequence() const { return inExtSequence_; }

 protected:
  TEscapeCode Detect(uint8_t last, bool overflow) override;
  void ResetSequence() override { inExtSequence_ = false; }

 private:
  TEscapeCode DetectCode(uint8_t last) const;
  TEscapeCode DetectExtCode(uint8_t last, bool overflow);
  bool inExtSequence_ = false;
};

}  // namespace comport
