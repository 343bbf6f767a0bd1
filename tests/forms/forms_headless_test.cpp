// The component model's event rules, the escaped-exception box and the main
// loop, on the headless backend.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "forms/forms.h"
#include "forms/headless.h"
#include "forms/log_commands.h"
#include "platform/thread.h"

using namespace forms;

namespace {

class TTestForm : public TForm {
 public:
  explicit TTestForm(TComponent *owner) : TForm(owner) {
    SetClientWidth(300);
    SetClientHeight(200);
    check = new TCheckBox(this);
    check->SetParent(this);
    combo = new TComboBox(this);
    combo->SetParent(this);
    combo->Items().Assign({"None", "Odd", "Even"});
    combo->SetItemIndex(0);
    edit = new TEdit(this);
    edit->SetParent(this);
    memo = new TMemo(this);
    memo->SetParent(this);
    button = new TButton(this);
    button->SetParent(this);
  }
  TCheckBox *check;
  TComboBox *combo;
  TEdit *edit;
  TMemo *memo;
  TButton *button;
};

class FormsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui = &UseHeadless();
    Application->SetExeName("/usr/local/bin/Tessavo.bin");
    form = new TTestForm(Application);
  }
  void TearDown() override { Application->DestroyForms(); }

  const TMessageBoxRecord &OnlyBox() {
    EXPECT_EQ(ui->MessageBoxes().size(), 1u);
    return ui->MessageBoxes().back();
  }

  THeadlessBackend *ui = nullptr;
  TTestForm *form = nullptr;
};

// ---- check box, drop-down list, edit box --------------------------------------------

TEST_F(FormsTest, CheckBoxClickRunsOnEveryChangeOfStateAlsoByCode) {
  std::vector<bool> seen;
  form->check->OnClick = [&](TObject *sender) {
    EXPECT_EQ(sender, form->check);
    seen.push_back(form->check->Checked());
  };
  form->check->SetChecked(true);          // by code
  form->check->SetChecked(true);          // unchanged: no event
  EXPECT_TRUE(form->check->UserClick());  // user toggles off
  form->check->UserClick();               // and on
  EXPECT_EQ(seen, (std::vector<bool>{true, false, true}));

  form->check->SetEnabled(false);
  EXPECT_FALSE(form->check->UserClick());
  EXPECT_TRUE(form->check->Checked());
  // A disabled parent blocks the user as well, but never code.
  form->check->SetEnabled(true);
  form->SetEnabled(false);
  EXPECT_FALSE(form->check->UserClick());
  form->check->SetChecked(false);
  EXPECT_EQ(seen.size(), 4u);
}

TEST_F(FormsTest, ComboChangeRunsOnlyWhenTheUserPicks) {
  TComboBox *combo = form->combo;
  std::vector<std::string> seen;
  combo->OnChange = [&](TObject *) { seen.push_back(combo->Text()); };

  combo->SetItemIndex(2);
  EXPECT_EQ(combo->Text(), "Even");
  combo->SetText("Odd");
  EXPECT_EQ(combo->ItemIndex(), 1);
  combo->SetText("Mark");  // not in the list: selection kept
  EXPECT_EQ(combo->ItemIndex(), 1);
  EXPECT_TRUE(seen.empty());

  EXPECT_TRUE(combo->UserSelect(2));
  EXPECT_TRUE(combo->UserSelect(2));  // the same item picked again still counts
  EXPECT_FALSE(combo->UserSelect(3));
  EXPECT_EQ(seen, (std::vector<std::string>{"Even", "Even"}));

  combo->SetItemIndex(7);
  EXPECT_EQ(combo->ItemIndex(), -1);
  EXPECT_EQ(combo->Text(), "");
  combo->SetItemIndex(2);
  combo->Items().Delete(2);  // the selected item goes: nothing selected
  EXPECT_EQ(combo->ItemIndex(), -1);
  combo->SetItemIndex(1);
  combo->Items().Add("Mark");  // growing the list keeps the selection
  EXPECT_EQ(combo->Text(), "Odd");
  combo->Items().Clear();
  EXPECT_EQ(combo->ItemIndex(), -1);
  EXPECT_EQ(seen.size(), 2u);
}

