#pragma once
#include <QAbstractScrollArea>
#include <QElapsedTimer>
#include <QColor>
#include <QFont>
#include <QPointer>
#include <QRawFont>
#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "editor/core/bm_custom_memo.h"
#include "editor/core/bm_gutter.h"

class QListWidget;
class QTimer;

namespace kalvex {

class TZelkMemo;

// Colours of text, selection, right edge and links.
class TBMEnvironment {
public:
  explicit TBMEnvironment(TZelkMemo* owner);
  QColor TextColor() const { return text_; }
  QColor TextBackground() const { return text_bg_; }
  QColor SelectionColor() const { return sel_; }
  QColor SelectionBackground() const { return sel_bg_; }
  QColor RightEdgeColor() const { return right_edge_; }
  QColor Hyperlink() const { return link_; }
  QColor HyperlinkBackground() const { return link_bg_; }
  void SetTextColor(QColor c) { Set(text_, c); }
  void SetTextBackground(QColor c) { Set(text_bg_, c); }
  void SetSelectionColor(QColor c) { Set(sel_, c); }
  void SetSelectionBackground(QColor c) { Set(sel_bg_, c); }
  void SetRightEdgeColor(QColor c) { Set(right_edge_, c); }
  void SetHyperlink(QColor c) { Set(link_, c); }
  void SetHyperlinkBackground(QColor c) { Set(link_bg_, c); }
  void Assign(const TBMEnvironment& other);

private:
  void Set(QColor& field, QColor value);
  TZelkMemo* owner_;
  QColor text_, text_bg_, sel_, sel_bg_, right_edge_, link_, link_bg_;
};

enum TBMAlignment { taLeftJustify, taRightJustify, taCenter };

// The line-number gutter at the left edge.
class TBMGutterOptions {
public:
  explicit TBMGutterOptions(TZelkMemo* owner);
  bool Visible() const { return visible_; }
  int Width() const { return width_; }
  QColor Color() const { return color_; }
  QColor FontColor() const { return font_color_; }
  bool ShowLineNum() const { return show_line_num_; }
  int Space() const { return space_; }
  int LedingDigits() const { return leading_digits_; }
  bool ZeroStart() const { return zero_start_; }
  TBMAlignment Alignment() const { return alignment_; }
  bool Bevel() const { return bevel_; }
  void SetVisible(bool v);
  void SetWidth(int w);
  void SetColor(QColor c);
  void SetFontColor(QColor c);
  void SetShowLineNum(bool v);
  void SetSpace(int v);
  void SetLedingDigits(int v);
  void SetZeroStart(bool v);
  void SetAlignment(TBMAlignment a);
  void SetBevel(bool v);

private:
  void Changed(bool metrics);
  TZelkMemo* owner_;
  bool visible_ = true;
  int width_ = kGutterDefaultWidth;
  QColor color_, font_color_;
  bool show_line_num_ = false;
  int space_ = 2;
  int leading_digits_ = 0;
  bool zero_start_ = false;
  TBMAlignment alignment_ = taLeftJustify;
  bool bevel_ = true;
};

// The boxes hold bytes, one per cell. Text comes in and goes out as Latin-1,
// the same mapping both ways; a character that does not fit becomes "?".
std::string BoxBytesFromText(const QString& text);
QString TextFromBoxBytes(std::string_view bytes);
// The same with every CR LF turned into LF (the clipboard's line breaks).
QString LfTextFromBoxBytes(std::string_view bytes);

enum TBMScrolls { sbNone, sbBoth, sbHorizontal, sbVertical };
enum TBMBorderStyle { bsNone, bsSingle };

// The program's multi-line text control: a fixed-pitch grid painted by the
// control itself over the plain logic of TBMCustomMemo. Lines are byte
// strings; each byte is one cell (bytes below 32 show as ".", others as the
// Latin-1 character), so any data shows byte by byte.
class TZelkMemo : public QAbstractScrollArea, public TBMCustomMemo {
  Q_OBJECT
public:
  static constexpr int kCaretBlinkMs = 400;
  static constexpr int kAutoScrollMs = 100;
  static constexpr int kScrollToEndDelayMs = 30;
  static constexpr int kCaretWidth = 2;

  explicit TZelkMemo(QWidget* parent = nullptr);
  ~TZelkMemo() override;

  // Display properties.
  TBMEnvironment& EnvironmentOptions() { return env_; }
  TBMGutterOptions& GutterOptions() { return gutter_; }
  bool RightEdge() const { return right_edge_; }
  void SetRightEdge(bool v);
  int RightEdgeCol() const { return right_edge_col_; }
  void SetRightEdgeCol(int v);
  TBMScrolls Scrollbars() const { return scrollbars_; }
  void SetScrollbars(TBMScrolls v);
  bool Tracking() const { return tracking_; }
  void SetTracking(bool v);
  bool FullRedraw = false;
  TBMBorderStyle BorderStyle() const { return border_style_; }
  void SetBorderStyle(TBMBorderStyle v);
  QColor Color() const { return color_; }
  void SetColor(QColor c);
  // Sets the font with fixed pitch forced.
  void SetFont(const QFont& font);

