#include "forms/log_commands.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "forms/application.h"
#include "forms/backend.h"
#include "forms/sys/files.h"
#include "platform/thread.h"

namespace forms {

// ---- writing a log file -----------------------------------------------------------

bool WriteLogFile(const StampedSnapshot &snapshot, const std::string &path, std::string &reason) {
  std::unique_ptr<sys::ReplacingFile> file = sys::CreateReplacingFile(path, reason);
  if (!file) return false;
  bool ok = true;
  if (snapshot.marks.empty()) {
    // The held chunks as they are, no copy, in as few calls as the system takes.
    std::vector<std::string_view> pieces;
    for (std::size_t pos = 0; pos < snapshot.text.size;) {
      pieces.push_back(snapshot.text.PieceAt(pos));
      pos += pieces.back().size();
    }
    ok = file->WritePieces(pieces.data(), pieces.size());
  } else {
    // Lines and their stamps are small: gathered into large writes.
    std::vector<char> buffer;
    buffer.reserve(1u << 20);
    ForEachShownPiece(snapshot, [&](std::string_view piece) {
      if (!ok) return;
      if (buffer.size() + piece.size() > buffer.capacity()) {
        ok = file->Write(buffer.data(), buffer.size());
        buffer.clear();
      }
      if (piece.size() >= buffer.capacity()) {
        ok = ok && file->Write(piece.data(), piece.size());
      } else {
        buffer.insert(buffer.end(), piece.begin(), piece.end());
      }
    });
    if (ok && !buffer.empty()) ok = file->Write(buffer.data(), buffer.size());
  }
  if (ok) ok = file->Commit();
  if (!ok) reason = file->Reason();
  return ok;
}

class TLogCommands::SaveThread : public platform::TThread {
 public:
  SaveThread(TLogCommands &owner, StampedSnapshot snapshot, std::string path)
      : TThread(true), owner_(owner), snapshot_(std::move(snapshot)), path_(std::move(path)) {}
  ~SaveThread() override {
    abandoned_ = true;
    ReleaseThread();
  }
  void Abandon() { abandoned_ = true; }
  bool Reported() const { return reported_; }

 protected:
  void Execute() override {
    std::string reason;
    const bool ok = WriteLogFile(snapshot_, path_, reason);
    // The snapshot's chunks go now, not when the next save starts.
    snapshot_ = StampedSnapshot();
    if (!abandoned_) {
      Synchronize([this, ok, &reason] {
        if (!abandoned_) owner_.SaveFinished(path_, ok ? std::string() : reason);
      });
    }
    reported_ = true;
  }

