// Notifications on Windows: a balloon from an icon of its own in the notification area, added
// for the notice and taken away once the balloon has gone. Clicking the balloon, or the icon it
// points at, runs its action.
// The icon's messages come to a hidden window of the program's GUI thread, whose messages the
// toolkit's main loop dispatches.
#define G_LOG_DOMAIN "tovimo"

#include <windows.h>

#include <glib.h>
#include <shellapi.h>

#include <algorithm>
#include <utility>

#include "platform/platform.h"
#include "platform/windows_internal.h"

namespace platform {
namespace {

constexpr wchar_t kWindowClass[] = L"TovimoNotification";
constexpr UINT kIconMessage = WM_APP + 1;
constexpr UINT kIconId = 1;
// A balloon that no one reports gone is taken away after this long.
constexpr UINT kLongestMilliseconds = 60 * 1000;
constexpr UINT_PTR kTimer = 1;

// One notice: its hidden window and what a click on its balloon does.
struct Notice {
  HWND window = nullptr;
  std::function<void()> on_click;
};

void remove_icon(HWND window) {
  NOTIFYICONDATAW icon{};
  icon.cbSize = sizeof icon;
  icon.hWnd = window;
  icon.uID = kIconId;
  Shell_NotifyIconW(NIM_DELETE, &icon);
}

gboolean on_run_action(gpointer data) {
  std::unique_ptr<std::function<void()>> action(static_cast<std::function<void()>*>(data));
  if (*action) (*action)();
  return G_SOURCE_REMOVE;
}

LRESULT CALLBACK notice_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* notice = reinterpret_cast<Notice*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (message == kIconMessage && notice) {
    const UINT event = static_cast<UINT>(lparam);
    const bool clicked = event == NIN_BALLOONUSERCLICK || event == WM_LBUTTONUP;
    if (clicked || event == NIN_BALLOONTIMEOUT || event == NIN_BALLOONHIDE) {
      // The action runs from the main loop, not inside the shell's message.
      if (clicked && notice->on_click) {
        g_idle_add(on_run_action, new std::function<void()>(std::move(notice->on_click)));
      }
      remove_icon(window);
      PostMessageW(window, WM_CLOSE, 0, 0);
    }
    return 0;
  }
  if (message == WM_TIMER && wparam == kTimer) {
    KillTimer(window, kTimer);
    remove_icon(window);
    DestroyWindow(window);
    return 0;
  }
  if (message == WM_NCDESTROY) {
    delete notice;
    SetWindowLongPtrW(window, GWLP_USERDATA, 0);
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

bool register_window_class() {
  static const bool registered = [] {
    WNDCLASSW window_class{};
    window_class.lpfnWndProc = notice_window_proc;
    window_class.hInstance = GetModuleHandleW(nullptr);
    window_class.lpszClassName = kWindowClass;
    return RegisterClassW(&window_class) != 0;
  }();
  return registered;
}

// Copies as much of `text` as fits, NUL included, into a fixed field of the icon's data. A text
// that does not fit is cut between characters, never inside a surrogate pair.
template <std::size_t N>
void copy_into(wchar_t (&field)[N], const std::string& text) {
  const std::wstring wide = utf16(text).value_or(std::wstring());
  std::size_t kept = std::min(wide.size(), N - 1);
  if (kept < wide.size() && kept > 0 && wide[kept - 1] >= 0xD800 && wide[kept - 1] <= 0xDBFF) {
    --kept;  // the first half of a pair whose second half does not fit
  }
  std::copy(wide.begin(), wide.begin() + static_cast<std::ptrdiff_t>(kept), field);
  field[kept] = L'\0';
}

}  // namespace

bool show_notification(const std::string& summary, const std::string& body,
                       const std::string& /*action_label*/, std::function<void()> on_action) {
  if (!register_window_class()) return false;
  HWND window = CreateWindowExW(0, kWindowClass, L"Tovimo notification", 0, 0, 0, 0, 0, nullptr,
                                nullptr, GetModuleHandleW(nullptr), nullptr);
  if (!window) return false;
  SetWindowLongPtrW(window, GWLP_USERDATA,
                    reinterpret_cast<LONG_PTR>(new Notice{window, std::move(on_action)}));
  NOTIFYICONDATAW icon{};
  icon.cbSize = sizeof icon;
  icon.hWnd = window;
  icon.uID = kIconId;
  icon.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_INFO;
  icon.uCallbackMessage = kIconMessage;
  icon.hIcon = LoadIconW(nullptr, MAKEINTRESOURCEW(32516));  // IDI_INFORMATION
  copy_into(icon.szTip, "Tovimo");
  copy_into(icon.szInfoTitle, summary);
  copy_into(icon.szInfo, body);
  icon.dwInfoFlags = NIIF_INFO;
  // Without a notification area the icon cannot be added: nothing is shown, nothing fails.
  if (!Shell_NotifyIconW(NIM_ADD, &icon)) {
    g_debug("no notification shown: no notification area took the icon");
    DestroyWindow(window);
    return false;
  }
  SetTimer(window, kTimer, kLongestMilliseconds, nullptr);
  return true;
}

}  // namespace platform
