// The main of the test programs of visual code: the tests run on Qt's offscreen platform, with
// one application object for the whole run (child processes of the tests inherit the platform
// choice).
#include <gtest/gtest.h>

#include <cstdlib>

#include "classlib/ui/Application.h"

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  ::testing::InitGoogleTest(&argc, argv);
  cls::ui::TApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
