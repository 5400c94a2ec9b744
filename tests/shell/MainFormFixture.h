// The main form in this process: a real request server with the adapter simulator behind its
// link manager (the USB row of the link table). The form's own timer is stopped; each test
// runs the ticks it needs.
#pragma once

#include <gtest/gtest.h>

#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "classlib/ui/Application.h"
#include "classlib/ui/Controls.h"
#include "shell_test_util.h"
#include "testsupport/AdapterSimulator.h"
#include "testsupport/SimConduit.h"
#include "testsupport/test_env.h"

namespace shell_test {

using dral_test::AdapterSimulator;
using dral_test::SimConduit;
using dral_test::SimLinkControl;
using dral_test::SimStatus;
namespace sim = dral_test::sim;

inline constexpr const char* kSettingsKey = "\\SOFTWARE\\Trevik\\DRAL";

inline QString Stat(dral::TMainForm& form, int row) {
  return form.StatsList->Text(row, 1);
}

class MainFormTest : public dral_test::IsolatedTest {
 protected:
  void TearDown() override {
    helpers_.reset();  // question answerers still waiting
    form_.reset();     // before the simulator and the link control it uses
  }

  TestForm& MakeForm(std::vector<std::string> params = {}, bool waitThread = true) {
    dral::TMainForm::Options options;
    options.Params = std::move(params);
    dral::LinkFactoryTable links{};
    links[dral::LinkRowUsb] = [this] { return std::make_unique<SimConduit>(adapter_, link_); };
    options.Server.Links = links;
    options.Server.StartWaitThread = waitThread;
    form_ = std::make_unique<TestForm>(options);
    timerWasActive_ = form_->Timer->isActive();
    form_->Timer->stop();
    return *form_;
  }

  void WaitConnected() {
    ASSERT_TRUE(
        WaitUntil([&] { return form_->Server().LinkManager().State() == dral::LinkConnected; }));
  }

  dral::ChannelHeader& Header() { return form_->Server().Channel().Block()->Header; }

  // Once a message box is open (looked for from the event loop), runs `action` on it.
  void WhenQuestionOpens(std::function<void(QMessageBox*)> action) {
    auto* poll = new QTimer(helpers_.get());
    poll->setInterval(2);
    QObject::connect(poll, &QTimer::timeout, [poll, action] {
      QMessageBox* box = cls::ui::Application()->OpenMessageBox();
      if (box == nullptr || !box->isVisible()) return;
      poll->stop();
      action(box);
    });
    poll->start();
  }
  static void Answer(QMessageBox* box, QMessageBox::StandardButton button) {
    box->button(button)->click();
  }

  void SetStatus(const SimStatus& s) {
    adapter_.SetStatus(s);  // the status poll keeps answering with it
    adapter_.InjectMessage(sim::kStatusReply, dral_test::SerializeStatus(s));
    ASSERT_TRUE(WaitUntil([&] {
      return Header().Can1Status.load() == s.Can1Status &&
             Header().Can2Status.load() == s.Can2Status &&
             Header().OtherStatus.load() == s.OtherStatus &&
             form_->Server().Statistics().AdapterPacketsReceived == s.PacketsReceived;
    }));
  }

  AdapterSimulator adapter_;
  SimLinkControl link_;
  std::unique_ptr<QObject> helpers_ = std::make_unique<QObject>();
  std::unique_ptr<TestForm> form_;
  bool timerWasActive_ = false;
};

}  // namespace shell_test
