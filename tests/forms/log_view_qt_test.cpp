// The read-only memo's Qt view on the offscreen platform: what it shows and
// exposes to accessibility is the memo's text decoded, it follows the model's
// scroll requests, and the user can select, copy and scroll.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <QAccessible>
#include <QAccessibleInterface>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFontMetricsF>
#include <QImage>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTest>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "forms/forms.h"
#include "forms/log_commands.h"
#include "forms/qt/log_view.h"
#include "forms/qt/qt_backend.h"

using namespace forms;
using forms::qt::LogView;
using forms::qt::WidgetOf;

namespace {

class TLogForm : public TForm {
 public:
  explicit TLogForm(TComponent *owner) : TForm(owner) {
    SetCaption("Log");
    SetClientWidth(560);
    SetClientHeight(360);
    log = new TMemo(this);
    log->SetParent(this);
    log->SetBounds(10, 10, 527, 311);
    log->SetReadOnly(true);
    log->SetScrollBars(ssVertical);
  }
  TMemo *log;
};

class LogViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Application->CreateForm(form);
    form->Show();
    view = qobject_cast<LogView *>(WidgetOf(form->log));
    ASSERT_NE(view, nullptr);
  }
  void TearDown() override { Application->DestroyForms(); }

  // The model's text as the view shows it: UTF-8, a zero byte as U+2400 and
  // each line break (CR LF, CR, LF) as one '\n'.
  static QString Decoded(const std::string &bytes) {
    QString s = QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
    s.replace(QChar(0), QChar(0x2400));
    s.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    s.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return s;
  }

  QAccessibleTextInterface *TextInterface() {
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(view);
    EXPECT_NE(iface, nullptr);
    return iface != nullptr ? iface->textInterface() : nullptr;
  }

  // The left edge of character `pos` on screen (viewport coordinates),
  // halfway down its row: the nearest place between two characters is
  // just before it.
  QPoint At(std::uint64_t pos) {
    const QRect cell = view->CharacterRect(pos);
    return QPoint(cell.left(), cell.center().y());
  }

  TLogForm *form = nullptr;
  LogView *view = nullptr;
};

TEST_F(LogViewTest, AccessibilityReadsTheWholeTextAsAReadOnlyTextBox) {
  TMemo *log = form->log;
  // A character split across chunks, a CR LF split across chunks, zero
  // bytes, a lone CR, a character outside the BMP, hex text.
  log->Append("caf\xC3");
  log->Append("\xA9 OK\r");
  const char withZeros[] = "\n+RSSI\0-60\0\0done\rnext \xF0\x9F\x98";
  log->Append(std::string(withZeros, sizeof withZeros - 1));
  log->Append("\x80 41 0A FF ");
  log->Lines().Add("Send Error!");

  QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(view);
  ASSERT_NE(iface, nullptr);
  EXPECT_EQ(iface->role(), QAccessible::EditableText);
  EXPECT_TRUE(iface->state().readOnly);
  EXPECT_TRUE(iface->state().multiLine);
  QAccessibleTextInterface *text = iface->textInterface();
  ASSERT_NE(text, nullptr);
  const QString expected = Decoded(log->Text());
  EXPECT_EQ(text->characterCount(), expected.size());
  EXPECT_EQ(text->text(0, text->characterCount()), expected);
  EXPECT_EQ(iface->text(QAccessible::Value), expected);
  EXPECT_EQ(text->text(3, 7), expected.mid(3, 4));

  // Lines are the view's rows; characters keep a surrogate pair whole.
  int start = 0, end = 0;
  EXPECT_EQ(text->textAtOffset(1, QAccessible::LineBoundary, &start, &end), "café OK\n");
  EXPECT_EQ(start, 0);
  EXPECT_EQ(end, 8);
  EXPECT_EQ(text->textAfterOffset(1, QAccessible::LineBoundary, &start, &end),
            QString::fromUtf8("+RSSI\u2400-60\u2400\u2400done\n"));
  EXPECT_EQ(text->textBeforeOffset(9, QAccessible::LineBoundary, &start, &end), "café OK\n");
  const int emoji = static_cast<int>(expected.indexOf(QChar(0xD83D)));
  EXPECT_EQ(text->textAtOffset(emoji, QAccessible::CharBoundary, &start, &end).size(), 2);
  EXPECT_EQ(text->textAtOffset(2, QAccessible::WordBoundary, &start, &end), QString("café"));
  EXPECT_EQ(text->textAtOffset(0, QAccessible::NoBoundary, &start, &end), expected);

  // Selection through the interface is the view's selection.
  text->setSelection(0, 5, 7);
  EXPECT_EQ(view->SelectedText(), "OK");
  EXPECT_EQ(text->selectionCount(), 1);
  text->removeSelection(0);
  EXPECT_EQ(text->selectionCount(), 0);
  // Each character's place on screen leads back to it.
  const QRect cell = text->characterRect(5);
  ASSERT_FALSE(cell.isEmpty());
  EXPECT_EQ(text->offsetAtPoint(cell.center() - QPoint(cell.width() / 4, 0)), 5);
}

