#include "workbench/settings_form.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>

#include "editor/zelk_memo.h"
#include "workbench/kvx_form.h"
#include "workbench/settings_values.h"

namespace kalvex {

namespace {

QCheckBox* Check(const char* caption, QLayout* layout) {
  auto* box = new QCheckBox(caption);
  layout->addWidget(box);
  return box;
}

}  // namespace

TSettingsForm::TSettingsForm(TKVXForm& mainWindow)
    : QDialog(&mainWindow, Qt::Tool | Qt::WindowStaysOnTopHint), main_(mainWindow) {
  setWindowTitle("Settings");
  setModal(false);
  auto* outer = new QVBoxLayout(this);

  auto* receiving = new QGroupBox("Receiving MIDI");
  auto* rl = new QVBoxLayout(receiving);
  CBMidiThru = Check("MIDI Thru (echo MIDI In to MIDI Out)", rl);
  CBAS = Check("Active Sensing (display active sensing messages, not recommended)", rl);
  CBMTC = Check("MIDI Time Clock (display MTC, not recommended)", rl);
  CBOnlySysEx = Check("Only display System Exclusive messages in MIDI IN", rl);
  cbDetectBulkBumps = Check("Detect Bulk Bumps", rl);
  CBDescribe = Check("Describe received messages (manufacturer, kind, length, checksum)", rl);
  outer->addWidget(receiving);

  auto* sending = new QGroupBox("Sending MIDI");
  auto* sl = new QVBoxLayout(sending);
  CBSendSplit = Check("Split long messages when sending (work around faulty MIDI drivers)", sl);
  CBThrottling = Check("Throttling (control Send Speed):", sl);
  throttleControls_ = new QWidget;
  auto* tl = new QGridLayout(throttleControls_);
  tl->setContentsMargins(20, 0, 0, 0);
  TBMidiSpeed = new QSlider(Qt::Horizontal);
  TBMidiSpeed->setRange(kSpeedSliderMin, kSpeedSliderMax);
  TBMidiSpeed->setPageStep(1);
  TBMidiSpeed->setTickPosition(QSlider::TicksBelow);
  TBMidiSpeed->setTickInterval(1);
  tl->addWidget(TBMidiSpeed, 0, 0, 1, 3);
  tl->addWidget(new QLabel("Very Slow"), 1, 0, Qt::AlignLeft);
  tl->addWidget(new QLabel("Actual MIDI Speed"), 1, 1, Qt::AlignHCenter);
  tl->addWidget(new QLabel("Very Fast"), 1, 2, Qt::AlignRight);
  LSendSpeed = new QLabel;
  tl->addWidget(LSendSpeed, 2, 0, 1, 2);
  BDefault = new QPushButton("Default");
  tl->addWidget(BDefault, 2, 2, Qt::AlignRight);
  tl->addWidget(new QLabel("Note that you can never send faster than the MIDI device allows."), 3, 0, 1, 3);
  tl->addWidget(new QLabel("If you experience problems when sending bulk dumps, try a slower setting."), 4, 0, 1, 3);
  sl->addWidget(throttleControls_);
  auto* pauseRow = new QHBoxLayout;
  pauseRow->addWidget(new QLabel("Pause after each SysEx message:"));
  SEMessagePause = new QSpinBox;
  SEMessagePause->setRange(0, 60000);
  SEMessagePause->setSuffix(" ms");
  SEMessagePause->setSpecialValueText("off");
  pauseRow->addWidget(SEMessagePause);
  pauseRow->addWidget(new QLabel("between files:"));
  SEFilePause = new QSpinBox;
  SEFilePause->setRange(0, 600000);
  SEFilePause->setSuffix(" ms");
  pauseRow->addWidget(SEFilePause);
  pauseRow->addStretch(1);
  sl->addLayout(pauseRow);
  outer->addWidget(sending);

  auto* loading = new QGroupBox("Loading Files");
  auto* ll = new QVBoxLayout(loading);
  CBSplitSysEx = Check("Split long sys ex messages upon loading into text area", ll);
  outer->addWidget(loading);

  auto* general = new QGroupBox("General");
  auto* gl = new QVBoxLayout(general);
  auto* fontRow = new QHBoxLayout;
  fontRow->addWidget(new QLabel("Font:"));
  CBFontName = new QComboBox;
  CBFontName->setMinimumContentsLength(20);
  fontRow->addWidget(CBFontName, 1);
  fontRow->addWidget(new QLabel("Size:"));
  CBFontSize = new QComboBox;
  fontRow->addWidget(CBFontSize);
  gl->addLayout(fontRow);
  CBShowLog = Check("Show action log lists", gl);
  CBOneInstance = Check("Only allow one instance/window of Kalvex", gl);
  CBShowSplash = Check("Show Splash Screen", gl);
  outer->addWidget(general);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  BOK = new QPushButton("OK");
  BOK->setDefault(true);
  BCancel = new QPushButton("Cancel");
  BApply = new QPushButton("Apply");
  for (QPushButton* b : {BOK, BCancel, BApply}) buttons->addWidget(b);
  outer->addLayout(buttons);

  for (QCheckBox* box : {CBMidiThru, CBAS, CBMTC, CBOnlySysEx, cbDetectBulkBumps, CBDescribe, CBSendSplit, CBThrottling,
                         CBSplitSysEx, CBShowLog})
    connect(box, &QCheckBox::clicked, this, [this] {
      BApply->setEnabled(true);
      UpdateEnabledState();
    });
  connect(TBMidiSpeed, &QSlider::valueChanged, this, [this](int position) {
    UpdateSpeedLabel();
    // A running send follows the slider at once.
    main_.sendSettings_.SendSpeed = SpeedFromSliderPosition(position);
    BApply->setEnabled(true);
  });
  connect(SEMessagePause, &QSpinBox::valueChanged, this, [this] { BApply->setEnabled(true); });
  connect(SEFilePause, &QSpinBox::valueChanged, this, [this] { BApply->setEnabled(true); });
  connect(CBFontName, &QComboBox::activated, this, [this] { Changed(); });
  connect(CBFontSize, &QComboBox::activated, this, [this] { Changed(); });
  connect(BDefault, &QPushButton::clicked, this,
          [this] { TBMidiSpeed->setValue(SliderPositionFromSpeed(kDefaultSendSpeed)); });
  connect(BApply, &QPushButton::clicked, this, [this] { ApplySettings(); });
  connect(BOK, &QPushButton::clicked, this, [this] { Finish(TResult::kOK); });
  connect(BCancel, &QPushButton::clicked, this, [this] { Finish(TResult::kCancel); });
}

void TSettingsForm::FillLists() {
  if (CBFontName->count() == 0) {
    QStringList names;
    for (const QString& family : QFontDatabase::families())
      if (QFontDatabase::isFixedPitch(family) && !QFontDatabase::isPrivateFamily(family)) names << family;
    names.sort(Qt::CaseInsensitive);
    names.removeDuplicates();
    CBFontName->addItems(names);
  }
  if (CBFontSize->count() == 0)
    for (int size : kFontSizes) CBFontSize->addItem(QString::number(size));
}

void TSettingsForm::ShowSettings() {
  FillLists();
  // Closing by the title bar after an earlier OK must not apply this showing's choices.
  result_ = TResult::kNone;
  LoadFromMainWindow();
  if (!isVisible()) {
    adjustSize();
    const QRect owner = main_.frameGeometry();
    move(owner.center() - QPoint(width() / 2, height() / 2));
  }
  show();
  raise();
  activateWindow();
}

void TSettingsForm::LoadFromMainWindow() {
  CBMidiThru->setChecked(main_.MidiThru1->isChecked());
  CBAS->setChecked(main_.midiInMenu_->ActiveSensing());
  CBMTC->setChecked(main_.midiInMenu_->TimingClock());
  CBOnlySysEx->setChecked(main_.receiveOptions_.SysExOnly);
  cbDetectBulkBumps->setChecked(main_.DetectBulkDumps1->isChecked());
  CBDescribe->setChecked(main_.DescribeMessages1->isChecked());
  CBSendSplit->setChecked(main_.sendSettings_.SplitSending);
  CBThrottling->setChecked(main_.sendSettings_.ThrottlingActive);
  CBSplitSysEx->setChecked(main_.SplitLongMessages1->isChecked());
  CBShowLog->setChecked(main_.showLogLists_);
  CBOneInstance->setChecked(!main_.allowMultipleInstances_);
  CBShowSplash->setChecked(main_.showSplashScreen_);
  SEMessagePause->setValue(main_.sendSettings_.MessagePauseMs);
  SEFilePause->setValue(main_.filePauseMs_);
  savedSpeed_ = main_.sendSettings_.SendSpeed;
  savedFontName_ = main_.SXInput->font().family();
  savedFontSize_ = main_.SXInput->font().pointSize();
  // Moving the slider gives the main window the slider's speed (-300 becomes -250).
  TBMidiSpeed->setValue(SliderPositionFromSpeed(savedSpeed_));
  CBFontName->setCurrentIndex(CBFontName->findText(savedFontName_, Qt::MatchFixedString));
  CBFontSize->setCurrentIndex(FontSizeIndex(savedFontSize_));
  UpdateSpeedLabel();
  UpdateEnabledState();
  BApply->setEnabled(false);
}

void TSettingsForm::UpdateSpeedLabel() {
  LSendSpeed->setText(QString::fromStdString(SpeedLabelText(SpeedFromSliderPosition(TBMidiSpeed->value()))));
}

void TSettingsForm::UpdateEnabledState() { throttleControls_->setEnabled(CBThrottling->isChecked()); }

void TSettingsForm::Changed() {
  PreviewFont();
  BApply->setEnabled(true);
}

void TSettingsForm::PreviewFont() {
  QFont font = main_.SXInput->font();
  if (CBFontName->currentIndex() >= 0) font.setFamily(CBFontName->currentText());
  if (CBFontSize->currentIndex() >= 0) font.setPointSize(CBFontSize->currentText().toInt());
  main_.ApplyFont(font);
}

void TSettingsForm::ApplySettings() {
  main_.MidiThru1->setChecked(CBMidiThru->isChecked());
  main_.receiveOptions_.MidiThru = CBMidiThru->isChecked();
  main_.midiInMenu_->SetActiveSensing(CBAS->isChecked());
  main_.ActiveSensing1->setChecked(CBAS->isChecked());
  main_.midiInMenu_->SetTimingClock(CBMTC->isChecked());
  main_.TimingClock1->setChecked(CBMTC->isChecked());
  main_.sendSettings_.SendSpeed = SpeedFromSliderPosition(TBMidiSpeed->value());
  main_.SplitLongMessages1->setChecked(CBSplitSysEx->isChecked());
  main_.splitLongMessages_ = CBSplitSysEx->isChecked();
  main_.receiveOptions_.SplitThreshold = main_.SplitThreshold();
  PreviewFont();
  savedFontName_ = main_.SXInput->font().family();
  savedFontSize_ = main_.SXInput->font().pointSize();
  savedSpeed_ = main_.sendSettings_.SendSpeed;
  main_.ShowLogLists(CBShowLog->isChecked());
  main_.receiveOptions_.SysExOnly = CBOnlySysEx->isChecked();
  main_.SetOneInstanceActive(CBOneInstance->isChecked());
  main_.sendSettings_.ThrottlingActive = CBThrottling->isChecked();
  main_.sendSettings_.SplitSending = CBSendSplit->isChecked();
  main_.DetectBulkDumps1->setChecked(cbDetectBulkBumps->isChecked());
  main_.receiveOptions_.DetectBulkDumps = cbDetectBulkBumps->isChecked();
  main_.DescribeMessages1->setChecked(CBDescribe->isChecked());
  main_.receiveOptions_.DescribeMessages = CBDescribe->isChecked();
  main_.showSplashScreen_ = CBShowSplash->isChecked();
  main_.sendSettings_.MessagePauseMs = SEMessagePause->value();
  main_.filePauseMs_ = SEFilePause->value();
  BApply->setEnabled(false);
}

void TSettingsForm::Finish(TResult result) {
  result_ = result;
  close();
}

void TSettingsForm::closeEvent(QCloseEvent* e) {
  if (result_ == TResult::kOK) {
    ApplySettings();
  } else {
    QFont font = main_.SXInput->font();
    font.setFamily(savedFontName_);
    font.setPointSize(savedFontSize_);
    main_.ApplyFont(font);
    main_.sendSettings_.SendSpeed = savedSpeed_;
  }
  QDialog::closeEvent(e);
}

// Esc closes as Cancel when it is released, as the main window's keys act.
void TSettingsForm::keyPressEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Escape) {
    e->accept();
    return;
  }
  QDialog::keyPressEvent(e);
}

void TSettingsForm::keyReleaseEvent(QKeyEvent* e) {
  if (e->key() == Qt::Key_Escape && !e->isAutoRepeat()) {
    e->accept();
    Finish(TResult::kCancel);
    return;
  }
  QDialog::keyReleaseEvent(e);
}

}  // namespace kalvex
