// The Qt view of a read-only memo (the log): it paints only the rows on
// screen from the memo's own stored text, so appending and scrolling cost
// the same at any log size. It has a vertical scroll bar, mouse selection,
// Ctrl+A / Ctrl+C and a Copy / Select All menu, keyboard scrolling, and
// exposes its whole text through the accessible text interface, as a
// read-only text box does.
//
// Rows always wrap at the view's width (there is no horizontal scrolling: a
// hex log is one endless line). The view follows the end while it shows
// the end; the model's ScrollToEnd brings it there from anywhere.
#pragma once

#include <QAbstractScrollArea>
#include <QFont>
#include <QString>
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "forms/log_layout.h"
#include "forms/log_text.h"

class QMenu;
class QTextLayout;

namespace forms::qt {

// Q_OBJECT gives it a class name of its own, so accessibility finds its
// interface before the generic scroll area's.
class LogView : public QAbstractScrollArea {
  Q_OBJECT

 public:
  // `text` must outlive the view.
  explicit LogView(const LogText &text, QWidget *parent = nullptr);
  ~LogView() override;

  // The text grew at its end.
  void TextAppended();
  // The text changed otherwise (replaced, cleared): everything is laid out
  // again and the selection goes.
  void TextReset();
  // Shows the last row.
  void ScrollToEnd();
  bool AtEnd() const;

  const LogLayout &Layout() const { return layout_; }
  // The shown text (line breaks as '\n'), whole or from `from` to `to`.
  QString Text() const;
  QString TextRange(std::uint64_t from, std::uint64_t to) const;
  std::uint64_t CharacterCount() const { return layout_.CharCount(); }

  // Selection and caret in character positions; the caret is the moving end.
  void Select(std::uint64_t anchor, std::uint64_t caret);
  void SelectAll();
  void ClearSelection();
  bool HasSelection() const { return anchor_ != caret_; }
  std::uint64_t SelectionStart() const { return std::min(anchor_, caret_); }
  std::uint64_t SelectionEnd() const { return std::max(anchor_, caret_); }
  std::uint64_t Caret() const { return caret_; }
  QString SelectedText() const;
  // Puts the selected text on the clipboard.
  void Copy() const;

  // The first row on screen and how many whole rows fit.
  std::size_t FirstVisibleRow() const;
  int VisibleRows() const;
  int RowHeight() const { return rowHeight_; }
  // The position nearest a point of the viewport, and where a character's
  // cell is in viewport coordinates (empty when its row is not on screen).
  std::uint64_t PositionAt(const QPoint &point) const;
  QRect CharacterRect(std::uint64_t pos) const;
  // Scrolls as little as needed to show the row of `pos`.
  void EnsureVisible(std::uint64_t pos);

  // The context menu's actions, built for the current selection.
  QMenu *CreateContextMenu(QWidget *parent);

 protected:
  void paintEvent(QPaintEvent *event) override;
  void resizeEvent(QResizeEvent *event) override;
  void changeEvent(QEvent *event) override;
  void keyPressEvent(QKeyEvent *event) override;
  void mousePressEvent(QMouseEvent *event) override;
  void mouseMoveEvent(QMouseEvent *event) override;
  void mouseReleaseEvent(QMouseEvent *event) override;
  void mouseDoubleClickEvent(QMouseEvent *event) override;
  void contextMenuEvent(QContextMenuEvent *event) override;
  void scrollContentsBy(int dx, int dy) override;

 private:
  // A row's text as the toolkit lays it out (for painting and hit tests).
  // The rows on screen are kept laid out, so a repaint after an append
  // shapes only the rows that are new.
  const QTextLayout &RowLayout(std::size_t row) const;
  void ApplyFont();
  void ApplyWidth();
  void UpdateScrollRange();
  void SelectionChanged();
  void AnnounceInsert();

  Utf8Decoder decoder_;  // the system code page here is UTF-8
  LogLayout layout_;
  QFont drawFont_;
  int rowHeight_ = 1;
  int ascent_ = 0;
  struct CachedRow {
    std::uint64_t generation = 0;
    std::size_t row = 0;
    std::uint64_t charStart = 0, charEnd = 0;
    std::unique_ptr<QTextLayout> layout;
    std::uint64_t used = 0;
  };
  mutable std::vector<CachedRow> rowCache_;
  mutable std::uint64_t rowCacheClock_ = 0;
  std::uint64_t anchor_ = 0;
  std::uint64_t caret_ = 0;
  bool dragging_ = false;
  bool insertPending_ = false;  // text appended since the last accessibility event
  std::uint64_t insertFrom_ = 0;
};

// Makes the accessibility framework describe every LogView as a read-only
// text box with the text interface (done once, by the first view).
void InstallLogViewAccessibility();

}  // namespace forms::qt
