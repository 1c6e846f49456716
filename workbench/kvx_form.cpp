#include "workbench/kvx_form.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QFileDialog>
#include <QElapsedTimer>
#include <QFrame>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QSplitter>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

#include "editor/zelk_memo.h"
#include "midi/midi_system.h"
#include "util/paths.h"
#include "util/registry.h"
#include "util/shell_open.h"
#include <algorithm>
#include <unistd.h>
#include "workbench/file_io.h"
#include "workbench/settings_form.h"
#include "workbench/sysex_info.h"

namespace kalvex {

namespace {

constexpr const char* kHintText =
    "// type here MIDI messages in hex\r\n// notation, or use the File menu\r\n// to open a .syx or .txt file.\r\n";
constexpr int kBulkQuietTickMs = 1000;
constexpr int kDesignOutWidth = 420;  // the MIDI Out column
constexpr int kDesignLogHeight = 80;
constexpr int kMinBoxWidth = 37;
constexpr int kF4SettleMs = 30;
// The maker's pages.
constexpr const char* kProductPage = "https://www.zelksoftware.com/kalvex";
constexpr const char* kPurchasePage = "https://www.zelksoftware.com/kalvex/purchase";

QString Q(const std::string& s) { return TextFromBoxBytes(s); }

// One column: its header, its box and a bar of buttons below.
QWidget* Column(const QString& caption, TZelkMemo* box, const std::vector<QPushButton*>& buttons) {
  auto* column = new QWidget;
  auto* layout = new QVBoxLayout(column);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  auto* header = new QLabel(caption);
  header->setFixedHeight(21);
  layout->addWidget(header);
  layout->addWidget(box, 1);
  auto* bar = new QWidget;
  bar->setFixedHeight(45);
  auto* barLayout = new QHBoxLayout(bar);
  barLayout->setContentsMargins(10, 7, 10, 7);
  for (QPushButton* b : buttons) {
    b->setFixedSize(100, 31);
    barLayout->addWidget(b);
  }
  barLayout->addStretch(1);
  layout->addWidget(bar);
  return column;
}

TZelkMemo* Box(bool log) {
  auto* memo = new TZelkMemo;
  memo->GutterOptions().SetVisible(false);
  memo->WantTabs = false;
  if (log) {
    memo->SetReadOnly(true);
    memo->SetScrollbars(sbVertical);
  }
  return memo;
}

}  // namespace

TKVXForm::TKVXForm(QStringList parameters, QWidget* parent, const std::function<void(TKVXForm&)>& beforeSettings)
    : QMainWindow(parent), parameters_(std::move(parameters)) {
  MidiDeviceNotifier();  // lives on this thread
  setWindowTitle(QString("Zelk Kalvex ") + Q(VersionNumber()));
  midiInMenu_ = std::make_unique<TMidiInMenu>();
  midiOutMenu_ = std::make_unique<TMidiOutMenu>();

  SXOutput = Box(false);
  SXOutput->AllowDragSelection = false;
  SXInput = Box(false);
  LogOut = Box(true);
  LogOut->AllowDragSelection = false;
  LogIn = Box(true);
  LogIn->AllowDragSelection = false;
  BSend = new QPushButton("Send (F4)");
  BClear = new QPushButton("Clear Out");
  BClearInput = new QPushButton("Clear In");

  auto* central = new QWidget;
  auto* outer = new QVBoxLayout(central);
  outer->setContentsMargins(0, 5, 0, 0);
  auto* rows = rows_ = new QSplitter(Qt::Vertical);
  columns_ = new QSplitter(Qt::Horizontal);
  columns_->addWidget(Column(" MIDI Out", SXOutput, {BSend, BClear}));
  columns_->addWidget(Column(" MIDI In", SXInput, {BClearInput}));
  columns_->setHandleWidth(5);
  auto* logs = logs_ = new QSplitter(Qt::Horizontal);
  logs->addWidget(LogOut);
  logs->addWidget(LogIn);
  logs->setHandleWidth(5);
  rows->addWidget(columns_);
  rows->addWidget(logs);
  logPanel_ = logs;
  rows->setHandleWidth(5);
  rows->setStretchFactor(0, 1);
  rows->setSizes({400, 80});
  outer->addWidget(rows);
  setCentralWidget(central);
  // The log below each column is as wide as it.
  connect(columns_, &QSplitter::splitterMoved, logs, [this, logs] { logs->setSizes(columns_->sizes()); });
  connect(logs, &QSplitter::splitterMoved, columns_, [this, logs] { columns_->setSizes(logs->sizes()); });

  statusOut_ = new QLabel;
  statusIn_ = new QLabel;
  statusBar()->addWidget(statusOut_, 1);
  statusBar()->addWidget(statusIn_, 1);

  PRcvBulkDump = new QFrame(central);
  PRcvBulkDump->setFrameStyle(QFrame::Panel | QFrame::Raised);
  PRcvBulkDump->setLineWidth(2);
  PRcvBulkDump->setAutoFillBackground(true);  // over the box's text, not see-through
  PRcvBulkDump->resize(238, 91);
  auto* bulkLayout = new QVBoxLayout(PRcvBulkDump);
  auto* title = new QLabel("Receiving bulk dump");
  QFont bold = title->font();
  bold.setBold(true);
  title->setFont(bold);
  title->setAlignment(Qt::AlignCenter);
  LSysExRcvd = new QLabel;
  LReceivedSpeed = new QLabel;
  for (QLabel* l : {title, LSysExRcvd, LReceivedSpeed}) bulkLayout->addWidget(l);
  PRcvBulkDump->hide();
  bulkTimer_ = new QTimer(this);
  bulkTimer_->setInterval(kBulkQuietTickMs);
  connect(bulkTimer_, &QTimer::timeout, this, [this] { receiver_->TimerTick(); });

  outTarget_ = std::make_unique<TMidiOutTarget>(MidiOut());
  sender_ = std::make_unique<TSendEngine>(
      *this, parser_, *outTarget_, sendSettings_,
      TSendHooks{[] { QCoreApplication::processEvents(QEventLoop::AllEvents); },
                 [](int ms) { QThread::msleep(static_cast<unsigned long>(ms)); },
                 [this](bool sending) { SetSending(sending); }});
  receiver_ = std::make_unique<TReceivePath>(SXInput->Lines(), *this, *this, receiveOptions_, &sender_->Thru());
  midiInMenu_->SetDataNotification([this](TMidiInput&) { HandleMidiInput(); });
  MidiIn().RecordCapacity = TReceivePath::kInputRecords;
  MidiIn().OnOverflow = [this](TMidiInputBase&) { receiver_->ReportOverflow(); };
  MidiIn().OnMalformed = [this](TMidiInputBase&) { receiver_->ReportMalformed(); };
  // Another MIDI Out port during a send: the send stops first, so no
  // message is split between two ports.
  midiOutMenu_->BeforeChange = [this](std::function<void()> change) { return AfterSendEnds(std::move(change)); };
  midiInMenu_->OnTextMessage = [this](TMidiMenuBase&, const std::string& t) { LogLine(t, false, true, lkNormal); };
  midiOutMenu_->OnTextMessage = [this](TMidiMenuBase&, const std::string& t) { LogLine(t, true, true, lkNormal); };
  midiInMenu_->OnError = [this](TMidiMenuBase&, const std::string& t) { LogLine(t, false, false, lkErrorDialog); };
  midiOutMenu_->OnError = [this](TMidiMenuBase&, const std::string& t) { LogLine(t, true, false, lkErrorDialog); };

  BuildMenus();
  connect(BSend, &QPushButton::clicked, this, [this] { BSendClick(); });
  connect(BClear, &QPushButton::clicked, this, [this] { ClearBox(SXOutput); });
  connect(BClearInput, &QPushButton::clicked, this, [this] { ClearBox(SXInput); });
  // The window's keys reach it whatever box has the focus.
  // F4 sends when it is let go, once however long it was held: the
  // keyboard's repeats come as a release and a press at once, so a release
  // counts only when no press follows within kF4SettleMs.
  f4Release_ = new QTimer(this);
  f4Release_->setSingleShot(true);
  f4Release_->setInterval(kF4SettleMs);
  connect(f4Release_, &QTimer::timeout, this, [this] {
    f4Down_ = false;
    if (!sender_->Sending()) BSendClick();
  });
  qApp->installEventFilter(this);
  auto* esc = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  esc->setContext(Qt::WindowShortcut);
  connect(esc, &QShortcut::activated, this, [this] {
    sender_->RequestCancel();
    if (sendingFiles_) filesCancelled_ = true;
  });
  SXOutput->OnKeyDown = [this](int, TBMShift) { LogLine("", true, false, lkStatusOnly); };
  for (TZelkMemo* box : {SXOutput, SXInput, LogOut, LogIn}) {
    box->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(box, &QWidget::customContextMenuRequested, this,
            [this, box](const QPoint& at) { ShowPopup(box, box->mapToGlobal(at)); });
  }
  // The status bar's two panels line up with the two columns.
  connect(columns_, &QSplitter::splitterMoved, this, [this] {
    storedOutWidth_ = -1;  // the user's width from now on
    AlignStatusPanels();
  });
  connect(&MidiDeviceNotifier(), &TMidiDeviceNotifier::DevicesChanged, this, [this] {
    // A port that goes away while in use is told, also in the middle of a send.
    const std::string in = MidiIn().IsOpen() ? MidiIn().DisplayName() : "";
    const std::string out = MidiOut().IsOpen() ? MidiOut().DisplayName() : "";
    midiInMenu_->RefreshDeviceList(false, true);
    midiOutMenu_->RefreshDeviceList(false, true);
    if (!in.empty() && !MidiIn().IsOpen()) LogLine("The MIDI In port " + in + " went away.", false, false, lkError);
    if (!out.empty() && !MidiOut().IsOpen()) LogLine("The MIDI Out port " + out + " went away.", true, false, lkError);
  });

  // A server that ran late may have dropped events: said on the side that
  // was sending or receiving then.
  connect(&MidiDeviceNotifier(), &TMidiDeviceNotifier::ServerLate, this, [this](bool output, bool input) {
    if (output && sender_ && sender_->Sending()) LogLine(kServerLateText, true, false, lkNormal);
    if (input && MidiIn().IsOpen()) LogLine(kServerLateText, false, false, lkNormal);
  });

  SettingsForm = new TSettingsForm(*this);
  resize(871, 500);
  sendSettings_ = TSendSettings{};
  if (beforeSettings) beforeSettings(*this);
  LoadMainSettings();
  // The loop check is off: a user who sends and receives on one cable means it.
  MidiIn().DetectMidiLoop = false;
  MidiOut().DetectMidiLoop = false;
  QMetaObject::invokeMethod(this, [this] { DeferredInit(); }, Qt::QueuedConnection);
}

TKVXForm::~TKVXForm() {
  midiInMenu_->SetDataNotification(nullptr);
  midiInMenu_->SelectNoneEntry();
  midiOutMenu_->SelectNoneEntry();
}

// The logs and the status bar's panels line up with the two columns.
void TKVXForm::AlignStatusPanels() {
  if (logs_->sizes() != columns_->sizes()) logs_->setSizes(columns_->sizes());
  statusOut_->setFixedWidth(std::max(0, columns_->sizes().value(0) + 3));
}

void TKVXForm::ApplyStoredLayout() {
  if (storedOutWidth_ >= 0) {
    const int total = columns_->width() - columns_->handleWidth();
    const int outWidth = std::min(storedOutWidth_, std::max(total - kMinBoxWidth, kMinBoxWidth));
    columns_->setSizes({outWidth, std::max(total - outWidth, kMinBoxWidth)});
    // A width that does not fit yet (the window is still to be maximized)
    // is tried again at the next resize, until the user moves the splitter.
    if (outWidth == storedOutWidth_) storedOutWidth_ = -1;
  }
  if (storedLogHeight_ >= 0 && logPanel_->isVisible()) {
    const int total = rows_->height() - rows_->handleWidth();
    rows_->setSizes({std::max(total - storedLogHeight_, 1), storedLogHeight_});
    storedLogHeight_ = -1;
  }
  AlignStatusPanels();
}

void TKVXForm::showEvent(QShowEvent* e) {
  QMainWindow::showEvent(e);
  if (storedOutWidth_ < 0 && storedLogHeight_ < 0) return;
  if (QLayout* layout = centralWidget()->layout()) layout->activate();
  ApplyStoredLayout();
}

void TKVXForm::resizeEvent(QResizeEvent* e) {
  QMainWindow::resizeEvent(e);
  if (storedOutWidth_ >= 0 && isVisible())
    ApplyStoredLayout();
  else
    AlignStatusPanels();
}

// The context menu of all four boxes, acting on the one it opened on.
QMenu* TKVXForm::BuildPopup(TZelkMemo* box) {
  auto* menu = new QMenu(this);
  menu->setAttribute(Qt::WA_DeleteOnClose);
  const bool selection = box->SelAvail();
  const bool writable = !box->ReadOnly();
  menu->addAction("Copy", this, [box] { box->CopyToClipboard(); })->setEnabled(selection);
  if (writable) {
    menu->addAction("Paste", this, [box] { box->PasteFromClipboard(); })
        ->setEnabled(!QApplication::clipboard()->text().isEmpty());
    menu->addAction("Cut", this, [box] { box->CutToClipboard(); })->setEnabled(selection);
    menu->addAction("Delete", this, [box] { box->ClearSelection(); })->setEnabled(selection);
  }
  menu->addAction("Select All", this, [box] { box->SelectAll(); });
  menu->addAction("Clear", this, [this, box] { ClearBox(box); });
  if (box == SXOutput) {
    menu->addSeparator();
    menu->addAction("Send", this, [this] { BSendClick(); });
    menu->addAction("Check", this, [this] { CheckOut(); });
    menu->addAction("Fix checksums", this, [this] { FixOutChecksums(); })->setEnabled(writable);
  }
  return menu;
}

bool TKVXForm::eventFilter(QObject* watched, QEvent* e) {
  if (e->type() != QEvent::KeyPress && e->type() != QEvent::KeyRelease) return false;
  auto* key = static_cast<QKeyEvent*>(e);
  auto* widget = qobject_cast<QWidget*>(watched);
  if (key->key() != Qt::Key_F4 || !widget || widget->window() != this) return false;
  // Shift+F4 and the like are no send, also when the other key is let go
  // first: only a release that follows a plain press counts.
  if (key->modifiers() != Qt::NoModifier) {
    f4Down_ = false;
    return false;
  }
  if (e->type() == QEvent::KeyPress) {
    f4Release_->stop();  // a repeat: the key is still held
    if (!key->isAutoRepeat()) f4Down_ = true;
  } else if (!key->isAutoRepeat() && f4Down_) {
    f4Release_->start();
  }
  return true;
}

void TKVXForm::ShowPopup(TZelkMemo* box, const QPoint& globalPos) { BuildPopup(box)->popup(globalPos); }

void TKVXForm::closeEvent(QCloseEvent* e) {
  // During a send: the send is cancelled (what the port still queues is
  // dropped), then the window closes.
  if (AfterSendEnds([this] { close(); })) {
    e->ignore();
    return;
  }
  if (sendingFiles_) {  // between two files: the rest is cancelled, then the window closes
    filesCancelled_ = true;
    QTimer::singleShot(20, this, [this] { close(); });
    e->ignore();
    return;
  }
  // The log goes with the window: a failure is shown before it does.
  std::string error;
  if (!SaveSettings(error)) ShowError("Your settings could not be saved.\r\n" + Q(error));
  if (OnClosing) OnClosing();
  midiInMenu_->SelectNoneEntry();
  midiOutMenu_->SelectNoneEntry();
  QMainWindow::closeEvent(e);
}

void TKVXForm::ApplyFont(const QFont& font) {
  QFont fixed = font;
  fixed.setFixedPitch(true);
  for (TZelkMemo* m : {SXOutput, SXInput, LogOut, LogIn}) m->SetFont(fixed);
}

void TKVXForm::ShowLogLists(bool show) {
  if (show == showLogLists_ && logPanel_->isVisible() == show) return;
  showLogLists_ = show;
  if (show) {
    // At most two thirds of the MIDI Out box's height.
    const int wanted = storedLogHeight_ >= 0 ? std::exchange(storedLogHeight_, -1) : rows_->sizes().value(1);
    const int height = std::min(std::max(wanted, kDesignLogHeight), SXOutput->height() * 2 / 3);
    logPanel_->setVisible(true);
    const int total = rows_->sizes().value(0) + rows_->sizes().value(1);
    rows_->setSizes({std::max(total - height, 1), height});
  } else {
    logPanel_->setVisible(false);
  }
}

void TKVXForm::SetOneInstanceActive(bool active) {
  allowMultipleInstances_ = !active;
  if (OnOneInstanceActive) OnOneInstanceActive(active);
}

void TKVXForm::LoadMainSettings() {
  midiInMenu_->RegPath = RegCompanyPath(true);
  midiOutMenu_->RegPath = RegCompanyPath(true);
  TRegIniFile ini(RegBasePath(true));
  const std::string c = "Current";
  if (LoadFormState) LoadFormState(ini, c);
  // What the store does not hold keeps the defaults; the font, the column
  // width and the log height keep the window's own (before the window is
  // laid out the columns have no width yet: the design's).
  TCurrentSettings s;
  const QFont font = SXOutput->font();
  s.FontName = font.family().toStdString();
  s.FontSize = font.pointSize();
  const int currentOut = storedOutWidth_ >= 0 ? storedOutWidth_ : columns_->sizes().value(0);
  s.SplitterPos = currentOut > 0 ? currentOut : kDesignOutWidth;
  const int currentLog = storedLogHeight_ >= 0 ? storedLogHeight_ : rows_->sizes().value(1);
  s.LogListsHeight = currentLog > 10 ? currentLog : kDesignLogHeight;
  s.Load(ini, c);

  sendSettings_.SendSpeed = s.SendSpeed;
  sendSettings_.ThrottlingActive = s.ThrottlingActive;
  sendSettings_.SplitSending = s.SplitSending;
  sendSettings_.MessagePauseMs = s.MessagePauseMs;
  sendSettings_.CheckBeforeSending = s.CheckBeforeSending;
  filePauseMs_ = s.FilePauseMs;
  CheckBeforeSending1->setChecked(s.CheckBeforeSending);
  MidiThru1->setChecked(s.MidiThru);
  receiveOptions_.MidiThru = s.MidiThru;
  receiveOptions_.SysExOnly = s.SysExOnly;
  DetectBulkDumps1->setChecked(s.DetectBulkDumps);
  receiveOptions_.DetectBulkDumps = s.DetectBulkDumps;
  DescribeMessages1->setChecked(s.DescribeMessages);
  KeepMidiTiming1->setChecked(s.KeepMidiTiming);
  receiveOptions_.DescribeMessages = s.DescribeMessages;
  splitLongMessages_ = s.SplitLongMessages;
  SplitLongMessages1->setChecked(splitLongMessages_);
  splitThreshold_ = s.SplitLongMessagesThreshold;
  receiveOptions_.SplitThreshold = SplitThreshold();
  QFont chosen = font;
  chosen.setFamily(Q(s.FontName));
  chosen.setPointSize(s.FontSize);
  ApplyFont(chosen);
  storedOutWidth_ = std::max(s.SplitterPos, kMinBoxWidth);
  storedLogHeight_ = s.LogListsHeight;
  showLogLists_ = s.ShowLogLists;
  logPanel_->setVisible(showLogLists_);
  if (isVisible()) ApplyStoredLayout();  // settings read again in a shown window
  SetOneInstanceActive(!s.AllowMultipleInstances);
  showSplashScreen_ = s.ShowSplashScreen;
}

// The window's values as the settings hold them.
TCurrentSettings TKVXForm::CurrentSettings() const {
  TCurrentSettings s;
  s.SendSpeed = sendSettings_.SendSpeed;
  s.ThrottlingActive = sendSettings_.ThrottlingActive;
  s.SplitSending = sendSettings_.SplitSending;
  s.MessagePauseMs = sendSettings_.MessagePauseMs;
  s.CheckBeforeSending = sendSettings_.CheckBeforeSending;
  s.FilePauseMs = filePauseMs_;
  s.MidiThru = MidiThru1->isChecked();
  s.SysExOnly = receiveOptions_.SysExOnly;
  s.DetectBulkDumps = DetectBulkDumps1->isChecked();
  s.DescribeMessages = DescribeMessages1->isChecked();
  s.KeepMidiTiming = KeepMidiTiming1->isChecked();
  s.SplitLongMessages = splitLongMessages_;
  s.SplitLongMessagesThreshold = splitThreshold_;
  s.FontName = SXOutput->font().family().toStdString();
  s.FontSize = SXOutput->font().pointSize();
  s.ShowLogLists = showLogLists_;
  s.LogListsHeight = storedLogHeight_ >= 0 ? storedLogHeight_ : rows_->sizes().value(1);
  s.SplitterPos = storedOutWidth_ >= 0 ? storedOutWidth_ : columns_->sizes().value(0);
  s.AllowMultipleInstances = allowMultipleInstances_;
  s.ShowSplashScreen = showSplashScreen_;
  return s;
}

bool TKVXForm::SaveMainSettings() {
  std::string error;
  if (SaveSettings(error)) return true;
  LogLine(error, true, false, lkError);
  return false;
}

bool TKVXForm::SaveSettings(std::string& error) {
  // The instance that hands over to another one keeps that one's settings.
  if (AnotherInstanceRunning && AnotherInstanceRunning()) return true;
  try {
    if (SaveRecentFiles) SaveRecentFiles();
    TRegIniFile ini(RegBasePath(false));
    const std::string c = "Current";
    if (SaveFormState) SaveFormState(ini, c);
    CurrentSettings().Save(ini, c);
    midiInMenu_->SaveToIni(ini);
    midiOutMenu_->SaveToIni(ini);
    ini.UpdateFile();
    return true;
  } catch (const std::exception& e) {
    error = e.what();
    return false;
  }
}

void TKVXForm::BuildMenus() {
  QMenu* file = FileMenu = menuBar()->addMenu("&File");
  QAction* open = file->addAction("&Open", this, [this] { OpenFile(); });
  open->setStatusTip("Open a .syx file into the MIDI Out box");
  open->setShortcut(QKeySequence::Open);
  QAction* save = file->addAction("&Save MIDI Out As...", this, [this] { SaveBoxAs(true); });
  save->setStatusTip("Save the contents of the MIDI Out area as .syx file");
  save->setShortcut(QKeySequence::Save);
  file->addAction("Send &Files...", this, [this] { SendFilesDialog(); })
      ->setStatusTip("Send several files in order, with a pause between them");
  file->addAction("Save MIDI &In As...", this, [this] { SaveBoxAs(false); })
      ->setStatusTip("Save the contents of the MIDI In area as .syx file");
  QAction* exit = file->addAction("E&xit", this, [this] { close(); });
  exit->setStatusTip("Exit the program");
  exit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
  MidiOutMenu = menuBar()->addMenu("MIDI &Out");
  MidiInMenu = menuBar()->addMenu("MIDI &In");
  midiOutMenu_->SetBaseMenu(MidiOutMenu);
  // After the devices: what works on the MIDI Out box and port.
  MidiOutMenu->addSeparator();
  Check1 = MidiOutMenu->addAction("Check", this, [this] { CheckOut(); });
  Check1->setStatusTip("Report malformed messages and wrong checksums of the MIDI Out box or its selection");
  FixChecksums1 = MidiOutMenu->addAction("Fix checksums", this, [this] { FixOutChecksums(); });
  FixChecksums1->setStatusTip("Make every Roland and Yamaha checksum of the MIDI Out box right (Ctrl+Z takes it back)");
  IdentifyDevice1 = MidiOutMenu->addAction("Identify device", this, [this] { IdentifyDevice(); });
  IdentifyDevice1->setStatusTip("Send the identity request and show the replies that come to MIDI In");
  midiInMenu_->SetBaseMenu(MidiInMenu);
  // Each menu its own letter: Alt+O is MIDI Out's.
  QMenu* options = menuBar()->addMenu("O&ptions");
  options->addAction("Settings...", this, [this] { SettingsForm->ShowSettings(); });
  options->addSeparator();
  MidiThru1 = options->addAction("MIDI &Thru");
  MidiThru1->setCheckable(true);
  MidiThru1->setStatusTip("Echos MIDI in to MIDI out");
  connect(MidiThru1, &QAction::triggered, this, [this](bool on) {
    LogLine(on ? "Enabled MIDI thru" : "Disabled MIDI thru", false, false, lkNormal);
    UpdateThru();
  });
  QAction* sensing = ActiveSensing1 = options->addAction("Enable &Active Sensing");
  sensing->setCheckable(true);
  sensing->setStatusTip("When this option is checked, Active Sensing messages are received from MIDI. (off by default)");
  connect(sensing, &QAction::triggered, this, [this](bool on) {
    midiInMenu_->SetActiveSensing(on);
    LogLine(on ? "Enabled receiving Active Sensing messages" : "Disabled receiving Active Sensing messages", false,
            false, lkNormal);
  });
  QAction* clock = TimingClock1 = options->addAction("Enable MIDI Time &Clock");
  clock->setCheckable(true);
  clock->setStatusTip("When this option is checked, MIDI Time Clock messages received from MIDI In . (off by default)");
  connect(clock, &QAction::triggered, this, [this](bool on) {
    midiInMenu_->SetTimingClock(on);
    LogLine(on ? "Enabled receiving MTC (Midi Time Clock) messages" : "Disabled receiving MTC (Midi Time Clock) messages",
            false, false, lkNormal);
  });
  SplitLongMessages1 = options->addAction("Split long sys ex messages");
  SplitLongMessages1->setCheckable(true);
  SplitLongMessages1->setVisible(false);
  SplitLongMessages1->setStatusTip("Split long sys ex messages when receiving or when loading a file");
  connect(SplitLongMessages1, &QAction::triggered, this, [this](bool on) {
    splitLongMessages_ = on;
    receiveOptions_.SplitThreshold = SplitThreshold();
  });
  CheckBeforeSending1 = options->addAction("Check before sending");
  CheckBeforeSending1->setCheckable(true);
  CheckBeforeSending1->setStatusTip("A malformed message or a wrong checksum in MIDI Out stops a send before it starts");
  connect(CheckBeforeSending1, &QAction::triggered, this, [this](bool on) { sendSettings_.CheckBeforeSending = on; });
  KeepMidiTiming1 = options->addAction("Keep the timing of MIDI files");
  KeepMidiTiming1->setCheckable(true);
  KeepMidiTiming1->setStatusTip("A loaded .mid waits between its SysEx messages as the file's time says");
  DescribeMessages1 = options->addAction("Describe received messages");
  DescribeMessages1->setCheckable(true);
  DescribeMessages1->setStatusTip("A comment after each received SysEx message: manufacturer, kind, length, checksum");
  connect(DescribeMessages1, &QAction::triggered, this, [this](bool on) { receiveOptions_.DescribeMessages = on; });
  DetectBulkDumps1 = options->addAction("Detect Bulk Dumps");
  DetectBulkDumps1->setCheckable(true);
  DetectBulkDumps1->setChecked(receiveOptions_.DetectBulkDumps);
  connect(DetectBulkDumps1, &QAction::triggered, this, [this](bool on) { receiveOptions_.DetectBulkDumps = on; });
  options->addSeparator();
  options->addAction("Clear Logs", this, [this] {
    LogOut->Clear();
    LogIn->Clear();
  });
  QMenu* help = menuBar()->addMenu("&Help");
  help->addAction("User's Manual", this, [this] {
    // Beside the program in a build; installed, in the documentation folder.
    const std::string installed = ProgramDir() + "/" KALVEX_DOC_FROM_BIN "/kalvex_manual.pdf";
    const bool beside = access((ProgramDir() + "/kalvex_manual.pdf").c_str(), F_OK) == 0;
    OpenDocument(!beside && access(installed.c_str(), F_OK) == 0 ? installed : "kalvex_manual.pdf");
  });
  GoToWeb.Url = kProductPage;
  GoToWeb1.Url = kPurchasePage;
  for (TGoToWeb* web : {&GoToWeb, &GoToWeb1}) {
    const QString address = QString::fromStdString(web->Url);
    help->addAction(web == &GoToWeb ? "&Kalvex on the Web" : "Purchase Kalvex", this, [this, web] {
      const QString text = QString("Could not open your Internet browser. Please enter this\r\nURL in the address "
                                   "bar of your Internet browser:\r\n%1").arg(QString::fromStdString(web->Url));
      QPointer<TKVXForm> self(this);
      if (!web->Execute([self, text] {
            if (self) self->ShowError(text);
          }))
        ShowError(text);
    })->setStatusTip(address);
  }
  help->addAction("&About", this, [this] {
    if (ShowAbout) return ShowAbout();
    QMessageBox::about(this, "About Kalvex",
                       QString("Zelk Kalvex v%1 build %2").arg(Q(VersionNumber()), Q(BuildNumber())));
  });
}

void TKVXForm::ShowError(const QString& text) {
  if (ShowErrorDialog)
    ShowErrorDialog(text);
  else
    QMessageBox::critical(this, windowTitle(), QString(text).replace("\r\n", "\n"));
}

// A document of the program's folder (or an absolute name), opened by the desktop.
void TKVXForm::OpenDocument(const std::string& name) {
  std::string path = name;
  MakeAbsolutePath(path);
  const QString text = QString("Cannot open file:\r\n%1").arg(Q(name));
  QPointer<TKVXForm> self(this);
  if (!ShellOpen(path, {}, {}, [self, text] {
        if (self) self->ShowError(text);
      }))
    ShowError(text);
}

void TKVXForm::SelectByName(TMidiMenuBase& menu, const std::string& name) {
  if (name.empty()) {
    menu.SelectNoneEntry();
    return;
  }
  for (QAction* a : menu.Entries())
    if (!a->isSeparator() && SameDeviceName(a->text().toStdString(), name)) {
      menu.SelectDeviceEntry(a);
      return;
    }
}

void TKVXForm::SelectOutput(const std::string& name) { SelectByName(*midiOutMenu_, name); }
void TKVXForm::SelectInput(const std::string& name) { SelectByName(*midiInMenu_, name); }

void TKVXForm::DeferredInit() {
  repaint();
  midiInMenu_->LoadSettings();
  midiOutMenu_->LoadSettings();
  ActiveSensing1->setChecked(midiInMenu_->ActiveSensing());
  TimingClock1->setChecked(midiInMenu_->TimingClock());
  // The input's own SysEx-only filter would keep short messages from thru.
  if (midiInMenu_->SysExOnly()) {
    midiInMenu_->SetSysExOnly(false);
    receiveOptions_.SysExOnly = true;
  }
  if (!parameters_.isEmpty()) HandleParameters(parameters_);
  if (SXOutput->Lines().Empty()) SXOutput->AppendText(kHintText);
}

void TKVXForm::HandleParameters(QStringList parameters) {
  // A hand-over during a send: the send stops, then the file loads (and
  // goes out with "/send").
  if (AfterSendEnds([this, parameters] { HandleParameters(parameters); })) return;
  bool send = false;
  for (int i = parameters.size() - 1; i >= 0; --i) {
    const QString p = parameters[i].toLower();
    if (p == "/send" || p == "-send") {
      parameters.removeAt(i);
      send = true;
    }
  }
  // A file that did not load sends nothing: the box holds other bytes.
  if (!parameters.isEmpty() && !LoadOutFile(parameters.last().toStdString())) return;
  if (send) BSendClick();
}

bool TKVXForm::LoadOutFile(const std::string& fileName) {
  if (AfterSendEnds([this, fileName] { LoadOutFile(fileName); })) return false;
  if (!MayReplaceTypedText(fileName)) return false;
  TFileContext ctx = FileContext();
  return LoadFile(fileName, SXOutput->Lines(), ctx);
}

// Text the user typed and did not save is not replaced without a word.
bool TKVXForm::MayReplaceTypedText(const std::string& fileName) {
  if (!SXOutput->Modified || SXOutput->Lines().Empty()) return true;
  const QString question =
      QString("The MIDI Out box holds text you typed and did not save.\r\nReplace it with %1?").arg(Q(fileName));
  if (AskYesNo) return AskYesNo(question);
  return QMessageBox::question(this, windowTitle(), QString(question).replace("\r\n", "\n")) == QMessageBox::Yes;
}

void TKVXForm::BSendClick() {
  // Between two of several files, Send stops the rest, as Cancel would.
  if (sendingFiles_ && !sender_->Sending()) {
    filesCancelled_ = true;
    return;
  }
  if (SXOutput->SelAvail()) {
    const std::string selection = SXOutput->GetSelText();
    sender_->Send(SXOutput->Lines(), &selection, SXOutput->SelStart().line);
  } else {
    sender_->Send(SXOutput->Lines(), nullptr, 0);
  }
}

bool TKVXForm::AfterSendEnds(std::function<void()> command) {
  if (!sender_->Sending()) return false;
  sender_->RequestCancel();
  afterSend_.push_back(std::move(command));
  return true;
}

void TKVXForm::SetSending(bool sending) {
  // What waited for the send runs once the send's call has returned.
  if (!sending && !afterSend_.empty())
    QMetaObject::invokeMethod(
        this,
        [this] {
          std::vector<std::function<void()>> commands;
          commands.swap(afterSend_);
          for (const auto& command : commands) command();
        },
        Qt::QueuedConnection);
  BSend->setText(sending ? "Cancel (Esc)" : "Send (F4)");
  BClear->setEnabled(!sending);
  BClearInput->setEnabled(!sending);
  if (sending)
    QApplication::setOverrideCursor(Qt::BusyCursor);
  else
    QApplication::restoreOverrideCursor();
}

void TKVXForm::ClearBox(TZelkMemo* box) {
  if (box == SXOutput && SXOutput->Modified) {
    // Typed text goes as one step that Undo takes back.
    SXOutput->SelectAll();
    SXOutput->ClearSelection();
    return;
  }
  box->Clear();
  if (box == SXInput) receiver_->BoxCleared();
}

// Framing and checksums of the box, or of its selection, by line number.
void TKVXForm::CheckOut() {
  TBMStrings selected;
  const TBMStrings* lines = &SXOutput->Lines();
  int first = 1;
  if (SXOutput->SelAvail()) {
    selected.SetText(SXOutput->GetSelText());
    lines = &selected;
    first = SXOutput->SelStart().line + 1;
  }
  const auto problems = CheckMessages(BoxLineBytes(*lines, parser_), first);
  for (const auto& p : problems) LogLine("line " + std::to_string(p.line) + ": " + p.text, true, false, lkNormal);
  if (problems.empty())
    LogLine("Check: no problems found.", true, false, lkNormal);
  else
    LogLine("Check found " + std::to_string(problems.size()) + (problems.size() == 1 ? " problem." : " problems."), true,
            false, lkError);
}

// Every checksum of the box that is wrong and of a known kind, made right as
// one step that Undo takes back; comments stay.
void TKVXForm::FixOutChecksums() {
  if (AfterSendEnds([this] { FixOutChecksums(); })) return;
  TBMStrings fixed;
  fixed.SetText(SXOutput->Lines().Text());
  const int count = FixChecksumsInBox(fixed, parser_);
  if (count == 0) {
    LogLine("Fix checksums: every checksum of a known kind is right.", true, false, lkNormal);
    return;
  }
  SXOutput->ReplaceAllText(fixed.Text());
  LogLine("Fixed " + std::to_string(count) + (count == 1 ? " checksum" : " checksums") + " (Ctrl+Z takes it back)",
          true, false, lkNormal);
}

// The identity request to MIDI Out; for a second, each reply at MIDI In is
// shown decoded.
void TKVXForm::IdentifyDevice() {
  if (!outTarget_->PortOpen() || !MidiIn().IsOpen()) {
    LogLine("Identify device needs a MIDI Out port to ask and a MIDI In port for the answers.", true, false,
            lkErrorDialog);
    return;
  }
  identityReplies_ = 0;
  receiver_->OnSysEx = [this](const uint8_t* data, int length) {
    TIdentityReply reply;
    if (!DecodeIdentityReply(std::span<const uint8_t>(data, static_cast<size_t>(length)), reply)) return;
    ++identityReplies_;
    LogLine("Identity reply: " + DescribeMessage(std::span<const uint8_t>(data, static_cast<size_t>(length))), false,
            false, lkNormal);
  };
  if (!identifyTimer_) {
    identifyTimer_ = new QTimer(this);
    identifyTimer_->setSingleShot(true);
    connect(identifyTimer_, &QTimer::timeout, this, [this] {
      receiver_->OnSysEx = nullptr;
      if (identityReplies_ == 0) LogLine("No device answered the identity request within 1 s.", false, false, lkError);
    });
  }
  const std::vector<uint8_t> request = IdentityRequest();
  MidiOut().SendLong(request.data(), static_cast<int>(request.size()));
  LogLine("Sent the identity request", true, false, lkNormal);
  identifyTimer_->start(1000);
}

void TKVXForm::HandleMidiInput() {
  UpdateThru();
  receiver_->Drain([this] { return MidiIn().ReadEvent(); });
}

// MIDI thru from a device back into itself (In and Out the same device, such
// as one loopback cable or Midi Through) would echo every message for ever:
// it is held off while that is so, and the log says why once.
void TKVXForm::UpdateThru() {
  const bool loop = MidiThru1->isChecked() && MidiIn().IsOpen() && MidiOut().IsOpen() &&
                    SameDeviceName(MidiIn().Name(), MidiOut().Name());
  receiveOptions_.MidiThru = MidiThru1->isChecked() && !loop;
  if (loop && !thruHeldOff_)
    LogLine("MIDI thru is held off: MIDI In and MIDI Out are the same device, which would echo every message for ever.",
            false, false, lkError);
  thruHeldOff_ = loop;
}

TFileContext TKVXForm::FileContext() {
  TFileContext ctx{*this, parser_, SplitThreshold(),
                      TFileHooks{[this](const std::string& name) {
                                   if (OnRecentFile) OnRecentFile(name);
                                 },
                                 [](bool busy) {
                                   if (busy)
                                     QApplication::setOverrideCursor(Qt::WaitCursor);
                                   else
                                     QApplication::restoreOverrideCursor();
                                 }}};
  ctx.keepMidiTiming = KeepMidiTiming1->isChecked();
  return ctx;
}

void TKVXForm::SendFilesDialog() {
  if (AfterSendEnds([this] { SendFilesDialog(); })) return;
  QFileDialog dialog(this, "Send Files");
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFiles);
  dialog.setNameFilters({"All supported Files (*.syx *.mid *.txt)", "Sys Ex Files (*.syx)", "MIDI files (*.mid)",
                         "Text Messages (*.txt)", "All Files (*)"});
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  std::vector<std::string> files;
  for (const QString& f : dialog.selectedFiles()) files.push_back(f.toStdString());
  SendFiles(files);
}

