// The settings dialog over a real main window, offscreen.
#include "workbench/settings_form.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTest>

#include "editor/zelk_memo.h"
#include "tests/util/temp_dir.h"
#include "tests/util/window_test_main.h"
#include "util/paths.h"
#include "util/registry.h"
#include "workbench/kvx_form.h"
#include "workbench/current_settings.h"
#include "workbench/settings_values.h"

namespace kalvex {
namespace {

TEST(SettingsValues, SliderMappingSpeedTextAndFontSizes) {
  struct Case {
    int position;
    const char* text;
  } cases[] = {
      {0, "Speed: 3125 bytes/s = 3.05 KB/s (1.0x)"},    {-4, "Speed: 989 bytes/s = 0.97 KB/s (1/3.2x)"},
      {4, "Speed: 9869 bytes/s = 9.64 KB/s (3.2x)"},    {-8, "Speed: 313 bytes/s = 0.31 KB/s (1/10.0x)"},
      {7, "Speed: 23381 bytes/s = 22.83 KB/s (7.5x)"},  {8, "Speed: as fast as possible (no throttling)"},
  };
  for (const Case& c : cases) EXPECT_EQ(SpeedLabelText(SpeedFromSliderPosition(c.position)), c.text) << c.position;
  EXPECT_EQ(SpeedFromSliderPosition(-4), -500);
  EXPECT_EQ(SliderPositionFromSpeed(-300), -2);  // toward zero
  EXPECT_EQ(SliderPositionFromSpeed(-999), -7);
  EXPECT_EQ(SpeedFromSliderPosition(-3), -375);
  EXPECT_EQ(kFontSizes[FontSizeIndex(13)], 14);
  EXPECT_EQ(kFontSizes[FontSizeIndex(25)], 20);
  EXPECT_EQ(kFontSizes[FontSizeIndex(6)], 6);
  EXPECT_EQ(kFontSizes[FontSizeIndex(1)], 6);
}

struct SettingsDialog : testing::Test {
  std::unique_ptr<TKVXForm> form;
  TSettingsForm* dialog = nullptr;

