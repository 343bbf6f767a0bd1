// The log's own commands, the same on every backend: its context menu and
// keys (Copy, Select All, Find, Find Next/Previous, Save Log As, Show
// Timestamps), keyboard selection as in a read-only edit box, the find
// window, and saving. None of it changes the window or what the log shows
// until the user asks.
//
// A backend's view of the log registers itself (LogViewAccess) and routes
// the user's menu picks and keys here; the commands act on the view's
// selection and rows.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "forms/controls.h"
#include "forms/log_find.h"
#include "forms/log_layout.h"

namespace platform {
class TThread;
}

namespace forms {

// What the commands need of a view. Positions are the view's characters.
class LogViewAccess {
 public:
  virtual ~LogViewAccess() = default;
  // The rows as laid out for everything the memo holds now.
  virtual const LogLayout &CurrentLayout() = 0;
  virtual std::uint64_t Anchor() const = 0;
  virtual std::uint64_t Caret() const = 0;
  virtual void Select(std::uint64_t anchor, std::uint64_t caret) = 0;
  // Scrolls as little as needed to show character `pos`.
  virtual void ShowCharacter(std::uint64_t pos) = 0;
  virtual std::size_t TopRow() = 0;
  virtual std::size_t PageRows() = 0;
  virtual void ScrollToRow(std::size_t row) = 0;
  virtual void SetClipboard(const std::u16string &text) = 0;
};

// Keys, as Windows numbers them.
enum TLogKey : unsigned {
  kLogKeyPrior = 0x21,
  kLogKeyNext = 0x22,
  kLogKeyEnd = 0x23,
  kLogKeyHome = 0x24,
  kLogKeyLeft = 0x25,
  kLogKeyUp = 0x26,
  kLogKeyRight = 0x27,
  kLogKeyDown = 0x28,
  kLogKeyA = 'A',
  kLogKeyC = 'C',
  kLogKeyF = 'F',
  kLogKeyS = 'S',
  kLogKeyF3 = 0x72,
};

enum class TLogCommand {
  None,
  Copy,
  SelectAll,
  Find,
  FindNext,
  FindPrevious,
  SaveAs,
  ShowTimestamps,
};

struct TLogMenuItem {
  TLogCommand command = TLogCommand::None;  // None: a separator
  std::string text;                         // "&" marks the access key
  std::string shortcut;                     // as shown beside it
  bool enabled = true;
  bool checked = false;
};

class TLogFindForm;

// Writes the shown text of a snapshot in place of `path` (a new file beside
// it, renamed over it once whole). False with the system's reason on failure;
// the file that was there stays as it was.
bool WriteLogFile(const StampedSnapshot &snapshot, const std::string &path, std::string &reason);

class TLogCommands {
 public:
  explicit TLogCommands(TMemo &memo);
  ~TLogCommands();

  void Attach(LogViewAccess *view) { view_ = view; }
  void Detach(LogViewAccess *view) {
    if (view_ == view) view_ = nullptr;
  }

  // The title of the boxes the commands show (a failed save).
  void SetBoxTitle(const std::string &title) { boxTitle_ = title; }

  std::vector<TLogMenuItem> MenuItems();
  // Runs a command as the user's action.
  void Run(TLogCommand command);
  // A key pressed in the log; true when it was the log's.
  bool Key(unsigned key, bool shift, bool ctrl);

  // ---- find -------------------------------------------------------------
  // Searches from the selection in either direction, wrapping at the ends.
  // Returns false when nothing matches; Note() then says so (or that the
  // search wrapped).
  bool Find(const std::string &text, bool matchCase, bool hex, bool forward);
  bool FindAgain(bool forward);
  const std::string &Note() const { return note_; }
  // The find window, made on first use (for tests and the backends).
  TLogFindForm &FindForm();
  bool HasFindForm() const { return findForm_ != nullptr; }

  // ---- save -------------------------------------------------------------
  // Saves what the log shows now to `path` on a thread of its own; the
  // window goes on receiving meanwhile. A failure shows a box naming the
  // file and the system's reason. Returns false when a save is running.
  bool SaveTo(const std::string &path);
  // Asks for a file with the platform's dialog, then saves.
  void SaveAs();
  bool Saving() const;
  // Waits for a running save (tests; leaving the window).
  void WaitForSave();
  // The last save's failure text, empty after a success.
  const std::string &SaveError() const { return saveError_; }

 private:
  class SaveThread;
  LogViewAccess *View() { return view_; }
  void MoveCaret(unsigned key, bool shift, bool ctrl);
  void SaveFinished(const std::string &path, const std::string &reason);

  TMemo &memo_;
  LogViewAccess *view_ = nullptr;
  std::string boxTitle_;
  LogFinder finder_;
  std::string query_;
  bool matchCase_ = false, hex_ = false;
  std::string note_;
  std::unique_ptr<TLogFindForm> findForm_;
  std::unique_ptr<SaveThread> save_;
  std::string saveError_;
};

// The small find window: the text, match case and hex bytes; Find Next,
// Find Previous and Close; and a line for the note.
class TLogFindForm : public TForm {
 public:
  TLogFindForm(TLogCommands &commands, const TFont &font);

  TLabel *lbFind;
  TEdit *edtFind;
  TCheckBox *cbMatchCase;
  TCheckBox *cbHex;
  TButton *btnNext;
  TButton *btnPrevious;
  TButton *btnClose;
  TLabel *lbNote;

  void ShowNote(const std::string &note) { lbNote->SetCaption(note); }

 private:
  void Search(bool forward);
  TLogCommands &commands_;
};

}  // namespace forms
