#include "manager/win32/Ui.h"

#include <vector>

#include "platform/win32/WinText.h"

namespace qz::ui {

using platform::win::Utf8;
using platform::win::Wide;

std::string GetText(HWND window) {
    const int length = GetWindowTextLengthW(window);
    if (length <= 0) return {};
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
    const int got = GetWindowTextW(window, buffer.data(), length + 1);
    return Utf8(buffer.data(), static_cast<size_t>(got > 0 ? got : 0));
}

std::string GetItemText(HWND dialog, int id) { return GetText(GetDlgItem(dialog, id)); }

void SetItemText(HWND dialog, int id, const std::string& text) { SetDlgItemTextW(dialog, id, Wide(text).c_str()); }

void Place(HWND dialog, int id, int x, int y, int width, int height) {
    MoveWindow(GetDlgItem(dialog, id), x, y, width, height, FALSE);
}

void SetClientSize(HWND window, int width, int height) {
    RECT r{0, 0, width, height};
    AdjustWindowRectEx(&r, static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE)));
    SetWindowPos(window, nullptr, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CenterOn(HWND window, HWND owner) {
    RECT area{}, self{};
    if (owner)
        GetWindowRect(owner, &area);
    else
        SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    GetWindowRect(window, &self);
    const int w = self.right - self.left, h = self.bottom - self.top;
    SetWindowPos(window, nullptr, area.left + (area.right - area.left - w) / 2, area.top + (area.bottom - area.top - h) / 2,
                 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int Box(HWND owner, const std::string& text, const std::string& caption, UINT flags) {
    return MessageBoxW(owner, Wide(text).c_str(), Wide(caption).c_str(), flags);
}

void RunOn(HWND window, const std::function<void()>& fn) {
    SendMessageW(window, WM_APP_SYNC, 0, reinterpret_cast<LPARAM>(&fn));
}

}  // namespace qz::ui
