// Message numbers shared by the port component and its two worker threads.
#pragma once

#include "platform/winapi.h"

namespace comm {

// Window messages posted by the workers to the component's hidden window.
constexpr UINT NotifyGotData = WM_USER + 1;        // wParam: count 1..1024; lParam: block (count + 1 bytes)
constexpr UINT NotifyReceiveError = WM_USER + 2;   // lParam: ClearCommError bits
constexpr UINT NotifyRequestHangup = WM_USER + 3;  // no parameters
constexpr UINT NotifyModemState = WM_USER + 4;     // lParam: ModemRing | ModemRlsd
constexpr UINT NotifySendEmpty = WM_USER + 5;      // no parameters

// Thread message posted by SendBytes to the writer thread.
constexpr UINT WriteRequest = WM_USER + 1;  // wParam: count 1..65535; lParam: block (count + 1 bytes)

constexpr DWORD ModemRing = 4;
constexpr DWORD ModemRlsd = 8;

}  // namespace comm
