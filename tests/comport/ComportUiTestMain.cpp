// The port's controls are tested on Qt's offscreen platform, with one application object for
// the whole run (it makes this thread the main thread of the Synchronize queue).
#include <gtest/gtest.h>

#include <cstdlib>

#include "classlib/ui/Application.h"

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  ::testing::InitGoogleTest(&argc, argv);
  cls::ui::TApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
