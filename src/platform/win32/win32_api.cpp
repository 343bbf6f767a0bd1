#include "platform/win32/win32_api.h"

#include <mutex>
#include <utility>

namespace platform {

namespace {

const char kWindowClass[] = "TessavoNotifyWindow";

// What a notification window carries: its owner's procedure, and how many
// calls of it are under way, so that a window deallocated from inside its own
// procedure frees the procedure only once that call has returned.
struct WindowHolder {
  explicit WindowHolder(WindowProc p) : proc(std::move(p)) {}
  WindowProc proc;
  int calls = 0;
  bool released = false;
};

// The procedure of every notification window: forwards to the holder stored
// with the window. The holder is attached once the window exists and detached
// before it is destroyed, so creation and destruction messages go to the
// default procedure and the owner's procedure sees only what is sent or
// posted to it.
LRESULT CALLBACK NotifyWndProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto *holder = reinterpret_cast<WindowHolder *>(::GetWindowLongPtrA(wnd, GWLP_USERDATA));
  if (holder == nullptr || !holder->proc) return ::DefWindowProcA(wnd, msg, wParam, lParam);
  // Counted by a guard so that an exception thrown through here still ends
  // the call's count.
  struct CallGuard {
    WindowHolder *holder;
    explicit CallGuard(WindowHolder *h) : holder(h) { ++holder->calls; }
    ~CallGuard() {
      if (--holder->calls == 0 && holder->released) delete holder;
    }
  } guard(holder);
  return holder->proc(wnd, msg, wParam, lParam);
}

bool RegisterNotifyClass() {
  static std::once_flag once;
  static bool registered = false;
  std::call_once(once, [] {
    WNDCLASSA cls = {};
    cls.lpfnWndProc = NotifyWndProc;
    cls.hInstance = ::GetModuleHandleA(nullptr);
    cls.lpszClassName = kWindowClass;
    registered = ::RegisterClassA(&cls) != 0 || ::GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  });
  return registered;
}

}  // namespace

Win32Api::Win32Api() = default;

DWORD Win32Api::GetLastError() { return ::GetLastError(); }
void Win32Api::SetLastError(DWORD error) { ::SetLastError(error); }

HANDLE Win32Api::CreateFileA(const char *fileName, DWORD desiredAccess, DWORD shareMode,
                             void *securityAttributes, DWORD creationDisposition,
                             DWORD flagsAndAttributes, HANDLE templateFile) {
  return ::CreateFileA(fileName, desiredAccess, shareMode,
                       static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes), creationDisposition,
                       flagsAndAttributes, templateFile);
}

DWORD Win32Api::GetFileType(HANDLE file) { return ::GetFileType(file); }

BOOL Win32Api::SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
  return ::SetupComm(file, inQueue, outQueue);
}

BOOL Win32Api::PurgeComm(HANDLE file, DWORD flags) { return ::PurgeComm(file, flags); }
BOOL Win32Api::GetCommState(HANDLE file, DCB *dcb) { return ::GetCommState(file, dcb); }
BOOL Win32Api::SetCommState(HANDLE file, DCB *dcb) { return ::SetCommState(file, dcb); }

BOOL Win32Api::SetCommTimeouts(HANDLE file, COMMTIMEOUTS *timeouts) {
  return ::SetCommTimeouts(file, timeouts);
}

BOOL Win32Api::SetCommMask(HANDLE file, DWORD mask) { return ::SetCommMask(file, mask); }

BOOL Win32Api::WaitCommEvent(HANDLE file, DWORD *eventMask, OVERLAPPED *overlapped) {
  return ::WaitCommEvent(file, eventMask, overlapped);
}

BOOL Win32Api::ReadFile(HANDLE file, void *buffer, DWORD toRead, DWORD *read,
                        OVERLAPPED *overlapped) {
  return ::ReadFile(file, buffer, toRead, read, overlapped);
}

BOOL Win32Api::WriteFile(HANDLE file, const void *buffer, DWORD toWrite, DWORD *written,
                         OVERLAPPED *overlapped) {
  return ::WriteFile(file, buffer, toWrite, written, overlapped);
}

BOOL Win32Api::GetOverlappedResult(HANDLE file, OVERLAPPED *overlapped, DWORD *transferred,
                                   BOOL wait) {
  return ::GetOverlappedResult(file, overlapped, transferred, wait);
}

BOOL Win32Api::ClearCommError(HANDLE file, DWORD *errors, COMSTAT *stat) {
  return ::ClearCommError(file, errors, stat);
}

BOOL Win32Api::CancelIo(HANDLE file) { return ::CancelIo(file); }
BOOL Win32Api::CloseHandle(HANDLE object) { return ::CloseHandle(object); }

