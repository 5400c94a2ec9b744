// TMainForm: the server program's main window. It owns the request server for the life of the
// program, shows the link state, the adapter version, the number of processes that have the
// client library loaded and the statistics, switches the adapter's channels off while no client
// slot is in use, closes the program 3000 ms after the last such process has gone (asking first
// while clients remain), offers the tray icon, and carries the device-removal notices that the
// device links register for.
//
// Threads: the form lives on the main thread of a cls::ui::TApplication, and everything it does
// runs there (timer, menu, close query, device-change messages, so a link's removal handler
// runs on the main thread too). RegisterDeviceHandle and UnregisterDeviceHandle may also be
// called from a link's own thread (the link manager opens and closes links on its thread).
#pragma once

#include <QWidget>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "classlib/Closure.h"
#include "links/DeviceRegistrar.h"
#include "plat/device_notice.h"
#include "server/ServerObj.h"

class QAction;
class QCheckBox;
class QLabel;
class QMenu;
class QPushButton;
class QTimer;

namespace cls::ui {
class TListView;
class TStatusBar;
class TTrayIcon;
}  // namespace cls::ui

namespace plat {
class TimerPeriod;
}

namespace dral {

// The device-change message and its records.
inline constexpr uint32_t WM_DEVICECHANGE = 0x219;
inline constexpr uint32_t DBT_DEVICEQUERYREMOVE = plat::kDbtDeviceQueryRemove;
inline constexpr uint32_t DBT_DEVICEQUERYREMOVEFAILED = plat::kDbtDeviceQueryRemoveFailed;
inline constexpr uint32_t DBT_DEVICEREMOVEPENDING = plat::kDbtDeviceRemovePending;
inline constexpr uint32_t DBT_DEVICEREMOVECOMPLETE = plat::kDbtDeviceRemoveComplete;
inline constexpr uint32_t DBT_DEVTYP_DEVICEINTERFACE = plat::kDbtDevTypeDeviceInterface;
inline constexpr uint32_t DBT_DEVTYP_HANDLE = plat::kDbtDevTypeHandle;

// A message for the form's Dispatch.
struct TMessage {
  uint32_t Msg = 0;
  uintptr_t WParam = 0;
  intptr_t LParam = 0;
  intptr_t Result = 0;
};

// Every device-change record starts with this header.
struct DevBroadcastHdr {
  uint32_t dbch_size;
  uint32_t dbch_devicetype;
  uint32_t dbch_reserved;
};

// The record of a notice about a device handle (device type DBT_DEVTYP_HANDLE).
struct DevBroadcastHandle {
  uint32_t dbch_size;
  uint32_t dbch_devicetype;
  uint32_t dbch_reserved;
  plat::DeviceHandle dbch_handle;
  plat::DeviceNotifyHandle dbch_hdevnotify;
};

// The process-wide device registrar while it lives (see links/DeviceRegistrar.h).
class TMainForm : public QWidget, public TDeviceRegistrar {
 public:
  struct Options {
    std::vector<std::string> Params;  // the command line without the program name
    TDralServer::Options Server;      // default: the process-wide link factories
  };

  // Builds the form and its components, then: finer timer and higher priority (best effort),
  // the request server, the "-L" switch, the "Logging" and "Visible" registry values, the
  // client table, the application's minimise hook; finally FormCreate.
  explicit TMainForm(Options options = {}, QWidget* owner = nullptr);
  // FormDestroy.
  ~TMainForm() override;

  // --- components -------------------------------------------------------------------------------
  QLabel* Label1;
  QLabel* stPort;
  QLabel* Label2;
  QLabel* stPortInfo;
  QLabel* Label3;
  QLabel* stStatus;
  QLabel* Label4;
  QLabel* stVersion;
  cls::ui::TListView* ListView;  // the client table (hidden)
  cls::ui::TStatusBar* StatusBar;
  QCheckBox* cbLogging;  // hidden
  QPushButton* btnSettings;
  cls::ui::TListView* StatsList;
  QTimer* Timer;
  cls::ui::TTrayIcon* TrayIcon;
  QMenu* PopupMenu;
  QAction* Open1;
  QAction* About1;
  QAction* Exit1;

  // --- events -----------------------------------------------------------------------------------
  void FormCreate();
  void FormDestroy();
  void TimerTimer();
  // True when the form may close; asks while clients remain.
  bool FormCloseQuery();
  void Open1Click();
  void About1Click();
  void Exit1Click();
  // Opens the settings dialog modally (ShowSettings); it is gone when the call returns. An
  // exception on the way is dropped.
  void btnSettingsClick();
  void cbLoggingClick();
  void TrayIconMinimize();
  void TrayIconRestore();
  // Fills the client table's ring counts and slot states (no control calls it).
  void btnRefreshClick();

