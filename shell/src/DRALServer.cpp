// The server program's entry: one server per channel, a hidden main window, the event loop.
#include <QCoreApplication>
#include <QStringList>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "channel/HuxIPC.h"
#include "classlib/ui/Application.h"
#include "links/FtdiConduit.h"
#include "links/SerialConduit.h"
#include "links/UsbConduit.h"
#include "links/WinSockConduit.h"
#include "links/WinUsbConduit.h"
#include "plat/process.h"
#include "server/HuxMgr.h"
#include "shell/About.h"
#include "shell/MainUnit.h"

namespace {

constexpr const char* kTitle = "DRAL Server";

std::vector<std::string> CommandLineParams() {
  std::vector<std::string> params;
  const QStringList arguments = QCoreApplication::arguments();
  for (qsizetype i = 1; i < arguments.size(); ++i) params.push_back(arguments[i].toStdString());
  return params;
}

// The links this program reaches the adapter over; the link manager creates them when it starts.
void InstallLinks() {
  dral::LinkFactories::Install(dral::LinkRowSerial,
                               [] { return std::make_unique<dral::TSerialConduit>(); });
  dral::LinkFactories::Install(dral::LinkRowUsb,
                               [] { return std::make_unique<dral::TUsbConduit>(); });
  dral::LinkFactories::Install(dral::LinkRowFtdi,
                               [] { return std::make_unique<dral::TFtdiConduit>(); });
  dral::LinkFactories::Install(dral::LinkRowWinUsb,
                               [] { return std::make_unique<dral::TWinUsbConduit>(); });
  dral::LinkFactories::Install(dral::LinkRowTcp,
                               [] { return std::make_unique<dral::TWinSockConduit>(); });
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<cls::ui::TApplication> app;
  // Until the program's own handlers are in place, a termination signal waits.
  std::optional<plat::TerminationSignalHold> signalHold(std::in_place);
  try {
    // First of all: the channel's one server is whoever holds this claim, for its whole life.
    // Another server holds it: this one ends at once.
    std::shared_ptr<dral::TServerLock> instance = dral::TServerLock::Claim();
    if (!instance) return 0;

    app.emplace(argc, argv);
    app->SetTitle(kTitle);
    app->TerminateOnSignals();
    signalHold.reset();

    InstallLinks();
    dral::TMainForm::Options options;
    options.Params = CommandLineParams();
    options.Server.Instance = std::move(instance);
    auto form = std::make_unique<dral::TMainForm>(options);
    auto about = std::make_unique<dral::TAboutDlg>();
    dral::AboutDlg = about.get();

    // Hidden and minimised: the tray icon, when shown, is the way to the window.
    app->Minimize();
    app->Run();

    dral::AboutDlg = nullptr;
    about.reset();
    form.reset();
  } catch (const std::exception& e) {
    // Ours and the standard library's alike (a thread that cannot be made, memory that runs
    // out): shown, and the program ends without a core dump.
    signalHold.reset();
    if (!app) app.emplace(argc, argv);
    app->ShowException(e);
  }
  return 0;
}