void TKVXForm::SendFiles(const std::vector<std::string>& files) {
  if (sender_->Sending() || sendingFiles_) return;
  sendingFiles_ = true;
  filesCancelled_ = false;
  const int count = static_cast<int>(files.size());
  int sent = 0;
  for (int i = 0; i < count && !filesCancelled_; ++i) {
    if (i > 0 && filePauseMs_ > 0) {
      // The pause between two files; Esc ends it and the rest.
      LogLine("Waiting " + std::to_string(filePauseMs_) + " ms before the next file...", true, true, lkStatusOnly);
      QElapsedTimer waited;
      waited.start();
      while (waited.elapsed() < filePauseMs_ && !filesCancelled_) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
      }
      if (filesCancelled_) break;
    }
    TBMStrings lines;
    TFileContext ctx = FileContext();
    ctx.hooks.addRecentFile = nullptr;  // sent, not opened
    if (!LoadFile(files[static_cast<size_t>(i)], lines, ctx)) break;
    LogLine("File " + std::to_string(i + 1) + "/" + std::to_string(count) + ": " + files[static_cast<size_t>(i)], true,
            true, lkNormal);
    sender_->Send(lines, nullptr, 0);
    if (sender_->CancelRequested() || !outTarget_->PortOpen()) filesCancelled_ = true;
    else ++sent;
  }
  LogLine(filesCancelled_ || sent < count ? "Sent " + std::to_string(sent) + " of " + std::to_string(count) + " files"
                                          : "Sent " + std::to_string(count) + " files",
          true, false, sent < count ? lkError : lkNormal);
  sendingFiles_ = false;
}

