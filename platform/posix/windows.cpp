// Top-level windows of the profile, found by class name. A window keeps its handle while it exists;
// WM_CLOSE posts are recorded in CurrentHostRecord().window_posts (by class name as the profile writes
// it), and a window that closes on WM_CLOSE goes away after close_posts_needed posts.
#include "host_sim.h"

namespace w32sim {
namespace {

constexpr DWORD kErrorInvalidWindowHandle = 1400;

}  // namespace
}  // namespace w32sim

using namespace w32sim;

extern "C" {

HWND WINAPI FindWindowA(LPCSTR lpClassName, LPCSTR lpWindowName) {
  if (lpClassName == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
  for (const Window& w : CurrentHostProfile().windows) {
    if (!EqualsNoCase(w.class_name, lpClassName)) continue;
    FoundWindow& found = State().windows[UpperCase(w.class_name)];
    if (found.hwnd == nullptr) {
      found.hwnd = reinterpret_cast<HWND>(State().next_hwnd);
      State().next_hwnd += 0x10;
    }
    SetLastError(ERROR_SUCCESS);
    return found.hwnd;
  }
  SetLastError(ERROR_SUCCESS);  // not found is not an error
  return nullptr;
}

BOOL WINAPI PostMessageA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
  std::lock_guard<std::recursive_mutex> lock(HostStateMutex());
  auto& windows = CurrentHostProfile().windows;
  for (auto found = State().windows.begin(); found != State().windows.end(); ++found) {
    if (hWnd == nullptr || found->second.hwnd != hWnd) continue;
    for (auto w = windows.begin(); w != windows.end(); ++w) {
      if (UpperCase(w->class_name) != found->first) continue;
      if (Msg == WM_CLOSE) {
        CurrentHostRecord().window_posts.push_back(w->class_name);
        ++found->second.posts;
        if (w->closes_on_wm_close && found->second.posts >= w->close_posts_needed) {
          windows.erase(w);
          State().windows.erase(found);
        }
      }
      SetLastError(ERROR_SUCCESS);
      return TRUE;
    }
  }
  SetLastError(kErrorInvalidWindowHandle);
  return FALSE;
}

}  // extern "C"
