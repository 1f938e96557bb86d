#include "platform/Screen.h"

#include <cstring>
#include <mutex>

#include "platform/win32/WinText.h"

namespace platform::screen {

namespace {

std::wstring ObjectName(HANDLE object) {
    wchar_t name[256] = {};
    DWORD needed = 0;
    if (!GetUserObjectInformationW(object, UOI_NAME, name, sizeof name - sizeof(wchar_t), &needed)) return {};
    return name;
}

// A service starts on a window station of its own, which no one sees. For
// the picture the thread moves to the desktop of the interactive station
// while it reads the screen, and back afterwards.
class InteractiveDesktop {
public:
    InteractiveDesktop() {
        HWINSTA current = GetProcessWindowStation();
        if (!current || _wcsicmp(ObjectName(current).c_str(), L"WinSta0") == 0) return;
        // The process's station is swapped only to open the desktop: one thread at a time.
        static std::mutex swap;
        std::lock_guard<std::mutex> hold(swap);
        HWINSTA interactive = OpenWindowStationW(L"WinSta0", FALSE, WINSTA_ENUMDESKTOPS | WINSTA_READSCREEN);
        if (!interactive) return;
        if (SetProcessWindowStation(interactive)) {
            desktop_ = OpenDesktopW(L"Default", 0, FALSE, DESKTOP_READOBJECTS | DESKTOP_ENUMERATE);
            SetProcessWindowStation(current);
        }
        CloseWindowStation(interactive);
        previous_ = GetThreadDesktop(GetCurrentThreadId());
        if (desktop_ && !SetThreadDesktop(desktop_)) {
            CloseDesktop(desktop_);
            desktop_ = nullptr;
        }
    }
    ~InteractiveDesktop() {
        if (!desktop_) return;
        SetThreadDesktop(previous_);
        CloseDesktop(desktop_);
    }
    InteractiveDesktop(const InteractiveDesktop&) = delete;
    InteractiveDesktop& operator=(const InteractiveDesktop&) = delete;

private:
    HDESK desktop_ = nullptr, previous_ = nullptr;
};

class ScreenDc {
public:
    ScreenDc() : window_(GetDesktopWindow()), dc_(GetDC(window_)) {}
    ~ScreenDc() {
        if (dc_) ReleaseDC(window_, dc_);
    }
    ScreenDc(const ScreenDc&) = delete;
    ScreenDc& operator=(const ScreenDc&) = delete;
    HDC get() const { return dc_; }

private:
    HWND window_;
    HDC dc_;
};

// A top-down 24-bit section the size of the picture, selected into a memory DC.
class Section {
public:
    Section(HDC reference, int width, int height) : dc_(CreateCompatibleDC(reference)) {
        if (!dc_) ThrowSystemError(GetLastError());
        BITMAPINFO bi{};
        bi.bmiHeader.biSize = sizeof bi.bmiHeader;
        bi.bmiHeader.biWidth = width;
        bi.bmiHeader.biHeight = -height;
        bi.bmiHeader.biPlanes = 1;
        bi.bmiHeader.biBitCount = 24;
        bi.bmiHeader.biCompression = BI_RGB;
        bitmap_ = CreateDIBSection(reference, &bi, DIB_RGB_COLORS, &bits_, nullptr, 0);
        if (!bitmap_ || !bits_) {
            const DWORD e = GetLastError();
            DeleteDC(dc_);
            ThrowSystemError(e ? e : ERROR_NOT_ENOUGH_MEMORY);
        }
        old_ = SelectObject(dc_, bitmap_);
        stride_ = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
    }
    ~Section() {
        SelectObject(dc_, old_);
        DeleteObject(bitmap_);
        DeleteDC(dc_);
    }
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;
    HDC dc() const { return dc_; }
    uint8_t* Row(int y) const { return static_cast<uint8_t*>(bits_) + stride_ * static_cast<size_t>(y); }

private:
    HDC dc_;
    HBITMAP bitmap_ = nullptr;
    HGDIOBJ old_ = nullptr;
    void* bits_ = nullptr;
    size_t stride_ = 0;
};

class CaptionFont {
public:
    explicit CaptionFont(HDC dc)
        : dc_(dc),
          font_(CreateFontW(20, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                            CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Arial")),
          old_(font_ ? SelectObject(dc, font_) : nullptr) {}
    ~CaptionFont() {
        if (font_) {
            SelectObject(dc_, old_);
            DeleteObject(font_);
        }
    }
    CaptionFont(const CaptionFont&) = delete;
    CaptionFont& operator=(const CaptionFont&) = delete;

private:
    HDC dc_;
    HFONT font_;
    HGDIOBJ old_;
};

}  // namespace

Bitmap CaptureDesktop() {
    InteractiveDesktop onScreen;
    const int left = GetSystemMetrics(SM_XVIRTUALSCREEN), top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    const int width = GetSystemMetrics(SM_CXVIRTUALSCREEN), height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    if (width <= 0 || height <= 0 || int64_t{width} * height > MaxDesktopPixels)
        ThrowSystemError(ERROR_INVALID_PARAMETER);
    ScreenDc screen;
    if (!screen.get()) ThrowSystemError(GetLastError() ? GetLastError() : ERROR_DC_NOT_FOUND);
    Section section(screen.get(), width, height);
    if (!BitBlt(section.dc(), 0, 0, width, height, screen.get(), left, top, SRCCOPY | CAPTUREBLT))
        ThrowSystemError(GetLastError() ? GetLastError() : ERROR_INVALID_HANDLE);
    GdiFlush();
    Bitmap picture(width, height);
    for (int y = 0; y < height; ++y) std::memcpy(picture.Row(y), section.Row(y), static_cast<size_t>(width) * 3);
    return picture;
}

Size PrimaryScreenSize() { return {GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)}; }

Size CaptionExtent(const std::string& text) {
    HDC dc = CreateCompatibleDC(nullptr);
    if (!dc) return {};
    Size size;
    {
        CaptionFont font(dc);
        const std::wstring w = win::Wide(text);
        SIZE s{};
        if (GetTextExtentPoint32W(dc, w.c_str(), static_cast<int>(w.size()), &s)) size = {s.cx, s.cy};
    }
    DeleteDC(dc);
    return size;
}

void DrawCaption(Bitmap& picture, const std::string& text, int x, int y) {
    if (picture.width <= 0 || picture.height <= 0) return;
    Section section(nullptr, picture.width, picture.height);
    const size_t rowBytes = static_cast<size_t>(picture.width) * 3;
    for (int r = 0; r < picture.height; ++r) std::memcpy(section.Row(r), picture.Row(r), rowBytes);
    {
        CaptionFont font(section.dc());
        SetBkMode(section.dc(), TRANSPARENT);
        SetTextColor(section.dc(), RGB(255, 255, 255));
        const std::wstring w = win::Wide(text);
        TextOutW(section.dc(), x, y, w.c_str(), static_cast<int>(w.size()));
        GdiFlush();
    }
    for (int r = 0; r < picture.height; ++r) std::memcpy(picture.Row(r), section.Row(r), rowBytes);
}

}  // namespace platform::screen
