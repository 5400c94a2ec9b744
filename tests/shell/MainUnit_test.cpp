#include "shell/MainUnit.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <map>
#include <memory>
#include <thread>

#include "MainFormFixture.h"
#include "classlib/Registry.h"
#include "classlib/ui/Application.h"
#include "classlib/ui/Controls.h"
#include "classlib/ui/TrayIcon.h"
#include "plat/device_interface.h"
#include "shell/About.h"
#include "shell_test_util.h"
#include "testsupport/AdapterSimulator.h"
#include "testsupport/SimConduit.h"
#include "testsupport/test_env.h"

namespace {

using namespace shell_test;

// ---- Construction ------------------------------------------------------------------------------

TEST_F(MainFormTest, BuildsEveryComponentWithItsTextAndRows) {
  auto& form = MakeForm();
  EXPECT_EQ(dral::MainForm, &form);
  EXPECT_EQ(form.windowTitle(), "DRAL Server");
  EXPECT_EQ(form.Label1->text(), "Device");
  EXPECT_EQ(form.Label2->text(), "Baud");
  EXPECT_EQ(form.Label3->text(), "Status");
  EXPECT_EQ(form.Label4->text(), "Version");
  EXPECT_TRUE(form.Label2->isHidden());
  EXPECT_TRUE(form.Label4->isHidden());
  EXPECT_TRUE(form.cbLogging->isHidden());
  EXPECT_TRUE(form.ListView->isHidden());
  EXPECT_EQ(form.cbLogging->text(), "Logging");
  EXPECT_EQ(form.btnSettings->text(), "Options");
  EXPECT_TRUE(timerWasActive_);
  EXPECT_EQ(form.Timer->interval(), 400);

  ASSERT_EQ(form.StatusBar->PanelCount(), 2);
  const char* captions[] = {"CAN/J1939 Tx Count",
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
                            "Frames Dropped, Client Ring Full"};
  ASSERT_EQ(form.StatsList->RowCount(), 20);
  for (int row = 0; row < 20; ++row) {
    EXPECT_EQ(form.StatsList->Text(row, 0), captions[row]);
    EXPECT_EQ(Stat(form, row), "0");
  }
  EXPECT_EQ(form.StatsList->headerItem()->text(0), "Description");
  EXPECT_EQ(form.StatsList->headerItem()->text(1), "Value");
  EXPECT_TRUE(form.StatsList->topLevelItem(0)->textAlignment(1) & Qt::AlignRight);

  ASSERT_EQ(form.ListView->RowCount(), 16);
  for (int row = 0; row < 16; ++row) {
    EXPECT_EQ(form.ListView->Text(row, 0), QString::number(row));
    EXPECT_EQ(form.ListView->Text(row, 1), "0");
    EXPECT_EQ(form.ListView->Text(row, 2), "0");
    EXPECT_EQ(form.ListView->Text(row, 3), "no");
    EXPECT_EQ(form.ListView->Text(row, 4), "");
  }

  EXPECT_EQ(form.TrayIcon->Hint(), "DRAL Server");
  EXPECT_FALSE(form.TrayIcon->Visible());
  EXPECT_EQ(form.TrayIcon->PopupMenu(), form.PopupMenu);
  ASSERT_EQ(form.PopupMenu->actions().size(), 3);
  EXPECT_EQ(form.PopupMenu->actions()[0]->text(), "Open");
  EXPECT_EQ(form.PopupMenu->actions()[1]->text(), "About...");
  EXPECT_EQ(form.PopupMenu->actions()[2]->text(), "Exit");
  EXPECT_EQ(form.PopupMenu->defaultAction(), form.Open1);

  form_.reset();
  EXPECT_EQ(dral::MainForm, nullptr);
}

TEST_F(MainFormTest, TheLoggingSwitchInEitherCaseTicksLogging) {
  for (const char* param : {"-L", "-l"}) {
    auto& form = MakeForm({"other", param});
    EXPECT_TRUE(form.cbLogging->isChecked()) << param;
    EXPECT_EQ(form.Server().LinkManager().Logging(), 1) << param;
    form_.reset();
  }
  auto& form = MakeForm({"-x", "L", "-LL"});
  EXPECT_FALSE(form.cbLogging->isChecked());
  EXPECT_EQ(form.Server().LinkManager().Logging(), 0);
  form.cbLogging->setChecked(true);  // the box passes its state on
  EXPECT_EQ(form.Server().LinkManager().Logging(), 1);
}

TEST_F(MainFormTest, RegistryValuesTickLoggingAndShowTheTrayIconAndBadOnesAreSkipped) {
  {
    cls::TRegistry reg;
    reg.SetRootKey(cls::HKEY_CURRENT_USER);
    ASSERT_TRUE(reg.OpenKey(kSettingsKey, true));
    reg.WriteBool("Logging", true);
    reg.SetRootKey(cls::HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey(kSettingsKey, true));
    reg.WriteInteger("Visible", 1);
  }
  auto& form = MakeForm();
  EXPECT_TRUE(form.cbLogging->isChecked());
  EXPECT_EQ(form.Server().LinkManager().Logging(), 1);
  EXPECT_TRUE(form.TrayIcon->Visible());
  form_.reset();

  {
    cls::TRegistry reg;
    reg.SetRootKey(cls::HKEY_CURRENT_USER);
    ASSERT_TRUE(reg.OpenKey(kSettingsKey, false));
    reg.WriteString("Logging", "yes");  // not an integer: unreadable
    reg.SetRootKey(cls::HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(reg.OpenKey(kSettingsKey, false));
    reg.WriteInteger("Visible", 0);
  }
  auto& plain = MakeForm();
  EXPECT_FALSE(plain.cbLogging->isChecked());
  EXPECT_FALSE(plain.TrayIcon->Visible());
}

// ---- Timer: link state, version, statistics ----------------------------------------------------

TEST_F(MainFormTest, TheTimerShowsTheLinkItsPortAndTheAdapterVersionButKeepsItWhileUnknown) {
  adapter_.SetVersion({0, 0, 3, 7, 0, 0}, 0);
  auto& form = MakeForm();
  form.show();
  WaitConnected();
  ASSERT_TRUE(WaitUntil([&] { return form.Server().AdapterVersion() == 0x0307; }));
  form.TimerTimer();
  EXPECT_EQ(form.stStatus->text(), "Connected");
  EXPECT_EQ(form.stPort->text(), SimConduit::kPortName);
  EXPECT_EQ(form.stPortInfo->text(), SimConduit::kPortInfo);
  EXPECT_EQ(form.stVersion->text(), "Version 3.07");

  // No version yet (0xFFFF): the text stays.
  adapter_.InjectMessage(sim::kVersionReply, {0, 0, 0xFF, 0xFF, 0, 0, 0, 0});
  ASSERT_TRUE(WaitUntil([&] { return form.Server().AdapterVersion() == 0xFFFF; }));
  form.TimerTimer();
  EXPECT_EQ(form.stVersion->text(), "Version 3.07");
  adapter_.InjectMessage(sim::kVersionReply, {0, 0, 1, 5, 0, 0, 0, 0});
  ASSERT_TRUE(WaitUntil([&] { return form.Server().AdapterVersion() == 0x0105; }));
  form.TimerTimer();
  EXPECT_EQ(form.stVersion->text(), "Version 1.05");

  // The link goes: searching, no port, no version.
  link_.OpenResult = false;
  link_.LinkUp = false;
  ASSERT_TRUE(
      WaitUntil([&] { return form.Server().LinkManager().State() == dral::LinkSearching; }));
  form.TimerTimer();
  EXPECT_EQ(form.stStatus->text(), "Searching");
  EXPECT_EQ(form.stVersion->text(), "");
  form.TimerTimer();  // the port texts follow on the next tick
  EXPECT_EQ(form.stPort->text(), "");
  EXPECT_EQ(form.stPortInfo->text(), "");
  EXPECT_EQ(form.stVersion->text(), "");
}

TEST_F(MainFormTest, StatisticsRowsAndBitRatesFollowTheStatusReplyAndTheCounters) {
  auto& form = MakeForm();
  form.show();
  WaitConnected();
  SimStatus s;
  s.PacketsReceived = 123456;
  s.PacketsSent = 654321;
  s.ChecksumErrors = 7;
  s.PacketErrors = 9;
  s.Can1Status = 0x11;  // available, 500k
  s.Can2Status = 0x21;  // available, 1000k
  s.J1708Status = 0x01;
  s.OtherStatus = 0xA5;
  SetStatus(s);

  TestClient a, b;
  ASSERT_TRUE(a.Put(dral::MsgCanFrame, {dral::kChannelBit1, 0x23, 0x01, 0, 0, 1, 2}));
  for (int i = 0; i < 2; ++i) adapter_.InjectCan(dral::kChannelBit1, 0x100, {1});
  for (int i = 0; i < 3; ++i) adapter_.InjectJ1708({0x80, 1, 2});
  ASSERT_TRUE(WaitUntil([&] {
    const auto st = form.Server().Statistics();
    return st.CanTxCount == 1 && st.CanRxCount == 2 && st.J1708RxCount == 3;
  }));

  auto& mgr = form.Server().LinkManager();
  const uint32_t receivedBefore = mgr.FramesReceived(), sentBefore = mgr.FramesSent();
  form.TimerTimer();
  const uint32_t receivedAfter = mgr.FramesReceived(), sentAfter = mgr.FramesSent();

  EXPECT_EQ(Stat(form, 0), "1");
  EXPECT_EQ(Stat(form, 1), "2");
  EXPECT_EQ(Stat(form, 2), "0");
  EXPECT_EQ(Stat(form, 3), "3");
  EXPECT_EQ(Stat(form, 4), "123456");
  EXPECT_EQ(Stat(form, 5), "654321");
  EXPECT_EQ(Stat(form, 6), "7");
  EXPECT_EQ(Stat(form, 7), "9");
  EXPECT_GE(Stat(form, 8).toUInt(), receivedBefore);
  EXPECT_LE(Stat(form, 8).toUInt(), receivedAfter);
  EXPECT_GT(Stat(form, 8).toUInt(), 0u);
  EXPECT_GE(Stat(form, 9).toUInt(), sentBefore);
  EXPECT_LE(Stat(form, 9).toUInt(), sentAfter);
  EXPECT_EQ(Stat(form, 10), QString::number(mgr.FrameErrors()));
  EXPECT_EQ(Stat(form, 11), "11");
  EXPECT_EQ(Stat(form, 12), "500kbps");
  EXPECT_EQ(Stat(form, 13), "21");
  EXPECT_EQ(Stat(form, 14), "1000kbps");
  EXPECT_EQ(Stat(form, 15), "01");
  EXPECT_EQ(Stat(form, 16), "A5");
  EXPECT_EQ(Stat(form, 17), "2");
  EXPECT_EQ(Stat(form, 18), "0");  // no frame was dropped
  EXPECT_EQ(Stat(form, 19), "0");

  // Rate bits 0x30 name no rate: the row keeps its text. Without bit 0x01: not available.
  s.Can1Status = 0x31;
  s.Can2Status = 0x20;
  SetStatus(s);
  form.TimerTimer();
  EXPECT_EQ(Stat(form, 11), "31");
  EXPECT_EQ(Stat(form, 12), "500kbps");
  EXPECT_EQ(Stat(form, 13), "20");
  EXPECT_EQ(Stat(form, 14), "Not Available");
  s.Can1Status = 0x01;
  SetStatus(s);
  form.TimerTimer();
  EXPECT_EQ(Stat(form, 12), "250kbps");

  // A hidden form leaves its rows alone.
  form.hide();
  s.OtherStatus = 0x5A;
  SetStatus(s);
  form.TimerTimer();
  EXPECT_EQ(Stat(form, 16), "A5");
}

TEST_F(MainFormTest, TheAdaptersChannelsGoOffOnEveryTickWhileNoSlotIsInUse) {
  auto& form = MakeForm();
  WaitConnected();
  // The link-up filter merges (J1708 last) may switch channels themselves; let them pass.
  ASSERT_TRUE(adapter_.WaitForMessage(dral_test::OfType(sim::kJ1708Filter), 5000));
  const auto control = [](uint8_t channel) {
    return [channel](const dral_test::AdapterMessage& m) {
      return m.Type == sim::kChannelControl && m.Data == dral_test::Bytes{channel, 0};
    };
  };
  const auto can1Offs = [&] { return adapter_.Count(control(1)); };
  adapter_.ClearRecords();
  form.Server().SetJ1708RawMode(1);
  form.TimerTimer();
  ASSERT_TRUE(adapter_.WaitForCount(control(3), 1, 5000));
  const auto got = adapter_.Messages(dral_test::OfType(sim::kChannelControl));
  ASSERT_GE(got.size(), 3u);
  EXPECT_EQ(got[got.size() - 3].Data, (dral_test::Bytes{1, 0}));
  EXPECT_EQ(got[got.size() - 2].Data, (dral_test::Bytes{2, 0}));
  EXPECT_EQ(got[got.size() - 1].Data, (dral_test::Bytes{3, 0}));
  EXPECT_EQ(form.Server().J1708RawMode(), 0);
  form.TimerTimer();
  EXPECT_TRUE(adapter_.WaitForCount(control(1), 2, 5000));

  TestClient client;
  form.Server().SetJ1708RawMode(1);
  form.TimerTimer();
  // A command of the client's goes to the adapter after anything the tick queued.
  ASSERT_TRUE(client.Put(dral::MsgAdapterCommand0C, {0x5A}));
  ASSERT_TRUE(adapter_.WaitForMessage(dral_test::OfType(dral::MsgAdapterCommand0C), 5000));
  EXPECT_EQ(can1Offs(), 2u);
  EXPECT_EQ(adapter_.Count(control(2)), 2u);
  EXPECT_EQ(form.Server().J1708RawMode(), 1);
}

TEST_F(MainFormTest, ARisingSlotMaskWhileTheLinkIsStoppedStartsTheSearch) {
  auto& form = MakeForm();
  form.ForcedLinkState = dral::LinkStopped;
  form.stPort->setText("old");
  form.TimerTimer();
  EXPECT_EQ(form.stStatus->text(), "Stopped");
  EXPECT_EQ(form.stPort->text(), "");
  EXPECT_EQ(form.SearchStarts, 0);

  auto a = std::make_unique<TestClient>();
  form.TimerTimer();
  EXPECT_EQ(form.SearchStarts, 1);
  form.TimerTimer();  // the same mask: no second start
  EXPECT_EQ(form.SearchStarts, 1);

  auto b = std::make_unique<TestClient>();
  form.ForcedLinkState = dral::LinkSearching;  // rising, but not stopped
  form.TimerTimer();
  EXPECT_EQ(form.SearchStarts, 1);

  b.reset();  // falling while stopped
  form.ForcedLinkState = dral::LinkStopped;
  form.TimerTimer();
  EXPECT_EQ(form.SearchStarts, 1);
  b = std::make_unique<TestClient>();  // rising again
  form.TimerTimer();
  EXPECT_EQ(form.SearchStarts, 2);
}

TEST_F(MainFormTest, TheHiddenClientTableShowsRingCountsAndActiveSlots) {
  auto& form = MakeForm({}, /*waitThread=*/false);  // nothing drains the rings
  TestClient a, b;
  ASSERT_TRUE(b.Put(dral::MsgAdapterCommand0C, {1}));
  ASSERT_TRUE(b.Put(dral::MsgAdapterCommand0C, {2}));
  form.btnRefreshClick();
  EXPECT_EQ(form.ListView->Text(a.Slot(), 1), "0");
  EXPECT_EQ(form.ListView->Text(a.Slot(), 3), "yes");
  EXPECT_EQ(form.ListView->Text(b.Slot(), 1), "2");
  EXPECT_EQ(form.ListView->Text(b.Slot(), 2), "0");
  EXPECT_EQ(form.ListView->Text(b.Slot(), 3), "yes");
  EXPECT_EQ(form.ListView->Text(5, 3), "no");
}

// ---- Auto-close and the close question ---------------------------------------------------------

TEST_F(MainFormTest, WithNoProcessEverAttachedTheFormNeverClosesByItself) {
  auto& form = MakeForm();
  form.Now = 1000;
  for (int i = 0; i < 20; ++i) {
    form.TimerTimer();
    *form.Now += 60 * 60 * 1000;
  }
  EXPECT_FALSE(form.Closed());
  EXPECT_EQ(form.StatusBar->PanelText(0), "Applications Connected:  0");
}

TEST_F(MainFormTest, ClosesOnTheFirstTickMoreThan3000msAfterTheLastTickThatSawAProcess) {
  auto& form = MakeForm();
  Header().AttachCount.store(2);
  form.Now = 5000;
  form.TimerTimer();
  EXPECT_EQ(form.StatusBar->PanelText(0), "Applications Connected:  2");
  Header().AttachCount.store(0);
  for (uint32_t t = 5400; t <= 8000; t += 400) {
    form.Now = t;
    form.TimerTimer();
    ASSERT_FALSE(form.Closed()) << t;
  }
  form.Now = 8000;  // exactly 3000 ms: not yet
  form.TimerTimer();
  EXPECT_FALSE(form.Closed());
  form.Now = 8001;
  form.TimerTimer();
  EXPECT_TRUE(form.Closed());
  EXPECT_FALSE(form.isVisible());
  EXPECT_FALSE(form.Timer->isActive());
}

TEST_F(MainFormTest, AProcessThatCameAndWentBetweenTwoTicksStillStartsTheCloseDelay) {
  auto& form = MakeForm();
  form.Now = 1000;
  form.TimerTimer();
  // Loaded and unloaded the library within one timer period: the count is back at 0.
  Header().AttachSerial.fetch_add(1);
  form.Now = 1400;
  form.TimerTimer();
  form.Now = 4400;
  form.TimerTimer();
  EXPECT_FALSE(form.Closed());
  form.Now = 4401;
  form.TimerTimer();
  EXPECT_TRUE(form.Closed()) << "a short-lived application kept the server alive";
}

TEST_F(MainFormTest, AProcessGoneBeforeTheFirstTickStillStartsTheCloseDelay) {
  // The application that started the server connects while the server is being made and is
  // gone before the form's first tick: only the block's serial shows it.
  dral::THuxQueue early(/*clientMode=*/false);  // maps the block, takes no slot
  early.Block()->Header.AttachSerial.fetch_add(1);
  auto& form = MakeForm();
  form.Now = 1000;
  form.TimerTimer();
  form.Now = 4000;
  form.TimerTimer();
  EXPECT_FALSE(form.Closed());
  form.Now = 4001;
  form.TimerTimer();
  EXPECT_TRUE(form.Closed()) << "the application that started the server kept it alive";
}

TEST_F(MainFormTest, TheCloseDelayHoldsAcrossTheTickCountsWrapAndRestartsWhenAProcessReturns) {
  auto& form = MakeForm();
  const uint32_t start = 0xFFFFF800u;  // 2048 ms before the tick count wraps
  Header().AttachCount.store(1);
  form.Now = start;
  form.TimerTimer();
  Header().AttachCount.store(0);
  for (const uint32_t after : {400u, 800u, 1200u, 2000u, 2800u}) {  // the last two wrapped
    form.Now = start + after;
    form.TimerTimer();
    ASSERT_FALSE(form.Closed()) << after;
  }
  Header().AttachCount.store(1);  // a process loads the library again
  form.TimerTimer();
  Header().AttachCount.store(0);
  form.Now = start + 4000;  // 4000 since the first, 1200 since the last
  form.TimerTimer();
  form.Now = start + 5800;
  form.TimerTimer();
  EXPECT_FALSE(form.Closed());
  form.Now = start + 5801;
  form.TimerTimer();
  EXPECT_TRUE(form.Closed());
}

TEST_F(MainFormTest, AClientSlotStillInUseMakesTheAutoCloseAskAndNoKeepsTheServer) {
  auto& form = MakeForm();
  TestClient client;  // a connection the last process left open
  Header().AttachCount.store(1);
  form.Now = 1000;
  form.TimerTimer();
  Header().AttachCount.store(0);
  form.TimerTimer();
  form.Now = 4001;
  int asked = 0;
  WhenQuestionOpens([&](QMessageBox* box) {
    ++asked;
    EXPECT_EQ(box->text(), dral::TMainForm::kCloseQuestion);
    EXPECT_EQ(box->windowTitle(), dral::TMainForm::kCloseCaption);
    Answer(box, QMessageBox::No);
  });
  form.TimerTimer();  // the question opens from the event loop, after the tick
  ASSERT_TRUE(PumpUntil([&] { return asked == 1 && !cls::ui::Application()->OpenMessageBox(); }));
  EXPECT_FALSE(form.Closed());

  WhenQuestionOpens([&](QMessageBox* box) {
    ++asked;
    Answer(box, QMessageBox::Yes);
  });
  form.TimerTimer();  // asked again on the next tick
  ASSERT_TRUE(PumpUntil([&] { return form.Closed(); }));
  EXPECT_EQ(asked, 2);
}

// The form's own timer: its ticks go on while the question it raised is open.
TEST_F(MainFormTest, WhileTheQuestionIsOpenTicksGoOnAndCloseOnceBothCountsAreZero) {
  auto& form = MakeForm();
  auto client = std::make_unique<TestClient>();
  const auto panelShows = [&](int n) {
    return form.StatusBar->PanelText(0) == QString("Applications Connected:  %1").arg(n);
  };
  Header().AttachCount.store(1);
  form.Now = 1000;
  form.Timer->start();
  ASSERT_TRUE(PumpUntil([&] { return panelShows(1); }));
  Header().AttachCount.store(0);
  ASSERT_TRUE(PumpUntil([&] { return panelShows(0); }));
  bool checked = false;
  WhenQuestionOpens([&](QMessageBox* box) {
    QPointer<QMessageBox> open(box);
    Header().AttachCount.store(2);
    EXPECT_TRUE(PumpUntil([&] { return panelShows(2); })) << "no tick while the question is open";
    Header().AttachCount.store(0);
    EXPECT_TRUE(PumpUntil([&] { return panelShows(0); }));
    form.Now = 8000;  // long past the close delay, but a slot is still in use
    const uint32_t ticksBefore = form.Ticks;
    EXPECT_TRUE(PumpUntil([&] { return form.Ticks >= ticksBefore + 2; }));
    EXPECT_FALSE(form.Closed());
    EXPECT_TRUE(open && open->isVisible());
    client.reset();  // both counts 0: the next tick closes, and the question goes with it
    EXPECT_TRUE(PumpUntil([&] { return form.Closed(); }));
    checked = true;
    if (open && open->isVisible()) Answer(open, QMessageBox::No);  // the ticks failed to end it
  });
  form.Now = 4001;
  ASSERT_TRUE(PumpUntil([&] { return checked; }));
  EXPECT_TRUE(form.Closed());
  EXPECT_EQ(cls::ui::Application()->OpenMessageBox(), nullptr);
}

TEST_F(MainFormTest, ExitAndTheCloseBoxAskWhileClientsRemainAndCloseAtOnceOtherwise) {
  auto& form = MakeForm();
  form.show();
  Header().AttachCount.store(1);
  WhenQuestionOpens([](QMessageBox* box) { Answer(box, QMessageBox::No); });
  form.Exit1->trigger();
  EXPECT_FALSE(form.Closed());
  EXPECT_TRUE(form.isVisible());
  WhenQuestionOpens([](QMessageBox* box) { Answer(box, QMessageBox::No); });
  EXPECT_FALSE(form.close());  // the window's close box
  EXPECT_TRUE(form.isVisible());

  Header().AttachCount.store(0);
  EXPECT_TRUE(form.close());
  EXPECT_TRUE(form.Closed());
}

// ---- Tray icon and menu ------------------------------------------------------------------------

TEST_F(MainFormTest, MinimisingHidesTheWindowAndTheTrayIconBringsItBack) {
  auto& form = MakeForm();
  form.show();
  cls::ui::Application()->Minimize();
  EXPECT_FALSE(form.isVisible());
  form.Open1->trigger();
  EXPECT_TRUE(form.isVisible());

  form.showMinimized();  // the window's own minimise box minimises the program
  ASSERT_TRUE(PumpUntil([&] { return !form.isVisible(); }));

  auto* icon = form.TrayIcon->findChild<QSystemTrayIcon*>();
  ASSERT_NE(icon, nullptr);
  emit icon->activated(QSystemTrayIcon::Trigger);  // a single click does not restore
  EXPECT_FALSE(form.isVisible());
  emit icon->activated(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(form.isVisible());
  EXPECT_FALSE(form.isMinimized());
}

TEST_F(MainFormTest, AboutShowsTheAboutDialogModallyUntilEscape) {
  auto& form = MakeForm();
  dral::TAboutDlg about;
  dral::AboutDlg = &about;
  bool shown = false;
  QTimer::singleShot(0, [&] {
    shown = about.isVisible() && QApplication::activeModalWidget() == &about;
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier, "\x1b");
    QApplication::sendEvent(&about, &escape);
  });
  form.About1->trigger();  // returns once the dialog has closed
  dral::AboutDlg = nullptr;
  EXPECT_TRUE(shown);
  EXPECT_FALSE(about.isVisible());
}

// ---- Device-change notices ---------------------------------------------------------------------

struct RemovalLog {
  std::atomic<int> Calls{0};
  std::atomic<bool> OnMainThread{true};
  std::atomic<bool> NullSender{true};
  static void OnRemoved(void* data, void* sender) {
    auto* log = static_cast<RemovalLog*>(data);
    log->Calls.fetch_add(1);
    if (!cls::IsMainThread()) log->OnMainThread = false;
    if (sender != nullptr) log->NullSender = false;
  }
  dral::TNotifyEvent Handler() { return dral::TNotifyEvent{&RemovalLog::OnRemoved, this}; }
};

TEST_F(MainFormTest, DeviceChangeCallsTheHandlerOnlyForRemovalEventsAboutAHandle) {
  auto& form = MakeForm();
  RemovalLog log;
  form.RegisterDeviceHandle(0, log.Handler());  // no device: the handler is stored all the same
  EXPECT_EQ(form.DeviceRemovedHandler(), log.Handler());

  dral::DevBroadcastHandle handle{};
  handle.dbch_size = sizeof handle;
  handle.dbch_devicetype = dral::DBT_DEVTYP_HANDLE;
  handle.dbch_handle = 7;
  dral::DevBroadcastHdr iface{};
  iface.dbch_size = sizeof iface;
  iface.dbch_devicetype = dral::DBT_DEVTYP_DEVICEINTERFACE;
  const auto send = [&](uint32_t msg, uintptr_t event, const void* record) {
    dral::TMessage m;
    m.Msg = msg;
    m.WParam = event;
    m.LParam = reinterpret_cast<intptr_t>(record);
    form.Dispatch(m);
  };
  for (uint32_t event : {dral::DBT_DEVICEQUERYREMOVE, dral::DBT_DEVICEREMOVEPENDING,
                         dral::DBT_DEVICEREMOVECOMPLETE}) {
    send(dral::WM_DEVICECHANGE, event, &handle);
  }
  EXPECT_EQ(log.Calls.load(), 3);
  EXPECT_TRUE(log.NullSender);

  send(dral::WM_DEVICECHANGE, dral::DBT_DEVICEQUERYREMOVEFAILED, &handle);
  send(dral::WM_DEVICECHANGE, 0x8000, &handle);  // arrival
  send(dral::WM_DEVICECHANGE, dral::DBT_DEVICEREMOVECOMPLETE, &iface);
  send(dral::WM_DEVICECHANGE, dral::DBT_DEVICEREMOVECOMPLETE, nullptr);
  send(dral::WM_DEVICECHANGE + 1, dral::DBT_DEVICEREMOVECOMPLETE, &handle);
  EXPECT_EQ(log.Calls.load(), 3);

  form.UnregisterDeviceHandle();
  EXPECT_FALSE(form.DeviceRemovedHandler().IsSet());
  send(dral::WM_DEVICECHANGE, dral::DBT_DEVICEREMOVECOMPLETE, &handle);
  EXPECT_EQ(log.Calls.load(), 3);
}

class DeviceNoticeTest : public MainFormTest {
 protected:
  // A device entry (a FIFO) in the test's device folder, opened as a device handle.
  plat::DeviceHandle OpenDevice(const std::string& name) {
    const std::string folder = plat::DeviceDirectory() + "/{5F0C0D3E-6A0B-4C1D-9E2F-3A4B5C6D7E8F}";
    std::filesystem::create_directories(folder);
    const std::string path = folder + "/" + name;
    EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
    uint32_t error = 0;
    const plat::DeviceHandle handle = plat::CreateDeviceFile(path, &error);
    EXPECT_NE(handle, 0u) << error;
    paths_[handle] = path;
    return handle;
  }
  void Remove(plat::DeviceHandle handle) { std::filesystem::remove(paths_[handle]); }
  void TearDown() override {
    MainFormTest::TearDown();
    for (const auto& [handle, path] : paths_) plat::CloseDeviceFile(handle);
  }
  std::map<plat::DeviceHandle, std::string> paths_;
};

TEST_F(DeviceNoticeTest, RemovalOfTheRegisteredDeviceReachesTheHandlerOnTheMainThread) {
  auto& form = MakeForm();
  RemovalLog log;
  const plat::DeviceHandle device = OpenDevice("dev0");
  form.RegisterDeviceHandle(device, log.Handler());
  EXPECT_NE(form.NotificationHandle(), 0u);
  Remove(device);
  ASSERT_TRUE(PumpUntil([&] { return log.Calls > 0; }));
  PumpUntil([] { return false; }, 100);
  EXPECT_EQ(log.Calls.load(), 1);
  EXPECT_TRUE(log.OnMainThread);
  EXPECT_TRUE(log.NullSender);

  form.UnregisterDeviceHandle();
  EXPECT_EQ(form.NotificationHandle(), 0u);
  EXPECT_FALSE(form.DeviceRemovedHandler().IsSet());
}

TEST_F(DeviceNoticeTest, ASecondRegistrationReplacesTheFirstOne) {
  auto& form = MakeForm();
  RemovalLog first, second;
  const plat::DeviceHandle a = OpenDevice("a");
  const plat::DeviceHandle b = OpenDevice("b");
  form.RegisterDeviceHandle(a, first.Handler());
  const plat::DeviceNotifyHandle firstRegistration = form.NotificationHandle();
  form.RegisterDeviceHandle(b, second.Handler());
  EXPECT_NE(form.NotificationHandle(), firstRegistration);
  Remove(a);  // no longer watched
  Remove(b);
  ASSERT_TRUE(PumpUntil([&] { return second.Calls > 0; }));
  PumpUntil([] { return false; }, 100);
  EXPECT_EQ(second.Calls.load(), 1);
  EXPECT_EQ(first.Calls.load(), 0);
}

TEST_F(DeviceNoticeTest, ALinkEndingItsOldRegistrationLeavesTheNewerOneOfAnotherLink) {
  auto& form = MakeForm();
  RemovalLog first, second;
  const plat::DeviceHandle a = OpenDevice("a");
  const plat::DeviceHandle b = OpenDevice("b");
  form.RegisterDeviceHandle(a, first.Handler());
  form.RegisterDeviceHandle(b, second.Handler());  // another link registers after the first
  const plat::DeviceNotifyHandle current = form.NotificationHandle();
  form.UnregisterDeviceHandle(a);  // the first link closes its device
  EXPECT_EQ(form.NotificationHandle(), current);
  EXPECT_TRUE(form.DeviceRemovedHandler() == second.Handler());
  Remove(b);
  ASSERT_TRUE(PumpUntil([&] { return second.Calls > 0; })) << "the newer device lost its watch";
  form.UnregisterDeviceHandle(b);
  EXPECT_EQ(form.NotificationHandle(), 0u);
  EXPECT_FALSE(form.DeviceRemovedHandler().IsSet());
}

TEST_F(DeviceNoticeTest, ANoticeStillQueuedWhenTheDeviceIsUnregisteredReachesNoHandler) {
  auto& form = MakeForm();
  RemovalLog log;
  const plat::DeviceHandle device = OpenDevice("dev0");
  form.RegisterDeviceHandle(device, log.Handler());
  // Hold the main thread's queue back, so the notice waits there.
  auto queued = std::make_shared<std::atomic<int>>(0);
  cls::SetSynchronizeWakeUp([queued] { queued->fetch_add(1); });
  Remove(device);
  const bool waited = WaitUntil([&] { return queued->load() > 0; });
  form.UnregisterDeviceHandle();
  cls::ui::Application()->HookSynchronize();
  ASSERT_TRUE(waited);
  // A call queued behind the notice runs after it.
  bool drained = false;
  cls::QueueCall([&] { drained = true; });
  ASSERT_TRUE(PumpUntil([&] { return drained; }));
  EXPECT_EQ(log.Calls.load(), 0);
}

TEST_F(DeviceNoticeTest, ANoticeAboutAnEarlierDeviceNeverReachesALinkThatRegistersMeanwhile) {
  auto& form = MakeForm();
  RemovalLog first, second;
  const plat::DeviceHandle a = OpenDevice("a");
  const plat::DeviceHandle b = OpenDevice("b");
  form.RegisterDeviceHandle(a, first.Handler());
  auto queued = std::make_shared<std::atomic<int>>(0);
  cls::SetSynchronizeWakeUp([queued] { queued->fetch_add(1); });
  Remove(a);
  const bool waited = WaitUntil([&] { return queued->load() > 0; });
  // Another link registers its device on its own thread and is held halfway while the main
  // thread handles the notice about the first device.
  std::atomic<bool> halfway{false}, resume{false};
  form.OnWatchDevice = [&] {
    halfway = true;
    WaitUntil([&] { return resume.load(); });
  };
  std::thread link([&] { form.RegisterDeviceHandle(b, second.Handler()); });
  const bool held = WaitUntil([&] { return halfway.load(); });
  cls::ui::Application()->HookSynchronize();
  bool drained = false;
  cls::QueueCall([&] { drained = true; });
  const bool ran = PumpUntil([&] { return drained; });
  resume = true;
  link.join();
  ASSERT_TRUE(waited && held && ran);
  EXPECT_EQ(second.Calls.load(), 0);
  EXPECT_EQ(first.Calls.load(), 1);  // its registration was still the current one
}

}  // namespace
