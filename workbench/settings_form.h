#pragma once
// The settings dialog: modeless and on top of the main window. The font and
// the send speed show at once while they are chosen and go back on Cancel;
// the rest applies with Apply or OK.

#include <QDialog>
#include <QString>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QSlider;
class QSpinBox;

namespace kalvex {

class TKVXForm;

class TSettingsForm final : public QDialog {
  Q_OBJECT
public:
  enum class TResult { kNone, kOK, kCancel };

  explicit TSettingsForm(TKVXForm& mainWindow);

  // Fills the lists when empty, takes the main window's values and shows
  // the dialog centred on it.
  void ShowSettings();
  void ApplySettings();
  void UpdateSpeedLabel();
  void UpdateEnabledState();
  TResult Result() const { return result_; }

  QCheckBox* CBMidiThru = nullptr;
  QCheckBox* CBAS = nullptr;
  QCheckBox* CBMTC = nullptr;
  QCheckBox* CBOnlySysEx = nullptr;
  QCheckBox* cbDetectBulkBumps = nullptr;
  QCheckBox* CBDescribe = nullptr;
  QCheckBox* CBSendSplit = nullptr;
  QCheckBox* CBThrottling = nullptr;
  QSlider* TBMidiSpeed = nullptr;
  QLabel* LSendSpeed = nullptr;
  QPushButton* BDefault = nullptr;
  QSpinBox* SEMessagePause = nullptr;
  QSpinBox* SEFilePause = nullptr;
  QCheckBox* CBSplitSysEx = nullptr;
  QComboBox* CBFontName = nullptr;
  QComboBox* CBFontSize = nullptr;
  QCheckBox* CBShowLog = nullptr;
  QCheckBox* CBOneInstance = nullptr;
  QCheckBox* CBShowSplash = nullptr;
  QPushButton* BOK = nullptr;
  QPushButton* BCancel = nullptr;
  QPushButton* BApply = nullptr;

protected:
  void closeEvent(QCloseEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void keyReleaseEvent(QKeyEvent* e) override;

private:
  void LoadFromMainWindow();
  void PreviewFont();
  void FillLists();
  void Changed();
  void Finish(TResult result);

  TKVXForm& main_;
  TResult result_ = TResult::kNone;
  // What the preview undoes to: the values when the dialog was filled or last applied.
  QString savedFontName_;
  int savedFontSize_ = 9;
  int savedSpeed_ = -500;
  QWidget* throttleControls_ = nullptr;
};

}  // namespace kalvex