TEST_F(LogViewTest, LongLinesWrapWithinTheViewsWidth) {
  TMemo *log = form->log;
  std::string line;
  for (int i = 0; i < 40; ++i) line += "word" + std::to_string(i) + " ";
  log->Append(line + "\r\n" + std::string(3000, 'x'));
  const LogLayout &layout = view->Layout();
  ASSERT_GT(layout.RowCount(), 4u);
  QFont font = view->font();
  font.setKerning(false);
  const QFontMetricsF metrics(font);
  QString joined;
  for (std::size_t r = 0; r < layout.RowCount(); ++r) {
    const QString row = view->TextRange(layout.RowAt(r).charStart, layout.RowAt(r).charEnd);
    joined += row;
    // A row's trailing space may hang past the edge; its text may not.
    QString visible = row;
    while (visible.endsWith(QLatin1Char(' ')) || visible.endsWith(QLatin1Char('\n'))) {
      visible.chop(1);
    }
    EXPECT_LE(metrics.horizontalAdvance(visible), view->viewport()->width()) << r;
  }
  EXPECT_EQ(joined, Decoded(log->Text()));
  // The view uses the window's font.
  EXPECT_EQ(view->font(), WidgetOf(form)->font());
}

TEST_F(LogViewTest, TheModelScrollsItToTheEndEvenWhenTheUserScrolledUp) {
  TMemo *log = form->log;
  for (int i = 0; i < 300; ++i) log->Lines().Add("line " + std::to_string(i));
  log->ScrollToEnd();
  // Taken in at the view's next frame, or as soon as anything reads it.
  QScrollBar *bar = view->verticalScrollBar();
  EXPECT_EQ(bar->maximum(), 0);
  view->Flush();
  ASSERT_GT(bar->maximum(), 0);
  EXPECT_EQ(bar->value(), bar->maximum());

  // The user reads older text, moving the caret as in an edit box; appending
  // alone leaves the view there.
  view->setFocus();
  QTest::keyClick(view, Qt::Key_Home, Qt::ControlModifier);
  EXPECT_EQ(bar->value(), 0);
  EXPECT_EQ(view->Caret(), 0u);
  QTest::keyClick(view, Qt::Key_PageDown);
  EXPECT_EQ(bar->value(), view->VisibleRows());
  EXPECT_EQ(view->Layout().RowOfChar(view->Caret()), static_cast<std::size_t>(view->VisibleRows()));
  QTest::keyClick(view, Qt::Key_Down);  // the caret moves within the page
  EXPECT_EQ(bar->value(), view->VisibleRows());
  QTest::keyClick(view, Qt::Key_Up);
  QTest::keyClick(view, Qt::Key_PageUp);
  EXPECT_EQ(bar->value(), 0);
  EXPECT_FALSE(view->HasSelection());
  log->Append("more\r\n");
  view->Flush();
  EXPECT_EQ(bar->value(), 0);
  // The model's request wins.
  log->Append("still more\r\n");
  log->ScrollToEnd();
  view->Flush();
  EXPECT_EQ(bar->value(), bar->maximum());
  EXPECT_EQ(view->FirstVisibleRow() + static_cast<std::size_t>(view->VisibleRows()),
            view->Layout().RowCount());
  QTest::keyClick(view, Qt::Key_Home, Qt::ControlModifier);
  QTest::keyClick(view, Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(bar->value(), bar->maximum());
  EXPECT_EQ(view->Caret(), view->CharacterCount());

  // The last rows are painted.
  const QImage shot = view->viewport()->grab().toImage();
  const int lastRowY = 1 + (view->VisibleRows() - 2) * view->RowHeight() + view->RowHeight() / 2;
  bool ink = false;
  for (int x = 0; x < shot.width() && !ink; ++x) {
    ink = qGray(shot.pixel(x, lastRowY)) < 128;
  }
  EXPECT_TRUE(ink);
  if (const char *dir = std::getenv("TESSAVO_SCREENSHOT_DIR")) {
    WidgetOf(form)->grab().save(QString::fromLocal8Bit(dir) + "/log-view.png");
  }
}

TEST_F(LogViewTest, TheUserSelectsWithTheMouseAndCopies) {
  TMemo *log = form->log;
  log->Append("first line\r\nsecond line\r\nthird");
  QWidget *vp = view->viewport();
  // Drag from "line" of the first row to just before "line" of the second.
  QTest::mousePress(vp, Qt::LeftButton, Qt::NoModifier, At(6));
  QMouseEvent move(QEvent::MouseMove, At(18), vp->mapToGlobal(At(18)), Qt::NoButton, Qt::LeftButton,
                   Qt::NoModifier);
  QApplication::sendEvent(vp, &move);
  QTest::mouseRelease(vp, Qt::LeftButton, Qt::NoModifier, At(18));
  EXPECT_EQ(view->SelectedText(), "line\nsecond ");
  view->setFocus();
  QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "line\nsecond ");

  // Shift+click extends from the same anchor.
  QTest::mouseClick(vp, Qt::LeftButton, Qt::ShiftModifier, At(25));
  EXPECT_EQ(view->SelectedText(), "line\nsecond line\nth");

  // The context menu: Copy, Select All, a separator, Find..., Find Next,
  // Find Previous, Save Log As..., Show Timestamps (a check item).
  std::unique_ptr<QMenu> menu(view->CreateContextMenu(view));
  const QList<QAction *> actions = menu->actions();
  ASSERT_EQ(actions.size(), 8);
  const char *const texts[] = {"&Copy",           "Select &All",     "",
                               "&Find...",        "Find &Next",      "Find &Previous",
                               "&Save Log As...", "Show &Timestamps"};
  const char *const keys[] = {"Ctrl+C", "Ctrl+A", "", "Ctrl+F", "F3", "Shift+F3", "Ctrl+S", ""};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(actions[i]->text(), texts[i]);
    EXPECT_EQ(actions[i]->shortcut().toString(), keys[i]);
  }
  EXPECT_TRUE(actions[2]->isSeparator());
  EXPECT_TRUE(actions[7]->isCheckable());
  EXPECT_FALSE(actions[7]->isChecked());
  EXPECT_TRUE(actions[0]->isEnabled());
  QGuiApplication::clipboard()->clear();
  actions[0]->trigger();
  QCoreApplication::processEvents();  // a menu's command runs once the menu has closed
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "line\nsecond line\nth");
  actions[1]->trigger();
  QCoreApplication::processEvents();
  EXPECT_EQ(view->SelectedText(), Decoded(log->Text()));

  // A click without a drag selects nothing; the menu then cannot copy.
  QTest::mouseClick(vp, Qt::LeftButton, Qt::NoModifier, At(3));
  EXPECT_FALSE(view->HasSelection());
  menu.reset(view->CreateContextMenu(view));
  EXPECT_FALSE(menu->actions()[0]->isEnabled());
  QTest::keyClick(view, Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(view->SelectionEnd() - view->SelectionStart(), view->CharacterCount());
  // A double click takes the word.
  QTest::mouseDClick(vp, Qt::LeftButton, Qt::NoModifier, At(14));
  EXPECT_EQ(view->SelectedText(), "second");
}