  void Store(const std::string& name, int value) {
    TRegIniFile ini(RegBasePath(false));
    ini.WriteInteger("Current", name, value);
    ini.UpdateFile();
  }
  void Make() {
    form = std::make_unique<TKVXForm>();
    form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    QApplication::processEvents();
    dialog = form->SettingsForm;
    dialog->ShowSettings();
  }
  void TearDown() override {
    form.reset();
    TRegIniFile ini(RegBasePath(false));
    ini.EraseSection("Current");
    ini.UpdateFile();
  }
};

// Each setting has one key and one default: what is saved is read back, an
// empty store gives the defaults, values out of range are brought in.
TEST(CurrentSettings, OneListOfKeysForLoadAndSave) {
  test::TTempDir dir;
  const std::string file = dir.File("registry.conf"), key = "\\Software\\Test";
  TCurrentSettings changed;
  changed.SendSpeed = 250;
  changed.ThrottlingActive = changed.SplitSending = changed.ShowLogLists = false;
  changed.AllowMultipleInstances = changed.ShowSplashScreen = false;
  changed.MidiThru = changed.SysExOnly = changed.DetectBulkDumps = changed.SplitLongMessages = true;
  changed.DescribeMessages = changed.CheckBeforeSending = changed.KeepMidiTiming = true;
  changed.MessagePauseMs = 40;
  changed.FilePauseMs = 2000;
  changed.SplitLongMessagesThreshold = 64;
  changed.FontName = "Mono Test";
  changed.FontSize = 14;
  changed.LogListsHeight = 120;
  changed.SplitterPos = 300;
  {
    TRegIniFile ini(key, file);
    changed.Save(ini, "Current");
    ini.UpdateFile();
  }
  TCurrentSettings back;
  back.Load(TRegIniFile(key, file), "Current");
  {  // compared through a second save: every field counts
    TRegIniFile a(key, dir.File("a.conf")), b(key, dir.File("b.conf"));
    back.Save(a, "Current");
    changed.Save(b, "Current");
    for (const auto& name : b.ReadSection("Current"))
      EXPECT_EQ(a.ReadString("Current", name, "?"), b.ReadString("Current", name, "!")) << name;
    EXPECT_EQ(b.ReadSection("Current").size(), 20u);
  }
  TCurrentSettings defaults;
  defaults.Load(TRegIniFile(key, dir.File("empty.conf")), "Current");
  EXPECT_EQ(defaults.SendSpeed, kDefaultSendSpeed);
  EXPECT_TRUE(defaults.ThrottlingActive && defaults.SplitSending && defaults.ShowLogLists);
  {
    TRegIniFile ini(key, file);
    ini.WriteInteger("Current", "SendSpeed", 5000);
    ini.WriteInteger("Current", "MessagePauseMs", -3);
    ini.UpdateFile();
  }
  TCurrentSettings clamped;
  clamped.Load(TRegIniFile(key, file), "Current");
  EXPECT_EQ(clamped.SendSpeed, 1000);
  EXPECT_EQ(clamped.MessagePauseMs, 0);
}

TEST_F(SettingsDialog, StoredValuesShowAndASliderMoveIsUndoneByCancel) {
  Store("SendSpeed", 5000);
  Store("FontSize", 13);
  Make();
  EXPECT_EQ(form->SendSettings().SendSpeed, 1000);
  EXPECT_EQ(dialog->TBMidiSpeed->value(), 8);
  EXPECT_EQ(dialog->CBFontSize->currentText(), "14");
  EXPECT_FALSE(dialog->BApply->isEnabled());
  EXPECT_TRUE(dialog->isWindow());
  EXPECT_TRUE(dialog->windowFlags().testFlag(Qt::WindowStaysOnTopHint));
  EXPECT_EQ(dialog->windowTitle(), "Settings");
  dialog->close();
  form.reset();

  // -300 opens at position -2, which sets -250 at once; Cancel gives -300 back.
  Store("SendSpeed", -300);
  Store("FontSize", 25);
  Make();
  EXPECT_EQ(dialog->TBMidiSpeed->value(), -2);
  EXPECT_EQ(form->SendSettings().SendSpeed, -250);
  EXPECT_FALSE(dialog->BApply->isEnabled());
  EXPECT_EQ(dialog->CBFontSize->currentText(), "20");
  dialog->TBMidiSpeed->setValue(5);
  EXPECT_EQ(form->SendSettings().SendSpeed, 625);  // a running send follows at once
  EXPECT_TRUE(dialog->BApply->isEnabled());
  QTest::mouseClick(dialog->BCancel, Qt::LeftButton);
  EXPECT_FALSE(dialog->isVisible());
  EXPECT_EQ(form->SendSettings().SendSpeed, -300);
  EXPECT_EQ(dialog->Result(), TSettingsForm::TResult::kCancel);
}

TEST_F(SettingsDialog, FontPreviewGoesBackOnEscAndStaysOnOk) {
  Make();
  const QString before = form->SXInput->font().family();
  const int beforeSize = form->SXInput->font().pointSize();
  ASSERT_GE(dialog->CBFontName->count(), 1);
  // Fixed-pitch families only, sorted, each once.
  QStringList names;
  for (int i = 0; i < dialog->CBFontName->count(); ++i) names << dialog->CBFontName->itemText(i);
  QStringList sorted = names;
  sorted.sort(Qt::CaseInsensitive);
  sorted.removeDuplicates();
  EXPECT_EQ(names, sorted);
  for (const QString& n : names) EXPECT_TRUE(QFontDatabase::isFixedPitch(n)) << n.toStdString();
  EXPECT_EQ(dialog->CBFontSize->count(), 10);

  dialog->CBFontSize->setCurrentText("16");
  emit dialog->CBFontSize->activated(dialog->CBFontSize->currentIndex());
  for (TZelkMemo* box : {form->SXOutput, form->SXInput, form->LogOut, form->LogIn})
    EXPECT_EQ(box->font().pointSize(), 16);
  QTest::keyClick(dialog, Qt::Key_Escape);
  EXPECT_FALSE(dialog->isVisible());
  for (TZelkMemo* box : {form->SXOutput, form->SXInput, form->LogOut, form->LogIn}) {
    EXPECT_EQ(box->font().pointSize(), beforeSize);
    EXPECT_EQ(box->font().family(), before);
  }

  dialog->ShowSettings();
  dialog->CBFontSize->setCurrentText("12");
  emit dialog->CBFontSize->activated(dialog->CBFontSize->currentIndex());
  dialog->CBMidiThru->click();
  dialog->cbDetectBulkBumps->click();
  dialog->CBShowLog->click();
  dialog->SEMessagePause->setValue(25);
  QTest::mouseClick(dialog->BOK, Qt::LeftButton);
  EXPECT_EQ(form->SXOutput->font().pointSize(), 12);
  EXPECT_TRUE(form->MidiThru1->isChecked());
  EXPECT_TRUE(form->DetectBulkDumps1->isChecked());
  EXPECT_FALSE(form->LogOut->isVisible());
  EXPECT_EQ(form->SendSettings().MessagePauseMs, 25);
  // Closing from the title bar next time undoes, whatever the last button was.
  dialog->ShowSettings();
  dialog->CBFontSize->setCurrentText("20");
  emit dialog->CBFontSize->activated(dialog->CBFontSize->currentIndex());
  dialog->close();
  EXPECT_EQ(form->SXOutput->font().pointSize(), 12);
}

TEST_F(SettingsDialog, DefaultThrottlingAndTheInstanceBox) {
  Store("AllowMultipleInstances", 0);
  Make();
  EXPECT_TRUE(dialog->CBOneInstance->isChecked());
  EXPECT_TRUE(form->OneInstanceActive());
  // Default from -500 changes nothing.
  EXPECT_EQ(dialog->TBMidiSpeed->value(), -4);
  QTest::mouseClick(dialog->BDefault, Qt::LeftButton);
  EXPECT_FALSE(dialog->BApply->isEnabled());
  dialog->TBMidiSpeed->setValue(2);
  QTest::mouseClick(dialog->BApply, Qt::LeftButton);
  EXPECT_FALSE(dialog->BApply->isEnabled());
  QTest::mouseClick(dialog->BDefault, Qt::LeftButton);
  EXPECT_EQ(dialog->TBMidiSpeed->value(), -4);
  EXPECT_EQ(form->SendSettings().SendSpeed, -500);
  EXPECT_EQ(dialog->LSendSpeed->text(), "Speed: 989 bytes/s = 0.97 KB/s (1/3.2x)");
  EXPECT_TRUE(dialog->BApply->isEnabled());
  // Throttling off: the slider and its labels are off, the speed stays.
  dialog->CBThrottling->click();
  EXPECT_FALSE(dialog->TBMidiSpeed->isEnabled());
  EXPECT_FALSE(dialog->LSendSpeed->isEnabled());
  EXPECT_FALSE(dialog->BDefault->isEnabled());
  // The two start-up boxes do not enable Apply on their own.
  QTest::mouseClick(dialog->BApply, Qt::LeftButton);
  dialog->CBOneInstance->click();
  dialog->CBShowSplash->click();
  EXPECT_FALSE(dialog->BApply->isEnabled());
  QTest::mouseClick(dialog->BOK, Qt::LeftButton);
  EXPECT_FALSE(form->SendSettings().ThrottlingActive);
  EXPECT_EQ(form->SendSettings().SendSpeed, -500);
  EXPECT_FALSE(form->OneInstanceActive());
  EXPECT_FALSE(form->ShowSplashScreen());
  ASSERT_TRUE(form->SaveMainSettings());
  TRegIniFile ini(RegBasePath(false));
  EXPECT_EQ(ini.ReadString("Current", "AllowMultipleInstances", ""), "1");
  EXPECT_EQ(ini.ReadString("Current", "ShowSplashScreen", ""), "0");
  EXPECT_EQ(ini.ReadString("Current", "ThrottlingActive", ""), "0");
}

}  // namespace
}  // namespace kalvex

int main(int argc, char** argv) { return kalvex::test::RunWindowTests(argc, argv); }
