// What a backend provides: a peer per control that mirrors the model into a
// real widget, modal message boxes, and its share of the main loop. The
// interface knows no toolkit, so Qt, Win32 and the headless backend all fit.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "forms/controls.h"

namespace forms {

// Mirrors one control. The peer reads the model's state itself when told
// what changed; it never raises model events for changes the model made.
class TControlPeer {
 public:
  virtual ~TControlPeer() = default;
  virtual void Changed(TChange what) = 0;
  // A memo's text grew at its end by `added` (already in the model).
  virtual void TextAppended(std::string_view added) {
    (void)added;
    Changed(TChange::Text);
  }
  // A memo asks to show the end of its text.
  virtual void ScrollToEnd() {}
};

class TBackend {
 public:
  virtual ~TBackend() = default;

  // A peer for `control`, whose parent (if any) already has its peer. May
  // return null: the control is then kept in the model only.
  virtual std::unique_ptr<TControlPeer> CreatePeer(TControl &control) = 0;

  // A modal box owned by `owner` (may be null). Returns the button pressed
  // (IDOK for an OK box).
  virtual int MessageBox(TForm *owner, const std::string &text, const std::string &caption,
                         unsigned flags) = 0;

  // Handles the backend's own pending events without waiting.
  virtual void ProcessEvents() = 0;
  // Runs the main loop until TApplication::Terminate; the default pumps the
  // application and waits on the main thread's message queue.
  virtual void Run();
  // Called by TApplication::Terminate so a running loop can end.
  virtual void Quit() {}
  // Sees each message of the main thread's queue before it is translated
  // and dispatched; true when the backend has handled it (keyboard
  // navigation of a native window).
  virtual bool PreTranslateMessage(MSG &msg) {
    (void)msg;
    return false;
  }

  // Asks the user for a file to save to with the platform's own dialog
  // (which asks before an existing file is replaced). False when the user
  // cancels.
  virtual bool ChooseSaveFile(TForm *owner, const std::string &title, std::string &path) {
    (void)owner;
    (void)title;
    (void)path;
    return false;
  }

  // Writes a picture of the form to a PNG file; false when the backend
  // cannot (the headless one draws nothing).
  virtual bool SaveScreenshot(TForm &form, const std::string &path) {
    (void)form;
    (void)path;
    return false;
  }
};

}  // namespace forms
