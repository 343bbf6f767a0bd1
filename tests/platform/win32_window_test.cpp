// What the Windows backend adds to the shared contracts: the notification
// window is a real, hidden, zero-sized tool window whose procedure sees only
// what is sent or posted to it while it is allocated.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "platform/win32/win32_api.h"

namespace {

using platform::DefaultOsApi;
using platform::OsApi;

constexpr UINT kPing = WM_USER + 7;

void Pump(OsApi &api) {
  MSG msg;
  while (api.PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    api.TranslateMessage(&msg);
    api.DispatchMessageA(&msg);
  }
}

TEST(Win32Window, IsHiddenZeroSizedToolWindowThatNeverShows) {
  OsApi &api = DefaultOsApi();
  HWND wnd = api.AllocateHWnd(
      [&](HWND h, UINT m, WPARAM w, LPARAM l) { return api.DefWindowProcA(h, m, w, l); });
  ASSERT_NE(wnd, nullptr);
  EXPECT_FALSE(IsWindowVisible(wnd));
  RECT rect;
  ASSERT_TRUE(GetWindowRect(wnd, &rect));
  EXPECT_EQ(rect.right - rect.left, 0);
  EXPECT_EQ(rect.bottom - rect.top, 0);
  const LONG_PTR style = GetWindowLongPtrA(wnd, GWL_STYLE);
  const LONG_PTR exStyle = GetWindowLongPtrA(wnd, GWL_EXSTYLE);
  EXPECT_NE(style & WS_POPUP, 0);
  EXPECT_EQ(style & WS_VISIBLE, 0);
  EXPECT_NE(exStyle & WS_EX_TOOLWINDOW, 0);
  EXPECT_EQ(GetWindowThreadProcessId(wnd, nullptr), GetCurrentThreadId());
  api.DeallocateHWnd(wnd);
  EXPECT_FALSE(IsWindow(wnd));
}

TEST(Win32Window, ProcedureSeesNeitherCreationNorDestruction) {
  OsApi &api = DefaultOsApi();
  std::vector<UINT> seen;
  HWND wnd = api.AllocateHWnd([&](HWND h, UINT m, WPARAM w, LPARAM l) {
    seen.push_back(m);
    return api.DefWindowProcA(h, m, w, l);
  });
  ASSERT_NE(wnd, nullptr);
  ASSERT_TRUE(api.PostMessageA(wnd, kPing, 1, 2));
  Pump(api);
  EXPECT_EQ(SendMessageA(wnd, kPing, 3, 4), 0);
  api.DeallocateHWnd(wnd);
  // Only our two pings: no WM_NCCREATE/WM_CREATE (the owner is still being
  // built then) and no WM_DESTROY/WM_NCDESTROY (it is being torn down).
  EXPECT_EQ(seen, (std::vector<UINT>{kPing, kPing}));
}

TEST(Win32Window, DeallocationReleasesTheProcedureAndItsCaptures) {
  OsApi &api = DefaultOsApi();
  auto owner = std::make_shared<int>(0);
  HWND wnd = api.AllocateHWnd([&api, owner](HWND h, UINT m, WPARAM w, LPARAM l) {
    if (m == kPing) ++*owner;
    return api.DefWindowProcA(h, m, w, l);
  });
  ASSERT_NE(wnd, nullptr);
  EXPECT_EQ(owner.use_count(), 2);
  ASSERT_TRUE(api.PostMessageA(wnd, kPing, 0, 0));
  Pump(api);
  EXPECT_EQ(*owner, 1);
  // A message still queued when the window goes must not reach the freed
  // procedure.
  ASSERT_TRUE(api.PostMessageA(wnd, kPing, 0, 0));
  api.DeallocateHWnd(wnd);
  EXPECT_EQ(owner.use_count(), 1);
  Pump(api);
  EXPECT_EQ(*owner, 1);
}

// Set when the procedure below, and so what it captured, is destroyed. A
// global, so that the procedure can read it without going through its own
// (possibly freed) captures.
bool g_procedureGone = false;

TEST(Win32Window, AProcedureMayDeallocateItsOwnWindow) {
  struct Sentinel {
    ~Sentinel() { g_procedureGone = true; }
  };
  OsApi &api = DefaultOsApi();
  static HWND wnd = nullptr;
  static bool goneDuringCall = true;
  static int calls = 0;
  auto sentinel = std::make_shared<Sentinel>();
  wnd = api.AllocateHWnd([sentinel](HWND h, UINT m, WPARAM w, LPARAM l) {
    OsApi &os = DefaultOsApi();
    if (m != kPing) return os.DefWindowProcA(h, m, w, l);
    ++calls;
    os.DeallocateHWnd(wnd);
    goneDuringCall = g_procedureGone;
    return static_cast<LRESULT>(0);
  });
  sentinel.reset();
  ASSERT_NE(wnd, nullptr);
  ASSERT_TRUE(api.PostMessageA(wnd, kPing, 0, 0));
  ASSERT_TRUE(api.PostMessageA(wnd, kPing, 0, 0));
  Pump(api);
  EXPECT_FALSE(IsWindow(wnd));
  EXPECT_EQ(calls, 1);  // the second ping went with the window
  EXPECT_FALSE(goneDuringCall);
  EXPECT_TRUE(g_procedureGone);
}

TEST(Win32Window, ResultOfTheProcedureReachesTheSender) {
  OsApi &api = DefaultOsApi();
  HWND wnd = api.AllocateHWnd([&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
    if (m == kPing) return static_cast<LRESULT>(w + l);
    return api.DefWindowProcA(h, m, w, l);
  });
  ASSERT_NE(wnd, nullptr);
  EXPECT_EQ(SendMessageA(wnd, kPing, 40, 2), 42);
  api.DeallocateHWnd(wnd);
}

TEST(Win32Window, WindowsOfManyThreadsLiveSideBySide) {
  // Registration of the shared window class happens once, whoever comes first.
  OsApi &api = DefaultOsApi();
  std::vector<std::thread> threads;
  std::vector<int> results(4, -1);
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&api, &results, i] {
      int hits = 0;
      HWND wnd = api.AllocateHWnd([&](HWND h, UINT m, WPARAM w, LPARAM l) {
        if (m == kPing) ++hits;
        return api.DefWindowProcA(h, m, w, l);
      });
      if (wnd == nullptr) return;
      api.PostMessageA(wnd, kPing, 0, 0);
      Pump(api);
      api.DeallocateHWnd(wnd);
      results[i] = hits;
    });
  }
  for (auto &t : threads) t.join();
  EXPECT_EQ(results, (std::vector<int>{1, 1, 1, 1}));
}

}  // namespace
