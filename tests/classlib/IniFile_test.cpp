#include "classlib/IniFile.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "testsupport/test_env.h"
#include "testsupport/test_util.h"

namespace cls {
namespace {

using dral_test::ReadFile;
using dral_test::WriteFile;

class TIniFileTest : public dral_test::IsolatedTest {
 protected:
  std::string path_ = env_.TempDir() + "/settings.ini";
  TIniFile ini_{path_};
};

TEST_F(TIniFileTest, WritesChangeOneLineAndKeepTheRestOfTheFile) {
  WriteFile(path_,
            "; settings of the lab\n"
            "[Other]\n"
            "Port=COM9\n"
            "\n"
            "[ComPort1]\n"
            "baudrate = 9600   \n"
            "Unknown line\n"
            "\n"
            "[Last]\n"
            "X=1\n");
  ini_.WriteString("COMPORT1", "BaudRate", "19200");  // names compare without case
  ini_.WriteString("ComPort1", "StopBits", "1");
  ini_.WriteInteger("New", "Count", -5);
  EXPECT_EQ(ReadFile(path_),
            "; settings of the lab\n"
            "[Other]\n"
            "Port=COM9\n"
            "\n"
            "[ComPort1]\n"
            "baudrate=19200\n"
            "StopBits=1\n"
            "Unknown line\n"
            "\n"
            "[Last]\n"
            "X=1\n"
            "\n"
            "[New]\n"
            "Count=-5\n");
  EXPECT_EQ(ini_.ReadString("other", "PORT", "none"), "COM9");
  EXPECT_EQ(ini_.ReadInteger("New", "Count", 0), -5);
}

TEST_F(TIniFileTest, SemicolonsAndHashesInValuesAreNoComments) {
  WriteFile(path_, "[A]\nText=a ;b # c\n# Hidden=1\n;Hidden2=1\n");
  EXPECT_EQ(ini_.ReadString("A", "Text", ""), "a ;b # c");
  EXPECT_EQ(ini_.ReadString("A", "Hidden", "none"), "none");
  EXPECT_EQ(ini_.ReadString("A", "Hidden2", "none"), "none");
  for (const std::string value : {";", "#", " ; x", "#13"}) {
    ini_.WriteString("A", "EventChar", value);
    TIniFile other(path_);
    EXPECT_EQ(other.ReadString("A", "EventChar", "none"), value == " ; x" ? "; x" : value);
  }
}

TEST_F(TIniFileTest, IndentedLongAndCrLfLinesAreReadAsTheyStand) {
  const std::string longValue(500, 'v');
  WriteFile(path_, "\xEF\xBB\xBF[A]\r\nFirst=1\r\n   Second=2\r\n; " + std::string(400, 'c') +
                       "=x\r\nLong=" + longValue + "\r\n[" + std::string(300, 's') +
                       "]\r\nHidden=1\r\n");
  EXPECT_EQ(ini_.ReadString("A", "First", ""), "1");
  EXPECT_EQ(ini_.ReadString("A", "Second", ""), "2");  // not a continuation of First
  EXPECT_EQ(ini_.ReadString("A", "Long", ""), longValue);
  EXPECT_EQ(ini_.ReadString("A", "Hidden", "none"), "none");
  ini_.WriteString("A", "Third", "3");
  EXPECT_NE(ReadFile(path_).find(longValue + "\r\nThird=3\r\n[sss"), std::string::npos);
}

TEST_F(TIniFileTest, MissingKeysAndNonIntegersGiveTheDefault) {
  EXPECT_EQ(ini_.ReadString("A", "B", "def"), "def");  // no file
  WriteFile(path_, "[A]\nEmpty=\nHex=$1F\nC=0x10\nBad=12a\nBig=2147483648\nAll=$FFFFFFFF\n");
  EXPECT_EQ(ini_.ReadString("A", "Empty", "def"), "");
  EXPECT_EQ(ini_.ReadInteger("A", "Hex", 0), 31);
  EXPECT_EQ(ini_.ReadInteger("A", "C", 0), 16);
  EXPECT_EQ(ini_.ReadInteger("A", "Bad", 7), 7);
  EXPECT_EQ(ini_.ReadInteger("A", "Big", 7), 7);
  EXPECT_EQ(ini_.ReadInteger("A", "All", 7), -1);
  EXPECT_EQ(ini_.ReadInteger("A", "Empty", 7), 7);
  EXPECT_EQ(ini_.ReadInteger("B", "Hex", 7), 7);
}

TEST_F(TIniFileTest, WritesTheFileCannotHoldRaiseAndChangeNothing) {
  WriteFile(path_, "[A]\nK=1\n");
  EXPECT_THROW(ini_.WriteString("A", "K", "two\nlines"), EIniFileException);
  EXPECT_THROW(ini_.WriteString("A", "K=", "1"), EIniFileException);
  EXPECT_THROW(ini_.WriteString("A]", "K", "1"), EIniFileException);
  EXPECT_THROW(ini_.WriteString("A", "", "1"), EIniFileException);
  EXPECT_EQ(ReadFile(path_), "[A]\nK=1\n");

  WriteFile(path_, "[A]\nK=" + std::string(TIniFile::kMaxFileBytes, 'x') + "\nTail=1\n");
  EXPECT_THROW(ini_.WriteString("A", "K", "1"), EIniFileException);
  EXPECT_NE(ReadFile(path_).find("Tail=1"), std::string::npos);

  EXPECT_THROW(TIniFile(env_.TempDir() + "/missing/dir.ini").WriteString("A", "K", "1"),
               EIniFileException);
}

TEST_F(TIniFileTest, EveryNameOfTheLongestAllowedLengthIsReadBackAsWritten) {
  // Two sections that differ only after their 49th byte, and keys as long as a name may be.
  const std::string first = std::string(TIniFile::kMaxNameBytes - 1, 's') + "1";
  const std::string second = std::string(TIniFile::kMaxNameBytes - 1, 's') + "2";
  const std::string key(TIniFile::kMaxNameBytes, 'k');
  ini_.WriteString(first, key, "one");
  ini_.WriteString(second, key, "two");
  ini_.WriteString(first, key, "uno");
  EXPECT_EQ(ini_.ReadString(first, key, "none"), "uno");
  EXPECT_EQ(ini_.ReadString(second, key, "none"), "two");
  EXPECT_EQ(ReadFile(path_), "[" + first + "]\n" + key + "=uno\n\n[" + second + "]\n" + key +
                                 "=two\n");
  EXPECT_THROW(ini_.WriteString(first + "x", "K", "1"), EIniFileException);
  EXPECT_THROW(ini_.WriteString("A", key + "x", "1"), EIniFileException);
}

TEST_F(TIniFileTest, AWriteThroughALinkReplacesTheFileItNames) {
  const std::string real = env_.TempDir() + "/real.ini";
  WriteFile(real, "[A]\nK=1\n");
  std::filesystem::create_symlink(real, path_);
  ini_.WriteString("A", "K", "2");
  EXPECT_TRUE(std::filesystem::is_symlink(path_));
  EXPECT_EQ(ReadFile(real), "[A]\nK=2\n");
}

TEST_F(TIniFileTest, AWriteNeverGoesThroughALinkPlantedAtItsTemporaryName) {
  const std::string victim = env_.TempDir() + "/victim";
  WriteFile(victim, "keep");
  for (int i = 0; i < 32; ++i) {
    std::filesystem::create_symlink(
        victim, path_ + ".tmp-" + std::to_string(getpid()) + "-" + std::to_string(i));
  }
  ini_.WriteString("A", "K", "1");
  EXPECT_EQ(ReadFile(victim), "keep");
  EXPECT_FALSE(std::filesystem::is_symlink(path_));
  EXPECT_EQ(ReadFile(path_), "[A]\nK=1\n");
}

}  // namespace
}  // namespace cls
