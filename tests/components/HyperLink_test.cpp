#include "components/HyperLink.h"

#include <gtest/gtest.h>

#include <QFont>
#include <string>

#include "testsupport/FakeDesktop.h"
#include "testsupport/QtInput.h"
#include "testsupport/test_env.h"
#include "testsupport/test_util.h"

namespace {

using dral_test::Enter;
using dral_test::Leave;

class HyperLinkTest : public dral_test::IsolatedTest {
 protected:
  QString File(const std::string& name) {
    const std::string path = env_.TempDir() + "/" + name;
    dral_test::WriteFile(path, "manual");
    return QString::fromStdString(path);
  }
};

TEST_F(HyperLinkTest, AURLThatNamesNoFileNeitherUnderlinesNorOpensButStillClicks) {
  dral_test::FakeDesktopOpener desktop(env_.TempDir() + "/desktop");
  dral::THyperLink link;
  int clicks = 0;
  link.OnClick = [&] { ++clicks; };
  link.SetURL("https://example.net/manual.pdf");
  Enter(&link);
  EXPECT_FALSE(link.font().underline());
  dral_test::Click(&link);
  EXPECT_EQ(clicks, 1);

  // The file opens; a call for the web address would have started before it.
  const QString manual = File("the manual.pdf");
  link.SetURL("  " + manual + "\t ");
  EXPECT_EQ(link.URL(), manual);
  EXPECT_EQ(link.toolTip(), manual);
  Enter(&link);
  EXPECT_TRUE(link.font().underline());
  dral_test::Click(&link);
  EXPECT_EQ(clicks, 2);
  ASSERT_TRUE(desktop.WaitForCalls(1));
  EXPECT_EQ(desktop.Calls(), (std::vector<std::vector<std::string>>{{manual.toStdString()}}));
}

TEST_F(HyperLinkTest, EnteringLeavesUnderlineAloneAndLeavingRemovesEveryStyle) {
  const auto anyStyle = [](const QFont& f) {
    return f.bold() || f.italic() || f.underline() || f.strikeOut();
  };
  dral::THyperLink link;
  QFont styled = link.font();
  styled.setBold(true);
  styled.setItalic(true);
  for (const QString& url : {File("manual.pdf"), QString("no such file")}) {
    link.SetURL(url);
    link.setFont(styled);
    Enter(&link);
    const bool file = url != "no such file";
    EXPECT_EQ(link.font().underline(), file);
    EXPECT_EQ(link.font().bold(), !file);
    Leave(&link);
    EXPECT_FALSE(anyStyle(link.font()));
  }
}

}  // namespace