HANDLE Win32Api::CreateEventA(void *securityAttributes, BOOL manualReset, BOOL initialState,
                              const char *name) {
  return ::CreateEventA(static_cast<LPSECURITY_ATTRIBUTES>(securityAttributes), manualReset,
                        initialState, name);
}

BOOL Win32Api::SetEvent(HANDLE event) { return ::SetEvent(event); }
BOOL Win32Api::ResetEvent(HANDLE event) { return ::ResetEvent(event); }

DWORD Win32Api::WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  return ::WaitForSingleObject(object, milliseconds);
}

DWORD Win32Api::WaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll,
                                       DWORD milliseconds) {
  return ::WaitForMultipleObjects(count, handles, waitAll, milliseconds);
}

DWORD Win32Api::MsgWaitForMultipleObjects(DWORD count, const HANDLE *handles, BOOL waitAll,
                                          DWORD milliseconds, DWORD wakeMask) {
  return ::MsgWaitForMultipleObjects(count, handles, waitAll, milliseconds, wakeMask);
}

void Win32Api::Sleep(DWORD milliseconds) { ::Sleep(milliseconds); }
std::uint64_t Win32Api::TickCount64() { return ::GetTickCount64(); }

HANDLE Win32Api::CreateThread(LPTHREAD_START_ROUTINE start, void *parameter, DWORD creationFlags,
                              DWORD *threadId) {
  DWORD id = 0;
  HANDLE thread = ::CreateThread(nullptr, 0, start, parameter, creationFlags, &id);
  if (threadId != nullptr) *threadId = id;
  return thread;
}

DWORD Win32Api::ResumeThread(HANDLE thread) { return ::ResumeThread(thread); }

BOOL Win32Api::SetThreadPriority(HANDLE thread, int priority) {
  return ::SetThreadPriority(thread, priority);
}

DWORD Win32Api::GetCurrentThreadId() { return ::GetCurrentThreadId(); }

HWND Win32Api::AllocateHWnd(WindowProc proc) {
  if (!RegisterNotifyClass()) return nullptr;
  // A hidden top-level tool window, never shown: it takes part in broadcasts
  // (unlike a message-only window) and never appears on the task bar.
  HWND wnd = ::CreateWindowExA(WS_EX_TOOLWINDOW, kWindowClass, "", WS_POPUP, 0, 0, 0, 0, nullptr,
                               nullptr, ::GetModuleHandleA(nullptr), nullptr);
  if (wnd == nullptr) return nullptr;
  ::SetWindowLongPtrA(wnd, GWLP_USERDATA,
                      reinterpret_cast<LONG_PTR>(new WindowHolder(std::move(proc))));
  return wnd;
}

void Win32Api::DeallocateHWnd(HWND wnd) {
  if (wnd == nullptr || !::IsWindow(wnd)) return;
  // Detach first so the messages of the destruction itself do not reach a
  // procedure whose owner is going away.
  auto *holder = reinterpret_cast<WindowHolder *>(::SetWindowLongPtrA(wnd, GWLP_USERDATA, 0));
  ::DestroyWindow(wnd);
  if (holder == nullptr) return;
  if (holder->calls > 0) {
    holder->released = true;  // freed when the running call returns
  } else {
    delete holder;
  }
}

BOOL Win32Api::PostMessageA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return ::PostMessageA(wnd, msg, wParam, lParam);
}

BOOL Win32Api::PostThreadMessageA(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
  return ::PostThreadMessageA(threadId, msg, wParam, lParam);
}

BOOL Win32Api::PeekMessageA(MSG *msg, HWND wnd, UINT filterMin, UINT filterMax, UINT removeMsg) {
  return ::PeekMessageA(msg, wnd, filterMin, filterMax, removeMsg);
}

BOOL Win32Api::TranslateMessage(const MSG *msg) { return ::TranslateMessage(msg); }
LRESULT Win32Api::DispatchMessageA(const MSG *msg) { return ::DispatchMessageA(msg); }

LRESULT Win32Api::DefWindowProcA(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return ::DefWindowProcA(wnd, msg, wParam, lParam);
}

HLOCAL Win32Api::LocalAlloc(UINT flags, std::size_t bytes) { return ::LocalAlloc(flags, bytes); }
HLOCAL Win32Api::LocalFree(HLOCAL mem) { return ::LocalFree(mem); }

OsApi &DefaultOsApi() {
  // Never freed: threads may still use it while static objects are destroyed.
  static Win32Api *api = new Win32Api();
  return *api;
}

}  // namespace platform
