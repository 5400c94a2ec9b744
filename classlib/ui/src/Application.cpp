#include "classlib/ui/Application.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QString>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "classlib/exception.h"
#include "classlib/synchronize.h"
#include "plat/termination_signals.h"

namespace cls::ui {
namespace {

TApplication* gInstance = nullptr;  // the one application object; main thread only

bool IsSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0';
}

// Qt's message handler that was in place before ours; the messages we keep go on to it.
QtMessageHandler gPreviousMessageHandler = nullptr;

// A program started outside a desktop session has no XDG_RUNTIME_DIR; Qt then falls back to a
// folder of its own and says so on every start. That is no fault of the program's: dropped.
void QuietMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (text.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set"))) return;
  if (gPreviousMessageHandler != nullptr) gPreviousMessageHandler(type, context, text);
}

}  // namespace

// Where the Synchronize queue's wake-ups go. Other threads call the wake-up at any time, also
// while the application is being destroyed: the target is cleared under the lock first, so a
// wake-up either posts to a live application or does nothing.
struct TApplication::WakeTarget {
  std::mutex Mutex;  // guards Target
  QObject* Target = nullptr;
  std::atomic<bool> Posted{false};  // a drain is queued and has not begun
};

void UseOffscreenPlatformWithoutDisplay() {
  if (IsSet("QT_QPA_PLATFORM") || IsSet("DISPLAY") || IsSet("WAYLAND_DISPLAY")) return;
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

TApplication::TApplication(int& argc, char** argv) {
  UseOffscreenPlatformWithoutDisplay();
  if (gPreviousMessageHandler == nullptr) {
    gPreviousMessageHandler = qInstallMessageHandler(QuietMessageHandler);
  }
  app_ = std::make_unique<QApplication>(argc, argv);
  // The program ends when its main form closes, not when its last window does (a tray
  // program's windows are all hidden; closing a message box would otherwise end it).
  QApplication::setQuitOnLastWindowClosed(false);
  gInstance = this;

  wake_ = std::make_shared<WakeTarget>();
  wake_->Target = app_.get();
  cls::SetMainThread();
  HookSynchronize();
}

void TApplication::HookSynchronize() {
  const std::shared_ptr<WakeTarget> wake = wake_;
  cls::SetSynchronizeWakeUp([wake] {
    std::lock_guard<std::mutex> lock(wake->Mutex);
    if (wake->Target == nullptr || wake->Posted.exchange(true)) return;
    QMetaObject::invokeMethod(
        wake->Target,
        [wake] {
          // Cleared first: a call queued while this drain runs posts the next drain.
          wake->Posted.store(false);
          cls::CheckSynchronize();
        },
        Qt::QueuedConnection);
  });
  // Calls queued while no wake-up was installed are drained at the next turn of the loop.
  wake_->Posted.store(false);
  QMetaObject::invokeMethod(
      app_.get(), [] { cls::CheckSynchronize(); }, Qt::QueuedConnection);
}

TApplication::~TApplication() {
  cls::SetSynchronizeWakeUp({});
  {
    std::lock_guard<std::mutex> lock(wake_->Mutex);
    wake_->Target = nullptr;
  }
  cls::CheckSynchronize();
  cls::ClearMainThread();

  // The notifier goes before the descriptor it watches; the signals' default returns with it.
  delete signalNotifier_;
  signals_.reset();
  gInstance = nullptr;
  app_.reset();
}

TApplication* TApplication::Instance() {
  return gInstance;
}

QString TApplication::Title() const {
  return QGuiApplication::applicationDisplayName();
}

void TApplication::SetTitle(const QString& title) {
  QGuiApplication::setApplicationDisplayName(title);
}

void TApplication::Minimize() {
  if (OnMinimize) OnMinimize();
}

void TApplication::ProcessMessages() {
  QCoreApplication::processEvents(QEventLoop::AllEvents);
  cls::CheckSynchronize();
}

int TApplication::Run() {
  if (terminated_) return 0;
  running_ = true;
  const int result = QApplication::exec();
  running_ = false;
  return result;
}

void TApplication::Terminate() {
  terminated_ = true;
  // Innermost first; each answers as if the user had declined.
  for (auto it = openBoxes_.rbegin(); it != openBoxes_.rend(); ++it) {
    if (QMessageBox* box = *it) {
      const bool yesNo = box->standardButtons().testFlag(QMessageBox::No);
      box->done(yesNo ? QMessageBox::No : QMessageBox::Ok);
    }
  }
  // Only an event loop of Run is ended: exit() outside it would make the next modal loop
  // return at once.
  if (running_) QCoreApplication::exit(0);
}

int TApplication::MessageBox(const QString& text, const QString& caption, int flags) {
  const bool yesNo = (flags & MB_YESNO) == MB_YESNO;
  QMessageBox box(yesNo ? QMessageBox::Question : QMessageBox::Information, caption, text,
                  yesNo ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok);
  if (yesNo) box.setEscapeButton(QMessageBox::No);
  openBoxes_.append(&box);
  const int answer = box.exec();
  openBoxes_.removeAll(&box);
  if (!yesNo) return IDOK;
  return answer == QMessageBox::Yes ? IDYES : IDNO;
}

QMessageBox* TApplication::OpenMessageBox() const {
  for (auto it = openBoxes_.rbegin(); it != openBoxes_.rend(); ++it) {
    if (*it) return *it;
  }
  return nullptr;
}

void TApplication::ShowException(const std::exception& e) {
  if (dynamic_cast<const cls::EAbort*>(&e) != nullptr) return;
  const QString title = Title().isEmpty() ? QCoreApplication::applicationName() : Title();
  std::fprintf(stderr, "%s: %s\n", title.toLocal8Bit().constData(), e.what());
  if (!Headless()) QMessageBox::critical(nullptr, title, QString::fromLocal8Bit(e.what()));
}

void TApplication::TerminateOnSignals() {
  if (signals_) return;
  int error = 0;
  signals_ = plat::TerminationSignals::Open(&error);
  if (!signals_) return;
  signalNotifier_ = new QSocketNotifier(signals_->Descriptor(), QSocketNotifier::Read, app_.get());
  QObject::connect(signalNotifier_, &QSocketNotifier::activated, app_.get(), [this] {
    signals_->Drain();
    Terminate();
  });
}

bool TApplication::Headless() const {
  return HeadlessPlatform();
}

bool HeadlessPlatform() {
  const QString platform = QGuiApplication::platformName();
  return platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
}

}  // namespace cls::ui
