// The visual tests of the serial-port library run on Qt's offscreen platform, with one
// application object for the whole run; it drains the main-thread queue that the port's
// synchronised event dispatch uses.
#include <gtest/gtest.h>

#include <cstdlib>

#include "classlib/ui/Application.h"

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  ::testing::InitGoogleTest(&argc, argv);
  cls::ui::TApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
