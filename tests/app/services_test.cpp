// The services around the main window, offscreen: recent files, the
// window's place on the desktop, the splash and the web launcher.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QMainWindow>
#include <QMenuBar>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <fstream>

#include "app/app_services.h"
#include "app/form_state.h"
#include "util/shell_open.h"
#include "app/history_list.h"
#include "app/one_instance.h"
#include "app/splash_form.h"
#include "editor/zelk_memo.h"
#include "tests/util/temp_dir.h"
#include "tests/util/window_test_main.h"
#include "util/paths.h"
#include "util/registry.h"
#include "workbench/kvx_form.h"
#include "tests/util/wait_until.h"

namespace kalvex {
namespace {

std::vector<std::string> Captions(QMenu& menu) {
  std::vector<std::string> out;
  for (QAction* a : menu.actions()) out.push_back(a->isSeparator() ? "-" : a->text().toStdString());
  return out;
}

struct RecentFiles : testing::Test {
  test::TTempDir dir;
  std::string File(const std::string& name) {
    const std::string path = dir.File(name);
    std::ofstream(path) << "F0 F7";
    return path;
  }
  void TearDown() override {
    TRegistryKey key;
    if (key.OpenKey("\\Software\\Test\\Recent\\MRUList", false)) {
      key.DeleteAllValues();
      key.CloseKey();
    }
  }
};

TEST_F(RecentFiles, NewestOnTopMovedNotDoubledAndLimited) {
  QMenu file;
  file.addAction("&Open");
  file.addAction("E&xit");
  file.addSeparator();  // a trailing separator is tidied away
  THistoryList list;
  list.SetMaxItems(15);
  list.SetBaseMenu(&file);
  EXPECT_EQ(Captions(file), (std::vector<std::string>{"&Open", "E&xit"}));
  const std::string a = File("a.syx"), b = File("b&c.syx");
  list.AddFile(a);
  EXPECT_EQ(Captions(file), (std::vector<std::string>{"&Open", "E&xit", "-", "a.syx"}));
  EXPECT_EQ(list.Entry(0)->statusTip().toStdString(), a);  // the hint is the full path
  list.AddFile(b);
  list.AddFile(a);
  list.AddFile(dir.File("gone.syx"));  // never added
  EXPECT_EQ(list.Files(), (std::vector<std::string>{a, b}));
  EXPECT_EQ(list.Entry(1)->text(), "b&&c.syx");  // "&" shows as itself
  for (int i = 0; i < 16; ++i) list.AddFile(File("f" + std::to_string(i) + ".syx"));
  EXPECT_EQ(list.GetCount(), 15);
  EXPECT_EQ(list.Files().front(), dir.File("f15.syx"));
  EXPECT_EQ(list.Files().back(), dir.File("f1.syx"));
  std::string clicked;
  list.OnClick = [&](THistoryList&, const std::string& name) { clicked = name; };
  list.Entry(3)->trigger();
  EXPECT_EQ(clicked, dir.File("f12.syx"));
  list.SetMaxItems(0);  // ignored
  list.SetMaxItems(2);
  EXPECT_EQ(list.GetCount(), 2);
  // An empty menu gets the placeholder, which the first file replaces.
  QMenu empty;
  THistoryList other;
  other.SetBaseMenu(&empty);
  EXPECT_EQ(Captions(empty), (std::vector<std::string>{"(none)"}));
  EXPECT_EQ(other.GetCount(), 0);
  other.AddFile(a);
  EXPECT_EQ(Captions(empty), (std::vector<std::string>{"a.syx"}));
}

TEST_F(RecentFiles, SavedValuesReplaceTheOldAndLoadingStopsAtAGap) {
  const std::string a = File("a.syx"), b = File("b.syx"), c = File("c.syx");
  {
    TRegistryKey key;
    ASSERT_TRUE(key.OpenKey("\\Software\\Test\\Recent\\MRUList", true));
    key.WriteString("File0", a);
    key.WriteString("File1", dir.File("gone.syx"));  // dropped, the numbering closes up
    key.WriteString("File2", b);
    key.WriteString("File4", c);                      // after the gap: not read
    key.WriteString("Other", "x");
    key.CloseKey();
  }
  QMenu file;
  file.addAction("E&xit");
  THistoryList list;
  list.SetMaxItems(15);
  list.SetBaseMenu(&file);
  EXPECT_EQ(list.GetCount(), 0);  // the placeholder path loads nothing
  list.SetRegPath("Test\\Recent");
  EXPECT_EQ(list.Files(), (std::vector<std::string>{a, b}));
  list.AddFile(c);
  ASSERT_TRUE(list.SaveToRegistry());
  TRegistryKey key;
  ASSERT_TRUE(key.OpenKey("\\Software\\Test\\Recent\\MRUList", false));
  EXPECT_EQ(key.ValueNames(), (std::vector<std::string>{"File0", "File1", "File2"}));
  EXPECT_EQ(key.ReadString("File0"), c);
  EXPECT_EQ(key.ReadString("File2"), b);
}

TEST(FormState, ClampAndCentreKeepTheWindowReachable) {
  const QRect wa(0, 0, 1920, 1040);
  struct Case {
    int left, top, width, height;
    bool clampSize;
    int wantLeft, wantTop, wantWidth, wantHeight;
  } cases[] = {
      {100, 100, 800, 600, true, 100, 100, 800, 600},
      {5000, 100, 800, 600, true, 1859, 100, 800, 600},    // a monitor that is gone, to the right
      {-3000, -50, 800, 600, true, -740, 0, 800, 600},     // far left, above the top
      {10, 2000, 800, 600, true, 10, 979, 800, 600},       // below the bottom
      {0, 0, 3000, 2000, true, 0, 0, 1920, 1040},          // larger than the work area
      {0, 0, 3000, 2000, false, 0, 0, 3000, 2000},
  };
  for (const Case& c : cases) {
    int l = c.left, t = c.top, w = c.width, h = c.height;
    ClampToWorkArea(l, t, w, c.clampSize, h, wa);
    EXPECT_EQ((std::vector<int>{l, t, w, h}), (std::vector<int>{c.wantLeft, c.wantTop, c.wantWidth, c.wantHeight}))
        << c.left << "," << c.top;
  }
  EXPECT_EQ(CentredPosition(800, 600, nullptr, QRect(100, 50, 1920, 1040)), (TPosition{660, 270}));
  const QRect owner(200, 200, 401, 301);
  EXPECT_EQ(CentredPosition(101, 51, &owner, wa), (TPosition{350, 325}));
}

TEST(FormState, RoundTripOffScreenOversizedAndMaximised) {
  const QRect wa = WorkArea();
  TRegIniFile ini("\\Software\\Test\\FormState");
  QPoint framePos;
  {
    QMainWindow w;
    w.setGeometry(wa.left() + 40, wa.top() + 30, 500, 300);
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    SaveFormState(w, ini, "S");
    framePos = w.pos();
    EXPECT_EQ(ini.ReadInteger("S", "State", -1), 0);
    EXPECT_EQ(ini.ReadInteger("S", "Width", 0), 500);
    EXPECT_EQ(ini.ReadString("S", "Visible", ""), "1");
    EXPECT_EQ(ini.ReadInteger("S", "Style", -1), 0);
  }
  {
    QMainWindow w;
    EXPECT_TRUE(RestoreFormState(w, ini, "S"));
    EXPECT_EQ(w.size(), QSize(500, 300));
    EXPECT_EQ(w.pos(), framePos);
  }
  // Off every screen and larger than the work area.
  ini.WriteInteger("S", "Left", wa.width() + 4000);
  ini.WriteInteger("S", "Top", -500);
  ini.WriteInteger("S", "Width", wa.width() + 100);
  ini.WriteInteger("S", "Height", wa.height() + 100);
  {
    QMainWindow w;
    RestoreFormState(w, ini, "S");
    EXPECT_EQ(w.size(), wa.size());
    EXPECT_EQ(w.x(), wa.right() - 60);
    EXPECT_EQ(w.y(), wa.top());
  }
  // Missing position: centred in the work area.
  ini.DeleteKey("S", "Left");
  ini.WriteInteger("S", "Width", 400);
  ini.WriteInteger("S", "Height", 200);
  {
    QMainWindow w;
    RestoreFormState(w, ini, "S");
    EXPECT_EQ(w.pos(), QPoint(wa.left() + wa.width() / 2 - 200, wa.top() + wa.height() / 2 - 100));
  }
  // A maximised window keeps its normal rectangle and starts maximised.
  {
    QMainWindow w;
    w.setGeometry(wa.left() + 70, wa.top() + 60, 450, 250);
    w.showMaximized();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    ASSERT_TRUE(test::WaitUntil([&] { return w.isMaximized(); })) << "not maximised";
    SaveFormState(w, ini, "M");
    EXPECT_EQ(ini.ReadInteger("M", "State", -1), 2);
    EXPECT_EQ(ini.ReadInteger("M", "Width", 0), 450);
    EXPECT_EQ(ini.ReadInteger("M", "Height", 0), 250);
  }
  {
    QMainWindow w;
    RestoreFormState(w, ini, "M");
    EXPECT_TRUE(w.windowState().testFlag(Qt::WindowMaximized));
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    EXPECT_EQ(w.normalGeometry().size(), QSize(450, 250));
  }
  // "Visible" = "0" keeps the main window hidden; stay-on-top comes back.
  ini.WriteBool("M", "Visible", false);
  ini.WriteInteger("M", "Style", kStyleStayOnTop);
  {
    QMainWindow w;
    EXPECT_FALSE(RestoreFormState(w, ini, "M"));
    EXPECT_TRUE(w.windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  }
}

TEST(Splash, ShowsForThreeSecondsThenAsAboutUntilClicked) {
  TSplashForm1 splash;
  EXPECT_EQ(splash.size(), QSize(600, 320));
  EXPECT_EQ(splash.Image1->pixmap().size(), QSize(600, 320));
  EXPECT_EQ(splash.LVersion->geometry(), QRect(8, 299, 233, 24));
  EXPECT_EQ(splash.LVersion->font().pixelSize(), 16);
  splash.ShowSplash();
  EXPECT_TRUE(splash.isVisible());
  EXPECT_TRUE(splash.Timer1->isActive());
  EXPECT_EQ(splash.Timer1->interval(), 3000);
  EXPECT_EQ(splash.LVersion->text().toStdString(), "v" + VersionNumber() + " build " + BuildNumber());
  QTest::mouseClick(splash.Image1, Qt::LeftButton);
  EXPECT_FALSE(splash.isVisible());
  SplashDisabled = true;
  splash.ShowSplash();
  EXPECT_FALSE(splash.isVisible());
  splash.ShowAbout();
  EXPECT_TRUE(splash.isVisible());
  EXPECT_FALSE(splash.Timer1->isActive());  // stays until clicked
  QTest::mouseClick(splash.LVersion, Qt::LeftButton);
  EXPECT_FALSE(splash.isVisible());
  SplashDisabled = false;
}

TEST(GoToWeb, BackslashesBecomeSlashes) {
  EXPECT_EQ(TGoToWeb::NormalisedUrl("https:\\\\example.org\\a\\b"), "https://example.org/a/b");
}

TEST(Handover, ParametersAreBoundedToTenOf300Characters) {
  QStringList many;
  for (int i = 0; i < 12; ++i) many << QString("p%1").arg(i);
  many[1] = QString(400, 'x');
  const auto encoded = EncodeParameters(many);
  const QStringList back = DecodeParameters(encoded.data());
  ASSERT_EQ(back.size(), 10);
  EXPECT_EQ(back[0], "p0");
  EXPECT_EQ(back[1], QString(300, 'x'));
  EXPECT_EQ(back[9], "p9");
  std::array<char, kHandoverSize> bad{};
  bad[0] = 11;  // a count out of range reads as none
  EXPECT_TRUE(DecodeParameters(bad.data()).isEmpty());
  EXPECT_THROW(
      {
        TOneInstance one("kalvex_test_one");
        TOneInstance two("kalvex_test_two");
      },
      EOneInstance);
}

// The window with its services: recent files through the File menu, the
// window's place in "Current", About as the splash.
TEST(Services, TheWindowKeepsItsRecentFilesPlaceAndAbout) {
  test::TTempDir dir;
  const std::string file = dir.File("dump.syx");
  std::ofstream(file, std::ios::binary) << std::string("\xF0\x05\xF7", 3);
  {
    TAppServices services(nullptr);
    TKVXForm form({}, nullptr, [&](TKVXForm& f) { services.Attach(f); });
    services.Created(form);
    services.Show(form);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    QApplication::processEvents();
    form.LoadOutFile(file);
    ASSERT_EQ(services.MRUFiles.Files(), std::vector<std::string>{file});
    form.SXOutput->Lines().SetText("");
    services.MRUFiles.Entry(0)->trigger();
    EXPECT_EQ(form.SXOutput->Lines().Text(), "F0 05 F7");
    form.move(WorkArea().topLeft() + QPoint(33, 44));
    form.resize(640, 420);
    for (QAction* a : form.menuBar()->actions())
      if (a->text() == "&Help") a->menu()->actions().last()->trigger();
    EXPECT_TRUE(services.Splash()->isVisible());
    EXPECT_FALSE(services.Splash()->ShowingSplash());
    form.close();
  }
  TRegIniFile ini(RegBasePath(false));
  EXPECT_EQ(ini.ReadInteger("Current", "Width", 0), 640);
  EXPECT_EQ(ini.ReadInteger("Current", "Left", 0), 33);
  EXPECT_EQ(TRegIniFile(RegBasePath(false)).ReadString("MRUList", "File0", ""), file);
  TAppServices services(nullptr);
  TKVXForm form({}, nullptr, [&](TKVXForm& f) { services.Attach(f); });
  services.Created(form);
  EXPECT_EQ(form.size(), QSize(640, 420));
  EXPECT_EQ(services.MRUFiles.Files(), std::vector<std::string>{file});
}

}  // namespace
}  // namespace kalvex

int main(int argc, char** argv) { return kalvex::test::RunWindowTests(argc, argv); }
