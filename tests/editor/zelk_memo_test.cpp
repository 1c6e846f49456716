#include "editor/zelk_memo.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QFontInfo>
#include <QFontMetrics>
#include <QImage>
#include <QInputMethodEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QStyleHints>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>
#include <QWheelEvent>
#include "tests/util/wait_until.h"

namespace kalvex {
namespace {

// One window with the editor and a second control to take the focus.
struct ZelkMemoWidget : testing::Test {
  QWidget window;
  TZelkMemo* memo = nullptr;
  QLineEdit* other = nullptr;

  void SetUp() override {
    auto* layout = new QVBoxLayout(&window);
    memo = new TZelkMemo(&window);
    other = new QLineEdit(&window);
    layout->addWidget(memo);
    layout->addWidget(other);
    window.resize(400, 300);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    memo->setFocus();
    QApplication::processEvents();
  }

  QWidget* vp() const { return memo->viewport(); }
  int Gutter() const { return memo->GutterOptions().Visible() ? memo->GutterOptions().Width() : 0; }
  // The middle of the left half of a cell.
  QPoint Cell(int col, int line) const {
    return QPoint(Gutter() + col * memo->CharWidth() + 1, (line - memo->TopLine()) * memo->LineHeight() + memo->LineHeight() / 2);
  }
  void Key(int key, Qt::KeyboardModifiers mods = Qt::NoModifier) { QTest::keyClick(memo, Qt::Key(key), mods); }
  std::string Text() const { return memo->Lines().Text(); }
  void Move(QPoint pos, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QMouseEvent e(QEvent::MouseMove, pos, vp()->mapToGlobal(pos), Qt::NoButton, Qt::LeftButton, mods);
    QApplication::sendEvent(vp(), &e);
  }
  QImage Grab() {
    QImage img(vp()->size(), QImage::Format_RGB32);
    vp()->render(&img);
    return img;
  }
};

TEST_F(ZelkMemoWidget, TypingEnterBackspaceAndUndoThroughKeys) {
  QTest::keyClicks(memo, "ab cd");
  Key(Qt::Key_Return);
  QTest::keyClicks(memo, "F0");
  EXPECT_EQ(Text(), "ab cd\r\nF0");
  Key(Qt::Key_Backspace);
  EXPECT_EQ(Text(), "ab cd\r\nF");
  Key(Qt::Key_Z, Qt::ControlModifier);  // the backspace
  Key(Qt::Key_Z, Qt::ControlModifier);  // "F0"
  Key(Qt::Key_Z, Qt::ControlModifier);  // the line break
  Key(Qt::Key_Z, Qt::ControlModifier);  // " cd"
  EXPECT_EQ(Text(), "ab");
  Key(Qt::Key_Y, Qt::ControlModifier);
  EXPECT_EQ(Text(), "ab cd");
  EXPECT_EQ(memo->Caret(), (TBMPos{5, 0}));
}

TEST_F(ZelkMemoWidget, KeyDownHandlerSeesTheKeyAfterTheEditorActed) {
  memo->Lines().SetText("abc");
  memo->MoveCaret(1, 0, true, ssNone);
  std::string seen;
  memo->OnKeyDown = [&](int key, TBMShift) {
    if (key == vkDelete) seen = memo->Lines().Text();
  };
  Key(Qt::Key_Delete);
  EXPECT_EQ(seen, "ac");
}

TEST_F(ZelkMemoWidget, KeyPressHandlerCanChangeOrDropCharacters) {
  memo->OnKeyPress = [](char& c) {
    if (c == 'x') return false;
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return true;
  };
  QTest::keyClicks(memo, "f0x7e");
  EXPECT_EQ(Text(), "F07E");
}

TEST_F(ZelkMemoWidget, ClipboardKeysAndReadOnly) {
  memo->Lines().SetText("F0 43 F7");
  Key(Qt::Key_A, Qt::ControlModifier);
  Key(Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QApplication::clipboard()->text(), "F0 43 F7");
  Key(Qt::Key_End, Qt::ControlModifier);
  Key(Qt::Key_Return);
  Key(Qt::Key_Insert, Qt::ShiftModifier);
  EXPECT_EQ(Text(), "F0 43 F7\r\nF0 43 F7");
  memo->SelectRange({0, 1}, {3, 1});
  Key(Qt::Key_Delete, Qt::ShiftModifier);  // cut
  EXPECT_EQ(Text(), "F0 43 F7\r\n43 F7");
  EXPECT_EQ(QApplication::clipboard()->text(), "F0 ");
  Key(Qt::Key_Insert, Qt::ControlModifier);  // nothing
  EXPECT_EQ(Text(), "F0 43 F7\r\n43 F7");

  memo->SetReadOnly(true);
  memo->SelectRange({0, 0}, {2, 0});
  Key(Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QApplication::clipboard()->text(), "F0");
  for (int k : {Qt::Key_V, Qt::Key_X, Qt::Key_Z, Qt::Key_Y}) Key(k, Qt::ControlModifier);
  QTest::keyClicks(memo, "zz");
  Key(Qt::Key_Return);
  EXPECT_EQ(Text(), "F0 43 F7\r\n43 F7");
  EXPECT_FALSE(memo->CaretShown());
  EXPECT_FALSE(memo->BlinkTimerActive());
}

TEST_F(ZelkMemoWidget, PasteTakesClipboardTextWithAnyBreaks) {
  QApplication::clipboard()->setText("A\rB\nC");
  Key(Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(memo->Lines().Lines(), (std::vector<std::string>{"A", "B", "C"}));
  QApplication::clipboard()->setText("");
  Key(Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(memo->Lines().Count(), 3);
}

TEST_F(ZelkMemoWidget, TabIsTypedOnlyWhenWantedAndWritable) {
  Key(Qt::Key_Tab);
  EXPECT_EQ(Text(), "\t");
  EXPECT_TRUE(memo->hasFocus());
  memo->WantTabs = false;
  Key(Qt::Key_Tab);
  EXPECT_EQ(Text(), "\t");
  EXPECT_TRUE(other->hasFocus());
  memo->setFocus();
  memo->WantTabs = true;
  memo->SetReadOnly(true);
  Key(Qt::Key_Tab);
  EXPECT_TRUE(other->hasFocus());
}

TEST_F(ZelkMemoWidget, ClickPlacesCaretAndDragSelects) {
  memo->Lines().SetText("\tab\r\nF0 43 F7");
  QTest::mouseClick(vp(), Qt::LeftButton, Qt::NoModifier, Cell(5, 0));  // inside the tab's cells
  EXPECT_EQ(memo->Caret(), (TBMPos{0, 0}));
  QTest::mouseClick(vp(), Qt::LeftButton, Qt::NoModifier, Cell(9, 0));
  EXPECT_EQ(memo->Caret(), (TBMPos{2, 0}));
  QTest::mousePress(vp(), Qt::LeftButton, Qt::NoModifier, Cell(3, 1));
  Move(Cell(5, 1));
  QTest::mouseRelease(vp(), Qt::LeftButton, Qt::NoModifier, Cell(5, 1));
  EXPECT_EQ(memo->GetSelText(), "43");
  QTest::mouseClick(vp(), Qt::LeftButton, Qt::ShiftModifier, Cell(8, 1));
  EXPECT_EQ(memo->GetSelText(), "43 F7");
}

TEST_F(ZelkMemoWidget, DoubleClickSelectsAByte) {
  memo->Lines().SetText("F0 43 F7");
  // What the system sends: press, release, double click, release.
  QTest::mouseClick(vp(), Qt::LeftButton, Qt::NoModifier, Cell(4, 0));
  QTest::mouseDClick(vp(), Qt::LeftButton, Qt::NoModifier, Cell(4, 0));
  QTest::mouseRelease(vp(), Qt::LeftButton, Qt::NoModifier, Cell(4, 0));
  EXPECT_EQ(memo->GetSelText(), "43");
}

TEST_F(ZelkMemoWidget, GutterClickSelectsTheLineWithItsBreak) {
  memo->Lines().SetText("l0\r\nl1\r\nl2");
  QTest::mouseClick(vp(), Qt::LeftButton, Qt::NoModifier, QPoint(Gutter() - 4, Cell(0, 1).y()));
  EXPECT_EQ(memo->GetSelText(), "l1\r\n");
}

TEST_F(ZelkMemoWidget, DragAndDropMovesAndCopiesWithUndo) {
  memo->Lines().SetText("ab cd ef");
  memo->SelectRange({3, 0}, {5, 0});
  QTest::mousePress(vp(), Qt::LeftButton, Qt::NoModifier, Cell(4, 0));
  Move(Cell(8, 0));
  QTest::mouseRelease(vp(), Qt::LeftButton, Qt::NoModifier, Cell(8, 0));
  EXPECT_EQ(Text(), "ab  efcd");
  EXPECT_EQ(memo->GetSelText(), "cd");
  QTest::mousePress(vp(), Qt::LeftButton, Qt::NoModifier, Cell(7, 0));
  Move(Cell(0, 0), Qt::ControlModifier);
  QTest::mouseRelease(vp(), Qt::LeftButton, Qt::ControlModifier, Cell(0, 0));
  EXPECT_EQ(Text(), "cdab  efcd");
  Key(Qt::Key_Z, Qt::ControlModifier);
  Key(Qt::Key_Z, Qt::ControlModifier);
  Key(Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(Text(), "ab cd ef");
}

TEST_F(ZelkMemoWidget, DraggingBelowTheWindowAutoScrolls) {
  std::string text;
  for (int i = 0; i < 200; ++i) text += "line " + std::to_string(i) + "\r\n";
  memo->Lines().SetText(text);
  QTest::mousePress(vp(), Qt::LeftButton, Qt::NoModifier, Cell(0, 0));
  Move(QPoint(Cell(0, 0).x(), vp()->height() + 40));
  EXPECT_TRUE(memo->AutoScrollTimerActive());
  EXPECT_EQ(memo->AutoScrollLineStep(), 2);
  QTest::qWait(350);
  EXPECT_GE(memo->TopLine(), 4);
  QTest::mouseRelease(vp(), Qt::LeftButton, Qt::NoModifier, QPoint(Cell(0, 0).x(), vp()->height() + 40));
  EXPECT_FALSE(memo->AutoScrollTimerActive());
  EXPECT_GT(memo->SelEnd().line, memo->VisibleLines());
}

TEST_F(ZelkMemoWidget, ScrollToEndLaterScrollsOnceAfterABurst) {
  memo->Lines().BeginUpdate();
  for (int i = 0; i < 1000; ++i) memo->Lines().Add("F0 7E 7F 06 01 F7");
  memo->Lines().EndUpdate();
  QSignalSpy scrolls(memo->verticalScrollBar(), &QScrollBar::valueChanged);
  for (int i = 0; i < 5; ++i) memo->ScrollToEndLater();
  EXPECT_EQ(memo->TopLine(), 0);
  ASSERT_TRUE(test::WaitUntil([&] { return memo->TopLine() == 1000 - memo->VisibleLines(); })) << memo->TopLine();
  QTest::qWait(3 * TZelkMemo::kScrollToEndDelayMs);
  EXPECT_EQ(scrolls.count(), 1);
  EXPECT_EQ(memo->CaretLine(), 999);
  EXPECT_EQ(memo->verticalScrollBar()->value(), memo->TopLine());
}

TEST_F(ZelkMemoWidget, ScrollBarsFollowTheText) {
  EXPECT_EQ(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  memo->SetScrollbars(sbNone);  // already the value: nothing changes
  EXPECT_EQ(memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  memo->SetScrollbars(sbVertical);
  EXPECT_EQ(memo->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  std::string text;
  for (int i = 0; i < 100000; ++i) text += "x\r\n";
  memo->Lines().SetText(text);
  QScrollBar* bar = memo->verticalScrollBar();
  EXPECT_TRUE(bar->isEnabled());
  bar->setValue(bar->maximum());  // the thumb at the bottom reaches the last page
  EXPECT_EQ(memo->TopLine(), 100000 - memo->VisibleLines());
  memo->Lines().SetText("short");
  EXPECT_FALSE(bar->isEnabled());
}

TEST_F(ZelkMemoWidget, PaintsSelectionControlsAndTabs) {
  memo->Lines().SetText(std::string("\x01\tX\r\n\r\nabc", 10));
  memo->SelectRange({1, 0}, {1, 2});
  QApplication::processEvents();
  const QImage img = Grab();
  const QColor selBg = memo->EnvironmentOptions().SelectionBackground();
  const int lh = memo->LineHeight();
  // The empty middle line of the selection is filled to the right edge.
  EXPECT_EQ(QColor(img.pixel(vp()->width() - 3, lh + lh / 2)), selBg);
  EXPECT_EQ(QColor(img.pixel(Gutter() + 2, lh + lh / 2)), selBg);
  // The third line is selected up to column 1 only.
  EXPECT_NE(QColor(img.pixel(Gutter() + memo->CharWidth() * 2 + 2, 2 * lh + 1)), selBg);
  // Gutter in its own colour.
  EXPECT_EQ(QColor(img.pixel(2, 2)), memo->GutterOptions().Color());
}

TEST_F(ZelkMemoWidget, BadInputDoesNotCrashOrHang) {
  std::string nul("a\0b\r\n", 5);
  std::string longLine(1 << 20, 'F');
  longLine += "\r\n\xF0\xF7\rlone CR\r\n";
  memo->Lines().SetText(nul + longLine);
  EXPECT_EQ(memo->Lines().Count(), 4);
  EXPECT_EQ(memo->Lines()[0], std::string("a\0b", 3));
  memo->MoveCaret(0, 1, true, ssNone);
  Key(Qt::Key_End);
  EXPECT_EQ(memo->CaretCol(), 1 << 20);
  memo->PaintFrameForTest();
  QTest::keyClicks(memo, "7");
  EXPECT_EQ(memo->Lines()[1].size(), (1u << 20) + 1);
  Key(Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(memo->Lines()[1].size(), 1u << 20);
  memo->SelectAll();
  Key(Qt::Key_C, Qt::ControlModifier);
  memo->PaintFrameForTest();
}

TEST_F(ZelkMemoWidget, DropListOpensAndEnterTypesTheItem) {
  memo->Lines().SetText("F0 ");
  memo->MoveCaret(3, 0, true, ssNone);
  memo->SetDropListItems({"GM on|7E 7F|7E 7F 09 01 F7", "b|x|yy"});
  int downs = 0;
  memo->OnDropListDown = [&] { ++downs; };
  memo->DropDown();
  EXPECT_EQ(downs, 1);
  ASSERT_FALSE(memo->DropList()->isHidden());
  QTest::keyClick(memo->DropList(), Qt::Key_Return);
  EXPECT_TRUE(memo->DropList()->isHidden());
  EXPECT_EQ(Text(), "F0 7E 7F 09 01 F7");
  EXPECT_TRUE(memo->hasFocus());
  memo->DropDown();
  QTest::keyClick(memo->DropList(), Qt::Key_Escape);
  EXPECT_TRUE(memo->DropList()->isHidden());
  EXPECT_EQ(Text(), "F0 7E 7F 09 01 F7");
}

TEST_F(ZelkMemoWidget, DestroyedWithTheDropListOpenAndTimersRunning) {
  memo->Lines().SetText("F0 ");
  memo->MoveCaret(3, 0, true, ssNone);
  memo->SetDropListItems({"a"});
  memo->ScrollToEndLater();
  memo->DropDown();
  ASSERT_TRUE(memo->DropList()->hasFocus());
  delete memo;
  memo = nullptr;
  QTest::qWait(50);  // the timers' next ticks would come now
  // The window goes on working.
  other->setFocus();
  QTest::keyClicks(other, "ok");
  EXPECT_EQ(other->text(), "ok");
  EXPECT_TRUE(window.findChildren<TZelkMemo*>().isEmpty());
}

TEST_F(ZelkMemoWidget, HourglassOnlyWhileAnOpenUpdateMeetsEvents) {
  QTest::keyClicks(memo, "F0");
  EXPECT_EQ(vp()->cursor().shape(), Qt::IBeamCursor);
  memo->Lines().BeginUpdate();
  memo->Lines().Add("7E");
  vp()->repaint();  // the window handles events inside the update
  EXPECT_EQ(vp()->cursor().shape(), Qt::WaitCursor);
  memo->Lines().EndUpdate();
  EXPECT_EQ(vp()->cursor().shape(), Qt::IBeamCursor);
  EXPECT_EQ(Text(), "F0\r\n7E");
}

// What is on screen after the control's own partial repaints (rows, caret,
// selection, shifted scrolls) after keys, wheel, clicks, drags, drops and
// double clicks must equal a full repaint: no stale caret, selection or rows.
TEST_F(ZelkMemoWidget, PartialRepaintsLeaveTheSameScreenAsAFullOne) {
  memo->GutterOptions().SetShowLineNum(true);
  std::string text;
  for (int i = 0; i < 200; ++i)
    text += "F0 " + std::to_string(i) + (i % 7 ? "\t7E\r\n" : " 7F " + std::string(90, 'A') + "\r\n");  // some scroll sideways
  memo->Lines().SetText(text);
  QApplication::processEvents();
  auto screen = [&] {
    return QApplication::primaryScreen()->grabWindow(window.winId()).toImage().convertToFormat(QImage::Format_RGB32);
  };
  const int keys[] = {Qt::Key_Return, Qt::Key_Backspace, Qt::Key_Delete, Qt::Key_Left, Qt::Key_Right,
                      Qt::Key_Up,     Qt::Key_Down,      Qt::Key_A,      Qt::Key_Tab,  Qt::Key_End,
                      Qt::Key_PageDown, Qt::Key_PageUp};
  unsigned state = 7;
  auto rnd = [&](int n) {
    state = state * 1103515245u + 12345u;
    return static_cast<int>((state >> 16) % static_cast<unsigned>(n));
  };
  for (int step = 0; step < 300; ++step) {
    int key = keys[rnd(12)];
    Qt::KeyboardModifiers mods = rnd(4) == 0 ? Qt::ShiftModifier : Qt::NoModifier;
    if (rnd(6) == 0) {
      const int ctrlKeys[] = {Qt::Key_Z, Qt::Key_Z, Qt::Key_Y, Qt::Key_A, Qt::Key_C, Qt::Key_X, Qt::Key_V};
      key = ctrlKeys[rnd(7)];
      mods = Qt::ControlModifier;
    }
    const int what = rnd(10);
    if (what == 1 || what == 2) {
      // A click, a drag (maybe a drag of the selection) or a double click.
      const QPoint from = Cell(rnd(12), memo->TopLine() + rnd(memo->VisibleLines()));
      const QPoint to = Cell(rnd(12), memo->TopLine() + rnd(memo->VisibleLines()));
      const Qt::KeyboardModifiers m = rnd(3) == 0 ? Qt::ControlModifier : Qt::NoModifier;
      QTest::mousePress(vp(), Qt::LeftButton, m, from);
      Move(to, m);
      QTest::mouseRelease(vp(), Qt::LeftButton, m, to);
      if (rnd(4) == 0) {
        QTest::mouseDClick(vp(), Qt::LeftButton, Qt::NoModifier, to);
        QTest::mouseRelease(vp(), Qt::LeftButton, Qt::NoModifier, to);
      }
    } else if (what == 3 && rnd(3) == 0) {
      // What the main window does to its boxes.
      switch (rnd(3)) {
        case 0: memo->AppendText("\r\nF0 7E 7F 09 01 F7"); break;
        case 1: memo->ClearSelection(); break;
        case 2:
          memo->Lines().Add("F7");
          memo->ScrollToEnd();
          break;
      }
    } else if (what == 0) {
      QWheelEvent wheel(QPointF(40, 20), vp()->mapToGlobal(QPointF(40, 20)), QPoint(), QPoint(0, rnd(2) ? 120 : -120),
                        Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
      QApplication::sendEvent(vp(), &wheel);
    } else {
      Key(key, mods);
    }
    QApplication::processEvents();
    const QImage partial = screen();
    vp()->update();
    QApplication::processEvents();
    ASSERT_EQ(partial, screen()) << "step " << step << " key " << key << " what " << what;
  }
}

TEST_F(ZelkMemoWidget, FontIsFixedPitchAndOptionsAreLimited) {
  // A family that is not there still gives a font whose characters are all
  // as wide as the grid's cells.
  memo->SetFont(QFont("No Such Family Kalvex", 12));
  const QFontMetrics fm(memo->font());
  EXPECT_EQ(fm.horizontalAdvance(QLatin1Char('i')), fm.horizontalAdvance(QLatin1Char('W')))
      << QFontInfo(memo->font()).family().toStdString();
  memo->GutterOptions().SetWidth(5);
  EXPECT_EQ(memo->GutterOptions().Width(), 12);
  memo->PaintFrameForTest();
  EXPECT_EQ(memo->GutterOptions().Width(), 14);
  memo->GutterOptions().SetWidth(100);
  EXPECT_EQ(memo->GutterOptions().Width(), 48);
  memo->GutterOptions().SetLedingDigits(12);
  EXPECT_EQ(memo->GutterOptions().LedingDigits(), 8);
  memo->SetRightEdgeCol(0);
  EXPECT_EQ(memo->RightEdgeCol(), 1);
  memo->SetRightEdgeCol(5000);
  EXPECT_EQ(memo->RightEdgeCol(), 1600);
}

TEST_F(ZelkMemoWidget, CaretBlinksOnlyWithFocusAndWhileWritable) {
  memo->Lines().SetText("abc");
  EXPECT_TRUE(memo->BlinkTimerActive());
  other->setFocus();
  QApplication::processEvents();
  EXPECT_FALSE(memo->BlinkTimerActive());
  EXPECT_FALSE(memo->CaretShown());
  memo->setFocus();
  QApplication::processEvents();
  EXPECT_TRUE(memo->CaretShown());
  memo->SetReadOnly(true);
  EXPECT_FALSE(memo->BlinkTimerActive());
  memo->SetReadOnly(false);  // back on with the focus: blinking again
  EXPECT_TRUE(memo->BlinkTimerActive());
  EXPECT_TRUE(memo->CaretShown());
  // Typing holds the caret visible over the next blink.
  QTest::keyClicks(memo, "x");
  QTest::qWait(TZelkMemo::kCaretBlinkMs - 50);  // at most one tick: the held one
  EXPECT_TRUE(memo->CaretShown());
}

TEST_F(ZelkMemoWidget, WheelAndPageKeysScrollTheView) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += "x\r\n";
  memo->Lines().SetText(text);
  QWheelEvent wheel(QPointF(20, 20), vp()->mapToGlobal(QPointF(20, 20)), QPoint(), QPoint(0, -240), Qt::NoButton,
                    Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(vp(), &wheel);
  EXPECT_EQ(memo->TopLine(), 6);
  EXPECT_EQ(memo->verticalScrollBar()->value(), 6);
  QTest::mouseClick(vp(), Qt::LeftButton, Qt::NoModifier, Cell(0, 6));
  Key(Qt::Key_PageDown);
  EXPECT_EQ(memo->CaretLine(), 6 + memo->VisibleLines());
  EXPECT_EQ(memo->TopLine(), 6 + memo->VisibleLines());
  Key(Qt::Key_Up, Qt::ControlModifier);  // the view moves, the caret stays
  EXPECT_EQ(memo->TopLine(), 5 + memo->VisibleLines());
  EXPECT_EQ(memo->CaretLine(), 6 + memo->VisibleLines());
}

TEST_F(ZelkMemoWidget, EndOfALongLineScrollsSideways) {
  memo->Lines().SetText(std::string(500, 'A'));
  Key(Qt::Key_End);
  EXPECT_EQ(memo->LeftCol(), 500 - memo->VisibleCols() + 1);
  EXPECT_EQ(memo->horizontalScrollBar()->value(), memo->LeftCol());
  EXPECT_TRUE(memo->horizontalScrollBar()->isEnabled());
  Key(Qt::Key_Home);
  EXPECT_EQ(memo->LeftCol(), 0);
}

// The boxes hold bytes: Latin-1 both ways, "?" for what does not fit, and
// the clipboard gets LF line breaks.
TEST_F(ZelkMemoWidget, OneTextMappingForPasteCopyAndTyping) {
  QApplication::clipboard()->setText(QString::fromUtf8("caf\u00e9 \u2013 F0\nx\U0001F3B9"));
  Key(Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(memo->Lines().Lines(), (std::vector<std::string>{"caf\xE9 ? F0", "x?"}));
  Key(Qt::Key_A, Qt::ControlModifier);
  Key(Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QApplication::clipboard()->text(), QString::fromUtf8("caf\u00e9 ? F0\nx?"));
  memo->Lines().SetText("\xF0\xE9 7F");
  Key(Qt::Key_A, Qt::ControlModifier);
  Key(Qt::Key_C, Qt::ControlModifier);
  Key(Qt::Key_End, Qt::ControlModifier);
  Key(Qt::Key_V, Qt::ControlModifier);
  EXPECT_EQ(Text(), "\xF0\xE9 7F\xF0\xE9 7F");
  memo->Clear();
  for (const char* typed : {"\u00e9", "\u20ac"}) {  // as a keyboard layout sends them
    QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString::fromUtf8(typed));
    QApplication::sendEvent(memo, &press);
  }
  EXPECT_EQ(Text(), "\xE9?");
}

TEST(ClipboardText, CrLfBecomesLfAndEverythingElseStays) {
  const struct {
    std::string bytes;
    QString text;
  } cases[] = {
      {"", ""},
      {"F0 7E\r\nF7", "F0 7E\nF7"},
      {"a\rb\nc", "a\rb\nc"},               // lone CR and LF
      {"\r\r\n\r\n", "\r\n\n"},
      {"x\r", "x\r"},                          // a CR at the very end
      {"\xE9\r\n\xFF", QString::fromUtf8("\u00e9\n\u00ff")},  // Latin-1
      {std::string("a\0b", 3), QString("a") + QChar(0) + "b"},
  };
  for (const auto& c : cases) EXPECT_EQ(LfTextFromBoxBytes(c.bytes), c.text) << c.bytes;
}

// Alt with a key is a menu's letter or a command, never text; AltGr (not
// Alt on X11) still types what the layout gives.
TEST_F(ZelkMemoWidget, AltWithALetterOrDigitTypesNothing) {
  Key(Qt::Key_G, Qt::AltModifier);
  Key(Qt::Key_1, Qt::AltModifier);
  Key(Qt::Key_F, Qt::AltModifier | Qt::ShiftModifier);
  EXPECT_EQ(Text(), "");
  QKeyEvent altGr(QEvent::KeyPress, Qt::Key_At, Qt::GroupSwitchModifier, "@");
  QApplication::sendEvent(memo, &altGr);
  Key(Qt::Key_F);
  EXPECT_EQ(Text(), "@f");
}

// A third click soon after a double click selects the line; a click after
// the double-click time is an ordinary click again.
TEST_F(ZelkMemoWidget, TripleClickSelectsTheLine) {
  memo->Lines().SetText("F0 43 F7\r\n90 3C 7F\r\nF0 7E F7");
  auto tripleClick = [&](QPoint at) {
    QTest::mouseClick(vp(), Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseDClick(vp(), Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseRelease(vp(), Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseClick(vp(), Qt::LeftButton, Qt::NoModifier, at);
  };
  tripleClick(Cell(4, 1));
  EXPECT_EQ(memo->GetSelText(), "90 3C 7F\r\n");
  tripleClick(Cell(1, 2));
  EXPECT_EQ(memo->GetSelText(), "F0 7E F7");
  QTest::mouseClick(vp(), Qt::LeftButton, Qt::NoModifier, Cell(4, 0));
  QTest::mouseDClick(vp(), Qt::LeftButton, Qt::NoModifier, Cell(4, 0));
  QTest::mouseRelease(vp(), Qt::LeftButton, Qt::NoModifier, Cell(4, 0));
  QTest::qWait(QGuiApplication::styleHints()->mouseDoubleClickInterval() + 50);
  QTest::mouseClick(vp(), Qt::LeftButton, Qt::NoModifier, Cell(1, 0));
  EXPECT_FALSE(memo->SelAvail());
  EXPECT_EQ(memo->Caret(), (TBMPos{1, 0}));
}

// A text loaded whole (File > Open of a .txt) can be scrolled to the end of
// its longest line at once, before the caret ever enters it.
TEST_F(ZelkMemoWidget, LongLineOfALoadedTextIsInReach) {
  memo->Lines().SetText("F0 F7\r\n" + std::string(1000000, '0') + "\r\nF0 F7");
  QApplication::processEvents();
  QScrollBar* h = memo->horizontalScrollBar();
  EXPECT_TRUE(h->isEnabled());
  EXPECT_EQ(h->maximum(), 1000000 - memo->VisibleCols() + 1);
  h->triggerAction(QAbstractSlider::SliderPageStepAdd);
  EXPECT_GT(memo->LeftCol(), 0);
  EXPECT_EQ(memo->Caret(), (TBMPos{0, 0}));
}

// Dead keys, compose and input methods commit text; it is typed like keys,
// through OnKeyPress.
TEST_F(ZelkMemoWidget, InputMethodTextIsTyped) {
  EXPECT_TRUE(memo->testAttribute(Qt::WA_InputMethodEnabled));
  EXPECT_TRUE(memo->inputMethodQuery(Qt::ImEnabled).toBool());
  std::string seen;
  memo->OnKeyPress = [&](char& c) {
    seen += c;
    return true;
  };
  QInputMethodEvent preedit(QString::fromUtf8("\u00b4"), {});  // a dead key waiting: nothing typed yet
  QApplication::sendEvent(memo, &preedit);
  EXPECT_EQ(Text(), "");
  QInputMethodEvent commit;
  commit.setCommitString(QString::fromUtf8("\u00e9"));
  QApplication::sendEvent(memo, &commit);
  EXPECT_EQ(Text(), "\xE9");
  EXPECT_EQ(seen, "\xE9");
  Key(Qt::Key_Z, Qt::ControlModifier);
  EXPECT_EQ(Text(), "");
  memo->SetReadOnly(true);
  EXPECT_FALSE(memo->inputMethodQuery(Qt::ImEnabled).toBool());
  QApplication::sendEvent(memo, &commit);
  EXPECT_EQ(Text(), "");
}

// The window's Esc (cancel a send) and F4 (send) fire whichever box has the
// focus; Esc still cancels a drag inside the box and then is not the window's.
TEST_F(ZelkMemoWidget, EscAndF4ReachTheWindowUnlessEscCancelsADrag) {
  int escapes = 0, f4s = 0;
  QShortcut esc(QKeySequence(Qt::Key_Escape), &window);
  QObject::connect(&esc, &QShortcut::activated, [&] { ++escapes; });
  QShortcut f4(QKeySequence(Qt::Key_F4), &window);
  QObject::connect(&f4, &QShortcut::activated, [&] { ++f4s; });
  memo->Lines().SetText("F0 43 F7");
  ASSERT_TRUE(memo->hasFocus());
  Key(Qt::Key_Escape);
  Key(Qt::Key_F4);
  EXPECT_EQ(escapes, 1);
  EXPECT_EQ(f4s, 1);
  QTest::keyClicks(memo, "x");  // typed characters stay the box's
  EXPECT_EQ(Text(), "xF0 43 F7");
  memo->SelectRange({1, 0}, {3, 0});
  QTest::mousePress(vp(), Qt::LeftButton, Qt::NoModifier, Cell(2, 0));
  ASSERT_TRUE(memo->DraggingSelection());
  Key(Qt::Key_Escape);
  EXPECT_FALSE(memo->DraggingSelection());
  EXPECT_EQ(escapes, 1);
  QTest::mouseRelease(vp(), Qt::LeftButton, Qt::NoModifier, Cell(6, 0));
  EXPECT_EQ(Text(), "xF0 43 F7");  // the cancelled drag dropped nothing
}

TEST_F(ZelkMemoWidget, SmallWheelDeltasAddUpAndSidewaysScrollsSideways) {
  std::string text;
  for (int i = 0; i < 300; ++i) text += std::string(200, 'x') + "\r\n";
  memo->Lines().SetText(text);
  memo->PaintFrameForTest();
  auto wheel = [&](QPoint delta) {
    QWheelEvent e(QPointF(20, 20), vp()->mapToGlobal(QPointF(20, 20)), QPoint(), delta, Qt::NoButton,
                  Qt::NoModifier, Qt::NoScrollPhase, false);
    QApplication::sendEvent(vp(), &e);
  };
  for (int i = 0; i < 20; ++i) wheel(QPoint(0, -12));  // a touchpad
  EXPECT_EQ(memo->TopLine(), 6);
  wheel(QPoint(-120, 0));
  EXPECT_EQ(memo->TopLine(), 6);
  EXPECT_EQ(memo->LeftCol(), 3);
  EXPECT_EQ(memo->horizontalScrollBar()->value(), 3);
  // The wheel closes an open drop list.
  memo->SetDropListItems({"a"});
  memo->MoveCaret(0, memo->TopLine(), true, ssNone);
  memo->DropDown();
  ASSERT_FALSE(memo->DropList()->isHidden());
  wheel(QPoint(0, -120));
  EXPECT_TRUE(memo->DropList()->isHidden());
}

// Focus lost mid-drag: no release will come, so autoscrolling stops.
TEST_F(ZelkMemoWidget, AutoScrollStopsWhenTheMouseIsNoLongerOurs) {
  std::string text;
  for (int i = 0; i < 200; ++i) text += "line\r\n";
  memo->Lines().SetText(text);
  QTest::mousePress(vp(), Qt::LeftButton, Qt::NoModifier, Cell(0, 0));
  Move(QPoint(Cell(0, 0).x(), vp()->height() + 40));
  ASSERT_TRUE(memo->AutoScrollTimerActive());
  other->setFocus();
  QApplication::processEvents();
  EXPECT_FALSE(memo->AutoScrollTimerActive());
  const int top = memo->TopLine();
  QTest::qWait(3 * TZelkMemo::kAutoScrollMs);
  EXPECT_EQ(memo->TopLine(), top);
  QTest::mouseRelease(vp(), Qt::LeftButton, Qt::NoModifier, Cell(0, 0));
}

TEST_F(ZelkMemoWidget, CaretShowsAtOnceAfterEditShortcuts) {
  QApplication::clipboard()->setText("7F");
  QTest::keyClicks(memo, "ab");
  for (int k : {Qt::Key_Z, Qt::Key_Y, Qt::Key_V}) {
    ASSERT_TRUE(test::WaitUntil([&] { return !memo->CaretShown(); }, 3 * TZelkMemo::kCaretBlinkMs)) << "the caret stayed";
    Key(k, Qt::ControlModifier);
    EXPECT_TRUE(memo->CaretShown()) << k;
  }
}

TEST_F(ZelkMemoWidget, DropListKeysGoThroughOnKeyPress) {
  memo->Lines().SetText("F0 ");
  memo->MoveCaret(3, 0, true, ssNone);
  memo->SetDropListItems({"a"});
  memo->OnKeyPress = [](char& c) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return c != 'X';
  };
  memo->DropDown();
  QTest::keyClicks(memo->DropList(), "7ex");
  EXPECT_EQ(Text(), "F0 7E");
}

TEST_F(ZelkMemoWidget, DoubleClickInTheGutterKeepsTheLineSelected) {
  memo->Lines().SetText("l0\r\nF0 43\r\nl2");
  const QPoint gutter(Gutter() - 4, Cell(0, 0).y());
  QTest::mouseClick(vp(), Qt::LeftButton, Qt::NoModifier, gutter);
  QTest::mouseDClick(vp(), Qt::LeftButton, Qt::NoModifier, gutter);
  QTest::mouseRelease(vp(), Qt::LeftButton, Qt::NoModifier, gutter);
  EXPECT_EQ(memo->GetSelText(), "l0\r\n");
}

// The drag cursors are drawn for the screen's pixel ratio (run also with
// QT_SCALE_FACTOR=2).
TEST_F(ZelkMemoWidget, DragCursorsFollowThePixelRatio) {
  memo->Lines().SetText("F0 43 F7");
  memo->SelectRange({0, 0}, {2, 0});
  QTest::mousePress(vp(), Qt::LeftButton, Qt::NoModifier, Cell(1, 0));
  ASSERT_TRUE(memo->DraggingSelection());
  EXPECT_EQ(vp()->cursor().pixmap().devicePixelRatio(), memo->devicePixelRatioF());
  EXPECT_EQ(vp()->cursor().pixmap().size(), QSize(32, 32) * memo->devicePixelRatioF());
  QTest::mouseRelease(vp(), Qt::LeftButton, Qt::NoModifier, Cell(1, 0));
}

// Every glyph sits in the cell where the caret, the selection and the mouse
// put it: on a full 95-character line the last glyph's ink ends inside the
// last cell, at every size of the settings dialog, at pixel ratios 1, 1.25
// and 2, for every fixed-pitch family, selected or not.
TEST_F(ZelkMemoWidget, GlyphsSitOnTheGridAtEverySizeAndPixelRatio) {
  const std::string line = "F0 43 10 4C 00 00 7E 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13 14 15 16 17 18 F7";
  ASSERT_EQ(line.size(), 95u);
  memo->SetReadOnly(true);  // no caret in the picture
  const QStringList families = TZelkMemo::FixedPitchFamilies();
  ASSERT_FALSE(families.isEmpty());
  for (const QString& family : families) {
    for (int size = 6; size <= 20; ++size) {
      memo->SetFont(QFont(family, size));
      window.resize(memo->GutterWidth() + 100 * memo->CharWidth() + 40, 4 * memo->LineHeight() + 60);
      memo->Lines().SetText(line + "\r\n" + line);
      memo->SelectRange({0, 1}, {95, 1});
      QApplication::processEvents();
      for (double dpr : {1.0, 1.25, 2.0}) {
        QImage img(vp()->size() * dpr, QImage::Format_RGB32);
        img.setDevicePixelRatio(dpr);
        vp()->render(&img);
        const int cw = memo->CharWidth(), lh = memo->LineHeight(), x0 = memo->GutterWidth();
        for (int row = 0; row < 2; ++row) {
          // Ink: a third of the way from the row's background to its text
          // colour (small glyphs are grey), and not the empty rest of the row.
          const auto& env = memo->EnvironmentOptions();
          const QColor ink = row == 0 ? env.TextColor() : env.SelectionColor();
          const QColor bg = row == 0 ? env.TextBackground() : env.SelectionBackground();
          auto distance = [](QColor a, QColor b) {
            return std::abs(a.red() - b.red()) + std::abs(a.green() - b.green()) + std::abs(a.blue() - b.blue());
          };
          int right = -1;  // the rightmost inked device pixel of the row
          for (int y = int(row * lh * dpr); y < int((row + 1) * lh * dpr); ++y)
            for (int x = int(x0 * dpr); x < img.width(); ++x) {
              const QColor c(img.pixel(x, y));
              if (3 * distance(c, bg) > distance(ink, bg) && distance(c, env.TextBackground()) > 60)
                right = std::max(right, x);
            }
          const double lastCellLeft = (x0 + 94 * cw) * dpr, lastCellRight = (x0 + 95 * cw) * dpr;
          EXPECT_GT(right, lastCellLeft) << family.toStdString() << " " << size << " pt, ratio " << dpr << " row " << row;
          EXPECT_LE(right, lastCellRight + dpr) << family.toStdString() << " " << size << " pt, ratio " << dpr << " row " << row;
        }
      }
    }
  }
}

}  // namespace
}  // namespace kalvex

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
