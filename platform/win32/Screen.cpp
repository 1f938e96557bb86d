#include "platform/Screen.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/win32/WinText.h"

namespace platform::screen {

namespace {

// The step that failed, with the system's reason.
[[noreturn]] void Fail(const char* step, DWORD code) {
    throw SystemError(code, std::string(step) + ": " + SystemErrorText(code));
}

std::wstring ObjectName(HANDLE object) {
    wchar_t name[256] = {};
    DWORD needed = 0;
    if (!GetUserObjectInformationW(object, UOI_NAME, name, sizeof name - sizeof(wchar_t), &needed)) return {};
    return name;
}

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
        if (!dc_) Fail("CreateCompatibleDC", GetLastError());
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
            Fail("CreateDIBSection", e ? e : ERROR_NOT_ENOUGH_MEMORY);
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

namespace {

bool OnInteractiveStation() {
    HWINSTA station = GetProcessWindowStation();
    return !station || _wcsicmp(ObjectName(station).c_str(), L"WinSta0") == 0;
}

// The screen as this process's desktop shows it.
Bitmap CaptureHere() {
    const int left = GetSystemMetrics(SM_XVIRTUALSCREEN), top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    const int width = GetSystemMetrics(SM_CXVIRTUALSCREEN), height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
    if (width <= 0 || height <= 0 || int64_t{width} * height > MaxDesktopPixels)
        Fail("Desktop size", ERROR_INVALID_PARAMETER);
    ScreenDc screen;
    if (!screen.get()) Fail("GetDC", GetLastError() ? GetLastError() : ERROR_DC_NOT_FOUND);
    Section section(screen.get(), width, height);
    SetLastError(0);
    if (!BitBlt(section.dc(), 0, 0, width, height, screen.get(), left, top, SRCCOPY | CAPTUREBLT)) {
        // Say which desktop the picture was asked of: a service's own shows nothing.
        const std::string where = "BitBlt on " + win::Utf8(ObjectName(GetProcessWindowStation())) + "\\" +
                                  win::Utf8(ObjectName(GetThreadDesktop(GetCurrentThreadId())));
        Fail(where.c_str(), GetLastError() ? GetLastError() : ERROR_INVALID_HANDLE);
    }
    GdiFlush();
    Bitmap picture(width, height);
    for (int y = 0; y < height; ++y) std::memcpy(picture.Row(y), section.Row(y), static_cast<size_t>(width) * 3);
    return picture;
}

// The user's session when someone sits at the console, else ours: a copy of
// the agent's own token moved there (the system account may move it).
HANDLE HelperToken() {
    const DWORD console = WTSGetActiveConsoleSessionId();
    DWORD own = 0;
    if (console == 0xFFFFFFFF || !ProcessIdToSessionId(GetCurrentProcessId(), &own) || own == console) return nullptr;
    HANDLE token = nullptr, primary = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY | TOKEN_ASSIGN_PRIMARY, &token))
        return nullptr;
    if (!DuplicateTokenEx(token, MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary, &primary)) primary = nullptr;
    CloseHandle(token);
    if (primary) {
        DWORD session = console;
        if (!SetTokenInformation(primary, TokenSessionId, &session, sizeof session)) {
            CloseHandle(primary);
            primary = nullptr;
        }
    }
    return primary;
}

// A service's window station is one nobody sees, and a process keeps the
// display it started with. The picture is taken by the capture program,
// started on the interactive desktop (in the console user's session when
// there is one), which hands the pixels back through a pipe.
Bitmap CaptureThroughHelper() {
    // One at a time: the pipe's inheritable end must reach only its own helper.
    static std::mutex serial;
    std::lock_guard<std::mutex> hold(serial);
    std::wstring module(MAX_PATH, L'\0');
    const DWORD n = GetModuleFileNameW(nullptr, module.data(), static_cast<DWORD>(module.size()));
    module.resize(n);
    const std::wstring helper = module.substr(0, module.find_last_of(L"\\/") + 1) + L"QZScreen.exe";

    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readRaw = nullptr, writeRaw = nullptr;
    if (!CreatePipe(&readRaw, &writeRaw, &inherit, 1 << 20)) Fail("CreatePipe", GetLastError());
    win::Handle reader(readRaw), writer(writeRaw);
    SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOW si{};
    si.cb = sizeof si;
    wchar_t desktop[] = L"WinSta0\\Default";
    si.lpDesktop = desktop;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = writer.get();
    std::wstring cmd = L"\"" + helper + L"\"";
    cmd.push_back(L'\0');
    PROCESS_INFORMATION pi{};
    win::Handle token(HelperToken());
    const BOOL started =
        token ? CreateProcessAsUserW(token.get(), helper.c_str(), cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                                     nullptr, nullptr, &si, &pi)
              : CreateProcessW(helper.c_str(), cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                               &si, &pi);
    if (!started) Fail("Starting QZScreen.exe", GetLastError());
    CloseHandle(pi.hThread);
    win::Handle process(pi.hProcess);
    CloseHandle(writer.release());  // the helper's copy is the only writer left

    // Whatever the helper sends, no more than a desktop of the largest size,
    // and no longer than 20 s.
    const ULONGLONG deadline = GetTickCount64() + 20000;
    std::vector<uint8_t> data;
    auto readSome = [&](size_t want) -> bool {
        while (data.size() < want) {
            DWORD avail = 0;
            if (!PeekNamedPipe(reader.get(), nullptr, 0, nullptr, &avail, nullptr)) return false;  // helper gone
            if (!avail) {
                if (GetTickCount64() > deadline) return false;
                Sleep(5);
                continue;
            }
            const size_t at = data.size();
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(avail, want - at));
            data.resize(at + chunk);
            DWORD got = 0;
            if (!ReadFile(reader.get(), data.data() + at, chunk, &got, nullptr)) return false;
            data.resize(at + got);
        }
        return true;
    };
    auto fail = [&](const char* why) {
        TerminateProcess(process.get(), 1);
        DWORD code = 0;
        GetExitCodeProcess(process.get(), &code);
        Fail(why, code && code != STILL_ACTIVE ? code : ERROR_BROKEN_PIPE);
    };
    if (!readSome(12) || std::memcmp(data.data(), "QZS1", 4) != 0) fail("QZScreen.exe sent no picture");
    int32_t width = 0, height = 0;
    std::memcpy(&width, data.data() + 4, 4);
    std::memcpy(&height, data.data() + 8, 4);
    if (width <= 0 || height <= 0 || int64_t{width} * height > MaxDesktopPixels) fail("QZScreen.exe picture size");
    const size_t bytes = static_cast<size_t>(width) * static_cast<size_t>(height) * 3;
    if (!readSome(12 + bytes)) fail("QZScreen.exe picture cut short");
    WaitForSingleObject(process.get(), 2000);
    Bitmap picture;
    picture.width = width;
    picture.height = height;
    picture.pixels.assign(data.begin() + 12, data.end());
    return picture;
}

}  // namespace

Bitmap CaptureDesktop() { return OnInteractiveStation() ? CaptureHere() : CaptureThroughHelper(); }

bool WriteCaptureTo(void* output) {
    Bitmap picture;
    try {
        picture = CaptureHere();
    } catch (const SystemError&) {
        return false;
    }
    HANDLE out = static_cast<HANDLE>(output);
    auto put = [out](const void* p, size_t n) {
        const uint8_t* b = static_cast<const uint8_t*>(p);
        while (n) {
            DWORD done = 0;
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(n, 1u << 20));
            if (!WriteFile(out, b, chunk, &done, nullptr) || !done) return false;
            b += done;
            n -= done;
        }
        return true;
    };
    const int32_t size[2] = {picture.width, picture.height};
    return put("QZS1", 4) && put(size, sizeof size) && put(picture.pixels.data(), picture.pixels.size());
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
