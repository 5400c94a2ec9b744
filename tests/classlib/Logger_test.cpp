#include "classlib/Logger.h"

#include <fstream>
#include <cctype>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport/test_env.h"

namespace cls {
namespace {

// "yyyy/mm/dd hh:nn:ss.zzz " with '#' for a digit. (std::regex trips a false warning of
// g++ 12 in the sanitizer builds.)
constexpr std::string_view kStampPattern = "####/##/## ##:##:##.### ";

bool HasStamp(const std::string& line) {
  if (line.size() < kStampPattern.size()) return false;
  for (size_t i = 0; i < kStampPattern.size(); ++i) {
    const bool ok = kStampPattern[i] == '#' ? std::isdigit(static_cast<unsigned char>(line[i])) != 0
                                            : line[i] == kStampPattern[i];
    if (!ok) return false;
  }
  return true;
}

class LoggerTest : public dral_test::IsolatedTest {
 protected:
  std::string File(const std::string& name) const { return env_.TempDir() + "/" + name; }

  // The text of each line behind its time stamp; a line without a proper stamp fails.
  static std::vector<std::string> Texts(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    const std::string content = all.str();
    EXPECT_TRUE(content.empty() || content.back() == '\n') << "last line not ended";
    std::vector<std::string> texts;
    std::istringstream lines(content);
    for (std::string line; std::getline(lines, line);) {
      EXPECT_TRUE(HasStamp(line)) << "line '" << line << "'";
      texts.push_back(HasStamp(line) ? line.substr(kStampPattern.size()) : "");
    }
    return texts;
  }
};

TEST_F(LoggerTest, EachCallAppendsOneTimeStampedLine) {
  const std::string file = File("DRALLog.txt");
  EXPECT_TRUE(AppendLog("first line", file));
  EXPECT_TRUE(AppendLog("", file));
  EXPECT_TRUE(AppendLog("third", file));
  EXPECT_EQ(Texts(file), (std::vector<std::string>{"first line", "", "third"}));
}

TEST_F(LoggerTest, HexDumpShowsDirectionLengthAndEveryByte) {
  const std::string file = File("DralUsbLog.txt");
  const uint8_t three[] = {0x01, 0xA0, 0xFF};
  EXPECT_TRUE(LogHexDump(three, 3, true, file));
  EXPECT_TRUE(LogHexDump(nullptr, 0, false, file));
  std::vector<uint8_t> many(0x1A3);
  for (size_t i = 0; i < many.size(); ++i) many[i] = static_cast<uint8_t>(i);
  EXPECT_TRUE(LogHexDump(many.data(), static_cast<uint32_t>(many.size()), false, file));

  const auto texts = Texts(file);
  ASSERT_EQ(texts.size(), 3u);
  EXPECT_EQ(texts[0], "R 03 | 01 A0 FF ");
  EXPECT_EQ(texts[1], "T 00 | ");
  std::string expected = "T 1A3 | ";
  const char* hex = "0123456789ABCDEF";
  for (uint8_t b : many) expected += std::string{hex[b >> 4], hex[b & 0xF], ' '};
  EXPECT_EQ(texts[2], expected);
}

TEST_F(LoggerTest, AnUnwritableFileMakesTheWritersReturnFalse) {
  const std::string file = File("missing/DRALLog.txt");
  const uint8_t one[] = {0x7E};
  EXPECT_FALSE(AppendLog("lost", file));
  EXPECT_FALSE(LogHexDump(one, 1, true, file));
  EXPECT_FALSE(LogHexDump(nullptr, 4, true, File("DRALLog.txt")));
  EXPECT_FALSE(std::ifstream(File("DRALLog.txt")).good()) << "a refused dump was written";
}

}  // namespace
}  // namespace cls
