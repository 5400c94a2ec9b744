#include "shell/MainUnit.h"

#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <bit>
#include <cctype>
#include <exception>

#include "classlib/Registry.h"
#include "classlib/exception.h"
#include "classlib/synchronize.h"
#include "classlib/ui/Application.h"
#include "classlib/ui/Controls.h"
#include "classlib/ui/TrayIcon.h"
#include "plat/scheduling.h"
#include "plat/tick.h"
#include "shell/About.h"
#include "shell/Artwork.h"
#include "shell/SettingsUnit.h"

namespace dral {

TMainForm* MainForm = nullptr;

namespace {

constexpr const char* kSettingsKey = "\\SOFTWARE\\Trevik\\DRAL";
constexpr const char* kLoggingValue = "Logging";
constexpr const char* kVisibleValue = "Visible";
constexpr const char* kLoggingSwitch = "-L";
constexpr uint32_t kTimerResolutionMs = 1;
constexpr int kClientRows = kSlotCount;
constexpr uint16_t kNoVersion = 0xFFFF;

constexpr const char* kAttachText = "Applications Connected:  %d";
constexpr const char* kVersionText = "Version %d.%.2d";
constexpr const char* kHexText = "%.2X";

// Form geometry: client area, status bar panels, statistics columns.
constexpr int kClientWidth = 608;
constexpr int kClientHeight = 246;
constexpr int kPanelWidth = 187;
constexpr int kDescriptionWidth = 215;
constexpr int kValueWidth = 98;

// Rows of the statistics list, in order.
enum StatsRow : int {
  RowCanTx,
  RowCanRx,
  RowJ1708Tx,
  RowJ1708Rx,
  RowAdapterPacketsReceived,
  RowAdapterPacketsSent,
  RowAdapterChecksumErrors,
  RowAdapterPacketErrors,
  RowServerPacketsReceived,
  RowServerPacketsSent,
  RowServerPacketErrors,
  RowCan1Status,
  RowCan1BitRate,
  RowCan2Status,
  RowCan2BitRate,
  RowJ1708Status,
  RowOtherStatus,
  RowClientThreads,
  RowReceiveRingDrops,  // the server's own losses, after the rows the form always had
  RowClientRingDrops,
  kStatsRows
};

constexpr const char* kStatsCaptions[kStatsRows] = {
    "CAN/J1939 Tx Count",
    "CAN/J1939 Rx Count",
    "J1708/J1587 Tx Count",
    "J1708/J1587 Rx Count",
    "Adapter Packets Received",
    "Adapter Packets Sent",
    "Adapter Checksum Errors",
    "Adapter Packet Errors",
    "Dral Server Packets Received",
    "Dral Server Packets Sent",
    "Dral Server Packet Errors",
    "CAN1 Status",
    "CAN1 Bit Rate",
    "CAN2 Status",
    "CAN2 Bit Rate",
    "J1708 Status",
    "Other Status",
    "Client Threads",
    "Frames Dropped, Receive Ring Full",
    "Frames Dropped, Client Ring Full",
};

// Client table columns.
enum ClientColumn : int { ColClient, ColTx, ColRx, ColActive, ColAdr1, ColAdr2 };

QString Text(const std::string& s) {
  return QString::fromStdString(s);
}
QString Number(uint32_t n) {
  return QString::number(n);
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

QLabel* MakeLabel(const QString& caption, QWidget* parent, int x, int y, int w, int h) {
  auto* label = new QLabel(caption, parent);
  label->setGeometry(x, y, w, h);
  return label;
}

}  // namespace

TMainForm::TMainForm(Options options, QWidget* owner)
    : QWidget(owner, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      alive_(std::make_shared<TMainForm*>(this)) {
  // Links register their devices with the main form while the link manager runs, which
  // starts with the request server below.
  MainForm = this;
  BuildComponents();

  noticeSource_ = std::make_unique<plat::DeviceNoticeSource>();
  noticeSource_->SetDeviceNoticeSink([alive = alive_](const plat::DeviceNotice& notice) {
    cls::QueueCall([alive, notice] {
      if (TMainForm* form = *alive) form->OnDeviceNotice(notice);
    });
  });
  SetDeviceRegistrar(this);  // before the request server starts the link manager

  timerPeriod_ = std::make_unique<plat::TimerPeriod>(kTimerResolutionMs);
  plat::RaiseProcessPriority();  // refused without privileges: the threads stay at nice 0

  // lastAttachSerial_ stays 0, the serial of a new block: an application that loaded the
  // library before the first tick (it may have started this server and be gone already) counts
  // as seen at that tick.
  server_ = std::make_unique<TDralServer>(options.Server);

  for (const std::string& param : options.Params) {
    if (Upper(param) == kLoggingSwitch) cbLogging->setChecked(true);
  }

  try {
    cls::TRegistry reg;
    reg.SetRootKey(cls::HKEY_CURRENT_USER);
    if (reg.OpenKeyReadOnly(kSettingsKey) && reg.ReadBool(kLoggingValue)) {
      cbLogging->setChecked(true);
    }
  } catch (const cls::Exception&) {
    // Missing or unreadable: logging stays off.
  }
  try {
    cls::TRegistry reg;
    reg.SetRootKey(cls::HKEY_LOCAL_MACHINE);
    if (reg.OpenKeyReadOnly(kSettingsKey) && reg.ReadInteger(kVisibleValue) != 0) {
      TrayIcon->SetVisible(true);
    }
  } catch (const cls::Exception&) {
    // Missing or unreadable: no tray icon.
  }

  for (int row = 0; row < kClientRows; ++row) {
    ListView->AddItem(Number(row), {"0", "0", "no", "", ""});
  }

  if (auto* app = cls::ui::Application()) app->OnMinimize = [this] { TrayIconMinimize(); };

  FormCreate();
  Timer->start();
}

TMainForm::~TMainForm() {
  FormDestroy();
}

void TMainForm::BuildComponents() {
  setWindowTitle(kCaption);
  setWindowIcon(ProgramIcon());
  setFixedSize(kClientWidth, kClientHeight);

  Label1 = MakeLabel("Device", this, 8, 12, 52, 21);
  stPort = MakeLabel("", this, 62, 12, 190, 21);
  stPort->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  Label2 = MakeLabel("Baud", this, 8, 40, 52, 21);
  Label2->hide();
  stPortInfo = MakeLabel("", this, 64, 40, 188, 21);
  Label3 = MakeLabel("Status", this, 8, 68, 52, 21);
  stStatus = MakeLabel("", this, 64, 68, 188, 21);
  Label4 = MakeLabel("Version", this, 8, 96, 52, 21);
  Label4->hide();
  stVersion = MakeLabel("", this, 64, 96, 188, 21);

  ListView =
      new cls::ui::TListView({{"Client"}, {"Tx"}, {"Rx"}, {"Active"}, {"Adr1"}, {"Adr2"}}, this);
  ListView->setGeometry(8, 8, 244, 172);
  ListView->hide();

  StatusBar = new cls::ui::TStatusBar({kPanelWidth, kPanelWidth}, this);
  StatusBar->setGeometry(0, kClientHeight - 22, kClientWidth, 22);

  cbLogging = new QCheckBox("Logging", this);
  cbLogging->setGeometry(96, 192, 97, 21);
  cbLogging->hide();
  QObject::connect(cbLogging, &QCheckBox::toggled, this, [this] { cbLoggingClick(); });

  btnSettings = new QPushButton("Options", this);
  btnSettings->setGeometry(8, 188, 80, 27);
  QObject::connect(btnSettings, &QPushButton::clicked, this, [this] { btnSettingsClick(); });

  StatsList = new cls::ui::TListView(
      {{"Description", kDescriptionWidth}, {"Value", kValueWidth, Qt::AlignRight}}, this);
  // Wide enough for both columns beside the vertical scroll bar: no horizontal one.
  const int statsWidth = kDescriptionWidth + kValueWidth + 2 * StatsList->frameWidth() +
                         StatsList->style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 2;
  StatsList->setGeometry(kClientWidth - 8 - statsWidth, 8, statsWidth, kClientHeight - 8 - 30);
  StatsList->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  StatsList->setSelectionMode(QAbstractItemView::NoSelection);
  StatsList->setFocusPolicy(Qt::NoFocus);

  Timer = new QTimer(this);
  Timer->setInterval(static_cast<int>(kTimerIntervalMs));
  QObject::connect(Timer, &QTimer::timeout, this, [this] { TimerTimer(); });

  PopupMenu = new QMenu(this);
  Open1 = PopupMenu->addAction("Open");
  About1 = PopupMenu->addAction("About...");
  Exit1 = PopupMenu->addAction("Exit");
  PopupMenu->setDefaultAction(Open1);
  QObject::connect(Open1, &QAction::triggered, this, [this] { Open1Click(); });
  QObject::connect(About1, &QAction::triggered, this, [this] { About1Click(); });
  QObject::connect(Exit1, &QAction::triggered, this, [this] { Exit1Click(); });

  TrayIcon = new cls::ui::TTrayIcon(this);
  TrayIcon->SetIcon(ProgramIcon());
  TrayIcon->SetHint(kCaption);
  TrayIcon->SetPopupMenu(PopupMenu);
  TrayIcon->OnRestore = [this] { TrayIconRestore(); };
}

void TMainForm::FormCreate() {
  for (const char* caption : kStatsCaptions) StatsList->AddItem(caption, {"0"});
}

void TMainForm::FormDestroy() {
  if (destroyed_) return;
  destroyed_ = true;
  Timer->stop();
  *alive_ = nullptr;  // notices still queued for the main thread find no form
  server_.reset();    // stops its threads and the links, writes "no server", releases the channel
  if (DeviceRegistrar() == this) SetDeviceRegistrar(nullptr);  // the links are gone
  if (NotificationHandle() != 0) UnregisterDeviceHandle();
  noticeSource_->SetDeviceNoticeSink({});
  timerPeriod_.reset();
  if (auto* app = cls::ui::Application()) app->OnMinimize = nullptr;
  if (MainForm == this) MainForm = nullptr;
}

uint16_t TMainForm::LinkState() {
  return server_->LinkManager().State();
}
void TMainForm::StartSearch() {
  server_->LinkManager().StartSearch();
}
uint32_t TMainForm::TickCount() {
  return plat::GetTickCount();
}

void TMainForm::ShowPortTexts() {
  std::string text;
  server_->PortName(text);
  stPort->setText(Text(text));
  server_->PortInfo(text);
  stPortInfo->setText(Text(text));
}

void TMainForm::TimerTimer() {
  if (closed_) return;
  if (!wasConnected_) ShowPortTexts();

  uint16_t state = LinkSearching;
  try {
    state = LinkState();
    switch (state) {
      case LinkStopped:
        stStatus->setText("Stopped");
        stPort->clear();
        stPortInfo->clear();
        wasConnected_ = false;
        break;
      case LinkSearching:
        stStatus->setText("Searching");
        wasConnected_ = false;
        break;
      case LinkConnected:
        stStatus->setText("Connected");
        ShowPortTexts();
        wasConnected_ = true;
        break;
      default:
        break;
    }
    if (isVisible()) {
      if (wasConnected_) {
        const uint16_t version = server_->AdapterVersion();
        if (version != kNoVersion) {
          stVersion->setText(Text(cls::Format(kVersionText, version >> 8, version & 0xFF)));
        }
      } else {
        stVersion->clear();
      }
    }
  } catch (const std::exception&) {
    state = LinkSearching;
  }

  const uint16_t slotMask = server_->SlotMask();
  if (slotMask > lastSlotMask_ && state == LinkStopped) StartSearch();
  lastSlotMask_ = slotMask;

  if (slotMask == 0 && state == LinkConnected) {
    server_->DisableChannels();
    server_->SetJ1708RawMode(0);
  }

  const int attachCount = server_->AttachCount();
  StatusBar->SetPanelText(0, Text(cls::Format(kAttachText, attachCount)));

  // A process that loaded and unloaded the library between two ticks shows only in the serial;
  // it counts as seen at this tick.
  const uint16_t attachSerial = server_->AttachSerial();
  const bool cameAndWent = attachSerial != lastAttachSerial_;
  lastAttachSerial_ = attachSerial;
  if (attachCount > 0 || cameAndWent) {
    lastAttachTick_ = TickCount();
    lastAttachCount_ = attachCount;
  } else if (lastAttachCount_ == 0 && TickCount() - lastAttachTick_ > kAutoCloseMs) {
    // Elapsed time as an unsigned difference, so the rule holds across the tick count's wrap.
    AutoClose();
  } else if (lastAttachCount_ != -1) {
    lastAttachCount_ = 0;
  }

  if (!closed_ && isVisible()) ShowStatistics();
}

void TMainForm::ShowStatistics() {
  const ServerStatistics s = server_->Statistics();
  THuxMgr& mgr = server_->LinkManager();
  const ChannelHeader& header = server_->Channel().Block()->Header;
  const uint8_t can1 = header.Can1Status.load(std::memory_order_relaxed);
  const uint8_t can2 = header.Can2Status.load(std::memory_order_relaxed);
  const uint8_t j1708 = header.J1708Status.load(std::memory_order_relaxed);
  const uint8_t other = header.OtherStatus.load(std::memory_order_relaxed);
  const auto set = [this](int row, const QString& text) { StatsList->SetText(row, 1, text); };
  const auto hex = [](uint8_t b) { return Text(cls::Format(kHexText, b)); };

  set(RowCanTx, Number(s.CanTxCount));
  set(RowCanRx, Number(s.CanRxCount));
  set(RowJ1708Tx, Number(s.J1708TxCount));
  set(RowJ1708Rx, Number(s.J1708RxCount));
  set(RowAdapterPacketsReceived, Number(s.AdapterPacketsReceived));
  set(RowAdapterPacketsSent, Number(s.AdapterPacketsSent));
  set(RowAdapterChecksumErrors, Number(s.AdapterChecksumErrors));
  set(RowAdapterPacketErrors, Number(s.AdapterPacketErrors));
  set(RowServerPacketsReceived, Number(mgr.FramesReceived()));
  set(RowServerPacketsSent, Number(mgr.FramesSent()));
  set(RowServerPacketErrors, Number(mgr.FrameErrors()));
  set(RowReceiveRingDrops, Number(s.ReceiveRingDrops));
  set(RowClientRingDrops, Number(s.ClientRingDrops));
  set(RowCan1Status, hex(can1));
  ShowBitRate(RowCan1BitRate, can1);
  set(RowCan2Status, hex(can2));
  ShowBitRate(RowCan2BitRate, can2);
  set(RowJ1708Status, hex(j1708));
  set(RowOtherStatus, hex(other));
  set(RowClientThreads,
      Number(static_cast<uint32_t>(std::popcount(static_cast<uint32_t>(server_->SlotMask())))));
}

void TMainForm::ShowBitRate(int row, uint8_t status) {
  QString text;
  if ((status & StatusAvailable) == 0) {
    text = "Not Available";
  } else {
    switch (status & kStatusBitRateMask) {
      case 0x00:
        text = "250kbps";
        break;
      case 0x10:
        text = "500kbps";
        break;
      case 0x20:
        text = "1000kbps";
        break;
      default:
        return;  // no rate of ours: the row keeps what it showed
    }
  }
  StatsList->SetText(row, 1, text);
}

bool TMainForm::FormCloseQuery() {
  const bool clientsLeft = server_->AttachCount() != 0 || server_->SlotMask() != 0;
  // A question is on screen already: a later attempt goes through only once every client is
  // gone.
  if (closeQueryOpen_) return !clientsLeft;
  if (!clientsLeft) return true;
  auto* app = cls::ui::Application();
  if (app == nullptr) return false;
  closeQueryOpen_ = true;
  int answer = cls::ui::IDNO;
  try {
    answer = app->MessageBox(kCloseQuestion, kCloseCaption, cls::ui::MB_YESNO);
  } catch (...) {
    closeQueryOpen_ = false;
    throw;
  }
  closeQueryOpen_ = false;
  return answer == cls::ui::IDYES;
}

void TMainForm::AutoClose() {
  const bool clientsLeft = server_->AttachCount() != 0 || server_->SlotMask() != 0;
  if (closeQueryOpen_ || !clientsLeft) {
    Close();  // no question opens: decided at once
    return;
  }
  // The question runs its own event loop. Inside this handler it would stop the timer (Qt does
  // not fire a timer again while its handler runs), and with it the ticks that are to close the
  // program once both counts are 0. So it is asked from the event loop, after this tick.
  if (closePending_) return;
  closePending_ = true;
  QTimer::singleShot(0, this, [this] {
    closePending_ = false;
    Close();
  });
}

bool TMainForm::Close() {
  if (closed_) return true;
  const bool canClose = FormCloseQuery();
  // A tick inside the question may have closed the form meanwhile.
  if (closed_) return true;
  if (!canClose) return false;
  closed_ = true;
  Timer->stop();
  hide();
  if (auto* app = cls::ui::Application()) app->Terminate();
  return true;
}

void TMainForm::closeEvent(QCloseEvent* event) {
  if (closed_ || Close()) {
    event->accept();
  } else {
    event->ignore();
  }
}

void TMainForm::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange && isMinimized()) {
    // Minimising the window minimises the program, which hides it (after the window system
    // has finished the state change).
    QTimer::singleShot(0, this, [] {
      if (auto* app = cls::ui::Application()) app->Minimize();
    });
  }
}

void TMainForm::Open1Click() {
  TrayIcon->Restore();
}

void TMainForm::About1Click() {
  if (AboutDlg != nullptr) AboutDlg->exec();
}

void TMainForm::Exit1Click() {
  Close();
}

void TMainForm::btnSettingsClick() {
  try {
    ShowSettings();
  } catch (const std::exception&) {
    // Dropped: the main window goes on as before.
  }
}

void TMainForm::ShowSettings() {
  TSettingsDlg dialog(this);
  dialog.exec();
}

void TMainForm::cbLoggingClick() {
  if (server_) server_->SetLogging(cbLogging->isChecked() ? 1 : 0);
}

void TMainForm::TrayIconMinimize() {
  hide();
}

void TMainForm::TrayIconRestore() {
  showNormal();
  raise();
  activateWindow();
}

void TMainForm::btnRefreshClick() {
  for (int slot = 0; slot < kClientRows; ++slot) {
    ListView->SetText(slot, ColTx, Number(server_->RingCount(slot, false)));
    ListView->SetText(slot, ColRx, Number(server_->RingCount(slot, true)));
    ListView->SetText(slot, ColActive, server_->IsSlotActive(slot) ? "yes" : "no");
  }
}

void TMainForm::RegisterDeviceHandle(plat::DeviceHandle device, TNotifyEvent handler) {
  std::lock_guard<std::mutex> registration(registrationMutex_);
  registeredDevice_ = device;
  uint32_t error = 0;
  const plat::DeviceNotifyHandle fresh = WatchDevice(device, &error);
  plat::DeviceNotifyHandle previous = 0;
  {
    // Handle and handler change as one: a notice about the previous registration that is
    // handled now goes to the previous handler, and once this is done it is dropped.
    std::lock_guard<std::recursive_mutex> lock(deviceMutex_);
    previous = notificationHandle_;
    notificationHandle_ = fresh;
    deviceRemovedHandler_.Set(handler);
  }
  // The form follows one device: the one registered before is watched no more.
  if (previous != 0) noticeSource_->Unregister(previous);
}

plat::DeviceNotifyHandle TMainForm::WatchDevice(plat::DeviceHandle device, uint32_t* error) {
  return noticeSource_->RegisterDeviceHandle(device, reinterpret_cast<uintptr_t>(this), error);
}

void TMainForm::UnregisterDeviceHandle(plat::DeviceHandle device) {
  std::lock_guard<std::mutex> registration(registrationMutex_);
  if (device == 0 || device != registeredDevice_) return;  // another link's registration
  UnregisterDeviceHandleLocked();
}

void TMainForm::UnregisterDeviceHandle() {
  std::lock_guard<std::mutex> registration(registrationMutex_);
  UnregisterDeviceHandleLocked();
}

void TMainForm::UnregisterDeviceHandleLocked() {
  registeredDevice_ = 0;
  plat::DeviceNotifyHandle previous = 0;
  {
    std::lock_guard<std::recursive_mutex> lock(deviceMutex_);
    previous = notificationHandle_;
    notificationHandle_ = 0;
    deviceRemovedHandler_.Clear();
  }
  if (previous != 0) noticeSource_->Unregister(previous);
}

plat::DeviceNotifyHandle TMainForm::NotificationHandle() const {
  std::lock_guard<std::recursive_mutex> lock(deviceMutex_);
  return notificationHandle_;
}

void TMainForm::OnDeviceNotice(const plat::DeviceNotice& notice) {
  // Checked and handled in one step with respect to the registrations: a notice that waited in
  // the queue while its registration ended or was replaced is not passed on, neither to the
  // old handler (after UnregisterDeviceHandle none is called) nor to a later link's.
  std::lock_guard<std::recursive_mutex> lock(deviceMutex_);
  if (notice.Notification == 0 || notice.Notification != notificationHandle_) return;
  DevBroadcastHandle record{};
  record.dbch_size = sizeof record;
  record.dbch_devicetype = notice.DeviceType;
  record.dbch_handle = notice.Handle;
  record.dbch_hdevnotify = notice.Notification;
  TMessage message;
  message.Msg = WM_DEVICECHANGE;
  message.WParam = notice.Event;
  message.LParam = reinterpret_cast<intptr_t>(&record);
  Dispatch(message);
}

void TMainForm::Dispatch(TMessage& message) {
  if (message.Msg == WM_DEVICECHANGE) WMDeviceChange(message);
}

void TMainForm::WMDeviceChange(TMessage& message) {
  if (message.LParam == 0) return;
  const auto* header = reinterpret_cast<const DevBroadcastHdr*>(message.LParam);
  if (header->dbch_devicetype != DBT_DEVTYP_HANDLE) return;
  switch (message.WParam) {
    case DBT_DEVICEQUERYREMOVE:
    case DBT_DEVICEREMOVEPENDING:
    case DBT_DEVICEREMOVECOMPLETE:
      deviceRemovedHandler_.Call(nullptr);
      break;
    default:
      break;
  }
}

}  // namespace dral
