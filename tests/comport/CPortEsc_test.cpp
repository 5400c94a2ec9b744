#include "comport/CPortEsc.h"

#include <gtest/gtest.h>

namespace comport {
namespace {

using EC = TEscapeCode;
using ER = TEscapeResult;

// Feeds `text` and returns the results in order, the erNothing ones left out; characters as
// "c:<ch>", codes as "code:<ordinal>".
std::vector<std::string> Feed(TEscapeCodes& parser, const std::string& text) {
  std::vector<std::string> out;
  for (char ch : text) {
    switch (parser.ProcessChar(ch)) {
      case ER::erChar: out.push_back(std::string("c:") + parser.Character()); break;
      case ER::erCode: out.push_back("code:" + std::to_string(static_cast<int>(parser.Code()))); break;
      case ER::erNothing: break;
    }
  }
  return out;
}

std::string Code(EC code) {
  return "code:" + std::to_string(static_cast<int>(code));
}

// Feeds one whole sequence (ESC added) and returns its code; fails unless it ended exactly at
// its last character.
EC Sequence(TEscapeCodes& parser, const std::string& afterEsc) {
  parser.Params().clear();
  EXPECT_EQ(parser.ProcessChar('\033'), ER::erNothing);
  for (size_t i = 0; i + 1 < afterEsc.size(); ++i) {
    EXPECT_EQ(parser.ProcessChar(afterEsc[i]), ER::erNothing) << afterEsc << " at " << i;
  }
  EXPECT_EQ(parser.ProcessChar(afterEsc.back()), ER::erCode) << afterEsc;
  return parser.Code();
}

TEST(EscapeCodesVT100, ControlSequencesGiveTheirCodesAndParameters) {
  TEscapeCodesVT100 p;
  EXPECT_EQ(Sequence(p, "[10;20H"), EC::ecCursorHome);
  EXPECT_EQ(p.Params(), (TEscapeParams{"10", "20"}));
  EXPECT_EQ(Sequence(p, "[H"), EC::ecCursorHome);
  EXPECT_TRUE(p.Params().empty());
  EXPECT_EQ(TEscapeCodes::GetParam(1, &p.Params()), 1);
  EXPECT_EQ(Sequence(p, "[2J"), EC::ecEraseScreen);
  EXPECT_TRUE(p.Params().empty());
  EXPECT_EQ(Sequence(p, "[1J"), EC::ecUnknown);
  EXPECT_EQ(Sequence(p, "[J"), EC::ecEraseScreenFrom);
  EXPECT_EQ(Sequence(p, "[2K"), EC::ecEraseLine);
  EXPECT_EQ(Sequence(p, "[3g"), EC::ecClearAllTabs);
  EXPECT_EQ(Sequence(p, "[6n"), EC::ecQueryCursorPos);
  EXPECT_EQ(Sequence(p, "[n"), EC::ecUnknown);
  EXPECT_EQ(Sequence(p, "[?1;2c"), EC::ecIdentResponse);
  EXPECT_EQ(Sequence(p, "[0c"), EC::ecIdentify);
  EXPECT_EQ(Sequence(p, "[c"), EC::ecIdentify);
  EXPECT_EQ(Sequence(p, "[?3h"), EC::ecSetMode);
  EXPECT_EQ(p.Params(), (TEscapeParams{"?3"}));
}

TEST(EscapeCodesVT100, SelectorsCompareWholeNumbers) {
  TEscapeCodesVT100 p;
  EXPECT_EQ(Sequence(p, "[25J"), EC::ecUnknown);
  EXPECT_EQ(Sequence(p, "[02J"), EC::ecEraseScreen);
  EXPECT_EQ(Sequence(p, "[33g"), EC::ecUnknown);
  EXPECT_EQ(Sequence(p, "[66n"), EC::ecUnknown);
  EXPECT_EQ(Sequence(p, "[00c"), EC::ecIdentify);
  EXPECT_EQ(Sequence(p, "[?12;2c"), EC::ecUnknown);
}

TEST(EscapeCodesVT100, AnEmptyParameterReadsAsTheDefaultWithoutShiftingTheNext) {
  TEscapeCodesVT100 p;
  EXPECT_EQ(Sequence(p, "[1;;5H"), EC::ecCursorHome);
  EXPECT_EQ(TEscapeCodes::GetParam(1, &p.Params()), 1);
  EXPECT_EQ(TEscapeCodes::GetParam(2, &p.Params()), 1);
  EXPECT_EQ(TEscapeCodes::GetParam(3, &p.Params()), 5);
  Sequence(p, "[;5H");
  EXPECT_EQ(TEscapeCodes::GetParam(1, &p.Params()), 1);
  EXPECT_EQ(TEscapeCodes::GetParam(2, &p.Params()), 5);
  Sequence(p, "[99999999999999;7H");
  EXPECT_EQ(TEscapeCodes::GetParam(1, &p.Params()), kMaxEscapeParam);
  EXPECT_EQ(TEscapeCodes::GetParam(2, &p.Params()), 7);
  EXPECT_EQ(TEscapeCodes::GetParam(3, &p.Params()), 1);
  EXPECT_EQ(TEscapeCodes::GetParam(1, nullptr), 1);
}

TEST(EscapeCodesVT100, DigitsWithoutAFinalByteStayUnfinished) {
  TEscapeCodesVT100 p;
  EXPECT_TRUE(Feed(p, "\033[1234;5678;90").empty());
  EXPECT_TRUE(p.InSequence());
  EXPECT_EQ(Feed(p, "m"), std::vector<std::string>{Code(EC::ecAttributes)});
}

TEST(EscapeCodesVT100, FollowsTheDecGrammarForControlsAndFinalBytes) {
  TEscapeCodesVT100 p;
  // A non-letter final byte ends the sequence: the text after it is text.
  EXPECT_EQ(Feed(p, "\033[4@ab"), (std::vector<std::string>{Code(EC::ecUnknown), "c:a", "c:b"}));
  // CR and LF inside a sequence act at once; the sequence goes on.
  EXPECT_EQ(Feed(p, "\033[1\r\n0H"),
            (std::vector<std::string>{"c:\r", "c:\n", Code(EC::ecCursorHome)}));
  EXPECT_EQ(p.Params(), (TEscapeParams{"10"}));
  // ESC restarts, CAN and SUB abandon.
  EXPECT_EQ(Feed(p, "\033[12\033[3A"), std::vector<std::string>{Code(EC::ecCursorUp)});
  EXPECT_EQ(p.Params(), (TEscapeParams{"3"}));
  EXPECT_EQ(Feed(p, "\033[12\x18" "A\033[5\x1a" "B"), (std::vector<std::string>{"c:A", "c:B"}));
  // Character-set selection (an intermediate and a final) is one unknown sequence.
  EXPECT_EQ(Feed(p, "\033(Bx"), (std::vector<std::string>{Code(EC::ecUnknown), "c:x"}));
  EXPECT_EQ(Feed(p, "\033#8"), std::vector<std::string>{Code(EC::ecTest)});
  EXPECT_EQ(Feed(p, "\033OD\0337\033H"),
            (std::vector<std::string>{Code(EC::ecAppCursorLeft), Code(EC::ecSaveCaretAndAttr),
                                      Code(EC::ecSetTab)}));
}

TEST(EscapeCodesVT100, OverlongSequencesEndUnknownAtTheirFinalByte) {
  TEscapeCodesVT100 p;
  const std::string longParams(3 * kMaxEscapeData, '1');
  EXPECT_EQ(Feed(p, "\033[" + longParams + "Hz"),
            (std::vector<std::string>{Code(EC::ecUnknown), "c:z"}));
  EXPECT_EQ(p.Data().size(), kMaxEscapeData);
  std::string many;
  for (size_t i = 0; i <= kMaxEscapeParams; ++i) many += "1;";
  EXPECT_EQ(Feed(p, "\033[" + many + "m"), std::vector<std::string>{Code(EC::ecUnknown)});
  EXPECT_EQ(Feed(p, "\033" + std::string(100, '(') + "B"), std::vector<std::string>{Code(EC::ecUnknown)});
}

TEST(EscapeCodesVT100, ReplyStrings) {
  TEscapeCodesVT100 p;
  const TEscapeParams pos{"5", "10"};
  EXPECT_EQ(p.EscCodeToStr(EC::ecReportCursorPos, &pos), "\033[5;10R");
  EXPECT_EQ(p.EscCodeToStr(EC::ecCursorMove, &pos), "\033[5;10f");
  const TEscapeParams two{"2"};
  EXPECT_EQ(p.EscCodeToStr(EC::ecIdentResponse, &two), "\033[?1;2c");
  EXPECT_EQ(p.EscCodeToStr(EC::ecAttributes, &pos), "\033[m");
  EXPECT_EQ(p.EscCodeToStr(EC::ecAppCursorUp, nullptr), "\033OA");
  EXPECT_EQ(p.EscCodeToStr(EC::ecUnknown, nullptr), "");
}

TEST(EscapeCodesVT52, SequencesAndTheirStrings) {
  TEscapeCodesVT52 p;
  EXPECT_EQ(Sequence(p, std::string("Y") + char(32 + 4) + char(32 + 9)), EC::ecCursorMove);
  EXPECT_EQ(TEscapeCodes::GetParam(1, &p.Params()), 5);
  EXPECT_EQ(TEscapeCodes::GetParam(2, &p.Params()), 10);
  const TEscapeParams pos{"5", "10"};
  EXPECT_EQ(p.EscCodeToStr(EC::ecCursorMove, &pos), std::string("\033Y") + char(36) + char(41));
  EXPECT_EQ(Sequence(p, "/X"), EC::ecUnknown);
  EXPECT_EQ(Sequence(p, "/Z"), EC::ecIdentResponse);
  EXPECT_EQ(Sequence(p, "Q"), EC::ecUnknown);
  EXPECT_EQ(Sequence(p, "I"), EC::ecReverseLineFeed);
  EXPECT_EQ(p.EscCodeToStr(EC::ecEraseLine, nullptr), "");
  EXPECT_EQ(p.EscCodeToStr(EC::ecIdentResponse, nullptr), "\033/Z");
}

TEST(EscapeCodesVT52, PlainCharactersPassAndEscNeverDoes) {
  TEscapeCodesVT52 p;
  EXPECT_EQ(Feed(p, "a\033Ab\xe9"),
            (std::vector<std::string>{"c:a", Code(EC::ecCursorUp), "c:b", "c:\xe9"}));
}

}  // namespace
}  // namespace comport