TEST_F(LogViewTest, TheKeyboardSelectsAsInAReadOnlyEditBox) {
  TMemo *log = form->log;
  log->Append("first line\r\nsecond line\r\nthird");
  view->setFocus();
  QTest::keyClick(view, Qt::Key_Home, Qt::ControlModifier);
  QTest::keyClick(view, Qt::Key_Right, Qt::ShiftModifier);
  QTest::keyClick(view, Qt::Key_Right, Qt::ShiftModifier);
  EXPECT_EQ(view->SelectedText(), "fi");
  QTest::keyClick(view, Qt::Key_End, Qt::ShiftModifier);
  EXPECT_EQ(view->SelectedText(), "first line");
  QTest::keyClick(view, Qt::Key_Down, Qt::ShiftModifier);  // the row below, at the same x
  EXPECT_EQ(view->Layout().RowOfChar(view->Caret()), 1u);
  const QString twoRows = view->SelectedText();
  EXPECT_TRUE(twoRows.startsWith("first line\nsec")) << twoRows.toStdString();
  QTest::keyClick(view, Qt::Key_Left, Qt::ShiftModifier);
  EXPECT_EQ(view->SelectedText(), twoRows.chopped(1));
  QTest::keyClick(view, Qt::Key_Left);  // without Shift: the start of the selection
  EXPECT_FALSE(view->HasSelection());
  EXPECT_EQ(view->Caret(), 0u);
  QTest::keyClick(view, Qt::Key_End, Qt::ControlModifier | Qt::ShiftModifier);
  EXPECT_EQ(view->SelectedText(), Decoded(log->Text()));
  QTest::keyClick(view, Qt::Key_Home, Qt::ShiftModifier);
  EXPECT_EQ(view->SelectedText(), "first line\nsecond line\n");
  QTest::keyClick(view, Qt::Key_PageUp, Qt::ShiftModifier);
  EXPECT_EQ(view->SelectionStart(), 0u);
}

