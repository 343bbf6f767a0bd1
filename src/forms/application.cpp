#include "forms/application.h"

#include <algorithm>

#include "forms/headless.h"
#include "forms/sys/exe_path.h"
#include "platform/thread.h"

namespace forms {

// Lives to the end of the process, so nothing that runs late (a thread's
// last Synchronize, a static destructor) finds it gone.
TApplication *Application = new TApplication();

namespace {

// Posted to the application's own hidden window: run the deferred closes.
constexpr UINT kRunDeferredCloses = WM_USER + 1;
// Posted there by ProcessMessages behind what was pending when it began
// (wParam: its number); it stops once its marker has been dispatched.
constexpr UINT kPumpMarker = WM_USER + 2;

}  // namespace

class TApplication::THandlerScope {
 public:
  explicit THandlerScope(TApplication &app) : app_(app) { ++app_.handlerDepth_; }
  ~THandlerScope() {
    if (--app_.handlerDepth_ == 0 && !app_.deferredCloses_.empty()) app_.PostDeferredCloses();
  }
  THandlerScope(const THandlerScope &) = delete;
  THandlerScope &operator=(const THandlerScope &) = delete;

 private:
  TApplication &app_;
};

TApplication::TApplication() : TComponent(nullptr) {
  platform::SetEscapedExceptionHandler(
      [this](std::exception_ptr error) { HandleException(error); });
  // A send that the auto-send thread has the main thread run is a handler
  // too: a close that its pause lets in must wait until it has returned.
  platform::SetSynchronizeScope([this](const std::function<void()> &request) {
    THandlerScope scope(*this);
    request();
  });
}

TApplication::~TApplication() {
  DestroyForms();
  backend_.reset();
  platform::SetSynchronizeScope(nullptr);
  platform::SetEscapedExceptionHandler(nullptr);
  if (ownWindow_ != nullptr) platform::DefaultOsApi().DeallocateHWnd(ownWindow_);
}

void TApplication::Initialize() {
  platform::SetMainThread();
  if (exeName_.empty()) SetExeName(sys::ExecutablePath());
}

void TApplication::FormConstructed(TForm *form) { forms_.push_back(form); }

void TApplication::FormCreated(TForm *form) {
  if (mainForm_ == nullptr) {
    mainForm_ = form;
    terminated_ = false;
  }
  form->AfterConstruction();
}

void TApplication::FormDestroying(TForm *form) {
  forms_.erase(std::remove(forms_.begin(), forms_.end(), form), forms_.end());
  deferredCloses_.erase(std::remove(deferredCloses_.begin(), deferredCloses_.end(), form),
                        deferredCloses_.end());
  if (mainForm_ == form) mainForm_ = nullptr;
}

void TApplication::DestroyForms() {
  std::vector<TForm *> owned;
  for (TForm *form : forms_) {
    if (form->Owner() == this) owned.push_back(form);
  }
  for (auto it = owned.rbegin(); it != owned.rend(); ++it) delete *it;
}

void TApplication::MainFormClosed() { Terminate(); }

void TApplication::Run() {
  if (mainForm_ == nullptr || terminated_) return;
  mainForm_->Show();
  if (terminated_) return;
  Backend().Run();
}

void TBackend::Run() {
  while (!Application->Terminated()) {
    // The loop itself takes everything, so the wait below starts from an
    // empty queue.
    Application->DispatchQueuedMessages(-1);
    ProcessEvents();
    if (Application->Terminated()) break;
    // Sleep until the main thread's queue has input or a Synchronize waits.
    HANDLE sync = platform::SyncEvent();
    Application->Api().MsgWaitForMultipleObjects(sync != nullptr ? 1 : 0, &sync, FALSE, INFINITE,
                                                 QS_ALLINPUT);
  }
}

void TApplication::ProcessMessages() {
  // Only what is pending now: messages that keep coming (a flood of received
  // data) must not hold a handler that pumps (a send's pause) until they end.
  // A nested call's marker comes after this one's, so it passes ours on its
  // way; each call ends once its own has been dispatched by anyone.
  HWND own = OwnWindow();
  const WPARAM marker = ++markersPosted_;
  if (own != nullptr && Api().PostMessageA(own, kPumpMarker, marker, 0)) {
    DispatchQueuedMessages(-1, marker);
  } else {
    DispatchQueuedMessages(-1);  // no marker: up to the queue's end
  }
  Backend().ProcessEvents();
}

int TApplication::DispatchQueuedMessages(int limit) { return DispatchQueuedMessages(limit, 0); }

int TApplication::DispatchQueuedMessages(int limit, WPARAM marker) {
  // Each message is an event of its own: what it raises is handled here,
  // even when this runs inside another handler.
  const int saved = dispatchDepth_;
  dispatchDepth_ = 0;
  platform::OsApi &api = Api();
  int count = 0;
  MSG msg;
  while ((limit < 0 || count < limit) && (marker == 0 || markerReached_ < marker) &&
         api.PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    ++count;
    if (msg.message == WM_QUIT) {
      Terminate();
      break;
    }
    DispatchGuarded([this, &api, &msg] {
      if (Backend().PreTranslateMessage(msg)) return;
      api.TranslateMessage(&msg);
      api.DispatchMessageA(&msg);
    });
  }
  DispatchGuarded([] { platform::CheckSynchronize(); });
  dispatchDepth_ = saved;
  return count;
}

void TApplication::Terminate() {
  terminated_ = true;
  if (backend_) backend_->Quit();
}

void TApplication::SetExeName(const std::string &path) {
  exeName_ = path;
  title_ = TitleFromExeName(path);
}

std::string TApplication::TitleFromExeName(const std::string &path) {
  const std::size_t slash = path.find_last_of("/\\");
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.find('.');
  if (dot != std::string::npos) name.resize(dot);
  for (std::size_t i = 1; i < name.size(); ++i) {
    const char c = name[i];
    if (c >= 'A' && c <= 'Z') name[i] = static_cast<char>(c - 'A' + 'a');
  }
  return name;
}

int TApplication::MessageBox(const std::string &text, const std::string &caption, unsigned flags) {
  return Backend().MessageBox(mainForm_, text, caption, flags);
}

bool TApplication::DispatchEvent(const std::function<void()> &handler) {
  THandlerScope scope(*this);
  if (dispatchDepth_ == 0) return DispatchGuarded(handler);
  // Nested: the exception belongs to the handler that caused this event.
  ++dispatchDepth_;
  struct Restore {
    int &depth;
    ~Restore() { --depth; }
  } restore{dispatchDepth_};
  handler();
  return true;
}

// A close cannot run where it arrives when a handler is under way: the
// handler may be a send that the auto-send thread waits for, and the close
// releases that thread and waits for it in turn. So it waits for the stack
// to unwind and then comes back through the main thread's queue, which every
// backend's loop serves.
void TApplication::DeferClose(TForm *form) {
  if (std::find(deferredCloses_.begin(), deferredCloses_.end(), form) == deferredCloses_.end()) {
    deferredCloses_.push_back(form);
  }
  OwnWindow();
  if (handlerDepth_ == 0) PostDeferredCloses();
}

HWND TApplication::OwnWindow() {
  if (ownWindow_ == nullptr) {
    ownWindow_ = platform::DefaultOsApi().AllocateHWnd(
        [this](HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) -> LRESULT {
          if (msg == kRunDeferredCloses) {
            RunDeferredCloses();
            return 0;
          }
          if (msg == kPumpMarker) {
            // Markers arrive in the order they were posted.
            markerReached_ = std::max(markerReached_, wParam);
            return 0;
          }
          return platform::DefaultOsApi().DefWindowProcA(wnd, msg, wParam, lParam);
        });
  }
  return ownWindow_;
}

void TApplication::PostDeferredCloses() {
  if (deferPosted_ || ownWindow_ == nullptr) return;
  deferPosted_ =
      platform::DefaultOsApi().PostMessageA(ownWindow_, kRunDeferredCloses, 0, 0) != FALSE;
}

void TApplication::RunDeferredCloses() {
  deferPosted_ = false;
  // Taken by a pump inside another handler: that one returns first (the
  // last handler to return posts again).
  if (handlerDepth_ > 0) return;
  std::vector<TForm *> closes;
  closes.swap(deferredCloses_);
  for (TForm *form : closes) {
    if (std::find(forms_.begin(), forms_.end(), form) == forms_.end()) continue;
    // As the user's close: dropped if the form has closed meanwhile.
    UserInput([form] { form->UserClose(); });
  }
}

bool TApplication::UserInput(const std::function<void()> &action) {
  const int saved = dispatchDepth_;
  dispatchDepth_ = 0;
  const bool ok = DispatchGuarded(action);
  dispatchDepth_ = saved;
  return ok;
}

bool TApplication::DispatchGuarded(const std::function<void()> &handler) {
  const int saved = dispatchDepth_;
  ++dispatchDepth_;
  std::exception_ptr error;
  try {
    handler();
  } catch (...) {
    error = std::current_exception();
  }
  dispatchDepth_ = saved;
  if (!error) return true;
  HandleException(error);
  return false;
}

void TApplication::HandleException(std::exception_ptr error) {
  if (!error) return;
  try {
    std::rethrow_exception(error);
  } catch (const std::exception &e) {
    HandleException(e);
  } catch (...) {
    ShowException("Unknown exception");
  }
}

void TApplication::HandleException(const std::exception &e) { ShowException(e.what()); }

void TApplication::ShowException(const std::string &message) {
  MessageBox(ExceptionBoxText(message), title_, MB_ICONERROR | MB_OK);
}

std::string TApplication::ExceptionBoxText(const std::string &message) {
  if (!message.empty() && static_cast<unsigned char>(message.back()) > '.') return message + ".";
  return message;
}

TBackend &TApplication::Backend() {
  if (!backend_) backend_ = std::make_unique<THeadlessBackend>();
  return *backend_;
}

void TApplication::SetBackend(std::unique_ptr<TBackend> backend) {
  std::vector<TForm *> shown;
  for (TForm *form : forms_) {
    if (form->Visible()) shown.push_back(form);
    form->DestroyHandle();
  }
  backend_ = std::move(backend);
  for (TForm *form : shown) {
    form->Hide();
    form->Show();
  }
}

platform::OsApi &TApplication::Api() const {
  return api_ != nullptr ? *api_ : platform::DefaultOsApi();
}

bool SaveScreenshot(TForm &form, const std::string &path) {
  form.HandleNeeded();
  return Application->Backend().SaveScreenshot(form, path);
}

}  // namespace forms
