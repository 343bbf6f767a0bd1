#include "forms/qt/log_view.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTextBoundaryFinder>
#include <QTextLayout>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>

#include "forms/qt/text_listeners.h"

namespace forms::qt {

namespace {

constexpr int kMarginX = 3;  // pixels left of the text
constexpr int kMarginTop = 1;
constexpr int kUnitsPerPixel = 64;  // the layout's widths are in 1/64 pixel

constexpr std::int64_t kFrameMs = 15;  // a frame: what the eye can tell apart

int ClampInt(std::uint64_t v) { return v > INT_MAX ? INT_MAX : static_cast<int>(v); }

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

QString FromUtf16(const std::u16string &s) {
  return QString(reinterpret_cast<const QChar *>(s.data()), static_cast<qsizetype>(s.size()));
}

}  // namespace

LogView::LogView(TMemo &memo, QWidget *parent)
    : QAbstractScrollArea(parent), memo_(memo), layout_(memo.Shown(), decoder_) {
  InstallLogViewAccessibility();
  frame_ = new QTimer(this);
  frame_->setSingleShot(true);
  connect(frame_, &QTimer::timeout, this, [this] { DoFlush(); });
  memo_.Commands().Attach(this);
  setFocusPolicy(Qt::StrongFocus);
  // Rows wrap at the view's width, so there is never anything to the side.
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  viewport()->setCursor(Qt::IBeamCursor);
  verticalScrollBar()->setSingleStep(1);
  ApplyFont();
  ApplyWidth();
  UpdateScrollRange();
}

LogView::~LogView() {
  if (TLogCommands *commands = memo_.ExistingCommands()) commands->Detach(this);
}

// ---- text ---------------------------------------------------------------------------

void LogView::TextAppended() {
  appended_ = true;
  ScheduleFrame();
}

void LogView::ScheduleFrame() {
  if (frameDue_) return;
  frameDue_ = true;
  const std::int64_t since = NowMs() - lastFrameMs_;
  frame_->start(static_cast<int>(since >= kFrameMs ? 0 : kFrameMs - since));
}

void LogView::Flush() const { const_cast<LogView *>(this)->DoFlush(); }

void LogView::DoFlush() {
  if (frameDue_) {
    frameDue_ = false;
    frame_->stop();
    lastFrameMs_ = NowMs();
  }
  if (!appended_ && !followEnd_) return;
  const bool wasAtEnd = AtEnd();
  if (appended_) {
    appended_ = false;
    const std::size_t firstChanged = layout_.RowCount() - 1;
    const std::uint64_t charsBefore = layout_.CharCount();
    layout_.Update();
    UpdateScrollRange();
    if (firstChanged <= FirstVisibleRow() + static_cast<std::size_t>(VisibleRows())) {
      viewport()->update();
    }
    // Turned into text only for an assistive technology that listens.
    if (QAccessible::isActive() && layout_.CharCount() > charsBefore && !insertPending_ &&
        TextListeners::Instance().InsertsHeard()) {
      // One event for all that arrives before the loop turns, not one per
      // chunk: a fast line would otherwise flood the assistive technology.
      insertPending_ = true;
      insertFrom_ = charsBefore;
      QTimer::singleShot(0, this, [this] { AnnounceInsert(); });
    }
  }
  // A view that showed the end keeps showing it.
  if (wasAtEnd || followEnd_) {
    followEnd_ = false;
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
  }
}

void LogView::AnnounceInsert() {
  if (!insertPending_) return;
  insertPending_ = false;
  if (layout_.CharCount() <= insertFrom_) return;
  QAccessibleTextInsertEvent event(this, ClampInt(insertFrom_),
                                   TextRange(insertFrom_, layout_.CharCount()));
  QAccessible::updateAccessibility(&event);
}

void LogView::TextReset() {
  appended_ = false;
  layout_.Reset();
  insertPending_ = false;
  anchor_ = caret_ = 0;
  dragging_ = false;
  UpdateScrollRange();
  viewport()->update();
  if (QAccessible::isActive()) {
    QAccessibleTextUpdateEvent event(this, 0, QString(), QString());
    QAccessible::updateAccessibility(&event);
  }
}

void LogView::StampsChanged() {
  Flush();
  const bool wasAtEnd = AtEnd();
  layout_.Reset();
  anchor_ = caret_ = 0;
  dragging_ = false;
  insertPending_ = false;
  UpdateScrollRange();
  if (wasAtEnd) verticalScrollBar()->setValue(verticalScrollBar()->maximum());
  viewport()->update();
  if (QAccessible::isActive()) {
    QAccessibleTextUpdateEvent event(this, 0, QString(), Text());
    QAccessible::updateAccessibility(&event);
  }
}

QString LogView::Text() const {
  Flush();
  return TextRange(0, layout_.CharCount());
}

QString LogView::TextRange(std::uint64_t from, std::uint64_t to) const {
  Flush();
  return FromUtf16(layout_.TextRange(from, to));
}

// ---- scrolling ------------------------------------------------------------------------

std::size_t LogView::FirstVisibleRow() const {
  return static_cast<std::size_t>(std::max(0, verticalScrollBar()->value()));
}

int LogView::VisibleRows() const {
  return std::max(1, (viewport()->height() - kMarginTop) / rowHeight_);
}

void LogView::UpdateScrollRange() {
  QScrollBar *bar = verticalScrollBar();
  const int rows = ClampInt(layout_.RowCount());
  const int visible = VisibleRows();
  bar->setRange(0, std::max(0, rows - visible));
  bar->setPageStep(visible);
}

bool LogView::AtEnd() const {
  return verticalScrollBar()->value() >= verticalScrollBar()->maximum();
}

void LogView::ScrollToEnd() {
  followEnd_ = true;
  ScheduleFrame();
}

void LogView::ScrollToRow(std::size_t row) {
  Flush();
  verticalScrollBar()->setValue(ClampInt(row));
}

void LogView::EnsureVisible(std::uint64_t pos) {
  Flush();
  const int row = ClampInt(layout_.RowOfChar(pos));
  QScrollBar *bar = verticalScrollBar();
  if (row < bar->value()) {
    bar->setValue(row);
  } else if (row >= bar->value() + VisibleRows()) {
    bar->setValue(row - VisibleRows() + 1);
  }
}

void LogView::scrollContentsBy(int dx, int dy) {
  (void)dx;
  (void)dy;
  viewport()->update();
}

// ---- font and size ----------------------------------------------------------------------

void LogView::ApplyFont() {
  drawFont_ = font();
  // Without kerning a row is as wide as its characters' widths added up,
  // which is how the layout wraps.
  drawFont_.setKerning(false);
  const QFontMetricsF metrics(drawFont_);
  rowHeight_ = std::max(1, static_cast<int>(std::ceil(metrics.height())));
  ascent_ = static_cast<int>(std::ceil(metrics.ascent()));
  layout_.SetWidthFunction([metrics](char32_t c) {
    qreal w;
    if (c == '\t') {
      w = metrics.horizontalAdvance(QLatin1Char(' '));  // painted as a space
    } else if (c <= 0xFFFF) {
      w = metrics.horizontalAdvance(QChar(static_cast<char16_t>(c)));
    } else {
      w = metrics.horizontalAdvance(QString::fromUcs4(&c, 1));
    }
    return static_cast<int>(std::lround(w * kUnitsPerPixel));
  });
}

void LogView::ApplyWidth() {
  layout_.SetWidth(std::max(1, viewport()->width() - 2 * kMarginX) * kUnitsPerPixel);
}

void LogView::resizeEvent(QResizeEvent *event) {
  Flush();
  const bool wasAtEnd = AtEnd();
  QAbstractScrollArea::resizeEvent(event);
  ApplyWidth();
  UpdateScrollRange();
  if (wasAtEnd) verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void LogView::changeEvent(QEvent *event) {
  QAbstractScrollArea::changeEvent(event);
  if (event->type() == QEvent::FontChange) {
    Flush();
    const bool wasAtEnd = AtEnd();
    ApplyFont();
    UpdateScrollRange();
    if (wasAtEnd) verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    viewport()->update();
  }
}

// ---- painting -------------------------------------------------------------------------

const QTextLayout &LogView::RowLayout(std::size_t row) const {
  const LogLayout::Row r = layout_.RowAt(row);
  CachedRow *slot = nullptr;
  for (CachedRow &c : rowCache_) {
    if (c.layout && c.generation == layout_.Generation() && c.row == row &&
        c.charStart == r.charStart && c.charEnd == r.charEnd) {
      c.used = ++rowCacheClock_;
      return *c.layout;
    }
    if (slot == nullptr || c.used < slot->used) slot = &c;
  }
  // Room for two screens of rows; the least recently used goes first.
  const std::size_t capacity = 2 * static_cast<std::size_t>(VisibleRows()) + 4;
  if (rowCache_.size() < capacity) {
    rowCache_.emplace_back();
    slot = &rowCache_.back();
  }
  QString s = FromUtf16(layout_.RowText(row, false));
  s.replace(QLatin1Char('\t'), QLatin1Char(' '));
  auto layout = std::make_unique<QTextLayout>(s, drawFont_);
  QTextOption option;
  option.setWrapMode(QTextOption::NoWrap);
  option.setTextDirection(Qt::LeftToRight);
  layout->setTextOption(option);
  layout->setCacheEnabled(true);
  layout->beginLayout();
  QTextLine line = layout->createLine();
  if (line.isValid()) {
    line.setLineWidth(1e7);
    // Every row's baseline at the same height, whatever fallback font a
    // character needed.
    line.setPosition(QPointF(0, ascent_ - line.ascent()));
  }
  layout->endLayout();
  slot->generation = layout_.Generation();
  slot->row = row;
  slot->charStart = r.charStart;
  slot->charEnd = r.charEnd;
  slot->layout = std::move(layout);
  slot->used = ++rowCacheClock_;
  return *slot->layout;
}

void LogView::paintEvent(QPaintEvent *event) {
  Flush();
  QPainter painter(viewport());
  painter.setPen(palette().color(QPalette::Text));
  const QRect area = event->rect();
  const std::size_t first = FirstVisibleRow();
  const std::uint64_t selStart = SelectionStart();
  const std::uint64_t selEnd = SelectionEnd();
  QTextCharFormat selected;
  selected.setBackground(palette().brush(QPalette::Highlight));
  selected.setForeground(palette().brush(QPalette::HighlightedText));
  const qreal spaceWidth = QFontMetricsF(drawFont_).horizontalAdvance(QLatin1Char(' '));
  for (std::size_t row = first; row < layout_.RowCount(); ++row) {
    const int y = kMarginTop + static_cast<int>(row - first) * rowHeight_;
    if (y > area.bottom()) break;
    if (y + rowHeight_ <= area.top()) continue;
    const QTextLayout *text = &RowLayout(row);
    QList<QTextLayout::FormatRange> ranges;
    const LogLayout::Row r = layout_.RowAt(row);
    if (HasSelection() && selStart < r.charEnd && selEnd > r.charStart) {
      const std::uint64_t contentEnd = r.endsLine ? r.charEnd - 1 : r.charEnd;
      const std::uint64_t from = std::max(selStart, r.charStart);
      const std::uint64_t to = std::min(selEnd, contentEnd);
      if (to > from) {
        QTextLayout::FormatRange range;
        range.start = static_cast<int>(from - r.charStart);
        range.length = static_cast<int>(to - from);
        range.format = selected;
        ranges.append(range);
      }
      // A selected line break shows as a selected space after the text.
      if (r.endsLine && selEnd >= r.charEnd && selStart < r.charEnd) {
        const qreal x = kMarginX + (text->lineCount() > 0 ? text->lineAt(0).naturalTextWidth() : 0);
        painter.fillRect(QRectF(x, y, spaceWidth, rowHeight_), selected.background());
      }
    }
    text->draw(&painter, QPointF(kMarginX, y), ranges);
  }
  // The caret, where keyboard selection starts from, while the log has focus.
  if (hasFocus()) {
    const QRect cell = CaretRect();
    if (!cell.isNull())
      painter.fillRect(QRect(cell.left(), cell.top(), 1, cell.height()), palette().text());
  }
}

QRect LogView::CaretRect() const {
  const std::uint64_t pos = caret_;
  const std::size_t row = layout_.RowOfChar(pos);
  const std::size_t first = FirstVisibleRow();
  if (row < first || row >= first + static_cast<std::size_t>(VisibleRows()) + 1) return QRect();
  const LogLayout::Row r = layout_.RowAt(row);
  const QTextLayout *text = &RowLayout(row);
  const int y = kMarginTop + static_cast<int>(row - first) * rowHeight_;
  const int index = static_cast<int>(std::min(pos, r.charEnd) - r.charStart);
  const qreal x = text->lineCount() > 0 ? text->lineAt(0).cursorToX(index) : 0;
  return QRect(kMarginX + static_cast<int>(std::floor(x)), y, 1, rowHeight_);
}

void LogView::focusInEvent(QFocusEvent *event) {
  QAbstractScrollArea::focusInEvent(event);
  viewport()->update();
}

void LogView::focusOutEvent(QFocusEvent *event) {
  QAbstractScrollArea::focusOutEvent(event);
  viewport()->update();
}

bool LogView::event(QEvent *event) {
  // The log's own keys come before the window's shortcuts while it has focus.
  if (event->type() == QEvent::ShortcutOverride) {
    auto *key = static_cast<QKeyEvent *>(event);
    const Qt::KeyboardModifiers mods = key->modifiers();
    if ((mods & Qt::ControlModifier) && (key->key() == Qt::Key_C || key->key() == Qt::Key_A ||
                                         key->key() == Qt::Key_F || key->key() == Qt::Key_S)) {
      event->accept();
      return true;
    }
  }
  return QAbstractScrollArea::event(event);
}

// ---- positions ----------------------------------------------------------------------------

std::uint64_t LogView::PositionAt(const QPoint &point) const {
  Flush();
  const int rel = point.y() - kMarginTop;
  const long long offset = rel >= 0 ? rel / rowHeight_ : -1 - (-rel - 1) / rowHeight_;
  const long long last = static_cast<long long>(layout_.RowCount()) - 1;
  const long long row = std::clamp(static_cast<long long>(FirstVisibleRow()) + offset, 0LL, last);
  const LogLayout::Row r = layout_.RowAt(static_cast<std::size_t>(row));
  const QTextLayout *text = &RowLayout(static_cast<std::size_t>(row));
  if (text->lineCount() == 0) return r.charStart;
  const int index =
      text->lineAt(0).xToCursor(point.x() - kMarginX, QTextLine::CursorBetweenCharacters);
  const std::uint64_t contentEnd = r.endsLine ? r.charEnd - 1 : r.charEnd;
  return std::min(r.charStart + static_cast<std::uint64_t>(std::max(0, index)), contentEnd);
}

QRect LogView::CharacterRect(std::uint64_t pos) const {
  Flush();
  if (pos >= layout_.CharCount()) return QRect();
  const std::size_t row = layout_.RowOfChar(pos);
  const std::size_t first = FirstVisibleRow();
  if (row < first || row >= first + static_cast<std::size_t>(VisibleRows()) + 1) return QRect();
  const LogLayout::Row r = layout_.RowAt(row);
  const QTextLayout *text = &RowLayout(row);
  const int y = kMarginTop + static_cast<int>(row - first) * rowHeight_;
  const int index = static_cast<int>(pos - r.charStart);
  if (text->lineCount() == 0) return QRect(kMarginX, y, 1, rowHeight_);
  const QTextLine line = text->lineAt(0);
  const qreal x1 = line.cursorToX(index);
  qreal x2 = index < text->text().size() ? line.cursorToX(index + 1)
                                         : x1 + QFontMetricsF(drawFont_).horizontalAdvance(' ');
  if (x2 <= x1) x2 = x1 + 1;
  return QRect(kMarginX + static_cast<int>(std::floor(x1)), y, static_cast<int>(std::ceil(x2 - x1)),
               rowHeight_);
}

// ---- selection ------------------------------------------------------------------------------

void LogView::Select(std::uint64_t anchor, std::uint64_t caret) {
  Flush();
  anchor_ = std::min(anchor, layout_.CharCount());
  caret_ = std::min(caret, layout_.CharCount());
  SelectionChanged();
}

void LogView::SelectAll() { Select(0, layout_.CharCount()); }

void LogView::ClearSelection() { Select(caret_, caret_); }

QString LogView::SelectedText() const { return TextRange(SelectionStart(), SelectionEnd()); }

void LogView::Copy() const {
  if (HasSelection()) QGuiApplication::clipboard()->setText(SelectedText());
}

void LogView::SetClipboard(const std::u16string &text) {
  QGuiApplication::clipboard()->setText(FromUtf16(text));
}

void LogView::SelectionChanged() {
  viewport()->update();
  if (QAccessible::isActive()) {
    QAccessibleTextSelectionEvent event(this, ClampInt(SelectionStart()), ClampInt(SelectionEnd()));
    event.setCursorPosition(ClampInt(caret_));
    QAccessible::updateAccessibility(&event);
  }
}

QMenu *LogView::CreateContextMenu(QWidget *parent) {
  Flush();
  auto *menu = new QMenu(parent);
  TLogCommands &commands = memo_.Commands();
  for (const TLogMenuItem &item : commands.MenuItems()) {
    if (item.command == TLogCommand::None) {
      menu->addSeparator();
      continue;
    }
    QAction *action = menu->addAction(QString::fromUtf8(item.text.c_str()));
    if (!item.shortcut.empty()) {
      action->setShortcut(QKeySequence(QString::fromLatin1(item.shortcut.c_str())));
    }
    action->setEnabled(item.enabled);
    if (item.command == TLogCommand::ShowTimestamps) {
      action->setCheckable(true);
      action->setChecked(item.checked);
    }
    const TLogCommand command = item.command;
    TMemo *memo = &memo_;
    // Queued: the command runs once the menu has closed (Find opens a
    // window, Save a dialog).
    QObject::connect(
        action, &QAction::triggered, this, [memo, command] { memo->Commands().Run(command); },
        Qt::QueuedConnection);
  }
  return menu;
}

// ---- input ----------------------------------------------------------------------------------

void LogView::keyPressEvent(QKeyEvent *event) {
  const bool shift = event->modifiers() & Qt::ShiftModifier;
  const bool ctrl = event->modifiers() & Qt::ControlModifier;
  unsigned key = 0;
  switch (event->key()) {
    case Qt::Key_Left:
      key = kLogKeyLeft;
      break;
    case Qt::Key_Right:
      key = kLogKeyRight;
      break;
    case Qt::Key_Up:
      key = kLogKeyUp;
      break;
    case Qt::Key_Down:
      key = kLogKeyDown;
      break;
    case Qt::Key_PageUp:
      key = kLogKeyPrior;
      break;
    case Qt::Key_PageDown:
      key = kLogKeyNext;
      break;
    case Qt::Key_Home:
      key = kLogKeyHome;
      break;
    case Qt::Key_End:
      key = kLogKeyEnd;
      break;
    case Qt::Key_F3:
      key = kLogKeyF3;
      break;
    case Qt::Key_A:
    case Qt::Key_C:
    case Qt::Key_F:
    case Qt::Key_S:
      if (ctrl) key = static_cast<unsigned>(event->key());
      break;
    default:
      break;
  }
  if (key != 0 && memo_.Commands().Key(key, shift, ctrl)) {
    event->accept();
    return;
  }
  QAbstractScrollArea::keyPressEvent(event);
}

void LogView::mousePressEvent(QMouseEvent *event) {
  if (event->button() != Qt::LeftButton) {
    QAbstractScrollArea::mousePressEvent(event);
    return;
  }
  const std::uint64_t pos = PositionAt(event->position().toPoint());
  if (event->modifiers() & Qt::ShiftModifier) {
    Select(anchor_, pos);
  } else {
    Select(pos, pos);
  }
  dragging_ = true;
  event->accept();
}

void LogView::mouseMoveEvent(QMouseEvent *event) {
  if (!dragging_ || !(event->buttons() & Qt::LeftButton)) {
    QAbstractScrollArea::mouseMoveEvent(event);
    return;
  }
  // Dragging past the top or bottom edge scrolls a row per move.
  const QPoint point = event->position().toPoint();
  QScrollBar *bar = verticalScrollBar();
  if (point.y() < 0) bar->triggerAction(QAbstractSlider::SliderSingleStepSub);
  if (point.y() >= viewport()->height()) bar->triggerAction(QAbstractSlider::SliderSingleStepAdd);
  Select(anchor_, PositionAt(point));
  event->accept();
}

void LogView::mouseReleaseEvent(QMouseEvent *event) {
  if (event->button() == Qt::LeftButton && dragging_) {
    dragging_ = false;
    QClipboard *clipboard = QGuiApplication::clipboard();
    if (HasSelection() && clipboard->supportsSelection()) {
      clipboard->setText(SelectedText(), QClipboard::Selection);
    }
    event->accept();
    return;
  }
  QAbstractScrollArea::mouseReleaseEvent(event);
}

void LogView::mouseDoubleClickEvent(QMouseEvent *event) {
  if (event->button() != Qt::LeftButton) return;
  // The word under the pointer, within its row.
  const std::uint64_t pos = PositionAt(event->position().toPoint());
  const std::size_t row = layout_.RowOfChar(pos);
  const LogLayout::Row r = layout_.RowAt(row);
  const QString s = FromUtf16(layout_.RowText(row, false));
  int from = static_cast<int>(pos - r.charStart);
  int to = from;
  while (from > 0 && s[from - 1].isLetterOrNumber()) --from;
  while (to < s.size() && s[to].isLetterOrNumber()) ++to;
  Select(r.charStart + static_cast<std::uint64_t>(from),
         r.charStart + static_cast<std::uint64_t>(to));
  dragging_ = false;
  event->accept();
}

void LogView::contextMenuEvent(QContextMenuEvent *event) {
  QMenu *menu = CreateContextMenu(this);
  menu->exec(event->globalPos());
  delete menu;
}

// ---- accessibility -----------------------------------------------------------------------------

namespace {

// The log as a read-only, multi-line text box with the whole text interface.
// Lines are the view's rows, as a text box's lines are its visual lines;
// a paragraph is a line of the text (up to its line break).
class LogViewAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
 public:
  explicit LogViewAccessible(LogView *view) : QAccessibleWidget(view, QAccessible::EditableText) {}

  void *interface_cast(QAccessible::InterfaceType type) override {
    if (type == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface *>(this);
    return QAccessibleWidget::interface_cast(type);
  }

  QAccessible::State state() const override {
    QAccessible::State s = QAccessibleWidget::state();
    s.readOnly = true;
    s.editable = false;
    s.multiLine = true;
    s.selectableText = true;
    s.focusable = true;
    return s;
  }

  QString text(QAccessible::Text t) const override {
    if (t == QAccessible::Value) return View()->Text();
    return QAccessibleWidget::text(t);
  }

  // -- selection and caret
  void selection(int selectionIndex, int *startOffset, int *endOffset) const override {
    *startOffset = *endOffset = 0;
    if (selectionIndex != 0 || !View()->HasSelection()) return;
    *startOffset = ClampInt(View()->SelectionStart());
    *endOffset = ClampInt(View()->SelectionEnd());
  }
  int selectionCount() const override { return View()->HasSelection() ? 1 : 0; }
  void addSelection(int startOffset, int endOffset) override {
    setSelection(0, startOffset, endOffset);
  }
  void removeSelection(int selectionIndex) override {
    if (selectionIndex == 0) View()->ClearSelection();
  }
  void setSelection(int selectionIndex, int startOffset, int endOffset) override {
    if (selectionIndex != 0) return;
    View()->Select(Offset(startOffset), Offset(endOffset));
  }
  int cursorPosition() const override { return ClampInt(View()->Caret()); }
  void setCursorPosition(int position) override {
    View()->Select(Offset(position), Offset(position));
    View()->EnsureVisible(Offset(position));
  }

  // -- text
  QString text(int startOffset, int endOffset) const override {
    if (startOffset < 0 || endOffset <= startOffset) return QString();
    return View()->TextRange(Offset(startOffset), Offset(endOffset));
  }
  int characterCount() const override { return ClampInt(View()->CharacterCount()); }

  QString textAtOffset(int offset, QAccessible::TextBoundaryType boundary, int *startOffset,
                       int *endOffset) const override {
    *startOffset = *endOffset = -1;
    const int count = characterCount();
    if (offset < 0 || offset > count || count == 0) return QString();
    if (offset == count && boundary != QAccessible::NoBoundary) {
      if (boundary == QAccessible::CharBoundary) return QString();
      offset = count - 1;  // the end belongs to the last line or word
    }
    Bounds(offset, boundary, startOffset, endOffset);
    return text(*startOffset, *endOffset);
  }

  QString textBeforeOffset(int offset, QAccessible::TextBoundaryType boundary, int *startOffset,
                           int *endOffset) const override {
    *startOffset = *endOffset = -1;
    const int count = characterCount();
    if (offset <= 0 || offset > count || boundary == QAccessible::NoBoundary) return QString();
    int s, e;
    Bounds(std::min(offset, count - 1), boundary, &s, &e);
    if (offset >= e) s = offset;  // at the end: the unit before it is the one ending there
    if (s <= 0) return QString();
    Bounds(s - 1, boundary, startOffset, endOffset);
    return text(*startOffset, *endOffset);
  }

  QString textAfterOffset(int offset, QAccessible::TextBoundaryType boundary, int *startOffset,
                          int *endOffset) const override {
    *startOffset = *endOffset = -1;
    const int count = characterCount();
    if (offset < 0 || offset >= count || boundary == QAccessible::NoBoundary) return QString();
    int s, e;
    Bounds(offset, boundary, &s, &e);
    if (e >= count) return QString();
    Bounds(e, boundary, startOffset, endOffset);
    return text(*startOffset, *endOffset);
  }

  // -- geometry
  QRect characterRect(int offset) const override {
    const QRect r = View()->CharacterRect(Offset(offset));
    if (r.isEmpty()) return QRect();
    return QRect(View()->viewport()->mapToGlobal(r.topLeft()), r.size());
  }
  int offsetAtPoint(const QPoint &point) const override {
    const QPoint local = View()->viewport()->mapFromGlobal(point);
    if (!View()->viewport()->rect().contains(local)) return -1;
    return ClampInt(View()->PositionAt(local));
  }
  void scrollToSubstring(int startIndex, int endIndex) override {
    View()->EnsureVisible(Offset(endIndex));
    View()->EnsureVisible(Offset(startIndex));
  }
  QString attributes(int offset, int *startOffset, int *endOffset) const override {
    (void)offset;
    *startOffset = 0;
    *endOffset = characterCount();
    return QString();
  }

 private:
  LogView *View() const { return static_cast<LogView *>(widget()); }
  static std::uint64_t Offset(int v) { return static_cast<std::uint64_t>(std::max(0, v)); }

  // The unit of text around `offset` (0 <= offset < count).
  void Bounds(int offset, QAccessible::TextBoundaryType boundary, int *start, int *end) const {
    const LogLayout &layout = View()->Layout();
    const std::uint64_t pos = Offset(offset);
    const std::size_t row = layout.RowOfChar(pos);
    const LogLayout::Row r = layout.RowAt(row);
    switch (boundary) {
      case QAccessible::CharBoundary: {
        const QString c = View()->TextRange(pos, pos + 2);
        const bool pair = c.size() == 2 && c[0].isHighSurrogate() && c[1].isLowSurrogate();
        *start = offset;
        *end = offset + (pair ? 2 : 1);
        return;
      }
      case QAccessible::WordBoundary: {
        const QString s = FromUtf16(layout.RowText(row, true));
        const int index = static_cast<int>(pos - r.charStart);
        QTextBoundaryFinder finder(QTextBoundaryFinder::Word, s);
        finder.setPosition(index);
        int from = finder.isAtBoundary() ? index : finder.toPreviousBoundary();
        finder.setPosition(index);
        int to = finder.toNextBoundary();
        if (from < 0) from = 0;
        if (to < 0 || to <= index) to = static_cast<int>(s.size());
        *start = ClampInt(r.charStart + static_cast<std::uint64_t>(from));
        *end = ClampInt(r.charStart + static_cast<std::uint64_t>(to));
        return;
      }
      case QAccessible::ParagraphBoundary: {
        std::size_t first = row;
        while (first > 0 && !layout.RowAt(first - 1).endsLine) --first;
        std::size_t last = row;
        while (last + 1 < layout.RowCount() && !layout.RowAt(last).endsLine) ++last;
        *start = ClampInt(layout.RowAt(first).charStart);
        *end = ClampInt(layout.RowAt(last).charEnd);
        return;
      }
      case QAccessible::NoBoundary:
        *start = 0;
        *end = characterCount();
        return;
      case QAccessible::SentenceBoundary:
      case QAccessible::LineBoundary:
      default:
        *start = ClampInt(r.charStart);
        *end = ClampInt(r.charEnd);
        return;
    }
  }
};

QAccessibleInterface *LogViewAccessibleFactory(const QString &className, QObject *object) {
  (void)className;
  if (auto *view = qobject_cast<LogView *>(object)) return new LogViewAccessible(view);
  return nullptr;
}

}  // namespace

void InstallLogViewAccessibility() {
  static const bool installed = [] {
    QAccessible::installFactory(LogViewAccessibleFactory);
    return true;
  }();
  (void)installed;
}

}  // namespace forms::qt
