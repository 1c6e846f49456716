#pragma once
// The main window: the MIDI Out and MIDI In boxes side by side, their logs
// below, the status bar with a panel per column, and the menus. Thin over
// the send engine, the receive path and the file load and save.

#include <QMainWindow>
#include <memory>
#include <string>
#include <vector>

#include "menus/midi_menu.h"
#include "midi/midi_input.h"
#include "midi/midi_output.h"
#include "util/shell_open.h"
#include "workbench/current_settings.h"
#include "workbench/file_io.h"
#include "workbench/hex_text.h"
#include "workbench/log_sink.h"
#include "workbench/receive_path.h"
#include "workbench/send_engine.h"

class QAction;
class QFrame;
class QLabel;
class QMenu;
class QPushButton;
class QSplitter;
class QTimer;

namespace kalvex {

class TSettingsForm;
class TZelkMemo;

class TKVXForm final : public QMainWindow, public TLogSink, public TReceiveView {
  Q_OBJECT
public:
  // beforeSettings runs once the menus exist and before the settings are
  // read: the program's services set their hooks there.
  explicit TKVXForm(QStringList parameters = {}, QWidget* parent = nullptr,
                    const std::function<void(TKVXForm&)>& beforeSettings = {});
  ~TKVXForm() override;

  // The one way the window reports anything (see TLogSink).
  void LogLine(const std::string& text, bool midiOutSide, bool repaintNow, TLogKind kind) override;
  // Loads the last file of the list and sends with "/send" or "-send".
  void HandleParameters(QStringList parameters);
  void BSendClick();
  // Sends the files in order, FilePauseMs between them, without loading them
  // into the MIDI Out box; Esc cancels (also during a pause).
  void SendFiles(const std::vector<std::string>& files);
  // Loads a file into the MIDI Out box (a recent file); false when it did
  // not (a failure, a send that runs first, typed text the user keeps).
  bool LoadOutFile(const std::string& fileName);

  // Error dialogs: a message box, or a test's own.
  std::function<void(const QString& text)> ShowErrorDialog;
  // A question with Yes and No: a message box, or a test's own answer.
  std::function<bool(const QString& text)> AskYesNo;
  // Every file loaded or saved from the window (the recent-files list).
  std::function<void(const std::string& fileName)> OnRecentFile;
  // The services that come with the rest of the program: a second instance
  // that hands over saves nothing; the recent-files list saves itself; the
  // window's position and state go into the same store, section "Current".
  std::function<bool()> AnotherInstanceRunning;
  std::function<void()> SaveRecentFiles;
  std::function<void(TRegIniFile& ini, const std::string& section)> LoadFormState, SaveFormState;
  // The single-instance component's activity ("Only allow one instance"),
  // told when the settings are loaded or applied.
  std::function<void(bool active)> OnOneInstanceActive;
  // "&About" shows the splash window again; without it a plain box.
  std::function<void()> ShowAbout;
  // The window closes for good (its settings are saved): hand-overs stop.
  std::function<void()> OnClosing;

  TZelkMemo* SXOutput = nullptr;
  TZelkMemo* SXInput = nullptr;
  TZelkMemo* LogOut = nullptr;
  TZelkMemo* LogIn = nullptr;
  QPushButton* BSend = nullptr;
  QPushButton* BClear = nullptr;
  QPushButton* BClearInput = nullptr;
  QMenu* FileMenu = nullptr;
  QMenu* MidiOutMenu = nullptr;
  QMenu* MidiInMenu = nullptr;
  QAction* MidiThru1 = nullptr;
  QAction* ActiveSensing1 = nullptr;
  QAction* TimingClock1 = nullptr;
  QAction* SplitLongMessages1 = nullptr;
  QAction* DetectBulkDumps1 = nullptr;
  QAction* DescribeMessages1 = nullptr;
  QAction* CheckBeforeSending1 = nullptr;
  QAction* KeepMidiTiming1 = nullptr;
  QFrame* PRcvBulkDump = nullptr;
  QLabel* LSysExRcvd = nullptr;
  QLabel* LReceivedSpeed = nullptr;
  TSettingsForm* SettingsForm = nullptr;
  // The product and the purchase page (Help menu).
  TGoToWeb GoToWeb, GoToWeb1;