TEST_F(LogViewTest, TimestampsFindAndSaveWorkFromTheMenuAndKeys) {
  TMemo *log = form->log;
  std::int64_t clock = 0;
  log->SetClock([&clock] { return clock += 1001; });
  for (int i = 0; i < 200; ++i) log->Append("line " + std::to_string(i) + "\r\n");
  log->Append("+NAME:HC-05\r\n");
  for (int i = 0; i < 100; ++i) log->Append("more " + std::to_string(i) + "\r\n");
  log->ScrollToEnd();

  // Show Timestamps from the menu: every line starts with its time, and the
  // accessible text is what is shown.
  std::unique_ptr<QMenu> menu(view->CreateContextMenu(view));
  menu->actions()[7]->trigger();
  QCoreApplication::processEvents();
  EXPECT_TRUE(log->ShowTimestamps());
  const QString shown = view->Text();
  char stamp[LogStamps::kLength];
  LogStamps::Format(1001, stamp);
  EXPECT_TRUE(shown.startsWith(QString::fromLatin1(stamp, sizeof stamp) + "line 0\n"));
  EXPECT_EQ(shown.count(QLatin1Char('[')), 301);
  EXPECT_EQ(TextInterface()->text(0, TextInterface()->characterCount()), shown);
  menu.reset(view->CreateContextMenu(view));
  EXPECT_TRUE(menu->actions()[7]->isChecked());
  if (const char *dir = std::getenv("TESSAVO_SCREENSHOT_DIR")) {
    menu->popup(view->mapToGlobal(QPoint(40, 40)));
    QCoreApplication::processEvents();
    menu->grab().save(QString::fromLocal8Bit(dir) + "/log-menu.png");
    menu->hide();
  }

  // Ctrl+F opens the find window; Find Next selects the match and shows it.
  view->setFocus();
  QTest::keyClick(view, Qt::Key_F, Qt::ControlModifier);
  QCoreApplication::processEvents();
  TLogCommands &commands = log->Commands();
  ASSERT_TRUE(commands.HasFindForm());
  TLogFindForm &find = commands.FindForm();
  EXPECT_TRUE(find.Visible());
  find.edtFind->SetText("hc-05");
  // Enter in the text box is Find Next; Esc closes the window.
  QTest::keyClick(WidgetOf(find.edtFind), Qt::Key_Return);
  EXPECT_EQ(view->SelectedText(), "HC-05");
  const std::size_t row = view->Layout().RowOfChar(view->SelectionStart());
  EXPECT_GE(row, view->FirstVisibleRow());
  EXPECT_LT(row, view->FirstVisibleRow() + static_cast<std::size_t>(view->VisibleRows()));
  // F3 again passes the end and says so in the find window.
  QTest::keyClick(view, Qt::Key_F3);
  QCoreApplication::processEvents();
  EXPECT_EQ(view->SelectedText(), "HC-05");
  EXPECT_EQ(find.lbNote->Caption(), "Passed the end of the log; continued from the start.");
  if (const char *dir = std::getenv("TESSAVO_SCREENSHOT_DIR")) {
    WidgetOf(&find)->grab().save(QString::fromLocal8Bit(dir) + "/log-find.png");
  }
  QTest::keyClick(WidgetOf(find.edtFind), Qt::Key_Escape);
  EXPECT_FALSE(find.Visible());

  // Save: the file holds what is shown, stamps included. A write the
  // system refuses (the file size limit) leaves the old file, and a box
  // says which file and why.
  const std::string path = std::string(std::getenv("TESSAVO_SCREENSHOT_DIR") != nullptr
                                           ? std::getenv("TESSAVO_SCREENSHOT_DIR")
                                           : "/tmp") +
                           "/log-saved.txt";
  commands.SetBoxTitle("The system prompts");
  ASSERT_TRUE(commands.SaveTo(path));
  commands.WaitForSave();
  std::ifstream in(path, std::ios::binary);
  const std::string saved{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_EQ(QString::fromUtf8(saved.data(), static_cast<qsizetype>(saved.size()))
                .replace(QLatin1String("\r\n"), QLatin1String("\n")),
            shown);
  auto *qt = static_cast<forms::qt::TQtBackend *>(&Application->Backend());
  qt->SetAutoCloseBoxes(true);
  qt->ClearShownBoxes();
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  rlimit small = old;
  small.rlim_cur = 1000;
  void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &small);
  ASSERT_TRUE(commands.SaveTo(path));
  commands.WaitForSave();
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, previous);
  qt->SetAutoCloseBoxes(false);
  ASSERT_EQ(qt->ShownBoxes().size(), 1u);
  EXPECT_EQ(qt->ShownBoxes()[0].Title, "The system prompts");
  EXPECT_EQ(qt->ShownBoxes()[0].Text,
            "Cannot save the log to \"" + path + "\": " + std::strerror(EFBIG) + ".");
  std::ifstream again(path, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(again), std::istreambuf_iterator<char>()),
            saved);
  std::remove(path.c_str());
}