  // Scroll the view to the end now, or once 30 ms after the last request.
  using TBMCustomMemo::ScrollToEnd;
  void ScrollToEndLater();

  // Fired after the editor acted on a key (OnKeyPress, before a character is
  // typed, is the logic's).
  std::function<void(int key, TBMShift shift)> OnKeyDown;

  // For tests and the benchmark: the caret is drawn now; paint one frame.
  bool CaretShown() const { return caret_shown_; }
  bool BlinkTimerActive() const;
  bool AutoScrollTimerActive() const;
  QListWidget* DropList() const { return drop_list_; }
  void PaintFrameForTest();

  // Font fallback used when "Courier New" is missing.
  static QFont DefaultFont();
  // The fixed-pitch font families this machine has, sorted, each once.
  static QStringList FixedPitchFamilies();

  // Where an input method shows its candidates: at the caret.
  QVariant inputMethodQuery(Qt::InputMethodQuery query) const override;

protected:
  // TBMCustomMemo hooks.
  void InvalidateAll() override;
  void RepaintLines(int first, int last) override;
  void ViewScrolled(int dLines, int dCols) override;
  void ScrollBarsChanged() override;
  void ShowCaretHold() override;
  void CaretMoved() override;
  void CaretReadOnlyChanged() override;
  void StoreChanged() override;
  std::string ClipboardText() override;
  void SetClipboardText(const std::string& text) override;
  void DragCursorChanged() override;
  bool ShowDropList(int left, int top, int width, int height) override;
  bool DropListVisible() const override;
  void HideDropList() override;
  bool HasFocus() const override { return hasFocus(); }
  void TakeFocus() override { setFocus(Qt::MouseFocusReason); }

  // Qt events.
  bool event(QEvent* e) override;
  bool eventFilter(QObject* watched, QEvent* e) override;
  void paintEvent(QPaintEvent* e) override;
  void resizeEvent(QResizeEvent* e) override;
  void changeEvent(QEvent* e) override;
  void keyPressEvent(QKeyEvent* e) override;
  void keyReleaseEvent(QKeyEvent* e) override;
  void mousePressEvent(QMouseEvent* e) override;
  void mouseMoveEvent(QMouseEvent* e) override;
  void mouseReleaseEvent(QMouseEvent* e) override;
  void mouseDoubleClickEvent(QMouseEvent* e) override;
  void wheelEvent(QWheelEvent* e) override;
  void focusInEvent(QFocusEvent* e) override;
  void focusOutEvent(QFocusEvent* e) override;
  void showEvent(QShowEvent* e) override;
  void inputMethodEvent(QInputMethodEvent* e) override;
  void scrollContentsBy(int dx, int dy) override;

private:
  friend class TBMEnvironment;
  friend class TBMGutterOptions;
  void UpdateMetrics();
  void UpdateScrollBars();
  // After a change of font, screen or gutter: metrics, bars, one repaint.
  void RefreshMetrics();
  void UpdateCellGlyphs(const QFont& f, const QFontMetricsF& fm);
  void UpdateCursorShape(int x);
  void PaintLine(QPainter& p, int line, int x, int y, int baseline);
  void DrawCells(QPainter& p, const std::string& cells, int from, int to, int x, int baseline, const QColor& color);
  void TypeText(const QString& text);
  void PaintGutter(QPainter& p, int rows);
  void PaintCaret(QPainter& p);
  void BlinkTick();
  void ScrollToEndTick();
  void HideCaret();
  QRect LineRect(int line) const;
  QRect CaretRect() const;
  void ChooseDropListEntry();
  void SetMouseCursor(const QCursor& c);
  void ShowWaitCursorWhileChanging();

  TBMEnvironment env_;
  TBMGutterOptions gutter_;
  bool right_edge_ = false;
  int right_edge_col_ = 80;
  TBMScrolls scrollbars_ = sbNone;
  bool want_vert_ = true, want_horz_ = true;
  bool tracking_ = true;
  TBMBorderStyle border_style_ = bsSingle;
  QColor color_;

  bool caret_shown_ = false;
  bool caret_hold_ = false;
  bool syncing_bars_ = false;
  bool wait_cursor_ = false;
  bool repaint_after_change_ = false;
  QRect caret_painted_;  // where the caret bar is on screen now, if anywhere
  QPoint last_mouse_;
  // Where and when the last double click was: a press soon after, close by,
  // is a triple click.
  QPoint double_click_pos_;
  QElapsedTimer double_click_time_;
  bool screen_hooked_ = false;

  // Every character is drawn in its own cell: the font's glyph of each byte
  // and its offset inside the cell, built when the font or screen changes.
  QRawFont raw_font_;
  QString glyph_key_;
  std::array<quint32, 256> glyphs_{};
  std::array<qreal, 256> glyph_offsets_{};
  int baseline_offset_ = 0;
  std::vector<quint32> run_glyphs_;
  std::vector<QPointF> run_positions_;

  QTimer* blink_timer_;
  QTimer* autoscroll_timer_;
  QTimer* scroll_end_timer_;
  QListWidget* drop_list_;
};

// Maps Qt keys and modifiers onto the editor's.
int BMKeyFromQt(int qtKey);
TBMShift BMShiftFromQt(Qt::KeyboardModifiers m);

}  // namespace kalvex
