#include "comport/CPortSetup.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <functional>

#include "ComportUiTestUtil.h"
#include "testsupport/AdapterPtyFront.h"
#include "testsupport/test_env.h"

namespace comport {
namespace {

using dral_test::PtyPair;

// Counts the device set-ups that the end of an update runs.
class SetupCountingPort : public comport_test::TestPort {
 public:
  using TestPort::TestPort;
  int SetUps = 0;

 protected:
  void SetupComPort() override {
    ++SetUps;
    TestPort::SetupComPort();
  }
};

class ComSetupTest : public dral_test::IsolatedTest {
 protected:
  // Runs EditComPort with `user` acting on the shown form.
  void Edit(TCustomComPort& port, std::function<void(TComSetupFrm&)> user) {
    bool shown = false;
    QTimer::singleShot(0, [&] {
      auto* form = dynamic_cast<TComSetupFrm*>(QApplication::activeModalWidget());
      ASSERT_NE(form, nullptr);
      shown = true;
      user(*form);
    });
    EditComPort(&port);
    EXPECT_TRUE(shown);
  }
  static void Pick(TComComboBox* combo, const char* text) {
    combo->SetText(text);
    combo->Change();
  }
  PtyPair pty_;
};

TEST_F(ComSetupTest, OkWritesTheChoicesWithOneDeviceSetUp) {
  dral_test::SetSerialCommPorts({"/dev/ttyDRALA"});
  SetupCountingPort port(pty_);
  port.Open();
  port.SetUps = 0;
  Edit(port, [](TComSetupFrm& form) {
    EXPECT_EQ(form.Combo2->Text(), "9600");
    EXPECT_EQ(form.Combo1->currentIndex(), -1) << "the pty is not in the list";
    Pick(form.Combo2, "19200");
    Pick(form.Combo6, "Software");
    form.Button1->click();
  });
  EXPECT_EQ(port.BaudRate(), TBaudRate::br19200);
  EXPECT_EQ(port.FlowControl().FlowControl(), TFlowControl::fcSoftware);
  EXPECT_EQ(port.SetUps, 1);
  // The port name the list lacks stays, and the port stays open.
  EXPECT_EQ(port.Port(), pty_.SlavePath());
  EXPECT_TRUE(port.Connected());
}

TEST_F(ComSetupTest, CancelWritesNothing) {
  SetupCountingPort port(pty_);
  port.Open();
  port.SetUps = 0;
  Edit(port, [](TComSetupFrm& form) {
    Pick(form.Combo2, "115200");
    Pick(form.Combo3, "7");
    form.Button2->click();
  });
  EXPECT_EQ(port.BaudRate(), TBaudRate::br9600);
  EXPECT_EQ(port.DataBits(), TDataBits::dbEight);
  EXPECT_EQ(port.SetUps, 0);
}

TEST_F(ComSetupTest, AFailedReopenRaisesAfterTheUpdateHasEnded) {
  dral_test::SetSerialCommPorts({"/dev/dral-no-such-port"});
  SetupCountingPort port(pty_);
  port.Open();
  port.SetUps = 0;
  EXPECT_THROW(Edit(port,
                    [](TComSetupFrm& form) {
                      Pick(form.Combo1, "/dev/dral-no-such-port");
                      form.Button1->click();
                    }),
               EComPort);
  for (QWidget* w : QApplication::topLevelWidgets()) {
    EXPECT_EQ(dynamic_cast<TComSetupFrm*>(w), nullptr) << "the form was freed";
  }
  EXPECT_EQ(port.SetUps, 1) << "the update was ended";
  EXPECT_FALSE(port.Connected());
}

TEST_F(ComSetupTest, ShowSetupDialogShowsTheForm) {
  comport_test::TestPort port(pty_);
  InstallSetupDialog();
  bool shown = false;
  QTimer::singleShot(0, [&] {
    auto* form = dynamic_cast<TComSetupFrm*>(QApplication::activeModalWidget());
    shown = form != nullptr;
    if (form) form->Button2->click();
  });
  port.ShowSetupDialog();
  EXPECT_TRUE(shown);
  TCustomComPort::SetSetupDialogHook(nullptr);
}

TEST_F(ComSetupTest, ScreenshotOfTheSetupForm) {
  dral_test::SetSerialCommPorts({"/dev/ttyUSB0", "/dev/ttyUSB1"});
  comport_test::TestPort port(pty_);
  port.SetPort("/dev/ttyUSB1");
  port.SetBaudRate(TBaudRate::br115200);
  TComSetupFrm form;
  EXPECT_EQ(form.windowTitle(), "Setup");
  EXPECT_EQ(form.size(), QSize(231, 216));
  EXPECT_EQ(form.GroupBox1->title(), " Settings ");
  EXPECT_EQ(form.Label6->text(), "Flow control");
  EXPECT_EQ(form.Combo4->geometry(), QRect(80, 88, 129, 21));
  EXPECT_TRUE(form.Button1->isDefault());
  for (TComComboBox* c :
       {form.Combo1, form.Combo2, form.Combo3, form.Combo4, form.Combo5, form.Combo6}) {
    c->SetComPort(&port);
    EXPECT_FALSE(c->AutoApply());
    EXPECT_GE(c->currentIndex(), 0);
  }
  form.show();
  const QImage image = comport_test::Shoot(form, "ComSetupFrm.png");
  EXPECT_EQ(image.size(), QSize(231, 216) * image.devicePixelRatio());
}

}  // namespace
}  // namespace comport