  // Closes the form as its close box does: FormCloseQuery decides. When it allows, the form
  // hides, its timer stops and the application terminates. True when the form is closed.
  bool Close();
  bool Closed() const { return closed_; }

  // --- device-change notices --------------------------------------------------------------------
  // Registers `device` (an open device handle) for removal notices and stores `handler`; a
  // removal then reaches WMDeviceChange on the main thread. One registration at a time: a
  // second call ends the first one (its device is no longer reported) and replaces the handler.
  // A notice reaches only the handler of the registration it is about. Registrations wait while
  // a notice is handled, so the handler must not register or unregister itself.
  void RegisterDeviceHandle(plat::DeviceHandle device, TNotifyEvent handler) override;
  // Ends the registration and clears the handler. On return the handler is not running on
  // another thread and will not be called.
  void UnregisterDeviceHandle() override;
  void UnregisterDeviceHandle(plat::DeviceHandle device) override;
  plat::DeviceNotifyHandle NotificationHandle() const;
  TNotifyEvent DeviceRemovedHandler() const { return deviceRemovedHandler_.Get(); }

  // WM_DEVICECHANGE goes to WMDeviceChange; nothing else is handled here.
  void Dispatch(TMessage& message);
  // Calls DeviceRemovedHandler (with a null sender) for a handle record (type 6) and the
  // events query-remove, remove-pending and remove-complete; anything else does nothing.
  void WMDeviceChange(TMessage& message);

  TDralServer& Server() { return *server_; }

  // The form's texts.
  static constexpr const char* kCaption = "DRAL Server";
  static constexpr const char* kCloseQuestion =
      "DRAL clients are still connected. Do you want to terminate the server?";
  static constexpr const char* kCloseCaption = "Close DRAL Server";
  static constexpr uint32_t kTimerIntervalMs = 400;
  static constexpr uint32_t kAutoCloseMs = 3000;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

  // What the timer reads of the link manager and the clock. Tests replace them to reach
  // states the real link manager passes through too quickly (it is stopped only before its
  // thread runs) and to step the clock.
  virtual uint16_t LinkState();
  virtual void StartSearch();
  virtual uint32_t TickCount();
  // Creates the settings dialog, shows it modally and destroys it. Tests replace it to make
  // it fail.
  virtual void ShowSettings();
  // Starts watching `device` for its removal (the notice source's registration). Tests replace
  // it to hold a registration halfway.
  virtual plat::DeviceNotifyHandle WatchDevice(plat::DeviceHandle device, uint32_t* error);

 private:
  void BuildComponents();
  // The auto-close of the timer: closes at once when no question is needed (or one is open
  // already), else asks from the event loop, never inside the tick.
  void AutoClose();
  void ShowPortTexts();
  void ShowStatistics();
  void ShowBitRate(int row, uint8_t status);
  void OnDeviceNotice(const plat::DeviceNotice& notice);
  void UnregisterDeviceHandleLocked();  // registrationMutex_ held

  std::unique_ptr<plat::TimerPeriod> timerPeriod_;
  std::unique_ptr<TDralServer> server_;
  std::unique_ptr<plat::DeviceNoticeSource> noticeSource_;
  // Points to the form while it lives; notices queued for the main thread find it here (main
  // thread only).
  std::shared_ptr<TMainForm*> alive_;

  // Guards notificationHandle_ and the handler as one pair; held while a notice is checked and
  // handled (recursive: the handler may read NotificationHandle).
  mutable std::recursive_mutex deviceMutex_;
  // Serialises whole registrations and their ends (taken before deviceMutex_); guards
  // registeredDevice_.
  std::mutex registrationMutex_;
  plat::DeviceHandle registeredDevice_ = 0;
  plat::DeviceNotifyHandle notificationHandle_ = 0;
  cls::AtomicClosure<void(void* sender)> deviceRemovedHandler_;

  // Kept across timer ticks.
  bool wasConnected_ = false;
  uint32_t lastSlotMask_ = 0;
  int32_t lastAttachCount_ = -1;  // -1: no process has had the library loaded since start
  uint32_t lastAttachTick_ = 0;
  uint16_t lastAttachSerial_ = 0;  // AttachSerial at the last tick (0 before the first)
  bool closeQueryOpen_ = false;
  bool closePending_ = false;  // an auto-close waits for the event loop to ask its question

  bool closed_ = false;
  bool destroyed_ = false;
};

// The one main form (null when none).
extern TMainForm* MainForm;

}  // namespace dral