TEST_F(FormsTest, EditChangeRunsOnEveryTextChange) {
  TEdit *edit = form->edit;
  std::vector<std::string> seen;
  edit->OnChange = [&](TObject *) { seen.push_back(edit->Text()); };
  edit->SetText("1000");
  edit->SetText("1000");
  edit->UserTypeKey('0');
  edit->UserTypeKey('\b');
  // Pasting the same text over itself changes nothing, as a real box reports.
  edit->SelectAll();
  edit->UserPaste("1000");
  edit->Clear();
  EXPECT_EQ(seen, (std::vector<std::string>{"1000", "10000", "1000", ""}));
}

TEST_F(FormsTest, EnterAndEscInAOneLineBoxPressTheFormsDefaultAndCancelButtons) {
  std::vector<std::string> clicks;
  TButton *cancel = new TButton(form);
  cancel->SetParent(form);
  form->button->OnClick = [&](TObject *) { clicks.push_back("default"); };
  cancel->OnClick = [&](TObject *) { clicks.push_back("cancel"); };
  form->edit->OnKeyPress = [&](TObject *, char &key) { clicks.push_back(std::string(1, key)); };
  form->edit->UserTypeKey(13);  // no default button yet: nothing
  form->button->SetDefault(true);
  cancel->SetCancel(true);
  form->edit->UserTypeKey(13);
  form->edit->UserTypeKey(27);
  form->memo->UserTypeKey(13);  // a multi-line box keeps Enter
  form->button->SetEnabled(false);
  form->edit->UserTypeKey(13);
  EXPECT_EQ(clicks, (std::vector<std::string>{"default", "cancel"}));
  EXPECT_EQ(form->memo->Text(), "\r\n");
}

TEST_F(FormsTest, KeyFilterSeesTheKeyFirstAndZeroDiscardsIt) {
  TEdit *edit = form->edit;
  std::vector<int> keys;
  int changes = 0;
  edit->OnChange = [&](TObject *) { ++changes; };
  // Digits and backspace pass; '+' becomes '-'; anything else is dropped.
  edit->OnKeyPress = [&](TObject *sender, char &key) {
    EXPECT_EQ(sender, edit);
    keys.push_back(static_cast<unsigned char>(key));
    if (key == '+') {
      key = '-';
    } else if (key != '\b' && (key < '0' || key > '9')) {
      key = 0;
    }
  };
  edit->UserTypeText("1x2+3");
  EXPECT_EQ(edit->Text(), "12-3");
  EXPECT_EQ(changes, 4);
  edit->UserTypeKey('\b');
  EXPECT_EQ(edit->Text(), "12-");
  EXPECT_EQ(keys, (std::vector<int>{'1', 'x', '2', '+', '3', 8}));

  // Pasting and code bypass the filter.
  edit->UserPaste("ab");
  EXPECT_EQ(edit->Text(), "12-ab");
  edit->SetText("zz");
  EXPECT_EQ(keys.size(), 6u);
}

TEST_F(FormsTest, EditingHappensAtTheCaretWithinTheLimits) {
  TEdit *edit = form->edit;
  edit->SetMaxLength(6);
  edit->SetText("1000");
  edit->SetSelStart(1);
  edit->UserTypeKey('5');
  EXPECT_EQ(edit->Text(), "15000");
  edit->UserPaste("789");  // only what fits
  EXPECT_EQ(edit->Text(), "157000");
  edit->UserTypeKey('1');  // full
  EXPECT_EQ(edit->Text(), "157000");
  edit->SetText("12345678");  // the limit binds the user, not code
  EXPECT_EQ(edit->Text(), "12345678");
  edit->SelectAll();
  edit->UserTypeKey('\b');
  EXPECT_EQ(edit->Text(), "");
  edit->UserTypeKey('\b');  // nothing left to delete
  edit->UserTypeKey('\r');  // one line only
  edit->UserPaste("4\r\n5");
  EXPECT_EQ(edit->Text(), "4");

  edit->SetReadOnly(true);
  edit->UserTypeKey('9');
  edit->UserPaste("9");
  EXPECT_EQ(edit->Text(), "4");
}

TEST_F(FormsTest, MemoTypingBreaksLinesWithCrLfAndBackspaceTakesWholeCharacters) {
  TMemo *memo = form->memo;
  memo->UserTypeText("AT\rOK");
  EXPECT_EQ(memo->Text(), "AT\r\nOK");
  memo->UserTypeText("\b\b\b");
  EXPECT_EQ(memo->Text(), "AT");
  memo->SetText("a\xC3\xA9");  // "aé" in UTF-8
  memo->UserTypeKey('\b');
  EXPECT_EQ(memo->Text(), "a");
  memo->UserTypeKey('\t');  // control characters insert nothing
  EXPECT_EQ(memo->Text(), "a");
}