 private:
  TLogCommands &owner_;
  StampedSnapshot snapshot_;
  std::string path_;
  std::atomic<bool> abandoned_{false};
  std::atomic<bool> reported_{false};
};

// ---- commands ---------------------------------------------------------------------------

TLogCommands::TLogCommands(TMemo &memo) : memo_(memo) {}

TLogCommands::~TLogCommands() {
  if (save_) save_->Abandon();
  save_.reset();
  findForm_.reset();
}

std::vector<TLogMenuItem> TLogCommands::MenuItems() {
  bool selection = false;
  bool any = memo_.TextLength() > 0;
  if (LogViewAccess *view = View()) selection = view->Anchor() != view->Caret();
  return {
      {TLogCommand::Copy, "&Copy", "Ctrl+C", selection, false},
      {TLogCommand::SelectAll, "Select &All", "Ctrl+A", any, false},
      {TLogCommand::None, "", "", true, false},
      {TLogCommand::Find, "&Find...", "Ctrl+F", true, false},
      {TLogCommand::FindNext, "Find &Next", "F3", true, false},
      {TLogCommand::FindPrevious, "Find &Previous", "Shift+F3", true, false},
      {TLogCommand::SaveAs, "&Save Log As...", "Ctrl+S", !Saving(), false},
      {TLogCommand::ShowTimestamps, "Show &Timestamps", "", true, memo_.ShowTimestamps()},
  };
}

void TLogCommands::Run(TLogCommand command) {
  Application->UserInput([this, command] {
    LogViewAccess *view = View();
    switch (command) {
      case TLogCommand::Copy:
        if (view != nullptr && view->Anchor() != view->Caret()) {
          const std::uint64_t a = std::min(view->Anchor(), view->Caret());
          const std::uint64_t b = std::max(view->Anchor(), view->Caret());
          view->SetClipboard(view->CurrentLayout().TextRange(a, b));
        }
        break;
      case TLogCommand::SelectAll:
        if (view != nullptr) view->Select(0, view->CurrentLayout().CharCount());
        break;
      case TLogCommand::Find: {
        TLogFindForm &form = FindForm();
        form.ShowNote(std::string());
        form.Show();
        break;
      }
      case TLogCommand::FindNext:
        FindAgain(true);
        break;
      case TLogCommand::FindPrevious:
        FindAgain(false);
        break;
      case TLogCommand::SaveAs:
        SaveAs();
        break;
      case TLogCommand::ShowTimestamps:
        memo_.SetShowTimestamps(!memo_.ShowTimestamps());
        break;
      case TLogCommand::None:
        break;
    }
  });
}

bool TLogCommands::Key(unsigned key, bool shift, bool ctrl) {
  if (ctrl && !shift) {
    switch (key) {
      case kLogKeyC:
        Run(TLogCommand::Copy);
        return true;
      case kLogKeyA:
        Run(TLogCommand::SelectAll);
        return true;
      case kLogKeyF:
        Run(TLogCommand::Find);
        return true;
      case kLogKeyS:
        Run(TLogCommand::SaveAs);
        return true;
      default:
        break;
    }
  }
  if (key == kLogKeyF3 && !ctrl) {
    Run(shift ? TLogCommand::FindPrevious : TLogCommand::FindNext);
    return true;
  }
  switch (key) {
    case kLogKeyLeft:
    case kLogKeyRight:
    case kLogKeyUp:
    case kLogKeyDown:
    case kLogKeyPrior:
    case kLogKeyNext:
    case kLogKeyHome:
    case kLogKeyEnd:
      MoveCaret(key, shift, ctrl);
      return true;
    default:
      return false;
  }
}

void TLogCommands::MoveCaret(unsigned key, bool shift, bool ctrl) {
  LogViewAccess *view = View();
  if (view == nullptr) return;
  const LogLayout &layout = view->CurrentLayout();
  const std::uint64_t chars = layout.CharCount();
  const std::uint64_t anchor = std::min(view->Anchor(), chars);
  std::uint64_t caret = std::min(view->Caret(), chars);
  const bool selection = anchor != caret;
  const std::size_t row = layout.RowOfChar(caret);
  auto surrogatePair = [&layout](std::uint64_t from) {
    const std::u16string two = layout.TextRange(from, from + 2);
    return two.size() == 2 && two[0] >= 0xD800 && two[0] < 0xDC00;
  };
  auto toRow = [&](long long target) {
    const long long last = static_cast<long long>(layout.RowCount()) - 1;
    const std::size_t r = static_cast<std::size_t>(std::clamp(target, 0LL, last));
    return layout.CharAtX(r, layout.XOfChar(caret));
  };
  switch (key) {
    case kLogKeyLeft:
      if (!shift && selection) {
        caret = std::min(anchor, caret);
      } else if (caret > 0) {
        caret -= caret >= 2 && surrogatePair(caret - 2) ? 2 : 1;
      }
      break;
    case kLogKeyRight:
      if (!shift && selection) {
        caret = std::max(anchor, caret);
      } else if (caret < chars) {
        caret += surrogatePair(caret) ? 2 : 1;
      }
      break;
    case kLogKeyUp:
      caret = toRow(static_cast<long long>(row) - 1);
      break;
    case kLogKeyDown:
      caret = toRow(static_cast<long long>(row) + 1);
      break;
    case kLogKeyPrior:
    case kLogKeyNext: {
      // A page of rows: the view scrolls by a page and the caret keeps its
      // place on screen.
      const long long page = static_cast<long long>(std::max<std::size_t>(1, view->PageRows()));
      const long long step = key == kLogKeyNext ? page : -page;
      const long long top = static_cast<long long>(view->TopRow()) + step;
      view->ScrollToRow(static_cast<std::size_t>(std::max(0LL, top)));
      caret = toRow(static_cast<long long>(row) + step);
      break;
    }
    case kLogKeyHome:
      caret = ctrl ? 0 : layout.RowAt(row).charStart;
      break;
    case kLogKeyEnd:
      if (ctrl) {
        caret = chars;
      } else {
        const LogLayout::Row r = layout.RowAt(row);
        caret = r.endsLine ? r.charEnd - 1 : r.charEnd;
      }
      break;
    default:
      return;
  }
  view->Select(shift ? anchor : caret, caret);
  view->ShowCharacter(caret);
}

// ---- find -------------------------------------------------------------------------------

bool TLogCommands::Find(const std::string &text, bool matchCase, bool hex, bool forward) {
  query_ = text;
  matchCase_ = matchCase;
  hex_ = hex;
  note_.clear();
  bool ok = finder_.SetQuery(text, matchCase, hex);
  if (!ok) {
    note_ = hex ? "Hex bytes are pairs of digits, such as 0D 0A." : "Type what to find.";
  } else {
    const LogText &held = memo_.Log();
    const StampedLog &shown = memo_.Shown();
    const std::size_t size = held.Size();
    LogViewAccess *view = View();
    std::uint64_t selFrom = 0, selTo = 0;
    const LogLayout *layout = nullptr;
    if (view != nullptr) {
      layout = &view->CurrentLayout();
      const std::uint64_t a = std::min(view->Anchor(), view->Caret());
      const std::uint64_t b = std::max(view->Anchor(), view->Caret());
      selFrom = shown.HeldOfShown(layout->ByteOfChar(a));
      selTo = a == b ? selFrom : shown.HeldOfShown(layout->ByteOfChar(b));
    }
    LogMatch m;
    if (forward) {
      m = finder_.Forward(held, static_cast<std::size_t>(selTo), size);
      if (!m.found) {
        m = finder_.Forward(held, 0, size);
        if (m.found) note_ = "Passed the end of the log; continued from the start.";
      }
    } else {
      m = finder_.Backward(held, 0, static_cast<std::size_t>(selFrom));
      if (!m.found) {
        m = finder_.Backward(held, 0, size);
        if (m.found) note_ = "Passed the start of the log; continued from the end.";
      }
    }
    if (!m.found) {
      note_ = "Cannot find \"" + text + "\".";
      ok = false;
    } else if (view != nullptr) {
      const std::uint64_t from = layout->CharOfByte(shown.ShownOfHeld(m.pos));
      const std::uint64_t to = layout->CharOfByte(shown.ShownOfHeld(m.pos + m.length - 1) + 1);
      view->ShowCharacter(to);
      view->ShowCharacter(from);
      view->Select(from, to);
    }
  }
  if (findForm_) {
    findForm_->ShowNote(note_);
    // A note nobody can see helps no one: F3 that wraps or fails shows it.
    if (!note_.empty() && !findForm_->Visible()) findForm_->Show();
  } else if (!note_.empty()) {
    FindForm().ShowNote(note_);
    findForm_->Show();
  }
  return ok;
}

bool TLogCommands::FindAgain(bool forward) {
  if (query_.empty()) {
    TLogFindForm &form = FindForm();
    form.ShowNote(std::string());
    form.Show();
    return false;
  }
  return Find(query_, matchCase_, hex_, forward);
}

TLogFindForm &TLogCommands::FindForm() {
  if (!findForm_) {
    TForm *owner = memo_.ParentForm();
    findForm_ = std::make_unique<TLogFindForm>(*this, owner != nullptr ? owner->Font() : TFont{});
    findForm_->edtFind->SetText(query_);
    findForm_->cbMatchCase->SetChecked(matchCase_);
    findForm_->cbHex->SetChecked(hex_);
  }
  return *findForm_;
}

// ---- save -------------------------------------------------------------------------------

bool TLogCommands::Saving() const { return save_ && !save_->Reported(); }

bool TLogCommands::SaveTo(const std::string &path) {
  if (Saving()) return false;
  save_.reset();
  save_ = std::make_unique<SaveThread>(*this, memo_.Shown().Snapshot(), path);
  save_->Resume();
  return true;
}

void TLogCommands::SaveAs() {
  if (Saving()) return;
  // What the log holds now is what goes into the file, however long the
  // user takes to pick one.
  StampedSnapshot snapshot = memo_.Shown().Snapshot();
  std::string path;
  if (!Application->Backend().ChooseSaveFile(memo_.ParentForm(), "Save Log As", path) ||
      path.empty()) {
    return;
  }
  save_.reset();
  save_ = std::make_unique<SaveThread>(*this, std::move(snapshot), path);
  save_->Resume();
}

void TLogCommands::WaitForSave() {
  if (save_) save_->WaitFor();
}

void TLogCommands::SaveFinished(const std::string &path, const std::string &reason) {
  saveError_.clear();
  if (reason.empty()) return;
  saveError_ = "Cannot save the log to \"" + path + "\": " + reason;
  if (saveError_.back() != '.') saveError_ += '.';
  Application->Backend().MessageBox(memo_.ParentForm(), saveError_,
                                    boxTitle_.empty() ? std::string("Save Log As") : boxTitle_,
                                    MB_OK | MB_ICONERROR);
}

// ---- the find window ------------------------------------------------------------------------

namespace {

template <class T>
T *Put(TForm *form, int left, int top, int width, int height, int tab = -1) {
  T *control = new T(form);
  control->SetParent(form);
  control->SetBounds(left, top, width, height);
  if constexpr (std::is_base_of_v<TWinControl, T>) {
    if (tab >= 0) control->SetTabOrder(tab);
  }
  return control;
}

}  // namespace

TLogFindForm::TLogFindForm(TLogCommands &commands, const TFont &font)
    : TForm(nullptr), commands_(commands) {
  SetName("frmLogFind");
  SetCaption("Find");
  SetClientWidth(332);
  SetClientHeight(100);
  SetBorderStyle(bsDialog);
  SetBorderIcons(biSystemMenu);
  SetPosition(poMainFormCenter);
  SetFont(font);
  lbFind = Put<TLabel>(this, 8, 12, 52, 13);
  lbFind->SetCaption("Find what:");
  edtFind = Put<TEdit>(this, 64, 8, 170, 21, 0);
  cbMatchCase = Put<TCheckBox>(this, 8, 38, 120, 17, 1);
  cbMatchCase->SetCaption("Match &case");
  cbHex = Put<TCheckBox>(this, 8, 58, 120, 17, 2);
  cbHex->SetCaption("&Hex bytes");
  btnNext = Put<TButton>(this, 244, 6, 80, 25, 3);
  btnNext->SetCaption("Find &Next");
  btnPrevious = Put<TButton>(this, 244, 36, 80, 25, 4);
  btnPrevious->SetCaption("Find &Previous");
  btnClose = Put<TButton>(this, 244, 66, 80, 25, 5);
  btnClose->SetCaption("Close");
  lbNote = Put<TLabel>(this, 8, 80, 230, 13);
  lbNote->SetCaption("");
  btnNext->OnClick = [this](TObject *) { Search(true); };
  btnPrevious->OnClick = [this](TObject *) { Search(false); };
  btnClose->OnClick = [this](TObject *) { Hide(); };
  // Enter finds the next match, Esc closes the window.
  btnNext->SetDefault(true);
  btnClose->SetCancel(true);
}

void TLogFindForm::Search(bool forward) {
  commands_.Find(edtFind->Text(), cbMatchCase->Checked(), cbHex->Checked(), forward);
}

}  // namespace forms
