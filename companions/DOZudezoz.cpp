// The countdown display of a session limit: a small top-most window in the
// bottom right corner showing the time left, started by the agent as
// `DOZudezoz.exe <seconds>`. It closes itself at zero; a bad argument ends it quietly.
#include <windows.h>

#include <cwchar>
#include <shellapi.h>

namespace {

constexpr UINT_PTR kTimer = 1;
LONGLONG g_end = 0;  // tick count at which the time is up
HFONT g_font = nullptr;

int SecondsLeft() {
    const LONGLONG left = g_end - static_cast<LONGLONG>(GetTickCount64());
    return left <= 0 ? 0 : static_cast<int>((left + 999) / 1000);
}

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_TIMER:
            if (SecondsLeft() == 0)
                DestroyWindow(hwnd);
            else
                InvalidateRect(hwnd, nullptr, TRUE);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(hwnd, &ps);
            RECT r;
            GetClientRect(hwnd, &r);
            const int s = SecondsLeft();
            wchar_t text[64];
            std::swprintf(text, 64, L"Session time left: %d:%02d", s / 60, s % 60);
            HGDIOBJ old = SelectObject(dc, g_font);
            SetBkMode(dc, TRANSPARENT);
            DrawTextW(dc, text, -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
            SelectObject(dc, old);
            EndPaint(hwnd, &ps);
            return 0;
        }
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv || argc < 2) return 2;
    wchar_t* end = nullptr;
    const long seconds = std::wcstol(argv[1], &end, 10);
    const bool valid = end && *end == L'\0' && end != argv[1] && seconds > 0 && seconds <= 7 * 24 * 3600;
    LocalFree(argv);
    if (!valid) return 2;
    g_end = static_cast<LONGLONG>(GetTickCount64()) + seconds * 1000LL;

    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    g_font = CreateFontIndirectW(&metrics.lfMessageFont);

    WNDCLASSW wc{};
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = L"QZSessionCountdown";
    RegisterClassW(&wc);
    RECT work{};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int w = 240, h = 64;
    HWND hwnd = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, wc.lpszClassName, L"Tallisto Client",
                                WS_POPUP | WS_CAPTION | WS_VISIBLE, work.right - w - 16, work.bottom - h - 16, w, h,
                                nullptr, nullptr, instance, nullptr);
    if (!hwnd) return 1;
    SetTimer(hwnd, kTimer, 500, nullptr);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    if (g_font) DeleteObject(g_font);
    return 0;
}
