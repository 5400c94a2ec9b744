#include <gtest/gtest.h>

#include "classlib/Stream.h"
#include "classlib/Strings.h"
#include "classlib/exception.h"

namespace cls {
namespace {

TEST(StringList, SortsAndFindsIgnoringCaseAndRefusesIndexesOutside) {
  TStringList list;
  list.Add("beta");
  list.Add("Alpha");
  list.Add("alpha");
  list.Sort();
  EXPECT_EQ(list.Items(), (std::vector<std::string>{"Alpha", "alpha", "beta"}));
  EXPECT_EQ(list.IndexOf("BETA"), 2);
  EXPECT_EQ(list.IndexOf("gamma"), -1);
  EXPECT_THROW(list.Strings(3), Exception);
  EXPECT_THROW(list.Delete(-1), Exception);
}

TEST(MemoryStream, ReadsOnlyToTheEndAndClampsSeeks) {
  TMemoryStream stream;
  EXPECT_EQ(stream.Write("abcdef", 6), 6);
  EXPECT_EQ(stream.Size(), 6);
  EXPECT_EQ(stream.Seek(-2, TSeekOrigin::soEnd), 4);
  char buffer[8] = {};
  EXPECT_EQ(stream.Read(buffer, 8), 2);
  EXPECT_EQ(std::string(buffer, 2), "ef");
  EXPECT_EQ(stream.Read(buffer, 8), 0);
  EXPECT_EQ(stream.Seek(INT64_MAX, TSeekOrigin::soCurrent), 6);
  EXPECT_EQ(stream.Seek(INT64_MIN, TSeekOrigin::soCurrent), 0);
  stream.SetPosition(2);
  stream.Write("XYZW", 4);
  EXPECT_EQ(std::string(stream.Memory().begin(), stream.Memory().end()), "abXYZW");
}

}  // namespace
}  // namespace cls
