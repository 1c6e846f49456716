// The main window offscreen, through the built-in loopback cable: type or
// load lines, send them, see them arrive in MIDI In.
#include "workbench/kvx_form.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QSplitter>
#include <QTest>
#include <QTimer>
#include <fstream>
#include <set>
#include <filesystem>
#include <unistd.h>

#include "editor/zelk_memo.h"
#include "tests/util/temp_dir.h"
#include "tests/util/window_test_main.h"
#include "midi/loopback/loopback_service.h"
#include "midi/midi_system.h"
#include "util/clock.h"
#include "util/paths.h"
#include "util/registry.h"
#include "util/registry_file.h"
#include "tests/util/wait_until.h"

namespace kalvex {
namespace {

struct MainWindow : testing::Test {
  std::unique_ptr<TKVXForm> form;
  std::vector<QString> dialogs;

  void Make(QStringList parameters = {}) {
    form = std::make_unique<TKVXForm>(parameters);
    form->ShowErrorDialog = [this](const QString& text) { dialogs.push_back(text); };
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    QApplication::processEvents();  // the deferred start-up
  }
  void Loopback() {
    form->SelectOutput("Kalvex Loopback 1");
    form->SelectInput("Kalvex Loopback 1");
    ASSERT_TRUE(form->MidiOut().IsOpen());
    ASSERT_TRUE(form->MidiIn().IsOpen());
  }
  std::string Text(TZelkMemo* m) { return m->Lines().Text(); }
};

TEST_F(MainWindow, SendArrivesInMidiInThroughTheLoopbackCable) {
  Make();
  EXPECT_EQ(Text(form->SXOutput).rfind("// type here MIDI messages in hex", 0), 0u);  // the hint
  Loopback();
  form->SendSettings().SendSpeed = TSendEngine::kNoPacing;
  form->SXOutput->Lines().SetText("F0 7E 7F 06 01 F7\r\n90 3C 7F ; note");
  QTest::mouseClick(form->BSend, Qt::LeftButton);
  ASSERT_TRUE(test::WaitUntil([&] { return form->SXInput->Lines().Count() == 2; })) << form->SXInput->Lines().Count();
  EXPECT_EQ(Text(form->SXInput), "F0 7E 7F 06 01 F7\r\n90 3C 7F");
  EXPECT_EQ(form->LogOut->Lines().Lines().back(), "Sent 9 bytes");
  EXPECT_EQ(form->LogIn->Lines().Lines().back(), "Received 6 bytes succesfully.");
  EXPECT_EQ(form->BSend->text(), "Send (F4)");
}

TEST_F(MainWindow, EscCancelsASendAndF4DuringItDoesNothing) {
  Make();
  Loopback();
  form->SendSettings().SendSpeed = -1000;  // about 300 bytes a second
  std::string text;
  for (int i = 0; i < 40; ++i) text += "F0 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E F7\r\n";
  form->SXOutput->Lines().SetText(text);
  form->SXOutput->setFocus();
  QTimer::singleShot(300, [&] {
    EXPECT_EQ(form->BSend->text(), "Cancel (Esc)");
    QTest::keyClick(form->SXOutput, Qt::Key_F4);  // no second send
    QTest::keyClick(form->SXOutput, Qt::Key_Escape);
  });
  form->BSendClick();
  EXPECT_EQ(form->LogOut->Lines().Lines().back().rfind("Sending cancelled (sent ", 0), 0u)
      << form->LogOut->Lines().Text();
  EXPECT_EQ(form->BSend->text(), "Send (F4)");
}

// A command that would change the box or the port under a running send
// stops the send first and then runs: a hand-over with "/send" loads and
// sends its file whole; another MIDI Out port never gets the rest of the
// message; closing the window ends the send and then the window.
TEST_F(MainWindow, CommandsDuringASendStopItFirstAndThenRun) {
  Make();
  Loopback();
  form->SendSettings().SendSpeed = -1000;  // about 300 bytes a second
  const std::string lineA = "F0 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E F7";
  std::string text;
  for (int i = 0; i < 40; ++i) text += lineA + "\r\n";
  test::TTempDir dir;
  const std::string fileB = dir.File("b.syx");
  std::ofstream(fileB, std::ios::binary) << std::string("\xF0\x0B\x0B\xF7", 4);

  form->SXOutput->Lines().SetText(text);
  QTimer::singleShot(300, [&] { form->HandleParameters({QString::fromStdString(fileB), "/send"}); });
  form->BSendClick();
  EXPECT_EQ(form->LogOut->Lines().Lines().back().rfind("Sending cancelled (sent ", 0), 0u);
  ASSERT_TRUE(test::WaitUntil([&] { return form->LogOut->Lines().Lines().back() == "Sent 4 bytes"; }))
      << form->LogOut->Lines().Text();
  EXPECT_EQ(Text(form->SXOutput), "F0 0B 0B F7");
  ASSERT_TRUE(test::WaitUntil([&] { return form->SXInput->Lines().Lines().back() == "F0 0B 0B F7"; }))
      << Text(form->SXInput);
  for (const auto& line : form->SXInput->Lines().Lines())
    EXPECT_TRUE(line == lineA || line == "F0 0B 0B F7") << line;

  // Another port in the middle of a long message.
  form->SelectInput("Kalvex Loopback 2");
  QTest::mouseClick(form->BClearInput, Qt::LeftButton);
  std::string longLine = "F0";
  for (int i = 0; i < 600; ++i) longLine += " 11";
  form->SXOutput->Lines().SetText(longLine + " F7");
  QTimer::singleShot(300, [&] {
    for (QAction* a : form->MidiOutMenu->actions())
      if (a->text() == "Kalvex Loopback 2") a->trigger();
  });
  form->BSendClick();
  EXPECT_EQ(form->LogOut->Lines().Lines().back().rfind("Sending cancelled (sent ", 0), 0u);
  ASSERT_TRUE(test::WaitUntil([&] { return form->MidiOut().Name() == "Kalvex Loopback 2"; })) << "the port did not change";
  QTest::qWait(200);
  EXPECT_EQ(Text(form->SXInput), "") << "the new port got the rest of the message";

  // Closing during a send.
  form->SelectOutput("Kalvex Loopback 1");
  form->SXOutput->Lines().SetText(text);
  bool closedAtOnce = true;
  QTimer::singleShot(300, [&] { closedAtOnce = form->close(); });
  form->BSendClick();
  EXPECT_FALSE(closedAtOnce);
  EXPECT_EQ(form->LogOut->Lines().Lines().back().rfind("Sending cancelled (sent ", 0), 0u);
  ASSERT_TRUE(test::WaitUntil([&] { return !form->isVisible(); })) << "the window stayed open";
  EXPECT_FALSE(form->MidiOut().IsOpen());
}

// Settings that cannot be saved at close are shown before the window goes
// (its log goes with it).
TEST_F(MainWindow, ASettingsSaveThatFailsAtCloseIsShown) {
  Make();
  const std::string file = DefaultRegistryFilePath();
  std::filesystem::remove(file);
  std::filesystem::create_directories(file + "/in the way");  // the store cannot replace a folder
  form->close();
  std::filesystem::remove_all(file);
  ASSERT_EQ(dialogs.size(), 1u);
  EXPECT_EQ(dialogs[0].toStdString().rfind("Your settings could not be saved.\r\n", 0), 0u) << dialogs[0].toStdString();
}

// Text the user typed is not lost to a load or to Clear Out: Clear Out is
// one step that Ctrl+Z takes back, and a load asks first.
TEST_F(MainWindow, TypedTextIsNotReplacedWithoutAWord) {
  Make();
  test::TTempDir dir;
  const std::string file = dir.File("a.syx");
  std::ofstream(file, std::ios::binary) << std::string("\xF0\x0A\xF7", 3);
  std::vector<QString> asked;
  bool answer = false;
  form->AskYesNo = [&](const QString& q) {
    asked.push_back(q);
    return answer;
  };
  EXPECT_TRUE(form->LoadOutFile(file));  // over the hint: no question
  EXPECT_TRUE(asked.empty());
  form->SXOutput->Lines().SetText("");
  form->SXOutput->setFocus();
  QTest::keyClicks(form->SXOutput, "90 3C 7F");
  ASSERT_EQ(Text(form->SXOutput), "90 3C 7F");
  QTest::mouseClick(form->BClear, Qt::LeftButton);
  EXPECT_EQ(Text(form->SXOutput), "");
  QTest::keyClick(form->SXOutput, Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(Text(form->SXOutput), "90 3C 7F");

  EXPECT_FALSE(form->LoadOutFile(file));
  EXPECT_EQ(Text(form->SXOutput), "90 3C 7F");
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_NE(asked[0].toStdString().find("Replace it with " + file + "?"), std::string::npos) << asked[0].toStdString();
  form->HandleParameters({QString::fromStdString(file), "/send"});  // declined: nothing is sent either
  EXPECT_EQ(Text(form->SXOutput), "90 3C 7F");
  EXPECT_EQ(form->LogOut->Lines().Text().find("Sent"), std::string::npos);
  answer = true;
  EXPECT_TRUE(form->LoadOutFile(file));
  EXPECT_EQ(Text(form->SXOutput), "F0 0A F7");
  EXPECT_TRUE(form->LoadOutFile(file));  // a loaded file is no typed text
  EXPECT_EQ(asked.size(), 3u);
}

// The stored column width comes back exactly (it shrank 2 px at every
// start), and the logs line up with the columns from the start.
TEST_F(MainWindow, TheColumnsKeepTheirWidthAndTheLogsLineUp) {
  {
    TRegIniFile ini(RegBasePath(false));
    ini.WriteInteger("Current", "SplitterPos", 300);
    ini.UpdateFile();
  }
  for (int start = 0; start < 2; ++start) {
    SCOPED_TRACE(start);
    Make();
    QWidget* w = form->SXOutput;
    while (w && !qobject_cast<QSplitter*>(w->parentWidget())) w = w->parentWidget();
    ASSERT_NE(w, nullptr);
    auto* columns = qobject_cast<QSplitter*>(w->parentWidget());
    auto* logs = qobject_cast<QSplitter*>(form->LogOut->parentWidget());
    ASSERT_NE(logs, nullptr);
    EXPECT_EQ(columns->sizes().value(0), 300);
    EXPECT_EQ(logs->sizes(), columns->sizes());
    ASSERT_TRUE(form->SaveMainSettings());
    form.reset();
    EXPECT_EQ(TRegIniFile(RegBasePath(false)).ReadInteger("Current", "SplitterPos", 0), 300);
  }
}

// The MIDI Out menu's commands after its devices: Check reports by line, Fix
// checksums is one undoable step, Identify device shows each reply decoded (a loopback peer answers as a
// synth would) and says so when none comes within a second.
TEST_F(MainWindow, CheckFixAndIdentifyDeviceFromTheMidiOutMenu) {
  Make();
  form->MidiOutDevices().RefreshDeviceList(true, false);  // the commands stay after the devices
  const auto actions = form->MidiOutMenu->actions();
  ASSERT_GE(actions.size(), 3);
  EXPECT_EQ(actions[actions.size() - 3], form->Check1);
  EXPECT_EQ(actions[actions.size() - 2], form->FixChecksums1);
  EXPECT_EQ(actions.back(), form->IdentifyDevice1);

  form->SXOutput->Lines().SetText("F0 41 10 42 12 40 00 7F 00 42 F7\r\n90 3C\r\nF0 7E 7F 09 01 F7");
  form->Check1->trigger();
  const auto log = form->LogOut->Lines().Lines();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[log.size() - 3], "line 1: checksum wrong (expected 41, found 42)");
  EXPECT_EQ(log[log.size() - 2], "line 2: 90 takes 2 data bytes, the line has 1");
  EXPECT_EQ(log.back(), "Error: Check found 2 problems.");

  // Fix checksums: one step that Ctrl+Z takes back, comments kept.
  form->SXOutput->Lines().SetText("F0 41 10 42 12 40 00 7F 00 42 F7 ; GS reset\r\n90 3C 7F");
  form->FixChecksums1->trigger();
  EXPECT_EQ(Text(form->SXOutput), "F0 41 10 42 12 40 00 7F 00 41 F7 ; GS reset\r\n90 3C 7F");
  EXPECT_EQ(form->LogOut->Lines().Lines().back(), "Fixed 1 checksum (Ctrl+Z takes it back)");
  form->SXOutput->setFocus();
  QTest::keyClick(form->SXOutput, Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(Text(form->SXOutput), "F0 41 10 42 12 40 00 7F 00 42 F7 ; GS reset\r\n90 3C 7F");

  form->SelectOutput("Kalvex Loopback 1");
  form->SelectInput("Kalvex Loopback 2");
  TMidiInput synthIn;
  TMidiOutput synthOut;
  synthIn.DetectMidiLoop = synthOut.DetectMidiLoop = false;
  synthIn.SetDeviceID(FindDeviceIdByName(false, "Kalvex Loopback 1"));
  synthOut.SetDeviceID(FindDeviceIdByName(true, "Kalvex Loopback 2"));
  synthIn.OnDataAvailable = [&](TMidiInput& in) {
    while (auto e = in.ReadEvent()) {
      if (e->SysExLength == 6 && e->SysExData[3] == 0x06 && e->SysExData[4] == 0x01) {
        const uint8_t reply[] = {0xF0, 0x7E, 0x10, 0x06, 0x02, 0x41, 0x13, 0x01, 0x05, 0x00, 0x00, 0x01, 0x02, 0x03, 0xF7};
        synthOut.SendLong(reply, sizeof reply);
      }
    }
  };
  synthIn.Open();
  synthIn.Start();
  synthOut.Open();
  form->IdentifyDevice1->trigger();
  ASSERT_TRUE(test::WaitUntil([&] {
    return form->LogIn->Lines().Text().find("Identity reply: Universal Non-Real Time: Identity Reply (Roland "
                                            "Corporation, family 0093, member 0005, version 00 01 02 03), 15 bytes") !=
           std::string::npos;
  }, 2000)) << form->LogIn->Lines().Text();
  synthIn.Close();
  QTest::qWait(1100);
  EXPECT_EQ(form->LogIn->Lines().Text().find("No device answered"), std::string::npos);
  form->IdentifyDevice1->trigger();
  ASSERT_TRUE(test::WaitUntil([&] {
    return form->LogIn->Lines().Lines().back() == "Error: No device answered the identity request within 1 s.";
  }, 3000)) << form->LogIn->Lines().Text();
}

// Send files: in order, the stored pause between them, each file's bytes as
// they are; Esc during the pause stops the rest.
TEST_F(MainWindow, SendFilesInOrderWithThePauseBetweenThem) {
  {
    TRegIniFile ini(RegBasePath(false));
    ini.WriteInteger("Current", "FilePauseMs", 300);
    ini.UpdateFile();
  }
  Make();
  Loopback();
  form->SendSettings().SendSpeed = TSendEngine::kNoPacing;
  test::TTempDir dir;
  const std::string a = dir.File("a.syx"), b = dir.File("b.txt");
  std::ofstream(a, std::ios::binary) << std::string("\xF0\x0A\xF7", 3);
  std::ofstream(b) << "F0 0B F7\n";
  form->SXOutput->Lines().SetText("90 3C 7F");
  QElapsedTimer took;
  took.start();
  form->SendFiles({a, b});
  EXPECT_GE(took.elapsed(), 300);
  EXPECT_EQ(form->LogOut->Lines().Lines().back(), "Sent 2 files");
  ASSERT_TRUE(test::WaitUntil([&] { return form->SXInput->Lines().Count() == 2; })) << Text(form->SXInput);
  EXPECT_EQ(Text(form->SXInput), "F0 0A F7\r\nF0 0B F7");
  EXPECT_EQ(Text(form->SXOutput), "90 3C 7F");  // the box is not touched

  QTimer::singleShot(100, [&] { QTest::keyClick(form->SXOutput, Qt::Key_Escape); });
  form->SendFiles({a, b});
  EXPECT_EQ(form->LogOut->Lines().Lines().back(), "Error: Sent 1 of 2 files");
}

// A wait line holds the send on the manual clock, and with "Describe received
// messages" on what arrives gets its comment.
TEST_F(MainWindow, WaitLinesOnTheManualClockAndDescribedMessages) {
  TManualClock clock(50000);
  TScopedClock scoped(clock);
  Make();
  Loopback();
  form->DescribeMessages1->trigger();
  ASSERT_TRUE(form->DescribeMessages1->isChecked());
  form->SendSettings().SendSpeed = TSendEngine::kNoPacing;
  form->SXOutput->Lines().SetText("F0 41 10 42 12 40 00 7F 00 41 F7\r\n; wait 500\r\n90 3C 7F");
  int ticks = 0;
  QTimer advance;
  QObject::connect(&advance, &QTimer::timeout, [&] {
    ++ticks;
    clock.Advance(100);
  });
  advance.start(10);
  form->BSendClick();
  advance.stop();
  EXPECT_GE(ticks, 5) << "the send did not wait 500 ms of the clock";
  ASSERT_TRUE(test::WaitUntil([&] { return form->SXInput->Lines().Count() == 2; })) << Text(form->SXInput);
  EXPECT_EQ(Text(form->SXInput), "F0 41 10 42 12 40 00 7F 00 41 F7 ; Roland Corporation, 11 bytes, checksum OK\r\n90 3C 7F");
}

// MIDI thru with In and Out on one loopback cable would echo every message
// for ever: it is held off, and the log says why.
TEST_F(MainWindow, ThruIsHeldOffWhenInAndOutAreOneDevice) {
  Make();
  Loopback();
  form->MidiThru1->trigger();
  ASSERT_TRUE(form->MidiThru1->isChecked());
  form->SendSettings().SendSpeed = TSendEngine::kNoPacing;
  form->SXOutput->Lines().SetText("90 3C 7F");
  form->BSendClick();
  ASSERT_TRUE(test::WaitUntil([&] { return form->SXInput->Lines().Count() >= 1; })) << "nothing arrived";
  QTest::qWait(300);  // an echo would keep coming
  EXPECT_EQ(form->SXInput->Lines().Count(), 1) << form->SXInput->Lines().Count() << " lines: thru fed back";
  EXPECT_NE(form->LogIn->Lines().Text().find("MIDI thru is held off"), std::string::npos) << form->LogIn->Lines().Text();
}

// Holding F4 sends once: the key's repeats start no further sends.
TEST_F(MainWindow, HoldingF4SendsOnce) {
  Make();
  Loopback();
  form->SendSettings().SendSpeed = TSendEngine::kNoPacing;
  form->SXOutput->Lines().SetText("90 3C 7F");
  form->SXOutput->setFocus();
  auto sends = [&] {
    int n = 0;
    for (const auto& line : form->LogOut->Lines().Lines()) n += line.rfind("Sent ", 0) == 0;
    return n;
  };
  auto key = [&](bool press, bool repeat) {
    QTest::simulateEvent(form->SXOutput, press, Qt::Key_F4, Qt::NoModifier, QString(), repeat);
  };
  // A key's repeats come as a release and a press; the first pair is not
  // always marked as a repeat (X11).
  for (bool firstMarked : {true, false}) {
    SCOPED_TRACE(firstMarked);
    const int before = sends();
    key(true, false);
    for (int i = 0; i < 5; ++i) {
      key(false, i > 0 || firstMarked);
      key(true, i > 0 || firstMarked);
      QApplication::processEvents();
    }
    EXPECT_EQ(sends(), before) << "sent while the key was still held";
    key(false, false);
    ASSERT_TRUE(test::WaitUntil([&] { return sends() == before + 1; })) << form->LogOut->Lines().Text();
    QTest::qWait(100);
    EXPECT_EQ(sends(), before + 1) << form->LogOut->Lines().Text();
  }
  // Shift+F4, with Shift let go first: no send.
  const int before = sends();
  QTest::simulateEvent(form->SXOutput, true, Qt::Key_F4, Qt::ShiftModifier, QString(), false);
  key(false, false);
  QTest::qWait(100);
  EXPECT_EQ(sends(), before);
}

// The Save dialog honours the type the user picks: a name without an
// extension gets .txt when "Text Messages (*.txt)" was chosen.
TEST_F(MainWindow, SaveDialogGivesANameTheChosenTypesExtension) {
  Make();
  test::TTempDir dir;
  form->SXOutput->Lines().SetText("F0 7E 7F 06 01 F7 ; identity");
  const struct {
    const char* filter;
    const char* written;
  } cases[] = {{"Text Messages (*.txt)", "dump.txt"}, {"Sys Ex Files (*.syx)", "dump.syx"}};
  for (const auto& c : cases) {
    bool driven = false;
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
      auto* types = dialog ? dialog->findChild<QComboBox*>("fileTypeCombo") : nullptr;
      if (!types) return;
      const int index = types->findText(c.filter);
      types->setCurrentIndex(index);  // as the user picks it
      emit types->activated(index);
      emit types->textActivated(c.filter);
      dialog->selectFile(QString::fromStdString(dir.File("dump")));
      QMetaObject::invokeMethod(dialog, "accept");
      driven = true;
    });
    form->FileMenu->actions()[1]->trigger();
    ASSERT_TRUE(driven) << "the Save dialog did not open";
    EXPECT_TRUE(std::filesystem::exists(dir.File(c.written))) << c.filter;
  }
}

TEST_F(MainWindow, ParametersLoadTheLastFileAndSendInEitherOrder) {
  const std::string dir = std::filesystem::temp_directory_path() / ("kalvex_form_" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string first = dir + "/first.syx", second = dir + "/second.syx";
  std::ofstream(first, std::ios::binary) << std::string("\xF0\x01\xF7", 3);
  std::ofstream(second, std::ios::binary) << std::string("\xF0\x02\xF7", 3);
  // No port is open: the file loads, and the send says that nothing went out.
  Make({"/SEND", QString::fromStdString(first), QString::fromStdString(second)});
  EXPECT_EQ(Text(form->SXOutput), "F0 02 F7");
  EXPECT_EQ(form->LogOut->Lines().Lines().back(), "Error: Nothing was sent: no MIDI Out port is open.");
  EXPECT_EQ(dialogs, std::vector<QString>{"Nothing was sent: no MIDI Out port is open."});
  std::vector<std::string> recent;
  form->OnRecentFile = [&](const std::string& name) { recent.push_back(name); };
  form->SelectOutput("Kalvex Loopback 1");
  form->HandleParameters({QString::fromStdString(first), "-Send"});
  EXPECT_EQ(Text(form->SXOutput), "F0 01 F7");
  EXPECT_EQ(form->LogOut->Lines().Lines().back(), "Sent 3 bytes");
  EXPECT_EQ(recent, std::vector<std::string>{first});  // the recent-files hook hears every load
  form.reset();
  dialogs.clear();
  // "-send" alone: the box is still empty, so the error comes, then the hint.
  Make({"-send"});
  ASSERT_EQ(dialogs.size(), 1u);
  EXPECT_EQ(dialogs[0], "There is no data to send in the Midi Out Box.");
  EXPECT_EQ(Text(form->SXOutput).rfind("// type here", 0), 0u);
  std::filesystem::remove_all(dir);
}

TEST_F(MainWindow, MenusHoldTheirItemsAndAMissingManualIsTold) {
  Make();
  std::vector<std::string> menus, help;
  for (QAction* a : form->menuBar()->actions()) {
    menus.push_back(a->text().toStdString());
    if (a->text() == "&Help")
      for (QAction* h : a->menu()->actions()) help.push_back(h->text().toStdString());
  }
  EXPECT_EQ(menus, (std::vector<std::string>{"&File", "MIDI &Out", "MIDI &In", "O&ptions", "&Help"}));
  // Every menu has a letter of its own, and the usual file keys work.
  std::set<QChar> letters;
  for (const auto& m : menus) {
    const auto amp = m.find('&');
    ASSERT_NE(amp, std::string::npos) << m;
    EXPECT_TRUE(letters.insert(QChar(m[amp + 1]).toLower()).second) << m << " shares its letter";
  }
  std::vector<std::string> keys;
  for (QAction* a : form->FileMenu->actions())
    if (!a->shortcut().isEmpty()) keys.push_back(a->text().toStdString() + "=" + a->shortcut().toString().toStdString());
  EXPECT_EQ(keys, (std::vector<std::string>{"&Open=Ctrl+O", "&Save MIDI Out As...=Ctrl+S", "E&xit=Ctrl+Q"}));
  EXPECT_EQ(help, (std::vector<std::string>{"User's Manual", "&Kalvex on the Web", "Purchase Kalvex", "&About"}));
  for (QAction* a : form->menuBar()->actions())
    if (a->text() == "&Help") a->menu()->actions()[0]->trigger();
  ASSERT_FALSE(dialogs.empty());
  EXPECT_EQ(dialogs.back(), "Cannot open file:\r\nkalvex_manual.pdf");
}

// The desktop's opener starts, then finds no browser or viewer: the user
// is told all the same. A viewer that opens is no error.
TEST_F(MainWindow, AnOpenerThatFindsNoViewerIsTold) {
  Make();
  test::TTempDir bin;
  const std::string opened = bin.File("opened");
  const QByteArray path = qgetenv("PATH");
  qputenv("PATH", QByteArray::fromStdString(bin.Path()) + ":" + path);
  QAction* web = nullptr;
  for (QAction* a : form->menuBar()->actions())
    if (a->text() == "&Help") web = a->menu()->actions()[1];
  ASSERT_NE(web, nullptr);
  for (int exitCode : {0, 3}) {
    SCOPED_TRACE(exitCode);
    std::filesystem::remove(opened);
    std::ofstream(bin.File("xdg-open")) << "#!/bin/sh\necho \"$1\" > '" << opened << "'\nexit " << exitCode << "\n";
    std::filesystem::permissions(bin.File("xdg-open"), std::filesystem::perms::owner_all);
    dialogs.clear();
    web->trigger();
    ASSERT_TRUE(test::WaitUntil([&] { return std::filesystem::exists(opened); })) << "the opener did not run";
    if (exitCode == 0) {
      QTest::qWait(200);
      EXPECT_TRUE(dialogs.empty());
    } else {
      ASSERT_TRUE(test::WaitUntil([&] { return !dialogs.empty(); })) << "nothing was said";
      EXPECT_EQ(dialogs[0].toStdString().rfind("Could not open your Internet browser.", 0), 0u);
    }
  }
  qputenv("PATH", path);
}

TEST_F(MainWindow, TheContextMenuFollowsTheBoxItOpensOn) {
  Make();
  auto captions = [](QMenu* m) {
    std::vector<std::string> c;
    for (QAction* a : m->actions()) c.push_back(a->isSeparator() ? "-" : a->text().toStdString());
    delete m;
    return c;
  };
  EXPECT_EQ(captions(form->BuildPopup(form->LogIn)), (std::vector<std::string>{"Copy", "Select All", "Clear"}));
  EXPECT_EQ(captions(form->BuildPopup(form->SXOutput)),
            (std::vector<std::string>{"Copy", "Paste", "Cut", "Delete", "Select All", "Clear", "-", "Send", "Check",
                                      "Fix checksums"}));
  form->SXInput->Lines().SetText("F0 01 F7");
  form->SXInput->SelectAll();
  QMenu* popup = form->BuildPopup(form->SXInput);
  EXPECT_TRUE(popup->actions()[0]->isEnabled());  // Copy with a selection
  popup->actions()[3]->trigger();                 // Delete
  EXPECT_EQ(form->SXInput->Lines().Text(), "");
  delete popup;
}

// Nine messages of 10 bytes within a second, on the manual clock: the first
// eight show, the ninth makes it a bulk dump shown when the input is quiet.
TEST_F(MainWindow, NineMessagesBecomeABulkDumpOnTheManualClock) {
  TManualClock clock(50000);
  TScopedClock scoped(clock);
  Make();
  form->DetectBulkDumps1->setChecked(true);
  form->DetectBulkDumps1->triggered(true);
  Loopback();
  // A narrow MIDI In column: the panel goes over both columns, inside the window.
  QWidget* w = form->SXInput;
  while (w && !qobject_cast<QSplitter*>(w->parentWidget())) w = w->parentWidget();
  auto* columns = qobject_cast<QSplitter*>(w->parentWidget());
  const int total = columns->sizes().value(0) + columns->sizes().value(1);
  columns->setSizes({total - 60, 60});
  // What the panel really painted.
  struct TPainted : QObject {
    std::vector<QString> texts;
    bool eventFilter(QObject* o, QEvent* e) override {
      if (e->type() == QEvent::Paint) texts.push_back(static_cast<QLabel*>(o)->text());
      return false;
    }
  } painted;
  form->LSysExRcvd->installEventFilter(&painted);
  for (int i = 0; i < 9; ++i) {
    const uint8_t message[10] = {0xF0, 0x43, 0x10, 0x4C, 0, 0, 0x7E, static_cast<uint8_t>(i), 0, 0xF7};
    form->MidiOut().SendLong(message, 10);
    ASSERT_TRUE(test::WaitUntil([&] { return form->MidiOut().PendingLongCount() == 0; })) << i;
    if (i < 8) {
      ASSERT_TRUE(test::WaitUntil([&] { return form->SXInput->Lines().Count() == i + 1; })) << i;
    }
    clock.Advance(100);
  }
  ASSERT_TRUE(test::WaitUntil([&] { return form->PRcvBulkDump->isVisible(); })) << "no bulk dump panel";
  EXPECT_EQ(form->SXInput->Lines().Count(), 0);
  EXPECT_EQ(form->LSysExRcvd->text(), "Received 90 bytes...");
  EXPECT_TRUE(form->centralWidget()->rect().contains(form->PRcvBulkDump->geometry()))
      << form->PRcvBulkDump->geometry().x() << " + " << form->PRcvBulkDump->width() << " in "
      << form->centralWidget()->width();
  EXPECT_TRUE(form->PRcvBulkDump->autoFillBackground());
  clock.Advance(1000);
  ASSERT_TRUE(test::WaitUntil([&] { return form->SXInput->Lines().Count() == 9; }, 3000))  // at the next tick of the real timer
      << form->SXInput->Lines().Count();
  EXPECT_FALSE(form->PRcvBulkDump->isVisible());
  EXPECT_EQ(form->LogIn->Lines().Lines().back().rfind("Received 90 bytes of bulk dump (at ", 0), 0u);
  EXPECT_NE(std::find(painted.texts.begin(), painted.texts.end(), "Displaying bulk dump data..."), painted.texts.end());
  form->LSysExRcvd->removeEventFilter(&painted);
}

// Big and awkward input never leaves the window sending or loses the boxes.
TEST_F(MainWindow, BigOrAwkwardInputNeverLeavesTheWindowStuck) {
  Make();
  Loopback();
  form->SendSettings().SendSpeed = TSendEngine::kNoPacing;
  // A line of a megabyte.
  std::string big = "F0";
  for (int i = 0; i < (1 << 20) - 2; ++i) big += " 01";
  big += " F7";
  form->SXOutput->Lines().SetText(big);
  form->BSendClick();
  EXPECT_FALSE(form->BSend->text().startsWith("Cancel"));
  EXPECT_EQ(form->LogOut->Lines().Lines().back(), "Sent 1048576 bytes");
  // A box of 600k lines goes out whole and the button comes back.
  std::string many;
  for (int i = 0; i < 600000; ++i) many += "90 3C 7F\r\n";
  form->SXOutput->Lines().SetText(many);
  form->BSendClick();
  EXPECT_EQ(form->BSend->text(), "Send (F4)");
  EXPECT_EQ(form->LogOut->Lines().Lines().back(), "Sent 1800000 bytes");
  // A selection that ends inside a comment sends the bytes before it.
  form->SXOutput->Lines().SetText("F0 01 F7 ; comment here\r\n90 3C 7F");
  form->SXOutput->SelectRange({0, 0}, {14, 0});
  form->BSendClick();
  EXPECT_EQ(form->LogOut->Lines().Lines().back(), "Sent 3 bytes");
  // A file that fails to load keeps the box.
  form->HandleParameters({"/no/such/file.syx"});
  EXPECT_EQ(form->SXOutput->Lines().Text(), "F0 01 F7 ; comment here\r\n90 3C 7F");
  EXPECT_EQ(dialogs.back(), "Could not open /no/such/file.syx");
  // The output goes away in the middle of a slow send: the send stops and
  // says so (not "Sent"), the window is usable.
  form->SendSettings().SendSpeed = -1000;
  std::string text;
  for (int i = 0; i < 30; ++i) text += "F0 01 02 03 04 05 06 07 08 09 F7\r\n";
  form->SXOutput->Lines().SetText(text);
  QTimer::singleShot(200, [] { LoopbackService().RemoveCable("Kalvex Loopback 1"); });
  form->BSendClick();
  EXPECT_EQ(form->BSend->text(), "Send (F4)");
  const auto outLog = form->LogOut->Lines().Lines();
  EXPECT_NE(std::find(outLog.begin(), outLog.end(), "Error: The MIDI Out port Kalvex Loopback 1 went away."), outLog.end());
  EXPECT_EQ(outLog.back().rfind("Error: Sending stopped: the MIDI Out port went away after ", 0), 0u) << outLog.back();
  EXPECT_TRUE(LoopbackService().AddCable("Kalvex Loopback 1"));
  ASSERT_TRUE(test::WaitUntil([&] { return !form->MidiOut().IsOpen() || form->MidiOut().DisplayName() == "Kalvex Loopback 1"; }));
}

// What a user set is there again in a new window; the device menus keep
// their ports.
TEST_F(MainWindow, SettingsSurviveACloseAndANewWindow) {
  Make();
  Loopback();
  form->SendSettings().SendSpeed = 250;
  form->SendSettings().MessagePauseMs = 40;
  form->MidiThru1->trigger();
  ASSERT_TRUE(form->SaveMainSettings());
  form.reset();
  Make();
  EXPECT_EQ(form->SendSettings().SendSpeed, 250);
  EXPECT_EQ(form->SendSettings().MessagePauseMs, 40);
  EXPECT_TRUE(form->MidiThru1->isChecked());
  EXPECT_TRUE(form->MidiOut().IsOpen());
  EXPECT_EQ(form->MidiOut().DisplayName(), "Kalvex Loopback 1");
  EXPECT_TRUE(form->MidiIn().IsOpen());
  TRegIniFile ini(RegBasePath(false));
  EXPECT_EQ(ini.ReadString("MidiDevices", "MidiIn", ""), "Kalvex Loopback 1");
  EXPECT_EQ(ini.ReadString("Current", "MidiThru", ""), "1");
  // The services' hooks get the same store and section; a second instance
  // that hands over saves nothing.
  std::vector<std::string> calls;
  form->SaveRecentFiles = [&] { calls.push_back("recent"); };
  form->SaveFormState = [&](TRegIniFile& store, const std::string& section) {
    calls.push_back("form " + section);
    store.WriteInteger(section, "Left", 12);
  };
  ASSERT_TRUE(form->SaveMainSettings());
  EXPECT_EQ(calls, (std::vector<std::string>{"recent", "form Current"}));
  EXPECT_EQ(TRegIniFile(RegBasePath(false)).ReadInteger("Current", "Left", 0), 12);
  form->AnotherInstanceRunning = [] { return true; };
  form->SendSettings().SendSpeed = -1000;
  ASSERT_TRUE(form->SaveMainSettings());
  EXPECT_EQ(calls.size(), 2u);
  EXPECT_EQ(TRegIniFile(RegBasePath(false)).ReadInteger("Current", "SendSpeed", 0), 250);
}

}  // namespace
}  // namespace kalvex

int main(int argc, char** argv) { return kalvex::test::RunWindowTests(argc, argv); }
