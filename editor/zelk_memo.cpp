#include "editor/zelk_memo.h"

#include <QApplication>
#include <QClipboard>
#include <QFocusEvent>
#include <QFontDatabase>
#include <QGlyphRun>
#include <QGuiApplication>
#include <QHash>
#include <QInputMethodEvent>
#include <QKeyEvent>
#include <QListWidget>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QScrollBar>
#include <QStyleHints>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <cstring>

#include "editor/core/bm_text_geometry.h"

namespace kalvex {

namespace {

constexpr const char* kPreferredFontFamily = "Courier New";
constexpr int kPreferredFontPointSize = 10;
constexpr const char* kGutterFontFamily = "MS Sans Serif";
constexpr int kGutterFontPointSize = 8;
constexpr int kCursorSize = 32;

// The three cursors of the control (move a selection, copy it, select
// lines), drawn in code at the pixel ratio of the screen they show on.
enum TCursorKind { kSelDrag, kSelDragCopy, kLineSel };

QCursor DrawCursor(TCursorKind kind, qreal dpr) {
  QPixmap pm(QSize(kCursorSize, kCursorSize) * dpr);
  pm.setDevicePixelRatio(dpr);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing, false);
  QPolygon arrow({{0, 0}, {0, 16}, {4, 12}, {7, 19}, {9, 18}, {6, 11}, {11, 11}});
  if (kind == kLineSel) {  // points up and to the right, at the line
    for (auto& pt : arrow) pt.setX(kCursorSize - 1 - pt.x() - 16);
  }
  p.setPen(Qt::white);
  p.setBrush(Qt::black);
  p.drawPolygon(arrow);
  if (kind == kLineSel) return QCursor(pm, 15, 0);
  p.setPen(Qt::black);
  p.setBrush(Qt::white);
  p.drawRect(12, 18, 10, 7);  // the text being carried
  if (kind == kSelDragCopy) {
    p.drawRect(20, 22, 9, 9);
    p.drawLine(22, 26, 26, 26);  // the plus of a copy
    p.drawLine(24, 24, 24, 28);
  }
  return QCursor(pm, 0, 0);
}

const QCursor& ControlCursor(TCursorKind kind, qreal dpr) {
  static QHash<int, QCursor> cursors;  // by kind and pixel ratio in hundredths
  const int key = int(kind) + 4 * qRound(dpr * 100);
  auto it = cursors.find(key);
  if (it == cursors.end()) it = cursors.insert(key, DrawCursor(kind, dpr));
  return *it;
}

// The last C0 and the C1 control bytes show as "." like those below 32.
bool ShownAsDot(int byte) { return byte == 0x7F || (byte >= 0x80 && byte < 0xA0); }

// Draws drop-list items: the second field, then the shown text in bold in a
// second column.
class TDropListDelegate : public QStyledItemDelegate {
public:
  TDropListDelegate(TZelkMemo* memo, QObject* parent) : QStyledItemDelegate(parent), memo_(memo) {}
  void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
    const bool selected = option.state & QStyle::State_Selected;
    const QPalette& pal = option.palette;
    p->save();
    p->fillRect(option.rect, selected ? pal.color(QPalette::Highlight) : pal.color(QPalette::Base));
    p->setPen(selected ? pal.color(QPalette::HighlightedText) : pal.color(QPalette::Text));
    QFont f(kGutterFontFamily, kGutterFontPointSize);
    p->setFont(f);
    const std::string item = BoxBytesFromText(index.data(Qt::UserRole).toString());
    const TBMDropListFields fields = SplitDropListItem(item);
    const int flags = Qt::AlignVCenter | Qt::AlignLeft | Qt::TextSingleLine;
    if (!fields.hasSeparator) {
      p->drawText(option.rect, flags, " " + TextFromBoxBytes(item));
    } else {
      // The second field stops where the shown text begins, so a long one
      // cannot run underneath it.
      const int column = memo_->CharWidth() * (memo_->DropListColumnCharWidth + 1);
      QRect first = option.rect;
      first.setRight(std::min(first.right(), column - 1));
      p->drawText(first, flags, " " + TextFromBoxBytes(fields.second));
      QRect r = option.rect;
      r.setLeft(column);
      f.setBold(true);
      p->setFont(f);
      p->drawText(r, flags, "  " + TextFromBoxBytes(fields.shown));
    }
    p->restore();
  }

private:
  TZelkMemo* memo_;
};

}  // namespace

std::string BoxBytesFromText(const QString& text) {
  std::string bytes;
  bytes.reserve(static_cast<size_t>(text.size()));
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text.at(i);
    if (c.unicode() <= 0xFF) {
      bytes += static_cast<char>(c.unicode());
    } else {
      bytes += '?';
      if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) ++i;  // one character
    }
  }
  return bytes;
}

QString TextFromBoxBytes(std::string_view bytes) {
  return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
}