void TKVXForm::OpenFile() {
  if (AfterSendEnds([this] { OpenFile(); })) return;
  QFileDialog dialog(this, "Open Sys-Ex File");
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setDefaultSuffix("syx");
  dialog.setNameFilters({"All supported Files (*.syx *.mid *.txt)", "Sys Ex Files (*.syx)", "MIDI files (*.mid)",
                         "Text Messages (*.txt)", "All Files (*)"});
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  LoadOutFile(dialog.selectedFiles().first().toStdString());
}

void TKVXForm::SaveBoxAs(bool midiOut) {
  // Asks before replacing an existing file (the dialog's own question).
  QFileDialog dialog(this, "Save Sys-Ex file");
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setDefaultSuffix("syx");
  dialog.setNameFilters({"All supported Files (*.syx *.txt)", "Sys Ex Files (*.syx)", "Text Messages (*.txt)",
                         "All Files (*)"});
  // A name without extension takes the chosen type's: text when the user
  // chose text messages.
  connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog](const QString& filter) {
    dialog.setDefaultSuffix(filter.contains("*.txt") && !filter.contains("*.syx") ? "txt" : "syx");
  });
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  const QString name = dialog.selectedFiles().first();
  TFileContext ctx = FileContext();
  TZelkMemo* box = midiOut ? SXOutput : SXInput;
  if (SaveBox(box->Lines(), name.toStdString(), midiOut, ctx)) box->Modified = false;
}

