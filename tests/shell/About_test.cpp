#include "shell/About.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QTimer>
#include <QUrl>
#include <fstream>

#include "classlib/ui/Controls.h"
#include "shell_test_util.h"
#include "testsupport/QtInput.h"
#include "testsupport/test_env.h"

// Takes the URLs the dialog asks the desktop to open, instead of a browser.
class UrlCatcher : public QObject {
  Q_OBJECT

 public:
  QList<QUrl> Urls;

 public slots:
  void Open(const QUrl& url) { Urls << url; }
};

namespace {

using AboutTest = dral_test::IsolatedTest;

using dral_test::Click;
using dral_test::Key;
using dral_test::MouseMove;

TEST_F(AboutTest, ShowsTheNameAndTheVersionStringsOfItsProgramFile) {
  dral::TAboutDlg about;  // this test program carries version information of its own
  EXPECT_EQ(about.windowTitle(), "About DRAL Server ");
  EXPECT_EQ(about.size(), QSize(799, 399));
  EXPECT_EQ(about.Image1->size(), QSize(800, 400));
  EXPECT_EQ(about.Label1->text(), "DRAL Server");
  EXPECT_EQ(about.Label2->text(), "Version");
  EXPECT_EQ(about.VersionNum->text(), SHELL_TEST_FILE_VERSION);
  EXPECT_EQ(about.Copyright->text(), SHELL_TEST_COPYRIGHT);
  EXPECT_EQ(about.WebHyperlink->text(), dral::TAboutDlg::kWebAddress);
  EXPECT_EQ(about.WebHyperlink->cursor().shape(), Qt::PointingHandCursor);
  EXPECT_EQ(about.palette().color(QPalette::Window), QColor(Qt::white));
}

TEST_F(AboutTest, AProgramFileWithoutVersionInformationLeavesThePlaceholders) {
  const std::string plain = env_.TempDir() + "/plain";
  std::ofstream(plain) << "#!/bin/sh\n";
  for (const std::string& file : {plain, env_.TempDir() + "/missing"}) {
    dral::TAboutDlg about(nullptr, file);
    EXPECT_EQ(about.VersionNum->text(), "0.0");
    EXPECT_EQ(about.Copyright->text(), "Copyright");
  }
}

TEST_F(AboutTest, EscapeClosesTheDialogAndOtherKeysDoNothing) {
  dral::TAboutDlg about;
  int result = -1;
  QTimer::singleShot(0, [&] {
    Key(&about, Qt::Key_A, "a");
    Key(&about, Qt::Key_Return, "\r");
    Key(&about, Qt::Key_Space, " ");
    if (!about.isVisible()) return;  // closed too early: exec has returned already
    Key(&about, Qt::Key_Escape, "\x1b");
  });
  QTimer::singleShot(3000, [&] { about.done(42); });  // no close at all: end the test
  result = about.exec();
  EXPECT_EQ(result, QDialog::Rejected);
  EXPECT_FALSE(about.isVisible());
}

TEST_F(AboutTest, TheLinkIsUnderlinedWhileThePointerIsOverItAndOpensItsCaption) {
  dral::TAboutDlg about;
  about.show();
  EXPECT_FALSE(about.WebHyperlink->Underlined());
  MouseMove(about.WebHyperlink);
  EXPECT_TRUE(about.WebHyperlink->Underlined());
  MouseMove(about.Image1);
  EXPECT_FALSE(about.WebHyperlink->Underlined());

  UrlCatcher catcher;
  QDesktopServices::setUrlHandler("https", &catcher, "Open");
  about.WebHyperlink->setText("https://example.net/other");  // the caption is what opens
  Click(about.WebHyperlink);
  QDesktopServices::unsetUrlHandler("https");
  ASSERT_EQ(catcher.Urls.size(), 1);
  EXPECT_EQ(catcher.Urls[0], QUrl("https://example.net/other"));
}

}  // namespace

#include "About_test.moc"