// One pass over the bytes into one string: a replace on the QString would
// move the rest of the text after each batch of breaks.
QString LfTextFromBoxBytes(std::string_view bytes) {
  QString s(qsizetype(bytes.size()), Qt::Uninitialized);
  char16_t* const begin = reinterpret_cast<char16_t*>(s.data());
  char16_t* out = begin;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned char* const end = p + bytes.size();
  while (p < end) {
    const void* cr = std::memchr(p, '\r', size_t(end - p));
    const unsigned char* stop = cr ? static_cast<const unsigned char*>(cr) : end;
    out = std::copy(p, stop, out);
    p = stop;
    if (p == end) break;
    if (p + 1 == end || p[1] != '\n') *out++ = u'\r';  // a lone CR stays
    ++p;
  }
  s.truncate(qsizetype(out - begin));
  return s;
}

// ---------------------------------------------------------------- option objects

TBMEnvironment::TBMEnvironment(TZelkMemo* owner) : owner_(owner) {
  const QPalette pal = QApplication::palette();
  text_ = pal.color(QPalette::Text);
  text_bg_ = pal.color(QPalette::Base);
  sel_ = Qt::yellow;
  sel_bg_ = Qt::blue;
  right_edge_ = Qt::gray;
  link_ = Qt::blue;
  link_bg_ = pal.color(QPalette::Base);
}

void TBMEnvironment::Set(QColor& field, QColor value) {
  if (field == value) return;
  field = value;
  owner_->viewport()->update();
}

void TBMEnvironment::Assign(const TBMEnvironment& o) {
  text_ = o.text_;
  text_bg_ = o.text_bg_;
  sel_ = o.sel_;
  sel_bg_ = o.sel_bg_;
  right_edge_ = o.right_edge_;
  link_ = o.link_;
  link_bg_ = o.link_bg_;
  owner_->viewport()->update();
}

TBMGutterOptions::TBMGutterOptions(TZelkMemo* owner) : owner_(owner) {
  const QPalette pal = QApplication::palette();
  color_ = pal.color(QPalette::Button);
  font_color_ = pal.color(QPalette::ButtonText);
}

void TBMGutterOptions::Changed(bool metrics) {
  if (metrics) owner_->UpdateMetrics();
  owner_->viewport()->update();
}

void TBMGutterOptions::SetVisible(bool v) {
  visible_ = v;
  Changed(true);
}
void TBMGutterOptions::SetWidth(int w) {
  width_ = ClampGutterWidth(w);
  space_ = ClampGutterSpace(space_, width_);
  Changed(true);
}
void TBMGutterOptions::SetColor(QColor c) {
  if (c == color_) return;
  color_ = c;
  Changed(false);
}
void TBMGutterOptions::SetFontColor(QColor c) {
  font_color_ = c;
  Changed(false);
}
void TBMGutterOptions::SetShowLineNum(bool v) {
  if (v == show_line_num_) return;
  show_line_num_ = v;
  Changed(false);
}
void TBMGutterOptions::SetSpace(int v) {
  v = ClampGutterSpace(v, width_);
  if (v == space_) return;
  space_ = v;
  Changed(false);
}
void TBMGutterOptions::SetLedingDigits(int v) {
  v = ClampLeadingDigits(v);
  if (v == leading_digits_) return;
  leading_digits_ = v;
  Changed(false);
}
void TBMGutterOptions::SetZeroStart(bool v) {
  if (v == zero_start_) return;
  zero_start_ = v;
  Changed(false);
}
void TBMGutterOptions::SetAlignment(TBMAlignment a) {
  if (a == alignment_) return;
  alignment_ = a;
  Changed(false);
}
void TBMGutterOptions::SetBevel(bool v) {
  if (v == bevel_) return;
  bevel_ = v;
  Changed(false);
}

// ---------------------------------------------------------------- key mapping

int BMKeyFromQt(int k) {
  switch (k) {
    case Qt::Key_Left: return vkLeft;
    case Qt::Key_Right: return vkRight;
    case Qt::Key_Up: return vkUp;
    case Qt::Key_Down: return vkDown;
    case Qt::Key_PageUp: return vkPageUp;
    case Qt::Key_PageDown: return vkPageDown;
    case Qt::Key_Home: return vkHome;
    case Qt::Key_End: return vkEnd;
    case Qt::Key_Insert: return vkInsert;
    case Qt::Key_Delete: return vkDelete;
    case Qt::Key_Backspace: return vkBack;
    case Qt::Key_Return:
    case Qt::Key_Enter: return vkReturn;
    case Qt::Key_Escape: return vkEscape;
    case Qt::Key_Tab:
    case Qt::Key_Backtab: return vkTab;
    case Qt::Key_Control: return vkControl;
    default: break;
  }
  if (k >= Qt::Key_A && k <= Qt::Key_Z) return 'A' + (k - Qt::Key_A);
  return vkOther;
}

TBMShift BMShiftFromQt(Qt::KeyboardModifiers m) {
  unsigned s = ssNone;
  if (m & Qt::ShiftModifier) s |= ssShift;
  if (m & Qt::ControlModifier) s |= ssCtrl;
  if (m & Qt::AltModifier) s |= ssAlt;
  return TBMShift(s);
}

