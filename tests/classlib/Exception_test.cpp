#include "classlib/exception.h"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(Format, FormatsLikePrintf) {
  EXPECT_EQ(cls::Format("Error creating shared memory %s (%d)", "DRAL_Driver", 5),
            "Error creating shared memory DRAL_Driver (5)");
}

TEST(Format, HandlesTextLongerThanAnyFixedBuffer) {
  const std::string longText(5000, 'x');
  const std::string out = cls::Format("[%s]", longText.c_str());
  EXPECT_EQ(out.size(), 5002u);
  EXPECT_EQ(out.front(), '[');
  EXPECT_EQ(out.back(), ']');
}

TEST(Format, EmptyFormatGivesEmptyText) { EXPECT_EQ(cls::Format("%s", ""), ""); }

TEST(Exception, CarriesItsMessage) {
  try {
    throw cls::Exception("port busy");
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "port busy");
  }
  EXPECT_EQ(cls::Exception("x").Message(), "x");
}

TEST(Exception, AbortIsASilentException) {
  try {
    throw cls::EAbort();
  } catch (const cls::Exception& e) {
    EXPECT_EQ(e.Message(), "");
    SUCCEED();
    return;
  }
  FAIL() << "EAbort is not an Exception";
}

}  // namespace
