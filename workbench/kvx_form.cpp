#include "workbench/kvx_form.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFileDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
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
#include "workbench/file_io.h"

namespace kalvex {

namespace {

constexpr const char* kHintText =
    "// type here MIDI messages in hex\r\n// notation, or use the File menu\r\n// to open a .syx or .txt file.\r\n";
constexpr int kBulkQuietTickMs = 1000;

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

TKVXForm::TKVXForm(QStringList parameters, QWidget* parent)
    : QMainWindow(parent), parameters_(std::move(parameters)) {
  MidiDeviceNotifier();  // lives on this thread
  setWindowTitle(QString("Zelk Kalvex ") + Q(VersionNumber()));
  input_ = std::make_unique<TMidiInput>();
  output_ = std::make_unique<TMidiOutput>();

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
  auto* rows = new QSplitter(Qt::Vertical);
  columns_ = new QSplitter(Qt::Horizontal);
  columns_->addWidget(Column(" MIDI Out", SXOutput, {BSend, BClear}));
  columns_->addWidget(Column(" MIDI In", SXInput, {BClearInput}));
  columns_->setHandleWidth(5);
  auto* logs = new QSplitter(Qt::Horizontal);
  logs->addWidget(LogOut);
  logs->addWidget(LogIn);
  logs->setHandleWidth(5);
  rows->addWidget(columns_);
  rows->addWidget(logs);
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

  sender_ = std::make_unique<TSendEngine>(
      *this, parser_, *this, sendSettings_,
      TSendHooks{[] { QCoreApplication::processEvents(QEventLoop::AllEvents); },
                 [](int ms) { QThread::msleep(static_cast<unsigned long>(ms)); },
                 [this](bool sending) { SetSending(sending); }});
  receiver_ = std::make_unique<TReceivePath>(SXInput->Lines(), *this, *this, receiveOptions_, this);
  input_->OnDataAvailable = [this](TMidiInput&) { HandleMidiInput(); };

  BuildMenus();
  connect(BSend, &QPushButton::clicked, this, [this] { BSendClick(); });
  connect(BClear, &QPushButton::clicked, this, [this] { SXOutput->Clear(); });
  connect(BClearInput, &QPushButton::clicked, this, [this] { SXInput->Clear(); });
  // The window's keys reach it whatever box has the focus.
  auto* f4 = new QShortcut(QKeySequence(Qt::Key_F4), this);
  f4->setContext(Qt::WindowShortcut);
  connect(f4, &QShortcut::activated, this, [this] {
    if (!sender_->Sending()) BSendClick();
  });
  auto* esc = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  esc->setContext(Qt::WindowShortcut);
  connect(esc, &QShortcut::activated, this, [this] { sender_->RequestCancel(); });
  SXOutput->OnKeyDown = [this](int, TBMShift) { LogLine("", true, false, lkStatusOnly); };
  connect(&MidiDeviceNotifier(), &TMidiDeviceNotifier::DevicesChanged, this, [this] { RefreshDeviceMenus(); });

  resize(871, 500);
  // The loop check is off: a user who sends and receives on one cable means it.
  input_->DetectMidiLoop = false;
  output_->DetectMidiLoop = false;
  QMetaObject::invokeMethod(this, [this] { DeferredInit(); }, Qt::QueuedConnection);
}

TKVXForm::~TKVXForm() {
  input_->OnDataAvailable = nullptr;
  input_->Close();
  output_->Close();
}

void TKVXForm::BuildMenus() {
  QMenu* file = menuBar()->addMenu("&File");
  file->addAction("&Open", this, [this] { OpenFile(); })->setStatusTip("Open a .syx file into the MIDI Out box");
  file->addAction("&Save MIDI Out As...", this, [this] { SaveBoxAs(true); })
      ->setStatusTip("Save the contents of the MIDI Out area as .syx file");
  file->addAction("Save MIDI &In As...", this, [this] { SaveBoxAs(false); })
      ->setStatusTip("Save the contents of the MIDI In area as .syx file");
  file->addAction("E&xit", this, [this] { close(); })->setStatusTip("Exit the program");
  MidiOutMenu = menuBar()->addMenu("MIDI &Out");
  MidiInMenu = menuBar()->addMenu("MIDI &In");
  connect(MidiOutMenu, &QMenu::aboutToShow, this, [this] { RefreshDeviceMenus(); });
  connect(MidiInMenu, &QMenu::aboutToShow, this, [this] { RefreshDeviceMenus(); });
  QMenu* options = menuBar()->addMenu("&Options");
  MidiThru1 = options->addAction("MIDI &Thru");
  MidiThru1->setCheckable(true);
  MidiThru1->setStatusTip("Echos MIDI in to MIDI out");
  connect(MidiThru1, &QAction::triggered, this, [this](bool on) {
    receiveOptions_.MidiThru = on;
    LogLine(on ? "Enabled MIDI thru" : "Disabled MIDI thru", false, false, lkNormal);
  });
  QAction* sensing = options->addAction("Enable &Active Sensing");
  sensing->setCheckable(true);
  sensing->setStatusTip("When this option is checked, Active Sensing messages are received from MIDI. (off by default)");
  connect(sensing, &QAction::triggered, this, [this](bool on) {
    input_->SetActiveSensing(on);
    LogLine(on ? "Enabled receiving Active Sensing messages" : "Disabled receiving Active Sensing messages", false,
            false, lkNormal);
  });
  QAction* clock = options->addAction("Enable MIDI Time &Clock");
  clock->setCheckable(true);
  clock->setStatusTip("When this option is checked, MIDI Time Clock messages received from MIDI In . (off by default)");
  connect(clock, &QAction::triggered, this, [this](bool on) {
    input_->SetTimingClock(on);
    LogLine(on ? "Enabled receiving MTC (Midi Time Clock) messages" : "Disabled receiving MTC (Midi Time Clock) messages",
            false, false, lkNormal);
  });
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
  help->addAction("&About", this, [this] {
    QMessageBox::about(this, "About Kalvex",
                       QString("Zelk Kalvex v%1 build %2").arg(Q(VersionNumber()), Q(BuildNumber())));
  });
  RefreshDeviceMenus();
}

// Both menus: "none", then every device; the open one is checked.
void TKVXForm::RefreshDeviceMenus() {
  auto fill = [this](QMenu* menu, bool output) {
    menu->clear();
    const std::string open = output ? (output_->IsOpen() ? output_->DisplayName() : "")
                                    : (input_->IsOpen() ? input_->DisplayName() : "");
    QAction* none = menu->addAction("none");
    none->setCheckable(true);
    none->setChecked(open.empty());
    connect(none, &QAction::triggered, this, [this, output] { output ? SelectOutput("") : SelectInput(""); });
    menu->addSeparator();
    std::vector<std::string> names;
    if (output) {
      std::vector<std::unique_ptr<TMidiOutput>> list;
      TMidiOutput::EnumerateDevices(list, false);
      for (auto& d : list) names.push_back(d->DisplayName());
    } else {
      std::vector<std::unique_ptr<TMidiInput>> list;
      TMidiInput::EnumerateDevices(list);
      for (auto& d : list) names.push_back(d->DisplayName());
    }
    for (const std::string& name : names) {
      QAction* a = menu->addAction(Q(name));
      a->setCheckable(true);
      a->setChecked(name == open);
      connect(a, &QAction::triggered, this, [this, output, name] { output ? SelectOutput(name) : SelectInput(name); });
    }
  };
  fill(MidiOutMenu, true);
  fill(MidiInMenu, false);
}

void TKVXForm::SelectOutput(const std::string& name) {
  output_->Close();
  if (name.empty()) return;
  output_->SetDeviceID(FindDeviceIdByName(true, name));
  try {
    output_->Open();
  } catch (const std::exception& e) {
    LogLine(e.what(), true, false, lkErrorDialog);
  }
}

void TKVXForm::SelectInput(const std::string& name) {
  input_->Close();
  if (name.empty()) return;
  input_->SetDeviceID(FindDeviceIdByName(false, name));
  try {
    input_->Open();
    input_->Start();
  } catch (const std::exception& e) {
    LogLine(e.what(), false, false, lkErrorDialog);
  }
}

void TKVXForm::DeferredInit() {
  repaint();
  if (!parameters_.isEmpty()) HandleParameters(parameters_);
  if (SXOutput->Lines().Empty()) SXOutput->AppendText(kHintText);
}

void TKVXForm::HandleParameters(QStringList parameters) {
  bool send = false;
  for (int i = parameters.size() - 1; i >= 0; --i) {
    const QString p = parameters[i].toLower();
    if (p == "/send" || p == "-send") {
      parameters.removeAt(i);
      send = true;
    }
  }
  if (!parameters.isEmpty()) {
    TFileContext ctx = FileContext();
    LoadFile(parameters.last().toStdString(), SXOutput->Lines(), ctx);
  }
  if (send) BSendClick();
}

void TKVXForm::BSendClick() {
  if (SXOutput->SelAvail()) {
    const std::string selection = SXOutput->GetSelText();
    sender_->Send(SXOutput->Lines(), &selection, SXOutput->SelStart().line);
  } else {
    sender_->Send(SXOutput->Lines(), nullptr, 0);
  }
}

void TKVXForm::SetSending(bool sending) {
  BSend->setText(sending ? "Cancel (Esc)" : "Send (F4)");
  BClear->setEnabled(!sending);
  BClearInput->setEnabled(!sending);
  if (sending)
    QApplication::setOverrideCursor(Qt::BusyCursor);
  else
    QApplication::restoreOverrideCursor();
}

void TKVXForm::HandleMidiInput() {
  receiver_->Drain([this] { return input_->ReadEvent(); });
}

TFileContext TKVXForm::FileContext() {
  TSplitOptions split;
  return TFileContext{*this, parser_, split.SplitThreshold(),
                      TFileHooks{{}, [](bool busy) {
                                   if (busy)
                                     QApplication::setOverrideCursor(Qt::WaitCursor);
                                   else
                                     QApplication::restoreOverrideCursor();
                                 }}};
}

void TKVXForm::OpenFile() {
  const QString name = QFileDialog::getOpenFileName(
      this, "Open", QString(), "SysEx files (*.syx *.txt *.mid);;All files (*)");
  if (name.isEmpty()) return;
  TFileContext ctx = FileContext();
  LoadFile(name.toStdString(), SXOutput->Lines(), ctx);
}

void TKVXForm::SaveBoxAs(bool midiOut) {
  const QString name =
      QFileDialog::getSaveFileName(this, midiOut ? "Save MIDI Out As" : "Save MIDI In As", QString(),
                                   "SysEx files (*.syx);;Text files (*.txt);;All files (*)");
  if (name.isEmpty()) return;
  TFileContext ctx = FileContext();
  SaveBox((midiOut ? SXOutput : SXInput)->Lines(), name.toStdString(), midiOut, ctx);
}

void TKVXForm::LogLine(const std::string& text, bool midiOutSide, bool repaintNow, TLogKind kind) {
  const std::string line = LogText(text, kind);
  (midiOutSide ? statusOut_ : statusIn_)->setText(Q(line));
  if (kind != lkStatusOnly && !line.empty()) {
    TZelkMemo* pane = midiOutSide ? LogOut : LogIn;
    pane->Lines().Add(line);
    pane->ScrollToEnd();
    if (repaintNow) pane->viewport()->repaint();
  }
  if (repaintNow) statusBar()->repaint();
  if (kind == lkErrorDialog) {
    if (ShowErrorDialog)
      ShowErrorDialog(Q(text));
    else
      QMessageBox::critical(this, windowTitle(), Q(text));
  }
}

void TKVXForm::ScrollInToEndLater() { SXInput->ScrollToEndLater(); }
void TKVXForm::ScrollInToEnd() { SXInput->ScrollToEnd(); }

void TKVXForm::ShowBulkPanel(const std::string& bytesText, const std::string& speedText) {
  if (PRcvBulkDump->isHidden()) {
    const QRect box(SXInput->mapTo(centralWidget(), QPoint(0, 0)), SXInput->size());
    PRcvBulkDump->move(box.center().x() - PRcvBulkDump->width() / 2,
                       std::max(0, box.center().y() - PRcvBulkDump->height() / 2));
    PRcvBulkDump->raise();
    PRcvBulkDump->show();
  }
  LSysExRcvd->setText(Q(bytesText));
  LReceivedSpeed->setText(Q(speedText));
}

void TKVXForm::HideBulkPanel() { PRcvBulkDump->hide(); }
bool TKVXForm::BulkPanelVisible() const { return !PRcvBulkDump->isHidden(); }

void TKVXForm::SetBulkTimer(bool on) {
  if (!on)
    bulkTimer_->stop();
  else if (!bulkTimer_->isActive())
    bulkTimer_->start();
}

void TKVXForm::SendShort(uint8_t status, uint8_t data1, uint8_t data2) {
  if (output_->IsOpen()) output_->SendShort(status, data1, data2);
}

void TKVXForm::SendLong(const uint8_t* data, int length) {
  if (output_->IsOpen()) output_->SendLong(data, length);
}

}  // namespace kalvex