// ---------------------------------------------------------------- construction

QFont TZelkMemo::DefaultFont() {
  static const QFont font = [] {
    if (QFontDatabase::families().contains(kPreferredFontFamily))
      return QFont(kPreferredFontFamily, kPreferredFontPointSize);
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    f.setPointSize(kPreferredFontPointSize);
    return f;
  }();
  return font;
}

QStringList TZelkMemo::FixedPitchFamilies() {
  QStringList families;
  for (const QString& f : QFontDatabase::families())
    if (QFontDatabase::isFixedPitch(f)) families << f;
  families.sort(Qt::CaseInsensitive);
  families.removeDuplicates();
  return families;
}

TZelkMemo::TZelkMemo(QWidget* parent)
    : QAbstractScrollArea(parent),
      env_(this),
      gutter_(this),
      blink_timer_(new QTimer(this)),
      autoscroll_timer_(new QTimer(this)),
      scroll_end_timer_(new QTimer(this)),
      drop_list_(new QListWidget(viewport())) {
  color_ = QApplication::palette().color(QPalette::Base);
  SetFont(DefaultFont());
  setAttribute(Qt::WA_InputMethodEnabled);
  viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
  viewport()->setAutoFillBackground(false);
  viewport()->setCursor(Qt::IBeamCursor);
  viewport()->setMouseTracking(true);
  setFocusPolicy(Qt::StrongFocus);
  setFrameStyle(QFrame::StyledPanel | QFrame::Sunken);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  resize(320, 240);

  blink_timer_->setInterval(kCaretBlinkMs);
  connect(blink_timer_, &QTimer::timeout, this, [this] { BlinkTick(); });
  autoscroll_timer_->setInterval(kAutoScrollMs);
  connect(autoscroll_timer_, &QTimer::timeout, this, [this] {
    // Only while the button that started the drag is still held.
    if (!(QGuiApplication::mouseButtons() & Qt::LeftButton)) {
      autoscroll_timer_->stop();
      MouseCaptureLost();
      return;
    }
    AutoScrollTick(last_mouse_.x(), last_mouse_.y(), BMShiftFromQt(QGuiApplication::keyboardModifiers()));
  });
  scroll_end_timer_->setInterval(kScrollToEndDelayMs);
  connect(scroll_end_timer_, &QTimer::timeout, this, [this] { ScrollToEndTick(); });

  drop_list_->hide();
  drop_list_->setFrameStyle(QFrame::Box | QFrame::Plain);
  drop_list_->setSortingEnabled(true);
  drop_list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  drop_list_->setItemDelegate(new TDropListDelegate(this, drop_list_));
  drop_list_->installEventFilter(this);

  RefreshMetrics();
}

TZelkMemo::~TZelkMemo() {
  // The logic base goes before the Qt base: nothing may call into it later.
  drop_list_->removeEventFilter(this);
  blink_timer_->stop();
  autoscroll_timer_->stop();
  scroll_end_timer_->stop();
}

// ---------------------------------------------------------------- properties

// The refresh runs from the font change event that setFont sends.
void TZelkMemo::SetFont(const QFont& font) {
  QFont f(font);
  f.setFixedPitch(true);
  f.setStyleHint(QFont::TypeWriter);
  f.setKerning(false);
  setFont(f);
}

void TZelkMemo::SetColor(QColor c) {
  color_ = c;
  viewport()->update();
}

void TZelkMemo::SetRightEdge(bool v) {
  right_edge_ = v;
  viewport()->update();
}

void TZelkMemo::SetRightEdgeCol(int v) {
  right_edge_col_ = ClampRightEdgeCol(v);
  viewport()->update();
}

