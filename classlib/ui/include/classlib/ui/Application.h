// TApplication: the application object of a window program, on Qt Widgets. It owns the
// QApplication, makes the calling thread the main thread of the Synchronize queue and drains
// that queue from the Qt event loop, and adds what a program expects of its application object
// beyond Qt: a title, a minimise hook, a Yes/No message box answered as IDYES/IDNO, showing an
// exception, and ending the program from its signals.
//
// One TApplication per process, created and destroyed on the thread that runs the event loop.
// Every member must be called on that thread.
#pragma once

#include <QApplication>
#include <QPointer>
#include <QString>
#include <exception>
#include <functional>
#include <memory>

class QMessageBox;
class QSocketNotifier;

namespace plat {
class TerminationSignals;
}

namespace cls::ui {

// Message box styles and answers, as the class library numbers them.
inline constexpr int MB_OK = 0x0;
inline constexpr int MB_YESNO = 0x4;
inline constexpr int IDOK = 1;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// Without a display (neither DISPLAY nor WAYLAND_DISPLAY set) and without a platform chosen
// by QT_QPA_PLATFORM, chooses Qt's offscreen platform, so the program runs headless. Call it
// before the QApplication is created (TApplication does).
void UseOffscreenPlatformWithoutDisplay();

// True when Qt runs without a display (its offscreen or minimal platform). Call it once the
// QGuiApplication exists.
bool HeadlessPlatform();

class TApplication {
 public:
  // `argc` must outlive the application (Qt keeps a reference to it).
  TApplication(int& argc, char** argv);
  // Drains what is still queued for the main thread and leaves the Synchronize queue without
  // a main thread (queued calls then run on their caller's thread).
  ~TApplication();
  TApplication(const TApplication&) = delete;
  TApplication& operator=(const TApplication&) = delete;

  // The one application object, or null.
  static TApplication* Instance();

  QString Title() const;
  void SetTitle(const QString& title);

  // Runs OnMinimize (the program hides its windows there).
  void Minimize();
  std::function<void()> OnMinimize;

  // Handles the events that are pending now (also the Synchronize queue), then returns.
  void ProcessMessages();

  // Runs the event loop until Terminate. Returns at once when Terminate came first.
  int Run();
  // Ends Run, closes a message box that is waiting for an answer (it answers IDNO, or IDOK for
  // MB_OK) and keeps later Run calls from waiting.
  void Terminate();
  bool Terminated() const { return terminated_; }

  // A modal message box; returns IDYES or IDNO for MB_YESNO (closing it counts as IDNO), IDOK
  // otherwise. A second box while one is open waits on top of the first.
  int MessageBox(const QString& text, const QString& caption, int flags);
  // The message box waiting for an answer now (the innermost one), or null.
  QMessageBox* OpenMessageBox() const;

  // Shows the message of an exception: on stderr always, and in a message box when the program
  // has a display. EAbort shows nothing.
  void ShowException(const std::exception& e);

  // SIGTERM, SIGINT and SIGHUP end the program the way Terminate does (on the main thread,
  // from the event loop), instead of killing it with its shared objects held. Idempotent.
  void TerminateOnSignals();

  // True when the program runs without a display (offscreen or minimal platform).
  bool Headless() const;

  // Installs the Synchronize queue's wake-up that drains the queue from the event loop. The
  // constructor does this; whoever replaced the wake-up (a test that holds calls back) puts
  // it back with this.
  void HookSynchronize();

 private:
  struct WakeTarget;

  std::unique_ptr<QApplication> app_;
  std::shared_ptr<WakeTarget> wake_;
  QList<QPointer<QMessageBox>> openBoxes_;  // innermost last
  bool terminated_ = false;
  bool running_ = false;                               // inside Run's event loop
  std::unique_ptr<plat::TerminationSignals> signals_;  // set while signals end the program
  QSocketNotifier* signalNotifier_ = nullptr;          // watches signals_, a child of app_
};

// TApplication::Instance(), spelled as the class library spells it.
inline TApplication* Application() {
  return TApplication::Instance();
}

}  // namespace cls::ui
