#include "platform/Console.h"

#include <mutex>

#include "platform/win32/WinText.h"

namespace platform::sys {

namespace {
std::mutex g_consoleLock;
std::function<bool(uint32_t)> g_consoleHandler;

BOOL WINAPI ConsoleRoutine(DWORD event) {
    std::function<bool(uint32_t)> handler;
    {
        std::lock_guard<std::mutex> lock(g_consoleLock);
        handler = g_consoleHandler;
    }
    return handler && handler(event) ? TRUE : FALSE;
}

HANDLE OutputHandle(bool isError) {
    const HANDLE h = GetStdHandle(isError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
    return GetFileType(h) == FILE_TYPE_UNKNOWN ? nullptr : h;
}
}  // namespace

void SetConsoleCtrlHandler(std::function<bool(uint32_t)> handler) {
    bool first;
    {
        std::lock_guard<std::mutex> lock(g_consoleLock);
        first = !g_consoleHandler;
        g_consoleHandler = std::move(handler);
    }
    if (first) ::SetConsoleCtrlHandler(ConsoleRoutine, TRUE);
}

bool HasConsole() { return OutputHandle(false) != nullptr || OutputHandle(true) != nullptr; }

void ShowMessage(const std::string& text, bool isError) {
    HANDLE out = OutputHandle(isError);
    if (!out) out = OutputHandle(!isError);
    if (out) {
        DWORD mode = 0, written = 0;
        if (GetConsoleMode(out, &mode)) {
            const std::wstring w = win::Wide(text + "\r\n");
            WriteConsoleW(out, w.c_str(), static_cast<DWORD>(w.size()), &written, nullptr);
        } else {
            const std::string line = text + "\r\n";
            WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        }
        return;
    }
    MessageBoxW(nullptr, win::Wide(text).c_str(), nullptr,
                MB_OK | (isError ? MB_ICONERROR : MB_ICONINFORMATION) | MB_SERVICE_NOTIFICATION);
}

}  // namespace platform::sys
