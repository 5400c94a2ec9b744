#include "classlib/ui/Application.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>

#include "classlib/synchronize.h"
#include "classlib/thread.h"
#include "shell_test_util.h"
#include "testsupport/test_env.h"

namespace {

using namespace shell_test;
using cls::ui::Application;

using ApplicationTest = dral_test::IsolatedTest;

// Runs only the Qt event loop (not the Synchronize queue itself) until `done`.
bool RunLoopUntil(const std::function<bool()>& done) {
  const auto start = Clock::now();
  while (!done()) {
    if (MsSince(start) > 5000) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  return true;
}

class Syncing : public cls::TThread {
 public:
  std::atomic<bool> RanOnMain{false};
  std::atomic<bool> Done{false};

 protected:
  void Execute() override {
    Synchronize([this] { RanOnMain = cls::IsMainThread(); });
    Done = true;
  }
};

TEST_F(ApplicationTest, SynchronizeAndQueuedCallsRunOnTheMainThreadFromTheEventLoop) {
  ASSERT_TRUE(cls::IsMainThread());
  Syncing thread;
  thread.Start();
  ASSERT_TRUE(RunLoopUntil([&] { return thread.Done.load(); }));
  EXPECT_TRUE(thread.RanOnMain);
  thread.WaitFor();

  std::atomic<int> ran{0};
  std::atomic<bool> onMain{true};
  std::thread other([&] {
    for (int i = 0; i < 100; ++i) {
      cls::QueueCall([&] {
        if (!cls::IsMainThread()) onMain = false;
        ran.fetch_add(1);
      });
    }
  });
  other.join();
  ASSERT_TRUE(RunLoopUntil([&] { return ran.load() == 100; }));
  EXPECT_TRUE(onMain);
}

TEST_F(ApplicationTest, TheMessageBoxAnswersYesOrNoAndTerminateDeclinesForTheUser) {
  auto* app = Application();
  const auto answerWith = [app](std::function<void(QMessageBox*)> action) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, app, action] {
      QMessageBox* box = app->OpenMessageBox();
      if (box == nullptr || !box->isVisible()) return;
      poll->stop();
      poll->deleteLater();
      action(box);
    });
    poll->start(2);
  };
  answerWith([](QMessageBox* box) {
    EXPECT_EQ(box->text(), "Question?");
    EXPECT_EQ(box->windowTitle(), "Caption");
    box->button(QMessageBox::Yes)->click();
  });
  EXPECT_EQ(app->MessageBox("Question?", "Caption", cls::ui::MB_YESNO), cls::ui::IDYES);
  answerWith([](QMessageBox* box) { box->button(QMessageBox::No)->click(); });
  EXPECT_EQ(app->MessageBox("Question?", "Caption", cls::ui::MB_YESNO), cls::ui::IDNO);
  answerWith([](QMessageBox* box) { box->reject(); });  // closed without an answer
  EXPECT_EQ(app->MessageBox("Question?", "Caption", cls::ui::MB_YESNO), cls::ui::IDNO);
  answerWith([app](QMessageBox*) { app->Terminate(); });
  EXPECT_EQ(app->MessageBox("Question?", "Caption", cls::ui::MB_YESNO), cls::ui::IDNO);
  EXPECT_TRUE(app->Terminated());
  EXPECT_EQ(app->OpenMessageBox(), nullptr);
}

TEST_F(ApplicationTest, RunEndsOnTerminateAndOnATerminationSignal) {
  auto* app = Application();
  if (!app->Terminated()) {
    app->TerminateOnSignals();
    QTimer::singleShot(10, [] { raise(SIGTERM); });
    QTimer::singleShot(4000, [app] { app->Terminate(); });  // the signal did nothing
    const auto start = Clock::now();
    app->Run();
    EXPECT_LT(MsSince(start), 3000);
    EXPECT_TRUE(app->Terminated());
  }
  const auto start = Clock::now();
  app->Run();  // once terminated, Run returns at once
  EXPECT_LT(MsSince(start), 1000);
}

class Environment {
 public:
  explicit Environment(const char* name) : name_(name) {
    if (const char* v = std::getenv(name)) saved_ = v;
  }
  ~Environment() {
    if (saved_) {
      setenv(name_, saved_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }
  void Set(const char* value) {
    if (value) {
      setenv(name_, value, 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> saved_;
};

TEST_F(ApplicationTest, WithoutADisplayTheOffscreenPlatformIsChosenUnlessOneIsGiven) {
  Environment platform("QT_QPA_PLATFORM"), display("DISPLAY"), wayland("WAYLAND_DISPLAY");
  const auto chosen = [&](const char* p, const char* d, const char* w) {
    platform.Set(p);
    display.Set(d);
    wayland.Set(w);
    cls::ui::UseOffscreenPlatformWithoutDisplay();
    const char* now = std::getenv("QT_QPA_PLATFORM");
    return std::string(now ? now : "<unset>");
  };
  EXPECT_EQ(chosen(nullptr, nullptr, nullptr), "offscreen");
  EXPECT_EQ(chosen(nullptr, "", ""), "offscreen");
  EXPECT_EQ(chosen(nullptr, ":0", nullptr), "<unset>");
  EXPECT_EQ(chosen(nullptr, nullptr, "wayland-0"), "<unset>");
  EXPECT_EQ(chosen("xcb", nullptr, nullptr), "xcb");
}

}  // namespace