void TZelkMemo::SetScrollbars(TBMScrolls v) {
  if (v == scrollbars_) return;
  scrollbars_ = v;
  want_vert_ = v == sbBoth || v == sbVertical;
  want_horz_ = v == sbBoth || v == sbHorizontal;
  setVerticalScrollBarPolicy(want_vert_ ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
  setHorizontalScrollBarPolicy(want_horz_ ? Qt::ScrollBarAlwaysOn : Qt::ScrollBarAlwaysOff);
}

void TZelkMemo::SetTracking(bool v) {
  tracking_ = v;
  verticalScrollBar()->setTracking(v);
  horizontalScrollBar()->setTracking(v);
}

void TZelkMemo::SetBorderStyle(TBMBorderStyle v) {
  border_style_ = v;
  setFrameStyle(v == bsSingle ? (QFrame::StyledPanel | QFrame::Sunken) : QFrame::NoFrame);
}

bool TZelkMemo::BlinkTimerActive() const { return blink_timer_->isActive(); }
bool TZelkMemo::AutoScrollTimerActive() const { return autoscroll_timer_->isActive(); }

// ---------------------------------------------------------------- metrics and bars

void TZelkMemo::UpdateMetrics() {
  if (LinesChanging()) return;
  // Metrics of the screen the control is on.
  const QFont f(font(), viewport());
  const QFontMetrics fm(f, viewport());
  SetMetrics(fm.horizontalAdvance(QLatin1Char('W')), fm.height(), viewport()->width(),
             viewport()->height(), gutter_.Visible() ? gutter_.Width() : 0);
  UpdateCellGlyphs(f, QFontMetricsF(f, viewport()));
  // Keep the view inside the text after a resize.
  SetTopLine(TopLine());
  SetLeftCol(LeftCol());
}

void TZelkMemo::RefreshMetrics() {
  UpdateMetrics();
  UpdateScrollBars();
  viewport()->update();
}

// Glyph and offset per byte, so a row is drawn cell by cell in one glyph run:
// the text then sits on the grid that the caret, the selection and the mouse
// use, whatever the font's own (fractional) advance is.
void TZelkMemo::UpdateCellGlyphs(const QFont& f, const QFontMetricsF& fm) {
  const QString key = f.key() + QString::number(viewport()->logicalDpiY());
  if (key == glyph_key_ && raw_font_.isValid()) return;
  glyph_key_ = key;
  raw_font_ = QRawFont::fromFont(f);
  baseline_offset_ = (LineHeight() - qRound(fm.height())) / 2 + qRound(fm.ascent());
  glyphs_.fill(0);
  glyph_offsets_.fill(0);
  if (!raw_font_.isValid()) return;
  for (int b = 32; b < 256; ++b) {
    const QChar c(ShownAsDot(b) ? '.' : b);
    const QList<quint32> index = raw_font_.glyphIndexesForString(QString(c));
    if (index.size() != 1 || index[0] == 0) continue;  // not in this font: drawn with a fallback
    glyphs_[size_t(b)] = index[0];
    // Centred in the cell, on a whole pixel so it stays sharp.
    glyph_offsets_[size_t(b)] = qRound((CharWidth() - fm.horizontalAdvance(c)) / 2.0);
  }
}

void TZelkMemo::UpdateScrollBars() {
  if (LinesChanging()) return;
  syncing_bars_ = true;
  QScrollBar* v = verticalScrollBar();
  v->setRange(0, MaxTopLine());
  v->setPageStep(std::max(1, VisibleLines()));
  v->setSingleStep(1);
  v->setValue(TopLine());
  v->setEnabled(MaxTopLine() > 0);
  QScrollBar* h = horizontalScrollBar();
  h->setRange(0, MaxLeftCol());
  h->setPageStep(std::max(1, VisibleCols()));
  h->setSingleStep(1);
  h->setValue(LeftCol());
  h->setEnabled(MaxLeftCol() > 0);
  syncing_bars_ = false;
}

void TZelkMemo::scrollContentsBy(int, int) {
  if (syncing_bars_) return;
  if (DropListVisible()) HideDropList();
  ResetDropListIdle();
  SetTopLine(verticalScrollBar()->value());
  SetLeftCol(horizontalScrollBar()->value());
}

// ---------------------------------------------------------------- hooks

void TZelkMemo::InvalidateAll() {
  if (LinesChanging())
    repaint_after_change_ = true;
  else
    viewport()->update();
}

QRect TZelkMemo::LineRect(int line) const {
  return QRect(0, (line - TopLine()) * LineHeight(), viewport()->width(), LineHeight());
}

void TZelkMemo::RepaintLines(int first, int last) {
  if (LinesChanging()) {
    repaint_after_change_ = true;
    return;
  }
  first = std::max(first, TopLine());
  last = std::min(last, TopLine() + VisibleLines() + 1);
  if (first > last) return;
  viewport()->update(LineRect(first).united(LineRect(last)));
}

void TZelkMemo::ViewScrolled(int dLines, int dCols) {
  if (!syncing_bars_) {
    syncing_bars_ = true;
    verticalScrollBar()->setValue(TopLine());
    horizontalScrollBar()->setValue(LeftCol());
    syncing_bars_ = false;
  }
  if (FullRedraw || dCols != 0 || std::abs(dLines) > VisibleLines()) {
    viewport()->update();
  } else if (dLines != 0) {
    // Small scrolls shift what is on screen and paint only the uncovered rows.
    viewport()->scroll(0, -dLines * LineHeight(), viewport()->rect());
    caret_painted_.translate(0, -dLines * LineHeight());
  }
}

void TZelkMemo::ScrollBarsChanged() { UpdateScrollBars(); }

QRect TZelkMemo::CaretRect() const {
  const int x = GutterWidth() + (DisplayCol(CaretLine(), CaretCol()) - LeftCol()) * CharWidth();
  const int y = (CaretLine() - TopLine()) * LineHeight();
  return QRect(x, y, kCaretWidth, LineHeight());
}

void TZelkMemo::ShowCaretHold() {
  caret_hold_ = true;
  caret_shown_ = hasFocus() && !ReadOnly();
  if (!LinesChanging()) viewport()->update(CaretRect());
}

// The bar drawn at the old place goes, wherever the caret moved from (also
// when the move happened inside an update, where line repaints are skipped).
void TZelkMemo::CaretMoved() {
  if (!caret_painted_.isEmpty()) viewport()->update(caret_painted_);
}

void TZelkMemo::HideCaret() {
  caret_shown_ = false;
  viewport()->update(LineRect(CaretLine()));
}

void TZelkMemo::CaretReadOnlyChanged() {
  if (ReadOnly()) {
    blink_timer_->stop();
    HideCaret();
  } else if (hasFocus()) {
    blink_timer_->start();
    ShowCaretHold();
  }
}

void TZelkMemo::BlinkTick() {
  DropListIdleTick();
  if (caret_hold_) {
    caret_hold_ = false;
    return;
  }
  caret_shown_ = !caret_shown_;
  viewport()->update(CaretRect());
}

// Every edit runs in an update of its own, so the hourglass is put up only
// when the window gets to handle events while an update is open (a bulk
// append that processes events): no cursor change per keystroke.
void TZelkMemo::ShowWaitCursorWhileChanging() {
  if (!LinesChanging() || wait_cursor_) return;
  wait_cursor_ = true;
  viewport()->setCursor(Qt::WaitCursor);
}

void TZelkMemo::StoreChanged() {
  if (wait_cursor_) {
    wait_cursor_ = false;
    SetMouseCursor(Qt::IBeamCursor);
  }
  if (scroll_to_end_pending_) return;
  UpdateMetrics();
  WidenHorzRangeToCaretLine();
  UpdateScrollBars();
  if (repaint_after_change_) {
    repaint_after_change_ = false;
    viewport()->update();
  }
}

void TZelkMemo::SetMouseCursor(const QCursor& c) {
  if (DraggingSelection()) return;
  viewport()->setCursor(c);
}

std::string TZelkMemo::ClipboardText() { return BoxBytesFromText(QGuiApplication::clipboard()->text()); }

// Lines are joined by CR LF inside the control; the clipboard gets the
// platform's line breaks.
void TZelkMemo::SetClipboardText(const std::string& text) {
#ifdef Q_OS_WIN
  QGuiApplication::clipboard()->setText(TextFromBoxBytes(text));
#else
  QGuiApplication::clipboard()->setText(LfTextFromBoxBytes(text));
#endif
}

void TZelkMemo::DragCursorChanged() {
  if (DraggingSelection()) {
    const bool copy = QGuiApplication::keyboardModifiers() & Qt::ControlModifier;
    viewport()->setCursor(ControlCursor(copy ? kSelDragCopy : kSelDrag, devicePixelRatioF()));
  } else {
    viewport()->setCursor(Qt::IBeamCursor);
  }
}

void TZelkMemo::UpdateCursorShape(int x) {
  if (DraggingSelection() || wait_cursor_) return;
  const int gw = GutterWidth();
  if (gw > 0 && x <= gw) {
    if (x > gw * 2 / 3 && x < gw - 1)
      viewport()->setCursor(ControlCursor(kLineSel, devicePixelRatioF()));
    else
      viewport()->setCursor(Qt::ArrowCursor);
  } else {
    viewport()->setCursor(Qt::IBeamCursor);
  }
}

// ---------------------------------------------------------------- scroll to end

void TZelkMemo::ScrollToEndLater() {
  if (scroll_to_end_pending_) return;
  scroll_to_end_pending_ = true;
  if (!scroll_end_timer_->isActive()) scroll_end_timer_->start();
}

void TZelkMemo::ScrollToEndTick() {
  if (!scroll_to_end_pending_) {
    scroll_end_timer_->stop();
    return;
  }
  scroll_to_end_pending_ = false;
  repaint_after_change_ = false;
  UpdateMetrics();
  WidenHorzRangeToCaretLine();
  UpdateScrollBars();
  ScrollToEnd();
  viewport()->update();
}

// ---------------------------------------------------------------- painting

void TZelkMemo::PaintFrameForTest() { viewport()->repaint(); }

// Draws cells from..to of a row's display string, each character in its
// own cell: one glyph run for the font's glyphs, a fallback font for bytes
// this font has no glyph for.
void TZelkMemo::DrawCells(QPainter& p, const std::string& cells, int from, int to, int x, int baseline,
                          const QColor& color) {
  const int cw = CharWidth();
  p.setPen(color);
  run_glyphs_.clear();
  run_positions_.clear();
  for (int i = from; i < to; ++i) {
    const auto b = static_cast<unsigned char>(cells[static_cast<size_t>(i)]);
    if (b == ' ') continue;
    const int cellX = x + i * cw;
    if (glyphs_[b] == 0) {
      p.drawText(QPointF(cellX, baseline), QString(QChar(ShownAsDot(b) ? '.' : b)));
      continue;
    }
    run_glyphs_.push_back(glyphs_[b]);
    run_positions_.emplace_back(cellX + glyph_offsets_[b], baseline);
  }
  if (run_glyphs_.empty()) return;
  QGlyphRun run;
  run.setRawFont(raw_font_);
  run.setRawData(run_glyphs_.data(), run_positions_.data(), int(run_glyphs_.size()));
  p.drawGlyphRun(QPointF(0, 0), run);
}

void TZelkMemo::PaintLine(QPainter& p, int line, int x, int y, int baseline) {
  const int cw = CharWidth(), lh = LineHeight();
  const int width = viewport()->width();
  const int left = LeftCol();
  const std::string disp = DisplayString(Lines()[line], left, VisibleCols() + 1, TabWidth());
  const int n = static_cast<int>(disp.size());

  p.fillRect(QRect(x, y, width - x, lh), env_.TextBackground());
  int a = 0, b = 0;  // the selected cells of this row
  if (SelAvail() && line >= SelStart().line && line <= SelEnd().line) {
    a = std::max(line == SelStart().line ? DisplayCol(line, SelStart().col) - left : 0, 0);
    b = std::min(line == SelEnd().line ? DisplayCol(line, SelEnd().col) - left : n, n);
    if (b > a) p.fillRect(QRect(x + a * cw, y, (b - a) * cw, lh), env_.SelectionBackground());
    // Line ends inside the selection show selected to the right edge.
    if (line < SelEnd().line) {
      const int from = x + std::max(a, n) * cw;
      if (from < width) p.fillRect(QRect(from, y, width - from, lh), env_.SelectionBackground());
    }
  }
  if (b > a) {
    DrawCells(p, disp, 0, a, x, baseline, env_.TextColor());
    DrawCells(p, disp, a, b, x, baseline, env_.SelectionColor());
    DrawCells(p, disp, b, n, x, baseline, env_.TextColor());
  } else {
    DrawCells(p, disp, 0, n, x, baseline, env_.TextColor());
  }
  if (right_edge_) {
    const int xr = x + (right_edge_col_ - left) * cw;
    if (xr >= x) {
      p.setPen(env_.RightEdgeColor());
      p.drawLine(xr, y, xr, y + lh - 1);
    }
  }
}

void TZelkMemo::PaintGutter(QPainter& p, int rows) {
  const int gw = gutter_.Width();
  const int h = viewport()->height();
  p.fillRect(QRect(0, 0, gw, h), gutter_.Color());
  p.setPen(color_);
  p.drawLine(gw - 1, 0, gw - 1, h);
  if (gutter_.Bevel()) {
    p.setPen(palette().color(QPalette::Light));
    p.drawLine(gw - 3, 0, gw - 3, h);
    p.setPen(palette().color(QPalette::Dark));
    p.drawLine(gw - 2, 0, gw - 2, h);
  }
  if (!gutter_.ShowLineNum()) return;
  p.setFont(QFont(kGutterFontFamily, kGutterFontPointSize));
  p.setPen(gutter_.FontColor());
  const int lh = LineHeight();
  const int right = gw - gutter_.Space() - 1 - (gutter_.Bevel() ? 3 : 0);
  const int align = gutter_.Alignment() == taRightJustify ? Qt::AlignRight
                    : gutter_.Alignment() == taCenter     ? Qt::AlignHCenter
                                                          : Qt::AlignLeft;
  for (int row = 0; row <= rows; ++row) {
    const QRect r(QPoint(2, row * lh), QPoint(right - 1, (row + 1) * lh - 1));
    p.fillRect(r, gutter_.Color());
    const std::string number =
        GutterNumberText(TopLine() + 1, row, gutter_.ZeroStart(), gutter_.LedingDigits(), Lines().Count());
    if (!number.empty())
      p.drawText(r, align | Qt::AlignVCenter | Qt::TextSingleLine, QString::fromStdString(number));
  }
  p.setFont(font());
}

void TZelkMemo::PaintCaret(QPainter& p) {
  if (!caret_shown_ || ReadOnly() || Lines().Empty()) return;
  if (CaretLine() < TopLine() || CaretLine() > TopLine() + VisibleLines()) return;
  const QRect r = CaretRect();
  if (r.left() < GutterWidth() || r.left() > viewport()->width()) return;
  p.fillRect(r, env_.TextColor());
  caret_painted_ = r;
}

void TZelkMemo::paintEvent(QPaintEvent* e) {
  if (LinesChanging()) {
    repaint_after_change_ = true;  // painted in full once the update ends
    ShowWaitCursorWhileChanging();
    return;
  }
  if (gutter_.Visible() && gutter_.Width() < kGutterMinPaintWidth) gutter_.SetWidth(kGutterMinPaintWidth);
  if (VisibleLines() == 0) UpdateMetrics();
  WidenHorzRangeToCaretLine();  // a replaced text starts with the range of its caret line
  QPainter p(viewport());
  p.setFont(font());
  const QRect clip = e->rect();
  if (e->region().contains(caret_painted_)) caret_painted_ = QRect();  // painted over below
  const int lh = LineHeight();
  const int x0 = GutterWidth();
  const int rows = VisibleLines() + 1;
  const int firstRow = std::max(0, clip.top() / lh);
  const int lastRow = std::min(rows, clip.bottom() / lh);
  const int count = Lines().Count();
  for (int row = firstRow; row <= lastRow; ++row) {
    const int line = TopLine() + row;
    if (line < count)
      PaintLine(p, line, x0, row * lh, row * lh + baseline_offset_);
    else
      p.fillRect(QRect(x0, row * lh, viewport()->width() - x0, lh), env_.TextBackground());
  }
  if (gutter_.Visible()) PaintGutter(p, rows);
  PaintCaret(p);
}

void TZelkMemo::resizeEvent(QResizeEvent* e) {
  QAbstractScrollArea::resizeEvent(e);
  UpdateMetrics();
  UpdateScrollBars();
}

void TZelkMemo::changeEvent(QEvent* e) {
  QAbstractScrollArea::changeEvent(e);
  if (e->type() == QEvent::FontChange) RefreshMetrics();
}

// A window moved to another screen gets that screen's metrics and cursors.
void TZelkMemo::showEvent(QShowEvent* e) {
  QAbstractScrollArea::showEvent(e);
  QWindow* w = window()->windowHandle();
  if (w && !screen_hooked_) {
    screen_hooked_ = true;
    connect(w, &QWindow::screenChanged, this, [this] { RefreshMetrics(); });
  }
  RefreshMetrics();
}

// ---------------------------------------------------------------- keyboard

bool TZelkMemo::event(QEvent* e) {
  if (e->type() == QEvent::KeyPress) {
    auto* k = static_cast<QKeyEvent*>(e);
    const bool tab = k->key() == Qt::Key_Tab || k->key() == Qt::Key_Backtab;
    if (tab && WantTabs && !ReadOnly() && !(k->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
      keyPressEvent(k);
      return true;
    }
  } else if (e->type() == QEvent::ShortcutOverride) {
    // The editor's own keys and typed characters go to the editor before any
    // window shortcut. Esc (cancel a send) and keys that type no printable
    // character (F4: send) stay the window's, except Esc during a drag.
    auto* k = static_cast<QKeyEvent*>(e);
    const int key = BMKeyFromQt(k->key());
    const TBMShift shift = BMShiftFromQt(k->modifiers());
    const bool ctrlLetter = shift == ssCtrl && key >= 'A' && key <= 'Z' &&
                            std::string_view("ACVXYZ").find(static_cast<char>(key)) != std::string_view::npos;
    const bool editKey = key >= vkLeft && key <= vkReturn && (key != vkReturn || WantReturns);
    const QString text = k->text();
    const bool printable = !text.isEmpty() && text.at(0).unicode() >= 32 && text.at(0).unicode() != 127;
    const bool typed = !(shift & (ssCtrl | ssAlt)) && printable;
    if (ctrlLetter || editKey || typed || (key == vkEscape && DraggingSelection())) {
      e->accept();
      return true;
    }
  }
  return QAbstractScrollArea::event(e);
}

void TZelkMemo::keyPressEvent(QKeyEvent* e) {
  const int key = BMKeyFromQt(e->key());
  const TBMShift shift = BMShiftFromQt(e->modifiers());
  if (key == vkReturn && !WantReturns) {
    e->ignore();  // the window's default button takes it
    return;
  }
  KeyDown(key, shift);
  if (OnKeyDown) OnKeyDown(key, shift);
  // Character input: printable text and tabs; Enter acts on key down. Alt
  // with a key is a command (a menu's letter), never text; AltGr is not Alt.
  const bool typed = key == vkOther || key == vkTab || (key >= 'A' && key <= 'Z');
  if (typed && !(shift & (ssCtrl | ssAlt))) TypeText(e->text());
  e->accept();
}

void TZelkMemo::TypeText(const QString& text) {
  for (char c : BoxBytesFromText(text)) {
    if (c == '\t' && !WantTabs) continue;
    CharInput(c);
  }
}

// Dead keys, compose and input methods commit text as if it were typed.
void TZelkMemo::inputMethodEvent(QInputMethodEvent* e) {
  TypeText(e->commitString());
  e->accept();
}

QVariant TZelkMemo::inputMethodQuery(Qt::InputMethodQuery query) const {
  switch (query) {
    case Qt::ImEnabled: return !ReadOnly();
    case Qt::ImCursorRectangle: return QRectF(CaretRect().translated(viewport()->pos()));
    case Qt::ImFont: return font();
    case Qt::ImHints: return int(Qt::ImhNoPredictiveText);
    default: return QAbstractScrollArea::inputMethodQuery(query);
  }
}

void TZelkMemo::keyReleaseEvent(QKeyEvent* e) {
  KeyUp(BMKeyFromQt(e->key()), BMShiftFromQt(e->modifiers()));
  QAbstractScrollArea::keyReleaseEvent(e);
}

// ---------------------------------------------------------------- mouse

void TZelkMemo::mousePressEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) {
    QAbstractScrollArea::mousePressEvent(e);
    return;
  }
  last_mouse_ = e->position().toPoint();
  const bool triple = double_click_time_.isValid() &&
                      double_click_time_.elapsed() < QGuiApplication::styleHints()->mouseDoubleClickInterval() &&
                      (last_mouse_ - double_click_pos_).manhattanLength() < QGuiApplication::styleHints()->startDragDistance();
  double_click_time_.invalidate();
  if (triple)
    TripleClick(last_mouse_.x(), last_mouse_.y(), BMShiftFromQt(e->modifiers()));
  else
    MouseDown(last_mouse_.x(), last_mouse_.y(), BMShiftFromQt(e->modifiers()));
}

