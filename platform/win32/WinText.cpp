#include "platform/win32/WinText.h"

#include <mutex>

namespace platform::win {

std::wstring Wide(const std::string& utf8) {
    if (utf8.empty()) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
    return out;
}

std::string Utf8(const wchar_t* text, size_t length) {
    if (!text || length == 0) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), n, nullptr, nullptr);
    return out;
}

FARPROC BindEntry(const wchar_t* library, const char* name) {
    // System libraries stay loaded for the life of the process, so the module
    // handle and the address can be kept without a reference count to manage.
    HMODULE module = GetModuleHandleW(library);
    if (!module) module = LoadLibraryW(library);
    if (!module) ThrowSystemError(GetLastError());
    FARPROC proc = GetProcAddress(module, name);
    if (!proc) ThrowSystemError(GetLastError());
    return proc;
}

}  // namespace platform::win