// ---- memo lines and the log ----------------------------------------------------------

TEST_F(FormsTest, MemoLinesAddPutsEachLineOnItsOwn) {
  TMemo *memo = form->memo;
  memo->Lines().Add("Set the baud rate failed!");
  EXPECT_EQ(memo->Text(), "Set the baud rate failed!\r\n");
  memo->Lines().Add("Send Error!");
  EXPECT_EQ(memo->Text(), "Set the baud rate failed!\r\nSend Error!\r\n");

  // After received data that ends in the middle of a line, the new line
  // still starts on a line of its own.
  memo->SetText("41 42 ");
  memo->Lines().Add("Set stop bit failed!");
  EXPECT_EQ(memo->Text(), "41 42 \r\nSet stop bit failed!");
  ASSERT_EQ(memo->Lines().Count(), 2);
  EXPECT_EQ(memo->Lines()[1], "Set stop bit failed!");

  memo->SetText("a\nb\rc\r\n\r\nd");
  EXPECT_EQ(memo->Lines().ToVector(), (std::vector<std::string>{"a", "b", "c", "", "d"}));
  memo->Lines().Delete(1);
  EXPECT_EQ(memo->Text(), "a\nc\r\n\r\nd");
  memo->Lines().Insert(0, "z");
  EXPECT_EQ(memo->Lines()[0], "z");
  EXPECT_THROW(memo->Lines().Get(9), std::out_of_range);
  memo->Lines().Clear();
  EXPECT_EQ(memo->Lines().Count(), 0);
}

TEST_F(FormsTest, MemoAppendAddsAtTheEndAsItIsAndForgetsTheScroll) {
  TMemo *memo = form->memo;
  int changes = 0;
  memo->OnChange = [&](TObject *) { ++changes; };
  memo->SetText("OK");
  memo->ScrollToEnd();
  EXPECT_TRUE(memo->IsScrolledToEnd());
  memo->Append(std::string("\r\n+RSSI\0x", 9));
  EXPECT_EQ(memo->Text(), std::string("OK\r\n+RSSI\0x", 11));
  EXPECT_EQ(memo->TextLength(), 11u);
  EXPECT_FALSE(memo->IsScrolledToEnd());
  memo->Append("");
  EXPECT_EQ(changes, 2);
  memo->ScrollToEnd();
  memo->Clear();
  EXPECT_FALSE(memo->IsScrolledToEnd());
}

TEST_F(FormsTest, AMemoKeptInPiecesReadsAndEditsAsOneText) {
  TMemo *memo = form->memo;
  // Enough appends to fill several of the stored pieces.
  std::string all;
  for (int i = 0; all.size() < 3 * LogText::kChunkSize; ++i) {
    const std::string chunk = "line " + std::to_string(i) + (i % 3 == 0 ? "\r\n" : "\n");
    memo->Append(chunk);
    all += chunk;
  }
  EXPECT_EQ(memo->TextLength(), all.size());
  const std::string &text = memo->Text();
  EXPECT_EQ(text, all);
  // A reference to the text follows later appends, as a string member would.
  memo->Append("tail");
  EXPECT_EQ(text.size(), all.size() + 4);
  EXPECT_EQ(text.substr(text.size() - 4), "tail");
  EXPECT_EQ(memo->Lines().Count(), static_cast<int>(TStrings::SplitLines(all + "tail").size()));
  EXPECT_EQ(memo->Lines()[memo->Lines().Count() - 1], "tail");

  // Typing in the middle, across the border between two pieces: a
  // backspace there takes the whole character.
  memo->SetText(std::string(LogText::kChunkSize - 1, 'a') + "\xC3\xA9z");
  memo->SetSelStart(LogText::kChunkSize + 1);  // after the "é"
  memo->UserTypeKey('\b');
  EXPECT_EQ(memo->TextLength(), LogText::kChunkSize);
  EXPECT_EQ(memo->Text().substr(LogText::kChunkSize - 2), "az");
  memo->UserTypeKey('\r');
  EXPECT_EQ(memo->Text().substr(LogText::kChunkSize - 2), "a\r\nz");
  EXPECT_EQ(memo->Lines().Count(), 2);

  memo->Clear();
  EXPECT_EQ(memo->TextLength(), 0u);
  EXPECT_EQ(memo->Text(), "");
  EXPECT_EQ(memo->Lines().Count(), 0);
}