void TZelkMemo::mouseMoveEvent(QMouseEvent* e) {
  ShowWaitCursorWhileChanging();
  const QPoint pos = e->position().toPoint();
  UpdateCursorShape(pos.x());
  if (!(e->buttons() & Qt::LeftButton)) return;
  last_mouse_ = pos;
  MouseMove(pos.x(), pos.y(), BMShiftFromQt(e->modifiers()));
  if ((AutoScrollLineStep() != 0 || AutoScrollColStep() != 0) && !autoscroll_timer_->isActive())
    autoscroll_timer_->start();
}

void TZelkMemo::mouseReleaseEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) {
    QAbstractScrollArea::mouseReleaseEvent(e);
    return;
  }
  autoscroll_timer_->stop();
  const QPoint pos = e->position().toPoint();
  MouseUp(pos.x(), pos.y(), BMShiftFromQt(e->modifiers()));
  viewport()->setCursor(Qt::IBeamCursor);
  UpdateCursorShape(pos.x());
}

void TZelkMemo::mouseDoubleClickEvent(QMouseEvent* e) {
  if (e->button() != Qt::LeftButton) return;
  DoubleClick();
  // The press that comes with the double click (skipped after a word).
  mousePressEvent(e);
  double_click_pos_ = e->position().toPoint();
  double_click_time_.start();
}

