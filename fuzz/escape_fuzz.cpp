// Feeds the bytes a terminal's peer may send to both escape-code parsers, the way a received
// block reaches them, and drives a terminal buffer with the parameters they yield, unclamped.
// Checks:
//  - a sequence keeps at most kMaxEscapeData characters and kMaxEscapeParams parameters;
//  - every parameter reads as 0..kMaxEscapeParam;
//  - the buffer never reaches outside its cells whatever the coordinates (AddressSanitizer
//    reports any access beyond them), and a cell written inside reads back;
//  - a known code turns back into a sequence the parser of its own kind reads as that code.
// Any mismatch aborts, so the fuzzer reports it as a crash.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "comport/CPortEsc.h"
#include "comport/CPortTermBuffer.h"

namespace {

using namespace comport;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "escape_fuzz: %s\n", what);
  std::abort();
}

// A terminal whose size the input chooses (0 included: the buffer takes at least 1).
class Owner final : public TComTermBufferOwner {
 public:
  Owner(int32_t columns, int32_t rows) : columns_(columns), rows_(rows) {}
  int32_t Columns() const override { return columns_; }
  int32_t Rows() const override { return rows_; }
  void BufferScrolled(int32_t) override {}
  void InvalidatePortion(const TCellRect&) override {}

 private:
  int32_t columns_, rows_;
};

void Drive(TComTermBuffer& buffer, const TEscapeCodes& parser) {
  const TEscapeParams& params = parser.Params();
  const int32_t a = TEscapeCodes::GetParam(1, &params);
  const int32_t b = TEscapeCodes::GetParam(2, &params);
  // Raw, and moved to 0 and negative values, as a careless caret computation would.
  for (const int32_t x : {a, b, a - b, b - a, 0}) {
    for (const int32_t y : {b, a, 1 - a}) {
      const TComTermChar cell{static_cast<char>('A' + (x & 7)), 0x00FFFFFF, 0, (y & 1) != 0};
      buffer.SetChar(x, y, cell);
      const bool inside = x >= 1 && x <= buffer.Columns() && y >= 1 && y <= buffer.Rows();
      if (inside && !(buffer.GetChar(x, y) == cell)) Fail("cell did not read back");
      if (!inside && !(buffer.GetChar(x, y) == TComTermChar{})) Fail("a cell outside read back");
      buffer.SetTab(x, (x & 1) != 0);
      (void)buffer.NextTab(x);
      (void)buffer.GetLineLength(y);
    }
  }
  switch (parser.Code()) {
    case TEscapeCode::ecEraseLineFrom: buffer.EraseLine(a, b); break;
    case TEscapeCode::ecEraseScreenFrom: buffer.EraseScreen(a, b); break;
    case TEscapeCode::ecReverseLineFeed: buffer.ScrollDown(); break;
    case TEscapeCode::ecCursorDown: buffer.ScrollUp(); break;
    case TEscapeCode::ecClearAllTabs: buffer.ClearAllTabs(); break;
    default: break;
  }
  (void)buffer.GetLastLine();
}

void Check(TEscapeCodes& parser, TEscapeCodes& reader, TComTermBuffer& buffer,
           const uint8_t* data, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (parser.ProcessChar(static_cast<char>(data[i])) != TEscapeResult::erCode) continue;
    const TEscapeParams& params = parser.Params();
    if (parser.Data().size() > kMaxEscapeData) Fail("sequence kept beyond its cap");
    if (params.size() > kMaxEscapeParams) Fail("parameters beyond their cap");
    for (int32_t n = 1; n <= static_cast<int32_t>(params.size()) + 1; ++n) {
      const int32_t p = TEscapeCodes::GetParam(n, &params);
      if (p < 0 || p > kMaxEscapeParam) Fail("parameter outside its range");
    }
    Drive(buffer, parser);
    const TEscapeCode code = parser.Code();
    const std::string sent = parser.EscCodeToStr(code, &params);
    if (code != TEscapeCode::ecUnknown && !sent.empty()) {
      TEscapeResult last = TEscapeResult::erNothing;
      for (const char ch : sent) last = reader.ProcessChar(ch);
      if (last != TEscapeResult::erCode || reader.Code() != code) Fail("code did not read back");
      reader.Params().clear();
    }
    parser.Params().clear();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  Owner owner(data[0] % 140, data[1] % 30);
  TComTermBuffer buffer(&owner);
  buffer.Init();
  TEscapeCodesVT100 vt100, vt100Reader;
  TEscapeCodesVT52 vt52, vt52Reader;
  Check(vt100, vt100Reader, buffer, data + 2, size - 2);
  Check(vt52, vt52Reader, buffer, data + 2, size - 2);
  return 0;
}