// ---- the log's find, save and timestamps -------------------------------------------------

// A view of a memo for the log's commands: rows one character a unit, no
// wrapping, and a selection.
class TestLogView : public LogViewAccess {
 public:
  explicit TestLogView(TMemo &memo) : memo_(memo), layout_(memo.Shown(), decoder_) {
    memo_.Commands().Attach(this);
  }
  ~TestLogView() override { memo_.Commands().Detach(this); }
  const LogLayout &CurrentLayout() override {
    if (stamps_ != memo_.ShowTimestamps()) {
      stamps_ = memo_.ShowTimestamps();
      layout_.Reset();
    }
    layout_.Update();
    return layout_;
  }
  std::uint64_t Anchor() const override { return anchor_; }
  std::uint64_t Caret() const override { return caret_; }
  void Select(std::uint64_t anchor, std::uint64_t caret) override {
    anchor_ = anchor;
    caret_ = caret;
  }
  void ShowCharacter(std::uint64_t pos) override { shown_ = pos; }
  std::size_t TopRow() override { return top_; }
  std::size_t PageRows() override { return 10; }
  void ScrollToRow(std::size_t row) override { top_ = row; }
  void SetClipboard(const std::u16string &text) override { clipboard_ = text; }

  // The selection as held bytes.
  std::string SelectedBytes() {
    const LogLayout &l = CurrentLayout();
    const std::uint64_t a = memo_.Shown().HeldOfShown(l.ByteOfChar(std::min(anchor_, caret_)));
    const std::uint64_t b = memo_.Shown().HeldOfShown(l.ByteOfChar(std::max(anchor_, caret_)));
    return memo_.Log().Substr(static_cast<std::size_t>(a), static_cast<std::size_t>(b - a));
  }
  std::uint64_t shown_ = 0;
  std::u16string clipboard_;

 private:
  TMemo &memo_;
  Utf8Decoder decoder_;
  LogLayout layout_;
  bool stamps_ = false;
  std::uint64_t anchor_ = 0, caret_ = 0;
  std::size_t top_ = 0;
};

std::string ReadFile(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string TempPath(const std::string &name) {
  const char *dir = std::getenv("TEMP");
  if (dir == nullptr) dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr ? dir : "/tmp") + "/tessavo-" + name;
}

TEST_F(FormsTest, FindLooksAtTheHeldBytesAcrossChunksInTextAndHexAndWraps) {
  TMemo *memo = form->memo;
  TestLogView view(*memo);
  TLogCommands &commands = memo->Commands();
  // "NEEDLE" across the border of two stored pieces and two appends.
  std::string filler;
  while (filler.size() < LogText::kChunkSize - 3) filler += "line of text\r\n";
  filler.resize(LogText::kChunkSize - 3);
  memo->Append(filler);
  memo->Append("NEE");
  memo->Append("DLE\r\n41 0D 0A \r\nOK\r\n");

  EXPECT_TRUE(commands.Find("needle", false, false, true));
  EXPECT_EQ(view.SelectedBytes(), "NEEDLE");
  EXPECT_EQ(view.CurrentLayout().ByteOfChar(view.Anchor()), LogText::kChunkSize - 3);
  EXPECT_EQ(commands.Note(), "");
  // Once more: the only match again, after passing the end.
  EXPECT_TRUE(commands.FindAgain(true));
  EXPECT_EQ(view.SelectedBytes(), "NEEDLE");
  EXPECT_EQ(commands.Note(), "Passed the end of the log; continued from the start.");
  EXPECT_TRUE(commands.FindAgain(false));
  EXPECT_EQ(commands.Note(), "Passed the start of the log; continued from the end.");
  EXPECT_TRUE(commands.HasFindForm());  // the note is shown in the find window
  EXPECT_EQ(commands.FindForm().lbNote->Caption(), commands.Note());
  EXPECT_TRUE(commands.FindForm().Visible());

  EXPECT_FALSE(commands.Find("needle", true, false, true));
  EXPECT_EQ(commands.Note(), "Cannot find \"needle\".");

  // Hex bytes find the bytes themselves and, in a hex display, their hex
  // text: the first one after the selection.
  view.Select(0, 0);
  EXPECT_TRUE(commands.Find("0d0A", false, true, true));
  EXPECT_EQ(view.SelectedBytes(), "\r\n");
  const std::uint64_t afterNeedle = view.CurrentLayout().CharOfByte(LogText::kChunkSize + 5);
  view.Select(afterNeedle, afterNeedle);
  EXPECT_TRUE(commands.Find("0D 0A", false, true, true));
  EXPECT_EQ(view.SelectedBytes(), "0D 0A");
  EXPECT_FALSE(commands.Find("0D 0", false, true, true));
  EXPECT_EQ(commands.Note(), "Hex bytes are pairs of digits, such as 0D 0A.");

  // With timestamps shown the same bytes are found and selected.
  memo->SetShowTimestamps(true);
  view.Select(0, 0);
  EXPECT_TRUE(commands.Find("NEEDLE", true, false, true));
  EXPECT_EQ(view.SelectedBytes(), "NEEDLE");
  const std::u16string selected = view.CurrentLayout().TextRange(view.Anchor(), view.Caret());
  EXPECT_EQ(selected, u"NEEDLE");
  EXPECT_EQ(view.shown_, view.Anchor());  // scrolled to the match

  // The menu's Copy and Select All act on the view.
  commands.Run(TLogCommand::Copy);
  EXPECT_EQ(view.clipboard_, u"NEEDLE");
  commands.Run(TLogCommand::SelectAll);
  EXPECT_EQ(view.Caret(), view.CurrentLayout().CharCount());
}