  TMidiInMenu& MidiInDevices() { return *midiInMenu_; }
  TMidiOutMenu& MidiOutDevices() { return *midiOutMenu_; }
  TMidiInput& MidiIn() { return midiInMenu_->Input(); }
  TMidiOutput& MidiOut() { return midiOutMenu_->Output(); }
  TSendSettings& SendSettings() { return sendSettings_; }
  // Chooses the listed device of that name in its menu; empty chooses none.
  void SelectInput(const std::string& name);
  void SelectOutput(const std::string& name);

  // The values of the settings section "Current" and the device menus' own.
  void LoadMainSettings();
  // False after the failure was logged as an error.
  bool SaveMainSettings();
  // A command that would change the MIDI Out box or port under a running
  // send cancels the send and runs once it has ended; false when no send
  // runs (the caller goes on at once).
  bool AfterSendEnds(std::function<void()> command);
  // Shows or hides the two log panes below the columns.
  void ShowLogLists(bool show);
  void SetOneInstanceActive(bool active);
  bool OneInstanceActive() const { return !allowMultipleInstances_; }
  bool ShowSplashScreen() const { return showSplashScreen_; }
  // "Check" and "Identify device" of the MIDI Out menu (also for tests).
  QAction* Check1 = nullptr;
  QAction* FixChecksums1 = nullptr;
  QAction* IdentifyDevice1 = nullptr;
  // The boxes' context menu as it opens on a box (shown by a right click).
  QMenu* BuildPopup(TZelkMemo* box);

protected:
  void closeEvent(QCloseEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void showEvent(QShowEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

private:
  friend class TSettingsForm;  // works on the window's own values
  void BuildMenus();
  void ShowPopup(TZelkMemo* box, const QPoint& globalPos);
  void ShowError(const QString& text);
  void OpenDocument(const std::string& name);
  void AlignStatusPanels();
  void ApplyStoredLayout();
  void SelectByName(TMidiMenuBase& menu, const std::string& name);
  void ApplyFont(const QFont& font);
  int SplitThreshold() const { return splitLongMessages_ ? splitThreshold_ : -1; }
  void DeferredInit();
  void HandleMidiInput();
  void UpdateThru();
  void ClearBox(TZelkMemo* box);
  void CheckOut();
  void SendFilesDialog();
  void FixOutChecksums();
  void IdentifyDevice();
  bool MayReplaceTypedText(const std::string& fileName);
  void OpenFile();
  void SaveBoxAs(bool midiOut);
  TFileContext FileContext();
  void SetSending(bool sending);
  bool SaveSettings(std::string& error);
  TCurrentSettings CurrentSettings() const;

  // TReceiveView (the window side of the receive path)
  void ScrollInToEndLater() override;
  void ScrollInToEnd() override;
  void ShowBulkPanel(const std::string& bytesText, const std::string& speedText) override;
  void HideBulkPanel() override;
  void RepaintBulkPanel() override;
  bool BulkPanelVisible() const override;
  void SetBulkTimer(bool on) override;

  QStringList parameters_;
  THexParser parser_{*this};
  std::unique_ptr<TMidiInMenu> midiInMenu_;
  std::unique_ptr<TMidiOutMenu> midiOutMenu_;
  TSendSettings sendSettings_;
  bool splitLongMessages_ = false;
  int splitThreshold_ = 32;
  bool allowMultipleInstances_ = true;
  bool showSplashScreen_ = true;
  bool showLogLists_ = true;
  QWidget* logPanel_ = nullptr;
  QSplitter* rows_ = nullptr;
  TReceiveOptions receiveOptions_;
  std::unique_ptr<TMidiOutTarget> outTarget_;  // what sends go to: the MIDI Out device
  std::unique_ptr<TSendEngine> sender_;
  std::vector<std::function<void()>> afterSend_;
  bool thruHeldOff_ = false;
  int filePauseMs_ = 500;
  bool sendingFiles_ = false, filesCancelled_ = false;  // thru is on but In and Out are one device
  std::unique_ptr<TReceivePath> receiver_;
  QLabel* statusOut_ = nullptr;
  QLabel* statusIn_ = nullptr;
  QTimer* bulkTimer_ = nullptr;
  QTimer* f4Release_ = nullptr;
  QTimer* identifyTimer_ = nullptr;  // the second in which identity replies count
  int identityReplies_ = 0;
  bool f4Down_ = false;
  QSplitter* columns_ = nullptr;
  QSplitter* logs_ = nullptr;
  // The stored column width and log height wait for the window's first
  // layout: split before it, the columns come out a little off, and a
  // little narrower at every start.
  int storedOutWidth_ = -1, storedLogHeight_ = -1;
};

}  // namespace kalvex