void TZelkMemo::wheelEvent(QWheelEvent* e) {
  const QPoint d = e->angleDelta();
  if (MouseWheel(d.x(), d.y(), BMShiftFromQt(e->modifiers())))
    e->accept();
  else
    e->ignore();
}

// ---------------------------------------------------------------- focus

void TZelkMemo::focusInEvent(QFocusEvent* e) {
  QAbstractScrollArea::focusInEvent(e);
  HideCaret();
  if (!ReadOnly()) {
    blink_timer_->start();
    ShowCaretHold();
  }
}

// Losing the focus mid-drag loses the mouse too: no release will come, so
// autoscroll stops here.
void TZelkMemo::focusOutEvent(QFocusEvent* e) {
  QAbstractScrollArea::focusOutEvent(e);
  blink_timer_->stop();
  HideCaret();
  autoscroll_timer_->stop();
  MouseCaptureLost();
}

// ---------------------------------------------------------------- drop list

bool TZelkMemo::ShowDropList(int left, int top, int width, int height) {
  drop_list_->clear();
  for (const auto& item : DropListItems()) {
    auto* it = new QListWidgetItem(TextFromBoxBytes(item));
    it->setData(Qt::UserRole, it->text());
    drop_list_->addItem(it);
  }
  const int frame = 2 * drop_list_->frameWidth();
  drop_list_->setGeometry(left, top, width + frame, height + frame);
  drop_list_->setCurrentRow(0);
  drop_list_->show();
  drop_list_->raise();
  drop_list_->setFocus(Qt::OtherFocusReason);
  return true;
}

