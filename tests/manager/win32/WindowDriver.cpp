// Drives another program's windows for the end-to-end tests: one command a
// line on standard input, one answer a line on standard output ("ok ..." or
// "err ..."). Controls are found by their ids anywhere under a top-level
// window; clicks are posted, so a modal box that follows doesn't block us.
// Texts travel with "\n", "\r", "\t" and "\\" escaped.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <functional>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/win32/WinText.h"

namespace {

using platform::win::Utf8;
using platform::win::Wide;

std::string Escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (c == '\\') out += "\\\\";
        else out += c;
    }
    return out;
}

std::string Unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) {
            const char c = s[++i];
            out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string WindowText(HWND w) {
    wchar_t buffer[4096] = {};
    // WM_GETTEXT is carried across processes; GetWindowText is not, for controls.
    SendMessageTimeoutW(w, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 5000, nullptr);
    return Utf8(buffer);
}

std::string ClassOf(HWND w) {
    wchar_t buffer[256] = {};
    GetClassNameW(w, buffer, 256);
    return Utf8(buffer);
}

// The first window that matches: a top-level one without a parent, else
// any window below the parent.
HWND FindWhere(HWND parent, const std::function<bool(HWND)>& match) {
    struct Search {
        const std::function<bool(HWND)>& match;
        HWND found;
    } s{match, nullptr};
    struct Visit {
        static BOOL CALLBACK One(HWND w, LPARAM p) {
            auto* s = reinterpret_cast<Search*>(p);
            if (!s->match(w)) return TRUE;
            s->found = w;
            return FALSE;
        }
    };
    if (parent)
        EnumChildWindows(parent, Visit::One, reinterpret_cast<LPARAM>(&s));
    else
        EnumWindows(Visit::One, reinterpret_cast<LPARAM>(&s));
    return s.found;
}

HWND Control(HWND top, int id) {
    return FindWhere(top, [id](HWND w) { return GetDlgCtrlID(w) == id; });
}

// A message box's text control; its id differs between Wine's releases.
HWND BoxText(HWND w) {
    HWND text = GetDlgItem(w, 0xFFFF);
    return text ? text : GetDlgItem(w, 100);
}

// "error", "info" or "other": the icon a message box shows.
std::string BoxIcon(HWND w) {
    const HICON icon = reinterpret_cast<HICON>(SendDlgItemMessageW(w, 1088, STM_GETICON, 0, 0));
    if (icon && icon == LoadIconW(nullptr, IDI_ERROR)) return "error";
    if (icon && icon == LoadIconW(nullptr, IDI_INFORMATION)) return "info";
    return "other";
}

// A visible top-level window with this title; a message box when box is set.
HWND FindTop(const std::string& title, bool box) {
    return FindWhere(nullptr, [&](HWND w) {
        if (!IsWindowVisible(w)) return false;
        if (box && (ClassOf(w) != "#32770" || !BoxText(w))) return false;
        return title.empty() || WindowText(w) == title;
    });
}

// Memory in the window's process for the messages that carry pointers.
class Remote {
public:
    Remote(HWND w, size_t size) : size_(size) {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
        if (process_) at_ = VirtualAllocEx(process_, nullptr, size, MEM_COMMIT, PAGE_READWRITE);
    }
    ~Remote() {
        if (at_) VirtualFreeEx(process_, at_, 0, MEM_RELEASE);
        if (process_) CloseHandle(process_);
    }
    bool ok() const { return at_ != nullptr; }
    char* at() const { return static_cast<char*>(at_); }
    void Write(size_t offset, const void* data, size_t n) {
        WriteProcessMemory(process_, at() + offset, data, n, nullptr);
    }
    void Read(size_t offset, void* data, size_t n) { ReadProcessMemory(process_, at() + offset, data, n, nullptr); }

private:
    size_t size_;
    HANDLE process_ = nullptr;
    void* at_ = nullptr;
};

HWND ParseHwnd(const std::string& s) { return reinterpret_cast<HWND>(static_cast<uintptr_t>(std::stoull(s, nullptr, 16))); }

std::string HwndText(HWND w) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%llx", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(w)));
    return buffer;
}