TEST_F(FormsTest, SaveWritesTheShownBytesAsTheyWereWhenAskedAndReportsAFailure) {
  TMemo *memo = form->memo;
  TestLogView view(*memo);
  TLogCommands &commands = memo->Commands();
  commands.SetBoxTitle("The system prompts");
  std::int64_t clock = 1000;
  memo->SetClock([&clock] { return clock; });
  // Zero bytes, bytes that are no UTF-8, all break kinds, and hex text.
  const std::string bytes("OK\r\n\0x\xFF\xC3(\rnext\nA\0", 17);
  memo->Append(bytes);
  clock += 1234;
  memo->AppendReceived("41 00 FF ", true, true);
  const std::string held = memo->Text();
  const std::string path = TempPath("save-test.log");
  std::remove(path.c_str());

  ASSERT_TRUE(commands.SaveTo(path));
  // The window goes on receiving; the file holds what was there when asked.
  memo->Append("later\r\n");
  commands.WaitForSave();
  EXPECT_FALSE(commands.Saving());
  EXPECT_EQ(commands.SaveError(), "");
  EXPECT_EQ(ReadFile(path), held);

  // Shown timestamps start each line in the file, as on screen.
  memo->SetShowTimestamps(true);
  ASSERT_TRUE(commands.SaveTo(path));
  commands.WaitForSave();
  std::string stamped;
  char stamp[LogStamps::kLength];
  const std::string all = memo->Text();
  std::size_t at = 0;
  for (std::size_t i = 0; i < memo->Stamps().Count(); ++i) {
    const std::size_t pos = static_cast<std::size_t>(memo->Stamps().PosAt(i));
    stamped += all.substr(at, pos - at);
    LogStamps::Format(memo->Stamps().TimeAt(i), stamp);
    stamped.append(stamp, sizeof stamp);
    at = pos;
  }
  stamped += all.substr(at);
  EXPECT_EQ(ReadFile(path), stamped);
  // Lines at "OK", "\0x...(", "next", "A\0" (the hex chunk continues the
  // last line), "later".
  EXPECT_EQ(memo->Stamps().Count(), 5u);
  EXPECT_EQ(memo->Stamps().TimeAt(3), 1000);
  EXPECT_EQ(memo->Stamps().TimeAt(4), 2234);
  ASSERT_TRUE(ui->MessageBoxes().empty());

  // A file that cannot be made: a box with the title, the file and the
  // system's reason; nothing is left behind.
  const std::string bad = TempPath("no-such-folder/saved.log");
  ASSERT_TRUE(commands.SaveTo(bad));
  commands.WaitForSave();
  const TMessageBoxRecord &box = OnlyBox();
  EXPECT_EQ(box.Caption, "The system prompts");
  EXPECT_NE(box.Text.find("\"" + bad + "\": "), std::string::npos) << box.Text;
  EXPECT_GT(box.Text.size(), box.Text.find(": ") + 3);
  EXPECT_EQ(box.Flags, MB_OK | MB_ICONERROR);
  EXPECT_EQ(ReadFile(path), stamped);
  std::remove(path.c_str());

  // Save Log As asks for the file with the platform's dialog; Cancel saves
  // nothing.
  std::string asked;
  ui->SaveFileAnswer = [&](std::string &) {
    asked = "asked";
    return false;
  };
  commands.Run(TLogCommand::SaveAs);
  EXPECT_EQ(asked, "asked");
  EXPECT_FALSE(commands.Saving());
}