TEST_F(LogViewTest, ClearEmptiesTheViewAndItsSelection) {
  TMemo *log = form->log;
  for (int i = 0; i < 100; ++i) log->Append("0123456789 ");
  log->ScrollToEnd();
  view->SelectAll();
  log->Clear();
  EXPECT_EQ(view->CharacterCount(), 0u);
  EXPECT_EQ(view->Layout().RowCount(), 1u);
  EXPECT_FALSE(view->HasSelection());
  EXPECT_EQ(view->verticalScrollBar()->maximum(), 0);
  EXPECT_EQ(TextInterface()->characterCount(), 0);
  log->Append("again");
  EXPECT_EQ(TextInterface()->text(0, 5), "again");
}

TEST_F(LogViewTest, OnlyAReadOnlyMemoIsALogViewAndItTakesFocusLikeATextBox) {
  EXPECT_TRUE(view->focusPolicy() & Qt::TabFocus);
  TMemo *log = form->log;
  log->Append("kept");
  log->SetReadOnly(false);
  auto *editor = qobject_cast<QPlainTextEdit *>(WidgetOf(log));
  ASSERT_NE(editor, nullptr);
  EXPECT_EQ(editor->toPlainText(), "kept");
  EXPECT_EQ(editor->geometry(), QRect(10, 10, 527, 311));
  log->SetReadOnly(true);
  view = qobject_cast<LogView *>(WidgetOf(log));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view->Text(), "kept");
  EXPECT_TRUE(view->isVisible());
}

}  // namespace

int main(int argc, char **argv) {
  forms::qt::UseQt(argc, argv);
  Application->Initialize();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