void Post(HWND control, WORD code) {
    PostMessageW(GetParent(control), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), code),
                 reinterpret_cast<LPARAM>(control));
}

bool SaveShot(HWND w, const std::string& path) {
    RECT r{};
    GetWindowRect(w, &r);
    const int width = r.right - r.left, height = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    const DWORD stride = ((static_cast<DWORD>(width) * 3 + 3) & ~3u), size = stride * static_cast<DWORD>(height);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + size;
    info.bmiHeader.biSizeImage = size;
    bool ok = false;
    if (FILE* f = _wfopen(Wide(path).c_str(), L"wb")) {
        ok = fwrite(&file, sizeof file, 1, f) == 1 && fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, f) == 1 &&
             fwrite(bits, size, 1, f) == 1;
        fclose(f);
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return ok;
}

std::string Rest(std::istringstream& in) {
    std::string rest;
    std::getline(in, rest);
    if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
    return Unescape(rest);
}

std::string Handle(const std::string& line) {
    std::istringstream in(line);
    std::string cmd;
    in >> cmd;
    if (cmd == "wait" || cmd == "box") {
        // wait <ms> <title> | box <ms> [<title>]
        int ms = 0;
        in >> ms;
        const std::string title = Rest(in);
        for (DWORD start = GetTickCount();;) {
            if (HWND w = FindTop(title, cmd == "box")) {
                if (cmd == "wait") return "ok " + HwndText(w);
                return "ok " + HwndText(w) + " " + BoxIcon(w) + "\t" + Escape(WindowText(w)) + "\t" +
                       Escape(WindowText(BoxText(w)));
            }
            if (GetTickCount() - start > static_cast<DWORD>(ms)) return "err timeout";
            Sleep(100);
        }
    }
    if (cmd == "waitctl") {
        // waitctl <ms> <id>: a visible top-level window that holds a control with this id
        int ms = 0, id = 0;
        in >> ms >> id;
        for (DWORD start = GetTickCount();;) {
            const HWND found = FindWhere(nullptr, [id](HWND w) { return IsWindowVisible(w) && Control(w, id); });
            if (found) return "ok " + HwndText(found);
            if (GetTickCount() - start > static_cast<DWORD>(ms)) return "err timeout";
            Sleep(100);
        }
    }
    if (cmd == "gone") {
        // gone <ms> <hwnd>: until the window is closed or hidden
        int ms = 0;
        std::string h;
        in >> ms >> h;
        HWND w = ParseHwnd(h);
        for (DWORD start = GetTickCount();;) {
            if (!IsWindow(w) || !IsWindowVisible(w)) return "ok";
            if (GetTickCount() - start > static_cast<DWORD>(ms)) return "err timeout";
            Sleep(100);
        }
    }
    std::string h;
    in >> h;
    if (h.empty()) return "err usage";
    HWND top = ParseHwnd(h);
    if (!IsWindow(top)) return "err no window";
    if (cmd == "shot") return SaveShot(top, Rest(in)) ? "ok" : "err shot";
    if (cmd == "close") {
        PostMessageW(top, WM_CLOSE, 0, 0);
        return "ok";
    }
    if (cmd == "enabledwin") return std::string("ok ") + (IsWindowEnabled(top) ? "1" : "0");
    if (cmd == "visiblewin") return std::string("ok ") + (IsWindowVisible(top) ? "1" : "0");
    int id = 0;
    in >> id;
    HWND c = Control(top, id);
    if (!c) return "err no control";
    if (cmd == "text") return "ok " + Escape(WindowText(c));
    if (cmd == "set") {
        const std::wstring text = Wide(Rest(in));
        SendMessageTimeoutW(c, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG, 5000, nullptr);
        return "ok";
    }
    if (cmd == "type") {
        // Characters one by one, as a keyboard would give them.
        for (wchar_t ch : Wide(Rest(in))) PostMessageW(c, WM_CHAR, ch, 1);
        return "ok";
    }
    if (cmd == "click") {
        Post(c, BN_CLICKED);
        return "ok";
    }
    if (cmd == "enabled") return std::string("ok ") + (IsWindowEnabled(c) ? "1" : "0");
    if (cmd == "visible") return std::string("ok ") + (IsWindowVisible(c) ? "1" : "0");
    if (cmd == "focused") {
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        GetGUIThreadInfo(GetWindowThreadProcessId(top, nullptr), &info);
        return std::string("ok ") + (info.hwndFocus == c ? "1" : "0");
    }
    if (cmd == "combo") {
        // ok <selection>\t<item>\t<item>...
        const LRESULT n = SendMessageW(c, CB_GETCOUNT, 0, 0);
        std::string out = "ok " + std::to_string(static_cast<long>(SendMessageW(c, CB_GETCURSEL, 0, 0)));
        for (LRESULT i = 0; i < n; ++i) {
            wchar_t buffer[1024] = {};
            SendMessageW(c, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buffer));
            out += "\t" + Escape(Utf8(buffer));
        }
        return out;
    }
    if (cmd == "select") {
        int index = 0;
        in >> index;
        SendMessageW(c, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
        // Sent, not posted: what the change does is done when we answer.
        SendMessageTimeoutW(GetParent(c), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(c), CBN_SELCHANGE),
                            reinterpret_cast<LPARAM>(c), SMTO_ABORTIFHUNG, 5000, nullptr);
        return "ok";
    }
    if (cmd == "tab") {
        // Clicks the tab header, so the control tells its parent as for a user.
        int index = 0;
        in >> index;
        Remote mem(c, sizeof(RECT));
        if (!mem.ok()) return "err remote";
        if (!SendMessageW(c, TCM_GETITEMRECT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(mem.at())))
            return "err no tab";
        RECT r{};
        mem.Read(0, &r, sizeof r);
        const LPARAM at = MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2);
        PostMessageW(c, WM_LBUTTONDOWN, MK_LBUTTON, at);
        PostMessageW(c, WM_LBUTTONUP, 0, at);
        return "ok";
    }
    if (cmd == "lines") {
        // ok <kind>:<text>\t...   (kind as the item's data)
        const int n = static_cast<int>(SendMessageW(c, LVM_GETITEMCOUNT, 0, 0));
        const size_t textBytes = 1024 * sizeof(wchar_t);
        Remote mem(c, sizeof(LVITEMW) + textBytes);
        if (!mem.ok()) return "err remote";
        std::string out = "ok";
        for (int i = 0; i < n; ++i) {
            LVITEMW item{};
            item.mask = LVIF_TEXT | LVIF_PARAM;
            item.iItem = i;
            item.pszText = reinterpret_cast<LPWSTR>(mem.at() + sizeof(LVITEMW));
            item.cchTextMax = 1024;
            mem.Write(0, &item, sizeof item);
            std::vector<wchar_t> zero(1024, L'\0');
            mem.Write(sizeof(LVITEMW), zero.data(), textBytes);
            SendMessageW(c, LVM_GETITEMW, 0, reinterpret_cast<LPARAM>(mem.at()));
            mem.Read(0, &item, sizeof item);
            std::vector<wchar_t> text(1024, L'\0');
            mem.Read(sizeof(LVITEMW), text.data(), textBytes);
            text.back() = L'\0';
            out += (i ? "\t" : " ") + std::to_string(static_cast<long>(item.lParam)) + ":" + Escape(Utf8(text.data()));
        }
        return out;
    }
    return "err unknown command";
}

}  // namespace

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        if (line == "quit") break;
        std::string answer;
        try {
            answer = Handle(line);
        } catch (const std::exception& e) {
            answer = std::string("err ") + e.what();
        }
        std::cout << answer << std::endl;
    }
    return 0;
}