// ---- the escaped-exception box ---------------------------------------------------------

TEST_F(FormsTest, EscapedExceptionShowsAnErrorBoxAndTheProgramGoesOn) {
  std::string message;
  int runs = 0;
  form->button->OnClick = [&](TObject *) {
    ++runs;
    throw platform::Exception(message);
  };
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Port failed", "Port failed."},
      {"Done.", "Done."},
      {"Stop!", "Stop!"},  // '!' sorts before '.'
      {"a", "a."},
      {"(-)", "(-)"},                   // ')' < '.'
      {"x/", "x/."},                    // '/' > '.'
      {"caf\xC3\xA9", "caf\xC3\xA9."},  // a byte above 0x7F sorts after '.'
      {"", ""},
  };
  for (const auto &c : cases) {
    ui->ClearMessageBoxes();
    message = c.first;
    EXPECT_TRUE(form->button->UserClick());
    const TMessageBoxRecord &box = OnlyBox();
    EXPECT_EQ(box.Text, c.second) << "message: " << c.first;
    EXPECT_EQ(box.Caption, "Tessavo");
    EXPECT_EQ(box.Flags, MB_ICONERROR | MB_OK);
  }
  EXPECT_EQ(runs, static_cast<int>(cases.size()));
}

TEST_F(FormsTest, FailedIntegerConversionInAHandlerShowsTheConversionMessage) {
  form->edit->SetText("12a");
  form->button->OnClick = [&](TObject *) { platform::StrToInt(form->edit->Text()); };
  form->button->Click();
  EXPECT_EQ(OnlyBox().Text, "'12a' is not a valid integer value.");
}

TEST_F(FormsTest, TitleIsTheFileNameCutAtTheFirstDotWithTheRestLowerCase) {
  EXPECT_EQ(TApplication::TitleFromExeName("C:\\Tools\\TESSAVO.EXE"), "Tessavo");
  EXPECT_EQ(TApplication::TitleFromExeName("/usr/bin/tessavo"), "tessavo");
  EXPECT_EQ(TApplication::TitleFromExeName("tESSAVO.v1.5.exe"), "tessavo");
  EXPECT_EQ(TApplication::TitleFromExeName("/opt/my.dir/TeSS"), "Tess");
  EXPECT_EQ(TApplication::TitleFromExeName(""), "");

  Application->SetExeName("D:\\Apps\\SERIAL-Tool.Exe");
  form->button->OnClick = [](TObject *) { throw std::runtime_error("boom"); };
  form->button->Click();
  EXPECT_EQ(OnlyBox().Caption, "Serial-tool");
}

TEST_F(FormsTest, AnExceptionInsideAnotherHandlerReachesThatHandler) {
  // Ticking the box by code raises its OnClick inside the button's handler;
  // the failure is the button handler's to catch, so no box appears.
  form->check->OnClick = [](TObject *) { throw platform::Exception("inner"); };
  std::string caught;
  form->button->OnClick = [&](TObject *) {
    try {
      form->check->SetChecked(true);
    } catch (const platform::Exception &e) {
      caught = e.Message();
    }
  };
  form->button->Click();
  EXPECT_EQ(caught, "inner");
  EXPECT_TRUE(ui->MessageBoxes().empty());
  EXPECT_TRUE(form->check->Checked());
}

TEST_F(FormsTest, AFailingKeyFilterDropsTheKeyAndAFailingCloseKeepsTheWindow) {
  form->edit->OnKeyPress = [](TObject *, char &) { throw platform::Exception("filter"); };
  form->edit->UserTypeKey('1');
  EXPECT_EQ(form->edit->Text(), "");
  EXPECT_EQ(OnlyBox().Text, "filter.");

  Application->CreateForm(form);  // a main form to close (the old one stays owned)
  form->OnClose = [](TObject *, TCloseAction &) { throw platform::Exception("close"); };
  form->Show();
  form->Close();
  EXPECT_TRUE(form->Visible());
  EXPECT_FALSE(Application->Terminated());
}

