// The native Win32 backend (Windows): each control becomes the standard
// Windows control of its kind at its exact position (BUTTON, COMBOBOX,
// EDIT, STATIC, the common-controls status bar), containers are windows of
// their own so the dialog manager walks into them (WS_EX_CONTROLPARENT), and
// the read-only log is the log view of log_view.h. User actions on the
// controls come back as the model's events; changes made by code reach the
// controls without raising any. The main loop is the thread's message loop:
// engine notifications, Synchronize requests and input all arrive there.
#pragma once

#include <map>
#include <string>
#include <utility>

#include "forms/application.h"

namespace forms::win32 {

class TWin32Backend : public TBackend {
 public:
  TWin32Backend();
  ~TWin32Backend() override;

  std::unique_ptr<TControlPeer> CreatePeer(TControl &control) override;
  // MessageBoxA owned by the form's window (when it has one).
  int MessageBox(TForm *owner, const std::string &text, const std::string &caption,
                 unsigned flags) override;
  // Input and painting that wait behind the posted messages: the thread's
  // queue hands out posted messages first, and ProcessMessages stops at the
  // end of those that were pending, so input would otherwise wait for the
  // main loop.
  void ProcessEvents() override;
  // GetMessage, the dialog manager, TranslateMessage, DispatchMessage.
  void Run() override;
  // Tab, Shift+Tab, Enter on a button and the "&" accelerators of the
  // window that the message is for.
  bool PreTranslateMessage(MSG &msg) override;
  // A picture of the form's window as drawn now (PNG).
  bool SaveScreenshot(TForm &form, const std::string &path) override;
  bool ChooseSaveFile(TForm *owner, const std::string &title, std::string &path) override;

  // The GDI font for a model font (owned by the backend).
  HFONT FontFor(const TFont &font);

 private:
  std::map<std::pair<std::string, int>, HFONT> fonts_;
};

// Installs the Win32 backend in Application and returns it.
TWin32Backend &UseWin32();

// The window that shows `control` (its form's windows are created first if
// they do not exist yet); null when the Win32 backend is not in use.
HWND HandleOf(TControl *control);

// The control a window shows, or null.
TControl *ControlOf(HWND hwnd);

}  // namespace forms::win32
