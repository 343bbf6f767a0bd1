// The Qt view of a read-only memo (the log): it paints only the rows on
// screen from the memo's own stored text, so appending and scrolling cost
// the same at any log size. It has a vertical scroll bar, mouse selection,
// a caret and keyboard selection as in a read-only edit box, the log's
// context menu and keys (TLogCommands), and exposes what it shows,
// timestamps included, through the accessible text interface.
//
// Rows always wrap at the view's width (there is no horizontal scrolling: a
// hex log is one endless line). The view follows the end while it shows
// the end; the model's ScrollToEnd brings it there from anywhere.
//
// Appends and scroll requests are taken in at most once a frame, however
// fast chunks come: laying out the new text, moving to the end and painting
// happen together, and anything that reads the view first catches it up
// (Flush).
#pragma once

#include <QAbstractScrollArea>
#include <QFont>
#include <QString>
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "forms/controls.h"
#include "forms/log_commands.h"
#include "forms/log_layout.h"
#include "forms/log_text.h"

class QMenu;
class QTextLayout;
class QTimer;

namespace forms::qt {

// Q_OBJECT gives it a class name of its own, so accessibility finds its
// interface before the generic scroll area's.
class LogView : public QAbstractScrollArea, public LogViewAccess {
  Q_OBJECT

 public:
  // `memo` must outlive the view.
  explicit LogView(TMemo &memo, QWidget *parent = nullptr);
  ~LogView() override;

  // The text grew at its end (taken in at the next frame).
  void TextAppended();
  // The text changed otherwise (replaced, cleared): everything is laid out
  // again and the selection goes.
  void TextReset();
  // Timestamps were shown or hidden: laid out again, the end kept in view.
  void StampsChanged();
  // Shows the last row (at the next frame).
  void ScrollToEnd();
  bool AtEnd() const;
  // Takes in what is pending now: the new text laid out, the scroll range
  // and position brought up to date.
  void Flush() const;

  const LogLayout &Layout() const {
    Flush();
    return layout_;
  }
  TMemo &Memo() const { return memo_; }
  // The shown text (line breaks as '\n'), whole or from `from` to `to`.
  QString Text() const;
  QString TextRange(std::uint64_t from, std::uint64_t to) const;
  std::uint64_t CharacterCount() const {
    Flush();
    return layout_.CharCount();
  }

  // Selection and caret in character positions; the caret is the moving end.
  void Select(std::uint64_t anchor, std::uint64_t caret) override;
  void SelectAll();
  void ClearSelection();
  bool HasSelection() const { return anchor_ != caret_; }
  std::uint64_t SelectionStart() const { return std::min(anchor_, caret_); }
  std::uint64_t SelectionEnd() const { return std::max(anchor_, caret_); }
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

  // LogViewAccess
  const LogLayout &CurrentLayout() override { return Layout(); }
  std::uint64_t Anchor() const override { return anchor_; }
  std::uint64_t Caret() const override { return caret_; }
  void ShowCharacter(std::uint64_t pos) override { EnsureVisible(pos); }
  std::size_t TopRow() override { return FirstVisibleRow(); }
  std::size_t PageRows() override { return static_cast<std::size_t>(VisibleRows()); }
  void ScrollToRow(std::size_t row) override;
  void SetClipboard(const std::u16string &text) override;

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
  void focusInEvent(QFocusEvent *event) override;
  void focusOutEvent(QFocusEvent *event) override;
  bool event(QEvent *event) override;

 private:
  // Asks for a frame: at once when the last one was long enough ago, else
  // when a frame's time since it has passed.
  void ScheduleFrame();
  void DoFlush();
  // A row's text as the toolkit lays it out (for painting and hit tests).
  // The rows on screen are kept laid out, so a repaint after an append
  // shapes only the rows that are new.
  const QTextLayout &RowLayout(std::size_t row) const;
  QRect CaretRect() const;
  void ApplyFont();
  void ApplyWidth();
  void UpdateScrollRange();
  void SelectionChanged();
  void AnnounceInsert();

  TMemo &memo_;
  Utf8Decoder decoder_;  // the system code page here is UTF-8
  LogLayout layout_;
  // Pending until the next frame.
  bool appended_ = false;
  bool followEnd_ = false;
  bool frameDue_ = false;
  QTimer *frame_ = nullptr;
  std::int64_t lastFrameMs_ = 0;
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
