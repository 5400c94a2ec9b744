#include "comport/CPortTrmSet.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <functional>

#include <gtest/gtest.h>

#include "TerminalTestUtil.h"
#include "comport/CPortCtlTerm.h"
#include "testsupport/test_env.h"

namespace comport {
namespace {

using comport_test::Shoot;
using comport_test::TestTerminal;

// Runs EditComTerminal and lets `user` work the dialog once it is shown; `ok` presses OK,
// otherwise Cancel.
void Edit(TCustomComTerminal& terminal, const std::function<void(TComTrmSetForm&)>& user, bool ok = true) {
  bool seen = false;
  QTimer::singleShot(0, [&] {
    auto* form = dynamic_cast<TComTrmSetForm*>(QApplication::activeModalWidget());
    if (form == nullptr) {
      ADD_FAILURE() << "no setup dialog";
      return;
    }
    seen = true;
    user(*form);
    (ok ? form->Button1 : form->Button2)->click();
  });
  EditComTerminal(terminal);
  EXPECT_TRUE(seen);
}

class TerminalSetupTest : public ::testing::Test {
 protected:
  dral_test::Watchdog watchdog_{30};
  TestTerminal t_;
};

TEST_F(TerminalSetupTest, TheFormShowsTheTerminalAndItsCaptions) {
  t_.SetWrapLines(true);
  t_.SetEmulation(TTermEmulation::teVT52);
  Edit(t_, [](TComTrmSetForm& f) {
    EXPECT_EQ(f.windowTitle(), "Setup");
    EXPECT_EQ(f.size(), QSize(295, 287));
    EXPECT_EQ(f.GroupBox1->title(), " ASCII Settings ");
    EXPECT_EQ(f.CheckBox1->text(), "Echo typed charachters locally");
    EXPECT_EQ(f.CheckBox5->text(), "Append line feeds to incoming carriage return");
    EXPECT_EQ(f.GroupBox2->title(), " Terminal Settings ");
    EXPECT_EQ(f.ComboBox3->itemText(1), "Act as windows keys");
    EXPECT_TRUE(f.CheckBox3->isChecked());
    EXPECT_FALSE(f.CheckBox1->isChecked());
    EXPECT_EQ(f.ComboBox2->currentText(), "VT52");
    EXPECT_EQ(f.Edit1->text(), "80");
    EXPECT_EQ(f.Edit2->text(), "24");
    EXPECT_TRUE(f.Button1->isDefault());
    Shoot(f, "TerminalSetup.png");
  });
}

TEST_F(TerminalSetupTest, SizesConvertWithDefaultsAndClamp) {
  Edit(t_, [](TComTrmSetForm& f) {
    f.Edit1->setText("abc");
    f.Edit2->setText("1");
  });
  EXPECT_EQ(t_.Columns(), 80);
  EXPECT_EQ(t_.Rows(), 2);
  Edit(t_, [](TComTrmSetForm& f) {
    f.Edit1->setText("500");
    f.Edit2->setText("zz");
    f.CheckBox1->setChecked(true);
    f.ComboBox3->setCurrentIndex(1);
  });
  EXPECT_EQ(t_.Columns(), 256);
  EXPECT_EQ(t_.Rows(), 24);
  EXPECT_TRUE(t_.LocalEcho());
  EXPECT_EQ(t_.ArrowKeys(), TArrowKeys::akWindows);
}

TEST_F(TerminalSetupTest, OkWithoutChangesClearsNothingAndCancelChangesNothing) {
  t_.WriteStr("keep me");
  TEscapeCodes* parser = t_.EscapeCodes();
  Edit(t_, [](TComTrmSetForm&) {});
  EXPECT_EQ(t_.Row(1), "keep me");
  EXPECT_EQ(t_.EscapeCodes(), parser);
  Edit(
      t_, [](TComTrmSetForm& f) {
        f.Edit1->setText("40");
        f.CheckBox4->setChecked(true);
      },
      false);
  EXPECT_EQ(t_.Columns(), 80);
  EXPECT_FALSE(t_.Force7Bit());
  EXPECT_EQ(t_.Row(1), "keep me");
}

TEST_F(TerminalSetupTest, ACaretWithoutAnItemIsKept) {
  t_.SetCaret(TTermCaret::tcNone);
  Edit(t_, [](TComTrmSetForm& f) { EXPECT_EQ(f.ComboBox1->currentIndex(), -1); });
  EXPECT_EQ(t_.Caret(), TTermCaret::tcNone);
  Edit(t_, [](TComTrmSetForm& f) { f.ComboBox1->setCurrentIndex(1); });
  EXPECT_EQ(t_.Caret(), TTermCaret::tcUnderline);
}

}  // namespace
}  // namespace comport
