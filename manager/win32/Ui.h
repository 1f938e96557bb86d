#pragma once
// Small helpers the manager's windows share.
#include <windows.h>

#include <functional>
#include <string>

namespace qz::ui {

// Posted or sent to the main window: runs the std::function<void()> whose address is lParam.
constexpr UINT WM_APP_SYNC = WM_APP + 1;

std::string GetText(HWND window);
std::string GetItemText(HWND dialog, int id);
void SetItemText(HWND dialog, int id, const std::string& text);
// Places a control in pixels of its parent's client area.
void Place(HWND dialog, int id, int x, int y, int width, int height);
// Sizes the window so its client area is width x height pixels.
void SetClientSize(HWND window, int width, int height);
// Centres the window on owner, or on the work area when owner is null.
void CenterOn(HWND window, HWND owner);
int Box(HWND owner, const std::string& text, const std::string& caption, UINT flags);
inline void ErrorBox(HWND owner, const std::string& text) { Box(owner, text, "Error", MB_OK | MB_ICONERROR); }

// Runs fn on the thread of window and waits for it to finish.
void RunOn(HWND window, const std::function<void()>& fn);
// In a window procedure: runs the call that RunOn sent.
inline void RunSent(LPARAM lParam) { (*reinterpret_cast<const std::function<void()>*>(lParam))(); }

}  // namespace qz::ui