bool TZelkMemo::DropListVisible() const { return !drop_list_->isHidden(); }

void TZelkMemo::HideDropList() {
  drop_list_->hide();
  ResetDropListIdle();
}

void TZelkMemo::ChooseDropListEntry() {
  QListWidgetItem* item = drop_list_->currentItem();
  HideDropList();
  if (item) ChooseDropListItem(BoxBytesFromText(item->data(Qt::UserRole).toString()));
  setFocus(Qt::OtherFocusReason);
}

bool TZelkMemo::eventFilter(QObject* watched, QEvent* e) {
  if (watched == drop_list_) {
    if (e->type() == QEvent::KeyPress) {
      auto* k = static_cast<QKeyEvent*>(e);
      if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter) {
        ChooseDropListEntry();
        return true;
      }
      if (k->key() == Qt::Key_Escape) {
        HideDropList();
        setFocus(Qt::OtherFocusReason);
        return true;
      }
      // Other characters are typed in the editor; the list keeps the focus.
      if (!k->text().isEmpty() && !(k->modifiers() & (Qt::ControlModifier | Qt::AltModifier)))
        for (char c : BoxBytesFromText(k->text()))
          if (static_cast<unsigned char>(c) >= 32) CharInput(c);
    } else if (e->type() == QEvent::FocusOut) {
      HideDropList();
    }
  }
  return QAbstractScrollArea::eventFilter(watched, e);
}

}  // namespace kalvex