// ---- forms and the application -------------------------------------------------------

class TCreateProbe;
TCreateProbe *gProbe = nullptr;

class TCreateProbe : public TTestForm {
 public:
  explicit TCreateProbe(TComponent *owner) : TTestForm(owner) {
    seenAtConstruction = gProbe;
    OnCreate = [this](TObject *sender) {
      EXPECT_EQ(sender, this);
      // The main form is known while OnCreate runs, so boxes have an owner.
      Application->MessageBox("created", "The system prompts", MB_ICONINFORMATION);
    };
  }
  TCreateProbe *seenAtConstruction = nullptr;
};

TEST_F(FormsTest, CreateFormSetsTheReferenceFirstAndTheFirstFormBecomesMain) {
  Application->DestroyForms();
  Application->CreateForm(gProbe);
  TCreateProbe *probe = gProbe;
  EXPECT_EQ(probe->seenAtConstruction, probe);
  EXPECT_EQ(Application->MainForm(), probe);
  const TMessageBoxRecord &box = OnlyBox();
  EXPECT_EQ(box.Owner, probe);
  EXPECT_EQ(box.Flags, MB_ICONINFORMATION);

  TTestForm *second = nullptr;
  Application->CreateForm(second);
  EXPECT_EQ(Application->MainForm(), probe);

  // Closing a form that is not the main one leaves the loop running.
  second->Show();
  second->Close();
  EXPECT_FALSE(second->Visible());
  EXPECT_FALSE(Application->Terminated());

  TCloseAction answer = caNone;
  probe->OnClose = [&](TObject *, TCloseAction &action) {
    EXPECT_EQ(action, caHide);
    action = answer;
  };
  probe->Show();
  EXPECT_TRUE(probe->UserClose());
  EXPECT_TRUE(probe->Visible());
  EXPECT_FALSE(Application->Terminated());
  answer = caFree;
  probe->UserClose();
  EXPECT_FALSE(probe->Visible());
  EXPECT_TRUE(Application->Terminated());

  delete probe;
  EXPECT_EQ(Application->MainForm(), nullptr);
  gProbe = nullptr;
}

TEST_F(FormsTest, StatusBarLastPanelReachesTheRightEnd) {
  auto *bar = new TStatusBar(form);
  bar->SetParent(form);
  bar->SetBounds(0, 401, 691, 25);
  for (int width : {160, 120, 120, 50}) bar->Panels().Add().SetWidth(width);
  EXPECT_EQ(bar->PanelLeft(1), 160);
  EXPECT_EQ(bar->PanelLeft(2), 280);
  EXPECT_EQ(bar->PanelLeft(3), 400);
  EXPECT_EQ(bar->PanelShownWidth(2), 120);
  EXPECT_EQ(bar->PanelShownWidth(3), 291);
  EXPECT_EQ(bar->PanelShownWidth(4), 0);
}

TEST_F(FormsTest, DestroyingAParentDestroysItsControls) {
  auto *panel = new TPanel(form);
  panel->SetParent(form);
  auto *inner = new TButton(form);
  inner->SetParent(panel);
  EXPECT_EQ(panel->ControlCount(), 1);
  EXPECT_EQ(inner->ParentForm(), form);
  inner->SetParent(form);  // moves
  EXPECT_EQ(panel->ControlCount(), 0);
  inner->SetParent(panel);
  const int before = form->ControlCount();
  delete panel;  // takes `inner` with it; the form (its owner) forgets both
  EXPECT_EQ(form->ControlCount(), before - 1);
}

// ---- the main thread's queue -------------------------------------------------------------

