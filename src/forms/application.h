// TApplication: the message loop, modal message boxes, and the handler for
// exceptions that escape an event handler. One global instance, `Application`.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "forms/backend.h"
#include "forms/controls.h"
#include "platform/osapi.h"  // brings <windows.h> on Windows, so MB_* and
                             // MessageBox mean the same in every unit

namespace forms {

// Message box kinds and answers (Windows has them from <windows.h>).
#ifndef MB_OK
inline constexpr unsigned MB_OK = 0x00;
inline constexpr unsigned MB_ICONERROR = 0x10;
inline constexpr unsigned MB_ICONINFORMATION = 0x40;
inline constexpr int IDOK = 1;
#endif

class TApplication : public TComponent {
 public:
  TApplication();
  ~TApplication() override;

  // Makes the calling thread the main thread and reads the title from the
  // executable's name.
  void Initialize();

  // Creates a form owned by the application: `ref` points at it before its
  // constructor runs, the first form becomes the main form, then its
  // OnCreate runs.
  template <class T>
  void CreateForm(T *&ref) {
    void *mem = ::operator new(sizeof(T));
    ref = static_cast<T *>(mem);
    try {
      new (mem) T(this);
    } catch (...) {
      ::operator delete(mem);
      ref = nullptr;
      throw;
    }
    FormCreated(ref);
  }

  // Shows the main form and runs the loop until it closes (or Terminate).
  void Run();
  // Handles everything pending now: the messages of the main thread's queue
  // that were there when it began (engine notifications, thread messages;
  // not those that arrive meanwhile), Synchronize requests and the backend's
  // events. Never waits.
  void ProcessMessages();
  // Dispatches up to `limit` messages of the main thread's queue, then the
  // waiting Synchronize requests; returns the number of messages. Backends
  // whose loop wakes on the queue call it.
  int DispatchQueuedMessages(int limit);
  void Terminate();
  bool Terminated() const { return terminated_; }

  TForm *MainForm() const { return mainForm_; }

  // The executable's file name without its directory, cut at its first
  // ".", every character after the first in lower case.
  const std::string &Title() const { return title_; }
  void SetTitle(const std::string &title) { title_ = title; }
  const std::string &ExeName() const { return exeName_; }
  // Sets the executable path (tests; Initialize reads the real one) and the
  // title made from it.
  void SetExeName(const std::string &path);
  static std::string TitleFromExeName(const std::string &path);

  // The program's icon, for the window and the desktop.
  const TPicture &Icon() const { return icon_; }
  void SetIcon(const TPicture &icon) { icon_ = icon; }

  // A modal box owned by the main form.
  int MessageBox(const std::string &text, const std::string &caption, unsigned flags = MB_OK);

  // Runs an event handler. At the outermost level an escaping exception is
  // handed to HandleException and the program goes on; inside another
  // handler it propagates to that handler's caller, as a nested call would.
  // Returns false when the handler ended by an exception.
  bool DispatchEvent(const std::function<void()> &handler);
  // Runs a real user action (a backend's input callback) as the outermost
  // event, whatever is running below it on the stack.
  bool UserInput(const std::function<void()> &action);
  // Shows the exception's message in an error box titled Title(); a full
  // stop is added when the last byte sorts after ".".
  void HandleException(const std::exception &e);
  // Any exception object; others than std::exception show a fixed text.
  void HandleException(std::exception_ptr error);
  void ShowException(const std::string &message);
  static std::string ExceptionBoxText(const std::string &message);

  TBackend &Backend();
  // Replaces the backend; widgets of existing forms are dropped (recreated
  // on the new one when shown).
  void SetBackend(std::unique_ptr<TBackend> backend);
  platform::OsApi &Api() const;
  void SetApi(platform::OsApi &api) { api_ = &api; }

  // Deletes every form the application owns, the last created first.
  void DestroyForms();

  // True while an event handler runs on the main thread: a model event
  // (OnClick, OnChange, OnKeyPress, OnClose, ...) or a Synchronize request,
  // however deeply nested.
  bool HandlerRunning() const { return handlerDepth_ > 0; }
  // A user's close of `form` that arrived while a handler runs (inside its
  // message pump). It is honoured once every handler on the stack has
  // returned, from the main loop, and only once however often it arrived.
  void DeferClose(TForm *form);

  // ---- for the model ----------------------------------------------------
  void FormConstructed(TForm *form);
  void FormDestroying(TForm *form);
  void MainFormClosed();

 private:
  void FormCreated(TForm *form);
  bool DispatchGuarded(const std::function<void()> &handler);
  // Counts a running handler; the last one to return hands the deferred
  // closes to the main loop.
  class THandlerScope;
  void PostDeferredCloses();
  void RunDeferredCloses();
  // The application's hidden window on the main thread's queue (deferred
  // closes, ProcessMessages' markers); made on first use.
  HWND OwnWindow();
  // As the public one; with a marker, stops once that marker was dispatched.
  int DispatchQueuedMessages(int limit, WPARAM marker);

  std::unique_ptr<TBackend> backend_;
  platform::OsApi *api_ = nullptr;  // DefaultOsApi() until set
  std::vector<TForm *> forms_;
  TForm *mainForm_ = nullptr;
  bool terminated_ = false;
  int dispatchDepth_ = 0;
  int handlerDepth_ = 0;
  std::vector<TForm *> deferredCloses_;
  HWND ownWindow_ = nullptr;
  bool deferPosted_ = false;
  WPARAM markersPosted_ = 0;
  WPARAM markerReached_ = 0;
  std::string exeName_;
  std::string title_;
  TPicture icon_;
};

extern TApplication *Application;

// A picture of the form as the backend draws it, written as PNG.
bool SaveScreenshot(TForm &form, const std::string &path);

// Installs the platform's own backend (Qt on Linux, Win32 on Windows); the
// program's entry point calls it before Initialize. Defined by the backend
// library the program links.
void UseNativeBackend(int &argc, char **argv);

}  // namespace forms
