// Throughput of the terminal's receive side: bytes per second through the VT100 escape-code
// parser alone and through the terminal's received-data path (parser, caret, buffer; the
// terminal is not shown, so nothing is painted), for plain text lines and for text dense with
// escape codes (a cursor move, attributes or an erase every few characters). A serial line
// carries at most a few hundred kB/s; the goal is above 20 MB/s.
#include <benchmark/benchmark.h>

#include <string>

#include "comport/CPortEsc.h"
#ifdef DRAL_BENCH_TERMINAL
#include <QApplication>

#include "comport/CPortCtlTerm.h"
#endif

namespace {

using comport::TEscapeCodesVT100;
using comport::TEscapeResult;

constexpr size_t kStreamBytes = 1 << 20;

// Lines of printable text ended by CR LF.
std::string PlainText() {
  std::string s;
  const std::string line = "The quick brown fox jumps over the lazy dog 0123456789 abcdefghij\r\n";
  while (s.size() < kStreamBytes) s += line;
  return s;
}

// About one escape code per six characters: moves, attributes, erases, reports.
std::string EscapeDenseText() {
  std::string s;
  int i = 0;
  while (s.size() < kStreamBytes) {
    const int row = 1 + i % 24;
    const int col = 1 + (i * 7) % 80;
    s += "\033[" + std::to_string(row) + ";" + std::to_string(col) + "H";
    s += (i % 3 == 0) ? "\033[1;4m" : (i % 3 == 1 ? "\033[7m" : "\033[m");
    s += "ab";
    if (i % 5 == 0) s += "\033[K";
    if (i % 11 == 0) s += "\0337\033[2A\0338";
    s += "\r\n";
    ++i;
  }
  return s;
}

void ParseAll(benchmark::State& state, const std::string& text) {
  TEscapeCodesVT100 parser;
  for (auto _ : state) {
    size_t codes = 0;
    for (char ch : text) {
      if (parser.ProcessChar(ch) == TEscapeResult::erCode) {
        ++codes;
        parser.Params().clear();
      }
    }
    benchmark::DoNotOptimize(codes);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_ParserPlainText(benchmark::State& state) {
  ParseAll(state, PlainText());
}
void BM_ParserEscapeDense(benchmark::State& state) {
  ParseAll(state, EscapeDenseText());
}
BENCHMARK(BM_ParserPlainText);
BENCHMARK(BM_ParserEscapeDense);

#ifdef DRAL_BENCH_TERMINAL
// The terminal with its link's received-data handler opened.
class Terminal : public comport::TComTerminal {
 public:
  using TCustomComTerminal::RxBuf;
};

void ReceiveAll(benchmark::State& state, const std::string& text) {
  Terminal terminal;  // never shown: the received-data path without painting
  terminal.SetWrapLines(true);
  for (auto _ : state) {
    terminal.RxBuf(nullptr, text.data(), static_cast<int32_t>(text.size()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void BM_TerminalPlainText(benchmark::State& state) {
  ReceiveAll(state, PlainText());
}
void BM_TerminalEscapeDense(benchmark::State& state) {
  ReceiveAll(state, EscapeDenseText());
}
BENCHMARK(BM_TerminalPlainText);
BENCHMARK(BM_TerminalEscapeDense);
#endif

}  // namespace

int main(int argc, char** argv) {
#ifdef DRAL_BENCH_TERMINAL
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
#endif
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