TEST_F(FormsTest, ProcessMessagesDispatchesPostedMessagesAndSynchronizeRequests) {
  Application->Initialize();
  platform::OsApi &api = Application->Api();
  std::vector<UINT> got;
  HWND wnd = api.AllocateHWnd([&](HWND w, UINT msg, WPARAM wp, LPARAM lp) -> LRESULT {
    got.push_back(msg);
    if (msg == WM_USER + 7) {
      // Window procedures hand escaped exceptions to the application.
      try {
        throw platform::Exception("From the queue");
      } catch (...) {
        platform::HandleEscapedException();
      }
    }
    return api.DefWindowProcA(w, msg, wp, lp);
  });
  ASSERT_NE(wnd, nullptr);

  struct Syncer : platform::TThread {
    explicit Syncer(HWND w) : platform::TThread(true), wnd(w) {}
    ~Syncer() override { ReleaseThread(); }
    void Execute() override {
      Api().PostMessageA(wnd, WM_USER + 1, 0, 0);
      Api().PostMessageA(wnd, WM_USER + 7, 0, 0);
      Synchronize([this] { ranOnMain = platform::IsMainThread(); });
    }
    HWND wnd;
    bool ranOnMain = false;
  };
  Syncer thread(wnd);
  thread.Resume();
  // WaitFor on the main thread runs the Synchronize request itself; the
  // posted messages wait for the pump.
  thread.WaitFor();
  EXPECT_TRUE(thread.ranOnMain);
  Application->ProcessMessages();
  EXPECT_EQ(got, (std::vector<UINT>{WM_USER + 1, WM_USER + 7}));
  EXPECT_EQ(OnlyBox().Text, "From the queue.");
  api.DeallocateHWnd(wnd);
}

TEST_F(FormsTest, ProcessMessagesTakesWhatWasPendingWhenItBeganNestedCallsIncluded) {
  Application->Initialize();
  platform::OsApi &api = Application->Api();
  std::vector<UINT> got;
  int flood = 0;
  bool flooding = true;
  HWND wnd = nullptr;
  wnd = api.AllocateHWnd([&](HWND w, UINT msg, WPARAM wp, LPARAM lp) -> LRESULT {
    if (msg == WM_USER + 3) {
      // Each message of a flood brings the next: the queue is never empty.
      if (++flood < 1000 && flooding) api.PostMessageA(wnd, WM_USER + 3, 0, 0);
      return 0;
    }
    got.push_back(msg);
    if (msg == WM_USER + 4) {
      api.PostMessageA(wnd, WM_USER + 5, 0, 0);
      Application->ProcessMessages();  // a handler that pumps
    }
    if (msg == WM_USER + 5) api.PostMessageA(wnd, WM_USER + 7, 0, 0);
    return api.DefWindowProcA(w, msg, wp, lp);
  });
  ASSERT_NE(wnd, nullptr);

  api.PostMessageA(wnd, WM_USER + 3, 0, 0);
  Application->ProcessMessages();
  EXPECT_EQ(flood, 1);
  Application->ProcessMessages();
  EXPECT_EQ(flood, 2);
  flooding = false;
  Application->ProcessMessages();
  Application->ProcessMessages();
  EXPECT_EQ(flood, 3);

  // The nested call takes what waited when it began, the outer call's
  // marker included; the outer call then has nothing left of its own.
  api.PostMessageA(wnd, WM_USER + 4, 0, 0);
  api.PostMessageA(wnd, WM_USER + 6, 0, 0);
  Application->ProcessMessages();
  EXPECT_EQ(got, (std::vector<UINT>{WM_USER + 4, WM_USER + 6, WM_USER + 5}));
  Application->ProcessMessages();
  EXPECT_EQ(got.back(), WM_USER + 7u);
  EXPECT_EQ(got.size(), 4u);
  api.DeallocateHWnd(wnd);
}

TEST_F(FormsTest, RunLoopsUntilAMessageClosesTheMainForm) {
  Application->Initialize();
  Application->DestroyForms();
  TTestForm *main = nullptr;
  Application->CreateForm(main);
  platform::OsApi &api = Application->Api();
  int dispatched = 0;
  HWND wnd = api.AllocateHWnd([&](HWND w, UINT msg, WPARAM wp, LPARAM lp) -> LRESULT {
    if (msg == WM_USER + 2 && ++dispatched == 3) main->Close();
    return api.DefWindowProcA(w, msg, wp, lp);
  });
  // Another thread posts while the loop sleeps on the queue.
  std::thread poster([&] {
    for (int i = 0; i < 3; ++i) {
      api.Sleep(5);
      api.PostMessageA(wnd, WM_USER + 2, 0, 0);
    }
  });
  Application->Run();
  poster.join();
  EXPECT_EQ(dispatched, 3);
  EXPECT_TRUE(Application->Terminated());
  EXPECT_FALSE(main->Visible());
  api.DeallocateHWnd(wnd);
}

}  // namespace
