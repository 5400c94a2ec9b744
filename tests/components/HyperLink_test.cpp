#include "components/HyperLink.h"

#include <gtest/gtest.h>

#include <QFont>
#include <string>

#include "classlib/ui/Components.h"
#include "testsupport/FakeDesktop.h"
#include "testsupport/QtInput.h"
#include "testsupport/test_env.h"
#include "testsupport/test_util.h"

namespace {

using dral_test::Click;
using dral_test::Enter;
using dral_test::Leave;

class HyperLinkTest : public dral_test::IsolatedTest {
 protected:
  std::string File(const std::string& name) {
    const std::string path = env_.TempDir() + "/" + name;
    dral_test::WriteFile(path, "manual");
    return path;
  }
};

bool AnyStyle(const QFont& font) {
  return font.bold() || font.italic() || font.underline() || font.strikeOut();
}

TEST_F(HyperLinkTest, SetURLStoresTheTrimmedTextAsURLAndHint) {
  dral::THyperLink link;
  EXPECT_EQ(link.URL(), "");
  EXPECT_EQ(link.cursor().shape(), Qt::PointingHandCursor);
  link.SetURL("  \t/opt/help/manual.pdf \n");
  EXPECT_EQ(link.URL(), "/opt/help/manual.pdf");
  EXPECT_EQ(link.toolTip(), "/opt/help/manual.pdf");
}

TEST_F(HyperLinkTest, AURLThatNamesNoFileNeitherUnderlinesNorOpensButStillClicks) {
  dral_test::FakeDesktopOpener desktop(env_.TempDir() + "/desktop");
  dral::THyperLink link;
  int clicks = 0;
  link.OnClick = [&] { ++clicks; };
  link.SetURL("https://example.net/manual.pdf");
  Enter(&link);
  EXPECT_FALSE(link.font().underline());
  Click(&link);
  EXPECT_EQ(clicks, 1);

  // The existing file opens; by the time its call is recorded, one for the web address would
  // have been started before it.
  const std::string manual = File("the manual.pdf");
  link.SetURL(QString::fromStdString(manual));
  Enter(&link);
  EXPECT_TRUE(link.font().underline());
  Click(&link);
  EXPECT_EQ(clicks, 2);
  ASSERT_TRUE(desktop.WaitForCalls(1));
  EXPECT_EQ(desktop.Calls(), (std::vector<std::vector<std::string>>{{manual}}));
}

TEST_F(HyperLinkTest, EnteringLeavesUnderlineAloneAndLeavingRemovesEveryStyle) {
  dral::THyperLink link;
  link.SetURL(QString::fromStdString(File("manual.pdf")));
  QFont font = link.font();
  font.setBold(true);
  font.setItalic(true);
  link.setFont(font);
  Enter(&link);
  EXPECT_TRUE(link.font().underline());
  EXPECT_FALSE(link.font().bold());
  EXPECT_FALSE(link.font().italic());
  Leave(&link);
  EXPECT_FALSE(AnyStyle(link.font()));

  // Without a file, entering keeps the style set before and leaving still clears it.
  link.SetURL("no such file");
  link.setFont(font);
  Enter(&link);
  EXPECT_TRUE(link.font().bold());
  EXPECT_FALSE(link.font().underline());
  Leave(&link);
  EXPECT_FALSE(AnyStyle(link.font()));

  link.setFont(font);
  link.Dispatch(dral::THyperLink::CM_MOUSELEAVE);
  EXPECT_FALSE(AnyStyle(link.font()));
}

TEST_F(HyperLinkTest, RegisterPutsTheLinkOnTheTrevikPage) {
  dral::HyperLink::Register();
  int found = 0;
  for (const auto& c : cls::ui::PaletteClasses("Trevik")) {
    if (c.ClassName != "THyperLink") continue;
    ++found;
    QWidget form;
    EXPECT_NE(dynamic_cast<dral::THyperLink*>(c.Create(&form)), nullptr);
  }
  EXPECT_EQ(found, 1);
  EXPECT_TRUE(cls::ui::PaletteClasses("Standard").empty());
}

}  // namespace