void TKVXForm::LogLine(const std::string& text, bool midiOutSide, bool repaintNow, TLogKind kind) {
  const std::string line = LogText(text, kind);
  (midiOutSide ? statusOut_ : statusIn_)->setText(Q(line));
  if (kind != lkStatusOnly && !line.empty()) {
    TZelkMemo* pane = midiOutSide ? LogOut : LogIn;
    pane->Lines().Add(line);
    // A stream of log lines (one per received message) costs one scroll and
    // one repaint per 30 ms, not one each.
    if (repaintNow) {
      pane->ScrollToEnd();
      pane->viewport()->repaint();
    } else {
      pane->ScrollToEndLater();
    }
  }
  if (repaintNow) statusBar()->repaint();
  if (kind == lkErrorDialog) ShowError(Q(text));
}

void TKVXForm::ScrollInToEndLater() { SXInput->ScrollToEndLater(); }
void TKVXForm::ScrollInToEnd() { SXInput->ScrollToEnd(); }

void TKVXForm::ShowBulkPanel(const std::string& bytesText, const std::string& speedText) {
  if (PRcvBulkDump->isHidden()) {
    // Centred on the MIDI In box, or on both columns when the box is
    // narrower than the panel; always inside the window.
    QWidget* reference = PRcvBulkDump->width() > SXInput->width() ? static_cast<QWidget*>(columns_) : SXInput;
    const QRect box(reference->mapTo(centralWidget(), QPoint(0, 0)), reference->size());
    const QRect area = centralWidget()->rect();
    const int x = std::clamp(box.center().x() - PRcvBulkDump->width() / 2, 0,
                             std::max(0, area.width() - PRcvBulkDump->width()));
    const int y = std::clamp(box.center().y() - PRcvBulkDump->height() / 2, 0,
                             std::max(0, area.height() - PRcvBulkDump->height()));
    PRcvBulkDump->move(x, y);
    PRcvBulkDump->raise();
    PRcvBulkDump->show();
  }
  LSysExRcvd->setText(Q(bytesText));
  LReceivedSpeed->setText(Q(speedText));
}

void TKVXForm::RepaintBulkPanel() { PRcvBulkDump->repaint(); }

void TKVXForm::HideBulkPanel() { PRcvBulkDump->hide(); }
bool TKVXForm::BulkPanelVisible() const { return !PRcvBulkDump->isHidden(); }

void TKVXForm::SetBulkTimer(bool on) {
  if (!on)
    bulkTimer_->stop();
  else if (!bulkTimer_->isActive())
    bulkTimer_->start();
}

}  // namespace kalvex
