// The main form, the settings dialog's two pages and the about dialog rendered offscreen into PNG files under the build folder
// (screenshots/), for a person to look at.
#include <gtest/gtest.h>

#include <QDir>
#include <QImage>
#include <QPixmap>
#include <QSet>

#include "MainFormFixture.h"
#include "classlib/Registry.h"
#include "shell/About.h"
#include "shell/SettingsUnit.h"
#include "testsupport/AdapterPtyFront.h"

namespace {

using namespace shell_test;

// Saves the widget's rendering and returns it.
QImage Shoot(QWidget& widget, const QString& name) {
  QDir().mkpath(DRAL_SCREENSHOT_DIR);
  const QImage image = widget.grab().toImage();
  EXPECT_TRUE(image.save(QString(DRAL_SCREENSHOT_DIR) + "/" + name)) << name.toStdString();
  return image;
}

// Distinct colours in the image: a blank or single-colour rendering has very few.
int Colours(const QImage& image) {
  QSet<QRgb> seen;
  for (int y = 0; y < image.height(); y += 2) {
    for (int x = 0; x < image.width(); x += 2) seen.insert(image.pixel(x, y));
  }
  return static_cast<int>(seen.size());
}

using ScreenshotTest = MainFormTest;

TEST_F(ScreenshotTest, TheMainFormWithALiveLink) {
  adapter_.SetVersion({0, 0, 2, 14, 0, 0}, 0);
  auto& form = MakeForm();
  form.show();
  WaitConnected();
  SimStatus s;
  s.PacketsReceived = 4711;
  s.PacketsSent = 815;
  s.Can1Status = 0x11;
  s.Can2Status = 0x01;
  s.J1708Status = 0x01;
  SetStatus(s);
  ASSERT_TRUE(WaitUntil([&] { return form.Server().AdapterVersion() == 0x020E; }));
  TestClient client;
  Header().AttachCount.store(1);
  form.TimerTimer();
  EXPECT_EQ(form.stVersion->text(), "Version 2.14");
  const QImage image = Shoot(form, "MainForm.png");
  EXPECT_EQ(image.size(), QSize(608, 246) * image.devicePixelRatio());
  EXPECT_GT(Colours(image), 16);
}

TEST_F(ScreenshotTest, TheAboutDialog) {
  dral::TAboutDlg about;
  about.show();
  const QImage image = Shoot(about, "About.png");
  EXPECT_EQ(image.size(), QSize(799, 399) * image.devicePixelRatio());
  EXPECT_GT(Colours(image), 16);
}

TEST_F(ScreenshotTest, TheSettingsDialogOnBothPages) {
  dral_test::SetSerialCommPorts({"/dev/ttyUSB0", "/dev/ttyS0"});
  dral_test::WriteUserString(kSettingsKey, "DevicePort", "/dev/ttyUSB0");
  dral_test::WriteUserString(kSettingsKey, "AdapterIPAddressHistory01", "192.168.110.129");
  const std::string help = env_.TempDir() + "/network.html";
  dral_test::WriteFile(help, "help");
  cls::TRegistry machine;
  machine.SetRootKey(cls::HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(machine.OpenKey(kSettingsKey, true));
  machine.WriteString("NetworkHelp", help);

  dral::TSettingsDlg dlg;
  dlg.show();
  const QImage com = Shoot(dlg, "SettingsComPorts.png");
  dlg.PageControl1->setCurrentIndex(1);
  const QImage ethernet = Shoot(dlg, "SettingsEthernet.png");
  EXPECT_EQ(com.size(), dlg.size() * com.devicePixelRatio());
  EXPECT_GT(Colours(com), 8);
  EXPECT_GT(Colours(ethernet), 8);
  EXPECT_NE(com, ethernet);
}

}  // namespace
